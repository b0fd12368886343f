#!/usr/bin/python3
"""Relay speed: VxMail's relay against a private Postfix, both relaying the
same 4-KB messages to one Postfix smtp-sink in the same invocation, in
alternating runs, in two cells:

  drain    the queue is full before the clock starts (VxMail: pairs moved
           into RelayQueue at once; Postfix: mail held by defer_transports,
           then "postqueue -f"); the clock stops at the last arrival;
  submit   one SMTP client submits every message over one connection
           (VxMail with AUTH, Postfix from mynetworks); the clock runs from
           the first submission to the last arrival.

VxMail finds the sink through dnsmasq (127.0.6.2:53: MX sink.test ->
mx.sink.test -> 127.0.6.1); Postfix through relayhost = [127.0.6.1]:25. The
sink listens on 127.0.6.1:25 and writes each message to a file, which is how
arrivals are counted; the files go to /dev/shm unless --sink-dir says
otherwise (on the disk both queues use, the sink's own file creation cost up
to 0.8 ms of CPU a message, varying from run to run, and became the limit of
both relays). Prints messages per second for both and the ratio
VxMail : Postfix per cell (medians over the runs). As root; never part of
ctest. Usage:

    /usr/bin/python3 bench/relay_throughput.py [--binary build-rel/bin/VxMailServers]
        [--messages 1000] [--repeat 3] [--cells drain,submit] [--mx-by-address]
        [--sink-dir DIR]
"""

import argparse
import glob
import os
import shutil
import signal
import smtplib
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, HERE)
import mail_peers  # noqa: E402  (process and folder bookkeeping, Postfix's stop)
from mail_peers import POSTFIX, free_port, listening, make_temp, start, wait_for  # noqa: E402
import vxservice  # noqa: E402
from vxharness import Dnsmasq, write_settings_file  # noqa: E402

SINK_ADDRESS = "127.0.6.1"
DNS_ADDRESS = "127.0.6.2"
SENDER = "sender@bench.test"
RCPT = "rcpt@sink.test"
SMTP_SINK = "/usr/sbin/smtp-sink"
STALL_LIMIT = 90  # seconds without an arrival: longer than any client time-out of 60 s


class Sink:
    """smtp-sink on SINK_ADDRESS:25, one file per message under its folder."""

    def __init__(self, parent=None):
        # A sink left by another run would take the mail and count nothing here.
        if listening_at(SINK_ADDRESS, 25, timeout=0.3):
            raise RuntimeError("%s:25 is already taken" % SINK_ADDRESS)
        self.dir = make_temp("relaysink", parent)
        self.files = os.path.join(self.dir, "in")
        os.makedirs(self.files)
        os.chown(self.files, *mail_peers.pwd.getpwnam("nobody")[2:4])
        self.proc = start([SMTP_SINK, "-u", "nobody", "-d", os.path.join(self.files, "m"), SINK_ADDRESS + ":25",
                           "256"], os.path.join(self.dir, "sink.out"))
        if not listening_at(SINK_ADDRESS, 25) or self.proc.poll() is not None:
            raise RuntimeError("smtp-sink did not open %s:25" % SINK_ADDRESS)

    def count(self):
        return sum(len(files) for _, _, files in os.walk(self.files))

    def clear(self):
        for entry in os.listdir(self.files):
            path = os.path.join(self.files, entry)
            shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)

    def first_message(self):
        for root, _, files in os.walk(self.files):
            for f in sorted(files):
                with open(os.path.join(root, f), "rb") as h:
                    return h.read()
        return b""


def listening_at(address, port, timeout=10):
    import socket

    def up():
        try:
            socket.create_connection((address, port), timeout=0.2).close()
            return True
        except OSError:
            return False
    return wait_for(up, timeout, 0.05)


class VxRelay:
    name = "VxMail"

    def __init__(self, binary):
        self.dir = make_temp("vxrelay")
        self.smtp, _, program, env = vxservice.install(self.dir, binary, [SENDER])
        write_settings_file(os.path.join(self.dir, "settings.ini"), [
            ("SMTP", [("Port", str(self.smtp)), ("DnsServer", DNS_ADDRESS), ("RelayInterval", "100")]),
            ("POP3", [("Port", str(free_port()))]),
            ("IMAP", [("Port", str(free_port()))]),
            ("USERS", [("Count", "1")]),
            ("USER0", [("UserName", SENDER), ("Password", vxservice.PASSWORD)]),
        ])
        self.queue = os.path.join(self.dir, "RelayQueue")
        self.staging = os.path.join(self.dir, "staging")
        os.makedirs(self.staging)
        self.proc = start([program], os.path.join(self.dir, "stdout.log"), cwd=self.dir, env=env)
        if not listening(self.smtp, timeout=15):
            raise RuntimeError("VxMailServers did not open its port (see %s)" % self.dir)
        wait_for(lambda: os.path.isdir(self.queue), 5)

    def fill(self, body, count):
        """Pairs made aside; the clock starts when they are moved in."""
        names = []
        for i in range(count):
            name = "MAIL%08d" % (900000 + i)
            with open(os.path.join(self.staging, name + ".MSG"), "wb") as f:
                f.write(body)
            with open(os.path.join(self.staging, name + ".ENV"), "wb") as f:
                f.write((SENDER + "\r\n" + RCPT + "\r\n").encode())
            names.append(name)
        return names

    def release(self, names):
        for n in names:
            os.rename(os.path.join(self.staging, n + ".MSG"), os.path.join(self.queue, n + ".MSG"))
            os.rename(os.path.join(self.staging, n + ".ENV"), os.path.join(self.queue, n + ".ENV"))

    def submit(self, body, count):
        with smtplib.SMTP("127.0.0.1", self.smtp, timeout=60) as s:
            s.login(SENDER, vxservice.PASSWORD)
            for _ in range(count):
                s.sendmail(SENDER, [RCPT], body)

    def queue_left(self):
        return len(glob.glob(os.path.join(self.queue, "*.ENV")))


class PostfixRelay:
    name = "Postfix"

    def __init__(self):
        self.dir = make_temp("pfrelay")
        self.conf = os.path.join(self.dir, "postfix")
        self.queue = os.path.join(self.dir, "spool")
        data = os.path.join(self.dir, "data")
        for d in (self.conf, self.queue, data):
            os.makedirs(d)
        os.chown(data, mail_peers.pwd.getpwnam("postfix").pw_uid, mail_peers.grp.getgrnam("postfix").gr_gid)
        self.smtp = free_port()
        subst = dict(conf=self.conf, queue=self.queue, data=data, dir=self.dir, port=self.smtp,
                     sink=SINK_ADDRESS)
        for name, template in (("main.cf", "postfix-relay-main.cf"), ("master.cf", "postfix-master.cf")):
            with open(os.path.join(HERE, "peer_configs", template)) as src:
                text = src.read().format(**subst) if name == "main.cf" else src.read().format(port=self.smtp)
            with open(os.path.join(self.conf, name), "w") as f:
                f.write(text)
        self.master_pid_file = os.path.join(self.queue, "pid", "master.pid")
        self.postfix_conf = self.conf
        mail_peers._finalizers.append(self.stop)
        self.proc = start([POSTFIX, "-c", self.conf, "start-fg"], os.path.join(self.dir, "postfix.out"))
        if not listening(self.smtp, timeout=20):
            raise RuntimeError("Postfix did not open port %d (see %s)" % (self.smtp, self.dir))

    def stop(self):
        mail_peers.Peer.stop_postfix(self)

    master_pid = mail_peers.Peer.master_pid

    def postconf(self, setting):
        subprocess.run(["postconf", "-c", self.conf, "-e", setting], check=True, capture_output=True)
        subprocess.run([POSTFIX, "-c", self.conf, "reload"], check=True, capture_output=True)
        time.sleep(1.0)  # the reload restarts qmgr

    def submit_plain(self, body, count):
        with smtplib.SMTP("127.0.0.1", self.smtp, timeout=60) as s:
            for _ in range(count):
                s.sendmail(SENDER, [RCPT], body)

    def queued(self):
        return sum(len(files) for d in ("incoming", "active", "deferred")
                   for _, _, files in os.walk(os.path.join(self.queue, d)))


def run_drain(server, sink, body, count):
    sink.clear()
    if isinstance(server, VxRelay):
        names = server.fill(body, count)
        start_t = time.monotonic()
        server.release(names)
    else:
        server.postconf("defer_transports = smtp")
        server.submit_plain(body, count)
        if not wait_for(lambda: server.queued() >= count, 120, 0.1):
            raise RuntimeError("Postfix did not queue %d messages" % count)
        server.postconf("defer_transports =")
        start_t = time.monotonic()
        subprocess.run(["postqueue", "-c", server.conf, "-f"], check=True, capture_output=True)
    return finish(sink, count, start_t)


def run_submit(server, sink, body, count):
    sink.clear()
    start_t = time.monotonic()
    if isinstance(server, VxRelay):
        server.submit(body, count)
    else:
        server.submit_plain(body, count)
    return finish(sink, count, start_t)


def finish(sink, count, start_t):
    # Gives up once nothing has arrived for STALL_LIMIT seconds.
    seen, last = -1, time.monotonic()
    while True:
        n = sink.count()
        if n >= count:
            return count / (time.monotonic() - start_t)
        if n != seen:
            seen, last = n, time.monotonic()
        elif time.monotonic() - last > STALL_LIMIT:
            raise RuntimeError("only %d of %d messages arrived" % (n, count))
        time.sleep(0.01)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--binary", default=vxservice.DEFAULT_BINARY)
    ap.add_argument("--messages", type=int, default=1000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--cells", default="drain,submit")
    ap.add_argument("--mx-by-address", action="store_true",
                    help="the MX record names the sink's address itself (for builds that resolve exchanger "
                         "names with the system resolver)")
    ap.add_argument("--sink-dir", default="/dev/shm" if os.path.isdir("/dev/shm") else "",
                    help="where the sink writes what arrives (default /dev/shm: a receiver's disk is not what "
                         "is measured; \"\" puts it in the system's temp folder, beside both queues)")
    args = ap.parse_args()
    if os.geteuid() != 0:
        sys.exit("run as root: smtp-sink and Postfix need it")
    mail_peers.install_peers(["postfix"])
    body = vxservice.make_body(4096).replace(b"To: bench@bench.test", ("To: " + RCPT).encode())
    mx = SINK_ADDRESS if args.mx_by_address else "mx.sink.test"
    dns = Dnsmasq(["--mx-host=sink.test,%s,10" % mx, "--host-record=mx.sink.test," + SINK_ADDRESS],
                  address=DNS_ADDRESS)
    mail_peers._finalizers.append(dns.stop)
    sink = Sink(args.sink_dir or None)
    vx, pf = VxRelay(args.binary), PostfixRelay()
    cells = [c for c in args.cells.split(",") if c]
    rates = {(c, s.name): [] for c in cells for s in (vx, pf)}
    vx_sample = b""
    for r in range(args.repeat):
        for cell in cells:
            for server in ((vx, pf) if r % 2 == 0 else (pf, vx)):
                rate = (run_drain if cell == "drain" else run_submit)(server, sink, body, args.messages)
                rates[(cell, server.name)].append(rate)
                if server is vx:
                    vx_sample = sink.first_message()
                print("run %d %-6s %-8s %8.1f msg/s" % (r + 1, cell, server.name, rate), flush=True)
    print()
    print("%d messages of %d bytes, %d runs each, medians:" % (args.messages, len(body), args.repeat))
    print("%-8s %12s %12s %8s" % ("cell", "VxMail", "Postfix", "ratio"))
    for cell in cells:
        v, p = statistics.median(rates[(cell, "VxMail")]), statistics.median(rates[(cell, "Postfix")])
        print("%-8s %10.1f/s %10.1f/s %8.2f" % (cell, v, p, v / p))
    print()
    # The sink stores lines ending in LF and one more LF at the end.
    below = body.split(b"\r\n\r\n", 1)[1].replace(b"\r\n", b"\n") + b"\n"
    print("a message relayed by VxMail holds the body byte for byte:", vx_sample.endswith(below))


if __name__ == "__main__":
    # A stop (timeout, kill) still ends every server started here.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        main()
    finally:
        mail_peers.cleanup()
