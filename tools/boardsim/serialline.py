"""The board's serial line: two pseudo-terminals and the simulator as the UART.

The board's console is a terminal of its own (the slave of the board's pty);
the operator's port is a second pty whose slave a terminal program opens
(picocom, minicom, screen, or lrzsz's sz on its standard input and output).
The simulator holds both masters and carries the bytes itself:

- each side's bytes are taken off its pty as soon as they arrive, so a flush
  of the slave after a drain (which on a pty does not wait) finds nothing left
  to drop;
- each direction is paced at 10 bit times a byte at the sender's speed (the
  speed set on the slave, which tcgetattr on the master reports), unless the
  line is unpaced;
- when the sender's and the receiver's speeds differ, the receiver gets what
  a UART sampling at its own rate makes of the sender's bits;
- while no program has the port open, the board's output is held, not lost.

Both masters are in packet mode: a change of the slave's settings that
switches flow control (as the launcher's download settings and their restore
do), or any change where the slave has EXTPROC set (the vm's console, whose
speed QEMU sets), is reported; the bytes written ahead of it keep the speed
they were written at (see Direction.take).
"""

import collections
import fcntl
import os
import select
import struct
import termios
import time

CONSOLE_SPEED = 9600      # the board's console at every power-on
HOLD = 64 * 1024          # bytes queued in one direction before the sender waits
IDLE = 0.1                # seconds between looks at a port nobody has open
SETTLE = 0.05             # seconds after a reported change of the sender's settings

SPEEDS = {getattr(termios, "B%d" % n): n for n in (
    50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400,
    57600, 115200, 230400, 460800, 500000, 576000, 921600, 1000000, 1152000, 1500000,
    2000000, 2500000, 3000000, 3500000, 4000000) if hasattr(termios, "B%d" % n)}
BAUD = {n: b for b, n in SPEEDS.items()}


def open_pty():
    """(master, slave path) of a new pty in packet mode, the slave closed."""
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    os.set_blocking(master, False)
    fcntl.ioctl(master, termios.TIOCPKT, struct.pack("i", 1))
    return master, path


def set_speed(fd, bits_per_second):
    attrs = termios.tcgetattr(fd)
    attrs[4] = attrs[5] = BAUD[bits_per_second]
    termios.tcsetattr(fd, termios.TCSANOW, attrs)


def speeds(fd, scale=1):
    """(input, output) speed in bit/s of the slave behind master `fd`; `scale`
    times the speed set on it (a UART that sets its pty slower than itself)."""
    attrs = termios.tcgetattr(fd)
    out = SPEEDS.get(attrs[5], 0) * scale
    return SPEEDS.get(attrs[4], 0) * scale or out, out


def attached(master):
    """True while a program has the slave of `master` open."""
    p = select.poll()
    p.register(master, select.POLLIN)
    return not any(ev & select.POLLHUP for _, ev in p.poll(0))


def _frames(data):
    for byte in data:
        yield 0
        for i in range(8):
            yield (byte >> i) & 1
        yield 1


def garble(data, sent_at, read_at):
    """What a UART reading at `read_at` bit/s receives of `data` sent back to back
    at `sent_at` bit/s: it starts a byte at each falling edge of the line and
    samples the middle of each of its own bit times; a byte whose stop bit
    reads 0 arrives as NUL (a framing error, as Linux passes it by default)."""
    bits = list(_frames(data))
    ratio = sent_at / read_at             # the reader's bit time in sender bit times

    def level(t):
        return bits[int(t)] if t < len(bits) else 1
    out, i = bytearray(), 0
    while True:
        while i < len(bits) and not (bits[i] == 0 and (i == 0 or bits[i - 1] == 1)):
            i += 1
        if i >= len(bits):
            return bytes(out)
        samples = [level(i + (k + 0.5) * ratio) for k in range(10)]
        if samples[0] == 0:
            value = sum(bit << k for k, bit in enumerate(samples[1:9]))
            out.append(value if samples[9] else 0)
            end = i + 9.5 * ratio
        else:
            end = i + 0.5 * ratio
        i = max(i + 1, int(end) + (1 if end > int(end) else 0))


class Direction:
    """One direction of the line: from master `src` to master `dst`."""

    def __init__(self, src, dst, paced, scales=(1, 1), latency=0.0):
        self.src, self.dst, self.paced = src, dst, paced
        self.latency = latency              # seconds before the first byte of a batch is due
        self.scales = scales                # of the sender's and the receiver's speeds
        self.chunks = collections.deque()   # [first byte due, seconds a byte, data, sent]
        self.busy_until = 0.0
        self.sent_at = self._speed()        # of the last bytes taken
        self.settled_at = self.sent_at      # the sender's speed after its last reported change
        self.settle_until = 0.0             # while > 0: bytes still from before a change
        self.queued = 0
        self.tap = None                     # called with every piece delivered

    def _speed(self):
        return speeds(self.src, self.scales[0])[1]

    def _read(self):
        """(bytes, whether a change of settings was reported) off the sender's master."""
        data, status = bytearray(), False
        while True:
            try:
                got = os.read(self.src, 4096)
            except (BlockingIOError, OSError):
                break
            if not got:
                break
            if got[0] == 0:
                data += got[1:]
            else:
                status = True
        return bytes(data), status

    def take(self, now):
        """Reads everything the sender has written; queues it for delivery.

        Packet mode reports a change of the slave's settings ahead of the bytes
        still queued from before it. A sender that drains before it switches
        (as a UART's driver does, and QEMU, which writes out what the guest
        queued before it applies the guest's new speed) writes nothing in the
        moment after a switch; so the bytes that come within SETTLE seconds
        of a report were sent at the speed from before it."""
        before = self._speed()
        data, status = self._read()
        if self.settle_until and now >= self.settle_until:
            self.sent_at, self.settle_until = self.settled_at, 0.0
        if status:
            self.settle_until = now + SETTLE
            self.settled_at = self._speed()
        elif not self.settle_until:
            self.sent_at = before
        if data:
            self._queue(data, self.sent_at, speeds(self.dst, self.scales[1])[0], now)

    def _queue(self, data, sent_at, read_at, now):
        line_time = len(data) * 10.0 / sent_at if self.paced and sent_at else 0.0
        if sent_at != read_at:
            data = garble(data, sent_at, read_at or sent_at)
        start = max(now + self.latency, self.busy_until)
        self.busy_until = start + line_time
        if data:
            self.chunks.append([start, line_time / len(data), data, 0])
            self.queued += len(data)

    def deliver(self, now):
        """Writes what is due by `now`; returns when the next byte is due (or None)."""
        while self.chunks:
            chunk = self.chunks[0]
            start, each, data, sent = chunk
            if now < start:
                return start
            due = len(data) if each == 0 else min(len(data), int((now - start) / each))
            if due > sent:
                try:
                    n = os.write(self.dst, data[sent:due])
                except (BlockingIOError, OSError):
                    return now + 0.01
                if self.tap:
                    self.tap(data[sent:sent + n])
                chunk[3] = sent = sent + n
                self.queued -= n
            if sent < len(data):
                return start + (sent + 1) * each if due == sent else now + 0.01
            self.chunks.popleft()
        return None


class Line:
    """The line between the board's pty master and the operator's port master."""

    def __init__(self, board, port, paced=True, board_scale=1, latency=0.0):
        """`board_scale`: the board's speed is that many times what its pty shows;
        `latency`: seconds the operator's port holds what it receives (as a
        USB serial adapter does) before its program sees it."""
        self.board, self.port = board, port
        self.down = Direction(board, port, paced, (board_scale, 1), latency)  # board -> operator
        self.up = Direction(port, board, paced, (1, board_scale))     # operator -> board

    def step(self, limit):
        """Carries bytes for at most `limit` seconds."""
        now = time.monotonic()
        present = attached(self.port)
        dues = [d for d in (self.down.deliver(now) if present else None, self.up.deliver(now))
                if d is not None]
        poller, readers = select.poll(), {}
        if present and self.down.queued < HOLD:
            readers[self.board] = self.down
        if present and self.up.queued < HOLD:
            readers[self.port] = self.up
        for fd in readers:
            poller.register(fd, select.POLLIN | select.POLLPRI)
        wait = min([limit] + [max(0.0, d - now) for d in dues]) if present else min(limit, IDLE)
        for fd, events in poller.poll(wait * 1000):
            if events & (select.POLLIN | select.POLLPRI):
                readers[fd].take(time.monotonic())
            else:  # the board's side closed: it is powering off
                time.sleep(0.01)

    def drain(self, limit):
        """After the board is off: delivers what it had sent, for at most `limit` s."""
        end = time.monotonic() + limit
        self.down.take(time.monotonic())
        while self.down.chunks and time.monotonic() < end and attached(self.port):
            due = self.down.deliver(time.monotonic())
            if due is not None:
                time.sleep(max(0.0, min(due - time.monotonic(), 0.05)))


class Port:
    """The operator's side: a pty for terminal programs, and LINK (a symlink to
    it) when given."""

    def __init__(self, link=None):
        self.master, self.path = open_pty()
        # A serial port comes up at 9600 bit/s, a pseudo-terminal at 38400.
        set_speed(self.master, CONSOLE_SPEED)
        self.link = os.path.abspath(link) if link else None
        if self.link:
            if os.path.islink(self.link):
                os.unlink(self.link)
            os.symlink(self.path, self.link)

    def describe(self):
        return "board: console on %s%s" % (self.path, ", also " + self.link if self.link else "")

    def wait_for_program(self):
        while not attached(self.master):
            time.sleep(IDLE)

    def close(self):
        if self.link and os.path.islink(self.link) and os.readlink(self.link) == self.path:
            os.unlink(self.link)
        os.close(self.master)
