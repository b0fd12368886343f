"""isync's mbsync keeps a local Maildir and the service's INBOX in step over
IMAP4: it pulls the delivered mail, pushes a flag set locally, a message trashed
locally is expunged on the server, and messages moved between two folders,
on either side, end up moved on the other."""

import imaplib
import os
import shutil
import smtplib
import subprocess
import unittest

from vxharness import start_imap_service


def read(path):
    with open(path, "rb") as f:
        return f.read()


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

Channel work
Far :remote:Work
Near :local:Work
Create Both
Expunge Both
SyncState *
""")

    def sync(self, *channels):
        out = subprocess.run([self.mbsync, "-c", self.rc, *(channels or ("inbox",))], capture_output=True,
                             timeout=60)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)

    def local_files(self, box="INBOX"):
        cur = os.path.join(self.local, box, "cur")
        new = os.path.join(self.local, box, "new")
        return [os.path.join(d, n) for d in (cur, new) if os.path.isdir(d) for n in sorted(os.listdir(d))]

    def local_subjects(self, box):
        out = []
        for p in self.local_files(box):
            out += [l.split(b":", 1)[1].strip() for l in read(p).splitlines() if l.startswith(b"Subject:")]
        return sorted(out)

    def server(self):
        m = imaplib.IMAP4("127.0.0.1", self.imap, timeout=10)
        m.login("bob@example.test", "secret")
        return m

    def server_flags(self):
        m = self.server()
        m.select("INBOX")
        typ, data = m.fetch("1:*", "(UID FLAGS)")
        m.logout()
        return [d for d in data if d]

    def server_subjects(self, box):
        m = self.server()
        typ, data = m.select(box)
        self.assertEqual(typ, "OK", data)
        typ, data = m.fetch("1:*", "(BODY.PEEK[HEADER.FIELDS (SUBJECT)])")
        m.logout()
        return sorted(d[1].split(b":", 1)[1].strip() for d in data if isinstance(d, tuple))

    def test_pull_push_and_expunge(self):
        self.sync()
        files = self.local_files()
        self.assertEqual(len(files), 3)
        bodies = sorted(read(p) for p in files)
        self.assertIn(b"Subject: note 1\n", bodies[0])
        self.assertTrue(bodies[0].endswith(b"\n\nbody 1\n"), bodies[0])
        # Flag the first locally, trash the second.
        by_subject = {}
        for p in files:
            for n in (1, 2, 3):
                if b"note %d" % n in read(p):
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

    def make_local_work(self):
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(self.local, "Work", sub))
        self.sync("inbox", "work")
        self.assertEqual(self.server_subjects("Work"), [])

    def test_move_on_the_server_reaches_the_maildir(self):
        self.make_local_work()
        # Moved the IMAP4rev1 way: COPY, then \Deleted and EXPUNGE.
        m = self.server()
        m.select("INBOX")
        typ, data = m.search(None, "SUBJECT", '"note 2"')
        self.assertEqual(typ, "OK")
        [n] = data[0].split()
        self.assertEqual(m.copy(n, "Work")[0], "OK")
        self.assertEqual(m.store(n, "+FLAGS", r"(\Deleted)")[0], "OK")
        self.assertEqual(m.expunge()[0], "OK")
        m.logout()
        self.sync("inbox", "work")
        self.assertEqual(self.local_subjects("INBOX"), [b"note 1", b"note 3"])
        self.assertEqual(self.local_subjects("Work"), [b"note 2"])
        self.sync("inbox", "work")
        self.assertEqual(self.server_subjects("INBOX"), [b"note 1", b"note 3"])
        self.assertEqual(self.server_subjects("Work"), [b"note 2"])
        self.assertEqual(self.local_subjects("Work"), [b"note 2"])

    # mbsync learns the pushed copy's UID from the APPEND reply; without it,
    # it loses track of the copy and pulls it back as new mail.
    def test_move_in_the_maildir_reaches_the_server(self):
        self.make_local_work()
        # A mail client moves "note 1" to Work: the file goes to the other
        # folder under a name without the sync's UID.
        [p] = [p for p in self.local_files() if b"note 1" in read(p)]
        base, _, flags = os.path.basename(p).partition(":2,")
        base = ",".join(part for part in base.split(",") if not part.startswith("U="))
        os.rename(p, os.path.join(self.local, "Work", "cur", base + ":2," + flags))
        self.sync("inbox", "work")
        self.assertEqual(self.server_subjects("Work"), [b"note 1"])
        self.assertEqual(self.server_subjects("INBOX"), [b"note 2", b"note 3"])
        # A further sync changes nothing on either side.
        self.sync("inbox", "work")
        self.assertEqual(self.local_subjects("Work"), [b"note 1"])
        self.assertEqual(self.local_subjects("INBOX"), [b"note 2", b"note 3"])
        self.assertEqual(self.server_subjects("Work"), [b"note 1"])

    # Two copies of one account (a desktop and a laptop) with POP3 and an open
    # IMAP session beside them: each change reaches the other copy once,
    # nothing is lost, duplicated or deleted that its user did not delete.
    def test_two_copies_beside_pop3_and_an_open_session(self):
        other = os.path.join(self.t.path, "maildir2")
        os.makedirs(other)
        rc2 = os.path.join(self.t.path, "mbsyncrc2")
        with open(self.rc) as f, open(rc2, "w") as g:
            g.write(f.read().replace(self.local + "/", other + "/"))
        first, second = self.rc, rc2

        def sync(rc):
            out = subprocess.run([self.mbsync, "-c", rc, "inbox"], capture_output=True, timeout=60)
            self.assertEqual(out.returncode, 0, out.stdout + out.stderr)

        def files(root):
            return [os.path.join(root, "INBOX", d, n) for d in ("cur", "new")
                    if os.path.isdir(os.path.join(root, "INBOX", d))
                    for n in sorted(os.listdir(os.path.join(root, "INBOX", d)))]

        def subjects(root):
            return sorted(l.split(b":", 1)[1].strip() for p in files(root) for l in read(p).splitlines()
                          if l.startswith(b"Subject:"))

        sync(first)
        sync(second)
        self.assertEqual(subjects(self.local), subjects(other))
        # A session stays open all along, as a phone's would.
        phone = self.server()
        phone.select("INBOX")
        # The first copy trashes note 1 and flags note 2.
        cur = os.path.join(self.local, "INBOX", "cur")
        for p in files(self.local):
            base = os.path.basename(p).split(":2,")[0]
            if b"note 1" in read(p):
                os.rename(p, os.path.join(cur, base + ":2,ST"))
            elif b"note 2" in read(p):
                os.rename(p, os.path.join(cur, base + ":2,FS"))
        sync(first)
        # POP3 deletes note 3 and SMTP brings note 4.
        import poplib
        p = poplib.POP3("127.0.0.1", self.pop3_port(), timeout=10)
        p.user("bob@example.test")
        p.pass_("secret")
        for i, line in enumerate(p.list()[1], 1):
            if b"note 3" in b"\n".join(p.top(i, 0)[1]):
                p.dele(i)
        p.quit()
        with smtplib.SMTP("127.0.0.1", self.smtp, timeout=10) as s:
            s.sendmail("alice@example.test", ["bob@example.test"], b"Subject: note 4\r\n\r\nbody 4\r\n")
        sync(second)
        sync(first)
        self.assertEqual(subjects(other), [b"note 2", b"note 4"])
        self.assertEqual(subjects(self.local), [b"note 2", b"note 4"])
        [flagged] = [p for p in files(other) if b"note 2" in read(p)]
        self.assertTrue(flagged.endswith(":2,FS"), flagged)
        # The open session is told what went, by number, highest first.
        phone.noop()
        self.assertEqual(phone.untagged_responses.get("EXPUNGE"), [b"3", b"1"])
        typ, data = phone.fetch("1:*", "(BODY.PEEK[HEADER.FIELDS (SUBJECT)])")
        self.assertEqual([d[1].strip() for d in data if isinstance(d, tuple)], [b"Subject: note 2", b"Subject: note 4"])
        phone.logout()

    def pop3_port(self):
        import re
        text = read(os.path.join(self.t.path, "settings.ini")).decode("gbk")
        return int(re.search(r"\[POP3\]\r?\nPort=(\d+)", text).group(1))


if __name__ == "__main__":
    unittest.main()
