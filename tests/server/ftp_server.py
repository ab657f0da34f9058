#!/usr/bin/env python3
"""Loopback FTP server for tests: one user with write rights on a folder.

Start:
  ftp_server.py --root DIR [--user NAME --password TEXT] [--stall-after BYTES]
Prints "PORT <n>" once it listens. With --stall-after, a data connection stops being read after
that many bytes and the transfer never finishes: a server that stalls mid-upload.
"""
import argparse
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer


class StallingDTPHandler(DTPHandler):
    stall_after = None

    def handle_read(self):
        if self.stall_after is not None and self.tot_bytes_received >= self.stall_after:
            # Stop reading: the client's data backs up and the final answer never comes.
            self.del_channel()
            return
        super().handle_read()

    handle_read_event = handle_read  # the base class calls this alias


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", default="debug")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--stall-after", type=int, default=None)
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    handler = type("Handler", (FTPHandler,), {})
    handler.authorizer = authorizer
    handler.passive_ports = None
    handler.masquerade_address = None
    if args.stall_after is not None:
        StallingDTPHandler.stall_after = args.stall_after
        handler.dtp_handler = StallingDTPHandler
    import logging
    logging.basicConfig(level=logging.ERROR)
    server = FTPServer(("127.0.0.1", 0), handler)
    print("PORT", server.socket.getsockname()[1], flush=True)
    try:
        server.serve_forever(handle_exit=True)
    finally:
        server.close_all()


if __name__ == "__main__":
    sys.exit(main())
