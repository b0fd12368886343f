"""SEARCH against the real service whose threads have 1 MB stacks: programs
nested thousands of levels deep (parentheses, NOT, OR; each within the 64 KB
command line) are answered BAD, a message of thousands of multiparts and
forwarded messages inside one another is described to a bounded depth, and
the service goes on serving IMAP and SMTP."""

import imaplib
import resource
import smtplib
import unittest

from vxharness import start_imap_service

USER, PASSWORD = "bob@example.test", "secret"
STACK = 1024 * 1024


class DeepSearch(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The service's threads take their stack size from this limit.
        saved = resource.getrlimit(resource.RLIMIT_STACK)
        resource.setrlimit(resource.RLIMIT_STACK, (STACK, saved[1]))
        try:
            cls.t, cls.smtp, cls.imap = start_imap_service([("Bob", USER, PASSWORD)])
        finally:
            resource.setrlimit(resource.RLIMIT_STACK, saved)
        cls.m = imaplib.IMAP4("127.0.0.1", cls.imap, timeout=20)
        cls.m.login(USER, PASSWORD)
        cls.m.append("INBOX", None, None, b"From: a@example.test\r\nSubject: one\r\n\r\nx\r\n")
        deep = b"".join(b"Content-Type: multipart/mixed; boundary=b%d\r\n\r\n--b%d\r\n" % (i, i) if i % 2 else
                        b"Content-Type: message/rfc822\r\n\r\n" for i in range(3000))
        cls.m.append("INBOX", None, None, b"From: a@example.test\r\nSubject: deep\r\n" + deep + b"\r\nend\r\n")
        cls.m.select("INBOX")

    @classmethod
    def tearDownClass(cls):
        cls.t.cleanup()

    def test_deep_programs_are_refused_and_the_service_survives(self):
        for program in ("(" * 20000 + "ALL" + ")" * 20000, "NOT " * 15000 + "ALL", "OR ALL " * 8000 + "ALL"):
            with self.assertRaises(imaplib.IMAP4.error) as e:
                self.m.search(None, program)
            self.assertIn("BAD", str(e.exception))
            self.assertEqual(self.m.search(None, "ALL"), ("OK", [b"1 2"]))
        self.assertEqual(self.m.search(None, "(" * 100 + "ALL" + ")" * 100), ("OK", [b"1 2"]))
        # FETCH item lists are read without nesting: deep parentheses are text.
        self.assertEqual(self.m.fetch("1", "(" * 20000 + "FLAGS" + ")" * 20000)[0], "OK")
        self.assertEqual(self.m.fetch("1", "BODY.PEEK[HEADER.FIELDS %s]" % ("(" * 20000 + "FROM" + ")" * 20000))[0],
                         "OK")
        typ, data = self.m.fetch("2", "(BODYSTRUCTURE BODY.PEEK[%s])" % ".".join(["1"] * 2000))
        self.assertEqual(typ, "OK")
        answer = b"".join(d[0] if isinstance(d, tuple) else d for d in data)
        self.assertEqual(answer.count(b"("), answer.count(b")"))
        with smtplib.SMTP("127.0.0.1", self.smtp, timeout=10) as s:
            self.assertEqual(s.noop()[0], 250)
        self.assertEqual(self.m.noop()[0], "OK")


if __name__ == "__main__":
    unittest.main()
