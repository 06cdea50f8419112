#!/usr/bin/python3
"""Times N power-ons (default 20) of a vm board that replaces both image
slots from the stick and then boots image 1: from the power-on to the
application's line. Prints each time, then the least, the median and the
most, and how many runs did not reach the application within 30 s (a
machine that stood still). Asserts nothing. Needs the ppc build and the vm
parts (scripts/build ppc, scripts/vm-build).

    bench/vm_installs.py [N]
"""

import os
import pathlib
import statistics
import sys
import tempfile
import time

TOP = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(TOP / "tools" / "boardsim"))
sys.dont_write_bytecode = True
os.environ.setdefault("LAUNCHER_SOURCE_DIR", str(TOP))

from simboard import Board, BenchError, make_image  # noqa: E402

LIMIT = 30.0
SLOTS = {1: "1.0.0.1", 2: "2.0.0.1"}
STICK = {"PLM5163_replace2_OS.img": "2.0.0.2", "PLM5163_replace1_OS.img": "1.0.0.2"}


def one_run(scratch):
    board = Board.create(scratch / "board", "vm", scratch / "logs")
    for slot, version in SLOTS.items():
        board.set_slot(slot, make_image(scratch / ("slot%d" % slot), version))
    for name, version in STICK.items():
        board.stick_add(make_image(scratch / name, version), name)
    board.eeprom.update({"boot_slot": 2, "usb_marker": 213})
    start = time.monotonic()
    with board.power_on() as session:
        try:
            session.expect("Application 1.0.0.2 running", timeout=LIMIT)
            took = time.monotonic() - start
        except BenchError:
            took = None
            session.send("\r")   # a key moves a machine that stood still on
        session.wait_end(timeout=60)
    return took


def main(argv):
    runs = int(argv[0]) if argv and argv[0].isdigit() else 20
    times, stood = [], 0
    for n in range(1, runs + 1):
        with tempfile.TemporaryDirectory(prefix="vm-installs.") as scratch:
            took = one_run(pathlib.Path(scratch))
        if took is None:
            stood += 1
            print("run %d: no application within %.0f s" % (n, LIMIT), flush=True)
        else:
            times.append(took)
            print("run %d: application's line after %.2f s" % (n, took), flush=True)
    if times:
        print("power-on to the application: least %.2f s, median %.2f s, most %.2f s"
              % (min(times), statistics.median(times), max(times)))
    print("stood still: %d of %d runs" % (stood, runs))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
