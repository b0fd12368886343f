#!/usr/bin/python3
"""The servers of the mail benchmarks and the bookkeeping that stops them:
VxMailServers and the private Postfix + Dovecot pair, each in the foreground
from a private temp folder on free loopback ports, and the peers' installation
with service start-up blocked. Every process and folder made here is listed in
_procs / _dirs / _finalizers and removed by cleanup(), which the scripts call
on exit, errors and signals. Main thread only."""

import glob
import grp
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.dont_write_bytecode = True  # leave no cache behind in tests/e2e
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from vxharness import free_port, listening, wait_for  # noqa: E402  (shared with the end-to-end tests)
import vxservice  # noqa: E402  (VxMail's folder and settings, as the socket benchmarks make them)

DOMAIN = "bench.test"
SENDER = "sender@" + DOMAIN
PASSWORD = vxservice.PASSWORD  # the accounts VxMail and the peers are given
POSTFIX = "/usr/sbin/postfix"
DOVECOT = "/usr/sbin/dovecot"
VMAIL_USER = "nobody"      # owner of the peer's Maildirs (virtual delivery and Dovecot)
VMAIL_GROUP = "nogroup"

_procs = []       # every Popen / mp.Process we start, stopped in cleanup()
_dirs = []        # every temp folder we make
_finalizers = []  # extra stop steps (daemons that leave our process group)


# ---------------------------------------------------------------- processes and folders

def make_temp(prefix, parent=None):
    path = os.path.realpath(tempfile.mkdtemp(prefix=prefix, dir=parent))
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


def count_files(dirs):
    n = 0
    for d in dirs:
        try:
            n += sum(1 for e in os.scandir(d) if e.is_file() and not e.name.startswith("."))
        except FileNotFoundError:
            pass
    return n


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
        self.smtp, self.pop3, program, env = vxservice.install(self.dir, binary, users)
        self.proc = start([program], os.path.join(self.dir, "stdout.log"), cwd=self.dir, env=env)
        if not listening(self.smtp, self.pop3, timeout=15):
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
        if not listening(self.smtp, timeout=20):
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
        if not listening(self.pop3, timeout=20):
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
