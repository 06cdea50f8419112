// Serial download: the download settings, the waits for Enter, and the
// refusals of a port that cannot be used. Runs inside scripts/test-sandbox
// only (it creates and removes /dev/ttyS0 and /tmp/image in the scratch root).
#include "console/serial.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class SerialTest : public ::testing::Test {
protected:
    void SetUp() override {
        alarm(60);  // a wait that never ends fails the test instead of hanging it
        unlink("/dev/ttyS0");
    }
    void TearDown() override {
        alarm(0);
        unlink("/dev/ttyS0");
        std::remove("/tmp/image");
    }
};

// A pipe whose read end is non-blocking, as the port is, holding `bytes`.
struct byte_source {
    int read_end = -1;
    int write_end = -1;
    explicit byte_source(const std::string& bytes) {
        int ends[2];
        EXPECT_EQ(pipe(ends), 0);
        read_end = ends[0];
        write_end = ends[1];
        fcntl(read_end, F_SETFL, O_NONBLOCK);
        EXPECT_EQ(write(write_end, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    ~byte_source() {
        close(read_end);
        close(write_end);
    }
    byte_source(const byte_source&) = delete;
    byte_source& operator=(const byte_source&) = delete;
    std::string rest() {
        char buffer[64];
        const ssize_t n = read(read_end, buffer, sizeof buffer);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }
};

termios busy_settings() {
    termios saved{};
    saved.c_iflag = ~tcflag_t{0};
    saved.c_oflag = ~tcflag_t{0};
    saved.c_lflag = ~tcflag_t{0};
    saved.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CREAD | CLOCAL | HUPCL | CRTSCTS;
    for (std::size_t i = 0; i < NCCS; ++i) saved.c_cc[i] = static_cast<cc_t>(i + 1);
    cfsetispeed(&saved, B9600);
    cfsetospeed(&saved, B9600);
    return saved;
}

TEST_F(SerialTest, DownloadSettingsChangeOnlyWhatTheTableSays) {
    const termios saved = busy_settings();
    const termios download = serial_download_settings(saved);
    EXPECT_EQ(cfgetispeed(&download), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&download), static_cast<speed_t>(B115200));
    EXPECT_EQ(download.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(download.c_cflag & (PARENB | CSTOPB), 0u);
    const tcflag_t kept = CREAD | CLOCAL | HUPCL | CRTSCTS | PARODD;
    EXPECT_EQ(download.c_cflag & kept, kept);
    EXPECT_EQ(download.c_iflag, static_cast<tcflag_t>(IGNBRK));
    EXPECT_EQ(download.c_oflag, 0u);
    EXPECT_EQ(download.c_lflag, saved.c_lflag & ~static_cast<tcflag_t>(ICANON | ISIG | ECHO | ECHOE));
    EXPECT_EQ(std::memcmp(download.c_cc, saved.c_cc, sizeof saved.c_cc), 0);
    // The saved record itself is not touched.
    EXPECT_EQ(cfgetospeed(&saved), static_cast<speed_t>(B9600));
}

TEST_F(SerialTest, WaitsEndOnlyOnTheAwaitedByte) {
    ::testing::internal::CaptureStdout();
    {
        byte_source port("\r\n");
        serial_wait_for_key(port.read_end, '\r', "never");
        EXPECT_EQ(port.rest(), "\n");  // nothing after the CR is consumed
    }
    {
        // Another key costs one poll and is dropped.
        byte_source port("x\rZ");
        serial_wait_for_key(port.read_end, '\r', "never");
        EXPECT_EQ(port.rest(), "Z");
    }
    {
        // The second wait ends on LF only; an untranslated CR does not do.
        byte_source port("\r\nZ");
        serial_wait_for_key(port.read_end, '\n', "never");
        EXPECT_EQ(port.rest(), "Z");
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");  // fewer than 11 polls
}

TEST_F(SerialTest, NoPortMeansNoReceiverAndNoRestore) {
    std::ofstream("/tmp/image") << "left from before";
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int result = xmodem_rescue();
    std::fflush(stdout);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "Running xmodem rescue.....\n");
    EXPECT_EQ(err, "Can't open serial port!: No such file or directory\n");
    // The old file was neither installed nor taken for a download.
    EXPECT_THAT(out, Not(HasSubstr("Extracting")));
}

TEST_F(SerialTest, APortThatIsNotATerminalIsNotSwitched) {
    ASSERT_EQ(mkfifo("/dev/ttyS0", 0600), 0);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int result = serial_prepare_download();
    std::fflush(stdout);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, -1);
    EXPECT_THAT(err, HasSubstr("Can't read serial port settings!: "));
    // The operator is never told to switch a port that will not be switched.
    EXPECT_EQ(out, "");
}

}  // namespace
