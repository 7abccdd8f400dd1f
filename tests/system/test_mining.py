"""Mining control, the miner's event pipe and the log request, inside the
device sandbox: the real binary against the reference service and the
simulated miner, and tests/tools/mining_tool for the log request and the
events thread on their own."""

import os
import stat
import time

from board import (AUTHENTICATED, EVENTS_FIFO as FIFO, miner_file,
                   miners_alive, open_writer, reports, wait_reports,
                   wait_until, write_session)
from conftest import bound, tool

LINK = "/tmp/event"
LOG_SCRIPT = "/www/pages/cgi-bin/get_kernel_log.cgi"


def mining(d, start=0, timeout=20):
    d.agent.wait_for_line(AUTHENTICATED, timeout)
    return wait_reports(d.svc, start, ["mining"], timeout)


# The daemon.

def test_start_without_a_pool_pauses_and_start_up_goes_on(board):
    d = board(pools=0)
    d.agent.wait_for_line(r"ERROR: At least one pool should be configured!$")
    d.agent.wait_for_line(AUTHENTICATED)
    names = d.agent.threads()
    assert not miners_alive(d.sb) and "rigkeep@events" not in names \
        and "rigkeep@metrics" not in names, names
    assert d.agent.stop() == 0


def test_events_from_the_pipe_reach_the_service(board):
    d = board()
    mining(d)
    assert os.readlink(d.sb.path(LINK)) == FIFO
    mark = d.agent.mark()
    write_session(d.sb)  # opens and closes without writing
    write_session(d.sb, '{"event": "restart", "reason": "fan_erorr"}\n'
                        '{"event": "x", "reason": "overheat", "temp": "95"}\n'
                        '{"event": "x", "reason": "hashrate_drop", ')
    # The unfinished line is taken once the writer is gone (a writer that came
    # before the reader saw the end would continue it).
    d.agent.wait_for_line(r"Failed to handle restart event: .*hashrate_drop",
                          start=mark)
    # The last writer runs on the device and uses the link's name.
    d.sb.run(["/bin/sh", "-c", f"cat > {LINK}"], check=True,
             input='not json\n{"event": "x", "reason": "xchips", '
                   '"num_chips": 4}\n')
    want = [{"reason": "fan_error"}, {"reason": "overheat", "temp": 95},
            {"reason": "xchips", "num_chips": 4}]
    d.svc.wait_for(lambda: len(d.svc.messages("event")) >= 3, 10, "events")
    time.sleep(0.5)
    events = [m.obj for m in d.svc.messages("event")]
    now = time.time()
    for ev in events:
        assert ev.pop("type") == "event" and ev.pop("name") == "restart"
        assert abs(ev.pop("timestamp") - now) < 10
    assert events == want, d.agent.dump()

    # /tmp is everybody's: another user's FIFO, or a link to one, put in the
    # pipe's place (and the link pointed at it) is replaced at the reader's
    # next check, never used; events go on arriving through the link.
    def own_pipe_back():
        st = os.lstat(d.sb.path(FIFO))
        return stat.S_ISFIFO(st.st_mode) and st.st_uid == os.getuid() and \
            os.readlink(d.sb.path(LINK)) == FIFO
    swap = d.sb.path("/tmp/swap")
    for n, fifo_as_link in enumerate((False, True)):
        other = f"/tmp/other{n}"
        os.mkfifo(d.sb.path(other))
        os.chown(d.sb.path(other), 1000, 1000)
        if fifo_as_link:
            os.symlink(other, swap)
        else:
            os.link(d.sb.path(other), swap)
        os.rename(swap, d.sb.path(FIFO))
        os.symlink(other, swap)
        os.rename(swap, d.sb.path(LINK))
        wait_until(own_pipe_back, 10, "our own pipe and link back")
        start = d.svc.mark()
        d.sb.run(["/bin/sh", "-c", f"cat > {LINK}"], check=True,
                 input='{"event": "x", "reason": "autotune"}\n')
        d.svc.wait_for_message("event", 10, start)


def test_foreign_edit_of_the_miner_file_is_sent_as_update_config(board):
    d = board()
    mining(d)
    start = d.svc.mark()
    written = time.monotonic()
    d.sb.write_text("/config/bmminer.conf", miner_file(2))
    msg = d.svc.wait_for_message("update_config", 10, start=start)
    assert 2.5 < msg.mono - written < bound(2.5, 3.0), msg.mono - written
    assert len(msg.obj["pools"]) >= 2, msg.obj
    assert "mining" in reports(d.svc, start)[:2]


# The log request and the events thread on their own (tests/tools/mining_tool).

def ask(t, command, timeout=45):
    """The tool's answer: a string, or its key=value fields as a dict."""
    got = t.ask(command, timeout)
    return dict(kv.split("=") for kv in got) if "=" in "".join(got) \
        else " ".join(got)


LOG_OUTPUTS = [
    "",
    "[    0.000000] Booting Linux \u00b5 \u2603\n",
    "".join(f"[{i:6d}] kernel message {'.' * 15}\n"
            for i in range(250)),  # 10,000 bytes
]


def test_log_request_sends_the_whole_output_or_a_failure(board):
    # (A hung command: test_device_actions.)
    d = board(binary=tool("mining_tool"), stdin=True)
    t = d.agent
    assert ask(t, "wait-auth 15") == "yes"
    assert len(LOG_OUTPUTS[2]) == 10000
    for n, text in enumerate(LOG_OUTPUTS):
        d.sb.set_kernel_log(text)
        assert ask(t, f"logs r{n}")["rc"] == "0"
        msg = d.svc.wait_for_message(
            lambda m, n=n: m.obj and m.obj.get("request_id") == f"r{n}", 10)
        assert msg.obj == {"type": "logs", "request_id": f"r{n}",
                           "logs": text}

    failure = {"type": "get_logs", "ok": False,
               "message": "Fetching logs failed"}
    assert ask(t, "logs-no-fd nofd")["rc"] == "0"
    msg = d.svc.wait_for_message(
        lambda m: m.obj and m.obj.get("request_id") == "nofd", 10)
    assert msg.obj == dict(failure, request_id="nofd")

    d.sb.set_kernel_log("k" * (1 << 20) + "\n")  # 1 MiB + 1 byte
    for rid in ("big", "flood"):
        assert ask(t, f"logs {rid}")["rc"] == "0"
        msg = d.svc.wait_for_message(
            lambda m, rid=rid: m.obj and m.obj.get("request_id") == rid, 10)
        assert msg.obj == dict(failure, request_id=rid, message="Unable to "
                               "allocate memory for storing log messages")
        d.sb.install(LOG_SCRIPT, "#!/bin/sh\nexec yes kernel\n")

    assert sum("ERROR: Fetching logs failed" in line
               for line in d.agent.lines("stderr")) == 1
    assert not [c for _, c in d.sb.processes() if c == "yes"]


def test_events_thread_stops_wherever_it_waits_and_reads_bad_lines(board):
    d = board(binary=tool("mining_tool"), stdin=True, service=False)
    t = d.agent
    script_calls = [c for c in d.sb.calls() if "get_kernel_log" in c]
    assert ask(t, "logs none")["rc"] == "-1"
    assert [c for c in d.sb.calls() if "get_kernel_log" in c] == script_calls

    # Waiting for a writer, then waiting for the rest of a line.
    for writer in (False, True):
        assert ask(t, "events-start") == {"running": "1"}
        fd = open_writer(d.sb) if writer else None
        if fd is not None:
            os.write(fd, b'{"event": ')
        else:
            wait_until(lambda: d.sb.exists(FIFO), 5, "the pipe")
        time.sleep(0.2)
        reply = ask(t, "events-stop")
        assert reply["running"] == "0" and \
            int(reply["ms"]) < bound(0) * 1000, reply
        if fd is not None:
            os.close(fd)
        assert d.sb.exists(FIFO), "a stop leaves the pipe in place"

    # Bad lines as the reader cuts them (which texts are bad is the unit
    # tests'), each with its pair of log lines; the thread reads on.
    ask(t, "events-start")
    mark = d.agent.mark()
    bad = [b"not json\n", b'{"event": "x", "reason": "autotune"}\x00\n',
           b'{"event": "' + b"x" * 4082 + b'"}\n']
    write_session(d.sb, b"".join(bad))
    write_session(d.sb, b'{"event": "x", "reason": "nothing known"}\n')
    d.agent.wait_for_line(r"WARN: Unknown restart reason: nothing known$",
                          start=mark)

    def counts():
        log = d.agent.lines()[mark:]
        return (sum("Unable to parse event" in line for line in log),
                sum("Failed to handle restart event" in line for line in log))
    # The 4,096-byte line comes as five pieces of at most 1023 bytes.
    wait_until(lambda: counts() == (2 + 5, 2 + 5), 5, "seven pairs of lines")
    time.sleep(0.2)
    assert counts() == (2 + 5, 2 + 5)
    ask(t, "events-stop")

    reply = ask(t, "events-cycles 50", timeout=60)
    assert reply["fds"].split(",")[0] == reply["fds"].split(",")[1], reply
    # Under an emulator a joined thread may linger a moment before it is gone.
    wait_until(lambda: "rigkeep@events" not in d.agent.threads(), 2,
               "the events thread gone")
