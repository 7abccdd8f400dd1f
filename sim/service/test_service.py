"""Tests of the reference management service, driven by a websockets client.

Run: /usr/bin/python3 -m pytest sim/service -q
"""

import asyncio
import io
import json
import os
import queue
import socket
import ssl
import subprocess
import sys
import threading
import time

import pytest
import websockets
from websockets.legacy.client import WebSocketClientProtocol

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from service import (LiveView, Message, ReferenceService,  # noqa: E402
                     WaitTimeout, enter_netns)

HERE = os.path.dirname(os.path.abspath(__file__))
AUTH = {"type": "auth", "api_key": "k" * 32, "device_id": "dev-1",
        "model": "antminer-s9", "firmware_id": "norix-antminer-s9",
        "firmware_ver": "3.8.6.9"}

CA_CONF = """\
[ca]
default_ca = ca_default
[ca_default]
database = {dir}/index.txt
new_certs_dir = {dir}
serial = {dir}/serial
default_md = sha256
policy = policy_any
unique_subject = no
[policy_any]
commonName = supplied
[server]
subjectAltName = DNS:localhost,IP:127.0.0.1
basicConstraints = CA:FALSE
"""


def openssl(*args, cwd):
    done = subprocess.run(["openssl", *args], cwd=cwd, text=True,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    assert done.returncode == 0, f"openssl {args[0]} failed: {done.stderr}"


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    """Two CAs; a server certificate from each, and an expired one from A."""
    d = str(tmp_path_factory.mktemp("certs"))
    for ca in ("caA", "caB"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                f"{ca}.key", "-out", f"{ca}.pem", "-days", "30", "-subj",
                f"/CN=test {ca}", cwd=d)
    with open(os.path.join(d, "ca.cnf"), "w") as f:
        f.write(CA_CONF.format(dir=d))
    open(os.path.join(d, "index.txt"), "w").close()
    with open(os.path.join(d, "serial"), "w") as f:
        f.write("1000\n")
    issued = [("a", "caA", "20200101000000Z", "20400101000000Z"),
              ("b", "caB", "20200101000000Z", "20400101000000Z"),
              ("expired", "caA", "20200101000000Z", "20200201000000Z")]
    for name, ca, start, end in issued:
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout",
                f"{name}.key", "-out", f"{name}.csr", "-subj", "/CN=localhost",
                cwd=d)
        openssl("ca", "-batch", "-config", "ca.cnf", "-cert", f"{ca}.pem",
                "-keyfile", f"{ca}.key", "-in", f"{name}.csr", "-out",
                f"{name}.pem", "-startdate", start, "-enddate", end,
                "-extensions", "server", "-notext", cwd=d)
    return {name: (os.path.join(d, f"{name}.pem"), os.path.join(d, f"{name}.key"))
            for name in ("a", "b", "expired")} | {
        "ca": os.path.join(d, "caA.pem")}


@pytest.fixture
def svc(certs):
    cert, key = certs["a"]
    with ReferenceService(port=0, certfile=cert, keyfile=key) as service:
        yield service


def client_ctx(certs):
    return ssl.create_default_context(cafile=certs["ca"])


def connect(service, certs, host="localhost", **kw):
    kw.setdefault("subprotocols", ["velmora-agent"])
    kw.setdefault("close_timeout", 1)
    kw.setdefault("max_size", None)
    return websockets.connect(f"wss://{host}:{service.port}/api/v1/ws",
                              ssl=client_ctx(certs), **kw)


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 20))


async def recv_json(ws, timeout=3.0):
    return json.loads(await asyncio.wait_for(ws.recv(), timeout))


async def no_message(ws, wait=0.4):
    with pytest.raises(asyncio.TimeoutError):
        await asyncio.wait_for(ws.recv(), wait)


class FrameLog(WebSocketClientProtocol):
    """Client protocol that notes every data frame it reads."""

    def __init__(self, *a, **kw):
        super().__init__(*a, **kw)
        self.frames = []

    async def read_frame(self, max_size):
        frame = await super().read_frame(max_size)
        if frame.opcode in (0, 1, 2):
            self.frames.append((frame.opcode, frame.fin, len(frame.data)))
        return frame


def test_handshake_selects_subprotocol_and_deflate(svc, certs):
    async def scenario():
        async with connect(svc, certs, subprotocols=["other", "velmora-agent"],
                           extra_headers={"X-Probe": "1"}) as ws:
            assert ws.subprotocol == "velmora-agent"
            assert [e.name for e in ws.extensions] == ["permessage-deflate"]
        async with connect(svc, certs, compression=None,
                           subprotocols=["other"]) as ws:
            assert ws.subprotocol is None
            assert ws.extensions == []
    run(scenario())
    first, second = svc.connections()
    assert first.path == "/api/v1/ws"
    assert first.subprotocol == "velmora-agent"
    assert first.offered_subprotocols == "other, velmora-agent"
    assert first.extensions == ["permessage-deflate"]
    assert first.extensions_header.startswith("permessage-deflate")
    assert "permessage-deflate" in first.offered_extensions
    assert ("X-Probe", "1") in first.request_headers
    assert second.subprotocol is None and second.extensions == []
    assert second.extensions_header is None


AUTH_CASES = [
    ("ok", False, {"type": "auth", "ok": True}),
    ("ok", True, {"type": "auth", "ok": True, "registration": True}),
    ("fail", False, {"type": "auth", "ok": False, "message": "nope"}),
    ("ok_int", False, {"type": "auth", "ok": 1}),
    ("ok_string", True, {"type": "auth", "ok": "true", "registration": True}),
    ({"type": "auth", "ok": None}, False, {"type": "auth", "ok": None}),
]


@pytest.mark.parametrize("mode,registration,expected", AUTH_CASES)
def test_auth_answers(svc, certs, mode, registration, expected):
    svc.set_auth(mode, registration=registration, message="nope")

    async def scenario():
        async with connect(svc, certs) as ws:
            await ws.send(json.dumps(AUTH))
            assert await recv_json(ws) == expected
            await no_message(ws, 0.2)  # exactly one answer
    run(scenario())
    conn = svc.connections()[0]
    assert [m.obj for m in conn.sent] == [expected]


def test_auth_silence_and_delay(svc, certs):
    async def scenario():
        async with connect(svc, certs) as ws:
            svc.set_auth("none")
            await ws.send(json.dumps(AUTH))
            await no_message(ws, 0.5)
            svc.set_auth("ok", delay=0.4)
            sent = time.monotonic()
            await ws.send(json.dumps(AUTH))
            assert (await recv_json(ws))["ok"] is True
            assert time.monotonic() - sent >= 0.4
    run(scenario())
    assert len(svc.messages("auth")) == 2


def test_recording_order_times_and_waits(svc, certs):
    async def scenario():
        async with connect(svc, certs) as ws:
            before = (time.monotonic(), time.time())
            await ws.send(json.dumps(AUTH))
            await recv_json(ws)
            await ws.send(json.dumps({"type": "status", "state": {"name": "x"}}))
            await ws.send("not json at all")
            await ws.send(b"\x00\x01")
            await ws.send(json.dumps({"type": "metrics", "hash_rate": 1.5}))
            await asyncio.to_thread(svc.wait_for_message, "metrics", 3)
            return before
    before = run(scenario())
    conn = svc.wait_for_close(3)
    msgs = svc.messages()
    assert [m.type for m in msgs] == ["auth", "status", None, None, "metrics"]
    assert [m.index for m in msgs] == [0, 1, 2, 3, 4]
    assert msgs[2].data == "not json at all" and msgs[2].obj is None
    assert msgs[3].data == b"\x00\x01" and not msgs[3].is_text
    monos = [m.mono for m in msgs]
    assert monos == sorted(monos) and monos[0] >= before[0]
    assert before[1] - 1 <= msgs[0].wall <= time.time()
    assert conn.opened_mono <= monos[0] <= conn.closed_mono
    assert msgs[0].obj == AUTH
    assert [m.type for m in svc.messages("status", conn=conn)] == ["status"]
    # Predicates, start positions and a readable timeout.
    found = svc.wait_for_message(lambda m: m.obj and m.obj.get("hash_rate"), 1)
    assert found.type == "metrics"
    with pytest.raises(WaitTimeout) as err:
        svc.wait_for_message("status", timeout=0.2, start=svc.mark())
    assert "metrics" in str(err.value) and "1 connection" in str(err.value)
    assert svc.wait_for_connection(1, 1) is conn
    with pytest.raises(WaitTimeout):
        svc.wait_for_connection(2, 0.2)


def test_raw_and_fragmented_frames_arrive_whole(svc, certs):
    sizes = {}

    async def scenario(compression):
        async with connect(svc, certs, create_protocol=FrameLog,
                           compression=compression) as ws:
            await ws.send(json.dumps(AUTH))
            await recv_json(ws)
            ws.frames.clear()
            for n in (16383, 16384):
                body = '{"type":"x","pad":"' + "a" * (n - 21) + '"}'
                assert len(body) == n
                await asyncio.to_thread(svc.send_raw, body)
                got = await asyncio.wait_for(ws.recv(), 3)
                sizes[(compression, n)] = len(got)
                assert got == body
            await asyncio.to_thread(svc.send_raw, "[1, 2]")
            assert await ws.recv() == "[1, 2]"
            parts = ['{"type": "con', 'fig_pools", "main": ', '{"x": "é"}}']
            await asyncio.to_thread(svc.send_fragments, parts)
            assert json.loads(await ws.recv()) == {
                "type": "config_pools", "main": {"x": "é"}}
            # é is split across two frames: the parts need not be valid UTF-8.
            raw = "é".encode()
            await asyncio.to_thread(svc.send_fragments,
                                    [b'"' + raw[:1], raw[1:] + b'"'])
            assert await ws.recv() == '"é"'
            frames = ws.frames
            # One frame each for the two sizes and the array, then exactly
            # three and two frames for the fragmented messages.
            assert [(op, fin) for op, fin, _ in frames] == [
                (1, True), (1, True), (1, True),
                (1, False), (0, False), (0, True), (1, False), (0, True)]
            assert [n for _, _, n in frames[3:6]] == [
                len(p.encode()) for p in parts]
    run(scenario("deflate"))
    run(scenario(None))
    assert set(sizes.values()) == {16383, 16384}
    sent = svc.connections()[0].sent
    assert [m.size for m in sent[1:3]] == [16383, 16384]
    assert sent[4].obj == {"type": "config_pools", "main": {"x": "é"}}


def test_invalid_utf8_text_frame_and_close_codes(svc, certs):
    async def scenario():
        # Bytes go out in a text frame untouched: a strict client fails the
        # connection with 1007, and the service records that close code.
        async with connect(svc, certs) as ws:
            await asyncio.to_thread(svc.wait_for_connection, 1)
            await asyncio.to_thread(svc.send_raw, b'{"type": "\xff"}')
            with pytest.raises(websockets.ConnectionClosedError) as err:
                await ws.recv()
            assert err.value.sent.code == 1007
        await asyncio.to_thread(svc.wait_for_close, 3)
        async with connect(svc, certs) as ws:
            await ws.close(4001, "bye")
        async with connect(svc, certs) as ws:
            await ws.close()
        async with connect(svc, certs) as ws:
            # The client may see the handshake done before the service's
            # handler has registered the connection.
            conn = await asyncio.to_thread(svc.wait_for_connection, 4)
            await asyncio.to_thread(conn.close, 4002, "go away")
            with pytest.raises(websockets.ConnectionClosed) as err:
                await ws.recv()
            assert (err.value.rcvd.code, err.value.rcvd.reason) == (
                4002, "go away")
        ws = await connect(svc, certs)
        ws.transport.abort()
        await ws.wait_closed()
    run(scenario())
    svc.wait_for(lambda: all(c.closed for c in svc.connections())
                 and len(svc.connections()) == 5, 5, "five closed connections")
    got = [(c.closed_by, c.close_code, c.close_reason)
           for c in svc.connections()]
    assert got == [("agent", 1007, ""), ("agent", 4001, "bye"),
                   ("agent", 1000, ""), ("service", 4002, "go away"),
                   ("lost", None, None)]


def test_drop_sends_no_close_frame(svc, certs):
    async def scenario():
        async with connect(svc, certs) as ws:
            await ws.send(json.dumps(AUTH))
            await recv_json(ws)
            await asyncio.to_thread(svc.drop)
            with pytest.raises(websockets.ConnectionClosedError) as err:
                await ws.recv()
            assert err.value.rcvd is None
            assert ws.close_code == 1006
    run(scenario())
    conn = svc.wait_for_close(3)
    assert (conn.closed_by, conn.close_code) == ("drop", None)
    with pytest.raises(Exception):
        svc.send({"type": "reboot"}, conn=conn)


def test_stall_stops_reading_until_resumed(svc, certs):
    async def scenario():
        async with connect(svc, certs) as ws:
            await ws.send(json.dumps(AUTH))
            await recv_json(ws)
            await asyncio.to_thread(svc.stall)
            await ws.send(json.dumps({"type": "status"}))
            pong = await ws.ping()
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(asyncio.shield(pong), 0.6)
            assert svc.messages("status") == []
            await asyncio.to_thread(svc.resume)
            await asyncio.wait_for(pong, 3)
            await asyncio.to_thread(svc.wait_for_message, "status", 3)
    run(scenario())


def test_refused_and_rejected_connections(svc, certs):
    async def scenario():
        async with connect(svc, certs) as ws:
            await asyncio.to_thread(svc.refuse_connections, True)
            with pytest.raises(ConnectionRefusedError):
                async with connect(svc, certs):
                    pass
            # The established connection is not touched.
            await ws.send(json.dumps(AUTH))
            assert (await recv_json(ws))["ok"] is True
            await asyncio.to_thread(svc.refuse_connections, False)
            async with connect(svc, certs) as ws2:
                await ws2.send(json.dumps(AUTH))
                await recv_json(ws2)
        svc.reject_handshake(503)
        with pytest.raises(websockets.InvalidStatusCode) as err:
            async with connect(svc, certs):
                pass
        assert err.value.status_code == 503
        svc.reject_handshake(None)
        async with connect(svc, certs):
            pass
    run(scenario())
    assert len(svc.connections()) == 3


def blocking_handshake(port, cafile):
    """TLS handshake with a plain socket; OpenSSL sends its alert on failure."""
    ctx = ssl.create_default_context(cafile=cafile)
    with socket.create_connection(("127.0.0.1", port), timeout=3) as raw:
        with ctx.wrap_socket(raw, server_hostname="localhost"):
            pass


def test_certificate_switch_applies_to_new_connections(svc, certs):
    async def scenario():
        async with connect(svc, certs) as old:
            svc.use_certificate(*certs["b"])
            with pytest.raises(ssl.SSLCertVerificationError) as err:
                async with connect(svc, certs):
                    pass
            assert "unable to get local issuer" in str(err.value)
            svc.use_certificate(*certs["expired"])
            with pytest.raises(ssl.SSLCertVerificationError) as err:
                async with connect(svc, certs, host="127.0.0.1"):
                    pass
            assert "expired" in str(err.value)
            await old.send(json.dumps(AUTH))
            assert (await recv_json(old))["ok"] is True
            svc.use_certificate(*certs["b"])
            with pytest.raises(ssl.SSLCertVerificationError):
                await asyncio.to_thread(blocking_handshake, svc.port,
                                        certs["ca"])
            svc.use_certificate(*certs["a"])
            async with connect(svc, certs):
                pass
    run(scenario())
    shakes = svc.wait_for(
        lambda: len(svc.tls_handshakes()) == 5
        and svc.tls_handshakes()[3].ok is not None
        and svc.tls_handshakes(), 3, "five handshakes")
    names = [os.path.basename(h.certfile) for h in shakes]
    assert names == ["a.pem", "b.pem", "expired.pem", "b.pem", "a.pem"]
    assert [h.server_name for h in shakes] == [
        "localhost", "localhost", None, "localhost", "localhost"]
    assert shakes[0].ok and shakes[4].ok
    # The asyncio client hangs up without an alert; OpenSSL's own socket
    # client names the reason.
    assert shakes[1].ok is None and shakes[2].ok is None
    assert shakes[3].ok is False and "unknown ca" in shakes[3].error.lower()
    assert len(svc.connections()) == 2


def test_config_and_update_config_answers(svc, certs):
    doc = {"pools": {"main": {"stratum_url": "stratum+tcp://p:3333",
                              "worker": "w", "password": ""}},
           "fans": {"mode": "auto", "speed": 0}}

    async def scenario():
        async with connect(svc, certs) as ws:
            await ws.send(json.dumps({"type": "config"}))
            assert await recv_json(ws) == {
                "type": "config", "ok": False,
                "message": "No configuration stored"}
            await ws.send(json.dumps({"type": "update_config", **doc}))
            assert await recv_json(ws) == {"type": "update_config", "ok": True}
            await ws.send(json.dumps({"type": "update_config", "chains": []}))
            await recv_json(ws)
            await ws.send(json.dumps({"type": "config"}))
            assert await recv_json(ws) == {"type": "config", "ok": True,
                                           **doc, "chains": []}
            svc.set_config_answer({"perf": {"freq": 650}}, delay=0.2)
            svc.set_update_config_answer(False)
            await ws.send(json.dumps({"type": "config"}))
            assert await recv_json(ws) == {"type": "config",
                                           "perf": {"freq": 650}}
            await ws.send(json.dumps({"type": "update_config"}))
            assert await recv_json(ws) == {"type": "update_config", "ok": False}
            svc.set_config_answer(None)
            svc.set_update_config_answer(None)
            await ws.send(json.dumps({"type": "config"}))
            await ws.send(json.dumps({"type": "update_config"}))
            await ws.send(json.dumps({"type": "reboot", "ok": True}))
            await no_message(ws)
    run(scenario())
    assert svc.stored_config() == {**doc, "chains": []}


@pytest.fixture
def netns():
    if os.geteuid() != 0:
        pytest.skip("needs root for network namespaces")
    proc = subprocess.Popen(["unshare", "--net", "sleep", "60"])
    try:
        path = f"/proc/{proc.pid}/ns/net"
        deadline = time.monotonic() + 3
        while os.readlink(path) == os.readlink("/proc/self/ns/net"):
            assert time.monotonic() < deadline, "namespace not created"
            time.sleep(0.02)
        subprocess.run(["nsenter", f"--net={path}", "ip", "link", "set", "lo",
                        "up"], check=True)
        yield path
    finally:
        proc.kill()
        proc.wait()


def test_listens_inside_network_namespace(certs, netns):
    cert, key = certs["a"]
    with ReferenceService(port=0, certfile=cert, keyfile=key,
                          netns=netns) as svc:
        with pytest.raises(OSError):
            socket.create_connection(("127.0.0.1", svc.port), timeout=1).close()
        answers = []

        def inside():
            enter_netns(netns)

            async def scenario():
                async with connect(svc, certs) as ws:
                    await ws.send(json.dumps(AUTH))
                    answers.append(await recv_json(ws))
            run(scenario())

        t = threading.Thread(target=inside)
        t.start()
        t.join(15)
        assert answers == [{"type": "auth", "ok": True}]
        assert svc.connections()[0].subprotocol == "velmora-agent"


def test_command_line_live_view_and_requests(certs):
    cert, key = certs["a"]
    proc = subprocess.Popen(
        [sys.executable, os.path.join(HERE, "service.py"), "--cert", cert,
         "--key", key, "--port", "0"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        text=True, bufsize=1)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(x) for x in proc.stdout],
                     daemon=True).start()

    def read_until(word, timeout=5):
        seen = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                line = lines.get(timeout=deadline - time.monotonic())
            except queue.Empty:
                break
            seen.append(line)
            if word in line:
                return line
        raise AssertionError(f"{word!r} not in output: {seen}")

    def command(text):
        proc.stdin.write(text + "\n")
        proc.stdin.flush()

    try:
        banner = read_until("listening on")
        port = int(banner.split("wss://127.0.0.1:")[1].split("/")[0])
        status = {"type": "status", "firmware_id": "norix-antminer-s9",
                  "firmware_ver": "3.8.6.9", "state": {"name": "mining"},
                  "network": {"ip": "10.1.2.3", "netmask": "255.255.255.0",
                              "gateway": "10.1.2.1", "dnsservers": [],
                              "mac": "aa:bb:cc:dd:ee:ff"}}

        async def scenario():
            uri = f"wss://localhost:{port}/api/v1/ws"
            async with websockets.connect(uri, ssl=client_ctx(certs),
                                          subprotocols=["velmora-agent"]) as ws:
                await ws.send(json.dumps(AUTH))
                assert await recv_json(ws) == {"type": "auth", "ok": True}
                await ws.send(json.dumps({"type": "config"}))
                assert (await recv_json(ws))["ok"] is False
                await ws.send(json.dumps(status))
                await asyncio.to_thread(read_until, "10.1.2.3")
                command("reboot")
                assert await recv_json(ws) == {"type": "reboot"}
                command('{"type": "config_fans", "mode": "auto"}')
                assert await recv_json(ws) == {"type": "config_fans",
                                               "mode": "auto"}
                command("logs")
                assert (await recv_json(ws))["request_id"].startswith("demo-")
                command("bogus")
                await asyncio.to_thread(read_until, "unknown command")
                command("quit")
                with pytest.raises(websockets.ConnectionClosed) as err:
                    await asyncio.wait_for(ws.recv(), 5)
                assert err.value.rcvd.code == 1001
        run(scenario())
        assert proc.wait(5) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    output = []
    while not lines.empty():
        output.append(lines.get())
    text = banner + "".join(output)
    assert "\033[" not in text


def test_live_view_lines(certs):
    """The view prints auth fields and compact status/metrics lines."""
    view = LiveView(io.StringIO())
    metrics = {"type": "metrics", "timestamp": 1, "hash_rate": 13500.25,
               "freq": 650.0, "temp": 75, "watt": 1350.0, "hw_errors": 3,
               "fans": [{"id": "1", "speed": 60, "rpm": 4800}],
               "chains": [{"id": "6", "num_chips": 63, "chip_temp": 70}]}
    lines = []
    for obj in (AUTH, metrics, {"type": "config_pools", "ok": False},
                {"type": "event", "name": "restart", "reason": "overheat",
                 "temp": 95}):
        lines.append(view.summary(Message(1, 0, json.dumps(obj), True, 0, 0,
                                          obj)))
    assert 'device_id="dev-1"' in lines[0] and 'model="antminer-s9"' in lines[0]
    assert "13500.2 GH/s 650 MHz 75C 1350 W hw=3 fans 4800 chains 6:63ch,70C" \
        in lines[1]
    assert lines[2].split() == ["config_pools", "ok=false"]
    assert "reason=overheat" in lines[3] and "temp=95" in lines[3]
    assert "\033[" not in "".join(lines)
