"""An FTPS server for the tests: pyftpdlib's TLS_FTPHandler, bound to loopback only.

Prints "PORT <n>" on stdout once it listens. Every command is appended to --log (PASS
masked), plus "LOGIN <user>" after a login and "TLS <version>" once the control connection
is secured, so that tests can see what was negotiated.

  --cert FILE --key FILE   the server certificate and its key (PEM)
  --require-tls            refuse the login and data in clear (tls_control_required,
                           tls_data_required)
  --hook FILE              exec FILE with Handler in scope
  --host ADDRESS           the loopback address to listen on (127.0.0.1, or ::1)
"""
import argparse
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import TLS_FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--user", action="append", default=[], help="name:password")
    ap.add_argument("--log")
    ap.add_argument("--cert", required=True)
    ap.add_argument("--key", required=True)
    ap.add_argument("--require-tls", action="store_true")
    ap.add_argument("--hook")
    ap.add_argument("--host", default="127.0.0.1", choices=["127.0.0.1", "::1"])
    args = ap.parse_args()

    authorizer = DummyAuthorizer()
    for entry in args.user:
        name, _, password = entry.partition(":")
        authorizer.add_user(name, password, args.root, perm="elradfmwMT")

    log = open(args.log, "a", buffering=1) if args.log else None

    def record(text):
        if log:
            log.write(text + "\n")
            log.flush()

    class Handler(TLS_FTPHandler):
        auth_failed_timeout = 0
        certfile = args.cert
        keyfile = args.key
        tls_control_required = args.require_tls
        tls_data_required = args.require_tls

        def pre_process_command(self, line, cmd, arg):
            record("PASS ******" if cmd == "PASS" else line)
            return super().pre_process_command(line, cmd, arg)

        def handle_ssl_established(self):
            record("TLS %s" % self.socket.get_protocol_version_name())
            return super().handle_ssl_established()

        def on_login(self, username):
            record("LOGIN %s" % username)

    Handler.authorizer = authorizer
    if args.hook:
        with open(args.hook) as f:
            exec(compile(f.read(), args.hook, "exec"), {"Handler": Handler, "args": args, "record": record})

    logging.basicConfig(level=logging.CRITICAL)
    server = FTPServer((args.host, 0), Handler)
    server.max_cons = 256
    print("PORT %d" % server.address[1], flush=True)
    try:
        server.serve_forever(handle_exit=True)
    finally:
        server.close_all()


if __name__ == "__main__":
    sys.exit(main())
