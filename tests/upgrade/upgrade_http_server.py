#!/usr/bin/env python3
"""Loopback HTTP server for the upgrade tests. Serves the files of --dir; appends each request's
path to --log; prints "PORT <n>" once listening on 127.0.0.1. Special paths:
  /redirect?to=URL   302 to URL
  /status/N          answers status N
  /stall             promises a large body, sends a few bytes, then stalls
  /truncated/NAME    promises the whole file, sends half of it, then closes
"""
import argparse
import http.server
import os
import sys
import time
import urllib.parse


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--log", required=True)
    args = parser.parse_args()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def do_GET(self):
            with open(args.log, "a") as log:
                log.write(self.path + "\n")
            url = urllib.parse.urlsplit(self.path)
            path = url.path
            if path == "/redirect":
                target = urllib.parse.parse_qs(url.query)["to"][0]
                self.send_response(302)
                self.send_header("Location", target)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            if path.startswith("/status/"):
                self.send_response(int(path[len("/status/"):]))
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            if path == "/stall":
                self.send_response(200)
                self.send_header("Content-Length", "1000000")
                self.end_headers()
                self.wfile.write(b"x" * 10)
                self.wfile.flush()
                time.sleep(60)
                return
            truncated = path.startswith("/truncated/")
            name = os.path.basename(path[len("/truncated"):] if truncated else path)
            full = os.path.join(args.dir, name)
            if not name or not os.path.isfile(full):
                self.send_response(404)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            with open(full, "rb") as f:
                body = f.read()
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[: len(body) // 2] if truncated else body)

        def log_message(self, *unused):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print("PORT", server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
