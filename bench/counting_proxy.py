#!/usr/bin/python3
"""An FTP proxy on 127.0.0.1 that counts what a session costs the server.

It carries each control connection to the server at --upstream, and each data
connection too: the server's EPSV and PASV replies are rewritten to name a
port of the proxy's. With --tls explicit it stands in the middle of TLS:
after AUTH TLS it speaks TLS to the client with the server's own certificate
(--cert, --key) and to the server as a client, so that it still reads the
commands. The session's figures go to --report, one JSON line as it ends:

  commands      the commands, in order (PASS without its argument)
  ftp           FTP's own bytes: control each way, data each way
  wire          the bytes between the client and the proxy (TLS with its
                handshakes, as the server would see them)

"up" is towards the server. The port it listens on is printed on stdout; it
ends when its stdin closes, once the sessions whose clients left are written.
"""

import argparse
import json
import re
import select
import socket
import ssl
import sys
import threading

EPSV = re.compile(rb"^229 (.*)\(\|\|\|(\d+)\|\)(.*)$", re.S)
PASV = re.compile(rb"^227 (.*?)\(?(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)?(.*)$", re.S)


class Leg:
    """One side of a proxied connection: its bytes counted, TLS through
    memory BIOs once started, so that the bytes on the wire show."""

    def __init__(self, sock):
        self.sock = sock
        self.tls = None
        self.ready = True  # handshake done, or none
        self.queued = b""  # plain bytes waiting for the handshake
        self.ended = False
        self.wire = [0, 0]  # received, sent

    def start_tls(self, context, server_side, session=None):
        self.inc, self.out = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.inc, self.out, server_side=server_side,
                                    server_hostname=None if server_side else "127.0.0.1", session=session)
        self.ready = False
        self._progress()

    def _flush(self):
        data = self.out.read() if self.tls else b""
        if data:
            self.sock.sendall(data)
            self.wire[1] += len(data)

    def _progress(self):
        if not self.ready:
            try:
                self.tls.do_handshake()
                self.ready = True
            except ssl.SSLWantReadError:
                pass
        self._flush()
        if self.ready and self.queued:
            queued, self.queued = self.queued, b""
            self.send(queued)

    def receive(self):
        """What came in plain, perhaps nothing yet; `ended` once the peer ended."""
        data = self.sock.recv(65536)
        self.wire[0] += len(data)
        self.ended = not data
        if self.tls is None:
            return data
        if data:
            self.inc.write(data)
        else:
            self.inc.write_eof()
        self._progress()
        plain = b""
        while self.ready:
            try:
                chunk = self.tls.read(65536)
            except ssl.SSLWantReadError:
                break
            except (ssl.SSLZeroReturnError, ssl.SSLEOFError):
                chunk = b""
            if not chunk:
                self.ended = True
                break
            plain += chunk
        self._flush()
        return plain

    def send(self, data):
        if not self.ready:
            self.queued += data
        elif self.tls is None:
            self.sock.sendall(data)
            self.wire[1] += len(data)
        else:
            self.tls.write(data)
            self._flush()

    def finish(self):
        """The end passed on: TLS's close_notify (the peer's is not waited
        for), then the connection's."""
        if self.tls is not None and self.ready:
            try:
                self.tls.unwrap()
            except ssl.SSLError:
                pass
            self._flush()
        try:
            self.sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def relay(a, b, on_a, on_b):
    """Carries bytes both ways until either side ends; on_a(plain) returns
    what goes on to b, on_b likewise. An end waits for the other side's
    handshake, as may the bytes before it."""
    with a.sock, b.sock:
        ways = {a.sock: (a, b, on_a), b.sock: (b, a, on_b)}
        closing = None  # the side an end goes on to
        while True:
            for sock in select.select(list(ways), [], [])[0]:
                source, sink, change = ways[sock]
                try:
                    plain = source.receive()
                except (OSError, ssl.SSLError):
                    plain, source.ended = b"", True
                if plain and closing is None:
                    sink.send(change(plain))
                if source.ended and closing is not None:
                    return
                if source.ended:
                    closing = sink
                    del ways[sock]
            if closing is not None and closing.ready:
                closing.finish()
                return


class Session:
    def __init__(self, args, client, report):
        self.args, self.report = args, report
        self.client = Leg(client)
        self.server = Leg(socket.create_connection(("127.0.0.1", args.upstream)))
        self.commands = []
        self.ftp = {"control_up": 0, "control_down": 0, "data_up": 0, "data_down": 0}
        self.data_wire = [0, 0]
        self.private = False  # PROT P: data connections over TLS too
        self.data = []
        self.pending = b""  # a command line not yet whole
        self.starting_tls = False

    def contexts(self):
        towards_client = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        towards_client.load_cert_chain(self.args.cert, self.args.key)
        towards_server = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        towards_server.check_hostname = False
        towards_server.verify_mode = ssl.CERT_NONE
        # A TLS 1.2 session resumes as often as asked: each data connection
        # must resume the control connection's (vsftpd's require_ssl_reuse).
        towards_server.maximum_version = ssl.TLSVersion.TLSv1_2
        return towards_client, towards_server

    def from_client(self, plain):
        self.ftp["control_up"] += len(plain)
        self.pending += plain
        while b"\n" in self.pending:
            line, self.pending = self.pending.split(b"\n", 1)
            words = line.decode("latin-1").strip().split(" ", 1)
            name = words[0].upper()
            self.commands.append(name if name == "PASS" or len(words) == 1 else name + " " + words[1])
            if name == "AUTH":
                self.starting_tls = True
            if name == "PROT":
                self.private = words[1:] == ["P"]
        return plain

    def from_server(self, plain):
        self.ftp["control_down"] += len(plain)
        if self.starting_tls and plain.startswith(b"234"):
            self.starting_tls = False
            self.client.send(plain)
            towards_client, towards_server = self.contexts()
            self.tls_contexts = (towards_client, towards_server)
            self.server.start_tls(towards_server, server_side=False)
            self.client.start_tls(towards_client, server_side=True)
            return b""
        if (epsv := EPSV.match(plain)) is not None:
            port = self.passive(int(epsv[2]))
            return b"229 %s(|||%d|)%s" % (epsv[1], port, epsv[3])
        if (pasv := PASV.match(plain)) is not None:
            port = self.passive(int(pasv[6]) * 256 + int(pasv[7]))
            return b"227 %s(127,0,0,1,%d,%d)%s" % (pasv[1], port // 256, port % 256, pasv[8])
        return plain

    def passive(self, upstream):
        """A port of the proxy's for the data connection to `upstream`."""
        listener = socket.create_server(("127.0.0.1", 0))
        thread = threading.Thread(target=self.carry_data, args=(listener, upstream), daemon=True)
        thread.start()
        self.data.append(thread)
        return listener.getsockname()[1]

    def carry_data(self, listener, upstream):
        with listener:
            listener.settimeout(30)
            client = Leg(listener.accept()[0])
        server = Leg(socket.create_connection(("127.0.0.1", upstream)))
        if self.private:
            towards_client, towards_server = self.tls_contexts
            server.start_tls(towards_server, server_side=False, session=self.server.tls.session)
            client.start_tls(towards_client, server_side=True)

        def count(key):
            def counted(plain):
                self.ftp[key] += len(plain)
                return plain
            return counted
        relay(client, server, count("data_up"), count("data_down"))
        self.data_wire[0] += client.wire[0]
        self.data_wire[1] += client.wire[1]

    def run(self):
        try:
            relay(self.client, self.server, self.from_client, self.from_server)
        finally:
            for thread in self.data:
                thread.join(30)
            line = {"commands": self.commands, "ftp": self.ftp,
                    "wire": {"control_up": self.client.wire[0], "control_down": self.client.wire[1],
                             "data_up": self.data_wire[0], "data_down": self.data_wire[1]}}
            with open(self.report, "a") as report:
                report.write(json.dumps(line) + "\n")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--upstream", type=int, required=True, help="the FTP server's port on 127.0.0.1")
    p.add_argument("--report", required=True)
    p.add_argument("--tls", choices=["off", "explicit"], default="off")
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--port", type=int, default=0, help="where to listen; 0, a port the OS picks")
    args = p.parse_args()
    listener = socket.create_server(("127.0.0.1", args.port))
    print(listener.getsockname()[1], flush=True)

    sessions = []

    def serve():
        while True:
            client = listener.accept()[0]
            sessions.append(threading.Thread(target=Session(args, client, args.report).run, daemon=True))
            sessions[-1].start()
    threading.Thread(target=serve, daemon=True).start()
    while sys.stdin.buffer.read(65536):
        pass
    # The sessions its client ended write their figures before it goes.
    for session in list(sessions):
        session.join(30)


if __name__ == "__main__":
    main()
