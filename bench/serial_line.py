#!/usr/bin/python3
"""Serial download over the simulated board's line, as on a bench: lrzsz's
'sz --xmodem -k IMAGE' with its standard input and output on the board's port
(boardsim run --console pty), into the launcher's XMODEM rescue (menu key X).

For each set it prints how many transfers ended with sz's exit status 0 and
the slot holding the image, and their times against the line time (10 bit
times a byte at 115200 bit/s). The last set leaves the operator's side at
9600 bit/s while the board is at 115200: nothing may be installed.

    bench/serial_line.py [--quick]     (LAUNCHER_BUILD_DIR as for boardsim)
"""

import os
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
sys.path.insert(0, os.path.join(TOP, "tools", "boardsim"))
sys.dont_write_bytecode = True

from simboard import Board, make_image, xmodem_install  # noqa: E402

KIB = 1024
SZ_LIMIT = 90  # seconds: an operator gives up a transfer that does not start


def download(board, session, image, operator_speed=115200):
    """One menu key X with sz; (sz status, seconds, slot 2 holds the image)."""
    slot = board.path / "user" / "images" / "image2"
    if slot.exists():
        slot.unlink()
    began = time.monotonic()
    status = xmodem_install(session, image, 2, operator_speed, timeout=SZ_LIMIT)
    took = time.monotonic() - began
    with open(image, "rb") as f:
        return ("timed out" if status is None else status), took, board.slot(2) == f.read()


def image_of(folder, size):
    return make_image(os.path.join(folder, "app%dk.img" % (size // KIB)),
                      "5.0.0.%d" % (size // KIB % 250),
                      files={"home/pad.bin": os.urandom(size - 1400)})


def run_set(folder, name, size, count, line, operator_speed=115200):
    board = Board.create(os.path.join(folder, "board-" + name))
    board.setenv(diagnostics="rescue")
    image = image_of(folder, size)
    length = os.path.getsize(image)
    with board.power_on(console="pty", options=["--line", line], fast_time=10,
                        timeout=120) as session:
        session.expect("Option? : ")
        results = [download(board, session, image, operator_speed) for _ in range(count)]
        session.send("r")
        session.wait_end()
    report(name, length, line, results)


def report(name, length, line, results):
    ok = sum(1 for status, _, installed in results if status == 0 and installed)
    times = [t for _, t, _ in results]
    line_time = length * 10 / 115200
    print("%-22s %4d KiB %-8s %2d of %2d installed with sz status 0; time %.1f-%.1f s, "
          "line time %.1f s, ratio %.2f-%.2f" % (
              name, length // KIB, line, ok, len(results), min(times), max(times), line_time,
              min(times) / line_time, max(times) / line_time), flush=True)


def main(argv):
    quick = "--quick" in argv
    with tempfile.TemporaryDirectory(prefix="serial-line.") as folder:
        run_set(folder, "64k-unpaced", 64 * KIB, 3 if quick else 20, "unpaced")
        run_set(folder, "1m-unpaced", 1024 * KIB, 1 if quick else 3, "unpaced")
        run_set(folder, "128k-paced", 128 * KIB, 1 if quick else 3, "paced")
        run_set(folder, "128k-paced-left-9600", 128 * KIB, 1, "paced", operator_speed=9600)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
