#include "console/line_editor.h"

#include <cstring>

namespace {

constexpr char backspace = 8;
constexpr char bell = 7;

void cursor_left(line_editor* ed, std::string* echo) {
    if (ed->cursor == 0) return;
    ed->cursor--;
    *echo += backspace;
}

void cursor_right(line_editor* ed, std::string* echo) {
    if (ed->cursor >= ed->length) return;
    *echo += ed->buffer[ed->cursor];
    ed->cursor++;
}

// Removes the character under the cursor and redraws the rest of the line,
// leaving the terminal cursor where the editing cursor is.
void remove_at_cursor(line_editor* ed, std::string* echo) {
    if (ed->cursor >= ed->length) return;
    char* at = ed->buffer + ed->cursor;
    int tail = ed->length - ed->cursor - 1;
    std::memmove(at, at + 1, static_cast<std::size_t>(tail));
    ed->length--;
    ed->buffer[ed->length] = 0;
    ed->free_room++;
    echo->append(at, static_cast<std::size_t>(tail));
    *echo += ' ';
    echo->append(static_cast<std::size_t>(tail) + 1, backspace);
}

void remove_before_cursor(line_editor* ed, std::string* echo) {
    if (ed->cursor == 0) return;
    cursor_left(ed, echo);
    remove_at_cursor(ed, echo);
}

void remove_word_before_cursor(line_editor* ed, std::string* echo) {
    remove_before_cursor(ed, echo);
    while (ed->cursor > 0) {
        auto before = static_cast<unsigned char>(ed->buffer[ed->cursor - 1]);
        if (before < '0' || before > 'z') break;
        remove_before_cursor(ed, echo);
    }
}

// The new byte is written first, then the shifted tail, so the terminal
// shows the whole line before the backspaces bring the cursor back.
void insert_at_cursor(line_editor* ed, unsigned char key, std::string* echo) {
    if (ed->free_room < 2) {
        *echo += bell;
        return;
    }
    char* at = ed->buffer + ed->cursor;
    int tail = ed->length - ed->cursor;
    *echo += static_cast<char>(key);
    echo->append(at, static_cast<std::size_t>(tail));
    echo->append(static_cast<std::size_t>(tail), backspace);
    std::memmove(at + 1, at, static_cast<std::size_t>(tail));
    *at = static_cast<char>(key);
    ed->length++;
    ed->buffer[ed->length] = 0;
    ed->cursor++;
    ed->free_room--;
}

void end_input(line_editor* ed, const char* text, std::string* echo) {
    *echo += text;
    ed->ended = true;
}

void handle_normal(line_editor* ed, unsigned char key, std::string* echo) {
    switch (key) {
        case 1:
            echo->append(static_cast<std::size_t>(ed->cursor), backspace);
            ed->cursor = 0;
            break;
        case 2: cursor_left(ed, echo); break;
        case 3: end_input(ed, " <break>\n", echo); break;
        case 4: remove_at_cursor(ed, echo); break;
        case 6: cursor_right(ed, echo); break;
        case 8:
        case 127: remove_before_cursor(ed, echo); break;
        case 10:
        case 13: end_input(ed, "\n", echo); break;
        case 27: ed->escape_state = 1; break;
        default:
            if (key < 32) {
                *echo += bell;
            } else {
                insert_at_cursor(ed, key, echo);
            }
    }
}

void handle_sequence(line_editor* ed, unsigned char key, std::string* echo) {
    if ((key >= '0' && key <= '9') || key == ';') return;
    ed->escape_state = 0;
    if (key == 'C') cursor_right(ed, echo);
    if (key == 'D') cursor_left(ed, echo);
}

}  // namespace

void line_editor_begin(line_editor* editor, char* buffer, int size) {
    *editor = line_editor{};
    editor->buffer = buffer;
    editor->size = size;
    editor->free_room = size;
    if (size < 1) {
        editor->ended = true;
        return;
    }
    std::memset(buffer, 0, static_cast<std::size_t>(size));
}

bool line_editor_feed(line_editor* editor, unsigned char key, std::string* echo) {
    if (editor->ended) return true;
    if (editor->escape_state == 2) {
        handle_sequence(editor, key, echo);
    } else if (editor->escape_state == 1) {
        editor->escape_state = 0;
        if (key == '[') {
            editor->escape_state = 2;
        } else if (key == 8 || key == 127) {
            remove_word_before_cursor(editor, echo);
        } else {
            handle_normal(editor, key, echo);
        }
    } else {
        handle_normal(editor, key, echo);
    }
    return editor->ended;
}

void line_editor_end_of_input(line_editor* editor, std::string* echo) {
    if (editor->ended) return;
    // A sequence cut off by the end of input is dropped, or its final byte
    // would swallow the end of the line.
    editor->escape_state = 0;
    end_input(editor, "\n", echo);
}
