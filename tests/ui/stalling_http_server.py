#!/usr/bin/env python3
"""A web server on the loopback interface whose answers misbehave, for the bounds of the update check.

usage: stalling_http_server.py MODE   (prints "port N" once it listens)
  trickle  status 200, then one byte of an INI line every 100 ms: never idle, never done
  huge     status 200 without a length, then 10 MB of INI lines
  liar     status 200 announcing 100 MB, then one short INI file
Each answer ends by itself after 30 s at most."""
import http.server
import sys
import time

MODE = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        if MODE == "liar":
            self.send_header("Content-Length", str(100 << 20))
        self.end_headers()
        end = time.monotonic() + 30
        try:
            if MODE == "trickle":
                while time.monotonic() < end:
                    self.wfile.write(b";")
                    self.wfile.flush()
                    time.sleep(0.1)
            elif MODE == "huge":
                line = b"[UPdata]\r\nver=1.0\r\n" + b";" * 1000 + b"\r\n"
                for _ in range((10 << 20) // len(line)):
                    self.wfile.write(line)
            else:
                self.wfile.write(b"[UPdata]\r\nver=1.0\r\n")
        except (BrokenPipeError, ConnectionResetError):
            pass

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print("port", server.server_address[1], flush=True)
server.serve_forever()
