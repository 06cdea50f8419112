"""The power switch of a running board, for other processes (boardsim power,
boardsim status).

The run that holds a board (its pid in BOARD/run.lock, see boardfs.hold)
listens on BOARD/run.sock, a Unix stream socket. A command connects, sends
one line and reads the answer until the run closes the connection:

    status              "pid: N", "arch: A", ["port: P"], "power: on|off", "start: N"
    off | on | cycle    "done" once the run has acted, or "already off" / "already on"

A socket left behind by a run that was killed refuses connections (and the
next run replaces it), so it never stands for a running board. The socket is
reached through /proc/self/fd/N/run.sock, N an open descriptor of the board
folder: a board path of any length fits a socket address that way.
"""

import fcntl
import os
import signal
import socket
import threading

SOCKET = "run.sock"
ACT_LIMIT = 10.0      # seconds a command waits for the run to act
ANSWER_LIMIT = 15.0   # seconds a command waits for the whole answer


def _address(dir_fd):
    return "/proc/self/fd/%d/%s" % (dir_fd, SOCKET)


def _in_board(board, act):
    """Calls act(address of the board's socket) with the board folder open."""
    fd = os.open(board.path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        return act(_address(fd))
    finally:
        os.close(fd)


class Control:
    """The run's side: the power state, the count of power-ons, and the
    listener that serves commands on a thread of its own.

    The run's main thread calls begin() at every power-on, attach() with each
    started machine (the sandbox or QEMU), cut() after it ended, and
    wait_for_on() while the power is off; close() when the run ends."""

    def __init__(self, board, arch, port=None):
        self.arch, self.port = arch, port
        self.power, self.start = "on", 0
        self.halted = self.ended = self.killed = False
        self.proc = None
        self.cond = threading.Condition()
        self.path = os.path.join(board.path, SOCKET)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        # The run holds the board's lock: any socket file here is a dead run's.
        if os.path.lexists(self.path):
            os.unlink(self.path)
        _in_board(board, self.sock.bind)
        self.sock.listen(4)
        threading.Thread(target=self._serve, daemon=True).start()

    # ----- the run's main thread
    def begin(self):
        with self.cond:
            self.start += 1
            self.halted = self.killed = False
            self.cond.notify_all()

    def is_on(self):
        with self.cond:
            return self.power == "on"

    def attach(self, proc, group=False):
        """The machine of this power-on (a Popen; `group`: it leads its own
        process group). Cut at once when the power went off meanwhile."""
        with self.cond:
            self.proc = (proc, group)
            if self.power == "off":
                self._kill()

    def was_cut(self):
        """True when this power-on's machine was killed by a power cut."""
        with self.cond:
            return self.killed

    def cut(self):
        """True when the power went off during this power-on."""
        with self.cond:
            self.proc = None
            return self.power == "off"

    def wait_for_on(self, idle):
        """Blocks while the power is off, calling idle() about every 0.1 s."""
        with self.cond:
            self.halted = True
            self.cond.notify_all()
        while True:
            with self.cond:
                if self.power == "on":
                    return
                self.cond.wait(0.1)
            idle()

    def close(self):
        with self.cond:
            self.ended = True
            self.cond.notify_all()
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass
        try:
            self.sock.shutdown(socket.SHUT_RDWR)   # wakes the listener's accept()
        except OSError:
            pass
        self.sock.close()

    # ----- the listener's thread
    def _kill(self):
        proc, group = self.proc or (None, False)
        if proc is None or proc.poll() is not None:
            return
        try:
            # A power cut: nothing of the board may clean up after itself.
            os.killpg(proc.pid, signal.SIGKILL) if group else proc.kill()
            self.killed = True
        except ProcessLookupError:
            pass

    def _wait(self, done):
        with self.cond:
            self.cond.wait_for(lambda: done() or self.ended, ACT_LIMIT)
            return not self.ended

    def _switch(self, want):
        with self.cond:
            if self.power == want:
                return "already " + want
            self.power = want
            self.cond.notify_all()
            if want == "off":
                self._kill()
        acted = self._wait((lambda: self.halted) if want == "off" else
                           (lambda: not self.halted))
        return "done" if acted else "no answer from the board within %g s" % ACT_LIMIT

    def _answer(self, request):
        if request == "status":
            with self.cond:
                lines = ["pid: %d" % os.getpid(), "arch: " + self.arch] + \
                    (["port: " + self.port] if self.port else []) + \
                    ["power: " + self.power, "start: %d" % self.start]
            return "\n".join(lines)
        if request in ("off", "on"):
            return self._switch(request)
        if request == "cycle":
            off = self._switch("off")
            return self._switch("on") if off in ("done", "already off") else off
        return "unknown request"

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return  # closed: the run ends
            with conn:
                try:
                    conn.settimeout(2.0)
                    request = conn.makefile("r").readline().strip()
                    conn.sendall((self._answer(request) + "\n").encode())
                except OSError:
                    pass


# ----------------------------------------------------------------- commands

def ask(board, request):
    """The running board's answer to `request` (text), or None when no run
    listens on the board's socket."""
    conn = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    conn.settimeout(ANSWER_LIMIT)
    try:
        _in_board(board, conn.connect)
    except (FileNotFoundError, ConnectionRefusedError):
        conn.close()
        return None
    with conn:
        conn.sendall((request + "\n").encode())
        answer = b""
        while True:
            try:
                got = conn.recv(4096)
            except TimeoutError:   # the run is busy with an earlier command
                return "no answer from the run within %g s" % ANSWER_LIMIT
            if not got:
                return answer.decode().strip() or None
            answer += got


def lock_holder(board):
    """The pid text in run.lock while a process holds the board's lock, else None."""
    try:
        f = open(board.run_lock)
    except FileNotFoundError:
        return None
    with f:
        try:
            fcntl.flock(f, fcntl.LOCK_SH | fcntl.LOCK_NB)
        except BlockingIOError:
            return f.read().strip() or "unknown"
        fcntl.flock(f, fcntl.LOCK_UN)
        return None
