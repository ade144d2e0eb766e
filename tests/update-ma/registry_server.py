#!/usr/bin/env python3
"""A small HTTP server on 127.0.0.1 for the updater's download tests.

Usage: registry_server.py ROOT LOG

Binds an ephemeral port, prints it on standard output, then serves:
  /files/NAME     the file ROOT/NAME with its Content-Length
  /nolength/NAME  the file ROOT/NAME without Content-Length (closes the connection)
  /redirect/NAME  a 302 redirect to /files/NAME
  /silent/NAME    reads the request and never answers
  /stall/NAME     the headers and the first 100 bytes of the file, then nothing
  /trickle/NAME   the file at 100 bytes per second
  anything else   404
Requests are served each on a thread of its own, so that a stalled one
holds up no other. A stalled answer ends after STALL seconds (default 30).
Each request is appended to LOG as "PATH USER-AGENT".
"""
import http.server
import os
import sys
import time

ROOT, LOG = sys.argv[1], sys.argv[2]
STALL = 30


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def send_file(self, name, with_length, kind="files"):
        path = os.path.join(ROOT, name)
        if "/" in name or not os.path.isfile(path):
            self.send_error(404)
            return
        with open(path, "rb") as f:
            body = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "text/csv")
        if with_length:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if kind == "stall":
            self.wfile.write(body[:100])
            self.wfile.flush()
            time.sleep(STALL)
            return
        # In pieces, so that the client reports progress more than once.
        piece = 10 if kind == "trickle" else 65536
        for i in range(0, len(body), piece):
            self.wfile.write(body[i:i + piece])
            self.wfile.flush()
            if kind == "trickle":
                time.sleep(0.1)

    def do_GET(self):
        with open(LOG, "a") as log:
            log.write("%s %s\n" % (self.path, self.headers.get("User-Agent", "")))
        kind, _, name = self.path.lstrip("/").partition("/")
        if kind == "silent":
            time.sleep(STALL)
        elif kind in ("files", "stall", "trickle"):
            self.send_file(name, True, kind)
        elif kind == "nolength":
            self.send_file(name, False)
        elif kind == "redirect":
            self.send_response(302)
            self.send_header("Location", "/files/" + name)
            self.send_header("Content-Length", "0")
            self.end_headers()
        else:
            self.send_error(404)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that gave up on a stalled answer is expected here.
        pass


server = Server(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
