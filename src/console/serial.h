// Serial download of an image over the console line.
#pragma once

int serial_prepare_download();              // descriptor, or -1
void serial_restore_console(int descriptor);
int xmodem_rescue();                        // installer result, or 0
