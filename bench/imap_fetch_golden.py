#!/usr/bin/python3
"""Records a reference IMAP server's ENVELOPE and BODYSTRUCTURE answers for the
sample messages, as golden files for the FETCH comparison test.

A private Dovecot (installed from Debian with service start-up blocked, run as
its own process group on a free loopback port, stopped by process id) gets
every sample by APPEND; each answer is written byte for byte (literals kept)
to tests/data/imap_fetch/golden/<sample>.envelope and .bodystructure.
Samples: tests/data/imap_fetch/*.eml and tests/data/mime/*.eml, with line
ends made CR LF as our store reads them. Run as root: ./bench/imap_fetch_golden.py
"""
import argparse
import glob
import os
import re
import socket
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import mail_throughput as mt  # noqa: E402  (peer install and process helpers)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import imap_exchanges as ex  # noqa: E402  (the raw IMAP client)

PACKAGES = ["dovecot-core", "dovecot-imapd"]
CONF = """protocols = imap
listen = 127.0.0.1
base_dir = {dir}/run
state_dir = {dir}/state
log_path = {dir}/dovecot.log
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
default_internal_user = dovecot
default_login_user = dovenull
passdb {{
  driver = static
  args = password=secret
}}
userdb {{
  driver = static
  args = uid={uid} gid={gid} home={dir}/home/%n
}}
mail_location = maildir:~
first_valid_uid = 1
service imap-login {{
  inet_listener imap {{
    address = 127.0.0.1
    port = {port}
  }}
  inet_listener imaps {{
    port = 0
  }}
}}
service pop3-login {{
  inet_listener pop3 {{
    port = 0
  }}
}}
"""


class Session(ex.Session):
    """A raw IMAP client that keeps answers byte for byte."""

    def __init__(self, port):
        super().__init__("127.0.0.1", port)

    def command(self, tag, text, literal=None):
        if literal is None:
            self.sock.sendall(tag + b" " + text + b"\r\n")
        else:
            self.sock.sendall(tag + b" " + text + b" {%d}\r\n" % len(literal))
            if not self.line().startswith(b"+"):
                raise RuntimeError("no continuation")
            self.sock.sendall(literal + b"\r\n")
        untagged = []
        while True:
            r = self.response()
            if r.startswith(tag + b" "):
                if not r.startswith(tag + b" OK"):
                    raise RuntimeError(r.decode("latin-1"))
                return untagged
            untagged.append(r)


def item_value(response, name):
    """The value after NAME in '* n FETCH (NAME value)' (one item asked)."""
    start = response.index(b"(" + name + b" ") + len(name) + 2
    return response[start:-1]


def samples():
    files = sorted(glob.glob(os.path.join(ROOT, "tests", "data", "imap_fetch", "*.eml")))
    files += sorted(glob.glob(os.path.join(ROOT, "tests", "data", "mime", "*.eml")))
    for path in files:
        with open(path, "rb") as f:
            data = f.read()
        data = re.sub(rb"\r?\n", b"\r\n", data)
        yield os.path.basename(path)[:-4], data


def start_dovecot(extra_conf="", address="127.0.0.1"):
    """A private Dovecot on a free port of a loopback address, its folder
    made for it. Returns (folder, process, port) once it listens; the caller
    removes the folder, the process is stopped by mail_throughput's clean-up."""
    work = tempfile.mkdtemp(prefix="vx-dovecot-")
    os.chmod(work, 0o755)
    pw = mt.pwd.getpwnam("dovecot")
    with socket.socket() as s:
        s.bind((address, 0))
        port = s.getsockname()[1]
    conf = os.path.join(work, "dovecot.conf")
    with open(conf, "w") as f:
        f.write(CONF.format(dir=work, uid=pw.pw_uid, gid=pw.pw_gid, port=port).replace("127.0.0.1", address)
                + extra_conf)
    for d in ("run", "state", "home"):
        os.makedirs(os.path.join(work, d))
    os.chown(os.path.join(work, "home"), pw.pw_uid, pw.pw_gid)
    proc = mt.start([mt.DOVECOT, "-F", "-c", conf], os.path.join(work, "dovecot.out"))
    mt._procs.append(proc)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        try:
            socket.create_connection((address, port), timeout=0.2).close()
            break
        except OSError:
            time.sleep(0.05)
    return work, proc, port


def stop_dovecot(work, proc, keep=False):
    """Stops what start_dovecot started; its folder goes unless kept."""
    mt.stop_process(proc)
    mt._procs.remove(proc)
    if keep:
        print("kept", work, file=sys.stderr)
    else:
        mt.shutil.rmtree(work, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--no-install", action="store_true")
    args = ap.parse_args()
    if not args.no_install:
        mt.install_peers(PACKAGES)
    out_dir = os.path.join(ROOT, "tests", "data", "imap_fetch", "golden")
    os.makedirs(out_dir, exist_ok=True)
    work, proc, port = start_dovecot()
    try:
        s = Session(port)
        s.command(b"a", b"LOGIN golden secret")
        s.command(b"b", b"SELECT INBOX")
        for n, (name, data) in enumerate(samples(), 1):
            s.command(b"c", b"APPEND INBOX", data)
            for item in (b"ENVELOPE", b"BODYSTRUCTURE"):
                [resp] = [r for r in s.command(b"d", b"FETCH %d (%s)" % (n, item)) if b" FETCH (" in r]
                with open(os.path.join(out_dir, "%s.%s" % (name, item.decode().lower())), "wb") as f:
                    f.write(item_value(resp, item))
            print("recorded", name)
        s.command(b"z", b"LOGOUT")
    finally:
        stop_dovecot(work, proc, keep=sys.exc_info()[0] is not None)


if __name__ == "__main__":
    main()
