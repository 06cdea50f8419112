#!/usr/bin/python3
"""Times power-ons of the demo board on the vm (boardsim run BOARD --arch vm):
from the run's start to the kernel's first line, to "Booting image '2'", and
to the application's first line, for each of N runs (default 3), and the
whole run (the machine's power-off and the hand-out included). Prints the
figures; asserts nothing.

    bench/vm_boot.py [N] [--fast-clock]
"""

import os
import shutil
import sys
import tempfile
import time

import pexpect

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "tools", "boardsim"))
sys.dont_write_bytecode = True

import cli  # noqa: E402

MARKS = (("kernel", "Linux version"), ("boot", "Booting image '2'"),
         ("application", "Application 2.0.0.1 running"), ("end", "board: application started"))


def one_run(board, extra):
    start = time.monotonic()
    child = pexpect.spawn(os.path.join(TOP, "tools", "boardsim", "boardsim"),
                          ["run", board, "--arch", "vm"] + extra, timeout=120,
                          encoding="utf-8", codec_errors="replace")
    times = {}
    for name, text in MARKS:
        child.expect_exact(text)
        times[name] = time.monotonic() - start
    child.expect(pexpect.EOF)
    return times


def main(argv):
    runs = int(argv[0]) if argv and argv[0].isdigit() else 3
    extra = ["--fast-clock"] if "--fast-clock" in argv else []
    scratch = tempfile.mkdtemp(prefix="vm-boot.")
    try:
        board = os.path.join(scratch, "board")
        for n in range(1, runs + 1):
            cli.make_demo_board(board)
            t = one_run(board, extra)
            print("run %d: kernel's first line %.2f s, Booting image '2' %.2f s, "
                  "application's line %.2f s, run ended %.2f s"
                  % (n, t["kernel"], t["boot"], t["application"], t["end"]), flush=True)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
