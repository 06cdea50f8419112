// Serial download of an image over the console line ("/dev/ttyS0") with the
// platform's XMODEM receiver "/usr/bin/rx".
#pragma once

#include <termios.h>

// Opens the console's serial port, tells the operator to switch to
// 115200 bit/s, saves the port's settings and applies the download settings,
// then waits (no time limit) for CR at the new speed. Returns the open
// descriptor, or -1 at once, after a perror-style message, when the port
// cannot be opened or its settings cannot be read or changed (the port is
// then left as it was).
int serial_prepare_download();
// Puts the saved settings back, waits (no time limit) for LF, and closes the
// descriptor. Only for a descriptor that serial_prepare_download returned.
void serial_restore_console(int descriptor);
// Rescue-menu X: prepare, run "/usr/bin/rx /tmp/image", restore, install and
// log. Returns the installer's result, or 0 when no file arrived or the port
// could not be prepared (the receiver is then not run).
int xmodem_rescue();

// The download settings built from `saved`: 115200 bit/s both ways, 8N1,
// input modes IGNBRK alone, no output processing, ICANON/ISIG/ECHO/ECHOE
// cleared; everything else, control characters included, as saved.
termios serial_download_settings(const termios& saved);
// Reads the port one non-blocking byte at a time until `key` arrives. Each
// poll without it costs 1 s, and every 11th such poll prints `message`
// followed by a newline. Other bytes are dropped.
void serial_wait_for_key(int descriptor, unsigned char key, const char* message);
