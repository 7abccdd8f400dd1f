"""The configuration exchange after every authentication and the "config"
answer applied section by section: the real binary in the device sandbox
against the reference service and the simulated miner."""

import json
import os
import time

import pytest

from board import chip_list, miner_events, state, wait_until
from conftest import bound

MINER_CONF, NET_CONF = "/config/bmminer.conf", "/config/network.conf"
MARKER = "/config/upload_config"
NET_TEXT = ('hostname=rig7\nipaddress=10.0.2.5\nnetmask=255.255.255.0\n'
            'gateway=10.0.2.1\ndnsservers="10.0.2.1 9.9.9.9"')
AD = "bitmain-autodownscale"
# Keys the agent leaves out of the miner file when false or "0" (the layout
# itself is the unit tests').
OPTIONAL = {"bitmain-fan-ctrl", "asicboost", AD, f"{AD}-watch",
            f"{AD}-watchtimer", "bitmain-tempoff"}


def settings(n_pools=2, **changes):
    s = {"pools": [{"url": f"stratum+tcp://pool{i}.example:3333",
                    "user": f"worker.{i}", "pass": "x"} for i in range(n_pools)],
         "api-listen": True, "api-network": False,
         "api-groups": "A:stats:pools:devs:summary:version",
         "api-allow": "W:0/0", "bitmain-fan-pwm": "70",
         "bitmain-fan-rpm-off": "0", "bitmain-use-vil": True,
         "multi-version": "1", "asicboost": True,
         "bitmain-chip-freq": chip_list([(6, 5, 680)]), "bitmain-minhr": "0",
         "bitmain-maxx": "0", "bitmain-trigger-reboot": "0", "altdfno": "0"}
    s.update({f"bitmain-{k}{n}": "0" for k in ("freq", "voltage")
              for n in (1, 2, 3)})
    s.update({"bitmain-freq": "650", "bitmain-voltage": "890",
              f"{AD}-profile": "0", f"{AD}-timer": "0", f"{AD}-hw": "0",
              f"{AD}-prec": "75", f"{AD}-min": "400", f"{AD}-step": "2",
              f"{AD}-after": "2"})
    s.update(changes)
    return s


def conf_text(s):
    """The miner file holding settings s."""
    return json.dumps({k: v for k, v in s.items()
                       if not (k in OPTIONAL and v in (False, "0"))})


def pool(n, password=None):
    p = {"stratum_url": f"stratum+tcp://new{n}.example:3333",
         "worker": f"w.{n}"}
    return p if password is None else dict(p, password=password)


AUTOTUNER = {"stage1": True, "stage2": False, "stage3": True,
             "stage3_interval": 5, "downclock_step": 3, "min_freq": 450,
             "hashrate_deviation": 80, "test_time": 4, "down_freq_hw": 2}
# A "config" answer that changes every section, and what it makes of the files.
ANSWER = {
    "network": {"mode": "static", "ip": "10.0.3.7", "netmask": "255.255.0.0",
                "gateway": "10.0.3.1", "dnsservers": ["10.0.3.1"]},
    "pools": {"main": pool(0, "p0"), "reserved": pool(1, "p1"),
              "reserved2": pool(2)},
    "fans": {"mode": "manual", "speed": 55},
    "perf": {"asic_boost": False, "profile": "profile_user", "freq": 700,
             "volt": 9.05},
    "chains": [{"id": "7", "use_global_freq": False, "use_global_volt": False,
                "freq": 725, "volt": 8.75, "chips": [{"id": "3", "freq": 690}]}],
    "autotuner": AUTOTUNER,
    "watchdog": {"min_hr": 12000, "max_xchips": 5, "max_temp": 95}}
APPLIED = dict(
    pools=[{"url": f"stratum+tcp://new{n}.example:3333", "user": f"w.{n}",
            "pass": p} for n, p in enumerate(("p0", "p1", ""))],
    **{"bitmain-fan-ctrl": True, "bitmain-fan-pwm": "55", "asicboost": False,
       "bitmain-freq": "700", "bitmain-voltage": "910",
       "bitmain-freq2": "725", "bitmain-voltage2": "880",
       "bitmain-chip-freq": chip_list([(6, 5, 680), (7, 3, 690)]), AD: True,
       f"{AD}-watchtimer": True, f"{AD}-timer": "5", f"{AD}-step": "3",
       f"{AD}-min": "450", f"{AD}-prec": "80", f"{AD}-after": "4",
       f"{AD}-hw": "2", "bitmain-minhr": "12000", "bitmain-maxx": "5",
       "bitmain-tempoff": "95"})
APPLIED_NET = ('hostname=rig7\nipaddress=10.0.3.7\nnetmask=255.255.0.0\n'
               'gateway=10.0.3.1\ndnsservers="10.0.3.1 8.8.4.4"')


def signature(d, path=MINER_CONF):
    st = os.stat(d.sb.path(path))
    return st.st_ino, st.st_mtime_ns, d.sb.read_text(path)


def miner_starts(d):
    return len(miner_events(d.sb, "start"))


def states(d, start):
    return [state(m) for m in d.svc.messages()[start:] if state(m)]


@pytest.fixture
def device(board):
    made = []

    def start(pools=2, marker=False, miner_text=None, config="stored", **kw):
        files = {NET_CONF: NET_TEXT, MARKER: "" if marker else None,
                 MINER_CONF: miner_text or conf_text(settings(pools))}
        made.append(board(files=files, config=config, **kw))
        return made[-1]

    yield start
    # A clean stop, so that a sanitizer build reports leaks too.
    for d in made:
        assert d.agent.stop(20) == 0, d.agent.dump()


@pytest.mark.parametrize("kw, upload, ack_line", [
    ({}, False, None),
    ({"registration": True}, True, "Successfully update config on the server"),
    ({"marker": True, "update": False}, True, "Update config failed")])
def test_exchange_after_authentication(device, kw, upload, ack_line):
    # The answer changes the fans: the restart it causes is reported only
    # once the reports are resumed.
    d = device(config={"fans": {"mode": "manual", "speed": 60}},
               update_delay=2.0, **kw)
    config = d.svc.wait_for_message("config", 15)
    seen = [m for m in d.svc.messages()[:config.index] if m.type != "metrics"]
    assert seen[0].type == "auth"
    if upload:
        up = d.svc.messages("update_config")
        assert len(up) == 1 and set(up[0].obj) == {
            "type", "network", "pools", "fans", "perf", "chains", "autotuner",
            "watchdog"}, up
        assert up[0].obj["network"] == {
            "mode": "static", "ip": "10.0.2.5", "netmask": "255.255.255.0",
            "gateway": "10.0.2.1", "dnsservers": ["10.0.2.1", "9.9.9.9"]}
        assert config.mono - up[0].mono >= 1.9
        # Suspended from the upload until its acknowledgement.
        assert [m.type for m in seen if m.index > up[0].index] == [], seen
        d.agent.wait_for_line(f"INFO: {ack_line}$")
    else:
        assert seen[-1].type == "status" and not d.svc.messages("update_config")
    assert not d.sb.exists(MARKER)
    d.svc.wait_for_message(lambda m: state(m) == "restarting", 15,
                           start=config.index)
    assert len(d.svc.messages("config")) == 1


@pytest.mark.parametrize("pools", [2, 0], ids=["running", "stopped"])
def test_config_answer_applies_every_section_and_commits_once(device, pools):
    d = device(pools=pools)
    d.agent.wait_for_line("ERROR: Request config failed - "
                          "No configuration stored$", 15)
    if pools:
        d.svc.wait_for_message(lambda m: state(m) == "mining", 20)
    time.sleep(1)
    starts, mark = miner_starts(d), d.svc.mark()
    d.svc.send(dict(ANSWER, type="config"))
    wait_until(lambda: miner_starts(d) > starts, 20, "the miner's start")
    time.sleep(1.5)  # room for a second commit or start to show
    assert json.loads(d.sb.read_text(MINER_CONF)) == \
        json.loads(conf_text(settings(pools, **APPLIED)))
    assert d.sb.read_text(NET_CONF) == APPLIED_NET
    assert miner_starts(d) == starts + 1 and \
        states(d, mark).count("restarting") == (1 if pools else 0)
    # The network is saved, not applied, and the link stays.
    assert not [c for c in d.sb.calls() if "network.sh" in c]
    assert len(d.svc.connections()) == 1 and not d.svc.connections()[0].closed
    assert not d.svc.messages("update_config")


# Each section malformed in turn, after valid changes to the miner's sections
# before it (a valid "network" would be saved first: left out). How each
# request's fields are checked is test_settings_requests' table.
BAD = [("network", {"mode": "static", "ip": "10.0.3.7;reboot", "netmask":
                    "255.255.0.0", "gateway": "10.0.3.1", "dnsservers": []},
        "Failed to parse config network message - "),
       ("pools", {"reserved": pool(1)},
        "Pools configuration failed, at least the main pool must be specified"),
       ("fans", {"speed": 50}, "Failed to parse config fans request - "),
       ("perf", {"asic_boost": True, "freq": 700},
        "Failed to parse perf request - "),
       ("chains", {"id": "7"},
        "Failed to parse chains settings, it should be an array"),
       ("autotuner", dict(AUTOTUNER, min_freq=450.5),
        "Failed to parse config autotuner request - ")]


def test_config_answers_that_apply_nothing(device):
    d = device()
    d.svc.wait_for_message(lambda m: state(m) == "mining", 20)
    names = list(ANSWER)
    cases = [({"ok": False, "message": "Nothing here"},
              "Request config failed - Nothing here")] + [
        (dict({k: ANSWER[k] for k in names[1:names.index(name)]}, **{name: bad}),
         line) for name, bad, line in BAD]
    files, starts = (signature(d), signature(d, NET_CONF)), miner_starts(d)
    for answer, line in cases:
        mark = d.agent.mark()
        d.svc.send(dict(answer, type="config"))
        d.agent.wait_for_line(f"ERROR: {line}", start=mark)
        time.sleep(1.2)  # past the saving window a commit would take
        assert (signature(d), signature(d, NET_CONF)) == files, answer
        assert miner_starts(d) == starts, answer
    assert len(d.svc.connections()) == 1


def test_unanswered_or_impossible_exchanges_drop_the_link(device):
    # Clocks ten times faster: each 30 s takes 3 s, a reconnect at most 6 s.
    d = device(registration=True, update=None, config=None,
               miner_text="{not json", speed=10)
    # No document to upload: the link is dropped until there is one.
    d.agent.wait_for_line("ERROR: Failed to compose device config, "
                          "dropping the connection$", 15)
    d.svc.wait_for_close(10, d.svc.connections()[0])
    d.sb.write_text(MINER_CONF, conf_text(settings()))
    up = d.svc.wait_for_message("update_config", 20)
    d.svc.set_auth("ok")  # the next authentication is a plain one
    first = d.svc.wait_for_close(10, d.svc.connections()[up.conn_id - 1])
    assert all("update_config" not in [m.type for m in c.received]
               for c in d.svc.connections()[:first.id - 1])
    config = d.svc.wait_for_message("config", 15)
    second = d.svc.connections()[config.conn_id - 1]
    # A link lost during the upload silences nothing.
    kinds = [m.type for m in second.received
             if m.index < config.index and m.type != "metrics"]
    assert kinds[0] == "auth" and kinds[-1] == "status", kinds
    d.svc.wait_for_close(10, second)
    for sent, closed in ((up.mono, first.closed_mono),
                         (config.mono, second.closed_mono)):
        assert 2.9 <= closed - sent <= bound(0.2, 3.0), (sent, closed)
    # The service may see the second close before the agent's line is read.
    wait_until(lambda: len(d.agent.matching("Aborting agent connection on "
                                            "timeout")) == 2, 5, "two aborts")
