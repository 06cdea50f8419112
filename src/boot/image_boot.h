// Image boot: validate one image file and launch its application.
#pragma once

// Slot 1/2: /user/images/imageN, 3: /mnt/usb/PLM5163_OS.img. Returns 0 when
// the caller may try another image; otherwise launches, gives up or reboots.
// Should the launch ever come back, returns 1.
int boot_image(int slot);
