#!/usr/bin/python3
"""Load generators of the mail benchmarks: SMTP and POP3 clients on plain
sockets, one process per session started together at a barrier, each
reporting its own CPU time; and a sink that answers both protocols without
storing anything, to measure the clients' own ceiling. Replies are read one
at a time (no pipelining), the same way for every server."""

import multiprocessing as mp
import os
import signal
import socket
import time

from mail_peers import DOMAIN, PASSWORD, SENDER, _finalizers, _procs, free_port

IO_TIMEOUT = 60            # seconds a client waits for one reply


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


# ---------------------------------------------------------------- clients

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


# ---------------------------------------------------------------- sink

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
