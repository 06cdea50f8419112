// Boot options, the environment partition, env-setup and launch modes.
#include "boot/startup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <tuple>

#include "boot/boot_options.h"
#include "boot/launch.h"
#include "hw/board_files.h"
#include "hw/mtd.h"

// The emulated EEPROM needs no write cycle, and nothing here waits for a
// reboot: 100 ms a byte and a second a reboot would make these cases slow.
extern "C" int usleep(useconds_t) { return 0; }
extern "C" unsigned int sleep(unsigned int) { return 0; }

namespace {

// The fields that differ from the defaults.
std::string fields(const boot_options_record& r) {
    std::string out;
    for (auto [name, value, normal] : {std::tuple{"gdb", r.gdb, 0}, {"server", r.gdbserver, 0}, {"rescue", r.rescue, 0},
                                       {"diags", r.diags, 0}, {"shell", r.shell, 0}, {"memchk", r.memchk, 0},
                                       {"port", r.gdbport, 1234}})
        if (value != normal) out += std::string(out.empty() ? "" : " ") + name + "=" + std::to_string(value);
    return out;
}

// Variables separated by '|'; the rest of the area is `fill`.
std::string parsed(std::string variables, char fill = '\0') {
    for (auto& c : variables) c = c == '|' ? '\0' : c;
    if (!variables.empty()) variables += '\0';
    variables.resize(kEnvironmentLength, fill);
    boot_options_record r;
    parse_boot_options(reinterpret_cast<const uint8_t*>(variables.data()), &r);
    return fields(r);
}

TEST(BootOptions, Table) {
    const std::pair<const char*, const char*> rows[] = {
        {"bootdelay=3", ""}, {"gdb=on|gdbserver=off", "gdb=1"},
        // A debugger server implies the debugger, in any order.
        {"gdb=off|gdbserver=on", "gdb=1 server=1"}, {"gdbserver=on|gdb=off", "gdb=1 server=1"},
        {"diagnostics=rescue", "rescue=1"}, {"diagnostics=diags", "diags=1"}, {"diagnostics=resc", ""},
        // Values compare by case-sensitive prefix; keys are found anywhere, the first counts.
        {"shell=on1|memchk=only", "shell=1 memchk=1"}, {"shell=On|gdb=ON|memchk=o", ""},
        {"bootargs=console,shell=on", "shell=1"}, {"shell=off|shell=on", ""},
        {"gdbport=999|shell=on", "shell=1 port=999"}, {"gdbport=abc", ""}, {"gdbport=-", ""},
        {"gdbport=  +77x", "port=77"}, {"gdbport=-5", "port=-5"}, {"gdbport=2147483647", "port=2147483647"},
        {"gdbport=-2147483648", "port=-2147483648"}, {"gdbport=2147483648", ""}, {"gdbport=-2147483649", ""},
        {"gdbport=99999999999999999999999999", ""},
    };
    for (auto [variables, expected] : rows) EXPECT_EQ(parsed(variables), expected) << variables;
    EXPECT_EQ(parsed("shell=on", '\xff'), "shell=1");
}

class EnvironmentPartition : public ::testing::Test {
protected:
    static constexpr const char* kEnv = "/dev/mtd-ubootenv";
    void SetUp() override { ASSERT_TRUE(fill_file(kEnv, 0xFF)); }
    void TearDown() override { unsetenv("DEVEMU_FAIL_READ_BLOCK"); }
    // A checksum word then `text` in the partition; returns what the read printed.
    static std::string read_with(const std::string& text) {
        write_file_at(kEnv, 0, "\x12\x34\x56\x78" + text);
        for (int& p : mtd_partitions) p = p >= 0 ? (close(p), -1) : -1;
        mtd_open_partitions();
        boot_options = boot_options_record{};
        ::testing::internal::CaptureStdout();
        read_boot_options();
        return ::testing::internal::GetCapturedStdout();
    }
};

TEST_F(EnvironmentPartition, FailedReadKeepsTheDefaults) {
    setenv("DEVEMU_FAIL_READ_BLOCK", "0", 1);
    EXPECT_EQ(read_with(std::string("shell=on\0gdbport=1\0", 19)), "");
    EXPECT_EQ(fields(boot_options), "");
    unsetenv("DEVEMU_FAIL_READ_BLOCK");
    ASSERT_EQ(rename(kEnv, "/dev/mtd-ubootenv.away"), 0);
    std::string out = read_with("");
    ASSERT_EQ(rename("/dev/mtd-ubootenv.away", kEnv), 0);
    EXPECT_EQ(out, "Could not get MTD device info \n");
    EXPECT_EQ(fields(boot_options), "");
}

int env_setup_from(std::string text) {
    std::FILE* file = fmemopen(text.data(), text.size(), "r");
    int pairs = apply_env_setup(file);
    std::fclose(file);
    return pairs;
}

std::string env(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value ? value : "<unset>";
}

TEST(EnvSetup, WordsInPairsOddLastNameEmptyLongWordsCut) {
    EXPECT_EQ(env_setup_from("EA 1\tEB\n2\n"), 2);
    EXPECT_EQ(env("EA") + env("EB"), "12");
    EXPECT_EQ(env_setup_from("EA again OB\n"), 2);
    EXPECT_EQ(env("EA") + "|" + env("OB"), "again|");
    EXPECT_EQ(env_setup_from(" \n\t\n"), 0);
    // A word over 511 characters is cut, shifting the pairing.
    std::string head(511, 'h'), tail(89, 't');
    EXPECT_EQ(env_setup_from("LN " + head + tail + " LX 1"), 3);
    EXPECT_EQ(env("LN"), head);
    EXPECT_EQ(env(tail) + env("1") + env("LX"), "LX<unset>");
}

std::string command_for(const boot_options_record& options, bool debugger_present) {
    char command[256];
    format_launch_command(command, sizeof command, choose_launch_mode(options, debugger_present), options.gdbport);
    return command;
}

// The other launch modes are the system tests' part.
TEST(LaunchMode, DebuggerServerWinsWithOrWithoutTheDebuggerImage) {
    boot_options_record o;
    o.gdb = o.gdbserver = o.memchk = 1, o.gdbport = 999;
    EXPECT_EQ(command_for(o, true), "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :999 /tmp/home/bin/mp.elf.strip\n");
    o.memchk = 0;
    EXPECT_EQ(command_for(o, false), "/bin/gdbserver :999 /tmp/home/bin/mp.elf.strip\n");
}

}  // namespace
