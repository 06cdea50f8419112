#include "console/input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <poll.h>
#include <stdio_ext.h>
#include <termios.h>
#include <unistd.h>

#include "console/line_editor.h"

namespace {

bool input_ended = false;

}  // namespace

unsigned char get_key() {
    unsigned char key = 0;
    termios saved{};
    bool terminal = tcgetattr(0, &saved) == 0;
    if (terminal) {
        termios single = saved;
        single.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        tcsetattr(0, TCSANOW, &single);
    }
    ssize_t got = read(0, &key, 1);
    int read_error = errno;
    if (terminal) tcsetattr(0, TCSANOW, &saved);
    // End of input stays readable for ever: callers that ask again would
    // spin at full speed on a hung-up line without this pause.
    input_ended = got == 0 || (got < 0 && read_error != EINTR);
    if (input_ended) sleep(1);
    return got == 1 ? key : 0;
}

int console_input_ended() {
    return input_ended ? 1 : 0;
}

namespace {

// One flush per byte: on a serial line the operator must see every keystroke.
void write_echo(const std::string& echo) {
    for (char byte : echo) {
        std::fputc(static_cast<unsigned char>(byte), stdout);
        std::fflush(stdout);
    }
}

int assume_no() {
    std::fputs("\nTimeout. Assuming \"no\".\n", stdout);
    std::fflush(stdout);
    return 0;
}

}  // namespace

char* read_line(char* buffer, int size) {
    line_editor editor;
    line_editor_begin(&editor, buffer, size);
    std::string echo;
    while (!editor.ended) {
        echo.clear();
        unsigned char key = get_key();
        if (key == 0 && console_input_ended()) {
            line_editor_end_of_input(&editor, &echo);
            // Nobody is left to answer: a prompt that repeats until it gets
            // an entry would ask for ever, so the empty line is a quit.
            if (editor.length == 0 && size >= 2) std::strcpy(buffer, "q");
        } else {
            line_editor_feed(&editor, key, &echo);
        }
        write_echo(echo);
    }
    return buffer;
}

int ask_yes_no_timeout(const char* question) {
    if (question != nullptr) std::fputs(question, stdout);
    for (;;) {
        std::fputs("(y/n) ", stdout);
        std::fflush(stdout);
        // Bytes already in the stdio buffer would never wake the poll below.
        __fpurge(stdin);
        pollfd console{0, POLLIN, 0};
        if (poll(&console, 1, 5000) <= 0) return assume_no();
        unsigned char answer = 0;
        ssize_t got = read(0, &answer, 1);
        if (got < 0 && errno == EINTR) continue;
        // End of input stays readable for ever: asking again would spin.
        if (got != 1) return assume_no();
        if (answer == 'y') return 1;
        if (answer == 'n') return 0;
    }
}
