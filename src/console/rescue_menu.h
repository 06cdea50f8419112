// The rescue menu and its two own actions. All dialogue is on the console
// (descriptor 0 / standard output).
#pragma once

#include <string>

// Lists T, X, R, E and dispatches one key at a time (case-insensitive; U, V,
// M, D are accepted but not listed). Ctrl-C at the prompt discards the key;
// sigint_seen is cleared after a discarded key and after every action.
// Returns 1 when the operator chooses E; after R it waits 1 s and reboots
// (does not return). Never returns otherwise. Once the console input has
// ended, each new prompt follows the last after 1 s (get_key waits).
int rescue_menu();

// Asks for one key; on y or Y unmounts, erases and remounts /user and creates
// /user/images (command results ignored). Then, in every case, boots the
// diagnostics image. Returns 1 when that comes back.
int erase_filesystem();

// Asks for the MAC address of eth0 until an entry parses as six hex numbers
// separated by colons (anything after the sixth is not looked at), "q" or
// Ctrl-C. Runs the command of mac_address_command() for the entry, so that
// ifconfig judges whatever follows the sixth number. 1 when the command ran,
// 0 when the operator left.
int set_mac_address();

// The shell command that sets eth0's MAC address to `entry`:
// "ifconfig eth0 hw ether ENTRY\n" with ENTRY the entry without its leading
// and trailing blanks, as typed when it is made only of plain characters
// (letters, digits, colons and the like), else quoted so the shell passes it
// as one word and interprets none of it.
std::string mac_address_command(const char* entry);

// 1 when `entry` holds six hexadecimal numbers separated by colons, read the
// way the conversion "%x:%x:%x:%x:%x:%x" reads them (blanks before a number,
// a sign and a 0x prefix allowed, a bare "0x" reads as 0, no range check, the
// rest not looked at).
int mac_entry_parses(const char* entry);
