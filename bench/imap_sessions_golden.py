#!/usr/bin/python3
"""Records a reference IMAP server's answers to the multi-session exchanges
of tests/e2e/imap_exchanges.py as golden files for the end-to-end comparison
(tests/data/imap_sessions/<exchange>.golden). A private Dovecot (the start-up
of imap_fetch_golden.py) on a free port of 127.0.3.1, one fresh user per
exchange; stopped by process id. Run as root: ./bench/imap_sessions_golden.py
[--no-install] [--print]
"""
import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import imap_exchanges as ex  # noqa: E402  (the exchanges and their normal form)
import imap_fetch_golden as golden  # noqa: E402  (private Dovecot)
import mail_throughput as mt  # noqa: E402  (peer install and process helpers)

ADDRESS = "127.0.3.1"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--no-install", action="store_true")
    ap.add_argument("--print", action="store_true", help="print, write no files")
    args = ap.parse_args()
    if not args.no_install:
        mt.install_peers(golden.PACKAGES)
    out_dir = os.path.join(ROOT, "tests", "data", "imap_sessions")
    os.makedirs(out_dir, exist_ok=True)
    work, proc, port = golden.start_dovecot(address=ADDRESS)
    try:
        for name, steps in sorted(ex.EXCHANGES.items()):
            def login(s, user="g_" + name):
                untagged, tagged = s.command("LOGIN %s secret" % user)
                if not tagged.startswith("OK"):
                    raise RuntimeError(tagged)
            text = ex.render(ex.play(steps, lambda: ex.Session(ADDRESS, port), login))
            if args.print:
                print("==", name)
                print(text)
                continue
            with open(os.path.join(out_dir, name + ".golden"), "w", newline="") as f:
                f.write(text)
            print("recorded", name)
    finally:
        golden.stop_dovecot(work, proc)


if __name__ == "__main__":
    main()
