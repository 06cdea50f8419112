// Creates and removes /dev/ttyS0 in the scratch root.
#include "console/serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

TEST(Serial, DownloadSettingsChangeOnlyWhatTheTableSays) {
    termios saved{};
    saved.c_iflag = saved.c_oflag = saved.c_lflag = ~tcflag_t{0};
    saved.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CREAD | CLOCAL | HUPCL | CRTSCTS;
    for (std::size_t i = 0; i < NCCS; ++i) saved.c_cc[i] = static_cast<cc_t>(i + 1);
    cfsetispeed(&saved, B9600);
    cfsetospeed(&saved, B9600);
    const termios download = serial_download_settings(saved);
    for (speed_t s : {cfgetispeed(&download), cfgetospeed(&download)}) EXPECT_EQ(s, speed_t{B115200});
    EXPECT_EQ(download.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(download.c_cflag & (PARENB | CSTOPB), 0u);
    const tcflag_t kept = CREAD | CLOCAL | HUPCL | CRTSCTS | PARODD;
    EXPECT_EQ(download.c_cflag & kept, kept);
    EXPECT_EQ(download.c_iflag, static_cast<tcflag_t>(IGNBRK));
    EXPECT_EQ(download.c_oflag, 0u);
    EXPECT_EQ(download.c_lflag,
              saved.c_lflag & ~static_cast<tcflag_t>(ICANON | ISIG | ECHO | ECHOE));
    EXPECT_EQ(std::memcmp(download.c_cc, saved.c_cc, sizeof saved.c_cc), 0);
}

TEST(Serial, UnusablePortsAreNeverSwitched) {
    unlink("/dev/ttyS0");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(xmodem_rescue(), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Can't open serial port!: No such file or directory\n");
    ASSERT_EQ(mkfifo("/dev/ttyS0", 0600), 0);  // opens, but is no terminal
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(serial_prepare_download(), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(
        ::testing::internal::GetCapturedStderr().rfind("Can't read serial port settings!: ", 0),
        0u);
    unlink("/dev/ttyS0");
}

}  // namespace
