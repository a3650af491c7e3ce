#!/usr/bin/env python3
"""Loopback HTTP server for the downloader benchmark.

  GET /big/<n>       n bytes (a repeated 1 MiB block), with Content-Length
  GET /big/<n>/<r>   the same at about r MiB/s (r = 0: as fast as it goes)
Ranges "bytes=<from>-" are served (206), as Accept-Ranges tells.
  GET /flood/<k>/<n> k interim answers "HTTP/1.1 100 Continue" and then n bytes

usage: bench_server.py PORT_FILE   (writes the port it listens on into PORT_FILE; runs until killed)
"""
import socket
import sys
import threading
import time

BLOCK = bytes(range(256)) * 4096  # 1 MiB


def handle(conn):
    try:
        serve(conn)
    except OSError:
        pass  # the client went away


def serve(conn):
    with conn:
        data = b""
        while b"\r\n\r\n" not in data:
            part = conn.recv(65536)
            if not part:
                return
            data += part
        parts = data.split(b" ", 2)[1].decode().strip("/").split("/")
        rate = 0
        if parts[0] == "flood":
            conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n" * int(parts[1]))
            size = int(parts[2])
        else:
            size = int(parts[1])
        rate = int(parts[2]) << 20 if parts[0] == "big" and len(parts) > 2 else 0
        start_at = 0
        for line in data.split(b"\r\n"):
            if line.lower().startswith(b"range: bytes="):
                start_at = int(line.split(b"=", 1)[1].split(b"-")[0])
        if start_at:
            conn.sendall(b"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes %d-%d/%d\r\nContent-Length: %d\r\n"
                         b"Connection: close\r\n\r\n" % (start_at, size - 1, size, size - start_at))
        else:
            conn.sendall(b"HTTP/1.1 200 OK\r\nAccept-Ranges: bytes\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % size)
        left = size - start_at
        start = time.monotonic()
        while left > 0:
            n = min(left, len(BLOCK))
            conn.sendall(BLOCK[:n])
            left -= n
            if rate:
                ahead = (size - start_at - left) / rate - (time.monotonic() - start)
                if ahead > 0:
                    time.sleep(ahead)


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
