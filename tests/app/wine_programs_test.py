#!/usr/bin/python3
"""wine_programs_test.py AGGIORNADV STAND_IN_EXE: the Linux AggiornaDV closing a
MinGW-built Windows program under the products' names, in a Wine prefix of its
own on an X server of its own, in a PID namespace of its own."""

import os
import shutil
import subprocess
import sys
import tempfile
import time

from Xlib import display

WINE = "/usr/lib/wine/wine64"
GRACE = 3
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    failures.extend([] if condition else [what])


def wait_for(predicate, seconds):
    end = time.monotonic() + seconds
    while not predicate() and time.monotonic() < end:
        time.sleep(0.05)
    return predicate()


def has_window(pid):
    """Whether Wine made an X window for the Unix process `pid`."""
    d = display.Display()
    props = [w.get_full_property(d.intern_atom("_NET_WM_PID"), 0) for w in d.screen().root.query_tree().children]
    d.close()
    return any(p is not None and list(p.value) == [pid] for p in props)


work = tempfile.mkdtemp(prefix="adv-wine-programs-")
env = dict(os.environ, WINEPREFIX=work + "/prefix", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def start(name, mode):
    """The stand-in as `name`, in `mode`; returns it and the file it writes on WM_CLOSE."""
    exe = os.path.join(work, name)
    shutil.copy(sys.argv[2], exe)
    child = subprocess.Popen([WINE, "Z:" + exe.replace("/", "\\"), mode, "file:Z:" + exe.replace("/", "\\") + ".ready",
                              "Z:" + exe.replace("/", "\\") + ".saved"], env=env, **quiet)
    if mode == "windowless":
        check(wait_for(lambda: os.path.exists(exe + ".ready"), 30), "%s (%s) runs" % (name, mode))
    else:
        check(wait_for(lambda: has_window(child.pid), 30), "%s (%s) shows its window" % (name, mode))
    return child, exe + ".saved"


def sweep():
    began = time.monotonic()
    done = subprocess.run([sys.argv[1], "--sweep", "--config", work + "/AggiornaDV.ini"], capture_output=True)
    check(done.returncode == 0, "--sweep exits 0: %s" % done.stderr.decode())
    return time.monotonic() - began, done.stderr.decode()


try:
    os.makedirs(work + "/drive/dolvo")
    open(work + "/drive/dolvo/dolvo.exe", "wb").close()
    with open(work + "/AggiornaDV.ini", "w") as f:
        f.write("root = %s/drive\nclose_grace_s = %d\nlog_file = %s/AggiornaDV.log\n" % (work, GRACE, work))
    subprocess.run([WINE, "wineboot", "--init"], env=env, check=True, **quiet)

    saves, ignores = start("dolvo.exe", "visible"), start("ketra2.exe", "ignore")
    took, said = sweep()
    check(os.path.exists(saves[1]) and saves[0].poll() is not None, "WM_CLOSE reaches it, it saves and ends")
    check(os.path.exists(ignores[1]) and ignores[0].poll() is not None, "one that ignores it is forced")
    forced = "ketra2.exe è stato chiuso forzatamente (processo %d)" % ignores[0].pid
    check(said.count(forced) == 1 and forced in open(work + "/AggiornaDV.log", encoding="utf-8").read(), "named: stderr, log: " + said)
    check(GRACE <= took < GRACE + 1, "after one grace: %.1f s" % took)

    windowless = start("ketra3.exe", "windowless")
    took, _ = sweep()
    check(windowless[0].poll() is not None and took < 1, "a windowless one is ended at once: %.1f s" % took)
finally:
    subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env)
    shutil.rmtree(work, ignore_errors=True)
sys.exit(1 if failures else 0)
