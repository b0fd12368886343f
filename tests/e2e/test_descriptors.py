"""Slow clients against a low descriptor limit: started with a soft limit of
256 (hard 8192), the service raises its soft limit to the hard one and says
so in the log, and with 600 idle connections open (1,200 descriptors) a new
client is still greeted within a second."""

import resource
import socket
import subprocess
import time
import unittest

from vxharness import ProgramFolder, free_port, listening, local_settings

SLOW = 600
HARD = 8192


class Descriptors(unittest.TestCase):
    def setUp(self):
        self.t = ProgramFolder()
        self.smtp = free_port()
        self.t.write_settings(local_settings(self.smtp))
        self.socks = []
        # This process holds the slow clients' ends.
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        self.old_limit = (soft, hard)
        if soft < SLOW + 200:
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, SLOW + 500), hard))

    def tearDown(self):
        for s in self.socks:
            s.close()
        self.t.cleanup()
        resource.setrlimit(resource.RLIMIT_NOFILE, self.old_limit)

    def test_slow_clients_do_not_lock_out_a_new_one(self):
        if resource.getrlimit(resource.RLIMIT_NOFILE)[0] < SLOW + 200:
            self.skipTest("cannot hold %d connections in the test process" % SLOW)
        proc = subprocess.Popen([self.t.binary], env=self.t.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL,
                                preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (256, HARD)))
        self.t.procs.append(proc)
        self.assertTrue(listening(self.smtp), "the service did not open its port")
        with open("/proc/%d/limits" % proc.pid) as f:
            line = next(l for l in f if l.startswith("Max open files"))
        self.assertEqual(line.split()[3], str(HARD), line)
        self.assertTrue(any("256 -> %d" % HARD in l for l in self.t.log_lines()))

        for _ in range(SLOW):
            s = socket.create_connection(("127.0.0.1", self.smtp), timeout=5)
            s.sendall(b"N")  # a command that never ends
            self.socks.append(s)
        start = time.monotonic()
        late = socket.create_connection(("127.0.0.1", self.smtp), timeout=5)
        late.settimeout(1.0)
        greeting = late.recv(512)
        late.close()
        self.assertTrue(greeting.startswith(b"220 "), greeting)
        self.assertLess(time.monotonic() - start, 1.0)


if __name__ == "__main__":
    unittest.main()
