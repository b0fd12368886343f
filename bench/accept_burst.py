#!/usr/bin/python3
"""Connection burst: N connections opened at once to the SMTP port must all be
greeted without a SYN retransmission.

Run as root:  /usr/bin/python3 bench/accept_burst.py   (see bench/README.md)

Starts the service from a private temp folder on a free loopback port, reads
the kernel's TCP counters (TcpExtTCPSynRetrans, TcpExtListenOverflows,
TcpExtListenDrops from /proc/net/netstat), opens --connections non-blocking
connections as fast as one process can, waits until each has its 220 greeting
(or --timeout passes), and prints how many were greeted, the slowest greeting
and the counters' growth. The counters are machine-wide: other traffic on a
shared machine can add to them, so a non-zero growth is worth one more run.
The service and the folder are removed on exit, on errors and on Ctrl+C."""

import argparse
import os
import selectors
import socket
import sys
import time

import vxservice

COUNTERS = ("TCPSynRetrans", "ListenOverflows", "ListenDrops")


def netstat():
    with open("/proc/net/netstat") as f:
        lines = f.read().splitlines()
    values = {}
    for head, body in zip(lines[::2], lines[1::2]):
        names, nums = head.split()[1:], body.split()[1:]
        if head.startswith("TcpExt:"):
            values.update(zip(names, (int(n) for n in nums)))
    return {k: values.get(k, 0) for k in COUNTERS}


def burst(port, count, timeout):
    """Returns (greeted, seconds to the last greeting, failures)."""
    sel = selectors.DefaultSelector()
    socks = []
    t0 = time.monotonic()
    for _ in range(count):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        socks.append(s)
        sel.register(s, selectors.EVENT_READ, bytearray())
    greeted, failed, last = 0, 0, 0.0
    deadline = t0 + timeout
    pending = count
    while pending and time.monotonic() < deadline:
        for key, _ in sel.select(0.2):
            s, buf = key.fileobj, key.data
            try:
                data = s.recv(4096)
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:
                data = b""
            if data:
                buf += data
                if b"\r\n" not in buf:
                    continue
                if buf.startswith(b"220"):
                    greeted += 1
                    last = time.monotonic() - t0
                else:
                    failed += 1
            else:
                failed += 1
            sel.unregister(s)
            pending -= 1
    for s in socks:
        s.close()
    return greeted, last, failed


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--binary", default=vxservice.DEFAULT_BINARY)
    ap.add_argument("--connections", type=int, default=1000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--timeout", type=float, default=30.0)
    args = ap.parse_args()
    if not os.access(args.binary, os.X_OK):
        sys.exit("no VxMailServers at %s" % args.binary)
    print("nproc=%d, %d connections per burst" % (os.cpu_count(), args.connections), flush=True)
    for i in range(args.repeat):
        service = vxservice.Service(args.binary, (), "vxburst")
        time.sleep(0.3)
        port = service.smtp
        before = netstat()
        greeted, last, failed = burst(port, args.connections, args.timeout)
        time.sleep(0.2)
        after = netstat()
        growth = {k: after[k] - before[k] for k in COUNTERS}
        print("burst %d: %d of %d greeted, last after %.3f s, %d failed; %s" % (
            i + 1, greeted, args.connections, last, failed,
            ", ".join("%s +%d" % kv for kv in growth.items())), flush=True)
        service.stop()


if __name__ == "__main__":
    vxservice.run_main(main)
