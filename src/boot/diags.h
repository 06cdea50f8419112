// Diagnostics / recovery image of the rescue partition, and the debugger
// image of the other slot.
#pragma once

// Boots the record of the rescue partition: a diagnostics image at once, a
// recovery copy of the application after offering to install it as slot 1
// or 2 (one line from standard input). 0 when the partition holds no
// bootable record, or its record fails the checksum, does not fit the
// partition, cannot be held in memory or read, or the archive cannot be
// written; otherwise launches (does not return), or reboots when
// /tmp/vexalimage.tar.gz or /tmp/image cannot be created.
int boot_diags_image();
// Copies the debugger from the other slot's image (first record, plain form,
// whole magic 0x014B4152 or 0x064B4152) to /tmp/gdb.gz, then gunzips and
// makes /tmp/gdb executable. 1 when done as far as can be told, 0 after a
// failure message; a slot other than 1 or 2 gives 0 at once, silently.
int extract_debugger(int slot);
