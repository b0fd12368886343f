"""What the real service writes to its log when clients send credentials
where no exchange expects them, and control characters: no password, no
base64 of one in any case, no raw escape sequence."""

import base64
import socket
import unittest

from vxharness import ProgramFolder, free_port, listening, local_settings, wait_for

PASSWORD = "Sup3rSecret"
B64_USER = base64.b64encode(b"bob@example.test").decode()
B64_PASS = base64.b64encode(PASSWORD.encode()).decode()


class Client:
    def __init__(self, port):
        self.s = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.f = self.s.makefile("rb")
        self.f.readline()

    def cmd(self, line):
        self.s.sendall(line.encode("latin-1") + b"\r\n")
        reply = self.f.readline()
        while reply[3:4] == b"-":
            reply = self.f.readline()
        return reply

    def close(self):
        self.f.close()
        self.s.close()


class LogContent(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.t = ProgramFolder()
        cls.smtp, cls.pop3 = free_port(), free_port()
        cls.t.write_settings(local_settings(cls.smtp, cls.pop3, users=[("bob@example.test", PASSWORD)]))
        cls.t.start_foreground()
        if not listening(cls.smtp, cls.pop3):
            cls.t.cleanup()
            raise AssertionError("the service did not open its ports")

    @classmethod
    def tearDownClass(cls):
        cls.t.cleanup()

    def test_stray_credentials_and_control_characters(self):
        smtp = Client(self.smtp)
        self.assertTrue(smtp.cmd("AUTH LOGIN").startswith(b"503"))  # before EHLO
        self.assertTrue(smtp.cmd(B64_USER).startswith(b"500"))
        self.assertTrue(smtp.cmd(B64_PASS).startswith(b"500"))
        smtp.cmd("EHLO client.test")
        self.assertTrue(smtp.cmd("AUTH WHATEVER").startswith(b"504"))
        smtp.cmd(B64_PASS)
        smtp.cmd("AUTH\tLOGIN")
        self.assertTrue(smtp.cmd("MAIL FROM:<\x1b]0;owned\x07@example.test>").startswith(b"250"))
        smtp.cmd("XYZZY please")
        smtp.cmd("QUIT")
        smtp.close()
        pop3 = Client(self.pop3)
        pop3.cmd("USER bob@example.test " + PASSWORD)
        pop3.cmd("PASS\t" + PASSWORD)
        pop3.cmd("AUTH LOGIN")
        pop3.cmd(B64_PASS)
        pop3.cmd("QUIT")
        pop3.close()

        self.assertTrue(wait_for(lambda: sum("QUIT" in l for l in self.t.log_lines()) >= 2, 5))
        log = self.t.read("VxMailServers.log")
        for secret in (PASSWORD, B64_PASS, B64_USER):
            self.assertNotIn(secret.upper().encode(), log.upper())
        self.assertNotIn(b"\x1b", log)
        self.assertNotIn(b"\x07", log)
        text = log.decode("gbk")
        self.assertIn("MAIL FROM:<\\x1B]0;owned\\x07@example.test>", text)
        self.assertIn("USER bob@example.test ***", text)
        self.assertIn("command unrecognized: ***", text)
        self.assertIn("XYZZY \r\n", text)
        self.assertIn("command unrecognized: XYZZY", text)


if __name__ == "__main__":
    unittest.main()
