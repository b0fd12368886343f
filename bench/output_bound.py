#!/usr/bin/python3
"""Clients that never read: ten IMAP4 clients each send FETCH 1:* BODY[] on
a 200 MB mailbox and then read nothing, while an eleventh client logs in,
selects its own small mailbox and fetches from it again and again. Reported:
the server's peak resident memory over the whole phase (the target: under
256 MB), the eleventh client's slowest and median command round, and how
long a stop (SIGTERM) takes with the ten still connected. With --peer the
same run is made against a private Dovecot (all its processes summed).
Not a test. Run as root: ./bench/output_bound.py [--messages 200] [--size-kb 1024]
"""
import argparse
import imaplib
import os
import signal
import socket
import statistics
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import imap_mixed  # noqa: E402  (resident memory of a process tree)
import vxharness  # noqa: E402
from vxharness import ProgramFolder, free_port, local_settings, start_listening  # noqa: E402

BIG = "big@bench.test"
SMALL = "small@bench.test"
PASSWORD = "secret"


def message(n, size):
    head = (b"From: a@bench.test\r\nTo: big@bench.test\r\nSubject: m %d\r\n"
            b"Message-ID: <%d@bench.test>\r\n\r\n" % (n, n))
    line = b"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd\r\n"
    return head + line * max(1, (size - len(head)) // len(line))


class Sampler:
    """The largest resident memory of a process tree, sampled every 10 ms."""

    def __init__(self, pid):
        self.pid, self.peak = pid, 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stopping.is_set():
            self.peak = max(self.peak, imap_mixed.rss_kb(imap_mixed.tree(self.pid)))
            time.sleep(0.01)

    def stop(self):
        self.stopping.set()
        self.thread.join()
        return self.peak


def stalled_client(port):
    """Logs in, selects, asks for every message and reads nothing more."""
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    f = s.makefile("rb")

    def until(tag):
        while True:
            line = f.readline()
            if not line or line.startswith(tag):
                return line

    f.readline()
    s.sendall(b"a LOGIN %s %s\r\n" % (BIG.encode(), PASSWORD.encode()))
    until(b"a ")
    s.sendall(b"b SELECT INBOX\r\n")
    until(b"b ")
    s.sendall(b"c FETCH 1:* BODY[]\r\n")
    return s, f


def served_rounds(port, seconds):
    """Rounds of SELECT, FETCH 1:* (FLAGS) and FETCH 1 BODY[] by a client
    that reads; the seconds each round took."""
    m = imaplib.IMAP4("127.0.0.1", port, timeout=30)
    m.login(SMALL, PASSWORD)
    rounds = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        t = time.monotonic()
        m.select("INBOX")
        m.fetch("1:*", "(FLAGS)")
        m.fetch("1", "(BODY[])")
        rounds.append(time.monotonic() - t)
        time.sleep(0.05)
    m.logout()
    return rounds


def fill(folder_of, count, size):
    for user, n_messages, bytes_each in ((BIG, count, size), (SMALL, 5, 2000)):
        d = folder_of(user)
        os.makedirs(d, exist_ok=True)
        for n in range(1, n_messages + 1):
            with open(os.path.join(d, "MAIL%08d.MSG" % n), "wb") as f:
                f.write(message(n, bytes_each))


def run(name, pid, port, clients, seconds):
    time.sleep(0.5)
    start = imap_mixed.rss_kb(imap_mixed.tree(pid))
    sampler = Sampler(pid)
    stalled = [stalled_client(port) for _ in range(clients)]
    time.sleep(1.0)
    rounds = served_rounds(port, seconds)
    peak = sampler.stop()
    print("%-8s start %7.1f MB  peak %7.1f MB  served rounds %d: median %.3f s, slowest %.3f s"
          % (name, start / 1024, peak / 1024, len(rounds), statistics.median(rounds), max(rounds)))
    return stalled, peak, max(rounds)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--binary", default=os.path.join(ROOT, "build", "bin", "VxMailServers"))
    ap.add_argument("--messages", type=int, default=200)
    ap.add_argument("--size-kb", type=int, default=1024)
    ap.add_argument("--clients", type=int, default=10)
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--peer", action="store_true", help="also run a private Dovecot the same way")
    args = ap.parse_args()
    vxharness.BIN_DIR = os.path.dirname(os.path.abspath(args.binary))
    size = args.size_kb * 1024
    print("mailbox: %d messages of %d KB (%.0f MB), %d clients that never read"
          % (args.messages, args.size_kb, args.messages * size / 2 ** 20, args.clients))

    folder = ProgramFolder()
    ok = True
    try:
        imap = free_port()
        folder.write_settings(local_settings(free_port(), imap=imap, users=[(BIG, PASSWORD), (SMALL, PASSWORD)]))
        fill(lambda u: folder.file("MailBox", u), args.messages, size)
        proc = start_listening(folder, (imap,))
        stalled, peak, slowest = run("VxMail", proc.pid, imap, args.clients, args.seconds)
        t = time.monotonic()
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=60)
        stop = time.monotonic() - t
        print("VxMail   stop with %d stalled clients connected: %.2f s" % (args.clients, stop))
        for s, _ in stalled:
            s.close()
        ok = peak < 256 * 1024 and slowest < 1.0 and stop < 5.0
    finally:
        folder.cleanup()

    if args.peer:
        import imap_fetch_golden as golden  # private Dovecot configuration
        work, dproc, port = golden.start_dovecot()
        try:
            for user, n_messages, bytes_each in ((BIG, args.messages, size), (SMALL, 5, 2000)):
                m = imaplib.IMAP4("127.0.0.1", port)
                m.login(user, PASSWORD)
                for n in range(1, n_messages + 1):
                    m.append("INBOX", None, None, message(n, bytes_each))
                m.logout()
            stalled, _, _ = run("Dovecot", dproc.pid, port, args.clients, args.seconds)
            for s, _ in stalled:
                s.close()
        finally:
            golden.stop_dovecot(work, dproc)
    print("targets (peak < 256 MB, served within 1 s, stop < 5 s):", "met" if ok else "NOT met")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
