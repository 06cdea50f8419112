#!/usr/bin/python3
"""Reads and sets the emulated board's state in a board root folder.

  boardctl.py --root DIR eeprom get FIELD
  boardctl.py --root DIR eeprom set FIELD VALUE...
  boardctl.py --root DIR eeprom dump OFFSET [LENGTH]
  boardctl.py --root DIR clock get
  boardctl.py --root DIR clock set 'YYYY-MM-DD HH:MM:SS'   (stopped clock)
  boardctl.py --root DIR clock registers SS MM HH DW DD MO YY (hex, raw)
  boardctl.py --root DIR clock offset SECONDS              (host time + N)
  boardctl.py --root DIR env write [--fill 00|ff] NAME=VALUE...
  boardctl.py --root DIR env read

EEPROM fields: boot_slot, running_image, usb_marker (one byte, decimal or
0x-hex), timestamp1, timestamp2 (7 clock bytes in hex), board_field (12 bytes
in hex). The files are the emulator's (tools/devemu/README.md): DIR/dev/eeprom,
DIR/dev/rtc, DIR/dev/mtd-ubootenv. Only regular files are touched, so a real
device node is never written. The root may also come from DEVEMU_ROOT.
"""
import argparse
import datetime
import os
import stat
import sys
import zlib

EEPROM_FIELDS = {  # name: (offset, length)
    "board_field": (156, 12),
    "boot_slot": (256, 1),
    "timestamp1": (264, 7),
    "timestamp2": (272, 7),
    "running_image": (314, 1),
    "usb_marker": (315, 1),
}
EEPROM_SIZE = 65536
ENV_HEADER = 4


class BoardError(Exception):
    pass


def board_file(root, name, must_exist=True):
    path = os.path.join(root, "dev", name)
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        if must_exist:
            raise BoardError(f"{path}: missing")
        return path
    if not stat.S_ISREG(mode):
        raise BoardError(f"{path}: not a regular file, refusing to touch it")
    return path


def read_at(path, offset, length):
    with open(path, "rb") as f:
        f.seek(offset)
        data = f.read(length)
    return data + b"\xff" * (length - len(data))


def write_at(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def parse_byte(text):
    value = int(text, 0)
    if not 0 <= value <= 255:
        raise BoardError(f"{text}: not a byte")
    return value


def eeprom_get(root, field):
    offset, length = field_of(field)
    data = read_at(board_file(root, "eeprom"), offset, length)
    return str(data[0]) if length == 1 else data.hex(" ")


def eeprom_set(root, field, values):
    offset, length = field_of(field)
    if length == 1 and len(values) == 1:
        data = bytes([parse_byte(values[0])])
    else:
        data = bytes.fromhex("".join(values))
    if len(data) != length:
        raise BoardError(f"{field} takes {length} bytes, got {len(data)}")
    write_at(board_file(root, "eeprom"), offset, data)


def field_of(name):
    if name not in EEPROM_FIELDS:
        raise BoardError(f"unknown field {name} (known: {', '.join(EEPROM_FIELDS)})")
    return EEPROM_FIELDS[name]


def bcd(value):
    return (value // 10) << 4 | value % 10


def unbcd(value):
    return (value >> 4) * 10 + (value & 0x0F)


def clock_registers(root):
    """The seven registers as the emulator would serve them now."""
    path = board_file(root, "rtc")
    with open(path) as f:
        lines = [l.strip() for l in f if l.strip() and not l.strip().startswith("#")]
    if not lines:
        raise BoardError(f"{path}: empty")
    words = lines[0].split()
    if words[0] == "fixed" and len(words) == 8:
        return bytes(int(w, 16) for w in words[1:])
    if words[0] == "offset" and len(words) == 2:
        now = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=int(words[1]))
        return registers_of(now)
    raise BoardError(f"{path}: cannot parse {lines[0]!r}")


def registers_of(when):
    weekday = (when.isoweekday() % 7) + 1  # Sunday = 1
    return bytes(bcd(v) for v in (when.second, when.minute, when.hour, weekday, when.day,
                                  when.month, when.year % 100))


def describe(registers):
    r = registers
    return (f"{r.hex(' ')}  20{unbcd(r[6]):02d}-{unbcd(r[5] & 0x1F):02d}-{unbcd(r[4] & 0x3F):02d}"
            f" {unbcd(r[2] & 0x3F):02d}:{unbcd(r[1] & 0x7F):02d}:{unbcd(r[0] & 0x7F):02d}")


def clock_store(root, line):
    path = board_file(root, "rtc", must_exist=False)
    with open(path, "w") as f:
        f.write(line + "\n")


def clock_set(root, text):
    when = datetime.datetime.strptime(text, "%Y-%m-%d %H:%M:%S")
    clock_store(root, "fixed " + registers_of(when).hex(" "))


def environment_image(variables, size, fill):
    """Checksum word (CRC-32 of the data area, big-endian), then the variables."""
    body = b"".join(v.encode() + b"\0" for v in variables) + b"\0"
    if len(body) > size - ENV_HEADER:
        raise BoardError(f"variables take {len(body)} bytes, the partition holds {size - ENV_HEADER}")
    body += bytes([fill]) * (size - ENV_HEADER - len(body))
    return zlib.crc32(body).to_bytes(4, "big") + body


def env_write(root, variables, fill):
    for v in variables:
        if "=" not in v or v.startswith("="):
            raise BoardError(f"{v!r}: not NAME=VALUE")
    path = board_file(root, "mtd-ubootenv")
    size = os.path.getsize(path)
    write_at(path, 0, environment_image(variables, size, fill))


def env_read(root):
    data = read_at(board_file(root, "mtd-ubootenv"), ENV_HEADER, 1 << 20)
    out = []
    for item in data.split(b"\0"):
        if not item or item[0] == 0xFF:
            break
        out.append(item.decode(errors="replace"))
    return out


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", default=os.environ.get("DEVEMU_ROOT"))
    parser.add_argument("device", choices=["eeprom", "clock", "env"])
    parser.add_argument("action")
    parser.add_argument("--fill", default="00", choices=["00", "ff"])
    parser.add_argument("args", nargs="*")
    a = parser.parse_args(argv)
    if not a.root:
        parser.error("--root DIR (or DEVEMU_ROOT) is required")
    try:
        print_result(run(a))
    except (BoardError, ValueError, OSError) as e:
        print(f"boardctl: {e}", file=sys.stderr)
        return 1
    return 0


def print_result(result):
    if isinstance(result, list):
        for line in result:
            print(line)
    elif result is not None:
        print(result)


def run(a):
    key = (a.device, a.action)
    if key == ("eeprom", "get") and len(a.args) == 1:
        return eeprom_get(a.root, a.args[0])
    if key == ("eeprom", "set") and len(a.args) >= 2:
        return eeprom_set(a.root, a.args[0], a.args[1:])
    if key == ("eeprom", "dump") and 1 <= len(a.args) <= 2:
        length = int(a.args[1], 0) if len(a.args) == 2 else 16
        return read_at(board_file(a.root, "eeprom"), int(a.args[0], 0), length).hex(" ")
    if key == ("clock", "get") and not a.args:
        return describe(clock_registers(a.root))
    if key == ("clock", "set") and len(a.args) == 1:
        return clock_set(a.root, a.args[0])
    if key == ("clock", "registers") and len(a.args) == 7:
        return clock_store(a.root, "fixed " + " ".join(f"{parse_byte('0x' + v):02x}" for v in a.args))
    if key == ("clock", "offset") and len(a.args) == 1:
        return clock_store(a.root, f"offset {int(a.args[0])}")
    if key == ("env", "write") and a.args:
        return env_write(a.root, a.args, int(a.fill, 16))
    if key == ("env", "read") and not a.args:
        return env_read(a.root)
    raise BoardError(f"bad command: {a.device} {a.action} {' '.join(a.args)}")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
