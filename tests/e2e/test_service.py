"""The service program end to end: the install switches, a run under the
service control layer (start, pause, continue, stop, crash, failed start) and
a foreground run stopped by a signal, with the log and counter it leaves."""

import os
import re
import signal
import socket
import unittest

from vxharness import ProgramFolder, SERVICE_NAME, free_port, wait_for

# A plain entry ends in a blank before CR LF; one with an exception ends in its message.
LINE = re.compile(r"^\d\d-\d\d-\d{4}:\d\d-\d\d-\d\d-\d{3} (\S+) (\d+):(-?\d+) ([<>=]) (.*?) ?\r$")
STOPPED, START_PENDING, RUNNING, PAUSED = 1, 2, 4, 7


def settings(pop3_port=None):
    return [
        ("SMTP", [("RelayInterval", "300"), ("Port", str(free_port())), ("DnsServer", "127.0.0.2")]),
        ("POP3", [("Port", str(free_port() if pop3_port is None else pop3_port))]),
        ("IMAP", [("Port", str(free_port()))]),
        ("USERS", [("Count", "2")]),
        ("USER0", [("DisplayName", "张三"), ("UserName", "alice@example.test"), ("Password", "secret")]),
        ("USER1", [("DisplayName", "Bob"), ("UserName", "bob@example.test"), ("Password", "pw")]),
    ]


def entries(folder):
    """(class, level, text) of every log entry after the header."""
    lines = folder.log_lines()
    out = []
    for line in lines[1:]:
        if not line:
            continue
        m = LINE.match(line)
        assert m, "malformed log line %r" % line
        out.append((m.group(1), m.group(4), m.group(5)))
    return out


class Switches(unittest.TestCase):
    def setUp(self):
        self.t = ProgramFolder()

    def tearDown(self):
        self.t.cleanup()

    def test_install_and_uninstall(self):
        r = self.t.run_switch("/install", "/silent")
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
        reg = self.t.read("scm", SERVICE_NAME + ".service", encoding="gbk")
        self.assertIn("BinaryPathName=" + self.t.binary, reg)

        r = self.t.run_switch("-INSTALL", "-Silent")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, "")
        self.assertEqual(r.stderr, 'Service "VxMailServices" failed to install with error: '
                                   '"The specified service already exists."\n')

        r = self.t.run_switch("/UNINSTALL")
        self.assertEqual((r.returncode, r.stdout), (0, "Service uninstalled successfully\n"))
        self.assertFalse(os.path.exists(self.t.file("scm", SERVICE_NAME + ".service")))
        r = self.t.run_switch("/uninstall", "/silent")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, 'Service "VxMailServices" failed to uninstall with error: '
                                   '"The specified service does not exist as an installed service."\n')

        r = self.t.run_switch("/install")
        self.assertEqual((r.returncode, r.stdout), (0, "Service installed successfully\n"))


class UnderServiceControl(unittest.TestCase):
    def setUp(self):
        self.t = ProgramFolder()
        self.assertEqual(self.t.run_switch("/install", "/silent").returncode, 0)

    def tearDown(self):
        self.t.cleanup()

    def test_start_pause_continue_stop(self):
        self.t.write_settings(settings())
        rc, st, err = self.t.sc("start")
        self.assertEqual(rc, 0, err)
        self.assertEqual(wait_for(lambda: self.t.state() == RUNNING), True)
        pid = self.t.service_pid()
        self.assertGreater(pid, 0)
        # Detached: its own session, no terminal, working in the program folder.
        self.assertEqual(os.getsid(pid), pid)
        self.assertEqual(os.readlink("/proc/%d/cwd" % pid), self.t.path)
        self.assertEqual(os.readlink("/proc/%d/fd/0" % pid), "/dev/null")

        rc, _, err = self.t.sc("start")
        self.assertEqual(rc, 1)
        self.assertIn("1056", err)

        self.assertEqual(self.t.sc("pause")[0], 0)
        self.assertTrue(wait_for(lambda: self.t.state() == PAUSED))
        self.assertEqual(self.t.sc("continue")[0], 0)
        self.assertTrue(wait_for(lambda: self.t.state() == RUNNING))
        self.assertEqual(self.t.sc("stop")[0], 0)
        self.assertTrue(wait_for(lambda: self.t.state() == STOPPED))
        self.assertTrue(wait_for(lambda: not os.path.exists("/proc/%d" % pid)))

        rc, st, err = self.t.sc("stop")
        self.assertEqual(rc, 1)
        self.assertIn("1062", err)

        lines = self.t.log_lines()
        self.assertTrue(lines[0].startswith("Log started, build "), lines[0])
        got = [e for e in entries(self.t) if e[2].strip() in ("启动服务", "停止服务")]
        self.assertEqual(got, [
            ("TqvSmtpServer", "=", "启动服务"), ("TqvPop3Server", "=", "启动服务"), ("TqvImap4Server", "=", "启动服务"),
            ("TqvImap4Server", "=", "停止服务"), ("TqvPop3Server", "=", "停止服务"), ("TqvSmtpServer", "=", "停止服务"),
        ])
        counter = self.t.read("MailBoxsmtp.dat", encoding="ascii")
        self.assertEqual(counter, "[SMTP]\r\nCounter=1\r\n")
        for d in ("MailBox", "RelayQueue", "Bad"):
            self.assertTrue(os.path.isdir(self.t.file(d)), d)

    def test_killed_service_reads_as_stopped_and_starts_again(self):
        self.t.write_settings(settings())
        self.assertEqual(self.t.sc("start")[0], 0)
        self.assertTrue(wait_for(lambda: self.t.state() == RUNNING))
        os.kill(self.t.service_pid(), signal.SIGKILL)
        self.assertTrue(wait_for(lambda: self.t.state() == STOPPED))
        self.assertEqual(self.t.sc("start")[0], 0)
        self.assertTrue(wait_for(lambda: self.t.state() == RUNNING))

    def test_failed_start_is_reported_and_leaves_nothing_started(self):
        self.t.write_settings(settings(pop3_port=70000))
        self.t.sc("start")
        self.assertTrue(wait_for(lambda: self.t.state() == STOPPED))
        _, st, _ = self.t.sc("query")
        self.assertNotEqual(st["exit"], 0)
        self.assertEqual(st["error"], "Service failed on start: POP3 port 70000: Invalid port number")
        got = [e for e in entries(self.t) if e[2].strip() in ("启动服务", "停止服务")]
        self.assertEqual(got, [("TqvSmtpServer", "=", "启动服务"), ("TqvSmtpServer", "=", "停止服务")])


class Foreground(unittest.TestCase):
    def setUp(self):
        self.t = ProgramFolder()

    def tearDown(self):
        self.t.cleanup()

    def test_signal_stops_cleanly_and_second_instance_is_refused(self):
        conf = settings()
        self.t.write_settings(conf)
        p = self.t.start_foreground()
        self.assertTrue(wait_for(lambda: any(e[0] == "TqvImap4Server" for e in entries(self.t))))
        second = self.t.run_switch()
        self.assertEqual(second.returncode, 1)
        self.assertIn("already running", second.stderr)
        p.send_signal(signal.SIGTERM)
        out, err = p.communicate(timeout=10)
        self.assertEqual(p.returncode, 0, err)
        # The terminal is told where the servers listen and where the log is.
        smtp, pop3, imap = conf[0][1][1][1], conf[1][1][0][1], conf[2][1][0][1]
        self.assertIn("VxMailServers: listening on SMTP port %s, POP3 port %s, IMAP4 port %s; log %s\n"
                      % (smtp, pop3, imap, self.t.file("VxMailServers.log")), err)
        self.assertEqual(self.t.read("MailBoxsmtp.dat", encoding="ascii"), "[SMTP]\r\nCounter=1\r\n")
        self.assertEqual(entries(self.t)[-1], ("TqvSmtpServer", "=", "停止服务"))

    def test_start_failure_is_told_on_stderr(self):
        self.t.write_settings(settings(pop3_port=0))
        p = self.t.start_foreground()
        out, err = p.communicate(timeout=10)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn("Service failed on start: POP3 port 0: Invalid port number", err)

    def test_port_in_use_is_named(self):
        conf = settings()
        self.t.write_settings(conf)
        smtp = int(conf[0][1][1][1])
        with socket.socket() as taken:
            taken.bind(("0.0.0.0", smtp))
            taken.listen()
            p = self.t.start_foreground()
            out, err = p.communicate(timeout=10)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn("Service failed on start: SMTP port %d: " % smtp, err)


if __name__ == "__main__":
    unittest.main()
