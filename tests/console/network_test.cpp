// Address entry and the TFTP command.
#include "console/network.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "boot/startup.h"
#include "console_harness.h"

// Nothing here needs the configuration waits or the pauses after end of input.
int sleeps_skipped = 0;
extern "C" unsigned int sleep(unsigned int) { return ++sleeps_skipped, 0; }

namespace {

uint32_t ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};  // network order in memory
    uint32_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

class Network : public ::testing::Test {
   protected:
    void SetUp() override { alarm(60); }  // a dialogue that runs out of input fails instead of hanging
    void TearDown() override {
        alarm(0);
        sigint_seen = 0;
    }
};

// Parsing and refusals; the prompts and messages are the system tests' part.
TEST_F(Network, AddressEntries) {
    const char* prompt = "IP addr    :";
    const struct {
        std::string typed;
        uint8_t required, host_only;
        int result;
        uint32_t address;  // 9.9.9.9: left as it was
    } rows[] = {
        {"10.1\n", 1, 1, 1, ip(10, 0, 0, 1)},
        {"10.1.258\n", 1, 1, 1, ip(10, 1, 1, 2)},
        {"0xC0.0x0.2.0x7\n", 1, 1, 1, ip(192, 0, 2, 7)},
        {"\n0.0.0.0\n240.1.1.1\n1.2.3.4.5\nhost\n224.0.0.1\n", 1, 1, 1, ip(224, 0, 0, 1)},
        {"q\n", 1, 1, 0, ip(9, 9, 9, 9)},
        {"Q\n", 0, 1, 0, ip(9, 9, 9, 9)},
        {"Qx.1.2.3\n", 0, 1, 0, ip(9, 9, 9, 9)},
        {"0.0.0.0\n255.255.255.255\n\n", 0, 1, 1, ip(9, 9, 9, 9)},  // optional, refused, empty
        {"255.255.255.0\n", 0, 0, 1, ip(255, 255, 255, 0)},         // a netmask is no host
        {"0.0.0.0\n", 0, 0, 1, 0},
        {"", 1, 1, 0, ip(9, 9, 9, 9)},         // nobody left to answer: a quit, not a loop
        {"1.2.3.4.5\n", 1, 1, 0, ip(9, 9, 9, 9)},
    };
    for (const auto& r : rows) {
        typed_input console(r.typed);
        uint32_t address = ip(9, 9, 9, 9);
        int result = -1;
        printed([&] { result = read_ip_address(prompt, &address, r.required, r.host_only); });
        EXPECT_EQ(result, r.result) << r.typed;
        EXPECT_EQ(address, r.address) << r.typed;
    }
    sigint_seen = 1;  // Ctrl-C during the entry quits after the line
    typed_input console("1.2.3.4\n");
    uint32_t address = 0;
    printed([&] { EXPECT_EQ(read_ip_address(prompt, &address, 1, 1), 0); });
    EXPECT_EQ(address, 0u);
    EXPECT_EQ(sigint_seen, 1);  // only the rescue menu clears it
}

}  // namespace
