"""Shared harness of the system tests: a simulated board per test.

Every system test drives the real launcher binary on a board made by the
board simulator (tools/boardsim, docs/boardsim.md). Environment (set by CTest):
LAUNCHER_BUILD_DIR (host build, default build/host), LAUNCHER_PPC_BUILD_DIR
(default: the "ppc" folder beside LAUNCHER_BUILD_DIR, else build/ppc),
LAUNCHER_SOURCE_DIR.

Fixtures
    board       a fresh SimBoard in tmp_path (erased flash and EEPROM, empty
                /user/images, /tmp, stick). Nothing is started yet.
    make_board  factory: make_board(name="board2") -> another SimBoard.
                The board folders of a test that passed are removed afterwards;
                those of a failed test stay in its tmp_path for a look.
    scratch     a folder (pathlib.Path) for files a test builds.

SimBoard (board.path is the board folder, a pathlib.Path)
  set up
    setenv(NAME=VALUE, ...) / setenv_pairs(["NAME=VALUE", ...])  boot-loader variables
    write_env_area(bytes)       raw environment data area (from offset 4)
    set_eeprom(offset, byte_or_bytes); eeprom(offset, length=1) -> bytes
    boot_slot / running_image / usb_marker   properties (int), settable
    timestamp(slot) -> 7 raw bytes at 264 / 272
    set_rtc("YYYY-MM-DD HH:MM:SS", stopped=True)   stopped: the clock does not tick
    set_rtc_registers(7 raw bytes)  seconds, minutes, hours, weekday, day, month, year
    rtc_registers() -> 7 bytes      as the board would read them now
    slot(n, image)              image: path or bytes -> /user/images/imageN
    usb(image, name)            image: path or bytes -> file `name` on the stick
    usb_remove()
    write_flash(name, data, offset=0); flash(name, offset=0, length=None) -> bytes
        name: "mtd-kernel", "mtd-rfs", ... (the board's /dev/NAME)
  look after a run
    commands() -> [text, ...]   every command text run through the board's shell,
                                exactly as run (a trailing "\\n" included)
    events() -> [line, ...]     what the stubs did: "reboot", "date ARG",
                                "mount ARGS", "umount ARGS", "backtrace /tmp/home/bin/mp.elf.strip",
                                "gdbserver ARGS", "flash_eraseall ARG", "ifconfig ARGS",
                                "route ARGS", "tftp ARGS", "dhclient ARGS"
    reboots() -> int            number of "reboot" events
    user_file(rel) / tmp_file(rel) -> bytes (None when missing); user_path(rel),
    tmp_path(rel), usb_path(rel) -> pathlib.Path; tftp_dir -> pathlib.Path
  run
    spawn(*options, timeout=30, encoding="utf-8", env=None) -> pexpect.spawn of
        'boardsim run BOARD OPTIONS...' on a pty (delaybeforesend None, 100x40).
        Options as boardsim's: "--cycles", "2", "--usb-delay", "3", "--network",
        "--link-down", "--faketime", "+0 x10", "--dhclient", "--without", "md5sum",
        "--env", "NAME=VALUE", "--arch", "ppc". encoding=None gives bytes; env:
        extra environment variables for boardsim (e.g. DEVEMU_* settings).
    run(*options, timeout=60, input=None, env=None) -> RunResult: runs to the end without
        a dialogue; .output (console text, \\r\\n turned into \\n), .final (the
        last "board: ..." line), .status (boardsim's exit status).
    finish(child, timeout=30) -> the last "board: ..." line once the run ends.

Builders (module functions; import them with 'from conftest import ...')
    app_archive(version="1.0.0.1", install_sh=None, env_setup=None, diags=False,
                app=None, extra=None) -> bytes (tar.gz): home/bin/mp.elf.strip is a
        script printing "Application VERSION running" (or `app`); diags=True puts it
        at mpdiag.elf.strip instead.
    app_script(version) -> that script's text
    make_archive({path: bytes|str, "dir/": None}) -> bytes (tar.gz)
    container(out, records) -> out: records are dicts with 'type' ("application",
        "kernel", "rfs", "devicetree", "bootloader", "diagnostics" or a number),
        'data' bytes, optional 'version' "A.B.C.D", 'form' ("plain", "extended",
        "hdr3"), 'header_length', 'corrupt_crc', 'no_version_block' (built with
        imagetool).
    app_image(out, version="1.0.0.1", **archive_options) -> out: a one-record
        application container.
    plain_record(type, payload, version="0.0.0.0", corrupt_crc=False) -> bytes
    APP_LINE(version) -> "Application VERSION running"

Markers
    needs_root   skips unless the tests run as root (network namespaces).
    ppc          skips unless the PowerPC launcher and qemu-ppc are there.
"""

import os
import pathlib
import re
import shutil
import sys

import pexpect
import pytest

sys.dont_write_bytecode = True

SOURCE_DIR = pathlib.Path(os.environ.get("LAUNCHER_SOURCE_DIR") or
                          pathlib.Path(__file__).resolve().parents[2])
BOARDSIM_DIR = SOURCE_DIR / "tools" / "boardsim"
BOARDSIM = BOARDSIM_DIR / "boardsim"
os.environ.setdefault("LAUNCHER_SOURCE_DIR", str(SOURCE_DIR))
sys.path.insert(0, str(BOARDSIM_DIR))

import boardfs  # noqa: E402
import images  # noqa: E402
import runner  # noqa: E402

app_archive = images.app_archive
app_script = images.app_script
make_archive = images.make_archive
plain_record = images.plain_record
FINAL_LINE = re.compile(r"board: (application started|rebooted|launcher exited with status -?\d+)")


def APP_LINE(version):  # noqa: N802 (reads like the constant text it stands for)
    return "Application %s running" % version


def container(out, records):
    return images.build_container(str(out), records)


def app_image(out, version="1.0.0.1", **archive_options):
    data = app_archive(version, **archive_options)
    return container(out, [{"type": "application", "data": data, "version": version}])


class RunResult:
    def __init__(self, output, final, status):
        self.output = output
        self.final = final
        self.status = status

    def __repr__(self):
        return "RunResult(final=%r, status=%r, output=%r)" % (self.final, self.status,
                                                              self.output[-2000:])


class SimBoard:
    """One simulated board folder with helpers to set it up, run it and look at it."""

    def __init__(self, path, scratch):
        self.path = pathlib.Path(path)
        self._fs = boardfs.create(str(self.path))
        self._scratch = pathlib.Path(scratch)
        self._scratch.mkdir(parents=True, exist_ok=True)
        self._count = 0

    # ------------------------------------------------------------ set up
    def setenv(self, **variables):
        self.setenv_pairs(["%s=%s" % kv for kv in variables.items()])

    def setenv_pairs(self, assignments):
        boardfs.setenv(self._fs, list(assignments))

    def write_env_area(self, data):
        boardfs.write_env_area(self._fs, data)

    def eeprom(self, offset, length=1):
        return boardfs.read_eeprom(self._fs, offset, length)

    def set_eeprom(self, offset, data):
        boardfs.write_eeprom(self._fs, offset, data)

    def _field(name):  # noqa: N805 (builds properties below)
        offset = boardfs.EEPROM_FIELDS[name][0]
        return property(lambda self: self.eeprom(offset)[0],
                        lambda self, value: self.set_eeprom(offset, value))

    boot_slot = _field("boot-slot")
    running_image = _field("running-image")
    usb_marker = _field("usb-marker")
    del _field

    def timestamp(self, slot):
        return self.eeprom(boardfs.EEPROM_FIELDS["timestamp%d" % slot][0], 7)

    def set_rtc(self, when, stopped=True):
        boardfs.set_rtc(self._fs, when, stopped)

    def set_rtc_registers(self, registers):
        boardfs.set_rtc_registers(self._fs, registers)

    def rtc_registers(self):
        return boardfs.rtc_registers(self._fs)

    def _as_file(self, image):
        if isinstance(image, (bytes, bytearray)):
            self._count += 1
            path = self._scratch / ("blob%d" % self._count)
            path.write_bytes(bytes(image))
            return str(path)
        return str(image)

    def slot(self, n, image):
        return pathlib.Path(boardfs.install_slot(self._fs, n, self._as_file(image)))

    def usb(self, image, name):
        return pathlib.Path(boardfs.usb_add(self._fs, self._as_file(image), name))

    def usb_remove(self):
        boardfs.usb_remove(self._fs)

    def write_flash(self, name, data, offset=0):
        with open(self._fs.dev(name), "r+b") as f:
            f.seek(offset)
            f.write(bytes(data))

    def flash(self, name, offset=0, length=None):
        with open(self._fs.dev(name), "rb") as f:
            f.seek(offset)
            return f.read() if length is None else f.read(length)

    # ------------------------------------------------------------ look
    def commands(self):
        text = pathlib.Path(self._fs.commands_log).read_text("utf-8", "replace")
        return [line.replace("\\n", "\n") for line in text.splitlines()]

    def events(self):
        text = pathlib.Path(self._fs.events_log).read_text("utf-8", "replace")
        return text.splitlines()

    def reboots(self):
        return sum(1 for e in self.events() if e.split(" ", 1)[0] == "reboot")

    def user_path(self, rel=""):
        return self.path / "user" / rel

    def tmp_path(self, rel=""):
        return self.path / "tmp" / rel

    def usb_path(self, rel=""):
        return self.path / "usb" / rel

    @property
    def tftp_dir(self):
        return self.path / "tftp"

    def user_file(self, rel):
        p = self.user_path(rel)
        return p.read_bytes() if p.is_file() else None

    def tmp_file(self, rel):
        p = self.tmp_path(rel)
        return p.read_bytes() if p.is_file() else None

    # ------------------------------------------------------------ run
    def spawn(self, *options, timeout=30, encoding="utf-8", env=None):
        environment = dict(os.environ)
        environment.update(env or {})
        child = pexpect.spawn(str(BOARDSIM), ["run", str(self.path)] + [str(o) for o in options],
                              timeout=timeout, encoding=encoding, dimensions=(40, 100),
                              codec_errors="replace" if encoding else "strict",
                              env=environment)
        child.delaybeforesend = None
        return child

    def finish(self, child, timeout=30):
        """Waits for the run to end; returns its last 'board: ...' line."""
        child.expect(pexpect.EOF, timeout=timeout)
        child.close()
        text = child.before if isinstance(child.before, str) else child.before.decode("utf-8",
                                                                                      "replace")
        found = FINAL_LINE.findall(text)
        return "board: " + found[-1] if found else None

    def run(self, *options, timeout=60, input=None, env=None):
        child = self.spawn(*options, timeout=timeout, env=env)
        if input is not None:
            child.send(input)
        chunks = []
        try:
            while True:
                chunks.append(child.read_nonblocking(65536, timeout=timeout))
        except pexpect.EOF:
            pass
        except pexpect.TIMEOUT:
            raise AssertionError("board run still going after %ss of silence; console so "
                                 "far:\n%s" % (timeout, "".join(chunks)[-3000:])) from None
        finally:
            child.close(force=True)
        output = "".join(chunks).replace("\r\n", "\n")
        found = FINAL_LINE.findall(output)
        return RunResult(output, "board: " + found[-1] if found else None, child.exitstatus)


# ---------------------------------------------------------------- fixtures

@pytest.fixture
def scratch(tmp_path):
    path = tmp_path / "scratch"
    path.mkdir(exist_ok=True)
    return path


@pytest.fixture
def make_board(tmp_path, request):
    made = []

    def make(name="board"):
        made.append(SimBoard(tmp_path / name, tmp_path / ("%s-files" % name)))
        return made[-1]
    yield make
    # A board takes 33 MiB of flash files: keep only those of failed tests.
    report = getattr(request.node, "report_call", None)
    if report is not None and report.passed:
        for b in made:
            shutil.rmtree(b.path, ignore_errors=True)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    if call.when == "call":
        item.report_call = outcome.get_result()


@pytest.fixture
def board(make_board):
    return make_board("board")


# ---------------------------------------------------------------- markers

def _have_launcher(arch):
    return os.access(os.path.join(runner.build_dir(arch), "launcher"), os.X_OK)


def pytest_configure(config):
    config.addinivalue_line("markers", "needs_root: needs root (network namespaces)")
    config.addinivalue_line("markers", "ppc: boots the PowerPC launcher under qemu-ppc")


def pytest_collection_modifyitems(config, items):
    for item in items:
        if "needs_root" in item.keywords and os.geteuid() != 0:
            item.add_marker(pytest.mark.skip(reason="needs root (network namespaces)"))
        if "ppc" in item.keywords and not (_have_launcher("ppc") and shutil.which("qemu-ppc")):
            item.add_marker(pytest.mark.skip(reason="no PowerPC launcher build or qemu-ppc"))
    if not _have_launcher("host"):
        for item in items:
            item.add_marker(pytest.mark.skip(reason="no launcher in %s" % runner.build_dir()))
