#!/usr/bin/python3
"""Start-up time of the updater's window against a bare Qt window.

Runs both programs alternately, on Qt's offscreen platform, and measures from
just before each process is started to its window's first paint (the program
prints the CLOCK_MONOTONIC time of that paint and exits). The drive is an
empty temporary folder: no product installed.

  bench/startup.py <adv_startup_window> <adv_startup_baseline> [runs]
"""

import os
import statistics
import subprocess
import sys
import tempfile
import time


def first_paint_ms(command, env):
    start = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        sys.exit(f"{command[0]} failed ({done.returncode}): {done.stderr.strip()}")
    for line in done.stdout.splitlines():
        if line.startswith("first-paint "):
            return (int(line.split()[1]) - start) / 1e6
    sys.exit(f"{command[0]} printed no first-paint line: {done.stdout!r} {done.stderr!r}")


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    window, baseline = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) == 4 else 20
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    with tempfile.TemporaryDirectory(prefix="adv-startup-") as folder:
        drive = os.path.join(folder, "drive_c")
        os.mkdir(drive)
        config = os.path.join(folder, "aggiornadv.ini")
        with open(config, "w", encoding="utf-8") as f:
            f.write(f"root={drive}\n")
        # One unmeasured run of each, so both start with warm file caches.
        first_paint_ms([window, config], env)
        first_paint_ms([baseline], env)
        times = {"window": [], "baseline": []}
        for _ in range(runs):
            times["window"].append(first_paint_ms([window, config], env))
            times["baseline"].append(first_paint_ms([baseline], env))
    median = {k: statistics.median(v) for k, v in times.items()}
    for name in ("baseline", "window"):
        v = times[name]
        print(f"{name:9s} median {median[name]:7.1f} ms   min {min(v):7.1f}   max {max(v):7.1f}   ({runs} runs)")
    ratio = median["window"] / median["baseline"]
    print(f"ratio     {ratio:.2f}x (target at most 1.30x)")


if __name__ == "__main__":
    main()
