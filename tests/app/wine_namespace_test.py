#!/usr/bin/python3
"""wine_namespace_test.py AGGIORNADV: a Wine program in a PID namespace of its
own (as a container or Flatpak runs one) marks its window with the pid it has
there; `AggiornaDV --sweep` finds that window and asks it to close. The program
is Python (python-xlib) run from a copy named wine64, under Vudarav.exe."""

import os
import shutil
import subprocess
import sys
import tempfile
import time

PROGRAM = """import ctypes, os, sys
from Xlib import X, display, Xatom
ctypes.CDLL(None).prctl(15, b"Vudarav.exe", 0, 0, 0)
d = display.Display()
w = d.screen().root.create_window(0, 0, 50, 50, 0, d.screen().root_depth)
w.change_property(d.intern_atom("_NET_WM_PID"), Xatom.CARDINAL, 32, [os.getpid()])
w.set_wm_protocols([d.intern_atom("WM_DELETE_WINDOW")])
w.map()
d.sync()
open(sys.argv[1] + ".ready", "w").close()
while d.next_event().type != X.ClientMessage:
    pass
open(sys.argv[1] + ".asked", "w").close()
"""

work = tempfile.mkdtemp(prefix="adv-wine-namespace-")
try:
    # Another user's program, as a container or Flatpak runs one: root's
    # own in a world of its own is not asked from here.
    os.chmod(work, 0o755)
    os.mkdir(work + "/run")
    os.chmod(work + "/run", 0o777)
    shutil.copy(os.environ["XAUTHORITY"], work + "/Xauthority")
    os.chown(work + "/Xauthority", 65534, 65534)
    shutil.copy(os.path.realpath("/usr/bin/python3"), work + "/wine64")
    with open(work + "/program.py", "w") as f:
        f.write(PROGRAM)
    with open(work + "/AggiornaDV.ini", "w") as f:
        f.write("root = %s\nclose_grace_s = 20\nlog_file =\n" % work)
    program = subprocess.Popen(["unshare", "-p", "-f", "--mount-proc", "setpriv", "--reuid=nobody", "--regid=nogroup",
                                "--clear-groups", work + "/wine64", work + "/program.py", work + "/run/p"],
                               env=dict(os.environ, XAUTHORITY=work + "/Xauthority"))
    end = time.monotonic() + 30
    while not os.path.exists(work + "/run/p.ready") and program.poll() is None and time.monotonic() < end:
        time.sleep(0.05)
    if not os.path.exists(work + "/run/p.ready"):
        sys.exit("FAIL the program in its namespace showed no window")
    sweep = subprocess.run([sys.argv[1], "--sweep", "--config", work + "/AggiornaDV.ini"], capture_output=True, text=True)
    program.wait(10)
    asked = os.path.exists(work + "/run/p.asked")
    print(("ok   " if asked else "FAIL ") + "the window got the close request; --sweep said: " + sweep.stderr)
    sys.exit(0 if asked and program.returncode == 0 else 1)
finally:
    shutil.rmtree(work, ignore_errors=True)
