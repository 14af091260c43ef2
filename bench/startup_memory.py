"""Import time of the module and memory per model.

    import_ms            `import _pyzibrel` timed inside a fresh interpreter, one
                         process per run (the library is loaded by the import)
    model_rss            resident memory added per model, over batches of 10,000
                         models kept alive (navigation off)
    model_rss_enabled    the same with navigation on (a library connection each)
    model_tracemalloc    Python-allocator memory per model (tracemalloc): the
                         Python object and its attributes, not the native part

This family does not import the module itself until the import figures are taken.
"""

import gc
import os
import subprocess
import sys
import time
import tracemalloc

BUILD_DIR = sys.argv[1] if len(sys.argv) > 1 else "build/bench/bench"
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 9
MODELS = 10_000
PAGE = os.sysconf("SC_PAGE_SIZE")

IMPORT_PROBE = "import time; t = time.perf_counter_ns(); import _pyzibrel; print(time.perf_counter_ns() - t)"


def import_ms():
    result = subprocess.run([sys.executable, "-c", IMPORT_PROBE], check=True, capture_output=True, text=True,
                            cwd="/")
    return int(result.stdout) / 1e6


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def main():
    import_ms()  # a first process to warm the file cache
    imports = [import_ms() for _ in range(max(ROUNDS, 15))]

    sys.path.insert(0, BUILD_DIR)
    import _pyzibrel

    class Model(_pyzibrel.ZibrelNavigationModel):
        pass

    def batch(enabled):
        models = [Model(False, 0) for _ in range(MODELS)]
        if enabled:
            for m in models:
                m._put_profile_hint("bench")
                m._enable_navigation(True)
        return models

    kept = []
    Model(False, 0)  # the first model pays for one-time set-up
    figures = {}
    for name, enabled in (("model_rss", False), ("model_rss_enabled", True)):
        runs = []
        for _ in range(ROUNDS):
            gc.collect()
            before = rss()
            kept.append(batch(enabled))
            gc.collect()
            runs.append((rss() - before) / MODELS)
        figures[name] = runs
    for models in kept:
        for m in models:
            m._enable_navigation(False)
    kept.clear()
    gc.collect()

    tracemalloc.start()
    runs = []
    for _ in range(ROUNDS):
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        kept.append(batch(False))
        gc.collect()
        runs.append((tracemalloc.get_traced_memory()[0] - before) / MODELS)
    tracemalloc.stop()
    figures["model_tracemalloc"] = runs

    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import common

    out = {"import_ms": common.figure(imports, "ms")}
    out.update({name: common.figure(values, "bytes/model") for name, values in figures.items()})
    common.emit(out, models_per_run=MODELS)


if __name__ == "__main__":
    main()
