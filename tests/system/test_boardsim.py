"""The board simulator itself: board folders, the sandbox's plumbing, the run's
last line, power cycles, Ctrl-C, the command log, and that a run writes
nothing outside its board folder.

Most runs here boot a stand-in launcher (a busybox script in a build folder of
the test's own), so that what is tested is the simulator, whatever state the
real launcher is in; the demo and the clock round trip boot the real one.
"""

import os
import subprocess
import zlib

import pytest

from conftest import APP_LINE, BOARDSIM, app_archive, app_image, container

MIB = 1024 * 1024


def boardsim(*args, check=True, env=None):
    environment = dict(os.environ)
    environment.update(env or {})
    return subprocess.run([str(BOARDSIM)] + [str(a) for a in args], capture_output=True,
                          text=True, check=check, env=environment, timeout=120)


@pytest.fixture
def stand_in(tmp_path):
    """fake(script) -> environment that makes 'boardsim run' boot `script` (busybox
    shell text) as the launcher."""
    def fake(script):
        build = tmp_path / "fake-build"
        build.mkdir(exist_ok=True)
        launcher = build / "launcher"
        launcher.write_text("#!/.sim/busybox sh\n" + script)
        launcher.chmod(0o755)
        return {"LAUNCHER_BUILD_DIR": str(build)}
    return fake


# ------------------------------------------------------------------ the board folder

def test_create_makes_erased_devices_and_folders(tmp_path):
    path = tmp_path / "b"
    boardsim("create", path)
    sizes = {"mtd-uboot": 512 * 1024, "mtd-ubootenv": 64 * 1024, "mtd-devicetree": 256 * 1024,
             "mtd-kernel": 5 * MIB, "mtd-rfs": 11 * MIB, "mtd-rescue": 15 * MIB,
             "eeprom": 64 * 1024}
    for name, size in sizes.items():
        data = (path / "dev" / name).read_bytes()
        assert len(data) == size, name
        assert data == b"\xff" * size, name
    assert (path / "dev" / "i2c-0").read_bytes() == b""
    for folder in ("user/images", "tmp", "usb", "tftp"):
        assert (path / folder).is_dir() and not any((path / folder).iterdir())
    # Creating again over a used board erases it; a foreign folder is refused.
    (path / "user" / "images" / "image1").write_bytes(b"x")
    (path / "dev" / "eeprom").write_bytes(b"\0" * 65536)
    boardsim("create", path)
    assert not (path / "user" / "images" / "image1").exists()
    assert (path / "dev" / "eeprom").read_bytes() == b"\xff" * 65536
    foreign = tmp_path / "foreign"
    foreign.mkdir()
    (foreign / "precious").write_text("keep")
    assert boardsim("create", foreign, check=False).returncode == 1
    assert (foreign / "precious").read_text() == "keep"


def test_setenv_writes_the_boot_loader_format_and_reads_back(tmp_path):
    path = tmp_path / "b"
    boardsim("create", path)
    boardsim("setenv", path, "gdb=on", "gdbport=999", "diagnostics=rescue")
    boardsim("setenv", path, "gdbport=", "shell=on", "gdb=off")
    raw = (path / "dev" / "mtd-ubootenv").read_bytes()
    assert len(raw) == 64 * 1024
    assert int.from_bytes(raw[:4], "big") == zlib.crc32(raw[4:])
    assert raw[4:].startswith(b"diagnostics=rescue\0shell=on\0gdb=off\0\0")
    assert raw[4:].rstrip(b"\0") == b"diagnostics=rescue\0shell=on\0gdb=off"
    listed = boardsim("setenv", path).stdout.splitlines()
    assert listed == ["diagnostics=rescue", "shell=on", "gdb=off"]
    assert boardsim("setenv", path, "novalue", check=False).returncode == 1


def test_eeprom_fields_and_offsets_round_trip(tmp_path):
    path = tmp_path / "b"
    boardsim("create", path)
    boardsim("eeprom", path, "boot-slot=2", "usb-marker=0xd5", "0x13a=3", "1000=7")
    raw = (path / "dev" / "eeprom").read_bytes()
    assert (raw[256], raw[315], raw[314], raw[1000]) == (2, 213, 3, 7)
    changed = [i for i, b in enumerate(raw) if b != 0xFF]
    assert changed == [256, 314, 315, 1000]
    shown = boardsim("eeprom", path).stdout
    for text in ("boot-slot=     2   # offset 256", "running-image= 3   # offset 314",
                 "usb-marker=    213   # offset 315", "# offset 264", "# offset 272"):
        assert text in shown
    # Bad values are refused before anything is written.
    for bad in ("boot-slot=256", "65536=1", "boot-slot=x", "timestamp1=1"):
        assert boardsim("eeprom", path, bad, check=False).returncode == 1, bad
    assert (path / "dev" / "eeprom").read_bytes() == raw


def test_rtc_sets_the_clock_the_launcher_reads(board, scratch):
    board.slot(1, app_image(scratch / "app.img", "1.0.0.1"))
    board.slot(2, app_image(scratch / "app2.img", "1.0.0.2"))
    board.set_rtc("2026-01-05 07:09:30", stopped=False)
    regs = board.rtc_registers()
    assert (regs[6], regs[5], regs[4], regs[2]) == (0x26, 0x01, 0x05, 0x07)
    board.set_rtc("2024-12-31 23:59:10")
    assert board.rtc_registers() == bytes([0x10, 0x59, 0x23, 0x03, 0x31, 0x12, 0x24])
    board.run(timeout=30)
    assert "date 123123592024\n" in board.commands()
    assert "date 123123592024" in board.events()


def test_slot_and_usb_place_files(tmp_path):
    path = tmp_path / "b"
    boardsim("create", path)
    image = tmp_path / "app.img"
    image.write_bytes(b"container")
    boardsim("slot", path, 2, image)
    assert (path / "user" / "images" / "image2").read_bytes() == b"container"
    assert boardsim("slot", path, 3, image, check=False).returncode != 0
    odd = "my image; $(reboot) 'x'.img"
    boardsim("usb", path, image, "%s=PLM5163_OS.img" % image, "%s=%s" % (image, odd),
             "%s=sub/inner.img" % image)
    names = sorted(p.relative_to(path / "usb").as_posix() for p in (path / "usb").rglob("*"))
    assert names == sorted(["app.img", "PLM5163_OS.img", odd, "sub", "sub/inner.img"])
    assert boardsim("usb", path, "%s=../escape" % image, check=False).returncode == 1
    assert not (tmp_path / "escape").exists()
    boardsim("usb", path, "--remove")
    assert list((path / "usb").iterdir()) == []


# ------------------------------------------------------------------ runs

def test_last_line_tells_how_the_run_ended(board, stand_in):
    env = stand_in("exit 5\n")
    assert board.run(env=env).final == "board: launcher exited with status 5"
    env = stand_in("/bin/sh -c reboot\nexit 0\n")
    result = board.run(env=env)
    assert result.final == "board: rebooted"
    assert board.reboots() == 1
    env = stand_in("mkdir -p /tmp/home/bin\n"
                   "printf '#!/bin/sh\\necho app-ran\\nexit 4\\n' > /tmp/home/bin/mp.elf.strip\n"
                   "chmod +x /tmp/home/bin/mp.elf.strip\nexec /bin/backtrace\n")
    result = board.run(env=env)
    assert "app-ran" in result.output
    assert result.final == "board: application started"
    assert result.output.rstrip().endswith("board: application started")


def test_backtrace_without_application_is_not_a_start(board, stand_in):
    result = board.run(env=stand_in("exec /bin/backtrace\n"))
    assert result.final == "board: launcher exited with status 127"
    assert not any(e.startswith("backtrace") for e in board.events())


def test_a_launcher_that_does_not_exit_after_reboot_is_ended(board, stand_in):
    result = board.run(env=stand_in("/bin/sh -c reboot\nwhile :; do sleep 1; done\n"), timeout=30)
    assert result.final == "board: rebooted"


def test_cycles_power_on_again_with_an_empty_tmp(board, stand_in):
    script = ("[ -e /tmp/left ] && echo tmp-kept\n"
              "touch /tmp/left; echo start-$(cat /user/count 2>/dev/null)\n"
              "echo x >> /user/count\n/bin/sh -c reboot\nexit 0\n")
    board.tmp_path("from-test").write_text("placed before power-on")
    result = board.run("--cycles", "3", env=stand_in(script))
    assert "tmp-kept" not in result.output
    assert result.output.count("board: rebooted") == 3
    assert "board: power on (start 2 of 3)" in result.output
    assert "board: power on (start 3 of 3)" in result.output
    assert "start-\n" in result.output and "start-x\n" in result.output
    assert "start-x x\n" in result.output
    assert board.reboots() == 3
    assert board.user_file("count") == b"x\nx\nx\n"
    # The first start keeps what the test put into /tmp; later starts do not.
    assert not board.tmp_path("from-test").exists()
    # A start that does not reboot ends the cycles early.
    result = board.run("--cycles", "3", env=stand_in("exit 0\n"))
    assert "power on" not in result.output
    assert result.final == "board: launcher exited with status 0"


def test_ctrl_c_reaches_the_launcher_and_not_the_sandbox(board, stand_in):
    env = stand_in("trap 'echo got-break; exit 3' INT\necho waiting\n"
                   "while :; do sleep 1; done\n")
    child = board.spawn(env=env)
    child.expect("waiting")
    child.sendintr()
    child.expect("got-break")
    assert board.finish(child) == "board: launcher exited with status 3"


def test_command_log_has_every_shell_command_and_stubs_win(board, stand_in):
    script = ("/bin/sh -c 'echo one'\n"
              "/bin/sh -c 'echo two\n"
              "echo three'\n"
              "/bin/sh -c 'date 010507092026'\n"
              "/bin/sh -c '/bin/mount -o sync -t jffs2 /dev/mtd-user /user'\n"
              "/bin/sh -c 'ifconfig eth0 192.0.2.5; route add default gw 192.0.2.1'\n"
              "/bin/sh -c 'tftp -g -r f -l /tmp/image 192.0.2.1'\n"
              "/bin/sh -c 'reboot'\nexit 0\n")
    result = board.run(env=stand_in(script))
    assert board.commands() == [
        "echo one", "echo two\necho three", "date 010507092026",
        "/bin/mount -o sync -t jffs2 /dev/mtd-user /user",
        "ifconfig eth0 192.0.2.5; route add default gw 192.0.2.1",
        "tftp -g -r f -l /tmp/image 192.0.2.1", "reboot"]
    raw = (board.path / "commands.log").read_text()
    assert "echo two\\necho three\n" in raw
    # busybox's own applets would have printed or failed: the stubs ran instead.
    assert board.events() == [
        "date 010507092026", "mount -o sync -t jffs2 /dev/mtd-user /user",
        "ifconfig eth0 192.0.2.5", "route add default gw 192.0.2.1",
        "tftp -g -r f -l /tmp/image 192.0.2.1", "reboot"]
    assert "one\ntwo\nthree\n" in result.output
    assert result.final == "board: rebooted"


def test_shell_commands_run_as_with_a_plain_shell(board, stand_in):
    # The logging shell leaves no variables behind, keeps $0 and the arguments,
    # and reports errors on the command's own line numbers.
    script = ("/bin/sh -c 'echo \"[$0][$__sim_text][$__sim_nl]\"'\n"
              "/bin/sh -c 'echo \"[$0][$1][$#]\"' name one\n"
              "/bin/sh -c 'true\nno_such_program_here' 2>&1 | tr -d \"\\n\"\n"
              "echo; /bin/sh -c 'exit 9'; echo status-$?\n")
    out = board.run(env=stand_in(script)).output
    assert "[sh][][]\n" in out
    assert "[name][one][1]\n" in out
    assert "line 1: no_such_program_here: not found" in out
    assert "status-9" in out


def test_board_programs_and_options(board, stand_in):
    script = ("for p in /bin/dhclient /usr/bin/rx /bin/gdbserver /bin/backtrace; do\n"
              "  [ -x $p ] && echo has-$p\ndone\n"
              "/bin/sh -c '/bin/busybox md5sum /dev/null' || echo md5-status-$?\n"
              "echo tty-$(test -c /dev/ttyS0 && echo yes)\n"
              "echo caps-$(grep CapEff /proc/self/status | tr -d ' \\t')\n"
              "echo net-$(ls /sys/class/net 2>/dev/null | wc -l)-$(cat /proc/net/dev | wc -l)\n"
              "echo env-$DEVEMU_ERASE_SIZE-$FAKETIME-$EXTRA\n")
    out = board.run("--without", "md5sum", "--env", "EXTRA=yes", "--faketime", "+0 x10",
                    env=dict(stand_in(script), DEVEMU_ERASE_SIZE="128k")).output
    assert "has-/bin/dhclient" not in out
    for p in ("/usr/bin/rx", "/bin/gdbserver", "/bin/backtrace"):
        assert "has-%s" % p in out
    assert "md5sum: applet not found" in out and "md5-status-127" in out
    assert "tty-yes" in out
    assert "caps-CapEff:0000000000000000" in out
    assert "net-0-3" in out  # only the loopback device: a network namespace of its own
    assert "env-128k-+0 x10-yes" in out
    out = board.run("--dhclient", env=stand_in(script)).output
    assert "has-/bin/dhclient" in out
    assert "md5-status" not in out


def test_flash_eraseall_empties_only_the_user_partition(board, stand_in):
    board.slot(1, b"image one")
    board.user_path("install.log").write_text("log\n")
    script = ("flash_eraseall /dev/mtd-kernel; echo status-$?\n"
              "ls /user/images\n"
              "flash_eraseall /dev/mtd-user-char; echo status-$?\n"
              "ls -A /user | wc -l\n")
    out = board.run(env=stand_in(script)).output
    assert "status-1\nimage1\nstatus-0\n0\n" in out
    assert list(board.user_path().iterdir()) == []
    assert board.flash("mtd-kernel") == b"\xff" * (5 * MIB)


def test_usb_marker_appears_only_with_a_stick(board, stand_in):
    script = ("[ -e /tmp/usb ] && echo marker-at-start\n"
              "i=0; while [ ! -e /tmp/usb ] && [ $i -lt 8 ]; do sleep 1; i=$((i+1)); done\n"
              "[ -e /tmp/usb ] && echo marker-later || echo no-marker\n")
    out = board.run(env=stand_in(script)).output
    assert "no-marker" in out and "marker-at-start" not in out
    board.usb(b"stick file", "PLM5163_OS.img")
    out = board.run("--usb-delay", "2", env=stand_in(script)).output
    assert "marker-later" in out and "marker-at-start" not in out
    board.tmp_path("usb").unlink()
    out = board.run(env=stand_in(script)).output
    assert "marker-at-start" in out


def test_nothing_outside_the_board_folder_is_written(board, stand_in, tmp_path):
    outside = tmp_path / "cwd"
    outside.mkdir()
    token = "boardsim-probe-%d" % os.getpid()
    script = ("for d in / /tmp /user /mnt/usb /dev /etc /usr/lib; do\n"
              "  echo x > $d/%s 2>/dev/null && echo wrote-$d\ndone\n" % token)
    env = dict(stand_in(script), HOME=str(outside), TMPDIR=str(outside))
    child = subprocess.run([str(BOARDSIM), "run", str(board.path)], cwd=outside, env=dict(
        os.environ, **env), capture_output=True, text=True, timeout=60)
    for d in ("/tmp", "/user", "/mnt/usb"):
        assert "wrote-%s\n" % d in child.stdout
    assert "wrote-/usr/lib" not in child.stdout
    assert list(outside.iterdir()) == []
    for host in ("/", "/tmp", "/user", "/mnt/usb", "/dev", "/etc", "/usr/lib"):
        assert not os.path.exists(os.path.join(host, token)), host
    assert board.tmp_file(token) == b"x\n"
    assert board.user_file(token) == b"x\n"
    assert (board.path / "usb" / token).exists()


def test_run_without_a_board_or_launcher_says_so(tmp_path, board):
    result = boardsim("run", tmp_path / "none", check=False)
    assert result.returncode == 1 and "not a board folder" in result.stderr
    result = boardsim("run", board.path, check=False,
                      env={"LAUNCHER_BUILD_DIR": str(tmp_path / "nobuild")})
    assert result.returncode == 1 and "no launcher" in result.stderr


@pytest.mark.needs_root
def test_network_reaches_the_tftp_peer_and_is_removed_afterwards(board, stand_in):
    (board.tftp_dir / "hello.txt").write_text("served by the peer\n")
    script = ("/bin/sh -c 'ifconfig eth0 192.0.2.2 netmask 255.255.255.0 up'\n"
              "/bin/sh -c 'tftp -g -r hello.txt -l /tmp/image 192.0.2.1'\n"
              "cat /tmp/image\necho caps-$(grep CapEff /proc/self/status | tr -d ' \\t')\n")
    before = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    out = board.run("--network", env=stand_in(script)).output
    assert "served by the peer" in out
    assert "caps-CapEff:0000000000003000" in out  # CAP_NET_ADMIN and CAP_NET_RAW only
    assert not any(e.startswith(("ifconfig", "tftp")) for e in board.events())
    after = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    assert after == before


# ------------------------------------------------------------------ the real launcher

def test_demo_boots_the_newer_application_of_slot_2():
    result = subprocess.run([str(BOARDSIM), "demo"], capture_output=True, text=True,
                            timeout=120, stdin=subprocess.DEVNULL)
    out = result.stdout + result.stderr
    assert "Booting image '2'" in out
    assert APP_LINE("2.0.0.1") in out
    assert result.stdout.rstrip().endswith("board: application started")


@pytest.mark.ppc
def test_demo_boots_on_the_powerpc_build():
    result = subprocess.run([str(BOARDSIM), "demo", "--arch", "ppc"], capture_output=True,
                            text=True, timeout=300, stdin=subprocess.DEVNULL)
    assert "Booting image '2'" in result.stdout + result.stderr
    assert APP_LINE("2.0.0.1") in result.stdout


@pytest.mark.ppc
def test_powerpc_build_falls_back_from_a_crc_failure(board, scratch):
    # Slot 2 (asked for) fails its CRC; slot 1 holds a kernel and an HDR3-form
    # application, so the big-endian walk over two header forms is exercised.
    board.slot(2, container(scratch / "bad.img", [
        {"type": "application", "data": app_archive("2.0.0.2"), "version": "2.0.0.2",
         "corrupt_crc": True}]))
    board.slot(1, container(scratch / "good.img", [
        {"type": "kernel", "data": b"k" * 3000, "version": "1.0.0.0"},
        {"type": "application", "data": app_archive("1.0.0.1"), "version": "1.0.0.1",
         "form": "hdr3", "header_length": 64}]))
    board.boot_slot = 2
    result = board.run("--arch", "ppc", timeout=120)
    assert result.output.index("Booting image '2'") < result.output.index("Booting image '1'")
    assert APP_LINE("1.0.0.1") in result.output
    assert APP_LINE("2.0.0.2") not in result.output
    assert result.final == "board: application started"
    assert board.running_image == 1


@pytest.mark.ppc
def test_powerpc_build_runs_the_memory_checker_mode(board, scratch):
    board.slot(1, app_image(scratch / "app.img", "1.0.0.7"))
    board.setenv(memchk="on")
    result = board.run("--arch", "ppc", timeout=120)
    assert "LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\n" in board.commands()
    assert APP_LINE("1.0.0.7") in result.output
    assert result.final == "board: rebooted"
    assert board.running_image == 1
