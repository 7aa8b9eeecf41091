#!/usr/bin/python3
"""The Linux AggiornaDV closing Windows programs that run under Wine.

A real Windows program (stand_in.exe, built with MinGW) under the products'
names, in a Wine prefix of the test's own, on the X server of xvfb-run; the
sweep of `--sweep` and of the window. Run in a PID namespace of its own
(tests/support/in-pid-namespace.sh): the sweep closes programs by the
products' names.

    wine_programs_test.py AGGIORNADV STAND_IN_EXE

Prints one line per check; exits non-zero if any failed.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

from Xlib import display

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
GRACE = 3
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def wait_for(predicate, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def windows_of(pid):
    """The top-level X windows Wine made for the Unix process `pid`."""
    d = display.Display()
    wm_pid = d.intern_atom("_NET_WM_PID")
    found = []
    for w in d.screen().root.query_tree().children:
        try:
            prop = w.get_full_property(wm_pid, 0)
        except Exception:
            continue
        if prop is not None and len(prop.value) == 1 and prop.value[0] == pid:
            found.append(w)
    d.close()
    return found


class Stage:
    def __init__(self, program, stand_in):
        self.work = tempfile.mkdtemp(prefix="adv-wine-programs-")
        self.program = program
        self.stand_in = stand_in
        self.drive = os.path.join(self.work, "drive")
        os.makedirs(os.path.join(self.drive, "dolvo"))
        with open(os.path.join(self.drive, "dolvo", "dolvo.exe"), "wb") as f:
            f.write(b"MZ")
        self.bin = os.path.join(self.work, "bin")
        os.makedirs(self.bin)
        self.ini = os.path.join(self.work, "AggiornaDV.ini")
        with open(self.ini, "w") as f:
            f.write("root = %s\nclose_grace_s = %d\n" % (self.drive, GRACE))
        self.env = dict(os.environ, WINEPREFIX=os.path.join(self.work, "prefix"), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        subprocess.run([WINE, "wineboot", "--init"], env=self.env, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start(self, name, mode):
        """The stand-in as `name`; returns (process, its "saved" file)."""
        exe = os.path.join(self.bin, name)
        shutil.copy(self.stand_in, exe)
        saved = exe + ".saved"
        child = subprocess.Popen([WINE, "Z:" + exe.replace("/", "\\"), mode, "-", "Z:" + saved.replace("/", "\\")],
                                 env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        # Ready once Wine has made its window, or (windowless) after a while.
        if mode == "windowless":
            time.sleep(2)
        else:
            check(wait_for(lambda: windows_of(child.pid), 30), "%s (%s) shows its window" % (name, mode))
        return child, saved

    def finish(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, check=False)
        shutil.rmtree(self.work, ignore_errors=True)


def sweep(stage):
    began = time.monotonic()
    done = subprocess.run([stage.program, "--sweep", "--config", stage.ini], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=60, env=dict(os.environ, LANG="C.UTF-8"))
    return time.monotonic() - began, done


def test_sweep(stage):
    saves, ignores = stage.start("dolvo.exe", "visible"), stage.start("ketra2.exe", "ignore")
    took, done = sweep(stage)
    check(done.returncode == 0, "--sweep exits 0: %s" % done.stderr.decode())
    check(os.path.exists(saves[1]) and saves[0].poll() is not None,
          "a program under Wine gets WM_CLOSE, saves and ends (%.1f s)" % took)
    check(os.path.exists(ignores[1]) and ignores[0].poll() is not None,
          "one that ignores WM_CLOSE was asked, and forced after the grace")
    check(GRACE <= took < GRACE + 1.5, "the sweep took one grace: %.1f s" % took)

    windowless = stage.start("ketra3.exe", "windowless")
    took, done = sweep(stage)
    check(windowless[0].poll() is not None and took < 1.5,
          "a windowless Windows program is ended without waiting (%.1f s)" % took)


def test_window(stage):
    saves = stage.start("nodoart.exe", "visible")
    window = subprocess.Popen([stage.program, "--config", stage.ini], env=dict(os.environ, QT_QPA_PLATFORM="xcb"),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        check(wait_for(lambda: saves[0].poll() is not None, GRACE + 5) and os.path.exists(saves[1]),
              "the window's sweep asks a Wine program to close, and it saves and ends")
    finally:
        window.kill()
        window.wait()


def main():
    stage = Stage(sys.argv[1], sys.argv[2])
    try:
        test_sweep(stage)
        test_window(stage)
    finally:
        stage.finish()
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
