"""Rescue menu scenarios: the keys and their dialogues, erase, MAC change, the network
dialogue and TFTP rescue (a real transfer in a namespace as root), XMODEM download."""

import io
import termios
import time

import pexpect
import pytest
from xmodem import XMODEM1k

from conftest import (APP_LINE, CTRL_C, FAST, MENU, REBOOTED, STARTED, VM, app, app_archive,
                      built, play, records)

MENTER = "Entering Rescue Mode.\n" + MENU
PROMPT = "\nOption? : "
RESCUE = {"diagnostics": "rescue"}
ERASE_Q = "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: "
ERASE_STEPS = ("unmount filesystem\n\nErasing filesystem for clean install\nMounting...\n"
               "creating default filesystem\nBooting diags image...\n")
MAC_Q = "MAC address (format nn:nn:nn:nn:nn:nn): "
INTRO = "Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):\n"
IP, MASK, GW, SERVER, FILE = ("IP addr    :", "Netmask    :", "Gateway    :", "Server addr:",
                              "Image Filename: ")
DHCP_Q = "Confirm: Use DHCP for network configuration? y/N: "
CONFIGURING = "Configuring management port..." + "." * 20 + "\n"
NO_LINK = "Mgmt link not available. Quitting.\n"
SLOT_Q = "Install image as image 1 or 2 (hit return to just boot image): "
NET = ("ifconfig", "route", "tftp", "dhclient")
FASTER = ("--faketime", "+0 x40")  # for the management port's configuration waits
CONFIG_WAIT = "waits out the management port's configuration (26 s at real speed)"


def refused(entry=None):
    return "Invalid IP address%s. Try again please\n" % (" " + entry if entry else "")


def net_cmds(*wanted):
    def check(board, out):
        assert [c for c in board.commands() if c.startswith(NET)] == list(wanted)
    return check


def menu_row(keys, **checks):
    # The first key goes right after the menu (its expected text is "").
    return dict(env=RESCUE, keys=[(MENTER, None)] + keys + [(PROMPT, "r")], final=REBOOTED,
                options=FASTER,
                cmds_end=["reboot"], **checks)


ROWS = {
    "keys-in-either-case": menu_row([
        ("", "t"), ("t\n" + INTRO + IP, "q\r"), (MENU, "T"), ("T\n" + INTRO + IP, "q\r"),
        (MENU, "u"), ("u\nChoose file number to install (q to quit): ", "q\r"), (MENU, "V"),
        ("V\nInstalled images versions: \n", None), ("\tOS image 2  : ", None),
        (MENU, "z"), ("z\nunknown option \"Z\". Please try again\n" + PROMPT, CTRL_C),
        # Ctrl-C gives key 0 and is then forgotten: the MAC entry still runs.
        ("\x00\n" + PROMPT, "M"), ("M\n" + MAC_Q, "00:11:22:33:44:55\r"), (MENU, "m"),
        (MAC_Q, "q\r"), (MENU, "m"), (MAC_Q, "00-11-22-33-44-55\r"),
        ("Invalid MAC address. Try again please\n" + MAC_Q, " 1:2:3:4:5:6;date\r")],
        # ifconfig gets the entry without its blanks, and judges what follows the address.
        cmds=["ifconfig eth0 hw ether 00:11:22:33:44:55\n",
              "ifconfig eth0 hw ether '1:2:3:4:5:6;date'\n"],
        events=["ifconfig eth0 hw ether 00:11:22:33:44:55",
                "ifconfig eth0 hw ether 1:2:3:4:5:6;date"],
        check=lambda b, out: ("date" not in b.events() and
                              len([c for c in b.commands() if c.startswith("ifconfig")]) == 2)),
    "erase-refused": menu_row(
        [("", "d"), ("d\n" + ERASE_Q, "n"), ("\nBooting diags image...\nImage not found...", None),
         (MENU, "D"), (ERASE_Q, "\r"), ("Image not found", None), (MENU, "d"), (ERASE_Q, "N"),
         ("\nBooting diags image...\n", None)], user={"saved.cfg": b"keep"},
        no_cmds=["flash_eraseall", "umount"],
        check=lambda b, out: b.user_file("saved.cfg") == b"keep"),
    "erase-then-diagnostics-image": dict(
        env=RESCUE, rescue=records({"type": "diagnostics", "version": "9.9.9.9",
                                    "data": app_archive("9.9.9.9", diags=True)}),
        user={"saved.cfg": b"keep"}, keys=[(MENTER, "D"), (ERASE_Q, "Y")],
        # (The vm's flash_eraseall prints its progress between the steps.)
        out=["\n" + ERASE_STEPS[:ERASE_STEPS.index("Mounting")],
             ERASE_STEPS[ERASE_STEPS.index("Mounting"):], APP_LINE("9.9.9.9")],
        final=STARTED, events=["umount /user", "flash_eraseall /dev/mtd-user-char",
                               "mount -o sync -t jffs2 /dev/mtd-user /user"],
        cmds=["/bin/umount /user &> /dev/null", "flash_eraseall /dev/mtd-user-char",
              "/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null",
              "mkdir /user/images &> /dev/null"],
        check=lambda b, out: not b.user_file("saved.cfg")),
    "reboot-key": dict(env=RESCUE, keys=[(MENTER, "R")], final=REBOOTED, cmds_end=["reboot"],
                       check=lambda b, out: out.count("Option? : ") == 1 and
                       b.events().count("reboot") == 1),
    # Without --network the commands are stubs and eth0 is missing: no link.
    "tftp-refused-entries": menu_row([
        ("", "t"), (IP, "\r"), (refused() + IP, "0.0.0.0\r"), (refused("0.0.0.0") + IP,
                                                                   "240.1.1.1\r"),
        (refused("240.1.1.1") + IP, "10.1.2.3.4\r"), (refused() + IP, "224.0.0.1\r"),
        (MASK, "\r"), (GW, "0.0.0.0\r"), (refused("0.0.0.0") + GW, "255.255.255.255\r"),
        (refused("255.255.255.255") + GW, "\r"), (SERVER, "0x0a000001\r"), (FILE, "x\r"),
        ("Invalid filename. Try again please\n" + FILE, "Q\r"),
        ("Invalid filename. Try again please\n" + FILE, "qq\r"),
        (CONFIGURING + "Open Interface eth0 error.\n" + NO_LINK, None)], waits=CONFIG_WAIT,
        absent=["\tNetmask", "\tGateway", "Installing image"], check=net_cmds(
            "ifconfig eth0 224.0.0.1\n")),
    "tftp-netmask-and-gateway": menu_row([
        ("", "t"), (IP, "192.0.2.10\r"), (MASK, "255.255.255.0\r"), (GW, "192.0.2.1\r"),
        (SERVER, "192.0.2.1\r"), (FILE, "sw.img\r"),
        ("\tNetmask    : 255.255.255.0\n\tGateway    : 192.0.2.1\n" + CONFIGURING, None),
        (NO_LINK, None),
        # 0.0.0.0 is a netmask the prompt takes, and it counts as none given.
        (PROMPT, "t"), (IP, "192.0.2.11\r"), (MASK, "0.0.0.0\r"), (GW, "\r"),
        (SERVER, "192.0.2.1\r"), (FILE, "sw.img\r"), (CONFIGURING, None), (NO_LINK, None)],
        waits=CONFIG_WAIT, check=lambda b, out: net_cmds(
            "ifconfig eth0 192.0.2.10\n", "ifconfig eth0 down\n",
            "ifconfig eth0 netmask 255.255.255.0\n", "ifconfig eth0 up\n",
            "route add default gw 192.0.2.1\n", "ifconfig eth0 192.0.2.11\n")(b, out) or
        out.count("\tNetmask") == 1),
    "tftp-every-prompt-quits": menu_row(
        [("", "t"), (IP, "quit\r"), (PROMPT, "t"), (IP, "Q\r"), (PROMPT, "t"),
         (IP, "192.0.2.10\r"), (MASK, "q\r"), (PROMPT, "t"), (IP, "192.0.2.10\r"), (MASK, "\r"),
         (GW, "Qx\r"), (PROMPT, "t"), (IP, "192.0.2.10\r"), (MASK, "\r"), (GW, "\r"),
         (SERVER, "q\r"), (PROMPT, "t"), (IP, "192.0.2.10\r"), (MASK, "\r"), (GW, "\r"),
         (SERVER, "192.0.2.1\r"), (FILE, "q\r")], absent=[DHCP_Q], check=net_cmds()),
    # The debugger-server dialogue offers DHCP when dhclient exists; both slots are empty.
    "dhcp-chosen": dict(
        env={"gdbserver": "on"}, options=FASTER + ("--dhclient",),
        keys=[(DHCP_Q, "Y\r"), ("\nOpen Interface eth0 error.\n" + NO_LINK, None),
              ("Booting image '1'", None), (PROMPT, "t"), (INTRO + IP, "q\r"), (PROMPT, "r")],
        final=REBOOTED, check=lambda b, out: net_cmds("dhclient -1 eth0")(b, out) or
        IP not in out.split(INTRO)[0]),
    "dhcp-declined": dict(env={"gdbserver": "on"}, options=FASTER + ("--dhclient",),
                          keys=[(DHCP_Q, "n\r"), (IP, "q\r"), ("Booting image '1'", None),
                                (MENTER, "r")], final=REBOOTED, check=net_cmds()),
    "dhcp-not-offered": dict(
        env={"gdbserver": "on"}, options=FASTER,
        keys=[(IP, "192.0.2.10\r"), (MASK, "\r"), (GW, "\r"), (CONFIGURING, None),
              (NO_LINK + "Booting image '1'", None), (MENTER, "r")],
        final=REBOOTED, absent=[DHCP_Q], waits=CONFIG_WAIT,
        check=net_cmds("ifconfig eth0 192.0.2.10\n")),
}


@pytest.mark.parametrize("row", ROWS.values(), ids=ROWS.keys())
def test_rescue(board, scratch, row):
    play(board, scratch, row)


def tftp_row(name, mask, slot_answer=None, options=FAST):
    keys = [(MENTER, "t"), (IP, "192.0.2.10\r"), (MASK, mask + "\r"), (GW, "\r"),
            (SERVER, "192.0.2.1\r"), (FILE, name + "\r"), (CONFIGURING, None)]
    if slot_answer:
        keys += [("Installing image %s from TFTP server 192.0.2.1\n" % name, None),
                 (SLOT_Q, slot_answer), ("Image1 updated succeeded", None)]
    return dict(env=RESCUE, options=options, keys=keys + [(PROMPT, "r")], final=REBOOTED,
                waits=CONFIG_WAIT)


@pytest.mark.needs_root
def test_tftp_download_of_a_hostile_name_installs_exactly_that_file(board, scratch):
    name, image = "sw 1.img;reboot", built(scratch, app("3.1.0.12"))
    (board.path / "tftp").mkdir(exist_ok=True)
    (board.path / "tftp" / name).write_bytes(image)
    play(board, scratch, dict(
        tftp_row(name, "255.255.255.0", "1\r", FAST + ("--network",)), absent=["Attempt"],
        cmds=["tftp -g -r 'sw 1.img;reboot' -l /tmp/image 192.0.2.1\n"], cmds_end=["reboot"]))
    assert board.events().count("reboot") == 1  # the ';reboot' was not run
    assert board.user_file("images/image1") == image
    assert board.install_log()[0].startswith("File %s installed from 192.0.2.1 at " % name)


@pytest.mark.needs_root
def test_tftp_missing_file_three_attempts_and_link_down(board, scratch):
    # A file left in /tmp/image from before must not pass for the download.
    out = play(board, scratch, dict(
        # Ten times faster only: the link needs real time to come up.
        tftp_row("missing.img", "", options=FAST + ("--network",)),
        tmp={"image": built(scratch, app())}, absent=["Extracting images", "No valid image"],
        out=["Attempt %d/3 of tftp timed out\n" % n for n in (1, 2, 3)] +
        ["Tftp download failed. Aborting\n"]))
    assert out.count("Installing image missing.img from TFTP server 192.0.2.1\n") == 3
    assert board.user_file("images/image1") is None and board.install_log() == []
    if VM:
        return  # QEMU's user network has no link to take down at power-on
    link_down = tftp_row("sw.img", "255.255.255.0", options=FASTER + ("--link-down",))
    play(board, scratch, dict(link_down, out=[CONFIGURING + NO_LINK], absent=["Open Interface"]))
    assert len([c for c in board.commands() if c.startswith("tftp")]) == 3


# ------------------------------------------------------------ XMODEM on the console's pty

SERIAL_PREPARE = ("Running xmodem rescue.....\n       Change the baud rate to 115200 bps and "
                  "hit the <ENTER> key\n       before initiating the download.\n")
FIRST_WAIT = ("\n    ... Waiting for the <Enter> key to be hit before the download can "
              "start...\n")
RESTORE = "Change the baud rate back to 9600 bps, hit the <ENTER> key"
SECOND_WAIT = "\n    ... Waiting for the <ENTER> key to be hit...\r"


def serial_download(board, *options, log=None):
    """The session at the download's first message; its `child` is the raw console."""
    board.setenv(**RESCUE)
    session = board.power_on(fast_time=10, options=options, encoding="latin-1", log=log)
    session.expect("Option? : ")
    session.send("x")
    session.expect(SERIAL_PREPARE)
    return session


def test_xmodem_download_installs_and_logs(board, scratch):
    # Every byte value in the blocks, the run's quit key (0x1C) among them.
    image = built(scratch, app("4.0.0.2", extra={"home/fs": bytes(range(256)) * 4}))
    assert b"\x1c" in image
    session = serial_download(board)
    child = session.child
    session.send("\r")
    child.buffer = ""

    def getc(size, timeout=1):
        try:
            return child.read_nonblocking(size, timeout).encode("latin-1")
        except pexpect.TIMEOUT:
            return None
    # The receiver may swallow its last ACK on a pty: the file decides, not the sender.
    XMODEM1k(getc, lambda data, timeout=1: child.send(data.decode("latin-1"))).send(
        io.BytesIO(image), retry=3)
    for expect, send in ((RESTORE, "\r"), (SLOT_Q, "2\r"), ("Image2 updated succeeded", None),
                         ("Option? : ", "r")):
        session.expect(expect)
        if send:
            session.send(send)
    assert session.wait_end() == REBOOTED
    assert board.events().count("reboot") == 1
    received = (board.path / "tmp/image").read_bytes()
    # Padded to the block size.
    assert received.startswith(image) and len(received) % 1024 == 0
    assert set(received[len(image):]) <= {0x1A}
    assert board.slot(2) == image
    (log,) = board.install_log()
    assert log.startswith("File image installed from xmodem at ")
    assert "/usr/bin/rx /tmp/image" in board.commands()
    assert "rx /tmp/image" in board.events()  # the receiver inherits no device but the console


@pytest.mark.skipif(VM, reason="reads the console's terminal settings, which on the vm are "
                    "the machine's own")
def test_serial_waits_take_only_cr_then_only_lf_and_no_file_installs_nothing(board, scratch):
    (board.path / "tmp/image").write_bytes(built(scratch, app()))
    # Unlogged: a run that logs the console puts a terminal of its own before the launcher's.
    session = serial_download(board, "--without", "rx", log=False)
    fd = session.child.child_fd
    session.send("a", pause=0)  # dropped: the wait goes on to its message
    session.expect(FIRST_WAIT)
    assert termios.tcgetattr(fd)[4:6] == [termios.B115200] * 2  # download speed
    session.send("\r", pause=0)
    session.expect(RESTORE)
    # Once the console settings are back, let CR through untranslated and at once.
    deadline = time.monotonic() + 10
    while not termios.tcgetattr(fd)[3] & termios.ICANON:
        assert time.monotonic() < deadline, "the console settings were not restored"
        time.sleep(0.05)
    attrs = termios.tcgetattr(fd)
    attrs[0] &= ~termios.ICRNL
    attrs[3] &= ~termios.ICANON
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    session.send("\r", pause=0)
    session.expect(SECOND_WAIT)  # the CR did not end the wait
    session.send("\n", pause=0)
    session.expect("Option? : ")
    session.send("r")
    assert session.wait_end() == REBOOTED
    text = session.output
    assert text.count(FIRST_WAIT) == 1 and "Extracting images" not in text
    assert not (board.path / "tmp/image").exists() and board.install_log() == []
    assert board.commands().count("/usr/bin/rx /tmp/image") == 1
