"""Device actions through the real binary in the sandbox: reboot, logs,
start and stop mining, the web password, chip metrics and "status"."""

import hashlib
import json
import os
import time

from board import miner_file, miners_alive, wait_until
from conftest import bound

PASSWORD_FILE = "/config/lighttpd-htdigest.user"
PREFIX = "root:antMiner Configuration:"


def password_line(password):
    # The digest covers at most 255 bytes of "root:realm:password".
    text = (PREFIX + password).encode()[:255]
    return PREFIX.encode() + hashlib.md5(text).hexdigest().encode()


def test_requests_answer_and_act(board):
    b = board(files={PASSWORD_FILE: "admin:other realm:0123\nroot:x:y\n"})
    b.ready()

    def password(text):
        return lambda: b.sb.read_bytes(PASSWORD_FILE) == password_line(text)

    def mining(want):  # the miner process starts on a thread of its own
        return lambda: wait_until(lambda: bool(miners_alive(b.sb)) == want,
                                  10, f"miner running: {want}")

    # (request, its answer (None: none), its effect)
    table = [
        ({"type": "status"}, None, None),
        ({"type": "reboot", "mode": "soft"}, {"ok": True},
         lambda: b.sb.calls()[-1:] == ["reboot"]),
        ({"type": "logs", "request_id": 7}, {"ok": False}, None),
        ({"type": "config_web_access", "new_password": "s3cret"},
         {"ok": True}, password("s3cret")),
        ({"type": "config_web_access", "new_password": 5}, {"ok": False},
         password("s3cret")),
        ({"type": "config_web_access", "new_password": ""}, {"ok": True},
         password("")),
        ({"type": "config_web_access", "new_password": "é" * 200},
         {"ok": True}, password("é" * 200)),
        ({"type": "update_firmware", "firmware_ver": "1"}, {"ok": False},
         None),
        ({"type": "stop_mining"}, {"ok": True}, mining(False)),
        ({"type": "stop_mining"}, {"ok": True}, mining(False)),
        ({"type": "start_mining"}, {"ok": True}, mining(True)),
    ]
    for request, answer, effect in table:
        got = b.request(request, answer is not None)
        assert got == (answer and {"type": request["type"], **answer})
        assert effect is None or effect(), (request, b.sb.calls())

    assert not [m for m in b.svc.messages("status") if "ok" in m.obj]
    assert [s["name"] for s in b.states()][-2:] == ["pause", "initializing"]
    log = "\n".join(b.agent.lines("stderr") + b.agent.lines("stdout"))
    for line in ("INFO: Rebooting asic, mode = hard",
                 'ERROR: Failed to parse get logs request:\n{\n  "type": "logs"',
                 "ERROR: Wrong set web password request: \n{",
                 "ERROR: Failed to parse firmware update request - "):
        assert line in log, line
    assert "Updating firmware" not in log
    assert not [n for n in os.listdir(b.sb.path("/config"))
                if n.startswith("lighttpd-htdigest.user.")]


DUMP = "/www/pages/cgi-bin/chip_hr.json"


def test_chip_metrics_of_each_chain(board):
    # Own frequencies: chain 6 chip 2 at 700 MHz, chain 8 chip 63 at 500 MHz.
    # Which hash rate makes which state is the unit tests'.
    freqs = ["0"] * 189
    freqs[1], freqs[188] = "700", "500"
    dump = {"chiphr": [{"Asic00": "63", "Asic01": "74", "Asic03": "37"},
                       {"Asic00": "60"}, {"Asic62": "57"}]}
    b = board(miner={"chip_hr": False}, files={
        "/config/bmminer.conf": miner_file(1, **{
            "bitmain-freq2": "600", "bitmain-chip-freq": ":".join(freqs)})})
    b.ready()

    def chip(id_, hr, freq, state, custom=False):
        c = {"id": str(id_), "hr": hr, "freq": freq, "state": state}
        return {**c, "custom_freq": True} if custom else c

    # No dump (the miner writes none): every chip unknown, with hash rate 0.
    got = b.request({"type": "chip_metrics", "request_id": "6",
                     "chain_id": "6"})
    assert [c["hr"] for c in got["chips"]] == [0] * 63 and \
        {c["state"] for c in got["chips"]} == {"unknown"}, got
    b.agent.wait_for_line(f"WARN: Failed to load chip hash rates from {DUMP}$")
    b.sb.write_text(DUMP, json.dumps(dump))
    # chain_id: (chain frequency, {chip: entry}); the others: hr 0, unknown
    table = {
        "6": (650, {1: chip(1, 63, 650, "fast"),
                    2: chip(2, 74, 700, "fast", True),
                    4: chip(4, 37, 650, "unstable")}),
        "7": (600, {1: chip(1, 60, 600, "fast")}),
        "08": (650, {63: chip(63, 57, 500, "fast", True)}),
    }
    for chain_id, (freq, special) in table.items():
        got = b.request({"type": "chip_metrics", "request_id": chain_id,
                         "chain_id": chain_id})
        assert got.pop("chips") == [special.get(i, chip(i, 0, freq, "unknown"))
                                    for i in range(1, 64)], chain_id
        assert got == {"type": "chip_metrics", "request_id": chain_id,
                       "chain_id": chain_id.lstrip("0"), "ok": True}

    for bad in ("5", "9", "6x", "9" * 20, 6, None):
        request = {"type": "chip_metrics", "request_id": "r", "chain_id": bad}
        if bad is None:
            del request["chain_id"]
        assert b.request(request) == {"type": "chip_metrics", "ok": False}
    for line in ("Invalid chain id: 5", "Invalid chain id: 9",
                 "Invalid chain id: -1", "Failed to parse chip metrics request:"):
        b.agent.wait_for_line(f"ERROR: {line}$", 5)


def test_log_command_runs_off_the_link_and_ends_with_a_stop(board):
    # While the log command hangs, the link answers other requests at once; the
    # failure answer comes 30 s later on the same link, a request that came
    # meanwhile runs next, and a stop does not wait out the limit. Whatever the
    # script started ends with it. Clocks ten times faster: 30 s take 3 s.
    b = board(speed=10)
    b.sb.install("/www/pages/cgi-bin/get_kernel_log.cgi",
                 "#!/bin/sh\necho partial\nsleep 300 &\nexec sleep 301\n")
    b.ready()
    conn = b.svc.connection()
    sleeping = lambda: {p for p, comm in b.sb.processes() if comm == "sleep"}
    began = time.monotonic()
    b.request({"type": "logs", "request_id": "hung"}, answer=False)
    first = wait_until(lambda: len(sleeping()) == 2 and sleeping(), 10,
                       "the log command")
    assert b.request({"type": "config_fans", "mode": "auto"},
                     timeout=bound(2.5)) == {"type": "config_fans", "ok": True}
    b.request({"type": "logs", "request_id": "next"}, answer=False)
    failed = b.svc.wait_for_message(
        lambda m: m.obj and m.obj.get("request_id") == "hung", 20)
    assert failed.obj == {"type": "get_logs", "request_id": "hung", "ok": False,
                          "message": "Fetching logs failed"}
    assert 2.95 <= failed.mono - began < bound(0.5, 3.0)
    assert failed.conn_id == conn.id and len(b.svc.connections()) == 1
    wait_until(lambda: len(sleeping() - first) == 2, 10, "the next log command")
    assert not first & sleeping(), "the hung command's group outlived it"

    started = time.monotonic()
    assert b.agent.stop(timeout=15) == 0
    assert time.monotonic() - started < bound(9.5), b.agent.dump()
    assert b.agent.lines()[-1].endswith("INFO: Goodbye!")
    assert sleeping() == set()
