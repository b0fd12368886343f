"""FETCH answers through the real service for every sample message, read by
imaplib and checked against the RFC 3501 grammar for ENVELOPE and
BODYSTRUCTURE (every string quoted or a literal of the right length, every
body of the right shape, forwarded messages with their own envelope, body and
line count), against the reference server's answers recorded by
bench/imap_fetch_golden.py (every field of ENVELOPE, BODYSTRUCTURE and BODY,
and the bytes of every section), against the stored file (each leaf's MIME
header and body are the file's bytes), and read by Perl's Mail::IMAPClient."""

import glob
import imaplib
import json
import os
import re
import subprocess
import unittest

from vxharness import start_imap_service

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "data")
GOLDEN = os.path.join(DATA, "imap_fetch", "golden")
# In the order the golden script appends them.
SAMPLES = ([os.path.relpath(p, DATA) for p in sorted(glob.glob(os.path.join(DATA, "imap_fetch", "*.eml")))] +
           [os.path.relpath(p, DATA) for p in sorted(glob.glob(os.path.join(DATA, "mime", "*.eml")))])
USER, PASSWORD = "bob@example.test", "secret"


def differences():
    """(sample, label) pairs we answer differently on purpose; the reasons are
    in the file beside the golden answers."""
    with open(os.path.join(GOLDEN, "differences.txt")) as f:
        return {tuple(line.split("\t")[:2]) for line in f if line.strip() and not line.startswith("#")}


DIFFERENCES = differences()


class Str(bytes):
    """An IMAP string (quoted or literal), as opposed to an atom."""


def parse(text, pos=0):
    """One IMAP value at POS: None for NIL, int, Str, a list, or bytes for
    another atom. Raises ValueError for anything malformed."""
    c = text[pos:pos + 1]
    if c == b"(":
        items, pos = [], pos + 1
        while text[pos:pos + 1] != b")":
            if pos >= len(text):
                raise ValueError("unterminated list")
            item, pos = parse(text, pos)
            items.append(item)
            if text[pos:pos + 1] == b" ":
                pos += 1
        return items, pos + 1
    if c == b'"':
        m = re.compile(rb'"((?:[^"\\\r\n\x80-\xff]|\\["\\])*)"').match(text, pos)
        if not m:
            raise ValueError("bad quoted string at %d" % pos)
        return Str(re.sub(rb"\\(.)", rb"\1", m.group(1))), m.end()
    if c == b"{":
        m = re.compile(rb"\{(\d+)\}\r\n").match(text, pos)
        if not m or m.end() + int(m.group(1)) > len(text):
            raise ValueError("bad literal at %d" % pos)
        return Str(text[m.end():m.end() + int(m.group(1))]), m.end() + int(m.group(1))
    m = re.compile(rb"[^ ()\r\n]+").match(text, pos)
    if not m:
        raise ValueError("empty atom at %d" % pos)
    atom = m.group(0)
    return (None if atom == b"NIL" else int(atom) if atom.isdigit() else atom), m.end()


def nstring(v):
    return v is None or isinstance(v, Str)


def check_envelope(env):
    assert isinstance(env, list) and len(env) == 10, env
    assert all(nstring(env[i]) for i in (0, 1, 8, 9)), env
    for addresses in env[2:8]:
        assert addresses is None or all(isinstance(a, list) and len(a) == 4 and all(map(nstring, a))
                                        for a in addresses), addresses


def check_body(body, forwarded):
    """Checks one body; appends each forwarded message's body to FORWARDED."""
    assert isinstance(body, list) and body, body
    if isinstance(body[0], list):
        n = 0
        while isinstance(body[n], list):
            check_body(body[n], forwarded)
            n += 1
        assert isinstance(body[n], Str), body  # subtype
        return
    assert len(body) >= 7 and isinstance(body[0], Str) and isinstance(body[1], Str), body
    params = body[2]
    assert params is None or (len(params) % 2 == 0 and all(isinstance(p, Str) for p in params)), body
    assert nstring(body[3]) and nstring(body[4]) and isinstance(body[5], Str) and isinstance(body[6], int), body
    kind = (body[0].lower(), body[1].lower())
    if kind == (b"message", b"rfc822"):
        check_envelope(body[7])
        check_body(body[8], forwarded)
        assert isinstance(body[9], int), body
        forwarded.append(body)
    elif kind[0] == b"text":
        assert isinstance(body[7], int), body


def sample_bytes(name):
    with open(os.path.join(DATA, name), "rb") as f:
        return re.sub(rb"\r?\n", b"\r\n", f.read())


def stem(name):
    return os.path.basename(name)[:-4]


def leaves(body, prefix=""):
    """Section numbers of the leaves of BODY (parsed by parse()), forwarded
    messages' parts numbered inside them; a message that is no multipart is
    its own part 1."""
    if not prefix and not isinstance(body[0], list):
        prefix = "1."
    if isinstance(body[0], list):
        out, n = [], 0
        while isinstance(body[n], list):
            out += leaves(body[n], prefix + str(n + 1) + ".")
            n += 1
        return out
    if body[0].lower() == b"message" and body[1].lower() == b"rfc822" and isinstance(body[8], list):
        inner = body[8]
        return leaves(inner, prefix) if isinstance(inner[0], list) else [prefix + "1"]
    return [prefix[:-1] or "1"]


def joined(data):
    """imaplib's pieces of one FETCH response put back together."""
    return b"".join(d[0] + b"\r\n" + d[1] if isinstance(d, tuple) else d for d in data)


class FetchGrammar(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.t, _, cls.imap = start_imap_service([("Bob", USER, PASSWORD)])
        cls.m = imaplib.IMAP4("127.0.0.1", cls.imap, timeout=10)
        cls.m.login(USER, PASSWORD)
        for name in SAMPLES:
            assert cls.m.append("INBOX", None, None, sample_bytes(name))[0] == "OK"
        cls.m.select("INBOX")

    def item(self, n, item):
        typ, data = self.m.fetch(str(n), "(%s)" % item)
        self.assertEqual(typ, "OK")
        line = joined(data)
        items, end = parse(line, line.index(b"("))
        self.assertEqual(end, len(line))
        return items

    def section(self, n, label):
        """The bytes of one BODY[...] answer, None for NIL."""
        m = re.match(r"BODY\[(.*)\](?:<(\d+)>)?$", label)
        request = "BODY.PEEK[%s]" % m.group(1) + ("<%s.20>" % m.group(2) if m.group(2) else "")
        typ, data = self.m.fetch(str(n), "(%s)" % request)
        self.assertEqual(typ, "OK")
        line = joined(data)
        start = line.index(b"(") + 1
        close = line.index(b"]", start) + 1
        if line[close:close + 1] == b"<":
            close = line.index(b">", close) + 1
        self.assertEqual(line[start:close].decode(), label)
        value, end = parse(line, close + 1)
        self.assertEqual(line[end:], b")")
        return value

    @classmethod
    def tearDownClass(cls):
        cls.m.logout()
        cls.t.cleanup()

    def test_envelopes_and_structures_follow_the_grammar(self):
        forwarded = []
        for n, name in enumerate(SAMPLES, 1):
            typ, data = self.m.fetch(str(n), "(ENVELOPE BODYSTRUCTURE)")
            self.assertEqual(typ, "OK")
            line = joined(data)
            head = b"%d (" % n
            self.assertTrue(line.startswith(head), line)
            items, end = parse(line, len(head) - 1)
            self.assertEqual(end, len(line), name)
            self.assertEqual(items[0::2], [b"ENVELOPE", b"BODYSTRUCTURE"])
            check_envelope(items[1])
            check_body(items[3], forwarded)
        # Forwards inside forwards count once each.
        self.assertEqual(len(forwarded), 12)

    def test_every_field_matches_the_reference(self):
        for n, name in enumerate(SAMPLES, 1):
            for item in ("ENVELOPE", "BODYSTRUCTURE", "BODY"):
                with open(os.path.join(GOLDEN, "%s.%s" % (stem(name), item.lower())), "rb") as f:
                    ref, _ = parse(f.read())
                items = self.item(n, item)
                self.assertEqual(items[0], item.encode(), name)
                self.assertEqual(items[1], ref, "%s %s" % (name, item))

    def test_every_section_matches_the_reference(self):
        checked = 0
        for n, name in enumerate(SAMPLES, 1):
            with open(os.path.join(GOLDEN, stem(name) + ".sections")) as f:
                answers = json.load(f)
            for label, value in sorted(answers.items()):
                expected = None if value is None else value.encode("latin-1")
                if (stem(name), label) in DIFFERENCES or ("*", label) in DIFFERENCES:
                    # Listed differences are real ones: the list holds no stale entry.
                    try:
                        self.assertNotEqual(self.section(n, label), expected, "%s %s" % (name, label))
                    except imaplib.IMAP4.error:
                        pass
                    continue
                self.assertEqual(self.section(n, label), expected, "%s %s" % (name, label))
                checked += 1
        self.assertGreater(checked, 1000)

    def test_each_leaf_is_the_stored_bytes(self):
        """MIME header + body of every leaf lie in the file as they stand,
        after a line end and before the next delimiter (or the end)."""
        for n, name in enumerate(SAMPLES, 1):
            stored = sample_bytes(name)
            for number in leaves(self.item(n, "BODYSTRUCTURE")[1]):
                typ, data = self.m.fetch(str(n), "(BODY.PEEK[%s.MIME] BODY.PEEK[%s])" % (number, number))
                parts = [d[1] for d in data if isinstance(d, tuple)]
                self.assertEqual(len(parts), 2, (name, number, data))
                leaf = parts[0] + parts[1]
                if not leaf:  # the empty part that stands for a multipart without parts
                    continue
                at = stored.find(leaf)
                self.assertGreaterEqual(at, 0, "%s %s" % (name, number))
                self.assertTrue(at == 0 or stored[at - 2:at] == b"\r\n", (name, number))
                after = stored[at + len(leaf):]
                self.assertTrue(after == b"" or after.startswith(b"--") or after.startswith(b"\r\n"), (name, number))

    def test_body_and_full_answer_the_non_extensible_form_without_setting_seen(self):
        typ, data = self.m.fetch("1", "(BODY FLAGS)")
        line = joined(data)
        self.assertTrue(line.startswith(b"1 (BODY (("), line)
        self.assertNotIn(b"BODYSTRUCTURE", line)
        self.assertNotIn(b"\\Seen", line)
        typ, data = self.m.fetch("2", "FULL")
        items, _ = parse(joined(data), 2)
        self.assertEqual(items[8::2][:1], [b"BODY"])
        self.assertIn(b"BODY", items[0::2])

    def test_mail_imapclient_reads_every_answer(self):
        out = subprocess.run(["perl", os.path.join(HERE, "imap_read_structures.pl"), str(self.imap), USER, PASSWORD,
                              str(len(SAMPLES))], capture_output=True, text=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        rows = [line.split("\t") for line in out.stdout.splitlines()]
        self.assertEqual(len(rows), len(SAMPLES))
        for (number, parts, kind, _), name in zip(rows, SAMPLES):
            structure = self.item(int(number), "BODYSTRUCTURE")[1]
            top = b"multipart/" + structure[[isinstance(x, list) for x in structure].index(False)] \
                if isinstance(structure[0], list) else structure[0] + b"/" + structure[1]
            self.assertEqual(kind, top.decode().lower(), name)
            # Every leaf of a multipart is a part the client lists.
            if isinstance(structure[0], list):
                self.assertTrue(set(leaves(structure)) <= set(parts.split(",")), (name, parts))

    def test_sections_inside_a_forwarded_message(self):
        n = str(SAMPLES.index("imap_fetch/fwd_with_attachment.eml") + 1)
        typ, data = self.m.fetch(n, "(BODY.PEEK[2.HEADER.FIELDS (SUBJECT CC)] BODY.PEEK[2.1] BODY.PEEK[2.2.MIME])")
        self.assertEqual(typ, "OK")
        self.assertEqual([d[1] for d in data if isinstance(d, tuple)], [
            b'Cc: team@example.org\r\nSubject: Report "Q1"\r\n\r\n',
            b"Numbers attached.\r\nCaf=E9 budget.",
            b'Content-Type: application/pdf; name="q1.pdf"\r\nContent-Transfer-Encoding: base64\r\n'
            b'Content-Disposition: attachment; filename="q1.pdf"\r\n\r\n'])
        typ, data = self.m.fetch(n, "(BODY.PEEK[2.TEXT]<0.9>)")
        self.assertEqual(data[0][1], b"--inner-b")


if __name__ == "__main__":
    unittest.main()
