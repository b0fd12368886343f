#!/usr/bin/python3
"""System calls of running servers, counted with strace: attach to every
process and thread of a server for the length of one piece of work, then read
strace's summary (calls per system call) or its trace (which files and
folders were fsynced, and whether a reply to DATA came after them). The
readers take strace's text, so they are checked without strace."""

import os
import re
import signal
import subprocess
import time

from mail_peers import _procs, stop_process

STRACE = "/usr/bin/strace"


def tasks_of(pids):
    out = []
    for p in pids:
        try:
            out += [int(t) for t in os.listdir("/proc/%d/task" % p)]
        except FileNotFoundError:
            pass
    return out


def parse_strace_summary(text):
    """{syscall: calls} from the table `strace -c` writes."""
    calls = {}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) >= 5 and re.match(r"^\d+\.\d+$", parts[0]) and parts[-1] != "total":
            # % time, seconds, usecs/call, calls, [errors,] syscall
            calls[parts[-1]] = calls.get(parts[-1], 0) + int(parts[3])
    return calls


def traced(pids, work, out_path, options=("-c",)):
    """Runs work() with every process and thread of `pids` (and whatever they
    fork) under `strace -f <options>`; returns (work's result, strace's output)."""
    argv = [STRACE, "-f", *options, "-o", out_path]
    for t in tasks_of(pids):
        argv += ["-p", str(t)]
    tracer = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True)
    _procs.append(tracer)
    try:
        time.sleep(1.0)   # let strace attach to every task
        if tracer.poll() is not None:
            raise RuntimeError("strace could not attach (exit %s)" % tracer.returncode)
        result = work()
    finally:
        if tracer.poll() is None:
            tracer.send_signal(signal.SIGINT)   # strace detaches and writes its summary
            try:
                tracer.wait(30)
            except subprocess.TimeoutExpired:
                pass
        stop_process(tracer)
        _procs.remove(tracer)
    with open(out_path, errors="replace") as f:
        return result, f.read()


SYNC_CALLS = ("fsync", "fdatasync", "sync_file_range", "syncfs")


SEND_CALLS = ("write", "writev", "sendto", "sendmsg")
_TRACED_CALL = re.compile(r"^(?:\[pid\s+\d+\]\s*|\d+\s+)?(\w+)\(\d+<([^>]*)>(.*)$")


def commit_order(text):
    """Walks `strace -f -y` output of one SMTP session in time order: for each
    250 a server sent on a socket after its 354 (the end of DATA), were a file
    and a folder fsynced in between? Returns (replies, after a file fsync,
    after a folder fsync)."""
    replies = after_file = after_folder = 0
    in_data = seen_file = seen_folder = False
    for line in text.splitlines():
        m = _TRACED_CALL.match(line)
        if not m:
            continue
        call, path, rest = m.groups()
        if call in SYNC_CALLS:
            if in_data and not re.search(r"\)\s*=\s*-1\b", rest):
                if os.path.isdir(path):
                    seen_folder = True
                else:
                    seen_file = True
        elif call in SEND_CALLS and path.startswith(("socket:", "TCP:")):
            code = re.search(r'"(\d{3})[ -]', rest)
            if not code:
                continue
            if code.group(1) == "354":
                in_data, seen_file, seen_folder = True, False, False
            elif in_data:   # the reply to DATA: 250 counts, a refusal ends it too
                if code.group(1) == "250":
                    replies += 1
                    after_file += seen_file
                    after_folder += seen_folder
                in_data = False
    return replies, after_file, after_folder


def sync_targets(text, root):
    """{what: count} of the fsync-family calls that did not fail in `strace -f -y`
    output: a folder as "<folder>/", a file as "<its folder>/*", relative to
    the server's temp folder `root`."""
    out = {}
    call = re.compile(r"^(?:\[pid\s+\d+\]\s*|\d+\s+)?(?:%s)\(\d+<([^>]*)>" % "|".join(SYNC_CALLS))
    for line in text.splitlines():
        m = call.match(line)
        # a call another thread interrupted ends "<unfinished ...>"; its result
        # comes on a later "resumed" line and is taken as success
        if not m or re.search(r"\)\s*=\s*-1\b", line):
            continue
        path = m.group(1)
        if os.path.isdir(path):
            key = os.path.relpath(path, root) + "/"
        else:
            key = os.path.relpath(os.path.dirname(path), root) + "/*"
        out[key] = out.get(key, 0) + 1
    return out
