// Management-port dialogue, link test and TFTP command. Runs inside
// scripts/test-sandbox only: the board commands are replaced by logging stubs
// in the scratch root, which has no network (so no eth0).
#include "console/network.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "boot/startup.h"

namespace {

using ::testing::HasSubstr;

constexpr const char* kLog = "/tmp/net-commands.log";

uint32_t ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};  // network order in memory
    uint32_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

int count(const std::string& text, const std::string& word) {
    int n = 0;
    for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
    return n;
}

std::string read_text(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

constexpr const char* kStubs = "/tmp/net-stubs";

void write_script(const std::string& path, const std::string& body) {
    unlink(path.c_str());
    std::ofstream(path) << "#!/bin/busybox sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
}

// The scratch root's shell prefers busybox's own applets to programs on PATH,
// so for the duration of a test /bin/sh becomes a wrapper that sends the
// network commands of 'sh -c TEXT' to the stubs.
void divert_network_commands() {
    mkdir(kStubs, 0755);
    write_script("/bin/sh",
                 "if [ \"$1\" = -c ]; then\n"
                 "  __text=$2; shift 2\n"
                 "  for __n in ifconfig route tftp dhclient; do\n"
                 "    eval \"$__n() { " + std::string(kStubs) + "/$__n \\\"\\$@\\\"; }\"\n"
                 "  done\n"
                 "  eval \"$__text\"; exit\n"
                 "fi\n"
                 "exec /bin/busybox sh \"$@\"");
}

void restore_shell() {
    unlink("/bin/sh");
    symlink("busybox", "/bin/sh");
}

// A board command that logs its arguments, one per line after its name.
void logging_stub(const std::string& name, const std::string& extra = "") {
    write_script(std::string(kStubs) + "/" + name,
                 "{ echo \"[" + name + "]\"; for a in \"$@\"; do echo \"$a\"; done; } >> " +
                     std::string(kLog) + "\n" + extra);
}

// Standard input replaced by a pipe holding `text` (then end of input).
class console_input {
public:
    explicit console_input(const std::string& text) {
        int ends[2];
        EXPECT_EQ(pipe(ends), 0);
        EXPECT_EQ(write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(ends[1]);
        saved_ = dup(0);
        dup2(ends[0], 0);
        close(ends[0]);
    }
    ~console_input() {
        dup2(saved_, 0);
        close(saved_);
    }
    console_input(const console_input&) = delete;
    console_input& operator=(const console_input&) = delete;

private:
    int saved_ = -1;
};

class NetworkTest : public ::testing::Test {
protected:
    void SetUp() override {
        sigint_seen = 0;
        // A dialogue that runs out of input would wait for ever.
        alarm(60);
        std::remove(kLog);
        std::remove("/tmp/image");
        divert_network_commands();
        for (const char* name : {"ifconfig", "route", "tftp", "dhclient"}) logging_stub(name);
    }
    void TearDown() override {
        alarm(0);
        sigint_seen = 0;
        restore_shell();
    }

    // Runs `step` with the console fed `typed`; returns what it printed.
    template <typename Step>
    std::string converse(const std::string& typed, Step step) {
        console_input input(typed);
        ::testing::internal::CaptureStdout();
        step();
        std::fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }
};

TEST_F(NetworkTest, HostAddressBoundaries) {
    EXPECT_EQ(is_host_address(ip(0, 0, 0, 0)), 0);
    EXPECT_EQ(is_host_address(ip(0, 1, 2, 3)), 0);
    EXPECT_EQ(is_host_address(ip(0, 255, 255, 255)), 0);
    EXPECT_EQ(is_host_address(ip(1, 0, 0, 0)), 1);
    EXPECT_EQ(is_host_address(ip(127, 0, 0, 1)), 1);
    EXPECT_EQ(is_host_address(ip(224, 0, 0, 1)), 1);
    EXPECT_EQ(is_host_address(ip(239, 255, 255, 255)), 1);
    EXPECT_EQ(is_host_address(ip(240, 0, 0, 0)), 0);
    EXPECT_EQ(is_host_address(ip(240, 1, 1, 1)), 0);
    EXPECT_EQ(is_host_address(ip(255, 255, 255, 255)), 0);
    // Only the first octet decides: a last octet of 0 or 255 is not looked at.
    EXPECT_EQ(is_host_address(ip(10, 0, 0, 0)), 1);
    EXPECT_EQ(is_host_address(ip(10, 255, 255, 255)), 1);
}

TEST_F(NetworkTest, AddressEntryTakesTheShortAndNumericForms) {
    const std::vector<std::pair<std::string, uint32_t>> forms = {
        {"10.1", ip(10, 0, 0, 1)},       {"10.1.258", ip(10, 1, 1, 2)},
        {"167772161", ip(10, 0, 0, 1)},  {"0x0a000001", ip(10, 0, 0, 1)},
        {"0xC0.0x0.2.0x7", ip(192, 0, 2, 7)}, {"012.0.0.1", ip(10, 0, 0, 1)},
    };
    for (const auto& [typed, expected] : forms) {
        uint32_t address = 0;
        int result = 0;
        converse(typed + "\n", [&] { result = read_ip_address("IP addr    :", &address, 1, 1); });
        EXPECT_EQ(result, 1) << typed;
        EXPECT_EQ(address, expected) << typed;
    }
}

TEST_F(NetworkTest, AddressPromptRefusesUntilAHostAddress) {
    uint32_t address = 0;
    int result = 0;
    const std::string out = converse("\n0.0.0.0\n240.1.1.1\n1.2.3.4.5\nhost\n224.0.0.1\n", [&] {
        result = read_ip_address("IP addr    :", &address, 1, 1);
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(address, ip(224, 0, 0, 1));
    EXPECT_EQ(count(out, "IP addr    :"), 6);
    EXPECT_EQ(count(out, "Invalid IP address. Try again please\n"), 3);  // empty, 5 parts, word
    EXPECT_THAT(out, HasSubstr("Invalid IP address 0.0.0.0. Try again please\n"));
    EXPECT_THAT(out, HasSubstr("Invalid IP address 240.1.1.1. Try again please\n"));
}

TEST_F(NetworkTest, AnEntryBeginningWithQQuitsAndLeavesTheAddress) {
    for (const char* typed : {"q\n", "Q\n", "quit\n", "Qx.1.2.3\n"}) {
        uint32_t address = ip(9, 9, 9, 9);
        int result = -1;
        converse(typed, [&] { result = read_ip_address("Gateway    :", &address, 0, 1); });
        EXPECT_EQ(result, 0) << typed;
        EXPECT_EQ(address, ip(9, 9, 9, 9)) << typed;
    }
}

TEST_F(NetworkTest, CtrlCNoticedAfterTheLineQuits) {
    sigint_seen = 1;
    uint32_t address = 0;
    int result = -1;
    converse("1.2.3.4\n", [&] { result = read_ip_address("IP addr    :", &address, 1, 1); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(address, 0u);
    EXPECT_EQ(sigint_seen, 1);  // only the rescue menu clears it
}

TEST_F(NetworkTest, OptionalEntries) {
    uint32_t gateway = 0;
    int result = 0;
    // A refused gateway never reaches the field; the empty entry after it
    // leaves no gateway.
    std::string out = converse("0.0.0.0\n255.255.255.255\n\n", [&] {
        result = read_ip_address("Gateway    :", &gateway, 0, 1);
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(gateway, 0u);
    EXPECT_EQ(count(out, "Try again please"), 2);

    // The netmask is not a host address: 255.255.255.0 and 0.0.0.0 pass.
    uint32_t netmask = 0;
    converse("255.255.255.0\n", [&] { result = read_ip_address("Netmask    :", &netmask, 0, 0); });
    EXPECT_EQ(netmask, ip(255, 255, 255, 0));
    converse("0.0.0.0\n", [&] { result = read_ip_address("Netmask    :", &netmask, 0, 0); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(netmask, 0u);
}

TEST_F(NetworkTest, LinkTestWithoutEth0) {
    // The sandbox has no network of its own: eth0 does not exist.
    int result = -1;
    const std::string out = converse("", [&] { result = mgmt_link_up(); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "Open Interface eth0 error.\n");
}

TEST_F(NetworkTest, DhcpOnAnotherInterfaceSkipsTheLinkTest) {
    int result = -1;
    const std::string out = converse("", [&] { result = apply_network_settings(1, '3', 0, 0, 0); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(read_text(kLog), "[dhclient]\n-1\neth3\n");
    EXPECT_EQ(out, "");
}

TEST_F(NetworkTest, TftpCommandText) {
    const uint32_t server = ip(192, 0, 2, 1);
    EXPECT_EQ(tftp_command("images/switch_v1.2-3.img", server),
              "tftp -g -r images/switch_v1.2-3.img -l /tmp/image 192.0.2.1\n");
    EXPECT_EQ(tftp_command("qq", ip(10, 0, 0, 1)), "tftp -g -r qq -l /tmp/image 10.0.0.1\n");
    EXPECT_EQ(tftp_command("a b;c", server), "tftp -g -r 'a b;c' -l /tmp/image 192.0.2.1\n");
    EXPECT_EQ(dotted_address(ip(224, 0, 0, 1)), "224.0.0.1");
}

TEST_F(NetworkTest, HostileFileNamesReachTftpAsOneArgument) {
    logging_stub("tftp");
    const std::vector<std::string> names = {
        "a b;touch /tmp/pwned",   "$(touch /tmp/pwned)", "`touch /tmp/pwned`",
        "it's;touch /tmp/pwned", "x|touch /tmp/pwned",   "\"q\" > /tmp/pwned",
        "*",                      "-l /tmp/pwned",       "a\\b'\\''c",
    };
    for (const auto& name : names) {
        std::remove(kLog);
        const std::string command = tftp_command(name.c_str(), ip(192, 0, 2, 1));
        ASSERT_GE(std::system(command.c_str()), 0);
        EXPECT_EQ(read_text(kLog), "[tftp]\n-g\n-r\n" + name + "\n-l\n/tmp/image\n192.0.2.1\n")
            << name;
        EXPECT_NE(access("/tmp/pwned", F_OK), 0) << name;
    }
}

TEST_F(NetworkTest, DownloadNeverTakesAFileLeftFromBefore) {
    std::ofstream("/tmp/image") << "stale";
    logging_stub("tftp", "[ -e /tmp/image ] && echo stale >> " + std::string(kLog) +
                             "\necho fresh > /tmp/image");
    int result = -1;
    const std::string out = converse("", [&] { result = tftp_download("sw.img", ip(192, 0, 2, 1)); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(read_text(kLog), "[tftp]\n-g\n-r\nsw.img\n-l\n/tmp/image\n192.0.2.1\n");
    EXPECT_EQ(read_text("/tmp/image"), "fresh\n");
    EXPECT_EQ(out, "Installing image sw.img from TFTP server 192.0.2.1\n");
}

TEST_F(NetworkTest, DownloadRetriesUntilTheFileArrives) {
    // The first run fails (busybox's client leaves no file then), the second
    // delivers.
    logging_stub("tftp", "[ $(grep -c tftp " + std::string(kLog) +
                             ") -ge 2 ] && echo data > /tmp/image");
    int result = -1;
    const std::string out = converse("", [&] { result = tftp_download("sw.img", ip(10, 0, 0, 1)); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(count(read_text(kLog), "[tftp]"), 2);
    EXPECT_EQ(out,
              "Installing image sw.img from TFTP server 10.0.0.1\n"
              "Attempt 1/3 of tftp timed out\n"
              "Installing image sw.img from TFTP server 10.0.0.1\n");
}

TEST_F(NetworkTest, CtrlCBeforeAnAttemptStopsTheDownload) {
    sigint_seen = 1;
    int result = -1;
    const std::string out = converse("", [&] { result = tftp_download("sw.img", ip(10, 0, 0, 1)); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "");
    EXPECT_FALSE(std::ifstream(kLog).good());
}

}  // namespace
