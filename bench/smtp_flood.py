#!/usr/bin/python3
"""Fairness under a flood: how long one ordinary SMTP transaction takes while
other connections pipeline NOOPs as fast as they can.

Run as root:  /usr/bin/python3 bench/smtp_flood.py   (see bench/README.md)

For each flooder count (default 0, 5, 20, 200) the service is started from a
private temp folder on free loopback ports; the flooders connect and keep
their sockets full of "NOOP" lines, reading and dropping the replies; once
they are running, one client makes a normal transaction (greeting, EHLO, MAIL,
RCPT, DATA with a 4 KB message, QUIT) and the time from connect to the 250
after DATA is printed, with the median of --repeat tries. Targets: within 1 s
with 20 flooders, within 5 s with 200. Every process and folder is removed on
exit, on errors and on Ctrl+C."""

import argparse
import multiprocessing as mp
import os
import selectors
import smtplib
import socket
import statistics
import sys
import time

import vxservice

DOMAIN = "bench.test"
RCPT = "flood@" + DOMAIN
TARGETS = {20: 1.0, 200: 5.0}
FLOODERS_PER_PROCESS = 50


def flooder(port, count, ready, stop):
    """count connections, each kept full of NOOP lines; replies are dropped."""
    chunk = b"NOOP\r\n" * 2000
    sel = selectors.DefaultSelector()
    socks = []
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", port))
        s.setblocking(False)
        socks.append(s)
        sel.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE, [chunk, 0])
    ready.release()
    while not stop.is_set():
        for key, events in sel.select(0.1):
            s, state = key.fileobj, key.data
            try:
                if events & selectors.EVENT_READ:
                    if not s.recv(65536):
                        sel.unregister(s)
                        continue
                if events & selectors.EVENT_WRITE:
                    state[1] += s.send(chunk[state[1] % len(chunk):])
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                sel.unregister(s)
    for s in socks:
        s.close()


def one_transaction(port, body, timeout):
    t0 = time.monotonic()
    s = smtplib.SMTP("127.0.0.1", port, timeout=timeout)
    s.ehlo("normal.bench.test")
    s.sendmail("normal@" + DOMAIN, [RCPT], body)
    t1 = time.monotonic()
    s.quit()
    return t1 - t0


def run(binary, flooders, repeat, body, timeout):
    service = vxservice.Service(binary, [RCPT], "vxflood")
    port = service.smtp
    ctx = mp.get_context("fork")
    stop = ctx.Event()
    ready = ctx.Semaphore(0)
    workers = []
    left = flooders
    while left > 0:
        n = min(FLOODERS_PER_PROCESS, left)
        left -= n
        w = ctx.Process(target=flooder, args=(port, n, ready, stop))
        w.start()
        workers.append(w)
        vxservice.procs.append(w)
    for _ in workers:
        ready.acquire(timeout=60)
    time.sleep(0.5)  # the flood is running
    times = []
    try:
        for _ in range(repeat):
            try:
                times.append(one_transaction(port, body, timeout))
            except (OSError, smtplib.SMTPException) as e:
                times.append(None)
                print("    transaction failed: %s: %s" % (type(e).__name__, e), flush=True)
    finally:
        stop.set()
        for w in workers:
            w.join(10)
            vxservice.stop_one(w)
            vxservice.procs.remove(w)
        service.stop()
    return times


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--binary", default=vxservice.DEFAULT_BINARY)
    ap.add_argument("--flooders", default="0,5,20,200")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--timeout", type=float, default=120.0, help="seconds one transaction may take")
    args = ap.parse_args()
    if not os.access(args.binary, os.X_OK):
        sys.exit("no VxMailServers at %s" % args.binary)
    body = (b"Subject: flood sample\r\n\r\n" + b"x" * 74 + b"\r\n") * 52
    print("nproc=%d, %d tries per flooder count" % (os.cpu_count(), args.repeat), flush=True)
    for n in [int(x) for x in args.flooders.split(",") if x]:
        times = run(args.binary, n, args.repeat, body, args.timeout)
        done = [t for t in times if t is not None]
        target = TARGETS.get(n)
        verdict = ""
        if target is not None:
            verdict = "  (target %.0f s: %s)" % (target, "met" if len(done) == len(times) and
                                                  max(done) <= target else "MISSED")
        print("%4d flooders: median %s, tries %s%s" % (
            n, "%.3f s" % statistics.median(done) if done else "n/a",
            " ".join("%.3f" % t if t is not None else "fail" for t in times), verdict), flush=True)


if __name__ == "__main__":
    vxservice.run_main(main)
