#!/usr/bin/python3
"""Mail throughput of VxMailServers beside Postfix (SMTP in, Maildir out) and
Dovecot (POP3 out) on the same machine, run by run in turn.

Run as root:  /usr/bin/python3 bench/mail_throughput.py   (see bench/README.md)
              /usr/bin/python3 bench/mail_throughput.py --quick
              /usr/bin/python3 bench/mail_throughput.py --self-test   (no servers)

Both servers run for the whole benchmark, each in the foreground from a
private temp folder on free loopback ports. Every cell is measured in turns
(VxMail, peer, VxMail, peer, ...), each SMTP run into a fresh account on both
sides; the table gives per cell the median, the spread and the ratio of the
medians. Servers, client processes and temp folders are removed on exit, on
errors and on SIGINT, SIGTERM or SIGHUP."""

import argparse
import json
import multiprocessing as mp
import os
import pwd  # noqa: F401  (the IMAP benchmarks reach the helpers through this module)
import shutil  # noqa: F401
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # leave no cache behind in bench/ or tests/e2e
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mail_peers import (DOMAIN, DOVECOT, POSTFIX, Peer, VxMail, _dirs, _finalizers, _procs,  # noqa: E402,F401
                        cleanup, free_port, install_peers, listening, make_temp, start, stop_process, wait_for)
from mail_clients import Sink, make_body, pop3_client, run_sessions, smtp_client  # noqa: E402
from syscall_trace import (STRACE, SYNC_CALLS, SEND_CALLS, commit_order, parse_strace_summary,  # noqa: E402
                           sync_targets, traced)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIN_REPEAT = 3             # fewer runs per cell give no usable median or spread

# Wanted VxMail : peer ratios; the script reports them, it does not enforce them.
SMTP_TARGET = {1: 1.0}     # other session counts: SMTP_TARGET_MANY
SMTP_TARGET_MANY = 1.5
POP3_TARGET = 1.2
SMTP_CALLS_TARGET = 100    # system calls per SMTP message at 8 sessions
POP3_CALLS_TARGET = 25     # system calls per POP3 command at 8 sessions


# ---------------------------------------------------------------- statistics

def median(xs):
    """Median of a non-empty sequence (mean of the middle two when even)."""
    s = sorted(xs)
    if not s:
        raise ValueError("median of no values")
    m = len(s) // 2
    return s[m] if len(s) % 2 else (s[m - 1] + s[m]) / 2.0


def spread(xs):
    """(lowest, highest, (highest - lowest) / median): the range of the runs
    and its width relative to their median (0 when the median is 0)."""
    lo, hi, med = min(xs), max(xs), median(xs)
    return lo, hi, ((hi - lo) / med if med else 0.0)


def ratio(ours, theirs):
    """ours / theirs, or None where the peer has no positive figure."""
    if ours is None or not theirs:
        return None
    return ours / theirs


def pair_ratios(ours, theirs):
    """Ratio of each run to the peer run right after it (runs alternate)."""
    return [r for r in (ratio(a, b) for a, b in zip(ours, theirs)) if r is not None]


def schedule(servers, repeat):
    """Order of the runs of one cell: A B A B ... (`repeat` turns)."""
    return [(turn, s) for turn in range(repeat) for s in servers]


def smtp_target(sessions):
    return SMTP_TARGET.get(sessions, SMTP_TARGET_MANY)


# ---------------------------------------------------------------- arguments

def _count_list(text, what):
    out = []
    for item in text.split(","):
        item = item.strip()
        if not item:
            continue
        if not item.isdigit() or int(item) < 1:
            raise argparse.ArgumentTypeError("%s: %r is not a positive whole number" % (what, item))
        out.append(int(item))
    return out


def session_list(text):
    return _count_list(text, "session counts")


def size_list(text):
    """Message sizes: bytes, or a number with K (1024 bytes)."""
    out = []
    for item in text.split(","):
        item = item.strip().upper()
        if not item:
            continue
        mult = 1024 if item.endswith("K") else 1
        digits = item[:-1] if mult > 1 else item
        if not digits.isdigit() or int(digits) * mult < 256:
            raise argparse.ArgumentTypeError("message sizes: %r is not a size of 256 bytes or more" % item)
        out.append(int(digits) * mult)
    if not out:
        raise argparse.ArgumentTypeError("message sizes: none given")
    return out


def mode_list(text):
    out = [m.strip() for m in text.split(",") if m.strip()]
    bad = [m for m in out if m not in ("new", "persistent")]
    if bad or not out:
        raise argparse.ArgumentTypeError("modes: use new and/or persistent, not %r" % text)
    return out


def positive(text):
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError("%r is not a positive whole number" % text)
    return int(text)


QUICK = dict(total=300, pop_messages=100, pop_rounds=2)


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--binary", default=os.path.join(ROOT, "build", "bin", "VxMailServers"))
    ap.add_argument("--smtp-sessions", type=session_list, default=[1, 8, 32],
                    help="concurrent SMTP sessions per cell (empty: skip SMTP)")
    ap.add_argument("--sizes", type=size_list, default=[4096, 65536], help="message sizes, e.g. 4K,64K")
    ap.add_argument("--modes", type=mode_list, default=["new", "persistent"],
                    help="new (one connection per message) and/or persistent (one per session)")
    ap.add_argument("--total", type=positive, default=1600, help="messages per SMTP run, split over its sessions")
    ap.add_argument("--pop-clients", type=session_list, default=[1, 8, 32],
                    help="concurrent POP3 clients, one account each (empty: skip POP3)")
    ap.add_argument("--pop-messages", type=positive, default=500, help="messages in each POP3 account")
    ap.add_argument("--pop-rounds", type=positive, default=5, help="drains of its account per POP3 client per run")
    ap.add_argument("--repeat", type=positive, default=MIN_REPEAT,
                    help="runs per server and cell, in turns (at least %d)" % MIN_REPEAT)
    ap.add_argument("--quick", action="store_true",
                    help="smaller runs (%d SMTP messages, %d per POP3 account, %d rounds); all cells, %d turns"
                    % (QUICK["total"], QUICK["pop_messages"], QUICK["pop_rounds"], MIN_REPEAT))
    ap.add_argument("--no-peer", action="store_true", help="measure VxMail alone")
    ap.add_argument("--sink", action="store_true",
                    help="in the peer's place, a built-in sink that stores nothing: the clients' own ceiling")
    ap.add_argument("--no-install", action="store_true", help="do not apt-get the peers")
    ap.add_argument("--postfix-flow-delay", type=int, metavar="SECONDS", choices=range(0, 11),
                    help="set Postfix's in_flow_delay (default: left at Postfix's default, 1s)")
    ap.add_argument("--no-trace", action="store_true", help="skip the strace count of system calls and fsyncs")
    ap.add_argument("--temp-dir", metavar="DIR",
                    help="parent of every server's temp folder, e.g. /dev/shm to take the disk out (default: $TMPDIR or /tmp)")
    ap.add_argument("--json", metavar="PATH", help="also write every run to PATH")
    ap.add_argument("--self-test", action="store_true", help="check the parsing and statistics helpers, then exit")
    args = ap.parse_args(argv)
    if args.repeat < MIN_REPEAT:
        ap.error("--repeat must be at least %d: a median and a spread need three runs" % MIN_REPEAT)
    if args.quick:
        for k, v in QUICK.items():
            if getattr(args, k) == ap.get_default(k):
                setattr(args, k, v)
    if not args.self_test and not args.smtp_sessions and not args.pop_clients:
        ap.error("nothing to measure: both --smtp-sessions and --pop-clients are empty")
    return args


def smtp_run(server, user, sessions, total, body, persistent, timeout=120.0):
    """One SMTP run into the fresh account `user`. The clock starts when the
    sessions start and stops at the later of the last QUIT and the moment the
    last accepted message is a file in the account's folder: VxMail's 250 is
    its commit point, Postfix's only means "queued". Waits at most `timeout`
    seconds for the files after the last QUIT."""
    per = max(1, total // sessions)
    results = run_sessions(smtp_client, [(server.smtp, user, per, body, persistent)] * sessions)
    t0 = min(r[0] for r in results)
    t_quit = max(r[1] for r in results)
    accepted = sum(r[2] for r in results)
    errors = [r[3] for r in results if r[3]]
    at_quit = server.stored(user) if server.stores else accepted
    t_end = t_quit if at_quit >= accepted else wait_stored(server, user, accepted, timeout)
    stored = server.stored(user) if server.stores else accepted
    note = ""
    if stored != accepted:
        note = "stored %d of %d accepted" % (stored, accepted)
    elif server.commits_at_250 and at_quit < accepted:
        note = "%d of %d accepted messages were not yet files at the last QUIT" % (accepted - at_quit, accepted)
    if errors:
        note += (" ; " if note else "") + "%d session error(s): %s" % (len(errors), errors[0])
    wall = t_end - t0
    return dict(rate=min(stored, accepted) / wall if wall > 0 else 0.0,
                accept_rate=accepted / (t_quit - t0) if t_quit > t0 else 0.0,
                msgs=accepted, stored=stored, seconds=wall, note=note,
                client_cpu=sum(r[4] for r in results),
                client_busy=busiest(results))


def busiest(results):
    """Highest share of its own wall time one client process spent on the CPU."""
    return max((r[4] / (r[1] - r[0]) for r in results if r[1] > r[0]), default=0.0)


def wait_stored(server, user, count, timeout=120.0):
    """Polls every 2 ms until `count` messages are files; returns that moment
    (or the moment it gave up)."""
    deadline = time.monotonic() + timeout
    while server.stored(user) < count and time.monotonic() < deadline:
        time.sleep(0.002)
    return time.monotonic()


def pop3_run(server, clients, rounds, min_size, expected):
    users = ["pop%d@%s" % (i, DOMAIN) for i in range(clients)]
    results = run_sessions(pop3_client, [(server.pop3, u, rounds, min_size) for u in users])
    t0 = min(r[0] for r in results)
    t1 = max(r[1] for r in results)
    got = sum(r[2] for r in results)
    errors = [r[3] for r in results if r[3]]
    note = ""
    if got != expected * rounds * clients:
        note = "retrieved %d of %d" % (got, expected * rounds * clients)
    short = sum(r[6] for r in results)
    if short:
        note += (" ; " if note else "") + "%d messages shorter than the one sent" % short
    if errors:
        note += (" ; " if note else "") + "%d session error(s): %s" % (len(errors), errors[0])
    wall = t1 - t0
    return dict(rate=got / wall if wall > 0 else 0.0, msgs=got, commands=sum(r[5] for r in results),
                seconds=wall, note=note, client_cpu=sum(r[4] for r in results),
                client_busy=busiest(results))


# ---------------------------------------------------------------- cells

def plan_cells(args):
    """The matrix: every SMTP size x mode x session count, then every POP3
    client count. Each SMTP run gets an account of its own (on both servers)."""
    cells = []
    for size in args.sizes:
        for mode in args.modes:
            for n in args.smtp_sessions:
                i = len(cells)
                cells.append(dict(kind="smtp", size=size, persistent=(mode == "persistent"), sessions=n,
                                  key="SMTP %3dK %-4s %2d" % (size // 1024, "pers" if mode == "persistent" else "new", n),
                                  users=["c%dt%d@%s" % (i, t, DOMAIN) for t in range(args.repeat)],
                                  target=smtp_target(n)))
    for n in args.pop_clients:
        cells.append(dict(kind="pop3", sessions=n, key="POP3 drain      %2d" % n, target=POP3_TARGET))
    return cells


def all_users(cells, args):
    users = [u for c in cells if c["kind"] == "smtp" for u in c["users"]]
    users += ["pop%d@%s" % (i, DOMAIN) for i in range(max(args.pop_clients or [0]))]
    return users + ["%s%d@%s" % (w, i, DOMAIN) for w in ("trace", "sync") for i in range(2)]


def prepare_pop3(server, args, body):
    """Untimed: fills every POP3 account over SMTP (one persistent session per
    account), waits until every message is a file, then drains each account
    once, so a first-open index build or new/ -> cur/ move is not timed. The
    runs then reuse these accounts the same way on both servers (nothing is
    deleted)."""
    users = ["pop%d@%s" % (i, DOMAIN) for i in range(max(args.pop_clients))]
    if not server.stores:
        return
    for r in run_sessions(smtp_client, [(server.smtp, u, args.pop_messages, body, True) for u in users]):
        if r[3]:
            raise RuntimeError("%s: filling POP3 accounts failed: %s" % (server.name, r[3]))
    for u in users:
        if not wait_for(lambda: server.stored(u) >= args.pop_messages, 120):
            raise RuntimeError("%s: account %s not filled" % (server.name, u))
    for r in run_sessions(pop3_client, [(server.pop3, u, 1, len(body)) for u in users]):
        if r[3]:
            raise RuntimeError("%s: first POP3 drain failed: %s" % (server.name, r[3]))


def run_cell(cell, turn, server, args, bodies):
    if cell["kind"] == "smtp":
        return smtp_run(server, cell["users"][turn], cell["sessions"], args.total, bodies[cell["size"]],
                        cell["persistent"])
    return pop3_run(server, cell["sessions"], args.pop_rounds, len(bodies[4096]), args.pop_messages)


def describe_run(cell, r):
    if cell["kind"] == "smtp":
        what = "%d accepted, %d files" % (r["msgs"], r["stored"])
    else:
        what = "%d msgs, %d commands" % (r["msgs"], r["commands"])
    return "%9.1f msg/s (%s, %.2fs, client CPU %.2f s, busiest client %2.0f%%) %s" % (
        r["rate"], what, r["seconds"], r["client_cpu"], 100 * r["client_busy"], r["note"])


def summarize(cell, runs, names):
    """One table row: per server the median, range and relative spread of the
    runs, then the ratio of the medians and the range of the turn-by-turn
    ratios."""
    row = dict(key=cell["key"], target=cell["target"], servers={})
    for name in names:
        rates = [r["rate"] for r in runs[name]]
        lo, hi, rel = spread(rates)
        row["servers"][name] = dict(median=median(rates), lo=lo, hi=hi, spread=rel, runs=rates,
                                    busy=max(r["client_busy"] for r in runs[name]),
                                    notes=[r["note"] for r in runs[name] if r["note"]])
        if cell["kind"] == "smtp":
            row["servers"][name]["accept_median"] = median(r["accept_rate"] for r in runs[name])
    if len(names) > 1:
        a, b = (row["servers"][n] for n in names[:2])
        row["ratio"] = ratio(a["median"], b["median"])
        row["pairs"] = pair_ratios(a["runs"], b["runs"])
    return row


def fmt_server(s):
    return "%9.1f %9.1f..%-9.1f %5.0f%%" % (s["median"], s["lo"], s["hi"], 100 * s["spread"])


def print_table(rows, names, peer_reason):
    print()
    peer_name = names[1] if len(names) > 1 else "peer"
    print("%-19s | %-37s | %-37s |" % ("", (names[0] + " msg/s").center(37), (peer_name + " msg/s").center(37)))
    head = "%-19s | %9s %20s %6s | %9s %20s %6s | %7s %13s %-13s %s" % (
        "cell", "median", "lowest..highest", "spread", "median", "lowest..highest", "spread",
        "ratio", "turn ratios", "target", "client")
    print(head)
    print("-" * len(head))
    for row in rows:
        ours = row["servers"][names[0]]
        if len(names) > 1:
            theirs = row["servers"][names[1]]
            rt = row["ratio"]
            pairs = row["pairs"]
            met = "" if rt is None else ("met" if rt >= row["target"] else "missed")
            peer_col = fmt_server(theirs)
            ratio_col = "n/a" if rt is None else "%.2fx" % rt
            pairs_col = "%.2f..%.2f" % (min(pairs), max(pairs)) if pairs else "n/a"
            target_col = "%-13s" % (">=%.1fx %s" % (row["target"], met) if names[1] == Peer.name else "")
            busy = max(ours["busy"], theirs["busy"])
        else:
            peer_col, ratio_col, pairs_col, target_col, busy = "%37s" % "n/a", "n/a", "n/a", " " * 13, ours["busy"]
        print("%-19s | %s | %s | %7s %13s %s %5.0f%%" % (row["key"], fmt_server(ours), peer_col, ratio_col,
                                                           pairs_col, target_col, 100 * busy))
    print("\nspread = (highest - lowest) / median of a cell's runs; ratio = %s median / peer median;"
          "\nturn ratios = lowest and highest ratio of a run to the peer run right after it;"
          "\nclient = highest share of its own wall time one client process spent on the CPU." % names[0])
    if len(names) > 1 and names[1] == Peer.name:
        smtp = [r for r in rows if "accept_median" in r["servers"][names[1]]]
        if smtp:
            print("\nPostfix answers 250 once the message is queued; its figures stop the clock when the last"
                  "\nmessage is a file in the Maildir. Its median rate of 250 replies alone, per cell:")
            for r in smtp:
                print("  %-19s %9.1f msg/s" % (r["key"], r["servers"][names[1]]["accept_median"]))
    if peer_reason:
        print("\nPeer not measured: " + peer_reason)
    for row in rows:
        for name in names:
            for n in row["servers"][name]["notes"]:
                print("note (%s, %s): %s" % (row["key"].strip(), name, n))


# ---------------------------------------------------------------- system calls

def trace_report(servers, args, bodies, scratch):
    """System calls per SMTP message (8 persistent sessions, 4 KB) and per POP3
    command (8 clients, one drain each), and the fsyncs per stored message, for
    every server. Slowed by strace: counts only, no rates."""
    print("\nSystem calls under strace -f -c (8 sessions; counts only, the rates are strace's). Wanted of %s:"
          " at most %d per SMTP message and %d per POP3 command." % (VxMail.name, SMTP_CALLS_TARGET, POP3_CALLS_TARGET))
    for i, server in enumerate(s for s in servers if s.stores):
        user = "trace%d@%s" % (i, DOMAIN)
        path = os.path.join(scratch, "strace-smtp-%d.txt" % i)
        try:
            r, text = traced(server.smtp_pids(), lambda: smtp_run(server, user, 8, 400, bodies[4096], True), path)
            calls = parse_strace_summary(text)
            n = max(1, r["stored"])
            sync = sum(calls.get(c, 0) for c in SYNC_CALLS)
            top = ", ".join("%s %.1f" % (k, v / n) for k, v in sorted(calls.items(), key=lambda kv: -kv[1])[:6])
            print("  %-16s SMTP: %6.1f calls per message, %4.2f fsync-family per message (%d messages; %s)"
                  % (server.name, sum(calls.values()) / n, sync / n, n, top))
            user = "sync%d@%s" % (i, DOMAIN)
            r, text = traced(server.smtp_pids(), lambda: smtp_run(server, user, 1, 200, bodies[4096], True),
                             path + ".sync", ("-y", "-s", "16", "-e", "trace=" + ",".join(SYNC_CALLS + SEND_CALLS)))
            n = max(1, r["stored"])
            where = sorted(sync_targets(text, server.dir).items(), key=lambda kv: -kv[1])
            print("  %-16s SMTP: fsyncs per stored message by target (1 session): %s"
                  % (server.name, ", ".join("%s %.2f" % (k, v / n) for k, v in where) or "none"))
            replies, after_file, after_folder = commit_order(text)
            print("  %-16s SMTP: of %d replies 250 to DATA, %d came after an fsync of a file, %d after one of a folder"
                  % (server.name, replies, after_file, after_folder))
        except Exception as e:
            print("  %-16s SMTP: not traced (%s: %s)" % (server.name, type(e).__name__, e))
        if not args.pop_clients:
            continue
        path = os.path.join(scratch, "strace-pop3-%d.txt" % i)
        clients = min(8, max(args.pop_clients))
        try:
            r, text = traced(server.pop3_pids(),
                             lambda: pop3_run(server, clients, 1, len(bodies[4096]), args.pop_messages), path)
            calls = parse_strace_summary(text)
            n = max(1, r["commands"])
            top = ", ".join("%s %.1f" % (k, v / n) for k, v in sorted(calls.items(), key=lambda kv: -kv[1])[:6])
            print("  %-16s POP3: %6.1f calls per command (%d commands, %d clients; %s)"
                  % (server.name, sum(calls.values()) / n, n, clients, top))
        except Exception as e:
            print("  %-16s POP3: not traced (%s: %s)" % (server.name, type(e).__name__, e))


# ---------------------------------------------------------------- main

def syscall_cost_ns(calls=200000):
    """What one trivial system call (getppid) costs here, Python's call
    overhead included: a server with few calls per command and one with many
    compare differently on a machine where this is 1 us than where it is
    0.1 us, so the figures say which kind of machine they came from."""
    t0 = time.perf_counter()
    for _ in range(calls):
        os.getppid()
    return (time.perf_counter() - t0) / calls * 1e9


def machine_line(args):
    load = os.getloadavg()
    try:
        commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True).stdout.strip()
    except OSError:
        commit = "?"
    fs = subprocess.run(["findmnt", "-n", "-o", "FSTYPE,SOURCE", "-T", tempfile.gettempdir()],
                        capture_output=True, text=True).stdout.split("\n")[0].split()   # the top mount
    return ("%s UTC, %s, nproc=%d, load %.1f/%.1f/%.1f, a system call %.0f ns, temp folders on %s (%s); "
            "binary %s (%s), checkout %s"
            % (time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime()), os.uname().release, os.cpu_count(),
               *load, syscall_cost_ns(), tempfile.gettempdir(), " ".join(fs) or "?", args.binary,
               time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(os.path.getmtime(args.binary))), commit))


def main(argv):
    args = parse_args(argv)
    if args.self_test:
        return self_test()
    if not os.access(args.binary, os.X_OK):
        sys.exit("no VxMailServers at %s (cmake --build build --target VxMailServers)" % args.binary)
    if args.temp_dir:
        if not os.path.isdir(args.temp_dir):
            sys.exit("--temp-dir %s is not a folder" % args.temp_dir)
        tempfile.tempdir = os.path.realpath(args.temp_dir)
    started = time.monotonic()
    bodies = {s: make_body(s) for s in set(args.sizes) | {4096}}
    cells = plan_cells(args)
    machine = machine_line(args)
    print(machine)
    print("cells: %d SMTP (%s; %s; sessions %s; %d messages per run), %d POP3 (clients %s; %d x %d B per "
          "account, %d rounds); %d turns per cell, servers in turn"
          % (sum(c["kind"] == "smtp" for c in cells), ",".join("%dK" % (s // 1024) for s in args.sizes),
             ",".join(args.modes), ",".join(map(str, args.smtp_sessions)), args.total,
             sum(c["kind"] == "pop3" for c in cells), ",".join(map(str, args.pop_clients)), args.pop_messages,
             len(bodies[4096]), args.pop_rounds, args.repeat), flush=True)
    if args.postfix_flow_delay is not None:
        print("Postfix in_flow_delay = %ds (not its default)" % args.postfix_flow_delay, flush=True)

    users = all_users(cells, args)
    servers = [VxMail(args.binary, users)]
    reason = ""
    if args.sink:
        servers.append(Sink(args.pop_messages, bodies[4096],
                            max(args.smtp_sessions + args.pop_clients) + 4))
    elif args.no_peer:
        reason = "--no-peer given"
    elif os.geteuid() != 0:
        reason = "the peers need root (own spool, uid switch); run as root"
    else:
        try:
            if not args.no_install:
                install_peers()
            servers.append(Peer(users, args.postfix_flow_delay))
        except (Exception, subprocess.SubprocessError) as e:
            reason = "%s: %s" % (type(e).__name__, e)
    names = [s.name for s in servers]

    rows, raw = [], []
    pop_ready = False
    for cell in cells:
        if cell["kind"] == "pop3" and not pop_ready:
            for s in servers:
                prepare_pop3(s, args, bodies[4096])
            pop_ready = True
        runs = {n: [] for n in names}
        for turn, server in schedule(servers, args.repeat):
            r = run_cell(cell, turn, server, args, bodies)
            runs[server.name].append(r)
            raw.append(dict(cell=cell["key"], turn=turn, server=server.name, **r))
            print("  %s  turn %d  %-16s %s" % (cell["key"], turn + 1, server.name, describe_run(cell, r)), flush=True)
        rows.append(summarize(cell, runs, names))

    print_table(rows, names, reason)
    if not args.no_trace:
        if os.geteuid() != 0 or not os.access(STRACE, os.X_OK):
            print("\nSystem calls not counted: needs root and %s" % STRACE)
        else:
            trace_report(servers, args, bodies, make_temp("vxtrace"))
    print("\nwhole run: %.0f s" % (time.monotonic() - started))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(machine=machine, rows=rows, runs=raw), f, indent=1)
    return 0


def self_test():
    """Checks the parts of these scripts that decide the figures, without servers."""
    import mail_throughput_selftest
    return mail_throughput_selftest.run()


def _on_signal(signum, _frame):
    sys.exit(128 + signum)   # unwinds through main's finally: everything is stopped and removed


if __name__ == "__main__":
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, _on_signal)
    rc = 1
    try:
        rc = main(sys.argv[1:])
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        rc = 130
    finally:
        if mp.parent_process() is None:
            cleanup()
    sys.exit(rc)
