"""The board's console on a serial port for terminal programs (--console pty):
picocom attaches and shows the board; lrzsz's sz on the port installs an image
through the XMODEM rescue, and fails, installing nothing, when the operator's
side is left at 9600 bit/s."""

import importlib.util
import os

import pexpect

from conftest import ARCH, BOARDSIM, SOURCE_DIR, MENU, VM

_spec = importlib.util.spec_from_file_location(
    "serial_line", str(SOURCE_DIR / "bench" / "serial_line.py"))
bench = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bench)


def test_terminal_program_and_sz_on_the_port(board, scratch):
    board.setenv(diagnostics="rescue")
    link = str(scratch / "ttyBOARD")
    # On the vm the board's speed is its UART's: QEMU sets it on the console's pty.
    fast = [] if VM else ["--faketime", "+0 x10"]
    sim = pexpect.spawn(str(BOARDSIM), ["run", str(board.path), "--arch", ARCH, "--console",
                                        "pty=" + link, "--line", "unpaced"] + fast,
                        timeout=60, encoding="utf-8")
    sim.expect_exact("board: console on /dev/pts/")
    term = pexpect.spawn("picocom", ["-b", "9600", link], timeout=60, encoding="utf-8")
    term.expect_exact("Terminal ready")
    term.expect_exact(MENU.replace("\n", "\r\n"))
    term.sendcontrol("a")
    term.sendcontrol("x")
    term.expect(pexpect.EOF)
    port = bench.Port(link)
    image = bench.make_image(str(scratch), 64 * bench.KIB)
    status, _, _ = bench.download(board.fs, port, image, operator_speed=115200)
    assert status == 0
    port.send(b"r")
    sim.expect_exact("board: rebooted")
    os.close(port.fd)
    sim.expect(pexpect.EOF)
    # The vm hands the board's /user back when it powers off.
    with open(image, "rb") as sent, open(os.path.join(board.fs.user, "images", "image2"),
                                         "rb") as slot:
        assert slot.read() == sent.read()
