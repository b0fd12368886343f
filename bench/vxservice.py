"""The service under measurement for bench/syscalls.py, smtp_flood.py and
accept_burst.py: started in the foreground from a private temp folder on free
loopback ports, with the accounts given; every process and folder registered
here is removed by cleanup()."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.dont_write_bytecode = True  # leave no cache behind in tests/e2e or here
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from vxharness import free_port, listening, local_settings, write_settings_file  # noqa: E402  (shared with the end-to-end tests)

DEFAULT_BINARY = os.path.join(ROOT, "build", "bin", "VxMailServers")
PASSWORD = "secret"

procs = []  # Popen or multiprocessing.Process objects to stop
dirs = []   # temp folders to remove


def install(folder, binary, users):
    """Puts a copy of `binary` and a settings.ini for `users` (password
    PASSWORD) on free loopback ports into `folder`. Returns the SMTP and POP3
    ports, the program's path and the environment to start it with (in the
    foreground, its service control files in the folder)."""
    program = os.path.join(folder, "VxMailServers")
    shutil.copy2(binary, program)
    smtp, pop3 = free_port(), free_port()
    write_settings_file(os.path.join(folder, "settings.ini"),
                        local_settings(smtp, pop3, users=[(u, PASSWORD) for u in users]))
    env = dict(os.environ, VXMAIL_SCM_DIR=os.path.join(folder, "scm"))
    env.pop("VXMAIL_SERVICE_NAME", None)
    return smtp, pop3, program, env


class Service:
    """A running VxMailServers; .smtp and .pop3 are its ports."""

    def __init__(self, binary, users=(), prefix="vxbench"):
        self.dir = os.path.realpath(tempfile.mkdtemp(prefix=prefix))
        dirs.append(self.dir)
        self.smtp, self.pop3, program, env = install(self.dir, binary, users)
        self.proc = subprocess.Popen([program], cwd=self.dir, env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
        procs.append(self.proc)
        if not listening(self.smtp, self.pop3, timeout=15):
            raise RuntimeError("VxMailServers did not open its ports")

    @property
    def pid(self):
        return self.proc.pid

    def stop(self):
        stop_one(self.proc)
        if self.proc in procs:
            procs.remove(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)
        if self.dir in dirs:
            dirs.remove(self.dir)


def make_body(size, subject="bench sample"):
    head = ("From: sender@bench.test\r\nTo: bench@bench.test\r\nSubject: %s\r\n"
            "Message-ID: <fixed@bench.test>\r\n\r\n" % subject)
    line = ("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_" * 2)[:76] + "\r\n"
    out, total = [head], len(head)
    while total + len(line) <= size:
        out.append(line)
        total += len(line)
    return "".join(out).encode("ascii")


def stop_one(p):
    """A Popen by its own process group (the service's), anything else by pid."""
    try:
        if isinstance(p, subprocess.Popen):
            if p.poll() is None:
                if p.args[0].endswith("VxMailServers"):
                    os.killpg(p.pid, signal.SIGKILL)
                else:
                    p.kill()
                p.wait(10)
        elif p.is_alive():
            p.kill()
            p.join(5)
    except (ProcessLookupError, OSError, subprocess.TimeoutExpired):
        pass


def cleanup():
    while procs:
        stop_one(procs.pop())
    while dirs:
        shutil.rmtree(dirs.pop(), ignore_errors=True)


def run_main(main):
    """Runs main with clean-up on exit, errors, Ctrl+C and SIGTERM."""
    import multiprocessing as mp
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(130)
    finally:
        if mp.parent_process() is None:
            cleanup()
