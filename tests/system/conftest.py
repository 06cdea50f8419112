"""Scenario rows of the system tests on the simulated board (tools/boardsim's
simboard library and its pytest plugin, which gives the `board` fixture and
--board-arch). `play(board, scratch, row)` sets a board up from a scenario row,
powers it on, types its keys and checks what the row expects. CTest passes
--board-arch: host (the default), asan (AddressSanitizer and UBSan: a report
fails the row), ppc (under qemu-ppc) or vm (the ppc launcher on an emulated
PowerPC machine with a real kernel)."""

import hashlib
import os
import pathlib
import sys

import pytest

sys.dont_write_bytecode = True
SOURCE_DIR = pathlib.Path(os.environ.get("LAUNCHER_SOURCE_DIR") or
                          pathlib.Path(__file__).resolve().parents[2])
BOARDSIM = SOURCE_DIR / "tools" / "boardsim" / "boardsim"
os.environ.setdefault("LAUNCHER_SOURCE_DIR", str(SOURCE_DIR))
sys.path.insert(0, str(BOARDSIM.parent))

import boardfs  # noqa: E402
import images  # noqa: E402
import runner  # noqa: E402

pytest_plugins = ["simboard.pytest_plugin"]
app_archive = images.app_archive
FAST = ("--faketime", "+0 x10")  # sleeps and time-outs ten times faster
STARTED, REBOOTED = "board: application started", "board: rebooted"
CTRL_C = object()
APP = "/tmp/home/bin/mp.elf.strip"
# The chosen machine (--board-arch), its build and installcmd: set by pytest_configure.
ARCH = VM = BUILD = INSTALLCMD = None
# libfaketime is a host library: it cannot reach into the PowerPC launcher under
# qemu-ppc, so there time runs at real speed, and a row that waits out a long
# time-out (its "waits" entry says which) is skipped.
NO_FAKETIME = "needs faked time, which cannot reach the launcher under qemu-ppc"
# The vm (a PowerPC machine with a real kernel) has no device emulator: rows
# that inject device faults through it are skipped there. Its own clock runs
# on at once while the machine idles (--fast-clock) in rows that wait out a
# long time-out.
NO_EMULATOR = "injects a device fault through the device emulator, which the vm does not have"
MENU = ("Please select one of the following options:\n"
        "\tT) Configure networking and tftp download an image\n"
        "\tX) Use xmodem 1K to serial download an image\n\tR) Reboot\n\tE) Exit\n\nOption? : ")


def APP_LINE(version):  # noqa: N802
    return "Application %s running" % version


# Image makers: callables that build a container into the file they are given.
def records(*recs):
    return lambda out: pathlib.Path(images.build_container(str(out), list(recs)))


def app(version="1.0.0.1", **archive_options):
    return records({"type": "application", "data": app_archive(version, **archive_options),
                    "version": version})


def bad(version="9.9.9.9"):
    return records({"type": "application", "data": app_archive(version), "version": version,
                    "corrupt_crc": True})


def built(scratch, maker, name="built.img"):
    return maker(scratch / name).read_bytes()


KERNEL_ONLY = records({"type": "kernel", "data": b"K" * 200})


def md5(data):
    return hashlib.md5(data).hexdigest()


def in_order(text, parts):
    at = 0
    for part in parts:
        found = text.find(part, at)
        assert found >= 0, "%r missing (in order) from:\n%s" % (part, text[at:][-3000:])
        at = found + len(part)


def on_this_build(options, waits=None):
    """The boardsim options of a row on this run's build (see NO_FAKETIME)."""
    options = list(options)
    if VM and [o for o in options if str(o).startswith("DEVEMU_")]:
        pytest.skip(NO_EMULATOR)
    if ARCH in ("ppc", "vm") and "--faketime" in options:
        if waits and not VM:
            pytest.skip("%s: %s" % (waits, NO_FAKETIME))
        at = options.index("--faketime")
        del options[at:at + 2]
        options += ["--fast-clock"] if waits else []
    return options


def installcmd_env(scratch):
    """A build folder whose 'launcher' is tools/installcmd."""
    fake = scratch / "installcmd-build"
    (fake / "tools" / "devemu").mkdir(parents=True, exist_ok=True)
    emulator = "tools/devemu/libdevemu.so"
    for link, target in ((fake / "launcher", INSTALLCMD), (fake / emulator, BUILD / emulator)):
        if not link.exists():
            link.symlink_to(target)
    return {"LAUNCHER_BUILD_DIR" if ARCH == "host" else "LAUNCHER_%s_BUILD_DIR" % ARCH.upper():
            str(fake)}


# Set-up: slots {n: maker}, usb {name: maker}, rescue (maker for mtd-rescue), env (boot-loader
# variables), eeprom {field: value}, rtc [7 registers], listed [stick files in the rejected
# list], user / tmp {name: bytes, None: a folder}, options (default FAST), waits (why the
# row needs faked time), sim_env, installcmd.
# Play: keys [(expected text, keys to send, CTRL_C or None)]. Checks: out [texts in order],
# absent, final, cmds / events [in order], cmds_start, cmds_end, no_cmds [substrings],
# state {field: value}, check(board, console text) (False fails).
def play(board, scratch, row):
    options = on_this_build(row.get("options", FAST), row.get("waits"))
    for n, maker in row.get("slots", {}).items():
        board.set_slot(n, maker(scratch / ("slot%d" % n)))
    for i, (name, maker) in enumerate(row.get("usb", {}).items()):
        board.stick_add(maker(scratch / ("usb%d" % i)), name)
    if "rescue" in row:
        with open(board.fs.dev("mtd-rescue"), "r+b") as f:
            f.write(built(scratch, row["rescue"]))
    board.setenv(**row.get("env", {}))
    board.eeprom.update(row.get("eeprom", {}))
    if "rtc" in row:
        board.set_clock_registers(row["rtc"])
    for name in row.get("listed", ()):
        (board.path / "user/images/rejected").mkdir(parents=True, exist_ok=True)
        (board.path / "user/images/rejected" / md5((board.path / "usb" / name).read_bytes())
         ).touch()
    for folder in ("user", "tmp"):
        for name, data in row.get(folder, {}).items():
            path = board.path / folder / name
            path.mkdir(parents=True) if data is None else path.write_bytes(data)
    env = dict(row.get("sim_env", {}))
    if VM and [k for k in env if k.startswith("DEVEMU_")]:
        pytest.skip(NO_EMULATOR)
    if "installcmd" in row:
        env.update(installcmd_env(scratch))
        options += ["--env", "INSTALLCMD=" + row["installcmd"]]
    session = board.power_on(options=options, env=env)
    for expect, send in row.get("keys", ()):
        session.expect(expect)
        if send is not None:
            # Ctrl-C is a signal, not a key the launcher reads: it goes at once.
            session.ctrl_c(pause=0) if send is CTRL_C else session.send(send)
    final = session.wait_end()
    out = session.output
    in_order(out, row.get("out", ()))
    assert [t for t in row.get("absent", ()) if t in out] == []
    assert final == row.get("final", final), out[-3000:]
    commands = board.commands()
    for have, wanted in ((commands, row.get("cmds", ())), (board.events(), row.get("events", ()))):
        it = iter(have)
        assert all(w in it for w in wanted), (wanted, have)
    assert commands[:len(row.get("cmds_start", ()))] == row.get("cmds_start", [])
    assert commands[len(commands) - len(row.get("cmds_end", ())):] == row.get("cmds_end", [])
    assert [c for c in commands for t in row.get("no_cmds", ()) if t in c] == []
    assert {f: board.eeprom[f] for f in row.get("state", {})} == row.get("state", {})
    assert row.get("check", lambda b, o: None)(board, out) is not False
    return out


@pytest.fixture
def scratch(tmp_path):
    (tmp_path / "scratch").mkdir(exist_ok=True)
    return tmp_path / "scratch"


def pytest_configure(config):
    global ARCH, VM, BUILD, INSTALLCMD
    ARCH = config.getoption("--board-arch")
    VM = ARCH == "vm"
    BUILD = pathlib.Path(runner.build_dir(ARCH))
    INSTALLCMD = BUILD / "tools" / "installcmd" / "installcmd"
    for marker in ("needs_root: network namespaces", "installcmd: tools/installcmd in the board"):
        config.addinivalue_line("markers", marker)


def pytest_collection_modifyitems(config, items):
    build = "scripts/build %s launcher devemu installcmd" % ARCH
    for item in items:
        if "needs_root" in item.keywords and os.geteuid() != 0:
            item.add_marker(pytest.mark.skip(reason="needs root"))
        elif "installcmd" in item.keywords and not os.access(INSTALLCMD, os.X_OK):
            item.add_marker(pytest.mark.skip(reason="installcmd not built (%s)" % build))

