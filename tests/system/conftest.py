"""Shared harness of the system tests: certificates, the `board` fixture (a
simulated control board of sim/board.py running the real binary or a test
tool in the device sandbox) and `bound`, the one helper for time bounds.

With RIGKEEP_REQUIRE_SANDBOX=1 (CI) a machine without the sandbox fails the
run instead of skipping the system tests.
"""

import os
import sys
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO_ROOT / "sim"))

import board as board_mod  # noqa: E402
from board import SANITIZER, make_certs, service_address  # noqa: E402

SYSTEM_DIR = Path(__file__).resolve().parent
BUILD_DIR = Path(os.environ.get("RIGKEEP_BUILD_DIR") or REPO_ROOT / "build")

SCALE = board_mod.slowdown(BUILD_DIR)


def bound(work, timer=0.0):
    """The upper bound, in real seconds, of something due `timer` seconds
    after its cause that takes `work` seconds of processing in an ordinary
    build: the work, and half a second of slack for a loaded 2-core
    machine, both scaled by the build's slowdown (sanitizers, the
    emulator). Timers run at real speed in every build; lower bounds are
    never stretched."""
    return timer + (work + 0.5) * SCALE


def pytest_collection_modifyitems(config, items):
    here = [item for item in items
            if SYSTEM_DIR in Path(str(item.path)).resolve().parents]
    reason = here and board_mod.unavailable_reason()
    if not reason:
        return
    if os.environ.get("RIGKEEP_REQUIRE_SANDBOX") == "1":
        pytest.exit(f"{len(here)} system tests need the device sandbox: "
                    f"{reason}", returncode=1)
    config._rigkeep_skip = (len(here), reason)
    skip = pytest.mark.skip(reason=f"needs the device sandbox: {reason}")
    for item in here:
        item.add_marker(skip)


def pytest_terminal_summary(terminalreporter, exitstatus, config):
    skipped = getattr(config, "_rigkeep_skip", None)
    if skipped:
        terminalreporter.write_line(
            f"SKIPPED {skipped[0]} system tests: {skipped[1]}", yellow=True)


def built(*parts):
    """The built program at parts under the build directory; the test is
    skipped without it."""
    path = BUILD_DIR.joinpath(*parts)
    if not path.is_file():
        pytest.skip(f"{path} is not built (run make build)")
    return path


def tool(name):
    return built("tests", "tools", name)


@pytest.fixture(scope="session")
def service():
    """(URL, host, port) of the build's service."""
    return service_address(BUILD_DIR)


@pytest.fixture(scope="session")
def certs(tmp_path_factory, service):
    return make_certs(tmp_path_factory.mktemp("certs"), service[1])


@pytest.fixture
def board(certs):
    """board(**options of sim/board.open_board) -> a started Board.

    speed > 1 skips the test where no accelerated clock exists. At teardown
    every command tool is asked to quit and must end with status 0, every
    program is killed and its output printed (pytest shows it when the test
    failed), and a sanitizer report in it fails the test."""
    made = []

    def make(**kw):
        if kw.get("speed", 1) > 1 and not board_mod.faketime_env(kw["speed"]):
            pytest.skip("no accelerated clock for an emulated build, or no "
                        "faketime (scripts/install-deps.sh)")
        kw.setdefault("binary", built("rigkeep"))
        made.append(board_mod.open_board(certs, BUILD_DIR, **kw))
        return made[-1]

    yield make
    statuses = [p.quit() for b in made for p in b.programs
                if p.proc.stdin is not None]
    for b in made:
        print(b.close())
    assert statuses == [0] * len(statuses), "a tool did not end cleanly"
    for b in made:
        for p in b.programs:
            assert not p.matching(SANITIZER.pattern), p.dump()
