"""The management network of a simulated board (boardsim run --network).

Two network namespaces of this run's own naming: the board's, whose veth end
is named eth0 and starts down and without an address (the launcher's own
ifconfig/route commands configure it), and the peer's, at 192.0.2.1/24, where
tftpd-hpa serves the board folder's tftp/ directory in the foreground.
With link_down the peer's end stays down, so eth0 never has link.

Only 192.0.2.0/24 is used, and only inside these two namespaces. teardown()
stops the server by its pid and deletes both namespaces (which removes the
veth pair); it is safe to call twice. Root only.
"""

import os
import subprocess
import time
import uuid

import boardfs

PEER_ADDRESS = "192.0.2.1"
PREFIX = 24
TFTPD = "/usr/sbin/in.tftpd"
PEER_IFNAME = "peer0"
BOARD_IFNAME = "eth0"


class NetworkError(boardfs.BoardError):
    """The network could not be set up (nothing of it is left behind)."""


def _ip(*args):
    result = subprocess.run(["ip"] + list(args), capture_output=True, text=True)
    if result.returncode != 0:
        raise NetworkError("ip %s: %s" % (" ".join(args), result.stderr.strip()))
    return result.stdout


def _share_read_only(folder):
    # tftpd serves as an unprivileged user from inside the folder (chroot).
    os.makedirs(folder, exist_ok=True)
    os.chmod(folder, 0o755)
    for top, dirs, files in os.walk(folder):
        for d in dirs:
            path = os.path.join(top, d)
            os.chmod(path, os.stat(path).st_mode | 0o555)
        for f in files:
            path = os.path.join(top, f)
            os.chmod(path, os.stat(path).st_mode | 0o444)


class Network:
    """One board's network; see the module's description."""

    def __init__(self, board, link_down=False):
        tag = "%d-%s" % (os.getpid(), uuid.uuid4().hex[:8])
        self.board_ns = "boardsim-b-" + tag
        self.peer_ns = "boardsim-p-" + tag
        self.folder = board.tftp
        self.link_down = link_down
        self.server = None
        self._made = []

    def start(self):
        if os.geteuid() != 0:
            raise NetworkError("network namespaces need root")
        if not os.access(TFTPD, os.X_OK):
            raise NetworkError("%s is missing (Debian package tftpd-hpa)" % TFTPD)
        try:
            self._namespaces()
            self._server()
        except BaseException:
            self.teardown()
            raise
        return self

    def _namespaces(self):
        for name in (self.board_ns, self.peer_ns):
            _ip("netns", "add", name)
            self._made.append(name)
            _ip("-n", name, "link", "set", "lo", "up")
        _ip("-n", self.peer_ns, "link", "add", PEER_IFNAME, "type", "veth",
            "peer", "name", BOARD_IFNAME, "netns", self.board_ns)
        _ip("-n", self.peer_ns, "addr", "add", "%s/%d" % (PEER_ADDRESS, PREFIX),
            "dev", PEER_IFNAME)
        if not self.link_down:
            _ip("-n", self.peer_ns, "link", "set", PEER_IFNAME, "up")

    def _server(self):
        _share_read_only(self.folder)
        # 'ip netns exec' execs the server itself: the pid is the server's.
        self.server = subprocess.Popen(
            ["ip", "netns", "exec", self.peer_ns, TFTPD, "--foreground", "--listen",
             "--address", "%s:69" % PEER_ADDRESS, "--secure", self.folder],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if self.server.poll() is not None:
                raise NetworkError("tftpd ended at start (status %d)" % self.server.returncode)
            if self._listening():
                return
            time.sleep(0.05)
        raise NetworkError("tftpd does not listen on %s:69" % PEER_ADDRESS)

    def _listening(self):
        out = subprocess.run(["ip", "netns", "exec", self.peer_ns, "cat", "/proc/net/udp"],
                             capture_output=True, text=True).stdout
        # Local address 192.0.2.1:69 as the kernel lists it (little-endian hex here).
        return any(":0045 " in line for line in out.splitlines()[1:])

    def wrap(self, cmd):
        """The command run inside the board's namespace."""
        return ["ip", "netns", "exec", self.board_ns] + list(cmd)

    def teardown(self):
        if self.server is not None:
            if self.server.poll() is None:
                self.server.terminate()
                try:
                    self.server.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    self.server.kill()
                    self.server.wait()
            self.server = None
        while self._made:
            name = self._made.pop()
            subprocess.run(["ip", "netns", "del", name], capture_output=True)


def setup(board, link_down=False):
    """Makes the board's network; returns it (wrap(cmd), teardown())."""
    return Network(board, link_down).start()
