"""The relay through the real service: mail for remote domains submitted over
SMTP is delivered by the relay to scripted receivers on 127.0.0.3:25,
127.0.0.4:25 and 127.0.0.6:25, found through dnsmasq on 127.0.0.2:53
(exchanger names too); a refused recipient and a domain that does not exist
send the pair to the bad-mail folder at once; greylisting, a busy greeting and
a refused first exchanger end in one delivery; a receiver that stays busy, or
refuses connections, until the give-up age sends the pair to the bad-mail
folder; a stop while the relay waits on a silent name server (127.0.0.5:53)
ends at once. Binds fixed loopback ports (RESOURCE_LOCK vx_fixed_ports)."""

import glob
import os
import signal
import smtplib
import socket
import threading
import time
import unittest

from vxharness import Dnsmasq, ProgramFolder, SmtpReceiver, clean_up, free_port, listening, wait_for

MESSAGE = (b"From: Alice <alice@example.com>\r\nSubject: relay\r\nMessage-ID: <m1@example.com>\r\n"
           b"X-Mailer: test\r\n\r\nfirst line\r\n.leading dot\r\n8-bit: \xe4\xf6\xfc\r\n")

# Replies by recipient, one per RCPT in turn (the last repeats); everyone
# else gets 250.
REPLIES = {
    "reject@one.test": [b"550 5.1.1 No such user"],
    "grey@one.test": [b"451 4.7.1 Greylisted, try again later", b"250 2.1.5 Ok"],
    "grey2@two.test": [b"451 4.7.1 Greylisted, try again later", b"250 2.1.5 Ok"],
    "stuck@one.test": [b"450 4.2.0 Mailbox busy"],
}


def reply(who, n):
    answers = REPLIES.get(who)
    return answers[min(n, len(answers) - 1)] if answers else None


class Relay(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dns = Dnsmasq(["--mx-host=one.test,127.0.0.3,10", "--mx-host=two.test,127.0.0.4,10",
                           "--mx-host=dead.test,127.0.0.9,10", "--host-record=amx.test,127.0.0.4",
                           "--mx-host=busy.test,127.0.0.6,10",
                           "--mx-host=backup.test,127.0.0.9,10", "--mx-host=backup.test,127.0.0.4,20",
                           # An exchanger by name that only this name server knows.
                           "--mx-host=named.test,mx.named.test,10", "--host-record=mx.named.test,127.0.0.3"])
        cls.receivers = []
        cls.t = None
        try:
            for address, busy in (("127.0.0.3", 0), ("127.0.0.4", 0), ("127.0.0.6", 1)):
                cls.receivers.append(SmtpReceiver(address, reply, busy))
            cls.t = ProgramFolder()
            cls.smtp = free_port()
            cls.t.write_settings([
                # Tried again a second after a temporary failure, given up
                # after four.
                ("SMTP", [("Port", str(cls.smtp)), ("DnsServer", "127.0.0.2"), ("RelayInterval", "300"),
                          ("RetryWaits", "1"), ("GiveUpAge", "4")]),
                ("POP3", [("Port", str(free_port()))]),
                ("IMAP", [("Port", str(free_port()))]),
                ("USERS", [("Count", "1")]),
                ("USER0", [("UserName", "alice@example.com"), ("Password", "secret"), ("DisplayName", "Alice")]),
            ])
            cls.t.start_foreground()

            def listening():
                try:
                    socket.create_connection(("127.0.0.1", cls.smtp), timeout=0.2).close()
                    return True
                except OSError:
                    return False

            if not wait_for(listening, 10):
                raise AssertionError("the service did not open its port")
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        clean_up(cls.t, *cls.receivers, cls.dns)

    def submit(self, rcpts):
        with smtplib.SMTP("127.0.0.1", self.smtp, timeout=10) as s:
            s.login("alice@example.com", "secret")
            s.sendmail("alice@example.com", rcpts, MESSAGE)

    def queue_empty(self):
        return not glob.glob(self.t.file("RelayQueue", "*"))

    def log(self):
        return "\n".join(self.t.log_lines())

    def test_1_delivered_to_each_domain_and_removed(self):
        self.submit(["bob@one.test", "Carol@TWO.test", "dan@amx.test"])
        self.assertTrue(wait_for(self.queue_empty, 5))
        one, two = self.receivers[:2]
        with one.lock, two.lock:
            self.assertEqual([m[0] for m in one.messages], [["bob@one.test"]])
            # two.test by its exchanger, amx.test by its address record.
            self.assertEqual(sorted(m[0][0] for m in two.messages), ["Carol@TWO.test", "dan@amx.test"])
            for _, data in one.messages + two.messages:
                self.assertTrue(data.startswith(b"Received:"), data[:80])
                self.assertTrue(data.endswith(MESSAGE), data[-200:])
            self.assertIn(b"MAIL FROM: <alice@example.com>\r\n", one.lines)
            self.assertEqual(one.lines[-1], b"QUIT\r\n")
        self.assertEqual(glob.glob(self.t.file("Bad", "*")), [])
        log = self.log()
        self.assertIn("发送转发命令: MAIL FROM: <alice@example.com>", log)
        self.assertIn("接收转发响应: 250 2.0.0 Ok: queued", log)
        self.assertRegex(log, r"TTimer \S+ > 处理队列")
        self.assertRegex(log, r"TTimer \S+ < 处理队列")

    def test_9b_exchanger_known_only_to_the_configured_name_server(self):
        one = self.receivers[0]
        with one.lock:
            before = len(one.messages)
        self.submit(["nina@named.test"])
        self.assertTrue(wait_for(self.queue_empty, 10))
        with one.lock:
            self.assertEqual([m[0] for m in one.messages[before:]], [["nina@named.test"]])
        self.assertEqual(glob.glob(self.t.file("Bad", "*named*")), [])

    def check_bad(self, rcpt, expected):
        before = set(glob.glob(self.t.file("Bad", "*.ENV")))
        self.submit([rcpt])
        self.assertTrue(wait_for(lambda: self.queue_empty() and set(glob.glob(self.t.file("Bad", "*.ENV"))) - before,
                                 15))
        env = (set(glob.glob(self.t.file("Bad", "*.ENV"))) - before).pop()
        with open(env, "rb") as f:
            self.assertEqual(f.read(), b"alice@example.com\r\n" + rcpt.encode() + b"\r\n")
        msg = env[:-4] + ".MSG"
        with open(msg, "rb") as f:
            self.assertTrue(f.read().endswith(MESSAGE))
        lines = [l for l in self.t.log_lines() if "传送错误: " in l and os.path.basename(env)[:-4] in l]
        self.assertEqual(len(lines), 2, lines)
        for l in lines:
            self.assertRegex(l, expected)
            self.assertTrue(l.rstrip().endswith("复制到错误文件夹 - 成功"), l)

    def test_2_refused_recipient(self):
        self.check_bad("reject@one.test", r"传送错误: 代码 = 550, 错误 = 550, 信息 = 550 5\.1\.1 No such user, ")

    def test_3_domain_that_does_not_exist(self):
        self.check_bad("x@nosuch.test", r"传送错误: 代码 = 0, 错误 = 3, 信息 = \S")

    def test_4_exchanger_refusing_connections_until_given_up(self):
        self.check_bad("y@dead.test", r"传送错误: 代码 = 0, 错误 = [1-9]\d*, 信息 = \S")
        self.assertIn("域名暂缓: dead.test, 代码 = 0, 错误 = ", self.log())

    def check_delivered_once(self, receiver, rcpts):
        before = set(glob.glob(self.t.file("Bad", "*")))
        self.submit(rcpts)
        self.assertTrue(wait_for(lambda: self.queue_empty(), 15), glob.glob(self.t.file("RelayQueue", "*")))
        time.sleep(0.5)  # a second copy would come now
        for rcpt in rcpts:
            copies = (receiver[rcpt] if isinstance(receiver, dict) else receiver).delivered(rcpt)
            self.assertEqual(len(copies), 1, rcpt)
            self.assertTrue(copies[0].endswith(MESSAGE))
        self.assertEqual(set(glob.glob(self.t.file("Bad", "*"))), before)

    def test_5_greylisted_recipient_arrives_once_on_a_later_try(self):
        self.check_delivered_once(self.receivers[0], ["grey@one.test"])
        log = self.log()
        self.assertIn("收件人暂缓: grey@one.test, 代码 = 451, 信息 = 451 4.7.1 Greylisted, try again later", log)
        self.assertRegex(log, r"稍后重试: \S+\.ENV, 收件人 = 1, 等待秒数 = 1")
        with self.receivers[0].lock:
            self.assertEqual(self.receivers[0].asked["grey@one.test"], 2)

    def test_6_busy_greeting_then_accepting(self):
        self.check_delivered_once(self.receivers[2], ["x@busy.test"])
        self.assertIn("域名暂缓: busy.test, 代码 = 421, ", self.log())

    def test_7_two_domains_one_greylisting_each_get_it_once(self):
        one, two = self.receivers[:2]
        self.check_delivered_once({"dave@one.test": one, "grey2@two.test": two}, ["dave@one.test", "grey2@two.test"])

    def test_8_staying_busy_until_the_give_up_age(self):
        self.check_bad("stuck@one.test", r"传送错误: 代码 = 450, 错误 = 450, 信息 = 450 4\.2\.0 Mailbox busy, ")
        self.assertRegex(self.log(), r"排队时间已到: \S+\.ENV")
        with self.receivers[0].lock:
            self.assertGreaterEqual(self.receivers[0].asked["stuck@one.test"], 3)

    def test_9_refused_first_exchanger_and_accepting_second(self):
        self.check_delivered_once(self.receivers[1], ["eve@backup.test"])


class StopDuringLookUp(unittest.TestCase):
    """A stop while the relay waits on a name server that never answers ends
    at once, and the pair stays queued for the next start."""

    def setUp(self):
        # Reads and drops every query.
        self.silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.silent.bind(("127.0.0.5", 53))
        self.silent.settimeout(0.1)
        self.queries = []
        self.running = True

        def drop():
            while self.running:
                try:
                    self.queries.append(self.silent.recv(2048))
                except OSError:
                    pass

        self.reader = threading.Thread(target=drop, daemon=True)
        self.reader.start()
        self.t = ProgramFolder()

    def tearDown(self):
        self.t.cleanup()
        self.running = False
        self.reader.join()
        self.silent.close()

    def test_stop_ends_the_wait_and_keeps_the_pair(self):
        smtp = free_port()
        self.t.write_settings([
            ("SMTP", [("Port", str(smtp)), ("DnsServer", "127.0.0.5"), ("RelayInterval", "200")]),
            ("POP3", [("Port", str(free_port()))]),
            ("IMAP", [("Port", str(free_port()))]),
            ("USERS", [("Count", "1")]),
            ("USER0", [("UserName", "alice@example.com"), ("Password", "secret")]),
        ])
        p = self.t.start_foreground()
        self.assertTrue(listening(smtp))
        with smtplib.SMTP("127.0.0.1", smtp, timeout=10) as s:
            s.login("alice@example.com", "secret")
            s.sendmail("alice@example.com", ["bob@far.test"], MESSAGE)
        self.assertTrue(wait_for(lambda: self.queries, 10))
        start = time.monotonic()
        p.send_signal(signal.SIGTERM)
        _, err = p.communicate(timeout=30)
        took = time.monotonic() - start
        self.assertEqual(p.returncode, 0, err)
        # The look-up's own time-out is 5 s.
        self.assertLess(took, 2.0)
        queued = sorted(os.path.basename(f) for f in glob.glob(self.t.file("RelayQueue", "*")))
        self.assertEqual(len(queued), 2, queued)
        self.assertEqual(queued[0][:-4], queued[1][:-4])
        with open(self.t.file("RelayQueue", queued[0]), "rb") as f:
            self.assertEqual(f.read(), b"alice@example.com\r\nbob@far.test\r\n")
        self.assertEqual(glob.glob(self.t.file("Bad", "*")), [])


if __name__ == "__main__":
    unittest.main()
