// The console UART's drain, on the simulated board's pseudo-terminal console.
//
// On a UART, tcdrain returns once the bytes are on the wire, so a flush that
// follows discards nothing already sent. On a pseudo-terminal tcdrain returns
// at once, and a flush of the slave that follows drops what the kernel has not
// yet handed to the master, where the board simulator's line takes it off: the
// XMODEM receiver's last ACK, or the launcher's "Change the baud rate ..."
// lines. A drain on a pseudo-terminal slave gives the line time to take the
// bytes, and a flush of the output right after it keeps them, as the drained
// UART has nothing left to drop: under load the line may take longer than any
// time given, and faked time shortens the wait. Part of the device emulator
// (for the launcher) and a library of its own (libuartdrain.so, for the
// board's receiver, a host program).
#include <dlfcn.h>
#include <linux/major.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>

namespace {

// The pseudo-terminal slave that fd is, or 0.
dev_t pseudo_terminal_slave(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    const unsigned major_number = major(st.st_rdev);
    return major_number >= UNIX98_PTY_SLAVE_MAJOR &&
                   major_number < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT
               ? st.st_rdev
               : 0;
}

// The slave drained last, until the next flush.
dev_t drained = 0;

}  // namespace

extern "C" int tcdrain(int fd) {
    using drain_fn = int (*)(int);
    static const auto real = reinterpret_cast<drain_fn>(dlsym(RTLD_NEXT, "tcdrain"));
    const int result = real ? real(fd) : 0;
    const dev_t slave = pseudo_terminal_slave(fd);
    if (result == 0 && slave != 0) {
        const timespec wait{0, 20 * 1000 * 1000};
        nanosleep(&wait, nullptr);
        drained = slave;
    }
    return result;
}

extern "C" int tcflush(int fd, int queue) {
    using flush_fn = int (*)(int, int);
    static const auto real = reinterpret_cast<flush_fn>(dlsym(RTLD_NEXT, "tcflush"));
    const dev_t slave = pseudo_terminal_slave(fd);
    const bool after_drain = slave != 0 && slave == drained;
    drained = 0;
    if (after_drain && queue == TCOFLUSH) return 0;
    if (after_drain && queue == TCIOFLUSH) queue = TCIFLUSH;
    return real ? real(fd, queue) : 0;
}
