// Against the scratch board root's real files and commands.
#include "console/usb.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <functional>
#include <string>

#include "console_harness.h"

namespace fs = std::filesystem;

namespace {

constexpr char kHello[] = "5d41402abc4b2a76b9719d911017c592";  // md5 of "hello"
constexpr char kStick[] = "/mnt/usb/PLM5163_OS.img";

class Usb : public ::testing::Test {
   protected:
    void SetUp() override {
        alarm(60);  // a read past the fed input fails instead of hanging
        clean();
        usb_present = 0;
    }
    void TearDown() override {
        alarm(0);
        clean();
        if (chdir("/") != 0) ADD_FAILURE();
    }
    static void clean() {
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator("/mnt/usb", ignored))
            fs::remove_all(entry.path(), ignored);
        for (const char* path : {"/user/images/rejected", "/tmp/usb", "/tmp/img_md5string"})
            fs::remove_all(path, ignored);
    }
};

TEST_F(Usb, DigestsOfFilesWithAnyName) {
    char digest[33] = "untouched";
    EXPECT_EQ(compute_image_md5("/mnt/usb/absent.img", digest), 0);
    EXPECT_STREQ(digest, "");
    // A scratch file the shell cannot overwrite, holding another image's digest.
    write_file("/tmp/img_md5string", "0123456789abcdef0123456789abcdef  /mnt/usb/old.img\n");
    chmod("/tmp/img_md5string", 0444);
    for (const char* name : {"plain.img", "it's \"q\";touch pwned1", "$(touch pwned2)|`pwned3`&"}) {
        const std::string path = std::string("/mnt/usb/") + name;
        write_file(path, "hello");
        ASSERT_EQ(chdir("/mnt/usb"), 0);
        ASSERT_EQ(compute_image_md5(path.c_str(), digest), 1) << name;
        EXPECT_STREQ(digest, kHello) << name;
        fs::remove(path);
    }
    EXPECT_EQ(read_file("/tmp/img_md5string"),
              std::string(kHello) + "  /mnt/usb/$(touch pwned2)|`pwned3`&\n");
    for (const auto& entry : fs::directory_iterator("/mnt/usb")) ADD_FAILURE() << entry.path();
}

// A digest that could not be written down is no digest: the image is not
// taken for listed (the sandbox drops root's right to write anywhere).
TEST_F(Usb, UnwritableDigestIsNoListing) {
    write_file(kStick, "hello");
    fs::create_directories("/user/images/rejected");
    write_file(std::string("/user/images/rejected/") + kHello, "");
    struct stat tmp {};
    ASSERT_EQ(stat("/tmp", &tmp), 0);
    fs::remove("/tmp/img_md5string");
    chmod("/tmp", 0555);
    const int listed = image_in_rejected_list(kStick);
    chmod("/tmp", tmp.st_mode & 07777);
    EXPECT_EQ(listed, 0);
    EXPECT_EQ(image_in_rejected_list(kStick), 1);
}

// A FIFO or a link to a device would block md5sum or the installer for ever.
TEST_F(Usb, StickFilesThatAreNotRegularFilesCountAsMissing) {
    ASSERT_EQ(mkfifo(kStick, 0600), 0);
    fs::create_symlink("/dev/null", "/mnt/usb/PLM5163_Boot.img");
    char digest[33];
    EXPECT_EQ(printed([&] {
        install_usb_boot_image();
        EXPECT_EQ(install_usb_replacement_images(), 0);
        EXPECT_EQ(compute_image_md5(kStick, digest), 0);
    }), "No boot image found on USB.\nNo valid image found on USB\n");
}

// A chosen entry that could block the install is refused with a word; a
// dangling link or a link to a folder goes to the installer, which fails.
TEST_F(Usb, ChooserRefusesOnlyWhatCouldBlock) {
    const struct {
        const char* kind;
        std::function<void(const char*)> make;
        std::string after;
    } rows[] = {
        {"fifo", [](const char* p) { mkfifo(p, 0600); },
         "x is a FIFO, not an image file: not installed\n"},
        {"device", [](const char* p) { fs::create_symlink("/dev/null", p); },
         "x is a device, not an image file: not installed\n"},
        {"dangling link", [](const char* p) { fs::create_symlink("/mnt/usb/gone", p); },
         "\nExtracting images ... Do *NOT* power cycle the switch.\nERROR: No valid image found\n"},
        {"link to a folder", [](const char* p) { fs::create_symlink("/tmp", p); },
         "\nExtracting images ... Do *NOT* power cycle the switch.\n"
         "Image read failed at offset 0, voiding download\n"},
    };
    for (const auto& r : rows) {
        clean();
        r.make("/mnt/usb/x");
        typed_input console("1\n");
        std::string out = printed([] { EXPECT_EQ(choose_usb_image(), 0); }, true);
        EXPECT_EQ(out.substr(out.find("Installing")), "Installing x\n" + r.after) << r.kind;
        EXPECT_EQ(fs::current_path(), "/tmp") << r.kind;
    }
}

TEST_F(Usb, ChooserWithoutTheStickDirectoryQuitsWhereItStood) {
    fs::rename("/mnt/usb", "/mnt/usb.away");
    ASSERT_EQ(chdir("/user"), 0);
    typed_input console("1\n");
    std::string out = printed([] { EXPECT_EQ(choose_usb_image(), 0); }, true);
    fs::rename("/mnt/usb.away", "/mnt/usb");
    EXPECT_EQ(out, "Unable to open USB directory. Quitting\n");
    EXPECT_EQ(fs::current_path(), "/user");
}

TEST(UsbChooser, FileNumberIsADecimalIntegerWithoutOverflow) {
    const struct {
        const char* line;
        int parsed, number;
    } rows[] = {
        {"2", 1, 2},   {"  -1", 1, -1}, {"+3 files", 1, 3}, {"\t7x", 1, 7}, {"0x10", 1, 0},
        {"abc", 0, 0}, {"", 0, 0},      {"- 5", 0, 0},      {"+", 0, 0},
        {"2147483648", 1, INT_MAX}, {"99999999999999999999", 1, INT_MAX},
        {"-99999999999999999999", 1, INT_MIN}};
    for (const auto& r : rows) {
        int number = 0;
        EXPECT_EQ(parse_file_number(r.line, &number), r.parsed) << r.line;
        EXPECT_EQ(number, r.number) << r.line;
    }
}

}  // namespace
