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
import select
import subprocess
import sys
import tempfile
import termios
import time
import tty

TOP = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
BOARDSIM = os.path.join(TOP, "tools", "boardsim", "boardsim")
sys.path.insert(0, os.path.dirname(BOARDSIM))
sys.dont_write_bytecode = True

import boardfs  # noqa: E402
import images  # noqa: E402

KIB = 1024
SZ_LIMIT = 90  # seconds: an operator gives up a transfer that does not start
MENU = b"Option? : "
SWITCH = b"before initiating the download.\r\n"
BACK = b"Change the baud rate back to 9600 bps, hit the <ENTER> key"
WAITING = b"... Waiting for the <ENTER> key to be hit..."
SLOT_Q = b"Install image as image 1 or 2 (hit return to just boot image): "
DONE = b"Image2 updated succeeded"


class Port:
    """The operator's end: the board's port opened raw, with a reading buffer."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        self.speed(9600)
        self.seen = b""

    def speed(self, bits_per_second):
        attrs = termios.tcgetattr(self.fd)
        attrs[4] = attrs[5] = getattr(termios, "B%d" % bits_per_second)
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)

    def expect(self, text, timeout=120):
        end = time.monotonic() + timeout
        while text not in self.seen:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                raise TimeoutError("%r not seen; last: %r" % (text, self.seen[-300:]))
            self.seen += os.read(self.fd, 4096)
        self.seen = self.seen[self.seen.index(text) + len(text):]

    def send(self, data):
        time.sleep(0.2)  # the launcher reads keys one at a time
        os.write(self.fd, data)


def power_on(board, line):
    sim = subprocess.Popen([BOARDSIM, "run", board.path, "--console", "pty", "--line", line,
                            "--faketime", "+0 x10"], stdout=subprocess.PIPE, text=True)
    first = sim.stdout.readline()
    if not first.startswith("board: console on "):
        raise RuntimeError("boardsim said %r" % first)
    port = Port(first.split()[3].rstrip(","))
    port.expect(MENU)
    return sim, port


def download(board, port, image, board_speed=115200, operator_speed=115200):
    """One menu key X with sz; (sz status, seconds, slot holds the image, menu back)."""
    slot = os.path.join(board.user, "images", "image2")
    if os.path.exists(slot):
        os.unlink(slot)
    port.send(b"x")
    port.expect(SWITCH)
    port.speed(operator_speed)
    port.send(b"\r")
    began = time.monotonic()
    try:
        status = subprocess.call(["sz", "--xmodem", "-k", image], stdin=port.fd,
                                 stdout=port.fd, stderr=subprocess.DEVNULL, timeout=SZ_LIMIT)
    except subprocess.TimeoutExpired:
        status = "timed out"
    took = time.monotonic() - began
    if operator_speed != board_speed:
        back_to_menu(port, board_speed)
    else:
        # sz's last read, for the ACK of its EOT, can take the board's line
        # before its switch back with it; at 9600 bit/s the board says again
        # that it waits (11 s later).
        port.speed(9600)
        port.expect(WAITING)
        port.send(b"\r")
        port.expect(SLOT_Q)
        port.send(b"2\r")
        port.expect(DONE)
        port.expect(MENU)
    with open(image, "rb") as f:
        installed = os.path.exists(slot) and open(slot, "rb").read() == f.read()
    return status, took, installed


def back_to_menu(port, board_speed, tries=40):
    """After a failed transfer the operator cannot read the board's garbled
    prompt. The board still waits for the Enter that starts its receiver: at
    the board's speed, Enter and the receiver's own time-out; then at 9600
    bit/s, Enter until the menu comes back."""
    port.speed(board_speed)
    port.send(b"\r")
    port.expect(BACK, timeout=300)
    port.speed(9600)
    for _ in range(tries):
        port.send(b"\r")
        try:
            return port.expect(MENU, timeout=5)
        except TimeoutError:
            pass
    raise TimeoutError("the menu did not come back")


def make_image(folder, size):
    path = os.path.join(folder, "app%dk.img" % (size // KIB))
    archive = images.app_archive("5.0.0.%d" % (size // KIB % 250),
                                 extra={"home/pad.bin": os.urandom(size - 1400)})
    images.build_container(path, [{"type": "application", "data": archive,
                                   "version": "5.0.0.1"}])
    return path


def run_set(folder, name, size, count, line, operator_speed=115200):
    board = boardfs.create(os.path.join(folder, "board-" + name))
    boardfs.setenv(board, ["diagnostics=rescue"])
    image = make_image(folder, size)
    length = os.path.getsize(image)
    sim, port = power_on(board, line)
    results = []
    try:
        for _ in range(count):
            results.append(download(board, port, image, operator_speed=operator_speed))
        port.send(b"r")
    finally:
        sim.wait(timeout=60)
        os.close(port.fd)
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
