// The USB stick as an image source, and the rejected list.
#pragma once

#include <cstdint>

// Set by the start-up from the EEPROM's USB-boot marker.
extern uint8_t usb_present;

int mount_usb();                       // 0, or -1 after a time-out
void install_usb_boot_image();         // reboots after a successful install
int install_usb_replacement_images();  // 0-3
int choose_usb_image();                // installer result, or 0
int compute_image_md5(const char* path, char digest[33]);  // 1 or 0
int image_in_rejected_list(const char* path);               // 1 or 0
void add_to_rejected_list(const char* path);
