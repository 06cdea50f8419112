"""The USB stick on a simulated board: the wait for the stick, the boot bundle,
the replacement images, booting the stick's image with the rejected list, and
the rescue menu's file chooser with hostile file names."""

import hashlib
import pathlib
import re
import time

from conftest import APP_LINE, app_archive, app_image, container

MOUNTING = ("Attempting to mount file system on USB flash drive; this can take up to 10 "
            "seconds.\n")
READY = "USB mounted and ready!\n"
LISTED_REPLACEMENT = ("Replacement USB image is in rejected list.\n"
                      "Would you still like to load it? (y/n) ")
LISTED_IMAGE = "USB image is in rejected list.\nWould you still like to load it? (y/n) "
TIMEOUT = "\nTimeout. Assuming \"no\".\n"
MENU = ("Please select one of the following options:\r\n"
        "\tT) Configure networking and tftp download an image\r\n"
        "\tX) Use xmodem 1K to serial download an image\r\n"
        "\tR) Reboot\r\n"
        "\tE) Exit\r\n"
        "\r\nOption? : ")
CHOOSE = "Choose file number to install (q to quit): "
SLOT_QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "


def md5(path):
    return hashlib.md5(path.read_bytes()).hexdigest()


def rejected(board):
    folder = board.user_path("images/rejected")
    return sorted(p.name for p in folder.iterdir()) if folder.is_dir() else None


def reject(board, path):
    folder = board.user_path("images/rejected")
    folder.mkdir(parents=True, exist_ok=True)
    (folder / md5(path)).touch()


def in_order(text, *parts):
    """True when the parts occur in `text` in this order."""
    at = 0
    for part in parts:
        at = text.find(part, at)
        if at < 0:
            return False
        at += len(part)
    return True


def install_log(board):
    return (board.user_file("install.log") or b"").decode().splitlines()


def two_slots(board, scratch):
    """Slot 1 holds application 1.0.0.1, slot 2 application 2.0.0.1 (the boot slot)."""
    board.slot(1, app_image(scratch / "slot1", "1.0.0.1"))
    board.slot(2, app_image(scratch / "slot2", "2.0.0.1"))
    board.boot_slot = 2


def usb_start(board):
    board.usb_marker = 213


# ------------------------------------------------------------ the wait

def test_marker_other_than_213_leaves_the_stick_alone(board, scratch):
    two_slots(board, scratch)
    board.usb(app_image(scratch / "stick", "9.0.0.1"), "PLM5163_OS.img")
    for marker in (0, 212):
        board.usb_marker = marker
        r = board.run()
        assert r.final == "board: application started", r
        assert "USB" not in r.output and "Attempting" not in r.output, r
        assert in_order(r.output, "Booting image '2'\n", APP_LINE("2.0.0.1"))
    assert not [c for c in board.commands() if "md5sum" in c or "rejected" in c]
    assert rejected(board) is None


def test_no_stick_times_out_after_ten_dots_and_boots_the_slot(board, scratch):
    two_slots(board, scratch)
    usb_start(board)
    r = board.run()  # the real eleven-second wait
    assert MOUNTING + "." * 10 + "USB mount timed out\n" in r.output, r
    assert in_order(r.output, "USB mount timed out\n", "Booting image '2'\n",
                    APP_LINE("2.0.0.1")), r
    assert "No boot image found" not in r.output
    assert r.final == "board: application started"


def test_stick_that_becomes_ready_late_is_waited_for(board, scratch):
    two_slots(board, scratch)
    board.usb(app_image(scratch / "stick", "9.0.0.1"), "PLM5163_OS.img")
    usb_start(board)
    r = board.run("--usb-delay", "3")
    assert re.search(re.escape(MOUNTING) + r"\.{0,9}" + re.escape(READY), r.output), r
    assert "timed out" not in r.output
    assert APP_LINE("9.0.0.1") in r.output


# ---------------------------------------------- booting the stick's image

def test_stick_with_only_the_application_image_boots_it_and_lists_it(board, scratch):
    two_slots(board, scratch)
    stick = board.usb(app_image(scratch / "stick", "9.0.0.1"), "PLM5163_OS.img")
    usb_start(board)
    r = board.run("--faketime", "+0 x10")
    assert in_order(r.output, MOUNTING, READY, "No boot image found on USB.\n",
                    "Booting image 'PLM5163_OS.img' from USB stick.\n", APP_LINE("9.0.0.1")), r
    assert "No valid image found on USB" not in r.output
    assert r.final == "board: application started"
    assert board.running_image == 3
    assert rejected(board) == [md5(stick)]
    digest = "/bin/busybox md5sum /mnt/usb/PLM5163_OS.img > /tmp/img_md5string"
    usb_commands = [c for c in board.commands() if "md5sum" in c or "rejected" in c]
    assert usb_commands == [digest, digest, "mkdir -p /user/images/rejected",
                            "touch /user/images/rejected/" + md5(stick)]


def test_listed_image_is_asked_about_and_listed_only_once(board, scratch):
    two_slots(board, scratch)
    stick = board.usb(app_image(scratch / "stick", "9.0.0.1"), "PLM5163_OS.img")
    usb_start(board)
    assert board.run("--faketime", "+0 x10").final == "board: application started"
    child = board.spawn(timeout=30)
    child.expect_exact(LISTED_IMAGE.replace("\n", "\r\n"))
    child.send("y\r")
    child.expect_exact("Continuing to load USB image...\r\n")
    child.expect_exact(APP_LINE("9.0.0.1"))
    assert board.finish(child) == "board: application started"
    assert rejected(board) == [md5(stick)]
    assert len([c for c in board.commands() if c.startswith("touch ")]) == 1
    assert len([c for c in board.commands() if c.startswith("mkdir -p")]) == 1


def test_image_booted_once_is_refused_by_silence_at_the_next_start(board, scratch):
    two_slots(board, scratch)
    # The board shell prefers its own applets: the reboot stub is called by path.
    rebooting_app = "#!/bin/sh\necho \"%s\"\n/sbin/reboot\n" % APP_LINE("9.0.0.1")
    image = container(scratch / "stick", [{"type": "application", "version": "9.0.0.1",
                                           "data": app_archive(app=rebooting_app)}])
    board.usb(image, "PLM5163_OS.img")
    usb_start(board)
    r = board.run("--cycles", "2", timeout=90)
    assert "board: power on (start 2 of 2)" in r.output, r
    first, second = r.output.split("board: power on (start 2 of 2)")
    assert APP_LINE("9.0.0.1") in first and LISTED_IMAGE not in first, r
    assert in_order(second, LISTED_IMAGE, TIMEOUT, "USB Boot failed. Trying flash images.\n",
                    "Booting image '2'\n", APP_LINE("2.0.0.1")), r
    assert r.final == "board: application started"


def test_missing_md5_tool_warns_and_lists_nothing(board, scratch):
    two_slots(board, scratch)
    board.usb(app_image(scratch / "stick", "9.0.0.1"), "PLM5163_OS.img")
    usb_start(board)
    r = board.run("--without", "md5sum", "--faketime", "+0 x10")
    assert in_order(r.output, "Warning: Cannot determine if image is in rejected list!\n",
                    "Warning: Cannot add image to rejected list!\n", APP_LINE("9.0.0.1")), r
    assert rejected(board) is None
    assert not [c for c in board.commands() if c.startswith(("mkdir -p", "touch"))]


# ------------------------------------------------------ replacement images

def test_both_replacements_install_slot2_then_slot1_and_boot_slot1(board, scratch):
    two_slots(board, scratch)
    new2 = board.usb(app_image(scratch / "r2", "2.0.0.2"), "PLM5163_replace2_OS.img")
    new1 = board.usb(app_image(scratch / "r1", "1.0.0.2"), "PLM5163_replace1_OS.img")
    usb_start(board)
    r = board.run("--faketime", "+0 x10")
    assert in_order(r.output, "No boot image found on USB.\n",
                    "USB image (file 'PLM5163_replace2_OS.img') replacement for image2 found\n",
                    "Image2 has been successfully replaced\n",
                    "USB image (file 'PLM5163_replace1_OS.img') replacement for image1 found\n",
                    "Image1 has been successfully replaced\n",
                    "USB replacement image: board will boot with image1.\n",
                    "Booting image '1'\n", APP_LINE("1.0.0.2")), r
    assert board.user_file("images/image2") == new2.read_bytes()
    assert board.user_file("images/image1") == new1.read_bytes()
    log = install_log(board)
    assert len(log) == 2
    assert log[0].startswith("File /mnt/usb/PLM5163_replace2_OS.img installed from USB at ")
    assert log[1].startswith("File /mnt/usb/PLM5163_replace1_OS.img installed from USB at ")
    assert rejected(board) is None  # replacements are looked up, never added


def test_listed_slot2_replacement_refused_by_silence_ends_the_usb_step(board, scratch):
    two_slots(board, scratch)
    new2 = board.usb(app_image(scratch / "r2", "2.0.0.2"), "PLM5163_replace2_OS.img")
    board.usb(app_image(scratch / "r1", "1.0.0.2"), "PLM5163_replace1_OS.img")
    board.usb(app_image(scratch / "stick", "9.0.0.1"), "PLM5163_OS.img")
    reject(board, new2)
    usb_start(board)
    r = board.run()  # the real five-second question
    assert in_order(r.output, "replacement for image2 found\n", LISTED_REPLACEMENT, TIMEOUT,
                    "Booting image '2'\n", APP_LINE("2.0.0.1")), r
    for absent in ("replacement for image1", "board will boot", "No valid image found on USB",
                   "PLM5163_OS.img' from USB", "successfully replaced"):
        assert absent not in r.output, absent
    assert board.user_file("install.log") is None


def test_listed_replacement_loaded_on_yes(board, scratch):
    two_slots(board, scratch)
    new2 = board.usb(app_image(scratch / "r2", "2.0.0.2"), "PLM5163_replace2_OS.img")
    reject(board, new2)
    usb_start(board)
    child = board.spawn()
    child.expect_exact(LISTED_REPLACEMENT.replace("\n", "\r\n"))
    child.send("y\r")
    child.expect_exact("Continuing with replacement USB image...\r\n")
    child.expect_exact("Image2 has been successfully replaced\r\n")
    child.expect_exact("USB replacement image: board will boot with image2.\r\n")
    child.expect_exact(APP_LINE("2.0.0.2"))
    assert board.finish(child) == "board: application started"


def test_replacement_of_the_same_version_is_not_counted(board, scratch):
    two_slots(board, scratch)
    board.usb(scratch / "slot2", "PLM5163_replace2_OS.img")
    usb_start(board)
    r = board.run("--faketime", "+0 x10")
    assert in_order(r.output, "replacement for image2 found\n",
                    "Image2 has same version as existing image. Skipping update...\n",
                    "No valid image found on USB\n", "Booting image '2'\n",
                    APP_LINE("2.0.0.1")), r
    assert "successfully replaced" not in r.output
    assert board.user_file("install.log") is None


# ------------------------------------------------------------ boot bundle

def test_boot_bundle_installs_and_reboots_then_is_skipped_as_installed(board, scratch):
    two_slots(board, scratch)
    kernel = b"stick kernel\n" * 100
    bundle = container(scratch / "bundle", [{"type": "kernel", "data": kernel,
                                             "version": "3.1.0.1"}])
    board.usb(bundle, "PLM5163_Boot.img")
    usb_start(board)
    r = board.run("--cycles", "2", "--faketime", "+0 x10", timeout=90)
    first, second = r.output.split("board: power on (start 2 of 2)")
    assert in_order(first, "Boot image found on USB.\n", "Installing Kernel: ",
                    "File /mnt/usb/PLM5163_Boot.img installed from USB at "), r
    assert "Booting image" not in first and "replacement" not in first
    assert in_order(second, "Boot image found on USB.\n",
                    "Image has same version as existing image. Skipping update...\n",
                    "No valid image found on USB\n", "Booting image '2'\n",
                    APP_LINE("2.0.0.1")), r
    assert board.reboots() == 1
    written = pathlib.Path(bundle).read_bytes()
    assert board.flash("mtd-kernel", 0, len(written)) == written
    assert len(install_log(board)) == 1


# ------------------------------------------------------------ the chooser

def settle():
    # Between two key reads the console echoes by itself: a key sent before the
    # launcher reads it would be echoed twice.
    time.sleep(0.2)


def enter_chooser(child):
    settle()
    child.send("u")
    child.expect_exact("u\r\n")
    child.expect_exact(CHOOSE)
    listing = child.before
    return dict((name, int(number)) for number, name in
                re.findall(r"\t(\d+): ([^\r\n]*)\r\n", listing))


def answer(child, text):
    """Types a line into the line editor, one key at a time."""
    for key in text + "\r":
        settle()
        child.send(key)
    child.expect_exact(text + "\r\n")


def rescue_board(board):
    board.setenv(diagnostics="rescue")
    child = board.spawn(timeout=30)
    child.expect_exact("Entering Rescue Mode.\r\n" + MENU)
    return child


def test_chooser_lists_files_only_and_takes_numbers(board, scratch):
    first = board.usb(app_image(scratch / "a", "3.0.0.1"), "first.img")
    second = board.usb(app_image(scratch / "b", "4.0.0.1"), "second.img")
    board.usb_path("folder").mkdir()
    (board.usb_path("folder") / "inner.img").write_bytes(b"not listed")
    child = rescue_board(board)
    listing = enter_chooser(child)
    assert sorted(listing) == ["first.img", "second.img"]
    assert sorted(listing.values()) == [1, 2]
    number = listing["second.img"]
    answer(child, str(number))
    child.expect_exact("Installing second.img\r\n")
    child.expect_exact(SLOT_QUESTION)
    child.send("1\r")
    child.expect_exact("Image1 updated succeeded")
    child.expect_exact(MENU)
    assert board.user_file("images/image1") == second.read_bytes()
    assert install_log(board)[-1].startswith("File /mnt/usb/second.img installed from USB at ")
    for quiet in ("3", "q", "Q", "0", "-1"):
        enter_chooser(child)
        answer(child, quiet)
        child.expect_exact(MENU)
        assert "Installing" not in child.before and "Invalid" not in child.before
    enter_chooser(child)
    answer(child, "abc")
    child.expect_exact("Invalid file number abc. Try again pleas\r\n")
    answer(child, str(listing["first.img"]))
    child.expect_exact("Installing first.img\r\n")
    child.expect_exact(SLOT_QUESTION)
    child.send("2\r")
    child.expect_exact("Image2 updated succeeded")
    child.expect_exact(MENU)
    assert board.user_file("images/image2") == first.read_bytes()
    assert len(install_log(board)) == 2
    settle()
    child.send("r")
    assert board.finish(child) == "board: rebooted"


def test_chooser_installs_hostile_names_and_runs_nothing(board, scratch):
    names = {"x;touch pwned.img": "6.0.0.1", "it's \"quoted\" $(touch pwned).img": "7.0.0.1",
             "two  spaces.img": "8.0.0.1"}
    files = {name: board.usb(app_image(scratch / ("h%d" % i), version), name)
             for i, (name, version) in enumerate(names.items())}
    child = rescue_board(board)
    for name, slot in (("x;touch pwned.img", "2"), ("it's \"quoted\" $(touch pwned).img", "1")):
        listing = enter_chooser(child)
        assert sorted(listing) == sorted(names)
        answer(child, str(listing[name]))
        child.expect_exact("Installing %s\r\n" % name)
        child.expect_exact(SLOT_QUESTION)
        child.send(slot + "\r")
        child.expect_exact("Image%s updated succeeded" % slot)
        child.expect_exact(MENU)
        assert board.user_file("images/image" + slot) == files[name].read_bytes()
    settle()
    child.send("r")
    assert board.finish(child) == "board: rebooted"
    log = install_log(board)
    assert log[0].startswith("File /mnt/usb/x;touch pwned.img installed from USB at ")
    assert log[1].startswith("File /mnt/usb/it's \"quoted\" $(touch pwned).img installed ")
    assert not [c for c in board.commands() if "pwned" in c]
    assert not list(board.path.rglob("pwned*"))
