"""The board as an emulated PowerPC machine (boardsim run --arch vm).

QEMU's ppce500 machine with an e500mc runs a kernel and a root file system
built from Debian's sources by scripts/vm-build (tools/boardvm holds their
configuration and the start-up files). The PowerPC launcher of the ppc build
runs unmodified, as init's first program on the console, against the
kernel's own drivers, with no preload library:

    disks vda..vdf   the six flash files of BOARD/dev, block2mtd -> /dev/mtd0..5
    disk vdg         /user: a jffs2 image made from BOARD/user at power-on
                     (block2mtd -> mtd6, /dev/mtd-user = mtdblock6)
    disk vdh         handed in: board.conf, launcher.env, BOARD/tmp, the stick
    disk vdi         handed out at power-off: a tar of /user, /tmp and the logs
    I2C 0x50         24xx EEPROM on BOARD/dev/eeprom (written through)
    I2C 0x68         the machine's clock, started at the board clock's time
    ttyS0            the 16550 console, on a pty that this module carries

The guest hands its files out before it powers off (/.sim/board-off); then
BOARD/user and BOARD/tmp are replaced with what it handed out, and its
command and event logs are appended to the board's. A machine that stopped
without handing out leaves them as they were.
"""

import datetime
import io
import os
import select
import shutil
import socket
import subprocess
import tarfile
import tempfile
import termios
import threading
import tty

import boardfs
import serialline

QEMU = "/usr/bin/qemu-system-ppc"
MKFS_JFFS2 = "/usr/sbin/mkfs.jffs2"
PPC_LIB = "/usr/powerpc-linux-gnu/lib"
USER_SIZE = 32 * boardfs.MIB         # the user partition
OUT_SIZE = 192 * boardfs.MIB         # room for /user and /tmp handed out
# The UART clock in QEMU's device tree is 64 times QEMU's own: the guest's
# 9600 bit/s reach the pty as 150.
UART_SCALE = 64
# What the operator's port holds back before its program sees it (a USB serial
# adapter's latency timer is 16 ms by default). A busy host can stop the
# machine's CPU for milliseconds between two instructions, longer than an
# unheld round trip through the port: lrzsz's receiver sends its ACK, then
# empties its input, and lost the start of the block that the sender had
# already sent in answer. On the switch the ACK is still on the wire then.
PORT_LATENCY = 0.02
# QEMU 7.2 without -icount sometimes leaves its main loop asleep past the
# decrementer deadline that the CPU thread has just set: the machine idles
# with its timer interrupt due, and stands still until a host event (a key on
# the console, a monitor command) wakes the loop, which then runs the overdue
# timer. An empty line to the human monitor every NUDGE_PERIOD seconds is such
# an event, so a stand-still lasts at most that long: a two-slot install stood
# still in 7 of about 50 runs without it, in none of 130 with it. QMP would
# not do: a thread of its own reads its input, and wakes nothing.
NUDGE_PERIOD = 0.02
LIBS = ("ld.so.1", "libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1")
NETWORK = "192.0.2.0/24"
PEER = "192.0.2.1"


class VmError(boardfs.BoardError):
    """The machine cannot be started (nothing was started)."""


def _top():
    return os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))


def built_parts():
    """(kernel folder, userland folder) from scripts/vm-build, which builds
    them first when this machine has not yet (about 10 minutes)."""
    script = os.path.join(_top(), "scripts", "vm-build")
    result = subprocess.run([script, "check"], stdout=subprocess.PIPE, text=True)
    if result.returncode != 0:
        result = subprocess.run([script], stdout=subprocess.PIPE, text=True)
    lines = result.stdout.split()
    if result.returncode != 0 or len(lines) < 2:
        raise VmError("scripts/vm-build failed (status %d)" % result.returncode)
    return lines[-2], lines[-1]


def _applets(userland):
    with open(os.path.join(userland, "busybox.links")) as f:
        return [line.strip().lstrip("/") for line in f if line.strip()]


def build_rootfs(board, launcher, userland, stage):
    """The root file system's folder `stage` and its cpio archive; returns the archive."""
    shutil.rmtree(stage, ignore_errors=True)
    for d in ("proc", "sys", "dev", "tmp", "user", "mnt/usb", "lib", ".sim/in"):
        os.makedirs(os.path.join(stage, d), exist_ok=True)
    shutil.copytree(os.path.join(_top(), "tools", "boardvm", "rootfs"), stage, symlinks=True,
                    dirs_exist_ok=True)
    # The start-up files' programs stand in for busybox's applets of the same name.
    links = {"sbin/ifconfig": "/.sim/stubs/ifconfig", "sbin/route": "/.sim/stubs/route",
             "usr/bin/tftp": "/.sim/stubs/tftp", "init": "/.sim/busybox",
             "bin/busybox": "/.sim/busybox"}
    for rel in _applets(userland):
        links.setdefault(rel, "/.sim/busybox")
    for rel, target in links.items():
        path = os.path.join(stage, rel)
        if not os.path.lexists(path):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            os.symlink(target, path)
    shutil.copy(os.path.join(userland, "busybox"), os.path.join(stage, ".sim/busybox"))
    os.makedirs(os.path.join(stage, ".sim/lrzsz"))
    shutil.copy(os.path.join(userland, "rx"), os.path.join(stage, ".sim/lrzsz/rx"))
    shutil.copy(launcher, os.path.join(stage, ".sim/launcher"))
    for lib in LIBS:
        shutil.copy(os.path.join(PPC_LIB, lib), os.path.join(stage, "lib", lib))
    archive = stage + ".cpio"
    with open(archive, "wb") as out:
        names = subprocess.run(["find", "."], cwd=stage, check=True, capture_output=True).stdout
        subprocess.run(["cpio", "-o", "-H", "newc", "--quiet", "-R", "0:0"], cwd=stage,
                       input=names, stdout=out, check=True)
    return archive


def _shell_word(text):
    return "'" + text.replace("'", "'\\''") + "'"


def hand_in(board, opts, path):
    """The tar of what the guest reads at start-up (see the module's description)."""
    conf = {"STICK": int(boardfs.usb_inserted(board)), "USB_DELAY": "%g" % opts.usb_delay,
            "NETWORK": int(opts.network), "DHCLIENT": int(opts.dhclient),
            "WITHOUT": " ".join(opts.without),
            # The test tool in the launcher's place (tools/installcmd) finds
            # /user mounted, as the launcher's start-up leaves it.
            "MOUNT_USER": int(any(p.startswith("INSTALLCMD=") for p in opts.env))}
    text = "".join("%s=%s\n" % (k, _shell_word(str(v))) for k, v in conf.items())
    env = "set -- " + " ".join(_shell_word(p) for p in opts.env) + "\n"
    with tarfile.open(path, "w", format=tarfile.GNU_FORMAT) as tar:
        for name, data in (("board.conf", text), ("launcher.env", env)):
            info = tarfile.TarInfo(name)
            info.size = len(data.encode())
            info.mode = 0o644
            tar.addfile(info, fileobj=io.BytesIO(data.encode()))
        tar.add(board.tmp, "tmp")
        if boardfs.usb_inserted(board):
            tar.add(board.usb, "usb")


def user_image(board, path):
    """A big-endian jffs2 image of BOARD/user, padded to the partition."""
    subprocess.run([MKFS_JFFS2, "-b", "-e", "0x10000", "-n", "-q", "-d", board.user,
                    "-o", path], check=True)
    # Erased flash after the file system (mkfs.jffs2 --pad takes seconds for it).
    with open(path, "ab") as f:
        left = USER_SIZE - f.tell()
        if left < 0:
            raise VmError("BOARD/user holds more than the %d MiB of the user partition"
                          % (USER_SIZE // boardfs.MIB))
        block = b"\xff" * boardfs.MIB
        while left > 0:
            left -= f.write(block[:min(left, len(block))])


def clock_base(board):
    """QEMU's -rtc base: the board clock's time now (UTC), or the host's when
    its registers hold no valid time."""
    regs = [r & m for r, m in zip(boardfs.rtc_registers(board),
                                  (0x7F, 0x7F, 0x3F, 0x07, 0x3F, 0x1F, 0xFF))]
    sec, mins, hour, _, day, month, year = ((r >> 4) * 10 + (r & 0xF) for r in regs)
    try:
        when = datetime.datetime(2000 + year, month, day, hour, mins, sec)
    except ValueError:
        return "utc"
    return when.strftime("%Y-%m-%dT%H:%M:%S")


def _disk(n, path, readonly=False):
    ro = ",readonly=on" if readonly else ""
    return ["-drive", "if=none,id=d%d,file=%s,format=raw%s" % (n, path, ro),
            "-device", "virtio-blk-pci,drive=d%d,romfile=" % n]


def qemu_command(board, kernel, archive, disks, tty_path, opts, fast):
    """The QEMU argv of one power-on."""
    cmd = [QEMU, "-M", "ppce500", "-cpu", "e500mc", "-m", "256", "-display", "none",
           "-monitor", "none", "-no-reboot", "-kernel", os.path.join(kernel, "vmlinux"),
           "-initrd", archive, "-append", "console=ttyS0,9600",
           "-chardev", "serial,id=s0,path=" + tty_path, "-serial", "chardev:s0",
           "-rtc", "base=%s,clock=vm" % clock_base(board)]
    for n, path in enumerate(disks):
        cmd += _disk(n, path)
    cmd += ["-drive", "if=none,id=eep,file=%s,format=raw" % board.dev("eeprom"),
            "-device", "at24c-eeprom,address=0x50,rom-size=65536,drive=eep"]
    if opts.network:
        cmd += ["-netdev", "user,id=n0,net=%s,host=%s,tftp=%s,dhcpstart=192.0.2.15,"
                "restrict=on" % (NETWORK, PEER, board.tftp),
                "-device", "virtio-net-pci,netdev=n0,romfile="]
    else:
        cmd += ["-nic", "none"]
    if fast:
        # Guest time does not wait for the host's clock while the guest is idle.
        cmd += ["-icount", "shift=auto,sleep=off"]
    return cmd


class Nudge:
    """Wakes QEMU's main loop every NUDGE_PERIOD seconds with an empty line
    to a monitor on a socket pair (its prompts are dropped)."""

    def __init__(self):
        self.ours, self.theirs = socket.socketpair()
        self.ours.setblocking(False)
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def qemu_args(self):
        return ["-chardev", "socket,id=nudge,fd=%d" % self.theirs.fileno(),
                "-mon", "chardev=nudge,mode=readline"]

    def start(self):
        """Once QEMU holds its end."""
        self.theirs.close()
        self.thread.start()

    def _run(self):
        while not self.done.wait(NUDGE_PERIOD):
            try:
                self.ours.send(b"\n")
                while self.ours.recv(4096):
                    pass
            except BlockingIOError:
                continue
            except OSError:   # QEMU has ended
                return

    def stop(self):
        self.done.set()
        if self.thread.is_alive():
            self.thread.join()
        self.theirs.close()
        self.ours.close()


def _extract(tar, member_prefix, dest):
    """Replaces folder `dest` with the tar's `member_prefix`/ tree."""
    members = [m for m in tar.getmembers()
               if m.name == member_prefix or m.name.startswith(member_prefix + "/")]
    for m in members:
        parts = m.name.split("/")
        if m.name.startswith("/") or ".." in parts or m.islnk() or m.isdev():
            raise VmError("the board handed out an unsafe entry: %s" % m.name)
    scratch = tempfile.mkdtemp(dir=os.path.dirname(dest))
    tar.extractall(scratch, members)
    # The old tree goes aside whole and the new one comes in whole: a run
    # ended in between leaves the one or the other, never a mixture.
    old = os.path.join(scratch, "old")
    if os.path.lexists(dest):
        os.rename(dest, old)
    os.rename(os.path.join(scratch, member_prefix), dest)
    shutil.rmtree(scratch)


def hand_out(board, path):
    """Reads the guest's hand-out disk into the board folder; returns (events,
    launcher status or None), or None when the guest handed nothing out."""
    try:
        tar = tarfile.open(path, "r:")
        names = set(tar.getnames())
    except (tarfile.TarError, OSError):
        return None
    with tar:
        if ".sim/handed" not in names:
            return None
        for name, log in ((".sim/commands.log", board.commands_log),
                          (".sim/events.log", board.events_log)):
            with open(log, "ab") as f:
                f.write(tar.extractfile(name).read())
        events = tar.extractfile(".sim/events.log").read().decode("utf-8", "replace")
        status = int(tar.extractfile(".sim/status").read()) if ".sim/status" in names else None
        for prefix, dest in (("user", board.user), ("tmp", board.tmp)):
            if prefix in names:
                _extract(tar, prefix, dest)
    return events.splitlines(), status


def _read_packet(master):
    """Data from a packet-mode master ('' when none; None when the slave side is gone)."""
    try:
        got = os.read(master, 4096)
    except BlockingIOError:
        return b""
    except OSError:
        return None
    return got[1:] if got and got[0] == 0 else b""


def carry_to_terminal(proc, master, tap=None):
    """Carries the console between the machine's pty and this process's own
    terminal (raw, so that Ctrl-C reaches the board as a byte) until QEMU ends;
    tap(bytes) sees what reaches the terminal."""
    saved = termios.tcgetattr(0) if os.isatty(0) else None
    if saved is not None:
        tty.setraw(0, termios.TCSANOW)
    try:
        inputs = [master, 0]
        while proc.poll() is None:
            for fd in _readable(inputs, 0.1):
                data = _read_packet(master) if fd == master else os.read(0, 4096)
                if fd == master:
                    os.write(1, data or b"")
                    if tap and data:
                        tap(data)
                elif data:
                    os.write(master, data)
                else:
                    inputs.remove(0)
        data = _read_packet(master)
        while data:
            os.write(1, data)
            if tap:
                tap(data)
            data = _read_packet(master)
    finally:
        if saved is not None:
            termios.tcsetattr(0, termios.TCSADRAIN, saved)


def _readable(fds, seconds):
    p = select.poll()
    for fd in fds:
        p.register(fd, select.POLLIN | select.POLLPRI)
    return [fd for fd, ev in p.poll(seconds * 1000) if ev & (select.POLLIN | select.POLLPRI)]


EXTPROC = 0o200000  # <asm-generic/termbits.h>; Python's termios does not name it


def _report_settings(slave):
    """With EXTPROC on the slave, every change of its settings (QEMU's speed
    changes for the UART) reaches the packet-mode master in order with the
    data, so the bytes written before a speed switch keep their speed."""
    attrs = termios.tcgetattr(slave)
    attrs[3] |= EXTPROC
    termios.tcsetattr(slave, termios.TCSANOW, attrs)


def _early_console(proc, master, port, tap):
    """Carries the kernel's first lines as they are until its serial driver
    sets the console's speed: the early console writes at whatever divisor
    the UART holds (on the switch, the boot loader has set it to 9600 bit/s;
    on QEMU, nothing has, and QEMU passes several speeds to the pty)."""
    console = serialline.CONSOLE_SPEED // UART_SCALE
    serialline.set_speed(master, console)
    moved = False
    while proc.poll() is None:
        speed = serialline.speeds(master)[1]
        moved = moved or speed != console
        if moved and speed == console:
            return
        for _ in _readable([master], 0.05):
            data = _read_packet(master)
            if data:
                os.write(port.master, data)
                if tap:
                    tap(data)


def carry_to_port(proc, master, port, paced, tap=None, cut=lambda: False):
    """Carries the console between the machine's pty and the operator's port,
    through the line model, with the UART's speed as the board's; tap(bytes)
    sees what reaches the port. After a power cut (cut() true) what the
    machine had sent is dropped."""
    _early_console(proc, master, port, tap)
    line = serialline.Line(master, port.master, paced, board_scale=UART_SCALE,
                           latency=PORT_LATENCY)
    line.down.tap = tap
    while proc.poll() is None:
        line.step(0.1)
    if not cut():
        line.drain(5.0)


def power_on(board, opts, launcher, port=None, control=None, tap=None):
    """One power-on of the vm board; returns ((events, status) as handed out,
    or None when the machine stopped without handing out; QEMU's status).
    `control`: the run's power switch (power.Control), which may cut the
    power: then whatever the machine handed out is ignored, as it may be half
    written. tap(bytes) sees the console's output."""
    kernel, userland = built_parts()
    for tool in (QEMU, MKFS_JFFS2):
        if not os.access(tool, os.X_OK):
            raise VmError("%s is missing (scripts/setup installs it)" % tool)
    os.makedirs(board.root, exist_ok=True)
    stage = os.path.join(board.root, "vm")
    archive = build_rootfs(board, launcher, userland, stage)
    user, given, out = (os.path.join(board.root, n) for n in ("user.jffs2", "in.tar", "out.img"))
    user_image(board, user)
    hand_in(board, opts, given)
    with open(given, "r+b") as f:   # block devices come in whole sectors
        f.truncate((os.path.getsize(given) + 511) // 512 * 512)
    with open(out, "wb") as f:
        f.truncate(OUT_SIZE)
    disks = [board.dev(n) for n in boardfs.PARTITIONS] + [user, given, out]
    master, path = serialline.open_pty()
    keep = os.open(path, os.O_RDWR | os.O_NOCTTY)   # the pty stays up between QEMU's opens
    _report_settings(keep)
    proc = None
    nudge = Nudge()
    try:
        cmd = qemu_command(board, kernel, archive, disks, path, opts, opts.fast_clock)
        proc = subprocess.Popen(cmd + nudge.qemu_args(), stdin=subprocess.DEVNULL,
                                pass_fds=(nudge.theirs.fileno(),))
        nudge.start()
        cut = control.was_cut if control else lambda: False
        if control:
            control.attach(proc)
        if port:
            carry_to_port(proc, master, port, opts.paced, tap, cut)
        else:
            carry_to_terminal(proc, master, tap)
    finally:
        if proc and proc.poll() is None:
            proc.terminate()
            proc.wait()
        nudge.stop()
        os.close(keep)
        os.close(master)
    handed = None if cut() else hand_out(board, out)
    shutil.rmtree(stage, ignore_errors=True)
    for name in (user, given, out, archive):
        os.unlink(name)
    return handed, proc.returncode
