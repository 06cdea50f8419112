// The rescue menu and its two own actions.
#pragma once

// 1 when the operator chooses Exit; never returns after Reboot.
int rescue_menu();
// Offers to erase /user, then boots the diagnostics image. 1 when it returns.
int erase_filesystem();
// 1 when the address command ran, 0 when the operator left.
int set_mac_address();
