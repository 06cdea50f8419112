"""simboard: the simulated switch board as a Python library for scripts and
tests (the pytest plugin is simboard.pytest_plugin).

    from simboard import Board
    board = Board.create("/tmp/board")            # or Board("/tmp/board")
    board.set_slot(1, "my.img")
    board.setenv(diagnostics="rescue")
    with board.power_on(arch="host") as session:  # 'boardsim run'
        session.expect("Option? : ")
        session.send("r")
        assert session.wait_end() == "board: rebooted"

Import it from the source tree with PYTHONPATH=tools/boardsim, or from an
install with PYTHONPATH=PREFIX/share/launcher/boardsim. docs/bench.md
("Scripting the bench") has a whole example test.
"""

from ._sim import ARCHES, BenchError, boardfs, boardsim
from .board import Board, BoardError, Eeprom, machine_missing
from .images import make_image
from .rescue import xmodem_install
from .session import Session

__all__ = ["ARCHES", "BenchError", "Board", "BoardError", "Eeprom", "Session", "boardsim",
           "machine_missing", "make_image", "xmodem_install"]
del boardfs
