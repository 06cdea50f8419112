"""Install scenarios: the USB stick (boot, replacements, boot bundle, rejected list,
the menu's file chooser) and installs by tools/installcmd, then booting the result."""

import os
import re

import pytest

from conftest import (APP_LINE, FAST, KERNEL_ONLY, MENU, REBOOTED, STARTED, VM, app, app_archive,
                      bad, boardfs, built, images, md5, play, records)

MOUNTING = "Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\n"
READY = "USB mounted and ready!\n"
LISTED = "USB image is in rejected list.\nWould you still like to load it? (y/n) "
LISTED_REPLACEMENT = "Replacement " + LISTED
TIMEOUT = "\nTimeout. Assuming \"no\".\n"
FAILED_USB = "USB Boot failed. Trying flash images.\n"
TWO = {1: app("1.0.0.1"), 2: app("2.0.0.1")}
OS, R1, R2 = "PLM5163_OS.img", "PLM5163_replace1_OS.img", "PLM5163_replace2_OS.img"
DIGEST = "/bin/busybox md5sum /mnt/usb/PLM5163_OS.img > /tmp/img_md5string"
SLOT_Q = "Install image as image 1 or 2 (hit return to just boot image): "


def stick(usb, **row):
    """Slots 1.0.0.1 and 2.0.0.1 (boot slot 2), the marker that asks for the stick."""
    return dict(dict(slots=TWO, usb=usb, eeprom={"boot_slot": 2, "usb_marker": 213}), **row)


def slot2_boot(*before):
    return list(before) + [FAILED_USB, "Booting image '2'\n", APP_LINE("2.0.0.1")]


def stick_file(board, name):
    return (board.path / "usb" / name).read_bytes()


def lists_once(board, out):
    digest = md5(stick_file(board, OS))
    assert board.rejected() == [digest]
    assert [c for c in board.commands() if "md5sum" in c or "rejected" in c] == [
        DIGEST, DIGEST, "mkdir -p /user/images/rejected", "touch /user/images/rejected/" + digest]


def replaced(board, out):
    assert [board.user_file("images/image%d" % n) for n in (2, 1)] == [
        stick_file(board, R2), stick_file(board, R1)]
    assert [x[:x.index(" at ")] for x in board.install_log()] == [
        "File /mnt/usb/%s installed from USB" % n for n in (R2, R1)]
    assert board.rejected() is None  # replacements are looked up, never added


USB_ROWS = {
    "marker-212-leaves-the-stick-alone": stick({OS: app("9.0.0.1")}, eeprom={"usb_marker": 212},
                                               out=["Booting image '1'\n", APP_LINE("1.0.0.1")],
                                               absent=["USB", "Attempting"], no_cmds=["md5sum"]),
    "no-stick-times-out": stick({}, out=[MOUNTING + "." * 10 + "USB mount timed out\n",
                                         "Booting image '2'\n", APP_LINE("2.0.0.1")],
                                absent=["No boot image found"], final=STARTED),
    "os-image-boots-and-is-listed": stick(
        {OS: app("9.0.0.1")}, out=[MOUNTING, READY, "No boot image found on USB.\n",
                                   "Booting image 'PLM5163_OS.img' from USB stick.\n",
                                   APP_LINE("9.0.0.1")], absent=["No valid image found on USB"],
        final=STARTED, state={"running_image": 3}, check=lists_once),
    "listed-image-silence-is-no": stick({OS: app("9.0.0.1")}, listed=[OS],
                                        out=slot2_boot(LISTED, TIMEOUT), final=STARTED),
    "listed-image-yes-not-listed-again": stick(
        {OS: app("9.0.0.1")}, listed=[OS], options=(), keys=[(LISTED, "y\r")],
        out=["Continuing to load USB image...\n", APP_LINE("9.0.0.1")], final=STARTED,
        no_cmds=["touch ", "mkdir -p"]),
    "corrupt-image-is-listed": stick({OS: bad()}, out=slot2_boot("USB image CRC failed."),
                                     check=lambda b, out: len(b.rejected()) == 1),
    "image-of-another-switch": stick({OS: KERNEL_ONLY}, out=slot2_boot(
        "Error: USB image corrupted or belongs to another switch type.\n")),
    "missing-md5-tool": stick(
        {OS: app("9.0.0.1")}, options=FAST + ("--without", "md5sum"),
        out=["Warning: Cannot determine if image is in rejected list!\n",
             "Warning: Cannot add image to rejected list!\n", APP_LINE("9.0.0.1")],
        no_cmds=["mkdir -p", "touch"], check=lambda b, out: b.rejected() is None),
    "both-replacements": stick(
        {R2: app("2.0.0.2"), R1: app("1.0.0.2")}, final=STARTED, check=replaced,
        out=["No boot image found on USB.\n",
             "USB image (file 'PLM5163_replace2_OS.img') replacement for image2 found\n",
             "Image2 has been successfully replaced\n",
             "USB image (file 'PLM5163_replace1_OS.img') replacement for image1 found\n",
             "Image1 has been successfully replaced\n",
             "USB replacement image: board will boot with image1.\n", "Booting image '1'\n",
             APP_LINE("1.0.0.2")]),
    "listed-replacement-silence-ends-usb-step": stick(
        {R2: app("2.0.0.2"), R1: app("1.0.0.2"), OS: app("9.0.0.1")}, listed=[R2],
        out=["replacement for image2 found\n", LISTED_REPLACEMENT, TIMEOUT, "Booting image '2'\n",
             APP_LINE("2.0.0.1")], check=lambda b, out: b.install_log() == [],
        absent=["replacement for image1", "board will boot", "No valid image found on USB",
                "PLM5163_OS.img' from USB", "successfully replaced"]),
    "listed-slot1-refused-after-slot2-replaced": stick(
        {R2: app("2.0.0.2"), R1: app("1.0.0.2")}, listed=[R1], final=STARTED,
        out=["Image2 has been successfully replaced\n", "replacement for image1 found\n",
             LISTED_REPLACEMENT, TIMEOUT, "Booting image '2'\n", APP_LINE("2.0.0.2")],
        absent=["board will boot"]),
    "listed-replacement-yes": stick(
        {R2: app("2.0.0.2")}, listed=[R2], options=(), keys=[(LISTED_REPLACEMENT, "y\r")],
        out=["Continuing with replacement USB image...\n", "Image2 has been successfully replaced\n"
             "USB replacement image: board will boot with image2.\n", APP_LINE("2.0.0.2")],
        final=STARTED),
    "boot-bundle-installs-reboots-then-is-skipped": stick(
        {"PLM5163_Boot.img": records({"type": "kernel", "data": b"stick kernel\n" * 100,
                                      "version": "3.1.0.1"})},
        options=FAST + ("--cycles", "2"), final=STARTED,
        out=["Boot image found on USB.\n", "Installing Kernel: ",
             "File /mnt/usb/PLM5163_Boot.img installed from USB at ",
             "board: power on (start 2 of 2)", "Boot image found on USB.\n",
             "Image has same version as existing image. Skipping update...\n",
             "No valid image found on USB\n", "Booting image '2'\n", APP_LINE("2.0.0.1")],
        check=lambda b, out: (
            "Booting image" not in out.split("start 2 of 2")[0] and len(b.install_log()) == 1 and
            b.events().count("reboot") == 1 and b.flash("mtd-kernel", 1316)[16:] ==
            b"stick kernel\n" * 100)),
}


@pytest.mark.parametrize("row", USB_ROWS.values(), ids=USB_ROWS.keys())
def test_usb(board, scratch, row):
    play(board, scratch, row)


def test_usb_stick_unreadable_image_and_late_stick(board, scratch):
    boardfs.install_slot(board.fs, 1, str(app("1.0.0.1")(scratch / "one.img")))
    board.eeprom["usb-marker"] = 213
    # The vm's launcher runs as root with every capability: a file's mode does not stop it.
    if not VM:
        os.chmod(boardfs.usb_add(board.fs, str(app("3.0.0.3")(scratch / "usb.img")), OS), 0)
        play(board, scratch, dict(final=STARTED, out=[
            "Failed to open application image from USB.\n", FAILED_USB, APP_LINE("1.0.0.1")]))
        (board.path / "usb" / OS).chmod(0o644)
    else:
        boardfs.usb_add(board.fs, str(app("3.0.0.3")(scratch / "usb.img")), OS)
    # Real speed: the stick turns up three seconds after power-on.
    out = play(board, scratch, dict(options=("--usb-delay", "3"), out=[APP_LINE("3.0.0.3")],
                                    absent=["timed out"]))
    assert re.search(re.escape(MOUNTING) + r"\.{0,9}" + re.escape(READY), out)
    # Taken out again: the readiness of the earlier starts is gone with it.
    boardfs.usb_remove(board.fs)
    play(board, scratch, dict(out=[MOUNTING, "USB mount timed out", APP_LINE("1.0.0.1")], absent=[READY]))


def test_chooser_lists_files_and_installs_hostile_names_running_nothing(board, scratch):
    names = ["x;touch pwned.img", "it's \"quoted\" $(touch pwned).img", "two  spaces.img"]
    for i, name in enumerate(names):
        boardfs.usb_add(board.fs, str(app("%d.0.0.1" % (i + 6))(scratch / ("h%d" % i))), name)
    (board.path / "usb/folder").mkdir()
    (board.path / "usb/folder/inner.img").write_bytes(b"not listed")
    board.setenv(diagnostics="rescue")
    session = board.power_on()
    session.expect("Entering Rescue Mode.\n" + MENU)

    def choose(*lines):
        session.send("u")
        session.expect("u\n")
        session.expect("Choose file number to install (q to quit): ")
        listing = {n: k for k, n in re.findall(r"\t(\d+): ([^\n]*)\n", session.before)}
        assert sorted(listing) == sorted(names) and sorted(listing.values()) == ["1", "2", "3"]
        for text, *then in lines:
            for key in listing.get(text, text) + "\r":  # one key at a time, as typed
                session.send(key)
            for expected in then:
                session.expect(expected)
        return listing
    for quiet in ("4", "q"):
        choose((quiet, "Option? : "))
        assert "Installing" not in session.before and "Invalid" not in session.before
    installed = ((names[0], "2"), (names[1], "1"))
    for name, slot in installed:
        choose(("abc", "Invalid file number abc. Try again pleas\n"),
               (name, "Installing %s\n" % name, SLOT_Q),
               (slot, "Image%s updated succeeded" % slot))
        session.expect("Option? : ")
    session.send("r")
    assert session.wait_end() == REBOOTED
    # (The vm hands the board's files out at power-off.)
    for name, slot in installed:
        assert board.user_file("images/image" + slot) == stick_file(board, name)
    assert [x[:x.index(" installed ")] for x in board.install_log()] == [
        "File /mnt/usb/" + n for n in names[:2]]
    assert not [c for c in board.commands() if "pwned" in c]
    assert not list(board.path.rglob("pwned*"))


# ------------------------------------------------------------ tools/installcmd in the board

def bundle(version):
    return [{"type": "kernel", "data": os.urandom(70000), "version": "4.1.0.1"},
            {"type": "rfs", "data": os.urandom(150000), "version": "4.2.0.1"},
            # over one 64 KiB write to the slot file
            {"type": "application", "version": version,
             "data": app_archive(version, extra={"home/blob": os.urandom(150000)})}]


def bundle_installed(board, out):
    data, (k, r) = board.download, (70016, 150016)
    assert (board.flash("mtd-kernel", k), board.flash("mtd-rfs", r)) == (data[:k], data[k:k + r])
    assert board.user_file("images/image2") == data[k + r:]
    # The vm's clock ticks on from the time set and keeps its own weekday.
    date = (lambda t: t[1:3] + t[4:]) if VM else (lambda t: t)
    assert date(board.eeprom["timestamp2"]) == date(bytes(RTC))
    assert board.install_log()[0].startswith("File image installed from xmodem at ")


def recovery(version):
    return lambda out: (out.write_bytes(images.plain_record(
        "application", app_archive(version), version)), out)[1]


RTC = [0x30, 0x59, 0x23, 0x02, 0x31, 0x12, 0x24]
RECOVERY_Q = "Install recovery image as image 1 or 2 (hit return to just boot image): "
INSTALL_ROWS = {
    "bundle-answered-2": dict(
        download=bundle("2.0.0.7"), installcmd="install /tmp/image 0 0 image xmodem", rtc=RTC,
        eeprom={"boot_slot": 1}, then_boot=(2, "2.0.0.7"), state={"boot_slot": 2},
        keys=[("Extracting images ... Do *NOT* power cycle the switch.", None),
              ("Installing Kernel: ", None), ("Installing Root Filesystem: ", None),
              ("Installing Application: " + SLOT_Q, "2\n")], check=bundle_installed,
        out=["Image2 updated succeeded\n", "Updating install log. File image installed from "
             "xmodem at ", "installcmd: result 1"], absent=["Error setting image timestamp"]),
    "empty-answer-boots-the-download": dict(
        download=bundle("3.0.0.1"), installcmd="install /tmp/image 0 0", keys=[(SLOT_Q, "\n")],
        out=["Booting downloaded image", "Image ready to boot...", APP_LINE("3.0.0.1")],
        final=STARTED, check=lambda b, out: b.user_file("images/image1") is None),
    # Any answer but 1 or 2 boots the download; here its archive cannot be unpacked.
    "other-answer-boots-the-download": dict(
        download=bundle("3.0.0.2"), installcmd="install /tmp/image 0 0", keys=[(SLOT_Q, "x\n")],
        tmp={"vexalimage.tar.gz": None}, out=["Booting downloaded image\nImage unpack failed "
                                              "(err 21)\n", "installcmd: result 0"],
        absent=["Image1 updated", "Image2 updated"], state={"boot_slot": 7},
        eeprom={"boot_slot": 7}, check=lambda b, out: b.user_file("images/image1") is None),
    "recovery-installed-as-slot-1": dict(
        rescue=recovery("8.0.0.3"), installcmd="diags", eeprom={"boot_slot": 2},
        keys=[(RECOVERY_Q, "1\n")], final=STARTED, state={"boot_slot": 1, "running_image": 1},
        then_boot=(1, "8.0.0.3"), out=["Installing recovery image as image1...",
                                       "Setting boot image to 1", APP_LINE("8.0.0.3")]),
}


@pytest.mark.installcmd
@pytest.mark.parametrize("row", INSTALL_ROWS.values(), ids=INSTALL_ROWS.keys())
def test_installcmd(board, scratch, row):
    if "download" in row:
        board.download = built(scratch, records(*row["download"]))
        row = dict(row, tmp=dict(row.get("tmp", {}), image=board.download))
    play(board, scratch, row)
    if "then_boot" in row:
        slot, version = row["then_boot"]
        play(board, scratch, dict(options=(), final=STARTED, state={"running_image": slot},
                                  out=["Booting image '%d'\n" % slot, APP_LINE(version)]))


@pytest.mark.installcmd
def test_padded_serial_download_installs_then_versions_and_boot_show_it(board, scratch):
    data = built(scratch, records(
        {"type": "devicetree", "data": os.urandom(3000), "version": "5.0.0.2"},
        {"type": "application", "data": app_archive("6.1.0.12"), "version": "6.1.0.12",
         "form": "extended", "header_length": 64}))
    play(board, scratch, dict(tmp={"image": data + b"\x1a" * (1024 - len(data) % 1024)},
                              installcmd="install /tmp/image 0 1", state={"boot_slot": 1},
                              out=["Image1 updated succeeded", "installcmd: result 1"]))
    play(board, scratch, dict(installcmd="versions", out=[
        "Installed images versions: \n\tBoot image  : 255.255.255.255\n\tRFS image   : "
        "255.255.255.255\n\tKernel image: 255.255.255.255\n\tDFT image   : 5.0.0.2\n"
        "\tOS image 1  : 6.1.0.12\n\tOS image 2  : 0.0.0.0\n"]))
    play(board, scratch, dict(options=(), final=STARTED, out=[APP_LINE("6.1.0.12")]))
