// The USB stick operations against a scratch board root: the stick's folder,
// the readiness marker, the md5 tool and the rejected list are real files
// and commands there. Runs only inside the board sandbox.
#include "console/usb.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "console/input.h"
#include "image/container.h"

namespace fs = std::filesystem;

namespace {

constexpr char kHelloDigest[] = "5d41402abc4b2a76b9719d911017c592";  // md5 of "hello"
constexpr char kWork[] = "/tmp/usbtest";

bool inside_board_sandbox() {
    struct stat info {};
    return stat("/dev/mtd-uboot", &info) == 0 && S_ISREG(info.st_mode);
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void empty_dir(const fs::path& dir) {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(dir, ignored)) fs::remove_all(entry.path(), ignored);
}

// Runs `body` with standard output sent to a scratch file; returns what it printed.
template <typename Body>
std::string capture_stdout(Body body) {
    std::fflush(stdout);
    const int saved = dup(1);
    const int sink = open("/tmp/usb_test_stdout", O_RDWR | O_CREAT | O_TRUNC, 0600);
    dup2(sink, 1);
    close(sink);
    body();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    return read_file("/tmp/usb_test_stdout");
}

// Standard input reads `text` (then end of input) while the object lives.
class stdin_feed {
public:
    explicit stdin_feed(const std::string& text) : saved_(dup(0)) {
        int ends[2];
        if (pipe(ends) != 0) return;
        if (write(ends[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            ADD_FAILURE() << "short write to the stdin pipe";
        }
        close(ends[1]);
        dup2(ends[0], 0);
        close(ends[0]);
    }
    ~stdin_feed() {
        dup2(saved_, 0);
        close(saved_);
    }
    stdin_feed(const stdin_feed&) = delete;
    stdin_feed& operator=(const stdin_feed&) = delete;

private:
    int saved_;
};

bool line_editor_available() {
    stdin_feed input("x\n");
    char line[8] = "";
    capture_stdout([&] { read_line(line, sizeof line); });
    return std::strcmp(line, "x") == 0;
}

// A one-record application container whose payload names `text` (long
// enough for the record to fill a header probe).
std::string application_image(const std::string& text) {
    const std::string payload = "application payload: " + text;
    const auto record = encode_record(image::kTypeApplication, 1, 1, 16,
                                      reinterpret_cast<const uint8_t*>(payload.data()),
                                      payload.size());
    return std::string(record.begin(), record.end());
}

class Usb : public ::testing::Test {
protected:
    void SetUp() override {
        if (!inside_board_sandbox()) GTEST_SKIP() << "runs only inside scripts/test-sandbox";
        // A read past the end of the fed input would wait for ever: fail instead.
        alarm(60);
        clean();
        fs::create_directories(kWork);
        usb_present = 0;
    }
    void TearDown() override {
        alarm(0);
        if (inside_board_sandbox()) clean();
        if (chdir("/") != 0) ADD_FAILURE() << "cannot return to /";
    }
    static void clean() {
        std::error_code ignored;
        empty_dir("/mnt/usb");
        fs::create_directories("/mnt/usb", ignored);
        fs::remove_all(kWork, ignored);
        fs::remove_all("/user/images/rejected", ignored);
        fs::remove("/tmp/usb", ignored);
        fs::remove("/tmp/img_md5string", ignored);
    }
    static std::string entry_of(const char* digest) {
        return std::string("/user/images/rejected/") + digest;
    }
};

// ---------------------------------------------------------------- digests

TEST_F(Usb, DigestOfAFileAndTheScratchFileKeepsTheToolOutput) {
    write_file(std::string(kWork) + "/plain.img", "hello");
    char digest[33] = "";
    ASSERT_EQ(compute_image_md5("/tmp/usbtest/plain.img", digest), 1);
    EXPECT_STREQ(digest, kHelloDigest);
    EXPECT_EQ(read_file("/tmp/img_md5string"),
              std::string(kHelloDigest) + "  /tmp/usbtest/plain.img\n");
}

TEST_F(Usb, DigestOfAMissingFileCannotBeComputed) {
    char digest[33] = "untouched";
    EXPECT_EQ(compute_image_md5("/tmp/usbtest/absent.img", digest), 0);
    EXPECT_STREQ(digest, "");
}

TEST_F(Usb, StaleScratchFileNeverPassesForTheDigest) {
    // A scratch file that the shell cannot overwrite holds another image's digest.
    write_file("/tmp/img_md5string", "0123456789abcdef0123456789abcdef  /mnt/usb/old.img\n");
    chmod("/tmp/img_md5string", 0444);
    write_file(std::string(kWork) + "/plain.img", "hello");
    char digest[33] = "";
    ASSERT_EQ(compute_image_md5("/tmp/usbtest/plain.img", digest), 1);
    EXPECT_STREQ(digest, kHelloDigest);
}

// Names from a stick: each is digested as one file and no part of it runs.
TEST_F(Usb, HostileNamesAreDigestedWholeAndRunNothing) {
    ASSERT_EQ(chdir(kWork), 0);
    const std::vector<std::string> names = {
        "with space.img", "it's \"quoted\".img", "semi;touch pwned1", "$(touch pwned2)",
        "`touch pwned3`",  "new\nline.img",      "back\\slash*?.img", "-dash|touch pwned4&",
    };
    for (const std::string& name : names) {
        const std::string path = std::string(kWork) + "/" + name;
        write_file(path, "content of " + name);
        write_file(std::string(kWork) + "/reference", "content of " + name);
        char expected[33] = "";
        char digest[33] = "";
        ASSERT_EQ(compute_image_md5("/tmp/usbtest/reference", expected), 1);
        ASSERT_EQ(compute_image_md5(path.c_str(), digest), 1) << name;
        EXPECT_STREQ(digest, expected) << name;
        add_to_rejected_list(path.c_str());
        EXPECT_EQ(image_in_rejected_list(path.c_str()), 1) << name;
    }
    for (const char* dir : {"/", "/tmp", kWork, "/user/images/rejected"}) {
        for (const char* trap : {"pwned1", "pwned2", "pwned3", "pwned4"}) {
            EXPECT_FALSE(fs::exists(fs::path(dir) / trap)) << dir << "/" << trap;
        }
    }
}

// ---------------------------------------------------------- rejected list

TEST_F(Usb, AddedImageIsListedUnderItsDigest) {
    write_file("/mnt/usb/PLM5163_OS.img", "hello");
    std::string out = capture_stdout([] { EXPECT_EQ(image_in_rejected_list("/mnt/usb/PLM5163_OS.img"), 0); });
    EXPECT_EQ(out, "");
    add_to_rejected_list("/mnt/usb/PLM5163_OS.img");
    EXPECT_TRUE(fs::is_regular_file(entry_of(kHelloDigest)));
    EXPECT_EQ(fs::file_size(entry_of(kHelloDigest)), 0u);
    EXPECT_EQ(image_in_rejected_list("/mnt/usb/PLM5163_OS.img"), 1);
    // The digest, not the name, identifies the image.
    write_file("/mnt/usb/PLM5163_replace1_OS.img", "hello");
    EXPECT_EQ(image_in_rejected_list("/mnt/usb/PLM5163_replace1_OS.img"), 1);
    write_file("/mnt/usb/PLM5163_OS.img", "hello again");
    EXPECT_EQ(image_in_rejected_list("/mnt/usb/PLM5163_OS.img"), 0);
}

TEST_F(Usb, AddingAListedImageAgainRunsNoCommand) {
    write_file("/mnt/usb/PLM5163_OS.img", "hello");
    add_to_rejected_list("/mnt/usb/PLM5163_OS.img");
    const std::string entry = entry_of(kHelloDigest);
    // A touch would move the time stamp away from the year 2000.
    const timespec old_times[2] = {{946684800, 0}, {946684800, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, entry.c_str(), old_times, 0), 0);
    add_to_rejected_list("/mnt/usb/PLM5163_OS.img");
    struct stat info {};
    ASSERT_EQ(stat(entry.c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, 946684800);
    EXPECT_EQ(std::distance(fs::directory_iterator("/user/images/rejected"), fs::directory_iterator{}), 1);
}

TEST_F(Usb, UndigestibleImageWarnsIsNeverListedAndAddsNothing) {
    std::string out = capture_stdout([] {
        EXPECT_EQ(image_in_rejected_list("/mnt/usb/PLM5163_OS.img"), 0);
        add_to_rejected_list("/mnt/usb/PLM5163_OS.img");
    });
    EXPECT_EQ(out,
              "Warning: Cannot determine if image is in rejected list!\n"
              "Warning: Cannot add image to rejected list!\n");
    EXPECT_FALSE(fs::exists("/user/images/rejected"));
    // A directory where the image should be gives no digest either.
    fs::create_directories("/mnt/usb/PLM5163_OS.img");
    out = capture_stdout([] { add_to_rejected_list("/mnt/usb/PLM5163_OS.img"); });
    EXPECT_EQ(out, "Warning: Cannot add image to rejected list!\n");
    EXPECT_FALSE(fs::exists("/user/images/rejected"));
}

// ------------------------------------------------------------ mount wait

TEST_F(Usb, MountWithTheFlagClearNeitherWaitsNorPrints) {
    std::string out = capture_stdout([] { EXPECT_EQ(mount_usb(), 0); });
    EXPECT_EQ(out, "");
}

TEST_F(Usb, MountSeesTheReadyMarker) {
    usb_present = 1;
    write_file("/tmp/usb", "");
    std::string out = capture_stdout([] { EXPECT_EQ(mount_usb(), 0); });
    EXPECT_EQ(out,
              "Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\n"
              "USB mounted and ready!\n");
}

// ---------------------------------------------------------- replacements

TEST_F(Usb, ReplacementResultsWithoutAnInstall) {
    std::string out = capture_stdout([] { EXPECT_EQ(install_usb_replacement_images(), 0); });
    EXPECT_EQ(out, "No valid image found on USB\n");
    write_file("/mnt/usb/PLM5163_OS.img", "hello");
    out = capture_stdout([] { EXPECT_EQ(install_usb_replacement_images(), 3); });
    EXPECT_EQ(out, "");
}

TEST_F(Usb, RefusedSlot2ReplacementEndsTheStepWithNothing) {
    write_file("/mnt/usb/PLM5163_replace2_OS.img", "hello");
    write_file("/mnt/usb/PLM5163_replace1_OS.img", application_image("slot 1"));
    write_file("/mnt/usb/PLM5163_OS.img", application_image("stick"));
    add_to_rejected_list("/mnt/usb/PLM5163_replace2_OS.img");
    stdin_feed input("n\n");
    std::string out = capture_stdout([] { EXPECT_EQ(install_usb_replacement_images(), 0); });
    EXPECT_EQ(out.find("USB image (file 'PLM5163_replace2_OS.img') replacement for image2 found\n"), 0u);
    EXPECT_NE(out.find("Replacement USB image is in rejected list.\nWould you still like to load it? "),
              std::string::npos);
    EXPECT_EQ(out.find("image1"), std::string::npos);
    EXPECT_EQ(out.find("No valid image"), std::string::npos);
    EXPECT_FALSE(fs::exists("/user/images/image1"));
}

TEST_F(Usb, ReplacementThatInstallsNothingFallsThroughToTheStickImage) {
    write_file("/mnt/usb/PLM5163_replace2_OS.img", "not a container");
    write_file("/mnt/usb/PLM5163_OS.img", "hello");
    std::string out = capture_stdout([] { EXPECT_EQ(install_usb_replacement_images(), 3); });
    EXPECT_EQ(out.find("USB image (file 'PLM5163_replace2_OS.img') replacement for image2 found\n"), 0u);
    EXPECT_EQ(out.find("successfully replaced"), std::string::npos);
    EXPECT_EQ(out.find("board will boot"), std::string::npos);
    // Replacements are looked up in the list, never added to it.
    EXPECT_FALSE(fs::exists("/user/images/rejected"));
}

// Installs a first slot 2 replacement, so that the slot holds an older image.
bool slot2_replacement_installs() {
    write_file("/mnt/usb/PLM5163_replace2_OS.img", application_image("slot 2"));
    int result = 0;
    capture_stdout([&] { result = install_usb_replacement_images(); });
    return result == 2;
}

TEST_F(Usb, RefusedSlot1ReplacementAfterSlot2StillReportsSlot2) {
    ASSERT_TRUE(slot2_replacement_installs());
    write_file("/mnt/usb/PLM5163_replace2_OS.img", application_image("slot 2, newer"));
    write_file("/mnt/usb/PLM5163_replace1_OS.img", application_image("slot 1, listed"));
    add_to_rejected_list("/mnt/usb/PLM5163_replace1_OS.img");
    stdin_feed input("n\n");
    std::string out = capture_stdout([] { EXPECT_EQ(install_usb_replacement_images(), 2); });
    EXPECT_NE(out.find("Image2 has been successfully replaced\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Image1 has been"), std::string::npos);
    EXPECT_NE(out.find("USB replacement image: board will boot with image2.\n"), std::string::npos);
}

// ---------------------------------------------------------------- chooser

TEST(UsbChooserNumber, ParsedAsADecimalIntegerWithoutOverflow) {
    struct case_t {
        const char* line;
        int parsed;
        int number;
    };
    const case_t cases[] = {
        {"2", 1, 2},           {"  -1", 1, -1},        {"+3 files", 1, 3},
        {"\t7x", 1, 7},        {"0", 1, 0},            {"0x10", 1, 0},
        {"abc", 0, 0},         {"", 0, 0},             {"- 5", 0, 0},
        {"+", 0, 0},           {"99999999999999999999", 1, INT_MAX},
        {"-99999999999999999999", 1, INT_MIN},         {"2147483648", 1, INT_MAX},
    };
    for (const case_t& c : cases) {
        int number = 0;
        EXPECT_EQ(parse_file_number(c.line, &number), c.parsed) << c.line;
        EXPECT_EQ(number, c.number) << c.line;
    }
}

class UsbChooser : public Usb {
protected:
    void SetUp() override {
        Usb::SetUp();
        if (IsSkipped()) return;
        if (!line_editor_available()) GTEST_SKIP() << "line editor not available";
        write_file("/mnt/usb/first.img", "one");
        write_file("/mnt/usb/second.img", "two");
        fs::create_directories("/mnt/usb/folder");
        write_file("/mnt/usb/folder/inner.img", "three");
        fs::create_symlink("folder", "/mnt/usb/folder-link");
        fs::create_symlink("nowhere", "/mnt/usb/dangling");
    }
    // Runs the chooser on `answers`; returns its output, result in *result.
    static std::string choose(const std::string& answers, int* result) {
        stdin_feed input(answers);
        return capture_stdout([&] { *result = choose_usb_image(); });
    }
    // Number given to each listed name in the output of a chooser run.
    static std::map<std::string, int> listing(const std::string& out) {
        std::map<std::string, int> numbers;
        std::istringstream lines(out);
        std::string line;
        while (std::getline(lines, line) && line.rfind('\t', 0) == 0) {
            const auto colon = line.find(": ");
            numbers[line.substr(colon + 2)] = std::stoi(line.substr(1, colon - 1));
        }
        return numbers;
    }
    static std::string cwd() { return fs::current_path().string(); }
};

TEST_F(UsbChooser, ListsFilesAndLinksButNoDirectories) {
    int result = -1;
    const std::string out = choose("q\n", &result);
    EXPECT_EQ(result, 0);
    const auto numbers = listing(out);
    ASSERT_EQ(numbers.size(), 4u) << out;
    std::vector<int> seen;
    for (const auto& [name, number] : numbers) seen.push_back(number);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4}));
    for (const char* name : {"first.img", "second.img", "folder-link", "dangling"}) {
        EXPECT_EQ(numbers.count(name), 1u) << name;
    }
    EXPECT_NE(out.find("Choose file number to install (q to quit): "), std::string::npos);
    EXPECT_EQ(out.find("Installing"), std::string::npos);
    EXPECT_EQ(cwd(), "/tmp");
}

TEST_F(UsbChooser, ChosenNumberInstallsThatFile) {
    int result = -1;
    const int second = listing(choose("Q\n", &result))["second.img"];
    ASSERT_GT(second, 0);
    const std::string out = choose(std::to_string(second) + "\n", &result);
    EXPECT_NE(out.find("Installing second.img\n"), std::string::npos) << out;
    EXPECT_EQ(result, 0);  // not a container: the installer installs nothing
    EXPECT_EQ(cwd(), "/tmp");
}

TEST_F(UsbChooser, InvalidLinesAskAgainWithoutThePrompt) {
    int result = -1;
    const int first = listing(choose("q\n", &result))["first.img"];
    const std::string out = choose("abc\n\n" + std::to_string(first) + "\n", &result);
    EXPECT_NE(out.find("Invalid file number abc. Try again pleas\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Invalid file number . Try again pleas\n"), std::string::npos) << out;
    const auto prompt = out.find("Choose file number");
    EXPECT_EQ(out.find("Choose file number", prompt + 1), std::string::npos);
    EXPECT_NE(out.find("Installing first.img\n"), std::string::npos);
}

TEST_F(UsbChooser, NumbersOutsideTheListReturnSilently) {
    for (const char* answer : {"0\n", "-1\n", "5\n", "99999999999999999999\n"}) {
        int result = -1;
        const std::string out = choose(answer, &result);
        EXPECT_EQ(result, 0) << answer;
        EXPECT_EQ(out.find("Installing"), std::string::npos) << answer;
        EXPECT_EQ(out.find("Invalid"), std::string::npos) << answer;
        EXPECT_EQ(out.find("Unable"), std::string::npos) << answer;
        EXPECT_EQ(cwd(), "/tmp") << answer;
    }
}

TEST_F(UsbChooser, MissingStickDirectoryQuitsWhereItStood) {
    fs::rename("/mnt/usb", "/mnt/usb.away");
    ASSERT_EQ(chdir("/user"), 0);
    int result = -1;
    const std::string out = choose("1\n", &result);
    fs::rename("/mnt/usb.away", "/mnt/usb");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "Unable to open USB directory. Quitting\n");
    EXPECT_EQ(cwd(), "/user");
}

}  // namespace
