# SPDX-License-Identifier: GPL-3.0-or-later
"""A fault-injecting FTP proxy on loopback for the soak test.

The program talks to <loopback address>:<port> (say 127.0.0.2); the proxy
forwards to the server on 127.0.0.1. The program opens passive data
connections to the control connection's peer with the port from the 227/229
reply, so the proxy reads those replies as they pass and, before forwarding
one, listens on <its address>:<that port> and forwards what arrives to
127.0.0.1:<that port>.
Nothing in the dialogue is rewritten.

Faults come from a schedule (see FaultPlan): cuts of a data connection after
a number of upload bytes counted over all data connections, cuts of the
control connection at the n-th command (before it reaches the server, or
when its reply comes back), cuts of the n-th data connection as soon as it is
accepted or once the server has taken its transfer command, and kills of the
program (a callback) at a byte count, at the n-th start of a file afresh (a
STOR, or an APPE of a file the server just said it does not have: between two
files) or
at the n-th 226 that ends an APPE (file complete on the server, the program
not yet told). Counters run over the
whole soak, so every scheduled fault below the totals a complete upload needs
is sure to happen, whatever the timing.

A cut closes both sides of the connection, with a reset (SO_LINGER 0) or an
orderly close. The proxy also keeps a log of what passed: every transfer
command with its data connection's byte count and how it ended, and every
SIZE answer, which the driver uses to check the program's behaviour.
"""

import re
import selectors
import socket
import struct
import threading

CHUNK = 256 * 1024
PASV_RE = re.compile(rb"^227 .*\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)")
EPSV_RE = re.compile(rb"^229 .*\(\|\|\|(\d+)\|\)")


class FaultPlan:
    """What to break and when. Every list is sorted by threshold (alone, or
    first of a pair with the detail); each fires once."""

    def __init__(self):
        # (cumulative upload bytes, "rst"|"fin")
        self.data_cuts = []
        # (command number, ("cmd"|"reply", "rst"|"fin", cut data too?))
        self.control_cuts = []
        # (data connection number, ("rst"|"fin", "accept"|"start")): cut as
        # soon as it is accepted, or once the server has answered the
        # transfer command with its 1yz reply
        self.open_cuts = []
        # cumulative upload bytes
        self.byte_kills = []
        # number of the file started afresh (STOR, or APPE of a new file)
        self.stor_kills = []
        # number of the 226 reply that ends an APPE
        self.complete_kills = []

    def left(self):
        """How many faults have not happened yet."""
        return sum(len(x) for x in (self.data_cuts, self.control_cuts, self.open_cuts,
                                    self.byte_kills, self.stor_kills, self.complete_kills))


def _cut(sock, hard):
    if sock is None:
        return
    try:
        if hard:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        else:
            sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    try:
        sock.close()
    except OSError:
        pass


class Pipe:
    """One forwarded TCP connection: client side and server side."""

    def __init__(self, proxy, client, server, kind):
        self.proxy = proxy
        self.client = client
        self.server = server
        self.kind = kind          # "control" or "data"
        self.pending = {client: bytearray(), server: bytearray()}  # to write to that socket
        self.eof = {client: False, server: False}  # that socket sent EOF
        self.closed = False
        self.registered = set()
        proxy.live.add(self)
        for s in (client, server):
            s.setblocking(False)
            proxy.sel.register(s, selectors.EVENT_READ, self)
            self.registered.add(s)

    def other(self, sock):
        return self.server if sock is self.client else self.client

    def update(self):
        for s in (self.client, self.server):
            o = self.other(s)
            ev = 0
            # Read only while the other side has room (back pressure).
            if not self.eof[s] and len(self.pending[o]) < CHUNK:
                ev |= selectors.EVENT_READ
            if self.pending[s]:
                ev |= selectors.EVENT_WRITE
            if s in self.registered:
                if ev:
                    self.proxy.sel.modify(s, ev, self)
                else:
                    self.proxy.sel.unregister(s)
                    self.registered.discard(s)
            elif ev:
                self.proxy.sel.register(s, ev, self)
                self.registered.add(s)

    def close(self, hard=None, reason="end"):
        """hard None: orderly; True: reset; False: shutdown then close."""
        if self.closed:
            return
        self.closed = True
        self.proxy.live.discard(self)
        for s in (self.client, self.server):
            if s in self.registered:
                self.proxy.sel.unregister(s)
            if hard is None:
                try:
                    s.close()
                except OSError:
                    pass
            else:
                _cut(s, hard)
        self.on_closed(reason)

    def on_closed(self, reason):
        pass

    def received(self, sock, data):
        """Data read from sock, to go to the other side. Returns what to
        forward (may be cut short); may close the pipe."""
        return data

    def handle(self, sock, mask):
        if self.closed:
            return
        if mask & selectors.EVENT_WRITE:
            buf = self.pending[sock]
            try:
                n = sock.send(buf)
                del buf[:n]
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                self.close(True, "error")
                return
            if not buf and self.eof[self.other(sock)]:
                try:
                    sock.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
        if mask & selectors.EVENT_READ and not self.closed:
            try:
                data = sock.recv(CHUNK)
            except (BlockingIOError, InterruptedError):
                data = None
            except OSError:
                # A reset from one side: pass it on as a reset.
                self.close(True, "reset")
                return
            if data is not None:
                o = self.other(sock)
                if not data:
                    self.eof[sock] = True
                    if not self.pending[o]:
                        try:
                            o.shutdown(socket.SHUT_WR)
                        except OSError:
                            pass
                else:
                    data = self.received(sock, data)
                    if self.closed:
                        return
                    self.pending[o] += data
        if self.closed:
            return
        if self.eof[self.client] and self.eof[self.server] and \
                not self.pending[self.client] and not self.pending[self.server]:
            self.close(None, "end")
            return
        self.update()


class DataPipe(Pipe):
    def __init__(self, proxy, client, server, control, number):
        self.control = control
        self.number = number
        self.record = None          # the transfer record this connection carries
        self.up_bytes = 0           # client to server bytes forwarded
        self.read_bytes = 0         # ... read from the client, forwarded or not
        self.end = None
        self.cut_at_start = None    # "rst"|"fin": cut once the transfer starts
        super().__init__(proxy, client, server, "data")
        if control is not None:
            control.data_pipes.append(self)
            if control.transfer is not None and control.transfer.get("pipe") is None:
                self.attach(control.transfer)

    def attach(self, record):
        self.record = record
        record["pipe"] = self
        record["up_bytes"] = self.up_bytes
        record["read_bytes"] = self.read_bytes

    def received(self, sock, data):
        if sock is not self.client:
            return data
        proxy = self.proxy
        self.read_bytes += len(data)
        if self.record is not None:
            self.record["read_bytes"] = self.read_bytes
        start = proxy.up_total
        end = start + len(data)
        fault = proxy.next_byte_fault(end)
        if fault is None:
            self._count(len(data))
            return data
        threshold, what, detail = fault
        keep = max(0, threshold - start)
        head = bytes(data[:keep])
        self._count(keep)
        # The bytes up to the fault still reach the server.
        if head:
            try:
                self.server.setblocking(True)
                self.server.sendall(bytes(self.pending[self.server]) + head)
                self.pending[self.server].clear()
                self.server.setblocking(False)
            except OSError:
                pass
        if what == "cut":
            proxy.note_cut("data", detail, self)
            self.end = "cut"
            self.close(detail == "rst", "cut")
        else:
            self.end = "kill"
            proxy.kill_program("bytes", self)
            # The program is gone: what it had sent has arrived, its end
            # is an ordinary close.
            self.close(False, "kill")
        return b""

    def _count(self, n):
        self.up_bytes += n
        self.proxy.up_total += n
        if self.record is not None:
            self.record["up_bytes"] = self.up_bytes

    def on_closed(self, reason):
        if self.cut_at_start is not None:
            # It ended before its transfer started: the next one gets the cut.
            self.proxy.plan.open_cuts.insert(
                0, (self.proxy.data_seen + 1, (self.cut_at_start, "start")))
            self.cut_at_start = None
        if self.end is None:
            self.end = reason
        if self.record is not None:
            self.record["end"] = self.end
            self.record["up_bytes"] = self.up_bytes


class ControlPipe(Pipe):
    def __init__(self, proxy, client, server, number):
        self.number = number
        self.cbuf = bytearray()     # client lines not yet seen whole
        self.sbuf = bytearray()
        self.commands = []          # commands sent, replies not yet seen
        self.multiline = None
        self.transfer = None        # the current STOR/APPE record
        self.data_pipes = []
        self.listeners = []
        self.greeted = False
        self.open_cut_pending = None
        self.cut_on_reply = None
        self.rest = 0               # the offset of the last REST, for a STOR after it
        self.last_size = {}         # path -> the last SIZE answer on this connection
        super().__init__(proxy, client, server, "control")

    # -- client to server: commands -------------------------------------------
    def received(self, sock, data):
        if sock is self.client:
            return self._commands(data)
        return self._replies(data)

    def _commands(self, data):
        self.cbuf += data
        out = bytearray()
        while True:
            at = self.cbuf.find(b"\n")
            if at < 0:
                break
            line = bytes(self.cbuf[:at + 1])
            del self.cbuf[:at + 1]
            verdict = self.proxy.on_command(self, line.rstrip(b"\r\n"))
            if verdict == "drop":
                return b""
            out += line
            if self.closed:
                return b""
        return bytes(out)

    # -- server to client: replies --------------------------------------------
    def _replies(self, data):
        self.sbuf += data
        out = bytearray()
        while True:
            at = self.sbuf.find(b"\n")
            if at < 0:
                break
            line = bytes(self.sbuf[:at + 1])
            del self.sbuf[:at + 1]
            text = line.rstrip(b"\r\n")
            final = False
            if self.multiline is not None:
                if text[:3] == self.multiline and text[3:4] == b" ":
                    self.multiline = None
                    final = True
            elif len(text) >= 4 and text[:3].isdigit() and text[3:4] == b"-":
                self.multiline = text[:3]
            else:
                final = True
            if final:
                verdict = self.proxy.on_reply(self, text)
                if verdict == "drop":
                    return b""
            out += line
            if self.closed:
                return b""
        return bytes(out)

    def on_closed(self, reason):
        for lst in self.listeners:
            self.proxy.drop_listener(lst)
        self.listeners = []
        if self.cut_on_reply is not None:
            # The connection ended before the reply came: the cut goes to
            # the next command instead.
            mode, with_data, _ = self.cut_on_reply
            self.cut_on_reply = None
            self.proxy.plan.control_cuts.insert(
                0, (self.proxy.commands_seen + 1, ("reply", mode, with_data)))


class Proxy:
    """See the module comment. Runs its own thread; the driver reads the
    counters and records after each program run."""

    def __init__(self, listen_host, listen_port, server_host, server_port, plan,
                 kill=None, log=None):
        self.listen_host = listen_host
        self.server_host = server_host
        self.server_port = server_port
        self.plan = plan
        self.kill = kill or (lambda why: False)
        self.log = log or (lambda text: None)
        self.sel = selectors.DefaultSelector()
        self.lock = threading.Lock()
        self.listen = self._listener(listen_host, listen_port)
        self.port = self.listen.getsockname()[1]
        self.sel.register(self.listen, selectors.EVENT_READ, ("control", None))
        self.data_listeners = {}    # port -> (socket, control pipe)
        self.live = set()           # pipes still open
        self.errors = []            # the proxy's own failures: the soak is void
        self.up_total = 0           # upload bytes over all data connections
        self.commands_seen = 0
        self.data_seen = 0
        self.starts_seen = 0
        self.appe_finals_seen = 0
        self.controls_seen = 0
        self.cuts = []              # (kind, detail)
        self.kills = []             # (why, detail)
        self.records = []           # transfers and SIZE answers, in order
        self.active_mode_commands = 0
        self.run = 0                # set by the driver: the program run now going
        self.trace = False          # log every command and reply
        self._stop = False
        self._thread = threading.Thread(target=self._loop, daemon=True)

    @staticmethod
    def _listener(host, port):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((host, port))
        s.listen(16)
        s.setblocking(False)
        return s

    def start(self):
        self._thread.start()

    def stop(self):
        self._stop = True
        self._thread.join(5)

    # -- schedule ----------------------------------------------------------------
    def next_byte_fault(self, end):
        """The first cut or kill whose byte threshold lies in (up_total, end]."""
        p = self.plan
        best = None
        if p.data_cuts and p.data_cuts[0][0] <= end:
            best = (p.data_cuts[0][0], "cut", p.data_cuts[0][1])
        if p.byte_kills and p.byte_kills[0] <= end and (best is None or p.byte_kills[0] < best[0]):
            best = (p.byte_kills[0], "kill", None)
        if best is None:
            return None
        if best[1] == "cut":
            p.data_cuts.pop(0)
        else:
            p.byte_kills.pop(0)
        return (max(best[0], self.up_total), best[1], best[2])

    def note_cut(self, kind, detail, pipe):
        self.cuts.append((kind, detail))
        rec = self._current_record(pipe)
        if rec is not None:
            rec.setdefault("cuts", []).append(kind)
        self.log("cut %s %s (run %d, upload bytes %d)" % (kind, detail, self.run, self.up_total))

    def _open_cut(self, rec):
        """Marks the transfer whose data connection was cut as it opened."""
        rec["pipe"] = "cut at open"
        rec.setdefault("cuts", []).append("open")
        rec["end"] = "cut"

    def _current_record(self, pipe):
        if isinstance(pipe, DataPipe):
            return pipe.record
        if isinstance(pipe, ControlPipe):
            return pipe.transfer
        return None

    def kill_program(self, why, pipe=None, path=None):
        """Kills the program through the driver's callback. When the program
        is gone already (its last bytes still arriving) the kill waits for
        the next start of the program instead; False then."""
        if not self.kill(why):
            p = self.plan
            if why == "bytes":
                p.byte_kills.insert(0, self.up_total + 1)
            elif why == "between-files":
                p.stor_kills.insert(0, self.starts_seen + 1)
            else:
                p.complete_kills.insert(0, self.appe_finals_seen + 1)
            return False
        rec = self._current_record(pipe)
        if rec is not None:
            rec["killed"] = True
            path = path or rec["path"]
        self.kills.append((why, path, self.run))
        self.log("kill at %s (run %d, upload bytes %d)" % (why, self.run, self.up_total))
        return True

    # -- control dialogue ------------------------------------------------------
    def on_command(self, ctl, line):
        if self.trace:
            self.log("C%d > %s" % (ctl.number, line.decode("utf-8", "replace")))
        self.commands_seen += 1
        n = self.commands_seen
        word, _, arg = line.partition(b" ")
        verb = word.upper().decode("ascii", "replace")
        path = arg.decode("utf-8", "surrogateescape")
        p = self.plan
        if verb in ("PORT", "EPRT"):
            self.active_mode_commands += 1
        if verb == "REST":
            ctl.rest = int(arg) if arg.isdigit() else 0
        elif verb != "STOR" and verb not in ("TYPE", "EPSV", "PASV"):
            ctl.rest = 0
        if verb == "STOR" or (verb == "APPE" and path in ctl.last_size
                              and ctl.last_size[path] is None):
            self.starts_seen += 1
            if p.stor_kills and p.stor_kills[0] <= self.starts_seen:
                p.stor_kills.pop(0)
                self.kill_program("between-files", path=path)
                ctl.close(False, "kill")
                return "drop"
        cut = None
        if p.control_cuts and p.control_cuts[0][0] <= n:
            cut = p.control_cuts.pop(0)[1]
        if verb in ("STOR", "APPE"):
            rec = {"type": "transfer", "command": verb, "path": path, "run": self.run,
                   "control": ctl.number, "up_bytes": 0, "read_bytes": 0, "end": None,
                   "final": None,
                   "pipe": None,
                   "offset": ctl.rest if verb == "STOR" else ctl.last_size.get(path)}
            self.records.append(rec)
            ctl.transfer = rec
            ctl.rest = 0
            if ctl.open_cut_pending is not None:
                self._open_cut(rec)
                ctl.open_cut_pending = None
            # A data connection opened after the last EPSV/PASV and not yet
            # given a transfer carries this one.
            for dp in reversed(ctl.data_pipes):
                if dp.record is None:
                    dp.attach(rec)
                break
        if cut is not None:
            where, mode, with_data = cut
            if where == "cmd":
                self._cut_control(ctl, mode, with_data, "before " + verb)
                return "drop"
            ctl.cut_on_reply = (mode, with_data, verb)
        if verb in ("STOR", "APPE"):
            ctl.transfer["forwarded"] = True
        ctl.commands.append((verb, path))
        return "pass"

    def on_reply(self, ctl, text):
        if self.trace:
            self.log("C%d < %s" % (ctl.number, text.decode("utf-8", "replace")))
        code = text[:3]
        if not ctl.greeted:
            ctl.greeted = True
            return "pass"
        if code.startswith(b"1"):
            # The server has taken the transfer command: a data connection
            # due to be cut as it starts goes now.
            rec = ctl.transfer
            pipe = rec.get("pipe") if rec is not None else None
            if isinstance(pipe, DataPipe) and pipe.cut_at_start and not pipe.closed:
                mode, pipe.cut_at_start = pipe.cut_at_start, None
                self.note_cut("open", mode + " at the start", pipe)
                pipe.end = "cut"
                pipe.close(mode == "rst", "cut")
            return "pass"
        verb, path = ctl.commands.pop(0) if ctl.commands else (None, None)
        pending_cut = ctl.cut_on_reply
        if pending_cut is not None:
            ctl.cut_on_reply = None
            mode, with_data, cverb = pending_cut
            self._cut_control(ctl, mode, with_data, "at reply to " + cverb)
            return "drop"
        if verb == "SIZE":
            size = None
            if code == b"213":
                try:
                    size = int(text[4:].strip())
                except ValueError:
                    size = None
            self.records.append({"type": "size", "path": path, "size": size, "run": self.run,
                                 "control": ctl.number})
            ctl.last_size[path] = size
        elif verb in ("STOR", "APPE") and ctl.transfer is not None:
            ctl.transfer["final"] = code.decode("ascii", "replace")
            if verb == "APPE" and code == b"226":
                self.appe_finals_seen += 1
                p = self.plan
                if p.complete_kills and p.complete_kills[0] <= self.appe_finals_seen:
                    p.complete_kills.pop(0)
                    self.kill_program("after-complete", ctl)
                    ctl.close(False, "kill")
                    return "drop"
        elif code == b"227" or code == b"229":
            m = (PASV_RE if code == b"227" else EPSV_RE).match(text)
            if m:
                port = int(m.group(5)) * 256 + int(m.group(6)) if code == b"227" \
                    else int(m.group(1))
                self._listen_data(ctl, port)
        return "pass"

    def _cut_control(self, ctl, mode, with_data, where):
        self.note_cut("control", "%s %s%s" % (mode, where, " +data" if with_data else ""), ctl)
        rec = ctl.transfer
        if rec is not None and rec.get("pipe") is None and rec["end"] is None:
            rec["end"] = "cut"   # the transfer never got its data connection
        if with_data:
            for dp in ctl.data_pipes:
                if not dp.closed:
                    dp.end = "cut"
                    dp.close(mode == "rst", "cut")
        ctl.close(mode == "rst", "cut")

    # -- data connections --------------------------------------------------------
    def _listen_data(self, ctl, port):
        old = self.data_listeners.get(port)
        if old is not None:
            self.data_listeners[port] = (old[0], ctl)
            return
        try:
            s = self._listener(self.listen_host, port)
        except OSError as e:
            # The program's data connection would go astray: the soak is void.
            self.errors.append("cannot listen on %s:%d: %s" % (self.listen_host, port, e))
            return
        self.data_listeners[port] = (s, ctl)
        ctl.listeners.append(port)
        self.sel.register(s, selectors.EVENT_READ, ("data", port))

    def drop_listener(self, port):
        entry = self.data_listeners.pop(port, None)
        if entry is None:
            return
        try:
            self.sel.unregister(entry[0])
        except (KeyError, ValueError):
            pass
        entry[0].close()

    def _accept(self, tag):
        kind, port = tag
        if kind == "control":
            client, _ = self.listen.accept()
            try:
                server = socket.create_connection((self.server_host, self.server_port), 5)
            except OSError:
                _cut(client, True)
                return
            self.controls_seen += 1
            ControlPipe(self, client, server, self.controls_seen)
            return
        entry = self.data_listeners.get(port)
        if entry is None:
            return  # its control connection ended in this same round
        s, ctl = entry
        client, _ = s.accept()
        self.drop_listener(port)
        if port in ctl.listeners:
            ctl.listeners.remove(port)
        self.data_seen += 1
        try:
            server = socket.create_connection((self.server_host, port), 5)
        except OSError as e:
            self.log("cannot reach data port %d: %s" % (port, e))
            _cut(client, True)
            return
        p = self.plan
        at_start = None
        if p.open_cuts and p.open_cuts[0][0] <= self.data_seen and \
                p.open_cuts[0][1][1] == "start":
            at_start = p.open_cuts.pop(0)[1][0]
        elif p.open_cuts and p.open_cuts[0][0] <= self.data_seen:
            # Cut as soon as it is open, maybe before the server knows what
            # it is for: both ends see it fail.
            mode = p.open_cuts.pop(0)[1][0]
            self.log("cut open %s (run %d, data connection %d)" % (mode, self.run,
                                                                   self.data_seen))
            self.cuts.append(("open", mode))
            _cut(client, mode == "rst")
            _cut(server, mode == "rst")
            # The transfer command may have passed already or may come next.
            rec = ctl.transfer
            if rec is not None and rec.get("pipe") is None:
                self._open_cut(rec)
            else:
                ctl.open_cut_pending = True
            return
        pipe = DataPipe(self, client, server, ctl, self.data_seen)
        pipe.cut_at_start = at_start

    def _loop(self):
        while not self._stop:
            for key, mask in self.sel.select(0.05):
                obj = key.data
                try:
                    if isinstance(obj, tuple):
                        self._accept(obj)
                    else:
                        obj.handle(key.fileobj, mask)
                except Exception as e:  # noqa: BLE001 - the driver reports it
                    self.errors.append(repr(e))
                    self.log("proxy error: %r" % e)
        self.sel.close()
