"""An application team's bench test: the image from the stick replaces slot 1
and boots; the rescue menu lists what is installed. Run it with

    PYTHONPATH=tools/boardsim python3 -m pytest -p simboard.pytest_plugin \
        --board-arch host docs/examples/test_bench_example.py
"""

from simboard import make_image


def test_my_image_installs_from_the_stick(board, tmp_path):
    board.set_slot(1, make_image(tmp_path / "old.img", "1.0.0.1"))
    board.stick_add(make_image(tmp_path / "new.img", "2.5.0.1"), "PLM5163_replace1_OS.img")
    board.eeprom["usb-marker"] = 213              # the launcher looks at the stick

    session = board.power_on(fast_time=10)        # host and asan: waits ten times faster
    session.expect("Image1 has been successfully replaced")
    session.expect("Application 2.5.0.1 running")
    assert session.wait_end() == "board: application started"
    assert board.eeprom["running-image"] == 1
    assert board.install_log()[0].startswith(
        "File /mnt/usb/PLM5163_replace1_OS.img installed from USB")


def test_rescue_menu_shows_the_versions(board, tmp_path):
    board.set_slot(2, make_image(tmp_path / "app.img", "3.0.0.7"))
    board.setenv(diagnostics="rescue")

    session = board.power_on()
    session.expect("Option? : ")                  # the rescue menu
    session.send("v")
    session.expect("\tOS image 2  : 3.0.0.7\n")
    session.expect("Option? : ")
    session.send("r")
    assert session.wait_end() == "board: rebooted"
    assert board.commands()[-1] == "reboot"
