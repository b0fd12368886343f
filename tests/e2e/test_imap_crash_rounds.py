"""kill -9 of the service while IMAP sessions APPEND, COPY, STORE and
EXPUNGE and SMTP delivers, round after round: after each restart every
acknowledged message is there byte for byte under the UID it was given,
every acknowledged flag is set, no expunged message is back, no UID names two
messages, and UIDNEXT is above every UID given."""

import collections
import imaplib
import os
import random
import re
import signal
import smtplib
import threading
import time
import unittest
import warnings

from vxharness import ProgramFolder, free_port, listening, local_settings

ROUNDS = 20
EXTRA_ROUNDS = 20
USER, PASSWORD = "bob@example.test", "secret"
# How long the sessions work before the kill, in seconds.
WORK = 0.6


def mail(tag):
    return (b"From: Alice <alice@example.test>\r\nTo: bob@example.test\r\n"
            b"Subject: %s\r\n\r\nbody %s\r\n%s\r\n" % (tag.encode(), tag.encode(), b"x" * (len(tag) * 13 % 200)))


def fetch_bodies(m):
    """{uid: (flags, bytes)} of the selected mailbox."""
    typ, data = m.uid("FETCH", "1:*", "(UID FLAGS BODY.PEEK[])")
    assert typ == "OK", data
    out = {}
    for d in data:
        if not isinstance(d, tuple):
            continue
        uid = int(re.search(rb"UID (\d+)", d[0]).group(1))
        flags = set(re.search(rb"FLAGS \(([^)]*)\)", d[0]).group(1).decode().split())
        assert uid not in out, "UID %d listed twice" % uid
        out[uid] = (flags, d[1])
    return out


class ImapCrashRounds(unittest.TestCase):
    def setUp(self):
        # Sessions cut off by the kill are left to the collector.
        warnings.simplefilter("ignore", ResourceWarning)
        self.t = ProgramFolder()
        self.smtp, self.imap = free_port(), free_port()
        self.t.write_settings(local_settings(self.smtp, imap=self.imap, users=[("Bob", USER, PASSWORD)]))
        self.lock = threading.Lock()
        self.appended = {}        # INBOX uid -> bytes (APPENDUID acknowledged)
        self.flagged = set()      # uids whose +FLAGS (\Flagged) was acknowledged
        self.copied = collections.Counter()  # bytes -> acknowledged copies into "Copies"
        self.delivered = []       # bytes acknowledged by SMTP
        self.doomed = {}          # uid -> bytes of messages marked \Deleted (gone or not)
        self.gone = set()         # uids whose EXPUNGE was acknowledged
        self.seen = {"INBOX": {}, "Copies": {}}  # uid -> bytes ever seen
        self.highest = {"INBOX": 0, "Copies": 0}
        self.rng = random.Random(26)

    def tearDown(self):
        self.t.cleanup()

    def session(self, mailbox="INBOX"):
        m = imaplib.IMAP4("127.0.0.1", self.imap, timeout=10)
        m.login(USER, PASSWORD)
        if mailbox:
            m.select(mailbox)
        return m

    # ---- the load of one round; every worker ends at the kill

    def appender(self, stop, tag):
        m = self.session(None)
        n = 0
        while not stop.is_set():
            n += 1
            body = mail("%s-%d" % (tag, n))
            typ, data = m.append("INBOX", None, None, body)
            found = typ == "OK" and re.search(rb"APPENDUID \d+ (\d+)", data[0])
            if found:
                with self.lock:
                    self.appended[int(found.group(1))] = body

    def storer(self, stop):
        m = self.session()
        while not stop.is_set():
            with self.lock:
                candidates = sorted(set(self.appended) - self.flagged)
            if not candidates:
                time.sleep(0.02)
                continue
            uid = self.rng.choice(candidates)
            # A session addresses the messages it was told of (as Dovecot's
            # do): another session's append is told at its next command.
            m.noop()
            if m.uid("STORE", str(uid), "+FLAGS.SILENT", r"(\Flagged)")[0] == "OK":
                with self.lock:
                    self.flagged.add(uid)

    def copier(self, stop):
        m = self.session()
        while not stop.is_set():
            with self.lock:
                candidates = sorted(self.appended)
            if not candidates:
                time.sleep(0.02)
                continue
            uid = self.rng.choice(candidates)
            m.noop()
            if m.uid("COPY", str(uid), "Copies")[0] == "OK":
                with self.lock:
                    self.copied[self.appended[uid]] += 1

    def expunger(self, stop, tag):
        m = self.session()
        n = 0
        while not stop.is_set():
            mine = []
            for _ in range(3):
                n += 1
                body = mail("%s-%d" % (tag, n))
                typ, data = m.append("INBOX", None, None, body)
                found = typ == "OK" and re.search(rb"APPENDUID \d+ (\d+)", data[0])
                if found:
                    mine.append((int(found.group(1)), body))
            if not mine:
                continue
            uid, body = mine[0]
            with self.lock:
                self.doomed[uid] = body
                for other, other_body in mine[1:]:
                    self.appended[other] = other_body
            if m.uid("STORE", str(uid), "+FLAGS.SILENT", r"(\Deleted)")[0] == "OK" and m.expunge()[0] == "OK":
                with self.lock:
                    self.gone.add(uid)

    def deliverer(self, stop, tag):
        with smtplib.SMTP("127.0.0.1", self.smtp, timeout=10) as s:
            n = 0
            while not stop.is_set():
                n += 1
                body = mail("%s-%d" % (tag, n))
                s.sendmail("alice@example.test", [USER], body)
                with self.lock:
                    self.delivered.append(body)

    def run_round(self, rnd):
        stop = threading.Event()
        workers = [(self.appender, "a%d" % rnd), (self.storer,), (self.copier,), (self.expunger, "e%d" % rnd),
                   (self.deliverer, "d%d" % rnd)]

        def guarded(fn, *args):
            try:
                fn(stop, *args)
            except (OSError, EOFError, imaplib.IMAP4.error, smtplib.SMTPException):
                pass  # killed under it: only what was acknowledged counts

        threads = [threading.Thread(target=guarded, args=w) for w in workers]
        for th in threads:
            th.start()
        time.sleep(WORK)
        os.kill(self.t.procs[-1].pid, signal.SIGKILL)
        self.t.procs[-1].wait()
        stop.set()
        for th in threads:
            th.join(timeout=30)

    # ---- what must hold after each restart

    def check(self, rnd):
        m = self.session(None)
        m.create("Copies")  # NO when it exists already
        for box in ("INBOX", "Copies"):
            self.assertEqual(m.select(box)[0], "OK")
            stored = fetch_bodies(m)
            for uid, (flags, body) in stored.items():
                # A UID names one message for ever.
                self.assertEqual(self.seen[box].setdefault(uid, body), body,
                                 "round %d: %s UID %d names other bytes" % (rnd, box, uid))
                self.highest[box] = max(self.highest[box], uid)
            if box == "INBOX":
                with self.lock:
                    for uid, body in self.appended.items():
                        self.assertIn(uid, stored, "round %d: appended UID %d lost" % (rnd, uid))
                        self.assertEqual(stored[uid][1], body, "round %d: UID %d damaged" % (rnd, uid))
                        self.highest[box] = max(self.highest[box], uid)
                    for uid in self.flagged:
                        self.assertIn(r"\Flagged", stored[uid][0], "round %d: flag of UID %d lost" % (rnd, uid))
                    for uid in self.gone:
                        self.assertNotIn(uid, stored, "round %d: expunged UID %d is back" % (rnd, uid))
                    self.highest[box] = max([self.highest[box], *self.doomed])
                    bodies = [body for _, body in stored.values()]
                    for body in self.delivered:
                        self.assertTrue(any(b.endswith(body) for b in bodies),
                                        "round %d: delivered message lost" % rnd)
            else:
                have = collections.Counter(body for _, body in stored.values())
                with self.lock:
                    for body, count in self.copied.items():
                        self.assertGreaterEqual(have[body], count, "round %d: acknowledged copy lost" % rnd)
            typ, data = m.status(box, "(UIDNEXT)")
            uidnext = int(re.search(rb"UIDNEXT (\d+)", data[0]).group(1))
            self.assertGreater(uidnext, self.highest[box], "round %d: %s UIDNEXT %d" % (rnd, box, uidnext))
        m.logout()

    def start(self):
        self.t.start_foreground()
        self.assertTrue(listening(self.smtp, self.imap), "the service did not open its ports")

    def test_acknowledged_changes_survive_kill_rounds(self):
        self.start()
        self.check(0)
        rnd = 0
        # A loaded machine may finish no expunge (three appends, a store and
        # an expunge) inside some rounds: a few more rounds, until every kind
        # of change was acknowledged before a kill at least once.
        while rnd < ROUNDS or (rnd < ROUNDS + EXTRA_ROUNDS and not (self.gone and self.flagged and any(self.copied.values()))):
            rnd += 1
            self.run_round(rnd)
            self.start()
            self.check(rnd)
        self.assertGreater(len(self.appended), ROUNDS)
        self.assertGreater(len(self.flagged), 0)
        self.assertGreater(len(self.gone), 0)
        self.assertGreater(sum(self.copied.values()), 0)


if __name__ == "__main__":
    unittest.main()
