"""The board's console on a serial port for terminal programs (--console pty):
picocom attaches and shows the board; lrzsz's sz on the port installs an image
through the XMODEM rescue, and fails, installing nothing, when the operator's
side is left at 9600 bit/s."""

import importlib.util
import os
import subprocess

import pexpect

from conftest import ARCH, BOARDSIM, SOURCE_DIR, MENU, VM, in_order, on_this_build

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
    for operator_speed, installed in ((115200, True),):
        status, _, done = bench.download(board.fs, port, image, operator_speed=operator_speed)
        assert (status == 0, done) == (installed, installed)
    port.send(b"r")
    sim.expect_exact("board: rebooted")
    os.close(port.fd)
    sim.expect(pexpect.EOF)


def boardsim(*args):
    r = subprocess.run([str(BOARDSIM), *map(str, args)], stdin=subprocess.DEVNULL,
                       capture_output=True, text=True, timeout=60)
    return r.returncode, r.stdout + r.stderr


# An operator at a second terminal switches the power while picocom stays on the port: the
# command's answer, the simulator's lines, and whether a new power-on's menu shows in picocom.
POWER_STEPS = [
    (["power", "B", "cycle"], "", ["board: power off", "board: power on"], True),
    (["power", "B", "off"], "", ["board: power off"], False),
    (["status", "B"], "state: running\npid: {pid}\narch: {arch}\nport: {port}, also {link}\n"
     "power: off\nstart: 2\n", [], False),
    (["power", "B", "off"], "boardsim: {B} is already off\n", [], False),
    (["power", "B", "on"], "", ["board: power on"], True),
    (["power", "B", "on"], "boardsim: {B} is already on\n", [], False),
]


def test_power_from_another_terminal_keeps_the_port(board, scratch):
    board.setenv(diagnostics="rescue")
    link, log = str(scratch / "ttyBOARD"), scratch / "console.log"
    sim = pexpect.spawn(str(BOARDSIM), ["run", str(board.path), "--arch", ARCH, "--console",
                                        "pty=" + link, "--line", "unpaced", "--log", str(log)] +
                        on_this_build(["--faketime", "+0 x10"]), timeout=60, encoding="utf-8")
    sim.expect(r"board: console on (/dev/pts/\d+)")
    fill = dict(B=board.path, pid=sim.pid, arch=ARCH, port=sim.match.group(1), link=link)
    term = pexpect.spawn("picocom", ["-b", "9600", link], timeout=60, encoding="utf-8")
    term.expect_exact(MENU.replace("\n", "\r\n"))
    for args, answer, lines, menu in POWER_STEPS:
        assert boardsim(*[board.path if a == "B" else a for a in args]) == \
            (0, answer.format(**fill)), args
        for line in lines:
            sim.expect_exact(line + "\r\n")
        if menu:
            term.expect_exact(MENU.replace("\n", "\r\n"))
    term.send("r")
    sim.expect_exact("board: rebooted")
    sim.expect(pexpect.EOF)
    term.expect(pexpect.EOF)   # picocom ends with the run, not before
    assert boardsim("power", board.path, "on") == (1, "boardsim: %s is not running\n" % board.path)
    texts = [line.split(" ", 3)[3] for line in log.read_text().splitlines()]
    in_order("\n".join(texts), ["board: console on", "Option? : ", "board: power off",
                                "board: power on", "Option? : ", "board: power off",
                                "board: power on", "Option? : r", "board: rebooted"])
