// Diagnostics / recovery image of the rescue partition, and the debugger
// image of the other slot.
#pragma once

// 0 when the rescue partition holds no bootable record or its CRC is wrong;
// otherwise launches (does not return).
int boot_diags_image();
// Copies the debugger from the other slot's image to /tmp/gdb. 1 when done,
// 0 otherwise (slot other than 1 or 2: 0 at once).
int extract_debugger(int slot);
