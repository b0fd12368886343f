"""FETCH answers through the real service, read by imaplib and checked against
the RFC 3501 grammar for ENVELOPE and BODYSTRUCTURE: every string quoted or a
literal of the right length, every body of the right shape, and forwarded
messages (message/rfc822 parts) with their own envelope, body and line count.
Section parts inside a forwarded message are fetched as well."""

import imaplib
import os
import re
import unittest

from vxharness import start_imap_service

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")
SAMPLES = ["imap_fetch/sample_m.eml", "imap_fetch/fwd_with_attachment.eml", "imap_fetch/fwd_twice.eml",
           "imap_fetch/rfc822_whole.eml", "imap_fetch/fwd_base64.eml", "mime/rfc822_forward.eml",
           "mime/related_nested.eml"]


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


def joined(data):
    """imaplib's pieces of one FETCH response put back together."""
    return b"".join(d[0] + b"\r\n" + d[1] if isinstance(d, tuple) else d for d in data)


class FetchGrammar(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.t, _, cls.imap = start_imap_service([("Bob", "bob@example.test", "secret")])
        cls.m = imaplib.IMAP4("127.0.0.1", cls.imap, timeout=10)
        cls.m.login("bob@example.test", "secret")
        for name in SAMPLES:
            with open(os.path.join(DATA, name), "rb") as f:
                text = re.sub(rb"\r?\n", b"\r\n", f.read())
            assert cls.m.append("INBOX", None, None, text)[0] == "OK"
        cls.m.select("INBOX")

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
        # Forwards inside forwards count once each; the encoded one is empty.
        self.assertEqual(len(forwarded), 6)
        subjects = sorted(bytes(b[7][1] or b"") for b in forwarded)
        self.assertEqual(subjects, [b"", b"Fwd: Plans", b"Inside", b"Lunch", b"Plans", b'Report "Q1"'])

    def test_sections_inside_a_forwarded_message(self):
        n = str(SAMPLES.index("imap_fetch/fwd_with_attachment.eml") + 1)
        typ, data = self.m.fetch(n, "(BODY.PEEK[2.HEADER.FIELDS (SUBJECT CC)] BODY.PEEK[2.1] BODY.PEEK[2.2.MIME])")
        self.assertEqual(typ, "OK")
        self.assertEqual([d[1] for d in data if isinstance(d, tuple)], [
            b'Subject: Report "Q1"\r\nCc: team@example.org\r\n\r\n',
            b"Numbers attached.\r\nCaf=E9 budget.\r\n",
            b'Content-Type: application/pdf; name="q1.pdf"\r\nContent-Transfer-Encoding: base64\r\n'
            b'Content-Disposition: attachment; filename="q1.pdf"\r\n\r\n'])
        typ, data = self.m.fetch(n, "(BODY.PEEK[2.TEXT]<0.9>)")
        self.assertEqual(data[0][1], b"--inner-b")


if __name__ == "__main__":
    unittest.main()
