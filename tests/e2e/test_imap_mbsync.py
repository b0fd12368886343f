"""isync's mbsync keeps a local Maildir and the service's INBOX in step over
IMAP4: it pulls the delivered mail, pushes a flag set locally, and a message
trashed locally is expunged on the server."""

import imaplib
import os
import shutil
import smtplib
import subprocess
import unittest

from vxharness import start_imap_service


class MbsyncSync(unittest.TestCase):
    def setUp(self):
        self.mbsync = shutil.which("mbsync")
        if not self.mbsync:
            self.skipTest("mbsync (isync) is not installed")
        self.t, self.smtp, self.imap = start_imap_service([("Bob", "bob@example.test", "secret")])
        self.addCleanup(self.t.cleanup)
        with smtplib.SMTP("127.0.0.1", self.smtp, timeout=10) as s:
            for n in (1, 2, 3):
                s.sendmail("alice@example.test", ["bob@example.test"],
                           b"Subject: note %d\r\n\r\nbody %d\r\n" % (n, n))
        self.local = os.path.join(self.t.path, "maildir")
        os.makedirs(self.local)
        self.rc = os.path.join(self.t.path, "mbsyncrc")
        with open(self.rc, "w") as f:
            f.write(f"""IMAPAccount vx
Host 127.0.0.1
Port {self.imap}
User bob@example.test
Pass secret
SSLType None
AuthMechs LOGIN

IMAPStore remote
Account vx
PathDelimiter /

MaildirStore local
Path {self.local}/
Inbox {self.local}/INBOX
SubFolders Verbatim

Channel inbox
Far :remote:INBOX
Near :local:INBOX
Create Near
Expunge Both
SyncState *
""")

    def sync(self):
        out = subprocess.run([self.mbsync, "-c", self.rc, "inbox"], capture_output=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)

    def local_files(self):
        cur = os.path.join(self.local, "INBOX", "cur")
        new = os.path.join(self.local, "INBOX", "new")
        return [os.path.join(d, n) for d in (cur, new) for n in sorted(os.listdir(d))]

    def server_flags(self):
        m = imaplib.IMAP4("127.0.0.1", self.imap, timeout=10)
        m.login("bob@example.test", "secret")
        m.select("INBOX")
        typ, data = m.fetch("1:*", "(UID FLAGS)")
        m.logout()
        return [d for d in data if d]

    def test_pull_push_and_expunge(self):
        self.sync()
        files = self.local_files()
        self.assertEqual(len(files), 3)
        bodies = sorted(open(p, "rb").read() for p in files)
        self.assertIn(b"Subject: note 1\n", bodies[0])
        self.assertTrue(bodies[0].endswith(b"\n\nbody 1\n"), bodies[0])
        # Flag the first locally, trash the second.
        by_subject = {}
        for p in files:
            for n in (1, 2, 3):
                if b"note %d" % n in open(p, "rb").read():
                    by_subject[n] = p
        cur = os.path.join(self.local, "INBOX", "cur")
        for n, flags in ((1, "FS"), (2, "ST")):
            p = by_subject[n]
            base = os.path.basename(p).split(":2,")[0]
            os.rename(p, os.path.join(cur, base + ":2," + flags))
        self.sync()
        flags = self.server_flags()
        self.assertEqual(len(flags), 2, flags)
        self.assertIn(b"\\Flagged", flags[0])
        self.assertIn(b"\\Seen", flags[0])
        self.assertNotIn(b"\\Seen", flags[1])
        self.assertEqual(len(self.local_files()), 2)


if __name__ == "__main__":
    unittest.main()
