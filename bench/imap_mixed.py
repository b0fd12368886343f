#!/usr/bin/python3
"""Mixed IMAP4 load against VxMailServers and a private Dovecot in the same
run, alternating: 1 and 8 clients, each on its own 1,000-message mailbox,
repeat SELECT, FETCH 1:* FLAGS, FETCH of ENVELOPE and BODY.PEEK[] for 20
messages, STORE of 5 and SEARCH UNSEEN; the figure is messages returned by
FETCH per second. Then 1,000 idle logged-in sessions and the server's
resident memory (for Dovecot: all its processes). Not a test.
Run as root: ./bench/imap_mixed.py [--messages 1000] [--seconds 10]
"""
import argparse
import imaplib
import multiprocessing as mp
import os
import re
import resource
import socket
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import imap_fetch_golden as golden  # noqa: E402  (private Dovecot configuration)
import mail_throughput as mt  # noqa: E402  (process helpers)
from vxharness import ProgramFolder, free_port, local_settings, start_listening  # noqa: E402

MESSAGE = (b"From: Alice <alice@example.test>\r\nTo: bob@example.test\r\nSubject: note %d\r\n"
           b"Date: Mon, 2 Mar 2026 10:00:00 +0100\r\nMessage-ID: <%d@example.test>\r\n\r\n" +
           b"line of body text\r\n" * 100)


def user(i):
    return "u%d@example.test" % i


FETCH_HEAD = re.compile(rb"\d+ \(")


def fetched(data):
    """The number of messages in a FETCH answer as imaplib returns it: a
    literal cuts one message's answer into several pieces, and only the first
    begins with its number."""
    heads = [d[0] if isinstance(d, tuple) else d for d in data]
    return sum(1 for h in heads if h and FETCH_HEAD.match(h))


def client_loop(port, name, seconds, count, out):
    m = imaplib.IMAP4("127.0.0.1", port, timeout=60)
    m.login(name, "secret")
    done = 0
    deadline = time.monotonic() + seconds
    n = 0
    while time.monotonic() < deadline:
        m.select("INBOX")
        done += fetched(m.fetch("1:*", "(FLAGS)")[1])
        first = 1 + (n * 20) % (count - 20)
        rng = "%d:%d" % (first, first + 19)
        done += fetched(m.fetch(rng, "(ENVELOPE)")[1])
        done += fetched(m.fetch(rng, "(BODY.PEEK[])")[1])
        m.store("%d:%d" % (first, first + 4), "FLAGS", "(\\Seen)")
        m.search(None, "UNSEEN")
        n += 1
    m.logout()
    out.put(done)


def run_load(port, clients, seconds, count):
    return run_clients(client_loop, [(port, user(i), seconds, count) for i in range(clients)])


def run_clients(target, arg_lists):
    """One process per argument list running target(*args, queue); each puts
    its count into the queue. Returns the counts' sum per second."""
    q = mp.Queue()
    ps = [mp.Process(target=target, args=(*args, q)) for args in arg_lists]
    t0 = time.monotonic()
    for p in ps:
        p.start()
    total = sum(q.get() for _ in ps)
    for p in ps:
        p.join()
    return total / (time.monotonic() - t0)


def rss_kb(pids):
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/status" % pid) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def tree(pid):
    pids, todo = [], [pid]
    while todo:
        p = todo.pop()
        pids.append(p)
        try:
            with open("/proc/%d/task/%d/children" % (p, p)) as f:
                todo += [int(c) for c in f.read().split()]
        except OSError:
            pass
    return pids


def idle_memory(port, root_pid, sessions):
    socks = []
    before = rss_kb(tree(root_pid))
    for i in range(sessions):
        s = socket.create_connection(("127.0.0.1", port))
        s.recv(4096)
        s.sendall(b"a LOGIN %s secret\r\n" % user(i % 8).encode())
        buf = b""
        while b"a " not in buf:
            buf += s.recv(4096)
        socks.append(s)
    time.sleep(1)
    after = rss_kb(tree(root_pid))
    for s in socks:
        s.close()
    return before, after


def start_ours(count):
    t = ProgramFolder()
    imap = free_port()
    t.write_settings(local_settings(free_port(), imap=imap, users=[(user(i), "secret") for i in range(8)]))
    for i in range(8):
        d = t.file("MailBox", user(i))
        os.makedirs(d, exist_ok=True)
        for n in range(1, count + 1):
            with open(os.path.join(d, "MAIL%08d.MSG" % n), "wb") as f:
                f.write(MESSAGE % (n, n))
    proc = start_listening(t, (imap,))
    return t, proc, imap


def start_dovecot(count):
    # Room for the idle-session count.
    work, proc, port = golden.start_dovecot(
        "service imap-login {\n  process_limit = 2000\n  client_limit = 2000\n}\n"
        "service imap {\n  process_limit = 2000\n}\ndefault_client_limit = 3000\n")
    try:
        for i in range(8):
            m = imaplib.IMAP4("127.0.0.1", port)
            m.login(user(i), "secret")
            for n in range(1, count + 1):
                m.append("INBOX", None, None, MESSAGE % (n, n))
            m.logout()
    except Exception:
        golden.stop_dovecot(work, proc)
        raise
    return work, proc, port


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--messages", type=int, default=1000)
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--idle", type=int, default=1000)
    ap.add_argument("--no-install", action="store_true", help="do not install Dovecot's IMAP server first")
    args = ap.parse_args()
    if not args.no_install:
        mt.install_peers(golden.PACKAGES)
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    dc_work, dc_p, dc_port = start_dovecot(args.messages)
    try:
        ours_t, ours_p, ours_port = start_ours(args.messages)
    except Exception:
        golden.stop_dovecot(dc_work, dc_p)
        raise
    try:
        rows = []
        for clients in (1, 8):
            figures = {"VxMail": [], "Dovecot": []}
            for _ in range(2):  # alternating
                figures["VxMail"].append(run_load(ours_port, clients, args.seconds, args.messages))
                figures["Dovecot"].append(run_load(dc_port, clients, args.seconds, args.messages))
            rows.append((clients, max(figures["VxMail"]), max(figures["Dovecot"])))
        for clients, ours, dc in rows:
            print("%d client(s): VxMail %.0f msg/s, Dovecot %.0f msg/s (%.0f%%)" % (clients, ours, dc, 100 * ours / dc))
        b, a = idle_memory(ours_port, ours_p.pid, args.idle)
        print("%d idle sessions: VxMail RSS %d -> %d kB (+%.1f MB)" % (args.idle, b, a, (a - b) / 1024))
        b, a = idle_memory(dc_port, dc_p.pid, args.idle)
        print("%d idle sessions: Dovecot RSS %d -> %d kB (+%.1f MB)" % (args.idle, b, a, (a - b) / 1024))
    finally:
        golden.stop_dovecot(dc_work, dc_p)
        ours_t.cleanup()


if __name__ == "__main__":
    main()
