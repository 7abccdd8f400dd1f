"""Tests of the simulated miner program (run with /usr/bin/python3 -m pytest).

Each test starts the program with SIM_ROOT in a temporary directory and a
free port, so nothing touches the machine's own paths or port 4028.
"""

import json
import os
import signal
import socket
import stat
import subprocess
import threading
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


# --------------------------------------------------------------------------
# Reply shapes


def test_stats_reply_shape_and_types(start):
    m = start()
    raw = m.raw('{"command": "stats"}')
    assert raw.endswith(b"\x00") and raw.count(b"\x00") == 1
    assert b"}{" in raw
    with pytest.raises(ValueError):
        json.loads(raw[:-1])            # really back to back
    stats = parse(raw)["STATS"]
    assert len(stats) == 2
    s = stats[1]
    for key in ("total_rate", "GHS av", "total_freqavg"):
        assert isinstance(s[key], float), key
    for key in ("temp_max", "miner_count", "fan_num"):
        assert is_int(s[key]), key
    assert s["miner_count"] == 3 and s["fan_num"] == 2
    for n in range(1, 17):
        for fmt in ("chain_acn%d", "chain_vol%d", "temp%d", "temp2_%d",
                    "chain_hw%d"):
            assert is_int(s[fmt % n]), fmt % n
        assert isinstance(s["freq_avg%d" % n], float)
        assert isinstance(s["chain_consumption%d" % n], (int, float))
        assert isinstance(s["chain_rate%d" % n], str)
        float(s["chain_rate%d" % n])
    assert [n for n in range(1, 17) if chain_has_data(s, n)] == [6, 7, 8]
    fans = [s["fan%d" % n] for n in range(1, 9)]
    assert all(is_int(v) for v in fans)
    assert sum(1 for v in fans if v > 0) == 2
    # the machine's total is the sum of its chains; the average is close
    chain_sum = sum(float(s["chain_rate%d" % n]) for n in (6, 7, 8))
    assert s["total_rate"] == pytest.approx(chain_sum, abs=0.05)
    assert s["total_rate"] / 2 < s["GHS av"] <= s["total_rate"]
    assert 13000 < s["total_rate"] < 15000      # an S9 at 650 MHz
    assert s["temp_max"] == max(s["temp%d" % n] for n in (6, 7, 8))
    assert max(s["temp2_%d" % n] for n in (6, 7, 8)) > s["temp_max"]


def check_pool_types(p):
    for key in ("URL", "Status", "Diff", "Boost"):
        assert isinstance(p[key], str), key
    for key in ("Priority", "Accepted", "Rejected", "Stale"):
        assert is_int(p[key]), key
    assert isinstance(p["Stratum Active"], bool)


def test_pools_reply_one_pool(start):
    m = start()
    raw = m.raw('{"command": "pools"}')
    assert raw.endswith(b"\x00")
    pools = parse(raw)["POOLS"]
    assert [p["URL"] for p in pools] == [
        "stratum+tcp://pool.example:3333", "", "",
        "DevFee stratum+tcp://fee0.pool.example:3333"]
    for p in pools:
        check_pool_types(p)
    assert pools[0]["Status"] == "Alive" and pools[0]["Stratum Active"]
    assert pools[0]["User"] == "worker.1"
    assert [p["Status"] for p in pools[1:3]] == ["Dead", "Dead"]
    assert pools[3]["Priority"] == 999
    assert pools[0]["Boost"] != "AsicBoost"


def test_pools_reply_switches(start):
    cfg = {"pools": [{"url": "stratum+tcp://a.example:1", "user": "u1",
                      "pass": "p"},
                     {"url": "stratum+tcp://b.example:2", "user": "u2",
                      "pass": "p"},
                     {"url": "stratum+tcp://c.example:3", "user": "u3",
                      "pass": "p"},
                     {"url": "stratum+tcp://d.example:4", "user": "u4",
                      "pass": "p"}],
           "asicboost": True}
    m = start(cfg, {"pool_status": ["Dead"], "devfee": 2,
                    "devfee_first": True,
                    "pools_extra": [{}, {}, {"Accepted": 2 ** 40}]})
    pools = m.call("pools")["POOLS"]
    assert [p["URL"][:6] for p in pools] == [
        "DevFee", "DevFee", "stratu", "stratu", "stratu"]
    user = pools[2:]
    assert [p["User"] for p in user] == ["u1", "u2", "u3"]
    assert [p["Status"] for p in user] == ["Dead", "Alive", "Alive"]
    # only the first live pool is the one mining
    assert [p["Stratum Active"] for p in user] == [False, True, False]
    assert all(p["Boost"] == "AsicBoost" for p in user)
    assert user[0]["Accepted"] == 2 ** 40
    assert [p["POOL"] for p in pools] == [0, 1, 2, 3, 4]


def test_stats_overrides(start):
    m = start(control={"stats_extra": {"miner_count": 2, "fan_num": 3},
                       "stats_drop": ["chain_vol7"], "back_to_back": False,
                       "fan_slots": [1, 2]})
    raw = m.raw('{"command": "stats"}')
    assert b"}{" not in raw
    s = json.loads(raw[:-1])["STATS"][1]
    assert s["miner_count"] == 2 and s["fan_num"] == 3
    assert "chain_vol7" not in s and "chain_vol6" in s
    assert s["fan1"] > 0 and s["fan2"] > 0 and s["fan3"] == 0


def test_other_commands_and_errors(start):
    m = start()
    assert m.call("version")["VERSION"][0]["Type"] == "Antminer S9"
    assert m.call("summary")["SUMMARY"][0]["GHS av"] > 0
    for request in ('{"command": "bogus"}', "not json at all",
                    '{"cmd": "stats"}', '["stats"]'):
        reply = parse(m.raw(request))
        assert reply["STATUS"][0]["STATUS"] == "E", request
        assert "STATS" not in reply


# --------------------------------------------------------------------------
# Figures


def test_figures_follow_the_configuration(start, tmp_path):
    base = start(dict(ONE_POOL), root=tmp_path / "a").stats()
    chips = ["0"] * 189
    chips[0] = "500"           # chain 6, chip 1
    tuned = start(dict(ONE_POOL, **{
        "bitmain-freq2": "700", "bitmain-voltage3": "910",
        "bitmain-chip-freq": ":".join(chips), "bitmain-fan-ctrl": True,
        "bitmain-fan-pwm": "80"}), root=tmp_path / "b").stats()
    assert [base["freq_avg%d" % n] for n in (6, 7, 8)] == [650.0] * 3
    assert [base["chain_vol%d" % n] for n in (6, 7, 8)] == [890] * 3
    assert tuned["freq_avg6"] == round((500 + 62 * 650) / 63, 2)
    assert tuned["freq_avg7"] == 700.0 and tuned["freq_avg8"] == 650.0
    assert tuned["chain_vol8"] == 910 and tuned["chain_vol7"] == 890
    assert tuned["total_freqavg"] == round(
        (500 + 62 * 650 + 63 * 700 + 63 * 650) / 189, 2)
    # same seed: the chips differ only by what the settings changed
    ratio7 = float(tuned["chain_rate7"]) / float(base["chain_rate7"])
    assert ratio7 == pytest.approx(700 / 650, rel=1e-3)
    assert float(tuned["chain_rate6"]) < float(base["chain_rate6"])
    assert tuned["chain_rate8"] == base["chain_rate8"]
    assert tuned["chain_consumption8"] > base["chain_consumption8"]
    assert tuned["chain_consumption7"] > base["chain_consumption7"]
    # manual fans at 80 percent, automatic ones follow the load
    assert sorted(v for k, v in tuned.items()
                  if k.startswith("fan") and k[3:].isdigit() and v) \
        == [4680, 4800]
    assert base["fan3"] != tuned["fan3"]


def test_global_frequency_and_fan_limits(start, tmp_path):
    s = start(dict(ONE_POOL, **{"bitmain-freq": "600",
                                "bitmain-fan-ctrl": True,
                                "bitmain-fan-pwm": "150"})).stats()
    assert s["freq_avg6"] == 600.0 and s["total_freqavg"] == 600.0
    assert s["fan3"] == 6000       # above 99 percent means 100


def test_invalid_configuration_falls_back_to_defaults(start):
    m = start("{ this is not json")
    s = m.stats()
    assert s["freq_avg7"] == 650.0 and s["chain_vol7"] == 890
    pools = m.call("pools")["POOLS"]
    assert [p["Status"] for p in pools[:3]] == ["Dead"] * 3
    assert m.log("start")[0]["config_error"]


def test_seed_gives_reproducible_figures(start, tmp_path):
    def run(name, seed):
        root = tmp_path / name
        m = start(control={"seed": seed}, root=root)
        s = m.stats()
        dump = json.loads(
            (root / "www/pages/cgi-bin/chip_hr.json").read_text())
        return [s["chain_rate%d" % n] for n in (6, 7, 8)], dump

    first, second, other = run("a", 7), run("b", 7), run("c", 8)
    assert first == second
    assert first[0] != other[0] and first[1] != other[1]


def test_chip_dump_shape_and_content(start):
    m = start(control={"chip_scale": {"7": {"63": 0.6, "2": 0}},
                       "chain_chips": {"8": 60}})
    s = m.stats()
    dump = json.loads(
        (m.root / "www/pages/cgi-bin/chip_hr.json").read_text())
    chiphr = dump["chiphr"]
    assert len(chiphr) == 3
    for obj in chiphr:
        assert list(obj) == ["Asic%02d" % k for k in range(63)]
        assert all(isinstance(v, str) and v.isdigit() for v in obj.values())
    for i, n in enumerate((6, 7, 8)):
        total = sum(int(v) for v in chiphr[i].values())
        assert total == pytest.approx(float(s["chain_rate%d" % n]), abs=32)
    expected = 650 * 114 / 1000
    assert 0.5 <= int(chiphr[1]["Asic62"]) / expected < 0.85
    assert chiphr[1]["Asic01"] == "0"
    assert 0.85 <= int(chiphr[0]["Asic00"]) / expected < 1.1
    assert [chiphr[2]["Asic%02d" % k] for k in (60, 61, 62)] == ["0"] * 3
    assert s["chain_acn8"] == 60 and s["chain_acn7"] == 63
    # a chip below half its expected rate is marked failed, a slow one not
    assert s["chain_acs7"].replace(" ", "").index("x") == 1
    assert s["chain_acs7"].count("x") == 1


def test_missing_board_is_an_empty_slot(start):
    s = start(control={"chain_chips": {"7": 0}}).stats()
    assert [n for n in range(1, 17) if chain_has_data(s, n)] == [6, 8]


# --------------------------------------------------------------------------
# API behaviour


def read_reply(s):
    data = b""
    while chunk := s.recv(65536):
        data += chunk
    return data


def test_request_without_terminator(start):
    # a long idle limit: only a complete object may trigger the answer
    m = start(control={"api_idle": 3.0})
    with socket.create_connection(("127.0.0.1", m.port), 2) as s:
        s.settimeout(5)
        for piece in (b'{"comm', b'and": "po', b'ols"}'):
            time.sleep(0.1)
            s.sendall(piece)
        t0 = time.monotonic()
        data = read_reply(s)
        assert time.monotonic() - t0 < 1.5
    assert parse(data)["POOLS"][0]["URL"].startswith("stratum+tcp://")
    # an incomplete request is answered once the client stops sending
    with socket.create_connection(("127.0.0.1", m.port), 2) as s:
        s.settimeout(5)
        s.sendall(b'{"command": "stats"')
        s.shutdown(socket.SHUT_WR)
        assert parse(read_reply(s))["STATUS"][0]["STATUS"] == "E"


def test_probe_and_parallel_requests(start):
    m = start()
    socket.create_connection(("127.0.0.1", m.port)).close()
    results = []
    threads = [threading.Thread(
        target=lambda: results.append(m.stats()["miner_count"]))
        for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert results == [3] * 6
    actions = [r["action"] for r in wait_log(m, "request", 8)]
    assert actions.count("reply") == 6 and "none" in actions


def test_nul_terminator_switch(start):
    raw = start(control={"api_nul": False}).raw('{"command": "pools"}')
    assert b"\x00" not in raw
    json.loads(raw)


def test_canned_replies_are_exact(start):
    m = start(control={"canned": {"stats": 'abc}{"x":1}\u0000tail',
                                  "pools": ""}})
    assert m.raw('{"command": "stats"}') == b'abc}{"x":1}\x00tail'
    assert m.raw('{"command": "pools"}') == b""
    assert m.call("summary")["SUMMARY"]


def test_chunked_reply_is_whole(start):
    m = start(control={"api_chunk": 200, "api_chunk_delay": 0.005})
    with socket.create_connection(("127.0.0.1", m.port), 2) as s:
        s.sendall(b'{"command": "stats"}')
        pieces = []
        while chunk := s.recv(65536):
            pieces.append(chunk)
    assert len(pieces) > 1
    assert parse(b"".join(pieces))["STATS"][1]["miner_count"] == 3


def test_hung_api_never_answers_and_still_stops(start):
    m = start(control={"api_hang": ["stats"]})
    assert m.call("pools")["POOLS"]
    with socket.create_connection(("127.0.0.1", m.port), 2) as s:
        s.sendall(b'{"command": "stats"}')
        s.settimeout(1.0)
        with pytest.raises(socket.timeout):
            s.recv(1)
        t0 = time.monotonic()
        m.proc.send_signal(signal.SIGINT)
        assert m.wait_exit(3) == 0
        assert time.monotonic() - t0 < 1.5
    assert [r["action"] for r in m.log("request")][-1] == "hang"


def test_delayed_answer(start):
    m = start(control={"api_delay": {"stats": 0.8}})
    t0 = time.monotonic()
    m.call("pools")
    assert time.monotonic() - t0 < 0.7
    t0 = time.monotonic()
    assert m.stats()["miner_count"] == 3
    assert time.monotonic() - t0 >= 0.8


def test_api_comes_up_late_and_waits_for_a_busy_port(start):
    holder = socket.socket()
    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    holder.bind(("127.0.0.1", 0))
    holder.listen(1)
    port = holder.getsockname()[1]
    m = start(control={"api_start_delay": 0.3}, port=port, wait=False)
    time.sleep(0.8)
    holder.close()
    m.wait_api(timeout=4)
    assert m.stats()["miner_count"] == 3
    assert m.log("api_bind_error")


# --------------------------------------------------------------------------
# Process life


def test_start_log_and_arguments(start, tmp_path):
    write_config(tmp_path, ONE_POOL)
    alt = tmp_path / "elsewhere.conf"
    alt.write_text(json.dumps(dict(ONE_POOL, **{"bitmain-freq": "550"})))
    args = ["--unknown", "--fixed-freq", "--default-config",
            "/elsewhere.conf", "extra"]
    m = start(config=None, args=args)
    assert m.stats()["freq_avg6"] == 550.0
    m.proc.send_signal(signal.SIGINT)
    assert m.wait_exit(3) == 0
    rec = m.log("start")[0]
    assert rec["argv"][1:] == args and rec["pid"] == m.proc.pid
    assert rec["config"] == str(alt) and rec["config_error"] is None
    assert rec["stdout"] == "/dev/null"
    assert m.log("exit")[0]["reason"] == "sigint"


@pytest.mark.parametrize("sig,reason", [(signal.SIGINT, "sigint"),
                                        (signal.SIGTERM, "sigterm")])
def test_stop_signals(start, sig, reason):
    m = start()
    t0 = time.monotonic()
    m.proc.send_signal(sig)
    assert m.wait_exit(3) == 0
    assert time.monotonic() - t0 < 1.0
    exits = m.log("exit")
    assert [(e["reason"], e["code"]) for e in exits] == [(reason, 0)]


def test_ignored_sigint(start):
    m = start(control={"ignore_sigint": True})
    m.proc.send_signal(signal.SIGINT)
    time.sleep(0.7)
    assert m.proc.poll() is None
    assert m.stats()["miner_count"] == 3
    m.proc.send_signal(signal.SIGTERM)
    assert m.wait_exit(3) == 0
    assert m.log("exit")[0]["reason"] == "sigterm"


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


# --------------------------------------------------------------------------
# Event lines


def wait_log(m, event, count, timeout=3.0):
    deadline = time.monotonic() + timeout
    while len(m.log(event)) < count and time.monotonic() < deadline:
        time.sleep(0.05)
    return m.log(event)


def read_fifo_rounds(path, rounds, out):
    """Like the agent: open, read to end of file, close, repeat."""
    for _ in range(rounds):
        with open(path) as f:
            out.append(f.read())


def test_event_lines_reach_a_reader(start, tmp_path):
    fifo = tmp_path / "tmp" / "events"
    fifo.parent.mkdir()
    os.mkfifo(fifo, 0o666)
    got = []
    reader = threading.Thread(target=read_fifo_rounds, args=(fifo, 2, got),
                              daemon=True)
    reader.start()
    line = {"event": "restart", "reason": "fan_erorr"}
    text = '{"event": "restart", "reason": "overheat", "temp": 95}'
    m = start(control={"events": [
        {"after": 0.2, "line": line}, {"after": 0.2, "line": text},
        {"after": 0.6, "line": "plain\n"}]})
    reader.join(5)
    assert got == [json.dumps(line) + "\n" + text + "\n", "plain\n"]
    results = wait_log(m, "event_line", 3)
    assert [r["result"] for r in results] == ["written"] * 3
    assert m.proc.poll() is None


def test_event_pipe_created_when_absent_and_no_reader(start, tmp_path):
    m = start(control={"event_wait": 0.3, "events": [
        {"after": 0.1, "line": {"event": "restart", "reason": "autotune"}}]})
    results = wait_log(m, "event_line", 1)
    fifo = tmp_path / "tmp" / "events"
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert results[0]["result"] == "no reader"
    assert m.stats()["miner_count"] == 3
    m.proc.send_signal(signal.SIGINT)
    assert m.wait_exit(3) == 0


def test_chip_dump_kept_current_or_absent(start, tmp_path):
    m = start(control={"chip_hr_period": 0.2}, root=tmp_path / "a")
    dump = m.root / "www/pages/cgi-bin/chip_hr.json"
    dump.unlink()
    deadline = time.monotonic() + 3
    while not dump.exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert len(json.loads(dump.read_text())["chiphr"]) == 3
    m = start(control={"chip_hr": False}, root=tmp_path / "b")
    assert m.stats()["miner_count"] == 3
    assert not (m.root / "www/pages/cgi-bin/chip_hr.json").exists()
