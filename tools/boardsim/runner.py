"""Powering a simulated board on: runs the real launcher in the board root.

One start: rebuild the board root, reset the CPLD window, start the sandbox
with the console on the caller's terminal, create the stick's readiness marker
when a stick is inserted, wait for the launcher (or the application that
replaced it) to end, and tell how the start ended from the stubs' events:

    board: application started      /bin/backtrace started the application
    board: rebooted                 the board ran "reboot"
    board: launcher exited with status N

With cycles > 1 the board is powered on again after a reboot (its /tmp is
RAM, so it starts empty), up to that many starts. 'boardsim power' (see
power.py) cuts the power of a start at once (everything of the board is
killed) and powers the board on again when told; the run holds the board,
its port and its console log (consolelog.py) across all of its power-ons.
"""

import fcntl
import importlib
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import termios
import threading
import time
import tty

import boardfs
import consolelog
import power
import sandbox
import serialline
import vmachine

CPLD_WINDOW_SIZE = 0xFFB00000 + 0x100
REBOOTED = "board: rebooted"


class RunError(Exception):
    """The run could not be set up (nothing was started)."""


def _source_dir():
    return os.environ.get("LAUNCHER_SOURCE_DIR") or \
        os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))


def build_dir(arch="host"):
    """The build folder whose launcher boots: $LAUNCHER_BUILD_DIR (host),
    $LAUNCHER_ASAN_BUILD_DIR (asan: AddressSanitizer and UBSan) or
    $LAUNCHER_PPC_BUILD_DIR (ppc; vm: $LAUNCHER_VM_BUILD_DIR, else that of
    ppc), by default build/host, build/asan or build/ppc. Without its own
    variable, an asan or ppc build is the sibling of a given $LAUNCHER_BUILD_DIR (LAUNCHER_BUILD_ROOT/host, /asan and /ppc
    belong together)."""
    host = os.environ.get("LAUNCHER_BUILD_DIR")
    if arch == "host":
        return os.path.abspath(host or os.path.join(_source_dir(), "build", "host"))
    other = os.environ.get("LAUNCHER_%s_BUILD_DIR" % arch.upper())
    if arch == "vm":  # the vm boots the ppc build
        other, arch = other or os.environ.get("LAUNCHER_PPC_BUILD_DIR"), "ppc"
    if not other and host:
        other = os.path.join(os.path.dirname(os.path.abspath(host)), arch)
    return os.path.abspath(other or os.path.join(_source_dir(), "build", arch))


def build_programs(arch="host"):
    """Paths of 'launcher', 'devemu' (libdevemu.so) and 'imagetool': those of
    an installed simulator (cmake --install writes installed.json beside it,
    naming them relative to it) for the host unless $LAUNCHER_BUILD_DIR is
    set, else those of the build folder."""
    here = os.path.dirname(os.path.realpath(__file__))
    installed = os.path.join(here, "installed.json")
    if arch != "ppc" and not os.environ.get("LAUNCHER_BUILD_DIR") and os.path.exists(installed):
        with open(installed) as f:
            return {k: os.path.normpath(os.path.join(here, v)) for k, v in json.load(f).items()}
    top = build_dir(arch)
    return {"launcher": os.path.join(top, "launcher"),
            "devemu": os.path.join(top, "tools", "devemu", "libdevemu.so"),
            "imagetool": os.path.join(build_dir("host"), "tools", "imagetool", "imagetool")}


def find_programs(arch):
    """(launcher, libdevemu.so or None) of the chosen build; RunError if the
    launcher is missing. The vm boots the ppc build's launcher, with no emulator."""
    if arch == "vm":
        launcher = build_programs("vm")["launcher"]
        if not os.access(launcher, os.X_OK):
            raise RunError("no launcher at %s: build it first (scripts/build ppc launcher)"
                           % launcher)
        return launcher, None
    programs = build_programs(arch)
    launcher = programs["launcher"]
    if not os.access(launcher, os.X_OK):
        raise RunError("no launcher at %s: build it first (scripts/build %s)" % (launcher, arch))
    devemu = programs["devemu"]
    if not os.path.exists(devemu):
        print("board: no device emulator at %s: flash, EEPROM and clock will not answer"
              % devemu, file=sys.stderr, flush=True)
        return launcher, None
    return launcher, devemu


class Options:
    """What 'boardsim run' was asked for."""

    def __init__(self, arch="host", cycles=1, usb_delay=0.0, network=False, link_down=False,
                 faketime=None, dhclient=False, without=(), env=(), console=None,
                 line="paced", fast_clock=False, log=None):
        self.arch = arch
        self.log = os.path.abspath(log) if log else None   # the console log's file
        self.fast_clock = fast_clock  # vm: guest time runs on while the guest idles
        self.cycles = max(1, int(cycles))
        self.usb_delay = float(usb_delay)
        self.network = network or link_down
        self.link_down = link_down
        self.faketime = faketime
        self.dhclient = dhclient
        self.without = tuple(without)
        self.env = tuple(env)
        self.console = console    # None: the caller's terminal; "pty" or "pty=LINK"
        self.paced = line != "unpaced"


def _launcher_environment(opts):
    env = ["%s=%s" % (k, v) for k, v in sorted(os.environ.items()) if k.startswith("DEVEMU_")]
    if opts.faketime:
        env += ["FAKETIME=" + opts.faketime, "FAKETIME_DONT_RESET=1"]
    return env + list(opts.env)


def _console_tty():
    try:
        return os.ttyname(0) if os.isatty(0) else None
    except OSError:
        return None


def _reset_cpld(board):
    # The CPLD registers come up cleared at every power-on.
    path = os.path.join(board.path, "dev", "mem")
    with open(path, "wb") as f:
        f.truncate(CPLD_WINDOW_SIZE)
    return path


def _events_since(board, offset):
    try:
        with open(board.events_log, "rb") as f:
            f.seek(offset)
            return f.read().decode("utf-8", "replace").splitlines()
    except FileNotFoundError:
        return []


def outcome(events, status):
    """The last line of one start from its events and the sandbox's exit status."""
    for line in reversed(events):
        word = line.split(" ", 1)[0]
        if word == "reboot":
            return "board: rebooted"
        if word == "backtrace":
            return "board: application started"
    return "board: launcher exited with status %d" % status


def _empty_folder(path):
    for name in os.listdir(path):
        full = os.path.join(path, name)
        if os.path.isdir(full) and not os.path.islink(full):
            shutil.rmtree(full)
        else:
            os.unlink(full)


def _prepare_folders(board):
    for folder in (board.user, board.tmp, board.usb, board.tftp):
        os.makedirs(folder, exist_ok=True)
    for log in (board.commands_log, board.events_log):
        open(log, "a").close()
    # The platform makes the marker when a stick becomes ready: one left in the
    # kept tmp/ by an earlier start must not stand for a stick that is gone.
    marker = os.path.join(board.tmp, "usb")
    if os.path.lexists(marker):
        os.unlink(marker)
    return marker


def _start_vm(board, opts, launcher, run):
    _prepare_folders(board)
    handed, qemu_status = vmachine.power_on(board, opts, launcher, run.port,
                                            control=run.control, tap=run.tap)
    if handed is None:
        return "board: the machine stopped without handing out its files (QEMU status %d)" \
            % qemu_status
    events, status = handed
    return outcome(events, 0 if status is None else status)


def _start_once(board, opts, programs, net, run):
    """One power-on; returns its last line (see outcome)."""
    launcher, devemu = programs
    if opts.arch == "vm":
        return _start_vm(board, opts, launcher, run)
    marker = _prepare_folders(board)
    sandbox.build_root(board, network=opts.network, dhclient=opts.dhclient,
                       without=opts.without)
    mem = _reset_cpld(board)
    faketime = sandbox.faketime_library() if opts.faketime else None
    # A pty of the simulator's between the caller's terminal and the board
    # only when the console is logged: the launcher sees a terminal either way.
    console = serialline.open_pty() if run.port else _open_pty() if run.log else None
    cmd = sandbox.bwrap_command(board, launcher, devemu, arch=opts.arch, network=net is not None,
                                mem_file=mem, tty=console[1] if console else _console_tty(),
                                environment=_launcher_environment(opts), faketime=faketime,
                                uart_drain=_uart_drain() if run.port else None)
    if net is not None:
        cmd = net.wrap(cmd)
    start = os.path.getsize(board.events_log)
    timer = None
    if boardfs.usb_inserted(board):
        timer = threading.Timer(opts.usb_delay, lambda: open(marker, "a").close())
        timer.daemon = True
        timer.start()
    try:
        if run.port:
            status = _on_port(cmd, console, run, opts.paced)
        elif console:
            status = _on_terminal(cmd, console, run)
        else:
            status = _on_caller_terminal(cmd, run)
    finally:
        if timer:
            timer.cancel()
    return outcome(_events_since(board, start), status)


def _uart_drain():
    # A host library: the board's receiver is the host's lrzsz, also with --arch ppc.
    path = os.path.join(build_dir("host"), "tools", "devemu", "libuartdrain.so")
    return path if os.path.exists(path) else None


def _take_console():
    # In the sandbox's new session: the board's pty becomes its controlling
    # terminal, so Ctrl-C carried from the operator's port reaches the launcher.
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def _sandbox(cmd, slave, run):
    """Starts the sandbox in a session of its own, with the pty `slave` (an
    open descriptor) as its console; closes `slave`."""
    try:
        proc = subprocess.Popen(cmd, stdin=slave, stdout=slave, stderr=slave,
                                start_new_session=True, preexec_fn=_take_console)
    finally:
        os.close(slave)
    run.control.attach(proc, group=True)
    return proc


def _ended(proc, master):
    """Closes the board's pty `master`, and ends the sandbox unless it has
    ended (also when the run ends by a signal: a board without its run is off)."""
    os.close(master)
    if proc and proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()


def _on_port(cmd, console, run, paced):
    """Runs the sandbox with the board's pty as its console, carrying the line
    to the operator's port; returns the sandbox's exit status."""
    master, path = console
    proc = None
    try:
        slave = os.open(path, os.O_RDWR | os.O_NOCTTY)
        serialline.set_speed(master, serialline.CONSOLE_SPEED)
        line = serialline.Line(master, run.port.master, paced)
        line.down.tap = run.tap
        proc = _sandbox(cmd, slave, run)
        while proc.poll() is None:
            line.step(0.1)
        if not run.control.was_cut():
            line.drain(5.0)   # what the board sent before it ended; a cut drops it
        return proc.returncode
    finally:
        _ended(proc, master)


def _open_pty():
    """(master, slave path) of a plain pty for the board's console."""
    master, slave = os.openpty()
    path = os.ttyname(slave)
    if os.isatty(0):
        # The board's terminal starts as the caller's: its settings and size.
        termios.tcsetattr(slave, termios.TCSANOW, termios.tcgetattr(0))
        size = fcntl.ioctl(0, termios.TIOCGWINSZ, b"\0" * 8)
        fcntl.ioctl(slave, termios.TIOCSWINSZ, size)
    os.close(slave)
    return master, path


def _on_caller_terminal(cmd, run):
    """Runs the sandbox on the caller's own terminal; returns its exit status."""
    proc = subprocess.Popen(cmd)
    run.control.attach(proc)
    try:
        return proc.wait()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def _on_terminal(cmd, console, run):
    """Runs the sandbox on a pty of its own, carrying it to and from the
    caller's terminal (set raw meanwhile: Ctrl-C reaches the board as a byte,
    the pty's own settings make it the launcher's signal); Ctrl-\\ ends the
    run as on the caller's terminal. Returns the sandbox's exit status."""
    master, path = console
    quit_key = _quit_key()
    proc = None
    try:
        proc = _sandbox(cmd, os.open(path, os.O_RDWR | os.O_NOCTTY), run)
        if os.isatty(0):
            tty.setraw(0, termios.TCSANOW)
        inputs = [master, 0]
        while proc.poll() is None or master in inputs:
            for fd in _readable(inputs, 0.1):
                data = _read(fd)
                if not data:
                    inputs.remove(fd)
                elif fd == master:
                    os.write(1, data)
                    run.tap(data)
                elif quit_key is not None and quit_key in data and _signals_on(master):
                    raise SystemExit(131)
                else:
                    os.write(master, data)
            if proc.poll() is not None and not _readable([master], 0):
                break
        return proc.returncode
    finally:
        _ended(proc, master)


def _signals_on(master):
    # A launcher that turned its terminal's signals off (a raw download) takes
    # the quit key as data, as it would on the caller's own terminal.
    try:
        return bool(termios.tcgetattr(master)[3] & termios.ISIG)
    except termios.error:
        return True


def _quit_key():
    """The caller's terminal's quit key (bytes) when it has one, else None."""
    try:
        attrs = termios.tcgetattr(0) if os.isatty(0) else None
    except termios.error:
        return None
    if attrs is None or not attrs[3] & termios.ISIG:
        return None
    key = attrs[6][termios.VQUIT]
    key = key if isinstance(key, bytes) else bytes([key])
    return None if key == b"\0" else key   # NUL: no quit key


def _readable(fds, seconds):
    p = select.poll()
    for fd in fds:
        p.register(fd, select.POLLIN)
    return [fd for fd, ev in p.poll(seconds * 1000) if ev & (select.POLLIN | select.POLLHUP |
                                                             select.POLLERR)]


def _read(fd):
    try:
        return os.read(fd, 4096)
    except OSError:   # EIO: the board's side of the pty is closed
        return b""


def _network(board, opts):
    if not opts.network or opts.arch == "vm":  # the vm's network is inside QEMU
        return None
    if os.geteuid() != 0:
        raise RunError("--network and --link-down need root (network namespaces)")
    try:
        netns = importlib.import_module("netns")
    except ImportError:
        raise RunError("--network is not available yet: tools/boardsim/netns.py is missing") \
            from None
    try:
        return netns.setup(board, opts.link_down)
    except Exception as e:  # the module leaves nothing behind when it fails
        raise RunError("the board's network could not be set up: %s" % e) from None


class _Run:
    """What one run keeps across its power-ons: the operator's port, the
    power switch, the console log."""

    def __init__(self):
        self.port = self.control = self.log = None
        self.mid_line = False   # the caller's terminal shows part of a board's line

    def say(self, text):
        """A line of the simulator's own, on its output and in the log."""
        print("\n" + text if self.mid_line else text, flush=True)
        self.mid_line = False
        if self.log:
            self.log.line(text)

    def tap(self, data):
        if self.log:
            self.log.feed(data)
        if not self.port:
            self.mid_line = not data.endswith(b"\n")

    def port_text(self):
        return self.port.path + (", also " + self.port.link if self.port.link else "") \
            if self.port else None

    def idle(self):
        """While the power is off, keys typed on the console are lost."""
        if self.port:
            while _read(self.port.master) if _readable([self.port.master], 0) else b"":
                pass
        elif os.isatty(0):
            termios.tcflush(0, termios.TCIFLUSH)

    def close(self):
        for part in (self.control, self.port, self.log):
            if part:
                part.close()


def run(board, opts):
    """Powers the board on (again after a reboot, up to opts.cycles starts,
    and whenever 'boardsim power' says so); returns the last line printed."""
    board.check()
    _check_options(opts)
    programs = find_programs(opts.arch)
    # Ctrl-C belongs to the launcher; Ctrl-\ or SIGTERM end the run (with clean-up).
    old_int = signal.signal(signal.SIGINT, signal.SIG_IGN)
    old_term = signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    old_quit = signal.signal(signal.SIGQUIT, lambda *_: sys.exit(131))
    console = _save_console()
    net = None
    state = _Run()
    try:
        state.log = _open_log(opts.log)
        net = _network(board, opts)
        state.port = _operator_port(opts, state)
        state.control = power.Control(board, opts.arch, state.port_text())
        return _power_ons(board, opts, programs, net, state, console)
    finally:
        state.close()
        if net:
            net.teardown()
        _restore_console(console)
        signal.signal(signal.SIGINT, old_int)
        signal.signal(signal.SIGTERM, old_term)
        signal.signal(signal.SIGQUIT, old_quit)


def _check_options(opts):
    if opts.faketime and opts.arch in ("ppc", "vm"):
        raise RunError("--faketime works with --arch host or asan only")
    if opts.arch == "vm" and opts.link_down:
        raise RunError("--link-down is not available with --arch vm")
    if opts.fast_clock and opts.arch != "vm":
        raise RunError("--fast-clock works with --arch vm only")
    if opts.faketime and not sandbox.faketime_library():
        raise RunError("--faketime needs Debian's libfaketime (scripts/setup installs it)")


def _open_log(path):
    try:
        return consolelog.ConsoleLog(path) if path else None
    except OSError as e:
        raise RunError("cannot write the console log %s: %s" % (path, e.strerror)) from None


def _power_ons(board, opts, programs, net, run, console):
    """The run's power-ons; returns the last line printed."""
    counted, announce = 1, None   # counted: starts that --cycles limits
    while True:
        if run.log:
            run.log.power_on()
        if announce:
            _empty_folder(board.tmp)   # RAM
            run.say(announce)
        run.control.begin()
        line = _power_on(board, opts, programs, net, run)
        _restore_console(console)
        if run.control.cut() or line is None:
            # A cut may leave a line of the board's half written on the terminal.
            run.mid_line = run.mid_line or not (run.port or run.log)
            run.say("board: power off")
            run.control.wait_for_on(run.idle)
            announce = "board: power on"
            continue
        run.say(line)
        if line != REBOOTED or counted >= opts.cycles:
            return line
        counted += 1
        announce = "board: power on (start %d of %d)" % (counted, opts.cycles)


def _power_on(board, opts, programs, net, run):
    """One start, once a program has the port open; None when the power went
    off before."""
    if run.port and not serialline.attached(run.port.master):
        while not serialline.attached(run.port.master):
            if not run.control.is_on():
                return None
            time.sleep(serialline.IDLE)
        if run.log:
            run.log.power_on()   # the board powers on only now
    return _start_once(board, opts, programs, net, run)


def _operator_port(opts, run):
    """The operator's port for --console pty[=LINK], announced; None without."""
    if not opts.console:
        return None
    kind, _, link = opts.console.partition("=")
    if kind != "pty" or (_ and not link):
        raise RunError("--console takes pty or pty=LINK, not %r" % opts.console)
    port = serialline.Port(link or None)
    run.say(port.describe())
    return port


def _save_console():
    try:
        return termios.tcgetattr(0) if os.isatty(0) else None
    except termios.error:
        return None


def _restore_console(saved):
    # A launcher ended in the middle of a key read leaves the terminal raw.
    if saved is not None:
        try:
            termios.tcsetattr(0, termios.TCSADRAIN, saved)
        except termios.error:
            pass
