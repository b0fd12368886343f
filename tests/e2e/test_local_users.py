"""The store against local users: a service started under umask 000 still
makes its folders and files private, so an unprivileged user can neither
plant, delete nor read mail nor put a link into the mailbox folder; and an
account folder that is a symbolic link is refused by SMTP, POP3 and IMAP4
alike, with the error in the log."""

import imaplib
import os
import poplib
import pwd
import shutil
import smtplib
import stat
import subprocess
import unittest

from vxharness import ProgramFolder, free_port, listening, local_settings, wait_for

SETPRIV = shutil.which("setpriv")


def unprivileged_user():
    for name in ("nobody", "daemon"):
        try:
            return pwd.getpwnam(name)
        except KeyError:
            pass
    return None


USER = unprivileged_user()


@unittest.skipUnless(os.geteuid() == 0 and USER and SETPRIV,
                     "needs root, setpriv and an unprivileged user such as nobody")
class LocalUsers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.t = ProgramFolder()
        os.chmod(cls.t.path, 0o755)  # an installed program folder others may pass through
        cls.smtp, cls.pop3, cls.imap = free_port(), free_port(), free_port()
        accounts = ["alice@example.test", "bob@example.test", "carol@example.test", "dave@example.test"]
        cls.t.write_settings(local_settings(cls.smtp, cls.pop3, cls.imap, [(a, "pw") for a in accounts]))
        # The starter's umask is 000.
        cls.proc = subprocess.Popen([cls.t.binary], env=cls.t.env, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL, preexec_fn=lambda: os.umask(0))
        cls.t.procs.append(cls.proc)
        if not listening(cls.smtp, cls.pop3, cls.imap):
            cls.t.cleanup()
            raise AssertionError("the service did not open its ports")

    @classmethod
    def tearDownClass(cls):
        cls.t.cleanup()

    def send(self, rcpt, text):
        with smtplib.SMTP("127.0.0.1", self.smtp, timeout=10) as s:
            return s.sendmail("x@example.test", [rcpt], "Subject: %s\r\n\r\n%s\r\n" % (text, text))

    def as_user(self, *cmd):
        return subprocess.run([SETPRIV, "--reuid=%d" % USER.pw_uid, "--regid=%d" % USER.pw_gid, "--clear-groups",
                               *cmd], capture_output=True, timeout=10)

    def link_account(self, account):
        """Makes the account's folder a link to a folder holding one message."""
        elsewhere = self.t.file("elsewhere-" + account)
        os.mkdir(elsewhere, 0o700)
        with open(os.path.join(elsewhere, "MAIL00000001.MSG"), "wb") as f:
            f.write(b"Subject: not yours\r\n\r\nkeep me\r\n")
        os.symlink(elsewhere, self.t.file("MailBox", account))
        return elsewhere

    def test_1_folders_and_files_are_private_under_umask_000(self):
        self.send("alice@example.test", "for alice")
        box = self.t.file("MailBox")
        alice = os.path.join(box, "alice@example.test")
        for folder in (box, alice, self.t.file("RelayQueue"), self.t.file("Bad")):
            self.assertEqual(stat.S_IMODE(os.lstat(folder).st_mode), 0o700, folder)
        message = os.path.join(alice, os.listdir(alice)[0])
        self.assertEqual(stat.S_IMODE(os.lstat(message).st_mode), 0o600)
        self.assertEqual(stat.S_IMODE(os.lstat(self.t.file("VxMailServers.log")).st_mode), 0o600)

        # The local user can do nothing to the store.
        self.assertNotEqual(self.as_user("ln", "-s", "/tmp", os.path.join(box, "bob@example.test")).returncode, 0)
        self.assertNotEqual(self.as_user("rm", "-f", message).returncode, 0)
        self.assertNotEqual(self.as_user("cat", message).returncode, 0)
        self.assertNotEqual(self.as_user("sh", "-c", "echo forged > '%s/MAIL99999999.MSG'" % alice).returncode, 0)
        self.assertTrue(os.path.exists(message))
        self.assertFalse(os.path.islink(os.path.join(box, "bob@example.test")))

    def test_2_a_linked_account_folder_is_refused_by_smtp_and_pop3(self):
        elsewhere = self.link_account("carol@example.test")
        with self.assertRaises(smtplib.SMTPDataError) as refused:
            self.send("carol@example.test", "through the link")
        self.assertEqual(refused.exception.smtp_code, 451)
        self.assertEqual(os.listdir(elsewhere), ["MAIL00000001.MSG"])

        p = poplib.POP3("127.0.0.1", self.pop3, timeout=10)
        p.user("carol@example.test")
        self.assertTrue(p.pass_("pw").startswith(b"+OK 0 messages"))
        with self.assertRaises(poplib.error_proto):
            p.dele(1)
        p.quit()
        self.assertEqual(os.listdir(elsewhere), ["MAIL00000001.MSG"])
        self.assertTrue(wait_for(lambda: any("symbolic link" in l and "carol@example.test" in l
                                             for l in self.t.log_lines()), 5))

    def test_3_a_linked_account_folder_is_refused_by_imap4(self):
        elsewhere = self.link_account("dave@example.test")

        m = imaplib.IMAP4("127.0.0.1", self.imap, timeout=10)
        m.login("dave@example.test", "pw")
        self.assertEqual(m.select("INBOX")[0], "NO")
        self.assertEqual(m.create("Work")[0], "NO")
        self.assertEqual(m.append("INBOX", None, None, b"Subject: planted\r\n\r\nx\r\n")[0], "NO")
        m.logout()
        self.assertEqual(os.listdir(elsewhere), ["MAIL00000001.MSG"])
        self.assertTrue(wait_for(lambda: any("symbolic link" in l and "dave@example.test" in l
                                             for l in self.t.log_lines()), 5))


if __name__ == "__main__":
    unittest.main()
