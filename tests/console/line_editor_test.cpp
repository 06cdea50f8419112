// Ctrl-C and silence on a real terminal are the system tests' part.
#include "console/line_editor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "console/input.h"
#include "console_harness.h"

namespace {

const std::string esc = "\x1b";

struct edit_row {
    std::string keys;
    const char* line;
    const char* echo;  // nullptr: not looked at
    int size = 16;
};

TEST(LineEditor, KeySequences) {
    const edit_row rows[] = {
        {"ab\r", "", "\a\a\n", 1},
        {"abc\bc\r", "ac", "ab\a\b \bc\n", 3},  // removal gives the room back
        {"abc\x02z\r", "abc", "abc\b\a\n", 4},
        {"abc\x01x\r", "xabc", "abc\b\b\bxabc\b\b\b\n"},
        {"abc\x02\x02\x08\r", "bc", "abc\b\b\bbc \b\b\b\n"},
        {"ab\x01\x06\x06\x06\r", "ab", "ab\b\bab\n"},
        {"\x02\x01\r", "", "\n"},
        {"ab\x04\r", "ab", "ab\n"},
        {"ab\x01\x08\x7f\r", "ab", "ab\b\b\n"},
        {"abc\x01\x04\r", "bc", "abc\b\b\bbc \b\b\b\n"},
        {"ab\x7f\r", "a", "ab\b \b\n"},
        {"ab\x01" + esc + "[1;5Cx\r", "axb", "ab\b\baxb\b\n"},
        {"ab" + esc + "[09Dx\r", "axb", "ab\bxb\b\n"},  // 0 and 9 are parameters too
        {"ab" + esc + "[A" + esc + "[B" + esc + "[3~\r", "ab", "ab\n"},
        {esc + "x" + esc + "\x01y\r", "yx", "x\byx\b\n"},
        {"ab\x01" + esc + esc + "[Cz\r", "azb", nullptr},
        {"ab" + esc + "\r", "ab", "ab\n"},
        // Escape-Backspace: the first character goes whatever it is, then the word.
        {"foo bar" + esc + "\x7f\r", "foo ", "foo bar\b \b\b \b\b \b\n"},
        {"ab cd " + esc + "\x08\r", "ab ", nullptr},
        {"10.0.0" + esc + "\x08\r", "10.0.", nullptr},
        {"ab cd\x02" + esc + "\x08\r", "ab d", "ab cd\b\bd \b\b\n"},
        {"ab\x01" + esc + "\x7f\r", "ab", "ab\b\b\n"},
        {"abcd\x02\x02\n", "abcd", "abcd\b\b\n"},
        {"ab\x03", "ab", "ab <break>\n"},
        {"ab\rcd\x08\x03", "ab", "ab\n"},
        {std::string("a\0b\t\x05\x07\x1f\x1c\r", 9), "ab", "a\ab\a\a\a\a\a\n"},
        {"\x80\xff\r", "\x80\xff", "\x80\xff\n"},
    };
    for (const edit_row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.keys));
        std::vector<char> storage(static_cast<std::size_t>(row.size) + 8, '#');
        line_editor editor;
        line_editor_begin(&editor, storage.data(), row.size);
        std::string echo;
        bool ended = false;
        for (char key : row.keys)
            ended = line_editor_feed(&editor, static_cast<unsigned char>(key), &echo);
        EXPECT_TRUE(ended);
        EXPECT_EQ(std::string(storage.begin() + row.size, storage.end()), "########");
        EXPECT_EQ(std::string(storage.data()), row.line);
        if (row.echo != nullptr) { EXPECT_EQ(echo, row.echo); }
    }
}

TEST(ConsoleInput, KeysAndLinesFromAPipe) {
    typed_input console("ab\x01x\ryz");
    char line[16];
    EXPECT_EQ(printed([&] { EXPECT_EQ(read_line(line, sizeof line), line); }), "ab\b\bxab\b\b\n");
    EXPECT_STREQ(line, "xab");
    EXPECT_EQ(get_key(), 'y');
    EXPECT_EQ(get_key(), 'z');
    EXPECT_EQ(console_input_ended(), 0);
    EXPECT_EQ(get_key(), 0);  // end of input
    EXPECT_EQ(console_input_ended(), 1);
}

// A console that went away ends the line at once, whatever key sequence was
// under way, instead of ringing for ever; a line it found empty is a quit, so
// that no prompt asks again for ever.
TEST(ConsoleInput, EndOfInputEndsTheLine) {
    const struct {
        const char *typed, *echo, *line;
    } rows[] = {{"ab", "ab\n", "ab"},         {"ab\x1b", "ab\n", "ab"}, {"ab\x1b[", "ab\n", "ab"},
                {"ab\x1b[1;", "ab\n", "ab"}, {"", "\n", "q"},         {"\x1b[", "\n", "q"},
                {"x\x7f", "x\b \b\n", "q"}};
    for (const auto& r : rows) {
        typed_input console(r.typed);
        char line[16];
        const int sleeps = sleeps_skipped;
        alarm(30);  // a spinning editor ends the program rather than hanging it
        EXPECT_EQ(printed([&] { read_line(line, sizeof line); }), r.echo) << r.typed;
        alarm(0);
        EXPECT_STREQ(line, r.line) << r.typed;
        EXPECT_EQ(sleeps_skipped - sleeps, 1) << r.typed;  // one read found the end
    }
}

TEST(ConsoleInput, YesNoQuestion) {
    const struct {
        const char *typed, *question;
        int answer;
        const char *output, *left;
    } rows[] = {
        {"n\n", "Go on? ", 0, "Go on? (y/n) ", "\n"},
        {"Y\nN\ny\nrest", "Load it? ", 1, "Load it? (y/n) (y/n) (y/n) (y/n) (y/n) ", "\nrest"},
        {"n", "100% %s %n%d? ", 0, "100% %s %n%d? (y/n) ", ""},               // never a format
        {"Y", "Q? ", 0, "Q? (y/n) (y/n) \nTimeout. Assuming \"no\".\n", ""},  // end of input
    };
    alarm(30);  // asking again at end of input would spin: fail rather than hang
    for (const auto& r : rows) {
        typed_input console(r.typed);
        int answer = -1;
        errno = EINTR;  // left by an earlier interrupted read: end of input is still the end
        EXPECT_EQ(printed([&] { answer = ask_yes_no_timeout(r.question); }), r.output);
        EXPECT_EQ(answer, r.answer) << r.typed;
        char left[8] = {};
        EXPECT_EQ(read(0, left, sizeof left), static_cast<ssize_t>(std::strlen(r.left)));
        EXPECT_STREQ(left, r.left);
    }
    alarm(0);
}

TEST(ConsoleInput, YesNoIgnoresWhatStdioHasBuffered) {
    typed_input console("XY", true);
    EXPECT_EQ(std::getc(stdin), 'X');  // stdio now holds the Y
    console.send("n");
    EXPECT_EQ(printed([] { EXPECT_EQ(ask_yes_no_timeout("Q? "), 0); }), "Q? (y/n) ");
    console.hang_up();
    EXPECT_EQ(std::getc(stdin), EOF);
}

}  // namespace
