#!/usr/bin/python3
"""Records a reference IMAP server's FETCH answers for the sample messages, as
golden files for the FETCH comparison tests.

A private Dovecot (installed from Debian with service start-up blocked, run as
its own process group on a free port of a loopback address of its own,
stopped by process id) gets every sample by APPEND; each answer is written
byte for byte (literals kept) to tests/data/imap_fetch/golden/<sample>.envelope,
.bodystructure and .body (the non-extensible BODY), and the answers to the
sections of every part (BODY[n], BODY[n.MIME], HEADER, TEXT, HEADER.FIELDS,
a partial and a part beyond the last) to <sample>.sections as JSON (section
to answer, bytes read as latin-1; null for NIL).
Samples: tests/data/imap_fetch/*.eml and tests/data/mime/*.eml, with line
ends made CR LF as our store reads them. Run as root: ./bench/imap_fetch_golden.py
"""
import argparse
import glob
import json
import os
import re
import socket
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import mail_throughput as mt  # noqa: E402  (peer install and process helpers)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from test_imap_fetch_grammar import parse as parse_value  # noqa: E402  (the tests' IMAP data reader)
import imap_exchanges as ex  # noqa: E402  (the raw IMAP client)

PACKAGES = ["dovecot-core", "dovecot-imapd"]
# Our own loopback address, away from other scripts' peers.
ADDRESS = "127.0.4.1"
CONF = """protocols = imap
listen = {address}
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
    address = {address}
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

    def __init__(self, port, address="127.0.0.1"):
        super().__init__(address, port)

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


def free_port_on(address):
    with socket.socket() as s:
        s.bind((address, 0))
        return s.getsockname()[1]


def listening_on(address, port, timeout):
    deadline = mt.time.monotonic() + timeout
    while mt.time.monotonic() < deadline:
        try:
            socket.create_connection((address, port), timeout=0.2).close()
            return
        except OSError:
            mt.time.sleep(0.05)
    raise RuntimeError("Dovecot does not listen on %s:%d" % (address, port))


def start_dovecot(extra_conf="", address="127.0.0.1"):
    """A private Dovecot on a free port of ADDRESS, its folder made for it.
    Returns (folder, process, port) once it listens; the caller removes the
    folder, the process is stopped by mail_throughput's clean-up."""
    work = tempfile.mkdtemp(prefix="vx-dovecot-")
    os.chmod(work, 0o755)
    pw = mt.pwd.getpwnam("dovecot")
    port = free_port_on(address)
    conf = os.path.join(work, "dovecot.conf")
    with open(conf, "w") as f:
        f.write(CONF.format(dir=work, uid=pw.pw_uid, gid=pw.pw_gid, port=port, address=address) + extra_conf)
    for d in ("run", "state", "home"):
        os.makedirs(os.path.join(work, d))
    os.chown(os.path.join(work, "home"), pw.pw_uid, pw.pw_gid)
    proc = mt.start([mt.DOVECOT, "-F", "-c", conf], os.path.join(work, "dovecot.out"))
    mt._procs.append(proc)
    listening_on(address, port, timeout=20)
    return work, proc, port


def stop_dovecot(work, proc, keep=False):
    """Stops what start_dovecot started; its folder goes unless kept."""
    mt.stop_process(proc)
    mt._procs.remove(proc)
    if keep:
        print("kept", work, file=sys.stderr)
    else:
        mt.shutil.rmtree(work, ignore_errors=True)


def part_sections(body, prefix=""):
    """The section numbers of every part of a BODYSTRUCTURE, parents first;
    a forwarded message's parts are numbered inside it."""
    out = []
    if isinstance(body[0], list):
        n = 0
        while n < len(body) and isinstance(body[n], list):
            number = prefix + str(n + 1)
            out.append(number)
            out += child_sections(body[n], number + ".")
            n += 1
    return out


def child_sections(body, prefix):
    if isinstance(body[0], list):
        return part_sections(body, prefix)
    if body[0].lower() == b"message" and body[1].lower() == b"rfc822" and len(body) > 8:
        inner = body[8]
        if isinstance(inner[0], list):
            return part_sections(inner, prefix)
        return [prefix + "1"]
    return []


def sections_of(structure):
    numbers = part_sections(structure) if isinstance(structure[0], list) else ["1"]
    asked = ["", "HEADER", "TEXT", "1.MIME", "HEADER.FIELDS (SUBJECT FROM RECEIVED X-TAG subject)",
             "HEADER.FIELDS (X-NOT-THERE)", "HEADER.FIELDS.NOT (RECEIVED DATE)", "99", "1.99", "0.5"]
    for n in numbers:
        asked += [n, n + ".MIME", n + ".HEADER", n + ".TEXT"]
    return asked


def fetch_sections(s, n, structure):
    answers = {}
    for section in sections_of(structure):
        items = [b"BODY.PEEK[%s]" % section.encode()]
        if section == "":
            items.append(b"BODY.PEEK[]<10.20>")
        try:
            untagged = s.command(b"e", b"FETCH %d (%s)" % (n, b" ".join(items)))
        except RuntimeError as e:  # a section Dovecot refuses
            answers[section] = {"error": str(e)}
            continue
        [resp] = [r for r in untagged if b" FETCH (" in r]
        pos = resp.index(b" FETCH (") + 8
        while resp[pos:pos + 1] not in (b")", b""):
            close = resp.index(b"]", pos) + 1
            if resp[close:close + 1] == b"<":
                close = resp.index(b">", close) + 1
            label = resp[pos:close].decode("latin-1")
            value, pos = parse_value(resp, close + 1)
            answers[label] = None if value is None else value.decode("latin-1")
            if resp[pos:pos + 1] == b" ":
                pos += 1
    return answers


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--no-install", action="store_true")
    args = ap.parse_args()
    if not args.no_install:
        mt.install_peers(PACKAGES)
    out_dir = os.path.join(ROOT, "tests", "data", "imap_fetch", "golden")
    os.makedirs(out_dir, exist_ok=True)
    work, proc, port = start_dovecot(address=ADDRESS)
    try:
        s = Session(port, ADDRESS)
        s.command(b"a", b"LOGIN golden secret")
        s.command(b"b", b"SELECT INBOX")
        for n, (name, data) in enumerate(samples(), 1):
            s.command(b"c", b"APPEND INBOX", data)
            answers = {}
            for item in (b"ENVELOPE", b"BODYSTRUCTURE", b"BODY"):
                [resp] = [r for r in s.command(b"d", b"FETCH %d (%s)" % (n, item)) if b" FETCH (" in r]
                answers[item] = item_value(resp, item)
                with open(os.path.join(out_dir, "%s.%s" % (name, item.decode().lower())), "wb") as f:
                    f.write(answers[item])
            structure, _ = parse_value(answers[b"BODYSTRUCTURE"])
            with open(os.path.join(out_dir, "%s.sections" % name), "w") as f:
                json.dump(fetch_sections(s, n, structure), f, indent=1, sort_keys=True)
                f.write("\n")
            print("recorded", name)
        s.command(b"z", b"LOGOUT")
    finally:
        stop_dovecot(work, proc, keep=sys.exc_info()[0] is not None)


if __name__ == "__main__":
    main()
