#include "console/rescue_menu.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "boot/startup.h"
#include "console_harness.h"

namespace {

const char* const menu_list =
    "Please select one of the following options:\n"
    "\tT) Configure networking and tftp download an image\n"
    "\tX) Use xmodem 1K to serial download an image\n"
    "\tR) Reboot\n"
    "\tE) Exit\n";

// The menu runs shell commands; they may only run on a scratch board root.
bool in_board_sandbox() {
    struct stat st {};
    return stat("/dev/mtd-uboot", &st) == 0 && S_ISREG(st.st_mode);
}

// Scripted keys on descriptor 0 (a file, so the whole script is there at
// once), standard output captured, and stub commands that log their
// arguments placed first on PATH.
class Console : public ::testing::Test {
protected:
    void SetUp() override {
        if (!in_board_sandbox()) GTEST_SKIP() << "runs only inside scripts/test-sandbox";
        char dir[] = "/tmp/console-stubs.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        stubs = dir;
        // The board's shell runs its own built-in ifconfig, reboot, mount
        // whatever PATH says, so only the other commands can be stubbed.
        for (const char* name : {"flash_eraseall", "x"}) stub(name);
        old_path = std::getenv("PATH");
        setenv("PATH", (stubs + ":" + old_path).c_str(), 1);
        sigint_seen = 0;
    }
    void TearDown() override {
        if (!old_path.empty()) setenv("PATH", old_path.c_str(), 1);
        if (!stubs.empty() && std::system(("rm -rf " + stubs).c_str()) != 0) ADD_FAILURE();
    }
    void stub(const std::string& name) const {
        std::ofstream script(stubs + "/" + name);
        script << "#!/bin/sh\necho \"" << name << "$(printf ' [%s]' \"$@\")\" >> " << stubs << "/log\n";
        script.close();
        chmod((stubs + "/" + name).c_str(), 0755);
    }
    void type(const std::string& keys) {
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        std::fwrite(keys.data(), 1, keys.size(), file);
        std::fflush(file);
        std::rewind(file);
        input.take(dup(fileno(file)));
        std::fclose(file);
    }
    std::string log() const {
        std::ifstream file(stubs + "/log");
        std::stringstream all;
        all << file.rdbuf();
        return all.str();
    }
    std::string stubs;
    std::string old_path;
    stdin_swap input;
};

}  // namespace

TEST_F(Console, MenuListsFourOptionsAndExitReturnsOne) {
    type("e");
    output_capture out;
    int result = rescue_menu();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out.text(), std::string("Entering Rescue Mode.\n") + menu_list + "\nOption? : e\n");
}

TEST_F(Console, UnknownKeyIsNamedUpperCasedWithoutReprintingTheList) {
    type("z?E");
    output_capture out;
    rescue_menu();
    EXPECT_EQ(out.text(), std::string("Entering Rescue Mode.\n") + menu_list +
                              "\nOption? : z\nunknown option \"Z\". Please try again\n"
                              "\nOption? : ?\nunknown option \"?\". Please try again\n"
                              "\nOption? : E\n");
}

TEST_F(Console, KeyZeroAndKeyWithCtrlCAreDiscardedSilently) {
    sigint_seen = 1;  // a Ctrl-C that arrived together with the key d
    type(std::string("d\0E", 3));
    output_capture out;
    rescue_menu();
    std::string text = out.text();
    EXPECT_EQ(text, std::string("Entering Rescue Mode.\n") + menu_list +
                        "\nOption? : d\n\nOption? : " + std::string(1, '\0') + "\n\nOption? : E\n");
    EXPECT_EQ(sigint_seen, 0);
}

TEST_F(Console, EraseRunsOnYesInEitherCase) {
    const std::string erased =
        "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: \n"
        "unmount filesystem\n\nErasing filesystem for clean install\nMounting...\n"
        "creating default filesystem\nBooting diags image...\n";
    for (const char* key : {"y", "Y"}) {
        type(key);
        output_capture out;
        int result = erase_filesystem();
        std::string text = out.text();
        EXPECT_EQ(result, 1);
        EXPECT_EQ(text.substr(0, erased.size()), erased) << "key " << key;
    }
    EXPECT_EQ(log(), "flash_eraseall [/dev/mtd-user-char]\nflash_eraseall [/dev/mtd-user-char]\n");
    struct stat st {};
    EXPECT_EQ(stat("/user/images", &st), 0);
}

TEST_F(Console, EraseSkippedOnAnyOtherKey) {
    const std::string skipped =
        "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: \n"
        "Booting diags image...\n";
    for (const std::string& key : std::initializer_list<std::string>{"n", "\r", std::string(1, '\0'), "N", "x"}) {
        type(key);
        output_capture out;
        EXPECT_EQ(erase_filesystem(), 1);
        EXPECT_EQ(out.text().substr(0, skipped.size()), skipped);
    }
    EXPECT_EQ(log(), "");
}

TEST_F(Console, MacEntryRefusedUntilQuit) {
    type("00-11-22-33-44-55\rq\r");
    output_capture err(2);
    output_capture out;
    EXPECT_EQ(set_mac_address(), 0);
    EXPECT_EQ(out.text(),
              "MAC address (format nn:nn:nn:nn:nn:nn): 00-11-22-33-44-55\n"
              "Invalid MAC address. Try again please\n"
              "MAC address (format nn:nn:nn:nn:nn:nn): q\n");
    EXPECT_EQ(err.text(), "");
}

TEST_F(Console, MacEntryAtMost17CharactersAndCtrlCLeaves) {
    type("00:11:22:33:44:556\r");
    {
        output_capture err(2);
        output_capture out;
        EXPECT_EQ(set_mac_address(), 1);
        EXPECT_EQ(out.text(), "MAC address (format nn:nn:nn:nn:nn:nn): 00:11:22:33:44:55\a\n");
    }
    sigint_seen = 1;
    type("00:11:22:33:44:55\r");
    output_capture err(2);
    output_capture out;
    EXPECT_EQ(set_mac_address(), 0);
    EXPECT_EQ(sigint_seen, 1);  // only the menu clears it
    EXPECT_EQ(err.text(), "");  // no command
}

TEST_F(Console, MacEntryNeverReachesTheShellAsSyntax) {
    type("1:2:3:4:5:6;x\r");
    output_capture err(2);
    output_capture out;
    EXPECT_EQ(set_mac_address(), 1);
    EXPECT_EQ(log(), "");  // the stub x never ran
    EXPECT_NE(err.text().find("1:2:3:4:5:6;x"), std::string::npos);  // ifconfig got it whole
}

TEST(MacCommand, PlainEntriesVerbatimOthersQuoted) {
    EXPECT_EQ(mac_address_command("00:11:22:33:44:55"), "ifconfig eth0 hw ether 00:11:22:33:44:55\n");
    EXPECT_EQ(mac_address_command("0:0:0:0:0:100"), "ifconfig eth0 hw ether 0:0:0:0:0:100\n");
    EXPECT_EQ(mac_address_command("1:2:3:4:5:6 $(x)"), "ifconfig eth0 hw ether '1:2:3:4:5:6 $(x)'\n");
    EXPECT_EQ(mac_address_command("1:2:3:4:5:6'`x`"),
              "ifconfig eth0 hw ether '1:2:3:4:5:6'\\''`x`'\n");
}

TEST(MacParse, SixHexNumbersLikeTheScanConversion) {
    for (const char* good : {"00:11:22:33:44:55", "1:2:3:4:5:6", "0:0:0:0:0:100", "aA:bB:cC:dD:eE:fF",
                             "0x1:2:3:4:5:6;x", " 1: 2:+3:-4:5:6", "ffffffffff:1:2:3:4:5"}) {
        EXPECT_TRUE(mac_entry_parses(good)) << good;
    }
    for (const char* bad : {"", "q", "00-11-22-33-44-55", "1:2:3:4:5", "1:2:3:4:5:", "1 :2:3:4:5:6",
                            "g:1:2:3:4:5", "1:2:3:4:5:x6", "1::2:3:4:5:6"}) {
        EXPECT_FALSE(mac_entry_parses(bad)) << bad;
    }
}
