"""IMAP4 through the real service: imaplib and curl log in (LOGIN, CRAM-MD5,
NTLM), list, create, select, examine, append and ask the status of the
account folders that SMTP delivery fills, and names that try to leave the
account's folder are refused."""

import imaplib
import os
import shutil
import smtplib
import subprocess
import time
import unittest

from vxharness import start_imap_service

BODY = b"Subject: hello\r\n\r\nplain line\r\n"


class ImapClients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.t, cls.smtp, cls.imap = start_imap_service([
            ("Bob", "bob@example.test", "secret"),
            ("Alice", "alice@example.test", "pw2"),
            ("Q", "q@example.test", 'a\\b"c'),
        ])
        with smtplib.SMTP("127.0.0.1", cls.smtp, timeout=10) as s:
            s.sendmail("alice@example.test", ["bob@example.test"], BODY)
            s.sendmail("alice@example.test", ["bob@example.test"], BODY)
            s.sendmail("bob@example.test", ["alice@example.test"], BODY)

    @classmethod
    def tearDownClass(cls):
        cls.t.cleanup()

    def client(self):
        return imaplib.IMAP4("127.0.0.1", self.imap, timeout=10)

    def curl(self, *args):
        curl = shutil.which("curl")
        if not curl:
            self.skipTest("curl is not installed")
        return subprocess.run([curl, "-sS", *args], capture_output=True, timeout=30)

    def test_1_imaplib_session(self):
        m = self.client()
        self.assertEqual(m.login("bob@example.test", "secret")[0], "OK")
        typ, boxes = m.list()
        self.assertEqual(typ, "OK")
        self.assertIn(b'() "/" "INBOX"', boxes)
        self.assertEqual(m.create("Work")[0], "OK")
        self.assertEqual(m.create("Entw&APw-rfe")[0], "OK")
        self.assertTrue(os.path.isdir(self.t.file("MailBox", "bob@example.test", "Entw\u00fcrfe")))
        self.assertEqual(m.select("INBOX"), ("OK", [b"2"]))
        self.assertEqual(m.response("UIDNEXT")[1], [b"3"])
        uidvalidity = int(m.response("UIDVALIDITY")[1][0])
        self.assertTrue(0 < uidvalidity < 2 ** 32)
        typ, _ = m.append("INBOX", r"(\Seen)", imaplib.Time2Internaldate(time.time()), b"Subject: a\r\n\r\nx\r\n")
        self.assertEqual(typ, "OK")
        self.assertEqual(m.status("INBOX", "(MESSAGES UNSEEN UIDNEXT)"),
                         ("OK", [b'"INBOX" (MESSAGES 3 UNSEEN 2 UIDNEXT 4)']))
        self.assertEqual(m.select("INBOX", readonly=True)[0], "OK")
        self.assertEqual(m.logout()[0], "BYE")

        m = self.client()
        with self.assertRaises(imaplib.IMAP4.error):
            m.login("bob@example.test", "wrong")
        self.assertEqual(m.login_cram_md5("bob@example.test", "secret"), ("OK", [b"AUTHENTICATE completed"]))
        m.logout()

        # A password with a backslash and a quote, and an account without mail yet.
        m = self.client()
        self.assertEqual(m.login("q@example.test", 'a\\b"c')[0], "OK")
        self.assertEqual(m.select("INBOX"), ("OK", [b"0"]))
        m.logout()

    def test_2_names_outside_the_account_are_refused(self):
        m = self.client()
        m.login("bob@example.test", "secret")
        self.assertEqual(m.create("../evil")[0], "NO")
        self.assertEqual(m.select('"../alice@example.test"')[0], "NO")
        self.assertEqual(m.delete("&AC4ALg-/alice@example.test")[0], "NO")
        m.logout()
        self.assertFalse(os.path.exists(self.t.file("MailBox", "evil")))
        self.assertFalse(os.path.exists(self.t.file("evil")))
        self.assertEqual(len([n for n in os.listdir(self.t.file("MailBox", "alice@example.test"))
                              if n.endswith(".MSG")]), 1)

    def test_3_curl_cram_md5_ntlm_list_examine_append(self):
        # (curl takes the LOGIN command only where no AUTH= mechanism is
        # offered; the unit tests run that case.)
        url = "imap://127.0.0.1:%d/" % self.imap
        r = self.curl(url, "-u", "bob@example.test:secret")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b'"INBOX"', r.stdout)
        r = self.curl(url, "-u", "bob@example.test:secret", "--login-options", "AUTH=NTLM")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b'"INBOX"', r.stdout)
        r = self.curl(url, "-u", "bob@example.test:wrong", "--login-options", "AUTH=NTLM")
        self.assertNotEqual(r.returncode, 0)
        r = self.curl(url, "-u", "bob@example.test:secret", "-X", "EXAMINE INBOX")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"EXISTS", r.stdout)
        msg = self.t.file("curl.eml")
        with open(msg, "wb") as f:
            f.write(BODY)
        r = self.curl(url + "Work", "-u", "alice@example.test:pw2", "-T", msg)
        self.assertNotEqual(r.returncode, 0)  # alice has no Work mailbox
        r = self.curl(url + "INBOX", "-u", "alice@example.test:pw2", "-T", msg)
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_4_log_shows_the_session_without_secrets(self):
        m = self.client()
        m.login("bob@example.test", "secret")
        m.logout()
        m = self.client()
        m.login_cram_md5("bob@example.test", "secret")
        m.logout()
        text = "\n".join(self.t.log_lines())
        self.assertIn("命令: LOGIN bob@example.test ***", text)
        self.assertIn("命令: AUTHENTICATE ***", text)
        self.assertNotIn("secret", text)


if __name__ == "__main__":
    unittest.main()
