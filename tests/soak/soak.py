#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Soak test: an unattended upload survives cut connections and kills.

For each server (pyftpdlib and vsftpd on loopback) the real program uploads a
list of files of random sizes through the fault-injecting proxy
(faultproxy.py), which cuts the control and data connections at scheduled
points; the program is also killed with SIGKILL at scheduled points and
started again (its unattended mode presses Upload as a person would after
the notice), until a run ends "completed". Then:

  * every file on the server is byte-identical to its source, none missing;
  * no file was sent again from its start after a cut (from the proxy's log
    of transfers and, separately, from the server's own log);
  * Files.txt is empty and Upload.dat gone;
  * every run's output agrees with what the server held: the notice and
    "Продолжить" exactly when a marker was left, rows shown done, and files
    left out of the list, only for files already complete on the server, no
    error box, a kill leaves the marker it should, "RESULT completed" only
    with every file in place.

It prints the counts: cuts and kills survived, bytes sent again after cuts
and after kills as shares of the total.

    /usr/bin/python3 tests/soak/soak.py --exe build/src/trelvan            # long
    /usr/bin/python3 tests/soak/soak.py --short --exe build/src/trelvan    # test command

Needs root for vsftpd (as the test suite does). Exit status 0 when every
check passed.
"""

import argparse
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import faultproxy  # noqa: E402

FTPSERVER = os.path.join(HERE, "soakftpd.py")
PYTHON = "/usr/bin/python3"
VSFTPD = "/usr/sbin/vsftpd"
MiB = 1024 * 1024

TEXT_NOTICE = "MESSAGE Внимание: Закачка файла была прервана и будет продолжена."
TEXT_DONE = "MESSAGE Сообщение: Закачка файлов на сервер завершена"
PROMPTS_ALLOWED = ("PROMPT Соединение с Internet потеряно.",
                   "PROMPT Время ожидания истекло.")


def log(text):
    sys.stdout.write("[%s] %s\n" % (time.strftime("%H:%M:%S"), text))
    sys.stdout.flush()


# --- processes -------------------------------------------------------------------

def descendants(root):
    """Every process below root (vsftpd's sessions leave its group)."""
    parent = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry, "rb") as f:
                line = f.read()
        except OSError:
            continue
        fields = line[line.rfind(b")") + 2:].split()
        parent[int(entry)] = int(fields[1])
    found = [root]
    i = 0
    while i < len(found):
        found += [p for p, pp in parent.items() if pp == found[i]]
        i += 1
    return found[1:]


def open_sockets(pids):
    """Connected TCP sockets (not listening) held by these processes."""
    inodes = set()
    for pid in pids:
        try:
            for fd in os.listdir("/proc/%d/fd" % pid):
                try:
                    target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
                except OSError:
                    continue
                if target.startswith("socket:["):
                    inodes.add(target[8:-1])
        except OSError:
            continue
    count = 0
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for row in f:
                    cols = row.split()
                    if cols[9] in inodes and cols[3] != "0A":
                        count += 1
        except OSError:
            pass
    return count


def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(0.02)


# --- servers -----------------------------------------------------------------------

class PyftpdServer:
    kind = "pyftpdlib"
    user = "trelvan"

    def __init__(self, base, password):
        self.dir = os.path.join(base, "pyftpdlib")
        self.root = os.path.join(self.dir, "root")
        os.makedirs(os.path.join(self.root, "upload"))
        self.events_file = os.path.join(self.dir, "events.jsonl")
        self.password = password
        self.logf = open(os.path.join(self.dir, "server.log"), "ab")
        self.proc = subprocess.Popen(
            [PYTHON, FTPSERVER, "--host", "127.0.0.1", "--port", "0", "--root", self.root,
             "--user", self.user, "--password", password, "--events", self.events_file],
            stdout=subprocess.PIPE, stderr=self.logf, start_new_session=True)
        line = self.proc.stdout.readline().decode()
        if not line.startswith("PORT "):
            raise RuntimeError("pyftpdlib did not start: " + line)
        self.port = int(line.split()[1])

    def upload_path(self, name):
        return os.path.join(self.root, "upload", name)

    def log_position(self):
        return os.path.getsize(self.events_file) if os.path.exists(self.events_file) else 0

    def events(self):
        """[(position, event)] with kind "command" or "upload"."""
        out = []
        if not os.path.exists(self.events_file):
            return out
        with open(self.events_file, "rb") as f:
            pos = 0
            for line in f:
                if line.strip():
                    out.append((pos, json.loads(line)))
                pos += len(line)
        return out

    def quiet(self):
        return self.proc.poll() is None and open_sockets([self.proc.pid]) == 0

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait()
        self.logf.close()


class VsftpdServer:
    """Standalone vsftpd, anonymous uploads into /upload, as the C++ test
    fixture runs it (see tests/support/FtpTestServer.cpp)."""
    kind = "vsftpd"
    user = "anonymous"

    def __init__(self, base, password):
        import pwd
        self.dir = os.path.join(base, "vsftpd")
        self.root = os.path.join(self.dir, "root")
        os.makedirs(os.path.join(self.dir, "empty"))
        os.makedirs(os.path.join(self.root, "upload"))
        os.chmod(self.root, 0o755)
        ftp = pwd.getpwnam("ftp")
        os.chown(os.path.join(self.root, "upload"), ftp.pw_uid, ftp.pw_gid)
        self.password = password
        self.log_file = os.path.join(self.dir, "vsftpd.log")
        for attempt in range(5):
            probe = __import__("socket").socket()
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
            probe.close()
            conf = os.path.join(self.dir, "vsftpd.conf")
            with open(conf, "w") as f:
                f.write("\n".join([
                    "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1",
                    "listen_port=%d" % self.port, "background=NO",
                    "anonymous_enable=YES", "local_enable=NO", "no_anon_password=YES",
                    "anon_root=" + self.root, "write_enable=YES", "anon_upload_enable=YES",
                    "anon_mkdir_write_enable=YES", "anon_other_write_enable=YES",
                    "anon_world_readable_only=NO", "anon_umask=022", "pasv_enable=YES",
                    "port_enable=YES", "connect_from_port_20=NO", "utf8_filesystem=YES",
                    "hide_ids=NO", "dirmessage_enable=NO", "seccomp_sandbox=NO", "isolate=NO",
                    "isolate_network=NO", "xferlog_enable=YES", "xferlog_std_format=NO",
                    "log_ftp_protocol=YES", "vsftpd_log_file=" + self.log_file,
                    "secure_chroot_dir=" + os.path.join(self.dir, "empty"),
                    "ftp_username=ftp", "nopriv_user=ftp", "max_clients=0", "max_per_ip=0",
                    "ssl_enable=NO", ""]))
            os.chmod(conf, 0o600)
            self.logf = open(os.path.join(self.dir, "server.log"), "ab")
            self.proc = subprocess.Popen([VSFTPD, conf], stdout=self.logf, stderr=self.logf,
                                         stdin=subprocess.DEVNULL, start_new_session=True)
            if self._greets():
                return
            self.stop()
        raise RuntimeError("vsftpd did not start")

    def _greets(self):
        import socket
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and self.proc.poll() is None:
            try:
                with socket.create_connection(("127.0.0.1", self.port), 2) as s:
                    return s.recv(100).startswith(b"220")
            except OSError:
                time.sleep(0.02)
        return False

    def upload_path(self, name):
        return os.path.join(self.root, "upload", name)

    def log_position(self):
        return os.path.getsize(self.log_file) if os.path.exists(self.log_file) else 0

    PID = re.compile(r"\[pid (\d+)\]")
    COMMAND = re.compile(r'FTP command: Client "[^"]*", "(.*)"$')
    # An empty upload's line has no byte count.
    UPLOAD = re.compile(r'(OK|FAIL) UPLOAD: Client "[^"]*", "(.*)", (?:(\d+) bytes|[\d.]+Kbyte)')

    def events(self):
        out = []
        if not os.path.exists(self.log_file):
            return out
        with open(self.log_file, "rb") as f:
            pos = 0
            for raw in f:
                line = raw.decode("utf-8", "surrogateescape").rstrip("\r\n")
                pid = self.PID.search(line)
                pid = int(pid.group(1)) if pid else 0
                m = self.COMMAND.search(line)
                if m:
                    out.append((pos, {"kind": "command", "command": m.group(1), "pid": pid}))
                else:
                    u = self.UPLOAD.search(line)
                    if u:
                        out.append((pos, {"kind": "upload", "ok": u.group(1) == "OK",
                                          "path": u.group(2), "bytes": int(u.group(3) or 0),
                                          "pid": pid}))
                pos += len(raw)
        return out

    def quiet(self):
        if self.proc.poll() is not None:
            return False
        sessions = descendants(self.proc.pid)
        return not sessions and open_sockets([self.proc.pid]) == 0

    def stop(self):
        if self.proc.poll() is None:
            below = descendants(self.proc.pid)
            os.killpg(self.proc.pid, signal.SIGKILL)
            for pid in below:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        self.proc.wait()
        self.logf.close()


# --- the program ---------------------------------------------------------------------

class Program:
    """A copy of the executable in a folder of its own, so its data files
    live beside it."""

    def __init__(self, exe, folder, password):
        self.folder = folder
        os.makedirs(folder)
        self.exe = os.path.join(folder, "trelvan")
        shutil.copy2(exe, self.exe)
        self.password = password
        self.proc = None
        self.lock = threading.Lock()
        self.kill_reason = None
        self.runs = 0
        runtime = os.path.join(folder, "..", "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        self.env = dict(os.environ, QT_QPA_PLATFORM="offscreen", TRELVAN_AUTOMATION="run",
                        TRELVAN_PASSWORD=password, LC_ALL="C.UTF-8", LANG="C.UTF-8",
                        TRELVAN_INSTANCE_SOCKET=os.path.join(folder, "instance.sock"),
                        XDG_RUNTIME_DIR=os.path.abspath(runtime))

    def file(self, name):
        return os.path.join(self.folder, name)

    def write_settings(self, server, user, folder):
        with open(self.file("Settings.ini"), "wb") as f:
            f.write(("[Options]\r\nServer=%s\r\nUser=%s\r\nDestFolder=%s\r\n"
                     % (server, user, folder)).encode())

    def write_list(self, paths):
        with open(self.file("Files.txt"), "wb") as f:
            f.write("".join(p + "\r\n" for p in paths).encode())

    def run(self, timeout, broken):
        """Starts the program and waits for it; returns (exit code, output
        lines, kill reason or None). broken() names a reason to give up on
        the run (the server died), or None."""
        self.runs += 1
        err = open(self.file("stderr-%d.txt" % self.runs), "wb")
        with self.lock:
            self.kill_reason = None
            self.proc = subprocess.Popen([self.exe], cwd=self.folder, env=self.env,
                                         stdout=subprocess.PIPE, stderr=err,
                                         stdin=subprocess.DEVNULL)
        lines = []
        reader = threading.Thread(
            target=lambda: lines.extend(l.decode("utf-8", "replace").rstrip("\n")
                                        for l in self.proc.stdout), daemon=True)
        reader.start()
        deadline = time.monotonic() + timeout
        code = None
        try:
            while code is None:
                try:
                    code = self.proc.wait(0.2)
                except subprocess.TimeoutExpired:
                    why = broken() or ("timeout" if time.monotonic() > deadline else None)
                    if why:
                        self.kill(why)
        finally:
            if code is None:  # the soak itself is being stopped
                self.kill("soak stopped")
                self.proc.wait()
        reader.join(10)
        err.close()
        with self.lock:
            reason = self.kill_reason
            self.proc = None
        return code, lines, reason

    def kill(self, reason):
        """SIGKILL now; called from the proxy's thread at a scheduled point.
        False when this run of the program was killed already or has ended."""
        with self.lock:
            if self.proc is None or self.kill_reason is not None or self.proc.poll() is not None:
                return False
            self.kill_reason = reason
            os.kill(self.proc.pid, signal.SIGKILL)
            return True


# --- files and the fault plan -----------------------------------------------------------

def make_sizes(rng, count, max_size, total):
    special = [0, 1, 4095, 4096, 4097, max_size]
    special = special[:max(0, min(len(special), count // 2))]
    rest = count - len(special)
    target = max(0, total - sum(special))
    # A long tail of small files and a few big ones, like real lists.
    raw = [rng.expovariate(1.0) for _ in range(rest)]
    scale = target / sum(raw) if raw and sum(raw) > 0 else 0
    for _ in range(50):
        sizes = [min(max_size, int(r * scale)) for r in raw]
        have = sum(sizes)
        if not raw or abs(have - target) < target * 0.01:
            break
        scale *= target / max(have, 1)
    sizes = special + sizes
    rng.shuffle(sizes)
    return sizes


def make_files(rng, folder, count, max_size, total):
    os.makedirs(folder, exist_ok=True)
    sizes = make_sizes(rng, count, max_size, total)
    files = []
    for i, size in enumerate(sizes):
        # A few names with blanks and Cyrillic letters, as users have them.
        name = ("файл %03d.bin" % i) if i % 17 == 5 else ("f%03d.bin" % i)
        path = os.path.join(folder, name)
        h = hashlib.sha256()
        with open(path, "wb") as f:
            left = size
            while left:
                block = rng.randbytes(min(left, 4 * MiB))
                f.write(block)
                h.update(block)
                left -= len(block)
        files.append({"name": name, "path": path, "size": size, "sha256": h.hexdigest()})
    return files


def make_plan(rng, files, cuts, kills, short):
    """cuts: (data, control, open); kills: (bytes, between files, after
    completion). Thresholds lie below what any complete upload must pass
    through, so each of them fires."""
    total = sum(f["size"] for f in files)
    n = len(files)
    data_cuts, control_cuts, open_cuts = cuts
    byte_kills, stor_kills, complete_kills = kills
    plan = faultproxy.FaultPlan()
    mode = lambda: rng.choice(("rst", "fin"))
    # A data connection reset before pyftpdlib has accepted it (under load
    # it may hold megabytes by then) is lost to it: it answers the transfer
    # command with 150 and never with a final reply, and the program waits
    # out its final-reply timeout, a minute, before it goes on. The short
    # soak, which must always take the same few seconds, therefore closes
    # data connections where the long one resets them or closes them, and
    # cuts a data connection at its opening only once the server has taken
    # the transfer command.
    data_mode = (lambda: "fin") if short else mode
    plan.data_cuts = sorted((rng.randrange(1, int(total * 0.95)), data_mode())
                            for _ in range(data_cuts))
    # A client command count: at least four commands go with every file.
    plan.control_cuts = sorted(
        (rng.randrange(4, 3 * n), (rng.choice(("cmd", "reply")), mode(),
                                   rng.random() < 0.5))
        for _ in range(control_cuts))
    plan.open_cuts = sorted((rng.randrange(1, n),
                             (data_mode(), "start" if short or rng.random() < 0.5 else "accept"))
                            for _ in range(open_cuts))
    plan.byte_kills = sorted(rng.randrange(int(total * 0.05), int(total * 0.9))
                             for _ in range(byte_kills))
    # Early in the list: the restart sends every file before the kill again.
    plan.stor_kills = sorted(rng.randrange(2, max(3, n // 10) + 1) for _ in range(stor_kills))
    plan.complete_kills = sorted(rng.randrange(1, n) for _ in range(complete_kills))
    return plan


def sha256_of(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            block = f.read(4 * MiB)
            if not block:
                return h.hexdigest()
            h.update(block)


def vsftpd_logged(text):
    """A path as vsftpd's log shows it: every byte outside ASCII as "?"."""
    return "".join("?" if b >= 0x80 else chr(b)
                   for b in text.encode("utf-8", "surrogateescape"))


def read_marker(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace").splitlines()[0]
    except (OSError, IndexError):
        return None


# --- one soak against one server ----------------------------------------------------------

class Soak:
    def __init__(self, kind, base, files, args, seed):
        self.kind = kind
        self.base = os.path.join(base, kind)
        os.makedirs(self.base)
        self.files = files
        self.args = args
        self.rng = random.Random(seed)
        self.faults = []        # what failed
        self.runs = []
        self.password = "Soak-%s-Pw" % kind

    def fail(self, text):
        self.faults.append(text)
        log("%s: FAULT: %s" % (self.kind, text))

    def go(self):
        cls = PyftpdServer if self.kind == "pyftpdlib" else VsftpdServer
        self.server = cls(self.base, self.password)
        self.proxy = None
        try:
            self._soak()
        finally:
            if self.proxy:
                self.proxy.stop()
            self.server.stop()
        return self.report()

    def _soak(self):
        a = self.args
        plan = make_plan(self.rng, self.files, a.cuts, a.kills, a.short)
        self.program = Program(a.exe, os.path.join(self.base, "program"),
                               self.server.password if self.kind == "pyftpdlib" else "")
        # The proxy listens on a loopback address of its own (other tests
        # listen on 127.0.0.2 at whole port ranges) and on the server's port
        # number, which the server never names in a passive reply, so the
        # data listeners it opens beside it cannot collide with anything.
        pick = random.Random(os.getpid() * 1000 + len(self.kind))
        address = "127.%d.%d.%d" % (pick.randrange(1, 255), pick.randrange(0, 256),
                                    pick.randrange(2, 255))
        self.proxy = faultproxy.Proxy(address, self.server.port, "127.0.0.1",
                                      self.server.port, plan,
                                      kill=self.program.kill,
                                      log=lambda t: log("%s: %s" % (self.kind, t))
                                      if a.verbose else None)
        self.proxy.trace = a.trace
        self.proxy.start()
        self.program.write_settings("%s:%d" % (address, self.proxy.port), self.server.user,
                                    "/upload")
        paths = [f["path"] for f in self.files]
        self.program.write_list(paths)
        started = time.monotonic()
        while True:
            self._settle()
            if len(self.runs) >= a.max_runs:
                self.fail("no run completed within %d runs" % a.max_runs)
                return
            if time.monotonic() - started > a.time_limit:
                self.fail("no run completed within %d s" % a.time_limit)
                return
            run = self._start_state()
            self.proxy.run = run["number"]
            code, lines, reason = self.program.run(
                a.run_timeout, lambda: "server died" if self.server.proc.poll() is not None
                else "proxy error" if self.proxy.errors else None)
            run.update(exit=code, output=lines, kill=reason,
                       cuts_after=len(self.proxy.cuts),
                       marker_after=read_marker(self.program.file("Upload.dat")))
            self.runs.append(run)
            result = next((l for l in lines if l.startswith("RESULT ")), None)
            run["result"] = result[7:] if result else None
            log("%s: run %d ended: %s (exit %s), %d cuts so far, %d prompts" % (
                self.kind, run["number"], reason and "killed " + reason or run["result"], code,
                len(self.proxy.cuts), sum(l.startswith("PROMPT") for l in lines)))
            if reason == "timeout":
                self.fail("run %d hung past %d s" % (run["number"], a.run_timeout))
            if reason in ("server died", "proxy error"):
                self.fail("run %d: the %s" % (run["number"], reason))
                return
            if run["result"] == "completed":
                # What the program claims must hold at once.
                self._settle()
                run["server_after"] = self._server_state(full=True)
                return

    def _settle(self):
        """Waits until the proxy and the server are done with the last
        program's connections, so a restart meets a server at rest."""
        def settled():
            if self.server.proc.poll() is not None:
                raise RuntimeError("the server died")
            return not self.proxy.live and self.server.quiet()
        wait_for(settled, 60, "the server to finish with the last connections")

    def _start_state(self):
        return {"number": len(self.runs) + 1,
                "marker": read_marker(self.program.file("Upload.dat")),
                "server_before": self._server_state(full=False),
                "log_pos": self.server.log_position(),
                "records_pos": len(self.proxy.records),
                "cuts_before": len(self.proxy.cuts)}

    def _server_state(self, full):
        state = {}
        for f in self.files:
            p = self.server.upload_path(f["name"])
            if os.path.exists(p):
                state[f["name"]] = (os.path.getsize(p), sha256_of(p) if full else None)
        return state

    # -- checks ------------------------------------------------------------------------
    def report(self):
        for e in self.proxy.errors:
            self.fail("proxy error: " + e)
        # Every fault is scheduled below what a complete upload must pass
        # through; one left over means the soak tested less than it claims.
        if self.proxy.plan.left():
            self.fail("%d scheduled faults never happened" % self.proxy.plan.left())
        self.check_final()
        self.check_runs()
        self.check_kill_count()
        self.check_no_restart_proxy()
        self.check_server_log()
        figures = self.figures()
        if self.args.keep:
            with open(os.path.join(self.base, "proxy-records.json"), "w") as f:
                json.dump([{k: v for k, v in r.items() if k != "pipe"}
                           for r in self.proxy.records], f, ensure_ascii=False)
            with open(os.path.join(self.base, "runs.json"), "w") as f:
                json.dump(self.runs, f, ensure_ascii=False, indent=1)
        return figures

    def check_final(self):
        last = self.runs[-1] if self.runs else None
        if not last or last["result"] != "completed" or last["exit"] != 0:
            self.fail("the last run did not end completed with exit 0")
        for f in self.files:
            p = self.server.upload_path(f["name"])
            if not os.path.exists(p):
                self.fail("missing on the server: " + f["name"])
            elif os.path.getsize(p) != f["size"] or sha256_of(p) != f["sha256"]:
                self.fail("differs on the server: %s (%d bytes, expected %d)"
                          % (f["name"], os.path.getsize(p), f["size"]))
        extra = set(os.listdir(os.path.join(self.server.root, "upload"))) - \
            {f["name"] for f in self.files}
        if extra:
            self.fail("unexpected files on the server: %s" % sorted(extra))
        if os.path.getsize(self.program.file("Files.txt")) != 0:
            self.fail("Files.txt is not empty")
        if os.path.exists(self.program.file("Upload.dat")):
            self.fail("Upload.dat is still there")

    def check_runs(self):
        names = [f["name"] for f in self.files]
        by_path = {f["path"]: f for f in self.files}
        for run in self.runs:
            n, out = run["number"], run["output"]
            marker = run["marker"]
            button = next((l for l in out if l.startswith("BUTTON ")), None)
            expect = "BUTTON Продолжить" if marker else "BUTTON Закачать"
            if button != expect:
                self.fail("run %d: %s with marker %r" % (n, button, marker))
            if (TEXT_NOTICE in out) != bool(marker):
                self.fail("run %d: the notice %s with marker %r"
                          % (n, "shown" if TEXT_NOTICE in out else "missing", marker))
            # Files.txt loses the files a run has sent as it goes: the rows
            # shown are the list's tail, and what left it is on the server.
            rows = [l for l in out if l.startswith("ROW ")]
            gone = len(self.files) - len(rows)
            if gone < 0:
                self.fail("run %d: %d rows shown, %d files listed" % (n, len(rows), len(names)))
                gone = 0
            for f in self.files[:gone]:
                held = run["server_before"].get(f["name"])
                if not held or held[0] != f["size"]:
                    self.fail("run %d: %s left the list, server holds %r of %d bytes"
                              % (n, f["name"], held, f["size"]))
            marked = [f["path"] for f in self.files].index(marker) if marker in by_path else 0
            for shown, row in enumerate(rows):
                i = gone + shown
                m = re.match(r"ROW (\d+) \[([^\]]*)\] (.*)$", row)
                if not m or int(m.group(1)) != shown + 1 or i >= len(self.files) \
                        or m.group(3) != self.files[i]["path"]:
                    self.fail("run %d: row %r out of order" % (n, row))
                    continue
                status = m.group(2)
                if i < marked:
                    held = run["server_before"].get(self.files[i]["name"])
                    if status != "100%" or not held or held[0] != self.files[i]["size"]:
                        self.fail("run %d: row %d shown %r, server holds %r of %d bytes"
                                  % (n, shown + 1, status, held, self.files[i]["size"]))
                elif status != "":
                    self.fail("run %d: row %d shown %r before the run" % (n, shown + 1, status))
            for l in out:
                if l.startswith("MESSAGE ") and l not in (TEXT_NOTICE, TEXT_DONE):
                    self.fail("run %d: unexpected box: %s" % (n, l))
                if l.startswith("PROMPT ") and not l.startswith(PROMPTS_ALLOWED):
                    self.fail("run %d: unexpected prompt: %s" % (n, l))
            results = [l for l in out if l.startswith("RESULT ")]
            if run["kill"]:
                if results:
                    self.fail("run %d was killed yet printed %s" % (n, results))
                self.check_kill_marker(run)
            elif run["result"] != "completed":
                self.fail("run %d ended %r (exit %s) although every prompt answers Continue"
                          % (n, run["result"], run["exit"]))
            if run["result"] == "completed":
                if TEXT_DONE not in out:
                    self.fail("run %d: completed without the message" % n)
                state = run.get("server_after", {})
                for f in self.files:
                    if state.get(f["name"]) != (f["size"], f["sha256"]):
                        self.fail("run %d said completed while %s on the server was %r"
                                  % (n, f["name"], state.get(f["name"])))

    def check_kill_count(self):
        killed = sum(1 for r in self.runs
                     if r["kill"] in ("bytes", "between-files", "after-complete"))
        if killed != len(self.proxy.kills):
            self.fail("%d runs were killed, %d kills recorded" % (killed, len(self.proxy.kills)))

    def check_kill_marker(self, run):
        """A kill between two files leaves no marker, or one naming the file
        being started (a file the server does not have is created by APPE,
        and its marker is in place first); a kill inside a file, or after its
        data but before the program heard the 226, leaves a marker naming
        that file."""
        kills = [k for k in self.proxy.kills if k[2] == run["number"]]
        if not kills:
            return
        why, path = kills[-1][0], kills[-1][1]
        after = run["marker_after"]
        name = os.path.basename(path) if path else None
        if why == "between-files":
            if after is not None and os.path.basename(after) != name:
                self.fail("run %d: killed between files, marker %r left" % (run["number"], after))
            return
        if name is None or after is None or os.path.basename(after) != name:
            self.fail("run %d: killed (%s) in %r, marker %r" % (run["number"], why, name, after))

    def segments(self):
        """Run numbers that start a fresh sweep of the list: the first run
        and every run started without a marker (after a kill between two
        files), which sends again what the list still holds: the files sent
        since the run last rewrote Files.txt."""
        return {r["number"] for r in self.runs if r["number"] == 1 or not r["marker"]}

    def check_no_restart_proxy(self):
        """Once some of a file's data went out in an APPE, the file must not
        be created afresh (STOR) until a fresh sweep of the whole list."""
        fresh = self.segments()
        sent = set()
        current = None
        for rec in self.proxy.records:
            if rec["type"] != "transfer":
                continue
            if rec["run"] != current:
                current = rec["run"]
                if current in fresh:
                    sent = set()
            # A STOR after REST continues the file where REST says.
            if rec["command"] == "STOR" and not rec["offset"] and rec["path"] in sent:
                self.fail("run %d: %s created afresh after part of it was sent "
                          "(proxy log)" % (rec["run"], rec["path"]))
                self.restarts_from_zero += 1
            if rec["up_bytes"] > 0:
                sent.add(rec["path"])

    restarts_from_zero = 0

    def run_of_position(self, pos):
        number = 0
        for run in self.runs:
            if run["log_pos"] <= pos:
                number = run["number"]
        return number

    def check_server_log(self):
        """The same rule from the server's own log; for pyftpdlib also that
        every APPE started exactly where the file's earlier uploads ended
        (two sessions appending at once would break that)."""
        fresh = self.segments()
        events = self.server.events()
        self.server_upload_bytes = 0
        current = None
        sent, size, rest = set(), {}, {}
        for pos, e in events:
            run = self.run_of_position(pos)
            if run != current:
                current = run
                if run in fresh:
                    sent = set()
            if self.kind == "pyftpdlib":
                if e["kind"] != "upload":
                    continue
                path, cmd = e["path"], e["command"]
                self.server_upload_bytes += e["bytes"]
                if cmd == "STOR" and e["offset"] == 0 and path in sent:
                    self.fail("run %d: %s created afresh after part of it was sent "
                              "(server log)" % (run, path))
                if cmd == "APPE" and e["offset"] != size.get(path, 0):
                    self.fail("run %d: APPE of %s at %d while the earlier uploads ended "
                              "at %d" % (run, path, e["offset"], size.get(path, 0)))
                # STOR after REST writes from its offset on (the offset of
                # pyftpdlib's STOR event), STOR alone from 0.
                size[path] = max(size.get(path, 0) if cmd == "STOR" and e["offset"] else 0,
                                 e["offset"] + e["bytes"])
                if e["bytes"] > 0:
                    sent.add(path)
            else:
                if e["kind"] == "command":
                    word, _, arg = e["command"].partition(" ")
                    word, arg = word.upper(), vsftpd_logged(arg)
                    if word == "REST":
                        rest[e["pid"]] = int(arg) if arg.isdigit() else 0
                    elif word == "STOR":
                        if not rest.get(e["pid"]):
                            if arg in sent:
                                self.fail("run %d: %s created afresh after part of it was "
                                          "sent (server log)" % (run, arg))
                            size[arg] = 0
                        else:
                            size[arg] = rest[e["pid"]]
                        rest[e["pid"]] = 0
                    continue
                path = vsftpd_logged(e["path"])
                self.server_upload_bytes += e["bytes"]
                size[path] = size.get(path, 0) + e["bytes"]
                if e["bytes"] > 0:
                    sent.add(path)
        # vsftpd: what arrived since each file's last creation is its size.
        if self.kind == "vsftpd":
            for f in self.files:
                path = vsftpd_logged("/upload/" + f["name"])
                if size.get(path) != f["size"]:
                    self.fail("%s: the server logged %r bytes since its creation, %d expected"
                              % (path, size.get(path), f["size"]))

    def figures(self):
        total = sum(f["size"] for f in self.files)
        recs = self.proxy.records
        transfers = [r for r in recs if r["type"] == "transfer"]
        up = sum(r["read_bytes"] for r in transfers)
        forwarded = sum(r["up_bytes"] for r in transfers)
        # The two logs must agree: the server cannot have taken more than
        # the proxy passed on.
        logged = getattr(self, "server_upload_bytes", None)
        if logged is not None and logged > forwarded:
            self.fail("the server logged %d upload bytes, the proxy passed on only %d"
                      % (logged, forwarded))
        lost = {"cut": 0, "kill": 0, "other": 0}
        anomalies = 0
        for i, r in enumerate(recs):
            if r["type"] != "transfer" or (r["command"] == "STOR" and not r["read_bytes"]):
                continue
            nxt = None
            # The last answer before the file's next transfer: the program
            # asks again until the size stops changing.
            for later in recs[i + 1:]:
                if later["path"] != r["path"]:
                    continue
                if later["type"] == "size" and later["size"] is not None:
                    nxt = later["size"]
                if later["type"] == "transfer":
                    break
            if nxt is None or r["offset"] is None:
                continue
            loss = r["offset"] + r["read_bytes"] - nxt
            if r["offset"] + r["up_bytes"] < nxt:
                anomalies += 1
                self.fail("%s: the server holds %d bytes, more than the %d sent up to then"
                          % (r["path"], nxt, r["offset"] + r["up_bytes"]))
                continue
            if loss < 0:
                continue
            if r.get("killed") or r["end"] == "kill":
                lost["kill"] += loss
            elif r.get("cuts") or r["end"] == "cut":
                lost["cut"] += loss
            else:
                lost["other"] += loss
        # Fresh sweeps of the list after a kill between files create every
        # file still listed afresh: what the server held of it goes out once
        # more.
        fresh = self.segments()
        resent_between = 0
        held, created, current = {}, set(), None
        for r in recs:
            if r["run"] != current:
                current = r["run"]
                if current in fresh:
                    created = set()
            if r["type"] == "size" and r["size"] is not None:
                held[r["path"]] = r["size"]
            elif r["type"] == "transfer" and r["command"] == "STOR" and r.get("forwarded") \
                    and r["path"] not in created:
                created.add(r["path"])
                resent_between += held.get(r["path"], 0)
                held[r["path"]] = 0
        # Every byte the server wrote must be in the final files, but for
        # what fresh sweeps wrote again: a byte written twice otherwise is a
        # continuation from a wrong offset, even where the file came out right.
        if logged is not None and logged != total + resent_between:
            self.fail("the server wrote %d bytes: %d more than the files and the fresh "
                      "sweeps' %d" % (logged, logged - total - resent_between, resent_between))
        kills = self.proxy.kills
        cuts = self.proxy.cuts
        fig = {
            "server": self.kind,
            "files": len(self.files),
            "bytes": total,
            "runs": len(self.runs),
            "cuts": len(cuts),
            "cuts_by_kind": {k: sum(1 for c in cuts if c[0] == k)
                             for k in ("data", "control", "open")},
            "cuts_reset": sum(1 for c in cuts if str(c[1]).startswith("rst")),
            "kills": len(kills),
            "kills_by_kind": {k: sum(1 for c in kills if c[0] == k)
                              for k in ("bytes", "between-files", "after-complete")},
            "prompts": sum(sum(l.startswith("PROMPT") for l in r["output"]) for r in self.runs),
            "upload_bytes_sent": up,
            "upload_bytes_forwarded": forwarded,
            "upload_bytes_server": logged,
            "resent_after_cuts": lost["cut"],
            "resent_after_kills_in_file": lost["kill"],
            "resent_after_kills_between_files": resent_between,
            "resent_other": lost["other"],
            "resent_unaccounted": up - total - lost["cut"] - lost["kill"] - lost["other"]
            - resent_between,
            "restarts_from_zero_after_cut": self.restarts_from_zero,
            "active_mode_commands": self.proxy.active_mode_commands,
            "seconds": None,
            "faults": self.faults,
        }
        return fig


def print_figures(fig):
    total = fig["bytes"] or 1
    pct = lambda n: "%.3f%%" % (100.0 * n / total)
    print("=== %s: %d files, %d bytes, %d runs" % (fig["server"], fig["files"], fig["bytes"],
                                                  fig["runs"]))
    print("  cuts survived:  %d (data %d, control %d, at data open %d; %d resets, rest closes)"
          % (fig["cuts"], fig["cuts_by_kind"]["data"], fig["cuts_by_kind"]["control"],
             fig["cuts_by_kind"]["open"], fig["cuts_reset"]))
    print("  kills survived: %d (in a file %d, between files %d, after the data before the 226 %d)"
          % (fig["kills"], fig["kills_by_kind"]["bytes"], fig["kills_by_kind"]["between-files"],
             fig["kills_by_kind"]["after-complete"]))
    print("  prompts answered: %d" % fig["prompts"])
    print("  upload bytes sent by the program: %d (%s of the total)"
          % (fig["upload_bytes_sent"], pct(fig["upload_bytes_sent"])))
    print("  passed on by the proxy: %d, logged by the server: %d"
          % (fig["upload_bytes_forwarded"], fig["upload_bytes_server"] or 0))
    print("  re-sent after cuts:              %d bytes (%s)"
          % (fig["resent_after_cuts"], pct(fig["resent_after_cuts"])))
    print("  re-sent after kills in a file:   %d bytes (%s)"
          % (fig["resent_after_kills_in_file"], pct(fig["resent_after_kills_in_file"])))
    print("  re-sent after kills between files (sent since Files.txt was last rewritten): "
          "%d bytes (%s)"
          % (fig["resent_after_kills_between_files"],
             pct(fig["resent_after_kills_between_files"])))
    print("  re-sent otherwise: %d, unaccounted: %d"
          % (fig["resent_other"], fig["resent_unaccounted"]))
    print("  files sent again from the start after a cut: %d"
          % fig["restarts_from_zero_after_cut"])
    # After a passive connection failed the program may try active mode; the
    # server then connects from 127.0.0.1, not from the proxy's address, and
    # the program turns that connection away, so no data passes unseen.
    print("  active-mode attempts (EPRT/PORT): %d" % fig["active_mode_commands"])
    print("  faults: %d" % len(fig["faults"]))
    for f in fig["faults"]:
        print("    " + f)
    sys.stdout.flush()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--exe", required=True, help="the built trelvan executable")
    p.add_argument("--short", action="store_true",
                   help="the test command's version: 12 files up to 4 MiB, 10 cuts, 3 kills")
    p.add_argument("--servers", default="pyftpdlib,vsftpd")
    p.add_argument("--files", type=int)
    p.add_argument("--max-size", type=int, help="bytes")
    p.add_argument("--total", type=int, help="bytes, about")
    p.add_argument("--cuts", help="data,control,open")
    p.add_argument("--kills", help="in-file,between-files,after-complete")
    p.add_argument("--seed", type=int, default=20240607)
    p.add_argument("--work", help="folder for files (default: a new temporary one)")
    p.add_argument("--keep", action="store_true", help="keep the work folder")
    p.add_argument("--report", help="write the figures as JSON here")
    p.add_argument("--verbose", action="store_true", help="log every fault as it happens")
    p.add_argument("--trace", action="store_true", help="with --verbose: log the dialogue too")
    a = p.parse_args()
    # Stopped from outside: leave no server or program behind.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
    if a.short:
        defaults = dict(files=12, max_size=4 * MiB, total=14 * MiB, cuts="6,3,1", kills="1,1,1",
                        run_timeout=150, time_limit=300, max_runs=20)
    else:
        defaults = dict(files=200, max_size=50 * MiB, total=2048 * MiB, cuts="70,25,10",
                        kills="8,2,2", run_timeout=900, time_limit=6 * 3600, max_runs=60)
    for k, v in defaults.items():
        if getattr(a, k, None) is None:
            setattr(a, k, v)
    a.cuts = tuple(int(x) for x in a.cuts.split(","))
    a.kills = tuple(int(x) for x in a.kills.split(","))
    a.exe = os.path.abspath(a.exe)

    base = a.work or tempfile.mkdtemp(prefix="trelvan-soak-")
    os.makedirs(base, exist_ok=True)
    rng = random.Random(a.seed)
    began = time.monotonic()
    log("making %d files, about %d bytes, in %s" % (a.files, a.total, base))
    files = make_files(rng, os.path.join(base, "files"), a.files, a.max_size, a.total)
    figures = []
    try:
        for i, kind in enumerate(a.servers.split(",")):
            t0 = time.monotonic()
            soak = Soak(kind, base, files, a, a.seed + 1 + i)
            try:
                fig = soak.go()
            except Exception as e:  # a broken harness is a failure too
                import traceback
                traceback.print_exc()
                soak.fail("harness error: %r" % e)
                fig = {"server": kind, "faults": soak.faults}
            fig["seconds"] = round(time.monotonic() - t0, 1)
            figures.append(fig)
            if "cuts" in fig:
                print_figures(fig)
                print("  took %.1f s" % fig["seconds"])
            # The server's copy is checked; free the space for the next one.
            if not a.keep:
                shutil.rmtree(os.path.join(base, kind), ignore_errors=True)
    finally:
        if not a.keep and not a.work:
            shutil.rmtree(base, ignore_errors=True)
    if a.report:
        with open(a.report, "w") as f:
            json.dump(figures, f, indent=1, ensure_ascii=False)
    faults = sum(len(f["faults"]) for f in figures)
    log("soak %s in %.1f s: %d faults" % ("passed" if not faults else "FAILED",
                                          time.monotonic() - began, faults))
    return 0 if faults == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
