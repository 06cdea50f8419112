"""The start-up on a simulated board: the slot choice, the fall-back to the
other slot, the reboot when neither boots, the USB OS image, the date
command, the mount of /user, the debugger-server dialogue and Ctrl-C.

The rescue menu reached when both slot files are missing is covered with
the menu itself (test_rescue.py)."""

import re

import pytest

from conftest import APP_LINE, app_archive, app_image, container

FAST = ("--faketime", "+0 x10")  # sleeps and time-outs ten times faster
MOUNT = "/bin/mount -o sync -t jffs2 /dev/mtd-user /user"
USB_OS = "PLM5163_OS.img"


def booted(output):
    """The slot boot messages, in order."""
    return re.findall(r"^Booting image '\d'$", output, re.M)


def bad_crc_image(path, version="9.9.9.9"):
    return container(path, [{"type": "application", "data": app_archive(version),
                             "version": version, "corrupt_crc": True}])


def kernel_only_image(path):
    return container(path, [{"type": "kernel", "data": b"K" * 200}])


@pytest.fixture
def two_slots(board, scratch):
    board.slot(1, app_image(scratch / "one.img", "1.0.0.1"))
    board.slot(2, app_image(scratch / "two.img", "2.0.0.2"))
    return board


# ---------------------------------------------------------------- slot choice

@pytest.mark.parametrize("byte,slot", [(1, 1), (2, 2), (0, 1), (3, 1), (255, 1)])
def test_boot_slot_byte_chooses_the_slot(two_slots, byte, slot):
    two_slots.boot_slot = byte
    result = two_slots.run(*FAST)
    assert result.final == "board: application started"
    assert booted(result.output) == ["Booting image '%d'" % slot]
    assert APP_LINE("%d.0.0.%d" % (slot, slot)) in result.output
    assert two_slots.running_image == slot
    assert two_slots.events()[-1] == "backtrace /tmp/home/bin/mp.elf.strip"


def test_unreadable_eeprom_boots_slot_1_with_the_preset_date(two_slots):
    two_slots.boot_slot = 2
    two_slots.set_rtc_registers(bytes([0x00, 0x59, 0x23, 0x02, 0x31, 0x12, 0x24]))
    result = two_slots.run(*FAST, "--env", "DEVEMU_I2C_FAIL_READ=1+")
    assert result.final == "board: application started"
    assert booted(result.output) == ["Booting image '1'"]
    # Neither the boot-slot byte nor the clock could be read: the clock is
    # set to 2000-01-01 00:00 rather than from stray bytes.
    assert two_slots.commands()[0] == "date 010100002000\n"


# ---------------------------------------------------------------- clock and mount

@pytest.mark.parametrize("registers,digits", [
    ([0x30, 0x59, 0x23, 0x02, 0x31, 0x12, 0x24], "123123592024"),
    ([0x00, 0x09, 0x07, 0x01, 0x05, 0x01, 0x26], "010507092026"),
    # control bits above the masks (month bit 7, minutes bit 7, hour mode)
    ([0x80, 0x89, 0x47, 0x01, 0x45, 0x81, 0x26], "010507092026"),
])
def test_date_command_and_mount_come_first(two_slots, registers, digits):
    two_slots.set_rtc_registers(bytes(registers))
    two_slots.run(*FAST)
    assert two_slots.commands()[:2] == ["date %s\n" % digits, MOUNT]
    assert two_slots.events()[:2] == ["date " + digits, MOUNT.replace("/bin/", "")]


# ---------------------------------------------------------------- fall-backs

def test_crc_failure_falls_back_to_the_other_slot(board, scratch):
    board.slot(1, bad_crc_image(scratch / "bad.img"))
    board.slot(2, app_image(scratch / "two.img", "2.0.0.2"))
    board.boot_slot = 1
    result = board.run(*FAST)
    assert ("Booting image '1'\nImage1 CRC failed, trying Image2 now.\nBooting image '2'\n"
            in result.output)
    assert APP_LINE("2.0.0.2") in result.output
    assert board.running_image == 2


def test_no_bootable_record_falls_back_to_the_other_slot(board, scratch):
    board.slot(1, app_image(scratch / "one.img", "1.0.0.1"))
    board.slot(2, kernel_only_image(scratch / "kernel.img"))
    board.boot_slot = 2
    result = board.run(*FAST)
    assert ("Booting image '2'\nImage has invalid header 0x34b4152. (0x64b4152)\n"
            "Image2 has invalid header... trying Image1.\nBooting image '1'\n" in result.output)
    assert result.final == "board: application started"
    assert board.running_image == 1


def test_missing_file_is_replaced_by_the_other_within_one_call(board, scratch):
    board.slot(2, app_image(scratch / "two.img", "2.0.0.2"))
    board.boot_slot = 1
    result = board.run(*FAST)
    assert booted(result.output) == ["Booting image '1'"]
    assert "Failed to open Application image 1. Trying image 2.\n" in result.output
    assert APP_LINE("2.0.0.2") in result.output
    assert board.running_image == 2


def test_missing_first_and_bad_second_ends_in_both_failed_and_reboot(board, scratch):
    board.slot(2, bad_crc_image(scratch / "bad.img"))
    board.boot_slot = 1
    board.running_image = 7
    result = board.run(*FAST)
    assert result.output.startswith(
        "Booting image '1'\n"
        "Failed to open Application image 1. Trying image 2.\n"
        "Image2 CRC failed, trying Image1 now.\n"
        # The other slot follows from the slot asked for: 2 again.
        "Booting image '2'\n"
        "Both image1 and image2 failed.\n")
    assert result.final == "board: rebooted"
    assert board.commands()[-1] == "reboot"
    assert board.running_image == 7  # written only on the launch path


def test_both_slots_bad_crc_reboot_after_the_shell(board, scratch):
    board.slot(1, bad_crc_image(scratch / "one.img"))
    board.slot(2, bad_crc_image(scratch / "two.img"))
    board.setenv(shell="on")
    child = board.spawn(*FAST)
    child.expect_exact("Image1 CRC failed, trying Image2 now.\r\nBooting image '2'\r\n"
                       "Both image1 and image2 failed.\r\n")
    child.expect_exact("# ")
    child.send("exit\r")
    assert board.finish(child) == "board: rebooted"
    assert board.commands()[-2:] == ["/bin/sh\n", "reboot"]


def test_no_bootable_record_in_either_slot_gives_up_to_rescue(board, scratch):
    board.slot(1, kernel_only_image(scratch / "one.img"))
    board.slot(2, kernel_only_image(scratch / "two.img"))
    child = board.spawn(*FAST)
    child.expect_exact("Image1 has invalid header... trying Image2.\r\nBooting image '2'\r\n"
                       "No valid application image found. Trying rescue image\r\n")
    child.expect_exact("Entering Rescue Mode.")
    child.expect_exact("Option? : ")
    child.send("e")
    assert board.finish(child) == "board: rebooted"
    assert "/bin/sh\n" not in board.commands()


# ---------------------------------------------------------------- USB OS image

@pytest.fixture
def usb_board(board, scratch):
    board.slot(1, app_image(scratch / "one.img", "1.0.0.1"))
    board.usb_marker = 213
    return board


def test_usb_os_image_boots_from_the_stick(usb_board, scratch):
    usb_board.usb(app_image(scratch / "usb.img", "3.0.0.3"), USB_OS)
    result = usb_board.run(*FAST)
    assert "Booting image 'PLM5163_OS.img' from USB stick.\n" in result.output
    assert booted(result.output) == []
    assert APP_LINE("3.0.0.3") in result.output
    assert usb_board.running_image == 3


def usb_fallback(board, *options, **run_options):
    result = board.run(*FAST, *options, **run_options)
    assert "USB Boot failed. Trying flash images.\n" in result.output
    assert booted(result.output) == ["Booting image '1'"]
    assert APP_LINE("1.0.0.1") in result.output
    return result.output


def test_corrupt_usb_image_is_listed_then_refused_without_an_answer(usb_board, scratch):
    usb_board.usb(bad_crc_image(scratch / "usb.img"), USB_OS)
    first = usb_fallback(usb_board)
    assert "USB image CRC failed." in first
    # Listed before it was validated: the next start asks, and silence is no.
    second = usb_fallback(usb_board)
    assert "USB image is in rejected list.\nWould you still like to load it? " in second
    assert "USB image CRC failed." not in second


def test_listed_usb_image_loads_on_yes(usb_board, scratch):
    usb_board.usb(bad_crc_image(scratch / "usb.img"), USB_OS)
    usb_fallback(usb_board)
    child = usb_board.spawn()  # real time: the answer must beat the 5 s time-out
    child.expect_exact("Would you still like to load it? (y/n) ")
    child.send("y\r")  # the console is line-buffered during the question
    child.expect_exact("Continuing to load USB image...\r\n")
    child.expect_exact("USB image CRC failed.")
    child.expect_exact(APP_LINE("1.0.0.1"))
    assert usb_board.finish(child) == "board: application started"


def test_usb_image_of_another_switch_type(usb_board, scratch):
    usb_board.usb(kernel_only_image(scratch / "usb.img"), USB_OS)
    output = usb_fallback(usb_board)
    assert "Error: USB image corrupted or belongs to another switch type.\n" in output


def test_unreadable_usb_image(usb_board, scratch):
    usb_board.usb(app_image(scratch / "usb.img", "3.0.0.3"), USB_OS).chmod(0)
    output = usb_fallback(usb_board)
    assert "Failed to open application image from USB.\n" in output


def test_marker_212_runs_no_usb_step(usb_board, scratch):
    usb_board.usb(app_image(scratch / "usb.img", "3.0.0.3"), USB_OS)
    usb_board.usb_marker = 212
    result = usb_board.run(*FAST)
    assert "USB" not in result.output
    assert APP_LINE("1.0.0.1") in result.output


# ---------------------------------------------------------------- operator

def test_ctrl_c_during_start_up_does_not_stop_the_run(usb_board):
    # Marker set but no stick: the wait for it times out, Ctrl-C or not.
    child = usb_board.spawn(*FAST)
    child.expect_exact("Attempting to mount file system on USB flash drive")
    child.sendintr()
    child.expect_exact("USB mount timed out\r\n")
    child.sendintr()
    child.expect_exact("Booting image '1'\r\n")
    child.expect_exact(APP_LINE("1.0.0.1"))
    assert usb_board.finish(child) == "board: application started"


def test_gdbserver_dialogue_comes_after_the_slot_choice(two_slots):
    two_slots.setenv(gdbserver="on", gdbport="999")
    two_slots.boot_slot = 2
    child = two_slots.spawn(*FAST)
    index = child.expect_exact(["IP addr    :", "Booting image"])
    assert index == 0, "the dialogue must come before the boot message"
    child.send("q\r")
    child.expect_exact("Booting image '2'\r\n")
    assert two_slots.finish(child) == "board: rebooted"
    assert "/bin/gdbserver :999 /tmp/home/bin/mp.elf.strip\n" in two_slots.commands()


def test_rescue_option_exit_goes_on_with_usb_and_slot_boot(usb_board, scratch):
    usb_board.usb(app_image(scratch / "usb.img", "3.0.0.3"), USB_OS)
    usb_board.setenv(diagnostics="rescue")
    child = usb_board.spawn(*FAST)
    child.expect_exact("Option? : ")
    child.send("e")
    child.expect_exact("Booting image 'PLM5163_OS.img' from USB stick.")
    child.expect_exact(APP_LINE("3.0.0.3"))
    assert usb_board.finish(child) == "board: application started"
