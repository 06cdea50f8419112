"""The board root and the bubblewrap command that makes it '/' for the launcher.

The board root (BOARD/root) is rebuilt for every power-on. It holds busybox's
applet links, the board's own stub programs and the mount points; the board's
devices, /user, /tmp and /mnt/usb are bound in from the board folder, and the
host programs the board needs (busybox, lrzsz's receiver, coreutils env, the
launcher, the device emulator) are bound read-only under /.sim.

Busybox here prefers its built-in applets to programs on PATH, so the board's
shell (/bin/sh) is a small wrapper: for 'sh -c TEXT' (every system() call) it
appends TEXT to the command log and runs busybox's 'sh -c' on TEXT prefixed
(on its first line, so line numbers stay) with shell functions that send the
stubbed command names (reboot, date, mount, ...) to the stubs. Anything else
goes straight to busybox's shell.
"""

import glob
import os
import shutil
import subprocess

SIM = "/.sim"                    # host programs and logs inside the board root
BUSYBOX = SIM + "/busybox"
LOG = SIM + "/commands.log"
EVENTS = SIM + "/events.log"
HOST_BUSYBOX = "/bin/busybox"
HOST_ENV = "/usr/bin/env"
HOST_RX = "/usr/bin/rx"
HOST_QEMU_PPC = "/usr/bin/qemu-ppc"
PPC_SYSROOT = "/usr/powerpc-linux-gnu"
BOARD_PATH = "/bin:/sbin:/usr/bin:/usr/sbin"

# Escapes embedded newlines of "$*" and appends it, with a prefix, to a log.
_RECORD = r'''record() { nl='
'; t="$*"; printf '%s\n' "${t//$nl/\\n}" >> ''' + EVENTS + '''; }
'''

_SHELL = '''#!''' + BUSYBOX + ''' sh
# The board's /bin/sh: busybox's shell. 'sh -c TEXT' is logged, and TEXT runs
# after (on the same line as) the functions that route stubbed names to the stubs.
if [ "$1" = "-c" ] && [ $# -ge 2 ]; then
  __sim_nl='
'
  __sim_text=$2
  printf '%s\\n' "${__sim_text//$__sim_nl/\\\\n}" >> ''' + LOG + '''
  shift 2
  [ $# -eq 0 ] && set -- sh
  exec ''' + BUSYBOX + ''' sh -c '@FUNCTIONS@'"$__sim_text" "$@"
fi
exec ''' + BUSYBOX + ''' sh "$@"
'''

# Stub programs: path in the board root -> script body (after the '#!' line).
_STUBS = {
    "sbin/reboot": _RECORD + '''record reboot "$@"
# A real reboot ends every process; give the launcher a moment to exit by itself.
( sleep 3; kill -TERM -1 ) </dev/null >/dev/null 2>&1 &
exit 0
''',
    "bin/mount": _RECORD + 'record mount "$@"\nexit 0\n',
    "bin/umount": _RECORD + 'record umount "$@"\nexit 0\n',
    "bin/date": _RECORD + '''record date "$@"
# The board never sets a clock: the argument is only recorded.
[ $# -eq 0 ] && exec ''' + BUSYBOX + ''' date
exit 0
''',
    "bin/backtrace": _RECORD + '''app=/tmp/home/bin/mp.elf.strip
if [ ! -x "$app" ]; then
  echo "backtrace: cannot start $app" >&2
  exit 127
fi
record backtrace "$app"
exec "$app"
''',
    "bin/gdbserver": _RECORD + '''record gdbserver "$@"
[ $# -ge 2 ] || exit 1
port=$1
shift
echo "gdbserver (board stub): $1 on port ${port#:}"
"$@"
''',
    "usr/sbin/flash_eraseall": _RECORD + '''record flash_eraseall "$@"
if [ "$1" != /dev/mtd-user-char ]; then
  echo "flash_eraseall: $1: not a flash partition of this board" >&2
  exit 1
fi
# The user partition is the board's /user folder.
find /user -mindepth 1 -maxdepth 1 -exec rm -rf {} +
exit 0
''',
    # -U: lrzsz refuses absolute paths such as /tmp/image in its default
    # restricted mode; the board's receiver writes where it is told.
    # The receiver's event names any device it inherits beyond the console.
    "usr/bin/rx": _RECORD + '''record rx "$@" $(for fd in /proc/$$/fd/*; do
  t=$(readlink "$fd"); case ${fd##*/}:$t in [012]:*) ;; *:/dev/*) echo "inherits $t" ;; esac
done)
unset LD_PRELOAD FAKETIME
[ -e ''' + SIM + '''/uartdrain.so ] && export LD_PRELOAD=''' + SIM + '''/uartdrain.so
exec ''' + SIM + '''/lrzsz/rx -q -U "$@" 2>/dev/null
''',
}

# Stubs present only without --network (busybox's applets with it).
_NET_STUBS = {
    "sbin/ifconfig": _RECORD + 'record ifconfig "$@"\nexit 0\n',
    "sbin/route": _RECORD + 'record route "$@"\nexit 0\n',
    "usr/bin/tftp": _RECORD + 'record tftp "$@"\nexit 0\n',
}
_DHCLIENT = {"bin/dhclient": _RECORD + 'record dhclient "$@"\nexit 0\n'}


def busybox_applets():
    """Applet paths as busybox lists them ('bin/ls', 'sbin/reboot', ...)."""
    out = subprocess.run([HOST_BUSYBOX, "--list-full"], check=True, capture_output=True,
                         text=True).stdout
    return [line.strip() for line in out.splitlines() if line.strip()]


def _write_script(root, rel, body):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if os.path.lexists(path):
        os.unlink(path)
    with open(path, "w") as f:
        f.write("#!" + BUSYBOX + " sh\n" + body)
    os.chmod(path, 0o755)


def _without_busybox(names):
    cases = "|".join(names)
    return ('case "$1" in %s) echo "$1: applet not found" >&2; exit 127 ;; esac\n'
            'exec %s "$@"\n' % (cases, BUSYBOX))


def build_root(board, network=False, dhclient=False, without=()):
    """(Re)builds BOARD/root; returns its path. `without` names board programs
    to leave out (also refused by '/bin/busybox NAME')."""
    root = board.root
    if os.path.isdir(root):
        shutil.rmtree(root)
    for d in ("bin", "sbin", "usr/bin", "usr/sbin", "usr/lib", "dev", "etc", "proc",
              "tmp", "user", "mnt/usb", "sys", SIM.lstrip("/")):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    os.symlink("usr/lib", os.path.join(root, "lib"))
    if os.path.isdir("/usr/lib64"):
        os.makedirs(os.path.join(root, "usr/lib64"), exist_ok=True)
        os.symlink("usr/lib64", os.path.join(root, "lib64"))
    applets = busybox_applets()
    for rel in applets:
        os.symlink(BUSYBOX, os.path.join(root, rel))
    stubs = dict(_STUBS)
    if not network:
        stubs.update(_NET_STUBS)
    if dhclient:
        stubs.update(_DHCLIENT)
    for rel, body in stubs.items():
        _write_script(root, rel, body)
    applet_names = {os.path.basename(a) for a in applets}
    functions = []
    for rel in sorted(stubs):
        name = os.path.basename(rel)
        if name in applet_names:
            functions.append('%s() { /%s "$@"; }; ' % (name, rel))
    for name in without:
        for rel in [a for a in applets if os.path.basename(a) == name] + list(stubs):
            if os.path.basename(rel) == name and os.path.lexists(os.path.join(root, rel)):
                os.unlink(os.path.join(root, rel))
        functions.append('%s() { echo "sh: %s: not found" >&2; return 127; }; ' % (name, name))
    _write_script(root, "bin/sh", _SHELL.replace("@FUNCTIONS@", "".join(functions))
                  .split("\n", 1)[1])
    if without:
        _write_script(root, "bin/busybox", _without_busybox(without))
    for name in ("mtd-user", "mtd-user-char"):
        open(os.path.join(root, "dev", name), "wb").close()
    return root


# The launcher ends by replacing itself with the application or by exit()
# right after "reboot": there is no long-lived heap to leak from, and what it
# still holds at exit is released by the exit itself.
ASAN_OPTIONS = "detect_leaks=0:exitcode=99:color=never"


def asan_runtime():
    """The AddressSanitizer runtime of the host compiler (it is under /usr/lib,
    which the board root binds)."""
    out = subprocess.run(["gcc", "-print-file-name=libasan.so"], check=True,
                         capture_output=True, text=True).stdout.strip()
    return os.path.realpath(out)


def faketime_library():
    found = sorted(glob.glob("/usr/lib/*/faketime/libfaketime.so.1"))
    return found[0] if found else None


def bwrap_command(board, launcher, devemu, *, arch="host", network=False, mem_file,
                  tty=None, environment=(), faketime=None, uart_drain=None):
    """The argv that boots `launcher` in the board root (built by build_root).

    `network` False: own empty network namespace; True: the caller runs the
    command in a namespace it made, and the launcher may configure it; `tty` the console's terminal device to bind at /dev/ttyS0;
    `environment` extra NAME=VALUE pairs for the launcher; `uart_drain` the
    host's libuartdrain.so, preloaded into the receiver on a pty console.
    """
    b = ["bwrap", "--bind", board.root, "/",
         "--ro-bind", "/usr/lib", "/usr/lib"]
    if os.path.isdir("/usr/lib64"):
        b += ["--ro-bind", "/usr/lib64", "/usr/lib64"]
    for name in ("mtd-uboot", "mtd-ubootenv", "mtd-devicetree", "mtd-kernel", "mtd-rfs",
                 "mtd-rescue", "eeprom", "rtc", "i2c-0"):
        b += ["--bind", board.dev(name), "/dev/" + name]
    b += ["--bind", mem_file, "/dev/mem"]
    for name in ("null", "zero", "urandom"):
        b += ["--dev-bind", "/dev/" + name, "/dev/" + name]
    if tty:
        b += ["--dev-bind", tty, "/dev/ttyS0"]
    b += ["--bind", board.user, "/user", "--bind", board.tmp, "/tmp",
          "--bind", board.usb, "/mnt/usb",
          "--bind", board.commands_log, LOG, "--bind", board.events_log, EVENTS,
          "--ro-bind", HOST_BUSYBOX, BUSYBOX, "--ro-bind", HOST_ENV, SIM + "/env",
          "--ro-bind", launcher, SIM + "/launcher"]
    if os.path.exists(HOST_RX):
        b += ["--ro-bind", HOST_RX, SIM + "/lrzsz/rx"]
    if devemu:
        b += ["--ro-bind", devemu, SIM + "/libdevemu.so"]
    if uart_drain:
        b += ["--ro-bind", uart_drain, SIM + "/uartdrain.so"]
    coverage = os.environ.get("LAUNCHER_COVERAGE_DIR")
    if coverage:  # a --coverage build writes its counts beside its objects
        b += ["--bind", coverage, coverage]
    if arch == "ppc":
        b += ["--ro-bind", PPC_SYSROOT, PPC_SYSROOT, "--ro-bind", HOST_QEMU_PPC, SIM + "/qemu-ppc"]
    b += ["--proc", "/proc", "--unshare-pid", "--unshare-ipc", "--unshare-uts",
          "--cap-drop", "ALL", "--die-with-parent", "--clearenv",
          "--setenv", "PATH", BOARD_PATH, "--setenv", "HOME", "/",
          "--setenv", "TERM", os.environ.get("TERM", "vt100"), "--chdir", "/"]
    if not network:
        b.insert(1, "--unshare-net")
    else:
        # After '--cap-drop ALL': bwrap applies the two in order.
        b += ["--cap-add", "CAP_NET_ADMIN", "--cap-add", "CAP_NET_RAW"]
    b += [SIM + "/env", "--default-signal=INT"]
    b += _launch(arch, devemu, environment, faketime)
    return ["env", "--ignore-signal=INT"] + b


def _launch(arch, devemu, environment, faketime):
    env = list(environment)
    if arch == "ppc":
        cmd = [SIM + "/qemu-ppc", "-L", PPC_SYSROOT]
        for pair in env:
            cmd += ["-E", pair]
        if devemu:
            cmd += ["-E", "LD_PRELOAD=" + SIM + "/libdevemu.so"]
        return cmd + [SIM + "/launcher"]
    preload = [SIM + "/libdevemu.so"] if devemu else []
    if arch == "asan":
        # The sanitizer runtime must be the first library loaded. A report
        # ends the launcher; leaks are not checked (see ASAN_OPTIONS). Given
        # first, so that --env can override them.
        preload.insert(0, asan_runtime())
        env = ["ASAN_OPTIONS=" + ASAN_OPTIONS, "UBSAN_OPTIONS=print_stacktrace=1"] + env
    if faketime:
        preload.append(faketime_library())
    if preload:
        env.append("LD_PRELOAD=" + ":".join(preload))
    return env + [SIM + "/launcher"]
