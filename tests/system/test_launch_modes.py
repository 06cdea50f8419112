"""Application launch on a simulated board: the command line of every launch
mode (from the command log), the debugger taken from the other slot, the
env-setup variables, the install script, and the shell before the launch."""

import gzip

import pytest

from conftest import APP_LINE, app_archive, app_image, container

FAST = ("--faketime", "+0 x10")
APP = "/tmp/home/bin/mp.elf.strip"
UNPACK = "cd /tmp \ntar mxzf /tmp/vexalimage.tar.gz \nrm /tmp/vexalimage.tar.gz\n"
SHOW_ENV = '#!/bin/sh\necho "vars A=[$A] B=[$B] C=[$C]"\n'


def debugger_image(path):
    """A debugger image for the other slot: a plain record holding the
    gzip-compressed debugger, here a script that names what it debugs."""
    debugger = b'#!/bin/sh\necho "debugger runs $*"\n'
    return container(path, [{"type": "application", "data": gzip.compress(debugger)}])


def run_with_dialogue(board):
    """Runs a board whose gdbserver option asks for the management port first."""
    child = board.spawn(*FAST)
    child.expect_exact("IP addr    :")
    child.send("q\r")
    return board.finish(child)


@pytest.fixture
def slot1(board, scratch):
    board.slot(1, app_image(scratch / "one.img", "1.0.0.1"))
    return board


def test_normal_launch_execs_backtrace(slot1):
    result = slot1.run(*FAST)
    assert result.final == "board: application started"
    assert slot1.commands()[2:] == [UNPACK]
    assert slot1.events()[-1] == "backtrace " + APP
    assert slot1.tmp_file("vexalimage.tar.gz") is None
    assert slot1.tmp_file("home/bin/mp.elf.strip") is not None


@pytest.mark.parametrize("variables,command", [
    ({"gdbserver": "on"}, "/bin/gdbserver :1234 %s\n" % APP),
    ({"gdbserver": "on", "gdbport": "999"}, "/bin/gdbserver :999 %s\n" % APP),
    ({"gdbserver": "on", "memchk": "on", "gdbport": "4321"},
     "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :4321 %s\n" % APP),
])
def test_debugger_server_modes_run_the_application_then_reboot(slot1, variables, command):
    slot1.setenv(**variables)
    assert run_with_dialogue(slot1) == "board: rebooted"
    assert slot1.commands()[-2:] == [command, "reboot"]


def test_memory_checker_mode(slot1):
    slot1.setenv(memchk="on")
    result = slot1.run(*FAST)
    assert APP_LINE("1.0.0.1") in result.output
    assert result.final == "board: rebooted"
    assert slot1.commands()[-2:] == ["LD_PRELOAD=libduma.so.0.0.0 %s\n" % APP, "reboot"]


@pytest.mark.parametrize("variables", [{"gdb": "on"}, {"gdb": "on", "memchk": "on"}])
def test_debugger_mode_uses_the_other_slots_debugger(slot1, scratch, variables):
    slot1.slot(2, debugger_image(scratch / "gdb.img"))
    slot1.setenv(**variables)
    result = slot1.run(*FAST)
    assert "*** Launching under GDB ***\n" in result.output
    assert "debugger runs %s\n" % APP in result.output
    assert slot1.commands()[-2:] == ["/tmp/gdb %s" % APP, "reboot"]
    assert result.final == "board: rebooted"


def test_debugger_mode_without_a_debugger_launches_normally(slot1):
    slot1.setenv(gdb="on")
    result = slot1.run(*FAST)
    assert ("**** GDB mode selected but GDB not available. Please install GDB image ***\n"
            in result.output)
    assert result.final == "board: application started"
    assert slot1.events()[-1] == "backtrace " + APP


@pytest.mark.parametrize("env_setup,shown", [
    ("A 1\nB 2\n", "A=[1] B=[2] C=[]"),
    ("A 1\tB", "A=[1] B=[] C=[]"),
    ("A " + "x" * 600 + " C 3", "A=[%s] B=[] C=[]" % ("x" * 511)),
])
def test_env_setup_variables_reach_the_application(board, scratch, env_setup, shown):
    board.slot(1, container(scratch / "env.img", [{"type": "application", "data": app_archive(
        app=SHOW_ENV, install_sh="#!/bin/sh\necho install script ran\n", env_setup=env_setup)}]))
    result = board.run(*FAST)
    assert "Running install script\ninstall script ran\n" in result.output
    assert "vars " + shown in result.output
    assert "/tmp/home/bin/install.sh" in board.commands()


def test_env_setup_without_install_script_sets_nothing(board, scratch):
    board.slot(1, container(scratch / "env.img", [{"type": "application", "data": app_archive(
        app=SHOW_ENV, env_setup="A 1 B 2")}]))
    result = board.run(*FAST)
    assert "vars A=[] B=[] C=[]" in result.output
    assert "Running install script" not in result.output


def test_shell_comes_before_the_launch(board, scratch):
    board.slot(1, container(scratch / "sh.img", [{"type": "application", "data": app_archive(
        "1.0.0.1", install_sh="#!/bin/sh\necho install script ran\n")}]))
    board.setenv(shell="on", memchk="on")
    child = board.spawn(*FAST)
    child.expect_exact("install script ran\r\nDropping into shell\r\n")
    child.expect_exact("# ")
    child.send("echo operator-was-here\r")
    child.expect_exact("operator-was-here")
    child.send("exit\r")
    child.expect_exact("Dropping out of shell\r\n" + APP_LINE("1.0.0.1"))
    assert board.finish(child) == "board: rebooted"
    commands = board.commands()
    assert commands[2:] == [UNPACK, "/tmp/home/bin/install.sh", "/bin/sh\n",
                            "LD_PRELOAD=libduma.so.0.0.0 %s\n" % APP, "reboot"]


@pytest.mark.ppc
def test_debugger_server_mode_on_the_powerpc_build(slot1):
    slot1.setenv(gdbserver="on", gdbport="2345")
    child = slot1.spawn("--arch", "ppc", timeout=120)
    child.expect_exact("IP addr    :")
    child.send("q\r")
    assert slot1.finish(child, timeout=120) == "board: rebooted"
    assert slot1.commands()[-2:] == ["/bin/gdbserver :2345 %s\n" % APP, "reboot"]
