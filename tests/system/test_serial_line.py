"""The board's console on a serial port for terminal programs (--console pty):
picocom attaches and shows the board; lrzsz's sz on the port installs an image
through the XMODEM rescue."""

import pexpect

from conftest import MENU, VM
from simboard import make_image, xmodem_install


def test_terminal_program_and_sz_on_the_port(board, scratch):
    board.setenv(diagnostics="rescue")
    link = str(scratch / "ttyBOARD")
    # On the vm the board's speed is its UART's: QEMU sets it on the console's pty.
    session = board.power_on(console="pty", link=link, options=["--line", "unpaced"],
                             fast_time=None if VM else 10, attach=False)
    term = pexpect.spawn("picocom", ["-b", "9600", link], timeout=60, encoding="utf-8")
    term.expect_exact("Terminal ready")
    term.expect_exact(MENU.replace("\n", "\r\n"))
    term.sendcontrol("a")
    term.sendcontrol("x")
    term.expect(pexpect.EOF)
    session.attach()
    image = make_image(scratch / "app64k.img", "5.0.0.64", files={"home/pad.bin": bytes(65000)})
    assert xmodem_install(session, image, slot=2) == 0
    assert board.slot(2) == open(image, "rb").read()
    session.send("r")
    assert session.wait_end() == "board: rebooted"
