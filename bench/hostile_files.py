"""How long `_enable_navigation(True)` takes whatever the library's files are.

    .venv/bin/python bench/hostile_files.py [rounds]

For each case, ZIBREL_CONFIG and then ZIBREL_DEVICE point at it; a fresh
interpreter enables navigation, times that one call, and the median over the
rounds (5 by default) is printed in milliseconds, with the library's message.
The cases: a FIFO nobody writes, /dev/zero, a directory, a listening socket, a
missing file, a sparse 8 GiB file, and the largest files accepted (a settings
file just under 1 MiB, a device file just under 16 MiB, both valid and parsed
in full).
"""

import os
import socket
import statistics
import subprocess
import sys
import tempfile

ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 5

PROBE = """\
import time, _pyzibrel
class Model(_pyzibrel.ZibrelNavigationModel):
    pass
m = Model(False, 0)
m._put_profile_hint("bench")
t = time.perf_counter()
m._enable_navigation(True)
print((time.perf_counter() - t) * 1000)
m._enable_navigation(False)
"""


def fill_file(path, limit, line_for):
    """Write lines line_for(0), line_for(1), ... while the file stays within limit bytes; the count."""
    with open(path, "w") as f:
        written, i = 0, 0
        while True:
            line = line_for(i)
            if written + len(line) > limit:
                break
            f.write(line)
            written += len(line)
            i += 1
    return i


def largest_device_file(path, limit=16 << 20):
    return fill_file(path, limit, lambda i: f"{i / 1000:.3f} motion 0.125 -0.25 0.5 0 0.75 -1\n")


def largest_settings_file(path, limit=1 << 20):
    return fill_file(path, limit, lambda i: f"button.{i % 256} = app.command{i}\n")


def run(variable, value):
    env = {k: v for k, v in os.environ.items() if k not in ("ZIBREL_CONFIG", "ZIBREL_DEVICE")}
    env[variable] = value
    times, message = [], ""
    for _ in range(ROUNDS):
        done = subprocess.run([sys.executable, "-c", PROBE], env=env, capture_output=True, text=True, timeout=60)
        times.append(float(done.stdout.strip()))
        told = [line for line in done.stderr.splitlines() if line.startswith("zibrel: ")]
        message = told[0][len("zibrel: "):] if told else "(accepted)"
    return statistics.median(times), message


def main():
    with tempfile.TemporaryDirectory() as tmp:
        fifo = os.path.join(tmp, "fifo")
        os.mkfifo(fifo)
        server = socket.socket(socket.AF_UNIX)
        sock = os.path.join(tmp, "socket")
        server.bind(sock)
        server.listen()
        huge = os.path.join(tmp, "huge")
        with open(huge, "wb") as f:
            f.truncate(8 << 30)
        device = os.path.join(tmp, "device.txt")
        events = largest_device_file(device)
        settings = os.path.join(tmp, "settings.conf")
        lines = largest_settings_file(settings)
        cases = {
            "FIFO nobody writes": fifo,
            "/dev/zero": "/dev/zero",
            "directory": tmp,
            "socket": sock,
            "missing file": os.path.join(tmp, "missing"),
            "sparse 8 GiB file": huge,
        }
        print(f"{'case':<36} {'variable':<14} {'ms':>8}  message")
        for name, path in cases.items():
            for variable, value in (("ZIBREL_CONFIG", path), ("ZIBREL_DEVICE", f"file:{path}")):
                ms, message = run(variable, value)
                print(f"{name:<36} {variable:<14} {ms:>8.2f}  {message.replace(tmp, '<tmp>')}", flush=True)
        ms, message = run("ZIBREL_CONFIG", settings)
        print(f"{f'settings file, {lines} lines':<36} {'ZIBREL_CONFIG':<14} {ms:>8.2f}  (every line parsed)")
        ms, message = run("ZIBREL_DEVICE", f"file:{device}")
        print(f"{f'device file, {events} events':<36} {'ZIBREL_DEVICE':<14} {ms:>8.2f}  "
              f"{message.replace(tmp, '<tmp>')}")
        server.close()


if __name__ == "__main__":
    main()
