"""Sessions changing one mailbox of the real service at the same time: four
sessions storing flags on disjoint messages, with SMTP deliveries and a
stream of APPENDs beside them, lose no acknowledged flag, before or after a
restart; two sessions expunging disjoint sets remove exactly the marked
messages; and every APPENDUID names the message under that UID."""

import imaplib
import os
import re
import signal
import smtplib
import threading
import unittest

from vxharness import listening, start_imap_service, wait_for

USER, PASSWORD = "bob@example.test", "secret"
MESSAGES = 200
SESSIONS = 4
STORES = 500
FLAGS = (r"\Seen", r"\Flagged", r"\Answered", r"\Draft")
# Messages delivered and appended beside the stores, a few at a time.
SIDE_MESSAGES = 60


def mail(tag):
    return (b"From: Alice <alice@example.test>\r\nTo: bob@example.test\r\n"
            b"Subject: %s\r\n\r\nbody %s\r\n" % (tag.encode(), tag.encode()))


def fetch_all(m, items="(UID FLAGS)"):
    """{uid: fetch data} of every message of the selected mailbox."""
    typ, data = m.uid("FETCH", "1:*", items)
    assert typ == "OK", data
    out = {}
    for d in data:
        head = d[0] if isinstance(d, tuple) else d
        if not head or head == b")":
            continue
        uid = int(re.search(rb"UID (\d+)", head).group(1))
        out[uid] = d
    return out


def flags_of(d):
    head = d[0] if isinstance(d, tuple) else d
    text = re.search(rb"FLAGS \(([^)]*)\)", head).group(1).decode()
    return set(text.split()) - {r"\Recent"}


class ConcurrentSessions(unittest.TestCase):
    def setUp(self):
        self.t, self.smtp, self.imap = start_imap_service([("Bob", USER, PASSWORD)])
        self.deliver(["seed %d" % n for n in range(MESSAGES)])
        m = self.session()
        self.uids = sorted(fetch_all(m))
        m.logout()
        self.assertEqual(len(self.uids), MESSAGES)

    def tearDown(self):
        self.t.cleanup()

    def deliver(self, tags):
        with smtplib.SMTP("127.0.0.1", self.smtp, timeout=30) as s:
            for tag in tags:
                s.sendmail("alice@example.test", [USER], mail(tag))

    def session(self):
        m = imaplib.IMAP4("127.0.0.1", self.imap, timeout=30)
        self.assertEqual(m.login(USER, PASSWORD)[0], "OK")
        self.assertEqual(m.select("INBOX")[0], "OK")
        return m

    def restart(self):
        proc = self.t.procs[-1]
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=30)
        self.t.start_foreground()
        self.assertTrue(listening(self.smtp, self.imap), "the service did not come back")

    def run_threads(self, targets):
        errors = []

        def guarded(fn, *args):
            try:
                fn(*args)
            except Exception as e:  # reported below, in the test's thread
                errors.append(repr(e))

        threads = [threading.Thread(target=guarded, args=t) for t in targets]
        for th in threads:
            th.start()
        for th in threads:
            th.join(timeout=300)
        self.assertEqual(errors, [])

    def test_acknowledged_flags_stay_while_others_deliver_and_append(self):
        expected = {uid: set() for uid in self.uids}
        appended = {}
        stop = threading.Event()

        def storer(share):
            m = self.session()
            mine = self.uids[share::SESSIONS]
            for i in range(STORES):
                uid = mine[i % len(mine)]
                flag = FLAGS[(i // len(mine)) % len(FLAGS)]
                # Each flag set, and some taken off again, by this session alone.
                op = "-FLAGS.SILENT" if (i // (len(mine) * len(FLAGS))) % 2 else "+FLAGS.SILENT"
                typ, data = m.uid("STORE", str(uid), op, "(%s)" % flag)
                self.assertEqual(typ, "OK", data)
                (expected[uid].discard if op[0] == "-" else expected[uid].add)(flag)
            m.logout()

        def appender():
            m = self.session()
            for n in range(SIDE_MESSAGES):
                if stop.wait(0.2):
                    break
                body = mail("appended %d" % n)
                typ, data = m.append("INBOX", r"(\Seen)", None, body)
                self.assertEqual(typ, "OK", data)
                found = re.search(rb"APPENDUID \d+ (\d+)", data[0])
                if found:
                    appended[int(found.group(1))] = body
            m.logout()

        def deliverer():
            with smtplib.SMTP("127.0.0.1", self.smtp, timeout=30) as s:
                for n in range(SIDE_MESSAGES):
                    if stop.wait(0.2):
                        break
                    s.sendmail("alice@example.test", [USER], mail("delivered %d" % n))

        side = [threading.Thread(target=appender), threading.Thread(target=deliverer)]
        for th in side:
            th.start()
        try:
            self.run_threads([(storer, share) for share in range(SESSIONS)])
        finally:
            stop.set()
            for th in side:
                th.join(timeout=60)
        self.assertGreater(len(appended), 0, "no APPEND ran beside the stores")

        for when in ("before the restart", "after the restart"):
            m = self.session()
            stored = fetch_all(m)
            for uid in self.uids:
                self.assertEqual(flags_of(stored[uid]), expected[uid], "UID %d %s" % (uid, when))
            bodies = fetch_all(m, "(UID BODY.PEEK[])")
            for uid, body in appended.items():
                self.assertEqual(bodies[uid][1], body, "APPENDUID %d %s" % (uid, when))
            m.logout()
            if when.startswith("before"):
                self.restart()

    def test_two_sessions_expunging_disjoint_sets_remove_exactly_those(self):
        marked = [self.uids[i::7] for i in (0, 3)]

        def expunger(uids):
            m = self.session()
            for uid in uids:
                typ, data = m.uid("STORE", str(uid), "+FLAGS.SILENT", r"(\Deleted)")
                self.assertEqual(typ, "OK", data)
                # Another session's listing between the stores.
                self.assertEqual(m.status("INBOX", "(MESSAGES UIDNEXT)")[0], "OK")
            self.assertEqual(m.expunge()[0], "OK")
            m.logout()

        self.run_threads([(expunger, uids) for uids in marked])
        gone = set(marked[0]) | set(marked[1])
        for when in ("before the restart", "after the restart"):
            m = self.session()
            self.assertEqual(sorted(fetch_all(m)), [u for u in self.uids if u not in gone], when)
            m.logout()
            if when.startswith("before"):
                self.restart()

    def test_appended_and_delivered_files_take_numbers_of_one_counter(self):
        m = self.session()
        names = lambda: sorted(os.listdir(self.t.file("MailBox", USER)))
        before = set(names())
        self.assertEqual(m.append("INBOX", None, None, mail("appended"))[0], "OK")
        self.deliver(["delivered"])
        typ, data = m.append("INBOX", None, None, mail("appended again"))
        self.assertEqual(typ, "OK")
        new = sorted(n for n in set(names()) - before if n.endswith(".MSG"))
        numbers = [int(n[4:12]) for n in new]
        self.assertEqual(len(numbers), 3, new)
        self.assertEqual(len(set(numbers)), 3, new)
        self.assertGreater(min(numbers), max(int(n[4:12]) for n in before if n.endswith(".MSG")))
        # An expunged message's name is never taken again.
        last = max(new)
        uid = int(re.search(rb"APPENDUID \d+ (\d+)", data[0]).group(1))
        m.uid("STORE", str(uid), "+FLAGS", r"(\Deleted)")
        self.assertEqual(m.expunge()[0], "OK")
        self.assertNotIn(last, names())
        self.assertEqual(m.append("INBOX", None, None, mail("appended")[:-2] + b"!\r\n")[0], "OK")
        self.assertNotIn(last, names())
        m.logout()


if __name__ == "__main__":
    unittest.main()
