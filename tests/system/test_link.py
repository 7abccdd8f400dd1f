"""The server link of the real binary inside the device sandbox, against the
reference service. The daemon itself queues nothing yet, so the queue is
driven through bench/link_driver: the same link modules, with a producer
thread queueing on command (over a FIFO in the sandbox)."""

import random
import socket
import time

import pytest

from board import (AUTHENTICATED, DEV_ID, RECONNECT, agent_file,
                   sandbox_socket, sized_message)
from conftest import bound, built

API_KEY = "7d3f2c1e-link-test-key"
AUTH_KEYS = {"type": "auth", "api_key": API_KEY, "device_id": DEV_ID,
             "model": "antminer-s9", "firmware_id": "norix-antminer-s9",
             "firmware_ver": "3.8.6.9"}
FIFO = "/tmp/link_driver.fifo"


def link(board, driver=False, url=None, **kw):
    """A board with the test's API key and no miner file; with driver,
    bench/link_driver in the agent's place, its FIFO open as b.fifo."""
    files = {"/config/velmora.json": agent_file(API_KEY)}
    if driver:
        kw.update(binary=built("bench", "link_driver"),
                  args=(["-u", url] if url else []) + [FIFO])
    b = board(pools=None, files=files, **kw)
    if driver:
        b.agent.wait_for_line(r"^driver: ready$")
        b.fifo = open(b.sb.path(FIFO), "w", buffering=1)
    return b


def authenticated(b):
    b.svc.wait_for_message("auth", 10)
    b.agent.wait_for_line(AUTHENTICATED)


def reconnect_delay(b, start=0, timeout=10.0):
    return int(b.agent.wait_for_line(RECONNECT, timeout, start=start)[1])


def driver(b, command, timeout=15.0):
    """The driver's answer to command, without the "driver: " prefix."""
    mark = b.agent.mark()
    b.fifo.write(command + "\n")
    return b.agent.wait_for_line(r"^driver: (.*)$", timeout, start=mark)[1]


def queued_before_auth(board, count):
    """A driver's link waiting for the authentication reply, with count
    messages queued from the driver's producer thread."""
    b = link(board, driver=True, auth="none")
    assert driver(b, "wait connected 10") == "connected yes"
    b.svc.wait_for_message("auth", 10)
    ok = min(count, 1023)
    assert driver(b, f"enqueue {count}") == \
        f"enqueued ok={ok} dropped={count - ok} no_link=0"
    return b


def exchange_only(svc):
    """Nothing came but the authentication and the configuration exchange
    after it (status reports, then the "config" request)."""
    types = [m.type for m in svc.messages()]
    return types[0] == "auth" and types[-1] == "config" and \
        set(types[1:-1]) == {"status"}


# Connection and authentication.

def test_first_frame_is_auth_over_tls_to_the_url(board, service):
    b = link(board)
    first = b.svc.wait_for_message(None, 10)
    conn = b.svc.connections()[0]
    assert (conn.path, conn.subprotocol) == ("/api/v1/ws", "velmora-agent")
    assert "permessage-deflate" in conn.extensions
    assert [(h.ok, h.server_name) for h in b.svc.tls_handshakes()] == \
        [(True, service[1])]
    assert first.is_text and first.obj == AUTH_KEYS, first.data
    assert list(first.obj) == list(AUTH_KEYS), "keys in this order"
    b.agent.wait_for_line(AUTHENTICATED)
    b.svc.wait_for_message("config", 5)
    time.sleep(0.5)
    assert exchange_only(b.svc) and len(b.svc.connections()) == 1


# The connection goes to the looked-up address, but the certificate is still
# checked against the URL's host name: "localhost" reaches the same service,
# whose certificate is not for that name. The URL's explicit port is used
# (nothing listens on the scheme's own port).
@pytest.mark.parametrize("cert, host, port, accepted", [
    ("expired", None, None, True), ("server", "localhost", None, False),
    ("server", "", 8443, True)], ids=["expired", "other-name", "port"])
def test_certificate_must_come_from_the_ca_but_may_be_expired(
        board, service, cert, host, port, accepted):
    if host is None:
        b = link(board, cert=cert)
    else:
        b = link(board, driver=True, cert=cert, port=port, url=f"wss://"
                 f"{host or service[1]}:{port or service[2]}/api/v1/ws")
    if accepted:
        authenticated(b)
        return
    b.agent.wait_for_line(r"WARN: Agent connection error - ")
    reconnect_delay(b)
    b.svc.wait_for(b.svc.tls_handshakes, 5, "a handshake")
    assert [(bool(h.ok), h.server_name) for h in b.svc.tls_handshakes()] \
        == [(False, host or service[1])], b.svc.describe()
    assert b.svc.connections() == [] and b.svc.messages() == []


def test_refused_authentication_reconnects_after_the_announced_delay(
        board):
    # Clocks ten times faster: the wait of 0 to 59 s takes at most 6 s.
    speed = 10
    b = link(board, auth="fail", speed=speed)
    b.svc.wait_for_message("auth", 10)
    b.agent.wait_for_line(
        r"INFO: Agent authentication failed - Invalid API key$")
    conn = b.svc.wait_for_close(10, b.svc.connections()[0])
    delay = reconnect_delay(b)
    second = b.svc.wait_for_connection(2, timeout=delay / speed + 15)
    gap = second.opened_mono - conn.closed_mono
    # Never early; late by at most what a loaded machine takes to connect.
    assert (delay - 1) / speed <= gap <= bound(2.5, delay / speed), (delay, gap)
    assert b.svc.wait_for_message("auth", start=1).conn_id == second.id


def test_unanswered_authentication_is_aborted_after_30_seconds(board):
    # Clocks ten times faster: the 30 s take 3 s. The timer is checked on
    # service passes, at least one a (daemon's) second.
    b = link(board, auth="none", speed=10)
    auth = b.svc.wait_for_message("auth", 10)
    conn = b.svc.wait_for_close(10, b.svc.connections()[0])
    assert 2.95 <= conn.closed_mono - auth.mono <= bound(0.1, 3.0)
    b.agent.wait_for_line(r"WARN: Aborting agent connection on timeout$")
    reconnect_delay(b)


# The outgoing queue (through the link driver).

def test_queue_waits_for_the_accepted_authentication(board):
    b = queued_before_auth(board, 1024)
    assert len(b.agent.matching(
        r"WARN: Dropping message, no free elements in out_msgs buffer$")) == 1
    time.sleep(1.0)
    assert [m.type for m in b.svc.messages()] == ["auth"]

    b.svc.send({"type": "auth", "ok": True})
    b.svc.wait_for(lambda: len(b.svc.messages("probe")) >= 1023, 10,
                      "the queued messages")
    assert driver(b, "enqueue 3") == "enqueued ok=3 dropped=0 no_link=0"
    b.svc.wait_for(lambda: len(b.svc.messages("probe")) >= 1026, 5,
                      "three more")
    assert [m.obj["n"] for m in b.svc.messages("probe")] == \
        list(range(1023)) + [0, 1, 2]
    assert len(b.svc.connections()) == 1


def test_messages_queued_before_a_refusal_are_never_sent(board):
    b = queued_before_auth(board, 5)
    b.svc.send({"type": "auth", "ok": False, "message": "Device disabled"})
    conn = b.svc.wait_for_close(10, b.svc.connections()[0])
    b.agent.wait_for_line(
        r"INFO: Agent authentication failed - Device disabled$")
    assert driver(b, "wait disconnected 5") == "disconnected yes"
    assert [m.type for m in conn.received] == ["auth"]
    # Without a connection the queue refuses at once and lets go.
    assert driver(b, "enqueue 3") == "enqueued ok=0 dropped=0 no_link=3"
    assert driver(b, "held") == "held rc=-2 refcount=1"


# Incoming messages.

def test_incoming_messages_that_keep_the_link(board):
    b = link(board)
    authenticated(b)
    svc, agent = b.svc, b.agent
    unknown = r"WARN: Unknown message received: {}$"
    too_big = r"ERROR: Unable to compose the incomming message, " \
        r"buffer too small$"
    big = sized_message("fits", 16383, seed=3)
    over = sized_message("over", 16384, seed=5)
    after = '{"type": "after"}'
    # The largest message in one frame and in three; one byte more is dropped
    # with one error line and the next is decoded.
    for parts, line in [([big], unknown.format("fits")),
                        ([big[:20], big[20:8191], big[8191:]],
                         unknown.format("fits")),
                        ([over[:8192], over[8192:]], too_big),
                        ([after], unknown.format("after"))]:
        mark = agent.mark()
        svc.send_fragments(parts)
        agent.wait_for_line(line, start=mark)
        time.sleep(0.2)
        assert len(agent.matching(line, mark)) == 1, agent.dump()

    # Known requests without a handler in this build get no answer, and
    # nothing is run for them.
    mark = agent.mark()
    svc.send({"type": "sync", "request_id": "r1"})
    agent.wait_for_line(unknown.format("sync"), start=mark)
    time.sleep(0.5)
    assert agent.matching("Unknown message received", mark) == \
        agent.matching("Unknown message received: sync$", mark)
    assert exchange_only(svc), svc.describe()
    assert not svc.connections()[0].closed and b.sb.calls() == []


def test_bad_frames_close_or_keep_the_link_and_never_crash(board):
    # Clock twenty times faster, so each reconnect (0 to 59 s) takes seconds.
    b = link(board, speed=20)
    svc, agent = b.svc, b.agent
    # Which input closes or is only logged is the unit tests' table; here the
    # frames go through the library: a cut UTF-8 character and random bytes
    # in text frames.
    closing = [b'{"type": "\xe2\x82"}',
               bytes(random.Random(9).randrange(256) for _ in range(300))]
    authenticated(b)
    for n, frame in enumerate(closing, start=2):
        mark = agent.mark()
        svc.send_raw(frame)
        agent.wait_for_line(r"WARN: Failed to decode msg - ", start=mark)
        svc.wait_for_close(10, svc.connections()[-1])
        svc.wait_for_connection(n, 15)
        svc.wait_for_message("auth", 15, conn=svc.connections()[-1])
    assert agent.returncode is None, agent.dump()


# Stopping.

def test_stop_while_the_service_stalls_closes_with_1000_in_time(board):
    b = link(board)
    authenticated(b)
    b.svc.stall()
    started = time.monotonic()
    assert b.agent.stop() == 0
    assert time.monotonic() - started < bound(9.5), b.agent.dump()
    b.svc.resume()
    conn = b.svc.wait_for_close(10, b.svc.connections()[0])
    assert (conn.close_code, conn.closed_by) == (1000, "agent"), conn
    assert b.agent.lines("stdout")[-1].endswith("INFO: Goodbye!")
    assert not b.agent.matching(RECONNECT)


# A name server that reads queries and never answers (the service's name is
# not in /etc/hosts), and a service that accepts the connection but never
# answers the TLS hello: a stop still ends the process at once. A name that
# does not resolve is a failed attempt like any other. A stop while waiting to
# reconnect ends at once, with no further attempt.
@pytest.mark.parametrize("hang", ["name lookup", "tls handshake",
                                  "no such name", "reconnect wait"])
def test_stop_while_the_connection_attempt_hangs_ends_in_time(
        board, service, hang):
    held = []
    if hang == "no such name":  # the name servers refuse at once
        b = link(board, service=False, service_host="")
        b.agent.wait_for_line(r"ERROR: Failed to create lws connection$")
        reconnect_delay(b)
    elif hang == "reconnect wait":
        b = link(board, service=False)
        reconnect_delay(b)
    elif hang == "name lookup":
        files = {"/etc/resolv.conf":
                 "nameserver 192.0.2.53\noptions timeout:30 attempts:1\n"}
        b = link(board, service=False, service_host="", sandbox_files=files,
                 prepare=lambda sb: held.append(sandbox_socket(
                     sb, socket.SOCK_DGRAM, ("192.0.2.53", 53))))
        held[0].recv(512)  # the query, never answered
    else:
        b = link(board, service=False, prepare=lambda sb: held.append(
            sandbox_socket(sb, socket.SOCK_STREAM, ("127.0.0.1",
                                                    service[2]))))
        conn, _ = held[0].accept()
        held.append(conn)
        assert conn.recv(512)[:1] == b"\x16", "a TLS hello, never answered"
    b.agent.wait_for_line(r"Press Ctrl\+C")
    if hang in ("name lookup", "tls handshake"):
        time.sleep(1.0)
        assert not b.agent.matching(
            "Agent connection error|Failed to create lws connection")
    started, mark = time.monotonic(), b.agent.mark()
    assert b.agent.stop() == 0
    took = time.monotonic() - started
    print(f"SIGTERM to exit ({hang}): {took:.3f} s")
    assert took < bound(1.5 if hang == "reconnect wait" else 9.5), b.agent.dump()
    assert hang != "reconnect wait" or not b.agent.matching(
        "Agent connection error|Trying to reconnect", mark)
    assert b.agent.lines("stdout")[-1].endswith("INFO: Goodbye!")
    for sock in held:
        sock.close()
