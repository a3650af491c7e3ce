#!/usr/bin/env python3
"""A small HTTP server for the downloader tests: answers every request with the file of the same name
from a folder, in chunks, and appends each request exactly as it arrived to a log file.

usage: recording_http_server.py <folder> <request log>
Prints "port <n>" once it listens on 127.0.0.1.
"""
import os
import socket
import sys
import urllib.parse


def serve(folder, log_path):
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(8)
    print("port", srv.getsockname()[1], flush=True)
    while True:
        conn, _ = srv.accept()
        with conn:
            data = b""
            while b"\r\n\r\n" not in data:
                part = conn.recv(65536)
                if not part:
                    break
                data += part
            with open(log_path, "ab") as log:
                log.write(data)
            try:
                target = data.split(b" ", 2)[1].decode("latin-1")
            except IndexError:
                continue
            name = urllib.parse.unquote(target.split("?")[0].rsplit("/", 1)[-1])
            path = os.path.join(folder, name)
            if not name or not os.path.isfile(path):
                conn.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found")
                continue
            with open(path, "rb") as f:
                body = f.read()
            out = [b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"]
            pos, size = 0, 1
            while pos < len(body):
                piece = body[pos:pos + size]
                out.append(b"%x\r\n" % len(piece) + piece + b"\r\n")
                pos += len(piece)
                size = size * 3 + 1  # chunks of growing, uneven sizes
            out.append(b"0\r\n\r\n")
            conn.sendall(b"".join(out))


if __name__ == "__main__":
    serve(sys.argv[1], sys.argv[2])
