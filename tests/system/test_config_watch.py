"""The configuration watch on the real /config of the device sandbox: foreign
writes reported once after 3 quiet seconds, the agent's own saves and other
files ignored, start and stop twice, nothing left behind by a stop."""

import json
import os
import time

import pytest

from miner_support_driver import Tool, miner_file, tool_path

MINER_CONF = "/config/bmminer.conf"
QUIET = 3.0
# How far a report may stray from "3 s after the last write": poll steps of 1 s
# and the time to load the file and print the document.
EARLY, LATE = 0.3, 1.5


@pytest.fixture
def watch(sandbox_factory, build_dir):
    sb = sandbox_factory(miner=False)
    sb.write_text(MINER_CONF, miner_file())
    tool = Tool(sb, tool_path(build_dir))
    assert tool.ask("watch-start") == ["0"]
    yield sb, tool
    status, output = tool.close()
    print(output)
    assert status == 0, "the tool did not end cleanly"


def foreign_write(sb, url):
    """Another program rewrites the miner file; returns when it closed it."""
    conf = json.loads(miner_file())
    conf["pools"][0]["url"] = url
    with open(sb.path(MINER_CONF), "w") as f:
        f.write(json.dumps(conf, indent=2))
    return time.monotonic()


def callbacks(tool, start=0):
    """(arrival time, document) of every report since `start`."""
    found = []
    for t, stream, text in tool.proc.records()[start:]:
        if stream == "stdout" and text.startswith("> callback "):
            found.append((t, json.loads(text.split(" ", 3)[3])))
    return found


def next_callback(tool, start, timeout=QUIET + 3):
    tool.proc.wait_for_line(r"^> callback ", timeout, "stdout", start)
    return callbacks(tool, start)[0]


def assert_no_callback(tool, start, wait=QUIET + LATE + 0.5):
    time.sleep(wait)
    assert callbacks(tool, start) == [], tool.proc.dump()


def main_url(doc):
    return doc["pools"]["main"]["stratum_url"]


def test_foreign_writes_are_reported_once_after_three_quiet_seconds(watch):
    sb, tool = watch
    assert tool.threads().count("rigkeep@config") == 1

    # One write, one report about 3 s later, with what the file now says.
    mark = tool.proc.mark()
    written = foreign_write(sb, "stratum+tcp://one:3333")
    t, doc = next_callback(tool, mark)
    assert QUIET - EARLY <= t - written <= QUIET + LATE
    assert main_url(doc) == "stratum+tcp://one:3333"
    assert list(doc) == ["pools", "fans", "perf", "chains", "autotuner",
                         "watchdog"]
    assert_no_callback(tool, tool.proc.mark(), 2.0)
    assert len(callbacks(tool, mark)) == 1

    # A burst of writes a second apart: one report, 3 s after the last.
    mark = tool.proc.mark()
    for i in range(3):
        last = foreign_write(sb, f"stratum+tcp://burst{i}:3333")
        if i < 2:
            time.sleep(1.0)
    t, doc = next_callback(tool, mark)
    assert QUIET - EARLY <= t - last <= QUIET + LATE
    assert main_url(doc) == "stratum+tcp://burst2:3333"
    time.sleep(2.0)
    assert len(callbacks(tool, mark)) == 1

    # A file moved into /config under the miner file's name counts.
    mark = tool.proc.mark()
    staged = sb.path("/tmp/bmminer.conf.new")
    with open(staged, "w") as f:
        f.write(miner_file().replace("pool0", "moved"))
    moved = time.monotonic()
    os.rename(staged, sb.path(MINER_CONF))
    t, doc = next_callback(tool, mark)
    assert QUIET - EARLY <= t - moved <= QUIET + LATE
    assert main_url(doc) == "stratum+tcp://moved.example:3333"


def test_other_files_deletions_and_own_saves_are_not_reported(watch):
    sb, tool = watch

    # Another file in /config, and the miner file deleted and written back by
    # the agent's own settings edit: no report.
    mark = tool.proc.mark()
    with open(sb.path("/config/velmora.json"), "w") as f:
        f.write('{"api_key": "k"}')
    saved = sb.read_text(MINER_CONF)
    os.unlink(sb.path(MINER_CONF))
    assert_no_callback(tool, mark)
    with open(sb.path(MINER_CONF), "w") as f:
        f.write(saved)
    next_callback(tool, mark)  # that rewrite was foreign

    mark = tool.proc.mark()
    load, changed, result, took_ms = tool.ask("save freq 700")
    assert (load, changed, result) == ("0", "1", "1")
    assert int(took_ms) >= 1000, "the save keeps its mark up for a second"
    assert '"bitmain-freq" : "700"' in sb.read_text(MINER_CONF)
    assert tool.count("> written-hook", "stdout", mark) == 1
    assert_no_callback(tool, mark)

    # A commit with nothing changed writes nothing and returns at once.
    mark = tool.proc.mark()
    load, changed, result, took_ms = tool.ask("save freq 700")
    assert (changed, result) == ("0", "0") and int(took_ms) < 500
    assert tool.count("> written-hook", "stdout", mark) == 0

    # An unreadable file is logged, not reported, and not retried.
    mark = tool.proc.mark()
    with open(sb.path(MINER_CONF), "w") as f:
        f.write("{not json")
    tool.proc.wait_for_line(
        r"ERROR: Failed to load cgminer config from /config/bmminer.conf$",
        QUIET + LATE + 1, "stderr", mark)
    tool.proc.wait_for_line(r"ERROR: Failed to execute config watch callback$",
                            1, "stderr", mark)
    assert_no_callback(tool, mark, 2.0)
    assert tool.count("Failed to execute config watch callback", start=mark) == 1


def test_second_start_and_second_stop_only_warn(watch):
    sb, tool = watch
    mark = tool.send("watch-start")
    assert tool.answer("watch-start", mark) == ["0"]
    tool.proc.wait_for_line(r"WARN: Watch config thread is already running$",
                            2, "stdout", mark)
    assert tool.threads().count("rigkeep@config") == 1
    assert tool.ask("fds") == ["inotify=1"]

    rc, took_ms = tool.ask("watch-stop")
    assert rc == "0" and int(took_ms) < 1500, "the stop waited out a poll"
    assert "rigkeep@config" not in tool.threads()
    assert tool.ask("fds") == ["inotify=0"], "the stop released the descriptor"

    mark = tool.send("watch-stop")
    assert tool.answer("watch-stop", mark)[0] == "0"
    tool.proc.wait_for_line(
        r"WARN: Watch config thread has already been stopped$", 2, "stdout",
        mark)

    # Stopped means stopped; started again, it reports again.
    mark = tool.proc.mark()
    foreign_write(sb, "stratum+tcp://while-stopped:3333")
    assert_no_callback(tool, mark)
    assert tool.ask("watch-start") == ["0"]
    written = foreign_write(sb, "stratum+tcp://again:3333")
    t, doc = next_callback(tool, mark)
    assert main_url(doc) == "stratum+tcp://again:3333"
    assert QUIET - EARLY <= t - written <= QUIET + LATE
