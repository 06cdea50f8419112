#include "console/input.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "console_harness.h"

namespace {

// The console input as a pipe: the test writes the operator's keys.
struct piped_console {
    int keys = -1;
    stdin_swap swap;
    explicit piped_console(const std::string& typed) {
        int fds[2];
        if (pipe(fds) != 0) std::abort();
        swap.take(fds[0]);
        keys = fds[1];
        send(typed);
    }
    void send(const std::string& typed) const {
        if (!typed.empty() && write(keys, typed.data(), typed.size()) < 0) std::abort();
    }
    void hang_up() {
        if (keys >= 0) close(keys);
        keys = -1;
    }
    ~piped_console() { hang_up(); }
};

}  // namespace

TEST(GetKey, ReadsOneByteAtATimeWhenNotATerminal) {
    piped_console console("xy");
    EXPECT_EQ(get_key(), 'x');
    EXPECT_EQ(get_key(), 'y');
    console.hang_up();
    EXPECT_EQ(get_key(), 0);
}

TEST(ReadLine, EchoesEveryByteAndReturnsTheBuffer) {
    piped_console console("ab\x01x\r");
    output_capture out;
    char line[16];
    EXPECT_EQ(read_line(line, sizeof line), line);
    EXPECT_STREQ(line, "xab");
    EXPECT_EQ(out.text(), "ab\b\bxab\b\b\n");
}

TEST(AskYesNo, LowerCaseAnswers) {
    {
        piped_console console("y\n");
        output_capture out;
        EXPECT_EQ(ask_yes_no_timeout("Go on? "), 1);
        EXPECT_EQ(out.text(), "Go on? (y/n) ");
    }
    {
        piped_console console("n\n");
        output_capture out;
        EXPECT_EQ(ask_yes_no_timeout("Go on? "), 0);
        EXPECT_EQ(out.text(), "Go on? (y/n) ");
    }
}

TEST(AskYesNo, EveryOtherByteAsksAgainAndTheRestStaysQueued) {
    piped_console console("Y\nN\ny\nrest");
    output_capture out;
    EXPECT_EQ(ask_yes_no_timeout("Load it? "), 1);
    EXPECT_EQ(out.text(), "Load it? (y/n) (y/n) (y/n) (y/n) (y/n) ");
    char after[8] = {};
    EXPECT_EQ(read(0, after, sizeof after), 5);
    EXPECT_STREQ(after, "\nrest");
}

TEST(AskYesNo, QuestionIsNeverAFormat) {
    piped_console console("n");
    output_capture out;
    ask_yes_no_timeout("100% %s %n%d? ");
    EXPECT_EQ(out.text(), "100% %s %n%d? (y/n) ");
}

TEST(AskYesNo, EndOfInputAnswersNoInsteadOfAskingForEver) {
    piped_console console("Y");
    console.hang_up();
    output_capture out;
    EXPECT_EQ(ask_yes_no_timeout("Q? "), 0);
    EXPECT_EQ(out.text(), "Q? (y/n) (y/n) \nTimeout. Assuming \"no\".\n");
}

TEST(AskYesNo, DiscardsWhatStdioHasBuffered) {
    piped_console console("XY");
    EXPECT_EQ(std::getc(stdin), 'X');  // stdio now holds the Y
    console.send("n");
    output_capture out;
    EXPECT_EQ(ask_yes_no_timeout("Q? "), 0);
    console.hang_up();
    EXPECT_EQ(std::getc(stdin), EOF);
    std::clearerr(stdin);
}

TEST(AskYesNo, SilenceAnswersNoAfterFiveSeconds) {
    piped_console console("");
    output_capture out;
    EXPECT_EQ(ask_yes_no_timeout("USB image is in rejected list.\nWould you still like to load it? "),
              0);
    EXPECT_EQ(out.text(),
              "USB image is in rejected list.\nWould you still like to load it? (y/n) "
              "\nTimeout. Assuming \"no\".\n");
}

// --- On a pseudo-terminal, where the termios handling matters. ---

namespace {

volatile std::sig_atomic_t test_sigint = 0;
void note_sigint(int) { test_sigint = 1; }

// Waits (bounded) until the child has put the terminal in single-key mode,
// i.e. it is blocked in its read.
bool wait_for_single_key_mode(int master, termios* seen) {
    for (int tries = 0; tries < 500; tries++) {
        if (tcgetattr(master, seen) == 0 && !(seen->c_lflag & ICANON)) return true;
        usleep(10000);
    }
    return false;
}

// Runs get_key in a child whose controlling terminal is the pty's slave, so
// that Ctrl-C on the master raises SIGINT there. Exit status: the key, or 255
// for key 0 with SIGINT seen.
pid_t start_get_key_child(const char* slave_name) {
    pid_t child = fork();
    if (child != 0) return child;
    setsid();
    int slave = open(slave_name, O_RDWR);  // becomes the controlling terminal
    if (slave < 0) _exit(254);
    dup2(slave, 0);
    struct sigaction action = {};
    action.sa_handler = note_sigint;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    unsigned char key = get_key();
    _exit(key == 0 && test_sigint ? 255 : key);
}

int finish(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(GetKeyOnTerminal, SingleKeyWithoutEchoThenSettingsRestored) {
    pseudo_terminal pty;
    if (!pty.open()) GTEST_SKIP() << "no pseudo-terminals in this sandbox";
    termios before{};
    ASSERT_EQ(tcgetattr(pty.master, &before), 0);
    pid_t child = start_get_key_child(pty.slave_name.c_str());
    termios during{};
    ASSERT_TRUE(wait_for_single_key_mode(pty.master, &during));
    EXPECT_FALSE(during.c_lflag & ECHO);
    EXPECT_EQ(during.c_lflag | ICANON | ECHO, before.c_lflag);
    EXPECT_EQ(during.c_iflag, before.c_iflag);
    EXPECT_EQ(during.c_cc[VMIN], before.c_cc[VMIN]);
    ASSERT_EQ(write(pty.master, "k", 1), 1);  // no Enter: one key is enough
    EXPECT_EQ(finish(child), 'k');
    termios after{};
    ASSERT_EQ(tcgetattr(pty.master, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(pty.drain(), "");  // nothing echoed
}

TEST(GetKeyOnTerminal, CtrlCGivesZeroAndRestoresSettings) {
    pseudo_terminal pty;
    if (!pty.open()) GTEST_SKIP() << "no pseudo-terminals in this sandbox";
    termios before{};
    ASSERT_EQ(tcgetattr(pty.master, &before), 0);
    pid_t child = start_get_key_child(pty.slave_name.c_str());
    termios during{};
    ASSERT_TRUE(wait_for_single_key_mode(pty.master, &during));
    ASSERT_EQ(write(pty.master, "\x03", 1), 1);
    EXPECT_EQ(finish(child), 255);
    termios after{};
    ASSERT_EQ(tcgetattr(pty.master, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
}
