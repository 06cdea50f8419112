"""A simulated board folder: its slots, stick, TFTP folder, EEPROM, boot
options and clock, and what the launcher left in it."""

from __future__ import annotations

import datetime
import os
import pathlib
import shutil
import subprocess
from typing import Dict, List, Optional, Sequence, Union

from ._sim import ARCHES, BOARDSIM, BenchError, boardfs, boardsim, runner
from .session import Session

PathLike = Union[str, os.PathLike]
BoardError = boardfs.BoardError


class Eeprom:
    """The board EEPROM's fields by name ('boot-slot' or 'boot_slot'; see
    FIELDS). A one-byte field reads and writes as an int 0..255, a longer one
    as bytes of its length. An unknown name raises KeyError, a value out of
    range BoardError."""

    FIELDS = tuple(boardfs.EEPROM_FIELDS)

    def __init__(self, fs: boardfs.Board):
        self._fs = fs

    @staticmethod
    def _where(name: str):
        key = name.replace("_", "-")
        if key not in boardfs.EEPROM_FIELDS:
            raise KeyError("unknown EEPROM field %r (fields: %s)" % (
                name, ", ".join(boardfs.EEPROM_FIELDS)))
        return boardfs.EEPROM_FIELDS[key]

    def __getitem__(self, name: str) -> Union[int, bytes]:
        offset, size = self._where(name)
        raw = boardfs.read_eeprom(self._fs, offset, size)
        return raw[0] if size == 1 else raw

    def __setitem__(self, name: str, value: Union[int, bytes]) -> None:
        offset, size = self._where(name)
        data = bytes([value]) if isinstance(value, int) and 0 <= value <= 255 else value
        if not isinstance(data, (bytes, bytearray)) or len(data) != size:
            raise BoardError("EEPROM field %s takes %s, not %r" % (
                name, "a byte 0..255" if size == 1 else "%d bytes" % size, value))
        boardfs.write_eeprom(self._fs, offset, bytes(data))

    def update(self, fields: Optional[Dict[str, Union[int, bytes]]] = None, **more) -> None:
        """Sets several fields: update({'boot-slot': 2}) or update(boot_slot=2)."""
        for name, value in dict(fields or {}, **more).items():
            self[name] = value

    def as_dict(self) -> Dict[str, Union[int, bytes]]:
        return {name: self[name] for name in self.FIELDS}


class Board:
    """One board folder. Board(path) opens an existing one (BoardError when
    the folder is not a board); Board.create(path) makes a fresh one.

    `arch` is the machine power_on() boots by default: host, asan (the
    AddressSanitizer build), ppc (the PowerPC build under qemu-ppc) or vm (the
    PowerPC build on an emulated machine with a real kernel). With `log_dir`,
    every power-on writes its console log (host time and time since power-on
    on each line) to LOG_DIR/console-N.log."""

    def __init__(self, path: PathLike, arch: str = "host",
                 log_dir: Optional[PathLike] = None):
        self.fs = boardfs.Board(path).check()
        self.path = pathlib.Path(self.fs.path)
        if arch not in ARCHES:
            raise BoardError("arch must be one of %s, not %r" % (", ".join(ARCHES), arch))
        self.arch = arch
        self.log_dir = pathlib.Path(log_dir) if log_dir is not None else None
        self.eeprom = Eeprom(self.fs)
        self.sessions: List[Session] = []

    @classmethod
    def create(cls, path: PathLike, arch: str = "host",
               log_dir: Optional[PathLike] = None) -> "Board":
        """Makes a fresh board at `path` (erased flash and EEPROM, empty slots,
        clock at host time); an existing board there is erased again.
        BoardError when the folder holds something else or a run holds it."""
        boardfs.create(str(path))
        return cls(path, arch, log_dir)

    # ------------------------------------------------------------ set-up
    def set_slot(self, slot: int, image: PathLike) -> None:
        """Copies the container file `image` into slot 1 or 2."""
        boardfs.install_slot(self.fs, slot, str(image))

    def stick_add(self, image: PathLike, name: Optional[str] = None) -> None:
        """Puts a file (or folder) on the USB stick, as `name` (default: its own
        name; may hold '/'). BoardError when `image` does not exist."""
        if not os.path.exists(image):
            raise BoardError("no such file: %s" % image)
        boardfs.usb_add(self.fs, str(image), name or os.path.basename(str(image).rstrip("/")))

    def stick_remove(self) -> None:
        """Takes the stick out (its folder is emptied)."""
        boardfs.usb_remove(self.fs)

    def tftp_add(self, image: PathLike, name: Optional[str] = None) -> None:
        """Puts a file into the folder the TFTP peer serves (power_on(network=True))."""
        os.makedirs(self.fs.tftp, exist_ok=True)
        shutil.copyfile(image, os.path.join(self.fs.tftp, name or os.path.basename(str(image))))

    def setenv(self, **variables: Optional[str]) -> None:
        """Sets boot options in the boot-loader environment; '' or None removes one."""
        boardfs.setenv(self.fs, ["%s=%s" % (k, "" if v is None else v)
                                 for k, v in variables.items()])

    def getenv(self, name: Optional[str] = None) -> Union[Dict[str, str], Optional[str]]:
        """One boot option's value (None when unset), or all of them as a dict."""
        pairs = dict(boardfs.read_env(self.fs))
        return pairs if name is None else pairs.get(name)

    def set_clock(self, when: Union[str, datetime.datetime], stopped: bool = False) -> None:
        """Sets the board clock (UTC, 'YYYY-MM-DD HH:MM:SS' or a datetime, years
        2000-2099); it ticks on from there unless `stopped`."""
        boardfs.set_rtc(self.fs, when, stopped)

    def set_clock_registers(self, registers: Sequence[int]) -> None:
        """A stopped clock holding the 7 raw time registers (seconds .. year)."""
        boardfs.set_rtc_registers(self.fs, bytes(registers))

    # --------------------------------------------------------- read-back
    def slot(self, slot: int) -> Optional[bytes]:
        """What slot 1 or 2 holds, None when it is empty."""
        return self.user_file("images/image%d" % slot)

    def flash(self, partition: str, length: Optional[int] = None) -> bytes:
        """The first `length` bytes (all by default) of a flash partition
        ('mtd-kernel', 'mtd-rfs', ...)."""
        with open(self.fs.dev(partition), "rb") as f:
            return f.read(-1 if length is None else length)

    def user_file(self, rel: str) -> Optional[bytes]:
        """A file of the board's /user, None when it is not there."""
        p = self.path / "user" / rel
        return p.read_bytes() if p.is_file() else None

    def install_log(self) -> List[str]:
        """The lines of /user/install.log."""
        return (self.user_file("install.log") or b"").decode("utf-8", "replace").splitlines()

    def rejected(self) -> Optional[List[str]]:
        """The rejected list (stick images' MD5 digests, sorted), None without one."""
        folder = self.path / "user/images/rejected"
        return sorted(p.name for p in folder.iterdir()) if folder.is_dir() else None

    def commands(self) -> List[str]:
        """Every command text the launcher ran through the board's shell, in order."""
        return [line.replace("\\n", "\n") for line in _lines(self.fs.commands_log)]

    def events(self) -> List[str]:
        """What the board's programs did (one line each: 'reboot', 'backtrace APP', ...)."""
        return _lines(self.fs.events_log)

    # ------------------------------------------------------------- power
    def power_on(self, arch: Optional[str] = None, console: str = "stdio",
                 link: Optional[PathLike] = None, cycles: int = 1, network: bool = False,
                 fast_time: Optional[int] = None, fast_clock: bool = False,
                 log: Union[PathLike, bool, None] = None, options: Sequence[str] = (),
                 env: Optional[Dict[str, str]] = None, encoding: str = "utf-8",
                 timeout: float = 60, attach: bool = True) -> Session:
        """Powers the board on with 'boardsim run' and returns its Session.

        console: 'stdio' (the run's own terminal) or 'pty' (a serial port,
        `link` a symlink to it; the board powers on once the port is open: at
        once, or with attach=False once a terminal program or
        Session.attach() opens it).
        cycles: starts in all after reboots. network: eth0 to a TFTP peer at
        192.0.2.1 serving the TFTP folder (root only on host, asan and ppc).
        fast_time: on host and asan, sleeps and time-outs run that many times
        faster (faked time); ppc and vm run at real speed. fast_clock: on the vm
        only, the machine's time runs on at once while it idles (a time-out
        waiting for a key then expires at once). log: the console log's file;
        None: LOG_DIR/console-N.log when the board has a log_dir, else none;
        True: that file, beside the board folder without a log_dir; False: none. options: further 'boardsim run' options; env: variables for the
        run (DEVEMU_* fault switches, build folders). timeout: seconds that
        expect() and wait_end() wait by default.
        BenchError when the run does not start or its console port never shows."""
        arch = arch or self.arch
        argv = ["run", str(self.path), "--arch", arch, "--cycles", str(cycles)]
        argv += ["--network"] if network else []
        argv += ["--faketime", "+0 x%d" % fast_time] if fast_time and arch in ("host", "asan") \
            else []
        argv += ["--fast-clock"] if fast_clock and arch == "vm" else []
        if console not in ("stdio", "pty"):
            raise BenchError("console must be 'stdio' or 'pty', not %r" % console)
        if console == "pty":
            argv += ["--console", "pty=%s" % link if link else "pty"]
        path = self._log_path(log)
        argv += ["--log", str(path)] if path else []
        session = Session(self, arch, argv + [str(o) for o in options], console, env,
                          encoding, timeout, path, attach)
        self.sessions.append(session)
        return session

    def _log_path(self, log):
        if log is False or (log is None and self.log_dir is None):
            return None
        if log is None or log is True:
            folder = self.log_dir or self.path.parent
            folder.mkdir(parents=True, exist_ok=True)
            return folder / ("console-%d.log" % (len(self.sessions) + 1))
        return pathlib.Path(log)

    def status(self) -> Dict[str, str]:
        """'boardsim status': {'state': 'running'|'stopped'} and, while a run
        holds the board, 'pid', 'arch', 'port' (with a pty console), 'power'
        ('on'|'off') and 'start' (power-ons so far). BenchError when the command
        fails."""
        out = boardsim("status", str(self.path))
        return dict(line.split(": ", 1) for line in out.splitlines() if ": " in line)


def machine_missing(arch: str) -> Optional[str]:
    """Why `arch` cannot boot here (its launcher is not built, qemu-ppc or
    the vm's kernel is missing), or None when it can."""
    if arch not in ARCHES:
        return "unknown machine %r (machines: %s)" % (arch, ", ".join(ARCHES))
    if arch == "ppc" and not shutil.which("qemu-ppc"):
        return "no qemu-ppc (scripts/setup installs it)"
    if arch == "vm":
        script = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(BOARDSIM))),
                              "scripts", "vm-build")
        if not os.access(script, os.X_OK) or subprocess.run(
                [script, "check"], stdout=subprocess.DEVNULL).returncode != 0:
            return "the vm's kernel and root file system are not built (scripts/vm-build)"
    try:
        runner.find_programs(arch)
    except runner.RunError as e:
        return str(e)
    return None


def _lines(path: str) -> List[str]:
    try:
        return pathlib.Path(path).read_text("utf-8", "replace").splitlines()
    except FileNotFoundError:
        return []
