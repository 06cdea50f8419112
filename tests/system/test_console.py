"""Console input on a simulated board's terminal: a key read cut short by
Ctrl-C, and the timed yes/no question (asked when the USB image to boot is in
the rejected list)."""

import hashlib
import pathlib
import time

import pexpect

from conftest import APP_LINE, app_image

QUESTION = "USB image is in rejected list.\r\nWould you still like to load it? (y/n) "
TIMED_OUT = "\r\nTimeout. Assuming \"no\".\r\n"
MENU_PROMPT = "\tE) Exit\r\n\r\nOption? : "


def rejected_usb_image(board, scratch):
    """A bootable image on the stick, already in the rejected list."""
    image = pathlib.Path(app_image(scratch / "os.img", "2.0.0.7")).read_bytes()
    board.usb(image, "PLM5163_OS.img")
    board.usb_marker = 213
    rejected = board.user_path("images/rejected")
    rejected.mkdir(parents=True, exist_ok=True)
    (rejected / hashlib.md5(image).hexdigest()).touch()


def ask(board, scratch):
    rejected_usb_image(board, scratch)
    child = board.spawn(timeout=40)
    child.expect_exact(QUESTION)
    return child


def reboot_from_menu(board, child):
    child.expect_exact(MENU_PROMPT)
    time.sleep(0.2)
    child.send("r")
    assert board.finish(child) == "board: rebooted"


def test_ctrl_c_ends_a_key_read_with_key_zero(board):
    child = board.spawn()
    child.expect_exact(MENU_PROMPT)
    time.sleep(0.2)  # the read has begun: the terminal no longer echoes
    child.sendintr()
    # The launcher survives, echoes the 0 it got, and asks again.
    child.expect_exact("\x00\r\n\r\nOption? : ")
    assert "^C" not in child.before
    time.sleep(0.2)
    child.send("e")
    assert board.finish(child) == "board: rebooted"


def test_silence_answers_no_after_five_seconds(board, scratch):
    child = ask(board, scratch)
    # Well before five seconds nothing more is said...
    assert child.expect([pexpect.TIMEOUT, "Timeout"], timeout=3) == 0
    # ...then the question answers itself.
    child.expect_exact(TIMED_OUT, timeout=10)
    child.expect_exact("USB Boot failed. Trying flash images.")
    reboot_from_menu(board, child)
    assert "backtrace /tmp/home/bin/mp.elf.strip" not in board.events()


def test_y_and_enter_answers_yes(board, scratch):
    child = ask(board, scratch)
    child.send("y\r")
    child.expect_exact("Continuing to load USB image...")
    child.expect_exact(APP_LINE("2.0.0.7"))
    assert board.finish(child) == "board: application started"


def test_upper_case_y_asks_again_once_for_it_and_once_for_enter(board, scratch):
    child = ask(board, scratch)
    child.send("Y\r")
    child.expect_exact("Y\r\n(y/n) (y/n) ")
    child.send("n\r")
    child.expect_exact("USB Boot failed. Trying flash images.")
    assert "Timeout" not in child.before
    reboot_from_menu(board, child)
