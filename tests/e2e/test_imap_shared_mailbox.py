"""Two IMAP sessions on one INBOX of the real service, with SMTP delivering
into it: what one session stores, expunges or appends, and what SMTP
delivers, the other is told of at its next command (an expunge once it may
be told, not inside FETCH, STORE or SEARCH), and every UID is given once."""

import imaplib
import re
import smtplib
import unittest

from vxharness import start_imap_service


def mail(n):
    return (b"From: Alice <alice@example.test>\r\nTo: bob@example.test\r\n"
            b"Subject: note %d\r\n\r\nbody %d\r\n" % (n, n))


def uids(m):
    typ, data = m.fetch("1:*", "(UID)")
    assert typ == "OK", data
    return [int(re.search(rb"UID (\d+)", d).group(1)) for d in data if d]


class SharedMailBox(unittest.TestCase):
    def setUp(self):
        self.t, self.smtp, self.imap = start_imap_service([("Bob", "bob@example.test", "secret")])
        self.deliver(1, 2, 3)

    def tearDown(self):
        self.t.cleanup()

    def deliver(self, *numbers):
        with smtplib.SMTP("127.0.0.1", self.smtp, timeout=10) as s:
            for n in numbers:
                s.sendmail("alice@example.test", ["bob@example.test"], mail(n))

    def session(self):
        m = imaplib.IMAP4("127.0.0.1", self.imap, timeout=10)
        self.assertEqual(m.login("bob@example.test", "secret")[0], "OK")
        self.assertEqual(m.select("INBOX")[0], "OK")
        return m

    def test_changes_of_one_session_show_in_the_other(self):
        a, b = self.session(), self.session()
        self.assertEqual(uids(b), [1, 2, 3])
        a.store("2", "+FLAGS", r"(\Flagged)")
        self.assertIn(b"\\Flagged", b.fetch("2", "(FLAGS)")[1][0])
        self.assertEqual(b.search(None, "FLAGGED"), ("OK", [b"2"]))
        a.store("1", "+FLAGS", r"(\Deleted)")
        self.assertEqual(a.expunge(), ("OK", [b"1"]))
        self.assertEqual(b.noop(), ("OK", [b"NOOP completed"]))
        self.assertEqual(b.untagged_responses.pop("EXPUNGE", None), [b"1"])
        self.assertEqual(uids(b), [2, 3])
        self.assertEqual(a.append("INBOX", None, None, mail(4))[0], "OK")
        # Told at the other's next command.
        b.noop()
        self.assertEqual(b.untagged_responses.pop("EXISTS")[-1], b"3")
        self.assertEqual(uids(b), [2, 3, 4])
        self.assertEqual(uids(a), [2, 3, 4])
        typ, data = a.fetch("3", "(BODY.PEEK[])")
        self.assertEqual(data[0][1], mail(4))
        a.logout()
        b.logout()

    def test_mail_delivered_while_selected(self):
        a = self.session()
        self.assertEqual(a.fetch("1:*", "(FLAGS)")[0], "OK")
        self.deliver(4, 5)
        # A number the session was never told of names nothing; after the
        # command it is told of the new ones, recent in this session (as
        # are the three its SELECT was the first to see).
        typ, data = a.fetch("4", "(UID)")
        self.assertEqual((typ, data), ("OK", [None]))
        self.assertEqual(a.untagged_responses.pop("EXISTS")[-1], b"5")
        self.assertEqual(a.untagged_responses.pop("RECENT")[-1], b"5")
        self.assertEqual(a.search(None, "RECENT"), ("OK", [b"1 2 3 4 5"]))
        typ, data = a.select("INBOX")
        self.assertEqual((typ, data), ("OK", [b"5"]))
        self.assertEqual(a.untagged_responses.get("RECENT"), [b"0"])
        self.assertEqual(uids(a), [1, 2, 3, 4, 5])
        self.assertEqual(a.fetch("5", "(BODY.PEEK[TEXT])")[1][0][1], b"body 5\r\n")
        # A second session numbering at the same time never repeats a UID.
        b = self.session()
        self.deliver(6)
        self.assertEqual(b.status("INBOX", "(MESSAGES UIDNEXT)"),
                         ("OK", [b'"INBOX" (MESSAGES 6 UIDNEXT 7)']))
        a.select("INBOX")
        self.assertEqual(uids(a), [1, 2, 3, 4, 5, 6])
        self.assertEqual(uids(b), [1, 2, 3, 4, 5, 6])
        a.logout()
        b.logout()


if __name__ == "__main__":
    unittest.main()
