#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A pyftpdlib FTP server for Trelvan's tests, with scripted faults.

Run with the system Python (pyftpdlib comes from python3-pyftpdlib):

    /usr/bin/python3 ftpserver.py --port 0 --root DIR [options]

Once listening it prints "PORT <n>" on stdout. With --events FILE it appends
one JSON object per line for every command received (PASS masked) and for
every upload data transfer (path, starting offset, bytes received). Faults
combine freely; see --help. With --tls explicit|implicit it speaks FTP over
TLS (pyftpdlib's TLS_FTPHandler, python3-openssl), faults included. With
--legacy-names it serves names as the bytes the file system holds (Windows-1251
ones included) and leaves UTF8 out of FEAT, as old servers on Russian systems
do. With --endless-list a LIST or MLSD never ends (for memory measurements).
With --x-digest XSHA1 (repeatable) FEAT offers that command and it answers
"250 <HEX>", the digest of the file on disk, as proftpd does. With
--read-limit N uploads are read at N bytes a second, as over a slow line.
"""

import argparse
import hashlib
import json
import os
import socket
import struct
import sys
import time
import zlib

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, ThrottledDTPHandler
from pyftpdlib.ioloop import RetryError
from pyftpdlib.servers import FTPServer

OPTS = None
START = time.monotonic()
UPLOADS_CUT = 0       # uploads cut so far (--cut-times)
FINALS_REPLACED = 0   # final replies replaced so far (--final-times)
EVENTS = None


def log_event(event):
    if EVENTS is None:
        return
    # Names that are not UTF-8 come through as escaped surrogates.
    EVENTS.write(json.dumps(event, ensure_ascii=False) + "\n")
    EVENTS.flush()


def unescape(text):
    """Command-line reply texts may spell CR and LF as \\r and \\n."""
    return text.encode("utf-8").decode("unicode_escape").encode("latin-1")


class FaultyDTPHandler(DTPHandler):
    """Data channel that can cut an upload, stop reading, or change the verdict."""

    def __init__(self, sock, cmd_channel):
        # Set before the base class runs: it may already call close() when
        # the data connection was reset before it was accepted.
        self._cut_at = None
        self._reported = False
        super().__init__(sock, cmd_channel)

    def enable_receiving(self, type, cmd):
        global UPLOADS_CUT
        super().enable_receiving(type, cmd)
        if cmd in ("STOR", "APPE") and OPTS.cut_data_after is not None:
            if OPTS.cut_times is None or UPLOADS_CUT < OPTS.cut_times:
                UPLOADS_CUT += 1
                self._cut_at = OPTS.cut_data_after

    def readable(self):
        if OPTS.stall_data and self.receive:
            return False
        return super().readable()

    def handle_read(self):
        if self._cut_at is None:
            return super().handle_read()
        try:
            if getattr(self, "_ssl_requested", False):
                chunk = self.recv(self.ac_in_buffer_size)  # decrypted
            else:
                chunk = self.socket.recv(self.ac_in_buffer_size)
        except (BlockingIOError, InterruptedError, RetryError):
            return
        except OSError:
            self.handle_error()
            return
        if not chunk:
            return self.handle_close()
        room = self._cut_at - self.tot_bytes_received
        if len(chunk) < room:
            self.tot_bytes_received += len(chunk)
            self.file_obj.write(chunk)
            return
        # Keep exactly the first N bytes, then drop the connection with a
        # reset, as a router that loses the line would.
        self.tot_bytes_received += room
        self.file_obj.write(chunk[:room])
        try:
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                   struct.pack("ii", 1, 0))
        except OSError:
            pass
        self._resp = (OPTS.cut_reply, lambda *a, **k: None)
        self._error = True  # a TLS channel then skips its orderly shutdown
        self.close()

    # DTPHandler binds the ioloop's read event to its own handle_read.
    handle_read_event = handle_read

    def close(self):
        global FINALS_REPLACED
        if not self._closed and not self._reported and self.cmd in ("STOR", "APPE"):
            self._reported = True
            # The event tells a test the upload's bytes are on disk: flush
            # what the file object still buffers before saying so.
            if self.file_obj is not None and not self.file_obj.closed:
                try:
                    self.file_obj.flush()
                except OSError:
                    pass
            info = getattr(self.cmd_channel, "upload_info", None) or {}
            log_event({"kind": "upload", "command": self.cmd,
                       "path": info.get("path", ""), "offset": info.get("offset", 0),
                       "bytes": self.tot_bytes_received})
            if (OPTS.final_reply is not None and self._resp
                    and self._resp[0].startswith("226")
                    and (OPTS.final_times is None or FINALS_REPLACED < OPTS.final_times)):
                FINALS_REPLACED += 1
                if OPTS.final_reply == 0:
                    self._resp = ()   # say nothing at all
                else:
                    self._resp = ("%d Final reply chosen by the test server." % OPTS.final_reply,
                                  lambda *a, **k: None)
        if self._resp and self._resp[0].startswith("226") and OPTS.multiline_final:
            self.cmd_channel.push("226-Transfer complete.\r\n226-Second line.\r\n")
        super().close()


class FaultyHandler(FTPHandler):
    dtp_handler = FaultyDTPHandler
    auth_failed_timeout = 0  # pyftpdlib waits 3 s before a 530 otherwise

    def handle(self):
        if "GREETING" in OPTS.bad_reply:
            self.on_connect()
            self.push_raw(OPTS.bad_reply["GREETING"])
            return
        if OPTS.multiline_greeting:
            self.push("220-Welcome to the Trelvan test server.\r\n"
                      "220-This greeting spans\r\n   several lines, one not numbered.\r\n")
        super().handle()

    def push_raw(self, data):
        import asynchat
        asynchat.async_chat.push(self, data)

    def recv(self, buffer_size):
        data = super().recv(buffer_size)
        # As a server that reads one command and throws away what came with
        # it: commands sent before the reply to the one before are lost.
        if OPTS.drop_pipelined and data.count(b"\n") > 1:
            data = data[:data.index(b"\n") + 1]
        return data

    def pre_process_command(self, line, cmd, arg):
        shown = "PASS ***" if cmd == "PASS" else line
        log_event({"kind": "command", "command": shown})
        if OPTS.reply_delay:
            time.sleep(OPTS.reply_delay)
        if cmd in OPTS.stall_on:
            return
        if cmd in OPTS.bad_reply:
            self.push_raw(OPTS.bad_reply[cmd])
            return
        refusal = self.refusal(cmd, arg)
        if refusal:
            self.respond(refusal)
            return
        if cmd in OPTS.x_digest and self.authenticated:
            self.respond(self.x_digest(cmd, arg))
            return
        super().pre_process_command(line, cmd, arg)

    def x_digest(self, cmd, arg):
        # As proftpd: a bare path with a blank would be a path and a range.
        if len(arg) > 1 and arg.startswith('"') and arg.endswith('"'):
            arg = arg[1:-1]
        elif " " in arg:
            return "501 Invalid number of parameters"
        try:
            with open(self.fs.ftp2fs(arg), "rb") as f:
                data = f.read()
        except OSError as e:
            return "550 %s: %s" % (arg, e.strerror)
        if cmd == "XCRC":
            digest = "%08X" % zlib.crc32(data)
        else:
            name = {"XSHA256": "sha256", "XSHA1": "sha1", "XMD5": "md5"}[cmd]
            digest = hashlib.new(name, data).hexdigest().upper()
        return "250 " + digest

    def refusal(self, cmd, arg):
        if OPTS.refuse_passive and cmd in ("EPSV", "PASV"):
            return "502 Passive mode refused by the test server."
        if OPTS.refuse_epsv and cmd == "EPSV":
            return "502 EPSV refused by the test server."
        if OPTS.refuse_active and cmd in ("EPRT", "PORT"):
            return "502 Active mode refused by the test server."
        if OPTS.refuse_eprt and cmd == "EPRT":
            return "502 EPRT refused by the test server."
        if OPTS.no_size and cmd == "SIZE":
            return "502 SIZE not implemented."
        if OPTS.no_mlst and cmd in ("MLST", "MLSD"):
            return "502 %s not implemented." % cmd
        if OPTS.refuse_resume and cmd in ("APPE", "REST"):
            return "%d Refused by the test server." % OPTS.refuse_resume
        if OPTS.refuse_appe and cmd == "APPE":
            return "502 APPE refused by the test server."
        if OPTS.refuse_stor and cmd == "STOR":
            return "553 STOR refused by the test server."
        if OPTS.proftpd_like and cmd in ("APPE", "STOR") and self.authenticated:
            path = self.fs.ftp2fs(arg) if arg else ""
            if path and os.path.exists(path):
                if cmd == "APPE":
                    return "451 Append/Restart not permitted, try again"
                return "550 %s: Overwrite permission denied" % arg
        return None

    def ftp_FEAT(self, line):
        dropped = ({"SIZE"} if OPTS.no_size else set()) | (
            {"MLST", "MLSD"} if OPTS.no_mlst else set())
        if dropped:
            self.proto_cmds = {k: v for k, v in self.proto_cmds.items() if k not in dropped}
        self._extra_feats = list(self._extra_feats) + [
            c for c in OPTS.x_digest if c not in self._extra_feats]
        if not OPTS.legacy_names:
            return super().ftp_FEAT(line)
        push = self.push
        self.push = lambda data: push(data.replace(" UTF8\r\n", ""))
        try:
            super().ftp_FEAT(line)
        finally:
            del self.push

    def push(self, s):
        # Replies name paths; with --legacy-names they hold the raw bytes.
        import asynchat
        asynchat.async_chat.push(self, s.encode("utf8", self.unicode_errors))

    def ftp_LIST(self, path):
        if not OPTS.endless_list:
            return super().ftp_LIST(path)
        self.push_dtp_data(EndlessListing(OPTS.endless_list), isproducer=True, cmd="LIST")
        return path

    def ftp_MLSD(self, path):
        if not OPTS.endless_list:
            return super().ftp_MLSD(path)
        self.push_dtp_data(EndlessListing(OPTS.endless_list, mlsd=True), isproducer=True,
                           cmd="MLSD")
        return path

    def ftp_PASS(self, line):
        if OPTS.refuse_login_seconds and time.monotonic() - START < OPTS.refuse_login_seconds:
            # A busy server, not a refused password: the client may retry.
            self.username = ""
            self.respond("421 Logins refused for now by the test server.")
            self.close_when_done()
            return
        super().ftp_PASS(line)

    def ftp_STOR(self, file, mode="w"):
        cmd = "APPE" if "a" in mode else "STOR"
        if cmd == "APPE":
            offset = os.path.getsize(file) if os.path.isfile(file) else 0
        else:
            offset = self._restart_position
        self.upload_info = {"path": self.fs.fs2ftp(file), "offset": offset}
        return super().ftp_STOR(file, mode)

    def ftp_PORT(self, line):
        if OPTS.no_data_connect:
            self.respond("200 PORT accepted (and ignored by the test server).")
            return
        super().ftp_PORT(line)

    def ftp_EPRT(self, line):
        if OPTS.no_data_connect:
            self.respond("200 EPRT accepted (and ignored by the test server).")
            return
        super().ftp_EPRT(line)


class EndlessListing:
    """A LIST or MLSD that never ends: folder or file lines with counted names."""

    LINES = {
        (False, "folders"): "drwxr-xr-x   2 ftp ftp 4096 Jan 01 10:00 folder %09d\r\n",
        (False, "files"): "-rw-r--r--   1 ftp ftp 1234 Jan 01 10:00 file %09d\r\n",
        (True, "folders"): "type=dir;modify=20200101100000; folder %09d\r\n",
        (True, "files"): "type=file;size=1234;modify=20200101100000; file %09d\r\n",
    }

    def __init__(self, kind, mlsd=False):
        self.line = self.LINES[(mlsd, kind)]
        self.count = 0

    def more(self):
        lines = []
        for _ in range(1000):
            self.count += 1
            lines.append(self.line % self.count)
        return "".join(lines).encode("ascii")


def tls_handler():
    """FaultyHandler over TLS: explicit (AUTH TLS) or implicit."""
    from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler

    class TlsDTPHandler(FaultyDTPHandler, TLS_DTPHandler):
        def handle_read_event(self):
            # As SSLConnection's, but ending in our handle_read, which
            # DTPHandler's own handle_read_event would pass over.
            if not self._ssl_requested:
                return self.handle_read()
            with self._handle_ssl_want_rw():
                self._ssl_want_read = False
                if self._ssl_accepting:
                    self._do_ssl_handshake()
                elif self._ssl_closing:
                    self._do_ssl_shutdown()
                else:
                    self.handle_read()

    class TlsHandler(FaultyHandler, TLS_FTPHandler):
        dtp_handler = TlsDTPHandler
        certfile = OPTS.certfile
        keyfile = OPTS.keyfile
        tls_control_required = OPTS.tls_required
        tls_data_required = OPTS.tls_required

        def handle(self):
            if OPTS.tls == "implicit":
                self.secure_connection(self.ssl_context)
            super().handle()

    return TlsHandler


def throttled(dtp_handler):
    """The data channel, reading uploads at no more than --read-limit bytes a second."""

    class Throttled(dtp_handler, ThrottledDTPHandler):
        read_limit = OPTS.read_limit

        def __init__(self, sock, cmd_channel):
            # A small receive buffer, as a slow line holds little in flight:
            # what the sender stops sending, the count soon stops showing.
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 128 * 1024)
            super().__init__(sock, cmd_channel)

    return Throttled


def parse_bad_reply(values):
    replies = {}
    for value in values:
        cmd, sep, text = value.partition("=")
        if not sep:
            raise SystemExit("--bad-reply needs CMD=TEXT: %r" % value)
        replies[cmd.upper()] = unescape(text)
    return replies


def main():
    global OPTS, EVENTS
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--host", default="127.0.0.1", help="127.0.0.1 or ::1")
    p.add_argument("--port", type=int, default=0, help="0: chosen by the system")
    p.add_argument("--root", required=True, help="home folder of the user")
    p.add_argument("--user", default="trelvan")
    p.add_argument("--password", default="s3cret")
    p.add_argument("--events", help="append JSON lines of commands and uploads here")
    p.add_argument("--refuse-passive", action="store_true", help="EPSV/PASV -> 502")
    p.add_argument("--refuse-epsv", action="store_true", help="EPSV -> 502 (PASV works)")
    p.add_argument("--refuse-active", action="store_true", help="EPRT/PORT -> 502")
    p.add_argument("--refuse-eprt", action="store_true", help="EPRT -> 502 (PORT works)")
    p.add_argument("--no-size", action="store_true", help="SIZE -> 502, not in FEAT")
    p.add_argument("--no-mlst", action="store_true", help="MLST and MLSD -> 502, not in FEAT")
    p.add_argument("--proftpd-like", action="store_true",
                   help="APPE on an existing file -> 451, STOR over one -> 550")
    p.add_argument("--refuse-appe", action="store_true", help="APPE -> 502")
    p.add_argument("--refuse-stor", action="store_true", help="STOR -> 553")
    p.add_argument("--cut-data-after", type=int, metavar="N",
                   help="reset an upload's data connection after N bytes")
    p.add_argument("--cut-times", type=int, metavar="K", help="only the first K uploads")
    p.add_argument("--final-reply", type=int, metavar="CODE",
                   help="reply CODE instead of 226 after an upload (0: no reply at all)")
    p.add_argument("--final-times", type=int, metavar="K", help="only the first K uploads")
    p.add_argument("--multiline-final", action="store_true", help="226 as a multi-line reply")
    p.add_argument("--multiline-greeting", action="store_true", help="220 as a multi-line reply")
    p.add_argument("--refuse-login-seconds", type=float, default=0, metavar="T",
                   help="421 for every login within T seconds of start")
    p.add_argument("--reply-delay", type=float, default=0, metavar="S",
                   help="wait S seconds before handling each command")
    p.add_argument("--pasv-address", metavar="A", help="put address A into 227 replies")
    p.add_argument("--stall-on", action="append", default=[], metavar="CMD",
                   help="never answer CMD (repeatable)")
    p.add_argument("--cut-reply", default="426 Data connection cut by the test server.",
                   metavar="TEXT", help="the reply after a cut (default: a 426)")
    p.add_argument("--refuse-resume", type=int, metavar="CODE",
                   help="answer APPE and REST with CODE")
    p.add_argument("--drop-pipelined", action="store_true",
                   help="drop the commands that come in one read after the first")
    p.add_argument("--stall-data", action="store_true",
                   help="accept an upload but never read its data")
    p.add_argument("--read-limit", type=int, default=0, metavar="N",
                   help="read uploads at most N bytes a second")
    p.add_argument("--no-data-connect", action="store_true",
                   help="accept EPRT/PORT but never connect")
    p.add_argument("--bad-reply", action="append", default=[], metavar="CMD=TEXT",
                   help="answer CMD (or GREETING) with raw TEXT, \\r\\n escapes allowed")
    p.add_argument("--tls", choices=("explicit", "implicit"),
                   help="FTP over TLS: AUTH TLS offered, or TLS from the first byte")
    p.add_argument("--certfile", help="with --tls: the server's PEM certificate")
    p.add_argument("--keyfile", help="with --tls: its PEM private key")
    p.add_argument("--tls-required", action="store_true",
                   help="with --tls: no login and no data connection without TLS")
    p.add_argument("--legacy-names", action="store_true",
                   help="names as raw bytes (no UTF-8 check), UTF8 left out of FEAT")
    p.add_argument("--endless-list", choices=("folders", "files"),
                   help="LIST and MLSD send folder (or file) lines for ever")
    p.add_argument("--x-digest", action="append", default=[],
                   choices=("XSHA256", "XSHA1", "XMD5", "XCRC"),
                   help="offer this X command and answer it with the file's digest (repeatable)")
    p.add_argument("--passive-ports", metavar="A-B",
                   help="passive data ports only from A to B")
    OPTS = p.parse_args()
    OPTS.stall_on = {c.upper() for c in OPTS.stall_on}
    OPTS.bad_reply = parse_bad_reply(OPTS.bad_reply)

    if OPTS.events:
        EVENTS = open(OPTS.events, "a", encoding="utf-8", errors="backslashreplace")

    authorizer = DummyAuthorizer()
    authorizer.add_user(OPTS.user, OPTS.password, OPTS.root, perm="elradfmwMT")
    handler = tls_handler() if OPTS.tls else FaultyHandler
    handler.authorizer = authorizer
    if OPTS.read_limit:
        handler.dtp_handler = throttled(handler.dtp_handler)
    if OPTS.pasv_address:
        handler.masquerade_address = OPTS.pasv_address
    handler.permit_foreign_addresses = False
    if OPTS.legacy_names:
        # Bytes that are not UTF-8 pass both ways as escaped surrogates, which
        # the file system functions turn back into the same bytes.
        handler.unicode_errors = "surrogateescape"
    if OPTS.passive_ports:
        first, _, last = OPTS.passive_ports.partition("-")
        handler.passive_ports = list(range(int(first), int(last) + 1))

    server = FTPServer((OPTS.host, OPTS.port), handler)
    port = server.socket.getsockname()[1]
    sys.stdout.write("PORT %d\n" % port)
    sys.stdout.flush()
    try:
        server.serve_forever(handle_exit=True)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
