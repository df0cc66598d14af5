#!/usr/bin/python3
"""A scriptable SFTP server on 127.0.0.1 for the faults a real one will not make on demand.

    sftpserver.py ROOT [--kbdint-only] [--cut-read N] [--refuse OP] [--close-at-login]

Prints its port, then the SHA256 fingerprint of its host key (made for the run), one per line.
User "user", password "secret". --kbdint-only offers keyboard-interactive alone (a "Password:"
prompt, hidden); --cut-read N drops the connection once N bytes of a file have been read;
--refuse OP answers every OP request ("open-write", "mkdir", "stat") with permission denied;
--close-at-login drops the connection when the client asks how it may log in.
"""
import argparse
import base64
import hashlib
import os
import socket
import sys
import threading

import paramiko
from paramiko.sftp import SFTP_OK, SFTP_NO_SUCH_FILE, SFTP_PERMISSION_DENIED, SFTP_FAILURE

args = None
host_key = paramiko.ECDSAKey.generate()


class Server(paramiko.ServerInterface):
    def __init__(self, transport):
        self.transport = transport

    def get_allowed_auths(self, username):
        if args.close_at_login:
            self.transport.close()
        return "keyboard-interactive" if args.kbdint_only else "password,keyboard-interactive"

    def check_auth_password(self, username, password):
        if args.kbdint_only:
            return paramiko.AUTH_FAILED
        return paramiko.AUTH_SUCCESSFUL if (username, password) == ("user", "secret") else paramiko.AUTH_FAILED

    def check_auth_interactive(self, username, submethods):
        query = paramiko.server.InteractiveQuery("", "")
        query.add_prompt("Password: ", False)
        self.user = username
        return query

    def check_auth_interactive_response(self, responses):
        ok = self.user == "user" and list(responses) == ["secret"]
        return paramiko.AUTH_SUCCESSFUL if ok else paramiko.AUTH_FAILED

    def check_channel_request(self, kind, chanid):
        return paramiko.OPEN_SUCCEEDED if kind == "session" else paramiko.OPEN_FAILED_ADMINISTRATIVELY_PROHIBITED


def errno_status(e):
    return paramiko.SFTPServer.convert_errno(e.errno)


class Handle(paramiko.SFTPHandle):
    def __init__(self, transport, flags):
        super().__init__(flags)
        self.transport = transport
        self.served = 0

    def read(self, offset, length):
        if args.cut_read is not None and self.served + length > args.cut_read:
            self.transport.close()
            return SFTP_FAILURE
        self.served += length
        return super().read(offset, length)


class Files(paramiko.SFTPServerInterface):
    def __init__(self, server, *a, **k):
        super().__init__(server, *a, **k)
        self.transport = server.transport

    def real(self, path):
        return os.path.join(args.root, self.canonicalize(path).lstrip("/"))

    def refused(self, op):
        return args.refuse == op

    def open(self, path, flags, attr):
        writing = flags & (os.O_WRONLY | os.O_RDWR)
        if self.refused("open-write" if writing else "open-read"):
            return SFTP_PERMISSION_DENIED
        try:
            fd = os.open(self.real(path), flags, 0o644)
        except OSError as e:
            return errno_status(e)
        mode = "r+b" if flags & os.O_RDWR else ("wb" if writing else "rb")
        if flags & os.O_WRONLY and not flags & os.O_TRUNC:
            mode = "r+b"
        handle = Handle(self.transport, flags)
        f = os.fdopen(fd, mode)
        handle.readfile = f
        handle.writefile = f
        return handle

    def stat(self, path):
        if self.refused("stat"):
            return SFTP_PERMISSION_DENIED
        try:
            return paramiko.SFTPAttributes.from_stat(os.stat(self.real(path)))
        except OSError as e:
            return errno_status(e)

    lstat = stat

    def mkdir(self, path, attr):
        if self.refused("mkdir"):
            return SFTP_PERMISSION_DENIED
        try:
            os.mkdir(self.real(path))
        except OSError as e:
            return errno_status(e)
        return SFTP_OK

    def remove(self, path):
        try:
            os.remove(self.real(path))
        except OSError as e:
            return errno_status(e)
        return SFTP_OK


def serve(client):
    transport = paramiko.Transport(client)
    transport.add_server_key(host_key)
    transport.set_subsystem_handler("sftp", paramiko.SFTPServer, Files)
    try:
        transport.start_server(server=Server(transport))
    except Exception:
        transport.close()


def main():
    global args
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("--kbdint-only", action="store_true")
    parser.add_argument("--cut-read", type=int)
    parser.add_argument("--refuse")
    parser.add_argument("--close-at-login", action="store_true")
    args = parser.parse_args()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    fingerprint = base64.b64encode(hashlib.sha256(host_key.asbytes()).digest()).decode().rstrip("=")
    print(listener.getsockname()[1], flush=True)
    print("SHA256:" + fingerprint, flush=True)
    while True:
        client, _ = listener.accept()
        threading.Thread(target=serve, args=(client,), daemon=True).start()


if __name__ == "__main__":
    main()
