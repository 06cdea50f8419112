"""Harness of the system tests: the real launcher on a board made by tools/boardsim.
`play(board, scratch, row)` sets a board up from a scenario row, runs it, types its
keys and checks what the row expects. CTest sets LAUNCHER_BUILD_DIR, and
LAUNCHER_SYSTEM_ARCH chooses the launcher that boots: host (the default), asan
(AddressSanitizer and UBSan: a report fails the row), ppc (under qemu-ppc) or vm
(the ppc launcher on an emulated PowerPC machine with a real kernel)."""

import hashlib
import io
import os
import pathlib
import shutil
import subprocess
import sys
import time

import pexpect
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

app_archive = images.app_archive
FAST = ("--faketime", "+0 x10")  # sleeps and time-outs ten times faster
STARTED, REBOOTED = "board: application started", "board: rebooted"
CTRL_C = object()
APP = "/tmp/home/bin/mp.elf.strip"
ARCH = os.environ.get("LAUNCHER_SYSTEM_ARCH", "host")
BUILD = pathlib.Path(runner.build_dir(ARCH))
INSTALLCMD = BUILD / "tools" / "installcmd" / "installcmd"
SANITIZER_REPORTS = ("ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer")
# libfaketime is a host library: it cannot reach into the PowerPC launcher under
# qemu-ppc, so there time runs at real speed, and a row that waits out a long
# time-out (its "waits" entry says which) is skipped.
NO_FAKETIME = "needs faked time, which cannot reach the launcher under qemu-ppc"
# The vm (a PowerPC machine with a real kernel) has no device emulator: rows
# that inject device faults through it are skipped there. Its own clock runs
# on at once while the machine idles (--fast-clock) in rows that wait out a
# long time-out.
VM = ARCH == "vm"
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


class SimBoard:
    def __init__(self, path):
        self.path = path
        self.fs = boardfs.create(str(path))

    def setenv(self, **variables):
        boardfs.setenv(self.fs, ["%s=%s" % kv for kv in variables.items()])

    def _field(name, length=1):  # noqa: N805
        offset = boardfs.EEPROM_FIELDS[name][0]
        return property(lambda self: boardfs.read_eeprom(self.fs, offset, length)[
                            0 if length == 1 else slice(None)],
                        lambda self, value: boardfs.write_eeprom(self.fs, offset, value))
    boot_slot, running_image = _field("boot-slot"), _field("running-image")
    usb_marker, timestamp2 = _field("usb-marker"), _field("timestamp2", 7)
    del _field

    def flash(self, name, length):
        with open(self.fs.dev(name), "rb") as f:
            return f.read(length)

    def _log(self, path):
        return pathlib.Path(path).read_text("utf-8", "replace").splitlines()

    def commands(self):
        return [line.replace("\\n", "\n") for line in self._log(self.fs.commands_log)]

    def events(self):
        return self._log(self.fs.events_log)

    def user_file(self, rel):
        p = self.path / "user" / rel
        return p.read_bytes() if p.is_file() else None

    def install_log(self):
        return (self.user_file("install.log") or b"").decode().splitlines()

    def rejected(self):
        folder = self.path / "user/images/rejected"
        return sorted(p.name for p in folder.iterdir()) if folder.is_dir() else None

    def spawn(self, *options, env=None, encoding="utf-8"):
        child = pexpect.spawn(str(BOARDSIM), ["run", str(self.path), "--arch", ARCH] +
                              [str(o) for o in on_this_build(options)],
                              timeout=60, encoding=encoding, dimensions=(40, 100),
                              codec_errors="replace", env=dict(os.environ, **(env or {})))
        child.delaybeforesend = None
        child.logfile_read = io.StringIO()
        return child

    def finish(self, child):
        child.expect(pexpect.EOF)
        child.close()
        text = child.logfile_read.getvalue()
        assert [r for r in SANITIZER_REPORTS if r in text] == [], text[-6000:]
        # A Ctrl-C the terminal echoes as "^C" may share the final line.
        lines = [x.replace("^C", "") for x in text.splitlines()]
        lines = [x for x in lines if x.startswith("board: ")]
        return lines[-1].strip() if lines else None


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


def settle():
    # Between two key reads the console echoes by itself: a key that arrives
    # before the launcher reads it would be echoed twice.
    time.sleep(0.2)


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
        boardfs.install_slot(board.fs, n, str(maker(scratch / ("slot%d" % n))))
    for i, (name, maker) in enumerate(row.get("usb", {}).items()):
        boardfs.usb_add(board.fs, str(maker(scratch / ("usb%d" % i))), name)
    if "rescue" in row:
        with open(board.fs.dev("mtd-rescue"), "r+b") as f:
            f.write(built(scratch, row["rescue"]))
    if "env" in row:
        board.setenv(**row["env"])
    for field, value in row.get("eeprom", {}).items():
        setattr(board, field, value)
    if "rtc" in row:
        boardfs.set_rtc_registers(board.fs, bytes(row["rtc"]))
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
    child = board.spawn(*options, env=env)
    for expect, send in row.get("keys", ()):
        child.expect_exact(expect.replace("\n", "\r\n"))
        if send is not None:
            settle()
            child.sendintr() if send is CTRL_C else child.send(send)
    final = board.finish(child)
    out = child.logfile_read.getvalue().replace("\r\n", "\n")
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
    assert {f: getattr(board, f) for f in row.get("state", {})} == row.get("state", {})
    assert row.get("check", lambda b, o: None)(board, out) is not False
    return out


@pytest.fixture
def scratch(tmp_path):
    (tmp_path / "scratch").mkdir(exist_ok=True)
    return tmp_path / "scratch"


@pytest.fixture
def board(tmp_path, request):
    made = SimBoard(tmp_path / "board")
    yield made
    # A board takes 33 MiB of flash files: keep only those of failed tests.
    if getattr(request.node, "report_call", None) and request.node.report_call.passed:
        shutil.rmtree(made.path, ignore_errors=True)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    if call.when == "call":
        item.report_call = outcome.get_result()


def pytest_configure(config):
    for marker in ("needs_root: network namespaces", "installcmd: tools/installcmd in the board"):
        config.addinivalue_line("markers", marker)


def vm_built():
    return subprocess.run([str(SOURCE_DIR / "scripts" / "vm-build"), "check"],
                          stdout=subprocess.DEVNULL).returncode == 0


def pytest_collection_modifyitems(config, items):
    build = "scripts/build %s launcher devemu installcmd" % ARCH
    for item in items:
        skip = [("needs_root" in item.keywords and os.geteuid() != 0, "needs root"),
                (ARCH == "ppc" and not shutil.which("qemu-ppc"), "no qemu-ppc"),
                (VM and not vm_built(), "the vm's kernel and root file system are not built "
                 "(scripts/vm-build)"),
                (not os.access(BUILD / "launcher", os.X_OK), "no launcher in %s (%s)" % (BUILD, build)),
                ("installcmd" in item.keywords and not os.access(INSTALLCMD, os.X_OK),
                 "installcmd not built (%s)" % build)]
        for reason in [r for s, r in skip if s][:1]:
            item.add_marker(pytest.mark.skip(reason=reason))


def pytest_sessionfinish(session, exitstatus):
    # Without this build's launcher (or the vm) the rows were skipped: CTest shows it so.
    if exitstatus == 0 and (not os.access(BUILD / "launcher", os.X_OK) or VM and not vm_built()):
        session.exitstatus = 5
