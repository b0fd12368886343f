#!/usr/bin/python3
"""Server memory and first-byte time for one large message.

Starts VxMailServers in a private temp folder on free loopback ports, sends
one message of --size-mb megabytes by SMTP DATA while sampling the server's
resident memory (VmRSS every few milliseconds, VmHWM for the peak), waits,
then fetches it by POP3 RETR, timing the first byte of the answer and
sampling memory again, and last asks for its header alone (TOP 1 0). The
retrieved message is checked against what was sent. Prints the peaks and the ratios against the targets:
  peak < 1.5 x size + 32 MB (DATA and RETR),
  first RETR byte within 100 ms,
  memory after each phase within 32 MB of where the phase started.
Never part of the test run. Run as root (VmHWM is reset between phases
through /proc/PID/clear_refs)."""

import argparse
import hashlib
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

MB = 1024 * 1024
USER = "big@bench.test"
PASSWORD = "secret"


def status_kb(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def reset_peak(pid):
    try:
        with open("/proc/%d/clear_refs" % pid, "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


class Sampler:
    """Samples VmRSS of pid every few milliseconds until stopped."""

    def __init__(self, pid):
        self.pid = pid
        self.peak = 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stopping.is_set():
            self.peak = max(self.peak, status_kb(self.pid, "VmRSS"))
            time.sleep(0.005)

    def stop(self):
        self.stopping.set()
        self.thread.join()
        return self.peak


def message_lines(size):
    """Header lines, then base64-like body lines (a few start with a dot) up
    to about size bytes; yields byte strings without line ends."""
    yield b"From: sender@bench.test"
    yield b"To: " + USER.encode()
    yield b"Subject: large message"
    yield b"Message-ID: <large.1@bench.test>"
    yield b"MIME-Version: 1.0"
    yield b"Content-Type: application/octet-stream"
    yield b"Content-Transfer-Encoding: base64"
    yield b""
    alphabet = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    body = [bytes(alphabet[(i * 7 + k * 13) % 64] for k in range(76)) for i in range(997)]
    body[5] = b"." + body[5][1:]
    body[500] = b"." * 76
    sent = 0
    i = 0
    while sent < size:
        line = body[i % len(body)]
        yield line
        sent += len(line) + 2
        i += 1


def recv_line(sock, buf):
    while b"\r\n" not in buf:
        chunk = sock.recv(65536)
        if not chunk:
            raise RuntimeError("connection closed")
        buf += chunk
    line, _, rest = buf.partition(b"\r\n")
    return line, rest


def smtp_send(port, size):
    """Sends the message; returns (sha256 of its lines, bytes sent, seconds to the 250)."""
    digest = hashlib.sha256()
    s = socket.create_connection(("127.0.0.1", port))
    buf = b""
    line, buf = recv_line(s, buf)
    s.sendall(b"HELO bench.test\r\n")
    line, buf = recv_line(s, buf)
    for cmd in (b"MAIL FROM:<sender@bench.test>", b"RCPT TO:<" + USER.encode() + b">", b"DATA"):
        s.sendall(cmd + b"\r\n")
        line, buf = recv_line(s, buf)
        if not line[:1] in (b"2", b"3"):
            raise RuntimeError("SMTP %s: %r" % (cmd, line))
    out = []
    pending = 0
    total = 0
    start = time.monotonic()
    for text in message_lines(size):
        digest.update(text + b"\r\n")
        out.append(b"." + text if text.startswith(b".") else text)
        out.append(b"\r\n")
        pending += len(text) + 3
        if pending >= 1 << 20:
            data = b"".join(out)
            s.sendall(data)
            total += len(data)
            out, pending = [], 0
    out.append(b".\r\n")
    s.sendall(b"".join(out))
    line, buf = recv_line(s, buf)
    took = time.monotonic() - start
    if not line.startswith(b"250"):
        raise RuntimeError("end of DATA: %r" % line)
    s.sendall(b"QUIT\r\n")
    s.close()
    return digest.hexdigest(), total, took


def pop3_retr(port, expected_digest):
    """RETR 1; returns (seconds to the first byte, seconds to the end, octets announced)."""
    s = socket.create_connection(("127.0.0.1", port))
    buf = b""
    line, buf = recv_line(s, buf)
    for cmd in (b"USER " + USER.encode(), b"PASS " + PASSWORD.encode()):
        s.sendall(cmd + b"\r\n")
        line, buf = recv_line(s, buf)
        if not line.startswith(b"+OK"):
            raise RuntimeError("POP3 %s: %r" % (cmd, line))
    start = time.monotonic()
    s.sendall(b"RETR 1\r\n")
    first = s.recv(65536)
    first_byte = time.monotonic() - start
    data = bytearray(first)
    while not data.endswith(b"\r\n.\r\n"):
        chunk = s.recv(1 << 20)
        if not chunk:
            raise RuntimeError("RETR cut short")
        data += chunk
    took = time.monotonic() - start
    # The header alone: a reader of headers should not pay for the body.
    top_start = time.monotonic()
    s.sendall(b"TOP 1 0\r\n")
    top = bytearray()
    while not top.endswith(b"\r\n.\r\n"):
        chunk = s.recv(65536)
        if not chunk:
            raise RuntimeError("TOP cut short")
        top += chunk
    top_took = time.monotonic() - top_start
    s.sendall(b"QUIT\r\n")
    s.close()
    head, _, rest = bytes(data).partition(b"\r\n")
    if not head.startswith(b"+OK "):
        raise RuntimeError("RETR: %r" % head)
    announced = int(head.split()[1])
    lines = rest[:-3].split(b"\r\n")[:-1]
    unstuffed = [x[1:] if x.startswith(b".") else x for x in lines]
    octets = sum(len(x) + 2 for x in unstuffed)
    # Return-path and the three trace lines come before what was sent.
    digest = hashlib.sha256()
    for x in unstuffed[4:]:
        digest.update(x + b"\r\n")
    problems = []
    if octets != announced:
        problems.append("announced %d octets, got %d" % (announced, octets))
    if digest.hexdigest() != expected_digest:
        problems.append("the message differs from what was sent")
    if not top.startswith(b"+OK\r\nReturn-path: ") or top.count(b"\r\n\r\n") != 1:
        problems.append("TOP 1 0 gave %r" % bytes(top[:80]))
    return first_byte, took, top_took, announced, problems


def settle(pid, seconds):
    time.sleep(seconds)
    return status_kb(pid, "VmRSS")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--binary", default=os.path.join(ROOT, "build", "bin", "VxMailServers"))
    ap.add_argument("--size-mb", type=int, default=200)
    ap.add_argument("--settle", type=float, default=2.0, help="seconds to wait before the 'after' sample")
    args = ap.parse_args()

    vxharness.BIN_DIR = os.path.dirname(os.path.abspath(args.binary))
    size = args.size_mb * MB
    folder = vxharness.ProgramFolder()
    try:
        smtp, pop3 = vxharness.free_port(), vxharness.free_port()
        folder.write_settings(vxharness.local_settings(smtp, pop3, users=[(USER, PASSWORD)]))
        proc = vxharness.start_listening(folder, (smtp, pop3))
        pid = proc.pid
        time.sleep(0.5)
        start_rss = status_kb(pid, "VmRSS")
        limit = 1.5 * size / 1024 + 32 * 1024  # kB

        can_reset = reset_peak(pid)
        sampler = Sampler(pid)
        digest, sent, smtp_took = smtp_send(smtp, size)
        smtp_sampled = sampler.stop()
        smtp_peak = max(smtp_sampled, status_kb(pid, "VmHWM") if can_reset else 0)
        smtp_after = settle(pid, args.settle)
        stored = os.path.getsize(os.path.join(folder.path, "MailBox", USER,
                                              sorted(os.listdir(os.path.join(folder.path, "MailBox", USER)))[0]))

        before_pop = status_kb(pid, "VmRSS")
        can_reset = reset_peak(pid)
        sampler = Sampler(pid)
        first_byte, pop_took, top_took, announced, problems = pop3_retr(pop3, digest)
        pop_sampled = sampler.stop()
        pop_peak = max(pop_sampled, status_kb(pid, "VmHWM") if can_reset else 0)
        pop_after = settle(pid, args.settle)

        def mb(kb):
            return kb / 1024.0

        def verdict(ok):
            return "ok" if ok else "MISSED"

        print("binary %s, message %.1f MB (%d bytes on the wire, %d stored, %d announced by RETR)"
              % (args.binary, size / MB, sent, stored, announced))
        print("start RSS %.1f MB; targets: peak < %.1f MB, first byte < 100 ms, after < start + 32 MB"
              % (mb(start_rss), mb(limit)))
        print("SMTP DATA: %.2f s to the 250; peak %.1f MB (%.2fx the message), after %.1f MB   peak %s, after %s"
              % (smtp_took, mb(smtp_peak), smtp_peak * 1024.0 / size, mb(smtp_after),
                 verdict(smtp_peak < limit), verdict(smtp_after < start_rss + 32 * 1024)))
        print("POP3 RETR: first byte %.1f ms, %.2f s to the end; peak %.1f MB (%.2fx), after %.1f MB   "
              "first byte %s, peak %s, after %s"
              % (first_byte * 1000, pop_took, mb(pop_peak), pop_peak * 1024.0 / size, mb(pop_after),
                 verdict(first_byte < 0.1), verdict(pop_peak < limit),
                 verdict(pop_after < before_pop + 32 * 1024)))
        print("POP3 TOP 1 0: %.1f ms" % (top_took * 1000))
        for p in problems:
            print("note: " + p)
        return 1 if problems else 0
    finally:
        # Started in the foreground: stopped by its own process id.
        for p in folder.procs:
            if p.poll() is None:
                p.kill()
            p.communicate()
        shutil.rmtree(folder.path, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
