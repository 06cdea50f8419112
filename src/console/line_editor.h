// The console line editor as a state machine: fed one key at a time, it edits
// a caller-owned buffer and says which bytes the terminal must be sent so that
// the screen shows the line. It does no terminal I/O itself (read_line in
// console/input.h does), so it can be driven by tests and fuzzers.
#pragma once

#include <string>

struct line_editor {
    char* buffer = nullptr;  // caller's line buffer
    int size = 0;            // its size in bytes
    int length = 0;          // characters in the line
    int cursor = 0;          // 0 .. length
    int free_room = 0;       // size - length; an insertion needs >= 2
    int escape_state = 0;    // 0 normal, 1 after ESC, 2 after ESC [
    bool ended = false;      // Enter, LF or byte 3 seen
};

// Starts editing `buffer` of `size` bytes: zeroes all of it and puts the
// cursor at 0. A size below 1 leaves the buffer alone and the editor ended.
//
// Invariants kept by every later line_editor_feed, on any key sequence:
//   buffer[length] == 0 and no byte before it is 0, 0 <= length <= size - 1,
//   0 <= cursor <= length, free_room == size - length, escape_state in 0..2,
//   and no byte at or beyond `size` is ever touched.
void line_editor_begin(line_editor* editor, char* buffer, int size);

// Handles one key and appends to `echo` the exact bytes to write to the
// terminal (nothing is cleared from it first). Returns true once input has
// ended (the line is then final); keys fed after that change nothing.
//
// Keys: Ctrl-A start of line, Ctrl-B / ESC [ D left, Ctrl-F / ESC [ C right,
// Ctrl-D delete under the cursor, BS / DEL delete before the cursor, CR / LF
// end, byte 3 " <break>" and end, 32-126 and 128-255 insert (BEL when full),
// other control bytes BEL; other ESC [ sequences are dropped.
//
// ESC followed by BS or DEL deletes the word before the cursor: the character
// before the cursor goes exactly as with BS, then removal goes on backwards
// while the character before the cursor lies in '0'..'z' (digits, letters and
// the punctuation between them), stopping at the start of the line. Each
// character removed is echoed like a BS. At the start of the line it does
// nothing and writes nothing.
bool line_editor_feed(line_editor* editor, unsigned char key, std::string* echo);

// Ends the line as Enter does (appending "\n" to `echo`), whatever key
// sequence was under way: without more input it can only be ended. Nothing
// happens once the line has ended.
void line_editor_end_of_input(line_editor* editor, std::string* echo);
