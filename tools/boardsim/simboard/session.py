"""A running 'boardsim run': the board's console to wait on and type into,
its serial port's speed and XMODEM sender, its power, and how it ended."""

from __future__ import annotations

import io
import os
import pathlib
import subprocess
import termios
import time
import tty
from typing import TYPE_CHECKING, Dict, List, Optional, Sequence, Union

import pexpect
import pexpect.fdpexpect

from ._sim import BOARDSIM, BenchError, boardsim

if TYPE_CHECKING:
    from .board import Board

KEY_PAUSE = 0.2      # seconds before keys: the launcher reads them one at a time
SANITIZER_REPORTS = ("ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer")
SPEEDS = (9600, 19200, 38400, 57600, 115200)


class Session:
    """The board powered on by Board.power_on(): everything the console shows
    is kept (`output`), and written with times to `log` when there is one.

    On a 'stdio' console the run's own terminal is the console; on a 'pty'
    console the session opens the board's serial port (`port`) as a terminal
    program does, at 9600 bit/s, raw, and the run's own lines ('board: ...')
    stay on the run's terminal. `child` is the pexpect object of the run and
    `console` that of the console (the same on 'stdio'), for what this class
    does not cover."""

    def __init__(self, board: "Board", arch: str, argv: Sequence[str], console: str,
                 env: Optional[Dict[str, str]], encoding: str, timeout: float,
                 log: Optional[pathlib.Path], attach: bool = True):
        self.board, self.arch, self.log, self.timeout = board, arch, log, timeout
        self.port: Optional[str] = None
        self._fd: Optional[int] = None
        self.child = pexpect.spawn(BOARDSIM, list(argv), timeout=timeout, encoding=encoding,
                                   codec_errors="replace", dimensions=(40, 100),
                                   env=dict(os.environ, **(env or {})))
        self.child.delaybeforesend = None
        self.child.logfile_read = io.StringIO()
        self.console = self.child
        if console == "pty":
            if self.child.expect([r"board: console on (\S+?)(,|\r)", pexpect.EOF,
                                  pexpect.TIMEOUT]) != 0:
                self.close()
                raise BenchError("boardsim run showed no console port: %s" %
                                 self.run_output().strip())
            self.port = self.child.match.group(1)
            if attach:
                self.attach()

    def attach(self) -> None:
        """Opens the serial port (power_on(console='pty', attach=False) leaves
        that to the caller, for a terminal program to open it first)."""
        encoding = self.child.encoding
        self._fd = os.open(self._need_port(), os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self._fd)
        self.set_speed(9600)
        self.console = pexpect.fdpexpect.fdspawn(self._fd, timeout=self.timeout,
                                                 encoding=encoding, codec_errors="replace")
        self.console.delaybeforesend = None
        self.console.logfile_read = io.StringIO()

    # --------------------------------------------------------- console
    @property
    def output(self) -> str:
        """Everything the console showed so far, with '\\n' line ends."""
        return self.console.logfile_read.getvalue().replace("\r\n", "\n")

    @property
    def before(self) -> str:
        """What the console showed between the last two matches of expect()."""
        return self.console.before.replace("\r\n", "\n")

    def expect(self, *texts: str, timeout: Optional[float] = None) -> int:
        """Waits until the console shows one of `texts` (exactly; '\\n' stands for
        the console's line end); the index of the one seen first. BenchError
        when none shows within `timeout` seconds (default: the session's) or
        the run ends first; its message ends with the console's last lines."""
        wanted = [t.replace("\n", "\r\n") for t in texts]
        try:
            return self.console.expect_exact(wanted, timeout=timeout or self.timeout)
        except (pexpect.TIMEOUT, pexpect.EOF) as e:
            why = "not within %ss" % (timeout or self.timeout) if isinstance(e, pexpect.TIMEOUT) \
                else "the console closed first"
            raise BenchError("%s: %s; the console's last lines:\n%s" % (
                " or ".join(map(repr, texts)), why, self.output[-2000:])) from None

    def send(self, keys: str, pause: float = KEY_PAUSE) -> None:
        """Types `keys` ('\\r' is Enter) after `pause` seconds."""
        time.sleep(pause)
        self.console.send(keys)

    def send_line(self, text: str, pause: float = KEY_PAUSE) -> None:
        """Types `text` and Enter."""
        self.send(text + "\r", pause)

    def ctrl_c(self, pause: float = KEY_PAUSE) -> None:
        """Types Ctrl-C (the launcher gets SIGINT)."""
        time.sleep(pause)
        if self.console is self.child:
            self.child.sendintr()
        else:
            self.console.send("\x03")

    # ------------------------------------------------------ serial port
    def _need_port(self) -> str:
        if self.port is None:
            raise BenchError("needs the serial port: power_on(console='pty')")
        return self.port

    def _port_fd(self) -> int:
        if self._fd is None:
            raise BenchError("the serial port %s is not open: attach() first" % self._need_port())
        return self._fd

    def set_speed(self, bits_per_second: int) -> None:
        """Switches the operator's side of the serial port to another speed
        (9600, 19200, 38400, 57600, 115200 bit/s), as picocom's C-a C-b does."""
        if bits_per_second not in SPEEDS:
            raise BenchError("speed must be one of %s, not %r" % (SPEEDS, bits_per_second))
        attrs = termios.tcgetattr(self._port_fd())
        attrs[4] = attrs[5] = getattr(termios, "B%d" % bits_per_second)
        termios.tcsetattr(self._port_fd(), termios.TCSANOW, attrs)

    def send_xmodem(self, path: Union[str, os.PathLike],
                    timeout: float = 90) -> Optional[int]:
        """Sends a file with lrzsz's 'sz --xmodem -k' (1 KiB blocks) on the
        serial port, as picocom's C-a C-s does; sz's exit status (0: sent), or
        None when it had not ended after `timeout` seconds (it is stopped)."""
        try:
            return subprocess.call(["sz", "--xmodem", "-k", str(path)], stdin=self._port_fd(),
                                   stdout=self._port_fd(), stderr=subprocess.DEVNULL,
                                   timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    # ------------------------------------------------------------ power
    def power_off(self) -> str:
        """Cuts the power ('boardsim power BOARD off'): the launcher and what it
        started are killed, with no clean-up; the run keeps the board and its
        port and prints 'board: power off'. Returns the command's answer ('' or
        'boardsim: BOARD is already off'); BenchError when no run holds the
        board."""
        return self._power("off")

    def power_on(self) -> str:
        """Powers the board on again with the state it left ('board: power
        on'); as power_off()."""
        return self._power("on")

    def power_cycle(self) -> str:
        """Power off, then on; as power_off()."""
        return self._power("cycle")

    def _power(self, switch: str) -> str:
        return boardsim("power", str(self.board.path), switch)

    def status(self) -> Dict[str, str]:
        """The board's 'boardsim status' (see Board.status)."""
        return self.board.status()

    # -------------------------------------------------------------- end
    @property
    def running(self) -> bool:
        return self.child.isalive()

    def wait_end(self, timeout: Optional[float] = None) -> Optional[str]:
        """Waits for the run to end; the last 'board: ...' line it printed
        ('board: application started', 'board: rebooted', 'board: launcher
        exited with status N'), None without one. BenchError when it has not
        ended within `timeout` seconds or the launcher's sanitizers reported
        a fault on the console."""
        try:
            self.child.expect(pexpect.EOF, timeout=timeout or self.timeout)
        except pexpect.TIMEOUT:
            raise BenchError("the run did not end within %ss; the console's last lines:\n%s"
                             % (timeout or self.timeout, self.output[-2000:])) from None
        if self._fd is not None:
            self._drain_port()
        self.close()
        reports = [r for r in SANITIZER_REPORTS if r in self.output]
        if reports:
            raise BenchError("sanitizer report on the console:\n%s" % self.output[-6000:])
        return self.final()

    def final(self) -> Optional[str]:
        """The last 'board: ...' line the run printed so far, None without one.
        Taken from the console log when there is one: a Ctrl-C typed on the
        run's terminal discards what the terminal had not yet passed on."""
        logged = [line.split(" ", 3)[-1] for line in self.log_lines()]
        # A Ctrl-C the terminal echoes as "^C" may share the line.
        lines = logged or [x.replace("^C", "") for x in self.run_output().splitlines()]
        lines = [x.strip() for x in lines if x.strip().startswith("board: ")]
        return lines[-1] if lines else None

    def run_output(self) -> str:
        """What the run itself printed (on 'stdio' the console too)."""
        return self.child.logfile_read.getvalue().replace("\r\n", "\n")

    def log_lines(self) -> List[str]:
        """The console log's lines ('DATE TIME +SECONDS TEXT'), [] without a log."""
        if self.log is None or not self.log.exists():
            return []
        return self.log.read_text("utf-8", "replace").splitlines()

    def _drain_port(self) -> None:
        try:
            while True:
                self.console.read_nonblocking(4096, timeout=0.2)
        except (pexpect.TIMEOUT, pexpect.EOF, OSError):
            pass

    def close(self) -> None:
        """Ends the run if it still runs (SIGTERM: the simulator cleans up)
        and closes the port."""
        if self.child.isalive():
            self.child.kill(15)
            try:
                self.child.expect(pexpect.EOF, timeout=30)
            except pexpect.TIMEOUT:
                self.child.kill(9)
        self.child.close()
        if self._fd is not None:
            self.console.close()
            self._fd = None

    def __enter__(self) -> "Session":
        return self

    def __exit__(self, *_exc) -> None:
        self.close()

