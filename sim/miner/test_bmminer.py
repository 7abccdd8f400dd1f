"""Tests of the simulated miner program (run with /usr/bin/python3 -m pytest).

Only what the daemon's own tests rely on: the reply shapes, the chip dump,
the hung and slow API, short runs, an ignored SIGINT and the start/exit log.
Each test starts the program with SIM_ROOT in a temporary directory and a
free port, so nothing touches the machine's own paths or port 4028.
"""

import json
import os
import signal
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


def write_config(root, cfg):
    path = root / "config" / "bmminer.conf"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(cfg if isinstance(cfg, str) else json.dumps(cfg))


class Miner:
    def __init__(self, root, port, proc):
        self.root, self.port, self.proc = root, port, proc

    def log(self, event=None):
        path = self.root / "sim" / "miner.log"
        if not path.exists():
            return []
        recs = [json.loads(line) for line in path.read_text().splitlines()]
        return [r for r in recs if event is None or r["event"] == event]

    def wait_api(self, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return
            except OSError:
                assert self.proc.poll() is None, "miner exited early"
                time.sleep(0.03)
        raise AssertionError("API never came up")

    def raw(self, request, timeout=5.0):
        """Send request text (no terminator) and read until the close."""
        with socket.create_connection(("127.0.0.1", self.port), 2) as s:
            s.settimeout(timeout)
            s.sendall(request.encode() if isinstance(request, str)
                      else request)
            data = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return data
                data += chunk

    def call(self, command):
        return parse(self.raw(json.dumps({"command": command})))

    def stats(self):
        return self.call("stats")["STATS"][1]

    def wait_exit(self, timeout):
        return self.proc.wait(timeout=timeout)


def parse(reply):
    """What the agent does: NUL ends the text, "}{" gets its comma."""
    text = reply.split(b"\x00", 1)[0].decode()
    return json.loads(text.replace("}{", "},{"))


@pytest.fixture
def start(tmp_path):
    procs = []

    def _start(config=ONE_POOL, control=None, args=FIXED_ARGS, root=None,
               wait=True, port=None):
        root = root or tmp_path
        if config is not None:
            write_config(root, config)
        if control is not None:
            (root / "sim").mkdir(exist_ok=True)
            (root / "sim" / "miner.json").write_text(json.dumps(control))
        port = port or free_port()
        env = dict(os.environ, SIM_ROOT=str(root), SIM_MINER_PORT=str(port))
        proc = subprocess.Popen(["bmminer"] + list(args), executable=BMMINER,
                                env=env, stdout=subprocess.DEVNULL)
        procs.append(proc)
        miner = Miner(root, port, proc)
        if wait:
            miner.wait_api()
        return miner

    yield _start
    for p in procs:
        if p.poll() is None:
            p.kill()
            p.wait()


def chain_has_data(s, n):
    return (s["chain_acn%d" % n] > 0
            or any(abs(v) > 0.0001 for v in (
                float(s["chain_rate%d" % n]), s["freq_avg%d" % n],
                s["chain_vol%d" % n] / 100.0, s["chain_consumption%d" % n]))
            or s["chain_hw%d" % n] > 0 or s["temp2_%d" % n] > 0
            or s["temp%d" % n] > 0)


def is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


def test_stats_and_pools_replies(start):
    m = start()
    raw = m.raw('{"command": "stats"}')
    assert raw.endswith(b"\x00") and raw.count(b"\x00") == 1
    with pytest.raises(ValueError):
        json.loads(raw[:-1])            # objects really back to back
    stats = parse(raw)["STATS"]
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

    raw = m.raw('{"command": "pools"}')
    assert raw.endswith(b"\x00")
    pools = parse(raw)["POOLS"]
    assert [(p["URL"], p["Status"]) for p in pools] == [
        ("stratum+tcp://pool.example:3333", "Alive"), ("", "Dead"),
        ("", "Dead"), ("DevFee stratum+tcp://fee0.pool.example:3333", "Alive")]
    assert pools[0]["User"] == "worker.1" and pools[0]["Stratum Active"]
    assert all(is_int(p[k]) for p in pools
               for k in ("Priority", "Accepted", "Rejected", "Stale"))


def test_chip_dump_present_or_switched_off(start, tmp_path):
    dump = "www/pages/cgi-bin/chip_hr.json"
    m = start(root=tmp_path / "a")
    assert m.stats()["miner_count"] == 3
    chiphr = json.loads((m.root / dump).read_text())["chiphr"]
    assert [len(chain) for chain in chiphr] == [63] * 3
    m = start(control={"chip_hr": False}, root=tmp_path / "b")
    assert m.stats()["miner_count"] == 3
    assert not (m.root / dump).exists()


def test_hung_and_slow_answers_and_a_stop_meanwhile(start):
    m = start(control={"api_hang": ["stats"], "api_delay": {"pools": 0.8}})
    t0 = time.monotonic()
    assert m.call("pools")["POOLS"]
    assert time.monotonic() - t0 >= 0.8
    with socket.create_connection(("127.0.0.1", m.port), 2) as s:
        s.sendall(b'{"command": "stats"}')
        s.settimeout(1.0)
        with pytest.raises(socket.timeout):
            s.recv(1)
        m.proc.send_signal(signal.SIGINT)
        assert m.wait_exit(3) == 0
    assert [r["action"] for r in m.log("request")][-1] == "hang"


def test_start_and_exit_are_logged_and_sigint_may_be_ignored(start, tmp_path):
    m = start(root=tmp_path / "a")
    m.proc.send_signal(signal.SIGINT)
    assert m.wait_exit(3) == 0
    rec = m.log("start")[0]
    assert rec["argv"][1:] == FIXED_ARGS and rec["pid"] == m.proc.pid
    assert rec["stdout"] == "/dev/null"
    assert [(e["reason"], e["code"]) for e in m.log("exit")] == [("sigint", 0)]

    m = start(control={"ignore_sigint": True}, root=tmp_path / "b")
    m.proc.send_signal(signal.SIGINT)
    time.sleep(0.7)
    assert m.proc.poll() is None and m.stats()["miner_count"] == 3
    m.proc.send_signal(signal.SIGTERM)
    assert m.wait_exit(3) == 0
    assert [e["reason"] for e in m.log("exit")] == ["sigterm"]


def test_run_seconds_crash_loop(start):
    control = {"run_seconds": [0.4, 0.4, None], "exit_code": 3}
    for expected in (3, 3):
        m = start(control=control, wait=False)
        assert m.wait_exit(3) == expected
    m = start(control=control)
    time.sleep(0.6)
    assert m.proc.poll() is None
    starts = m.log("start")
    assert [s["start_index"] for s in starts] == [0, 1, 2]
    assert [s["run_seconds"] for s in starts] == [0.4, 0.4, None]
    exits = m.log("exit")
    assert [(e["reason"], e["code"]) for e in exits] == [
        ("run_seconds", 3), ("run_seconds", 3)]
    assert all(0.4 <= e["elapsed"] < 1.5 for e in exits)
