"""The serial download on a simulated board: the board's /dev/ttyS0 is the
console's own terminal, /usr/bin/rx is lrzsz's receiver, and the test sends
with python3-xmodem's XMODEM-1K through the same terminal, as an operator's
terminal program would. Scenarios that do not measure a wait run with the
board's clock ten times faster; the one without a file runs both waits for
Enter at real speed."""

import io
import pathlib
import termios
import time

import pexpect
from xmodem import XMODEM1k

from conftest import app_image

FAST = ("--faketime", "+0 x10")
PROMPT = "\r\nOption? : "
PREPARE = ("Running xmodem rescue.....\r\n"
           "       Change the baud rate to 115200 bps and hit the <ENTER> key\r\n"
           "       before initiating the download.\r\n")
FIRST_WAIT = "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n"
RESTORE = "Change the baud rate back to 9600 bps, hit the <ENTER> key"
SECOND_WAIT = "\r\n    ... Waiting for the <ENTER> key to be hit...\r"
SLOT_QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "
CAN = "\x18"


def settle():
    time.sleep(0.2)


def serial_download(board, *options, timeout=30):
    """Boots into the menu and chooses X; returns the child once the two
    instructions are on the console (the port now at download settings)."""
    board.setenv(diagnostics="rescue")
    child = board.spawn(*options, timeout=timeout, encoding="latin-1")
    child.logfile_read = io.StringIO()
    child.expect_exact("Entering Rescue Mode.\r\n")
    child.expect_exact(PROMPT)
    settle()
    child.send("x")
    child.expect_exact(PREPARE)
    return child


def send_file(child, data):
    """XMODEM-1K through the console. The receiver may swallow its last ACK
    on a pty, so the sender's verdict is not what a test judges by; a few
    retries keep the sender from eating the board's next message."""
    child.buffer = ""

    def getc(size, timeout=1):
        try:
            return child.read_nonblocking(size, timeout).encode("latin-1")
        except pexpect.TIMEOUT:
            return None

    def putc(chunk, timeout=1):
        child.send(chunk.decode("latin-1"))
        return len(chunk)

    XMODEM1k(getc, putc).send(io.BytesIO(data), retry=3)


def cancel_transfer(child):
    # What a terminal program sends when the operator cancels.
    time.sleep(0.5)
    child.send(CAN * 8)


def slave_settings(child):
    # On a pty the master's terminal requests act on the board's side.
    return termios.tcgetattr(child.child_fd)


def to_menu(board, child):
    child.expect_exact(PROMPT)
    settle()
    child.send("r")
    assert board.finish(child, timeout=60) == "board: rebooted"


def test_xmodem_download_installs_and_logs(board, scratch):
    image = pathlib.Path(app_image(scratch / "sw.img", version="4.0.0.2")).read_bytes()
    assert (-len(image)) % 1024 >= 24  # enough padding to look like one more record
    child = serial_download(board, *FAST)
    settle()
    child.send("\r")
    send_file(child, image)
    child.expect_exact(RESTORE)
    settle()
    child.send("\r")  # the restored line turns it into LF
    child.expect_exact(SLOT_QUESTION)
    settle()
    child.send("2\r")
    child.expect_exact("Image2 updated succeeded")
    child.expect_exact(PROMPT)
    assert board.reboots() == 0
    settle()
    child.send("r")
    assert board.finish(child) == "board: rebooted"
    received = board.tmp_file("image")
    # The download arrives padded to the block size; the slot holds the image.
    padding = received[len(image):]
    assert received.startswith(image) and len(received) % 1024 == 0
    assert padding and set(padding) == {0x1A}
    assert board.user_file("images/image2") == image
    log = board.user_file("install.log").decode().splitlines()
    assert len(log) == 1 and log[0].startswith("File image installed from xmodem at ")
    assert "/usr/bin/rx /tmp/image" in board.commands()


def test_no_file_real_waits_result_0(board, scratch):
    # The receiver cannot even start: no file arrives. A file from before
    # must not pass for this download. Both waits run at real speed.
    board.tmp_path("image").write_bytes(
        pathlib.Path(app_image(scratch / "old.img")).read_bytes())
    child = serial_download(board, "--without", "rx", timeout=40)
    child.expect_exact(FIRST_WAIT)  # 11 one-second polls without a key
    child.send("\r")
    child.expect_exact(RESTORE)
    child.expect_exact(SECOND_WAIT)
    child.send("\r")  # the restored line turns it into LF
    to_menu(board, child)
    text = child.logfile_read.getvalue()
    assert text.count(FIRST_WAIT) == 1 and text.count(SECOND_WAIT) == 1
    assert "Extracting images" not in text
    assert board.tmp_file("image") is None
    assert board.user_file("install.log") is None
    assert board.commands().count("/usr/bin/rx /tmp/image") == 1


def test_only_cr_ends_the_first_wait_and_only_lf_the_second(board):
    child = serial_download(board, *FAST)
    child.send("a")  # dropped: the wait goes on to its message
    child.expect_exact(FIRST_WAIT)
    child.send("\r")
    cancel_transfer(child)
    child.expect_exact(RESTORE)
    # Once the saved settings are back, make the line pass CR untranslated
    # and at once, as a terminal line without CR-to-LF mapping would.
    deadline = time.monotonic() + 10
    while not slave_settings(child)[3] & termios.ICANON:
        assert time.monotonic() < deadline, "the console settings were not restored"
        time.sleep(0.05)
    attrs = slave_settings(child)
    attrs[0] &= ~termios.ICRNL
    attrs[3] &= ~termios.ICANON
    termios.tcsetattr(child.child_fd, termios.TCSANOW, attrs)
    child.send("\r")
    child.expect_exact(SECOND_WAIT)  # the CR did not end the wait
    child.send("\n")
    child.expect_exact(PROMPT)
    # The cancelled receiver leaves an empty file: nothing is installed.
    assert "installed from" not in child.logfile_read.getvalue()
    assert board.user_file("install.log") is None
    settle()
    child.send("r")
    assert board.finish(child) == "board: rebooted"
