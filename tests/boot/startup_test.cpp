#include "boot/startup.h"

#include <gtest/gtest.h>

#include <csignal>

#include "boot_test_support.h"

using namespace boot_test;

namespace {

std::string date_command(std::initializer_list<uint8_t> registers) {
    uint8_t clock[7] = {};
    std::copy(registers.begin(), registers.end(), clock);
    char command[32];
    format_date_command(command, sizeof command, clock);
    return command;
}

}  // namespace

TEST(DateCommand, BcdRegistersGiveDecimalDigits) {
    // seconds, minutes, hours, weekday, day, month, year
    EXPECT_EQ(date_command({0x30, 0x59, 0x23, 0x02, 0x31, 0x12, 0x24}), "date 123123592024\n");
    EXPECT_EQ(date_command({0x00, 0x09, 0x07, 0x01, 0x05, 0x01, 0x26}), "date 010507092026\n");
}

TEST(DateCommand, ControlBitsAboveTheMasksAreDropped) {
    EXPECT_EQ(date_command({0xFF, 0x89, 0xC7, 0xFF, 0xC5, 0x81, 0x26}), "date 010507092026\n");
    EXPECT_EQ(date_command({0, 0, 0, 0, 0, 0, 0x99}), "date 000000002099\n");
}

TEST(DateCommand, FallbackClockIsAValidDate) {
    char command[32];
    format_date_command(command, sizeof command, kFallbackClock);
    EXPECT_STREQ(command, "date 010100002000\n");
}

TEST(SigintHandler, SetsTheFlagWithoutRestartOrTermination) {
    install_sigint_handler();
    struct sigaction current {};
    sigaction(SIGINT, nullptr, &current);
    EXPECT_EQ(current.sa_flags & SA_RESTART, 0);
    sigint_seen = 0;
    std::raise(SIGINT);
    EXPECT_EQ(sigint_seen, 1);
    sigint_seen = 0;
}

TEST(SigintHandler, InterruptsABlockedRead) {
    auto r = run_in_child([] {
        install_sigint_handler();
        int pipe_ends[2];
        if (pipe(pipe_ends) != 0) std::exit(2);
        alarm(0);
        pid_t parent = getpid();
        if (fork() == 0) {
            // Repeat until the read is surely blocked; the first signal ends it.
            for (int i = 0; i < 50; ++i) {
                kill(parent, SIGINT);
                usleep(100000);
            }
            _exit(0);
        }
        char byte;
        ssize_t n = read(pipe_ends[0], &byte, 1);
        std::exit(n < 0 && errno == EINTR && sigint_seen == 1 ? 0 : 1);
    });
    EXPECT_EQ(r.status, 0);
}
