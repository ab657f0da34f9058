#!/usr/bin/env python3
"""Loopback HTTP server for the link tests. Answers each POST with the next entry of a JSON
script file (re-read at every request, so a test can change it between steps), or with the
script's "default" entry once the list is used up. Appends every request to a JSON-lines log:
{"n", "path", "headers", "body"}. Prints "PORT <n>" once listening.

An entry: {"status": 200, "body": "text", "fill": N (body of N "A"s instead),
"delay": seconds before answering, "drop": true (close without answering),
"declared": N (Content-Length to announce; less data then follows),
"repeat": {"text": "...", "count": N} (appended to the body N times), "suffix": "text" (after that),
"headers": {"Name": "value"} (extra reply headers)}."""
import argparse
import http.server
import json
import socket
import sys
import threading
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True)
    parser.add_argument("--log", required=True)
    args = parser.parse_args()
    lock = threading.Lock()
    state = {"n": 0}

    def next_entry():
        with lock:
            n = state["n"]
            state["n"] = n + 1
        try:
            with open(args.script) as f:
                script = json.load(f)
        except (OSError, ValueError):
            script = {}
        entries = script.get("entries", [])
        entry = entries[n] if n < len(entries) else script.get("default", {"status": 200, "body": ""})
        return n, entry

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        # Head and body go out as separate writes: without this, Nagle and the client's delayed
        # acknowledgement hold every answer back by 40 ms.
        disable_nagle_algorithm = True

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0") or "0")
            body = self.rfile.read(length) if length > 0 else b""
            n, entry = next_entry()
            with lock:
                with open(args.log, "a") as log:
                    log.write(json.dumps({"n": n, "path": self.path, "headers": dict(self.headers.items()),
                                          "body": body.decode("latin-1")}) + "\n")
            if entry.get("delay"):
                time.sleep(float(entry["delay"]))
            if entry.get("drop"):
                self.close_connection = True
                try:
                    self.connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                return
            data = b"A" * int(entry["fill"]) if "fill" in entry else entry.get("body", "").encode("latin-1")
            if "repeat" in entry:
                data += entry["repeat"]["text"].encode("latin-1") * int(entry["repeat"]["count"])
            data += entry.get("suffix", "").encode("latin-1")
            self.send_response(int(entry.get("status", 200)))
            for name, value in entry.get("headers", {}).items():
                self.send_header(name, value)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(entry.get("declared", len(data))))
            if entry.get("declared") is not None or self.headers.get("Connection", "").lower() == "close":
                self.send_header("Connection", "close")
                self.close_connection = True
            self.end_headers()
            try:
                self.wfile.write(data)
            except OSError:
                pass

        def log_message(self, *unused):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print("PORT", server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
