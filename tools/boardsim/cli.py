"""Command line of the board simulator (see 'boardsim --help' and docs/boardsim.md)."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

import boardfs
import images
import power
import runner

DESCRIPTION = """\
Simulated switch board for the launcher. A board is a folder (boardsim create);
'run' boots the real launcher binary in a sandbox (bubblewrap, no capabilities,
own network namespace) whose devices are the board folder's files."""


def _parser():
    p = argparse.ArgumentParser(prog="boardsim", description=DESCRIPTION)
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    c = sub.add_parser("create", help="make a board folder (erased flash and EEPROM)")
    c.add_argument("board")

    c = sub.add_parser("setenv", help="set boot-loader variables (NAME= removes one)")
    c.add_argument("board")
    c.add_argument("assignments", nargs="*", metavar="NAME=VALUE")

    c = sub.add_parser("eeprom", help="set EEPROM bytes; print the known fields")
    c.add_argument("board")
    c.add_argument("assignments", nargs="*", metavar="FIELD=BYTE|OFFSET=BYTE",
                   help="fields: boot-slot, running-image, usb-marker")

    c = sub.add_parser("rtc", help="set the board clock (UTC); it ticks on from there")
    c.add_argument("board")
    c.add_argument("time", metavar="'YYYY-MM-DD HH:MM:SS'")
    c.add_argument("--stopped", action="store_true", help="the clock stays at that time")

    c = sub.add_parser("slot", help="copy a container into /user/images/imageN")
    c.add_argument("board")
    c.add_argument("slot", type=int, choices=(1, 2))
    c.add_argument("image")

    c = sub.add_parser("usb", help="put files on the USB stick, or take it out")
    c.add_argument("board")
    c.add_argument("sources", nargs="*", metavar="SRC[=NAME]")
    c.add_argument("--remove", action="store_true", help="empty the stick first")
    # Options between or after the sources ('usb BOARD --remove SRC'): a plain
    # parse ends the list of sources at the first option.
    p.intermixed = {"usb": c}

    c = sub.add_parser("image", help="build a test application image (a container)")
    c.add_argument("out", metavar="OUT")
    c.add_argument("--version", default="1.0.0.1", metavar="A.B.C.D",
                   help="version of every record (default 1.0.0.1)")
    c.add_argument("--program", metavar="FILE",
                   help="home/bin/mp.elf.strip (default: a script printing its version)")
    c.add_argument("--kernel", metavar="FILE", help="a kernel record before the application")
    c.add_argument("--form", choices=("plain", "extended", "hdr3"), default="plain",
                   help="header form of every record (default plain)")

    c = sub.add_parser("run", help="power the board on and boot the launcher")
    c.add_argument("board")
    _run_options(c)

    c = sub.add_parser("power", help="switch the power of a running board: off, on or cycle")
    c.add_argument("board")
    c.add_argument("action", choices=("off", "on", "cycle"))

    c = sub.add_parser("status", help="whether a board runs: pid, machine, port, power")
    c.add_argument("board")

    c = sub.add_parser("demo", help="boot a demo board: slot 2 holds a newer application")
    c.add_argument("--arch", choices=("host", "ppc", "vm"), default="host")
    c.add_argument("--keep", metavar="DIR", help="make the demo board in DIR and keep it")
    _log_option(c)
    return p


def _log_option(c):
    c.add_argument("--log", metavar="FILE",
                   help="append every console line to FILE, with the host time and the "
                        "seconds since power-on")


def _run_options(c):
    c.add_argument("--arch", choices=("host", "asan", "ppc", "vm"), default="host",
                   help="host build, its AddressSanitizer build, the PowerPC build under "
                        "qemu-ppc, or the PowerPC build on an emulated machine with a real kernel")
    c.add_argument("--cycles", type=int, default=1, metavar="N",
                   help="power on again after a reboot, up to N starts")
    c.add_argument("--usb-delay", type=float, default=0.0, metavar="S",
                   help="seconds until a stick becomes ready (/tmp/usb)")
    c.add_argument("--network", action="store_true",
                   help="eth0 on a veth to a TFTP peer at 192.0.2.1 (root only)")
    c.add_argument("--link-down", action="store_true", help="like --network, peer link down")
    c.add_argument("--faketime", metavar="SETTING",
                   help="preload libfaketime with FAKETIME=SETTING (e.g. '+0 x10')")
    c.add_argument("--fast-clock", action="store_true",
                   help="vm: the machine's time runs on at once while it idles (sleeps "
                        "and time-outs cost no waiting)")
    c.add_argument("--dhclient", action="store_true", help="provide a /bin/dhclient stub")
    c.add_argument("--without", action="append", default=[], metavar="PROGRAM",
                   help="leave a board program out (e.g. md5sum); repeatable")
    c.add_argument("--env", action="append", default=[], metavar="NAME=VALUE",
                   help="extra environment variable for the launcher; repeatable")
    c.add_argument("--console", metavar="pty[=LINK]",
                   help="the console on a new pty (and LINK, a symlink to it) for a "
                        "terminal program; the board powers on once one opens it")
    c.add_argument("--line", choices=("paced", "unpaced"), default="paced",
                   help="with --console pty: bytes take 10 bit times at the sender's speed, "
                        "or pass at once (speeds are compared either way)")
    _log_option(c)


def _cmd_run(args):
    board = boardfs.Board(args.board).check()
    lock = boardfs.hold(board)  # noqa: F841 (held until the run ends)
    opts = runner.Options(arch=args.arch, cycles=args.cycles, usb_delay=args.usb_delay,
                          network=args.network, link_down=args.link_down,
                          faketime=args.faketime, dhclient=args.dhclient,
                          without=args.without, env=args.env, console=args.console,
                          line=args.line, fast_clock=args.fast_clock, log=args.log)
    runner.run(board, opts)
    return 0


def _a_board(path):
    board = boardfs.Board(path)
    try:
        return board.check()
    except boardfs.BoardError:
        raise boardfs.BoardError("no board at %s" % path) from None


def _cmd_power(args):
    board = _a_board(args.board)
    answer = power.ask(board, args.action)
    if answer is None:
        raise boardfs.BoardError("%s is not running" % args.board)
    if answer.startswith("already "):
        print("boardsim: %s is %s" % (args.board, answer))
    elif answer != "done":
        raise boardfs.BoardError("%s did not switch %s: %s" % (args.board, args.action, answer))
    return 0


def _cmd_status(args):
    board = _a_board(args.board)
    answer = power.ask(board, "status")
    holder = power.lock_holder(board) if answer is None else None
    if answer is None and holder is None:
        print("state: stopped")
    else:
        # A run that is still making the board holds it before it answers.
        print("state: running\n" + (answer or "pid: " + holder))
    return 0


def _cmd_usb(args):
    board = boardfs.Board(args.board).check()
    if args.remove:
        boardfs.usb_remove(board)
    for arg in args.sources:
        src, name = boardfs.split_usb_source(arg)
        if not os.path.exists(src):
            raise boardfs.BoardError("no such file: %s" % src)
        boardfs.usb_add(board, src, name)
    return 0


def _cmd_eeprom(args):
    board = boardfs.Board(args.board).check()
    if args.assignments:
        boardfs.set_eeprom_fields(board, args.assignments)
    else:
        print("\n".join(boardfs.describe_eeprom(board)))
    return 0


def _cmd_setenv(args):
    board = boardfs.Board(args.board).check()
    for text in args.assignments:
        name, _, value = text.partition("=")
        warning = boardfs.unread_name_warning(name) if name and value else None
        if warning:
            print("boardsim: warning: %s" % warning, file=sys.stderr)
    pairs = boardfs.setenv(board, args.assignments) if args.assignments \
        else boardfs.read_env(board)
    for warning in boardfs.unread_tail_warnings(pairs) if args.assignments else ():
        print("boardsim: warning: %s" % warning, file=sys.stderr)
    if not args.assignments:
        for name, value in pairs:
            print("%s=%s" % (name, value))
    return 0


def _cmd_image(args):
    try:
        images.parse_version(args.version)
        program = open(args.program, "rb").read() if args.program else None
        kernel = open(args.kernel, "rb").read() if args.kernel else None
        records = [{"type": "kernel", "data": kernel}] if kernel is not None else []
        records.append({"type": "application", "version": args.version,
                        "data": images.app_archive(args.version, app=program)})
        for r in records:
            r.update(version=args.version, form=args.form)
        images.build_container(args.out, records)
    except (ValueError, RuntimeError, subprocess.CalledProcessError) as e:
        raise boardfs.BoardError(str(e)) from None
    print("%s: %s %s, %d bytes" % (args.out, " and ".join(r["type"] for r in records),
                                    args.version, os.path.getsize(args.out)))
    return 0


def make_demo_board(path, lock=None):
    """Slot 1: kernel + application 1.0.0.1; slot 2: application 2.0.0.1;
    boot-slot byte 2. Returns the Board. `lock`: the caller's run lock of an
    existing board at `path`."""
    board = boardfs.create(path, lock)
    scratch = os.path.join(board.path, "images")
    os.makedirs(scratch, exist_ok=True)
    kernel = b"demo kernel\n" * 64
    images.build_container(os.path.join(scratch, "image1"), [
        {"type": "kernel", "data": kernel, "version": "1.0.0.1"},
        {"type": "application", "data": images.app_archive("1.0.0.1"), "version": "1.0.0.1"}])
    images.build_container(os.path.join(scratch, "image2"), [
        {"type": "application", "data": images.app_archive("2.0.0.1"), "version": "2.0.0.1"}])
    boardfs.install_slot(board, 1, os.path.join(scratch, "image1"))
    boardfs.install_slot(board, 2, os.path.join(scratch, "image2"))
    boardfs.set_eeprom_fields(board, ["boot-slot=2"])
    return board


NEXT_STEPS = """\
  boot it again:       {prog} run {dir}
  the rescue menu:     {prog} setenv {dir} diagnostics=rescue; {prog} run {dir}
  a serial port:       {prog} run {dir} --console pty=/tmp/board-tty
                       then in another terminal: picocom -b 9600 /tmp/board-tty
  a bench walkthrough: docs/bench.md"""


def _cmd_demo(args):
    path = args.keep or tempfile.mkdtemp(prefix="boardsim-demo.")
    try:
        kept = boardfs.Board(path)
        lock = boardfs.hold(kept) if os.path.exists(kept.dev("eeprom")) else None
        board = make_demo_board(path, lock)
        lock = lock or boardfs.hold(board)
        print("board: demo board in %s: slot 1 holds a kernel and application 1.0.0.1, "
              "slot 2 application 2.0.0.1, boot-slot byte 2" % board.path, flush=True)
        runner.run(board, runner.Options(arch=args.arch, log=args.log))
    finally:
        if not args.keep:
            shutil.rmtree(path, ignore_errors=True)
    prog = sys.argv[0] if os.path.basename(sys.argv[0]) == "boardsim" else "boardsim"
    if args.keep:
        print("The board stays in %s. What to try next:" % path)
    else:
        print("What to try next:\n  keep the board:      %s demo --keep DIR (scripts/demo "
              "--keep DIR)" % prog)
    print(NEXT_STEPS.format(prog=prog, dir=path if args.keep else "DIR"))
    return 0


COMMANDS = {
    "create": lambda a: boardfs.create(a.board) and 0,
    "setenv": _cmd_setenv,
    "eeprom": _cmd_eeprom,
    "rtc": lambda a: boardfs.set_rtc(boardfs.Board(a.board).check(), a.time, a.stopped) or 0,
    "slot": lambda a: boardfs.install_slot(boardfs.Board(a.board).check(), a.slot, a.image)
    and 0,
    "usb": _cmd_usb,
    "image": _cmd_image,
    "run": _cmd_run,
    "power": _cmd_power,
    "status": _cmd_status,
    "demo": _cmd_demo,
}


def main(argv):
    parser = _parser()
    intermixed = parser.intermixed.get(argv[0]) if argv else None
    # Without a board, the intermixed parse would also call the optional
    # sources required.
    if intermixed and not {"-h", "--help"} & set(argv) and \
            all(a.startswith("-") for a in argv[1:]):
        intermixed.error("the following arguments are required: board")
    args = intermixed.parse_intermixed_args(argv[1:], argparse.Namespace(command=argv[0])) \
        if intermixed else parser.parse_args(argv)
    try:
        return COMMANDS[args.command](args)
    except FileNotFoundError as e:
        # Named as the operator gave it: the folder a link was to go in, or
        # the file itself.
        missing = "folder: " + os.path.dirname(e.filename2) if e.filename2 else "file: %s" % e.filename
        print("boardsim: no such %s" % missing, file=sys.stderr)
        return 1
    except (boardfs.BoardError, runner.RunError, OSError) as e:
        print("boardsim: %s" % e, file=sys.stderr)
        return 1
