"""Settings requests of the service, through the real binary in the device
sandbox: the result message, what lands in /config (or that nothing does),
whether the miner was restarted, and the network request's restart and
reconnection."""

import json
import os
import sys
import time
from pathlib import Path

import pytest

from miner_support_driver import miner_file, miners_alive, wait_until

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "sim" / "service"))

from service import ReferenceService  # noqa: E402

AGENT_FILE = json.dumps({"api_key": "settings-test-key",
                         "dev_id": "0BADF00D1234ABCD-02524B000001"})
MINER = "/config/bmminer.conf"
NETWORK = "/config/network.conf"
STATIC_NET = ("hostname=antMiner\nipaddress=192.0.2.10\n"
              "netmask=255.255.255.0\ngateway=192.0.2.1\n"
              'dnsservers="192.0.2.53 8.8.4.4"')
ABSENT = object()  # a key the written file must not hold
POOL0 = {"stratum_url": "stratum+tcp://pool0.example:3333",
         "worker": "worker.0", "password": "x"}
LONG_URL = "stratum+tcp://" + "p" * 600


def chip_list(chips=()):
    """The file's "bitmain-chip-freq": 63 values per chain 6, 7, 8."""
    values = [0] * 189
    for chain, chip, freq in chips:
        values[(chain - 6) * 63 + chip - 1] = freq
    return ":".join(map(str, values))


def file_pool(url="", user="", password=""):
    return {"url": url, "user": user, "pass": password}


def chain(id_, freq=0, volt=0.0, chips=(), global_freq=False,
          global_volt=False):
    return {"type": "config_chain", "id": id_, "use_global_freq": global_freq,
            "use_global_volt": global_volt, "freq": freq, "volt": volt,
            "chips": list(chips)}


def autotuner(**over):
    obj = {"stage1": True, "stage2": False, "stage3": True,
           "downclock_step": 2, "min_freq": 500, "hashrate_deviation": 5,
           "test_time": 60, "down_freq_hw": 3}
    obj.update(over)
    return obj


class Device:
    def __init__(self, sb, svc, agent):
        self.sb, self.svc, self.agent = sb, svc, agent

    def stat(self, path):
        st = os.stat(self.sb.path(path))
        return st.st_ino, self.sb.read_bytes(path)

    def request(self, obj, timeout=20):
        """Sends obj; the result message and the update_config messages
        with chains that came before it."""
        start = self.svc.mark()
        self.svc.send(obj)
        result = self.svc.wait_for_message(obj["type"], timeout, start)
        updates = [m.obj for m in self.svc.messages()[start:result.index]
                   if m.type == "update_config" and "pools" not in m.obj]
        return result.obj, updates


@pytest.fixture
def device(sandbox_factory, agent_factory, certs, service_port):
    services = []

    def start(pools=2, config_size=None, network=STATIC_NET, miner=True):
        sb = sandbox_factory(config_size=config_size)
        sb.write_text("/config/velmora.json", AGENT_FILE)
        sb.write_text(MINER, miner_file(pools))
        sb.write_text(NETWORK, network)
        svc = ReferenceService(port=service_port,
                               certfile=certs["server_cert"],
                               keyfile=certs["server_key"],
                               netns=sb.netns_fd_path)
        services.append(svc.start())
        d = Device(sb, svc, agent_factory(sb))
        d.agent.wait_for_line(r"INFO: Agent successfully authenticated$", 20)
        if miner:
            wait_until(lambda: miners_alive(sb), 20, "the miner")
        return d

    yield start
    for svc in services:
        print(svc.describe())
        svc.stop()


def expect_file(before, after, changes):
    """after holds changes (ABSENT: key missing) and every other key of
    before unchanged."""
    for key, want in changes.items():
        if want is ABSENT:
            assert key not in after, key
        else:
            assert after.get(key) == want, (key, after.get(key))
    for key in before.keys() & after.keys() - changes.keys():
        assert after[key] == before[key], key


# Rows run in order on one device with a running miner; each starts from the
# file the rows before it left. changes None: the file is not written and the
# miner keeps running as it was.
SETTINGS_ROWS = [
    ("manual fans below the minimum",
     {"type": "config_fans", "mode": "manual", "speed": 10},
     {"bitmain-fan-ctrl": True, "bitmain-fan-pwm": "20"}, 0),
    ("automatic fans", {"type": "config_fans", "mode": "auto", "speed": 300},
     {"bitmain-fan-ctrl": ABSENT, "bitmain-fan-pwm": "20"}, 0),
    ("automatic fans again", {"type": "config_fans", "mode": "auto"},
     None, 0),
    ("manual speed keeps its low 8 bits",
     {"type": "config_fans", "mode": "manual", "speed": 256 + 60},
     {"bitmain-fan-ctrl": True, "bitmain-fan-pwm": "60"}, 0),
    ("main pool only empties the others",
     {"type": "config_pools", "main": POOL0, "other": 5},
     {"pools": [file_pool("stratum+tcp://pool0.example:3333", "worker.0",
                          "x"), file_pool(), file_pool()]}, 0),
    ("the same pools", {"type": "config_pools", "main": POOL0}, None, 0),
    ("long url cut, password absent",
     {"type": "config_pools", "main": POOL0,
      "reserved": {"stratum_url": LONG_URL, "worker": "w" * 80}},
     {"pools": [file_pool("stratum+tcp://pool0.example:3333", "worker.0",
                          "x"),
                file_pool(LONG_URL[:511], "w" * 49), file_pool()]}, 0),
    ("user profile, integer volt",
     {"type": "config_perf", "perf": {"asic_boost": False, "freq": 700,
                                      "volt": 9}},
     {"asicboost": ABSENT, "bitmain-freq": "700", "bitmain-voltage": "900",
      "bitmain-autodownscale-profile": "0"}, 0),
    ("chain 7 with chips: duplicates keep the last, chip 70 skipped",
     chain("7", 720, 8.81, [{"id": "5", "freq": 650}, {"id": "5", "freq": 660},
                            {"id": "70", "freq": 1}, {"id": "9"},
                            {"id": "63", "freq": 65536 + 610}]),
     {"bitmain-freq2": "720", "bitmain-voltage2": "890",
      "bitmain-chip-freq": chip_list([(7, 5, 660), (7, 63, 610)])}, 0),
    ("chain 6 follows the global frequency",
     chain("6", 700, 9.0, global_freq=True, chips=[{"id": "1", "freq": 640}]),
     {"bitmain-freq1": "0", "bitmain-voltage1": "900",
      "bitmain-chip-freq": chip_list([(6, 1, 640), (7, 5, 660),
                                      (7, 63, 610)])}, 0),
    ("the same chain 6 again",
     chain("6", 5, 9.0, global_freq=True, chips=[{"id": "1", "freq": 640}]),
     None, 0),
    ("empty chips clear chain 7's chips", chain("7", 720, 8.81),
     {"bitmain-chip-freq": chip_list([(6, 1, 640)])}, 0),
    ("user profile and an autotuner with its defaults",
     {"type": "config_perf", "perf": {"asic_boost": False, "freq": 700,
                                      "volt": 9.0, "profile": "profile_user"},
      "autotuner": autotuner()},
     {"bitmain-autodownscale": True, "bitmain-autodownscale-watch": ABSENT,
      "bitmain-autodownscale-watchtimer": True,
      "bitmain-autodownscale-timer": "3", "bitmain-autodownscale-min": "500",
      "bitmain-autodownscale-step": "2", "bitmain-autodownscale-prec": "5",
      "bitmain-autodownscale-after": "60", "bitmain-autodownscale-hw": "3"},
     0),
    ("preset profile resets every chain override",
     {"type": "config_perf", "perf": {"asic_boost": True, "freq": 650,
                                      "volt": 8.9, "profile": "profile_14_0"}},
     {"asicboost": True, "bitmain-freq": "650", "bitmain-voltage": "890",
      "bitmain-autodownscale-profile": "6", "bitmain-freq1": "0",
      "bitmain-voltage1": "0", "bitmain-freq2": "0", "bitmain-voltage2": "0",
      "bitmain-chip-freq": chip_list()}, 1),
    ("the same preset: the reset message again, nothing to write",
     {"type": "config_perf", "perf": {"asic_boost": True, "freq": 650,
                                      "volt": 8.9, "profile": "profile_14_0x"}},
     None, 1),
    ("neither perf nor autotuner", {"type": "config_perf"}, None, 0),
    ("autotuner alone with reset_chips writes even when equal",
     {"type": "config_perf", "autotuner": autotuner(
         stage3_interval=3, reset_chips=True)}, {}, 0),
]


def test_settings_requests_write_only_changes_and_restart_the_miner(device):
    d = device()
    for name, req, changes, resets in SETTINGS_ROWS:
        before_ino, before = d.stat(MINER)
        miners = miners_alive(d.sb)
        result, updates = d.request(req)
        assert result == {"type": req["type"], "ok": True}, name
        after_ino, after = d.stat(MINER)
        if changes is None:
            assert (after_ino, after) == (before_ino, before), name
            assert miners_alive(d.sb) == miners, name
        else:
            assert after_ino != before_ino, name
            expect_file(json.loads(before), json.loads(after), changes)
            now = miners_alive(d.sb)
            assert len(now) == 1 and now != miners, (name, miners, now)
        assert updates == [{"type": "update_config", "chains": [
            {"id": id_, "use_global_freq": True, "use_global_volt": True,
             "freq": 600, "volt": 8.9, "chips": []}
            for id_ in ("6", "7", "8")]}] * resets, name
    d.agent.wait_for_line(r"ERROR: Chain 7: chip 70 is out of range$")
    d.agent.wait_for_line(r"ERROR: Chain 7: failed to parse chip settings:$")


def test_stopped_miner_stays_stopped_when_the_file_changes(device):
    d = device(pools=0, miner=False)
    d.agent.wait_for_line(r"ERROR: At least one pool should be configured!$")
    result, _ = d.request({"type": "config_pools", "main": POOL0})
    assert result == {"type": "config_pools", "ok": True}
    assert json.loads(d.sb.read_text(MINER))["pools"][0]["user"] == "worker.0"
    time.sleep(1)
    assert miners_alive(d.sb) == []


FANS, PERF, CHAIN, POOLS, NET = ("config_fans", "config_perf", "config_chain",
                                 "config_pools", "config_network")
GOOD_PERF = {"asic_boost": True, "freq": 650, "volt": 8.9,
             "profile": "profile_14_0"}
STATIC = {"type": NET, "mode": "static", "ip": "192.0.2.20",
          "netmask": "255.255.255.0", "gateway": "192.0.2.1",
          "dnsservers": ["192.0.2.53"]}
FANS_LINE = r"ERROR: Failed to parse config fans request - "
PERF_LINE = r"ERROR: Failed to parse perf request - "
TUNER_LINE = r"ERROR: Failed to parse config autotuner request - "
CHAIN_LINE = r"ERROR: Failed to parse config chain request - "
POOL_LINE = r"ERROR: Failed to parse pool params - "
NET_LINE = r"ERROR: Failed to parse config network message - "

BAD_ROWS = [
    ({"type": FANS}, FANS_LINE),
    ({"type": FANS, "mode": 1}, FANS_LINE),
    ({"type": FANS, "mode": "manual", "speed": "50"}, FANS_LINE),
    ({"type": FANS, "mode": "manual", "speed": 50.5}, FANS_LINE),
    ({"type": FANS, "mode": "manual", "speed": 2 ** 32 + 50}, FANS_LINE),
    ({"type": FANS, "mode": "manual", "speed": -2 ** 63}, FANS_LINE),
    ({"type": FANS, "mode": "m" * 12000}, None),  # automatic: unchanged
    ({"type": PERF, "perf": {"asic_boost": True, "freq": 650}}, PERF_LINE),
    ({"type": PERF, "perf": dict(GOOD_PERF, freq=650.0)}, PERF_LINE),
    ({"type": PERF, "perf": dict(GOOD_PERF, freq=2 ** 40)}, PERF_LINE),
    ({"type": PERF, "perf": dict(GOOD_PERF, volt="8.9")}, PERF_LINE),
    ({"type": PERF, "perf": dict(GOOD_PERF, profile=14)}, PERF_LINE),
    ({"type": PERF, "perf": []}, PERF_LINE),
    # A preset with a malformed autotuner queues no chains update.
    ({"type": PERF, "perf": GOOD_PERF, "autotuner": autotuner(stage2=None)},
     TUNER_LINE),
    ({"type": PERF, "perf": GOOD_PERF,
      "autotuner": autotuner(min_freq=2 ** 33)}, TUNER_LINE),
    ({"type": PERF, "autotuner": autotuner(test_time=1.5)}, TUNER_LINE),
    (dict(chain("7"), chips="x"),
     r"ERROR: Chips must be an array object$"),
    ({k: v for k, v in chain("7").items() if k != "chips"}, CHAIN_LINE),
    (dict(chain("7"), id=7), CHAIN_LINE),
    (dict(chain("7"), use_global_freq=1), CHAIN_LINE),
    (dict(chain("7", global_freq=True), freq=2 ** 40), CHAIN_LINE),
    (dict(chain("7"), freq=700.5), CHAIN_LINE),
    (dict(chain("7"), volt="9"), CHAIN_LINE),
    (chain("3"), r"ERROR: Invalid chain 3, it should be between \[6, 8\]$"),
    (chain("17"), r"ERROR: Chain 17 is out of range \[1, 16\]$"),
    (chain("x7"), r"ERROR: Chain 0 is out of range \[1, 16\]$"),
    (chain("9" * 40), r"ERROR: Chain 2147483647 is out of range \[1, 16\]$"),
    ({"type": POOLS, "reserved": POOL0},
     r"ERROR: Pools configuration failed, at least the main pool must be "
     r"specified$"),
    ({"type": POOLS, "main": POOL0, "reserved": {"stratum_url": "u"}},
     POOL_LINE),
    ({"type": POOLS, "main": "stratum+tcp://pool0.example:3333"}, POOL_LINE),
    ({"type": POOLS, "main": dict(POOL0, password=5)}, POOL_LINE),
    ({"type": NET}, NET_LINE),
    ({"type": NET, "mode": "static", "ip": 5}, NET_LINE),
    ({k: v for k, v in STATIC.items() if k != "dnsservers"},
     r"ERROR: Static network mode requires ALL parameters!$"),
    (dict(STATIC, ip="192.0.2.20;reboot"), NET_LINE),
    (dict(STATIC, gateway=""), NET_LINE),
    (dict(STATIC, netmask="255.255.255.0\ndhcp=true"), NET_LINE),
    (dict(STATIC, dnsservers=["8.8.8.8", "$(reboot)"]), NET_LINE),
]


def test_bad_requests_fail_with_their_line_and_touch_nothing(device):
    d = device()
    files = ("/config/velmora.json", NETWORK, MINER)
    before = [d.stat(path) for path in files]
    miners = miners_alive(d.sb)
    for req, line in BAD_ROWS:
        mark = d.agent.mark()
        result, updates = d.request(req)
        assert result == {"type": req["type"], "ok": line is None}, req
        if line:
            d.agent.wait_for_line(line, start=mark)
        assert updates == [], req
        assert [d.stat(path) for path in files] == before, req
    assert miners_alive(d.sb) == miners
    assert d.sb.calls() == [] and len(d.svc.connections()) == 1

    # Beyond 64 bits the message is not JSON the agent can read: the link
    # is dropped, nothing else happens.
    d.svc.send_raw('{"type": "config_fans", "mode": "manual", '
                   '"speed": 18446744073709551666}')
    d.agent.wait_for_line(r"WARN: Failed to decode msg - ")
    d.svc.wait_for_close(10)
    assert [d.stat(path) for path in files] == before


def network_restarts(d):
    return [c for c in d.sb.calls() if c == "network.sh restart"]


def test_network_request_saves_restarts_and_reconnects(device):
    d = device(config_size=256 * 1024)
    files = ("/config/velmora.json", NETWORK)
    before = [d.stat(path) for path in files]

    # The same settings (the second name server is the default): nothing.
    result, _ = d.request(STATIC | {"ip": "192.0.2.10"})
    assert result == {"type": NET, "ok": True}
    time.sleep(1.5)
    assert [d.stat(path) for path in files] == before
    assert network_restarts(d) == [] and not d.svc.connections()[0].closed

    # A full /config fails the save; the same request succeeds once there is
    # room again (the failed one was not taken as done).
    fd = os.open(d.sb.path("/config/filler"), os.O_WRONLY | os.O_CREAT, 0o644)
    try:
        while os.write(fd, b"\0" * 4096):
            pass
    except OSError:
        pass
    finally:
        os.close(fd)
    mark = d.agent.mark()
    dhcp = {"type": NET, "mode": "dhcp", "ip": "192.0.2.99"}
    result, _ = d.request(dhcp)
    assert result == {"type": NET, "ok": False}
    d.agent.wait_for_line(r"ERROR: Failed to save miner configuration file$",
                          start=mark)
    time.sleep(1.5)
    assert [d.stat(path) for path in files] == before
    assert network_restarts(d) == [] and not d.svc.connections()[0].closed
    os.unlink(d.sb.path("/config/filler"))

    mark = d.agent.mark()
    start = d.svc.mark()
    d.svc.send(dhcp)
    result = d.svc.wait_for_message(NET, 20, start)
    assert result.obj == {"type": NET, "ok": True}
    assert d.sb.read_text(NETWORK) == "hostname=antMiner\ndhcp=true\n"
    assert json.loads(d.sb.read_text("/config/velmora.json")) == \
        json.loads(AGENT_FILE)
    d.agent.wait_for_line(r"INFO: Applying network configuration$",
                          start=mark)
    conn = d.svc.wait_for_close(5, d.svc.connections()[0])
    assert (conn.close_code, conn.closed_by) == (1000, "agent"), conn
    assert conn.received[-1] is result, "closed right after the result"
    wait_until(lambda: network_restarts(d), 5, "the network restart")
    restarted = time.monotonic()
    assert 0.7 <= restarted - result.mono <= 2.0, restarted - result.mono
    assert network_restarts(d) == ["network.sh restart"]

    delay = int(d.agent.wait_for_line(
        r"INFO: Trying to reconnect in (\d+)s$", start=mark)[1])
    second = d.svc.wait_for_connection(2, timeout=delay + 10)
    d.svc.wait_for_message("auth", 10, conn=second)
