"""Moving the whole program folder, and then the MailBox folder alone, of a
service that has served IMAP4 clients: UIDVALIDITY, every UID and every flag
stay what the clients saw, and so does a RENAME's mailbox."""

import imaplib
import os
import re
import shutil
import signal
import smtplib
import tempfile
import unittest

from vxharness import ProgramFolder, free_port, listening, local_settings

USER, PASSWORD = "bob@example.test", "secret"


def mail(n):
    return b"From: alice@example.test\r\nTo: bob@example.test\r\nSubject: %d\r\n\r\nbody %d\r\n" % (n, n)


class MovedFolders(unittest.TestCase):
    def setUp(self):
        self.t = ProgramFolder()
        self.smtp, self.imap = free_port(), free_port()
        self.sections = local_settings(self.smtp, imap=self.imap, users=[("Bob", USER, PASSWORD)])
        self.t.write_settings(self.sections)
        self.elsewhere = os.path.realpath(tempfile.mkdtemp(prefix="vxe2e-moved"))

    def tearDown(self):
        self.t.cleanup()
        shutil.rmtree(self.elsewhere, ignore_errors=True)

    def start(self):
        self.t.start_foreground()
        self.assertTrue(listening(self.smtp, self.imap), "the service did not open its ports")

    def stop(self):
        proc = self.t.procs[-1]
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=30)

    def seen(self):
        """(UIDVALIDITY, {uid: flags}) of INBOX and of Kept, as a client sees them."""
        m = imaplib.IMAP4("127.0.0.1", self.imap, timeout=10)
        m.login(USER, PASSWORD)
        out = []
        for box in ("INBOX", "Kept"):
            self.assertEqual(m.select(box)[0], "OK", box)
            validity = m.response("UIDVALIDITY")[1][0]
            typ, data = m.uid("FETCH", "1:*", "(UID FLAGS)")
            flags = {}
            for d in data:
                found = re.search(rb"UID (\d+) FLAGS \(([^)]*)\)", d) or re.search(rb"FLAGS \(([^)]*)\) UID (\d+)", d)
                self.assertIsNotNone(found, d)
                uid, text = (found.group(1), found.group(2)) if found.re.pattern.startswith(b"UID") else (
                    found.group(2), found.group(1))
                flags[int(uid)] = set(text.decode().split()) - {r"\Recent"}
            out.append((validity, flags))
        m.logout()
        return out

    def move_program_folder(self):
        new = os.path.join(self.elsewhere, "program")
        shutil.move(self.t.path, new)
        self.t.path = new
        self.t.binary = os.path.join(new, "VxMailServers")
        self.t.scm = os.path.join(new, "scm")
        self.t.env["VXMAIL_SCM_DIR"] = self.t.scm

    def test_uids_flags_and_uidvalidity_survive_moves(self):
        self.start()
        with smtplib.SMTP("127.0.0.1", self.smtp, timeout=10) as s:
            for n in range(1, 5):
                s.sendmail("alice@example.test", [USER], mail(n))
        m = imaplib.IMAP4("127.0.0.1", self.imap, timeout=10)
        m.login(USER, PASSWORD)
        m.create("Work")
        m.select("INBOX")
        m.uid("STORE", "2", "+FLAGS", r"(\Flagged \Seen)")
        m.uid("STORE", "4", "+FLAGS", r"(\Answered)")
        m.uid("COPY", "1:2", "Work")
        m.select("Work")
        m.uid("STORE", "2", "+FLAGS", r"(\Draft)")
        self.assertEqual(m.rename("Work", "Kept")[0], "OK")
        m.logout()
        before = self.seen()
        self.assertEqual(sorted(before[0][1]), [1, 2, 3, 4])
        self.assertEqual(before[1][1][2], {r"\Flagged", r"\Seen", r"\Draft"})
        self.stop()

        self.move_program_folder()
        self.start()
        self.assertEqual(self.seen(), before, "after the program folder moved")
        self.stop()

        mailbox = os.path.join(self.elsewhere, "store", "MailBox")
        shutil.move(self.t.file("MailBox"), mailbox)
        self.t.write_settings(self.sections + [("MAILBOX", [("MailboxDir", mailbox)])])
        self.start()
        self.assertEqual(self.seen(), before, "after the MailBox folder moved")


if __name__ == "__main__":
    unittest.main()
