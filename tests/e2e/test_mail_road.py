"""Mail through the real service: SMTP in with smtplib, curl and swaks, the
mailbox files it leaves, and the same mail read back over POP3 with poplib
and curl, with the log lines the session writes."""

import glob
import os
import poplib
import shutil
import smtplib
import subprocess
import unittest

from vxharness import ProgramFolder, free_port, local_settings, start_listening, wait_for

BODY = ("Subject: hello\r\n\r\nplain line\r\n.leading dot\r\n8-bit: \xe4\xf6\xfc caf\xe9\r\n").encode("latin-1")


def settings(smtp, pop3):
    return local_settings(smtp, pop3, users=[("Bob", "bob@example.test", "secret"),
                                             ("Alice", "alice@example.test", "pw2")])


class MailRoad(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.t = ProgramFolder()
        cls.smtp, cls.pop3 = free_port(), free_port()
        cls.t.write_settings(settings(cls.smtp, cls.pop3))
        cls.proc = start_listening(cls.t, (cls.smtp, cls.pop3))

    @classmethod
    def tearDownClass(cls):
        cls.t.cleanup()

    def mailbox(self, user):
        return sorted(glob.glob(self.t.file("MailBox", user, "*.MSG")))

    def smtp_client(self):
        return smtplib.SMTP("127.0.0.1", self.smtp, timeout=10)

    def test_1_local_delivery_is_read_back_over_pop3(self):
        before = len(self.mailbox("bob@example.test"))
        with self.smtp_client() as s:
            s.ehlo("client.test")
            self.assertTrue(s.has_extn("auth"))
            s.sendmail("alice@example.test", ["bob@example.test"], BODY)
        files = wait_for(lambda: self.mailbox("bob@example.test")[before:] or None, 5)
        self.assertEqual(len(files), 1)
        self.assertRegex(os.path.basename(files[0]), r"^MAIL\d{8}\.MSG$")
        stored = open(files[0], "rb").read()
        self.assertTrue(stored.endswith(BODY), stored[-200:])

        p = poplib.POP3("127.0.0.1", self.pop3, timeout=10)
        p.user("bob@example.test")
        p.pass_("secret")
        count, _ = p.stat()
        self.assertGreaterEqual(count, 1)
        _, lines, _ = p.retr(count)
        got = b"\r\n".join(lines) + b"\r\n"
        self.assertTrue(got.endswith(BODY), got[-200:])
        p.quit()

    def test_2_relay_rule(self):
        with self.smtp_client() as s:
            s.ehlo("client.test")
            s.mail("alice@example.test")
            code, msg = s.rcpt("someone@elsewhere.test")
            self.assertGreaterEqual(code, 500)
            self.assertIn(b"Relay denied", msg)
            code, msg = s.rcpt("bob@example.test@evil.test")
            self.assertIn(b"Relay denied", msg)
        queued = len(glob.glob(self.t.file("RelayQueue", "*.ENV")))
        with self.smtp_client() as s:
            s.login("alice@example.test", "pw2")  # smtplib picks CRAM-MD5 first
            s.sendmail("alice@example.test", ["someone@elsewhere.test"], BODY)
        envs = wait_for(lambda: len(glob.glob(self.t.file("RelayQueue", "*.ENV"))) > queued, 5)
        self.assertTrue(envs)
        for env in glob.glob(self.t.file("RelayQueue", "*.ENV")):
            self.assertTrue(os.path.exists(env[:-4] + ".MSG"))

    def test_3_auth_login_and_wrong_password(self):
        with self.smtp_client() as s:
            s.ehlo("client.test")
            s.user, s.password = "bob@example.test", "secret"
            code, _ = s.auth("LOGIN", s.auth_login, initial_response_ok=False)
            self.assertEqual(code, 235)
        with self.smtp_client() as s:
            s.ehlo("client.test")
            with self.assertRaises(smtplib.SMTPAuthenticationError):
                s.login("bob@example.test", "wrong")

    def test_4_pop3_apop_list_and_delete(self):
        with self.smtp_client() as s:
            s.sendmail("bob@example.test", ["alice@example.test"], BODY)
            s.sendmail("bob@example.test", ["alice@example.test"], BODY)
        p = poplib.POP3("127.0.0.1", self.pop3, timeout=10)
        p.apop("alice@example.test", "pw2")
        count, _ = p.stat()
        self.assertGreaterEqual(count, 2)
        self.assertEqual(len(p.list()[1]), count)
        self.assertEqual(len(p.uidl()[1]), count)
        p.dele(1)
        p.quit()
        self.assertEqual(len(self.mailbox("alice@example.test")), count - 1)

    def test_5_curl_smtp_and_pop3(self):
        curl = shutil.which("curl")
        if not curl:
            self.skipTest("curl is not installed")
        msg = self.t.file("curl.eml")
        with open(msg, "wb") as f:
            f.write(BODY)
        before = len(self.mailbox("bob@example.test"))
        r = subprocess.run([curl, "-sS", "smtp://127.0.0.1:%d" % self.smtp, "--mail-from", "alice@example.test",
                            "--mail-rcpt", "bob@example.test", "-T", msg], capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(len(self.mailbox("bob@example.test")), before + 1)
        r = subprocess.run([curl, "-sS", "pop3://127.0.0.1:%d/1" % self.pop3, "-u", "bob@example.test:secret",
                            "--login-options", "AUTH=+APOP"], capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"Subject: hello", r.stdout)
        # NTLM over SMTP. (curl offers SASL to a POP3 server only after a CAPA
        # listing, and this server answers CAPA as an unknown command.)
        r = subprocess.run([curl, "-sS", "smtp://127.0.0.1:%d" % self.smtp, "-u", "bob@example.test:secret",
                            "--login-options", "AUTH=NTLM", "--mail-from", "bob@example.test", "--mail-rcpt",
                            "someone@elsewhere.test", "-T", msg], capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)  # relayed: the login really took
        r = subprocess.run([curl, "-sS", "smtp://127.0.0.1:%d" % self.smtp, "-u", "bob@example.test:wrong",
                            "--login-options", "AUTH=NTLM", "--mail-from", "bob@example.test", "--mail-rcpt",
                            "someone@elsewhere.test", "-T", msg], capture_output=True, timeout=30)
        self.assertNotEqual(r.returncode, 0)

    def test_6_swaks_pipelining(self):
        swaks = shutil.which("swaks")
        if not swaks:
            self.skipTest("swaks is not installed")
        r = subprocess.run([swaks, "--server", "127.0.0.1", "--port", str(self.smtp), "--from",
                            "alice@example.test", "--to", "bob@example.test", "--pipeline"],
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def test_7_log_shows_the_session_without_secrets(self):
        with self.smtp_client() as s:
            s.login("bob@example.test", "secret")
        text = "\n".join(self.t.log_lines())
        self.assertIn("接受连接. 主机: 127.0.0.1", text)
        self.assertIn("断开连接. 主机: 127.0.0.1", text)
        self.assertIn("命令: EHLO", text)
        self.assertIn("转发: 250", text)
        self.assertNotIn("secret", text)
        self.assertNotIn("c2VjcmV0", text)


if __name__ == "__main__":
    unittest.main()
