#!/usr/bin/python3
"""The Linux side of a Windows test program run under Wine.

Such a program cannot start a Linux program, nor change a file's Unix mode
(from which Wine derives the file's access list). It connects to
127.0.0.1:$ADV_LINUX_SIDE and sends one line, a JSON object, with paths as
Linux names them:

  {"op": "ftp", "args": [...], "password": "...", "stderr": "..."}
      starts ftp_server.py with those arguments and that connection as its
      stdin and stdout: the server's port line goes back over it, and the
      server ends when the program closes it, or when the program ends;
  {"op": "chmod", "path": "...", "mode": 416}
  {"op": "stat", "path": "..."}
  {"op": "symlink", "target": "...", "link": "..."}
      answer "ok", or the mode in decimal, on one line ("" on failure).

    linux_side.py COMMAND [ARGUMENT...]

Exits with COMMAND's status; servers still running then are killed.
"""

import json
import os
import socket
import subprocess
import sys
import threading

SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ftp_server.py")
MAX_REQUEST = 64 * 1024

servers = []
servers_lock = threading.Lock()


def read_request(conn):
    """The request line, read byte by byte so that nothing meant for the
    server is taken from the connection."""
    line = bytearray()
    while len(line) < MAX_REQUEST:
        byte = conn.recv(1)
        if not byte:
            return None
        if byte == b"\n":
            return json.loads(line.decode("utf-8"))
        line += byte
    return None


def serve(conn):
    request = None
    try:
        request = read_request(conn)
        if request is None:
            return
        op = request.get("op")
        if op == "chmod":
            os.chmod(request["path"], int(request["mode"]))
            conn.sendall(b"ok\n")
            return
        if op == "symlink":
            os.symlink(request["target"], request["link"])
            conn.sendall(b"ok\n")
            return
        if op == "stat":
            conn.sendall(b"%d\n" % (os.lstat(request["path"]).st_mode & 0o7777))
            return
        if op != "ftp":
            raise ValueError("unknown op %r" % op)
        args = [str(a) for a in request["args"]]
        env = dict(os.environ, ADV_FTP_PASSWORD=str(request.get("password", "")))
        errors = subprocess.DEVNULL
        if request.get("stderr"):
            errors = open(request["stderr"], "wb")
        try:
            server = subprocess.Popen([sys.executable, SERVER] + args, stdin=conn.fileno(),
                                      stdout=conn.fileno(), stderr=errors, env=env)
        finally:
            if errors is not subprocess.DEVNULL:
                errors.close()
        with servers_lock:
            servers.append(server)
    except (OSError, ValueError, KeyError, TypeError) as error:
        # Where the program looks for the server's complaints.
        try:
            if isinstance(request, dict) and request.get("stderr"):
                with open(request["stderr"], "a", encoding="utf-8") as log:
                    log.write("linux_side.py: %s\n" % error)
            conn.sendall(b"\n")
        except OSError:
            pass
    finally:
        # The server holds its own copies: the connection ends with it.
        conn.close()


def accept(listener):
    while True:
        try:
            conn, _ = listener.accept()
        except OSError:
            return
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    threading.Thread(target=accept, args=(listener,), daemon=True).start()
    env = dict(os.environ, ADV_LINUX_SIDE=str(listener.getsockname()[1]))
    try:
        status = subprocess.call(sys.argv[1:], env=env)
    finally:
        listener.close()
        with servers_lock:
            for server in servers:
                if server.poll() is None:
                    server.kill()
                server.wait()
    sys.exit(status)


if __name__ == "__main__":
    main()
