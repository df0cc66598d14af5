"""A scriptable FTP server for the tests, on pyftpdlib, bound to loopback only.

Prints "PORT <n>" on stdout once it listens. Every command the server receives is
appended to --log (PASS with its argument masked), plus "LOGIN <user>" after a
successful login, so tests can compare transcripts and count logins.

Faults are scripted from the command line:
  --refuse "CMD=CODE"            answer every CMD with CODE (e.g. "STOR=553", "EPSV=500")
  --refuse "CMD ARGPART=CODE"    only when the argument contains ARGPART
  --silent CMD                   never answer CMD (a server that stalls)
  --cut-retr N / --cut-stor N    close the data connection after N bytes, reply 426
  --short-retr N                 end a download after N bytes but still reply 226
  --stall-retr                   open the data connection for RETR, then send nothing
  --truncate-stor N              keep only N bytes of an upload, still reply 226
  --idle-timeout S               close an idle control connection with 421 after S seconds
  --throttle BPS                 limit data transfers to BPS bytes per second (pyftpdlib's way:
                                 a second's worth at full speed, then a pause)
  --pace BPS                     limit data transfers to BPS bytes per second evenly, each read
                                 waiting until a link of that speed would have carried it
  --data-rcvbuf N                a data socket receive buffer of N bytes (with --throttle: a slow
                                 link, where an upload backs up in the client's send queue)
  --hook FILE                    exec FILE with Handler and DTPHandler in scope
Session faults (see the block "Session faults" below):
  --greeting CODE                answer every new connection with CODE (e.g. 421) and close it
  --silent-greeting              accept connections but never send the greeting
  --max-per-ip N                 at most N sessions per client address; more get 421
  --rename-stor                  store an upload whose name exists as name.1, name.2, ...
                                 and answer 226 (pure-ftpd -r)
Delivery faults (see the block "Delivery" below):
  --cut-retr-once N / --cut-stor-once N   cut only the first download / upload after N bytes
  --hash honest|lie              offer XSHA256 (whole file or "path start end") in FEAT;
                                 "lie" answers a digest of other bytes
  --refuse-rest-stor             refuse a STOR that follows REST (APPE still works)
  --refuse-appe                  refuse APPE
"""
import argparse
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
import socket

from pyftpdlib.handlers import FTPHandler, DTPHandler, PassiveDTP, ThrottledDTPHandler
from pyftpdlib.ioloop import timer
from pyftpdlib.servers import FTPServer


# ---- Session faults ------------------------------------------------------------------------
# Servers that refuse or ignore a session before the login, and a server that renames uploads.

def add_session_fault_options(ap):
    ap.add_argument("--greeting", type=int)
    ap.add_argument("--silent-greeting", action="store_true")
    ap.add_argument("--max-per-ip", type=int)
    ap.add_argument("--rename-stor", action="store_true")


def apply_session_faults(args, handler, server):
    if args.max_per_ip:
        server.max_cons_per_ip = args.max_per_ip
    if args.greeting or args.silent_greeting:
        plain_handle = handler.handle

        def handle(self):
            if args.silent_greeting:
                return  # the connection stays open and nothing is ever said
            if args.greeting:
                self.respond("%d Service not available, closing control connection." % args.greeting)
                self.close_when_done()
                return
            plain_handle(self)

        handler.handle = handle
    if args.rename_stor:
        plain_stor = handler.ftp_STOR

        def ftp_STOR(self, file, mode="w"):
            if mode == "w" and os.path.exists(file):
                n = 1
                while os.path.exists("%s.%d" % (file, n)):
                    n += 1
                file = "%s.%d" % (file, n)
            return plain_stor(self, file, mode)

        handler.ftp_STOR = ftp_STOR

# ---- end of session faults -------------------------------------------------------------------


# ---- Delivery ---------------------------------------------------------------------------------
# Cuts that happen once (so that a second try can resume), a hash command that may lie, and
# servers that will not resume an upload.

def add_delivery_options(ap):
    ap.add_argument("--cut-retr-once", type=int)
    ap.add_argument("--cut-stor-once", type=int)
    ap.add_argument("--hash", choices=["honest", "lie"])
    ap.add_argument("--refuse-rest-stor", action="store_true")
    ap.add_argument("--refuse-appe", action="store_true")


def apply_delivery(args, handler, dtp):
    import hashlib
    cuts = {"retr": args.cut_retr_once, "stor": args.cut_stor_once}
    plain_send, plain_read = dtp.send, dtp.handle_read

    def send(self, data):
        limit = cuts["retr"]
        if limit is not None:
            room = limit - self.tot_bytes_sent
            if room <= 0:
                cuts["retr"] = None
                self._resp = ("426 Connection closed; transfer aborted.", lambda *a: None)
                self.close()
                return 0
            data = data[:room]
        return plain_send(self, data)

    def handle_read(self):
        limit = cuts["stor"]
        if limit is not None and self.tot_bytes_received >= limit:
            cuts["stor"] = None
            self._resp = ("426 Connection closed; transfer aborted.", lambda *a: None)
            self.close()
            return
        plain_read(self)

    dtp.send = send
    dtp.handle_read = dtp.handle_read_event = handle_read

    if args.hash:
        handler.proto_cmds = dict(handler.proto_cmds)
        handler.proto_cmds["XSHA256"] = dict(perm="r", auth=True, arg=True, help="Syntax: XSHA256 path [start end]")
        plain_connect = handler.on_connect

        def on_connect(self):
            self._extra_feats = list(self._extra_feats) + ["XSHA256"]
            return plain_connect(self)

        def ftp_XSHA256(self, line):
            parts = line.rsplit(" ", 2)
            start, end = 0, None
            if len(parts) == 3 and parts[1].isdigit() and parts[2].isdigit():
                line, start, end = parts[0], int(parts[1]), int(parts[2])
            path = line  # already a local path: pyftpdlib maps the argument of a command with a perm
            digest = hashlib.sha256(b"not " if args.hash == "lie" else b"")
            try:
                with open(path, "rb") as f:  # in pieces: the resume trial hashes gigabytes
                    f.seek(start)
                    left = None if end is None else end - start
                    while left is None or left > 0:
                        piece = f.read(1 << 20 if left is None else min(left, 1 << 20))
                        if not piece:
                            break
                        digest.update(piece)
                        left = None if left is None else left - len(piece)
            except OSError as err:
                self.respond("550 %s." % err.strerror)
                return
            self.respond("250 %s" % digest.hexdigest().upper())

        handler.on_connect = on_connect
        handler.ftp_XSHA256 = ftp_XSHA256

    plain_stor = handler.ftp_STOR

    def ftp_STOR(self, file, mode="w"):
        if args.refuse_rest_stor and mode == "w" and self._restart_position:
            self._restart_position = 0
            self.respond("550 No resuming of uploads here.")
            return
        if args.refuse_appe and mode == "a":
            self.respond("502 APPE not allowed.")
            return
        return plain_stor(self, file, mode)

    handler.ftp_STOR = ftp_STOR

# ---- end of delivery ------------------------------------------------------------------------------


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--user", action="append", default=[], help="name:password")
    ap.add_argument("--anonymous", action="store_true")
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--log")
    ap.add_argument("--refuse", action="append", default=[])
    ap.add_argument("--silent", action="append", default=[])
    ap.add_argument("--cut-retr", type=int)
    ap.add_argument("--cut-stor", type=int)
    ap.add_argument("--short-retr", type=int)
    ap.add_argument("--stall-retr", action="store_true")
    ap.add_argument("--truncate-stor", type=int)
    ap.add_argument("--idle-timeout", type=float)
    ap.add_argument("--throttle", type=int)
    ap.add_argument("--pace", type=int)
    ap.add_argument("--data-rcvbuf", type=int)
    ap.add_argument("--hook")
    add_session_fault_options(ap)
    add_delivery_options(ap)
    args = ap.parse_args()

    authorizer = DummyAuthorizer()
    for entry in args.user:
        name, _, password = entry.partition(":")
        authorizer.add_user(name, password, args.root, perm="elradfmwMT")
    if args.anonymous:
        authorizer.add_anonymous(args.root, perm="elradfmwMT")

    log = open(args.log, "a", buffering=1) if args.log else None

    def record(text):
        if log:
            log.write(text + "\n")
            log.flush()

    refusals = []
    for r in args.refuse:
        what, _, code = r.rpartition("=")
        cmd, _, argpart = what.partition(" ")
        refusals.append((cmd.upper(), argpart, code))
    silent = {s.upper() for s in args.silent}

    base_dtp = ThrottledDTPHandler if args.throttle or args.pace else DTPHandler

    class TestDTP(base_dtp):
        def send(self, data):
            if args.cut_retr is not None:
                room = args.cut_retr - self.tot_bytes_sent
                if room <= 0:
                    self._resp = ("426 Connection closed; transfer aborted.", lambda *a: None)
                    self.close()
                    return 0
                data = data[:room]
            if args.short_retr is not None:
                room = args.short_retr - self.tot_bytes_sent
                if room <= 0:
                    self._resp = ("226 Transfer complete.", lambda *a: None)
                    self.close()
                    return 0
                data = data[:room]
            return super().send(data)

        def handle_read(self):
            if args.cut_stor is not None and self.tot_bytes_received >= args.cut_stor:
                self._resp = ("426 Connection closed; transfer aborted.", lambda *a: None)
                self.close()
                return
            super().handle_read()

        # pyftpdlib's I/O loop calls handle_read_event, which DTPHandler binds to its own
        # handle_read; without this alias the override above is never reached.
        handle_read_event = handle_read

        def _throttle_bandwidth(self, len_chunk, max_speed):
            if not args.pace:
                return super()._throttle_bandwidth(len_chunk, max_speed)
            now = timer()
            if not self._datacount:
                self._pace_start = now
            self._datacount += len_chunk
            due = self._pace_start + self._datacount / float(max_speed)
            if due <= now:
                return

            def unsleep():
                self.add_channel(events=self.ioloop.READ if self.receive else self.ioloop.WRITE)

            self.del_channel()
            self._cancel_throttler()
            self._throttler = self.ioloop.call_later(due - now, unsleep, _errback=self.handle_error)

    if args.throttle or args.pace:
        TestDTP.read_limit = args.throttle or args.pace
        TestDTP.write_limit = args.throttle or args.pace
    if args.pace:
        # Reads of a twentieth of a second's worth, so that the pace is even at that scale too.
        TestDTP.ac_in_buffer_size = TestDTP.ac_out_buffer_size = max(4096, args.pace // 20)

    class TestFile:
        """Wraps an upload's file so that only the first N bytes reach the disk."""

        def __init__(self, f, limit):
            self._f, self._left = f, limit

        def write(self, chunk):
            keep = chunk[:max(self._left, 0)]
            self._left -= len(keep)
            if keep:
                self._f.write(keep)
            return len(chunk)

        def __getattr__(self, name):
            return getattr(self._f, name)

    class TestPassiveDTP(PassiveDTP):
        """The data listener; an accepted socket takes its receive buffer from here."""

        def __init__(self, cmd_channel, extmode=False):
            super().__init__(cmd_channel, extmode)
            if args.data_rcvbuf:
                self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, args.data_rcvbuf)

    class Handler(FTPHandler):
        auth_failed_timeout = 0
        passive_dtp = TestPassiveDTP
        use_sendfile = False
        dtp_handler = TestDTP

        def pre_process_command(self, line, cmd, arg):
            record("PASS ******" if cmd == "PASS" else line)
            for rcmd, argpart, code in refusals:
                if rcmd == cmd and (not argpart or argpart in arg):
                    self.respond("%s Refused by the test server." % code)
                    return
            if cmd in silent:
                return
            return super().pre_process_command(line, cmd, arg)

        def on_login(self, username):
            record("LOGIN %s" % username)

        def on_file_received(self, file):
            record("RECEIVED %s" % file)

        def on_incomplete_file_received(self, file):
            record("INCOMPLETE %s" % file)

        def ftp_RETR(self, file):
            if args.stall_retr:
                try:
                    self.fs.open(file, "rb").close()
                except OSError as err:
                    self.respond("550 %s." % err.strerror)
                    return
                self.respond("150 File status okay. About to open data connection.")
                return  # the data connection opens and stays silent
            return super().ftp_RETR(file)

        def ftp_STOR(self, file, mode="w"):
            result = super().ftp_STOR(file, mode)
            if args.truncate_stor is not None:
                if self.data_channel is not None and self.data_channel.file_obj is not None:
                    self.data_channel.file_obj = TestFile(self.data_channel.file_obj, args.truncate_stor)
                elif getattr(self, "_in_dtp_queue", None):
                    fd, cmd = self._in_dtp_queue
                    self._in_dtp_queue = (TestFile(fd, args.truncate_stor), cmd)
            return result

    Handler.authorizer = authorizer
    if args.idle_timeout is not None:
        Handler.timeout = args.idle_timeout

    if args.hook:
        with open(args.hook) as f:
            exec(compile(f.read(), args.hook, "exec"),
                 {"Handler": Handler, "DTPHandler": TestDTP, "args": args, "record": record})

    import logging
    logging.basicConfig(level=logging.CRITICAL)

    server = FTPServer((args.host, args.port), Handler)
    server.max_cons = 256
    apply_session_faults(args, Handler, server)
    apply_delivery(args, Handler, TestDTP)
    print("PORT %d" % server.address[1], flush=True)
    try:
        # With no poll time-out the loop can sleep past a scheduled idle time-out.
        server.serve_forever(timeout=0.1 if args.idle_timeout is not None else None, handle_exit=True)
    finally:
        server.close_all()


if __name__ == "__main__":
    sys.exit(main())
