#!/usr/bin/python3
"""System calls VxMailServers makes per SMTP message and per POP3 command.

Run as root:  /usr/bin/python3 bench/syscalls.py   (see bench/README.md)

Starts the service from a private temp folder on free loopback ports, attaches
`strace -c -f` to all its threads, runs 8 SMTP sessions (4 KB messages, MAIL,
RCPT, DATA each, one EHLO per session) and then, under a second strace, 8 POP3
clients (USER, PASS, STAT, RETR every message, QUIT), and prints the calls per
SMTP message and per POP3 command, by call. The service, strace and the folder
are removed on exit, on errors and on Ctrl+C."""

import argparse
import multiprocessing as mp
import os
import poplib
import shutil
import signal
import smtplib
import subprocess
import sys
import tempfile
import time

import vxservice
from vxservice import PASSWORD

DOMAIN = "bench.test"
SENDER = "sender@" + DOMAIN
SMTP_TARGET = 100
POP3_TARGET = 25


def smtp_session(port, rcpt, count, body, barrier, results):
    done, error = 0, ""
    try:
        barrier.wait()
        s = smtplib.SMTP("127.0.0.1", port, timeout=120)
        s.ehlo("client.bench.test")
        for _ in range(count):
            s.sendmail(SENDER, [rcpt], body)
            done += 1
        s.quit()
    except Exception as e:
        error = "%s: %s" % (type(e).__name__, e)
    results.put((done, 0, error))


def pop3_session(port, user, barrier, results):
    done, commands, error = 0, 0, ""
    try:
        barrier.wait()
        p = poplib.POP3("127.0.0.1", port, timeout=120)
        p.user(user)
        p.pass_(PASSWORD)
        n, _ = p.stat()
        commands += 3
        for i in range(1, n + 1):
            p.retr(i)
            done += 1
            commands += 1
        p.quit()
        commands += 1
    except Exception as e:
        error = "%s: %s" % (type(e).__name__, e)
    results.put((done, commands, error))


def run_sessions(target, arglists):
    ctx = mp.get_context("fork")
    barrier = ctx.Barrier(len(arglists))
    results = ctx.Queue()
    workers = [ctx.Process(target=target, args=(*a, barrier, results)) for a in arglists]
    for w in workers:
        w.start()
    out = [results.get(timeout=900) for _ in workers]
    for w in workers:
        w.join(10)
    errors = [r[2] for r in out if r[2]]
    if errors:
        raise RuntimeError("%d session(s) failed: %s" % (len(errors), errors[0]))
    return sum(r[0] for r in out), sum(r[1] for r in out)


def traced(pid, run):
    """Runs run() under strace -c -f attached to every thread of pid; returns
    (run's result, {syscall: calls})."""
    out = tempfile.NamedTemporaryFile(prefix="vxstrace", suffix=".txt", delete=False)
    out.close()
    tracer = subprocess.Popen(["strace", "-c", "-f", "-o", out.name, "-p", str(pid)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    vxservice.procs.append(tracer)
    time.sleep(1.0)  # every thread attached
    try:
        result = run()
    finally:
        tracer.send_signal(signal.SIGINT)
        tracer.wait(30)
        vxservice.procs.remove(tracer)
    counts = {}
    with open(out.name) as f:
        for line in f:
            parts = line.split()
            # % time, seconds, usecs/call, calls, [errors,] syscall
            if len(parts) >= 5 and parts[0][0].isdigit() and parts[-1] != "total":
                counts[parts[-1]] = int(parts[3])
    os.unlink(out.name)
    return result, counts


def report(title, counts, units, unit_name, target):
    total = sum(counts.values())
    per = total / units if units else 0.0
    print("\n%s: %d %s, %d system calls, %.1f per %s (target at most %d)"
          % (title, units, unit_name + "s", total, per, unit_name, target))
    for name, n in sorted(counts.items(), key=lambda kv: -kv[1]):
        if n / units >= 0.005:
            print("  %-18s %8.2f" % (name, n / units))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--binary", default=vxservice.DEFAULT_BINARY)
    ap.add_argument("--sessions", type=int, default=8)
    ap.add_argument("--messages", type=int, default=100, help="SMTP messages per session")
    ap.add_argument("--pop-messages", type=int, default=100, help="messages in each POP3 maildrop")
    ap.add_argument("--body-size", type=int, default=4096)
    args = ap.parse_args()
    if not shutil.which("strace"):
        sys.exit("strace is needed (apt-get install strace)")
    if not os.access(args.binary, os.X_OK):
        sys.exit("no VxMailServers at %s" % args.binary)

    body = vxservice.make_body(args.body_size, "syscall sample")
    smtp_user = "smtp@" + DOMAIN
    pop_users = ["pop%d@%s" % (i, DOMAIN) for i in range(args.sessions)]
    service = vxservice.Service(args.binary, [smtp_user] + pop_users, "vxsyscalls")
    smtp, pop3 = service.smtp, service.pop3
    print("nproc=%d, %d sessions, body %d bytes" % (os.cpu_count(), args.sessions, len(body)), flush=True)

    (msgs, _), smtp_counts = traced(service.pid, lambda: run_sessions(
        smtp_session, [(smtp, smtp_user, args.messages, body)] * args.sessions))
    report("SMTP", smtp_counts, msgs, "message", SMTP_TARGET)

    run_sessions(smtp_session, [(smtp, u, args.pop_messages, body) for u in pop_users])  # untimed fill
    (_, commands), pop_counts = traced(service.pid, lambda: run_sessions(
        pop3_session, [(pop3, u) for u in pop_users]))
    report("POP3", pop_counts, commands, "command", POP3_TARGET)


if __name__ == "__main__":
    vxservice.run_main(main)
