// Boot options: the look-ups on the environment text, and the read of the
// environment partition on the emulated board.
#include "boot/boot_options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "hw/board_files.h"
#include "hw/mtd.h"

namespace {

// The 1792-byte area holding `variables` as NUL-terminated strings.
std::string area_of(std::initializer_list<std::string> variables, char fill = '\0') {
    std::string area;
    for (const std::string& v : variables) area += v + '\0';
    area.resize(kEnvironmentLength, fill);
    return area;
}

boot_options_record parse(std::initializer_list<std::string> variables) {
    boot_options_record r;
    std::string area = area_of(variables);
    parse_boot_options(reinterpret_cast<const uint8_t*>(area.data()), &r);
    return r;
}

TEST(BootOptions, DefaultsWhenNothingIsSet) {
    boot_options_record r = parse({"bootdelay=3", "ethaddr=00:11:22:33:44:55"});
    EXPECT_EQ(r.gdb, 0);
    EXPECT_EQ(r.gdbserver, 0);
    EXPECT_EQ(r.rescue, 0);
    EXPECT_EQ(r.diags, 0);
    EXPECT_EQ(r.shell, 0);
    EXPECT_EQ(r.memchk, 0);
    EXPECT_EQ(r.booting_alternate, 0);
    EXPECT_EQ(r.gdbport, 1234);
}

TEST(BootOptions, DebuggerServerImpliesDebuggerInEitherOrder) {
    for (auto r : {parse({"gdb=off", "gdbserver=on"}), parse({"gdbserver=on", "gdb=off"})}) {
        EXPECT_EQ(r.gdbserver, 1);
        EXPECT_EQ(r.gdb, 1);
    }
    boot_options_record only_gdb = parse({"gdb=on"});
    EXPECT_EQ(only_gdb.gdb, 1);
    EXPECT_EQ(only_gdb.gdbserver, 0);
    boot_options_record server_off = parse({"gdb=on", "gdbserver=off"});
    EXPECT_EQ(server_off.gdb, 1);  // an off server leaves gdb as it was
    EXPECT_EQ(server_off.gdbserver, 0);
}

TEST(BootOptions, DiagnosticsValues) {
    boot_options_record rescue = parse({"diagnostics=rescue"});
    EXPECT_EQ(rescue.rescue, 1);
    EXPECT_EQ(rescue.diags, 0);
    boot_options_record diags = parse({"diagnostics=diags"});
    EXPECT_EQ(diags.diags, 1);
    EXPECT_EQ(diags.rescue, 0);
    boot_options_record other = parse({"diagnostics=resc"});
    EXPECT_EQ(other.rescue + other.diags, 0);
}

TEST(BootOptions, ValuesCompareByCaseSensitivePrefix) {
    for (const char* on : {"on", "on1", "only"}) {
        boot_options_record r = parse({std::string("shell=") + on, std::string("memchk=") + on});
        EXPECT_EQ(r.shell, 1) << on;
        EXPECT_EQ(r.memchk, 1) << on;
    }
    for (const char* off : {"On", "ON", "yes", "1", "o", ""}) {
        boot_options_record r = parse({std::string("shell=") + off, std::string("gdb=") + off});
        EXPECT_EQ(r.shell, 0) << off;
        EXPECT_EQ(r.gdb, 0) << off;
    }
}

TEST(BootOptions, KeysAreFoundAnywhereAndOnlyTheFirstCounts) {
    EXPECT_EQ(parse({"myshell=on"}).shell, 1);
    EXPECT_EQ(parse({"bootargs=console,shell=on"}).shell, 1);
    EXPECT_EQ(parse({"shell=off", "shell=on"}).shell, 0);
    EXPECT_EQ(parse({"shell=on", "shell=off"}).shell, 1);
}

TEST(BootOptions, PortIsReadAsADecimalNumber) {
    EXPECT_EQ(parse({"gdbport=999"}).gdbport, 999);
    EXPECT_EQ(parse({"gdbport=abc"}).gdbport, 1234);
    EXPECT_EQ(parse({"gdbport=  +77x"}).gdbport, 77);
    EXPECT_EQ(parse({"gdbport=-5"}).gdbport, -5);  // no range test on the port
    EXPECT_EQ(parse({"gdbport=2345", "shell=on"}).gdbport, 2345);
    EXPECT_EQ(parse({"gdbport=-"}).gdbport, 1234);
}

TEST(BootOptions, PortOutsideTheRangeOfIntIsNotANumber) {
    EXPECT_EQ(parse({"gdbport=2147483647"}).gdbport, INT_MAX);
    EXPECT_EQ(parse({"gdbport=-2147483648"}).gdbport, INT_MIN);
    EXPECT_EQ(parse({"gdbport=2147483648"}).gdbport, 1234);
    EXPECT_EQ(parse({"gdbport=-2147483649"}).gdbport, 1234);
    EXPECT_EQ(parse({"gdbport=99999999999999999999999999"}).gdbport, 1234);
}

TEST(BootOptions, ErasedFlashMatchesNothing) {
    boot_options_record r;
    std::string area(kEnvironmentLength, '\xFF');
    parse_boot_options(reinterpret_cast<const uint8_t*>(area.data()), &r);
    EXPECT_EQ(r.gdb + r.gdbserver + r.rescue + r.diags + r.shell + r.memchk, 0);
    EXPECT_EQ(r.gdbport, 1234);
    // Variables followed by erased bytes still count.
    std::string partly = area_of({"shell=on"}, '\xFF');
    parse_boot_options(reinterpret_cast<const uint8_t*>(partly.data()), &r);
    EXPECT_EQ(r.shell, 1);
}

// read_boot_options on the board's environment partition.
class EnvironmentPartition : public ::testing::Test {
   protected:
    void SetUp() override {
        clear_devemu_environment();
        ASSERT_TRUE(fill_file("/dev/mtd-ubootenv", 0xFF));
        boot_options = boot_options_record{};
    }
    void TearDown() override {
        close_partitions();
        clear_devemu_environment();
        boot_options = boot_options_record{};
    }
    static void close_partitions() {
        for (int& p : mtd_partitions) {
            if (p >= 0) close(p);
            p = -1;
        }
    }
    // Opens the partitions as the start does and reads the options.
    static std::string read_now() {
        close_partitions();
        mtd_open_partitions();
        ::testing::internal::CaptureStdout();
        read_boot_options();
        return ::testing::internal::GetCapturedStdout();
    }
    // Writes a checksum word and `text` from offset 4, then reads the options.
    static std::string read_with(const std::string& text) {
        std::string header("\x12\x34\x56\x78", 4);
        EXPECT_TRUE(write_file_at("/dev/mtd-ubootenv", 0, header + text));
        return read_now();
    }
};

TEST_F(EnvironmentPartition, VariablesAfterTheChecksumWord) {
    EXPECT_EQ(read_with(std::string("gdbserver=on\0gdbport=4321\0diagnostics=rescue\0\0", 45)), "");
    EXPECT_EQ(boot_options.gdbserver, 1);
    EXPECT_EQ(boot_options.gdb, 1);
    EXPECT_EQ(boot_options.gdbport, 4321);
    EXPECT_EQ(boot_options.rescue, 1);
}

TEST_F(EnvironmentPartition, OnlyTheFirst1792BytesAreSeen) {
    // "shell=on" ends on the area's last byte; "memchk=on" starts just beyond
    // it; "gdbport=12345" is cut after "gdbport=12".
    std::string text(kEnvironmentLength - 8, '\0');
    text.replace(0, 2, "x=");
    text += "shell=on";
    EXPECT_EQ(text.size(), kEnvironmentLength);
    read_with(text + "memchk=on");
    EXPECT_EQ(boot_options.shell, 1);
    EXPECT_EQ(boot_options.memchk, 0);

    std::string cut(kEnvironmentLength - 10, '\0');
    read_with(cut + "gdbport=12345");
    EXPECT_EQ(boot_options.gdbport, 12);
}

TEST_F(EnvironmentPartition, AFailedReadKeepsTheDefaults) {
    setenv("DEVEMU_FAIL_READ_BLOCK", "0", 1);
    EXPECT_EQ(read_with(std::string("shell=on\0gdbport=1\0", 19)), "");
    EXPECT_EQ(boot_options.shell, 0);
    EXPECT_EQ(boot_options.gdbport, 1234);
    unsetenv("DEVEMU_FAIL_READ_BLOCK");
    ASSERT_EQ(rename("/dev/mtd-ubootenv", "/dev/mtd-ubootenv.away"), 0);
    std::string out = read_now();
    ASSERT_EQ(rename("/dev/mtd-ubootenv.away", "/dev/mtd-ubootenv"), 0);
    EXPECT_EQ(out, "Could not get MTD device info \n");
    EXPECT_EQ(boot_options.gdbport, 1234);
}

}  // namespace
