"""Several IMAP sessions on one mailbox of the real service, with POP3 and
SMTP beside them: each session's numbers mean what it was told (an expunge by
another session, a POP3 deletion, an SMTP delivery are told at its next
command), the untagged updates match a reference server's (golden files of
bench/imap_sessions_golden.py), and a randomised run checks every reply
against a model of what each session was told."""

import os
import poplib
import random
import re
import smtplib
import unittest

import imap_exchanges as ex
from vxharness import free_port, local_settings, ProgramFolder, start_listening

GOLDEN = os.path.join(os.path.dirname(__file__), "..", "data", "imap_sessions")
PASSWORD = "secret"


def user(name):
    return "%s@example.test" % name


class ImapSessions(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.t = ProgramFolder()
        cls.smtp, cls.pop3, cls.imap = free_port(), free_port(), free_port()
        names = ["g_" + n for n in ex.EXCHANGES] + ["pop", "smtp"] + ["model%d" % i for i in range(3)]
        cls.t.write_settings(local_settings(cls.smtp, cls.pop3, cls.imap, users=[(user(n), PASSWORD) for n in names]))
        start_listening(cls.t, (cls.smtp, cls.pop3, cls.imap))

    @classmethod
    def tearDownClass(cls):
        cls.t.cleanup()

    def connect(self):
        return ex.Session("127.0.0.1", self.imap)

    def login(self, name):
        def go(s):
            untagged, tagged = s.command("LOGIN %s %s" % (user(name), PASSWORD))
            self.assertTrue(tagged.startswith("OK"), tagged)
        return go

    def session(self, name, mailbox="INBOX"):
        s = self.connect()
        self.login(name)(s)
        self.assertTrue(s.command("SELECT " + mailbox)[1].startswith("OK"))
        return s

    def deliver(self, name, *numbers):
        with smtplib.SMTP("127.0.0.1", self.smtp, timeout=10) as s:
            for n in numbers:
                s.sendmail("alice@example.test", [user(name)], ex.message(n))

    def test_exchanges_answer_as_the_reference_server(self):
        for name, steps in sorted(ex.EXCHANGES.items()):
            with self.subTest(exchange=name):
                got = ex.render(ex.play(steps, self.connect, self.login("g_" + name)))
                with open(os.path.join(GOLDEN, name + ".golden"), newline="") as f:
                    self.assertEqual(got, f.read())

    def test_pop3_deletion_is_told_and_never_shifts_numbers(self):
        self.deliver("pop", 1, 2, 3, 4)
        a = self.session("pop")
        # POP3 deletes message 1 while the IMAP session is open.
        p = poplib.POP3("127.0.0.1", self.pop3, timeout=10)
        p.user(user("pop"))
        p.pass_(PASSWORD)
        p.dele(1)
        p.quit()
        # Inside FETCH the numbers still mean what they meant.
        untagged, tagged = a.command("FETCH 2 (UID BODY.PEEK[HEADER.FIELDS (SUBJECT)])")
        self.assertIn("UID 2 ", untagged[0])
        self.assertIn("Subject: message 2", untagged[0])
        # STORE 2 + EXPUNGE deletes message 2, not message 3.
        a.command("STORE 2 +FLAGS.SILENT (\\Deleted)")
        untagged, tagged = a.command("EXPUNGE")
        # Highest first; the SELECT took the four as recent, two are left.
        self.assertEqual(untagged, ["* 2 EXPUNGE", "* 1 EXPUNGE", "* 2 RECENT"])
        untagged, tagged = a.command("FETCH 1:* (BODY.PEEK[HEADER.FIELDS (SUBJECT)])")
        self.assertEqual([re.search(r"message (\d)", u).group(1) for u in untagged], ["3", "4"])

    def test_smtp_delivery_is_announced_to_every_session(self):
        self.deliver("smtp", 1, 2)
        a, b = self.session("smtp"), self.session("smtp")
        self.deliver("smtp", 3)
        # Recent in the first session told (whose SELECT took the first two).
        self.assertEqual(a.command("NOOP")[0], ["* 3 EXISTS", "* 3 RECENT"])
        self.assertEqual(b.command("NOOP")[0], ["* 3 EXISTS"])
        # A number never told names nothing; after the command it is told.
        self.deliver("smtp", 4)
        untagged, tagged = b.command("FETCH 4 (UID)")
        self.assertEqual((untagged, tagged[:2]), (["* 4 EXISTS", "* 1 RECENT"], "OK"))

    def test_randomised_sessions_match_the_model(self):
        for seed, sessions, name in ((20261209, 2, "model0"), (7, 3, "model1"), (1234, 5, "model2")):
            with self.subTest(seed=seed, sessions=sessions):
                Model(self, name, random.Random(seed), sessions).run(120)


class Model:
    """What each session was told, checked after every reply: its view is the
    UIDs in order; EXISTS never drops below the view; a FETCH for number n
    names the UID at n; an EXPUNGE removes a number the session has; new UIDs
    are above every UID given before in the mailbox (never reused); after a
    NOOP the view is exactly what the mailbox holds."""

    def __init__(self, test, name, rng, count):
        self.test, self.name, self.rng = test, name, rng
        test.deliver(name, 1, 2, 3)
        self.sessions = [test.session(name) for _ in range(count)]
        self.views = [None] * count
        self.next_message = 4
        # UIDs each session was told are expunged: never told of again.
        self.retired = [set() for _ in range(count)]
        for i in range(count):
            self.views[i] = self.fetch_uids(i)

    def fetch_uids(self, i):
        untagged, tagged = self.sessions[i].command("FETCH 1:* (UID)")
        if self.views[i] is not None:
            self.check(i, untagged, "FETCH")
        return [int(re.search(r"UID (\d+)", u).group(1)) for u in untagged if re.search(r" FETCH \(UID \d+\)$", u)]

    def check(self, i, untagged, command):
        view = self.views[i]
        expunge_allowed = not re.match(r"(FETCH|STORE|SEARCH) ", command)
        for line in untagged:
            m = re.match(r"\* (\d+) (EXPUNGE|EXISTS|RECENT|FETCH)(.*)$", line, re.S)
            if not m:
                continue
            n, kind, rest = int(m.group(1)), m.group(2), m.group(3)
            if kind == "EXPUNGE":
                self.test.assertTrue(expunge_allowed, "%s: EXPUNGE inside %s" % (line, command))
                self.test.assertTrue(1 <= n <= len(view), line)
                if view[n - 1] is not None:
                    self.retired[i].add(view[n - 1])
                del view[n - 1]
            elif kind == "EXISTS":
                self.test.assertGreaterEqual(n, len(view), "EXISTS went down: %s" % line)
                view.extend([None] * (n - len(view)))
            elif kind == "FETCH":
                self.test.assertTrue(1 <= n <= len(view), line)
                uid = re.search(r"UID (\d+)", rest)
                if uid:
                    uid = int(uid.group(1))
                    if view[n - 1] is None:
                        self.test.assertNotIn(uid, self.retired[i], "UID reused: %s" % line)
                        before = [u for u in view[:n - 1] if u is not None]
                        self.test.assertTrue(not before or before[-1] < uid, "UIDs out of order: %s" % line)
                        view[n - 1] = uid
                    self.test.assertEqual(view[n - 1], uid, "%s names another message" % line)

    def run(self, steps):
        for _ in range(steps):
            i = self.rng.randrange(len(self.sessions))
            s, view = self.sessions[i], self.views[i]
            op = self.rng.choice(["store", "store", "expunge", "append", "deliver", "noop", "fetch", "uidfetch",
                                  "search", "copy"])
            known = [n + 1 for n, u in enumerate(view)]
            pick = str(self.rng.choice(known)) if known else "1"
            command = {
                "store": "STORE %s +FLAGS (%s)" % (pick, self.rng.choice(["\\Deleted", "\\Seen", "\\Flagged"])),
                "expunge": "EXPUNGE",
                "noop": "NOOP",
                "fetch": "FETCH 1:* (UID FLAGS)",
                "uidfetch": "UID FETCH 1:* (FLAGS)",
                "search": "SEARCH ALL",
                "copy": "COPY %s INBOX" % pick,
            }.get(op)
            if op in ("append", "deliver"):
                n = self.next_message
                self.next_message += 1
                if op == "deliver":
                    self.test.deliver(self.name, n)
                    continue
                untagged, tagged = s.command("APPEND INBOX", ex.message(n))
                command = "APPEND"
            else:
                untagged, tagged = s.command(command)
            self.check(i, untagged, command)
            self.test.assertRegex(tagged, r"^(OK|NO \[EXPUNGEISSUED\])", command)
            if command == "NOOP":
                # Fully told: every number is a message the mailbox holds.
                now = self.fetch_uids(i)
                self.test.assertEqual(view, now)
        for s in self.sessions:
            s.close()


if __name__ == "__main__":
    unittest.main()
