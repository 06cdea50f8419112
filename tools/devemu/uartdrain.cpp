// Preloaded into the board's XMODEM receiver by the board simulator.
//
// The board's console is a pseudo-terminal there. On a UART, tcdrain returns
// once the bytes are on the wire, so a flush that follows discards nothing
// already sent. On a pseudo-terminal tcdrain returns at once, and a flush of
// the slave's output that follows drops bytes the kernel has not yet handed
// to the master (the receiver's last ACK, written just before it restores
// the line and exits). Here a drain waits as a UART's would, with room for
// the kernel to pass the bytes on.
#include <dlfcn.h>
#include <termios.h>
#include <time.h>

extern "C" int tcdrain(int fd) {
    using drain_fn = int (*)(int);
    static const auto real = reinterpret_cast<drain_fn>(dlsym(RTLD_NEXT, "tcdrain"));
    const int result = real ? real(fd) : 0;
    const timespec wait{0, 20 * 1000 * 1000};
    nanosleep(&wait, nullptr);
    return result;
}
