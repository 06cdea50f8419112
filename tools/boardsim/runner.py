"""Powering a simulated board on: runs the real launcher in the board root.

One start: rebuild the board root, reset the CPLD window, start the sandbox
with the console on the caller's terminal, create the stick's readiness marker
when a stick is inserted, wait for the launcher (or the application that
replaced it) to end, and tell how the start ended from the stubs' events:

    board: application started      /bin/backtrace started the application
    board: rebooted                 the board ran "reboot"
    board: launcher exited with status N

With cycles > 1 the board is powered on again after a reboot (its /tmp is
RAM, so it starts empty), up to that many starts.
"""

import fcntl
import importlib
import json
import os
import shutil
import signal
import subprocess
import sys
import termios
import threading

import boardfs
import sandbox
import serialline
import vmachine

CPLD_WINDOW_SIZE = 0xFFB00000 + 0x100


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
                 line="paced", fast_clock=False):
        self.arch = arch
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


def _start_vm(board, opts, launcher, port):
    _prepare_folders(board)
    handed, qemu_status = vmachine.power_on(board, opts, launcher, port)
    if handed is None:
        return "board: the machine stopped without handing out its files (QEMU status %d)" \
            % qemu_status
    events, status = handed
    return outcome(events, 0 if status is None else status)


def _start_once(board, opts, programs, net, port=None):
    launcher, devemu = programs
    if opts.arch == "vm":
        return _start_vm(board, opts, launcher, port)
    marker = _prepare_folders(board)
    sandbox.build_root(board, network=opts.network, dhclient=opts.dhclient,
                       without=opts.without)
    mem = _reset_cpld(board)
    faketime = sandbox.faketime_library() if opts.faketime else None
    console = serialline.open_pty() if port else None
    cmd = sandbox.bwrap_command(board, launcher, devemu, arch=opts.arch, network=net is not None,
                                mem_file=mem, tty=console[1] if console else _console_tty(),
                                environment=_launcher_environment(opts), faketime=faketime,
                                uart_drain=_uart_drain() if console else None)
    if net is not None:
        cmd = net.wrap(cmd)
    start = os.path.getsize(board.events_log)
    timer = None
    if boardfs.usb_inserted(board):
        timer = threading.Timer(opts.usb_delay, lambda: open(marker, "a").close())
        timer.daemon = True
        timer.start()
    try:
        status = _on_port(cmd, console, port, opts.paced) if port else subprocess.call(cmd)
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


def _on_port(cmd, console, port, paced):
    """Runs the sandbox with the board's pty as its console, carrying the line
    to the operator's port; returns the sandbox's exit status."""
    master, path = console
    slave = os.open(path, os.O_RDWR | os.O_NOCTTY)
    try:
        serialline.set_speed(master, serialline.CONSOLE_SPEED)
        line = serialline.Line(master, port.master, paced)
        proc = subprocess.Popen(cmd, stdin=slave, stdout=slave, stderr=slave,
                                start_new_session=True, preexec_fn=_take_console)
        os.close(slave)
        slave = None
        while proc.poll() is None:
            line.step(0.1)
        line.drain(5.0)
        return proc.returncode
    finally:
        if slave is not None:
            os.close(slave)
        os.close(master)


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


def run(board, opts):
    """Powers the board on (up to opts.cycles times); returns the last line printed."""
    board.check()
    if opts.faketime and opts.arch in ("ppc", "vm"):
        raise RunError("--faketime works with --arch host or asan only")
    if opts.arch == "vm" and opts.link_down:
        raise RunError("--link-down is not available with --arch vm")
    if opts.fast_clock and opts.arch != "vm":
        raise RunError("--fast-clock works with --arch vm only")
    if opts.faketime and not sandbox.faketime_library():
        raise RunError("--faketime needs Debian's libfaketime (scripts/setup installs it)")
    programs = find_programs(opts.arch)
    # Ctrl-C belongs to the launcher; Ctrl-\ or SIGTERM end the run (with clean-up).
    old_int = signal.signal(signal.SIGINT, signal.SIG_IGN)
    old_term = signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    old_quit = signal.signal(signal.SIGQUIT, lambda *_: sys.exit(131))
    console = _save_console()
    net = port = None
    line = ""
    try:
        net = _network(board, opts)
        port = _operator_port(opts)
        for start in range(1, opts.cycles + 1):
            if start > 1:
                _empty_folder(board.tmp)
                print("board: power on (start %d of %d)" % (start, opts.cycles), flush=True)
            if port:
                port.wait_for_program()
            line = _start_once(board, opts, programs, net, port)
            print(line, flush=True)
            if line != "board: rebooted":
                break
    finally:
        if port:
            port.close()
        if net:
            net.teardown()
        _restore_console(console)
        signal.signal(signal.SIGINT, old_int)
        signal.signal(signal.SIGTERM, old_term)
        signal.signal(signal.SIGQUIT, old_quit)
    return line


def _operator_port(opts):
    """The operator's port for --console pty[=LINK], announced; None without."""
    if not opts.console:
        return None
    kind, _, link = opts.console.partition("=")
    if kind != "pty" or (_ and not link):
        raise RunError("--console takes pty or pty=LINK, not %r" % opts.console)
    port = serialline.Port(link or None)
    print(port.describe(), flush=True)
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
