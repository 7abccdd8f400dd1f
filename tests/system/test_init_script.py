"""The board's init script (dist/rigkeep.sh) in place of the sandbox's fake,
with the real binary: start, the respawn after a failure exit and none after
a clean one, stop, status codes, pid files, and the restart the agent asks
for after a firmware update. The board's shell is busybox where installed."""

import contextlib
import os
import re
import time
from pathlib import Path

import pytest

from board import AUTHENTICATED, SANITIZER, package, wait_until
from conftest import REPO_ROOT, bound, built

INIT = "/etc/init.d/rigkeep.sh"
LOG = "/var/log/rigkeep.log"
PID_FILES = ("/run/rigkeep.pid", "/run/rigkeep.sh.pid")
BUSYBOX = Path("/bin/busybox")
RESPAWN_DELAY = 5
LOG_LIMIT = 524288
READY = r"INFO: Press Ctrl\+C to stop rigkeep$"
RESPAWN = r"WARN: rigkeep\.sh: rigkeep exited with status (\d+), starting it again"
# Replaces the agent's binary by a copy: a new file, as a real update does.
NEW_BINARY = ("#!/bin/sh\ncp /usr/bin/rigkeep /usr/bin/rigkeep.new && "
              "mv /usr/bin/rigkeep.new /usr/bin/rigkeep\n")


class InitBoard:
    def __init__(self, b):
        self.board, self.sb, self.svc = b, b.sb, b.svc

    def init(self, action):
        """(exit status, output) of the script's action."""
        r = self.sb.run([INIT, action])
        return r.returncode, r.stdout + r.stderr

    def log(self):
        return self.sb.read_text(LOG) if self.sb.exists(LOG) else ""

    def wait_log(self, regex, count=1, timeout=20):
        """The matches once regex matched `count` lines of the log."""
        pattern = re.compile(regex, re.M)
        return wait_until(lambda: (m := list(pattern.finditer(self.log())))
                          [count - 1:] and m, timeout, f"{count} x {regex}")

    def processes(self):
        """{pid: command line} of everything left in the sandbox."""
        found = {}
        for pid, _ in self.sb.processes():
            with contextlib.suppress(OSError):
                found[pid] = self.sb.read_bytes(f"/proc/{pid}/cmdline") \
                    .replace(b"\0", b" ").decode().strip()
        return found

    def agents(self):
        return [p for p, cmd in self.processes().items()
                if cmd.startswith("/usr/bin/rigkeep")]

    def assert_stopped(self, others=0, last="INFO: Goodbye!"):
        assert self.init("status") == (3, "rigkeep is not running\n")
        assert len(self.processes()) == others, self.processes()
        assert not any(self.sb.exists(p) for p in PID_FILES)
        assert re.search(last, self.log().splitlines()[-1]), self.log()


@pytest.fixture
def init_board(board):
    made = []

    def make():
        b = board(start=False)
        if BUSYBOX.is_file():
            b.sb.install("/usr/bin/sh", BUSYBOX.read_bytes())
        b.sb.install(INIT, (REPO_ROOT / "dist" / "rigkeep.sh").read_bytes())
        b.sb.install("/usr/bin/rigkeep", built("rigkeep").read_bytes())
        made.append(InitBoard(b))
        return made[-1]

    yield make
    for b in made:
        print(f"--- {LOG} ---\n{b.log()}")
    for b in made:
        assert not SANITIZER.search(b.log())


def test_failed_exit_is_respawned_after_a_pause_then_stop_ends_all(
        init_board):
    b = init_board()
    # Pid files left by a power cut, their pid now an unrelated process.
    other = b.sb.spawn(["sleep", "300"]).sandbox_pid
    for path in PID_FILES:
        b.sb.write_text(path, f"{other}\n")
    # A log left readable by an earlier version, due for its old copy.
    b.sb.write_text(LOG, "x" * (LOG_LIMIT + 1), mode=0o644)
    assert b.init("status") == (1, "rigkeep is not running (stale pid file)\n")
    assert b.init("start") == (0, "rigkeep started\n")
    # Both hold the API key: root only.
    for path in (LOG, LOG + ".old"):
        assert os.stat(b.sb.path(path)).st_mode & 0o777 == 0o600, path
    assert b.init("start") == (0, "rigkeep is already running\n")
    first = b.agents()
    assert len(first) == 1 and b.init("status")[0] == 0
    b.wait_log(AUTHENTICATED)
    b.sb.run(["kill", "-KILL", str(first[0])], check=True)
    assert b.wait_log(RESPAWN)[0][1] == "137"
    exited = time.monotonic()
    assert b.init("status") == (0, "rigkeep is being started again\n")
    second = wait_until(b.agents, 15, "the agent started again")
    assert time.monotonic() - exited >= RESPAWN_DELAY - 2 and second != first
    b.wait_log(AUTHENTICATED, count=2)
    assert b.init("status") == (0, f"rigkeep is running (pid {second[0]})\n")
    assert b.init("stop") == (0, "")
    b.assert_stopped(others=1)
    assert other in b.processes()
    assert len(b.wait_log(READY)) == 2 and len(b.wait_log(RESPAWN)) == 1


# (signal sent to the agent, exit status the supervisor sees or None: clean,
# miners left: a killed agent leaves its miner, which the next start ends)
ENDINGS = [("TERM", None, 0), ("KILL", "137", 1)]


@pytest.mark.parametrize("sig,failure,miners", ENDINGS,
                         ids=[e[0] for e in ENDINGS])
def test_only_a_failed_exit_is_respawned_and_stop_ends_the_pause(
        init_board, sig, failure, miners):
    b = init_board()
    assert b.init("start")[0] == 0
    b.wait_log(READY)
    b.sb.run(["kill", f"-{sig}", str(b.agents()[0])], check=True)
    if failure is None:
        last = r"INFO: rigkeep\.sh: rigkeep ended \(status 0\)$"
        b.wait_log(last)
        wait_until(lambda: len(b.processes()) == miners, 5,
                   "the supervisor's end")
    else:
        last = RESPAWN
        assert b.wait_log(RESPAWN)[0][1] == failure
        began = time.monotonic()
        assert b.init("stop") == (0, "")
        assert time.monotonic() - began < bound(2.5)
    b.assert_stopped(miners, last)
    assert all("bmminer" in cmd for cmd in b.processes().values())
    assert len(b.wait_log(READY)) == 1


def test_restart_after_a_firmware_update_runs_the_new_binary(init_board):
    b = init_board()
    svc, files = b.svc, b.board.file_server()
    files.put("/fw.tar.gz", package("update.sh", NEW_BINARY))
    assert b.init("start")[0] == 0
    svc.wait_for_message("config", 20)
    old = b.agents()
    svc.send({"type": "update_firmware", "firmware_ver": "9.9",
              "firmware_url": files.url("/fw.tar.gz")})
    b.wait_log(r"INFO: Restarting velmora agent$")
    # The restart's own output goes to the log of the agent that ran it.
    b.wait_log(r"^rigkeep started$", timeout=40)
    b.wait_log(AUTHENTICATED, count=2, timeout=40)
    new = b.agents()
    assert len(new) == 1 and new != old
    running = os.stat(b.sb.path(f"/proc/{new[0]}/exe"))
    assert running.st_ino == os.stat(b.sb.path("/usr/bin/rigkeep")).st_ino
    assert not re.search(RESPAWN, b.log(), re.M)
    assert b.init("stop")[0] == 0
    b.assert_stopped()
