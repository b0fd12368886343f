#!/usr/bin/python3
"""Flag changes by several sessions on one mailbox, against VxMailServers and
a private Dovecot in the same run, alternating: N clients on one 200-message
INBOX, each storing a flag on its own quarter of the messages by UID STORE
(+FLAGS and -FLAGS in turn), for a fixed time; the figure is acknowledged
STOREs per second. Not a test.
Run as root: ./bench/imap_shared_store.py [--clients 4] [--seconds 10]
"""
import argparse
import imaplib
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import imap_fetch_golden as golden  # noqa: E402  (private Dovecot)
import imap_mixed  # noqa: E402  (message text, our service's start-up)
import mail_throughput as mt  # noqa: E402

MESSAGES = 200


def client_loop(port, share, clients, seconds, out):
    m = imaplib.IMAP4("127.0.0.1", port, timeout=60)
    m.login(imap_mixed.user(0), "secret")
    m.select("INBOX")
    mine = list(range(1 + share, MESSAGES + 1, clients))
    done, i = 0, 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        op = "+FLAGS.SILENT" if (i // len(mine)) % 2 == 0 else "-FLAGS.SILENT"
        if m.uid("STORE", str(mine[i % len(mine)]), op, r"(\Flagged)")[0] == "OK":
            done += 1
        i += 1
    m.logout()
    out.put(done)


def run_load(port, clients, seconds):
    return imap_mixed.run_clients(client_loop, [(port, s, clients, seconds) for s in range(clients)])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--clients", type=int, default=4)
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--no-install", action="store_true", help="do not install Dovecot's IMAP server first")
    args = ap.parse_args()
    if not args.no_install:
        mt.install_peers(golden.PACKAGES)
    dc_work, dc_p, dc_port = imap_mixed.start_dovecot(MESSAGES)
    try:
        ours_t, ours_p, ours_port = imap_mixed.start_ours(MESSAGES)
    except Exception:
        golden.stop_dovecot(dc_work, dc_p)
        raise
    try:
        for port in (ours_port, dc_port):  # UIDs given by a first SELECT
            m = imaplib.IMAP4("127.0.0.1", port)
            m.login(imap_mixed.user(0), "secret")
            m.select("INBOX")
            m.logout()
        for clients in (1, args.clients):
            figures = {"VxMail": [], "Dovecot": []}
            for _ in range(2):  # alternating
                figures["VxMail"].append(run_load(ours_port, clients, args.seconds))
                figures["Dovecot"].append(run_load(dc_port, clients, args.seconds))
            ours, dc = max(figures["VxMail"]), max(figures["Dovecot"])
            print("%d client(s): VxMail %.0f STORE/s, Dovecot %.0f STORE/s (%.0f%%)" % (clients, ours, dc,
                                                                                     100 * ours / dc))
    finally:
        golden.stop_dovecot(dc_work, dc_p)
        ours_t.cleanup()


if __name__ == "__main__":
    main()
