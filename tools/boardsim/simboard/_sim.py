"""The simulator's own modules (boardfs, images, runner), found beside this
package in the source tree and in an install alike, and the boardsim command."""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import boardfs  # noqa: E402,F401
import images  # noqa: E402,F401
import runner  # noqa: E402,F401

BOARDSIM = os.path.join(HERE, "boardsim")
ARCHES = ("host", "asan", "ppc", "vm")


class BenchError(Exception):
    """The bench could not do what was asked: a boardsim command failed, the
    console did not show a text in time, the run ended early."""


def boardsim(*args: str, timeout: float = 60) -> str:
    """Runs a boardsim command; its standard output. BenchError with the
    command's own message when it exits non-zero."""
    r = subprocess.run([BOARDSIM, *args], capture_output=True, text=True, timeout=timeout,
                       stdin=subprocess.DEVNULL)
    if r.returncode != 0:
        raise BenchError((r.stderr or r.stdout).strip() or
                         "boardsim %s exited with status %d" % (args[0], r.returncode))
    return r.stdout
