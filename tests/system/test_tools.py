"""Host tools: imagetool's build / info / verify / extract reports and usage errors (the scenarios
build every image with it), boardsim's commands beside a running board, and that a board run
writes nothing outside its folder."""

import json
import os
import re
import select
import struct
import subprocess
import sys
import tty
import zlib

import pexpect
import pytest

from conftest import (APP_LINE, ARCH, BOARDSIM, CTRL_C, MENU, REBOOTED, SOURCE_DIR,
                      STARTED, app, boardfs, play, runner)
from simboard import BenchError, Board, BoardError

TOOL = os.path.join(runner.build_dir("host"), "tools", "imagetool", "imagetool")
TYPES = {"application": ("APPLICATION", 0x014B4152), "bootloader": ("UBOOT", 0x024B4152),
         "kernel": ("KERNEL", 0x034B4152), "rfs": ("RFS", 0x044B4152),
         "devicetree": ("DFT", 0x054B4152), "diagnostics": ("DIAGS", 0x064B4152),
         "0x074B4152": ("0x074B4152", 0x074B4152)}
DATA = bytes((i * 37 + 11) & 0xFF for i in range(700))


def run(*args):
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True, timeout=60)


def info(path):
    r = run("info", "--json", path)
    return r.returncode, json.loads(r.stdout)


def test_every_type_and_form_reported_and_extracted(tmp_path):
    src, out = tmp_path / "p", tmp_path / "c.img"
    src.write_bytes(DATA)
    forms = [("plain", "extended", "hdr3")[i % 3] for i in range(len(TYPES))]
    args = ["build", "-o", out]
    for name, form in zip(TYPES, forms):  # options apply to the record after them
        args += ["--version", "1.2.3.250", "--form", form] + ([] if form == "plain" else ["--header-length", 40])
        args += ["%s=%s" % (name, src)]
    r = run(*args)
    assert (r.returncode, r.stdout) == (0, "%d records, %d bytes written to %s\n" % (
        len(TYPES), out.stat().st_size, out))
    status, report = info(out)
    raw, at = out.read_bytes(), 0
    assert status == 0 and report["ok"] and len(report["records"]) == len(TYPES)
    for n, ((name, (word, type_id)), form, rec) in enumerate(zip(TYPES.items(), forms,
                                                                 report["records"])):
        h, total = rec["header_length"], rec["total_length"]
        one = raw[at:at + total]
        _, length, magic, ident = struct.unpack(">IIII", one[:16])
        assert (rec["type"], rec["type_id"], rec["form"], rec["version"], rec["offset"]) == (
            word, "0x%08X" % type_id, form, "1.2.3.250", at)
        assert (h, rec["payload_length"]) == (16 if form == "plain" else 40, total - h)
        # the complement of the standard CRC-32
        assert rec["crc"] == rec["computed_crc"] == "0x%08X" % (~zlib.crc32(one[4:]) & 0xFFFFFFFF)
        assert (magic & 0x7FFFFFFF, magic >> 31, ident) == (type_id, form == "extended", 0x010203FA)
        assert length == (total - 16 if form == "hdr3" else total - h)
        assert run("extract", out, n, "-o", tmp_path / "x").returncode == 0
        got = (tmp_path / "x").read_bytes()
        if name == "bootloader":  # the version block at 240 carries len, magic and id
            assert got[:240] + got[256:] == DATA[:240] + DATA[256:]
            assert got[240:256] == bytes(4) + one[4:16]
        else:
            assert got == DATA
        at += total


def test_damage_reports(tmp_path):
    src, out, bad = tmp_path / "p", tmp_path / "c.img", tmp_path / "bad.img"
    src.write_bytes(DATA)
    assert run("build", "-o", out, "kernel=%s" % src, "--corrupt-crc",
               "application=%s" % src).returncode == 0
    status, report = info(out)
    assert status != 0 and [r["status"] for r in report["records"]] == ["OK", "BAD CRC"]
    assert run("info", out, out).stdout.count("\n%s: 2 records, 1 BAD CRC\n" % out) == 2
    # A damaged payload is never handed out; there is no third record.
    assert [run("extract", out, n, "-o", tmp_path / "x").returncode for n in (1, 2)] == [1, 1]
    out.write_bytes(out.read_bytes()[:-1])
    status, report = info(out)
    assert status != 0 and report["records"][1]["status"] == "TRUNCATED"
    # Extended header claiming H = 8, then a boot loader one byte over its limit.
    bad.write_bytes(struct.pack(">IIIIHHHH", 0, 4, 0x834B4152, 0, 0, 8, 0, 0) + bytes(8))
    assert [info(bad)[1]["records"][0][k] for k in ("status", "problem")] == [
        "INCONSISTENT", "H = 8 at bytes 18-19 is below 16"]
    (tmp_path / "big").write_bytes(bytes(0x80001))
    assert run("build", "-o", out, "bootloader=%s" % (tmp_path / "big")).returncode == 0
    assert [info(out)[1]["records"][0][k] for k in ("status", "problem")] == [
        "TOO BIG", "len = 524289 is above the UBOOT limit 524288"]
    assert run("build", "-o", out, "kernel=%s" % src).returncode == 0
    out.write_bytes(out.read_bytes() + bytes(23))
    status, report = info(out)
    assert status == 0 and len(report["records"]) == 1 and report["trailing_bytes"] == 23
    # verify: only the problems and a summary per file; 0 when every record of every file is good.
    assert [run("verify", *files).returncode for files in ([out], [out, bad])] == [0, 1]
    assert run("verify", out, bad).stdout == "%s: 1 record, all OK\n%s: record 0 (KERNEL at 0x00000000) " \
        "INCONSISTENT: H = 8 at bytes 18-19 is below 16\n%s: 1 record, 1 INCONSISTENT\n" % (out, bad, bad)


@pytest.mark.parametrize("args, says", [
    ([], "no command"), (["frobnicate"], "'frobnicate'"), (["build", "kernel=x"], "-o OUT"),
    (["build", "-o", "OUT", "kernal=x"], "unknown type 'kernal' in 'kernal=x'; known types: application, "
     "bootloader, kernel, rfs, devicetree, diagnostics, or a type id in hex"),
    (["build", "-o", "OUT", "--header-length", "16", "--form", "hdr3", "kernel=x"], "24..65535"),
    (["build", "-o", "OUT", "--version", "1.2.3.256", "kernel=x"], "A.B.C.D"),
    (["build", "-o", "OUT", "kernel=x", "--version", "1.2.3.4"], "after the last"),
    (["info", "--yaml", "f"], "'--yaml'"), (["verify", "--json", "f"], "'--json'"), (["verify"], "a FILE"),
    (["extract", "f", "-1", "-o", "OUT"], "'-1'")])
def test_usage_errors_exit_2_with_one_line(tmp_path, args, says):
    r = run(*[str(tmp_path / a) if a == "OUT" else a for a in args])
    assert r.returncode == 2 and r.stdout == "" and r.stderr.count("\n") == 1 and says in r.stderr
    assert r.stderr.startswith("imagetool: ") and not (tmp_path / "OUT").exists()


def test_board_run_writes_nothing_outside_its_folder(board, tmp_path):
    build, outside = tmp_path / "fake-build", tmp_path / "cwd"
    build.mkdir()
    outside.mkdir()
    token = "boardsim-probe-%d" % os.getpid()
    (build / "launcher").write_text(
        "#!/.sim/busybox sh\nfor d in / /tmp /user /mnt/usb /dev /etc /usr/lib; do\n"
        "  echo x > $d/%s 2>/dev/null && echo wrote-$d\ndone\n" % token)
    (build / "launcher").chmod(0o755)
    env = dict(os.environ, LAUNCHER_BUILD_DIR=str(build), HOME=str(outside), TMPDIR=str(outside))
    out = subprocess.run([str(BOARDSIM), "run", str(board.path)], cwd=outside, env=env,
                         capture_output=True, text=True, timeout=60).stdout
    assert all("wrote-%s\n" % d in out for d in ("/tmp", "/user", "/mnt/usb"))
    assert "wrote-/usr/lib" not in out and list(outside.iterdir()) == []
    for host in ("/", "/tmp", "/user", "/mnt/usb", "/dev", "/etc", "/usr/lib"):
        assert not os.path.exists(os.path.join(host, token)), host
    for inside in ("tmp", "user", "usb"):
        assert (board.path / inside / token).exists()


def boots_built_image(board, tmp):
    assert run("verify", tmp / "app.img").returncode == 0
    board.set_slot(1, tmp / "app.img")
    board.setenv(diagnostics=None)
    session = board.power_on(fast_time=10)
    return session.wait_end() == STARTED and APP_LINE("3.0.0.1") in session.output


IN_USE = ("boardsim: board in use by pid {pid}\n", lambda b, _: b.events().count("reboot") == 1)
WARN = "boardsim: warning: the launcher %s\n"


# A run holds the board in its rescue menu meanwhile: a second run or a fresh demo board is
# refused and does not disturb it; the stick, the environment and the EEPROM may change.
@pytest.mark.parametrize("args, status, err, check", [
    (["run", "B"], 1, *IN_USE), (["demo", "--keep", "B"], 1, *IN_USE),
    (["usb", "B", "--remove", "NEW"], 0, "", lambda b, _: os.listdir(b.path / "usb") == ["new.img"]),
    (["setenv", "B", "bogus=" + "x" * 1760, "xgdb=on", "shell=on", "memchk="], 0,
     WARN % "does not read bogus (it reads: gdb, gdbserver, gdbport, shell, memchk, diagnostics)" +
     WARN % "reads xgdb=VALUE as gdb=VALUE" + WARN % "reads only the first 1792 bytes of the "
     "environment; shell=on runs past them", lambda b, _: boardfs.read_env(b.fs) == [
         ("diagnostics", "rescue"), ("bogus", "x" * 1760), ("xgdb", "on"), ("shell", "on")]),
    (["eeprom", "B", "bootslot=2"], 1, "boardsim: unknown EEPROM field 'bootslot' (fields: "
     "boot-slot, running-image, usb-marker; or a decimal or 0x offset)\n", lambda b, _: b.eeprom["boot-slot"] == 255),
    (["image", "OUT", "--version", "3.0.0.1"], 0, "", boots_built_image),
    (["image", "OUT", "--kernel", "no-uImage"], 1, "boardsim: no such file: no-uImage\n",
     lambda b, t: not (t / "app.img").exists()),
    (["slot", "B", "2", "no.img"], 1, "boardsim: no such file: no.img\n",
     lambda b, _: not (b.path / "user/images/image2").exists())])
def test_boardsim_commands_beside_a_running_board(board, tmp_path, args, status, err, check):
    (tmp_path / "new.img").write_text("new")
    boardfs.usb_add(board.fs, str(tmp_path / "new.img"), "old")
    board.setenv(diagnostics="rescue")
    holder = board.power_on()
    holder.expect("Option? : ")
    paths = {"B": board.path, "OUT": tmp_path / "app.img", "NEW": tmp_path / "new.img"}
    r = subprocess.run([str(BOARDSIM)] + [str(paths.get(a, a)) for a in args], stdin=subprocess.DEVNULL,
                       capture_output=True, text=True, timeout=60)
    holder.send("r", pause=0)
    assert holder.wait_end() == REBOOTED
    assert (r.returncode, r.stderr) == (status, err.format(pid=holder.child.pid))
    assert check(board, tmp_path)


def boardsim(*args):
    r = subprocess.run([str(BOARDSIM), *map(str, args)], stdin=subprocess.DEVNULL,
                       capture_output=True, text=True, timeout=60)
    return r.returncode, r.stdout, r.stderr


def held_in_menu(board, **power):
    board.setenv(diagnostics="rescue")
    holder = board.power_on(**power)
    holder.expect("Option? : ")
    return holder


def killed_run(board):
    # SIGKILL: the run leaves its lock file and its socket behind.
    holder = held_in_menu(board)
    holder.child.kill(9)
    holder.child.expect(pexpect.EOF)
    assert (board.path / "run.sock").exists()


RUNNING = "state: running\npid: {pid}\narch: {arch}\npower: on\nstart: 1\n"


# The board as 'status' and 'power' find it: never run, left by a run that was killed (whose
# files must not pass for a running board, nor stop the next run), held in the rescue menu, or
# a folder that is not a board.
@pytest.mark.parametrize("board_is, args, status, out, err", [
    ("made", ["status", "B"], 0, "state: stopped\n", ""),
    ("made", ["power", "B", "on"], 1, "", "boardsim: {B} is not running\n"),
    ("killed", ["status", "B"], 0, "state: stopped\n", ""),
    ("killed", ["power", "B", "cycle"], 1, "", "boardsim: {B} is not running\n"),
    ("running", ["status", "B"], 0, RUNNING, ""),
    ("running", ["power", "B", "on"], 0, "boardsim: {B} is already on\n", ""),
    ("folder", ["status", "B"], 1, "", "boardsim: no board at {B}\n"),
    ("folder", ["power", "B", "off"], 1, "", "boardsim: no board at {B}\n")])
def test_status_and_power_messages(board, tmp_path, board_is, args, status, out, err):
    path, holder = board.path, None
    if board_is == "folder":
        path = tmp_path / "not-a-board"
        path.mkdir()
    elif board_is == "killed":
        killed_run(board)
    elif board_is == "running":
        holder = held_in_menu(board)
    got = boardsim(*[path if a == "B" else a for a in args])
    if board_is == "killed":  # the next run takes the board over
        holder = held_in_menu(board)
        assert boardsim("status", path)[1] == RUNNING.format(pid=holder.child.pid, arch=ARCH)
    if holder:
        holder.send("r")
        assert holder.wait_end() == REBOOTED
    fill = dict(B=path, pid=holder.child.pid if holder else None, arch=ARCH)
    assert got == (status, out.format(**fill), err.format(**fill))


STAMPED = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \+\d{4,}\.\d{3} (.*)\Z")


def log_texts(path):
    """The texts of a console log's lines, each line checked for its two times."""
    lines = path.read_text().split("\n")
    assert lines[-1] == ""
    stamped = [STAMPED.match(line) for line in lines[:-1]]
    assert None not in stamped, lines
    return [m.group(1) for m in stamped]


def logged(*texts):
    """A row check: the log's lines, in order, start with `texts`, the last one last."""
    def check(board, out, log):
        have = iter(log_texts(log))
        return all(any(line.startswith(t) for line in have) for t in texts) and \
            log_texts(log)[-1] == texts[-1]
    return check


# --log on the run's own terminal: the terminal still shows everything at once and its keys
# (Ctrl-C too) reach the launcher, while the log gets each line with its times.
LOG_ROWS = {
    "boot": dict(slots={1: app("1.0.0.1")}, final=STARTED,
                 log=logged("Booting image '1'", APP_LINE("1.0.0.1"), STARTED)),
    "menu-keys-and-ctrl-c": dict(
        env={"diagnostics": "rescue"},
        keys=[("Entering Rescue Mode.\n" + MENU, "z"),
              ('z\nunknown option "Z". Please try again\n\nOption? : ', CTRL_C),
              ("\x00\n\nOption? : ", "r")], final=REBOOTED,
        log=logged("Entering Rescue Mode.", "Option? : z", 'unknown option "Z"',
                   "Option? : \x00", "Option? : r", REBOOTED)),
}


@pytest.mark.parametrize("row", LOG_ROWS.values(), ids=LOG_ROWS.keys())
def test_console_log_on_the_terminal(board, scratch, row):
    row = dict(row)
    check = row.pop("log")
    play(board, scratch, row)
    log = board.sessions[-1].log  # the one the plugin gives every power-on
    assert check(board, None, log), log.read_text()


def test_power_cut_on_the_terminal_keeps_the_board_folder(board, scratch):
    # /tmp is RAM: it survives the cut in the folder, and the next power-on starts it empty.
    (board.path / "tmp" / "left").write_text("x")
    log = scratch / "console.log"
    holder = held_in_menu(board, log=log, cycles=2)
    assert boardsim("power", board.path, "off") == (0, "", "")
    holder.expect("\nboard: power off\n")   # a line of its own after the prompt
    assert holder.before == ""
    assert boardsim("status", board.path)[1].endswith("power: off\nstart: 1\n")
    assert (board.path / "tmp" / "left").exists()
    assert boardsim("power", board.path, "on") == (0, "", "")
    holder.expect("board: power on\n")
    holder.expect("Entering Rescue Mode.\n" + MENU)
    assert not (board.path / "tmp" / "left").exists()
    holder.send("r")
    # --cycles counts the starts after a reboot, not those by hand.
    holder.expect("board: power on (start 2 of 2)\n")
    holder.expect("Option? : ")
    holder.send("r")
    assert holder.wait_end() == REBOOTED
    assert logged("Option? : ", "board: power off", "board: power on", "Entering Rescue Mode.",
                  "Option? : r", REBOOTED, "board: power on (start 2 of 2)", "Option? : r",
                  REBOOTED)(board, None, log)


# ------------------------------------------------ the simboard library's pytest plugin

PLUGIN_TEST = '''
def test_row(board):
    board.setenv(diagnostics="rescue")
    session = board.power_on(fast_time=10)
    session.expect("Option? : ")
    session.send("r")
    assert session.wait_end() == "board: %s"
'''


# A test run the way an application team runs it: the plugin's outcome, the report's console
# log section (each line with its two times), and whether the board's flash files stay.
@pytest.mark.parametrize("ends, arch, status, says, kept", [
    ("rebooted", "host", 0, [r"1 passed"], False),
    ("application started", "host", 1, [
        r"-+ console log 1 of 1 \(\S+/console-1\.log\) -+\n",
        r"\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \+\d{4}\.\d{3} Option\? : r\n", r"1 failed"],
     True),
    ("rebooted", "ppc", 5, [r"SKIPPED \[1\] \S+: no launcher at /nowhere/launcher"], None)])
def test_pytest_plugin_on_an_application_test(tmp_path, ends, arch, status, says, kept):
    (tmp_path / "test_app.py").write_text(PLUGIN_TEST % ends)
    env = dict(os.environ, PYTHONPATH=str(BOARDSIM.parent), LAUNCHER_PPC_BUILD_DIR="/nowhere")
    r = subprocess.run([sys.executable, "-m", "pytest", "-rs", "-p", "no:cacheprovider",
                        "-p", "simboard.pytest_plugin", "--board-arch", arch,
                        "--basetemp", str(tmp_path / "t"), "test_app.py"], cwd=tmp_path,
                       env=env, capture_output=True, text=True, timeout=120)
    assert r.returncode == status, r.stdout
    assert [s for s in says if not re.search(s, r.stdout)] == [], r.stdout
    assert (tmp_path / "t/test_row0/board/dev/eeprom").exists() is bool(kept)


# What the library refuses before it touches the board or starts a run.
@pytest.mark.parametrize("call, error, says", [
    (lambda b: b.set_slot(3, b.path / "dev/eeprom"), BoardError, "slot must be 1 or 2, not 3"),
    (lambda b: b.stick_add(b.path / "no.img"), BoardError, "no such file: "),
    (lambda b: b.eeprom["bootslot"], KeyError, "unknown EEPROM field 'bootslot' (fields: "
     "board-field, boot-slot, timestamp1, timestamp2, running-image, usb-marker)"),
    (lambda b: b.eeprom.update(boot_slot=256), BoardError, "boot_slot takes a byte 0..255"),
    (lambda b: b.eeprom.update(timestamp2=b"\0"), BoardError, "timestamp2 takes 7 bytes"),
    (lambda b: b.power_on(console="tty"), BenchError, "console must be 'stdio' or 'pty'"),
    (lambda b: b.power_on().set_speed(115200), BenchError, "needs the serial port"),
    (lambda b: Board(b.path / "user"), BoardError, "is not a board folder")],
    ids=["slot-3", "stick-missing", "eeprom-name", "eeprom-byte", "eeprom-length", "console",
         "speed-on-stdio", "not-a-board"])
def test_library_refuses(board, call, error, says):
    before = board.path.joinpath("dev/eeprom").read_bytes()
    with pytest.raises(error) as refused:
        call(board)
    assert says in str(refused.value)
    assert board.path.joinpath("dev/eeprom").read_bytes() == before and board.slot(3) is None


def test_bench_doc_shows_the_example_that_runs():
    doc = (SOURCE_DIR / "docs" / "bench.md").read_text()
    shown = doc.split("<!-- example: docs/examples/test_bench_example.py -->\n")[1].split(
        "<!-- end of example -->")[0]
    assert "".join(line[4:] if line.strip() else "\n" for line in shown.splitlines(True)) == \
        (SOURCE_DIR / "docs" / "examples" / "test_bench_example.py").read_text()


UART_DRAIN = os.path.join(runner.build_dir("host"), "tools", "devemu", "libuartdrain.so")
# Writes 8000 bytes to the console's slave (more than the line's side holds
# until it reads: the rest waits in the kernel, as it does while a busy host
# keeps the line from reading), drains it or not, flushes it, and prints how
# many bytes of the typed input are left.
FLUSH = """import os, sys, termios
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
assert os.write(fd, bytes(8000)) == 8000
if sys.argv[3] == "drain":
    termios.tcdrain(fd)
termios.tcflush(fd, getattr(termios, sys.argv[2]))
try:
    print(len(os.read(fd, 100)))
except BlockingIOError:
    print(0)
"""


@pytest.mark.parametrize("queue, drain, all_carried, typed_left", [
    ("TCIOFLUSH", "drain", True, 0),    # the launcher's switch of speeds
    ("TCOFLUSH", "drain", True, 5),
    ("TCIOFLUSH", "none", False, 0),    # not yet sent: dropped, as from a UART's queue
])
def test_uart_drain_on_the_pty_console(queue, drain, all_carried, typed_left):
    """What a drain let leave is on the wire, whenever the line takes it: a
    flush after the drain drops only the input (the simulator's line may come
    to the console much later on a busy host)."""
    master, slave = os.openpty()
    try:
        tty.setraw(slave)
        os.write(master, b"typed")
        r = subprocess.run([sys.executable, "-c", FLUSH, os.ttyname(slave), queue, drain],
                           env=dict(os.environ, LD_PRELOAD=UART_DRAIN), capture_output=True,
                           text=True, timeout=30)
        assert (r.returncode, r.stderr) == (0, "")
        got = b""
        while select.select([master], [], [], 0.5)[0]:
            got += os.read(master, 65536)
        assert (len(got) == 8000, int(r.stdout)) == (all_carried, typed_left)
    finally:
        os.close(master)
        os.close(slave)
