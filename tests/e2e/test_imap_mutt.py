"""mutt against the service's IMAP4 server in a scripted session on a
pseudo-terminal: it lists INBOX, shows a message (which reads as seen on the
server), flags one, deletes another and syncs; the server then holds the
flags and no longer the deleted message."""

import fcntl
import imaplib
import os
import pty
import select
import shutil
import smtplib
import struct
import termios
import time
import unittest

from vxharness import start_imap_service


def run_on_pty(argv, env, timeout=30):
    """Runs ARGV on a new 80x24 pseudo-terminal, reading everything it
    draws; returns (exit status or None on time-out, the bytes drawn). A
    program still running at the time-out is killed."""
    pid, fd = pty.fork()
    if pid == 0:
        try:
            os.execvpe(argv[0], argv, env)
        finally:
            os._exit(127)
    try:
        fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        out = b""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], 0.1)
            if ready:
                try:
                    out += os.read(fd, 65536)
                except OSError:  # the terminal closed with the program
                    pass
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return status, out
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        return None, out
    finally:
        os.close(fd)


class MuttSession(unittest.TestCase):
    def setUp(self):
        self.mutt = shutil.which("mutt")
        if not self.mutt:
            self.skipTest("mutt is not installed")
        self.t, self.smtp, self.imap = start_imap_service([("Bob", "bob@example.test", "secret")])
        self.addCleanup(self.t.cleanup)
        with smtplib.SMTP("127.0.0.1", self.smtp, timeout=10) as s:
            for n in (1, 2, 3):
                s.sendmail("alice@example.test", ["bob@example.test"],
                           b"From: alice@example.test\r\nSubject: note %d\r\n\r\nbody %d\r\n" % (n, n))
        self.rc = os.path.join(self.t.path, "muttrc")
        with open(self.rc, "w") as f:
            f.write(f"""set imap_user="bob@example.test"
set imap_pass="secret"
set folder="imap://127.0.0.1:{self.imap}/"
set spoolfile="+INBOX"
set ssl_starttls=no
set ssl_force_tls=no
set imap_authenticators="login"
set sort=mailbox-order
set quit=yes
set move=no
set mark_old=no
set wait_key=no
set delete=yes
set header_cache=""
set message_cachedir=""
set tmpdir="{self.t.path}"
set record=""
""")

    def test_read_flag_and_delete(self):
        keys = ("<first-entry><display-message><exit>"
                "<last-entry><flag-message>"
                "<previous-entry><delete-message>"
                "<sync-mailbox><quit>")
        env = dict(os.environ, TERM="vt100", HOME=self.t.path, LANG="C.UTF-8")
        status, screen = run_on_pty([self.mutt, "-n", "-F", self.rc, "-e", 'push "%s"' % keys], env)
        self.assertEqual(status, 0, screen[-2000:])
        # The index drawn after the sync: two messages left, one flagged.
        self.assertIn(b"[Msgs:2 New:1 Flag:1", screen)

        m = imaplib.IMAP4("127.0.0.1", self.imap, timeout=10)
        m.login("bob@example.test", "secret")
        m.select("INBOX")
        typ, data = m.fetch("1:*", "(FLAGS BODY.PEEK[HEADER.FIELDS (SUBJECT)])")
        m.logout()
        found = {}
        for item in data:
            if isinstance(item, tuple):
                found[item[1].strip()] = item[0]
        self.assertEqual(sorted(found), [b"Subject: note 1", b"Subject: note 3"])
        self.assertIn(b"\\Seen", found[b"Subject: note 1"])
        self.assertNotIn(b"\\Flagged", found[b"Subject: note 1"])
        self.assertIn(b"\\Flagged", found[b"Subject: note 3"])
        self.assertNotIn(b"\\Seen", found[b"Subject: note 3"])


if __name__ == "__main__":
    unittest.main()
