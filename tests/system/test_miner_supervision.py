"""Miner supervision against the simulated miner, in the device sandbox: the
miner's start and the pause before a restart, stops by SIGINT and by SIGKILL,
refused starts, and never more than one supervision loop. The counting of
short runs over many restarts is left to the unit tests."""

import os
import subprocess
import sys
import time

import pytest

from board import MINER_ARGS, miner_events, miner_file, miners_alive, \
    wait_until
from conftest import bound, tool as built_tool

# A process that takes a chosen pid inside the sandbox and sleeps there; it
# exits (and says so) if anything signals it.
DECOY = r"""
import os, signal, sys, time
target = int(sys.argv[1])
with open("/proc/sys/kernel/ns_last_pid", "w") as f:
    f.write(str(target - 1))
pid = os.fork()
if pid == 0:
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    time.sleep(60)
    os._exit(0)
print(pid, flush=True)
_, status = os.waitpid(pid, 0)
print("ended", status, flush=True)
"""


@pytest.fixture
def tools(board):
    """start(the miner's switches, miner file, **sandbox options) -> (sandbox,
    tests/tools/miner_support_tool running in it)."""
    def start(miner_control=None, config=None, **sandbox):
        b = board(binary=built_tool("miner_support_tool"), stdin=True,
                  service=False, miner=miner_control,
                  files={"/config/bmminer.conf": config}, **sandbox)
        return b.sb, b.agent
    return start


def test_restart_after_a_pause_and_a_stop_during_the_pause(tools):
    sb, tool = tools({"run_seconds": [1, 1]}, miner_file())
    assert tool.ask("start") == ["0"]
    tool.wait_for_line(
        r"WARN: Abnormal miner restart detected \(1 restarts\)$", 15, "stdout")
    assert tool.count("INFO: Miner exited after 1 seconds of working") == 2
    starts, exits = miner_events(sb, "start"), miner_events(sb, "exit")
    assert len(starts) == 2 and len(exits) == 2
    pause = starts[1]["time"] - exits[0]["time"]
    assert 4.9 <= pause < bound(1.0, 5.0), f"pause of {pause:.2f} s before a restart"
    # The restart as the first start: found through the search path, the
    # fixed arguments in order, both outputs to the null device, and the stop
    # signals that the agent blocks for itself open to the miner.
    start = starts[1]
    assert (os.path.basename(start["argv"][0]), start["argv"][1:]) == \
        ("bmminer", MINER_ARGS)
    assert (start["stdout"], start["stderr"], start["stdout_write"],
            start["blocked_signals"]) == ("/dev/null", "/dev/null", "ok", [])

    # The pid of the last run goes to an innocent process first: the stop
    # during the pause must signal nobody and end the pause at once.
    old_pid = exits[-1]["pid"]
    decoy = subprocess.Popen(
        ["nsenter", f"--target={sb.holder_pid}", "--pid", "--",
         sys.executable, "-c", DECOY, str(old_pid)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert int(decoy.stdout.readline()) == old_pid
        rc, took_ms = tool.ask("stop")
        assert rc == "0" and int(took_ms) < bound(0) * 1000, \
            "the stop waited out the pause"
        time.sleep(0.5)
        assert decoy.poll() is None, \
            f"the decoy holding the old pid was signalled: {decoy.stdout.read()}"
    finally:
        decoy.kill()
        decoy.wait()
    assert tool.ask("running") == ["0"] and len(miner_events(sb, "start")) == 2


def test_stop_by_sigint_sends_no_sigkill(tools):
    sb, tool = tools({}, miner_file())
    assert tool.ask("start") == ["0"]
    wait_until(lambda: tool.ask("probe") == ["api=1", "autotuner=0"], 15,
               "the miner's API")
    pid = miner_events(sb, "start")[0]["pid"]

    rc, took_ms = tool.ask("stop")
    assert rc == "0" and int(took_ms) < bound(2.5) * 1000, \
        "the stop waited for SIGKILL"
    assert [(e["pid"], e["reason"]) for e in miner_events(sb, "exit")] == \
        [(pid, "sigint")]
    assert miners_alive(sb) == []
    # An emulated thread may linger a moment after its join.
    wait_until(lambda: not {"rigkeep@miner", "rigkeep@kill"} &
               set(tool.threads()), bound(0.5), "the stop's threads gone")
    assert tool.count("Abnormal miner restart") == 0, "a stop is no crash"

    mark = tool.send("stop")
    assert tool.answer("stop", mark)[0] == "0"
    tool.wait_for_line(r"WARN: cgminer is not running$", 2, "stdout", mark)


def test_miner_ignoring_sigint_is_killed_after_five_seconds(tools):
    sb, tool = tools({"ignore_sigint": True},
                     miner_file(**{"bitmain-autodownscale": True}))
    assert tool.ask("start") == ["0"]
    wait_until(lambda: tool.ask("probe") == ["api=1", "autotuner=1"], 15,
               "the miner's API")
    mark = tool.send("stop-async")
    time.sleep(2)
    assert {"rigkeep@kill", "rigkeep@miner"} <= set(tool.threads())
    assert len(miners_alive(sb)) == 1, "SIGKILL came before the grace time"

    rc, took_ms = tool.answer("stop", mark, timeout=15)
    assert rc == "0" and 4900 <= int(took_ms) < bound(1.5, 5.0) * 1000
    assert miners_alive(sb) == [] and miner_events(sb, "exit") == []
    assert not {"rigkeep@miner", "rigkeep@kill"} & set(tool.threads())


def test_racing_starts_create_one_supervision_loop(tools):
    sb, tool = tools({}, miner_file())
    mark = tool.send("race 8")
    assert tool.answer("race", mark) == ["0"] * 8
    assert tool.count("WARN: cgminer is already running", "stdout", mark) == 7
    threads = wait_until(
        lambda: "rigkeep@miner" in (names := tool.threads()) and names, 5,
        "the supervision thread")
    # Counted by name: an emulator or a sanitizer runtime adds threads of its own.
    assert threads.count("rigkeep@miner") == 1, f"one loop: {threads}"
    wait_until(lambda: miner_events(sb, "start"), 10, "the miner's start")
    time.sleep(1)
    assert len(miner_events(sb, "start")) == 1 and len(miners_alive(sb)) == 1


# (No pools: the daemon's own test, test_mining.)
def test_start_without_a_miner_file_is_refused(tools):
    sb, tool = tools({}, None)
    mark = tool.send("start")
    assert tool.answer("start", mark) == ["-1"]
    tool.wait_for_line(r"ERROR: Failed to load cgminer config$", 2,
                            "stderr", mark)
    assert tool.ask("running") == ["0"]
    assert "rigkeep@miner" not in tool.threads()
    time.sleep(0.5)
    assert miner_events(sb, "start") == [] and miners_alive(sb) == []


def test_missing_or_broken_miner_program(tools):
    sb, tool = tools(config=miner_file(), sim_miner=False)
    mark = tool.send("start")
    assert tool.answer("start", mark) == ["-1"]
    tool.wait_for_line(r"ERROR: Miner not found /usr/bin/bmminer$", 2,
                            "stderr", mark)
    tool.wait_for_line(r"ERROR: Unsupported miner!$", 2, "stderr", mark)
    assert tool.ask("present") == ["-1"]

    # There but not executable: each start fails in the child at once and
    # counts as a short run.
    sb.install("/usr/bin/bmminer", "not a program\n", 0o644)
    assert tool.ask("present") == ["0"]
    mark = tool.send("start")
    assert tool.answer("start", mark) == ["0"]
    tool.wait_for_line(
        r"WARN: Abnormal miner restart detected \(0 restarts\)$", 2, "stdout",
        mark)
    rc, took_ms = tool.ask("stop")
    assert rc == "0" and int(took_ms) < bound(0) * 1000
