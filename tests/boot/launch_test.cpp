#include "boot/launch.h"

#include <gtest/gtest.h>

#include "boot/boot_options.h"
#include "boot/image_boot.h"
#include "boot_test_support.h"

using namespace boot_test;

namespace {

// Reads `text` as an env-setup file; returns the pair count.
int env_setup_from(const std::string& text) {
    write_file("/tmp/env-setup-test", text);
    std::FILE* file = std::fopen("/tmp/env-setup-test", "r");
    int pairs = apply_env_setup(file);
    std::fclose(file);
    return pairs;
}

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "<unset>";
}

std::string command_for(const boot_options_record& options, bool debugger_present) {
    char command[256];
    format_launch_command(command, sizeof command, choose_launch_mode(options, debugger_present),
                          options.gdbport);
    return command;
}

}  // namespace

TEST(EnvSetup, WordsAreTakenInPairs) {
    EXPECT_EQ(env_setup_from("EA 1\tEB\n2\n"), 2);
    EXPECT_EQ(env("EA"), "1");
    EXPECT_EQ(env("EB"), "2");
    // An existing variable is overwritten.
    EXPECT_EQ(env_setup_from("EA again"), 1);
    EXPECT_EQ(env("EA"), "again");
}

TEST(EnvSetup, OddWordCountSetsTheLastNameEmpty) {
    EXPECT_EQ(env_setup_from("OA 1 OB\n"), 2);
    EXPECT_EQ(env("OA"), "1");
    EXPECT_EQ(env("OB"), "");
    EXPECT_EQ(env_setup_from(""), 0);
    EXPECT_EQ(env_setup_from(" \n\t\n"), 0);
}

TEST(EnvSetup, LongWordIsCutInto511CharacterWords) {
    std::string head(511, 'h');
    std::string tail(89, 't');
    EXPECT_EQ(env_setup_from("LN " + head + tail + " LX 1"), 3);
    EXPECT_EQ(env("LN"), head);
    // The cut shifts the pairing: the tail names a variable, LX is a value.
    EXPECT_EQ(env(tail.c_str()), "LX");
    EXPECT_EQ(env("1"), "");
    EXPECT_EQ(env("LX"), "<unset>");
}

TEST(LaunchMode, FirstMatchOfTheTableWins) {
    boot_options_record o;
    EXPECT_EQ(command_for(o, true), "");
    o.memchk = 1;
    EXPECT_EQ(command_for(o, true), "LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\n");
    o.gdb = 1;  // the debugger runs without the memory checker
    EXPECT_EQ(command_for(o, true), "/tmp/gdb /tmp/home/bin/mp.elf.strip");
    EXPECT_EQ(choose_launch_mode(o, false), launch_mode::debugger_missing);
    EXPECT_EQ(command_for(o, false), "");
    o.gdbserver = 1;
    o.gdbport = 999;
    EXPECT_EQ(command_for(o, true),
              "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :999 /tmp/home/bin/mp.elf.strip\n");
    o.memchk = 0;
    o.gdbport = 1234;
    EXPECT_EQ(command_for(o, false), "/bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip\n");
}

class Launch : public ::testing::Test {
protected:
    void SetUp() override { reset_board(); }
    void archive(std::initializer_list<std::pair<std::string, std::string>> files) {
        write_file(kApplicationArchive, application_archive(files));
    }
};

TEST_F(Launch, InstallScriptThenEnvSetupThenBacktrace) {
    archive({{"home/bin/mp.elf.strip", "app"},
             {"home/bin/install.sh", "#!/bin/sh\necho install-script >> /tmp/test-commands.log\n"},
             {"home/bin/env-setup", "TEST_A 1\nTEST_B\n"}});
    auto r = run_in_child([] { launch_application(0); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Running install script\nstarted app A=1 B=\n");
    EXPECT_EQ(command_log(), "install-script\n/bin/backtrace \n");
    EXPECT_FALSE(exists(kApplicationArchive));
}

TEST_F(Launch, FailedExecReportsAndReboots) {
    archive({{"home/bin/mp.elf.strip", "app"}});
    unlink("/bin/backtrace");
    auto r = run_in_child([] { launch_application(0); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Failed to start Application OS.\n");
    EXPECT_EQ(command_log(), "/bin/reboot \n");
}
