#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Records real FTP dialogues as seeds for the fuzz targets.

Starts pyftpdlib (tests/support/ftpserver.py, in a few of its modes) and
vsftpd on free loopback ports, each over a folder like the one the listing
captures in tests/support/listings were taken from, and talks to each as the
client does: login, FEAT, passive and active listings, SIZE, an upload and an
append, and a few commands that fail. Every byte the server sends on the
control connection is kept as it came. Writes:

    corpus/FtpReplyFuzz/<server>.bin    a mode byte, then the whole control stream
    corpus/FtpFieldsFuzz/<server>-<n>-<command>.txt
                                        each reply's text as the reply reader
                                        hands it over (lines joined by LF)
    corpus/ListingFuzz/<server>-<command>.bin
                                        the data of each LIST and NLST
    corpus/FtpReplyFloodFuzz/<server>-<n>-<command>.bin
                                        a mode byte, then a multi-line reply
                                        without its last line, or a first line
                                        without its end (repeated by the target,
                                        they never end), or the whole stream

Run as root (vsftpd needs it) with the system Python:

    /usr/bin/python3 fuzz/record-ftp-seeds.py
"""

import os
import pwd
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
CORPUS = os.path.join(HERE, "corpus")
FTPSERVER = os.path.join(REPO, "tests", "support", "ftpserver.py")
VSFTPD = "/usr/sbin/vsftpd"

# The FtpReplyFuzz mode byte of the recorded streams: pieces of 1 to 64 bytes.
REPLY_MODE = b"\x06"
# The FtpReplyFloodFuzz mode byte: seeds its piece sizes.
FLOOD_MODE = b"\x01"


def make_root(path, upload_owner=None):
    """The sample folder of tests/support/listings, plus an upload folder."""
    os.makedirs(os.path.join(path, "folder"))
    os.makedirs(os.path.join(path, "folder with blanks"))
    os.makedirs(os.path.join(path, "Папка"))
    with open(os.path.join(path, "file.txt"), "wb") as f:
        f.write(b"hello\n")
    with open(os.path.join(path, "old.txt"), "wb") as f:
        f.write(b"old\n")
    stamp = time.mktime((2020, 3, 15, 12, 0, 0, 0, 0, -1))
    os.utime(os.path.join(path, "old.txt"), (stamp, stamp))
    os.symlink("file.txt", os.path.join(path, "link-to-file"))
    os.symlink("folder", os.path.join(path, "link-to-folder"))
    upload = os.path.join(path, "upload")
    os.makedirs(upload)
    if upload_owner is not None:
        os.chown(upload, upload_owner.pw_uid, upload_owner.pw_gid)
    os.chmod(path, 0o755)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Recorder:
    """A plain FTP client that keeps every byte of the control connection."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.stream = bytearray()
        self.pending = bytearray()
        self.replies = []  # (command, code, text)

    def _line(self):
        while b"\n" not in self.pending:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise EOFError("control connection closed")
            self.stream += chunk
            self.pending += chunk
        line, _, rest = bytes(self.pending).partition(b"\n")
        self.pending = bytearray(rest)
        return line[:-1] if line.endswith(b"\r") else line

    def reply(self, command):
        """Reads one reply (RFC 959 section 4.2), single or multi-line."""
        lines = [self._line()]
        code = lines[0][:3]
        if lines[0][3:4] == b"-":
            while True:
                line = self._line()
                lines.append(line)
                if line[:3] == code and line[3:4] in (b" ", b""):
                    break
        text = b"\n".join(lines)
        self.replies.append((command, int(code), text))
        return int(code), text

    def send(self, command):
        self.sock.sendall(command.encode("utf-8") + b"\r\n")
        return self.reply(command.split(" ")[0])

    def passive(self):
        """EPSV, falling back to PASV; a connected data socket."""
        code, text = self.send("EPSV")
        if code == 229:
            port = int(re.search(rb"\((.)\1\1(\d+)\1\)", text).group(2))
        else:
            code, text = self.send("PASV")
            numbers = [int(n) for n in re.search(rb"(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)",
                                                 text).groups()]
            port = numbers[4] * 256 + numbers[5]
        return socket.create_connection(("127.0.0.1", port), timeout=10)

    def pasv(self):
        code, text = self.send("PASV")
        numbers = [int(n) for n in re.search(rb"(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)",
                                             text).groups()]
        return socket.create_connection(("127.0.0.1", numbers[4] * 256 + numbers[5]), timeout=10)

    def read_data(self, data, command):
        code, _ = self.send(command)
        if code >= 400:
            data.close()
            return None
        got = bytearray()
        while True:
            chunk = data.recv(4096)
            if not chunk:
                break
            got += chunk
        data.close()
        self.reply(command.split(" ")[0])
        return bytes(got)

    def active_list(self, command):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(10)
        port = listener.getsockname()[1]
        code, _ = self.send("EPRT |1|127.0.0.1|%d|" % port)
        if code != 200:
            code, _ = self.send("PORT 127,0,0,1,%d,%d" % (port >> 8, port & 0xff))
        self.sock.sendall(command.encode() + b"\r\n")
        code, _ = self.reply(command)
        got = bytearray()
        if code < 400:
            data, _ = listener.accept()
            while True:
                chunk = data.recv(4096)
                if not chunk:
                    break
                got += chunk
            data.close()
            self.reply(command)
        listener.close()
        return bytes(got)

    def store(self, command, payload):
        data = self.passive()
        code, _ = self.send(command)
        if code < 400:
            data.sendall(payload)
            data.close()
            self.reply(command.split(" ")[0])
        else:
            data.close()


def dialogue(port, user, password, upload_dir):
    """The client's conversation, with a few failures mixed in."""
    r = Recorder(port)
    listings = {}
    r.reply("GREETING")
    code, _ = r.send("USER " + user)
    if code == 331:
        r.send("PASS " + password)
    r.send("SYST")
    r.send("FEAT")
    r.send("OPTS UTF8 ON")
    r.send("PWD")
    r.send("TYPE I")
    r.send("SIZE file.txt")
    r.send("SIZE missing.txt")
    r.send("SIZE folder")
    r.send("MDTM old.txt")
    r.send("CWD folder")
    r.send("CWD /")
    r.send("CWD nowhere")
    listings["LIST"] = r.read_data(r.passive(), "LIST")
    listings["NLST"] = r.read_data(r.pasv(), "NLST")
    listings["LIST-active"] = r.active_list("LIST")
    r.send("STAT")
    r.send("HELP")
    r.send("NOOP")
    r.send("XYZZY")
    r.send("CWD " + upload_dir)
    r.store("STOR sample.bin", b"sample")
    r.send("SIZE sample.bin")
    r.store("APPE sample.bin", b" more")
    r.send("SIZE sample.bin")
    r.send("QUIT")
    r.sock.close()
    return r, listings


def start_pyftpdlib(root, options):
    proc = subprocess.Popen(["/usr/bin/python3", FTPSERVER, "--port", "0", "--root", root]
                            + options, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            text=True)
    line = proc.stdout.readline()
    if not line.startswith("PORT "):
        proc.kill()
        raise RuntimeError("pyftpdlib did not start")
    return proc, int(line.split()[1])


def start_vsftpd(workdir, root):
    port = free_port()
    conf = os.path.join(workdir, "vsftpd.conf")
    empty = os.path.join(workdir, "empty")
    os.makedirs(empty)
    with open(conf, "w") as f:
        f.write("listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n"
                "listen_port=%d\nbackground=NO\n"
                "anonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\n"
                "anon_root=%s\nwrite_enable=YES\nanon_upload_enable=YES\n"
                "anon_mkdir_write_enable=YES\nanon_other_write_enable=YES\n"
                "anon_world_readable_only=NO\nanon_umask=022\n"
                "pasv_enable=YES\nport_enable=YES\nconnect_from_port_20=NO\n"
                "utf8_filesystem=YES\nhide_ids=NO\ndirmessage_enable=NO\n"
                "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
                "secure_chroot_dir=%s\nftp_username=ftp\nnopriv_user=ftp\n"
                % (port, root, empty))
    os.chmod(conf, 0o600)
    proc = subprocess.Popen([VSFTPD, conf], start_new_session=True, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proc, port
        except OSError:
            time.sleep(0.05)
    proc.kill()
    raise RuntimeError("vsftpd did not start")


SEEN_REPLIES = set()  # the same reply from two servers is one seed


def save(name, recorder, listings):
    def write(path, data):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    write(os.path.join(CORPUS, "FtpReplyFuzz", name + ".bin"), REPLY_MODE + bytes(recorder.stream))
    flood = os.path.join(CORPUS, "FtpReplyFloodFuzz")
    write(os.path.join(flood, name + "-stream.bin"), FLOOD_MODE + bytes(recorder.stream))
    for n, (command, _, text) in enumerate(recorder.replies):
        lines = text.split(b"\n")
        slug = re.sub(r"[^A-Za-z0-9]+", "", command) or "reply"
        if len(lines) > 1 and text not in SEEN_REPLIES:
            write(os.path.join(flood, "%s-%02d-%s-open.bin" % (name, n, slug)),
                  FLOOD_MODE + b"".join(line + b"\r\n" for line in lines[:-1]))
        if n == 0:
            write(os.path.join(flood, "%s-%02d-%s-unended.bin" % (name, n, slug)),
                  FLOOD_MODE + lines[0])
    for n, (command, _, text) in enumerate(recorder.replies):
        if text in SEEN_REPLIES:
            continue
        SEEN_REPLIES.add(text)
        slug = re.sub(r"[^A-Za-z0-9]+", "", command) or "reply"
        write(os.path.join(CORPUS, "FtpFieldsFuzz", "%s-%02d-%s.txt" % (name, n, slug)), text)
    for command, data in listings.items():
        if data:
            write(os.path.join(CORPUS, "ListingFuzz", "%s-%s.bin" % (name, command)), data)


def clear_recorded():
    """Drops the seeds of an earlier recording; seeds from elsewhere stay."""
    for target in ("FtpReplyFuzz", "FtpReplyFloodFuzz", "FtpFieldsFuzz", "ListingFuzz"):
        folder = os.path.join(CORPUS, target)
        if os.path.isdir(folder):
            for name in os.listdir(folder):
                if name.startswith(("pyftpdlib", "vsftpd")):
                    os.remove(os.path.join(folder, name))


def main():
    os.umask(0o022)
    clear_recorded()
    work = tempfile.mkdtemp(prefix="trelvan-seeds-")
    os.chmod(work, 0o755)  # vsftpd runs as "ftp" and must reach its root
    try:
        pyftpd_modes = {
            "pyftpdlib": [],
            "pyftpdlib-multiline": ["--multiline-greeting", "--multiline-final"],
            "pyftpdlib-nosize-noepsv": ["--no-size", "--refuse-epsv"],
            "pyftpdlib-otherhost": ["--pasv-address", "192.0.2.7", "--refuse-epsv"],
        }
        for name, options in pyftpd_modes.items():
            root = os.path.join(work, name)
            make_root(root)
            proc, port = start_pyftpdlib(root, options)
            try:
                save(name, *dialogue(port, "trelvan", "s3cret", "/upload"))
            finally:
                proc.kill()
                proc.wait()

        if os.geteuid() == 0 and os.path.exists(VSFTPD):
            root = os.path.join(work, "vsftpd-root")
            make_root(root, pwd.getpwnam("ftp"))
            proc, port = start_vsftpd(work, root)
            try:
                save("vsftpd", *dialogue(port, "anonymous", "", "/upload"))
            finally:
                os.killpg(proc.pid, 9)
                proc.wait()
        else:
            print("vsftpd skipped: needs root and " + VSFTPD, file=sys.stderr)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
