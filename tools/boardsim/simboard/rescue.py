"""The rescue menu's serial download (menu key X) over the board's serial
port, as an operator does it with picocom and lrzsz: the speed switches
around lrzsz's sz."""

from __future__ import annotations

import os
from typing import Optional, Union

from ._sim import BenchError
from .session import Session

MENU = "Option? : "
SWITCH = "before initiating the download.\n"
BACK = "Change the baud rate back to 9600 bps, hit the <ENTER> key"
WAITING = "... Waiting for the <ENTER> key to be hit..."
SLOT_Q = "Install image as image 1 or 2 (hit return to just boot image): "
CONSOLE_SPEED = 9600


def xmodem_install(session: Session, image: Union[str, os.PathLike], slot: int = 2,
                   operator_speed: int = 115200, board_speed: int = 115200,
                   timeout: float = 90) -> Optional[int]:
    """From the rescue menu's prompt: key X, the operator's side to
    `operator_speed`, Enter, sz sends `image`, back to 9600 bit/s, the board's
    reminder that it waits, Enter, and
    the install into `slot`; returns at the menu's next prompt with sz's exit
    status (None: sz gave up after `timeout` seconds). When the operator was
    left at another speed than the board's, nothing can be read: the board's
    Enter and its receiver's time-out bring the menu back instead (no install).
    BenchError when a step's text does not show."""
    session.send("x")
    session.expect(SWITCH)
    session.set_speed(operator_speed)
    session.send("\r")
    status = session.send_xmodem(image, timeout)
    if operator_speed != board_speed:
        _back_to_menu(session, board_speed)
        return status
    # sz's last read, for the ACK of its EOT, can take the board's line
    # before its switch back with it: at 9600 bit/s the board says again
    # that it waits (11 s later).
    session.set_speed(CONSOLE_SPEED)
    session.expect(WAITING)
    session.send("\r")
    session.expect(SLOT_Q)
    session.send("%d\r" % slot)
    session.expect("Image%d updated succeeded" % slot)
    session.expect(MENU)
    return status


def _back_to_menu(session: Session, board_speed: int, tries: int = 40) -> None:
    # After a failed transfer the operator cannot read the board's garbled
    # prompt, and the board still waits for the Enter that starts its
    # receiver: Enter at the board's speed, the receiver's own time-out, then
    # Enter at 9600 bit/s until the menu comes back.
    session.set_speed(board_speed)
    session.send("\r")
    session.expect(BACK, timeout=300)
    session.set_speed(CONSOLE_SPEED)
    for _ in range(tries):
        session.send("\r")
        try:
            session.expect(MENU, timeout=5)
            return
        except BenchError:
            continue
    raise BenchError("the rescue menu did not come back after the failed download")
