#!/usr/bin/python3
"""AggiornaDV.exe end to end under Wine, driven from Linux.

Real Windows programs under the products' names (copies of stand_in.exe), a
real FTP server on 127.0.0.1 (tests/support/ftp_server.py; Wine programs reach
it), signatures made here with Debian's minisign, and the real window on an
X server (Xvfb, with openbox as its window manager) through Wine's X11 driver.
Everything lives in one temporary folder and is removed at the end; the only
Wine prefixes used are the run's own.

Prints one line per check and exits non-zero if any failed.
"""

import argparse
import os
import pty
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import ftp_server  # noqa: E402

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


def wait_for(predicate, seconds, step=0.05):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def windows_path(path):
    """Wine's Z: drive is Linux's /."""
    return "Z:" + path.replace("/", "\\")


def read(path, mode="rb"):
    with open(path, mode) as f:
        return f.read()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)


class Fixture:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.drive = os.path.join(work, "drive")
        self.served = os.path.join(work, "ftp")
        self.download = os.path.join(self.served, "www.zorvanik.it", "download")
        self.installed = os.path.join(self.drive, "dolvo", "dolvo.exe")
        os.makedirs(self.download)
        self.server = ftp_server.start("--root", self.served, "--user", "operatore", "--command-log",
                                       os.path.join(work, "commands.log"), password="prova-segreta",
                                       stderr=open(os.path.join(work, "ftp.log"), "w"))
        self.key = self.make_key("maker")

    def close(self):
        self.server.communicate(timeout=10)

    def make_key(self, name):
        folder = os.path.join(self.work, name)
        os.makedirs(folder)
        subprocess.run(["minisign", "-G", "-W", "-p", folder + "/minisign.pub", "-s", folder + "/minisign.key"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return folder

    def public_key(self, folder):
        return read(folder + "/minisign.pub", "r").splitlines()[1]

    def publish(self, data, timestamp, key=None):
        program = os.path.join(self.download, "dolvo.exe")
        write(program, data)
        subprocess.run(["minisign", "-S", "-s", (key or self.key) + "/minisign.key", "-m", program,
                        "-t", "timestamp:%d\tfile:dolvo.exe" % timestamp],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def config(self, extra="", root=None, port=None, user="operatore"):
        path = os.path.join(self.work, "AggiornaDV.ini")
        write(path, "root = %s\nhost = 127.0.0.1\nport = %d\nuser = %s\npassword = prova-segreta\n"
                    "connect_timeout_s = 5\nclose_grace_s = 2\n%s"
              % (root or windows_path(self.drive), port or self.server.port, user, extra))
        os.chmod(path, 0o600)
        return windows_path(path)

    def run(self, *arguments, cwd=None):
        """The program through wine-run.sh: its status and its output (stdout and stderr)."""
        run = subprocess.Popen([self.args.wine_run, self.args.default_prefix, self.args.program, *arguments],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, cwd=cwd, start_new_session=True)
        try:
            out, _ = run.communicate(timeout=120)
            return run.returncode, out.decode("utf-8", "replace")
        except subprocess.TimeoutExpired:
            # What it was doing, for the record, then nothing of it left behind.
            prefix = os.environ["WINEPREFIX"]
            said = [read(os.path.join(prefix, n)).decode("utf-8", "replace")
                    for n in os.listdir(prefix) if n.startswith(".adv-output.")]
            tail = read(os.path.join(self.work, "commands.log")).decode("utf-8", "replace")[-600:]
            processes = subprocess.run(["ps", "-eo", "pid,stat,wchan:20,etime,args"], capture_output=True, text=True)
            os.killpg(run.pid, 9)
            run.communicate()
            print("     %s timed out after 120 s; it said %r; the server's last commands %r\n%s"
                  % (" ".join(arguments), said, tail, processes.stdout), flush=True)
            return None, "timed out"

    def folder(self):
        return sorted(os.listdir(os.path.dirname(self.installed)))


def start_windows(fixture, program, *arguments):
    return subprocess.Popen([WINE, program, *arguments], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def test_version(f):
    status, out = f.run("--version")
    check(status == 0 and out.strip() == "AggiornaDV 1.0.0.11", "--version: " + out.strip())


def test_sweep(f):
    for probe in ("dolvo/dolvo.exe", "trevanto/trevanto.exe", "kivo/Kivo.exe", "kivo/vidorizu.exe"):
        write(os.path.join(f.drive, probe), b"MZ")
    bin_dir = os.path.join(f.work, "bin")
    os.makedirs(bin_dir)
    children = {}
    closed = ["dolvo.exe", "nodoart.exe", "trevanto.exe", "Kivo.exe", "vidorizu.exe", "Vudarav.exe"]
    spared = ["xdolvo.exe", "dolvo2.exe", "kivo-old.exe"]
    for name in closed + spared:
        exe = os.path.join(bin_dir, name)
        shutil.copy(f.args.stand_in, exe)
        children[name] = start_windows(f, exe, "visible", "file:" + windows_path(exe + ".ready"),
                                       windows_path(exe + ".closed"))
    for name in closed + spared:
        check(wait_for(lambda: os.path.exists(os.path.join(bin_dir, name + ".ready")), 60),
              "the stand-in %s runs before the sweep" % name)
    status, out = f.run("--sweep", "--config", f.config())
    check(status == 0, "--sweep exits 0 (%d): %s" % (status, out.strip()))
    check("[x] Dolvo\n[x] Trevanto\n[x] Kivo\n[x] KIVO Term.WIFI" in out.replace("\r", ""),
          "--sweep ticks the four installed products")
    for name in closed:
        check(wait_for(lambda: children[name].poll() is not None, 10), "--sweep closed " + name)
    for name in spared:
        check(children[name].poll() is None, "--sweep left the near miss %s running" % name)
        children[name].kill()
    for child in children.values():
        child.wait()
    for probe in ("trevanto/trevanto.exe", "kivo/Kivo.exe", "kivo/vidorizu.exe"):
        os.remove(os.path.join(f.drive, probe))


def test_plain_update(f):
    write(f.installed, b"MZ installata")
    fresh = os.urandom(3_000_000)
    write(os.path.join(f.download, "dolvo.exe"), fresh)
    status, out = f.run("--update", "--config", f.config())
    check(status == 0, "--update exits 0 (%d): %s" % (status, out.strip()[-300:]))
    check(read(f.installed) == fresh, "--update installed the server's file byte for byte")
    check(read(f.installed + ".prev") == b"MZ installata", "--update kept the replaced program as .prev")
    check(f.folder() == ["dolvo.exe", "dolvo.exe.prev", "dolvo.exe.release", "dolvo.exe.server"],
          "--update left its record and nothing else: %s" % f.folder())
    check("non viene verificato" in out, "--update without a key says downloads are not verified")
    log = read(os.path.join(os.environ["WINEPREFIX"], "drive_c/ProgramData/AggiornaDV/AggiornaDV.log")).decode().replace("\r\n", "\n")
    check("] - Il programma è stato aggiornato... \n" in log and log.endswith("] Stato di uscita: 0\n"),
          "the run is in the log of %PROGRAMDATA%")
    status, out = f.run("--update", "--config", f.config())
    check(status == 0 and "già aggiornato" in out, "the same bytes again are no update (%d)" % status)
    check(read(f.installed + ".prev") == b"MZ installata", "and the previous program stays")


def test_ftps_with_session_reuse(f):
    # Debian's vsftpd: each data connection must resume the TLS session of the control connection.
    vsftpd = os.path.join(os.environ.get("ADV_DEPS_CACHE", os.path.join(
        os.environ.get("XDG_CACHE_HOME", os.path.expanduser("~/.cache")), "aggiornadv")), "vsftpd")
    if os.getuid() != 0 or not os.path.exists(vsftpd + "/usr/sbin/vsftpd"):
        print("skip FTPS against vsftpd: root only, unpacked in %s by scripts/install-deps.sh" % vsftpd)
        return
    fresh = os.urandom(100_000)
    write(os.path.join(f.download, "dolvo.exe"), fresh)
    certs = os.path.join(f.work, "vsftpd")
    server = ftp_server.start("--vsftpd", vsftpd, "--root", f.served, "--user", "ftp", "--tls", "explicit",
                              "--certdir", certs)
    try:
        config = f.config("tls = explicit\nca_file = %s\n" % windows_path(certs + "/cert.pem"), port=server.port,
                          user="ftp")
        status, out = f.run("--update", "--config", config)
        check(status == 0 and read(f.installed) == fresh, "--update over FTPS from vsftpd (%s): %s"
              % (status, out.strip()[-300:]))
    finally:
        server.communicate(timeout=10)


def test_signed(f):
    write(f.installed, b"MZ installata")
    for name in os.listdir(os.path.dirname(f.installed)):
        if name != "dolvo.exe":
            os.remove(os.path.join(os.path.dirname(f.installed), name))
    signed = f.config("public_key = %s\n" % f.public_key(f.key))
    f.publish(b"MZ versione 2", 2000)
    status, out = f.run("--update", "--config", signed)
    check(status == 0, "signed --update of a genuine release exits 0 (%d): %s" % (status, out.strip()[-300:]))
    check(read(f.installed) == b"MZ versione 2", "the genuine release is installed")
    # What the program decides of a signature is CoreTest's table, run here too.
    status, out = f.run("--rollback", "--config", signed)
    check(status == 0 and read(f.installed) == b"MZ installata", "--rollback puts back the previous program")


def test_console(f):
    """cmd at its prompt on a console (a pty), then a batch file: the bare name runs AggiornaDV.com, which
    waits for the program, so its lines (UTF-8) come before the next prompt and %ERRORLEVEL% is its status."""
    refused = "AggiornaDV --update --config " + windows_path(os.path.join(f.work, "rifiutata.ini"))
    write(os.path.join(f.work, "rifiutata.ini"), "close_grace_s = molti\n")
    write(os.path.join(f.work, "aggiorna.bat"), "@echo off\r\n%s\r\necho stato %%ERRORLEVEL%%\r\n"
          "AggiornaDV --update --config %s\r\necho stato %%ERRORLEVEL%%\r\n" % (refused, f.config()))
    write(f.installed, b"MZ installata")
    master, slave = pty.openpty()
    cmd = subprocess.Popen([WINE, "cmd"], stdin=slave, stdout=slave, stderr=slave, cwd=os.path.dirname(f.args.program))
    os.close(slave)
    seen = [b""]

    def shown():  # without escapes, blanks and line breaks (the console draws blanks as moves, wraps at 80)
        return re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]|\x1b\][^\x07]*\x07|\s", b"", seen[0]).decode("utf-8", "replace")

    def typed(line, until):  # until `until` and the prompt after it, and a quiet second: cmd reads only then
        if line:
            os.write(master, line.encode() + b"\r")
        end, quiet = time.monotonic() + 30, None
        while time.monotonic() < end and not (quiet and time.monotonic() > quiet):
            if select.select([master], [], [], 0.1)[0]:
                seen[0], quiet = seen[0] + os.read(master, 65536), None
            elif quiet is None and re.search(re.escape(until) + r".*>$", shown()):
                quiet = time.monotonic() + 1

    typed("", "MicrosoftWindows")
    typed(refused, "(letto\"molti\")")
    typed("echo stato %ERRORLEVEL%", "stato78")
    typed(windows_path(os.path.join(f.work, "aggiorna.bat")), "stato0")
    cmd.kill()
    cmd.wait()
    check(re.search(r'rifiutata.iniAggiornaDV:.*\(letto"molti"\)[^>]*>echostato%ERRORLEVEL%stato78', shown()),
          "from cmd's prompt, the lines come before the next prompt and %%ERRORLEVEL%% is the status: %r"
          % shown()[-600:])
    check(re.search(r'aggiorna.bat[^>]*\(letto"molti"\)[^>]*stato78[^>]*-Ilprogrammaèstatoaggiornato\.\.\.[^>]*stato0[^>]*>$',
                    shown()), "from a batch file, the same: %r" % shown()[-600:])


def test_held_open(f):
    """A Windows program holds the installed file open: the update waits for it, a while."""
    write(f.installed, b"MZ installata")
    fresh = os.urandom(200_000)
    write(os.path.join(f.download, "dolvo.exe"), fresh)
    for milliseconds, expected in ((2000, 0), (15000, 5)):
        write(f.installed, b"MZ installata")
        ready = f.installed + ".held"
        holder = start_windows(f, f.args.hold_open, windows_path(f.installed), str(milliseconds), windows_path(ready))
        check(wait_for(lambda: os.path.exists(ready), 20), "hold_open.exe holds the installed file")
        os.remove(ready)
        started = time.monotonic()
        status, out = f.run("--update", "--config", f.config())
        took = time.monotonic() - started
        holder.kill()
        holder.wait()
        if expected == 0:
            check(status == 0 and read(f.installed) == fresh,
                  "a file let go within the retry time is replaced (%d, %.1f s)" % (status, took))
        else:
            check(status == 5, "a file held past the retry time fails the step (%d, %.1f s)" % (status, took))
            check("tiene aperto dolvo.exe" in out, "the failure says a program holds the file: " + out.strip()[-200:])
            check(read(f.installed) == b"MZ installata", "the held file is as it was")
            # The second name made for .prev shares the held file's lock and
            # cannot go while it is held; the next update clears it away.
            status, out = f.run("--update", "--config", f.config())
            left = [n for n in f.folder() if n.startswith(".") or n.endswith(".lock")]
            check(status == 0 and left == [], "the next update leaves nothing behind: %s" % left)


def test_lock(f):
    write(f.installed, b"MZ installata")
    write(os.path.join(f.download, "dolvo.exe"), b"MZ nuova")
    lock = f.installed + ".lock"
    ready = f.installed + ".held"
    holder = start_windows(f, f.args.hold_open, windows_path(lock), "20000", windows_path(ready))
    check(wait_for(lambda: os.path.exists(ready), 20), "another program holds the lock")
    os.remove(ready)
    status, out = f.run("--update", "--config", f.config())
    check(status == 21 and "Un altro aggiornamento" in out, "an update while another holds the lock: 21 (%d)" % status)
    check(read(f.installed) == b"MZ installata", "and leaves the file alone")
    holder.kill()
    holder.wait()
    status, out = f.run("--update", "--config", f.config())
    check(status == 0 and read(f.installed) == b"MZ nuova", "once the holder is gone the update goes through")


def test_names_and_depth(f):
    """root = ...\\Società from a UTF-8 file with and without BOM, and an installation 300 characters deep:
    each swept and updated; the file's name is outside the ANSI code page."""
    deep = os.path.join(f.work, "profonda")
    while len(windows_path(deep)) < 300 - len("\\dolvo\\dolvo.exe"):
        deep = os.path.join(deep, "cartella-di-dolvo")
    for drive, bom in ((os.path.join(f.work, "Società"), ""), (os.path.join(f.work, "Società"), "\ufeff"), (deep, "")):
        installed = os.path.join(drive, "dolvo", "dolvo.exe")
        write(installed, b"MZ installata")
        write(os.path.join(f.download, "dolvo.exe"), b"MZ " + bom.encode() + drive[-6:].encode())
        path = os.path.join(f.work, "nomi-Ωł.ini")
        write(path, (bom + "root = %s\nhost = 127.0.0.1\nport = %d\nuser = operatore\npassword = prova-segreta\n"
                     % (windows_path(drive), f.server.port)).encode("utf-8"))
        os.chmod(path, 0o600)
        status, out = f.run("--update", "--config", windows_path(path))
        check(status == 0 and "[x] Dolvo" in out and read(installed) == read(os.path.join(f.download, "dolvo.exe")),
              "%s from a UTF-8 file%s is swept and updated (%d): %s"
              % (windows_path(installed)[-40:], " with BOM" if bom else "", status, out.strip()[-200:]))


def test_drive_and_places(f):
    """root may name a drive; by default it is the current drive; the file may sit in %APPDATA%."""
    prefix = os.environ.get("WINEPREFIX", f.args.default_prefix)
    link = os.path.join(prefix, "dosdevices", "q:")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(f.drive, link)
    try:
        status, out = f.run("--sweep", "--config", f.config(root="q:"))
        check(status == 0 and "[x] Dolvo" in out, "root = q: probes drive Q: (%d): %s" % (status, out.strip()))
        status, out = f.run("--sweep", "--config", f.config(root="k:"))
        check(status == 78, "a drive that does not exist is a configuration error (%d)" % status)

        # The prefix's one user profile, read from the prefix rather than
        # from a Wine program's output, which a loaded machine may lose.
        users = os.path.join(prefix, "drive_c", "users")
        appdata = [os.path.join(users, u, "AppData", "Roaming") for u in sorted(os.listdir(users))
                   if u != "Public" and os.path.isdir(os.path.join(users, u, "AppData", "Roaming"))][0]
        ini = os.path.join(appdata, "AggiornaDV", "AggiornaDV.ini")
        write(ini, "root = q:\n")
        try:
            status, out = f.run("--sweep")
            check(status == 0 and "[x] Dolvo" in out, "the file in %%APPDATA%%\\AggiornaDV is read (%d)" % status)
            os.remove(ini)
            status, out = f.run("--sweep", cwd=f.drive)
            check(status == 0 and "[x] Dolvo" in out,
                  "with no root the current drive is probed (started in Q:\\): %s" % out.strip())
        finally:
            if os.path.exists(ini):
                os.remove(ini)
        # What a user plants in %PROGRAMDATA% an elevated run (as Wine's) refuses; Wine shows
        # another uid's file as ANONYMOUS LOGON's.
        if os.geteuid() != 0:
            print("skip a planted %PROGRAMDATA% file: only root can give it to nobody")
            return
        planted = os.path.join(prefix, "drive_c", "ProgramData", "AggiornaDV", "AggiornaDV.ini")
        write(planted, "root = q:\n")
        try:
            for owned, named in ((planted, "il file"), (os.path.dirname(planted), "la cartella")):
                os.chown(owned, 65534, 65534)
                status, out = f.run("--sweep")
                os.chown(owned, 0, 0)
                check(status == 78 and named in out and "ANONYMOUS" in out,
                      "an elevated run refuses %s another user owns (%d): %s" % (named, status, out.strip()))
        finally:
            os.remove(planted)
    finally:
        os.remove(link)


def test_window(f, artifacts):
    """The real window on Xvfb through Wine's X11 driver, in a prefix of its own."""
    from Xlib import X, display
    from Xlib.ext import xtest

    prefix = os.path.join(f.work, "x11-prefix")
    # The server picks a free display itself and says which.
    told, tell = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(tell), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                            pass_fds=(tell,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(tell)
    # The whole line: the server writes the number and its newline apart, and
    # ends if the reader has gone in between.
    said = b""
    while not said.endswith(b"\n") and select.select([told], [], [], 30)[0]:
        got = os.read(told, 16)
        if not got:
            break
        said += got
    os.close(told)
    number = int(said) if said.endswith(b"\n") else -1
    env = dict(os.environ, DISPLAY=":%d" % number, WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    wm = program = None
    try:
        if not check(number >= 0, "Xvfb started"):
            return
        wm = subprocess.Popen(["openbox"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([WINE, "wineboot", "--init"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        program = subprocess.Popen([WINE, f.args.program, "--config", f.config("show_download = true\n")], env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        screen = display.Display(":%d" % number)
        root = screen.screen().root

        def ours(window, wanted):  # the program's own mapped window of that title
            try:
                name = window.get_full_property(screen.intern_atom("_NET_WM_NAME"), 0)
                title = name.value.decode() if name else (window.get_wm_name() or "")
                owner = window.get_full_property(screen.intern_atom("_NET_WM_PID"), X.AnyPropertyType)
                return (title == wanted and owner is not None and list(owner.value) == [program.pid]
                        and window.get_attributes().map_state == X.IsViewable)
            except Exception:
                return False

        # openbox reparents: look one level down too.
        def find_any(wanted="Aggiornamento Software"):
            for top in root.query_tree().children:
                try:
                    below = top.query_tree().children
                except Exception:
                    continue
                for window in [top, *below]:
                    if ours(window, wanted):
                        return window
            return None

        check(wait_for(lambda: find_any() is not None, 60, 0.25), "the window \"Aggiornamento Software\" is shown")
        window = find_any()
        if window is None:
            return
        geometry = window.get_geometry()
        check((geometry.width, geometry.height) == (937, 520),
              "client size 937 x 520 (%d x %d)" % (geometry.width, geometry.height))
        origin = window.translate_coords(root, 0, 0)
        x, y = -origin.x, -origin.y
        os.makedirs(artifacts, exist_ok=True)
        shot = os.path.join(artifacts, "wine-window.png")

        def uscita_face():  # once painted
            subprocess.run(["import", "-display", ":%d" % number, "-window", "root", "-crop",
                            "937x520+%d+%d" % (x, y), shot], check=False)
            return subprocess.run(["convert", shot, "-format", "%%[pixel:p{%d,%d}]" % (688 + 15, 432 + 15),
                                   "info:"], capture_output=True, text=True).stdout.strip()

        painted = wait_for(lambda: uscita_face() in ("srgb(182,209,245)", "rgb(182,209,245)"), 30, 0.5)
        print("     screenshot: " + shot)
        check(painted, "USCITA's face is (182,209,245): " + uscita_face())

        def pointer(at_x, at_y, click=False):  # the pointer's image where it now stands
            xtest.fake_input(screen, X.MotionNotify, x=at_x, y=at_y)
            for event in (X.ButtonPress, X.ButtonRelease) if click else ():
                xtest.fake_input(screen, event, 1)
            screen.sync()
            image = screen.xfixes_get_cursor_image(root)
            return image.width, image.height, image.xhot, image.yhot, tuple(image.cursor_image)

        screen.xfixes_query_version()
        arrow = pointer(x + 30, y + 300)
        pointer(x + 8 + 120, y + 432 + 41, click=True)  # DOWNLOAD: the question
        if check(wait_for(lambda: find_any("Aggiornamento software") is not None, 20, 0.25), "DOWNLOAD asks"):
            corner = find_any("Aggiornamento software").translate_coords(root, 0, 0)
            check(wait_for(lambda: pointer(x + 30, y + 300) != arrow, 10, 0.1) and
                  wait_for(lambda: pointer(20 - corner.x, 10 - corner.y) == arrow, 10, 0.1),
                  "during the question the hourglass is over the window and the arrow over the question")
            for event in (X.KeyPress, X.KeyRelease):  # Escape: No
                xtest.fake_input(screen, event, screen.keysym_to_keycode(0xFF1B))
        check(wait_for(lambda: pointer(x + 30, y + 300) == arrow, 10), "after the answer the arrow is back")
        pointer(x + 688 + 120, y + 432 + 41, click=True)  # USCITA
        check(wait_for(lambda: program.poll() is not None, 15), "USCITA ends the program")
    finally:
        if program and program.poll() is None:
            program.kill()
        if program:
            program.wait()
        subprocess.run([WINESERVER, "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if wm:
            wm.kill()
            wm.wait()
        # Asked, not killed: the server then takes its lock and socket away.
        xvfb.terminate()
        xvfb.wait()


def main():
    parser = argparse.ArgumentParser()
    for option in ("program", "stand-in", "hold-open", "wine-run", "default-prefix", "artifacts"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()
    for option in ("program", "stand_in", "hold_open"):
        setattr(args, option, os.path.abspath(getattr(args, option)))

    # The run's own prefix, never ~/.wine; wine-run.sh prepares it.
    os.environ.setdefault("WINEPREFIX", args.default_prefix)
    os.environ.setdefault("WINEDEBUG", "-all")
    os.environ.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    subprocess.run([args.wine_run, args.default_prefix, "--prepare"], check=True)

    work = tempfile.mkdtemp(prefix="adv-wine-program.")
    fixture = Fixture(args, work)
    try:
        test_version(fixture)
        test_sweep(fixture)
        test_plain_update(fixture)
        test_ftps_with_session_reuse(fixture)
        test_signed(fixture)
        test_console(fixture)
        test_held_open(fixture)
        test_lock(fixture)
        test_names_and_depth(fixture)
        test_drive_and_places(fixture)
        test_window(fixture, args.artifacts)
    finally:
        fixture.close()
        shutil.rmtree(work, ignore_errors=True)
    print("%d check(s) failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
