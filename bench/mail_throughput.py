#!/usr/bin/python3
"""Mail throughput of VxMailServers beside Postfix (SMTP in, Maildir out) and
Dovecot (POP3 out) on the same machine, run by run in turn.

Run as root:  /usr/bin/python3 bench/mail_throughput.py   (see bench/README.md)
              /usr/bin/python3 bench/mail_throughput.py --quick
              /usr/bin/python3 bench/mail_throughput.py --self-test   (no servers)

Both servers run for the whole benchmark, each in the foreground from a
private temp folder on free loopback ports. Every cell is measured in turns
(VxMail, peer, VxMail, peer, ...), each SMTP run into a fresh account on both
sides; the table gives per cell the median, the spread and the ratio of the
medians. Servers, client processes and temp folders are removed on exit, on
errors and on SIGINT, SIGTERM or SIGHUP."""

import argparse
import glob
import grp
import json
import multiprocessing as mp
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.dont_write_bytecode = True  # leave no cache behind in tests/e2e
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from vxharness import free_port, wait_for  # noqa: E402  (shared with the end-to-end tests)

DOMAIN = "bench.test"
SENDER = "sender@" + DOMAIN
PASSWORD = "secret"
POSTFIX = "/usr/sbin/postfix"
DOVECOT = "/usr/sbin/dovecot"
STRACE = "/usr/bin/strace"
VMAIL_USER = "nobody"      # owner of the peer's Maildirs (virtual delivery and Dovecot)
VMAIL_GROUP = "nogroup"
MIN_REPEAT = 3             # fewer runs per cell give no usable median or spread
IO_TIMEOUT = 60            # seconds a client waits for one reply

# Wanted VxMail : peer ratios; the script reports them, it does not enforce them.
SMTP_TARGET = {1: 1.0}     # other session counts: SMTP_TARGET_MANY
SMTP_TARGET_MANY = 1.5
POP3_TARGET = 1.2
SMTP_CALLS_TARGET = 100    # system calls per SMTP message at 8 sessions
POP3_CALLS_TARGET = 25     # system calls per POP3 command at 8 sessions

_procs = []       # every Popen / mp.Process we start, stopped in cleanup()
_dirs = []        # every temp folder we make
_finalizers = []  # extra stop steps (daemons that leave our process group)


# ---------------------------------------------------------------- statistics

def median(xs):
    """Median of a non-empty sequence (mean of the middle two when even)."""
    s = sorted(xs)
    if not s:
        raise ValueError("median of no values")
    m = len(s) // 2
    return s[m] if len(s) % 2 else (s[m - 1] + s[m]) / 2.0


def spread(xs):
    """(lowest, highest, (highest - lowest) / median): the range of the runs
    and its width relative to their median (0 when the median is 0)."""
    lo, hi, med = min(xs), max(xs), median(xs)
    return lo, hi, ((hi - lo) / med if med else 0.0)


def ratio(ours, theirs):
    """ours / theirs, or None where the peer has no positive figure."""
    if ours is None or not theirs:
        return None
    return ours / theirs


def pair_ratios(ours, theirs):
    """Ratio of each run to the peer run right after it (runs alternate)."""
    return [r for r in (ratio(a, b) for a, b in zip(ours, theirs)) if r is not None]


def schedule(servers, repeat):
    """Order of the runs of one cell: A B A B ... (`repeat` turns)."""
    return [(turn, s) for turn in range(repeat) for s in servers]


def smtp_target(sessions):
    return SMTP_TARGET.get(sessions, SMTP_TARGET_MANY)


# ---------------------------------------------------------------- arguments

def _count_list(text, what):
    out = []
    for item in text.split(","):
        item = item.strip()
        if not item:
            continue
        if not item.isdigit() or int(item) < 1:
            raise argparse.ArgumentTypeError("%s: %r is not a positive whole number" % (what, item))
        out.append(int(item))
    return out


def session_list(text):
    return _count_list(text, "session counts")


def size_list(text):
    """Message sizes: bytes, or a number with K (1024 bytes)."""
    out = []
    for item in text.split(","):
        item = item.strip().upper()
        if not item:
            continue
        mult = 1024 if item.endswith("K") else 1
        digits = item[:-1] if mult > 1 else item
        if not digits.isdigit() or int(digits) * mult < 256:
            raise argparse.ArgumentTypeError("message sizes: %r is not a size of 256 bytes or more" % item)
        out.append(int(digits) * mult)
    if not out:
        raise argparse.ArgumentTypeError("message sizes: none given")
    return out


def mode_list(text):
    out = [m.strip() for m in text.split(",") if m.strip()]
    bad = [m for m in out if m not in ("new", "persistent")]
    if bad or not out:
        raise argparse.ArgumentTypeError("modes: use new and/or persistent, not %r" % text)
    return out


def positive(text):
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError("%r is not a positive whole number" % text)
    return int(text)


QUICK = dict(total=300, pop_messages=100, pop_rounds=2)


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--binary", default=os.path.join(ROOT, "build", "bin", "VxMailServers"))
    ap.add_argument("--smtp-sessions", type=session_list, default=[1, 8, 32],
                    help="concurrent SMTP sessions per cell (empty: skip SMTP)")
    ap.add_argument("--sizes", type=size_list, default=[4096, 65536], help="message sizes, e.g. 4K,64K")
    ap.add_argument("--modes", type=mode_list, default=["new", "persistent"],
                    help="new (one connection per message) and/or persistent (one per session)")
    ap.add_argument("--total", type=positive, default=1600, help="messages per SMTP run, split over its sessions")
    ap.add_argument("--pop-clients", type=session_list, default=[1, 8, 32],
                    help="concurrent POP3 clients, one account each (empty: skip POP3)")
    ap.add_argument("--pop-messages", type=positive, default=500, help="messages in each POP3 account")
    ap.add_argument("--pop-rounds", type=positive, default=5, help="drains of its account per POP3 client per run")
    ap.add_argument("--repeat", type=positive, default=MIN_REPEAT,
                    help="runs per server and cell, in turns (at least %d)" % MIN_REPEAT)
    ap.add_argument("--quick", action="store_true",
                    help="smaller runs (%d SMTP messages, %d per POP3 account, %d rounds); all cells, %d turns"
                    % (QUICK["total"], QUICK["pop_messages"], QUICK["pop_rounds"], MIN_REPEAT))
    ap.add_argument("--no-peer", action="store_true", help="measure VxMail alone")
    ap.add_argument("--sink", action="store_true",
                    help="in the peer's place, a built-in sink that stores nothing: the clients' own ceiling")
    ap.add_argument("--no-install", action="store_true", help="do not apt-get the peers")
    ap.add_argument("--postfix-flow-delay", type=int, metavar="SECONDS", choices=range(0, 11),
                    help="set Postfix's in_flow_delay (default: left at Postfix's default, 1s)")
    ap.add_argument("--no-trace", action="store_true", help="skip the strace count of system calls and fsyncs")
    ap.add_argument("--temp-dir", metavar="DIR",
                    help="parent of every server's temp folder, e.g. /dev/shm to take the disk out (default: $TMPDIR or /tmp)")
    ap.add_argument("--json", metavar="PATH", help="also write every run to PATH")
    ap.add_argument("--self-test", action="store_true", help="check the parsing and statistics helpers, then exit")
    args = ap.parse_args(argv)
    if args.repeat < MIN_REPEAT:
        ap.error("--repeat must be at least %d: a median and a spread need three runs" % MIN_REPEAT)
    if args.quick:
        for k, v in QUICK.items():
            if getattr(args, k) == ap.get_default(k):
                setattr(args, k, v)
    if not args.self_test and not args.smtp_sessions and not args.pop_clients:
        ap.error("nothing to measure: both --smtp-sessions and --pop-clients are empty")
    return args


# ---------------------------------------------------------------- helpers

def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
        return True
    except OSError:
        return False


def make_temp(prefix):
    path = os.path.realpath(tempfile.mkdtemp(prefix=prefix))
    _dirs.append(path)
    os.chmod(path, 0o755)  # the peers' unprivileged processes must walk into it
    return path


def start(argv, log_path, **kw):
    log = open(log_path, "ab")
    p = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                         start_new_session=True, **kw)
    log.close()
    _procs.append(p)
    return p


def stop_process(p):
    """Stops one process we started; Popen ones by their own process group
    (the peers fork their workers into it), mp.Process ones by pid."""
    if isinstance(p, subprocess.Popen):
        if p.poll() is None:
            try:
                os.killpg(p.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                pass
        try:
            os.killpg(p.pid, signal.SIGKILL)  # leftovers of the group, if any
        except (ProcessLookupError, PermissionError):
            pass
        if p.poll() is None:
            p.kill()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                print("cleanup: pid %d does not exit" % p.pid, file=sys.stderr)
    else:
        if p.is_alive():
            p.terminate()
            p.join(5)
        if p.is_alive():
            p.kill()
            p.join(5)


def cleanup():
    while _finalizers:
        try:
            _finalizers.pop()()
        except Exception as e:
            print("cleanup: %s" % e, file=sys.stderr)
    while _procs:
        try:
            stop_process(_procs.pop())
        except Exception as e:  # keep going: the rest must still be stopped
            print("cleanup: %s" % e, file=sys.stderr)
    while _dirs:
        shutil.rmtree(_dirs.pop(), ignore_errors=True)


def make_body(size):
    """A message of exactly `size` bytes (headers included, CR LF lines, no
    line that needs dot-stuffing)."""
    head = ("From: %s\r\nTo: bench@%s\r\nSubject: throughput sample\r\n"
            "Message-ID: <fixed@bench.test>\r\n\r\n" % (SENDER, DOMAIN))
    line = ("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_" * 2)[:76] + "\r\n"
    text = head
    while len(text) + len(line) <= size:
        text += line
    rest = size - len(text)
    if rest >= 3:
        text += "x" * (rest - 2) + "\r\n"
    elif rest:
        text = text[:-2] + "y" * rest + "\r\n"
    return text.encode("ascii")


def count_files(dirs):
    n = 0
    for d in dirs:
        try:
            n += sum(1 for e in os.scandir(d) if e.is_file() and not e.name.startswith("."))
        except FileNotFoundError:
            pass
    return n


# ---------------------------------------------------------------- clients
# Plain sockets, one reply at a time (no pipelining, for both servers), one
# process per session so no interpreter lock holds the client side back; the
# processes start together at a barrier and report their own CPU time.

class ProtocolError(Exception):
    pass


class Wire:
    """Reply reader over a recv function (a socket's, or a test's)."""

    def __init__(self, recv):
        self.recv = recv
        self.buf = bytearray()

    def _fill(self):
        chunk = self.recv(65536)   # below malloc's mmap threshold: no map per read
        if not chunk:
            raise ProtocolError("connection closed by the server")
        self.buf += chunk

    def line(self):
        while True:
            i = self.buf.find(b"\r\n")
            if i >= 0:
                out = bytes(self.buf[:i])
                del self.buf[:i + 2]
                return out
            self._fill()

    def smtp_reply(self, want):
        """Reads one (multi-line) SMTP reply; raises unless its code is `want`."""
        while True:
            ln = self.line()
            if len(ln) < 3 or not ln[:3].isdigit():
                raise ProtocolError("bad SMTP reply line %r" % ln[:80])
            if len(ln) == 3 or ln[3:4] == b" ":
                break
        if int(ln[:3]) != want:
            raise ProtocolError("expected %d, got %r" % (want, ln[:120]))
        return ln

    def pop_ok(self):
        ln = self.line()
        if not ln.startswith(b"+OK"):
            raise ProtocolError("expected +OK, got %r" % ln[:120])
        return ln

    def pop_multi(self):
        """Reads '+OK ...' and the lines up to the lone '.'; returns the size of
        the data between them (stuffed, with line ends)."""
        self.pop_ok()
        return self.until_dot()

    def until_dot(self):
        """Consumes lines up to and including the lone '.' line; returns the
        number of bytes before it."""
        pos = 0
        while True:
            i = self.buf.find(b".\r\n", pos)
            if i == 0 or (i > 0 and self.buf[i - 2:i] == b"\r\n"):
                del self.buf[:i + 3]
                return i
            if i > 0:
                pos = i + 1
                continue
            pos = max(0, len(self.buf) - 2)
            self._fill()


def connect(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=IO_TIMEOUT)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s, Wire(s.recv)


def smtp_open(port):
    s, w = connect(port)
    w.smtp_reply(220)
    s.sendall(b"EHLO client.bench.test\r\n")
    w.smtp_reply(250)
    return s, w


def smtp_quit(s, w):
    s.sendall(b"QUIT\r\n")
    w.smtp_reply(221)
    s.close()


def smtp_client(port, rcpt, count, body, persistent, barrier, results):
    """Sends `count` messages to `rcpt`; a message counts once its 250 after
    DATA arrives. Result: (start, end, accepted, error, cpu seconds)."""
    accepted, error, t0 = 0, "", None
    mail = b"MAIL FROM:<%s>\r\n" % SENDER.encode()
    rcpt_cmd = b"RCPT TO:<%s>\r\n" % rcpt.encode()
    data = body + b".\r\n"     # the body has no line starting with a dot
    conn = None
    try:
        barrier.wait()
        t0, c0 = time.monotonic(), time.process_time()
        for _ in range(count):
            if conn is None:
                conn = smtp_open(port)
            s, w = conn
            s.sendall(mail)
            w.smtp_reply(250)
            s.sendall(rcpt_cmd)
            w.smtp_reply(250)
            s.sendall(b"DATA\r\n")
            w.smtp_reply(354)
            s.sendall(data)
            w.smtp_reply(250)
            accepted += 1
            if not persistent:
                smtp_quit(*conn)
                conn = None
        if conn is not None:
            smtp_quit(*conn)
    except Exception as e:  # reported, not fatal
        error = "%s: %s" % (type(e).__name__, e)
        c0 = c0 if t0 is not None else time.process_time()
    t1 = time.monotonic()
    results.put((t1 if t0 is None else t0, t1, accepted, error, time.process_time() - c0))


def pop3_client(port, user, rounds, min_size, barrier, results):
    """`rounds` times: USER/PASS, STAT, UIDL, RETR of every message, QUIT.
    Result: (start, end, messages, error, cpu seconds, commands, short)."""
    got, commands, short, error, t0 = 0, 0, 0, "", None
    try:
        barrier.wait()
        t0, c0 = time.monotonic(), time.process_time()
        for _ in range(rounds):
            s, w = connect(port)
            w.pop_ok()
            s.sendall(b"USER %s\r\n" % user.encode())
            w.pop_ok()
            s.sendall(b"PASS %s\r\n" % PASSWORD.encode())
            w.pop_ok()
            s.sendall(b"STAT\r\n")
            n = int(w.pop_ok().split()[1])
            s.sendall(b"UIDL\r\n")
            w.pop_multi()
            commands += 4
            for i in range(1, n + 1):
                s.sendall(b"RETR %d\r\n" % i)
                if w.pop_multi() < min_size:
                    short += 1
                got += 1
            commands += n + 1
            s.sendall(b"QUIT\r\n")
            w.pop_ok()
            s.close()
    except Exception as e:
        error = "%s: %s" % (type(e).__name__, e)
        c0 = c0 if t0 is not None else time.process_time()
    t1 = time.monotonic()
    results.put((t1 if t0 is None else t0, t1, got, error, time.process_time() - c0, commands, short))


def run_sessions(target, arglists):
    """Runs one process per argument list, started together; returns the
    result tuples."""
    ctx = mp.get_context("fork")
    barrier = ctx.Barrier(len(arglists))
    results = ctx.Queue()
    workers = [ctx.Process(target=target, args=(*a, barrier, results)) for a in arglists]
    for w in workers:
        _procs.append(w)
        w.start()
    out = [results.get(timeout=900) for _ in workers]
    for w in workers:
        w.join(10)
        _procs.remove(w)
    return out


# ---------------------------------------------------------------- servers

def process_group(pgid):
    """Pids of the processes in a process group (ours or a peer's)."""
    r = subprocess.run(["pgrep", "-g", str(pgid)], capture_output=True, text=True)
    return [int(x) for x in r.stdout.split()]


class VxMail:
    name = "VxMail"
    stores = True
    commits_at_250 = True      # a 250 to DATA means the message file is in place

    def __init__(self, binary, users):
        self.dir = make_temp("vxbench")
        shutil.copy2(binary, os.path.join(self.dir, "VxMailServers"))
        self.smtp, self.pop3 = free_port(), free_port()
        sections = [
            ("SMTP", [("RelayInterval", "600000"), ("Port", str(self.smtp)), ("DnsServer", "127.0.0.2")]),
            ("POP3", [("Port", str(self.pop3))]),
            ("IMAP", [("Port", str(free_port()))]),
            ("USERS", [("Count", str(len(users)))]),
        ]
        for i, u in enumerate(users):
            sections.append(("USER%d" % i, [("UserName", u), ("Password", PASSWORD)]))
        lines = []
        for name, keys in sections:
            lines.append("[%s]" % name)
            lines.extend("%s=%s" % kv for kv in keys)
        with open(os.path.join(self.dir, "settings.ini"), "wb") as f:
            f.write(("\r\n".join(lines) + "\r\n").encode("gbk"))
        env = dict(os.environ, VXMAIL_SCM_DIR=os.path.join(self.dir, "scm"))
        env.pop("VXMAIL_SERVICE_NAME", None)
        self.proc = start([os.path.join(self.dir, "VxMailServers")], os.path.join(self.dir, "stdout.log"),
                          cwd=self.dir, env=env)
        if not wait_for(lambda: listening(self.smtp) and listening(self.pop3), 15):
            raise RuntimeError("VxMailServers did not open its ports (see its log)")

    def stored(self, user):
        return len(glob.glob(os.path.join(self.dir, "MailBox", user, "MAIL*.MSG")))

    def smtp_pids(self):
        return [self.proc.pid]

    pop3_pids = smtp_pids


class Peer:
    """Postfix smtpd -> virtual(8) -> Maildir, read back by Dovecot's POP3."""
    name = "Postfix/Dovecot"
    stores = True
    commits_at_250 = False     # a 250 to DATA means queued; delivery follows

    def __init__(self, users, flow_delay=None):
        self.dir = make_temp("peerbench")
        self.flow_delay = flow_delay   # None: Postfix's default in_flow_delay
        uid, gid = pwd.getpwnam(VMAIL_USER).pw_uid, grp.getgrnam(VMAIL_GROUP).gr_gid
        self.base = os.path.join(self.dir, "vmail")
        os.makedirs(os.path.join(self.base, DOMAIN))
        for d in (self.base, os.path.join(self.base, DOMAIN)):
            os.chown(d, uid, gid)
        self.smtp, self.pop3 = free_port(), free_port()
        self._postfix(users)
        self._dovecot(uid, gid)

    def _postfix(self, users):
        conf = os.path.join(self.dir, "postfix")
        queue = os.path.join(self.dir, "spool")
        data = os.path.join(self.dir, "data")
        for d in (conf, queue, data):
            os.makedirs(d)
        os.chown(data, pwd.getpwnam("postfix").pw_uid, grp.getgrnam("postfix").gr_gid)
        with open(os.path.join(conf, "vmailbox"), "w") as f:
            for u in users:
                f.write("%s %s/%s/\n" % (u, DOMAIN, u.split("@")[0]))   # trailing / = Maildir
        uid, gid = pwd.getpwnam(VMAIL_USER).pw_uid, grp.getgrnam(VMAIL_GROUP).gr_gid
        subst = dict(conf=conf, queue=queue, data=data, base=self.base, uid=uid, gid=gid, dir=self.dir,
                     domain=DOMAIN, port=self.smtp)
        for name in ("main.cf", "master.cf"):
            with open(os.path.join(HERE, "peer_configs", "postfix-" + name)) as src:
                text = src.read().format(**subst)
            if name == "main.cf" and self.flow_delay is not None:
                text += "\n# set by --postfix-flow-delay\nin_flow_delay = %ds\n" % self.flow_delay
            with open(os.path.join(conf, name), "w") as f:
                f.write(text)
        check = subprocess.run([POSTFIX, "-c", conf, "check"], capture_output=True, text=True, timeout=60)
        if check.returncode:
            raise RuntimeError("postfix check failed: " + (check.stderr or check.stdout).strip())
        self.postfix_conf = conf
        self.master_pid_file = os.path.join(queue, "pid", "master.pid")
        _finalizers.append(self.stop_postfix)
        self.postfix = start([POSTFIX, "-c", conf, "start-fg"], os.path.join(self.dir, "postfix.out"))
        if not wait_for(lambda: listening(self.smtp), 20):
            raise RuntimeError("Postfix did not open port %d (see %s)" % (self.smtp, self.dir))

    def _dovecot(self, uid, gid):
        conf = os.path.join(self.dir, "dovecot.conf")
        subst = dict(dir=self.dir, base=self.base, uid=uid, gid=gid, port=self.pop3, password=PASSWORD)
        with open(os.path.join(HERE, "peer_configs", "dovecot.conf")) as src:
            text = src.read().format(**subst)
        with open(conf, "w") as f:
            f.write(text)
        os.makedirs(os.path.join(self.dir, "dovecot-run"))
        os.makedirs(os.path.join(self.dir, "dovecot-state"))
        self.dovecot = start([DOVECOT, "-F", "-c", conf], os.path.join(self.dir, "dovecot.out"))
        if not wait_for(lambda: listening(self.pop3), 20):
            raise RuntimeError("Dovecot did not open port %d (see %s)" % (self.pop3, self.dir))

    def store_dirs(self, user):
        md = os.path.join(self.base, DOMAIN, user.split("@")[0])
        return [os.path.join(md, "new"), os.path.join(md, "cur")]

    def stored(self, user):
        return count_files(self.store_dirs(user))

    def master_pid(self):
        try:
            with open(self.master_pid_file) as f:
                return int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            return 0

    def smtp_pids(self):
        master = self.master_pid()
        return process_group(master) if master else []

    def pop3_pids(self):
        return process_group(self.dovecot.pid)

    def stop_postfix(self):
        """master puts itself in a session of its own, so our process-group
        kill does not reach it: stop it the Postfix way, then by its pid."""
        master = self.master_pid()
        subprocess.run([POSTFIX, "-c", self.postfix_conf, "stop"], capture_output=True, timeout=60)
        if master:
            def gone():
                try:
                    os.kill(master, 0)
                    return False
                except ProcessLookupError:
                    return True
            if not wait_for(gone, 10, 0.05):
                os.kill(master, signal.SIGKILL)
            # its children share its group; any still closing are ended too
            wait_for(lambda: not process_group(master), 5, 0.1)
            try:
                os.killpg(master, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def stop(self):
        _finalizers.remove(self.stop_postfix)
        self.stop_postfix()
        for p in (self.postfix, self.dovecot):
            stop_process(p)
            if p in _procs:
                _procs.remove(p)


class Sink:
    """Answers SMTP and POP3 as a server would but stores nothing and does no
    work: what the same clients reach against it is their own ceiling on this
    machine. Pre-forked processes per port, each serving one connection at a
    time, at least as many as there are clients."""
    name = "sink"
    stores = False
    commits_at_250 = False

    def __init__(self, pop_messages, body, workers):
        self.smtp, self.pop3 = free_port(), free_port()
        self.leaders = []
        ctx = mp.get_context("fork")
        for port, serve in ((self.smtp, _sink_smtp), (self.pop3, _sink_pop3)):
            lsock = socket.socket()
            lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            lsock.bind(("127.0.0.1", port))
            lsock.listen(1024)
            p = ctx.Process(target=_sink_leader, args=(lsock, serve, pop_messages, body, workers))
            p.start()
            lsock.close()
            _procs.append(p)
            self.leaders.append(p)
        _finalizers.append(self.stop)

    def stop(self):
        for p in self.leaders:   # each leader heads a process group with its workers
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def stored(self, user):
        return 0

    def smtp_pids(self):
        return []

    pop3_pids = smtp_pids


def _sink_leader(lsock, serve, pop_messages, body, workers):
    os.setpgid(0, 0)
    for _ in range(workers):
        if os.fork() == 0:
            while True:
                conn, _ = lsock.accept()
                try:
                    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    serve(conn, Wire(conn.recv), pop_messages, body)
                except Exception:
                    pass
                conn.close()
    lsock.close()
    while True:
        os.wait()   # the workers never end on their own; stop() kills the group


def _sink_smtp(conn, w, _pop_messages, _body):
    conn.sendall(b"220 sink ESMTP\r\n")
    while True:
        verb = w.line()[:4].upper()
        if verb == b"EHLO":
            conn.sendall(b"250-sink\r\n250 8BITMIME\r\n")
        elif verb in (b"MAIL", b"RCPT", b"RSET", b"NOOP"):
            conn.sendall(b"250 OK\r\n")
        elif verb == b"DATA":
            conn.sendall(b"354 go ahead\r\n")
            w.until_dot()
            conn.sendall(b"250 OK\r\n")
        elif verb == b"QUIT":
            conn.sendall(b"221 bye\r\n")
            return
        else:
            conn.sendall(b"500 unknown\r\n")


def _sink_pop3(conn, w, count, body):
    retr = b"+OK\r\n" + body + b".\r\n"
    uidl = b"+OK\r\n" + b"".join(b"%d u%d\r\n" % (i, i) for i in range(1, count + 1)) + b".\r\n"
    conn.sendall(b"+OK sink\r\n")
    while True:
        verb = w.line()[:4].upper()
        if verb in (b"USER", b"PASS"):
            conn.sendall(b"+OK\r\n")
        elif verb == b"STAT":
            conn.sendall(b"+OK %d %d\r\n" % (count, count * len(body)))
        elif verb == b"UIDL":
            conn.sendall(uidl)
        elif verb == b"RETR":
            conn.sendall(retr)
        elif verb == b"QUIT":
            conn.sendall(b"+OK bye\r\n")
            return
        else:
            conn.sendall(b"-ERR unknown\r\n")


def install_peers(pkgs=None):
    """Installs PKGS (default: bench/packages.txt) from Debian with service start-up blocked."""
    if pkgs is None:
        with open(os.path.join(HERE, "packages.txt")) as f:
            pkgs = [l.split("#")[0].strip() for l in f if l.split("#")[0].strip()]
    missing = [p for p in pkgs
               if subprocess.run(["dpkg-query", "-W", "-f=${Status}", p], capture_output=True,
                                 text=True).stdout != "install ok installed"]
    if not missing:
        return
    policy = "/usr/sbin/policy-rc.d"
    saved = None
    if os.path.exists(policy):
        with open(policy, "rb") as f:
            saved = f.read()
    try:
        with open(policy, "w") as f:
            f.write("#!/bin/sh\nexit 101\n")
        os.chmod(policy, 0o755)
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["debconf-set-selections"], input="postfix postfix/main_mailer_type select No configuration\n",
                       text=True, check=True)
        subprocess.run(["apt-get", "update", "-q"], check=True, env=env)
        subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends", *missing], check=True, env=env)
    finally:
        if saved is None:
            os.remove(policy)
        else:
            with open(policy, "wb") as f:
                f.write(saved)
            os.chmod(policy, 0o755)


# ---------------------------------------------------------------- runs

def smtp_run(server, user, sessions, total, body, persistent, timeout=120.0):
    """One SMTP run into the fresh account `user`. The clock starts when the
    sessions start and stops at the later of the last QUIT and the moment the
    last accepted message is a file in the account's folder: VxMail's 250 is
    its commit point, Postfix's only means "queued". Waits at most `timeout`
    seconds for the files after the last QUIT."""
    per = max(1, total // sessions)
    results = run_sessions(smtp_client, [(server.smtp, user, per, body, persistent)] * sessions)
    t0 = min(r[0] for r in results)
    t_quit = max(r[1] for r in results)
    accepted = sum(r[2] for r in results)
    errors = [r[3] for r in results if r[3]]
    at_quit = server.stored(user) if server.stores else accepted
    t_end = t_quit if at_quit >= accepted else wait_stored(server, user, accepted, timeout)
    stored = server.stored(user) if server.stores else accepted
    note = ""
    if stored != accepted:
        note = "stored %d of %d accepted" % (stored, accepted)
    elif server.commits_at_250 and at_quit < accepted:
        note = "%d of %d accepted messages were not yet files at the last QUIT" % (accepted - at_quit, accepted)
    if errors:
        note += (" ; " if note else "") + "%d session error(s): %s" % (len(errors), errors[0])
    wall = t_end - t0
    return dict(rate=min(stored, accepted) / wall if wall > 0 else 0.0,
                accept_rate=accepted / (t_quit - t0) if t_quit > t0 else 0.0,
                msgs=accepted, stored=stored, seconds=wall, note=note,
                client_cpu=sum(r[4] for r in results),
                client_busy=busiest(results))


def busiest(results):
    """Highest share of its own wall time one client process spent on the CPU."""
    return max((r[4] / (r[1] - r[0]) for r in results if r[1] > r[0]), default=0.0)


def wait_stored(server, user, count, timeout=120.0):
    """Polls every 2 ms until `count` messages are files; returns that moment
    (or the moment it gave up)."""
    deadline = time.monotonic() + timeout
    while server.stored(user) < count and time.monotonic() < deadline:
        time.sleep(0.002)
    return time.monotonic()


def pop3_run(server, clients, rounds, min_size, expected):
    users = ["pop%d@%s" % (i, DOMAIN) for i in range(clients)]
    results = run_sessions(pop3_client, [(server.pop3, u, rounds, min_size) for u in users])
    t0 = min(r[0] for r in results)
    t1 = max(r[1] for r in results)
    got = sum(r[2] for r in results)
    errors = [r[3] for r in results if r[3]]
    note = ""
    if got != expected * rounds * clients:
        note = "retrieved %d of %d" % (got, expected * rounds * clients)
    short = sum(r[6] for r in results)
    if short:
        note += (" ; " if note else "") + "%d messages shorter than the one sent" % short
    if errors:
        note += (" ; " if note else "") + "%d session error(s): %s" % (len(errors), errors[0])
    wall = t1 - t0
    return dict(rate=got / wall if wall > 0 else 0.0, msgs=got, commands=sum(r[5] for r in results),
                seconds=wall, note=note, client_cpu=sum(r[4] for r in results),
                client_busy=busiest(results))


# ---------------------------------------------------------------- cells

def plan_cells(args):
    """The matrix: every SMTP size x mode x session count, then every POP3
    client count. Each SMTP run gets an account of its own (on both servers)."""
    cells = []
    for size in args.sizes:
        for mode in args.modes:
            for n in args.smtp_sessions:
                i = len(cells)
                cells.append(dict(kind="smtp", size=size, persistent=(mode == "persistent"), sessions=n,
                                  key="SMTP %3dK %-4s %2d" % (size // 1024, "pers" if mode == "persistent" else "new", n),
                                  users=["c%dt%d@%s" % (i, t, DOMAIN) for t in range(args.repeat)],
                                  target=smtp_target(n)))
    for n in args.pop_clients:
        cells.append(dict(kind="pop3", sessions=n, key="POP3 drain      %2d" % n, target=POP3_TARGET))
    return cells


def all_users(cells, args):
    users = [u for c in cells if c["kind"] == "smtp" for u in c["users"]]
    users += ["pop%d@%s" % (i, DOMAIN) for i in range(max(args.pop_clients or [0]))]
    return users + ["%s%d@%s" % (w, i, DOMAIN) for w in ("trace", "sync") for i in range(2)]


def prepare_pop3(server, args, body):
    """Untimed: fills every POP3 account over SMTP (one persistent session per
    account), waits until every message is a file, then drains each account
    once, so a first-open index build or new/ -> cur/ move is not timed. The
    runs then reuse these accounts the same way on both servers (nothing is
    deleted)."""
    users = ["pop%d@%s" % (i, DOMAIN) for i in range(max(args.pop_clients))]
    if not server.stores:
        return
    for r in run_sessions(smtp_client, [(server.smtp, u, args.pop_messages, body, True) for u in users]):
        if r[3]:
            raise RuntimeError("%s: filling POP3 accounts failed: %s" % (server.name, r[3]))
    for u in users:
        if not wait_for(lambda: server.stored(u) >= args.pop_messages, 120):
            raise RuntimeError("%s: account %s not filled" % (server.name, u))
    for r in run_sessions(pop3_client, [(server.pop3, u, 1, len(body)) for u in users]):
        if r[3]:
            raise RuntimeError("%s: first POP3 drain failed: %s" % (server.name, r[3]))


def run_cell(cell, turn, server, args, bodies):
    if cell["kind"] == "smtp":
        return smtp_run(server, cell["users"][turn], cell["sessions"], args.total, bodies[cell["size"]],
                        cell["persistent"])
    return pop3_run(server, cell["sessions"], args.pop_rounds, len(bodies[4096]), args.pop_messages)


def describe_run(cell, r):
    if cell["kind"] == "smtp":
        what = "%d accepted, %d files" % (r["msgs"], r["stored"])
    else:
        what = "%d msgs, %d commands" % (r["msgs"], r["commands"])
    return "%9.1f msg/s (%s, %.2fs, client CPU %.2f s, busiest client %2.0f%%) %s" % (
        r["rate"], what, r["seconds"], r["client_cpu"], 100 * r["client_busy"], r["note"])


def summarize(cell, runs, names):
    """One table row: per server the median, range and relative spread of the
    runs, then the ratio of the medians and the range of the turn-by-turn
    ratios."""
    row = dict(key=cell["key"], target=cell["target"], servers={})
    for name in names:
        rates = [r["rate"] for r in runs[name]]
        lo, hi, rel = spread(rates)
        row["servers"][name] = dict(median=median(rates), lo=lo, hi=hi, spread=rel, runs=rates,
                                    busy=max(r["client_busy"] for r in runs[name]),
                                    notes=[r["note"] for r in runs[name] if r["note"]])
        if cell["kind"] == "smtp":
            row["servers"][name]["accept_median"] = median(r["accept_rate"] for r in runs[name])
    if len(names) > 1:
        a, b = (row["servers"][n] for n in names[:2])
        row["ratio"] = ratio(a["median"], b["median"])
        row["pairs"] = pair_ratios(a["runs"], b["runs"])
    return row


def fmt_server(s):
    return "%9.1f %9.1f..%-9.1f %5.0f%%" % (s["median"], s["lo"], s["hi"], 100 * s["spread"])


def print_table(rows, names, peer_reason):
    print()
    peer_name = names[1] if len(names) > 1 else "peer"
    print("%-19s | %-37s | %-37s |" % ("", (names[0] + " msg/s").center(37), (peer_name + " msg/s").center(37)))
    head = "%-19s | %9s %20s %6s | %9s %20s %6s | %7s %13s %-13s %s" % (
        "cell", "median", "lowest..highest", "spread", "median", "lowest..highest", "spread",
        "ratio", "turn ratios", "target", "client")
    print(head)
    print("-" * len(head))
    for row in rows:
        ours = row["servers"][names[0]]
        if len(names) > 1:
            theirs = row["servers"][names[1]]
            rt = row["ratio"]
            pairs = row["pairs"]
            met = "" if rt is None else ("met" if rt >= row["target"] else "missed")
            peer_col = fmt_server(theirs)
            ratio_col = "n/a" if rt is None else "%.2fx" % rt
            pairs_col = "%.2f..%.2f" % (min(pairs), max(pairs)) if pairs else "n/a"
            target_col = "%-13s" % (">=%.1fx %s" % (row["target"], met) if names[1] == Peer.name else "")
            busy = max(ours["busy"], theirs["busy"])
        else:
            peer_col, ratio_col, pairs_col, target_col, busy = "%37s" % "n/a", "n/a", "n/a", " " * 13, ours["busy"]
        print("%-19s | %s | %s | %7s %13s %s %5.0f%%" % (row["key"], fmt_server(ours), peer_col, ratio_col,
                                                           pairs_col, target_col, 100 * busy))
    print("\nspread = (highest - lowest) / median of a cell's runs; ratio = %s median / peer median;"
          "\nturn ratios = lowest and highest ratio of a run to the peer run right after it;"
          "\nclient = highest share of its own wall time one client process spent on the CPU." % names[0])
    if len(names) > 1 and names[1] == Peer.name:
        smtp = [r for r in rows if "accept_median" in r["servers"][names[1]]]
        if smtp:
            print("\nPostfix answers 250 once the message is queued; its figures stop the clock when the last"
                  "\nmessage is a file in the Maildir. Its median rate of 250 replies alone, per cell:")
            for r in smtp:
                print("  %-19s %9.1f msg/s" % (r["key"], r["servers"][names[1]]["accept_median"]))
    if peer_reason:
        print("\nPeer not measured: " + peer_reason)
    for row in rows:
        for name in names:
            for n in row["servers"][name]["notes"]:
                print("note (%s, %s): %s" % (row["key"].strip(), name, n))


# ---------------------------------------------------------------- system calls

def tasks_of(pids):
    out = []
    for p in pids:
        try:
            out += [int(t) for t in os.listdir("/proc/%d/task" % p)]
        except FileNotFoundError:
            pass
    return out


def parse_strace_summary(text):
    """{syscall: calls} from the table `strace -c` writes."""
    calls = {}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) >= 5 and re.match(r"^\d+\.\d+$", parts[0]) and parts[-1] != "total":
            # % time, seconds, usecs/call, calls, [errors,] syscall
            calls[parts[-1]] = calls.get(parts[-1], 0) + int(parts[3])
    return calls


def traced(pids, work, out_path, options=("-c",)):
    """Runs work() with every process and thread of `pids` (and whatever they
    fork) under `strace -f <options>`; returns (work's result, strace's output)."""
    argv = [STRACE, "-f", *options, "-o", out_path]
    for t in tasks_of(pids):
        argv += ["-p", str(t)]
    tracer = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True)
    _procs.append(tracer)
    try:
        time.sleep(1.0)   # let strace attach to every task
        if tracer.poll() is not None:
            raise RuntimeError("strace could not attach (exit %s)" % tracer.returncode)
        result = work()
    finally:
        if tracer.poll() is None:
            tracer.send_signal(signal.SIGINT)   # strace detaches and writes its summary
            try:
                tracer.wait(30)
            except subprocess.TimeoutExpired:
                pass
        stop_process(tracer)
        _procs.remove(tracer)
    with open(out_path, errors="replace") as f:
        return result, f.read()


SYNC_CALLS = ("fsync", "fdatasync", "sync_file_range", "syncfs")


SEND_CALLS = ("write", "writev", "sendto", "sendmsg")
_TRACED_CALL = re.compile(r"^(?:\[pid\s+\d+\]\s*|\d+\s+)?(\w+)\(\d+<([^>]*)>(.*)$")


def commit_order(text):
    """Walks `strace -f -y` output of one SMTP session in time order: for each
    250 a server sent on a socket after its 354 (the end of DATA), were a file
    and a folder fsynced in between? Returns (replies, after a file fsync,
    after a folder fsync)."""
    replies = after_file = after_folder = 0
    in_data = seen_file = seen_folder = False
    for line in text.splitlines():
        m = _TRACED_CALL.match(line)
        if not m:
            continue
        call, path, rest = m.groups()
        if call in SYNC_CALLS:
            if in_data and not re.search(r"\)\s*=\s*-1\b", rest):
                if os.path.isdir(path):
                    seen_folder = True
                else:
                    seen_file = True
        elif call in SEND_CALLS and path.startswith(("socket:", "TCP:")):
            code = re.search(r'"(\d{3})[ -]', rest)
            if not code:
                continue
            if code.group(1) == "354":
                in_data, seen_file, seen_folder = True, False, False
            elif in_data:   # the reply to DATA: 250 counts, a refusal ends it too
                if code.group(1) == "250":
                    replies += 1
                    after_file += seen_file
                    after_folder += seen_folder
                in_data = False
    return replies, after_file, after_folder


def sync_targets(text, root):
    """{what: count} of the fsync-family calls that did not fail in `strace -f -y`
    output: a folder as "<folder>/", a file as "<its folder>/*", relative to
    the server's temp folder `root`."""
    out = {}
    call = re.compile(r"^(?:\[pid\s+\d+\]\s*|\d+\s+)?(?:%s)\(\d+<([^>]*)>" % "|".join(SYNC_CALLS))
    for line in text.splitlines():
        m = call.match(line)
        # a call another thread interrupted ends "<unfinished ...>"; its result
        # comes on a later "resumed" line and is taken as success
        if not m or re.search(r"\)\s*=\s*-1\b", line):
            continue
        path = m.group(1)
        if os.path.isdir(path):
            key = os.path.relpath(path, root) + "/"
        else:
            key = os.path.relpath(os.path.dirname(path), root) + "/*"
        out[key] = out.get(key, 0) + 1
    return out


def trace_report(servers, args, bodies, scratch):
    """System calls per SMTP message (8 persistent sessions, 4 KB) and per POP3
    command (8 clients, one drain each), and the fsyncs per stored message, for
    every server. Slowed by strace: counts only, no rates."""
    print("\nSystem calls under strace -f -c (8 sessions; counts only, the rates are strace's). Wanted of %s:"
          " at most %d per SMTP message and %d per POP3 command." % (VxMail.name, SMTP_CALLS_TARGET, POP3_CALLS_TARGET))
    for i, server in enumerate(s for s in servers if s.stores):
        user = "trace%d@%s" % (i, DOMAIN)
        path = os.path.join(scratch, "strace-smtp-%d.txt" % i)
        try:
            r, text = traced(server.smtp_pids(), lambda: smtp_run(server, user, 8, 400, bodies[4096], True), path)
            calls = parse_strace_summary(text)
            n = max(1, r["stored"])
            sync = sum(calls.get(c, 0) for c in SYNC_CALLS)
            top = ", ".join("%s %.1f" % (k, v / n) for k, v in sorted(calls.items(), key=lambda kv: -kv[1])[:6])
            print("  %-16s SMTP: %6.1f calls per message, %4.2f fsync-family per message (%d messages; %s)"
                  % (server.name, sum(calls.values()) / n, sync / n, n, top))
            user = "sync%d@%s" % (i, DOMAIN)
            r, text = traced(server.smtp_pids(), lambda: smtp_run(server, user, 1, 200, bodies[4096], True),
                             path + ".sync", ("-y", "-s", "16", "-e", "trace=" + ",".join(SYNC_CALLS + SEND_CALLS)))
            n = max(1, r["stored"])
            where = sorted(sync_targets(text, server.dir).items(), key=lambda kv: -kv[1])
            print("  %-16s SMTP: fsyncs per stored message by target (1 session): %s"
                  % (server.name, ", ".join("%s %.2f" % (k, v / n) for k, v in where) or "none"))
            replies, after_file, after_folder = commit_order(text)
            print("  %-16s SMTP: of %d replies 250 to DATA, %d came after an fsync of a file, %d after one of a folder"
                  % (server.name, replies, after_file, after_folder))
        except Exception as e:
            print("  %-16s SMTP: not traced (%s: %s)" % (server.name, type(e).__name__, e))
        if not args.pop_clients:
            continue
        path = os.path.join(scratch, "strace-pop3-%d.txt" % i)
        clients = min(8, max(args.pop_clients))
        try:
            r, text = traced(server.pop3_pids(),
                             lambda: pop3_run(server, clients, 1, len(bodies[4096]), args.pop_messages), path)
            calls = parse_strace_summary(text)
            n = max(1, r["commands"])
            top = ", ".join("%s %.1f" % (k, v / n) for k, v in sorted(calls.items(), key=lambda kv: -kv[1])[:6])
            print("  %-16s POP3: %6.1f calls per command (%d commands, %d clients; %s)"
                  % (server.name, sum(calls.values()) / n, n, clients, top))
        except Exception as e:
            print("  %-16s POP3: not traced (%s: %s)" % (server.name, type(e).__name__, e))


# ---------------------------------------------------------------- main

def machine_line(args):
    load = os.getloadavg()
    try:
        commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True).stdout.strip()
    except OSError:
        commit = "?"
    fs = subprocess.run(["findmnt", "-n", "-o", "FSTYPE,SOURCE", "-T", tempfile.gettempdir()],
                        capture_output=True, text=True).stdout.split("\n")[0].split()   # the top mount
    return ("%s UTC, %s, nproc=%d, load %.1f/%.1f/%.1f, temp folders on %s (%s); binary %s (%s), checkout %s"
            % (time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime()), os.uname().release, os.cpu_count(),
               *load, tempfile.gettempdir(), " ".join(fs) or "?", args.binary,
               time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(os.path.getmtime(args.binary))), commit))


def main(argv):
    args = parse_args(argv)
    if args.self_test:
        return self_test()
    if not os.access(args.binary, os.X_OK):
        sys.exit("no VxMailServers at %s (cmake --build build --target VxMailServers)" % args.binary)
    if args.temp_dir:
        if not os.path.isdir(args.temp_dir):
            sys.exit("--temp-dir %s is not a folder" % args.temp_dir)
        tempfile.tempdir = os.path.realpath(args.temp_dir)
    started = time.monotonic()
    bodies = {s: make_body(s) for s in set(args.sizes) | {4096}}
    cells = plan_cells(args)
    machine = machine_line(args)
    print(machine)
    print("cells: %d SMTP (%s; %s; sessions %s; %d messages per run), %d POP3 (clients %s; %d x %d B per "
          "account, %d rounds); %d turns per cell, servers in turn"
          % (sum(c["kind"] == "smtp" for c in cells), ",".join("%dK" % (s // 1024) for s in args.sizes),
             ",".join(args.modes), ",".join(map(str, args.smtp_sessions)), args.total,
             sum(c["kind"] == "pop3" for c in cells), ",".join(map(str, args.pop_clients)), args.pop_messages,
             len(bodies[4096]), args.pop_rounds, args.repeat), flush=True)
    if args.postfix_flow_delay is not None:
        print("Postfix in_flow_delay = %ds (not its default)" % args.postfix_flow_delay, flush=True)

    users = all_users(cells, args)
    servers = [VxMail(args.binary, users)]
    reason = ""
    if args.sink:
        servers.append(Sink(args.pop_messages, bodies[4096],
                            max(args.smtp_sessions + args.pop_clients) + 4))
    elif args.no_peer:
        reason = "--no-peer given"
    elif os.geteuid() != 0:
        reason = "the peers need root (own spool, uid switch); run as root"
    else:
        try:
            if not args.no_install:
                install_peers()
            servers.append(Peer(users, args.postfix_flow_delay))
        except (Exception, subprocess.SubprocessError) as e:
            reason = "%s: %s" % (type(e).__name__, e)
    names = [s.name for s in servers]

    rows, raw = [], []
    pop_ready = False
    for cell in cells:
        if cell["kind"] == "pop3" and not pop_ready:
            for s in servers:
                prepare_pop3(s, args, bodies[4096])
            pop_ready = True
        runs = {n: [] for n in names}
        for turn, server in schedule(servers, args.repeat):
            r = run_cell(cell, turn, server, args, bodies)
            runs[server.name].append(r)
            raw.append(dict(cell=cell["key"], turn=turn, server=server.name, **r))
            print("  %s  turn %d  %-16s %s" % (cell["key"], turn + 1, server.name, describe_run(cell, r)), flush=True)
        rows.append(summarize(cell, runs, names))

    print_table(rows, names, reason)
    if not args.no_trace:
        if os.geteuid() != 0 or not os.access(STRACE, os.X_OK):
            print("\nSystem calls not counted: needs root and %s" % STRACE)
        else:
            trace_report(servers, args, bodies, make_temp("vxtrace"))
    print("\nwhole run: %.0f s" % (time.monotonic() - started))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(machine=machine, rows=rows, runs=raw), f, indent=1)
    return 0


# ---------------------------------------------------------------- self-test

def self_test():
    """Checks the parts of this script that decide the figures, without servers."""
    import unittest

    class Statistics(unittest.TestCase):
        def test_median_odd_even_and_unsorted(self):
            self.assertEqual(median([3.0, 1.0, 2.0]), 2.0)
            self.assertEqual(median([10.0, 1.0, 3.0, 2.0]), 2.5)
            self.assertEqual(median([7]), 7)
            self.assertEqual(median(x for x in (5, 1, 9)), 5)
            with self.assertRaises(ValueError):
                median([])

        def test_spread_is_range_over_median(self):
            self.assertEqual(spread([110.0, 90.0, 100.0]), (90.0, 110.0, 0.2))
            self.assertEqual(spread([5.0, 5.0, 5.0]), (5.0, 5.0, 0.0))
            lo, hi, rel = spread([0.0, 0.0, 0.0])
            self.assertEqual(rel, 0.0)
            self.assertAlmostEqual(spread([1.0, 2.0, 4.0, 100.0])[2], 99.0 / 3.0)

        def test_ratio_and_turn_ratios(self):
            self.assertEqual(ratio(150.0, 100.0), 1.5)
            self.assertIsNone(ratio(150.0, 0.0))
            self.assertIsNone(ratio(None, 100.0))
            self.assertEqual(pair_ratios([2.0, 3.0, 4.0], [1.0, 0.0, 8.0]), [2.0, 0.5])

        def test_servers_alternate_run_by_run(self):
            order = [s for _, s in schedule(["A", "B"], 3)]
            self.assertEqual(order, ["A", "B", "A", "B", "A", "B"])
            self.assertEqual([t for t, _ in schedule(["A", "B"], 3)], [0, 0, 1, 1, 2, 2])
            self.assertEqual([s for _, s in schedule(["A"], 3)], ["A", "A", "A"])

        def test_row_uses_medians_of_each_server(self):
            cell = dict(kind="pop3", key="POP3", target=1.2)
            runs = {"A": [dict(rate=r, client_busy=0.1, note="") for r in (10.0, 30.0, 20.0)],
                    "B": [dict(rate=r, client_busy=0.2, note=n) for r, n in ((5.0, ""), (40.0, "x"), (10.0, ""))]}
            row = summarize(cell, runs, ["A", "B"])
            self.assertEqual(row["servers"]["A"]["median"], 20.0)
            self.assertEqual(row["servers"]["B"]["median"], 10.0)
            self.assertEqual(row["ratio"], 2.0)
            self.assertEqual(row["pairs"], [2.0, 0.75, 2.0])
            self.assertEqual(row["servers"]["B"]["notes"], ["x"])
            self.assertEqual(row["servers"]["B"]["busy"], 0.2)

    class Arguments(unittest.TestCase):
        def test_defaults_are_the_full_matrix(self):
            a = parse_args([])
            self.assertEqual((a.smtp_sessions, a.sizes, a.modes), ([1, 8, 32], [4096, 65536], ["new", "persistent"]))
            self.assertEqual((a.pop_clients, a.pop_messages, a.pop_rounds, a.repeat), ([1, 8, 32], 500, 5, 3))
            self.assertIsNone(a.postfix_flow_delay, "Postfix runs with its own defaults unless asked")
            cells = plan_cells(a)
            self.assertEqual(sum(c["kind"] == "smtp" for c in cells), 12)
            self.assertEqual(sum(c["kind"] == "pop3" for c in cells), 3)
            users = all_users(cells, a)
            self.assertEqual(len(users), len(set(users)), "every SMTP run needs a fresh account")
            self.assertEqual(len(users), 12 * 3 + 32 + 4)

        def test_lists_sizes_and_modes(self):
            a = parse_args(["--smtp-sessions", "1, 32", "--sizes", "4k,65536", "--modes", "persistent",
                            "--pop-clients", ""])
            self.assertEqual((a.smtp_sessions, a.sizes, a.modes, a.pop_clients), ([1, 32], [4096, 65536],
                                                                                   ["persistent"], []))

        def test_bad_values_are_refused(self):
            bad = [["--smtp-sessions", "0"], ["--smtp-sessions", "x"], ["--sizes", "12"], ["--sizes", "4M"],
                   ["--modes", "reuse"], ["--repeat", "2"], ["--total", "0"], ["--pop-rounds", "-1"],
                   ["--smtp-sessions", "", "--pop-clients", ""], ["--postfix-flow-delay", "-1"]]
            for argv in bad:
                with self.subTest(argv=argv), open(os.devnull, "w") as null:
                    saved, sys.stderr = sys.stderr, null
                    try:
                        with self.assertRaises(SystemExit):
                            parse_args(argv)
                    finally:
                        sys.stderr = saved

        def test_quick_shrinks_runs_but_keeps_turns_and_explicit_values(self):
            a = parse_args(["--quick"])
            self.assertEqual((a.total, a.pop_messages, a.pop_rounds, a.repeat),
                             (QUICK["total"], QUICK["pop_messages"], QUICK["pop_rounds"], MIN_REPEAT))
            self.assertEqual(parse_args(["--quick", "--total", "999"]).total, 999)

        def test_body_has_the_asked_size_and_nothing_to_stuff(self):
            for size in (300, 4096, 4097, 4098, 65536):
                b = make_body(size)
                self.assertEqual(len(b), size, size)
                self.assertTrue(b.endswith(b"\r\n"))
                self.assertNotIn(b"\r\n.", b)

    class Replies(unittest.TestCase):
        @staticmethod
        def wire(data, step):
            chunks = [data[i:i + step] for i in range(0, len(data), step)]
            return Wire(lambda n: chunks.pop(0) if chunks else b"")

        def test_smtp_reply_in_every_split(self):
            data = b"250-first\r\n250-second\r\n250 last\r\n354 go\r\n"
            for step in range(1, len(data) + 1):
                w = self.wire(data, step)
                self.assertEqual(w.smtp_reply(250), b"250 last")
                self.assertEqual(w.smtp_reply(354), b"354 go")
            with self.assertRaises(ProtocolError):
                self.wire(b"451 later\r\n", 3).smtp_reply(250)
            with self.assertRaises(ProtocolError):
                self.wire(b"250-only", 3).smtp_reply(250)

        def test_pop_multiline_ends_only_at_the_lone_dot(self):
            data = b"+OK 9 octets\r\n..a\r\nb.\r\n\r\n.\r\n+OK bye\r\n"
            for step in range(1, len(data) + 1):
                w = self.wire(data, step)
                self.assertEqual(w.pop_multi(), len(b"..a\r\nb.\r\n\r\n"), step)
                self.assertEqual(w.pop_ok(), b"+OK bye")
            self.assertEqual(self.wire(b"+OK\r\n.\r\n", 1).pop_multi(), 0)
            with self.assertRaises(ProtocolError):
                self.wire(b"-ERR no such message\r\n", 4).pop_multi()

        def test_strace_summary_is_read_per_call(self):
            text = ("% time     seconds  usecs/call     calls    errors syscall\n"
                    "------ ----------- ----------- --------- --------- ----------------\n"
                    " 60.00    0.006000          15       400           fsync\n"
                    " 40.00    0.004000           2      2000        12 read\n"
                    "------ ----------- ----------- --------- --------- ----------------\n"
                    "100.00    0.010000           4      2400        12 total\n")
            self.assertEqual(parse_strace_summary(text), {"fsync": 400, "read": 2000})

        def test_fsyncs_are_told_apart_by_file_and_folder(self):
            root = tempfile.mkdtemp(prefix="vxselftest")
            try:
                box = os.path.join(root, "MailBox", "u")
                os.makedirs(box)
                text = ("101 fsync(7<%s/tmp123>) = 0\n"
                        "[pid 102] fdatasync(8<%s/MAIL1.MSG>) = 0\n"
                        "102 fsync(9<%s>) = 0\n"
                        "105 fsync(10<%s/tmp124> <unfinished ...>\n"
                        "105 <... fsync resumed>) = 0\n"
                        "103 fsync(9<%s>) = -1 EIO (Input/output error)\n"
                        "104 write(9<%s/x>, \"fsync(1<y>) = 0\", 13) = 13\n" % (box, box, box, box, box, box))
                self.assertEqual(sync_targets(text, root), {"MailBox/u/*": 3, "MailBox/u/": 1})
            finally:
                shutil.rmtree(root)

    class Conversation(unittest.TestCase):
        def test_clients_complete_against_the_sink(self):
            body = make_body(4096)
            sink = Sink(7, body, 3)
            try:
                smtp = run_sessions(smtp_client, [(sink.smtp, "a@" + DOMAIN, 5, body, p) for p in (True, False)])
                self.assertEqual(sorted((r[2], r[3]) for r in smtp), [(5, ""), (5, "")])
                pop = run_sessions(pop3_client, [(sink.pop3, "pop0@" + DOMAIN, 2, len(body))] * 2)
                for r in pop:
                    self.assertEqual((r[2], r[3], r[5], r[6]), (14, "", 2 * (5 + 7), 0))
                short = run_sessions(pop3_client, [(sink.pop3, "pop0@" + DOMAIN, 1, len(body) + 1)])
                self.assertEqual(short[0][6], 7, "a message shorter than the one sent is counted")

                class Late:   # answers through the sink; its files appear only after the last QUIT
                    name, stores, smtp = "late", True, sink.smtp
                    def __init__(self, commits):
                        self.commits_at_250, self.calls = commits, 0
                    def stored(self, user):
                        self.calls += 1
                        return 0 if self.calls == 1 else 4
                late = smtp_run(Late(True), "b@" + DOMAIN, 2, 4, body, True)
                self.assertEqual(late["note"], "4 of 4 accepted messages were not yet files at the last QUIT")
                self.assertEqual(smtp_run(Late(False), "b@" + DOMAIN, 2, 4, body, True)["note"], "",
                                 "a server that queues first is waited for, not flagged")
                lost = smtp_run(Late(False), "b@" + DOMAIN, 1, 5, body, False, timeout=0.2)
                self.assertTrue(lost["note"].startswith("stored 4 of 5 accepted"), lost["note"])
            finally:
                sink.stop()
                _finalizers.remove(sink.stop)
                for p in sink.leaders:
                    stop_process(p)
                    _procs.remove(p)

    class CommitOrder(unittest.TestCase):
        def test_only_fsyncs_between_354_and_250_count(self):
            folder = tempfile.mkdtemp(prefix="vxselftest")
            try:
                sock = "socket:[77]"
                text = "\n".join([
                    '9 write(5<%s>, "250 OK\\r\\n", 8) = 8' % sock,              # MAIL: no DATA yet
                    '9 fsync(7<%s/early>) = 0' % folder,                      # before DATA: not counted
                    '9 write(5<%s>, "354 go ahead", 14) = 14' % sock,
                    '9 write(3</var/log/x.log>, "250 logged", 10) = 10',      # not a socket
                    '10 fsync(7<%s/tmp1> <unfinished ...>' % folder,
                    '10 <... fsync resumed>) = 0',
                    '10 fsync(8<%s>) = 0' % folder,
                    '9 sendto(5<%s>, "250 2.0.0 OK", 12, 0, NULL, 0) = 12' % sock,
                    '9 write(5<%s>, "354 go ahead", 14) = 14' % sock,
                    '9 fsync(8<%s>) = -1 EIO (Input/output error)' % folder,  # failed: not counted
                    '9 write(5<%s>, "250 OK", 6) = 6' % sock,
                    '9 fsync(7<%s/late>) = 0' % folder,                       # after the 250: too late
                    '9 write(5<%s>, "354 go ahead", 14) = 14' % sock,
                    '9 write(5<%s>, "451 failed", 10) = 10' % sock,
                    '9 fsync(7<%s/tmp2>) = 0' % folder,
                    '9 write(5<%s>, "250 OK", 6) = 6' % sock,                # MAIL after a refused DATA
                ])
                self.assertEqual(commit_order(text), (2, 1, 1))
            finally:
                shutil.rmtree(folder)

    suite = unittest.TestSuite()
    for case in (Statistics, Arguments, Replies, Conversation, CommitOrder):
        suite.addTests(unittest.defaultTestLoader.loadTestsFromTestCase(case))
    ok = unittest.TextTestRunner(verbosity=1).run(suite).wasSuccessful()
    return 0 if ok else 1


def _on_signal(signum, _frame):
    sys.exit(128 + signum)   # unwinds through main's finally: everything is stopped and removed


if __name__ == "__main__":
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, _on_signal)
    rc = 1
    try:
        rc = main(sys.argv[1:])
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        rc = 130
    finally:
        if mp.parent_process() is None:
            cleanup()
    sys.exit(rc)
