#!/usr/bin/python3
"""fake_x_server.py MODE WHERE FIRST RECORD: another user's X server on the first
free display N from FIRST, over "tcp" (127.0.0.1:6000+N) or "abstract". Writes N
to RECORD, then "R" to fd 3. MODE record: refuse each connection after a line
"uid=U name=HEX data=HEX" (the sender, "-" over TCP, and its cookie); silent:
never answer, and write "open=K" whenever K connections are open."""

import os
import selectors
import socket
import struct
import sys

mode, where, first, record = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]


def note(line):
    with open(record, "a") as f:
        f.write(line + "\n")


for number in range(first, first + 500):
    server = socket.socket(socket.AF_INET if where == "tcp" else socket.AF_UNIX)
    try:
        server.bind(("127.0.0.1", 6000 + number) if where == "tcp" else "\0/tmp/.X11-unix/X%d" % number)
        break
    except OSError:
        server.close()
server.listen(128)
note(str(number))
os.write(3, b"R")
os.close(3)

selector = selectors.DefaultSelector()
selector.register(server, selectors.EVENT_READ)
setups = {}  # connection -> its setup request so far; None once answered
while True:
    for key, _ in selector.select():
        if key.fileobj is server:
            conn = server.accept()[0]
            selector.register(conn, selectors.EVENT_READ)
            setups[conn] = b""
            if mode == "silent":
                note("open=%d" % len(setups))
            continue
        conn = key.fileobj
        data = conn.recv(65536)
        if not data:
            selector.unregister(conn)
            del setups[conn]
            conn.close()
        if not data or mode == "silent" or setups[conn] is None:
            continue
        setup = setups[conn] = setups[conn] + data
        order = "<" if setup[:1] == b"l" else ">"
        lengths = struct.unpack(order + "HH", setup[6:10]) if len(setup) >= 12 else (1 << 20, 0)
        name_end = 12 + (lengths[0] + 3) // 4 * 4
        if len(setup) < name_end + lengths[1]:
            continue
        setups[conn] = None
        cred = where != "tcp" and conn.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12)
        note("uid=%s name=%s data=%s" % (struct.unpack("3i", cred)[1] if cred else "-",
                                        setup[12:12 + lengths[0]].hex(), setup[name_end:name_end + lengths[1]].hex()))
        conn.sendall(struct.pack(order + "BBHHH", 0, 7, 11, 0, 2) + b"refused\0")
