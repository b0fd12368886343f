"""kill -9 under concurrent senders, then a restart: every message the
service acknowledged is on disk byte for byte, no file name or POP3 UIDL ever
belongs to two messages (also after messages were deleted), and the
temporary files a crash leaves are gone once the service is back."""

import glob
import os
import poplib
import signal
import smtplib
import threading
import time
import unittest

from vxharness import ProgramFolder, free_port, listening, local_settings, wait_for

ROUNDS = 4
SENDERS = 6
USER = "bob@example.test"


def body(tag):
    # The marker line identifies the message; the padding varies its size.
    return ("Subject: %s\r\n\r\nmarker %s\r\n%s\r\n" % (tag, tag, "x" * (len(tag) * 7 % 300))).encode()


def uid_of(name, size):
    return (name.replace(".", ":").upper() + ":" + str(size)).replace(" ", "_")


class CrashRounds(unittest.TestCase):
    def setUp(self):
        self.t = ProgramFolder()
        self.smtp, self.pop3 = free_port(), free_port()
        self.t.write_settings(local_settings(self.smtp, self.pop3, users=[("Bob", USER, "secret")]))

    def tearDown(self):
        self.t.cleanup()

    def start(self):
        proc = self.t.start_foreground()
        self.assertTrue(listening(self.smtp, self.pop3), "the service did not open its ports")
        return proc

    def send_until(self, stop, tag, acked, lock):
        n = 0
        while not stop.is_set():
            try:
                with smtplib.SMTP("127.0.0.1", self.smtp, timeout=5) as s:
                    while not stop.is_set():
                        n += 1
                        msg = body("%s-%d" % (tag, n))
                        s.sendmail("alice@example.test", [USER], msg)
                        with lock:
                            acked[msg.split(b"\r\n")[2]] = msg
            except (OSError, smtplib.SMTPException):
                time.sleep(0.05)  # killed under us: only acknowledged mail counts

    def files(self):
        out = {}
        for path in glob.glob(self.t.file("MailBox", USER, "*.MSG")):
            with open(path, "rb") as f:
                data = f.read()
            marker = next(line for line in data.split(b"\r\n") if line.startswith(b"marker "))
            out[os.path.basename(path)] = (marker, data)
        return out

    def test_acknowledged_mail_survives_and_names_and_uids_are_never_reused(self):
        acked, lock = {}, threading.Lock()
        names, uids, deleted = {}, {}, set()
        for rnd in range(ROUNDS):
            proc = self.start()
            self.assertEqual(glob.glob(self.t.file("MailBox", USER, "vxtmp-*")), [],
                             "temporary files of the last crash are still there")
            # Delete the older half over POP3, so that reused names would show.
            if rnd:
                p = poplib.POP3("127.0.0.1", self.pop3, timeout=10)
                p.user(USER)
                p.pass_("secret")
                listed = [line.split() for line in p.uidl()[1]]
                stored = sorted(self.files().items(), key=lambda kv: kv[0].lower())
                self.assertEqual(len(listed), len(stored))
                for (num, uid), (name, (marker, data)) in zip(listed, stored):
                    self.assertEqual(uid.decode(), uid_of(name, len(data)))
                for num, uid in listed[: len(listed) // 2]:
                    p.dele(int(num))
                    deleted.add(uid.decode())
                p.quit()
            stop = threading.Event()
            threads = [threading.Thread(target=self.send_until, args=(stop, "r%d-s%d" % (rnd, i), acked, lock))
                       for i in range(SENDERS)]
            for th in threads:
                th.start()
            wait_for(lambda: len(acked) > (rnd + 1) * 100, 10)
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait()
            stop.set()
            for th in threads:
                th.join()

            stored = self.files()
            for name, (marker, data) in stored.items():
                uid = uid_of(name, len(data))
                self.assertEqual(names.setdefault(name, marker), marker, "name %s given to two messages" % name)
                self.assertEqual(uids.setdefault(uid, marker), marker, "UIDL %s given to two messages" % uid)
                self.assertNotIn(uid, deleted, "the UIDL of a deleted message came back")
            present = {marker: data for marker, data in stored.values()}
            for marker, msg in acked.items():
                uid_gone = any(uids.get(u) == marker for u in deleted)
                if uid_gone:
                    continue
                self.assertIn(marker, present, "acknowledged message lost: %r" % marker)
                self.assertTrue(present[marker].endswith(msg), "acknowledged message damaged: %r" % marker)
        self.assertGreater(len(acked), ROUNDS * 100)


if __name__ == "__main__":
    unittest.main()
