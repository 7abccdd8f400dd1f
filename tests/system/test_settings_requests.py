"""Settings requests (fans, pools, performance, chains, the autotuner, the
watchdog, the network) through the real binary in the device sandbox: the
result message, what lands in /config (or that nothing does), whether the
miner restarts, and the network request's restart and reconnection."""

import json
import os
import time

from board import (AUTHENTICATED, agent_file, chip_list,
                   fill_config, miners_alive, wait_until)
from conftest import bound

AGENT_FILE = agent_file()
AGENT, MINER, NETWORK = ("/config/velmora.json", "/config/bmminer.conf",
                         "/config/network.conf")
STATIC_NET = ("hostname=antMiner\nipaddress=192.0.2.10\nnetmask=255.255.255.0"
              '\ngateway=192.0.2.1\ndnsservers="192.0.2.53 8.8.4.4"')
ABSENT = object()  # a key the written file must not hold
POOL0 = {"stratum_url": "stratum+tcp://pool0.example:3333",
         "worker": "worker.0", "password": "x"}
LONG_URL = "stratum+tcp://" + "p" * 600
PAYOUT = "bc1q" + "x" * 58  # a payout address as the worker name


def file_pool(url="", user="", password=""):
    return {"url": url, "user": user, "pass": password}


FILE_POOL0 = file_pool("stratum+tcp://pool0.example:3333", "worker.0", "x")


def chain(id_, freq=0, volt=0.0, chips=(), global_freq=False):
    return {"type": "config_chain", "id": id_, "use_global_freq": global_freq,
            "use_global_volt": False, "freq": freq, "volt": volt,
            "chips": list(chips)}


def autotuner(**over):
    return {"stage1": True, "stage2": False, "stage3": True,
            "downclock_step": 2, "min_freq": 500, "hashrate_deviation": 5,
            "test_time": 60, "down_freq_hw": 3, **over}


def request(d, obj, timeout=20):
    """The result message, and the chains updates queued before it."""
    start = d.svc.mark()
    d.svc.send(obj)
    result = d.svc.wait_for_message(obj["type"], timeout, start)
    updates = [m.obj for m in d.svc.messages()[start:result.index]
               if m.type == "update_config" and "pools" not in m.obj]
    return result, updates


def device(board, pools=2, **kw):
    d = board(pools=pools, files={AGENT: AGENT_FILE, NETWORK: STATIC_NET},
              **kw)
    d.agent.wait_for_line(AUTHENTICATED, 20)
    if pools:
        d.miner_pid(20)
    return d


# Rows run in order on one device with a running miner, each on the file the
# rows before it left: request, changes (None: not written, miner kept),
# chains updates queued.
AD, TUNER, WATCHDOG = ("bitmain-autodownscale", "config_autotuner",
                       "config_watchdog")
OFF3 = autotuner(stage3=False, stage3_interval=5, downclock_step=3,
                 min_freq=65536 + 450, hashrate_deviation=80, test_time=4,
                 down_freq_hw=2)
ON3 = dict(OFF3, stage3=True, min_freq=450)
del ON3["stage3_interval"]
USER = {"asic_boost": False, "freq": 700, "volt": 9, "profile": "profile_user"}
PRESET = {"asic_boost": True, "freq": 650, "volt": 8.9,
          "profile": "profile_14_0"}
SETTINGS_ROWS = [
    ({"type": "config_fans", "mode": "manual", "speed": 150},
     {"bitmain-fan-ctrl": True, "bitmain-fan-pwm": "150"}, 0),
    ({"type": "config_fans", "mode": "manual", "speed": 256 + 10},
     {"bitmain-fan-ctrl": True, "bitmain-fan-pwm": "20"}, 0),
    ({"type": "config_fans", "mode": "auto"}, {"bitmain-fan-ctrl": ABSENT}, 0),
    ({"type": "config_fans", "mode": "auto"}, None, 0),
    ({"type": "config_pools", "main": POOL0, "other": 5},
     {"pools": [FILE_POOL0, file_pool(), file_pool()]}, 0),
    ({"type": "config_pools", "main": POOL0}, None, 0),
    # Whole texts, kept by the saves of the rows after them.
    ({"type": "config_pools", "main": POOL0,
      "reserved": {"stratum_url": LONG_URL, "worker": PAYOUT + ".rig1"}},
     {"pools": [FILE_POOL0, file_pool(LONG_URL, PAYOUT + ".rig1"),
                file_pool()]}, 0),
    ({"type": "config_pools", "main": POOL0,
      "reserved": {"stratum_url": LONG_URL, "worker": PAYOUT + ".rig2"}},
     {"pools": [FILE_POOL0, file_pool(LONG_URL, PAYOUT + ".rig2"),
                file_pool()]}, 0),
    ({"type": "config_perf", "perf": USER},
     {"bitmain-freq": "700", "bitmain-voltage": "900"}, 0),
    # Duplicates keep the last; chips out of range or malformed are skipped.
    (chain("7", 720, 8.81, [{"id": "5", "freq": 650}, {"id": "5", "freq": 660},
                            {"id": "64", "freq": 1}, {"id": "9"},
                            {"id": "63", "freq": 65536 + 610}]),
     {"bitmain-freq2": "720", "bitmain-voltage2": "890",
      "bitmain-chip-freq": chip_list([(7, 5, 660), (7, 63, 610)])}, 0),
    (chain("6", 700, 9.0, global_freq=True, chips=[{"id": "1", "freq": 640}]),
     {"bitmain-freq1": "0", "bitmain-voltage1": "900", "bitmain-chip-freq":
      chip_list([(6, 1, 640), (7, 5, 660), (7, 63, 610)])}, 0),
    (chain("7", 720, 8.81), {"bitmain-chip-freq": chip_list([(6, 1, 640)])},
     0),
    ({"type": "config_perf", "perf": USER, "autotuner": autotuner()},
     {"bitmain-autodownscale": True, "bitmain-autodownscale-watch": ABSENT,
      "bitmain-autodownscale-timer": "3", "bitmain-autodownscale-min": "500",
      "bitmain-autodownscale-hw": "3", "bitmain-autodownscale-prec": "5",
      "bitmain-autodownscale-after": "60"}, 0),
    # The autotuner request: a third stage off clears its timer; the
    # frequency is taken modulo 2^16.
    (dict(OFF3, type=TUNER), {AD + "-step": "3", AD + "-min": "450",
                              AD + "-prec": "80", AD + "-after": "4",
                              AD + "-hw": "2", AD + "-timer": "0"}, 0),
    (dict(OFF3, type=TUNER), None, 0),
    (dict(ON3, type=TUNER), {AD + "-watchtimer": True, AD + "-timer": "3"},
     0),
    (dict(ON3, type=TUNER, reset_chips=True),
     {"bitmain-chip-freq": chip_list()}, 0),
    ({"type": "config_perf", "perf": PRESET},
     {"asicboost": True, "bitmain-autodownscale-profile": "6",
      "bitmain-freq": "650", "bitmain-voltage": "890",
      "bitmain-freq1": "0", "bitmain-voltage1": "0", "bitmain-freq2": "0",
      "bitmain-voltage2": "0", "bitmain-chip-freq": chip_list()}, 1),
    ({"type": "config_perf", "perf": dict(PRESET, profile="profile_14_0x")},
     None, 1),
    ({"type": "config_perf"}, None, 0),
    ({"type": WATCHDOG, "min_hr": 9000, "max_xchips": 3, "max_temp": 85.5},
     {"bitmain-minhr": "9000", "bitmain-maxx": "3",
      "bitmain-tempoff": ABSENT}, 0),
    ({"type": WATCHDOG, "min_hr": 2**40, "max_xchips": "3", "max_temp": 90},
     {"bitmain-minhr": "0", "bitmain-maxx": "0", "bitmain-tempoff": "90"},
     0),
    ({"type": WATCHDOG, "min_hr": "9000", "max_temp": 90}, None, 0),
]


def test_settings_requests_write_only_changes_and_restart_the_miner(board):
    d = device(board)
    reset = {"type": "update_config", "chains": [
        {"id": id_, "use_global_freq": True, "use_global_volt": True,
         "freq": 600, "volt": 8.9, "chips": []} for id_ in ("6", "7", "8")]}
    for req, changes, resets in SETTINGS_ROWS:
        name = json.dumps(req)[:100]
        [before] = d.files(MINER)
        miners = miners_alive(d.sb)
        result, updates = request(d, req)
        assert result.obj == {"type": req["type"], "ok": True}, name
        assert updates == [reset] * resets, name
        [after] = d.files(MINER)
        if changes is None:
            assert after == before and miners_alive(d.sb) == miners, name
            continue
        assert after[0] != before[0], name
        old, new = json.loads(before[1]), json.loads(after[1])
        for key, want in changes.items():
            assert new.get(key, ABSENT) == want, (name, key, new.get(key))
        assert {k: new[k] for k in old.keys() & new.keys() - changes.keys()} \
            == {k: old[k] for k in old.keys() & new.keys() - changes.keys()}
        # The new miner's process comes from the supervision thread.
        wait_until(lambda: miners_alive(d.sb) not in ([], miners), bound(9.5),
                   name)
    d.agent.wait_for_line(r"ERROR: Chain 7: chip 64 is out of range$")
    d.agent.wait_for_line(r"ERROR: Chain 7: failed to parse chip settings:$")


def test_stopped_miner_stays_stopped_when_the_file_changes(board):
    d = device(board, pools=0)
    result, _ = request(d, {"type": "config_pools", "main": POOL0})
    assert result.obj == {"type": "config_pools", "ok": True}
    assert json.loads(d.sb.read_text(MINER))["pools"] == [FILE_POOL0] + \
        [file_pool()] * 2
    time.sleep(1)
    assert miners_alive(d.sb) == []


FANS, PERF, POOLS, NET = ("config_fans", "config_perf", "config_pools",
                          "config_network")
STATIC = {"type": NET, "mode": "static", "ip": "192.0.2.20",
          "netmask": "255.255.255.0", "gateway": "192.0.2.1",
          "dnsservers": ["192.0.2.53"]}
FANS_LINE = r"ERROR: Failed to parse config fans request - "
PERF_LINE = r"ERROR: Failed to parse perf request - "
TUNER_LINE = r"ERROR: Failed to parse config autotuner request - "
CHAIN_LINE = r"ERROR: Failed to parse config chain request - "
POOL_LINE = r"ERROR: Failed to parse pool params - "
NET_LINE = r"ERROR: Failed to parse config network message - "
# Request and its line (None: "ok": true, nothing to change).
BAD_ROWS = [
    ({"type": FANS, "speed": 50}, FANS_LINE),
    ({"type": FANS, "mode": "manual", "speed": "50"}, FANS_LINE),
    ({"type": FANS, "mode": "manual", "speed": 50.5}, FANS_LINE),
    ({"type": FANS, "mode": "manual", "speed": 2 ** 32 + 50}, FANS_LINE),
    ({"type": FANS, "mode": "m" * 12000}, None),  # automatic, as it is
    ({"type": PERF, "perf": dict(PRESET, volt=None)}, PERF_LINE),
    ({"type": PERF, "perf": dict(PRESET, freq=650.0)}, PERF_LINE),
    ({"type": PERF, "perf": dict(PRESET, freq=-2 ** 40)}, PERF_LINE),
    # A preset with a malformed autotuner queues no chains update either.
    ({"type": PERF, "perf": PRESET, "autotuner": autotuner(stage2=None)},
     TUNER_LINE),
    ({"type": PERF, "autotuner": autotuner(min_freq=2 ** 33)}, TUNER_LINE),
    (dict(autotuner(), type=TUNER, downclock_step=2 ** 40), TUNER_LINE),
    (dict(autotuner(), type=TUNER, test_time=4.0), TUNER_LINE),
    ({"type": TUNER, "stage1": True}, TUNER_LINE),
    (dict(chain("7"), chips="x"), r"ERROR: Chips must be an array object$"),
    ({k: v for k, v in chain("7").items() if k != "chips"}, CHAIN_LINE),
    (dict(chain("7"), id=7), CHAIN_LINE),
    (dict(chain("7", global_freq=True), freq=2 ** 40), CHAIN_LINE),
    (dict(chain("7"), freq=700.5), CHAIN_LINE),
    (chain("3"), r"ERROR: Invalid chain 3, it should be between \[6, 8\]$"),
    (chain("17"), r"ERROR: Chain 17 is out of range \[1, 16\]$"),
    (chain("x7"), r"ERROR: Chain 0 is out of range \[1, 16\]$"),
    (chain("9" * 40), r"ERROR: Chain 2147483647 is out of range \[1, 16\]$"),
    ({"type": POOLS, "reserved": POOL0}, r"ERROR: Pools configuration "
     r"failed, at least the main pool must be specified$"),
    ({"type": POOLS, "main": POOL0, "reserved": {"stratum_url": "u"}},
     POOL_LINE),
    ({"type": POOLS, "main": dict(POOL0, password=5)}, POOL_LINE),
    ({"type": POOLS, "main": dict(POOL0, worker="w" * 1024)}, POOL_LINE),
    ({"type": NET, "mode": "static", "ip": 5}, NET_LINE),
    ({k: v for k, v in STATIC.items() if k != "dnsservers"},
     r"ERROR: Static network mode requires ALL parameters!$"),
    (dict(STATIC, ip="192.0.2.20;reboot"), NET_LINE),
    (dict(STATIC, gateway=""), NET_LINE),
    (dict(STATIC, dnsservers=["8.8.8.8", "a\ndhcp=true"]), NET_LINE),
    # Lines the reader would not read back whole (255 characters).
    (dict(STATIC, gateway="g" * 248), NET_LINE),
    (dict(STATIC, dnsservers=["a" * 121, "b" * 121]), NET_LINE),
]


def test_bad_requests_fail_with_their_line_and_touch_nothing(board):
    d = device(board)
    before, miners = d.files(AGENT, NETWORK, MINER), miners_alive(d.sb)
    for req, line in BAD_ROWS:
        mark = d.agent.mark()
        result, updates = request(d, req)
        assert (result.obj["ok"], updates) == (line is None, []), req
        if line:
            d.agent.wait_for_line(line, start=mark)
    assert d.files(AGENT, NETWORK, MINER) == before
    assert miners_alive(d.sb) == miners and d.sb.calls() == []
    # Beyond 64 bits the message is no JSON the agent reads: link dropped.
    d.svc.send_raw('{"type": "config_fans", "mode": "manual", '
                   '"speed": 18446744073709551666}')
    d.agent.wait_for_line(r"WARN: Failed to decode msg - ")
    d.svc.wait_for_close(10)
    assert d.files(AGENT, NETWORK, MINER) == before


def test_network_request_saves_restarts_and_reconnects(board):
    d = device(board, config_size=256 * 1024)
    conn = d.svc.connections()[0]
    before = d.files(AGENT, NETWORK)

    def restarts():
        return [c for c in d.sb.calls() if c == "network.sh restart"]

    # The same settings (the second name server is the default); then a full
    # /config fails the save. Nothing written, nothing run, the link kept.
    dhcp = {"type": NET, "mode": "dhcp", "ip": "192.0.2.99"}
    for req, ok, line in ((dict(STATIC, ip="192.0.2.10"), True, None),
                          (dhcp, False, "Failed to save miner configuration "
                                        "file$")):
        if not ok:
            fill_config(d.sb)
        mark = d.agent.mark()
        assert request(d, req)[0].obj == {"type": NET, "ok": ok}
        line and d.agent.wait_for_line("ERROR: " + line, start=mark)
        time.sleep(1.5)
        assert d.files(AGENT, NETWORK) == before
        assert restarts() == [] and not conn.closed
    os.unlink(d.sb.path("/config/filler"))

    # Room again: the same request was not taken as done. No service until
    # the restart has ended, as on a board whose network restarts.
    mark = d.agent.mark()
    d.svc.refuse_connections()
    result, _ = request(d, dhcp)
    assert result.obj == {"type": NET, "ok": True}
    assert d.sb.read_text(NETWORK) == "hostname=antMiner\ndhcp=true\n"
    assert d.sb.read_bytes(NETWORK + ".previous") == before[1][1]
    assert json.loads(d.sb.read_text(AGENT)) == json.loads(AGENT_FILE)
    d.agent.wait_for_line(r"INFO: Applying network configuration$",
                          start=mark)
    d.svc.wait_for_close(5, conn)
    assert (conn.close_code, conn.closed_by) == (1000, "agent")
    assert conn.received[-1] is result, "closed right after the result"
    wait_until(restarts, 5, "the network restart")
    assert 0.7 <= time.monotonic() - result.mono <= bound(0.5, 1.0)
    assert restarts() == ["network.sh restart"]
    time.sleep(0.5)
    d.svc.refuse_connections(False)
    second = d.svc.wait_for_connection(2, timeout=130)  # two delays at most
    d.svc.wait_for_message("auth", 10, conn=second)
    # The link came back through the new settings: the change stays.
    d.agent.wait_for_line(r"INFO: Network change confirmed$", 10, start=mark)
    assert not d.sb.exists(NETWORK + ".previous")
    assert restarts() == ["network.sh restart"]
