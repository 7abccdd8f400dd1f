"""The miner API client and the chip statistics inside the device sandbox,
against the simulated miner, through bench/miner_api_tool. The parsing
itself is covered by the unit tests; here the device's chip files and the
bounded waits."""

import json
import subprocess

import pytest

from conftest import built
from miner_support_driver import MINER_ARGS

TOOL = "/usr/bin/miner_api_tool"
MINER_CONF = "/config/bmminer.conf"
BASE_CONFIG = {
    "pools": [{"url": "stratum+tcp://pool.example.com:3333",
               "user": "worker1", "pass": "x"}],
    "api-listen": True,
    "api-network": True,
    "bitmain-freq": "650",
    "bitmain-voltage": "890",
}


@pytest.fixture(scope="module")
def tool_binary(build_dir):
    return built(build_dir, "bench", "miner_api_tool").read_bytes()


class Board:
    """A sandbox with the tool installed and, on demand, the miner running."""

    def __init__(self, sb, tool):
        self.sb = sb
        sb.install(TOOL, tool, 0o755)

    def tool(self, *args):
        """(the RESULT line's value, stdout, the ERROR lines' texts)."""
        r = self.sb.run([TOOL, *map(str, args)], timeout=30)
        out = r.stdout.splitlines()
        assert r.returncode == 0 and out and out[-1].startswith("RESULT "), \
            f"{args}: status {r.returncode}\n{r.stdout}\n{r.stderr}"
        errors = [line.split(" ERROR: ", 1)[1]
                  for line in r.stderr.splitlines() if " ERROR: " in line]
        return json.loads(out[-1][len("RESULT "):]), r.stdout, errors

    def start_miner(self, control=None, config=None):
        self.sb.write_text("/sim/miner.json", json.dumps(control or {}))
        self.sb.write_text(MINER_CONF, json.dumps(config or BASE_CONFIG))
        self.sb.spawn(["bmminer", *MINER_ARGS], stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL)
        assert self.tool("wait-api", 10)[0]["up"], "the miner's API is down"


@pytest.fixture
def board(sandbox_factory, tool_binary):
    return lambda **kw: Board(sandbox_factory(**kw), tool_binary)


def test_missing_chip_dump_gives_zero_rates(board):
    b = board()
    b.start_miner(control={"chip_hr": False})
    chips, out, _ = b.tool("chips", 7)
    assert "WARN: Failed to load chip hash rates from " \
        "/www/pages/cgi-bin/chip_hr.json\n" in out
    assert "WARN: Failed to parse chip hash rates from dump" in out
    assert all(c["hashrate"] == 0 and c["state"] == 0 and c["freq"] == 650
               for c in chips)

    b.sb.write_text(MINER_CONF, "[]")
    chips, _, errors = b.tool("chips", 7)
    assert chips is None and "Failed to load cgminer config from /config/bmminer.conf" in errors


def test_a_silent_miner_costs_a_bounded_wait(board):
    b = board()
    b.start_miner(control={"api_hang": ["stats"], "api_delay": {"pools": 1.0}})
    res, _, errors = b.tool("call", "stats")
    assert res["reply"] is None and 4.5 <= res["ms"] / 1000 <= 9, res["ms"]
    assert errors[:2] == [
        "Failed to receive cgminer api response - Connection timed out",
        'Failed to call cgminer api, request: {"command": "stats"}']

    # A late answer within the bound still counts.
    res, _, errors = b.tool("call", "pools")
    assert errors == [] and res["ms"] >= 1000 and res["reply"]["POOLS"]
