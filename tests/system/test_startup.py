"""Start-up, command line, agent file, device identity, network.conf and
shutdown of the real binary, inside the device sandbox."""

import json
import os
import re
import signal
import subprocess
import time

import pytest

from board import (AUTHENTICATED, fill_config, miners_alive, reports,
                   wait_reports, wait_until)
from conftest import bound, built

LINE = re.compile(r"^A \[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\] (INFO|WARN|ERROR): ")
USAGE = [
    "Velmora agent v1.0.6",
    "",
    "USAGE: rigkeep [OPTIONS]",
    "    -c,--config <file>        Set agent config file",
    "    -h                        Display this message",
]
LEFTOVER = "#!/bin/sh\nwhile :; do sleep 1; done\n"
FPGA = {60: 0x1234ABCD, 61: 0x0BADF00D}
MAC = "02:52:4b:00:00:01"
HW_ID = "0BADF00D1234ABCD-02524B000001"
RANDOM_ID = re.compile(r"^[0-9A-F]{32}$")
FULL = r"ERROR: Failed to save config file: /config/velmora.json$"


def agent_json(**keys):
    return json.dumps(keys)


def start_leftover_miner(sb):
    """A process named bmminer, as a miner left over from an earlier run."""
    sb.install("/opt/old/bmminer", LEFTOVER)
    sb.spawn(["/opt/old/bmminer"])
    wait_until(lambda: miners_alive(sb), 2, "the leftover miner")


def assert_log_shape(agent):
    for line in agent.lines():
        assert LINE.match(line), f"not a log line: {line!r}\n{agent.dump()}"
    for _, stream, text in agent.records():
        level = LINE.match(text).group(1)
        assert (stream == "stderr") == (level == "ERROR"), text


def device(board, agent_text=None, net=None, **kw):
    """A board without service or miner file, its agent not started."""
    files = {"/config/velmora.json": agent_text, "/config/network.conf": net}
    return board(start=False, service=False, pools=None, files=files, **kw)


def test_help_prints_usage_and_touches_nothing(board):
    # Built hardened: read-only relocations bound at start, a stack protector,
    # fortified calls.
    elf = subprocess.run(["readelf", "-d", "-l", "--dyn-syms", "-W", built("rigkeep")],
                         capture_output=True, text=True, check=True).stdout
    assert re.search(r"\(FLAGS\)\s+BIND_NOW", elf) and "GNU_RELRO" in elf and \
        "__stack_chk_fail" in elf and "__snprintf_chk" in elf, elf
    b = device(board, agent_json(api_key="K"))
    sb = b.sb
    start_leftover_miner(sb)
    for flag in ("-h", "--help"):
        agent = b.start([flag])
        assert agent.wait() == 1
        out = agent.lines("stdout")
        assert out[1:] == USAGE, agent.dump()
        assert "Firmware version: 3.8.6.9" in out[0]
    assert miners_alive(sb), "-h must not kill the miner"
    assert sb.read_text("/config/velmora.json") == agent_json(api_key="K")
    assert not sb.exists("/config/network.conf")


@pytest.mark.parametrize("content, error", [
    (None, r"ERROR: Failed to load /config/velmora.json - unable to open"),
    ("{\"api_key\": ", r"ERROR: Failed to load /config/velmora.json - "),
    ("[\"api_key\"]", r"ERROR: Root element must be an object"),
    ("{\"dev_id\": \"D\"}", r"ERROR: Failed to parse config file, code: -1"),
    ("{\"api_key\": \"K\", \"dev_id\": 7}",
     r"ERROR: Failed to parse config file, code: -1"),
    (agent_json(api_key="K"), FULL),  # a full /config fails the first save
])
def test_bad_agent_file_fails_start(board, content, error):
    b = device(board, content, config_size=64 * 1024)
    sb = b.sb
    if error == FULL:
        fill_config(sb)
    start_leftover_miner(sb)
    agent = b.start()
    assert agent.wait() == 1
    agent.wait_for_line(error, stream="stderr")
    agent.wait_for_line(r"ERROR: Miner initialization failed!$", stream="stderr")
    assert agent.said_goodbye(), agent.dump()
    assert_log_shape(agent)
    assert not miners_alive(sb), "the leftover miner is killed before loading"
    assert "Press Ctrl+C" not in "\n".join(agent.lines())
    if content is not None:
        assert sb.read_text("/config/velmora.json") == content
    if error == FULL:
        agent.wait_for_line(r"ERROR: Failed to save /config/velmora.json file$")
        assert sorted(os.listdir(sb.path("/config"))) == ["filler", "velmora.json"]


STATIC = ("hostname=rig-7\nipaddress=192.0.2.10\nnetmask=255.255.255.0\n"
          'gateway=192.0.2.1\ndnsservers="192.0.2.53 192.0.2.54"')


# network.conf is read at the start and saved back with the agent file, in the
# agent's own layout (how its lines are read is the unit tests').
@pytest.mark.parametrize("api_key, kept, net", [
    ("K" * 60, "K" * 50, None),
    # The 50-byte limit falls inside a character: it is left out whole, so the
    # saved file (and the "auth" frame) is still text.
    ("K" + "\u00e9" * 30, "K" + "\u00e9" * 24, f"# static setup\n{STATIC}\n"),
], ids=["ascii", "multibyte"])
def test_factory_file_gets_hardware_identity(board, api_key, kept, net):
    b = device(board, agent_json(api_key=api_key), net, fpga_words=FPGA,
               eth0_mac=MAC)
    sb, agent = b.sb, b.start()
    agent.wait_for_line(r"INFO: Press Ctrl\+C to stop rigkeep$")
    agent.wait_for_line(r"INFO: Api Key: " + kept + "$")
    agent.wait_for_line(r"INFO: Dev Id: " + HW_ID + "$")
    assert sb.read_bytes("/config/velmora.json").decode() == \
        json.dumps({"api_key": kept, "dev_id": HW_ID}, indent=2,
                   ensure_ascii=False)
    # No network.conf: DHCP fallback, and the save writes it.
    if net is None:
        agent.wait_for_line(r"ERROR: Failed to load network config file$")
        agent.wait_for_line(
            r"ERROR: Failed to load network config file: /config/network.conf$")
        agent.wait_for_line(r"INFO: Fallback to dhcp mode$")
    assert sorted(os.listdir(sb.path("/config"))) == \
        ["network.conf", "velmora.json"], "no temporary files left"
    assert agent.stop() == 0
    assert sb.read_text("/config/network.conf") == \
        ("hostname=antMiner\ndhcp=true\n" if net is None else STATIC)
    assert net is None or not agent.matching("Failed to load network config")
    assert_log_shape(agent)


@pytest.mark.parametrize("switch", [{"default_route": False},
                                    {"dev_mem": False}])
def test_random_identity_without_route_or_fpga(board, switch):
    # Two boards started in the same second, with the same pid in their own
    # pid namespace (a fixed boot order), must still draw different identifiers.
    boards = [device(board, agent_json(api_key="K"), **switch)
              for _ in range(2)]
    agents = [b.start() for b in boards]
    ids = []
    for sb, agent in zip([b.sb for b in boards], agents):
        agent.wait_for_line(r"Press Ctrl\+C")
        saved = json.loads(sb.read_text("/config/velmora.json"))
        assert RANDOM_ID.match(saved["dev_id"]), saved
        agent.wait_for_line(r"INFO: Dev Id: " + saved["dev_id"] + "$")
        if "default_route" in switch:
            agent.wait_for_line(r"ERROR: Failed to obtain default gateway address$")
        else:
            agent.wait_for_line(r"ERROR: Failed to open /dev/mem device$")
        ids.append(saved["dev_id"])
    assert ids[0] != ids[1]
    for agent in agents:
        assert agent.stop() == 0


def test_complete_file_is_not_rewritten_and_options(board):
    b = device(board)
    sb = b.sb
    text = agent_json(api_key="KEY", dev_id="D" * 40)
    for path in ("/config/velmora.json", "/tmp/x.json"):
        sb.write_text(path, text)
    before = {p: os.stat(sb.path(p)).st_mtime_ns
              for p in ("/config/velmora.json", "/tmp/x.json")}
    runs = [
        ([], "/config/velmora.json"),
        (["-c", "/tmp/x.json"], "/tmp/x.json"),
        (["--config=/tmp/x.json"], "/tmp/x.json"),
        (["-s", "wss://elsewhere.example/x"], "/config/velmora.json"),
        (["--bogus", "-q"], "/config/velmora.json"),
    ]
    for args, path in runs:
        if path == "/tmp/x.json":
            os.rename(sb.path("/config/velmora.json"), sb.path("/config/off"))
        agent = b.start(args)
        agent.wait_for_line(r"INFO: Dev Id: " + "D" * 32 + "$")
        agent.wait_for_line(r"Press Ctrl\+C")
        assert agent.stop() == 0
        if args and args[0] == "--bogus":
            errors = "\n".join(agent.lines("stderr"))
            assert "unrecognized option '--bogus'" in errors
            assert "invalid option -- 'q'" in errors
        if path == "/tmp/x.json":
            os.rename(sb.path("/config/off"), sb.path("/config/velmora.json"))
    for p, mtime in before.items():
        assert sb.read_text(p) == text
        assert os.stat(sb.path(p)).st_mtime_ns == mtime
    assert not sb.exists("/config/network.conf"), \
        "nothing is saved when the file is complete"
    # An empty key is not a factory file either.
    sb.write_text("/config/velmora.json", agent_json(api_key=""))
    agent = b.start()
    agent.wait_for_line(r"INFO: Dev Id: $")
    assert agent.stop() == 0
    assert sb.read_text("/config/velmora.json") == agent_json(api_key="")
    assert not sb.exists("/config/network.conf")


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_stop_signal_shuts_down_in_order(board, sig):
    b = board()
    agent = b.agent
    agent.wait_for_line(AUTHENTICATED, 20)
    with open(f"/proc/{agent.pid}/comm") as f:
        assert f.read().strip() == "rigkeep@main"
    start = b.svc.mark()
    agent.signal(signal.SIGUSR1)
    agent.wait_for_line(r"INFO: Miner restart triggered!$")
    wait_reports(b.svc, start, ["restarting", "mining"])
    assert agent.returncode is None, "SIGUSR1 does not stop the agent"
    start, began = b.svc.mark(), time.monotonic()
    agent.signal(sig)
    agent.signal(sig)  # a second stop signal during the shutdown
    assert agent.wait(12) == 0
    assert time.monotonic() - began < bound(9.5)
    # Mining stopped and reported, the link closed by the agent with 1000.
    assert reports(b.svc, start)[-2:] == ["zero", "pause"], b.svc.describe()
    conn = b.svc.wait_for_close(5)
    assert (conn.close_code, conn.closed_by) == (1000, "agent"), conn
    assert not miners_alive(b.sb)
    assert agent.lines("stdout").count(
        next(l for l in agent.lines("stdout") if l.endswith("Stopping rigkeep"))) == 1
    assert agent.said_goodbye(), agent.dump()
    assert_log_shape(agent)
