"""Device actions through the real binary in the sandbox: reboot, logs,
start and stop mining, the web password, chip metrics and "status"."""

import hashlib
import json
import os

from board_driver import board  # noqa: F401 - the fixture
from miner_support_driver import miner_file, miners_alive, wait_until

PASSWORD_FILE = "/config/lighttpd-htdigest.user"
PREFIX = "root:antMiner Configuration:"
KERNEL_LOG = "[    1.000000] line one\n[    2.000000] line two ü\n"


def password_line(password):
    # The digest covers at most 255 bytes of "root:realm:password".
    text = (PREFIX + password).encode()[:255]
    return PREFIX.encode() + hashlib.md5(text).hexdigest().encode()


def test_requests_answer_and_act(board):
    b = board(files={PASSWORD_FILE: "admin:other realm:0123\nroot:x:y\n"})
    b.sb.set_kernel_log(KERNEL_LOG)
    b.ready()

    def password(want):
        return lambda: (b.sb.read_bytes(PASSWORD_FILE) == want, "file")

    def miner_running(want):
        return lambda: (bool(miners_alive(b.sb)) == want, "miner")

    unchanged = password(password_line("s3cret"))
    # (request, its answer (None: no answer), check of the effect)
    table = [
        ({"type": "status"}, None, None),
        ({"type": "reboot", "mode": "soft"}, {"ok": True},
         lambda: ("reboot" in b.sb.calls(), b.sb.calls())),
        ({"type": "logs", "request_id": "r-1"},
         {"request_id": "r-1", "logs": KERNEL_LOG}, None),
        ({"type": "logs"}, {"ok": False}, None),
        ({"type": "logs", "request_id": 7}, {"ok": False}, None),
        ({"type": "config_web_access", "new_password": "s3cret"},
         {"ok": True}, unchanged),
        ({"type": "config_web_access"}, {"ok": False}, unchanged),
        ({"type": "config_web_access", "new_password": 5}, {"ok": False},
         unchanged),
        ({"type": "config_web_access", "new_password": ""}, {"ok": True},
         password(password_line(""))),
        ({"type": "config_web_access", "new_password": "é" * 200},
         {"ok": True}, password(password_line("é" * 200))),
        ({"type": "stop_mining"}, {"ok": True}, miner_running(False)),
        ({"type": "stop_mining"}, {"ok": True}, miner_running(False)),
        ({"type": "start_mining"}, {"ok": True}, miner_running(True)),
    ]
    for request, answer, check in table:
        got = b.request(request, answer is not None)
        if answer is not None:
            assert got == {"type": request["type"], **answer}, request
        if check:
            # The effect is there when the answer arrives.
            ok, seen = check()
            assert ok, (request, seen)

    stamped = [m.obj for m in b.svc.messages("status") if "ok" in m.obj]
    assert not stamped, stamped
    log = "\n".join(b.agent.lines())
    for line in ("INFO: Rebooting asic, mode = hard",
                 "ERROR: Failed to parse get logs request:",
                 "ERROR: Wrong set web password request: "):
        assert line in log, line
    assert [s["name"] for s in b.states()][-2:] == ["pause", "initializing"]
    leftovers = [n for n in os.listdir(b.sb.path("/config"))
                 if n.startswith("lighttpd-htdigest.user.")]
    assert not leftovers, leftovers


def chip_list(overrides):
    """bitmain-chip-freq with {(chain, chip): MHz}, every other chip 0."""
    freqs = [0] * 189
    for (chain, chip), mhz in overrides.items():
        freqs[(chain - 6) * 63 + chip - 1] = mhz
    return ":".join(map(str, freqs))


def test_chip_metrics_of_each_chain(board):
    conf = miner_file(1, **{
        "bitmain-freq": "650", "bitmain-freq2": "600",
        "bitmain-chip-freq": chip_list({(6, 2): 700, (8, 63): 500})})
    dump = {"chiphr": [
        {"Asic00": "63", "Asic01": "74", "Asic02": "62", "Asic03": "37",
         "Asic04": "186", "Asic05": "0", "Asic07": "x"},
        {"Asic00": "60"},
        {"Asic62": "57"}]}
    b = board(miner={"chip_hr": False}, files={
        "/config/bmminer.conf": conf,
        "/www/pages/cgi-bin/chip_hr.json": json.dumps(dump)})
    b.ready()

    def chip(id_, hr, freq, state, custom=False):
        c = {"id": str(id_), "hr": hr, "freq": freq, "state": state}
        return {**c, "custom_freq": True} if custom else c

    # chain -> {chip: expected entry}; every other chip: hr 0, "unknown"
    table = {
        "6": (650, {1: chip(1, 63, 650, "fast"),
                    2: chip(2, 74, 700, "fast", True),
                    3: chip(3, 62, 650, "slow"),
                    4: chip(4, 37, 650, "unstable"),
                    5: chip(5, 186, 650, "unstable")}),
        "7": (600, {1: chip(1, 60, 600, "fast")}),
        "08": (650, {63: chip(63, 57, 500, "fast", True)}),
    }
    for chain_id, (freq, special) in table.items():
        got = b.request({"type": "chip_metrics", "request_id": f"c{chain_id}",
                         "chain_id": chain_id})
        chips = got.pop("chips")
        assert got == {"type": "chip_metrics", "request_id": f"c{chain_id}",
                       "chain_id": str(int(chain_id)), "ok": True}
        want = [special.get(i, chip(i, 0, freq, "unknown"))
                for i in range(1, 64)]
        assert chips == want, chain_id

    for bad in ({"request_id": "r", "chain_id": "5"},
                {"request_id": "r", "chain_id": "9"},
                {"request_id": "r", "chain_id": "6x"},
                {"request_id": "r", "chain_id": "99999999999999999999"},
                {"request_id": "r", "chain_id": 6},
                {"request_id": "r"}, {"chain_id": "6"}):
        got = b.request({"type": "chip_metrics", **bad})
        assert got == {"type": "chip_metrics", "ok": False}, bad
    log = "\n".join(b.agent.lines())
    for line in ("Invalid chain id: 5", "Invalid chain id: 9",
                 "Invalid chain id: -1", "Failed to parse chip metrics request:"):
        assert f"ERROR: {line}" in log, line
    wait_until(lambda: miners_alive(b.sb), 5, "the miner still running")
