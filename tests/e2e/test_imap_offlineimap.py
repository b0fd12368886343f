"""offlineimap3 keeps two local Maildir copies of one account in step over
IMAP4 while an IMAP session stays open beside them: a deletion and a flag
made in one copy reach the server and the other copy, new mail reaches both,
and nothing is lost, duplicated or deleted that was not."""

import imaplib
import os
import shutil
import smtplib
import subprocess
import unittest

from vxharness import start_imap_service


def note(n):
    return b"Subject: note %d\r\n\r\nbody %d\r\n" % (n, n)


class OfflineImapSync(unittest.TestCase):
    def setUp(self):
        self.tool = shutil.which("offlineimap")
        if not self.tool:
            self.skipTest("offlineimap3 is not installed")
        self.t, self.smtp, self.imap = start_imap_service([("Bob", "bob@example.test", "secret")])
        self.addCleanup(self.t.cleanup)
        self.deliver(1, 2, 3)

    def deliver(self, *numbers):
        with smtplib.SMTP("127.0.0.1", self.smtp, timeout=10) as s:
            for n in numbers:
                s.sendmail("alice@example.test", ["bob@example.test"], note(n))

    def copy(self, name):
        root = os.path.join(self.t.path, name)
        os.makedirs(os.path.join(root, "mail"))
        rc = os.path.join(root, "rc")
        with open(rc, "w") as f:
            f.write(f"""[general]
accounts = vx
metadata = {root}/meta

[Account vx]
localrepository = local
remoterepository = remote

[Repository local]
type = Maildir
localfolders = {root}/mail

[Repository remote]
type = IMAP
remotehost = 127.0.0.1
remoteport = {self.imap}
remoteuser = bob@example.test
remotepass = secret
ssl = no
starttls = no
folderfilter = lambda name: name == "INBOX"
""")
        return root, rc

    def sync(self, rc):
        out = subprocess.run([self.tool, "-c", rc, "-o", "-u", "basic"], capture_output=True, timeout=120)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)

    @staticmethod
    def files(root):
        box = os.path.join(root, "mail", "INBOX")
        return [os.path.join(box, d, n) for d in ("cur", "new") if os.path.isdir(os.path.join(box, d))
                for n in sorted(os.listdir(os.path.join(box, d)))]

    def subjects(self, root):
        out = []
        for p in self.files(root):
            with open(p, "rb") as f:
                out += [l.split(b":", 1)[1].strip() for l in f.read().splitlines() if l.startswith(b"Subject:")]
        return sorted(out)

    def test_two_copies_and_an_open_session(self):
        (one, rc1), (two, rc2) = self.copy("one"), self.copy("two")
        self.sync(rc1)
        self.sync(rc2)
        self.assertEqual(self.subjects(one), [b"note 1", b"note 2", b"note 3"])
        self.assertEqual(self.subjects(two), [b"note 1", b"note 2", b"note 3"])
        phone = imaplib.IMAP4("127.0.0.1", self.imap, timeout=10)
        phone.login("bob@example.test", "secret")
        phone.select("INBOX")
        # Copy one deletes note 1 and flags note 2.
        for p in self.files(one):
            with open(p, "rb") as f:
                text = f.read()
            if b"note 1" in text:
                os.remove(p)
            elif b"note 2" in text:
                base = os.path.basename(p).split(":2,")[0]
                os.rename(p, os.path.join(one, "mail", "INBOX", "cur", base + ":2,F"))
        self.sync(rc1)
        self.deliver(4)
        self.sync(rc2)
        self.sync(rc1)
        self.assertEqual(self.subjects(one), [b"note 2", b"note 3", b"note 4"])
        self.assertEqual(self.subjects(two), [b"note 2", b"note 3", b"note 4"])
        [flagged] = [p for p in self.files(two) if b"note 2" in open(p, "rb").read()]
        self.assertIn("F", flagged.rsplit(":2,", 1)[1])
        # The open session is told of the deletion and the new mail.
        phone.noop()
        self.assertEqual(phone.untagged_responses.get("EXPUNGE"), [b"1"])
        typ, data = phone.fetch("1:*", "(FLAGS BODY.PEEK[HEADER.FIELDS (SUBJECT)])")
        got = [d for d in data if isinstance(d, tuple)]
        self.assertEqual([d[1].strip() for d in got], [b"Subject: note 2", b"Subject: note 3", b"Subject: note 4"])
        self.assertIn(b"\\Flagged", got[0][0])
        phone.logout()


if __name__ == "__main__":
    unittest.main()
