#!/usr/bin/python3
"""A throw-away FTP server on 127.0.0.1 for the tests, the benchmarks and the demo.

It serves one folder as the home of one read-only user, optionally over TLS
(explicit AUTH TLS, or implicit TLS from the first byte), and can misbehave on
purpose to exercise the client's failure paths. The port is chosen by the OS
and printed on stdout, alone on a line, once the server accepts connections;
the server ends when its stdin closes, so it never outlives whoever started it.
Its starters: start() below for Python, FtpServer.h for C++ (and under Wine,
through linux_side.py), ftp-server.sh for bash.

The password comes from the environment variable ADV_FTP_PASSWORD, so it never
shows in a process listing.
"""

import argparse
import contextlib
import datetime
import ipaddress
import logging
import os
import select
import signal
import socket
import subprocess
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import DTPHandler, FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer

try:
    from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler
except ImportError:  # python3-openssl missing: plain FTP still works
    TLS_DTPHandler = TLS_FTPHandler = None

# Data channels deliberately left hanging (fault "stall"): kept referenced so
# their sockets stay open until the client gives up.
_stalled = []

# What the server can do wrong, on purpose:
#   stall        sends --fault-after bytes of a file, then nothing, connection kept
#   cut          sends --fault-after bytes, then closes as if the file had ended
#   nogreeting   accepts connections and never says a word
#   size-half    SIZE answers half the real size
#   size-negative  SIZE answers "213 -5"
#   no-size      SIZE is not implemented
#   lie-150      the transfer's opening reply announces half the size
#   extra        4 KiB more data than the file holds
#   endless      data without end (SIZE still tells the truth)
#   no-size-endless  both of the above, SIZE not implemented
#   drip         about one byte a second
#   grow         the file grows by 1000 bytes just after it was sent, as when
#                the maker is still uploading it
#   upload-pauses  the file grows by 1000 bytes 0.4 s after it was sent, as an
#                upload does between two of its writes
#   reply-421    RETR is answered 421 and the connection closed
#   data-tls-522, data-tls-425  a transfer ends with vsftpd's or ProFTPD's
#                refusal of a data connection that did not resume the TLS session
#   throttle     1 MiB/s each way, uploads and downloads
#   login-421    the first --fault-after USER are answered 421, connection closed
#   no-rest      REST is not implemented
#   cut-writes   the --fault-after'th command that changes the tree (STOR, RNFR,
#                RNTO, DELE, MKD, RMD) is never carried out: the connection drops
#   no-mlsd      MLSD is not implemented, as by vsftpd
#   no-rename-over  RNTO onto a name in use is refused
FAULTS = ["none", "stall", "cut", "nogreeting", "size-half", "size-negative", "no-size",
          "lie-150", "extra", "endless", "no-size-endless", "drip", "grow", "upload-pauses",
          "reply-421", "cut-writes", "throttle", "login-421", "auth-530", "data-tls-522", "data-tls-425", "no-rest",
          "no-mlsd", "no-rename-over"]
DATA_TLS_REFUSALS = {"data-tls-522": "522 SSL connection failed: session reuse required",
                     "data-tls-425": "425 Unable to build data connection: Operation not permitted"}
WRITES = ("STOR", "RNFR", "RNTO", "DELE", "MKD", "RMD")
_writes_seen = [0]
_logins_seen = [0]


def parse_args():
    p = argparse.ArgumentParser()
    p.add_argument("--root", required=True)
    p.add_argument("--user", required=True)
    p.add_argument("--tls", choices=["off", "explicit", "implicit"], default="off")
    p.add_argument("--certdir", help="folder for the generated certificate")
    p.add_argument("--cert-name", help="the one name the certificate is for, not 127.0.0.1 and localhost")
    p.add_argument("--fault", choices=FAULTS, default="none")
    p.add_argument("--fault-after", type=int, default=65536,
                   help="bytes of a file sent before the fault strikes")
    p.add_argument("--writable", action="store_true", help="the user may also write")
    p.add_argument("--pure-ftpd", metavar="PREFIX",
                   help="serve with Debian's Pure-FTPd unpacked under PREFIX instead (root only)")
    p.add_argument("--vsftpd", metavar="PREFIX",
                   help="serve with Debian's vsftpd unpacked under PREFIX instead (root only; anonymous, "
                        "--user ftp; not --tls implicit)")
    p.add_argument("--write-only", metavar="FOLDER",
                   help="with --vsftpd: an account sito, same password, that may only store and rename in FOLDER")
    p.add_argument("--proftpd", metavar="PREFIX",
                   help="serve with Debian's ProFTPD unpacked under PREFIX instead (root only)")
    p.add_argument("--command-log", help="file that receives every command")
    p.add_argument("--server-log", help="file for the server's own messages")
    p.add_argument("--socks5", action="store_true",
                   help="a SOCKS5 proxy beside it; its port follows the server's on the first line")
    return p.parse_args()


def make_certificate(certdir, only=None):
    """A self-signed certificate for 127.0.0.1 and localhost (or `only`), valid from a day
    ago to a day ahead: valid from this very second, it would be refused by a
    client whose clock reads a little behind (Schannel under Wine did)."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    os.makedirs(certdir, exist_ok=True)
    cert = os.path.join(certdir, "cert.pem")
    key = os.path.join(certdir, "key.pem")
    secret = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, only or "127.0.0.1")])
    now = datetime.datetime.now(datetime.timezone.utc)
    made = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(secret.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1)).not_valid_after(now + datetime.timedelta(days=1))
            # The address as a DNS name too: libcurl's Schannel code (7.88)
            # matches a ca_file's server against DNS names only.
            .add_extension(x509.SubjectAlternativeName([x509.DNSName(only)] if only else [
                x509.IPAddress(ipaddress.ip_address("127.0.0.1")), x509.DNSName("127.0.0.1"), x509.DNSName("localhost")]),
                           critical=False)
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .sign(secret, hashes.SHA256()))
    with open(key, "wb") as f:
        f.write(secret.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                     serialization.NoEncryption()))
    with open(cert, "wb") as f:
        f.write(made.public_bytes(serialization.Encoding.PEM))
    return cert, key


def fault_dtp(base, fault, fault_after):
    """A data channel that sends `fault_after` bytes of a file, then either
    closes while claiming success (cut) or goes silent (stall)."""

    class FaultDTP(base):
        _faulted = False

        def initiate_send(self):
            if self._faulted:
                return
            super().initiate_send()
            if self.receive or self.file_obj is None or self.tot_bytes_sent < fault_after:
                return
            self._faulted = True
            if fault == "cut":
                # Drop what is left and close as if the file had ended: the
                # server then answers 226, so only the size can tell.
                self.producer_fifo.clear()
                self.handle_close()
            else:
                _stalled.append(self)
                self.del_channel()

    # The fault must see every byte go out, so no sendfile().
    FaultDTP.use_sendfile = lambda self: False
    return FaultDTP


class PaddedFile:
    """A file whose data goes on past its end: `extra` more bytes, or
    without end when extra is None."""

    def __init__(self, real, extra):
        self._real = real
        self._left = extra
        self.name = real.name
        self.closed = False

    def read(self, size=-1):
        size = 65536 if size is None or size < 0 else size
        data = self._real.read(size)
        if data:
            return data
        if self._left is None:
            return b"\x5a" * size
        data, self._left = b"\x5a" * min(size, self._left), self._left - min(size, self._left)
        return data

    def close(self):
        self.closed = True
        self._real.close()


def padded_fs(extra):
    class PaddedFS(AbstractedFS):
        def open(self, filename, mode):
            real = super().open(filename, mode)
            return PaddedFile(real, extra) if "r" in mode else real

    return PaddedFS


def patient_tls_dtp():
    """pyftpdlib closes a data channel that becomes readable before a
    transfer command arrived; a TLS client speaks first (its hello), so the
    channel must stay readable while the handshake is pending."""

    class PatientTLSDTP(TLS_DTPHandler):
        def readable(self):
            if self._ssl_accepting:
                return True
            return super().readable()

    return PatientTLSDTP


def make_handler(args, password):
    if args.tls == "off":
        base_handler, base_dtp = FTPHandler, DTPHandler
    else:
        if TLS_FTPHandler is None:
            sys.exit("TLS needs python3-openssl")
        base_handler, base_dtp = TLS_FTPHandler, patient_tls_dtp()

    command_log = open(args.command_log, "a", buffering=1) if args.command_log else None

    fault = args.fault

    class Handler(base_handler):
        _retr_size = 0

        def pre_process_command(self, line, cmd, arg):
            if command_log is not None:
                shown = "****" if cmd == "PASS" else arg
                command_log.write(("%s %s" % (cmd, shown)).rstrip() + "\n")
            if fault == "login-421" and cmd == "USER":
                _logins_seen[0] += 1
                if _logins_seen[0] <= args.fault_after:
                    self.respond("421 Too many connections, try again later.")
                    self.close_when_done()
                    return None
            if fault == "auth-530" and cmd == "AUTH":  # as a server without TLS that wants USER first
                return self.respond("530 Please login with USER and PASS.")
            if (fault == "no-rest" and cmd == "REST") or (fault == "no-mlsd" and cmd == "MLSD"):
                return self.respond("502 Command not implemented.")
            if fault == "no-rename-over" and cmd == "RNTO" and self.fs.lexists(self.fs.ftp2fs(arg)):
                return self.respond("550 File exists.")
            if fault == "cut-writes" and cmd in WRITES:
                _writes_seen[0] += 1
                if _writes_seen[0] == args.fault_after:
                    self.close()
                    return None
            return super().pre_process_command(line, cmd, arg)

        def ftp_SIZE(self, path):
            if fault in ("no-size", "no-size-endless"):
                self.respond("502 Command not implemented.")
            elif fault == "size-negative" and self.fs.isfile(path):
                self.respond("213 -5")
            elif fault == "size-half" and self.fs.isfile(path):
                self.respond("213 %d" % (self.fs.getsize(path) // 2))
            else:
                super().ftp_SIZE(path)

        def ftp_RETR(self, file):
            if fault == "reply-421":
                self.respond("421 Service not available, closing control connection.")
                self.close_when_done()
                return None
            if self.fs.isfile(file):
                self._retr_size = self.fs.getsize(file)
            return super().ftp_RETR(file)

        def respond(self, resp, logfun=logging.debug):
            # libcurl reads a size from "(N bytes)" in the opening reply.
            if fault == "lie-150" and resp[:3] in ("125", "150"):
                resp = "%s Opening BINARY mode data connection (%d bytes)." % (
                    resp[:3], self._retr_size // 2)
            if fault in DATA_TLS_REFUSALS and resp[:3] == "226":
                resp = DATA_TLS_REFUSALS[fault]
            return super().respond(resp, logfun)

        def on_file_sent(self, file):
            def grow():
                with open(file, "ab") as grown:
                    grown.write(b"\x47" * 1000)
            if fault == "grow":
                grow()
            elif fault == "upload-pauses":
                threading.Timer(0.4, grow).start()
            return super().on_file_sent(file)

    if args.fault in ("stall", "cut"):
        Handler.dtp_handler = fault_dtp(base_dtp, args.fault, args.fault_after)
        Handler.use_sendfile = False
    elif args.fault in ("drip", "throttle"):
        # In bursts: pyftpdlib lets a second's worth through, then sleeps. drip: 2 bytes, then about
        # 2 s; throttle: 1 MiB/s, so that another client comes in during a transfer of a few MiB.
        limit = 2 if args.fault == "drip" else 1024 * 1024
        Handler.dtp_handler = type("ThrottledDTP", (ThrottledDTPHandler,), {"read_limit": limit, "write_limit": limit})
        Handler.use_sendfile = False
    else:
        Handler.dtp_handler = base_dtp
    if args.fault in ("extra", "endless", "no-size-endless"):
        Handler.abstracted_fs = padded_fs(4096 if args.fault == "extra" else None)
        Handler.use_sendfile = False

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, password, args.root, perm="elradfmw" if args.writable else "elr")
    Handler.authorizer = authorizer
    Handler.banner = "test server ready"
    # A short pause after a wrong password, as real servers make, but well
    # inside the clients' reply time-outs.
    Handler.auth_failed_timeout = 0.2
    Handler.permit_foreign_addresses = False

    if args.tls != "off":
        cert, key = make_certificate(args.certdir, args.cert_name)
        Handler.certfile = cert
        Handler.keyfile = key
        Handler.tls_control_required = True
        Handler.tls_data_required = True

    if args.tls == "implicit":
        class ImplicitHandler(Handler):
            # TLS from the first byte: handshake first, greeting after.
            def handle(self):
                self.secure_connection(self.ssl_context)

            def handle_ssl_established(self):
                Handler.handle(self)

            def ftp_AUTH(self, line):
                self.respond("503 Already using TLS.")

        return ImplicitHandler
    return Handler


def serve_no_greeting(listener):
    """Accepts connections and never says a word."""
    held = []
    while True:
        conn, _ = listener.accept()
        held.append(conn)


def give_tree(root, user):
    """The tree made the user's: the server writes as that user."""
    import pwd
    account = pwd.getpwnam(user)
    for folder, dirs, files in os.walk(root):
        for name in [folder] + [os.path.join(folder, n) for n in dirs + files]:
            os.chown(name, account.pw_uid, account.pw_gid)
    return account


def user_line(args, password, account):
    """A passwd line for the fixture's one user, who is `account` on this
    machine, with a hash that is quick to check."""
    import warnings
    warnings.simplefilter("ignore", DeprecationWarning)  # Debian 12's Python still has crypt
    import crypt
    return "%s:%s:%d:%d::%s" % (args.user, crypt.crypt(password, crypt.mksalt(crypt.METHOD_SHA512)),
                                account.pw_uid, account.pw_gid, os.path.abspath(args.root))


def serve_pure_ftpd(args, password):
    """Debian's Pure-FTPd, unpacked rather than installed (an installed one
    starts a service on port 21), with one virtual user who is `nobody` on
    this machine: it writes only where --writable gives `nobody` the tree.
    Over explicit TLS when asked, which it then demands."""
    import pwd, tempfile
    nobody = give_tree(args.root, "nobody") if args.writable else pwd.getpwnam("nobody")
    with tempfile.TemporaryDirectory(prefix="adv-pure-ftpd-") as work:
        # As pure-pw writes it, with the home's "/./" (chroot) and its empty fields.
        with open(work + "/passwd", "w") as users:
            users.write(user_line(args, password, nobody) + "/./::::::::::::\n")
        subprocess.run([os.path.join(args.pure_ftpd, "usr/bin/pure-pw"), "mkdb", work + "/passwd.pdb",
                        "-f", work + "/passwd"], check=True)
        tls = []
        if args.tls == "explicit":
            tls = ["--tls", "2", "--certfile", ",".join(make_certificate(args.certdir))]
        serve_real("Pure-FTPd", lambda port: [
            os.path.join(args.pure_ftpd, "usr/sbin/pure-ftpd"), "-S", "127.0.0.1,%d" % port,
            "-l", "puredb:%s/passwd.pdb" % work, "-E", "-A", "-H", "-p", "40000:49999", *tls])


def serve_vsftpd(args, password):
    """Debian's vsftpd, unpacked rather than installed, plain or over explicit
    TLS: as its defaults demand, each data connection must then resume the
    control connection's TLS session. Anonymous (--write-only adds a named
    user), as `daemon`: vsftpd refuses a user whose home does not exist, as
    nobody's. --writable gives `daemon` what is below the root,
    which stays root's: vsftpd refuses a root its user may write in."""
    import tempfile
    if args.user != "ftp" or args.tls == "implicit":
        sys.exit("vsftpd serves here only --user ftp, plain or over --tls explicit")
    tls = ["ssl_enable=NO"]
    if args.tls == "explicit":
        cert, key = make_certificate(args.certdir)
        tls = ["ssl_enable=YES", "allow_anon_ssl=YES", "force_anon_logins_ssl=YES", "force_anon_data_ssl=YES",
               "require_ssl_reuse=YES", "ssl_ciphers=HIGH", "rsa_cert_file=" + cert, "rsa_private_key_file=" + key]
    writes = ["write_enable=NO"]
    if args.writable:
        give_tree(args.root, "daemon")
        os.chown(args.root, 0, 0)
        writes = ["write_enable=YES", "anon_upload_enable=YES", "anon_mkdir_write_enable=YES",
                  "anon_other_write_enable=YES", "anon_umask=022"]
    with tempfile.TemporaryDirectory(prefix="adv-vsftpd-") as work:
        os.mkdir(work + "/empty")
        local, binds = ["local_enable=NO"], []
        if args.write_only:
            local, binds = write_only_vsftpd(args, password, work)

        def command(port):
            with open(work + "/vsftpd.conf", "w") as conf:
                conf.write("\n".join([
                    "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1", "listen_port=%d" % port,
                    "background=NO", "anonymous_enable=YES", *local, *writes,
                    "ftp_username=daemon", "anon_root=" + os.path.abspath(args.root),
                    "secure_chroot_dir=%s/empty" % work, "vsftpd_log_file=%s/log" % work, *tls,
                    "pasv_min_port=40000", "pasv_max_port=49999", ""]))
            return [os.path.join(args.vsftpd, "usr/sbin/vsftpd"), work + "/vsftpd.conf"]
        serve_real("vsftpd", command, binds)


def write_only_vsftpd(args, password, work):
    """README.md's account, a local user (`daemon`) PAM knows from files mounted over the system's where vsftpd
    runs, as is its folder in one the user may pass (vsftpd enters it as the user): vsftpd's lines, the mounts."""
    import pathlib
    folder, reports = work + "/sito", os.path.join(args.root, args.write_only)
    fields = user_line(argparse.Namespace(user="sito", root=folder), password, give_tree(reports, "daemon")).split(":")
    os.chmod(work, 0o711)
    os.mkdir(folder)
    for name, text in [
            ("pam.d/vsftpd", "auth required pam_unix.so\naccount required pam_unix.so\n"),
            ("passwd", pathlib.Path("/etc/passwd").read_text() + ":".join(["sito", "x", *fields[2:], "/bin/false\n"])),
            ("shadow", pathlib.Path("/etc/shadow").read_text() + "sito:%s:19000:0:99999:7:::\n" % fields[1]),
            ("users/sito", "\n".join(["local_root=" + folder, "write_enable=YES", "download_enable=NO",
                                      "dirlist_enable=NO", "cmds_allowed=AUTH,PBSZ,PROT,USER,PASS,PWD,CWD,TYPE,"
                                      "EPSV,PASV,STOR,RNFR,RNTO,NOOP,QUIT\n"]))]:
        os.makedirs(os.path.dirname(work + "/" + name), exist_ok=True)
        with open(os.open(work + "/" + name, os.O_WRONLY | os.O_CREAT, 0o600 if name == "shadow" else 0o644), "w") as f:
            f.write(text)
    return (["local_enable=YES", "chroot_local_user=YES", "allow_writeable_chroot=YES", "pam_service_name=vsftpd",
             "user_config_dir=" + work + "/users", "local_umask=022"],
            [(reports, folder)] + [(work + "/" + name, "/etc/" + name) for name in ("pam.d", "passwd", "shadow")])


def serve_proftpd(args, password):
    """Debian's ProFTPD, unpacked rather than installed, with one virtual user
    jailed in the root, over explicit TLS when asked: mod_tls's defaults, so
    each data connection must resume the control connection's TLS session.
    The user is root here: ProFTPD enters the root as the user, and a test's
    folders are its own."""
    import pwd, tempfile
    with tempfile.TemporaryDirectory(prefix="adv-proftpd-") as work:
        with open(work + "/passwd", "w") as users:
            users.write(user_line(args, password, pwd.getpwuid(0)) + ":/bin/false\n")
        with open(work + "/group", "w") as groups:
            groups.write("%s:x:0:\n" % args.user)
        for name in ("passwd", "group"):
            os.chmod(work + "/" + name, 0o600)
        tls = []
        if args.tls != "off":
            cert, key = make_certificate(args.certdir)
            tls = ["LoadModule mod_tls.c", "TLSEngine on", "TLSRequired on", "TLSLog %s/tls.log" % work,
                   "TLSECCertificateFile " + cert, "TLSECCertificateKeyFile " + key, "TLSVerifyClient off"]
            if args.tls == "implicit":
                tls.append("TLSOptions UseImplicitSSL")

        def command(port):
            with open(work + "/proftpd.conf", "w") as conf:
                conf.write("\n".join([
                    "ServerType standalone", "DefaultServer on", "UseIPv6 off", "DefaultAddress 127.0.0.1",
                    "SocketBindTight on", "Port %d" % port, "User nobody", "Group nogroup",
                    "PidFile %s/pid" % work, "ScoreboardFile %s/scoreboard" % work, "DelayTable none",
                    "WtmpLog off", "UseReverseDNS off", "SystemLog %s/log" % work, "TransferLog none",
                    "AuthOrder mod_auth_file.c", "AuthUserFile %s/passwd" % work,
                    "AuthGroupFile %s/group" % work, "RequireValidShell off", "RootLogin on", "DefaultRoot ~",
                    "Umask 022", "AllowOverwrite " + ("on" if args.writable else "off"),
                    "<Limit WRITE>", "  " + ("AllowAll" if args.writable else "DenyAll"), "</Limit>",
                    "PassivePorts 40000 49999",
                    "ModulePath " + os.path.join(args.proftpd, "usr/lib/proftpd"), *tls, ""]))
            return [os.path.join(args.proftpd, "usr/sbin/proftpd"), "--nodaemon", "--quiet",
                    "--config", work + "/proftpd.conf"]
        serve_real("ProFTPD", command)


def serve_real(name, command, binds=()):
    """Starts command(port), a real server, on a free port of 127.0.0.1 and
    serves until stdin ends; each (source, target) of `binds` mounted over
    its target where the server runs, and only there."""
    import ctypes
    # Such servers serve each session in a process of its own: they become this
    # fixture's (PR_SET_CHILD_SUBREAPER), to be killed and waited for with it.
    libc = ctypes.CDLL(None)
    libc.prctl(36, 1)
    for _ in range(10):  # another program may take the port first
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        # PR_SET_PDEATHSIG: the server goes when this fixture goes, however it goes.
        # Its own /run: it keeps a file there for each session, which a kill leaves behind.
        mounts = [path for pair in binds for path in pair]
        script = "".join(' && mount --bind "$%d" "$%d"' % (i + 1, i + 2) for i in range(0, len(mounts), 2))
        server = subprocess.Popen(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                                   'mount -t tmpfs tmpfs /run%s && shift %d && exec "$@"' % (script, len(mounts)),
                                   "sh", *mounts, *command(port)],
                                  stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  start_new_session=True, preexec_fn=lambda: libc.prctl(1, signal.SIGKILL))
        try:
            while server.poll() is None:
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                except OSError:
                    threading.Event().wait(0.05)
                    continue
                print(port, flush=True)
                while sys.stdin.buffer.read(65536):
                    pass
                return
        finally:
            stop(server)
    sys.exit(name + " did not start")


def stop(server):
    """The server and its sessions, each waited for."""
    with contextlib.suppress(ProcessLookupError):  # it ended by itself: its port was taken
        os.killpg(server.pid, signal.SIGKILL)
    server.wait()
    with contextlib.suppress(ChildProcessError):
        while True:
            os.waitpid(-1, 0)


def watch_stdin():
    try:
        while sys.stdin.buffer.read(65536):
            pass
    finally:
        os._exit(0)


def start(*arguments, password="", stderr=None, seconds=30):
    """This server started with `arguments`: a Popen with the ports it
    announced (`ports`: the FTP port, then a SOCKS5 proxy's; `port`). It ends
    when its stdin closes: communicate() stops it. Raises RuntimeError if it
    ends, or says nothing in `seconds`, first."""
    server = subprocess.Popen([sys.executable, os.path.abspath(__file__), *arguments], bufsize=0,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr,
                              env=dict(os.environ, ADV_FTP_PASSWORD=password))
    # The line comes in one write: once there is something to read, it is all there.
    line = server.stdout.readline() if select.select([server.stdout], [], [], seconds)[0] else b""
    if not line.endswith(b"\n"):
        server.kill()
        server.wait()
        raise RuntimeError("the FTP server ended, or gave no port in %d s: %s" % (seconds, " ".join(arguments)))
    server.ports = [int(port) for port in line.split()]
    server.port = server.ports[0]
    return server


def serve_socks5(listener, log_path):
    """A SOCKS5 proxy without authentication, CONNECT to 127.0.0.1 only; each
    connection it carries is written into the command log."""
    log = open(log_path, "a", buffering=1)

    def pipe(source, sink):
        try:
            while data := source.recv(65536):
                sink.sendall(data)
            sink.shutdown(socket.SHUT_WR)  # the end of FTP's data is its close
        except OSError:
            pass

    def carry(client):
        with client:
            f = client.makefile("rb")
            f.read(f.read(2)[1])  # the methods offered: none is asked for
            client.sendall(b"\x05\x00")
            _, command, _, kind = f.read(4)
            host = socket.inet_ntoa(f.read(4)) if kind == 1 else f.read(f.read(1)[0]).decode()
            port = int.from_bytes(f.read(2), "big")
            if command != 1 or host != "127.0.0.1":
                return client.sendall(b"\x05\x02\x00\x01" + bytes(6))
            with socket.create_connection((host, port), timeout=10) as upstream:
                upstream.settimeout(None)
                log.write("SOCKS5 %s:%d\n" % (host, port))
                client.sendall(b"\x05\x00\x00\x01" + bytes(6))
                back = threading.Thread(target=pipe, args=(upstream, client), daemon=True)
                back.start()
                pipe(client, upstream)
                back.join()

    while True:
        threading.Thread(target=carry, args=(listener.accept()[0],), daemon=True).start()


def main():
    args = parse_args()
    password = os.environ.get("ADV_FTP_PASSWORD", "")

    if args.server_log:
        logging.basicConfig(filename=args.server_log, level=logging.INFO,
                            format="%(asctime)s %(message)s")
    else:
        logging.basicConfig(level=logging.WARNING)

    if args.pure_ftpd:
        serve_pure_ftpd(args, password)
        return
    if args.vsftpd:
        serve_vsftpd(args, password)
        return
    if args.proftpd:
        serve_proftpd(args, password)
        return
    threading.Thread(target=watch_stdin, daemon=True).start()

    if args.fault == "nogreeting":
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        print(listener.getsockname()[1], flush=True)
        serve_no_greeting(listener)
        return

    handler = make_handler(args, password)
    server = FTPServer(("127.0.0.1", 0), handler)
    server.max_cons = 64
    ports = [server.socket.getsockname()[1]]
    if args.socks5:
        proxy = socket.create_server(("127.0.0.1", 0))
        ports.append(proxy.getsockname()[1])
        threading.Thread(target=serve_socks5, args=(proxy, args.command_log), daemon=True).start()
    print(*ports, flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
