#include "console/serial.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "image/installer.h"
#include "image/versions.h"

namespace {

// Lets everything written so far leave, then drops both queues, so that
// nothing from before the switch is taken at the new speed.
void drain_and_discard(int port) {
    tcdrain(port);
    tcflush(port, TCIOFLUSH);
}

constexpr const char* kPort = "/dev/ttyS0";
constexpr const char* kDownload = "/tmp/image";

// The port's settings from before the speed switch; one download at a time.
termios saved_settings{};

bool file_exists(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0;
}

}  // namespace

termios serial_download_settings(const termios& saved) {
    termios settings = saved;
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    settings.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE);
    settings.c_cflag |= CS8;
    settings.c_iflag = IGNBRK;
    settings.c_oflag = 0;
    settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ISIG | ECHO | ECHOE);
    return settings;
}

void serial_wait_for_key(int descriptor, unsigned char key, const char* message) {
    int polls = 0;
    for (;;) {
        unsigned char byte = 0;
        if (read(descriptor, &byte, 1) == 1 && byte == key) return;
        sleep(1);
        if (++polls == 11) {
            std::printf("%s\n", message);
            std::fflush(stdout);
            polls = 0;
        }
    }
}

int serial_prepare_download() {
    const int port = open(kPort, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port < 0) {
        std::perror("Can't open serial port!");
        return -1;
    }
    // Read before the operator is told to switch: a port whose settings
    // cannot be read or restored must not be switched at all.
    if (tcgetattr(port, &saved_settings) < 0) {
        std::perror("Can't read serial port settings!");
        close(port);
        return -1;
    }
    std::puts("       Change the baud rate to 115200 bps and hit the <ENTER> key");
    std::puts("       before initiating the download.");
    std::fflush(stdout);
    drain_and_discard(port);
    const termios download = serial_download_settings(saved_settings);
    if (tcsetattr(port, TCSADRAIN, &download) < 0) {
        std::perror("Can't set serial port settings!");
        tcsetattr(port, TCSANOW, &saved_settings);
        close(port);
        return -1;
    }
    tcflow(port, TCOON);
    serial_wait_for_key(
        port, '\r',
        "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r");
    return port;
}

void serial_restore_console(int descriptor) {
    std::puts("       Change the baud rate back to 9600 bps, hit the <ENTER> key");
    std::fflush(stdout);
    drain_and_discard(descriptor);
    tcsetattr(descriptor, TCSADRAIN, &saved_settings);
    tcflow(descriptor, TCOON);
    serial_wait_for_key(descriptor, '\n', "\r\n    ... Waiting for the <ENTER> key to be hit...\r");
    close(descriptor);
}

int xmodem_rescue() {
    std::puts("Running xmodem rescue.....");
    std::fflush(stdout);
    const int port = serial_prepare_download();
    if (port < 0) return 0;
    // Only a file from this transfer may pass for a download.
    std::remove(kDownload);
    std::fflush(stdout);
    // The receiver's exit status is not examined: a download is judged by
    // the file it leaves.
    const int status = std::system("/usr/bin/rx /tmp/image");
    static_cast<void>(status);
    serial_restore_console(port);
    if (!file_exists(kDownload)) return 0;
    const int installed = install_image_file(kDownload, 0, 0);
    if (installed) log_install("image", "xmodem");
    return installed;
}
