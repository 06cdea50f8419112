"""Image boot on a simulated board: which record of a container is booted,
the header forms, the diagnostics flag, the failures that are only the image
boot's own (second file missing, archive not creatable), the running-image
byte, and a CRC fall-back on the PowerPC build."""

import pytest

from conftest import APP_LINE, app_archive, app_image, container

FAST = ("--faketime", "+0 x10")


def app_record(version, **options):
    return dict({"type": "application", "data": app_archive(version), "version": version},
                **options)


@pytest.mark.parametrize("form", ["plain", "extended", "hdr3"])
def test_application_behind_kernel_and_rfs_boots_in_every_header_form(board, scratch, form):
    board.slot(1, container(scratch / "multi.img", [
        {"type": "kernel", "data": b"K" * 3000},
        {"type": "rfs", "data": b"R" * 5000, "form": "extended", "header_length": 64},
        app_record("4.0.0.4", form=form, **({} if form == "plain" else {"header_length": 48})),
    ]))
    result = board.run(*FAST)
    assert APP_LINE("4.0.0.4") in result.output
    assert result.final == "board: application started"
    assert board.running_image == 1


def test_extended_flag_on_the_application_magic_is_bootable(board, scratch):
    # Bit 31 of the magic set: 0x814B4152 is still the application type.
    board.slot(1, container(scratch / "ext.img", [app_record("4.1.0.1", form="extended")]))
    image = board.user_file("images/image1")
    assert image[8:12] == bytes([0x81, 0x4B, 0x41, 0x52])
    result = board.run(*FAST)
    assert APP_LINE("4.1.0.1") in result.output


def test_diagnostics_record_before_the_application_is_booted_as_diagnostics(board, scratch):
    board.slot(1, container(scratch / "diag.img", [
        {"type": "diagnostics", "data": app_archive("6.0.0.6", diags=True)},
        app_record("1.0.0.1"),
    ]))
    result = board.run(*FAST)
    assert "install diags image\n" in result.output
    assert APP_LINE("6.0.0.6") in result.output
    assert APP_LINE("1.0.0.1") not in result.output
    commands = board.commands()
    assert commands.index("mkdir -p /tmp/home/bin") < commands.index(
        "mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip")
    assert board.running_image == 1


def test_diagnostics_archive_without_its_program_launches_what_is_there(board, scratch):
    board.slot(1, container(scratch / "diag.img", [
        {"type": "diagnostics", "data": app_archive("6.0.0.7")}]))
    result = board.run(*FAST)
    assert "install diags image\n" in result.output
    assert APP_LINE("6.0.0.7") in result.output


def test_second_slot_file_missing_switches_to_the_first(board, scratch):
    board.slot(1, app_image(scratch / "one.img", "1.0.0.1"))
    board.boot_slot = 2
    result = board.run(*FAST)
    assert result.output.startswith("Booting image '2'\n"
                                    "Failed to open Application image 2. Trying image 1.\n")
    assert APP_LINE("1.0.0.1") in result.output
    assert board.running_image == 1


def test_archive_that_cannot_be_created_gives_up(board, scratch):
    board.slot(1, app_image(scratch / "one.img", "1.0.0.1"))
    board.tmp_path("vexalimage.tar.gz").mkdir(parents=True)
    board.running_image = 9
    result = board.run(*FAST)
    assert "Failed to open application image output file.\n" in result.output
    assert result.final == "board: rebooted"
    assert board.running_image == 9


@pytest.mark.ppc
def test_crc_fall_back_on_the_powerpc_build(board, scratch):
    board.slot(1, container(scratch / "bad.img", [app_record("9.0.0.9", corrupt_crc=True)]))
    board.slot(2, container(scratch / "two.img", [
        {"type": "kernel", "data": b"K" * 100}, app_record("2.0.0.2")]))
    result = board.run("--arch", "ppc", timeout=120)
    assert ("Booting image '1'\nImage1 CRC failed, trying Image2 now.\nBooting image '2'\n"
            in result.output)
    assert APP_LINE("2.0.0.2") in result.output
    assert board.running_image == 2
