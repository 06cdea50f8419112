// Placeholder until this service is built: each operation says so on
// standard error and returns the value that lets the start go on.
#include <cstdio>
#include <cstdlib>
#include "console/usb.h"

uint8_t usb_present = 0;
int mount_usb() { std::fputs("mount_usb: not built yet\n", stderr); return -1; }
void install_usb_boot_image() {}
int install_usb_replacement_images() { return 0; }
int choose_usb_image() { std::fputs("choose_usb_image: not built yet\n", stderr); return 0; }
int compute_image_md5(const char*, char*) { return 0; }
int image_in_rejected_list(const char*) { return 0; }
void add_to_rejected_list(const char*) {}
