// The console UART's drain, on the simulated board's pseudo-terminal console.
//
// On a UART, tcdrain returns once the bytes are on the wire, so a flush that
// follows discards nothing already sent. On a pseudo-terminal tcdrain returns
// at once, and a flush of the slave that follows drops what the kernel has not
// yet handed to the master, where the board simulator's line takes it off: the
// XMODEM receiver's last ACK, or the launcher's "Change the baud rate ..."
// lines. A drain on a pseudo-terminal slave gives the line time to take the
// bytes. Part of the device emulator (for the launcher) and a library of its
// own (libuartdrain.so, for the board's receiver, a host program).
#include <dlfcn.h>
#include <linux/major.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>

namespace {

bool pseudo_terminal_slave(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned major_number = major(st.st_rdev);
    return major_number >= UNIX98_PTY_SLAVE_MAJOR &&
           major_number < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT;
}

}  // namespace

extern "C" int tcdrain(int fd) {
    using drain_fn = int (*)(int);
    static const auto real = reinterpret_cast<drain_fn>(dlsym(RTLD_NEXT, "tcdrain"));
    const int result = real ? real(fd) : 0;
    if (result == 0 && pseudo_terminal_slave(fd)) {
        const timespec wait{0, 20 * 1000 * 1000};
        nanosleep(&wait, nullptr);
    }
    return result;
}
