// Application launch: unpack /tmp/vexalimage.tar.gz and start the application
// in the mode the boot options select.
#pragma once

// Never returns: the process is replaced or the board rebooted.
[[noreturn]] void launch_application(int is_diags);
