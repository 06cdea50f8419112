// The emulated clock's state file (".../dev/rtc"), one line of text:
//   "offset N"                  host time (UTC) plus N seconds, ticking
//   "fixed SS MM HH DW DD MO YY" seven raw register bytes in hex, stopped
// Lines starting with '#' are comments. A missing file is a clock that does
// not answer.
#pragma once

#include <stdint.h>

namespace devemu {

constexpr unsigned kRtcTimeRegisters = 7;

// Fills registers 0-6 (BCD). 0, or the errno to report: ENXIO when the file
// is missing, EIO when it cannot be read or parsed.
int rtc_file_registers(const char* path, uint8_t registers[kRtcTimeRegisters]);
// Rewrites the file as a stopped clock holding `registers`. 0 or -1.
int rtc_file_store_fixed(const char* path, const uint8_t registers[kRtcTimeRegisters]);

}  // namespace devemu
