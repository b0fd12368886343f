#!/usr/bin/python3
"""Peak memory of building and parsing a message with one large attachment.

Runs bench/mime_large (built with -DVX_BUILD_BENCH=ON) once per case in a
child process and reads the child's peak resident set size from wait4().
Checks that the parsed attachment equals the original. Not part of ctest.
"""
import argparse
import hashlib
import os
import subprocess
import sys
import tempfile
import time


def run(binary, *args):
    start = time.monotonic()
    proc = subprocess.Popen([binary, *args])
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.monotonic() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("%s %s failed" % (binary, " ".join(args)))
    return usage.ru_maxrss * 1024, seconds


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--binary", default="build/bin/mime_large")
    parser.add_argument("--size-mb", type=int, default=50)
    parser.add_argument("--lines", action="store_true", help="also measure the whole-text line list paths")
    args = parser.parse_args()
    size = args.size_mb * 1024 * 1024
    with tempfile.TemporaryDirectory() as tmp:
        attachment = os.path.join(tmp, "attachment.bin")
        with open(attachment, "wb") as f:
            for _ in range(args.size_mb):
                f.write(os.urandom(1024 * 1024))
        message = os.path.join(tmp, "message.eml")
        saved = os.path.join(tmp, "saved.bin")
        cases = [("build", attachment, message, []), ("parse", message, saved, [])]
        if args.lines:
            cases += [("build", attachment, message, ["lines"]), ("parse", message, saved, ["lines"])]
        print("| case | peak RSS | x attachment | seconds |")
        print("|---|---|---|---|")
        worst = 0.0
        for mode, src, dst, extra in cases:
            peak, seconds = run(args.binary, mode, src, dst, *extra)
            if mode == "parse" and digest(dst) != digest(attachment):
                sys.exit("the parsed attachment differs from the original")
            ratio = peak / size
            if not extra:
                worst = max(worst, ratio)
            name = mode + (" (line list)" if extra else " (streamed)")
            print("| %s | %.1f MB | %.2f | %.2f |" % (name, peak / 1048576, ratio, seconds))
        print("\nmessage size: %.1f MB" % (os.path.getsize(message) / 1048576))
        return 0 if worst < 2.0 else 1


if __name__ == "__main__":
    sys.exit(main())
