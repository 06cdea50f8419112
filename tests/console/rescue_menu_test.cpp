#include "console/rescue_menu.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
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

// What follows the sixth number reaches ifconfig, which judges it; the shell
// interprets none of it. A plain entry, and one with a command after it, are
// the system tests' part.
TEST(MacEntry, CommandPassesTheEntryWithoutItsBlanks) {
    const std::pair<const char*, const char*> rows[] = {
        {" \t00:11:22:33:44:55 ", "00:11:22:33:44:55"},
        {"00:11:22:33:44:5g", "00:11:22:33:44:5g"},
        {"1:2:3:4:5:6 $(x)", "'1:2:3:4:5:6 $(x)'"},
        {"1:2:3:4:5:6'`x`", "'1:2:3:4:5:6'\\''`x`'"},
    };
    for (const auto& [entry, word] : rows) {
        EXPECT_EQ(mac_address_command(entry), std::string("ifconfig eth0 hw ether ") + word + "\n");
    }
}

// Entries built from the pieces the %x conversion treats specially: the parse
// accepts exactly what sscanf accepts.
TEST(MacEntry, AgreesWithSscanfOnGeneratedEntries) {
    const char* const blanks[] = {"", "", " ", "\t "};
    const char* const signs[] = {"", "", "+", "-"};
    const char* const prefixes[] = {"", "", "0x", "0X", "0"};
    const char* const separators[] = {":", ":", ":", ":", "", " ", "::", ";"};
    const char digits[] = "09afAFgx";
    std::mt19937 random(13);
    auto pick = [&](const auto& choices) { return choices[random() % std::size(choices)]; };
    for (int n = 0; n < 20000; n++) {
        std::string entry;
        for (int field = 0; field < 6; field++) {
            if (field > 0) entry += pick(separators);
            entry += std::string(pick(blanks)) + pick(signs) + pick(prefixes);
            for (unsigned d = random() % 3; d > 0; d--) entry += digits[random() % (sizeof digits - 1)];
        }
        entry += pick(blanks);
        unsigned v[6];
        bool scanned = std::sscanf(entry.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3],
                                   &v[4], &v[5]) == 6;
        ASSERT_EQ(mac_entry_parses(entry.c_str()), scanned ? 1 : 0) << entry;
    }
}

}  // namespace
