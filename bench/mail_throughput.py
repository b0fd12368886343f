#!/usr/bin/python3
"""Mail throughput of VxMailServers beside Postfix (SMTP in, Maildir out) and
Dovecot (POP3 out) on the same machine.

Run as root:  /usr/bin/python3 bench/mail_throughput.py   (see bench/README.md)

Every server runs in the foreground from a private temp folder on free
loopback ports; all of them, the client processes and the temp folders are
removed on exit, on errors and on Ctrl+C."""

import argparse
import glob
import multiprocessing as mp
import os
import poplib
import pwd
import grp
import shutil
import signal
import smtplib
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
VMAIL_USER = "nobody"      # owner of the peer's Maildirs (virtual delivery and Dovecot)
VMAIL_GROUP = "nogroup"

_procs = []   # every Popen / mp.Process we start, stopped in cleanup()
_dirs = []    # every temp folder we make
_finalizers = []  # extra stop steps (daemons that leave our process group)


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
    head = ("From: %s\r\nTo: bench@%s\r\nSubject: throughput sample\r\n"
            "Message-ID: <fixed@bench.test>\r\n\r\n" % (SENDER, DOMAIN))
    line = ("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_" * 2)[:76] + "\r\n"
    lines = []
    total = len(head)
    while total + len(line) <= size:
        lines.append(line)
        total += len(line)
    return (head + "".join(lines)).encode("ascii")


def count_files(pattern_dirs):
    n = 0
    for d in pattern_dirs:
        try:
            n += sum(1 for e in os.scandir(d) if e.is_file() and not e.name.startswith("."))
        except FileNotFoundError:
            pass
    return n


# ---------------------------------------------------------------- clients
# Each session runs in its own process so the client side is not held back
# by one interpreter lock; all of them start together at a barrier.

def smtp_session(port, rcpt, count, body, barrier, results):
    accepted, error, t0 = 0, "", None
    try:
        barrier.wait()
        t0 = time.monotonic()
        s = smtplib.SMTP("127.0.0.1", port, timeout=60)
        s.ehlo("client.bench.test")
        for _ in range(count):
            s.sendmail(SENDER, [rcpt], body)   # raises unless 250 after DATA
            accepted += 1
        s.quit()
    except Exception as e:  # reported, not fatal
        error = "%s: %s" % (type(e).__name__, e)
    t1 = time.monotonic()
    results.put((t1 if t0 is None else t0, t1, accepted, error))


def pop3_session(port, user, barrier, results):
    got, nbytes, error, t0 = 0, 0, "", None
    try:
        barrier.wait()
        t0 = time.monotonic()
        p = poplib.POP3("127.0.0.1", port, timeout=60)
        p.user(user)
        p.pass_(PASSWORD)
        n, _ = p.stat()
        for i in range(1, n + 1):
            _, lines, octets = p.retr(i)
            got += 1
            nbytes += octets
        p.quit()
    except Exception as e:
        error = "%s: %s" % (type(e).__name__, e)
    t1 = time.monotonic()
    results.put((t1 if t0 is None else t0, t1, got, error, nbytes))


def run_sessions(target, arglists):
    """Runs one process per argument list; returns the result tuples."""
    ctx = mp.get_context("fork")
    barrier = ctx.Barrier(len(arglists))
    results = ctx.Queue()
    workers = [ctx.Process(target=target, args=(*a, barrier, results)) for a in arglists]
    for w in workers:
        _procs.append(w)
        w.start()
    out = [results.get(timeout=600) for _ in workers]
    for w in workers:
        w.join(10)
        _procs.remove(w)
    return out


def fill_maildrops(port, users, per_user, body):
    """Untimed: gives every POP3 maildrop its messages over SMTP."""
    args = [(port, u, per_user, body) for u in users]
    for r in run_sessions(smtp_session, args):
        if r[3]:
            raise RuntimeError("filling maildrops failed: " + r[3])


# ---------------------------------------------------------------- servers

class VxMail:
    name = "VxMail"

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

    def store_dirs(self, user):
        return [os.path.join(self.dir, "MailBox", user)]

    def stored(self, user):
        return len(glob.glob(os.path.join(self.dir, "MailBox", user, "MAIL*.MSG")))


class Peer:
    """Postfix smtpd -> virtual(8) -> Maildir, read back by Dovecot's POP3."""
    name = "Postfix/Dovecot"

    def __init__(self, users):
        self.dir = make_temp("peerbench")
        uid, gid = pwd.getpwnam(VMAIL_USER).pw_uid, grp.getgrnam(VMAIL_GROUP).gr_gid
        self.base = os.path.join(self.dir, "vmail")
        os.makedirs(os.path.join(self.base, DOMAIN))
        for d in (self.base, os.path.join(self.base, DOMAIN)):
            os.chown(d, uid, gid)
        self.smtp, self.pop3 = free_port(), free_port()
        self._postfix(users, uid, gid)
        self._dovecot(uid, gid)

    def _postfix(self, users, uid, gid):
        conf = os.path.join(self.dir, "postfix")
        queue = os.path.join(self.dir, "spool")
        data = os.path.join(self.dir, "data")
        os.makedirs(conf)
        os.makedirs(queue)
        os.makedirs(data)
        os.chown(data, pwd.getpwnam("postfix").pw_uid, grp.getgrnam("postfix").gr_gid)
        with open(os.path.join(conf, "vmailbox"), "w") as f:
            for u in users:
                f.write("%s %s/%s/\n" % (u, DOMAIN, u.split("@")[0]))   # trailing / = Maildir
        subst = dict(conf=conf, queue=queue, data=data, base=self.base, uid=uid, gid=gid, dir=self.dir,
                     domain=DOMAIN, port=self.smtp)
        for name in ("main.cf", "master.cf"):
            with open(os.path.join(HERE, "peer_configs", "postfix-" + name)) as src:
                text = src.read().format(**subst)
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

    def stop_postfix(self):
        """master puts itself in a session of its own, so our process-group
        kill does not reach it: stop it the Postfix way, then by its pid."""
        try:
            with open(self.master_pid_file) as f:
                master = int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            master = 0
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
            wait_for(lambda: not subprocess.run(["pgrep", "-g", str(master)], capture_output=True).stdout, 5, 0.1)
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


# ---------------------------------------------------------------- scenarios

def smtp_scenario(server, sessions, total, body):
    """msg/s accepted and stored; for a server that queues first (Postfix)
    the clock stops only once every message is in the Maildir."""
    rcpt = "s%d@%s" % (sessions, DOMAIN)
    per = total // sessions
    before = server.stored(rcpt)
    results = run_sessions(smtp_session, [(server.smtp, rcpt, per, body)] * sessions)
    t0 = min(r[0] for r in results)
    t_quit = max(r[1] for r in results)
    accepted = sum(r[2] for r in results)
    errors = [r[3] for r in results if r[3]]
    target = before + accepted
    wait_for(lambda: server.stored(rcpt) >= target, 120, step=0.002)
    # VxMail's 250 is its commit point; a queueing peer is done only when the
    # last message sits in the Maildir
    t_end = max(t_quit, time.monotonic()) if isinstance(server, Peer) else t_quit
    stored = server.stored(rcpt) - before
    note = ""
    if stored != accepted:
        note = "stored %d of %d accepted" % (stored, accepted)
    if errors:
        note += (" ; " if note else "") + "%d session error(s): %s" % (len(errors), errors[0])
    accept_rate = accepted / (t_quit - t0) if t_quit > t0 else 0.0
    return dict(rate=min(stored, accepted) / (t_end - t0), accept_rate=accept_rate, msgs=accepted,
                stored=stored, seconds=t_end - t0, note=note)


def pop3_scenario(server, sessions, per_user, body):
    users = ["pop%d@%s" % (i, DOMAIN) for i in range(sessions)]
    results = run_sessions(pop3_session, [(server.pop3, u) for u in users])
    t0 = min(r[0] for r in results)
    t1 = max(r[1] for r in results)
    got = sum(r[2] for r in results)
    errors = [r[3] for r in results if r[3]]
    note = ""
    if got != per_user * sessions:
        note = "retrieved %d of %d" % (got, per_user * sessions)
    short = [r for r in results if r[2] and r[4] / r[2] < len(body)]
    if short:
        note += (" ; " if note else "") + "messages shorter than the body sent"
    if errors:
        note += (" ; " if note else "") + "%d session error(s): %s" % (len(errors), errors[0])
    return dict(rate=got / (t1 - t0), msgs=got, seconds=t1 - t0, note=note)


def spread(r):
    return " [runs %.1f..%.1f]" % r["spread"] if "spread" in r else ""


def median_run(run, repeat):
    """Runs a scenario `repeat` times and keeps the run with the median rate."""
    runs = sorted((run() for _ in range(repeat)), key=lambda r: r["rate"])
    notes = [r["note"] for r in runs if r["note"]]
    best = dict(runs[len(runs) // 2])
    best["note"] = notes[0] if notes else ""   # a fault in any run is shown
    if repeat > 1:
        best["spread"] = (runs[0]["rate"], runs[-1]["rate"])
    return best


def bench_server(server, args, body):
    out = {}
    for n in args.smtp_sessions:
        r = median_run(lambda: smtp_scenario(server, n, args.total, body), args.repeat)
        out["SMTP in, %2d session%s" % (n, "s" if n > 1 else "")] = r
        print("  %-16s SMTP %2d: %8.1f msg/s (%d accepted, %d files, %.2fs)%s %s"
              % (server.name, n, r["rate"], r["msgs"], r["stored"], r["seconds"], spread(r), r["note"]), flush=True)
    if args.pop_sessions:
        drops = max(args.pop_sessions)
        users = ["pop%d@%s" % (i, DOMAIN) for i in range(drops)]
        fill_maildrops(server.smtp, users, args.pop_messages, body)
        for u in users:
            if not wait_for(lambda: server.stored(u) >= args.pop_messages, 120):
                raise RuntimeError("%s: maildrop %s not filled" % (server.name, u))
        # one untimed login per maildrop, so first-open indexing is not timed
        run_sessions(pop3_session, [(server.pop3, u) for u in users])
        for n in args.pop_sessions:
            r = median_run(lambda: pop3_scenario(server, n, args.pop_messages, body), args.repeat)
            out["POP3 RETR, %2d session%s" % (n, "s" if n > 1 else "")] = r
            print("  %-16s POP3 %2d: %8.1f msg/s (%d msgs, %.2fs)%s %s"
                  % (server.name, n, r["rate"], r["msgs"], r["seconds"], spread(r), r["note"]), flush=True)
    return out


def print_table(ours, peer, peer_reason):
    print()
    print("%-24s %12s %16s %9s" % ("scenario", "VxMail msg/s", "Postfix/Dovecot", "ratio"))
    print("-" * 65)
    for key, r in ours.items():
        p = peer.get(key) if peer else None
        if p:
            print("%-24s %12.1f %16.1f %9s" % (key, r["rate"], p["rate"], "%.3gx" % (r["rate"] / p["rate"])))
        else:
            print("%-24s %12.1f %16s %9s" % (key, r["rate"], "n/a", "n/a"))
    notes = [(k, "VxMail", r["note"]) for k, r in ours.items() if r["note"]]
    if peer:
        notes += [(k, "peer", r["note"]) for k, r in peer.items() if r["note"]]
        smtp_keys = [k for k in peer if k.startswith("SMTP")]
        if smtp_keys:
            print("\nPostfix answers 250 once the message is queued; its figures above stop the clock when the"
                  "\nlast message is in the Maildir. Its rate of 250 replies alone was: " +
                  ", ".join("%s %.1f" % (k.split(", ")[1], peer[k]["accept_rate"]) for k in smtp_keys))
    if peer_reason:
        print("\nPeer not measured: " + peer_reason)
    for k, who, n in notes:
        print("note (%s, %s): %s" % (k, who, n))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--binary", default=os.path.join(ROOT, "build", "bin", "VxMailServers"))
    ap.add_argument("--smtp-sessions", default="1,8,32")
    ap.add_argument("--total", type=int, default=3840, help="messages per SMTP scenario (split over sessions)")
    ap.add_argument("--pop-sessions", default="1,8")
    ap.add_argument("--pop-messages", type=int, default=300, help="messages in each POP3 maildrop")
    ap.add_argument("--repeat", type=int, default=1, help="runs per scenario; the median is reported")
    ap.add_argument("--body-size", type=int, default=4096)
    ap.add_argument("--no-peer", action="store_true", help="measure VxMail alone")
    ap.add_argument("--no-install", action="store_true", help="do not apt-get the peers")
    args = ap.parse_args()
    args.smtp_sessions = [int(x) for x in args.smtp_sessions.split(",") if x]
    args.pop_sessions = [int(x) for x in args.pop_sessions.split(",") if x]
    if not os.access(args.binary, os.X_OK):
        sys.exit("no VxMailServers at %s (make -C %s build)" % (args.binary, ROOT))

    body = make_body(args.body_size)
    users = ["s%d@%s" % (n, DOMAIN) for n in args.smtp_sessions]
    users += ["pop%d@%s" % (i, DOMAIN) for i in range(max(args.pop_sessions or [0]))]
    print("nproc=%d, body=%d bytes, %d msgs per SMTP scenario, %d msgs per POP3 maildrop"
          % (os.cpu_count(), len(body), args.total, args.pop_messages), flush=True)

    ours = bench_server(VxMail(args.binary, users), args, body)
    cleanup()

    peer, reason = None, ""
    if args.no_peer:
        reason = "--no-peer given"
    elif os.geteuid() != 0:
        reason = "the peers need root (own spool, uid switch); run as root"
    else:
        try:
            if not args.no_install:
                install_peers()
            server = Peer(users)
            peer = bench_server(server, args, body)
            server.stop()
        except (Exception, subprocess.SubprocessError) as e:
            reason = "%s: %s" % (type(e).__name__, e)
            peer = None
    print_table(ours, peer, reason)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        main()
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        sys.exit(130)
    finally:
        if mp.parent_process() is None:
            cleanup()
