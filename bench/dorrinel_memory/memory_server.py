#!/usr/bin/env python3
"""Loopback HTTP server for the downloader's memory benchmark: it sends as fast as loopback takes.

  GET /endless      a body without length that never ends (no ranges), until the client goes
  GET /ranges/<n>   n bytes with Content-Length, Accept-Ranges and an ETag; "Range: bytes=<from>-"
                    is answered with 206 from there

usage: memory_server.py PORT_FILE   (writes its port into PORT_FILE; runs until killed)
"""
import socket
import sys
import threading

BLOCK = bytes(range(256)) * 4096  # 1 MiB


def serve(conn):
    with conn:
        data = b""
        while b"\r\n\r\n" not in data:
            part = conn.recv(65536)
            if not part:
                return
            data += part
        target = data.split(b" ", 2)[1].decode()
        if target == "/endless":
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n")
            while True:
                conn.sendall(BLOCK)
        size = int(target.rsplit("/", 1)[1])
        start_at = 0
        for line in data.split(b"\r\n"):
            if line.lower().startswith(b"range: bytes="):
                start_at = int(line.split(b"=", 1)[1].split(b"-")[0])
        common = b"Accept-Ranges: bytes\r\nETag: \"m1\"\r\nConnection: close\r\n"
        if start_at:
            conn.sendall(b"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes %d-%d/%d\r\nContent-Length: %d\r\n%s\r\n"
                         % (start_at, size - 1, size, size - start_at, common))
        else:
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n%s\r\n" % (size, common))
        left = size - start_at
        while left > 0:
            n = min(left, len(BLOCK))
            conn.sendall(BLOCK[:n])
            left -= n


def handle(conn):
    try:
        serve(conn)
    except (OSError, ValueError, IndexError):
        pass  # the client went away, or asked for something else


def main():
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(16)
    with open(sys.argv[1], "w") as f:
        f.write(str(srv.getsockname()[1]))
    while True:
        conn, _ = srv.accept()
        threading.Thread(target=handle, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
