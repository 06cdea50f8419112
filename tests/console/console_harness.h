// Console tests: descriptor 0 fed from a pipe, standard output captured.
#pragma once

#include <stdio_ext.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "hw/board_files.h"

// Calls of sleep(), which the console tests skip.
extern int sleeps_skipped;

// Descriptor 0 reads `typed` while the object lives, then end of input
// (with `keep_open`, only after hang_up()).
struct typed_input {
    int keys = -1;
    int saved = dup(0);
    explicit typed_input(const std::string& typed, bool keep_open = false) {
        int ends[2];
        if (pipe(ends) != 0 || dup2(ends[0], 0) < 0) std::abort();
        close(ends[0]);
        keys = ends[1];
        send(typed);
        if (!keep_open) hang_up();
    }
    void send(const std::string& typed) const {
        if (!typed.empty() && write(keys, typed.data(), typed.size()) < 0) std::abort();
    }
    void hang_up() { keys = keys >= 0 ? close(keys), -1 : -1; }
    ~typed_input() {
        hang_up();
        dup2(saved, 0);
        close(saved);
        std::clearerr(stdin);
        __fpurge(stdin);
    }
};

// What `step` printed and had flushed by its return (with `flush`, also what
// it left in the stdio buffer): the operator must see prompts before a wait.
template <typename Step>
std::string printed(Step step, bool flush = false) {
    std::fflush(stdout);
    std::FILE* file = std::tmpfile();
    const int saved = dup(1);
    dup2(fileno(file), 1);
    step();
    if (flush) std::fflush(stdout);
    std::string text(4096, '\0');
    text.resize(static_cast<std::size_t>(pread(fileno(file), text.data(), text.size(), 0)));
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::fclose(file);
    return text;
}
