"""Tests of the simulated miner program (run with /usr/bin/python3 -m pytest).

The reply shapes the daemon's parsers and recorded replies rely on; the
control switches (chip dump, hung API, short runs, ignored SIGINT) are
exercised by the system tests that use them.
Each test starts the program with SIM_ROOT in a temporary directory and a
free port, so nothing touches the machine's own paths or port 4028.
"""

import json
import os
import socket
import subprocess
import time
from pathlib import Path

import pytest

BMMINER = Path(__file__).resolve().parent / "bmminer"
FIXED_ARGS = ["--fixed-freq", "--no-pre-heat", "--version-file",
              "/usr/bin/compile_time", "--api-listen", "--default-config",
              "/config/bmminer.conf"]
ONE_POOL = {"pools": [{"url": "stratum+tcp://pool.example:3333",
                       "user": "worker.1", "pass": "x"}]}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def raw(port, request):
    """Sends request text (no terminator) and reads until the close."""
    with socket.create_connection(("127.0.0.1", port), 2) as s:
        s.settimeout(5)
        s.sendall(request.encode())
        data = b""
        while chunk := s.recv(65536):
            data += chunk
        return data


def parse(reply):
    """What the agent does: NUL ends the text, "}{" gets its comma."""
    text = reply.split(b"\x00", 1)[0].decode()
    return json.loads(text.replace("}{", "},{"))


@pytest.fixture
def port(tmp_path):
    """The port of a miner running with one pool, its API up."""
    (tmp_path / "config").mkdir()
    (tmp_path / "config" / "bmminer.conf").write_text(json.dumps(ONE_POOL))
    port = free_port()
    env = dict(os.environ, SIM_ROOT=str(tmp_path), SIM_MINER_PORT=str(port))
    proc = subprocess.Popen(["bmminer", *FIXED_ARGS], executable=BMMINER,
                            env=env, stdout=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 5
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), 0.2).close()
                break
            except OSError:
                assert proc.poll() is None and time.monotonic() < deadline, \
                    "the API never came up"
                time.sleep(0.03)
        yield port
    finally:
        proc.kill()
        proc.wait()


def chain_has_data(s, n):
    return (s["chain_acn%d" % n] > 0
            or any(abs(v) > 0.0001 for v in (
                float(s["chain_rate%d" % n]), s["freq_avg%d" % n],
                s["chain_vol%d" % n] / 100.0, s["chain_consumption%d" % n]))
            or s["chain_hw%d" % n] > 0 or s["temp2_%d" % n] > 0
            or s["temp%d" % n] > 0)


def is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


def test_stats_and_pools_replies(port):
    reply = raw(port, '{"command": "stats"}')
    assert reply.endswith(b"\x00") and reply.count(b"\x00") == 1
    with pytest.raises(ValueError):
        json.loads(reply[:-1])            # objects really back to back
    stats = parse(reply)["STATS"]
    assert len(stats) == 2
    s = stats[1]
    for key in ("total_rate", "GHS av", "total_freqavg"):
        assert isinstance(s[key], float), key
    assert (s["miner_count"], s["fan_num"]) == (3, 2)
    for n in range(1, 17):
        for fmt in ("chain_acn%d", "chain_vol%d", "temp%d", "temp2_%d",
                    "chain_hw%d"):
            assert is_int(s[fmt % n]), fmt % n
        assert isinstance(s["freq_avg%d" % n], float)
        float(s["chain_rate%d" % n])
    assert [n for n in range(1, 17) if chain_has_data(s, n)] == [6, 7, 8]
    assert sum(1 for n in range(1, 9) if s["fan%d" % n] > 0) == 2

    reply = raw(port, '{"command": "pools"}')
    assert reply.endswith(b"\x00")
    pools = parse(reply)["POOLS"]
    assert [(p["URL"], p["Status"]) for p in pools] == [
        ("stratum+tcp://pool.example:3333", "Alive"), ("", "Dead"),
        ("", "Dead"), ("DevFee stratum+tcp://fee0.pool.example:3333", "Alive")]
    assert pools[0]["User"] == "worker.1" and pools[0]["Stratum Active"]
    assert all(is_int(p[k]) for p in pools
               for k in ("Priority", "Accepted", "Rejected", "Stale"))
