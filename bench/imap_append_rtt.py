#!/usr/bin/python3
"""The round trip of one IMAP APPEND with a synchronising literal, as a
client that writes the literal and the CR LF ending the command line in two
writes sees it (Python sockets, Nagle on, as stress tools do): VxMailServers
and a private Dovecot (the start-up of imap_fetch_golden.py, on 127.0.3.1)
in the same run, alternating. Prints the median and the 90th percentile of
the time from the literal's first write to the tagged reply, and the ratio.
Not a test. Run as root: ./bench/imap_append_rtt.py [--rounds 200]
[--binary build/bin/VxMailServers] [--no-install]
"""
import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import imap_exchanges as ex  # noqa: E402  (the raw IMAP client)
import imap_fetch_golden as golden  # noqa: E402  (private Dovecot)
import mail_throughput as mt  # noqa: E402  (peer install and process helpers)
from vxharness import ProgramFolder, free_port, local_settings, start_listening  # noqa: E402

DOVECOT_ADDRESS = "127.0.3.1"
# --one-write: the literal and its CR LF in one write (no Nagle wait possible).
ONE_WRITE = False
MESSAGE = b"From: a@example.test\r\nSubject: append\r\n\r\n" + b"x" * 400 + b"\r\n"


class Client(ex.Session):
    def __init__(self, address, port, user):
        super().__init__(address, port)
        self.command("LOGIN %s secret" % user)
        self.command("SELECT INBOX")

    def append(self):
        """Seconds from the literal's first write to the tagged reply."""
        self.sock.sendall(b"c APPEND INBOX {%d}\r\n" % len(MESSAGE))
        if not self.line().startswith(b"+"):
            raise RuntimeError("no continuation")
        start = time.perf_counter()
        if ONE_WRITE:
            self.sock.sendall(MESSAGE + b"\r\n")
        else:
            self.sock.sendall(MESSAGE)
            self.sock.sendall(b"\r\n")
        while True:
            line = self.line()
            if line.startswith(b"c "):
                if not line.startswith(b"c OK"):
                    raise RuntimeError(line)
                return time.perf_counter() - start


def start_ours(binary):
    t = ProgramFolder()
    if binary:
        import shutil
        shutil.copy2(binary, t.binary)
    imap = free_port()
    t.write_settings(local_settings(free_port(), imap=imap, users=[("bench@example.test", "secret")]))
    start_listening(t, (imap,))
    return t, imap


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=200)
    ap.add_argument("--binary", default="")
    ap.add_argument("--no-install", action="store_true")
    ap.add_argument("--one-write", action="store_true")
    args = ap.parse_args()
    global ONE_WRITE
    ONE_WRITE = args.one_write
    if not args.no_install:
        mt.install_peers(golden.PACKAGES)
    t, imap = start_ours(args.binary)
    work, proc, port = golden.start_dovecot(address=DOVECOT_ADDRESS)
    try:
        ours = Client("127.0.0.1", imap, "bench@example.test")
        theirs = Client(DOVECOT_ADDRESS, port, "bench")
        times = {"VxMail": [], "Dovecot": []}
        for _ in range(args.rounds):
            times["VxMail"].append(ours.append())
            times["Dovecot"].append(theirs.append())
        for name, xs in times.items():
            xs.sort()
            print("%-8s APPEND round trip: median %.2f ms, 90th percentile %.2f ms (%d rounds)"
                  % (name, 1000 * statistics.median(xs), 1000 * xs[int(len(xs) * 0.9)], len(xs)))
        print("VxMail / Dovecot (median): %.2f"
              % (statistics.median(times["VxMail"]) / statistics.median(times["Dovecot"])))
    finally:
        golden.stop_dovecot(work, proc)
        t.cleanup()


if __name__ == "__main__":
    main()
