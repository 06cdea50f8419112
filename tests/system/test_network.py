"""The management-port dialogue and the TFTP rescue on a simulated board.

Without --network the board's network commands are logging stubs and the
board has no eth0, so every configuration ends in the link test's refusal;
the command log shows exactly what was run. With --network (root only) the
board's eth0 is a veth to a peer at 192.0.2.1 serving BOARD/tftp with
tftpd-hpa, and ifconfig, route and tftp are busybox's real programs.
Scenarios that do not measure a wait run with the board's clock ten times
faster; the missing-file scenario runs at real speed (configuration waits
and retry pauses)."""

import io
import pathlib
import time

import pytest

from conftest import app_image

FAST = ("--faketime", "+0 x10")
PROMPT = "\r\nOption? : "
INTRO = ("Performing TFTP rescue. Please answer the following questions "
         "(enter 'q' to quit):\r\n")
IP, MASK, GW, SERVER, FILE = ("IP addr    :", "Netmask    :", "Gateway    :", "Server addr:",
                              "Image Filename: ")
DHCP_QUESTION = "Confirm: Use DHCP for network configuration? y/N: "
CONFIGURING = "Configuring management port..." + "." * 20 + "\r\n"
NO_LINK = "Mgmt link not available. Quitting.\r\n"
SLOT_QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "
NET_WORDS = ("ifconfig", "route", "tftp", "dhclient")


def settle():
    # Between two key reads the console echoes by itself: give the launcher
    # the moment it needs to be reading before the next entry arrives.
    time.sleep(0.2)


def spawn(board, *options, timeout=30, rescue=True):
    if rescue:
        board.setenv(diagnostics="rescue")
    child = board.spawn(*options, timeout=timeout)
    child.logfile_read = io.StringIO()
    return child


def console(child):
    return child.logfile_read.getvalue()


def menu(child):
    child.expect_exact("Entering Rescue Mode.\r\n")
    child.expect_exact(PROMPT)


def key(child, letter):
    settle()
    child.send(letter)


def answer(child, prompt, entry, then=None):
    child.expect_exact(prompt)
    settle()
    child.send(entry + "\r")
    if then is not None:
        child.expect_exact(then)


def start_tftp(child):
    key(child, "t")
    child.expect_exact(INTRO)


def reboot(board, child):
    child.expect_exact(PROMPT)
    key(child, "r")
    assert board.finish(child, timeout=60) == "board: rebooted"


def net_commands(board):
    return [c for c in board.commands() if c.startswith(NET_WORDS)]


def refused(entry=None):
    if entry is None:
        return "Invalid IP address. Try again please\r\n"
    return "Invalid IP address %s. Try again please\r\n" % entry


def test_refused_entries_and_the_commands_of_a_bare_address(board):
    child = spawn(board, *FAST)
    menu(child)
    start_tftp(child)
    answer(child, IP, "", then=refused())
    answer(child, IP, "0.0.0.0", then=refused("0.0.0.0"))
    answer(child, IP, "240.1.1.1", then=refused("240.1.1.1"))
    answer(child, IP, "10.1.2.3.4", then=refused())
    answer(child, IP, "224.0.0.1")
    answer(child, MASK, "")
    answer(child, GW, "0.0.0.0", then=refused("0.0.0.0"))
    answer(child, GW, "255.255.255.255", then=refused("255.255.255.255"))
    answer(child, GW, "")
    answer(child, SERVER, "0x0a000001")  # 10.0.0.1
    answer(child, FILE, "x", then="Invalid filename. Try again please\r\n")
    answer(child, FILE, "Q", then="Invalid filename. Try again please\r\n")
    answer(child, FILE, "qq")
    # An empty netmask skips its line and commands, not the wait.
    child.expect_exact(CONFIGURING)
    child.expect_exact("Open Interface eth0 error.\r\n" + NO_LINK)
    reboot(board, child)
    assert net_commands(board) == ["ifconfig eth0 224.0.0.1\n"]
    text = console(child)
    assert "\tNetmask" not in text and "\tGateway" not in text
    assert "Installing image" not in text


def test_netmask_and_gateway_commands_in_order(board):
    child = spawn(board, *FAST)
    menu(child)
    start_tftp(child)
    for prompt, entry in ((IP, "192.0.2.10"), (MASK, "255.255.255.0"), (GW, "192.0.2.1"),
                          (SERVER, "192.0.2.1"), (FILE, "sw.img")):
        answer(child, prompt, entry)
    child.expect_exact("\tNetmask    : 255.255.255.0\r\n")
    child.expect_exact("\tGateway    : 192.0.2.1\r\n" + CONFIGURING)
    child.expect_exact(NO_LINK)
    # 0.0.0.0 is a netmask the prompt takes, and it counts as none given.
    child.expect_exact(PROMPT)
    start_tftp(child)
    for prompt, entry in ((IP, "192.0.2.11"), (MASK, "0.0.0.0"), (GW, ""),
                          (SERVER, "192.0.2.1"), (FILE, "sw.img")):
        answer(child, prompt, entry)
    child.expect_exact(CONFIGURING)
    child.expect_exact(NO_LINK)
    reboot(board, child)
    assert net_commands(board) == [
        "ifconfig eth0 192.0.2.10\n", "ifconfig eth0 down\n",
        "ifconfig eth0 netmask 255.255.255.0\n", "ifconfig eth0 up\n",
        "route add default gw 192.0.2.1\n",
        "ifconfig eth0 192.0.2.11\n"]
    assert console(child).count("\tNetmask") == 1


def test_every_prompt_quits_before_any_command(board):
    child = spawn(board)
    menu(child)
    rounds = [
        [(IP, "quit")],
        [(IP, "Q")],
        [(IP, "192.0.2.10"), (MASK, "q")],
        [(IP, "192.0.2.10"), (MASK, ""), (GW, "Qx")],
        [(IP, "192.0.2.10"), (MASK, ""), (GW, ""), (SERVER, "q")],
        [(IP, "192.0.2.10"), (MASK, ""), (GW, ""), (SERVER, "192.0.2.1"), (FILE, "q")],
    ]
    for entries in rounds:
        start_tftp(child)
        for prompt, entry in entries:
            answer(child, prompt, entry)
        child.expect_exact(PROMPT)
    key(child, "r")
    assert board.finish(child) == "board: rebooted"
    assert net_commands(board) == []
    assert DHCP_QUESTION not in console(child)


def gdbserver_start(board, *options):
    """A start in debugger-server mode with both slots empty: the network
    dialogue comes before the slot boot, which then gives up into the menu."""
    board.setenv(gdbserver="on")
    return spawn(board, *FAST, *options, rescue=False)


@pytest.mark.parametrize("reply", ["y", "Y"])
def test_dhcp_chosen_runs_dhclient(board, reply):
    child = gdbserver_start(board, "--dhclient")
    answer(child, DHCP_QUESTION, reply, then="\r\n")
    child.expect_exact("Open Interface eth0 error.\r\n" + NO_LINK)
    child.expect_exact("Booting image '1'")
    menu(child)
    # The TFTP rescue never offers DHCP.
    start_tftp(child)
    answer(child, IP, "q")
    reboot(board, child)
    assert net_commands(board) == ["dhclient -1 eth0"]
    assert IP not in console(child).split(INTRO)[0]


@pytest.mark.parametrize("reply", ["", "n"])
def test_dhcp_declined_goes_on_to_the_addresses(board, reply):
    child = gdbserver_start(board, "--dhclient")
    answer(child, DHCP_QUESTION, reply)
    answer(child, IP, "q")
    child.expect_exact("Booting image '1'")
    child.expect_exact("Entering Rescue Mode.\r\n")
    reboot(board, child)
    assert net_commands(board) == []


def test_dhcp_not_offered_without_dhclient(board):
    child = gdbserver_start(board)
    answer(child, IP, "192.0.2.10")
    answer(child, MASK, "")
    answer(child, GW, "")
    child.expect_exact(CONFIGURING)
    child.expect_exact(NO_LINK + "Booting image '1'")
    child.expect_exact("Entering Rescue Mode.\r\n")
    reboot(board, child)
    assert DHCP_QUESTION not in console(child)
    assert net_commands(board) == ["ifconfig eth0 192.0.2.10\n"]


# ------------------------------------------------------------ real peer

def image_bytes(path, **options):
    return pathlib.Path(app_image(path, **options)).read_bytes()


def serve(board, data, name):
    board.tftp_dir.mkdir(exist_ok=True)
    (board.tftp_dir / name).write_bytes(data)


def tftp_round(child, file_name, mask="255.255.255.0"):
    start_tftp(child)
    for prompt, entry in ((IP, "192.0.2.10"), (MASK, mask), (GW, ""), (SERVER, "192.0.2.1"),
                          (FILE, file_name)):
        answer(child, prompt, entry)


@pytest.mark.needs_root
def test_download_installs_into_slot_1_and_logs(board, scratch):
    image = image_bytes(scratch / "sw.img", version="2.0.0.7")
    serve(board, image, "sw.img")
    child = spawn(board, "--network", *FAST, timeout=60)
    menu(child)
    tftp_round(child, "sw.img")
    child.expect_exact(CONFIGURING)
    child.expect_exact("Installing image sw.img from TFTP server 192.0.2.1\r\n")
    answer(child, SLOT_QUESTION, "1", then="Image1 updated succeeded")
    child.expect_exact(PROMPT)
    assert board.reboots() == 0  # the menu is back; nothing rebooted
    key(child, "r")
    assert board.finish(child) == "board: rebooted"
    assert board.user_file("images/image1") == image
    log = board.user_file("install.log").decode().splitlines()
    assert len(log) == 1 and log[0].startswith("File sw.img installed from 192.0.2.1 at ")
    assert "tftp -g -r sw.img -l /tmp/image 192.0.2.1\n" in board.commands()
    assert "Attempt" not in console(child)


@pytest.mark.needs_root
def test_missing_file_three_attempts_then_abort(board, scratch):
    # Real speed: the configuration waits and the pauses after each attempt.
    # A file left in /tmp/image from before must not pass for the download.
    board.tmp_path("image").write_bytes(image_bytes(scratch / "old.img"))
    child = spawn(board, "--network", timeout=90)
    menu(child)
    tftp_round(child, "missing.img", mask="")
    child.expect_exact(CONFIGURING)
    for attempt in (1, 2, 3):
        child.expect_exact("Installing image missing.img from TFTP server 192.0.2.1\r\n")
        child.expect_exact("Attempt %d/3 of tftp timed out\r\n" % attempt)
    child.expect_exact("Tftp download failed. Aborting\r\n")
    reboot(board, child)
    assert [c for c in board.commands() if c.startswith("tftp")] == \
        ["tftp -g -r missing.img -l /tmp/image 192.0.2.1\n"] * 3
    assert "Extracting images" not in console(child)
    assert board.user_file("images/image1") is None and board.user_file("install.log") is None


@pytest.mark.needs_root
def test_link_down_quits_before_downloading(board, scratch):
    serve(board, image_bytes(scratch / "sw.img"), "sw.img")
    child = spawn(board, "--link-down", *FAST, timeout=60)
    menu(child)
    tftp_round(child, "sw.img")
    child.expect_exact(CONFIGURING + NO_LINK)
    reboot(board, child)
    assert not [c for c in board.commands() if c.startswith("tftp")]
    assert "Open Interface" not in console(child)  # eth0 exists; it has no link


@pytest.mark.needs_root
def test_hostile_file_name_fetches_exactly_that_file(board, scratch):
    name = "sw 1.img;reboot"
    image = image_bytes(scratch / "sw.img", version="3.1.0.12")
    serve(board, image, name)
    child = spawn(board, "--network", *FAST, timeout=60)
    menu(child)
    tftp_round(child, name)
    child.expect_exact("Installing image %s from TFTP server 192.0.2.1\r\n" % name)
    answer(child, SLOT_QUESTION, "1", then="Image1 updated succeeded")
    child.expect_exact(PROMPT)
    assert board.reboots() == 0  # the ';reboot' was not run
    key(child, "r")
    assert board.finish(child) == "board: rebooted"
    assert "tftp -g -r 'sw 1.img;reboot' -l /tmp/image 192.0.2.1\n" in board.commands()
    assert board.user_file("images/image1") == image
    log = board.user_file("install.log").decode()
    assert log.startswith("File %s installed from 192.0.2.1 at " % name)

