"""Tests of the reference management service, driven by a websockets client.

Run: /usr/bin/python3 -m pytest sim/service -q
"""

import asyncio
import json
import os
import ssl
import sys

import pytest
import websockets
from websockets.legacy.client import WebSocketClientProtocol

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "sandbox"))
from sandbox import make_certs  # noqa: E402
from service import ReferenceService, WaitTimeout  # noqa: E402

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


# The other answers (a refusal, none, a registration) are what the system
# tests of the link and of the configuration exchange rely on.
def test_handshake_auth_answer_and_recording(svc, certs):
    expected = {"type": "auth", "ok": True}

    async def scenario():
        async with connect(svc, certs, subprotocols=["other", "velmora-agent"]) as ws:
            await ws.send(json.dumps(AUTH))
            assert await recv_json(ws) == expected
            await no_message(ws, 0.2)  # exactly one answer
            await ws.send("not json at all")
            await ws.send(json.dumps({"type": "status", "n": 1}))
            await asyncio.to_thread(svc.wait_for_message, "status", 3)
    run(scenario())
    conn = svc.wait_for_close(3)
    assert (conn.path, conn.subprotocol) == ("/api/v1/ws", "velmora-agent")
    assert conn.extensions == ["permessage-deflate"]
    assert [(h.ok, h.server_name) for h in svc.tls_handshakes()] == \
        [(True, "localhost")]
    assert [m.obj for m in conn.sent] == [expected]
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
