// CPLD registers through /dev/mem.
#include "hw/cpld.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

cpld_access_state cpld_access;

int cpld_init() {
    // Physical memory must not be handed to the shell commands and programs
    // started later.
    int fd = open("/dev/mem", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::puts("cpld_init open() FAILED");
        cpld_access = cpld_access_state{};
        return 0;
    }
    void* window = mmap(nullptr, kCpldWindowSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                        static_cast<off_t>(kCpldWindowBase));
    if (window == MAP_FAILED) {
        std::puts("mmap() FAILED");
        close(fd);
        cpld_access = cpld_access_state{};
        return 0;
    }
    cpld_access.window = static_cast<volatile uint8_t*>(window);
    cpld_access.fd = fd;
    return 1;
}

int cpld_write(int offset, uint8_t value) {
    // A store outside the 256-byte window would hit whatever lies next to it.
    if (offset < 0 || offset >= static_cast<int>(kCpldWindowSize)) return 0;
    if (cpld_access.window == nullptr && cpld_init() == 0) {
        std::puts("ERROR - failed to open access to CPLD");
        return 0;
    }
    cpld_access.window[offset] = value;
    return 1;
}
