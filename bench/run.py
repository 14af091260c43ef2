"""Runs every benchmark and prints the table: `./dev bench` (which installs the
module first), or `.venv/bin/python bench/run.py` with the module installed.

Builds the benchmark programs (CMake, Ninja, -DZIBREL_BUILD_BENCH=ON) in
build/bench, with our navigation library's test variant (its control interface
drives the figures), runs each family of figures in a process of its own with
that library first on LD_LIBRARY_PATH, prints the figures and the ratios they
are judged by, and writes bench/results/latest.json.

    --quick         3 rounds per figure instead of the full count
    --only WORD     run only the families whose name contains WORD
    --no-build      use the programs already built
"""

import argparse
import datetime
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"
BUILD = ROOT / "build" / "bench"
PROGRAMS = BUILD / "bench"
# The library's test variant (QorZibrel_test), which zibrel_bench_native links.
TEST_LIBRARY = BUILD / "qorzibrel" / "test-variant"
RESULTS = BENCH / "results" / "latest.json"
# Beyond this a family counts as failed (its error printed), so that ./dev bench always ends.
FAMILY_TIMEOUT_S = 600
TARGETS = ["zibrel_bench_native", "_zibrel_bench", "zibrel_bench_calls"]

# (label, figure) in table order; labels starting with a space are breakdowns of the row above.
ROWS = [
    ("a", "native_get", "library -> native model's getter: lookup, lock, conversion"),
    ("", "native_get_library_only", "  of which the library alone (bare getter)"),
    ("", "native_get_framework_only", "  of which our callback alone (no library)"),
    ("", "native_registry_lookup", "    of which the registry lookup (find + leave)"),
    ("b", "py_get_here", "library -> Python getter, calling thread"),
    ("b'", "py_get_here_held", "  the same, lock held by the caller (no handover)"),
    ("c", "py_get_thread", "library -> Python getter, new library thread"),
    ("d", "ctypes_here", "ctypes callback reading the matrix, calling thread"),
    ("d", "ctypes_thread", "ctypes callback reading the matrix, new thread"),
    ("d'", "ctypes_here_tuple", "ctypes callback writing kept numbers, calling thread"),
    ("d'", "ctypes_thread_tuple", "ctypes callback writing kept numbers, new thread"),
    ("e", "override_held", "pybind11 override from native code, lock held (floor)"),
    ("e'", "override_released", "  the same, lock taken per call"),
    ("f", "tree_flat_build", "10,000 commands flat: build"),
    ("f", "tree_flat_publish", "10,000 commands flat: publish"),
    ("f", "tree_flat_total", "10,000 commands flat: total"),
    ("f", "tree_flat_1k_total", "1,000 commands flat: total"),
    ("f", "tree_categories_build", "100 categories x 100 commands: build"),
    ("f", "tree_categories_publish", "100 categories x 100 commands: publish"),
    ("f", "tree_categories_total", "100 categories x 100 commands: total"),
    ("f", "tree_destroy", "destroy 1,000,002 nodes (native)"),
    ("f", "tree_build_linked", "  build them, linked through the last node (native)"),
    ("g", "import_ms", "import _pyzibrel in a fresh interpreter"),
    ("g", "model_rss", "resident memory per model, navigation off"),
    ("g", "model_rss_enabled", "resident memory per model, navigation on"),
    ("g", "model_tracemalloc", "Python-allocator memory per model"),
    ("t", "threads_1", "threads added by 1 enabled model (floor 1)"),
    ("t", "threads_100", "threads added by 100 enabled models (floor 1)"),
    ("t", "threads_1000", "threads added by 1,000 enabled models (floor 1)"),
    ("t", "idle_wakeups", "wake-ups/s of other threads, 100 idle models (floor 0)"),
    ("t", "idle_tick_us", "idle Navigator.tick(), application timing"),
    ("t", "empty_loop_us", "  an empty Python call (floor)"),
    ("i", "idle_select_proc_wakeups", "idle: a process sleeping in select (floor), wake-ups"),
    ("i", "idle_select_proc_cpu", "  its CPU"),
    ("i", "idle_none_lib_wakeups", "idle navigator, no device: library threads' wake-ups"),
    ("i", "idle_none_lib_cpu", "  their CPU"),
    ("i", "idle_none_proc_wakeups", "  the whole process's wake-ups"),
    ("i", "idle_none_proc_cpu", "  its CPU"),
    ("i", "idle_hid_lib_wakeups", "idle navigator, HID device untouched: library wake-ups"),
    ("i", "idle_hid_lib_cpu", "  their CPU"),
    ("i", "idle_hid_proc_wakeups", "  the whole process's wake-ups"),
    ("i", "idle_hid_proc_cpu", "  its CPU"),
    ("i", "idle_daemon_lib_wakeups", "idle navigator, spacenavd silent: library wake-ups"),
    ("i", "idle_daemon_lib_cpu", "  their CPU"),
    ("i", "idle_daemon_proc_wakeups", "  the whole process's wake-ups"),
    ("i", "idle_daemon_proc_cpu", "  its CPU"),
    ("i", "idle_spacenavd_lib_wakeups", "idle navigator, real spacenavd, no device: library wake-ups"),
    ("i", "idle_spacenavd_lib_cpu", "  their CPU"),
    ("i", "idle_spacenavd_proc_wakeups", "  the whole process's wake-ups"),
    ("i", "idle_spacenavd_proc_cpu", "  its CPU"),
    ("m", "motion125_nav_cpu", "motion 125 Hz: navigator, 60 Hz ticks, CPU"),
    ("m", "motion125_nav_lib_cpu", "    of which the library thread"),
    ("m", "motion125_loop_cpu", "  the hand-written select/read loop (floor), CPU"),
    ("m", "motion125_nav_wakeups", "  navigator's process wake-ups"),
    ("m", "motion125_nav_lib_wakeups", "    of which the library thread"),
    ("m", "motion125_loop_wakeups", "  the hand-written loop's wake-ups"),
    ("m", "motion1000_nav_cpu", "motion 1 kHz: navigator, 60 Hz ticks, CPU"),
    ("m", "motion1000_nav_lib_cpu", "    of which the library thread"),
    ("m", "motion1000_loop_cpu", "  the hand-written select/read loop (floor), CPU"),
    ("m", "motion1000_nav_wakeups", "  navigator's process wake-ups"),
    ("m", "motion1000_nav_lib_wakeups", "    of which the library thread"),
    ("m", "motion1000_loop_wakeups", "  the hand-written loop's wake-ups"),
    ("l", "latency_ticks_p50", "report -> set_camera, application ticks (60 Hz): p50"),
    ("l", "latency_ticks_p90", "  p90"),
    ("l", "latency_ticks_p99", "  p99"),
    ("l", "latency_asyncio_p50", "report -> set_camera, the README's asyncio drive: p50"),
    ("l", "latency_asyncio_p90", "  p90"),
    ("l", "latency_asyncio_p99", "  p99"),
    ("l", "latency_library_p50", "report -> set_camera, library timer, ticks on input_fd: p50"),
    ("l", "latency_library_p90", "  p90"),
    ("l", "latency_library_p99", "  p99"),
    ("l", "latency_fixed_p50", "report -> set_camera, library timer, fixed 60 Hz ticks: p50"),
    ("l", "latency_fixed_p90", "  p90"),
    ("l", "latency_fixed_p99", "  p99"),
    ("p", "pick_cloud_first", "pick at motion start, 2M-point cloud: first motion"),
    ("p", "pick_cloud_later", "  later motions"),
    ("p", "pick_mesh_first", "pick at motion start, 2M-triangle mesh: first motion"),
    ("p", "pick_mesh_later", "  later motions"),
]

# (name, numerator, denominator, comparison, bound, meaning); bound None = for information.
# Figures of one family are measured round by round, side by side, so their
# ratio is also given per round (the median of the rounds' ratios) and judged by it.
RATIOS = [
    ("c / d thread", "py_get_thread", "ctypes_thread", "<=", 1.0,
     "new-thread callback vs. the ctypes baseline on a new thread"),
    ("b / e", "py_get_here", "override_held", "<=", 1.5,
     "calling-thread callback vs. the bare override call"),
    ("a / b", "native_get", "py_get_here", "<", 0.1,
     "native path vs. Python path, both on the calling thread"),
    ("c / d' thread", "py_get_thread", "ctypes_thread_tuple", None, None,
     "new-thread callback vs. the ctypes mechanism alone"),
    ("b / d here", "py_get_here", "ctypes_here", None, None,
     "calling-thread callback vs. the ctypes baseline"),
    ("b / e'", "py_get_here", "override_released", None, None,
     "calling-thread callback vs. the override call taking the lock"),
    ("b' / e", "py_get_here_held", "override_held", None, None,
     "calling-thread callback with the lock held vs. the bare override call"),
    ("e' / e", "override_released", "override_held", None, None,
     "what taking the lock per call adds to the override call"),
    ("motion 125 Hz", "motion125_nav_cpu", "motion125_loop_cpu", "<=", 1.0,
     "navigator's CPU vs. the hand-written loop's, 125 Hz reports"),
    ("motion 1 kHz", "motion1000_nav_cpu", "motion1000_loop_cpu", "<=", 1.0,
     "navigator's CPU vs. the hand-written loop's, 1 kHz reports"),
    ("wake 125 Hz", "motion125_nav_wakeups", "motion125_loop_wakeups", None, None,
     "navigator's wake-ups vs. the hand-written loop's, 125 Hz"),
    ("wake 1 kHz", "motion1000_nav_wakeups", "motion1000_loop_wakeups", None, None,
     "navigator's wake-ups vs. the hand-written loop's, 1 kHz"),
    ("idle none/select", "idle_none_proc_wakeups", "idle_select_proc_wakeups", None, None,
     "idle process wake-ups, navigator without device vs. select"),
    ("idle hid/select", "idle_hid_proc_wakeups", "idle_select_proc_wakeups", None, None,
     "idle process wake-ups, navigator with a HID device vs. select"),
    ("idle spnav/select", "idle_daemon_proc_wakeups", "idle_select_proc_wakeups", None, None,
     "idle process wake-ups, navigator with spacenavd vs. select"),
    ("lat. library/ticks", "latency_library_p90", "latency_ticks_p90", None, None,
     "p90 latency, library timer vs. application ticks"),
    ("lat. asyncio/ticks", "latency_asyncio_p90", "latency_ticks_p90", None, None,
     "p90 latency, the README's asyncio drive vs. application ticks"),
    ("lat. fixed/ticks", "latency_fixed_p90", "latency_ticks_p90", None, None,
     "p90 latency, library timer under a fixed 60 Hz tick vs. application ticks"),
]
LIMITS = [("tree_destroy", "<", 1000.0, "destroying a million nodes, ms"),
          ("threads_1000", "<", 1.5, "1,000 models add at most one library thread"),
          ("idle_tick_us", "<", 3.0, "an idle tick, us"),
          ("idle_none_lib_wakeups", "<=", 0.1, "no device: at most one library wake-up per 10 s"),
          ("idle_hid_lib_wakeups", "<=", 0.0, "HID device connected, untouched: no library wake-ups"),
          ("idle_daemon_lib_wakeups", "<=", 0.0, "spacenavd connected, silent: no library wake-ups"),
          ("idle_spacenavd_lib_wakeups", "<=", 0.0, "the real spacenavd (no device): no library wake-ups"),
          ("latency_ticks_p90", "<=", 16.7, "report -> set_camera p90, application ticks, ms"),
          ("latency_library_p90", "<=", 16.7, "report -> set_camera p90, library timer, ms"),
          ("pick_cloud_later", "<", 16.0, "a later motion start's pick, 2M-point cloud, ms")]


def families(rounds, passes):
    """The processes to run, in order. The two callback families take turns, a
    few rounds at a time, so that the native and the Python figures they are
    compared by come from the same stretch of time on a shared machine."""
    py = sys.executable
    native = str(PROGRAMS / "zibrel_bench_native")
    out = str(PROGRAMS)
    callbacks = [
        ("native callbacks", [native, "callbacks", str(rounds["native"]), "200000"]),
        ("python callbacks", [py, str(BENCH / "callbacks.py"), out, str(rounds["callbacks"])]),
    ]
    return callbacks * passes + [
        ("native command trees", [native, "trees", str(rounds["trees"]), "1000000"]),
        ("python command trees", [py, str(BENCH / "command_trees.py"), out, str(rounds["trees"])]),
        ("import and memory", [py, str(BENCH / "startup_memory.py"), out, str(rounds["memory"])]),
        ("library threads", [py, str(BENCH / "library_threads.py"), out, str(rounds["callbacks"])]),
        ("navigator idle", [py, str(BENCH / "navigator_cost.py"), out, str(rounds["cost"]), "idle"]),
        ("navigator motion", [py, str(BENCH / "navigator_cost.py"), out, str(rounds["cost"]), "motion"]),
        ("navigator latency", [py, str(BENCH / "navigator_cost.py"), out, str(rounds["cost"]), "latency"]),
        ("pick at motion start", [py, str(BENCH / "pick_start.py"), "--family", "--motions", str(rounds["picks"])]),
    ]


def say(text):
    print(f"bench: {text}", file=sys.stderr, flush=True)


def tool(name):
    beside = Path(sys.executable).parent / name
    found = str(beside) if beside.exists() else shutil.which(name)
    if not found:
        sys.exit(f"bench: {name} not found (./dev bench installs it into .venv)")
    return found


def build():
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}")
    tool("ninja")
    pybind11_dir = subprocess.run([sys.executable, "-m", "pybind11", "--cmakedir"], check=True, capture_output=True,
                                  text=True).stdout.strip()
    # The module is installed as a Release build; the benchmark programs must match it.
    configure = [tool("cmake"), "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                 "-DZIBREL_BUILD_BENCH=ON", "-DZIBREL_BUILD_MODULE=OFF", "-DZIBREL_BUILD_TESTS=OFF",
                 f"-Dpybind11_DIR={pybind11_dir}", f"-DPython_EXECUTABLE={sys.executable}"]
    compile_ = [tool("cmake"), "--build", str(BUILD), "--target", *TARGETS]
    for step in (configure, compile_):
        result = subprocess.run(step, env=env, capture_output=True, text=True)
        if result.returncode != 0:
            sys.stderr.write(result.stdout + result.stderr)
            sys.exit(f"bench: build failed: {' '.join(step)}")


def check_installed():
    probe = subprocess.run([sys.executable, "-c", "import _pyzibrel"], capture_output=True, text=True, cwd="/")
    if probe.returncode != 0:
        sys.stderr.write(probe.stderr)
        sys.exit("bench: _pyzibrel is not installed in this interpreter; run ./dev bench")


def run_family(name, argv):
    say(f"running {name}")
    start = time.monotonic()
    # The module loads the first libQorZibrel.so on LD_LIBRARY_PATH: the test variant.
    path = os.pathsep.join(p for p in (str(TEST_LIBRARY), os.environ.get("LD_LIBRARY_PATH")) if p)
    try:
        result = subprocess.run(argv, capture_output=True, text=True, cwd=ROOT,
                                env=dict(os.environ, LD_LIBRARY_PATH=path), timeout=FAMILY_TIMEOUT_S)
    except subprocess.TimeoutExpired as exc:
        # A family that hangs is a failed family: the others still run and the table is printed.
        return None, f"{name} did not finish within {FAMILY_TIMEOUT_S} s; its last output: " \
                     f"{((exc.stderr or b'')[-2000:]).decode(errors='replace') if isinstance(exc.stderr, bytes) else exc.stderr}"
    seconds = time.monotonic() - start
    if result.returncode != 0:
        return None, f"{name} failed (exit {result.returncode}):\n{(result.stdout + result.stderr).strip()[-4000:]}"
    if result.stderr.strip():
        sys.stderr.write(result.stderr)
    try:
        data = json.loads(result.stdout)
        figures = data.pop("figures")
    except (ValueError, KeyError) as exc:
        return None, f"{name} printed no figures ({exc}): {result.stdout[-2000:]}"
    return figures, {"seconds": round(seconds, 2), "argv": [str(a) for a in argv[1:]], **data}


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            model = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    compiler = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.splitlines()
    return {
        "nproc": len(os.sched_getaffinity(0)),
        "cpu": model,
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
        "system": f"{platform.system()} {platform.release()} {platform.machine()}",
        "compiler": compiler[0] if compiler else "unknown",
        "load_average_at_start": [round(x, 2) for x in os.getloadavg()],
    }


def judge(figures, family_of):
    ratios = {}
    for name, top, bottom, comparison, bound, meaning in RATIOS:
        if top not in figures or bottom not in figures:
            continue
        value = quotient(figures[top]["median"], figures[bottom]["median"])
        per_round = None
        if family_of[top] == family_of[bottom]:
            per_round = statistics.median(quotient(t, b) for t, b in zip(figures[top]["runs"], figures[bottom]["runs"]))
        # Figures measured over the same seconds are judged by their per-round ratio: a round the
        # shared machine slows down slows both, where the ratio of medians may pair a slow round of
        # one with a quick round of the other.
        judged = value if per_round is None else per_round
        held = None if bound is None else (judged <= bound if comparison == "<=" else judged < bound)
        ratios[name] = {"value": value, "per_round": per_round, "numerator": top, "denominator": bottom,
                        "target": None if bound is None else f"{comparison} {bound}", "held": held,
                        "meaning": meaning}
    for figure, comparison, bound, meaning in LIMITS:
        if figure in figures:
            value = figures[figure]["median"]
            ratios[figure] = {"value": value, "per_round": None, "target": f"{comparison} {bound:g}",
                              "held": value <= bound if comparison == "<=" else value < bound, "meaning": meaning}
    return ratios


def quotient(top, bottom):
    # A floor of zero (an idle process's wake-ups): equal is 1, anything above it infinitely more.
    if bottom == 0:
        return 1.0 if top == 0 else float("inf")
    return top / bottom


def number(x):
    if x != x or x in (float("inf"), float("-inf")):
        return str(x)
    return f"{x:,.0f}" if abs(x) >= 100 else f"{x:.3g}" if abs(x) >= 1 else f"{x:.3f}"


def table(figures, ratios, info):
    lines = [f"{'':3} {'figure':58} {'median':>10} {'unit':<12} {'min':>9} {'max':>9}"]
    for label, name, text in ROWS:
        if name not in figures:
            continue
        f = figures[name]
        lines.append(f"{label:3} {text:58} {number(f['median']):>10} {f['unit']:<12} {number(min(f['runs'])):>9} "
                     f"{number(max(f['runs'])):>9}")
    lines.append("")
    lines.append("A ratio with a per-round figure (both measured in the same rounds) is judged by it.")
    lines.append(f"{'ratio / limit':16} {'value':>8} {'per round':>9}  {'target':>8}  {'':6}  meaning")
    for name, r in ratios.items():
        verdict = "" if r["held"] is None else "holds" if r["held"] else "MISSED"
        per_round = "" if r["per_round"] is None else number(r["per_round"])
        lines.append(f"{name:16} {number(r['value']):>8} {per_round:>9}  {r['target'] or 'info':>8}  {verdict:6}  "
                     f"{r['meaning']}")
    lines.append("")
    lines.append(f"machine: {info['nproc']} CPUs, {info['cpu']}, Python {info['python']}, {info['compiler']}, "
                 f"load {info['load_average_at_start']}")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description="Run the benchmarks and print their table.")
    parser.add_argument("--quick", action="store_true", help="3 rounds per figure")
    parser.add_argument("--only", default="", help="run only families whose name contains this")
    parser.add_argument("--no-build", action="store_true", help="use the programs already built")
    args = parser.parse_args()

    check_installed()
    if not args.no_build:
        say("building the benchmark programs in build/bench")
        build()
    # Rounds per process; the callback families run `passes` times each.
    rounds, passes = (({"native": 3, "callbacks": 3, "trees": 3, "memory": 3, "cost": 3, "picks": 4}, 1)
                      if args.quick else
                      ({"native": 3, "callbacks": 8, "trees": 9, "memory": 5, "cost": 6, "picks": 6}, 3))

    info = machine()
    figures, details, family_of, failed = {}, {}, {}, []
    for name, argv in families(rounds, passes):
        if args.only not in name:
            continue
        figures_of, detail = run_family(name, argv)
        if figures_of is None:
            say(f"FAILED: {detail}")
            failed.append(name)
            continue
        details.setdefault(name, []).append(detail)
        for figure, f in figures_of.items():
            figures.setdefault(figure, {"unit": f["unit"], "runs": []})["runs"].extend(f["runs"])
            family_of[figure] = name
    for f in figures.values():
        f["median"] = statistics.median(f["runs"])
    ratios = judge(figures, family_of)
    print(table(figures, ratios, info))

    RESULTS.parent.mkdir(parents=True, exist_ok=True)
    report = {"date": datetime.datetime.now().astimezone().replace(microsecond=0).isoformat(),
              "command": "./dev bench" + (" (--quick)" if args.quick else ""), "machine": info,
              "rounds_per_process": rounds, "callback_passes": passes, "families": details, "figures": figures, "ratios": ratios}
    report["failed"] = failed
    RESULTS.write_text(json.dumps(report, indent=2) + "\n")
    say(f"wrote {RESULTS.relative_to(ROOT)}")
    if failed:
        sys.exit(f"bench: families that failed: {', '.join(failed)}")


if __name__ == "__main__":
    main()
