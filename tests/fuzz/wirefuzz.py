#!/usr/bin/python3
"""Grammar-aware wire fuzzers for the SMTP, POP3 and IMAP4 servers of the
service program. Each session is drawn from a fixed seed: well-formed
commands in and out of order, with mangled arguments, blanks, NULs, control
bytes, over-long words, literals and continuation exchanges. After every
command the session waits for its complete reply. Findings: the service
process gone, a sanitizer report on its standard error, a command left
without a reply while the connection stays open, and a connection the
server closed without answering. Each finding prints the session's seed and
the lines sent, enough to replay it (--replay PROTO:SEED).

  wirefuzz.py --protocols smtp,pop3,imap --seconds 20      (a short pass)
  wirefuzz.py --binary build-asan/bin/VxMailServers --seconds 600

Exit status 1 when anything was found. Loopback only; every session and the
whole run are bounded in time.
"""
import argparse
import base64
import os
import random
import re
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import vxharness  # noqa: E402

USERS = [("alice@fuzz.test", "secret"), ("bob@fuzz.test", "pw2")]
REPLY_WAIT = 5.0  # seconds a command may take before it counts as unanswered
SANITIZER = re.compile(rb"ERROR: (Address|Leak|Thread|Memory)Sanitizer|runtime error:|SUMMARY: \w+Sanitizer")

NASTY = [b"", b" ", b"\x00", b"\x00\x00\x00", b"\x01\x02\x7f", b"\t", b"\xff\xfe", b"%s%n%x", b"..",
         b"\"", b"\\", b"(", b")", b"((((", b"{", b"}", b"<", b">", b"@", b"*", b"%", b"\r", b"-1", b"0",
         b"4294967296", b"99999999999999999999", b"2147483647", b"-2147483648"]


def rand_word(r, alphabet=b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"):
    return bytes(r.choice(alphabet) for _ in range(r.randint(1, 12)))


def junk(r):
    """An argument that may be anything at all."""
    k = r.random()
    if k < 0.35:
        return r.choice(NASTY).replace(b"\r", b"")
    if k < 0.6:
        return rand_word(r)
    if k < 0.7:
        return bytes(r.randrange(256) for _ in range(r.randint(1, 40))).replace(b"\r", b"").replace(b"\n", b"")
    if k < 0.75:
        return b"x" * r.choice([100, 1000, 5000, 70000])
    return str(r.randint(-5, 20)).encode()


def mangle(r, line):
    """Sometimes spoils a well-formed line: case, blanks, NULs, cuts, junk.
    Never a CR: the servers end a line at a bare CR too, so one would make
    two commands of it."""
    return _mangle(r, line).replace(b"\r", b"")


def _mangle(r, line):
    k = r.random()
    if k < 0.6:
        return line
    if k < 0.68:
        return line.lower()
    if k < 0.74:
        return b"  " + line + b"  "
    if k < 0.8:
        i = r.randint(0, len(line))
        return line[:i] + r.choice([b"\x00", b"\t", b"\x01", b" "]) + line[i:]
    if k < 0.86:
        return line[:r.randint(0, len(line))]
    if k < 0.93:
        return line + b" " + junk(r)
    return junk(r)


class Service:
    """The service program in a program folder of its own, standard error to
    a file (a sanitized build reports there)."""

    def __init__(self, binary):
        # The folder gets a copy of this binary; the service tool stays the
        # one of the tests' build.
        tools = vxharness.BIN_DIR
        vxharness.BIN_DIR = os.path.dirname(os.path.abspath(binary))
        try:
            self.folder = vxharness.ProgramFolder()
        finally:
            vxharness.BIN_DIR = tools
        self.smtp, self.pop3, self.imap = (vxharness.free_port() for _ in range(3))
        self.folder.write_settings(vxharness.local_settings(self.smtp, self.pop3, self.imap, USERS))
        for user, _ in USERS:
            d = self.folder.file("MailBox", user)
            os.makedirs(d, exist_ok=True)
            for n in range(1, 4):
                with open(os.path.join(d, "MAIL%08d.MSG" % n), "wb") as f:
                    f.write(b"From: x@fuzz.test\r\nTo: %s\r\nSubject: m%d\r\nMessage-ID: <%d@fuzz.test>\r\n"
                            b"Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
                            b".dot\r\nbody %d\r\n--b--\r\n" % (user.encode(), n, n, n))
        self.stderr_path = self.folder.file("stderr.txt")
        env = dict(self.folder.env, ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=0",
                   UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=0")
        self.stderr = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen([self.folder.binary], env=env, stdout=subprocess.DEVNULL, stderr=self.stderr)
        if not vxharness.listening(self.smtp, self.pop3, self.imap, timeout=30):
            self.close()
            raise RuntimeError("the service did not open its ports")

    def alive(self):
        return self.proc.poll() is None

    def reports(self):
        with open(self.stderr_path, "rb") as f:
            text = f.read()
        return [line for line in text.splitlines() if SANITIZER.search(line)]

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.stderr.close()
        reports = self.reports()
        self.folder.cleanup()
        return reports


# A line past this is answered and then the connection is closed.
MAX_LINE = 64 * 1024


def closing_reply(line, reply):
    """True when the server closes the connection after this reply."""
    return len(line) > MAX_LINE or b"maildrop already locked" in reply


class NoReply(Exception):
    pass


class Closed(Exception):
    pass


class Wire:
    """One client connection with a reply reader that knows each protocol's
    framing."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=REPLY_WAIT)
        self.buf = b""

    def send(self, data):
        try:
            self.sock.sendall(data)
        except OSError:
            raise Closed()

    def _fill(self):
        try:
            data = self.sock.recv(65536)
        except socket.timeout:
            raise NoReply()
        except OSError:
            raise Closed()
        if not data:
            raise Closed()
        self.buf += data

    def line(self):
        while b"\r\n" not in self.buf:
            self._fill()
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line

    def exactly(self, n):
        while len(self.buf) < n:
            self._fill()
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def until_dot(self):
        lines = []
        while True:
            line = self.line()
            if line == b".":
                return lines
            lines.append(line)

    def close(self):
        self.sock.close()


def command_word(line):
    """Command word and parameters as the line-command framework cuts them."""
    t = line.replace(b"\x00", b" ").strip(bytes(range(33)))
    word, _, params = t.partition(b" ")
    return word.upper(), params


def pipelined(r, steps, i, unsafe):
    """How many steps from i go out in one write: now and then up to five
    short commands that start no exchange of their own, else one."""
    if r.random() >= 0.15:
        return 1
    n = 0
    while (i + n < len(steps) and n < 5 and len(steps[i + n]) < 1000 and
           command_word(steps[i + n])[0] not in unsafe):
        n += 1
    return max(n, 1)


def send_batch(w, sent, lines):
    """Lines in one write, noted as sent."""
    sent.extend(lines)
    w.send(b"".join(line + b"\r\n" for line in lines))


# --- SMTP

def smtp_session(r):
    """Yields (line, kind) steps; kind tells the reader what follows."""
    steps = []
    for _ in range(r.randint(1, 25)):
        k = r.random()
        if k < 0.12:
            steps.append(r.choice([b"EHLO ", b"HELO "]) + r.choice([b"client.fuzz", junk(r)]))
        elif k < 0.25:
            steps.append(b"MAIL FROM:" + r.choice([b"<a@fuzz.test>", b"<>", b"<" + junk(r) + b">", junk(r),
                                                   b"<a@fuzz.test> SIZE=" + junk(r)]))
        elif k < 0.40:
            steps.append(b"RCPT TO:" + r.choice([b"<alice@fuzz.test>", b"<postmaster>", b"<x@remote.fuzz>",
                                                 b"<a@b@c>", b"<" + junk(r) + b">", junk(r)]))
        elif k < 0.50:
            steps.append(b"DATA")
        elif k < 0.58:
            steps.append(b"AUTH " + r.choice([b"LOGIN", b"CRAM-MD5", b"PLAIN", b"NTLM", b"LOGIN " + junk(r), junk(r)]))
        elif k < 0.66:
            steps.append(r.choice([b"RSET", b"NOOP", b"HELP", b"VRFY x", b"EXPN y", b"STARTTLS", b"TURN"]))
        elif k < 0.72:
            steps.append(r.choice([b"", b"\x00\x00", b"   ", b"\x01"]))
        elif k < 0.75:
            steps.append(b"QUIT")
        else:
            steps.append(junk(r))
    return [mangle(r, s) for s in steps]


def smtp_reply(w):
    while True:
        line = w.line()
        if len(line) < 3 or not line[:3].isdigit():
            raise ValueError("not an SMTP reply: %r" % line[:80])
        if len(line) == 3 or line[3:4] == b" ":
            return line


SMTP_EXCHANGES = (b"DATA", b"AUTH", b"QUIT", b"STARTTLS")


def smtp_run(w, r, steps, sent):
    smtp_reply(w)  # greeting
    i = 0
    while i < len(steps):
        n = pipelined(r, steps, i, SMTP_EXCHANGES)
        if n > 1:
            batch = steps[i:i + n]
            send_batch(w, sent, batch)
            for _ in batch:
                smtp_reply(w)
            i += n
            continue
        line = steps[i]
        i += 1
        sent.append(line)
        w.send(line + b"\r\n")
        reply = smtp_reply(w)
        if closing_reply(line, reply):
            return
        code = reply[:3]
        word, _ = command_word(line)
        if code == b"354":
            body = b"Subject: f\r\n\r\n" + b"\r\n".join(mangle(r, rand_word(r)) for _ in range(r.randint(0, 5)))
            body += r.choice([b"\r\n..dot\r\n", b"\r\n", b"\r\n.x\r\n"]) + b"\r\n.\r\n"
            sent.append(body)
            w.send(body)
            smtp_reply(w)
        elif code == b"334":
            for _ in range(r.randint(1, 3)):
                cont = r.choice([base64.b64encode(rand_word(r)), b"*", junk(r), b"=",
                                 base64.b64encode(b"alice@fuzz.test"), base64.b64encode(b"secret")])
                sent.append(cont)
                w.send(cont + b"\r\n")
                answer = smtp_reply(w)
                if closing_reply(cont, answer):
                    return
                if answer[:3] != b"334":
                    break
        if code == b"221" or word == b"QUIT" and code[:1] == b"2":
            return


# --- POP3

def pop3_session(r):
    steps = []
    if r.random() < 0.7:
        user, pw = r.choice(USERS)
        steps += [b"USER " + user.encode(), b"PASS " + pw.encode()]
    for _ in range(r.randint(1, 25)):
        k = r.random()
        if k < 0.35:
            steps.append(r.choice([b"LIST", b"UIDL", b"RETR", b"TOP", b"DELE"]) + r.choice(
                [b"", b" 1", b" 2", b" 0", b" -1", b" 3", b" 9", b" " + junk(r), b" 1 " + junk(r)]))
        elif k < 0.45:
            steps.append(r.choice([b"STAT", b"NOOP", b"RSET", b"HELP", b"CAPA", b"STLS"]))
        elif k < 0.55:
            steps.append(r.choice([b"USER ", b"PASS ", b"APOP "]) + junk(r))
        elif k < 0.63:
            steps.append(b"AUTH" + r.choice([b"", b" CRAM-MD5", b" NTLM", b" PLAIN", b" " + junk(r)]))
        elif k < 0.7:
            steps.append(r.choice([b"", b"\x00\x00\x00", b" \t ", b"\x02"]))
        elif k < 0.73:
            steps.append(b"QUIT")
        else:
            steps.append(junk(r))
    return [mangle(r, s) for s in steps]


POP3_EXCHANGES = (b"AUTH", b"QUIT", b"STLS")


def pop3_answer(w, line):
    """The reply to line, a listing read to its end."""
    reply = w.line()
    if closing_reply(line, reply):
        return reply
    word, params = command_word(line)
    if not (reply.startswith(b"+OK") or reply.startswith(b"-ERR") or reply.startswith(b"+ ")):
        raise ValueError("not a POP3 reply: %r" % reply[:80])
    bare = params.strip(bytes(range(33))) == b""
    if reply.startswith(b"+OK") and (word in (b"RETR", b"TOP") or (word in (b"LIST", b"UIDL", b"AUTH") and bare)):
        w.until_dot()
    return reply


def pop3_run(w, r, steps, sent):
    first = w.line()
    if not first.startswith(b"+OK"):
        raise ValueError("greeting %r" % first[:80])
    i = 0
    while i < len(steps):
        n = pipelined(r, steps, i, POP3_EXCHANGES)
        if n > 1:
            batch = steps[i:i + n]
            send_batch(w, sent, batch)
            for line in batch:
                if closing_reply(line, pop3_answer(w, line)):
                    return
            i += n
            continue
        line = steps[i]
        i += 1
        sent.append(line)
        w.send(line + b"\r\n")
        reply = pop3_answer(w, line)
        if closing_reply(line, reply):
            return
        word, _ = command_word(line)
        while reply.startswith(b"+ "):
            cont = r.choice([b"*", base64.b64encode(rand_word(r)), junk(r), base64.b64encode(b"alice@fuzz.test x")])
            sent.append(cont)
            w.send(cont + b"\r\n")
            reply = w.line()
            if closing_reply(cont, reply):
                return
        if word == b"QUIT" and reply.startswith(b"+OK"):
            return


# --- IMAP4

SEQ = [b"1", b"2", b"3", b"1:*", b"*", b"2:3", b"1,3", b"0", b"4294967295", b"1:0", b"3:1", b"5"]
FETCH_ITEMS = [b"FLAGS", b"UID", b"RFC822.SIZE", b"INTERNALDATE", b"ENVELOPE", b"BODYSTRUCTURE", b"BODY",
               b"BODY[]", b"BODY.PEEK[HEADER]", b"BODY[TEXT]", b"BODY[1]", b"BODY[1.MIME]", b"BODY[2.1]",
               b"BODY[HEADER.FIELDS (SUBJECT FROM)]", b"BODY[HEADER.FIELDS.NOT (TO)]", b"BODY[]<0.10>",
               b"BODY[]<5.>", b"RFC822", b"RFC822.HEADER", b"RFC822.TEXT", b"ALL", b"FAST", b"FULL"]
SEARCH_KEYS = [b"ALL", b"SEEN", b"UNSEEN", b"DELETED", b"FLAGGED", b"NEW", b"OLD", b"RECENT", b"ANSWERED",
               b"SUBJECT m1", b"FROM x", b"TO alice", b"BODY dot", b"TEXT body", b"HEADER Message-ID 1",
               b"LARGER 10", b"SMALLER 100000", b"BEFORE 1-Jan-2030", b"SINCE 1-Jan-2000", b"ON 9-Dec-2026",
               b"UID 1:*", b"1:2", b"KEYWORD x", b"CHARSET UTF-8 SUBJECT m"]
MAILBOXES = [b"INBOX", b"Work", b"\"Work/Sub\"", b"\"a b\"", b"&AKM-", b"&Jjo-x", b"&-", b"&AAA", b"\"\"",
             b"..", b"../x", b"*", b"%", b"Work/*", b"\"inbox\""]


def search_key(r, depth=0):
    k = r.random()
    if depth < 3 and k < 0.15:
        return b"NOT " + search_key(r, depth + 1)
    if depth < 3 and k < 0.3:
        return b"OR " + search_key(r, depth + 1) + b" " + search_key(r, depth + 1)
    if depth < 3 and k < 0.4:
        return b"(" + search_key(r, depth + 1) + b" " + search_key(r, depth + 1) + b")"
    return r.choice(SEARCH_KEYS)


def imap_command(r, tag):
    k = r.random()
    user, pw = r.choice(USERS)
    if k < 0.08:
        body = r.choice([b"LOGIN " + user.encode() + b" " + pw.encode(), b"LOGIN \"" + user.encode() + b"\" \"" +
                         pw.encode() + b"\"", b"LOGIN " + junk(r) + b" " + junk(r), b"LOGIN"])
    elif k < 0.16:
        body = r.choice([b"SELECT ", b"EXAMINE ", b"STATUS ", b"CREATE ", b"DELETE ", b"SUBSCRIBE ",
                         b"UNSUBSCRIBE "]) + r.choice(MAILBOXES)
        if body.startswith(b"STATUS"):
            body += b" (" + b" ".join(r.sample([b"MESSAGES", b"RECENT", b"UIDNEXT", b"UIDVALIDITY", b"UNSEEN",
                                               b"BOGUS"], r.randint(0, 3))) + b")"
    elif k < 0.2:
        body = b"RENAME " + r.choice(MAILBOXES) + b" " + r.choice(MAILBOXES)
    elif k < 0.26:
        body = r.choice([b"LIST ", b"LSUB "]) + r.choice([b"\"\" ", b"INBOX ", b"\"Work\" "]) + r.choice(
            [b"*", b"%", b"\"\"", b"Work/%", b"*/*/*/*", junk(r)])
    elif k < 0.42:
        n = r.randint(1, 4)
        items = r.sample(FETCH_ITEMS, n)
        lst = items[0] if n == 1 and r.random() < 0.5 else b"(" + b" ".join(items) + b")"
        body = r.choice([b"FETCH ", b"UID FETCH "]) + r.choice(SEQ) + b" " + lst
    elif k < 0.52:
        body = r.choice([b"SEARCH ", b"UID SEARCH "]) + b" ".join(search_key(r) for _ in range(r.randint(1, 3)))
    elif k < 0.6:
        flags = b" ".join(r.sample([b"\\Seen", b"\\Deleted", b"\\Flagged", b"\\Answered", b"\\Draft", b"$x"],
                                   r.randint(0, 3)))
        body = r.choice([b"STORE ", b"UID STORE "]) + r.choice(SEQ) + b" " + r.choice(
            [b"+FLAGS", b"-FLAGS", b"FLAGS", b"+FLAGS.SILENT", b"BOGUS"]) + b" (" + flags + b")"
    elif k < 0.65:
        body = r.choice([b"COPY ", b"UID COPY "]) + r.choice(SEQ) + b" " + r.choice(MAILBOXES)
    elif k < 0.72:
        body = r.choice([b"NOOP", b"CHECK", b"CLOSE", b"EXPUNGE", b"CAPABILITY", b"NAMESPACE", b"STARTTLS"])
    elif k < 0.76:
        body = b"AUTHENTICATE " + r.choice([b"CRAM-MD5", b"PLAIN", b"LOGIN", junk(r)])
    elif k < 0.82:
        body = b"APPEND " + r.choice(MAILBOXES) + r.choice([b"", b" (\\Seen)", b" \"09-Dec-2026 10:00:00 +0000\""])
        return body, tag, True
    elif k < 0.84:
        body = b"LOGOUT"
    else:
        body = junk(r)
    return body, tag, False


def imap_session(r):
    steps = []
    if r.random() < 0.8:
        user, pw = r.choice(USERS)
        steps.append((b"LOGIN " + user.encode() + b" " + pw.encode(), False))
        if r.random() < 0.8:
            steps.append((b"SELECT INBOX", False))
    for _ in range(r.randint(1, 25)):
        body, _, literal = imap_command(r, b"")
        steps.append((mangle(r, body) if not literal else body, literal))
    return steps


def imap_reply(w, tag, on_continue):
    """Lines up to the tagged one (literals taken whole); on_continue answers
    a "+ " line. The tagged line, or an untagged BYE that closed."""
    while True:
        line = piece = w.line()
        # A literal's bytes, then the rest of the same response line.
        while True:
            m = re.search(rb"\{(\d+)\}$", piece)
            if not m:
                break
            w.exactly(int(m.group(1)))
            piece = w.line()
        if line.startswith(tag + b" "):
            return line
        if line.startswith(b" ") or line.startswith(b"* OK") is False and re.match(rb"[^ *+]+ (OK|NO|BAD) ", line):
            raise ValueError("completion with another tag: %r" % line[:80])
        if line.startswith(b"+"):
            if not on_continue():
                continue
        elif not line.startswith(b"* "):
            raise ValueError("not an IMAP reply: %r" % line[:80])


IMAP_EXCHANGES = (b"AUTHENTICATE", b"LOGOUT", b"STARTTLS", b"APPEND")


def imap_run(w, r, steps, sent):
    w.line()  # greeting
    n = 0
    while n < len(steps):
        count = pipelined(r, [body for body, _ in steps], n, IMAP_EXCHANGES)
        if count > 1 and not any(literal for _, literal in steps[n:n + count]):
            tags = [b"t%d" % k for k in range(n, n + count)]
            lines = [tag + b" " + body for tag, (body, _) in zip(tags, steps[n:n + count])]
            send_batch(w, sent, lines)
            for tag in tags:
                imap_reply(w, tag, lambda: True)
            n += count
            continue
        body, literal = steps[n]
        tag = b"t%d" % n
        n += 1
        if literal:
            size = r.choice([10, 100, 3000, 0, -1])
            msg = (b"Subject: a\r\n\r\n" + b"x" * max(0, size))[:max(size, 0)]
            line = tag + b" " + body + b" {" + str(size).encode() + b"}"
        else:
            msg = None
            line = tag + b" " + body
        sent.append(line)
        w.send(line + b"\r\n")
        conts = []

        def on_continue():
            if msg is not None and not conts:
                conts.append(1)
                sent.append(msg)
                w.send(msg + b"\r\n")
                return True
            cont = r.choice([b"*", base64.b64encode(rand_word(r)), junk(r)])
            sent.append(cont)
            w.send(cont + b"\r\n")
            return True

        reply = imap_reply(w, tag, on_continue)
        if closing_reply(line, reply):
            return
        if command_word(body)[0] == b"LOGOUT" and b" OK" in reply:
            return


PROTOCOLS = {
    "smtp": (lambda s: s.smtp, smtp_session, smtp_run),
    "pop3": (lambda s: s.pop3, pop3_session, pop3_run),
    "imap": (lambda s: s.imap, imap_session, imap_run),
}


def run_session(service, proto, seed):
    """None, or a finding: (kind, detail, lines sent)."""
    port_of, make, run = PROTOCOLS[proto]
    r = random.Random("%s:%d" % (proto, seed))
    steps = make(r)
    sent = []
    try:
        w = Wire(port_of(service))
    except OSError as e:
        return ("refused", str(e), sent)
    try:
        run(w, r, steps, sent)
    except NoReply:
        return ("no reply", "nothing within %.0f s" % REPLY_WAIT, sent)
    except Closed:
        # A close is fine right after a reply that announced it; not before one.
        if sent and not service.alive():
            return ("crash", "the service ended", sent)
        last = sent[-1] if sent else b""
        word, _ = command_word(last.split(b" ", 1)[-1] if proto == "imap" else last)
        if len(last) < 60000 and word not in (b"QUIT", b"LOGOUT"):
            return ("closed without reply", "", sent)
    except ValueError as e:
        return ("bad reply", str(e), sent)
    finally:
        w.close()
    return None


def report(proto, seed, finding):
    kind, detail, sent = finding
    print("FOUND %s in %s session %d: %s" % (kind, proto, seed, detail))
    print("  replay: wirefuzz.py --replay %s:%d" % (proto, seed))
    for line in sent[-6:]:
        print("  sent: %r" % (line[:200] + (b"..." if len(line) > 200 else b"")))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--binary", default=os.path.join(vxharness.BIN_DIR, "VxMailServers"))
    ap.add_argument("--tools", help="folder of the tests' helper programs (vxsc), when not VX_BIN_DIR")
    ap.add_argument("--protocols", default="smtp,pop3,imap")
    ap.add_argument("--seconds", type=float, default=20.0, help="per protocol")
    ap.add_argument("--sessions", type=int, default=10 ** 9, help="at most, per protocol")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--replay", help="PROTO:SEED: that one session, with every line sent")
    args = ap.parse_args()
    # Findings show as they come; a TERM still stops the service and clears
    # its folder.
    sys.stdout.reconfigure(line_buffering=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    if args.tools:
        vxharness.BIN_DIR = args.tools

    service = Service(args.binary)
    findings = 0
    try:
        if args.replay:
            proto, seed = args.replay.split(":")
            f = run_session(service, proto, int(seed))
            if f:
                report(proto, int(seed), f)
                findings += 1
            else:
                print("no finding")
        else:
            for proto in args.protocols.split(","):
                deadline = time.monotonic() + args.seconds
                count = 0
                seed = args.seed * 1000003
                while count < args.sessions and time.monotonic() < deadline and service.alive():
                    f = run_session(service, proto, seed + count)
                    if f:
                        report(proto, seed + count, f)
                        findings += 1
                    count += 1
                print("%s: %d sessions, %d findings so far" % (proto, count, findings))
                if not service.alive():
                    print("FOUND crash: the service ended (exit %s)" % service.proc.returncode)
                    findings += 1
                    break
    finally:
        reports = service.close()
    for line in reports[:20]:
        print("FOUND sanitizer report: %s" % line.decode("latin-1"))
    findings += len(reports)
    print("%d passed, %d failed" % (0 if findings else 1, 1 if findings else 0))
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
