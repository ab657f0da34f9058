#!/usr/bin/env python3
"""Loopback test server of the protect channel: each POST's body is itself a complete HTTP request
text (request line, headers, blank line, message). The inner request is parsed here, its message
decoded with Python's own libraries (urllib and the generated protobuf module), and the POST is
answered like zem_server.py answers (same script format and reply entries).

Start:
  protect_server.py --proto-path DIR --script FILE --log FILE
    prints "PORT <n>" once listening on 127.0.0.1.

Each request is logged as one JSON line:
  {"path", "headers" (outer), "bytes", "innerRequestLine", "innerHeaders" ([[name, value], ...] in
   order), "innerLengthOk" (Content-Length equals the bytes after the blank line), "innerEmpty",
   "action", "head", "body", "extension", "error", "reply"}
"""
import argparse
import json
import os
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import zem_server  # noqa: E402  (same folder: one schema loader, one reply builder)

PROTECT_PATHS = {"yj/location", "yj/machineinfo"}


def parse_inner(body):
    """The inner request of an outer body: (record fields, message bytes, urlencoded)."""
    record = {"innerEmpty": len(body) == 0}
    head, sep, message = body.partition(b"\r\n\r\n")
    if not sep:
        record["error"] = "no inner request head"
        return record, None, True
    lines = head.decode("utf-8", "replace").split("\r\n")
    record["innerRequestLine"] = lines[0]
    headers = []
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers.append([name, value.lstrip(" ")])
    record["innerHeaders"] = headers
    values = {name.lower(): value for name, value in headers}
    try:
        record["innerLengthOk"] = int(values.get("content-length", "-1")) == len(message)
    except ValueError:
        record["innerLengthOk"] = False
    return record, message, values.get("urlencode", "1") != "0"


class Handler(zem_server.Handler):
    def do_POST(self):
        server = self.server
        path = urllib.parse.urlsplit(self.path).path.lstrip("/")
        body = self.read_body()
        if body is None:
            self.answer(413, b"too large", "text/plain")
            return
        record, message, urlencoded = parse_inner(body)
        root = None
        if message is not None:
            root, decoded = zem_server.decode_request(message, urlencoded)
            record.update(decoded)
        record["path"] = path
        record["headers"] = dict(self.headers.items())
        record["bytes"] = len(body)
        record["time"] = time.time()
        action = record.get("action", 0)
        script = server.script.read()
        entry = server.script.next_entry(script, path, action) if path in PROTECT_PATHS else {"status": 404}
        record["reply"] = entry
        server.record(record)

        if entry.get("sleep"):
            server.stopping.wait(float(entry["sleep"]))
        if entry.get("silence"):
            server.stopping.wait()
            self.close_connection = True
            return
        status = entry.get("status", 200)
        if status != 200:
            self.answer(status, b"scripted failure", "text/plain")
        elif entry.get("empty"):
            self.answer(200, b"")
        elif "raw" in entry:
            self.answer(200, entry["raw"].encode("utf-8"))
        elif entry.get("garbage"):
            self.answer(200, zem_server.DEFAULT_GARBAGE)
        elif root is None:
            self.answer(400, b"undecodable request", "text/plain")
        else:
            self.answer(*zem_server.build_reply(entry.get("replyAction", action), entry, script, root))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--proto-path", required=True)
    parser.add_argument("--script", default="")
    parser.add_argument("--log", default="")
    args = parser.parse_args()
    zem_server.load_schema(args.proto_path)
    server = zem_server.ZemServer(0, args.script, args.log, quiet=True)
    server.RequestHandlerClass = Handler
    print("PORT", server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
