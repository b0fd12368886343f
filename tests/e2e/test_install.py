"""`cmake --install` into a scratch prefix: the installed systemd unit and
logrotate file name the installed program folder (and pass their own tools'
checks), the installed service starts there on free ports and serves mail,
and installing again over it keeps its settings and its mail."""

import os
import poplib
import re
import shutil
import signal
import smtplib
import socket
import subprocess
import tempfile
import unittest

from vxharness import BIN_DIR, free_port, listening, local_settings, write_settings_file

BUILD_DIR = os.path.realpath(os.path.join(BIN_DIR, ".."))
SYSTEMD_ANALYZE = shutil.which("systemd-analyze")
LOGROTATE = shutil.which("logrotate") or "/usr/sbin/logrotate"


def cmake_command():
    """The cmake that configured the build folder (from its cache)."""
    with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("CMAKE_COMMAND:"):
                return line.split("=", 1)[1].strip()
    return shutil.which("cmake") or "cmake"


def unit_keys(path):
    """{key: [values]} of a unit file, comments skipped."""
    keys = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith(("#", ";", "[")):
                k, _, v = line.partition("=")
                keys.setdefault(k, []).append(v)
    return keys


class InstalledService(unittest.TestCase):
    def setUp(self):
        self.prefix = os.path.realpath(tempfile.mkdtemp(prefix="vxinstall"))
        self.folder = os.path.join(self.prefix, "lib", "vxmail")
        self.program = os.path.join(self.folder, "VxMailServers")
        self.env = dict(os.environ, VXMAIL_SCM_DIR=os.path.join(self.prefix, "scm"))
        self.env.pop("VXMAIL_SERVICE_NAME", None)
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                os.kill(p.pid, signal.SIGKILL)
            p.communicate()
        shutil.rmtree(self.prefix, ignore_errors=True)

    def install(self, *options):
        r = subprocess.run([cmake_command(), "--install", BUILD_DIR, "--prefix", self.prefix, *options],
                           capture_output=True, text=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def unit(self):
        return os.path.join(self.prefix, "lib", "systemd", "system", "vxmail.service")

    def start(self, ports):
        # Started from another folder: the program folder, not the working
        # folder, must decide where settings, log and mail live.
        p = subprocess.Popen([self.program], env=self.env, cwd=self.prefix, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        self.procs.append(p)
        self.assertTrue(listening(*ports), "the installed service did not open its ports")
        return p

    def stop(self, p):
        os.kill(p.pid, signal.SIGTERM)
        _, err = p.communicate(timeout=30)
        self.assertEqual(p.returncode, 0, err)
        return err

    def test_unit_and_logrotate_name_the_installed_folder(self):
        self.install()
        self.assertTrue(os.access(self.program, os.X_OK))
        self.assertTrue(os.access(os.path.join(self.folder, "VxMailStation"), os.X_OK))
        unit = self.unit()
        keys = unit_keys(unit)
        self.assertEqual(keys["ExecStart"], [self.program])
        self.assertEqual(keys["WorkingDirectory"], [self.folder])
        self.assertEqual(keys["ReadWritePaths"], [self.folder])
        self.assertEqual(keys["Type"], ["simple"])
        with open(unit) as f:
            self.assertNotIn("/opt/vxmail", f.read())
        rotate = os.path.join(self.prefix, "share", "vxmail", "vxmail.logrotate")
        with open(rotate) as f:
            text = f.read()
        self.assertRegex(text, r"(?m)^%s \{$" % re.escape(os.path.join(self.folder, "VxMailServers.log")))
        if os.path.exists(LOGROTATE):
            r = subprocess.run([LOGROTATE, "-d", "-s", os.path.join(self.prefix, "state"), rotate],
                               capture_output=True, text=True, timeout=60)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertNotIn("error", r.stderr.lower())

    @unittest.skipUnless(SYSTEMD_ANALYZE, "systemd-analyze is not on this machine")
    def test_installed_unit_passes_systemd_analyze(self):
        self.install()
        # It also reports unknown keys and a program that is not there.
        r = subprocess.run([SYSTEMD_ANALYZE, "verify", self.unit()], capture_output=True, text=True, timeout=60)
        self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))

    def test_service_component_alone(self):
        self.install("--component", "service")
        self.assertTrue(os.access(self.program, os.X_OK))
        self.assertTrue(os.path.exists(self.unit()))
        self.assertFalse(os.path.exists(os.path.join(self.folder, "VxMailStation")))

    def test_installed_service_starts_and_an_upgrade_keeps_its_state(self):
        self.install()
        smtp, pop3, imap = free_port(), free_port(), free_port()
        settings = os.path.join(self.folder, "settings.ini")
        write_settings_file(settings, local_settings(smtp, pop3, imap, users=[("alice@example.test", "secret")]))
        with open(settings, "rb") as f:
            settings_bytes = f.read()

        p = self.start((smtp, pop3, imap))
        for port, greeting in ((smtp, b"220 "), (pop3, b"+OK"), (imap, b"* OK")):
            with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                self.assertTrue(s.recv(512).startswith(greeting), port)
        with smtplib.SMTP("127.0.0.1", smtp, timeout=10) as c:
            c.sendmail("bob@example.test", ["alice@example.test"], b"Subject: kept\r\n\r\nacross the upgrade\r\n")
        err = self.stop(p)
        self.assertIn("log " + os.path.join(self.folder, "VxMailServers.log"), err)
        box = os.path.join(self.folder, "MailBox", "alice@example.test")
        stored = sorted(n for n in os.listdir(box) if n.startswith("MAIL"))
        self.assertEqual(len(stored), 1)

        self.install()
        with open(settings, "rb") as f:
            self.assertEqual(f.read(), settings_bytes)
        self.assertEqual(sorted(n for n in os.listdir(box) if n.startswith("MAIL")), stored)

        p = self.start((smtp, pop3, imap))
        c = poplib.POP3("127.0.0.1", pop3, timeout=10)
        c.user("alice@example.test")
        c.pass_("secret")
        self.assertEqual(c.stat()[0], 1)
        self.assertIn(b"across the upgrade", b"\n".join(c.retr(1)[1]))
        c.quit()
        self.stop(p)


if __name__ == "__main__":
    unittest.main()
