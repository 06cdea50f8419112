"""The rescue partition's image on a simulated board: a diagnostics image is
launched at once; a recovery copy of the application is offered for
installation into a slot (answered through the console), launched, and the
slot then boots with the real launcher. boot_diags_image runs inside the
board root through tools/installcmd (see test_install.py)."""
import os

import pytest

from conftest import APP_LINE, app_archive, plain_record
from test_install import INSTALLCMD, spawn_installcmd

PROMPT = "Install recovery image as image 1 or 2 (hit return to just boot image): "

pytestmark = pytest.mark.skipif(not os.access(INSTALLCMD, os.X_OK),
                                reason="tools/installcmd is not built")


def test_diagnostics_image_is_launched_with_the_diagnostics_flag(board, scratch):
    board.write_flash("mtd-rescue", plain_record("diagnostics",
                                                 app_archive("9.9.0.1", diags=True), "9.9.0.1"))
    board.boot_slot = 2
    child = spawn_installcmd(board, scratch, "diags")
    child.expect_exact("Launching diagnostics image")
    child.expect_exact(APP_LINE("9.9.0.1"))
    assert board.finish(child) == "board: application started"
    assert board.running_image == 4
    assert board.boot_slot == 2


def test_recovery_copy_installed_as_slot_one_then_boots_from_it(board, scratch):
    record = plain_record("application", app_archive("8.0.0.3"), "8.0.0.3")
    board.write_flash("mtd-rescue", record)
    board.boot_slot = 2
    child = spawn_installcmd(board, scratch, "diags")
    child.expect_exact(PROMPT)
    child.sendline("1")
    child.expect_exact("Installing recovery image as image1...")
    child.expect_exact("Setting boot image to 1")
    child.expect_exact(APP_LINE("8.0.0.3"))
    assert board.finish(child) == "board: application started"
    assert board.user_file("images/image1") == record
    assert (board.boot_slot, board.running_image) == (1, 1)

    result = board.run()
    assert "Booting image '1'" in result.output
    assert APP_LINE("8.0.0.3") in result.output


def test_recovery_copy_booted_without_install(board, scratch):
    board.write_flash("mtd-rescue", plain_record("application", app_archive("8.0.0.4"), "8.0.0.4"))
    child = spawn_installcmd(board, scratch, "diags")
    child.expect_exact(PROMPT)
    child.sendline("")
    child.expect_exact("Booting recovery image. You will need to download and install an image "
                       "before rebooting")
    child.expect_exact(APP_LINE("8.0.0.4"))
    assert board.finish(child) == "board: application started"
    assert board.running_image == 4
    assert board.user_file("images/image1") is None


def test_erased_rescue_partition_returns(board, scratch):
    child = spawn_installcmd(board, scratch, "diags")
    child.expect_exact("Image not found... ")
    child.expect_exact("installcmd: result 0")
    board.finish(child)
