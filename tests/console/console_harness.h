// Test helpers for the console: descriptor 0 and standard output swapped for
// pipes, files or a pseudo-terminal for the length of one test.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <stdio_ext.h>
#include <unistd.h>

// Puts `descriptor` in the place of descriptor 0 until destroyed.
struct stdin_swap {
    int saved = -1;
    void take(int descriptor) {
        if (saved < 0) saved = dup(0);
        dup2(descriptor, 0);
        close(descriptor);
        std::clearerr(stdin);
    }
    ~stdin_swap() {
        if (saved < 0) return;
        dup2(saved, 0);
        close(saved);
        std::clearerr(stdin);
        __fpurge(stdin);
    }
};

// Sends standard output (or standard error: descriptor 2) to a scratch file
// until text() or destruction.
struct output_capture {
    std::FILE* file = std::tmpfile();
    int target = 1;
    int saved = -1;
    explicit output_capture(int descriptor = 1) : target(descriptor) {
        if (file == nullptr) std::abort();
        std::fflush(stdout);
        std::fflush(stderr);
        saved = dup(target);
        dup2(fileno(file), target);
    }
    // Ends the capture and returns everything written to standard output.
    std::string text() {
        stop();
        std::string all;
        std::rewind(file);
        for (int c = std::getc(file); c != EOF; c = std::getc(file)) all += static_cast<char>(c);
        return all;
    }
    void stop() {
        if (saved < 0) return;
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(saved, target);
        close(saved);
        saved = -1;
    }
    ~output_capture() {
        stop();
        std::fclose(file);
    }
};

// A pseudo-terminal pair; open() fails where the sandbox offers none.
struct pseudo_terminal {
    int master = -1;
    std::string slave_name;
    bool open() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0) return false;
        const char* name = grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
        if (name == nullptr) return false;
        slave_name = name;
        return true;
    }
    // What the terminal sent back to the master side so far.
    std::string drain() const {
        std::string got;
        int flags = fcntl(master, F_GETFL);
        fcntl(master, F_SETFL, flags | O_NONBLOCK);
        char chunk[256];
        for (ssize_t n; (n = read(master, chunk, sizeof chunk)) > 0;) got.append(chunk, static_cast<std::size_t>(n));
        fcntl(master, F_SETFL, flags);
        return got;
    }
    ~pseudo_terminal() {
        if (master >= 0) close(master);
    }
};
