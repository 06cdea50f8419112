"""Start-up scenarios: slot choice, fall-backs, image boot failures, launch modes,
diagnostics and debugger images, clock and mount, Ctrl-C."""

import gzip
import re

import pytest

from conftest import (APP, APP_LINE, CTRL_C, FAST, KERNEL_ONLY, MENU, REBOOTED, STARTED,
                      app, app_archive, bad, play, records)

MOUNT = "/bin/mount -o sync -t jffs2 /dev/mtd-user /user"
UNPACK = "cd /tmp \ntar mxzf /tmp/vexalimage.tar.gz \nrm /tmp/vexalimage.tar.gz\n"
TWO = {1: app("1.0.0.1"), 2: app("2.0.0.2")}
SHOW_ENV = '#!/bin/sh\necho "vars A=[$A] B=[$B] C=[$C]"\n'
INSTALL_SH = "#!/bin/sh\necho install script ran\n"
DEBUGGER = records({"type": "application",
                    "data": gzip.compress(b'#!/bin/sh\necho "debugger runs $*"\n')})
USB_OS = {"PLM5163_OS.img": app("3.0.0.3")}
FD_LISTER = ('#!/bin/sh\nfor fd in /proc/self/fd/*; do echo "fd ${fd##*/} $(readlink $fd)"; done\n'
             'echo fds listed\n')


def cut(maker, by=100):
    """The image with its last bytes gone, as a failing medium or a shrunk file leaves it."""
    def make(out):
        path = maker(out)
        data = path.read_bytes()
        path.write_bytes(data[:-by])
        return path
    return make


def booted(slot, version):
    return {"out": ["Booting image '%d'\n" % slot, APP_LINE(version)], "final": STARTED,
            "state": {"running_image": slot}}


def env_app(env_setup, install_sh=INSTALL_SH):
    return records({"type": "application",
                    "data": app_archive(app=SHOW_ENV, install_sh=install_sh, env_setup=env_setup)})


def app_record(version, **options):
    return dict({"type": "application", "data": app_archive(version), "version": version},
                **options)


ROWS = {
    # The boot-slot byte: 2 chooses slot 2, anything else slot 1.
    "slot-byte-1": dict(slots=TWO, eeprom={"boot_slot": 1}, **booted(1, "1.0.0.1"),
                        rtc=[0x30, 0x59, 0x23, 0x02, 0x31, 0x12, 0x24],
                        cmds_start=["date 123123592024\n", MOUNT, UNPACK],
                        events=["date 123123592024", MOUNT[5:], "backtrace " + APP]),
    "slot-byte-2": dict(slots=TWO, eeprom={"boot_slot": 2}, **booted(2, "2.0.0.2"),
                        # control bits above the masks are not part of the date
                        rtc=[0x80, 0x89, 0x47, 0x01, 0x45, 0x81, 0x26],
                        cmds_start=["date 010507092026\n", MOUNT]),
    # Neither the boot-slot byte nor the clock can be read: slot 1, the preset date.
    "eeprom-unreadable": dict(slots=TWO, eeprom={"boot_slot": 2}, **booted(1, "1.0.0.1"),
                              options=FAST + ("--env", "DEVEMU_I2C_FAIL_READ=1+"),
                              cmds_start=["date 010100002000\n"]),
    "crc-falls-back": dict(slots={1: bad(), 2: app("2.0.0.2")}, eeprom={"boot_slot": 1},
                           out=["Booting image '1'\nImage1 CRC failed, trying Image2 now.\n"
                                "Booting image '2'\n", APP_LINE("2.0.0.2")],
                           final=STARTED, state={"running_image": 2}),
    "truncated-falls-back": dict(slots={1: cut(app("1.0.0.1")), 2: app("2.0.0.2")},
                                 out=["Booting image '1'\nImage1 CRC failed, trying Image2 now.\n"
                                      "Booting image '2'\n", APP_LINE("2.0.0.2")],
                                 final=STARTED, state={"running_image": 2}),
    # The application inherits the console and nothing else of the launcher's: no
    # flash, /dev/mem, I2C bus or image file (the listing shell's own have no target).
    "no-descriptor-inherited": dict(
        slots={1: app("1.0.0.1", app=FD_LISTER)}, out=["fd 0 ", "fds listed\n"], final=STARTED,
        check=lambda b, out: re.search(r"^fd (?![012] )\d+ \S", out, re.M) is None),
    "no-app-record-falls-back": dict(
        slots={1: app("1.0.0.1"), 2: KERNEL_ONLY}, eeprom={"boot_slot": 2}, **booted(1, "1.0.0.1"),
        absent=["Booting image '1'\nImage has"],
        check=lambda b, out: out.index(
            "Booting image '2'\nImage has invalid header 0x34b4152. (0x64b4152)\n"
            "Image2 has invalid header... trying Image1.\nBooting image '1'\n") >= 0),
    "slot-1-missing": dict(slots={2: app("2.0.0.2")}, eeprom={"boot_slot": 1},
                           out=["Booting image '1'\nFailed to open Application image 1. "
                                "Trying image 2.\n", APP_LINE("2.0.0.2")],
                           absent=["Booting image '2'"], final=STARTED,
                           state={"running_image": 2}),
    "missing-then-bad-reboots": dict(
        slots={2: bad()}, eeprom={"boot_slot": 1, "running_image": 7},
        out=["Booting image '1'\nFailed to open Application image 1. Trying image 2.\n"
             "Image2 CRC failed, trying Image1 now.\nBooting image '2'\n"
             "Both image1 and image2 failed.\n"],
        final=REBOOTED, cmds_end=["reboot"], state={"running_image": 7}),
    "both-bad-shell-then-reboot": dict(
        slots={1: bad(), 2: bad()}, env={"shell": "on"},
        keys=[("Image1 CRC failed, trying Image2 now.\nBooting image '2'\n"
               "Both image1 and image2 failed.\n", None), ("# ", "exit\r")],
        final=REBOOTED, cmds_end=["/bin/sh\n", "reboot"]),
    "no-app-record-anywhere-rescue": dict(
        slots={1: KERNEL_ONLY, 2: KERNEL_ONLY},
        keys=[("Image1 has invalid header... trying Image2.\nBooting image '2'\n"
               "No valid application image found. Trying rescue image\n", None),
              ("Entering Rescue Mode.\n" + MENU, "e")],
        final=REBOOTED, cmds_end=["reboot"], no_cmds=["/bin/sh"]),
    "both-missing-rescue-shell": dict(
        env={"shell": "on"},
        keys=[("Failed to open Application image 1. Trying image 2.\n"
               "Failed to open Application image 2.\nEntering Rescue Mode.\n" + MENU, "e"),
              ("# ", "echo shell-was-here\r"), ("shell-was-here", "exit\r")],
        final=REBOOTED, cmds_end=["/bin/sh\n", "reboot"]),
    "diagnostics-before-app": dict(
        slots={1: records({"type": "diagnostics", "data": app_archive("6.0.0.6", diags=True)},
                          app_record("1.0.0.1"))},
        out=["install diags image\n", APP_LINE("6.0.0.6")], absent=[APP_LINE("1.0.0.1")],
        cmds=["mkdir -p /tmp/home/bin", "mv /tmp/mpdiag.elf.strip " + APP],
        final=STARTED, state={"running_image": 1}),
    "application-not-startable": dict(slots={1: app("1.0.0.1")}, eeprom={"running_image": 9},
                                      options=FAST + ("--without", "backtrace"),
                                      out=["Failed to start Application OS.\n"], final=REBOOTED,
                                      cmds_end=["reboot"], state={"running_image": 1}),
    "archive-not-creatable": dict(slots={1: app("1.0.0.1")}, tmp={"vexalimage.tar.gz": None},
                                  eeprom={"running_image": 9},
                                  out=["Failed to open application image output file.\n"],
                                  final=REBOOTED, state={"running_image": 9}),
    # Launch modes, read from the command log.
    "gdbserver-asks-port-before-boot": dict(
        slots=TWO, eeprom={"boot_slot": 2}, env={"gdbserver": "on", "gdbport": "999"},
        keys=[("IP addr    :", "q\r")], out=["IP addr    :", "Booting image '2'\n"],
        final=REBOOTED, cmds_end=["/bin/gdbserver :999 %s\n" % APP, "reboot"]),
    "gdb-from-other-slot": dict(
        slots={1: app("1.0.0.1"), 2: DEBUGGER}, env={"gdb": "on", "memchk": "on"},
        out=["Extracting GDB from image slot 2\nFound GDB image 2 of length = ",
             ".\ndecompressing GDB....\n", "*** Launching under GDB ***\n",
             "debugger runs %s\n" % APP], final=REBOOTED, cmds_end=["/tmp/gdb " + APP, "reboot"]),
    "gdb-missing": dict(
        slots={1: app("1.0.0.1")}, env={"gdb": "on"}, final=STARTED,
        out=["Failed to open GDB image (from slot 2)\n",
             "**** GDB mode selected but GDB not available. Please install GDB image ***\n"],
        events=["backtrace " + APP]),
    "env-setup-lines": dict(slots={1: env_app("A 1\nB 2\n")}, final=STARTED,
                            out=["Running install script\ninstall script ran\n",
                                 "vars A=[1] B=[2] C=[]"], cmds=["/tmp/home/bin/install.sh"]),
    "env-setup-needs-install-script": dict(slots={1: env_app("A 1 B 2", install_sh=None)},
                                           out=["vars A=[] B=[] C=[]"],
                                           absent=["Running install script"]),
    "shell-before-launch": dict(
        slots={1: app("1.0.0.1", install_sh=INSTALL_SH)}, env={"shell": "on", "memchk": "on"},
        keys=[("install script ran\nDropping into shell\n", None), ("# ", "echo op-was-here\r"),
              ("op-was-here", "exit\r"), ("Dropping out of shell\n" + APP_LINE("1.0.0.1"), None)],
        final=REBOOTED,
        cmds_end=[UNPACK, "/tmp/home/bin/install.sh", "/bin/sh\n",
                  "LD_PRELOAD=libduma.so.0.0.0 %s\n" % APP, "reboot"]),
    # Ctrl-C neither stops the wait for the stick nor the boot after it.
    "ctrl-c-during-start-up": dict(
        slots={1: app("1.0.0.1")}, eeprom={"usb_marker": 213},
        keys=[("Attempting to mount file system on USB flash drive", CTRL_C),
              ("USB mount timed out\n", CTRL_C), ("Booting image '1'\n", None)],
        final=STARTED),
    # An extended header after another record, and the memory-checker launch.
    "memchk-from-extended-header": dict(
        slots={2: bad(), 1: records({"type": "kernel", "data": b"k" * 3000},
                                    app_record("1.0.0.1", form="hdr3", header_length=64))},
        eeprom={"boot_slot": 2}, env={"memchk": "on"},
        out=["Booting image '2'\nImage2 CRC failed, trying Image1 now.\nBooting image '1'\n",
             APP_LINE("1.0.0.1")], final=REBOOTED, state={"running_image": 1},
        cmds_end=["LD_PRELOAD=libduma.so.0.0.0 %s\n" % APP, "reboot"]),
    "rescue-exit-goes-on-with-usb": dict(
        slots={1: app("1.0.0.1")}, usb=USB_OS, eeprom={"usb_marker": 213},
        env={"diagnostics": "rescue"}, keys=[("Entering Rescue Mode.\n" + MENU, "e")],
        out=["Booting image 'PLM5163_OS.img' from USB stick.\n", APP_LINE("3.0.0.3")],
        final=STARTED, state={"running_image": 3}),
}


@pytest.mark.parametrize("row", ROWS.values(), ids=ROWS.keys())
def test_boot(board, scratch, row):
    play(board, scratch, row)
