#!/usr/bin/env python3
"""HTTP server for the records tests: answers every GET with the status, content type and body
given on the command line, or (--silent) accepts connections and never answers. Prints
"PORT <n>" once listening and appends each request's path to --log."""
import argparse
import http.server
import socket
import sys
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--status", type=int, default=200)
    parser.add_argument("--content-type", default="application/json")
    parser.add_argument("--body", default='{"code":0}')
    parser.add_argument("--log", default="")
    parser.add_argument("--silent", action="store_true")
    args = parser.parse_args()

    if args.silent:
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        sock.listen(16)
        print("PORT", sock.getsockname()[1], flush=True)
        while True:
            time.sleep(3600)

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            if args.log:
                with open(args.log, "a") as log:
                    log.write(self.path + "\n")
            body = args.body.encode()
            self.send_response(args.status)
            if args.content_type:
                self.send_header("Content-Type", args.content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *unused):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    print("PORT", server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
