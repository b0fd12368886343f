"""The shipped logrotate configuration, run by Debian's logrotate against a
running service: a forced rotation compresses the old log and the service's
next line starts a new private log; without force, a log past 100 MB is
rotated and a small one is left alone."""

import gzip
import os
import shutil
import socket
import stat
import subprocess
import time
import unittest

from vxharness import ProgramFolder, free_port, local_settings, wait_for

CONFIG = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "vxmail.logrotate")
LOGROTATE = shutil.which("logrotate") or "/usr/sbin/logrotate"


@unittest.skipUnless(os.path.exists(LOGROTATE), "logrotate is not installed (tools/packages.txt)")
class LogRotate(unittest.TestCase):
    def setUp(self):
        self.t = ProgramFolder()
        self.log = self.t.file("VxMailServers.log")
        with open(CONFIG) as f:
            text = f.read()
        self.assertIn("/opt/vxmail/VxMailServers.log", text)
        self.config = self.t.file("logrotate.conf")
        with open(self.config, "w") as f:
            f.write(text.replace("/opt/vxmail/VxMailServers.log", self.log))
        self.state = self.t.file("logrotate.state")

    def tearDown(self):
        self.t.cleanup()

    def rotate(self, *flags):
        r = subprocess.run([LOGROTATE, *flags, "-s", self.state, self.config], capture_output=True, text=True,
                           timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)

    def connect(self, port):
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            s.recv(512)
            s.sendall(b"QUIT\r\n")
            s.recv(512)

    def test_forced_rotation_under_a_running_service(self):
        smtp = free_port()
        self.t.write_settings(local_settings(smtp))
        self.t.start_foreground()

        def listening():
            try:
                self.connect(smtp)
                return True
            except OSError:
                return False

        self.assertTrue(wait_for(listening, 10))
        self.assertTrue(wait_for(lambda: b"QUIT" in self.t.read("VxMailServers.log"), 5))
        # The probe's close is logged after its QUIT: rotate once the log is quiet.
        sizes = []

        def quiet():
            sizes.append(os.path.getsize(self.log))
            time.sleep(0.2)
            return os.path.getsize(self.log) == sizes[-1]

        self.assertTrue(wait_for(quiet, 5))
        self.rotate("-f")
        with gzip.open(self.log + ".1.gz") as f:
            self.assertIn(b"QUIT", f.read())
        self.assertFalse(os.path.exists(self.log))
        self.connect(smtp)
        self.assertTrue(wait_for(lambda: os.path.exists(self.log) and b"QUIT" in self.t.read("VxMailServers.log"), 5))
        self.assertEqual(stat.S_IMODE(os.stat(self.log).st_mode), 0o600)

    def test_size_limit_without_force(self):
        with open(self.log, "wb") as f:
            f.write(b"small\r\n")
        self.rotate()
        self.assertEqual(sorted(os.listdir(self.t.path)).count("VxMailServers.log.1.gz"), 0)
        with open(self.log, "r+b") as f:
            f.truncate(101 * 1024 * 1024)
        self.rotate()
        self.assertTrue(os.path.exists(self.log + ".1.gz"))
        self.assertFalse(os.path.exists(self.log))


if __name__ == "__main__":
    unittest.main()
