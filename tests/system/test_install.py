"""Installing image containers on a simulated board, then booting them.

The container is built with imagetool and installed by install_image_file
running inside the board root (tools/installcmd started by boardsim in the
launcher's place, with the device emulator); the operator's answers go
through the console. The real launcher then boots what was installed.
"""
import os
import pathlib

import pytest

from conftest import APP_LINE, app_archive, container, runner

PROMPT = "Install image as image 1 or 2 (hit return to just boot image): "
HOST_BUILD = pathlib.Path(runner.build_dir("host"))
INSTALLCMD = HOST_BUILD / "tools" / "installcmd" / "installcmd"

pytestmark = pytest.mark.skipif(not os.access(INSTALLCMD, os.X_OK),
                                reason="tools/installcmd is not built")


def installcmd_build(scratch):
    """A build folder whose 'launcher' is installcmd, so that 'boardsim run'
    starts it in the board root just as it starts the launcher."""
    fake = scratch / "installcmd-build"
    (fake / "tools" / "devemu").mkdir(parents=True, exist_ok=True)
    links = {fake / "launcher": INSTALLCMD,
             fake / "tools" / "devemu" / "libdevemu.so":
                 HOST_BUILD / "tools" / "devemu" / "libdevemu.so"}
    for link, target in links.items():
        if not link.exists():
            link.symlink_to(target)
    return fake


def spawn_installcmd(board, scratch, words, timeout=60):
    return board.spawn("--env", "INSTALLCMD=" + words, timeout=timeout,
                       env={"LAUNCHER_BUILD_DIR": str(installcmd_build(scratch))})


def bundle(scratch, version):
    """kernel + root file system + application; returns (container bytes, records)."""
    records = [
        {"type": "kernel", "data": os.urandom(70000), "version": "4.1.0.1"},
        {"type": "rfs", "data": os.urandom(150000), "version": "4.2.0.1"},
        {"type": "application", "data": app_archive(version), "version": version},
    ]
    data = pathlib.Path(container(scratch / "bundle.img", records)).read_bytes()
    return data, records


def split_records(data, records):
    """The plain records of `data`, one per entry of `records`."""
    out, at = [], 0
    for r in records:
        out.append(data[at:at + 16 + len(r["data"])])
        at += 16 + len(r["data"])
    return out


def test_bundle_answered_two_installs_then_boots_slot_two(board, scratch):
    data, records = bundle(scratch, "2.0.0.7")
    kernel, rfs, app = split_records(data, records)
    board.tmp_path("image").write_bytes(data)
    board.boot_slot = 1
    child = spawn_installcmd(board, scratch, "install /tmp/image 0 0 image xmodem")
    child.expect_exact("Extracting images ... Do *NOT* power cycle the switch.")
    child.expect_exact("Installing Kernel: ")
    child.expect_exact("Installing Root Filesystem: ")
    child.expect_exact("Installing Application: " + PROMPT)
    child.sendline("2")
    child.expect_exact("Image2 updated succeeded")
    child.expect_exact("Updating install log. File image installed from xmodem at ")
    child.expect_exact("installcmd: result 1")
    board.finish(child)

    assert board.flash("mtd-kernel", 0, len(kernel)) == kernel
    assert board.flash("mtd-rfs", 0, len(rfs)) == rfs
    assert board.user_file("images/image2") == app
    assert board.boot_slot == 2
    assert board.timestamp(2) != b"\xff" * 7
    log = board.user_file("install.log").decode()
    assert log.startswith("File image installed from xmodem at ") and log.endswith("\n")

    result = board.run()
    assert "Booting image '2'" in result.output
    assert APP_LINE("2.0.0.7") in result.output
    assert result.final == "board: application started"
    assert board.running_image == 2


def test_empty_answer_boots_the_download_without_installing(board, scratch):
    data, records = bundle(scratch, "3.0.0.1")
    kernel = split_records(data, records)[0]
    board.tmp_path("image").write_bytes(data)
    child = spawn_installcmd(board, scratch, "install /tmp/image 0 0")
    child.expect_exact(PROMPT)
    child.sendline("")
    child.expect_exact("Booting downloaded image")
    child.expect_exact("Image ready to boot...")
    child.expect_exact(APP_LINE("3.0.0.1"))
    assert board.finish(child) == "board: application started"
    assert board.flash("mtd-kernel", 0, len(kernel)) == kernel
    assert board.user_file("images/image1") is None
    assert board.user_file("images/image2") is None


def test_serial_padded_download_installs_and_versions_show_it(board, scratch):
    records = [{"type": "devicetree", "data": os.urandom(3000), "version": "5.0.0.2"},
               {"type": "application", "data": app_archive("6.1.0.12"), "version": "6.1.0.12",
                "form": "extended", "header_length": 64}]
    data = pathlib.Path(container(scratch / "serial.img", records)).read_bytes()
    padded = data + b"\x1a" * (1024 - len(data) % 1024)
    board.tmp_path("image").write_bytes(padded)
    child = spawn_installcmd(board, scratch, "install /tmp/image 0 1")
    child.expect_exact("Image1 updated succeeded")
    child.expect_exact("installcmd: result 1")
    board.finish(child)
    assert board.boot_slot == 1

    child = spawn_installcmd(board, scratch, "versions")
    child.expect_exact("Installed images versions: ")
    child.expect_exact("\tBoot image  : 255.255.255.255")
    child.expect_exact("\tDFT image   : 5.0.0.2")
    child.expect_exact("\tOS image 1  : 6.1.0.12")
    child.expect_exact("\tOS image 2  : 0.0.0.0")
    board.finish(child)

    result = board.run()
    assert APP_LINE("6.1.0.12") in result.output
    assert result.final == "board: application started"


def test_same_version_replacement_installs_nothing(board, scratch):
    records = [{"type": "application", "data": app_archive("7.0.0.1"), "version": "7.0.0.1"}]
    data = pathlib.Path(container(scratch / "app.img", records)).read_bytes()
    board.slot(1, data)
    board.tmp_path("image").write_bytes(data)
    board.boot_slot = 2
    child = spawn_installcmd(board, scratch, "install /tmp/image 1 1")
    child.expect_exact("Image1 has same version as existing image. Skipping update...")
    child.expect_exact("ERROR: No valid image found")
    child.expect_exact("installcmd: result 0")
    board.finish(child)
    assert board.boot_slot == 2
