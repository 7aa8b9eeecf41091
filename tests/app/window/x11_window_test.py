#!/usr/bin/python3
"""The real window on a real X server, driven through the window system.

Clicks go through XTest and the close box is the window manager's message
(WM_DELETE_WINDOW), as an operator's would; what the offscreen platform
cannot show is checked here: the operator's input during an update, and the
window run by a user who may not close every program.

    x11_window_test.py AGGIORNADV SCREENSHOT_DIR

Runs on an X server of its own (tests/support/with-x-server.sh), in a PID
namespace of its own (the window's start-up sweep closes programs by the
products' names). Exits non-zero on failure.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from Xlib import X, XK, display, protocol
from Xlib.ext import xtest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import ftp_server  # noqa: E402

MAIN_TITLE = "Aggiornamento Software"
QUESTION_TITLE = "Aggiornamento software"
# Centres of the buttons in the window's client area (their twips / 15).
DOWNLOAD = (8 + 120, 432 + 41)
USCITA = (688 + 120, 432 + 41)
PASSWORD = "prova-x11"

failures = []
passes = []


def check(condition, what):
    print(("ok    " if condition else "FAIL  ") + what, flush=True)
    (passes if condition else failures).append(what)


def wait_for(predicate, seconds, step=0.05):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


class Screen:
    def __init__(self):
        self.d = display.Display()
        self.root = self.d.screen().root
        self.net_wm_name = self.d.intern_atom("_NET_WM_NAME")
        self.utf8 = self.d.intern_atom("UTF8_STRING")

    def title(self, window):
        try:
            prop = window.get_full_property(self.net_wm_name, self.utf8)
            if prop is not None:
                return prop.value.decode("utf-8", "replace")
            return window.get_wm_name()
        except Exception:
            return None

    def window(self, title, pid):
        """The mapped top-level window of process `pid` with exactly this
        title, or None: a program killed the step before may still show one."""
        net_wm_pid = self.d.intern_atom("_NET_WM_PID")
        for w in self.root.query_tree().children:
            try:
                if w.get_attributes().map_state != X.IsViewable:
                    continue
                owner = w.get_full_property(net_wm_pid, X.AnyPropertyType)
            except Exception:
                continue
            if owner is not None and list(owner.value) == [pid] and self.title(w) == title:
                return w
        return None

    def has_focus(self, window):
        focus = self.d.get_input_focus().focus
        while focus not in (None, X.NONE, X.PointerRoot) and focus != self.root:
            if focus == window:
                return True
            focus = focus.query_tree().parent
        return False

    def origin(self, window):
        where = self.root.translate_coords(window, 0, 0)
        return where.x, where.y

    def click(self, window, x, y):
        ox, oy = self.origin(window)
        xtest.fake_input(self.d, X.MotionNotify, x=ox + x, y=oy + y)
        self.d.sync()
        time.sleep(0.05)
        xtest.fake_input(self.d, X.ButtonPress, 1)
        self.d.sync()
        time.sleep(0.05)
        xtest.fake_input(self.d, X.ButtonRelease, 1)
        self.d.sync()

    def move(self, x, y):
        xtest.fake_input(self.d, X.MotionNotify, x=x, y=y)
        self.d.sync()

    def key(self, name):
        code = self.d.keysym_to_keycode(XK.string_to_keysym(name))
        xtest.fake_input(self.d, X.KeyPress, code)
        self.d.sync()
        xtest.fake_input(self.d, X.KeyRelease, code)
        self.d.sync()

    def icons(self, window):
        """The images of _NET_WM_ICON, as (width, height, ARGB pixels)."""
        prop = window.get_full_property(self.d.intern_atom("_NET_WM_ICON"), X.AnyPropertyType)
        data = list(prop.value) if prop is not None else []
        images = []
        while len(data) >= 2:
            width, height = data[0], data[1]
            images.append((width, height, data[2:2 + width * height]))
            data = data[2 + width * height:]
        return images

    def copied(self, window, x, y):
        """The text of the selectable control at (x, y), selected whole and copied (Ctrl+A, Ctrl+C)."""
        self.click(window, x, y)
        control = self.d.keysym_to_keycode(XK.string_to_keysym("Control_L"))
        for name in ("a", "c"):
            xtest.fake_input(self.d, X.KeyPress, control)
            self.key(name)
            xtest.fake_input(self.d, X.KeyRelease, control)
        self.d.sync()
        return wait_for(self.clipboard, 5) or ""

    def clipboard(self):
        """The text on the clipboard, as its owner gives it."""
        w = self.root.create_window(0, 0, 1, 1, 0, X.CopyFromParent)
        prop = self.d.intern_atom("ADV_CLIPBOARD")
        w.convert_selection(self.d.intern_atom("CLIPBOARD"), self.utf8, prop, X.CurrentTime)
        self.d.flush()
        if wait_for(lambda: self.d.pending_events() and self.d.next_event().type == X.SelectionNotify, 5):
            value = w.get_full_property(prop, X.AnyPropertyType)
            return value.value.decode("utf-8", "replace") if value is not None else ""
        return ""

    def close_box(self, window):
        protocols = self.d.intern_atom("WM_PROTOCOLS")
        delete = self.d.intern_atom("WM_DELETE_WINDOW")
        event = protocol.event.ClientMessage(
            window=window, client_type=protocols, data=(32, [delete, X.CurrentTime, 0, 0, 0]))
        window.send_event(event, event_mask=X.NoEventMask)
        self.d.flush()


class Stage:
    """A drive with Dolvo installed, a server offering a new dolvo.exe, and
    the updater's window on it."""

    def __init__(self, binary, fault, served_bytes, extra_config=""):
        self.tmp = tempfile.mkdtemp(prefix="adv-x11-")
        self.drive = os.path.join(self.tmp, "drive_c")
        self.folder = os.path.join(self.drive, "dolvo")
        self.installed = os.path.join(self.folder, "dolvo.exe")
        served = os.path.join(self.tmp, "ftp", "www.zorvanik.it", "download")
        os.makedirs(self.folder)
        os.makedirs(served)
        with open(self.installed, "wb") as f:
            f.write(b"MZ vecchio")
        self.fresh = served_bytes
        with open(os.path.join(served, "dolvo.exe"), "wb") as f:
            f.write(served_bytes)
        self.server = ftp_server.start("--root", os.path.join(self.tmp, "ftp"), "--user", "operatore", "--fault", fault,
                                       "--command-log", os.path.join(self.tmp, "commands.log"), password=PASSWORD)
        ini = os.path.join(self.tmp, "AggiornaDV.ini")
        with open(ini, "w") as f:
            f.write("root = %s\nshow_download = true\nclose_grace_s = 0\nhost = 127.0.0.1\nport = %d\n"
                    "user = operatore\npassword = %s\n%s" % (self.drive, self.server.port, PASSWORD, extra_config))
        os.chmod(ini, 0o600)
        app_env = dict(os.environ, QT_QPA_PLATFORM="xcb", LANG="C", LC_ALL="C")
        self.app = subprocess.Popen([binary, "--config", ini], env=app_env)

    def downloading(self):
        # The download has no name until it is whole: the server tells.
        return "RETR dolvo.exe" in self.commands()

    def folder_entries(self):
        return sorted(os.listdir(self.folder))

    def installed_bytes(self):
        with open(self.installed, "rb") as f:
            return f.read()

    def commands(self):
        try:
            with open(os.path.join(self.tmp, "commands.log")) as f:
                return f.read()
        except OSError:
            return ""

    def finish(self):
        if self.app.poll() is None:
            self.app.kill()
        self.app.wait()
        self.server.communicate(timeout=10)
        shutil.rmtree(self.tmp, ignore_errors=True)


def screenshot(path):
    subprocess.run(["import", "-window", "root", path], check=False,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def start_update(screen, stage, label):
    """Clicks DOWNLOAD and answers Sì; returns the main window."""
    pid = stage.app.pid
    main = wait_for(lambda: screen.window(MAIN_TITLE, pid), 30)
    check(main is not None, label + ": the window appears (program: %s)" % stage.app.poll())
    if main is None:
        return None
    # A window just mapped may not take a click yet: click until it asks.
    question = None
    for _ in range(10):
        screen.click(main, *DOWNLOAD)
        question = wait_for(lambda: screen.window(QUESTION_TITLE, pid), 3)
        if question is not None:
            break
    check(question is not None, label + ": DOWNLOAD asks the question")
    if question is None:
        return None
    # The click activates the box; its default button, No, has the focus,
    # and Tab goes to the other one.
    screen.click(question, 12, 12)
    check(wait_for(lambda: screen.has_focus(question), 10), label + ": the question takes the keyboard")
    screen.key("Tab")
    screen.key("space")
    return main


def icon_is_the_designed_one(screen, binary):
    label = "icon"
    stage = Stage(binary, "none", b"MZ")
    try:
        main = wait_for(lambda: screen.window(MAIN_TITLE, stage.app.pid), 30)
        check(main is not None, label + ": the window appears (program: %s)" % stage.app.poll())
        if main is None:
            return
        icons = wait_for(lambda: screen.icons(main), 5)
        sizes = [(w, h) for w, h, _ in icons]
        check(sizes == [(48, 48)], label + ": one 48 x 48 image on the window (%s)" % sizes)
        colours = {p for _, _, pixels in icons for p in pixels}
        check(0 < len(colours) <= 256, label + ": of at most 256 colours (%d)" % len(colours))
        screen.close_box(main)
        stage.app.wait(timeout=5)
    finally:
        stage.finish()


def stop_during_download(screen, binary, shots, how):
    """The wiring of a stop during the download, through the window system:
    the FTP session's own test shows the interrupt ends a transfer at once."""
    label = "stop by " + how
    stage = Stage(binary, "drip", os.urandom(300000))
    try:
        main = start_update(screen, stage, label)
        if main is None:
            return
        check(wait_for(stage.downloading, 10), label + ": the download is under way")
        for _ in range(3):
            screen.click(main, *DOWNLOAD)
            time.sleep(0.1)
        time.sleep(0.5)
        check(screen.window(QUESTION_TITLE, stage.app.pid) is None, label + ": DOWNLOAD during the update asks nothing")
        screenshot(os.path.join(shots, "x11-during-download-%s.png" % how))
        started = time.monotonic()
        if how == "USCITA":
            screen.click(main, *USCITA)
        else:
            screen.close_box(main)
        try:
            status = stage.app.wait(timeout=5)
        except subprocess.TimeoutExpired:
            status = None
        took = time.monotonic() - started
        check(status == 0, label + ": the program ends (status %s)" % status)
        check(took < 2.0, label + ": at once (%.2f s)" % took)
        check(stage.installed_bytes() == b"MZ vecchio", label + ": the installed file is untouched")
        check(stage.folder_entries() == ["dolvo.exe"],
              label + ": no temporary or lock file is left (%s)" % stage.folder_entries())
        check(stage.commands().count("RETR") == 1, label + ": one download only")
    finally:
        stage.finish()


def clicks_are_not_replayed(screen, binary, shots):
    label = "clicks during an update"
    # Four bytes at two a second: an update of about two seconds that ends well.
    stage = Stage(binary, "drip", b"MZ!!", "min_rate_bps = 0\n")
    try:
        main = start_update(screen, stage, label)
        if main is None:
            return
        check(wait_for(stage.downloading, 10), label + ": the download is under way")
        screen.click(main, *DOWNLOAD)
        screen.click(main, *DOWNLOAD)
        check(wait_for(lambda: stage.installed_bytes() == b"MZ!!", 15), label + ": the update ends and installs")
        time.sleep(1.0)
        check(screen.window(QUESTION_TITLE, stage.app.pid) is None, label + ": no question comes after the update")
        ox, oy = screen.origin(main)
        screen.move(ox + 300, oy + 300)
        screen.move(ox + 310, oy + 320)
        time.sleep(1.0)
        check(screen.window(QUESTION_TITLE, stage.app.pid) is None, label + ": nor at the next mouse movement")
        screenshot(os.path.join(shots, "x11-after-update.png"))
        check(stage.commands().count("RETR") == 1, label + ": one download only")
        screen.close_box(main)
        try:
            status = stage.app.wait(timeout=5)
        except subprocess.TimeoutExpired:
            status = None
        check(status == 0, label + ": the close box ends the program after the update (status %s)" % status)
    finally:
        stage.finish()


def a_program_it_may_not_close_is_named_first_in_the_log(screen, binary):
    """The window run by a user who may not end a program of root's."""
    tmp = tempfile.mkdtemp(prefix="adv-x11-user-")
    os.chmod(tmp, 0o755)
    shutil.copy("/usr/bin/sleep", tmp + "/Vudarav.exe")
    shutil.copy(os.environ["XAUTHORITY"], tmp + "/Xauthority")
    with open(tmp + "/AggiornaDV.ini", "w") as f:
        f.write("root = %s\n" % tmp)
    for readable in ("/Xauthority", "/AggiornaDV.ini"):
        os.chmod(tmp + readable, 0o644)
    roots = subprocess.Popen([tmp + "/Vudarav.exe", "60"])
    app = subprocess.Popen(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", binary, "--config",
                            tmp + "/AggiornaDV.ini"], env=dict(os.environ, XAUTHORITY=tmp + "/Xauthority", HOME=tmp))
    try:
        main = wait_for(lambda: screen.window(MAIN_TITLE, app.pid), 30)
        log = (main and wait_for(lambda: screen.copied(main, 608 + 100, 16 + 100), 30) or "\n").splitlines()
        check(log[0] == "- Vudarav.exe non si è potuto chiudere (processo %d): mancano i permessi per chiuderlo"
              % roots.pid and roots.poll() is None, "unprivileged window: the log first names what runs on: %r" % log)
    finally:
        for child in (app, roots):
            child.kill()
            child.wait()
        shutil.rmtree(tmp, ignore_errors=True)


def a_refused_configuration_is_shown_in_a_message_box(screen, binary):
    """Started for the window, as from the desktop, with a configuration it refuses."""
    tmp = tempfile.mkdtemp(prefix="adv-x11-config-")
    with open(tmp + "/AggiornaDV.ini", "w") as f:
        f.write("root = %s\nclose_grace_s = molti\n" % tmp)
    app = subprocess.Popen([binary, "--config", tmp + "/AggiornaDV.ini"], stderr=subprocess.PIPE)
    try:
        box = wait_for(lambda: screen.window(MAIN_TITLE, app.pid), 30)
        text = box and wait_for(lambda: screen.copied(box, 120, 20), 30) or ""  # its text, selectable
        screen.key("Return")
        status = app.wait(timeout=5)
        check(status == 78 and "close_grace_s" in text and text.strip() in app.stderr.read().decode(),
              "refused configuration: a message box says what stderr says (%r), then exit 78 (%s)" % (text, status))
    finally:
        if app.poll() is None:
            app.kill()
        app.wait()
        shutil.rmtree(tmp, ignore_errors=True)


def main():
    binary, shots = sys.argv[1:3]
    os.makedirs(shots, exist_ok=True)
    screen = Screen()
    icon_is_the_designed_one(screen, binary)
    a_program_it_may_not_close_is_named_first_in_the_log(screen, binary)
    a_refused_configuration_is_shown_in_a_message_box(screen, binary)
    stop_during_download(screen, binary, shots, "USCITA")
    stop_during_download(screen, binary, shots, "close box")
    clicks_are_not_replayed(screen, binary, shots)
    print("checks: %d passed, %d failed" % (len(passes), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
