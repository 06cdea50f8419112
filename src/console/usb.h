// The USB stick as an image source, and the rejected list.
//
// The stick is mounted at /mnt/usb by the platform, which creates /tmp/usb
// once its files can be read; nothing here mounts or unmounts it. File names
// on the stick are untrusted: no character of a path reaches the shell
// unquoted, and a stick file that is not a regular file (after following
// symbolic links) counts as missing everywhere.
#pragma once

#include <cstdint>

// Set by the start-up when the EEPROM's USB-boot marker is 213, cleared by it
// when mount_usb() times out. Every start-time USB step depends on it; the
// rescue menu's chooser does not.
extern uint8_t usb_present;

// With usb_present clear: 0 at once, printing nothing. Otherwise waits 1 s,
// then polls /tmp/usb up to 10 times, 1 s apart, printing a flushed dot per
// miss. 0 once the marker exists, -1 after the time-out (at most 11 s).
int mount_usb();

// Installs /mnt/usb/PLM5163_Boot.img with version skipping (the installer
// asks for the slot of an application component). Logs the install with
// source "USB" and reboots when something was installed; returns when the
// bundle is missing or the installer installed nothing.
void install_usb_boot_image();

// Installs the slot 2, then the slot 1 replacement from the stick (version
// skipping on), asking before one whose digest is in the rejected list.
// 0: nothing replaced and nothing to boot from the stick, or the operator
// refused a listed replacement (at once, with no closing line, even after
// slot 2 was replaced: the boot-slot byte then already names slot 2);
// 1 or 2: the slot to boot (1 when both were replaced); 3: boot
// /mnt/usb/PLM5163_OS.img.
int install_usb_replacement_images();

// The rescue menu's file chooser: lists the entries of /mnt/usb that are not
// directories (symbolic links included), numbered from 1, reads a number
// and installs that file (no version skipping, the installer asks for the
// slot); a chosen entry that is not a regular file counts as a number beyond
// the list. The installer's result when it installed something (then logged
// with source "USB"), else 0. The working directory is /tmp after every
// return except when /mnt/usb could not be opened at all.
int choose_usb_image();

// Parses a chooser line as "%d" would (leading white space, optional sign,
// decimal digits, anything after them ignored), without overflow: values
// beyond the int range are clamped to INT_MIN/INT_MAX. 1 with *number set,
// or 0 (and *number untouched) when the line does not start with a number.
int parse_file_number(const char* line, int* number);

// md5 digest of the file at `path` through "/bin/busybox md5sum", whose whole
// output goes to /tmp/img_md5string. 1 with `digest` holding 32 lower-case
// hexadecimal digits and a NUL; 0 (digest empty) when the tool produced no
// such digest, e.g. for a missing or unreadable file or a missing tool, and,
// without running the tool, when `path` is not a regular file.
int compute_image_md5(const char* path, char digest[33]);

// 1 when /user/images/rejected/<digest of path> exists, else 0. A digest that
// cannot be computed prints a warning and counts as not listed.
int image_in_rejected_list(const char* path);

// Creates the rejected-list entry of the image at `path` (with
// "mkdir -p /user/images/rejected" and "touch"). Runs no command when the
// entry exists already; prints a warning and creates nothing when the digest
// cannot be computed.
void add_to_rejected_list(const char* path);
