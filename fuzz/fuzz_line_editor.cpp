// The console line editor on an arbitrary key sequence and buffer size. The
// first input byte is the buffer size (0-255), the rest are keys. After every
// key: the line is NUL-terminated, at most size - 1 long, the cursor within
// it, and a model terminal fed the echo shows exactly the line with its
// cursor at the editing position.
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "console/line_editor.h"

namespace {

using fuzz::require;

// One line of a terminal: printable bytes overwrite the cell under the
// cursor and move it right, BS moves it left, BEL does nothing.
struct terminal {
    std::string cells;
    std::size_t column = 0;
    bool line_ended = false;
    void feed(const std::string& bytes) {
        for (unsigned char c : bytes) {
            if (c == '\n') line_ended = true;
            if (line_ended || c == 7) continue;
            if (c == 8) {
                require(column > 0, "no backspace beyond the start of the line");
                --column;
                continue;
            }
            require(c >= 32 && c != 127, "only printable bytes, BS, BEL and LF are echoed");
            if (column == cells.size()) cells.push_back(static_cast<char>(c));
            else cells[column] = static_cast<char>(c);
            ++column;
        }
    }
};

void check_editor(const line_editor& ed, const terminal& term) {
    require(ed.length >= 0 && ed.length <= ed.size - 1, "length within size - 1");
    require(ed.buffer[ed.length] == '\0', "line NUL-terminated");
    require(std::strlen(ed.buffer) == static_cast<std::size_t>(ed.length), "no NUL inside the line");
    require(ed.cursor >= 0 && ed.cursor <= ed.length, "cursor within the line");
    require(ed.free_room == ed.size - ed.length, "free room matches the length");
    require(ed.escape_state >= 0 && ed.escape_state <= 2, "escape state 0..2");
    if (ed.ended) return;
    require(term.column == static_cast<std::size_t>(ed.cursor), "terminal cursor at the cursor");
    require(term.cells.compare(0, ed.length, ed.buffer, ed.length) == 0 &&
                term.cells.size() >= static_cast<std::size_t>(ed.length),
            "the screen shows the line");
    for (std::size_t i = ed.length; i < term.cells.size(); ++i) {
        require(term.cells[i] == ' ', "nothing left on the screen after the line");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    int buffer_size = data[0];
    // Exactly `buffer_size` bytes on the heap: a write beyond them is caught.
    std::unique_ptr<char[]> buffer(new char[buffer_size > 0 ? buffer_size : 1]);
    if (buffer_size == 0) buffer[0] = 'x';
    line_editor ed;
    line_editor_begin(&ed, buffer.get(), buffer_size);
    if (buffer_size == 0) {
        require(ed.ended && buffer[0] == 'x', "size 0 leaves the buffer alone");
        return 0;
    }
    terminal term;
    check_editor(ed, term);
    for (std::size_t i = 1; i < size && !ed.ended; ++i) {
        std::string echo;
        line_editor_feed(&ed, data[i], &echo);
        term.feed(echo);
        check_editor(ed, term);
    }
    return 0;
}
