"""The miner API client, the statistics and the miner file save, run inside
the device sandbox against the simulated miner through tests/tools/miner_api_tool.
"""

import errno
import json
import os
import subprocess
import time

import pytest

TOOL = "/usr/bin/miner_api_tool"
MINER_CONF = "/config/bmminer.conf"
MINER_ARGS = ["bmminer", "--fixed-freq", "--no-pre-heat", "--version-file",
              "/usr/bin/compile_time", "--api-listen", "--default-config",
              MINER_CONF]

BASE_CONFIG = {
    "pools": [{"url": "stratum+tcp://pool.example.com:3333",
               "user": "worker1", "pass": "x"}],
    "api-listen": True,
    "api-network": True,
    "bitmain-freq": "650",
    "bitmain-voltage": "890",
}

CONNECT_FAILED = "Failed to connect to cgminer api at localhost:4028"


@pytest.fixture(scope="module")
def tool_binary(build_dir):
    path = build_dir / "tests" / "tools" / "miner_api_tool"
    if not path.is_file():
        pytest.skip(f"{path} is not built")
    return path.read_bytes()


class Board:
    """A sandbox with the tool installed and, on demand, the miner running."""

    def __init__(self, sb, tool):
        self.sb = sb
        sb.install(TOOL, tool, 0o755)
        self.miner = None

    def tool(self, *args, timeout=30):
        r = self.sb.run([TOOL, *map(str, args)], timeout=timeout)
        out = r.stdout.splitlines()
        assert r.returncode == 0, f"{args}: status {r.returncode}\n" \
            f"{r.stdout}\n{r.stderr}"
        assert out and out[-1].startswith("RESULT "), r.stdout + r.stderr
        return json.loads(out[-1][len("RESULT "):]), r.stdout, r.stderr

    def start_miner(self, control=None, config=None):
        self.sb.write_text("/sim/miner.json", json.dumps(control or {}))
        self.sb.write_text(MINER_CONF, json.dumps(config or BASE_CONFIG))
        self.miner = self.sb.spawn(MINER_ARGS, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        up, _, _ = self.tool("wait-api", 10)
        assert up["up"], "the simulated miner did not open its API"

    def requests(self, command):
        """The miner's record of the requests it got for command."""
        try:
            text = self.sb.read_text("/sim/miner.log")
        except FileNotFoundError:
            return []
        events = [json.loads(line) for line in text.splitlines() if line]
        return [e for e in events
                if e.get("event") == "request" and e.get("command") == command]


@pytest.fixture
def board(sandbox_factory, tool_binary):
    def make(**kw):
        return Board(sandbox_factory(**kw), tool_binary)
    return make


def error_lines(stderr):
    return [line.split(" ERROR: ", 1)[1] for line in stderr.splitlines()
            if " ERROR: " in line]


# ---- statistics from the running miner ---------------------------------------

def test_statistics_follow_the_miner_configuration(board):
    b = board()
    config = dict(BASE_CONFIG, **{
        "bitmain-freq": "600", "bitmain-freq2": "625", "bitmain-voltage": "870",
        "bitmain-fan-ctrl": True, "bitmain-fan-pwm": "50",
        "bitmain-chip-freq": "700"})
    b.start_miner(config=config)

    stats, out, err = b.tool("stats")
    assert err == "" and "WARN" not in out
    chains = stats["chains"]
    assert [c["id"] for c in chains] == [6, 7, 8]
    assert all(c["chips"] == 63 for c in chains)
    # chip 1 of the first chain runs at its own 700 MHz
    assert chains[0]["freq_avg"] == pytest.approx((700 + 62 * 600) / 63, abs=0.01)
    assert chains[1]["freq_avg"] == pytest.approx(625)
    assert chains[2]["freq_avg"] == pytest.approx(600)
    assert all(c["voltage"] == pytest.approx(8.7) for c in chains)
    assert stats["consumption"] == pytest.approx(
        sum(c["consumption"] for c in chains))
    assert stats["hw_errors"] == sum(c["hw_errors"] for c in chains)
    assert stats["temp_max"] == max(c["chip_temp"] for c in chains)
    assert stats["hash_rate"] == pytest.approx(
        sum(c["hash_rate"] for c in chains), rel=0.01)
    # fixed fan speed 50 %: 3000 rpm on the first fan of the pair
    assert [f["id"] for f in stats["fans"]] == [3, 6]
    assert stats["fans"][0]["rpm"] == 3000 and stats["fans"][0]["speed"] == 50

    pools, out, err = b.tool("pools")
    assert err == ""
    assert pools["main"]["status"] == 1          # alive with stratum active
    assert pools["reserved"]["status"] == 0      # empty slots stay zero
    assert pools["reserved2"]["status"] == 0
    assert len(pools["svc_fee"]) == 1

    chips, out, err = b.tool("chips", 6)
    assert err == ""
    first = chips["chips"][0]
    assert first == dict(first, id=1, freq=700, custom_freq=True)
    assert all(c["freq"] == 600 and not c["custom_freq"]
               for c in chips["chips"][1:])
    assert all(c["hashrate"] > 0 and c["state"] == 1 for c in chips["chips"])
    # one connection per command
    assert len(b.requests("stats")) == 1 and len(b.requests("pools")) == 1


def test_chain_fan_and_pool_selection_on_an_odd_machine(board):
    b = board()
    b.start_miner(control={
        "chain_chips": {"7": 0},            # board 7 missing: all its keys zero
        "fan_slots": [1, 2],
        "stats_extra": {"fan_num": 4, "fan5": 4000, "fan7": 4100},
        "devfee": 6, "devfee_first": True,
        "chip_scale": {"8": {"1": 0.6, "2": 0.3}},
    })
    stats, out, _ = b.tool("stats")
    assert [c["id"] for c in stats["chains"]] == [6, 8]
    assert [f["id"] for f in stats["fans"]] == [1, 2], "never more than two"

    pools, _, _ = b.tool("pools")
    assert len(pools["svc_fee"]) == 4, "never more than four service-fee pools"
    # service-fee pools stand first and push the user's pool out of position 0..2
    assert pools["main"]["status"] == 0

    chips, _, _ = b.tool("chips", 8)
    assert chips["chips"][0]["state"] == 2   # slow
    assert chips["chips"][1]["state"] == 3   # unstable


def test_missing_chip_dump_gives_zero_rates(board):
    b = board()
    b.start_miner(control={"chip_hr": False})
    chips, out, err = b.tool("chips", 7)
    assert "WARN: Failed to load chip hash rates from " \
        "/www/pages/cgi-bin/chip_hr.json" in out
    assert "WARN: Failed to parse chip hash rates from dump" in out
    assert all(c["hashrate"] == 0 and c["state"] == 0 and c["freq"] == 650
               for c in chips["chips"])

    b.sb.write_text("/www/pages/cgi-bin/chip_hr.json", '{"chiphr": 5}')
    chips, out, _ = b.tool("chips", 7)
    assert "Failed to load chip hash rates" not in out
    assert all(c["hashrate"] == 0 for c in chips["chips"])

    b.sb.write_text(MINER_CONF, "[]")
    chips, _, err = b.tool("chips", 7)
    assert chips is None
    assert "Failed to load cgminer config from /config/bmminer.conf" in err


# ---- the API client's framing and bounds -------------------------------------

def test_reply_split_across_many_writes(board):
    b = board()
    b.start_miner(control={"api_chunk": 97, "api_chunk_delay": 0.005})
    stats, _, err = b.tool("stats")
    assert err == ""
    assert [c["id"] for c in stats["chains"]] == [6, 7, 8]


def test_canned_replies(board):
    stats_obj = {"total_rate": 30000.0, "GHS av": 13500.0,
                 "total_freqavg": 650.0, "temp_max": 70, "miner_count": 1,
                 "fan_num": 1, "fan2": 6000}
    for n in range(1, 17):
        on = n == 7
        stats_obj.update({
            f"chain_acn{n}": 63 if on else 0,
            f"chain_rate{n}": "4666.00" if on else "0.00",
            f"freq_avg{n}": 650.0 if on else 0.0, f"temp{n}": 60 if on else 0,
            f"temp2_{n}": 75 if on else 0, f"chain_hw{n}": 0})
    wire = ('{"STATUS":[{"STATUS":"S"}],"STATS":[{"Type":"Antminer S9"}'
            + json.dumps(stats_obj) + '],"id":1}\u0000')
    huge = ('{"STATS":[{"pad":"' + "x" * 2_000_000 + '"}{"total_rate":1.0}]}')
    b = board()
    b.start_miner(control={"canned": {
        "stats": wire, "version": huge, "summary": "not json at all",
        "devs": '{"STATS":[{"a":1}{"b":2', "echo": ""}})

    stats, _, err = b.tool("stats")
    assert err == ""
    assert stats["hash_rate"] == 13500.0
    assert [(c["id"], c["hash_rate"]) for c in stats["chains"]] == [(7, 4666.0)]
    assert stats["temp_max"] == 75
    assert [(f["id"], f["speed"]) for f in stats["fans"]] == [(2, 100)]

    big, _, err = b.tool("call", "version")
    assert err == ""
    assert len(big["reply"]["STATS"][0]["pad"]) == 2_000_000
    assert big["reply"]["STATS"][1] == {"total_rate": 1.0}

    for command, shown in (("summary", "not json at all"),
                           ("devs", '{"STATS":[{"a":1},{"b":2'),
                           ("echo", "")):
        res, _, err = b.tool("call", command)
        assert res["reply"] is None
        lines = error_lines(err)
        assert lines[0].startswith("Failed to parse cgminer api response - ")
        assert lines[1] == "Api response:"
        assert err.endswith(f"Api response:\n{shown}\n"), err


def test_wrong_shapes_from_the_miner_give_no_record(board):
    b = board()
    b.start_miner(control={"canned": {
        "stats": '{"STATS":[{},{},{}]}',
        "pools": '{"POOLS":{"URL":"x"}}'}})
    stats, _, err = b.tool("stats")
    assert stats is None
    assert "ERROR: Failed to unpack STATS from api response: " in err
    pools, _, err = b.tool("pools")
    assert pools is None
    assert "ERROR: POOLS must be an array object" in err


def test_a_silent_miner_costs_a_bounded_wait(board):
    b = board()
    b.start_miner(control={"api_hang": ["stats"], "api_delay": {"pools": 1.0}})

    started = time.monotonic()
    res, _, err = b.tool("call", "stats")
    took = time.monotonic() - started
    assert res["reply"] is None
    assert 4.5 <= res["ms"] / 1000 <= 9, res["ms"]
    assert took < 12
    lines = error_lines(err)
    assert lines[0] == ("Failed to receive cgminer api response - "
                        "Connection timed out")
    assert lines[1] == 'Failed to call cgminer api, request: {"command": "stats"}'
    assert lines[2].startswith("Failed to parse cgminer api response - ")

    # A late answer within the bound still counts.
    res, _, err = b.tool("call", "pools")
    assert err == ""
    assert res["ms"] >= 1000 and res["reply"]["POOLS"]

    # And the statistics simply have no record.
    stats, _, err = b.tool("stats")
    assert stats is None
    assert "Connection timed out" in err


def test_a_miner_answering_too_late_fails_within_the_bound(board):
    b = board()
    b.start_miner(control={"api_delay": {"stats": 30}})
    res, _, err = b.tool("call", "stats")
    assert res["reply"] is None
    assert res["ms"] < 9000
    assert "Failed to receive cgminer api response - Connection timed out" in err


def test_nothing_listening(board):
    b = board()
    probe, out, err = b.tool("probe")
    assert probe == {"up": False}
    assert err == "" and out.splitlines() == [out.splitlines()[-1]], \
        "the probe says nothing"

    res, _, err = b.tool("call", "stats")
    assert res["reply"] is None
    assert error_lines(err) == [CONNECT_FAILED]

    stats, _, err = b.tool("stats")
    assert stats is None
    assert error_lines(err) == [CONNECT_FAILED]


# ---- the miner file on a full /config -----------------------------------------

def fill(sb, device_path):
    """Fills the file system of device_path to the last byte."""
    fd = os.open(sb.path(device_path), os.O_WRONLY | os.O_CREAT, 0o644)
    try:
        for size in (65536, 4096, 1):
            try:
                while True:
                    os.write(fd, b"\0" * size)
            except OSError as e:
                assert e.errno == errno.ENOSPC
    finally:
        os.close(fd)


def test_a_full_config_fails_the_save_and_keeps_the_old_file(board):
    b = board(start=False, config_size=128 * 1024)
    b.sb.install(MINER_CONF, json.dumps(BASE_CONFIG), 0o644)
    b.sb.start()
    # Bring the file to the agent's own layout first.
    res, _, err = b.tool("set-pass", MINER_CONF, "before")
    assert res == {"rc": 0}, err
    before = b.sb.read_bytes(MINER_CONF)

    fill(b.sb, "/config/filler")
    res, _, err = b.tool("set-pass", MINER_CONF, "after" * 8)
    assert res == {"rc": -1}
    assert error_lines(err) == ["Failed to save config file: /config/bmminer.conf"]
    assert b.sb.read_bytes(MINER_CONF) == before
    assert sorted(os.listdir(b.sb.path("/config"))) == \
        ["bmminer.conf", "filler"], "no temporary file is left behind"

    os.unlink(b.sb.path("/config/filler"))
    res, _, err = b.tool("set-pass", MINER_CONF, "after")
    assert res == {"rc": 0}, err
    loaded, _, _ = b.tool("load", MINER_CONF)
    assert loaded["rc"] == 0 and loaded["pools"][0]["pass"] == "after"


def test_saved_file_layout_and_a_password_that_looks_like_layout(board):
    b = board()
    b.sb.write_text(MINER_CONF, json.dumps(BASE_CONFIG, indent=4))
    tricky = 'pw": '
    res, _, err = b.tool("set-pass", MINER_CONF, tricky)
    assert res == {"rc": 0}, err
    text = b.sb.read_text(MINER_CONF)
    assert json.loads(text)["pools"][0]["pass"] == tricky
    lines = text.split("\n")
    assert not any(line[:1] in (" ", "\t") for line in lines)
    assert '"url" : "stratum+tcp://pool.example.com:3333",' in lines
    assert '"api-listen": true,' in lines
    assert not text.endswith("\n")
    loaded, _, _ = b.tool("load", MINER_CONF)
    assert loaded["pools"][0]["pass"] == tricky
