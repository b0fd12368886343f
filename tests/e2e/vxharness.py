"""Shared set-up for the end-to-end tests: a temporary program folder with a
copy of the built service program, its own service database, settings.ini
written in code page 936, free loopback ports, and clean-up of every process."""

import os
import shutil
import signal
import socket
import socketserver
import subprocess
import tempfile
import threading
import time

BIN_DIR = os.environ.get("VX_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build", "bin"))
SERVICE_NAME = "VxMailServices"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout=10.0, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def listening(*ports, timeout=10.0):
    """True once every port accepts a connection on 127.0.0.1 (within timeout)."""

    def all_open():
        for port in ports:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            except OSError:
                return False
        return True

    return wait_for(all_open, timeout)


def write_settings_file(path, sections):
    """sections: list of (name, [(key, value), ...]); text goes out as gbk with CR LF."""
    lines = []
    for name, keys in sections:
        lines.append("[%s]" % name)
        lines.extend("%s=%s" % kv for kv in keys)
    with open(path, "wb") as f:
        f.write(("\r\n".join(lines) + "\r\n").encode("gbk"))


class ProgramFolder:
    """A program folder T holding a copy of VxMailServers; the service
    database lives in T/scm."""

    def __init__(self):
        self.path = os.path.realpath(tempfile.mkdtemp(prefix="vxe2e"))
        self.binary = os.path.join(self.path, "VxMailServers")
        shutil.copy2(os.path.join(BIN_DIR, "VxMailServers"), self.binary)
        self.scm = os.path.join(self.path, "scm")
        self.env = dict(os.environ, VXMAIL_SCM_DIR=self.scm)
        self.env.pop("VXMAIL_SERVICE_NAME", None)
        self.procs = []

    def file(self, *parts):
        return os.path.join(self.path, *parts)

    def read(self, *parts, encoding=None):
        with open(self.file(*parts), "rb") as f:
            data = f.read()
        return data.decode(encoding) if encoding else data

    def write_settings(self, sections):
        write_settings_file(self.file("settings.ini"), sections)

    def run_switch(self, *args):
        return subprocess.run([self.binary, *args], env=self.env, capture_output=True, text=True, timeout=30)

    def start_foreground(self, *args):
        p = subprocess.Popen([self.binary, *args], env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
        self.procs.append(p)
        return p

    def sc(self, verb):
        """Runs the control-layer tool; returns (exit code, dict of the status it printed, stderr)."""
        r = subprocess.run([os.path.join(BIN_DIR, "vxsc"), verb, SERVICE_NAME], env=self.env, capture_output=True,
                           text=True, timeout=60)
        status = {}
        line = r.stdout.strip()
        if line:
            head, _, error = line.partition(" error=")
            for item in head.split():
                k, _, v = item.partition("=")
                status[k] = int(v)
            status["error"] = error
        return r.returncode, status, r.stderr

    def state(self):
        return self.sc("query")[1].get("state")

    def service_pid(self):
        """The pid the service wrote into its status file (0 if none)."""
        try:
            text = self.read("scm", SERVICE_NAME + ".status", encoding="ascii")
        except FileNotFoundError:
            return 0
        for line in text.splitlines():
            if line.startswith("Pid="):
                return int(line[4:])
        return 0

    def log_lines(self):
        try:
            return self.read("VxMailServers.log", encoding="gbk").split("\n")
        except FileNotFoundError:
            return []

    def cleanup(self):
        pid = self.service_pid()
        if pid and self.state() not in (None, 1):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.communicate()
        shutil.rmtree(self.path, ignore_errors=True)


def clean_up(folder, *peers):
    """Cleans folder up (when there is one), then stops every peer (objects
    with stop()); each step runs whatever the ones before did, and the first
    failure is raised at the end."""
    errors = []
    for step in ([folder.cleanup] if folder else []) + [peer.stop for peer in peers]:
        try:
            step()
        except Exception as e:  # the others must still stop
            errors.append(e)
    if errors:
        raise errors[0]


def start_listening(folder, ports, timeout=10):
    """Starts folder's service in the foreground and waits until every port
    takes connections; on failure cleans the folder up (a failed set-up runs
    no tearDown) and raises."""
    proc = folder.start_foreground()
    if not listening(*ports, timeout=timeout):
        folder.cleanup()
        raise AssertionError("the service did not open its ports")
    return proc


def local_settings(smtp, pop3=None, imap=None, users=()):
    """settings.ini sections of a service that takes mail by SMTP on port smtp
    with the relay held off, and serves POP3 and IMAP4 on the given ports (free
    ones when None), for users given as (user name, password) or (display
    name, user name, password)."""
    sections = [
        ("SMTP", [("RelayInterval", "600000"), ("Port", str(smtp)), ("DnsServer", "127.0.0.2")]),
        ("POP3", [("Port", str(pop3 or free_port()))]),
        ("IMAP", [("Port", str(imap or free_port()))]),
    ]
    if users:
        sections.append(("USERS", [("Count", str(len(users)))]))
    for i, user in enumerate(users):
        keys = [("DisplayName", user[0])] if len(user) == 3 else []
        keys += [("UserName", user[-2]), ("Password", user[-1])]
        sections.append(("USER%d" % i, keys))
    return sections


def start_imap_service(users):
    """A new program folder whose service takes mail by SMTP (relay held off)
    and serves it by IMAP4, both on free ports, for users given as
    (display name, user name, password). Returns (folder, smtp port, imap
    port); the folder's clean-up ends the service."""
    folder = ProgramFolder()
    smtp, imap = free_port(), free_port()
    folder.write_settings(local_settings(smtp, imap=imap, users=users))
    start_listening(folder, (smtp, imap))
    return folder, smtp, imap


class Dnsmasq:
    """dnsmasq (from dnsmasq-base) answering locally for ".test" on 127.0.0.2:53,
    run in the foreground and stopped by its process id. records: extra
    dnsmasq options such as "--mx-host=one.test,127.0.0.3,10". Tests that use
    it take the ctest RESOURCE_LOCK vx_fixed_ports."""

    ADDRESS = "127.0.0.2"

    def __init__(self, records, address=ADDRESS, port=53):
        self.address = address
        self.port = port
        args = ["/usr/sbin/dnsmasq", "--no-daemon", "--conf-file=/dev/null", "--pid-file=", "--no-resolv",
                "--no-hosts", "--bind-interfaces", "--listen-address=" + address, "--port=%d" % port,
                "--local=/test/", "--log-facility=-", "--user=root", *records]
        # The address may still be held by a peer another suite on this
        # machine is stopping: try again for a while before giving up.
        deadline = time.monotonic() + 30.0
        while True:
            self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            try:
                if wait_for(self._answers, timeout=10.0):
                    return
                self.stop()
                raise RuntimeError("dnsmasq did not start")
            except RuntimeError as e:
                if "Address already in use" not in str(e) or time.monotonic() > deadline:
                    raise
                self.proc.stdout.close()
                time.sleep(0.5)

    def _answers(self):
        if self.proc.poll() is not None:
            raise RuntimeError("dnsmasq ended: %r" % self.proc.stdout.read())
        # A query for the root's SOA: any reply means it is listening.
        query = b"\x00\x01\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x06\x00\x01"
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(0.2)
            try:
                s.sendto(query, (self.address, self.port))
                if not s.recv(512):
                    return False
            except OSError:
                return False
        # The reply may have come from another dnsmasq still holding the
        # address: ours counts only while it runs.
        time.sleep(0.1)
        if self.proc.poll() is not None:
            raise RuntimeError("dnsmasq ended: %r" % self.proc.stdout.read())
        return True

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.proc.stdout.close()


class SmtpReceiver(socketserver.ThreadingTCPServer):
    """A scripted receiving SMTP server on address:25, served on a thread of
    its own: logs every line it reads and keeps each message's data lines
    (unstuffed) with the recipients it accepted. reply(who, n) gives the RCPT
    reply for the n-th RCPT (from 0) naming who (None: 250); the first
    busy_greetings connections are greeted "421" and closed; data_delay
    seconds pass before the reply to the end of DATA. stop() ends it. Tests
    that use it take the ctest RESOURCE_LOCK vx_fixed_ports."""

    allow_reuse_address = True
    daemon_threads = True

    def __init__(self, address, reply=None, busy_greetings=0, data_delay=0.0):
        self.lines = []
        self.messages = []
        self.asked = {}
        self.reply = reply
        self.busy_greetings = busy_greetings
        self.data_delay = data_delay
        self.lock = threading.Lock()
        super().__init__((address, 25), _SmtpSession)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def rcpt_reply(self, who):
        with self.lock:
            n = self.asked.get(who, 0)
            self.asked[who] = n + 1
        answer = self.reply(who, n) if self.reply else None
        return answer or b"250 2.1.5 Ok"

    def delivered(self, rcpt):
        """The data of every message accepted for rcpt."""
        with self.lock:
            return [data for rcpts, data in self.messages if rcpt in rcpts]

    def stop(self):
        self.shutdown()
        self.server_close()


class _SmtpSession(socketserver.StreamRequestHandler):
    def send(self, text):
        self.wfile.write(text + b"\r\n")

    def handle(self):
        srv = self.server
        with srv.lock:
            busy = srv.busy_greetings > 0
            srv.busy_greetings -= 1
        if busy:
            self.send(b"421 4.3.2 Too busy, try later")
            return
        self.send(b"220 mx.test ESMTP")
        rcpts = []
        while True:
            line = self.rfile.readline()
            if not line:
                return
            with srv.lock:
                srv.lines.append(line)
            verb = line[:4].upper()
            if verb == b"EHLO":
                self.send(b"250-mx.test\r\n250-PIPELINING\r\n250 SIZE 1000000")
            elif verb == b"MAIL":
                rcpts = []
                self.send(b"250 2.1.0 Ok")
            elif verb == b"RCPT":
                who = line[line.index(b"<") + 1:line.index(b">")].decode()
                answer = srv.rcpt_reply(who)
                if answer.startswith(b"250"):
                    rcpts.append(who)
                self.send(answer)
            elif verb == b"DATA":
                self.send(b"354 End data with <CR><LF>.<CR><LF>")
                data = b""
                while True:
                    d = self.rfile.readline()
                    if d in (b".\r\n", b""):
                        break
                    data += d[1:] if d.startswith(b".") else d
                if not d:
                    return
                if srv.data_delay:
                    time.sleep(srv.data_delay)
                with srv.lock:
                    srv.messages.append((list(rcpts), data))
                self.send(b"250 2.0.0 Ok: queued")
            elif verb == b"QUIT":
                self.send(b"221 2.0.0 Bye")
                return
            else:
                self.send(b"250 2.0.0 Ok")
