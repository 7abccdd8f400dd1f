"""The configuration watch on the real /config of the device sandbox: foreign
writes reported once after 3 quiet seconds, the agent's own saves ignored,
start and stop twice, nothing left behind by a stop. Which inotify events
count is left to the unit tests."""

import json
import time

import pytest

from board import miner_file
from conftest import bound, tool as built_tool

MINER_CONF = "/config/bmminer.conf"
QUIET = 3.0
# How far a report may stray from "3 s after the last write": poll steps of 1 s
# and the time to load the file and print the document.
EARLY, LATE = 0.3, 1.5
# Longer than the record's fields (511 and 49 bytes): a payout address as the
# worker name, and an 'é' across the URL's limit.
LONG_POOL = {"url": "stratum+tcp://" + "h" * 496 + "\u00e9" + "p" * 88,
             "user": "W" * 62, "pass": "x"}


@pytest.fixture
def watch(board):
    conf = json.loads(miner_file())
    conf["pools"] = [LONG_POOL]
    b = board(binary=built_tool("miner_support_tool"), stdin=True,
              service=False, sim_miner=False,
              files={MINER_CONF: json.dumps(conf, indent=2)})
    # In place as soon as the start returns: a write right after is not missed.
    assert b.agent.ask("watch-start") == ["0", "inotify=1"]
    return b.sb, b.agent


def foreign_write(sb, url):
    """Another program rewrites the miner file; returns when it closed it."""
    conf = json.loads(miner_file())
    conf["pools"][0]["url"] = url
    with open(sb.path(MINER_CONF), "w") as f:
        f.write(json.dumps(conf, indent=2))
    return time.monotonic()


def callbacks(tool, start=0):
    """(arrival time, main pool URL) of every report since `start`."""
    return [(t, json.loads(text.split(" ", 2)[2])["pools"]["main"]["stratum_url"])
            for t, stream, text in tool.records()[start:]
            if stream == "stdout" and text.startswith("> callback ")]


def next_callback(tool, start, written, url):
    tool.wait_for_line(r"^> callback ", QUIET + 3, "stdout", start)
    t, got = callbacks(tool, start)[0]
    assert QUIET - EARLY <= t - written <= bound(LATE - 0.5, QUIET)
    assert got == url


def assert_no_callback(tool, start, wait=QUIET + LATE + 0.5):
    time.sleep(wait)
    assert callbacks(tool, start) == [], tool.dump()


def test_foreign_writes_are_reported_once_after_three_quiet_seconds(watch):
    sb, tool = watch
    assert tool.threads().count("rigkeep@config") == 1
    mark = tool.mark()
    written = foreign_write(sb, "stratum+tcp://one:3333")
    next_callback(tool, mark, written, "stratum+tcp://one:3333")

    # A burst of writes a second apart: one report, 3 s after the last.
    mark = tool.mark()
    for i in range(3):
        time.sleep(1.0 if i else 0)
        last = foreign_write(sb, f"stratum+tcp://burst{i}:3333")
    next_callback(tool, mark, last, "stratum+tcp://burst2:3333")
    time.sleep(2.0)
    assert len(callbacks(tool, mark)) == 1


def test_own_saves_are_not_reported_nor_unreadable_files(watch):
    sb, tool = watch
    mark = tool.mark()
    load, changed, result, _ = tool.ask("save-freq 700")
    assert (load, changed, result) == ("0", "1", "1")
    saved = sb.read_bytes(MINER_CONF).decode()
    assert '"bitmain-freq" : "700"' in saved
    assert json.loads(saved)["pools"] == [LONG_POOL], "written back whole"
    assert tool.count("> written-hook", "stdout", mark) == 1
    assert_no_callback(tool, mark)

    # A save while a report is being made (a hung miner API holds it up for
    # seconds): its event is read after the saving mark is gone, and still
    # known as our own by the file it left.
    tool.ask("callback-delay 2500")
    mark = tool.mark()
    written = foreign_write(sb, "stratum+tcp://slow:3333")
    next_callback(tool, mark, written, "stratum+tcp://slow:3333")
    mark = tool.mark()
    assert tool.ask("save-freq 710")[:3] == ["0", "1", "1"]
    assert_no_callback(tool, mark, QUIET + 3)
    tool.ask("callback-delay 0")

    # An unreadable file is logged, not reported, and not retried.
    mark = tool.mark()
    with open(sb.path(MINER_CONF), "w") as f:
        f.write("{not json")
    tool.wait_for_line(
        r"ERROR: Failed to load cgminer config from /config/bmminer.conf$",
        QUIET + LATE + 1, "stderr", mark)
    tool.wait_for_line(r"ERROR: Failed to execute config watch callback$",
                            1, "stderr", mark)
    assert_no_callback(tool, mark, 2.0)
    assert tool.count("Failed to execute config watch callback", start=mark) == 1


def test_second_start_and_second_stop_only_warn(watch):
    sb, tool = watch
    mark = tool.send("watch-start")
    assert tool.answer("watch-start", mark) == ["0", "inotify=1"]
    tool.wait_for_line(r"WARN: Watch config thread is already running$",
                            2, "stdout", mark)
    assert tool.threads().count("rigkeep@config") == 1
    assert tool.ask("fds") == ["inotify=1"]

    rc, took_ms = tool.ask("watch-stop")
    assert rc == "0" and int(took_ms) < bound(1.0) * 1000, \
        "the stop waited out a poll"
    assert "rigkeep@config" not in tool.threads()
    assert tool.ask("fds") == ["inotify=0"], "the stop released the descriptor"
    mark = tool.send("watch-stop")
    assert tool.answer("watch-stop", mark)[0] == "0"
    tool.wait_for_line(
        r"WARN: Watch config thread has already been stopped$", 2, "stdout",
        mark)

    # Stopped means stopped; started again, it reports again.
    mark = tool.mark()
    foreign_write(sb, "stratum+tcp://while-stopped:3333")
    assert_no_callback(tool, mark)
    # In place as soon as the start returns: a write right after is not missed.
    assert tool.ask("watch-start") == ["0", "inotify=1"]
    written = foreign_write(sb, "stratum+tcp://again:3333")
    next_callback(tool, mark, written, "stratum+tcp://again:3333")
