#include "console/line_editor.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

struct edit_result {
    std::string line;
    std::string echo;
    bool ended = false;
};

// Feeds `keys` to a fresh editor over a buffer of `size` bytes (with guard
// bytes after it that must stay untouched).
edit_result edit(const std::string& keys, int size = 128) {
    std::vector<char> storage(static_cast<std::size_t>(size) + 8, '#');
    line_editor editor;
    line_editor_begin(&editor, storage.data(), size);
    edit_result result;
    for (char key : keys) {
        result.ended = line_editor_feed(&editor, static_cast<unsigned char>(key), &result.echo);
    }
    for (std::size_t i = static_cast<std::size_t>(size); i < storage.size(); i++) {
        EXPECT_EQ(storage[i], '#') << "byte " << i << " beyond the buffer was written";
    }
    result.line = std::string(storage.data());
    return result;
}

const std::string esc = "\x1b";

}  // namespace

TEST(LineEditorSizes, SizeOneAcceptsNothing) {
    auto r = edit("ab\r", 1);
    EXPECT_EQ(r.line, "");
    EXPECT_EQ(r.echo, "\a\a\n");
    EXPECT_TRUE(r.ended);
}

TEST(LineEditorSizes, Size128TakesAtMost127Characters) {
    auto r = edit(std::string(128, 'x') + "\r", 128);
    EXPECT_EQ(r.line, std::string(127, 'x'));
    EXPECT_EQ(r.echo, std::string(127, 'x') + "\a\n");
}

TEST(LineEditorSizes, RemovalGivesRoomBackAndFullLineRefusesMidInsert) {
    // size 3: two characters fit; c rings, BS frees one place, c then fits.
    EXPECT_EQ(edit("abc\x08" "c\r", 3).line, "ac");
    auto r = edit("abc\x02z\r", 4);
    EXPECT_EQ(r.line, "abc");
    EXPECT_EQ(r.echo, "abc\b\a\n");
}

TEST(LineEditorSizes, SizeBelowOneTouchesNothingAndIsEnded) {
    char buffer[2] = {'k', 'k'};
    line_editor editor;
    line_editor_begin(&editor, buffer, 0);
    std::string echo;
    EXPECT_TRUE(line_editor_feed(&editor, 'a', &echo));
    EXPECT_EQ(echo, "");
    EXPECT_EQ(buffer[0], 'k');
}

TEST(LineEditorMoves, CtrlAThenInsertAtStart) {
    auto r = edit("abc\x01x\r");
    EXPECT_EQ(r.line, "xabc");
    EXPECT_EQ(r.echo, "abc\b\b\bxabc\b\b\b\n");
}

TEST(LineEditorMoves, CtrlBTwiceThenBackspace) {
    auto r = edit("abc\x02\x02\x08\r");
    EXPECT_EQ(r.line, "bc");
    EXPECT_EQ(r.echo, "abc\b\b\bbc \b\b\b\n");
}

TEST(LineEditorMoves, CtrlFRewritesCharacterAndStopsAtEnd) {
    auto r = edit("ab\x01\x06\x06\x06\r");
    EXPECT_EQ(r.line, "ab");
    EXPECT_EQ(r.echo, "ab\b\bab\n");
}

TEST(LineEditorMoves, CtrlBAtStartWritesNothing) {
    EXPECT_EQ(edit("\x02\x01\r").echo, "\n");
}

TEST(LineEditorRemoval, CtrlDAtEndAndBackspaceAtStartWriteNothing) {
    auto at_end = edit("ab\x04\r");
    EXPECT_EQ(at_end.line, "ab");
    EXPECT_EQ(at_end.echo, "ab\n");
    auto at_start = edit("ab\x01\x08\x7f\r");
    EXPECT_EQ(at_start.line, "ab");
    EXPECT_EQ(at_start.echo, "ab\b\b\n");
}

TEST(LineEditorRemoval, CtrlDRemovesUnderCursorAndRedraws) {
    auto r = edit("abc\x01\x04\r");
    EXPECT_EQ(r.line, "bc");
    EXPECT_EQ(r.echo, "abc\b\b\bbc \b\b\b\n");
}

TEST(LineEditorRemoval, DeleteActsLikeBackspaceAtEnd) {
    auto r = edit("ab\x7f\r");
    EXPECT_EQ(r.line, "a");
    EXPECT_EQ(r.echo, "ab\b \b\n");
}

TEST(LineEditorEscape, CursorRightWithParameters) {
    auto r = edit("ab\x01" + esc + "[1;5Cx\r");
    EXPECT_EQ(r.line, "axb");
    EXPECT_EQ(r.echo, "ab\b\baxb\b\n");
}

TEST(LineEditorEscape, CursorLeftAndDroppedSequences) {
    auto left = edit("ab" + esc + "[Dx\r");
    EXPECT_EQ(left.line, "axb");
    EXPECT_EQ(left.echo, "ab\bxb\b\n");
    auto dropped = edit("ab" + esc + "[A" + esc + "[B" + esc + "[3~\r");
    EXPECT_EQ(dropped.line, "ab");
    EXPECT_EQ(dropped.echo, "ab\n");
}

TEST(LineEditorEscape, EscapeThenOrdinaryByteIsHandledNormally) {
    auto r = edit(esc + "x" + esc + "\x01y\r");
    EXPECT_EQ(r.line, "yx");
    EXPECT_EQ(r.echo, "x\byx\b\n");
    // ESC ESC [ C: the second ESC starts the sequence again.
    EXPECT_EQ(edit("ab\x01" + esc + esc + "[Cz\r").line, "azb");
    // A lone ESC before Enter ends the line like Enter alone.
    EXPECT_EQ(edit("ab" + esc + "\r").line, "ab");
}

TEST(LineEditorEscape, EscapeBackspaceRemovesTheWordBeforeTheCursor) {
    auto r = edit("foo bar" + esc + "\x7f\r");
    EXPECT_EQ(r.line, "foo ");
    EXPECT_EQ(r.echo, "foo bar\b \b\b \b\b \b\n");
    // The first character goes whatever it is, then the word before it.
    EXPECT_EQ(edit("ab cd " + esc + "\x08\r").line, "ab ");
    EXPECT_EQ(edit("10.0.0" + esc + "\x08\r").line, "10.0.");
    // Mid-line, the tail is redrawn after each removal.
    auto mid = edit("ab cd\x02" + esc + "\x08\r");
    EXPECT_EQ(mid.line, "ab d");
    EXPECT_EQ(mid.echo, "ab cd\b\bd \b\b\n");
    auto start = edit("ab\x01" + esc + "\x7f\r");
    EXPECT_EQ(start.line, "ab");
    EXPECT_EQ(start.echo, "ab\b\b\n");
}

TEST(LineEditorEnd, EnterMidLineReturnsWholeLine) {
    auto r = edit("abcd\x02\x02\n");
    EXPECT_EQ(r.line, "abcd");
    EXPECT_EQ(r.echo, "abcd\b\b\n");
    EXPECT_TRUE(r.ended);
}

TEST(LineEditorEnd, ByteThreeBreaksAndKeepsTheLine) {
    auto r = edit("ab\x03");
    EXPECT_EQ(r.line, "ab");
    EXPECT_EQ(r.echo, "ab <break>\n");
    EXPECT_TRUE(r.ended);
}

TEST(LineEditorEnd, KeysAfterTheEndChangeNothing) {
    auto r = edit("ab\rcd\x08\x03");
    EXPECT_EQ(r.line, "ab");
    EXPECT_EQ(r.echo, "ab\n");
}

TEST(LineEditorBell, ControlBytesRingAndChangeNothing) {
    auto r = edit(std::string("a\0b\t\x05\x07\x1f\x1c", 8) + "\r");
    EXPECT_EQ(r.line, "ab");
    EXPECT_EQ(r.echo, "a\ab\a\a\a\a\a\n");
    EXPECT_FALSE(edit(std::string("\0", 1)).ended);
}

TEST(LineEditorBell, HighBytesAreInserted) {
    auto r = edit("\x80\xff\r");
    EXPECT_EQ(r.line, "\x80\xff");
    EXPECT_EQ(r.echo, "\x80\xff\n");
}

namespace {

// A one-line terminal: printable bytes overwrite and advance, BS moves left,
// BEL does nothing. What it shows must always be the editor's line.
struct screen {
    std::string cells;
    std::size_t column = 0;
    void show(const std::string& echo) {
        for (char c : echo) {
            if (c == '\b') {
                if (column > 0) column--;
            } else if (c != '\a') {
                if (column >= cells.size()) cells.resize(column + 1, ' ');
                cells[column++] = c;
            }
        }
    }
};

void check_invariants(const line_editor& ed, const screen& term) {
    ASSERT_GE(ed.length, 0);
    ASSERT_LE(ed.length, ed.size - 1);
    ASSERT_GE(ed.cursor, 0);
    ASSERT_LE(ed.cursor, ed.length);
    ASSERT_EQ(ed.free_room, ed.size - ed.length);
    ASSERT_EQ(ed.buffer[ed.length], 0);
    ASSERT_EQ(std::string(ed.buffer).size(), static_cast<std::size_t>(ed.length));
    ASSERT_EQ(term.cells.substr(0, static_cast<std::size_t>(ed.length)), std::string(ed.buffer));
    ASSERT_EQ(term.cells.find_first_not_of(' ', static_cast<std::size_t>(ed.length)), std::string::npos);
    ASSERT_EQ(term.column, static_cast<std::size_t>(ed.cursor));
}

unsigned char random_key(std::mt19937& rng) {
    static const unsigned char keys[] = {1, 2, 4, 6, 8, 127, 27, '[', '1', ';', 'C', 'D', 'A', 0,
                                         9, 'a', 'z', '0', ' ', '.', 200};
    std::uniform_int_distribution<int> pick(0, sizeof keys - 1);
    std::uniform_int_distribution<int> any(0, 255);
    if (rng() % 8 == 0) return static_cast<unsigned char>(any(rng));
    return keys[pick(rng)];
}

}  // namespace

TEST(LineEditorProperty, RandomKeysKeepTheLineAndTheScreenInStep) {
    std::mt19937 rng(20261206);
    for (int round = 0; round < 3000; round++) {
        int size = 1 + static_cast<int>(rng() % 12);
        std::vector<char> storage(static_cast<std::size_t>(size) + 4, '#');
        line_editor ed;
        line_editor_begin(&ed, storage.data(), size);
        screen term;
        for (int n = 0; n < 60; n++) {
            unsigned char key = random_key(rng);
            if (key == 3 || key == 10 || key == 13) continue;
            std::string echo;
            ASSERT_FALSE(line_editor_feed(&ed, key, &echo));
            term.show(echo);
            check_invariants(ed, term);
            ASSERT_EQ(std::string(storage.data() + size, 4), "####");
        }
    }
}
