#!/usr/bin/python3
"""Start-up time of the updater's window against a bare Qt window.

Runs the programs in turn, on Qt's offscreen platform, and measures from just
before each process is started to its window's first paint (the program
prints the CLOCK_MONOTONIC time of that paint and exits at once). The drive is
an empty temporary folder: no product installed.

  bench/startup.py [--runs N] WINDOW BASELINE

BASELINE is a bare window in a program linked with the same libraries as the
updater (Qt Widgets, libcurl): the floor such a program can reach, so that
the ratio shows only the updater's own work.
"""

import argparse
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
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("window")
    parser.add_argument("baseline")
    args = parser.parse_args()

    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    with tempfile.TemporaryDirectory(prefix="adv-startup-") as folder:
        drive = os.path.join(folder, "drive_c")
        os.mkdir(drive)
        config = os.path.join(folder, "aggiornadv.ini")
        with open(config, "w", encoding="utf-8") as f:
            f.write(f"root={drive}\n")
        programs = {"baseline": [args.baseline], "window": [args.window, config]}
        # One unmeasured run of each, so that all start with warm caches.
        for command in programs.values():
            first_paint_ms(command, env)
        # Interleaved, so that a busy spell of the machine hits all alike.
        times = {name: [] for name in programs}
        for _ in range(args.runs):
            for name, command in programs.items():
                times[name].append(first_paint_ms(command, env))

    median = {name: statistics.median(v) for name, v in times.items()}
    for name, v in times.items():
        print(f"{name:14s} median {median[name]:7.1f} ms   min {min(v):7.1f}   max {max(v):7.1f}"
              f"   ({args.runs} runs)")
    print(f"window / baseline       {median['window'] / median['baseline']:.2f}x (target at most 1.30x)")


if __name__ == "__main__":
    main()
