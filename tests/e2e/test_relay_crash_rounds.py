"""kill -9 while the relay works, with a greylisting and an accepting
receiver (127.0.0.8:25 and 127.0.0.7:25, found through dnsmasq on
127.0.0.2:53), 20 rounds, then a last run that drains the queue: every
acknowledged message reaches each of its two domains, none is lost, and
copies beyond the first are at most one per round (the message in flight
when the process died). Binds fixed loopback ports (RESOURCE_LOCK
vx_fixed_ports)."""

import glob
import os
import random
import signal
import smtplib
import time
import unittest

from vxharness import Dnsmasq, ProgramFolder, SmtpReceiver, clean_up, free_port, listening, wait_for

ROUNDS = 20
PER_ROUND = 3


def greylist(who, n):
    # Every recipient is put off once.
    return b"451 4.7.1 Greylisted, try again later" if n == 0 else None


class RelayCrashRounds(unittest.TestCase):
    def setUp(self):
        self.dns = Dnsmasq(["--mx-host=acc.test,127.0.0.7,10", "--mx-host=grey.test,127.0.0.8,10"])
        self.receivers = []
        self.t = None
        try:
            self.accepting = SmtpReceiver("127.0.0.7")
            self.receivers.append(self.accepting)
            self.greylisting = SmtpReceiver("127.0.0.8", greylist)
            self.receivers.append(self.greylisting)
            self.t = ProgramFolder()
            self.smtp = free_port()
            self.t.write_settings([
                ("SMTP", [("Port", str(self.smtp)), ("DnsServer", "127.0.0.2"), ("RelayInterval", "100"),
                          ("RetryWaits", "0,1"), ("GiveUpAge", "3600")]),
                ("POP3", [("Port", str(free_port()))]),
                ("IMAP", [("Port", str(free_port()))]),
                ("USERS", [("Count", "1")]),
                ("USER0", [("UserName", "alice@example.com"), ("Password", "secret")]),
            ])
        except BaseException:
            self.tearDown()
            raise

    def tearDown(self):
        clean_up(self.t, *self.receivers, self.dns)

    def start(self):
        proc = self.t.start_foreground()
        self.assertTrue(listening(self.smtp), "the service did not open its port")
        return proc

    def queued(self):
        return glob.glob(self.t.file("RelayQueue", "*.ENV"))

    def test_no_message_lost_nor_repeated_beyond_the_one_in_flight(self):
        rng = random.Random(28)
        sent = []
        for rnd in range(ROUNDS):
            proc = self.start()
            with smtplib.SMTP("127.0.0.1", self.smtp, timeout=10) as s:
                s.login("alice@example.com", "secret")
                for i in range(PER_ROUND):
                    tag = "r%d-m%d" % (rnd, i)
                    msg = ("Subject: %s\r\n\r\nmarker %s\r\n" % (tag, tag)).encode()
                    s.sendmail("alice@example.com", ["%s@acc.test" % tag, "%s@grey.test" % tag], msg)
                    sent.append(tag)
            time.sleep(rng.uniform(0.05, 1.2))
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait()

        proc = self.start()
        self.assertTrue(wait_for(lambda: not self.queued(), 60), self.queued())
        proc.send_signal(signal.SIGTERM)
        proc.communicate(timeout=30)

        extra = 0
        for tag in sent:
            for receiver, domain in ((self.accepting, "acc.test"), (self.greylisting, "grey.test")):
                copies = receiver.delivered("%s@%s" % (tag, domain))
                self.assertGreaterEqual(len(copies), 1, "%s lost for %s" % (tag, domain))
                for data in copies:
                    self.assertTrue(data.endswith(("marker %s\r\n" % tag).encode()), data[-80:])
                extra += len(copies) - 1
        self.assertEqual(glob.glob(self.t.file("Bad", "*")), [])
        self.assertLessEqual(extra, ROUNDS, "copies beyond the first")
        print("\n%d messages to two domains, %d rounds, %d extra copies" % (len(sent), ROUNDS, extra))


if __name__ == "__main__":
    unittest.main()
