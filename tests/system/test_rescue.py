"""The rescue menu on a simulated board: every key in either case, the erase
offer with the diagnostics boot after it, the MAC address entry, and the
image boot giving up into the menu when both slot files are missing."""

import pathlib
import time

from conftest import APP_LINE, app_archive, app_image, container

LIST = ("Please select one of the following options:\r\n"
        "\tT) Configure networking and tftp download an image\r\n"
        "\tX) Use xmodem 1K to serial download an image\r\n"
        "\tR) Reboot\r\n"
        "\tE) Exit\r\n")
PROMPT = "\r\nOption? : "
MENU = LIST + PROMPT
ERASE_QUESTION = ("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) "
                  "y/N: ")
ERASE_STEPS = ("unmount filesystem\r\n\r\nErasing filesystem for clean install\r\nMounting...\r\n"
               "creating default filesystem\r\n")
MAC_PROMPT = "MAC address (format nn:nn:nn:nn:nn:nn): "
ERASE_EVENTS = ["umount /user", "flash_eraseall /dev/mtd-user-char",
                "mount -o sync -t jffs2 /dev/mtd-user /user"]
ERASE_COMMANDS = ["/bin/umount /user &> /dev/null", "flash_eraseall /dev/mtd-user-char",
                  "/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null",
                  "mkdir /user/images &> /dev/null"]


def enter_menu(board, *options):
    board.setenv(diagnostics="rescue")
    child = board.spawn(*options)
    child.expect_exact("Entering Rescue Mode.\r\n" + MENU, timeout=30)
    return child


def settle():
    # Between two key reads the console is in its normal echoing mode: a key
    # that arrived before the launcher asks for it would be echoed twice.
    time.sleep(0.2)


def choose(child, key, answer=None, reply=None):
    """Sends a menu key (after its prompt was seen) and expects its echo and,
    when given, `answer`, to which it sends `reply`."""
    settle()
    child.send(key)
    child.expect_exact(key + "\r\n")
    if answer is not None:
        child.expect_exact(answer)
    if reply is not None:
        settle()
        child.send(reply)


def reboot_from_menu(board, child):
    choose(child, "r")
    assert board.finish(child) == "board: rebooted"
    assert board.commands()[-1] == "reboot"


def test_t_in_either_case_starts_the_tftp_rescue(board):
    child = enter_menu(board)
    for key in "tT":
        choose(child, key, "Performing TFTP rescue. Please answer the following questions "
               "(enter 'q' to quit):\r\nIP addr    :", "q\r")
        child.expect_exact(MENU)
    reboot_from_menu(board, child)
    assert not [c for c in board.commands() if c.startswith(("ifconfig", "tftp"))]


def wait_for_command(board, text, seconds=20):
    for _ in range(int(seconds * 10)):
        if text in board.commands():
            return True
        time.sleep(0.1)
    return False


def test_x_in_either_case_starts_the_serial_download(board):
    for key in "xX":
        child = enter_menu(board)
        # The download flushes the port before it switches the speed, which
        # on a pseudo-terminal discards what was printed; then it waits for
        # Enter and runs the receiver.
        settle()
        child.send(key)
        settle()
        child.send("\r")
        assert wait_for_command(board, "/usr/bin/rx /tmp/image")
        child.close(force=True)


def test_unlisted_keys_in_either_case(board):
    child = enter_menu(board)
    for key in "uvmdUVMD":
        if key in "uU":
            choose(child, key, "Choose file number to install (q to quit): ", "q\r")
        elif key in "vV":
            choose(child, key, "Installed images versions: \r\n")
            child.expect_exact("\tOS image 2  : ")
        elif key in "mM":
            choose(child, key, MAC_PROMPT, "q\r")
        else:
            choose(child, key, ERASE_QUESTION, "n")
            child.expect_exact("\r\nBooting diags image...\r\n")
        # After every action the whole list comes back.
        child.expect_exact(MENU)
    reboot_from_menu(board, child)
    assert not [e for e in board.events() if e.startswith(("ifconfig", "flash_eraseall"))]


def test_unknown_key_is_named_upper_cased_without_the_list(board):
    child = enter_menu(board)
    settle()
    child.send("z")
    child.expect_exact("z\r\nunknown option \"Z\". Please try again\r\n" + PROMPT)
    assert child.before == ""
    reboot_from_menu(board, child)


def test_ctrl_c_at_the_prompt_discards_the_key_and_clears_the_flag(board):
    child = enter_menu(board)
    settle()
    child.sendintr()
    child.expect_exact("\x00\r\n" + PROMPT)
    assert child.before == ""
    # With the flag still set the MAC entry would leave without a command.
    choose(child, "m", MAC_PROMPT, "00:11:22:33:44:55\r")
    child.expect_exact(MENU)
    reboot_from_menu(board, child)
    assert "ifconfig eth0 hw ether 00:11:22:33:44:55\n" in board.commands()


def test_exit_goes_on_with_the_boot(board, scratch):
    board.slot(1, app_image(scratch / "app.img", "1.2.3.4"))
    board.boot_slot = 1
    child = enter_menu(board)
    choose(child, "E", "Booting image '1'")
    child.expect_exact(APP_LINE("1.2.3.4"))
    assert board.finish(child) == "board: application started"


def test_reboot_runs_reboot_and_nothing_else(board):
    child = enter_menu(board)
    choose(child, "R")
    assert board.finish(child) == "board: rebooted"
    assert "Option? : " not in child.before
    assert board.commands()[-1] == "reboot"
    assert board.reboots() == 1


def test_erase_only_on_y_and_diagnostics_boot_in_every_case(board):
    board.user_path("saved.cfg").write_text("keep")
    child = enter_menu(board)
    for reply in ("n", "\r", "N"):
        choose(child, "d", ERASE_QUESTION, reply)
        child.expect_exact("\r\nBooting diags image...\r\nImage not found...")
        child.expect_exact(MENU)
    assert board.user_file("saved.cfg") == b"keep"
    assert not [e for e in board.events() if e.startswith(("flash_eraseall", "umount"))]
    choose(child, "D", ERASE_QUESTION, "Y")
    child.expect_exact("\r\n" + ERASE_STEPS + "Booting diags image...\r\n")
    child.expect_exact(MENU)
    reboot_from_menu(board, child)
    assert board.user_file("saved.cfg") is None
    commands = board.commands()
    start = commands.index(ERASE_COMMANDS[0])
    assert commands[start:start + 4] == ERASE_COMMANDS
    events = board.events()
    start = events.index(ERASE_EVENTS[0])
    assert events[start:start + 3] == ERASE_EVENTS


def test_erase_then_the_diagnostics_image_boots(board, scratch):
    image = container(scratch / "diags.img", [
        {"type": "diagnostics", "data": app_archive("9.9.9.9", diags=True), "version": "9.9.9.9"}])
    board.write_flash("mtd-rescue", pathlib.Path(image).read_bytes())
    board.user_path("saved.cfg").write_text("keep")
    child = enter_menu(board)
    choose(child, "d", ERASE_QUESTION, "y")
    child.expect_exact("\r\n" + ERASE_STEPS + "Booting diags image...\r\n")
    child.expect_exact(APP_LINE("9.9.9.9"))
    assert board.finish(child) == "board: application started"
    assert board.user_file("saved.cfg") is None
    assert "flash_eraseall /dev/mtd-user-char" in board.events()


def test_mac_entries(board):
    child = enter_menu(board)
    choose(child, "m", MAC_PROMPT, "00:11:22:33:44:55\r")
    child.expect_exact(MENU)
    choose(child, "M", MAC_PROMPT, "q\r")
    child.expect_exact(MENU)
    choose(child, "m", MAC_PROMPT, "00-11-22-33-44-55\r")
    child.expect_exact("Invalid MAC address. Try again please\r\n" + MAC_PROMPT)
    # Everything after the sixth number must stay part of the one argument.
    settle()
    child.send("1:2:3:4:5:6;date\r")
    child.expect_exact(MENU)
    reboot_from_menu(board, child)
    ifconfig = [c for c in board.commands() if c.startswith("ifconfig")]
    assert ifconfig == ["ifconfig eth0 hw ether 00:11:22:33:44:55\n",
                        "ifconfig eth0 hw ether '1:2:3:4:5:6;date'\n"]
    events = board.events()
    assert [e for e in events if e.startswith("ifconfig")] == [
        "ifconfig eth0 hw ether 00:11:22:33:44:55", "ifconfig eth0 hw ether 1:2:3:4:5:6;date"]
    assert "date" not in events


def test_both_slots_missing_give_up_into_the_menu_then_shell_and_reboot(board):
    board.setenv(shell="on")
    child = board.spawn()
    child.expect_exact("Failed to open Application image 1. Trying image 2.\r\n")
    child.expect_exact("Failed to open Application image 2.\r\n")
    child.expect_exact("Entering Rescue Mode.\r\n" + MENU)
    choose(child, "e")
    # The give-up shell: an interactive shell on the console.
    child.expect_exact("# ")
    child.send("echo shell-was-here\r")
    child.expect_exact("shell-was-here")
    child.send("exit\r")
    assert board.finish(child) == "board: rebooted"
    commands = board.commands()
    assert commands[-2:] == ["/bin/sh\n", "reboot"]


def test_both_slots_missing_exit_without_shell_reboots(board):
    child = board.spawn()
    child.expect_exact("Failed to open Application image 2.\r\n")
    child.expect_exact("Entering Rescue Mode.\r\n" + MENU)
    choose(child, "E")
    assert board.finish(child) == "board: rebooted"
    assert "/bin/sh\n" not in board.commands()
