#!/usr/bin/python3
"""Checks of the throughput benchmark that need no server and no root:
argument parsing, the statistics, the reply readers in every split, the
strace readers, and whole client conversations against the sink.
Run it as  /usr/bin/python3 bench/mail_throughput.py --self-test"""

import os
import shutil
import sys
import tempfile
import unittest

from mail_peers import DOMAIN, _finalizers, _procs, stop_process
from mail_clients import ProtocolError, Sink, Wire, make_body, pop3_client, run_sessions, smtp_client
from syscall_trace import commit_order, parse_strace_summary, sync_targets
from mail_throughput import (MIN_REPEAT, QUICK, all_users, median, pair_ratios, parse_args, plan_cells, ratio,
                             schedule, smtp_run, spread, summarize)


class Statistics(unittest.TestCase):
    def test_median_odd_even_and_unsorted(self):
        self.assertEqual(median([3.0, 1.0, 2.0]), 2.0)
        self.assertEqual(median([10.0, 1.0, 3.0, 2.0]), 2.5)
        self.assertEqual(median([7]), 7)
        self.assertEqual(median(x for x in (5, 1, 9)), 5)
        with self.assertRaises(ValueError):
            median([])

    def test_spread_is_range_over_median(self):
        self.assertEqual(spread([110.0, 90.0, 100.0]), (90.0, 110.0, 0.2))
        self.assertEqual(spread([5.0, 5.0, 5.0]), (5.0, 5.0, 0.0))
        lo, hi, rel = spread([0.0, 0.0, 0.0])
        self.assertEqual(rel, 0.0)
        self.assertAlmostEqual(spread([1.0, 2.0, 4.0, 100.0])[2], 99.0 / 3.0)

    def test_ratio_and_turn_ratios(self):
        self.assertEqual(ratio(150.0, 100.0), 1.5)
        self.assertIsNone(ratio(150.0, 0.0))
        self.assertIsNone(ratio(None, 100.0))
        self.assertEqual(pair_ratios([2.0, 3.0, 4.0], [1.0, 0.0, 8.0]), [2.0, 0.5])

    def test_servers_alternate_run_by_run(self):
        order = [s for _, s in schedule(["A", "B"], 3)]
        self.assertEqual(order, ["A", "B", "A", "B", "A", "B"])
        self.assertEqual([t for t, _ in schedule(["A", "B"], 3)], [0, 0, 1, 1, 2, 2])
        self.assertEqual([s for _, s in schedule(["A"], 3)], ["A", "A", "A"])

    def test_row_uses_medians_of_each_server(self):
        cell = dict(kind="pop3", key="POP3", target=1.2)
        runs = {"A": [dict(rate=r, client_busy=0.1, note="") for r in (10.0, 30.0, 20.0)],
                "B": [dict(rate=r, client_busy=0.2, note=n) for r, n in ((5.0, ""), (40.0, "x"), (10.0, ""))]}
        row = summarize(cell, runs, ["A", "B"])
        self.assertEqual(row["servers"]["A"]["median"], 20.0)
        self.assertEqual(row["servers"]["B"]["median"], 10.0)
        self.assertEqual(row["ratio"], 2.0)
        self.assertEqual(row["pairs"], [2.0, 0.75, 2.0])
        self.assertEqual(row["servers"]["B"]["notes"], ["x"])
        self.assertEqual(row["servers"]["B"]["busy"], 0.2)

class Arguments(unittest.TestCase):
    def test_defaults_are_the_full_matrix(self):
        a = parse_args([])
        self.assertEqual((a.smtp_sessions, a.sizes, a.modes), ([1, 8, 32], [4096, 65536], ["new", "persistent"]))
        self.assertEqual((a.pop_clients, a.pop_messages, a.pop_rounds, a.repeat), ([1, 8, 32], 500, 5, 3))
        self.assertIsNone(a.postfix_flow_delay, "Postfix runs with its own defaults unless asked")
        cells = plan_cells(a)
        self.assertEqual(sum(c["kind"] == "smtp" for c in cells), 12)
        self.assertEqual(sum(c["kind"] == "pop3" for c in cells), 3)
        users = all_users(cells, a)
        self.assertEqual(len(users), len(set(users)), "every SMTP run needs a fresh account")
        self.assertEqual(len(users), 12 * 3 + 32 + 4)

    def test_lists_sizes_and_modes(self):
        a = parse_args(["--smtp-sessions", "1, 32", "--sizes", "4k,65536", "--modes", "persistent",
                        "--pop-clients", ""])
        self.assertEqual((a.smtp_sessions, a.sizes, a.modes, a.pop_clients), ([1, 32], [4096, 65536],
                                                                               ["persistent"], []))

    def test_bad_values_are_refused(self):
        bad = [["--smtp-sessions", "0"], ["--smtp-sessions", "x"], ["--sizes", "12"], ["--sizes", "4M"],
               ["--modes", "reuse"], ["--repeat", "2"], ["--total", "0"], ["--pop-rounds", "-1"],
               ["--smtp-sessions", "", "--pop-clients", ""], ["--postfix-flow-delay", "-1"]]
        for argv in bad:
            with self.subTest(argv=argv), open(os.devnull, "w") as null:
                saved, sys.stderr = sys.stderr, null
                try:
                    with self.assertRaises(SystemExit):
                        parse_args(argv)
                finally:
                    sys.stderr = saved

    def test_quick_shrinks_runs_but_keeps_turns_and_explicit_values(self):
        a = parse_args(["--quick"])
        self.assertEqual((a.total, a.pop_messages, a.pop_rounds, a.repeat),
                         (QUICK["total"], QUICK["pop_messages"], QUICK["pop_rounds"], MIN_REPEAT))
        self.assertEqual(parse_args(["--quick", "--total", "999"]).total, 999)

    def test_body_has_the_asked_size_and_nothing_to_stuff(self):
        for size in (300, 4096, 4097, 4098, 65536):
            b = make_body(size)
            self.assertEqual(len(b), size, size)
            self.assertTrue(b.endswith(b"\r\n"))
            self.assertNotIn(b"\r\n.", b)

class Replies(unittest.TestCase):
    @staticmethod
    def wire(data, step):
        chunks = [data[i:i + step] for i in range(0, len(data), step)]
        return Wire(lambda n: chunks.pop(0) if chunks else b"")

    def test_smtp_reply_in_every_split(self):
        data = b"250-first\r\n250-second\r\n250 last\r\n354 go\r\n"
        for step in range(1, len(data) + 1):
            w = self.wire(data, step)
            self.assertEqual(w.smtp_reply(250), b"250 last")
            self.assertEqual(w.smtp_reply(354), b"354 go")
        with self.assertRaises(ProtocolError):
            self.wire(b"451 later\r\n", 3).smtp_reply(250)
        with self.assertRaises(ProtocolError):
            self.wire(b"250-only", 3).smtp_reply(250)

    def test_pop_multiline_ends_only_at_the_lone_dot(self):
        data = b"+OK 9 octets\r\n..a\r\nb.\r\n\r\n.\r\n+OK bye\r\n"
        for step in range(1, len(data) + 1):
            w = self.wire(data, step)
            self.assertEqual(w.pop_multi(), len(b"..a\r\nb.\r\n\r\n"), step)
            self.assertEqual(w.pop_ok(), b"+OK bye")
        self.assertEqual(self.wire(b"+OK\r\n.\r\n", 1).pop_multi(), 0)
        with self.assertRaises(ProtocolError):
            self.wire(b"-ERR no such message\r\n", 4).pop_multi()

    def test_strace_summary_is_read_per_call(self):
        text = ("% time     seconds  usecs/call     calls    errors syscall\n"
                "------ ----------- ----------- --------- --------- ----------------\n"
                " 60.00    0.006000          15       400           fsync\n"
                " 40.00    0.004000           2      2000        12 read\n"
                "------ ----------- ----------- --------- --------- ----------------\n"
                "100.00    0.010000           4      2400        12 total\n")
        self.assertEqual(parse_strace_summary(text), {"fsync": 400, "read": 2000})

    def test_fsyncs_are_told_apart_by_file_and_folder(self):
        root = tempfile.mkdtemp(prefix="vxselftest")
        try:
            box = os.path.join(root, "MailBox", "u")
            os.makedirs(box)
            text = ("101 fsync(7<%s/tmp123>) = 0\n"
                    "[pid 102] fdatasync(8<%s/MAIL1.MSG>) = 0\n"
                    "102 fsync(9<%s>) = 0\n"
                    "105 fsync(10<%s/tmp124> <unfinished ...>\n"
                    "105 <... fsync resumed>) = 0\n"
                    "103 fsync(9<%s>) = -1 EIO (Input/output error)\n"
                    "104 write(9<%s/x>, \"fsync(1<y>) = 0\", 13) = 13\n" % (box, box, box, box, box, box))
            self.assertEqual(sync_targets(text, root), {"MailBox/u/*": 3, "MailBox/u/": 1})
        finally:
            shutil.rmtree(root)

class Conversation(unittest.TestCase):
    def test_clients_complete_against_the_sink(self):
        body = make_body(4096)
        sink = Sink(7, body, 3)
        try:
            smtp = run_sessions(smtp_client, [(sink.smtp, "a@" + DOMAIN, 5, body, p) for p in (True, False)])
            self.assertEqual(sorted((r[2], r[3]) for r in smtp), [(5, ""), (5, "")])
            pop = run_sessions(pop3_client, [(sink.pop3, "pop0@" + DOMAIN, 2, len(body))] * 2)
            for r in pop:
                self.assertEqual((r[2], r[3], r[5], r[6]), (14, "", 2 * (5 + 7), 0))
            short = run_sessions(pop3_client, [(sink.pop3, "pop0@" + DOMAIN, 1, len(body) + 1)])
            self.assertEqual(short[0][6], 7, "a message shorter than the one sent is counted")

            class Late:   # answers through the sink; its files appear only after the last QUIT
                name, stores, smtp = "late", True, sink.smtp
                def __init__(self, commits):
                    self.commits_at_250, self.calls = commits, 0
                def stored(self, user):
                    self.calls += 1
                    return 0 if self.calls == 1 else 4
            late = smtp_run(Late(True), "b@" + DOMAIN, 2, 4, body, True)
            self.assertEqual(late["note"], "4 of 4 accepted messages were not yet files at the last QUIT")
            self.assertEqual(smtp_run(Late(False), "b@" + DOMAIN, 2, 4, body, True)["note"], "",
                             "a server that queues first is waited for, not flagged")
            lost = smtp_run(Late(False), "b@" + DOMAIN, 1, 5, body, False, timeout=0.2)
            self.assertTrue(lost["note"].startswith("stored 4 of 5 accepted"), lost["note"])
        finally:
            sink.stop()
            _finalizers.remove(sink.stop)
            for p in sink.leaders:
                stop_process(p)
                _procs.remove(p)

class CommitOrder(unittest.TestCase):
    def test_only_fsyncs_between_354_and_250_count(self):
        folder = tempfile.mkdtemp(prefix="vxselftest")
        try:
            sock = "socket:[77]"
            text = "\n".join([
                '9 write(5<%s>, "250 OK\\r\\n", 8) = 8' % sock,              # MAIL: no DATA yet
                '9 fsync(7<%s/early>) = 0' % folder,                      # before DATA: not counted
                '9 write(5<%s>, "354 go ahead", 14) = 14' % sock,
                '9 write(3</var/log/x.log>, "250 logged", 10) = 10',      # not a socket
                '10 fsync(7<%s/tmp1> <unfinished ...>' % folder,
                '10 <... fsync resumed>) = 0',
                '10 fsync(8<%s>) = 0' % folder,
                '9 sendto(5<%s>, "250 2.0.0 OK", 12, 0, NULL, 0) = 12' % sock,
                '9 write(5<%s>, "354 go ahead", 14) = 14' % sock,
                '9 fsync(8<%s>) = -1 EIO (Input/output error)' % folder,  # failed: not counted
                '9 write(5<%s>, "250 OK", 6) = 6' % sock,
                '9 fsync(7<%s/late>) = 0' % folder,                       # after the 250: too late
                '9 write(5<%s>, "354 go ahead", 14) = 14' % sock,
                '9 write(5<%s>, "451 failed", 10) = 10' % sock,
                '9 fsync(7<%s/tmp2>) = 0' % folder,
                '9 write(5<%s>, "250 OK", 6) = 6' % sock,                # MAIL after a refused DATA
            ])
            self.assertEqual(commit_order(text), (2, 1, 1))
        finally:
            shutil.rmtree(folder)

def run():
    suite = unittest.TestSuite()
    for case in (Statistics, Arguments, Replies, Conversation, CommitOrder):
        suite.addTests(unittest.defaultTestLoader.loadTestsFromTestCase(case))
    return 0 if unittest.TextTestRunner(verbosity=1).run(suite).wasSuccessful() else 1
