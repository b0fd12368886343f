"""Many large messages at once against the running service: the server's
memory stays bounded while twenty clients are each in the middle of a DATA of
8 MB (the bytes go to spool files in the account's folder, not to memory),
every message is then stored byte for byte; a client that goes away in the
middle leaves no spool file, and neither does a kill -9 once the service is
back (its start-up clean-up)."""

import os
import signal
import socket
import threading
import time
import unittest

from vxharness import ProgramFolder, free_port, local_settings, start_listening, wait_for

USER = "bob@example.test"
CLIENTS = 20
MB = 1024 * 1024
SIZE = 8 * MB
LINE = b"x" * 98 + b"\r\n"


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Session:
    """An SMTP session in DATA, the message sent but for its terminator."""

    def __init__(self, port, tag):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.buf = b""
        self.reply()
        for cmd in (b"HELO c.test", b"MAIL FROM:<a@x.test>", b"RCPT TO:<%s>" % USER.encode(), b"DATA"):
            self.sock.sendall(cmd + b"\r\n")
            assert self.reply()[:1] in (b"2", b"3")
        self.head = b"Subject: %s\r\nMessage-ID: <%s@x.test>\r\n\r\n" % (tag, tag)
        self.sock.sendall(self.head)

    def reply(self):
        while b"\r\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise OSError("closed")
            self.buf += chunk
        line, _, self.buf = self.buf.partition(b"\r\n")
        return line

    def send_body(self, size):
        block = LINE * (MB // len(LINE))
        sent = 0
        while sent < size:
            self.sock.sendall(block)
            sent += len(block)
        return sent // len(block)

    def finish(self):
        self.sock.sendall(b".\r\n")
        return self.reply()


class LargeMessages(unittest.TestCase):
    def setUp(self):
        self.t = ProgramFolder()
        self.smtp, self.pop3 = free_port(), free_port()
        self.t.write_settings(local_settings(self.smtp, self.pop3, users=[("Bob", USER, "secret")]))
        self.proc = self.start()

    def tearDown(self):
        self.t.cleanup()

    def start(self):
        return start_listening(self.t, (self.smtp, self.pop3))

    def box(self):
        return self.t.file("MailBox", USER)

    def names(self, prefix):
        try:
            return sorted(n for n in os.listdir(self.box()) if n.startswith(prefix))
        except FileNotFoundError:
            return []

    def test_memory_stays_bounded_while_many_large_messages_arrive(self):
        time.sleep(0.3)
        at_rest = rss_kb(self.proc.pid)
        sessions = [Session(self.smtp, b"m%d" % i) for i in range(CLIENTS)]
        blocks = {}
        threads = [threading.Thread(target=lambda i=i, s=s: blocks.__setitem__(i, s.send_body(SIZE)))
                   for i, s in enumerate(sessions)]
        for th in threads:
            th.start()
        peak = at_rest
        while any(th.is_alive() for th in threads):
            peak = max(peak, rss_kb(self.proc.pid))
            time.sleep(0.01)
        # Everything sent has arrived once the spool files hold it all (but
        # what each spool still buffers).
        expected = CLIENTS * (SIZE - 256 * 1024)
        wait_for(lambda: sum(os.path.getsize(os.path.join(self.box(), n)) for n in self.names("vxtmp-"))
                 >= expected, timeout=20)
        peak = max(peak, rss_kb(self.proc.pid))
        # 160 MB in flight; in memory they would take all of it and more.
        self.assertLess(peak - at_rest, 64 * 1024, "RSS grew from %d kB to %d kB" % (at_rest, peak))
        self.assertEqual(len(self.names("vxtmp-")), CLIENTS)
        for s in sessions:
            self.assertEqual(s.finish(), b"250 Ok")
            s.sock.close()
        self.assertEqual(self.names("vxtmp-"), [])
        stored = self.names("MAIL")
        self.assertEqual(len(stored), CLIENTS)
        body = LINE * (MB // len(LINE)) * blocks[0]
        for name in stored:
            with open(os.path.join(self.box(), name), "rb") as f:
                data = f.read()
            start = data.index(b"Subject: ")
            tag = data[start + 9:data.index(b"\r\n", start)]
            self.assertEqual(data[start:], b"Subject: %s\r\nMessage-ID: <%s@x.test>\r\n\r\n" % (tag, tag) + body)

    def test_dropped_transfer_and_kill_leave_no_spool_file(self):
        s = Session(self.smtp, b"dropped")
        s.send_body(3 * MB)
        self.assertTrue(wait_for(lambda: self.names("vxtmp-"), timeout=10))
        s.sock.close()
        self.assertTrue(wait_for(lambda: not self.names("vxtmp-"), timeout=10), self.names("vxtmp-"))
        self.assertEqual(self.names("MAIL"), [])
        # A crash in the middle of a transfer: the restarted service removes it.
        s = Session(self.smtp, b"killed")
        s.send_body(3 * MB)
        self.assertTrue(wait_for(lambda: self.names("vxtmp-"), timeout=10))
        os.kill(self.proc.pid, signal.SIGKILL)
        self.proc.wait()
        s.sock.close()
        self.assertTrue(self.names("vxtmp-"))
        self.proc = self.start()
        self.assertEqual(self.names("vxtmp-"), [])
        self.assertEqual(self.names("MAIL"), [])


if __name__ == "__main__":
    unittest.main()
