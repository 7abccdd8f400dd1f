"""Tests of the reference management service, driven by a websockets client.

Run: /usr/bin/python3 -m pytest sim/service -q
"""

import asyncio
import json
import os
import socket
import ssl
import subprocess
import sys
import threading
import time

import pytest
import websockets
from websockets.legacy.client import WebSocketClientProtocol

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "sandbox"))
from sandbox import make_certs  # noqa: E402
from service import ReferenceService, WaitTimeout, enter_netns  # noqa: E402

AUTH = {"type": "auth", "api_key": "k" * 32, "device_id": "dev-1",
        "model": "antminer-s9", "firmware_id": "norix-antminer-s9",
        "firmware_ver": "3.8.6.9"}


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    made = make_certs(str(tmp_path_factory.mktemp("certs")), "localhost")
    return {"a": (made["server_cert"], made["server_key"]),
            "ca": made["ca_cert"]}


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


AUTH_CASES = [
    ("ok", False, {"type": "auth", "ok": True}),
    ("ok", True, {"type": "auth", "ok": True, "registration": True}),
    ("fail", False, {"type": "auth", "ok": False, "message": "nope"}),
    ("none", False, None),
]


@pytest.mark.parametrize("mode,registration,expected", AUTH_CASES)
def test_handshake_auth_answer_and_recording(svc, certs, mode, registration,
                                             expected):
    svc.set_auth(mode, registration=registration, message="nope")

    async def scenario():
        async with connect(svc, certs, subprotocols=["other", "velmora-agent"]) as ws:
            await ws.send(json.dumps(AUTH))
            if expected is not None:
                assert await recv_json(ws) == expected
            await no_message(ws, 0.2)  # exactly one answer, or none
            await ws.send("not json at all")
            await ws.send(json.dumps({"type": "status", "n": 1}))
            await asyncio.to_thread(svc.wait_for_message, "status", 3)
    run(scenario())
    conn = svc.wait_for_close(3)
    assert (conn.path, conn.subprotocol) == ("/api/v1/ws", "velmora-agent")
    assert conn.extensions == ["permessage-deflate"]
    assert [(h.ok, h.server_name) for h in svc.tls_handshakes()] == \
        [(True, "localhost")]
    assert [m.obj for m in conn.sent] == ([expected] if expected else [])
    msgs = svc.messages()
    assert [(m.type, m.index, m.conn_id) for m in msgs] == [
        ("auth", 0, conn.id), (None, 1, conn.id), ("status", 2, conn.id)]
    assert msgs[0].obj == AUTH and msgs[1].data == "not json at all"
    assert conn.opened_mono <= msgs[0].mono <= msgs[2].mono <= conn.closed_mono
    assert svc.wait_for_message(lambda m: m.obj and m.obj.get("n"), 1).index == 2
    with pytest.raises(WaitTimeout):
        svc.wait_for_message("status", timeout=0.2, start=svc.mark())
    with pytest.raises(WaitTimeout):
        svc.wait_for_connection(2, 0.2)


def test_raw_and_fragmented_frames_arrive_whole(svc, certs):
    async def scenario():
        async with connect(svc, certs, create_protocol=FrameLog) as ws:
            await ws.send(json.dumps(AUTH))
            await recv_json(ws)
            ws.frames.clear()
            for n in (16383, 16384):
                body = '{"type":"x","pad":"' + "a" * (n - 21) + '"}'
                await asyncio.to_thread(svc.send_raw, body)
                assert await asyncio.wait_for(ws.recv(), 3) == body
            parts = ['{"type": "con', 'fig_pools", "main": ', '{"x": "é"}}']
            await asyncio.to_thread(svc.send_fragments, parts)
            assert json.loads(await ws.recv()) == {
                "type": "config_pools", "main": {"x": "é"}}
            # One frame per size, then exactly one frame per part.
            assert [(op, fin) for op, fin, _ in ws.frames] == [
                (1, True), (1, True), (1, False), (0, False), (0, True)]
            assert [n for _, _, n in ws.frames[2:]] == [
                len(p.encode()) for p in parts]
    run(scenario())
    assert [m.size for m in svc.connections()[0].sent[1:3]] == [16383, 16384]


def test_invalid_utf8_text_frame_close_codes_and_drop(svc, certs):
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
            await ws.close()
        # A drop sends no close frame. (The client may see the handshake done
        # before the service's handler has registered the connection.)
        async with connect(svc, certs) as ws:
            conn = await asyncio.to_thread(svc.wait_for_connection, 3)
            await asyncio.to_thread(svc.drop, conn)
            with pytest.raises(websockets.ConnectionClosedError) as err:
                await ws.recv()
            assert err.value.rcvd is None
    run(scenario())
    svc.wait_for(lambda: all(c.closed for c in svc.connections())
                 and len(svc.connections()) == 3, 5, "three closed connections")
    got = [(c.closed_by, c.close_code, c.close_reason)
           for c in svc.connections()]
    assert got == [("agent", 1007, ""), ("agent", 1000, ""),
                   ("drop", None, None)]


def test_stall_and_refusal_spare_the_established_connection(svc, certs):
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
            await asyncio.to_thread(svc.refuse_connections, True)
            with pytest.raises(ConnectionRefusedError):
                async with connect(svc, certs):
                    pass
            await ws.send(json.dumps(AUTH))
            assert (await recv_json(ws))["ok"] is True
            await asyncio.to_thread(svc.refuse_connections, False)
            async with connect(svc, certs):
                pass
    run(scenario())
    assert len(svc.connections()) == 2


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
