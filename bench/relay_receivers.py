#!/usr/bin/python3
"""VxMail's relay against a real receiver: a private Postfix (smtpd ->
virtual(8) -> Maildir, on 127.0.5.1:25 and 127.0.5.3:25) and dnsmasq on
127.0.5.2:53 naming it the exchanger of pf1.test, pf2.test and strict.test.
Two checks, each printed PASS or FAIL with what was found:

  two-domains   one message to a recipient of pf1.test and one of pf2.test
                arrives once in each Maildir, byte for byte below the trace
                lines (Maildir files end their lines in LF).
  strict-30     strict.test's smtpd has reject_non_fqdn_helo_hostname and
                smtpd_recipient_limit = 10: a message to 30 recipients, one
                unknown, reaches the 29 once each, and the unknown one is
                filed in VxMail's Bad folder.

As root, from the repository root, after building the service program:

    /usr/bin/python3 bench/relay_receivers.py [--binary build/bin/VxMailServers]

Everything it starts is stopped by process id and its folders removed.
Not part of ctest: Postfix runs as root and takes seconds to start."""

import argparse
import glob
import grp
import os
import pwd
import smtplib
import socket
import subprocess
import sys
import time

import mail_peers
from mail_peers import POSTFIX, VMAIL_GROUP, VMAIL_USER, make_temp, start
from vxharness import Dnsmasq, ProgramFolder, free_port, listening, wait_for  # noqa: E402

RELAXED, STRICT, LIMIT, DNS = "127.0.5.1", "127.0.5.3", "127.0.5.4", "127.0.5.2"
DOMAINS = ("pf1.test", "pf2.test", "strict.test", "limit.test")
EXCHANGERS = {"pf1.test": RELAXED, "pf2.test": RELAXED, "strict.test": STRICT, "limit.test": LIMIT}
# With a Date: Postfix adds one to a message that has none.
MESSAGE = (b"From: Alice <alice@example.com>\r\nSubject: to Postfix\r\nMessage-ID: <pf1@example.com>\r\n"
           b"Date: Wed, 9 Dec 2026 10:00:00 +0000\r\n"
           b"X-Mailer: bench\r\n\r\nfirst line\r\n.leading dot\r\n8-bit: \xe4\xf6\xfc\r\n"
           b"\tindented\r\nlast line\r\n")
# Thirty recipients, the 14th not in the mailbox table.
def thirty(domain):
    return ["u%02d@%s" % (i, domain) for i in range(30)]


UNKNOWN = "u13@"


class PostfixReceiver:
    """The private Postfix: two smtpd services, the strict one with its own
    restrictions, all three domains delivered to Maildirs under base."""

    def __init__(self, users):
        self.dir = make_temp("relaypf")
        uid, gid = pwd.getpwnam(VMAIL_USER).pw_uid, grp.getgrnam(VMAIL_GROUP).gr_gid
        self.base = os.path.join(self.dir, "vmail")
        for d in [self.base] + [os.path.join(self.base, x) for x in DOMAINS]:
            os.makedirs(d, exist_ok=True)
            os.chown(d, uid, gid)
        conf, queue, data = (os.path.join(self.dir, x) for x in ("postfix", "spool", "data"))
        for d in (conf, queue, data):
            os.makedirs(d)
        os.chown(data, pwd.getpwnam("postfix").pw_uid, grp.getgrnam("postfix").gr_gid)
        with open(os.path.join(conf, "vmailbox"), "w") as f:
            for u in users:
                local, domain = u.split("@")
                f.write("%s %s/%s/\n" % (u, domain, local))
        subst = dict(conf=conf, queue=queue, data=data, base=self.base, uid=uid, gid=gid, dir=self.dir,
                     domain=" ".join(DOMAINS), port=25)
        here = os.path.join(mail_peers.HERE, "peer_configs")
        with open(os.path.join(here, "postfix-main.cf")) as src:
            main = src.read().format(**subst)
        # The smtpd lines name their own addresses (no interface carries 127.0.5.x).
        main = main.replace("inet_interfaces = 127.0.0.1", "inet_interfaces = all")
        with open(os.path.join(here, "postfix-master.cf")) as src:
            master = src.read().format(**subst).splitlines()
        smtpd = [l for l in master if " inet " in l][0]
        rest = [l for l in master if " inet " not in l]
        master = rest[:1] + [
            smtpd.replace("127.0.0.1:25", RELAXED + ":25"),
            smtpd.replace("127.0.0.1:25", STRICT + ":25"),
            "  -o smtpd_helo_required=yes",
            "  -o smtpd_helo_restrictions=reject_non_fqdn_helo_hostname",
            "  -o smtpd_recipient_limit=10",
            smtpd.replace("127.0.0.1:25", LIMIT + ":25"),
            "  -o smtpd_recipient_limit=10",
        ] + rest[1:]
        with open(os.path.join(conf, "main.cf"), "w") as f:
            f.write(main)
        with open(os.path.join(conf, "master.cf"), "w") as f:
            f.write("\n".join(master) + "\n")
        check = subprocess.run([POSTFIX, "-c", conf, "check"], capture_output=True, text=True, timeout=60)
        if check.returncode:
            raise RuntimeError("postfix check failed: " + (check.stderr or check.stdout).strip())
        self.peer = mail_peers.Peer.__new__(mail_peers.Peer)   # its stop steps, on this configuration
        self.peer.postfix_conf = conf
        self.peer.master_pid_file = os.path.join(queue, "pid", "master.pid")
        mail_peers._finalizers.append(self.peer.stop_postfix)
        self.proc = start([POSTFIX, "-c", conf, "start-fg"], os.path.join(self.dir, "postfix.out"))
        for address in (RELAXED, STRICT, LIMIT):
            if not wait_for(lambda: self._open(address), 20):
                raise RuntimeError("Postfix did not open %s:25 (see %s)" % (address, self.dir))

    @staticmethod
    def _open(address):
        try:
            socket.create_connection((address, 25), timeout=0.2).close()
            return True
        except OSError:
            return False

    def delivered(self, rcpt):
        local, domain = rcpt.split("@")
        files = []
        for sub in ("new", "cur"):
            for path in sorted(glob.glob(os.path.join(self.base, domain, local, sub, "*"))):
                with open(path, "rb") as f:
                    files.append(f.read())
        return files


def below_trace_lines(data):
    """The file's bytes after its leading trace fields (Return-Path,
    X-Original-To, Delivered-To, Received, with their folds)."""
    lines = data.split(b"\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        if line[:1] in (b" ", b"\t") and i > 0 or line.split(b":")[0].lower() in (
                b"return-path", b"x-original-to", b"delivered-to", b"received"):
            i += 1
            continue
        break
    return b"\n".join(lines[i:])


def submit(port, rcpts, message):
    with smtplib.SMTP("127.0.0.1", port, timeout=30) as s:
        s.login("alice@example.com", "secret")
        s.sendmail("alice@example.com", rcpts, message)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--binary", default=os.path.join(mail_peers.ROOT, "build", "bin", "VxMailServers"))
    args = ap.parse_args()
    os.environ["VX_BIN_DIR"] = os.path.dirname(os.path.abspath(args.binary))
    results = []
    dns = vx = None
    try:
        users = ["bob@pf1.test", "carol@pf2.test"] + [u for d in ("strict.test", "limit.test") for u in thirty(d)
                                                      if not u.startswith(UNKNOWN)]
        pf = PostfixReceiver(users)
        dns = Dnsmasq(["--mx-host=%s,%s,10" % (d, a) for d, a in EXCHANGERS.items()], address=DNS)
        vx = ProgramFolder()
        smtp = free_port()
        vx.write_settings([
            ("SMTP", [("Port", str(smtp)), ("DnsServer", DNS), ("RelayInterval", "200"), ("RetryWaits", "1")]),
            ("POP3", [("Port", str(free_port()))]), ("IMAP", [("Port", str(free_port()))]),
            ("USERS", [("Count", "1")]), ("USER0", [("UserName", "alice@example.com"), ("Password", "secret")]),
        ])
        vx.start_foreground()
        if not listening(smtp):
            raise RuntimeError("VxMailServers did not open its port")

        submit(smtp, ["bob@pf1.test", "carol@pf2.test"], MESSAGE)
        got = wait_for(lambda: pf.delivered("bob@pf1.test") and pf.delivered("carol@pf2.test"), 30)
        time.sleep(1)
        want = MESSAGE.replace(b"\r\n", b"\n")
        found = {r: pf.delivered(r) for r in ("bob@pf1.test", "carol@pf2.test")}
        # VxMail's own trace lines are Received fields too: what is left is the message itself.
        ok = bool(got) and all(len(f) == 1 and below_trace_lines(f[0]) == want for f in found.values())
        results.append(("two-domains", ok, "copies %s" % {r: len(f) for r, f in found.items()}))
        if not ok and found["bob@pf1.test"]:
            got_text = below_trace_lines(found["bob@pf1.test"][0])
            results.append(("two-domains file", True, "%r != %r" % (got_text, want)))

        # strict-30 needs a fully qualified EHLO name; limit-30 the same
        # without the HELO rule.
        for check, domain in (("limit-30", "limit.test"), ("strict-30", "strict.test")):
            rcpts = thirty(domain)
            unknown = UNKNOWN + domain
            known = [u for u in rcpts if u != unknown]
            bad_before = set(glob.glob(vx.file("Bad", "*.ENV")))
            body = ("Subject: thirty\r\nMessage-ID: <%s@example.com>\r\n\r\nto thirty\r\n" % check).encode()
            submit(smtp, rcpts, body)
            new_bad = lambda: set(glob.glob(vx.file("Bad", "*.ENV"))) - bad_before
            wait_for(lambda: all(pf.delivered(u) for u in known) and new_bad(), 60)
            time.sleep(1)
            counts = [len(pf.delivered(u)) for u in known]
            bad = sorted(new_bad())
            bad_rcpts = [r.decode() for b in bad for r in open(b, "rb").read().split(b"\r\n")[1:-1]]
            queued = glob.glob(vx.file("RelayQueue", "*.ENV"))
            ok = counts == [1] * 29 and bad_rcpts == [unknown] and not queued
            results.append((check, ok, "delivered once: %d of 29, more than once: %d, in Bad: %s, queued: %d" % (
                counts.count(1), sum(1 for c in counts if c > 1), bad_rcpts[:3], len(queued))))
            if not ok:
                log = [l for l in vx.log_lines() if domain in l and ("暂缓" in l or "拒绝" in l)]
                results.append((check + " log", True, "\n    ".join(log[-4:])))
            for f in queued:
                os.remove(f)
    finally:
        if vx:
            vx.cleanup()
        if dns:
            dns.stop()
        mail_peers.cleanup()
    for name, ok, detail in results:
        print("%-14s %s  %s" % (name, "PASS" if ok else "FAIL", detail))
    return 0 if all(ok for _, ok, _ in results) else 1


if __name__ == "__main__":
    sys.exit(main())
