"""pytest plugin of the simulated board: `-p simboard.pytest_plugin` (with
simboard on PYTHONPATH), or pytest_plugins = ["simboard.pytest_plugin"] in
the top conftest.py.

- `board`: a fresh simboard.Board per test (tmp_path/board), on the machine
  that --board-arch chooses; skipped, saying why, when that machine's
  launcher (or qemu-ppc, or the vm's kernel) is not built. Its runs still
  going at the end of the test are ended; its 33 MiB of flash files are
  removed after a passing test and kept after a failing one.
- `board_arch`: the chosen machine's name.
- --board-arch host|asan|ppc|vm: default $LAUNCHER_SYSTEM_ARCH, else host.
- A failing test's report gets a section per power-on with its console log
  (host time and seconds since power-on on each line).
- When the chosen machine cannot boot and nothing failed, pytest exits with
  status 5 (as when no tests ran), so that CI shows the run as skipped.
"""

from __future__ import annotations

import os
import shutil
from typing import Iterator

import pytest

from ._sim import ARCHES
from .board import Board, machine_missing


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addoption("--board-arch", choices=ARCHES,
                     default=os.environ.get("LAUNCHER_SYSTEM_ARCH") or "host",
                     help="the machine the board fixture boots: host, asan (AddressSanitizer "
                          "and UBSan), ppc (qemu-ppc) or vm (an emulated PowerPC machine); "
                          "default $LAUNCHER_SYSTEM_ARCH or host")


def missing_reason(config: pytest.Config) -> str:
    """Why the chosen machine cannot boot ('' when it can); asked once a session."""
    if not hasattr(config, "_simboard_missing"):
        config._simboard_missing = machine_missing(config.getoption("--board-arch")) or ""
    return config._simboard_missing


@pytest.fixture(scope="session")
def board_arch(request: pytest.FixtureRequest) -> str:
    return request.config.getoption("--board-arch")


@pytest.fixture
def board(request: pytest.FixtureRequest, tmp_path, board_arch: str) -> Iterator[Board]:
    reason = missing_reason(request.config)
    if reason:
        pytest.skip(reason)
    made = Board.create(tmp_path / "board", board_arch, log_dir=tmp_path)
    request.node.simboard = made
    yield made
    for session in made.sessions:
        session.close()
    report = getattr(request.node, "simboard_call", None)
    if report is not None and report.passed:
        shutil.rmtree(made.path, ignore_errors=True)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo) -> Iterator[None]:
    outcome = yield
    report = outcome.get_result()
    if call.when == "call":
        item.simboard_call = report
    made = getattr(item, "simboard", None)
    if made is None or not report.failed or call.when == "teardown":
        return
    for n, session in enumerate(made.sessions, 1):
        lines = session.log_lines()
        text = "\n".join(lines) if lines else session.output
        where = str(session.log) if lines else "console, no log"
        report.sections.append(("console log %d of %d (%s)" % (n, len(made.sessions), where),
                                text))


def pytest_sessionfinish(session: pytest.Session, exitstatus: int) -> None:
    if exitstatus == 0 and missing_reason(session.config):
        session.exitstatus = 5
