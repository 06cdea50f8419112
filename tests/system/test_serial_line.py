"""The board's console on a serial port for terminal programs (--console pty):
picocom attaches and shows the board; lrzsz's sz on the port installs an image
through the XMODEM rescue; power switched from another terminal leaves the
port and picocom on it."""

import pexpect
import pytest

from conftest import MENU, in_order
from simboard import BenchError, make_image, xmodem_install


def test_terminal_program_and_sz_on_the_port(board, scratch):
    board.setenv(diagnostics="rescue")
    link = str(scratch / "ttyBOARD")
    session = board.power_on(console="pty", link=link, options=["--line", "unpaced"],
                             fast_time=10, attach=False)
    term = pexpect.spawn("picocom", ["-b", "9600", link], timeout=60, encoding="utf-8")
    term.expect_exact("Terminal ready")
    term.expect_exact(MENU.replace("\n", "\r\n"))
    term.sendcontrol("a")
    term.sendcontrol("x")
    term.expect(pexpect.EOF)
    session.attach()
    image = make_image(scratch / "app64k.img", "5.0.0.64", files={"home/pad.bin": bytes(65000)})
    assert xmodem_install(session, image, slot=2) == 0
    session.send("r")
    assert session.wait_end() == "board: rebooted"
    # The vm hands the board's /user back when it powers off.
    assert board.slot(2) == open(image, "rb").read()


# An operator at a second terminal switches the power while picocom stays on the port: the
# command's answer, the simulator's lines, and whether a new power-on's menu shows in picocom.
POWER_STEPS = [
    ("cycle", "", ["board: power off", "board: power on"], True),
    ("off", "", ["board: power off"], False),
    ("status", dict(state="running", pid="{pid}", arch="{arch}", port="{port}, also {link}",
                    power="off", start="2"), [], False),
    ("off", "boardsim: {B} is already off\n", [], False),
    ("on", "", ["board: power on"], True),
    ("on", "boardsim: {B} is already on\n", [], False),
]


def test_power_from_another_terminal_keeps_the_port(board, scratch):
    board.setenv(diagnostics="rescue")
    link = str(scratch / "ttyBOARD")
    session = board.power_on(console="pty", link=link, options=["--line", "unpaced"],
                             fast_time=10, attach=False)
    fill = dict(B=board.path, pid=session.child.pid, arch=board.arch, port=session.port,
                link=link)
    term = pexpect.spawn("picocom", ["-b", "9600", link], timeout=60, encoding="utf-8")
    term.expect_exact(MENU.replace("\n", "\r\n"))
    for step, answer, lines, menu in POWER_STEPS:
        if step == "status":
            assert session.status() == {k: v.format(**fill) for k, v in answer.items()}
        else:
            assert getattr(session, "power_" + step)() == answer.format(**fill), step
        for line in lines:
            session.child.expect_exact(line + "\r\n")
        if menu:
            term.expect_exact(MENU.replace("\n", "\r\n"))
    term.send("r")
    assert session.wait_end() == "board: rebooted"
    term.expect(pexpect.EOF)   # picocom ends with the run, not before
    with pytest.raises(BenchError) as refused:
        session.power_on()
    assert str(refused.value) == "boardsim: %s is not running" % board.path
    texts = [line.split(" ", 3)[3] for line in session.log_lines()]
    in_order("\n".join(texts), ["board: console on", "Option? : ", "board: power off",
                                "board: power on", "Option? : ", "board: power off",
                                "board: power on", "Option? : r", "board: rebooted"])
