"""The board folder: the files and folders that stand for one simulated board.

Layout of a board folder BOARD (see docs/boardsim.md):

    BOARD/dev/mtd-uboot        boot loader partition       512 KiB
    BOARD/dev/mtd-ubootenv     boot-loader environment      64 KiB
    BOARD/dev/mtd-devicetree   device tree                 256 KiB
    BOARD/dev/mtd-kernel       kernel                        5 MiB
    BOARD/dev/mtd-rfs          root file system             11 MiB
    BOARD/dev/mtd-rescue       rescue image                 15 MiB
    BOARD/dev/eeprom           the 64 KiB board EEPROM (byte N = EEPROM offset N)
    BOARD/dev/rtc              the clock state (format of the device emulator)
    BOARD/dev/i2c-0            the I2C adapter node (an empty file)
    BOARD/user/                the board's /user (user partition), with images/
    BOARD/tmp/                 the board's /tmp
    BOARD/usb/                 the USB stick, mounted at /mnt/usb
    BOARD/tftp/                files the TFTP peer serves (boardsim run --network)
    BOARD/commands.log         every command text run through the board's shell
    BOARD/events.log           what the board's stub programs did
    BOARD/root/                the board root of the last run (rebuilt each run)
    BOARD/run.lock             locked by the run that has the board powered on

Every partition and the EEPROM start erased (0xFF). Nothing here touches
anything outside the board folder.
"""

import datetime
import fcntl
import os
import shutil
import sys
import zlib

# The device emulator's helper knows the formats of the EEPROM, clock and
# environment files; the simulator uses it rather than a second copy.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "devemu"))
import boardctl  # noqa: E402

KIB = 1024
MIB = 1024 * KIB

# Flash partitions of the board: device name -> size in bytes.
PARTITIONS = {
    "mtd-uboot": 512 * KIB,
    "mtd-ubootenv": 64 * KIB,
    "mtd-devicetree": 256 * KIB,
    "mtd-kernel": 5 * MIB,
    "mtd-rfs": 11 * MIB,
    "mtd-rescue": 15 * MIB,
}
EEPROM_SIZE = 64 * KIB
ERASE_SIZE = 64 * KIB

# Boot-loader environment: 4-byte checksum word, then NUL-terminated
# name=value strings; the rest of the area is NUL.
ENV_DATA_OFFSET = boardctl.ENV_HEADER

# Known EEPROM fields: name -> (offset, size), named as on the command line.
EEPROM_FIELDS = {name.replace("_", "-"): where for name, where in boardctl.EEPROM_FIELDS.items()}

RTC_FORMAT = "%Y-%m-%d %H:%M:%S"


BoardError = boardctl.BoardError  # a missing board, a bad argument


def _erased(path, size):
    with open(path, "wb") as f:
        block = b"\xff" * (64 * KIB)
        left = size
        while left > 0:
            n = min(left, len(block))
            f.write(block[:n])
            left -= n


class Board:
    """Paths of one board folder. Cheap to make; checks nothing by itself."""

    def __init__(self, path):
        self.path = os.path.abspath(str(path))

    def dev(self, name):
        return os.path.join(self.path, "dev", name)

    def _inside(name):  # noqa: N805 (makes the path properties below)
        return property(lambda self: os.path.join(self.path, name))

    user = _inside("user")
    tmp = _inside("tmp")
    usb = _inside("usb")
    tftp = _inside("tftp")
    root = _inside("root")
    commands_log = _inside("commands.log")
    events_log = _inside("events.log")
    run_lock = _inside("run.lock")
    del _inside

    def check(self):
        """Raises BoardError unless this looks like a board folder made by create()."""
        needed = [self.dev(n) for n in PARTITIONS] + [self.dev("eeprom"), self.user, self.tmp]
        missing = [p for p in needed if not os.path.exists(p)]
        if missing:
            raise BoardError("%s is not a board folder (missing %s); make one with "
                             "'boardsim create %s'" % (self.path, missing[0], self.path))
        return self


def create(path, lock=None):
    """Makes a fresh board folder (erased flash and EEPROM, clock at host time).

    An existing folder must be empty or a board already: its devices are erased
    again and its folders emptied, unless a run holds it (BoardError); `lock` is
    the caller's own run lock of it, when it holds one.
    """
    board = Board(path)
    if os.path.exists(board.path) and os.listdir(board.path) and \
            not os.path.exists(board.dev("eeprom")):
        raise BoardError("%s exists and is not a board folder" % board.path)
    if lock is None and os.path.exists(board.dev("eeprom")):
        hold(board).close()  # erasing the flash under a running launcher would break it
    for sub in ("user", "tmp", "usb", "tftp", "root"):
        shutil.rmtree(os.path.join(board.path, sub), ignore_errors=True)
    os.makedirs(os.path.join(board.path, "dev"), exist_ok=True)
    for name, size in PARTITIONS.items():
        _erased(board.dev(name), size)
    _erased(board.dev("eeprom"), EEPROM_SIZE)
    open(board.dev("i2c-0"), "wb").close()
    set_rtc_offset(board, 0)
    for sub in ("user/images", "tmp", "usb", "tftp"):
        os.makedirs(os.path.join(board.path, sub), exist_ok=True)
    for log in (board.commands_log, board.events_log):
        open(log, "w").close()
    return board


def hold(board):
    """Takes the board's run lock (an flock on run.lock, holding this process's
    pid) and returns the open lock file: the board is in use until it is closed
    or this process ends, so a run that was killed leaves no stale lock.
    BoardError("board in use by pid N") when another process holds it."""
    f = open(board.run_lock, "a+")
    try:
        fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        f.seek(0)
        holder = f.read().strip()
        f.close()
        raise BoardError("board in use by pid %s" % (holder or "unknown")) from None
    f.truncate(0)
    f.write("%d\n" % os.getpid())
    f.flush()
    return f


# ----------------------------------------------------------------- environment

# The boot options the launcher looks for in the environment (src/boot/boot_options.cpp).
# It finds "NAME=" anywhere in the text, so a longer name ending in one is read as it.
LAUNCHER_READS = ("gdb", "gdbserver", "gdbport", "shell", "memchk", "diagnostics")


def unread_name_warning(name):
    """A warning for a variable the launcher never reads as itself, or None."""
    if name in LAUNCHER_READS:
        return None
    ends = [known for known in LAUNCHER_READS if name.endswith(known)]
    if ends:
        return "the launcher reads %s=VALUE as %s=VALUE" % (name, max(ends, key=len))
    return "the launcher does not read %s (it reads: %s)" % (name, ", ".join(LAUNCHER_READS))


# The launcher reads this many bytes of the environment after its checksum word.
LAUNCHER_READ_LENGTH = 1792


def unread_tail_warnings(pairs):
    """Warnings for boot options that lie, whole or in part, beyond what the
    launcher reads of the environment."""
    warnings, at = [], 0
    for name, value in pairs:
        end = at + len(name) + 1 + len(value.encode())
        if end > LAUNCHER_READ_LENGTH and name in LAUNCHER_READS:
            warnings.append("the launcher reads only the first %d bytes of the environment; "
                            "%s=%s runs past them" % (LAUNCHER_READ_LENGTH, name, value))
        at = end + 1
    return warnings


def _env_area_size(board):
    return os.path.getsize(board.dev("mtd-ubootenv"))


def read_env(board):
    """The environment's variables as a list of (name, value), in stored order.

    An erased partition (0xFF at the first variable) holds no variables.
    """
    return [tuple(v.split("=", 1)) if "=" in v else (v, "") for v in boardctl.env_read(board.path)]


def write_env_area(board, data):
    """Stores `data` as the environment's data area (from offset 4), the rest NUL,
    with the checksum word of the whole data area in front (big-endian)."""
    size = _env_area_size(board) - ENV_DATA_OFFSET
    if len(data) > size:
        raise BoardError("environment of %d bytes does not fit in %d" % (len(data), size))
    body = bytes(data) + b"\0" * (size - len(data))
    crc = zlib.crc32(body) & 0xFFFFFFFF
    with open(board.dev("mtd-ubootenv"), "r+b") as f:
        f.write(crc.to_bytes(4, "big") + body)


def setenv(board, assignments):
    """Sets NAME=VALUE assignments (a list of strings); NAME= removes NAME."""
    pairs = read_env(board)
    for text in assignments:
        name, eq, value = text.partition("=")
        if not eq or not name:
            raise BoardError("not a NAME=VALUE assignment: %r" % text)
        pairs = [(n, v) for n, v in pairs if n != name]
        if value != "":
            pairs.append((name, value))
    boardctl.env_write(board.path, ["%s=%s" % p for p in pairs], 0)
    return pairs


# ----------------------------------------------------------------------- EEPROM

def read_eeprom(board, offset, length=1):
    with open(board.dev("eeprom"), "rb") as f:
        f.seek(offset)
        return f.read(length)


def write_eeprom(board, offset, data):
    if isinstance(data, int):
        data = bytes([data])
    if offset < 0 or offset + len(data) > EEPROM_SIZE:
        raise BoardError("EEPROM offset %d out of range 0..%d" % (offset, EEPROM_SIZE - 1))
    with open(board.dev("eeprom"), "r+b") as f:
        f.seek(offset)
        f.write(bytes(data))


def parse_number(text, limit, what):
    """Decimal or 0x-hexadecimal number in 0..limit; BoardError otherwise."""
    try:
        value = int(text, 0)
    except ValueError:
        raise BoardError("%s %r is not a number" % (what, text)) from None
    if not 0 <= value <= limit:
        raise BoardError("%s %d is out of range 0..%d" % (what, value, limit))
    return value


def _is_number(text):
    try:
        int(text, 0)
        return True
    except ValueError:
        return False


def set_eeprom_fields(board, assignments):
    """Applies FIELD=BYTE or OFFSET=BYTE assignments (strings)."""
    for text in assignments:
        key, eq, value = text.partition("=")
        if not eq:
            raise BoardError("not a FIELD=VALUE assignment: %r" % text)
        if key in EEPROM_FIELDS:
            offset, size = EEPROM_FIELDS[key]
            if size != 1:
                raise BoardError("%s is not a one-byte field" % key)
        elif not _is_number(key):
            raise BoardError("unknown EEPROM field %r (fields: %s; or a decimal or 0x offset)" % (
                key, ", ".join(n for n, (_, size) in EEPROM_FIELDS.items() if size == 1)))
        else:
            offset = parse_number(key, EEPROM_SIZE - 1, "EEPROM offset")
        write_eeprom(board, offset, parse_number(value, 255, "byte"))


def describe_eeprom(board):
    """One line per known EEPROM field: 'name= value  # offset N'."""
    lines = []
    for name, (offset, size) in EEPROM_FIELDS.items():
        raw = read_eeprom(board, offset, size)
        if size == 1:
            text = str(raw[0])
        elif name.startswith("timestamp") and raw != b"\xff" * size:
            text = boardctl.describe(raw)
        else:
            text = raw.hex(" ")
        lines.append("%-14s %s   # offset %d" % (name + "=", text, offset))
    return lines


# ------------------------------------------------------------------------ clock

def set_rtc_offset(board, seconds):
    """A ticking clock: host time (UTC) plus `seconds`."""
    boardctl.clock_store(board.path, "offset %d" % seconds)


def _parse_time(when):
    if isinstance(when, datetime.datetime):
        return when
    try:
        when = datetime.datetime.strptime(when, RTC_FORMAT)
    except ValueError:
        raise BoardError("clock time %r is not 'YYYY-MM-DD HH:MM:SS'" % when) from None
    if not 2000 <= when.year <= 2099:
        raise BoardError("the board clock holds years 2000-2099 only")
    return when


def set_rtc(board, when, stopped=False):
    """Sets the board clock to `when` ('YYYY-MM-DD HH:MM:SS' or a datetime, UTC).
    It ticks on from there, or stays at that time when `stopped`."""
    when = _parse_time(when)
    if stopped:
        boardctl.clock_store(board.path, "fixed " + boardctl.registers_of(when).hex(" "))
        return
    now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
    set_rtc_offset(board, round((when - now).total_seconds()))


def set_rtc_registers(board, registers):
    """A stopped clock holding the 7 raw registers (seconds .. year), any bits."""
    if len(registers) != 7:
        raise BoardError("the clock has 7 time registers, not %d" % len(registers))
    boardctl.clock_store(board.path, "fixed " + bytes(registers).hex(" "))


def rtc_registers(board):
    """The 7 time registers as the emulator would serve them now."""
    return boardctl.clock_registers(board.path)


# ------------------------------------------------------------- slots and stick

def install_slot(board, slot, image):
    """Copies the container file `image` into /user/images/imageN (N = 1 or 2)."""
    if slot not in (1, 2):
        raise BoardError("slot must be 1 or 2, not %r" % slot)
    images = os.path.join(board.user, "images")
    os.makedirs(images, exist_ok=True)
    target = os.path.join(images, "image%d" % slot)
    shutil.copyfile(image, target)
    return target


def split_usb_source(arg):
    """'SRC' or 'SRC=NAME' -> (SRC, NAME). The whole argument names the source
    when such a file exists; otherwise it is cut at the first '='."""
    if os.path.exists(arg) or "=" not in arg:
        return arg, os.path.basename(arg.rstrip("/"))
    src, _, name = arg.partition("=")
    return src, name


def usb_add(board, src, name):
    """Puts the file (or folder) `src` on the stick as `name` (may hold '/')."""
    if not name or name.startswith("/") or ".." in name.split("/"):
        raise BoardError("stick file name %r must be relative and stay on the stick" % name)
    target = os.path.join(board.usb, name)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    if os.path.isdir(src):
        shutil.copytree(src, target, symlinks=True, dirs_exist_ok=True)
    else:
        shutil.copyfile(src, target)
    return target


def usb_remove(board):
    """Takes the stick out: the stick folder is emptied."""
    shutil.rmtree(board.usb, ignore_errors=True)
    os.makedirs(board.usb, exist_ok=True)


def usb_inserted(board):
    return os.path.isdir(board.usb) and bool(os.listdir(board.usb))
