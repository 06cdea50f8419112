#include "console/rescue_menu.h"

#include <gtest/gtest.h>

#include <string>

#include "boot/startup.h"
#include "console/shell_words.h"
#include "console_harness.h"

namespace {

TEST(ShellQuote, PlainWordsVerbatimEverythingElseQuoted) {
    EXPECT_EQ(shell_quote("azAZ09._-/:+,=@"), "azAZ09._-/:+,=@");
    for (char c : std::string(" ;$`\"\\|&*?!<>(){}[]~#%^\t\n")) {
        const std::string word = std::string("a") + c + "b";
        EXPECT_EQ(shell_quote(word), "'" + word + "'") << word;
    }
    EXPECT_EQ(shell_quote(""), "''");
    EXPECT_EQ(shell_quote("it's"), "'it'\\''s'");
}

TEST(MacEntry, CommandQuotesAllButPlainEntries) {
    EXPECT_EQ(mac_address_command("00:11:22:33:44:55"),
              "ifconfig eth0 hw ether 00:11:22:33:44:55\n");
    EXPECT_EQ(mac_address_command("1:2:3:4:5:6 $(x)"),
              "ifconfig eth0 hw ether '1:2:3:4:5:6 $(x)'\n");
    EXPECT_EQ(mac_address_command("1:2:3:4:5:6'`x`"),
              "ifconfig eth0 hw ether '1:2:3:4:5:6'\\''`x`'\n");
}

TEST(MacEntry, SixHexNumbersLikeTheScanConversion) {
    for (const char* good :
         {"00:11:22:33:44:55", "1:2:3:4:5:6", "0:0:0:0:0:100", "aA:bB:cC:dD:eE:fF",
          "0x1:2:3:4:5:6;x", " 1: 2:+3:-4:5:6", "ffffffffff:1:2:3:4:5"})
        EXPECT_TRUE(mac_entry_parses(good)) << good;
    for (const char* bad : {"", "q", "00-11-22-33-44-55", "1:2:3:4:5", "1:2:3:4:5:", "1 :2:3:4:5:6",
                            "g:1:2:3:4:5", "1:2:3:4:5:x6", "1::2:3:4:5:6"})
        EXPECT_FALSE(mac_entry_parses(bad)) << bad;
}

TEST(MacEntry, DialogueRefusesTakesAtMost17CharactersAndQuits) {
    const std::string prompt = "MAC address (format nn:nn:nn:nn:nn:nn): ";
    const struct {
        const char* typed;
        int ctrl_c, result;
        std::string output;
    } rows[] = {
        {"00-11-22-33-44-55\rq\r", 0, 0,
         prompt + "00-11-22-33-44-55\nInvalid MAC address. Try again please\n" + prompt + "q\n"},
        {"00:11:22:33:44:556\r", 0, 1, prompt + "00:11:22:33:44:55\a\n"},
        {"00:11:22:33:44:55\r", 1, 0, prompt + "00:11:22:33:44:55\n"},
    };
    for (const auto& r : rows) {
        typed_input console(r.typed);
        sigint_seen = r.ctrl_c;
        int result = -1;
        ::testing::internal::CaptureStderr();  // the sandbox has no eth0
        EXPECT_EQ(printed([&] { result = set_mac_address(); }), r.output);
        ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, r.result) << r.typed;
        EXPECT_EQ(sigint_seen, r.ctrl_c);  // only the menu clears it
    }
    sigint_seen = 0;
}

}  // namespace
