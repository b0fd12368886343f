#!/usr/bin/python3
"""Server memory while many clients send large messages at once.

Starts VxMailServers in a private temp folder on free loopback ports. Phase
SMTP: --clients unauthenticated clients each send one message of --size-mb
megabytes by SMTP DATA to a local account, all at the same time. Phase IMAP:
as many clients log in and each APPENDs a literal of that size to its INBOX,
all at once. During each phase the server's VmRSS is sampled every 20 ms
(VmHWM, reset through /proc/PID/clear_refs before the phase, as well), and a
probe client logs in by IMAP, SELECTs INBOX and FETCHes a message's header
every half second, timing the whole exchange. After each phase every message
that got 250 or OK is compared byte for byte with what was sent, and the
stored mail is deleted before the next phase. Prints the peaks, the probe
times and whether the targets are met: peak RSS < 256 MB, probe < 1 s, every
acknowledged message stored whole.

It writes clients x size of mail per phase: check `df -h /tmp` first and
lower --clients or --size-mb when the disk is short. Never part of the test
run. Run as root (for clear_refs)."""

import argparse
import os
import shutil
import socket
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.dont_write_bytecode = True  # leave no cache behind in tests/e2e
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import vxharness  # noqa: E402  (shared with the end-to-end tests)
from large_message import reset_peak, status_kb  # noqa: E402

MB = 1024 * 1024
PASSWORD = "secret"
SMTP_USER = "smtp@bench.test"
IMAP_USER = "imap@bench.test"
PROBE_USER = "probe@bench.test"
RSS_TARGET_KB = 256 * 1024
PROBE_TARGET = 1.0


def make_chunk():
    """1 MB of 76-character lines with CR LF, none starting with a dot (so
    DATA needs no stuffing), the same for every client."""
    alphabet = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    lines = []
    size = 0
    i = 0
    while size < MB:
        line = bytes(alphabet[(i * 7 + k * 13) % 64] for k in range(76)) + b"\r\n"
        lines.append(line)
        size += len(line)
        i += 1
    return b"".join(lines)


CHUNK = make_chunk()


def header(kind, n):
    return ("From: sender@bench.test\r\nTo: someone@bench.test\r\nSubject: %s client %d\r\n"
            "Message-ID: <%s.%d@bench.test>\r\n\r\n" % (kind, n, kind, n)).encode()


class Lines:
    """A socket read line by line."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = b""

    def line(self):
        while b"\r\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError("connection closed")
            self.buf += chunk
        line, _, self.buf = self.buf.partition(b"\r\n")
        return line

    def tagged(self, tag):
        while True:
            line = self.line()
            if line.startswith(tag + b" "):
                return line


def smtp_client(port, n, chunks, results):
    try:
        s = socket.create_connection(("127.0.0.1", port))
        r = Lines(s)
        r.line()
        for cmd in (b"HELO bench.test", b"MAIL FROM:<sender@bench.test>",
                    b"RCPT TO:<" + SMTP_USER.encode() + b">", b"DATA"):
            s.sendall(cmd + b"\r\n")
            reply = r.line()
            if reply[:1] not in (b"2", b"3"):
                raise RuntimeError("%s: %r" % (cmd, reply))
        s.sendall(header("smtp", n))
        for _ in range(chunks):
            s.sendall(CHUNK)
        s.sendall(b".\r\n")
        reply = r.line()
        results[n] = reply.startswith(b"250")
        s.sendall(b"QUIT\r\n")
        s.close()
    except Exception as e:  # noqa: BLE001  (reported with the figures)
        results[n] = "error: %s" % e


def imap_client(port, n, chunks, results):
    try:
        s = socket.create_connection(("127.0.0.1", port))
        r = Lines(s)
        r.line()
        s.sendall(b"a1 LOGIN " + IMAP_USER.encode() + b" " + PASSWORD.encode() + b"\r\n")
        if not r.tagged(b"a1").startswith(b"a1 OK"):
            raise RuntimeError("LOGIN refused")
        literal = header("imap", n)
        size = len(literal) + chunks * len(CHUNK)
        s.sendall(b"a2 APPEND INBOX {%d}\r\n" % size)
        go = r.line()
        if not go.startswith(b"+"):
            raise RuntimeError("APPEND: %r" % go)
        s.sendall(literal)
        for _ in range(chunks):
            s.sendall(CHUNK)
        s.sendall(b"\r\n")
        results[n] = r.tagged(b"a2").startswith(b"a2 OK")
        s.sendall(b"a3 LOGOUT\r\n")
        s.close()
    except Exception as e:  # noqa: BLE001
        results[n] = "error: %s" % e


def probe(port):
    """LOGIN, SELECT INBOX, FETCH 1 header, LOGOUT: seconds for the exchange."""
    start = time.monotonic()
    s = socket.create_connection(("127.0.0.1", port))
    s.settimeout(30)
    r = Lines(s)
    r.line()
    for tag, cmd in ((b"p1", b"LOGIN " + PROBE_USER.encode() + b" " + PASSWORD.encode()),
                     (b"p2", b"SELECT INBOX"), (b"p3", b"FETCH 1 (BODY.PEEK[HEADER])")):
        s.sendall(tag + b" " + cmd + b"\r\n")
        if not r.tagged(tag).startswith(tag + b" OK"):
            raise RuntimeError("probe %r refused" % cmd)
    took = time.monotonic() - start
    s.sendall(b"p4 LOGOUT\r\n")
    s.close()
    return took


class Sampler:
    """Samples VmRSS every 20 ms and runs the probe every half second."""

    def __init__(self, pid, imap):
        self.pid, self.imap = pid, imap
        self.peak = 0
        self.probes = []
        self.stopping = threading.Event()
        self.threads = [threading.Thread(target=self.rss, daemon=True),
                        threading.Thread(target=self.probing, daemon=True)]
        for t in self.threads:
            t.start()

    def rss(self):
        while not self.stopping.is_set():
            self.peak = max(self.peak, status_kb(self.pid, "VmRSS"))
            time.sleep(0.02)

    def probing(self):
        while not self.stopping.wait(0.5):
            try:
                self.probes.append(probe(self.imap))
            except Exception as e:  # noqa: BLE001
                self.probes.append(float("inf"))
                print("probe failed: %s" % e)

    def stop(self):
        self.stopping.set()
        for t in self.threads:
            t.join()


def stored_messages(folder, user):
    box = os.path.join(folder.path, "MailBox", user)
    return [os.path.join(box, n) for n in sorted(os.listdir(box)) if n.endswith(".MSG")]


def check_stored(paths, kind, chunks, acknowledged):
    """Problems found comparing the stored files with what was sent."""
    problems = []
    seen = set()
    for path in paths:
        with open(path, "rb") as f:
            data = f.read(64 * 1024)
            start = data.find(b"From: sender@bench.test\r\n")
            subject = data.find(b"Subject: %s client " % kind.encode())
            if start < 0 or subject < 0:
                problems.append("%s: no header of ours" % path)
                continue
            n = int(data[subject:].split(b"\r\n", 1)[0].rsplit(b" ", 1)[1])
            seen.add(n)
            expected = header(kind, n)
            if data[start:start + len(expected)] != expected:
                problems.append("%s: header differs" % path)
                continue
            f.seek(start + len(expected))
            for i in range(chunks):
                if f.read(len(CHUNK)) != CHUNK:
                    problems.append("%s: body differs in MB %d" % (path, i))
                    break
            else:
                if f.read(1):
                    problems.append("%s: bytes after the body" % path)
    missing = sorted(n for n, ok in acknowledged.items() if ok is True and n not in seen)
    if missing:
        problems.append("acknowledged but not stored: %s" % missing[:10])
    return problems


def run_phase(name, client, port, pid, imap, clients, chunks):
    reset_peak(pid)
    start_rss = status_kb(pid, "VmRSS")
    results = {}
    sampler = Sampler(pid, imap)
    start = time.monotonic()
    threads = [threading.Thread(target=client, args=(port, n, chunks, results)) for n in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    took = time.monotonic() - start
    sampler.stop()
    peak = max(sampler.peak, status_kb(pid, "VmHWM"))
    ok = sum(1 for v in results.values() if v is True)
    errors = [v for v in results.values() if v is not True]
    return {"name": name, "took": took, "start": start_rss, "peak": peak, "ok": ok, "errors": errors,
            "probes": sampler.probes, "results": results}


def report(phase, clients, size_mb, problems):
    probes = phase["probes"]
    worst = max(probes) if probes else float("nan")
    print("%s: %d clients x %d MB in %.1f s (%.0f MB/s); %d acknowledged; RSS start %.1f MB, peak %.1f MB   %s"
          % (phase["name"], clients, size_mb, phase["took"], clients * size_mb / phase["took"], phase["ok"],
             phase["start"] / 1024.0, phase["peak"] / 1024.0,
             "ok" if phase["peak"] < RSS_TARGET_KB else "MISSED"))
    print("  probe LOGIN+SELECT+FETCH: %d runs, median %.3f s, worst %.3f s   %s"
          % (len(probes), sorted(probes)[len(probes) // 2] if probes else float("nan"), worst,
             "ok" if probes and worst < PROBE_TARGET else "MISSED"))
    for e in phase["errors"][:5]:
        print("  client: %s" % e)
    print("  stored byte for byte: %s" % ("ok" if not problems else "MISSED"))
    for p in problems[:10]:
        print("  " + p)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--binary", default=os.path.join(ROOT, "build", "bin", "VxMailServers"))
    ap.add_argument("--clients", type=int, default=100)
    ap.add_argument("--size-mb", type=int, default=100)
    ap.add_argument("--phases", default="smtp,imap")
    args = ap.parse_args()

    vxharness.BIN_DIR = os.path.dirname(os.path.abspath(args.binary))
    folder = vxharness.ProgramFolder()
    need = args.clients * args.size_mb * MB
    free = shutil.disk_usage(folder.path).free
    print("binary %s; %d clients x %d MB per phase (%.1f GB), %.1f GB free"
          % (args.binary, args.clients, args.size_mb, need / 1e9, free / 1e9))
    if free < need * 1.1:
        print("not enough disk: lower --clients or --size-mb")
        folder.cleanup()
        return 2
    failed = False
    try:
        smtp, pop3, imap = vxharness.free_port(), vxharness.free_port(), vxharness.free_port()
        users = [(u, PASSWORD) for u in (SMTP_USER, IMAP_USER, PROBE_USER)]
        folder.write_settings(vxharness.local_settings(smtp, pop3, imap, users=users))
        proc = vxharness.start_listening(folder, (smtp, pop3, imap))
        pid = proc.pid
        # The probe's mailbox holds one small message.
        s = socket.create_connection(("127.0.0.1", smtp))
        r = Lines(s)
        r.line()
        for cmd in (b"HELO bench.test", b"MAIL FROM:<a@bench.test>", b"RCPT TO:<" + PROBE_USER.encode() + b">",
                    b"DATA", b"Subject: probe\r\n\r\nhello\r\n.", b"QUIT"):
            s.sendall(cmd + b"\r\n")
            r.line()
        s.close()
        time.sleep(0.5)
        chunks = args.size_mb
        for name in args.phases.split(","):
            if name == "smtp":
                phase = run_phase("SMTP DATA", smtp_client, smtp, pid, imap, args.clients, chunks)
                user = SMTP_USER
            else:
                phase = run_phase("IMAP APPEND", imap_client, imap, pid, imap, args.clients, chunks)
                user = IMAP_USER
            paths = stored_messages(folder, user)
            problems = check_stored(paths, name, chunks, phase["results"])
            report(phase, args.clients, args.size_mb, problems)
            failed |= bool(problems) or phase["peak"] >= RSS_TARGET_KB or not phase["probes"] or \
                max(phase["probes"]) >= PROBE_TARGET
            for p in paths:
                os.unlink(p)
            leftovers = [n for n in os.listdir(os.path.dirname(paths[0]) if paths else folder.path)
                         if n.startswith("vxtmp-")]
            if leftovers:
                print("  staged files left: %d" % len(leftovers))
                failed = True
    finally:
        folder.cleanup()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
