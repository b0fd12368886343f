"""IMAP4 message commands through the real service: imaplib reads, flags,
searches, copies and expunges the mail that SMTP delivered, and curl fetches
one message by UID."""

import imaplib
import shutil
import smtplib
import subprocess
import unittest

from vxharness import start_imap_service


def mail(n):
    return (b"From: Alice <alice@example.test>\r\nTo: bob@example.test\r\n"
            b"Subject: note %d\r\n\r\nbody %d\r\n" % (n, n))


class ImapMessages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.t, cls.smtp, cls.imap = start_imap_service([("Bob", "bob@example.test", "secret")])
        with smtplib.SMTP("127.0.0.1", cls.smtp, timeout=10) as s:
            for n in (1, 2, 3):
                s.sendmail("alice@example.test", ["bob@example.test"], mail(n))

    @classmethod
    def tearDownClass(cls):
        cls.t.cleanup()

    def client(self):
        m = imaplib.IMAP4("127.0.0.1", self.imap, timeout=10)
        self.assertEqual(m.login("bob@example.test", "secret")[0], "OK")
        return m

    def test_1_read_flag_search_copy_expunge(self):
        m = self.client()
        typ, data = m.select("INBOX")
        self.assertEqual((typ, data), ("OK", [b"3"]))
        typ, data = m.fetch("1", "(RFC822)")
        self.assertEqual(typ, "OK")
        self.assertTrue(data[0][1].endswith(mail(1)), data[0][1])
        typ, data = m.fetch("2", "BODY.PEEK[HEADER.FIELDS (SUBJECT)]")
        self.assertEqual(data[0][1], b"Subject: note 2\r\n\r\n")
        typ, data = m.fetch("1:*", "(FLAGS INTERNALDATE)")
        self.assertEqual(len(data), 3)
        self.assertIn(b"\\Seen", data[0])
        self.assertNotIn(b"\\Seen", data[1])
        self.assertIsNotNone(imaplib.Internaldate2tuple(data[2]))
        typ, data = m.uid("FETCH", "4:*", "(UID)")
        self.assertEqual((typ, data), ("OK", [b"3 (UID 3)"]))
        self.assertEqual(m.search(None, "ALL"), ("OK", [b"1 2 3"]))
        self.assertEqual(m.search(None, "UNSEEN"), ("OK", [b"2 3"]))
        self.assertEqual(m.uid("SEARCH", None, "SUBJECT", '"note 3"'), ("OK", [b"3"]))
        typ, data = m.store("1", "+FLAGS", r"(\Deleted)")
        self.assertEqual(typ, "OK")
        self.assertIn(b"\\Deleted", data[0])
        self.assertEqual(m.uid("STORE", "2", "+FLAGS", r"(\Flagged)")[0], "OK")
        self.assertEqual(m.create("Work")[0], "OK")
        self.assertEqual(m.copy("1:2", "Work"), ("OK", [b"COPY completed"]))
        self.assertEqual(m.copy("1", "Nope")[0], "NO")
        self.assertEqual(m.expunge(), ("OK", [b"1"]))
        self.assertEqual(m.search(None, "FLAGGED"), ("OK", [b"1"]))
        self.assertEqual(m.status("Work", "(MESSAGES)")[1], [b'"Work" (MESSAGES 2)'])
        self.assertEqual(m.close()[0], "OK")
        m.logout()

    def test_2_examine_is_read_only(self):
        m = self.client()
        self.assertEqual(m.select("INBOX", readonly=True)[0], "OK")
        m.fetch("2", "(BODY[])")
        self.assertEqual(m.search(None, "UNSEEN"), ("OK", [b"1 2"]))
        self.assertEqual(m.store("1", "+FLAGS", r"(\Deleted)")[0], "NO")
        self.assertEqual(m.close()[0], "OK")
        m.logout()

    def test_3_curl_fetches_by_uid(self):
        curl = shutil.which("curl")
        if not curl:
            self.skipTest("curl is not installed")
        out = subprocess.run([curl, "-sS", "-u", "bob@example.test:secret",
                              "imap://127.0.0.1:%d/INBOX;UID=3" % self.imap],
                             capture_output=True, timeout=30)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertTrue(out.stdout.endswith(mail(3)), out.stdout)


if __name__ == "__main__":
    unittest.main()
