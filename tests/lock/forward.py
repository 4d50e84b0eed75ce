#!/usr/bin/env python3
"""A byte forwarder between a TCP port and a Unix socket file, so that a
process in another network namespace reaches brisklink-emu.
    forward.py unix SOCKET HOST:PORT   listen on SOCKET, connect to HOST:PORT
    forward.py tcp HOST:PORT SOCKET    bring lo up, listen on HOST:PORT, connect to SOCKET"""
import fcntl
import socket
import struct
import sys
import threading


def pump(a, b):
    try:
        while data := a.recv(65536):
            b.sendall(data)
    except OSError:
        pass
    for s in (a, b):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def serve(listener, connect):
    while True:
        client, _ = listener.accept()
        upstream = connect()
        for a, b in ((client, upstream), (upstream, client)):
            threading.Thread(target=pump, args=(a, b), daemon=True).start()


def main():
    mode, here, there = sys.argv[1:4]
    if mode == "unix":
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(here)
        host, port = there.rsplit(":", 1)
        connect = lambda: socket.create_connection((host, int(port)))
    else:
        # A new network namespace starts with its loopback down.
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        flags = struct.unpack("16sH", fcntl.ioctl(s, 0x8913, struct.pack("16sH", b"lo", 0)))[1]
        fcntl.ioctl(s, 0x8914, struct.pack("16sH", b"lo", flags | 1))
        host, port = here.rsplit(":", 1)
        listener = socket.create_server((host, int(port)))

        def connect():
            u = socket.socket(socket.AF_UNIX)
            u.connect(there)
            return u
    listener.listen(16)
    print("ready", flush=True)
    serve(listener, connect)


main()
