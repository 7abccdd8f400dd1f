"""The server link of the real binary inside the device sandbox, against the
reference service. The daemon itself queues nothing yet, so the queue is
driven through bench/link_driver: the same link modules, with a producer
thread queueing on command (over a FIFO in the sandbox)."""

import os
import random
import re
import socket
import string
import threading
import time
from pathlib import Path

import pytest

from conftest import AUTHENTICATED, DEV_ID, agent_file, built
from sandbox import enter_netns

API_KEY = "7d3f2c1e-link-test-key"
AUTH_KEYS = {"type": "auth", "api_key": API_KEY, "device_id": DEV_ID,
             "model": "antminer-s9", "firmware_id": "norix-antminer-s9",
             "firmware_ver": "3.8.6.9"}
RECONNECT = r"INFO: Trying to reconnect in (\d+)s$"
FIFO = "/tmp/link_driver.fifo"
FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"


def sized_message(type_, size, seed):
    """size bytes of JSON that deflate badly: the frame comes in pieces."""
    head = f'{{"type": "{type_}", "pad": "'
    pad = random.Random(seed).choices(string.ascii_letters,
                                      k=size - len(head) - 2)
    return head + "".join(pad) + '"}'


class Link:
    """A sandbox, its service (or None), the program and the driver's FIFO."""

    def __init__(self, sb, svc, agent):
        self.sb, self.svc, self.agent, self.fifo = sb, svc, agent, None

    def authenticated(self):
        self.svc.wait_for_message("auth", 10)
        self.agent.wait_for_line(AUTHENTICATED)

    def reconnect_delay(self, start=0, timeout=10.0):
        return int(self.agent.wait_for_line(RECONNECT, timeout, start=start)[1])

    def closed(self):
        return self.svc.wait_for_close(10, self.svc.connections()[0])

    def driver(self, command, timeout=15.0):
        """The driver's answer to command, without the "driver: " prefix."""
        mark = self.agent.mark()
        self.fifo.write(command + "\n")
        return self.agent.wait_for_line(r"^driver: (.*)$", timeout,
                                        start=mark)[1]


@pytest.fixture
def start_link(sandbox_factory, service_factory, agent_factory):
    links = []

    def start(auth="ok", cert="server", port=None, service=True,
              sandbox_opts=None, prepare=None, args=(), **kw):
        sb = sandbox_factory(**(sandbox_opts or {}))
        if prepare:
            prepare(sb)
        sb.write_text("/config/velmora.json", agent_file(API_KEY))
        svc = service_factory(sb, cert, port) if service else None
        if svc:
            svc.set_auth(auth)
        links.append(Link(sb, svc, agent_factory(sb, list(args), **kw)))
        return links[-1]

    yield start
    for link in links:
        try:
            link.fifo and link.fifo.close()
        except OSError:
            pass


@pytest.fixture
def start_driver(start_link, build_dir):
    """start(url=None, **start_link options) -> Link to bench/link_driver."""
    path = built(build_dir, "bench", "link_driver")

    def start(url=None, **kw):
        link = start_link(binary=path, args=(["-u", url] if url else []) +
                          [FIFO], device_path="/usr/bin/link_driver", **kw)
        link.agent.wait_for_line(r"^driver: ready$")
        link.fifo = open(link.sb.path(FIFO), "w", buffering=1)
        return link
    return start


def queued_before_auth(start_driver, count):
    """A driver's link waiting for the authentication reply, with count
    messages queued from the driver's producer thread."""
    link = start_driver(auth="none")
    assert link.driver("wait connected 10") == "connected yes"
    link.svc.wait_for_message("auth", 10)
    ok = min(count, 1023)
    assert link.driver(f"enqueue {count}") == \
        f"enqueued ok={ok} dropped={count - ok} no_link=0"
    return link


def sandbox_socket(sb, kind, address):
    """A socket bound to address in the sandbox's network (a listening one
    for TCP)."""
    made = []

    def make():  # setns moves only the calling thread
        enter_netns(sb.netns_fd_path)
        sock = socket.socket(socket.AF_INET, kind)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        if kind == socket.SOCK_STREAM:
            sock.listen(4)
        sock.settimeout(10)
        made.append(sock)

    t = threading.Thread(target=make)
    t.start()
    t.join()
    assert made, "could not bind in the sandbox"
    return made[0]


def open_descriptors(pid):
    """What pid's descriptors point to, inode numbers left out, sorted; read
    until two reads 0.1 s apart agree, so that a socket of a passing miner
    API call does not count."""
    def read():
        fd_dir, found = f"/proc/{pid}/fd", []
        for name in os.listdir(fd_dir):
            try:
                found.append(re.sub(r"\[\d+\]", "",
                                    os.readlink(f"{fd_dir}/{name}")))
            except FileNotFoundError:  # closed meanwhile
                pass
        return sorted(found)
    last = read()
    for _ in range(50):
        time.sleep(0.1)
        now = read()
        if now == last:
            break
        last = now
    return last


def exchange_only(svc):
    """Nothing came but the authentication and the configuration exchange
    after it (status reports, then the "config" request)."""
    types = [m.type for m in svc.messages()]
    return types[0] == "auth" and types[-1] == "config" and \
        set(types[1:-1]) == {"status"}


def faketime_env(speed):
    """The binary's clocks and waits running speed times faster."""
    if os.environ.get("RIGKEEP_EMULATOR"):
        # libfaketime:armhf shortens the waits there but leaves clock_gettime
        # at real speed, so the daemon's own clock would disagree with them.
        pytest.skip("no accelerated clock for an emulated build")
    if not Path(FAKETIME_LIB).is_file():
        pytest.skip("faketime is not installed (scripts/install-deps.sh)")
    return {"LD_PRELOAD": FAKETIME_LIB, "FAKETIME": f"+0 x{speed}",
            "ASAN_OPTIONS": "verify_asan_link_order=0"}


# Connection and authentication.

def test_first_frame_is_auth_over_tls_to_the_url(start_link, service_host):
    link = start_link()
    first = link.svc.wait_for_message(None, 10)
    conn = link.svc.connections()[0]
    assert (conn.path, conn.subprotocol) == ("/api/v1/ws", "velmora-agent")
    assert "permessage-deflate" in conn.extensions
    assert [(h.ok, h.server_name) for h in link.svc.tls_handshakes()] == \
        [(True, service_host)]
    assert first.is_text and first.obj == AUTH_KEYS, first.data
    assert list(first.obj) == list(AUTH_KEYS), "keys in this order"
    link.agent.wait_for_line(AUTHENTICATED)
    link.svc.wait_for_message("config", 5)
    time.sleep(0.5)
    assert exchange_only(link.svc) and len(link.svc.connections()) == 1


def test_explicit_port_in_the_url_is_used(start_driver, service_host):
    # Nothing listens on the scheme's own port.
    link = start_driver(url=f"wss://{service_host}:8443/api/v1/ws",
                        port=8443)
    link.authenticated()


# The connection goes to the looked-up address, but the certificate is still
# checked against the URL's host name: "localhost" reaches the same service,
# whose certificate is not for that name.
@pytest.mark.parametrize("cert, host, accepted", [("expired", None, True),
                                                  ("server", "localhost",
                                                   False)])
def test_certificate_must_come_from_the_ca_but_may_be_expired(
        start_link, start_driver, service_host, service_port, cert, host,
        accepted):
    if host:
        link = start_driver(url=f"wss://{host}:{service_port}/api/v1/ws",
                            cert=cert)
    else:
        link = start_link(cert=cert)
    if accepted:
        link.authenticated()
        return
    link.agent.wait_for_line(r"WARN: Agent connection error - ")
    link.reconnect_delay()
    link.svc.wait_for(link.svc.tls_handshakes, 5, "a handshake")
    assert [(bool(h.ok), h.server_name) for h in link.svc.tls_handshakes()] \
        == [(False, host or service_host)], link.svc.describe()
    assert link.svc.connections() == [] and link.svc.messages() == []


def test_refused_authentication_reconnects_after_the_announced_delay(
        start_link):
    # Clocks ten times faster: the wait of 0 to 59 s takes at most 6 s.
    speed = 10
    link = start_link(auth="fail", env=faketime_env(speed))
    link.svc.wait_for_message("auth", 10)
    link.agent.wait_for_line(
        r"INFO: Agent authentication failed - Invalid API key$")
    conn = link.closed()
    delay = link.reconnect_delay()
    second = link.svc.wait_for_connection(2, timeout=delay / speed + 15)
    gap = second.opened_mono - conn.closed_mono
    # Never early; late by at most what a loaded machine takes to connect.
    assert (delay - 1) / speed <= gap <= delay / speed + 3, (delay, gap)
    assert link.svc.wait_for_message("auth", start=1).conn_id == second.id


def test_unanswered_authentication_is_aborted_after_30_seconds(start_link):
    link = start_link(auth="none")
    auth = link.svc.wait_for_message("auth", 10)
    conn = link.svc.wait_for_close(40, link.svc.connections()[0])
    # The timer is checked on service passes, at least one a second.
    assert 29.5 <= conn.closed_mono - auth.mono <= 33
    link.agent.wait_for_line(r"WARN: Aborting agent connection on timeout$")
    link.reconnect_delay()


# The outgoing queue (through the link driver).

def test_queue_waits_for_the_accepted_authentication(start_driver):
    link = queued_before_auth(start_driver, 1024)
    assert len(link.agent.matching(
        r"WARN: Dropping message, no free elements in out_msgs buffer$")) == 1
    time.sleep(1.0)
    assert [m.type for m in link.svc.messages()] == ["auth"]

    link.svc.send({"type": "auth", "ok": True})
    link.svc.wait_for(lambda: len(link.svc.messages("probe")) >= 1023, 10,
                      "the queued messages")
    assert link.driver("enqueue 3") == "enqueued ok=3 dropped=0 no_link=0"
    link.svc.wait_for(lambda: len(link.svc.messages("probe")) >= 1026, 5,
                      "three more")
    assert [m.obj["n"] for m in link.svc.messages("probe")] == \
        list(range(1023)) + [0, 1, 2]
    assert len(link.svc.connections()) == 1


def test_messages_queued_before_a_refusal_are_never_sent(start_driver):
    link = queued_before_auth(start_driver, 5)
    link.svc.send({"type": "auth", "ok": False, "message": "Device disabled"})
    conn = link.closed()
    link.agent.wait_for_line(
        r"INFO: Agent authentication failed - Device disabled$")
    assert link.driver("wait disconnected 5") == "disconnected yes"
    assert [m.type for m in conn.received] == ["auth"]
    # Without a connection the queue refuses at once and lets go.
    assert link.driver("enqueue 3") == "enqueued ok=0 dropped=0 no_link=3"
    assert link.driver("held") == "held rc=-2 refcount=1"


# Incoming messages.

def test_incoming_messages_that_keep_the_link(start_link):
    link = start_link()
    link.authenticated()
    svc, agent = link.svc, link.agent
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
    for type_ in ("sync",):
        svc.send({"type": type_, "request_id": "r1"})
    agent.wait_for_line(unknown.format("sync"), start=mark)
    time.sleep(0.5)
    assert agent.matching("Unknown message received", mark) == \
        agent.matching("Unknown message received: sync$", mark)
    assert exchange_only(svc), svc.describe()
    assert not svc.connections()[0].closed and link.sb.calls() == []


def test_bad_frames_close_or_keep_the_link_and_never_crash(start_link):
    # Clock twenty times faster, so each reconnect (0 to 59 s) takes seconds.
    link = start_link(env=faketime_env(20))
    svc, agent = link.svc, link.agent
    # Which input closes or is only logged is the unit tests' table; here the
    # frames go through the library: a cut UTF-8 character and random bytes
    # in text frames.
    closing = [b'{"type": "\xe2\x82"}',
               bytes(random.Random(9).randrange(256) for _ in range(300))]
    link.authenticated()
    for n, frame in enumerate(closing, start=2):
        mark = agent.mark()
        svc.send_raw(frame)
        agent.wait_for_line(r"WARN: Failed to decode msg - ", start=mark)
        svc.wait_for_close(10, svc.connections()[-1])
        svc.wait_for_connection(n, 15)
        svc.wait_for_message("auth", 15, conn=svc.connections()[-1])
    assert agent.returncode is None, agent.dump()


# Stopping.

def test_stop_while_the_service_stalls_closes_with_1000_in_time(start_link):
    link = start_link()
    link.authenticated()
    link.svc.stall()
    started = time.monotonic()
    assert link.agent.stop() == 0
    assert time.monotonic() - started < 10, link.agent.dump()
    link.svc.resume()
    conn = link.closed()
    assert (conn.close_code, conn.closed_by) == (1000, "agent"), conn
    assert link.agent.lines("stdout")[-1].endswith("INFO: Goodbye!")
    assert not link.agent.matching(RECONNECT)


def test_stop_while_waiting_to_reconnect_ends_at_once(start_link):
    link = start_link(service=False)
    link.reconnect_delay()
    mark = link.agent.mark()
    started = time.monotonic()
    assert link.agent.stop() == 0
    assert time.monotonic() - started < 2.0, link.agent.dump()
    assert not link.agent.matching(
        "Agent connection error|Trying to reconnect", mark)
    assert link.agent.lines("stdout")[-1].endswith("INFO: Goodbye!")


# A name server that reads queries and never answers (the service's name is
# not in /etc/hosts), and a service that accepts the connection but never
# answers the TLS hello: a stop still ends the process at once. A name that
# does not resolve is a failed attempt like any other.
@pytest.mark.parametrize("hang", ["name lookup", "tls handshake",
                                  "no such name"])
def test_stop_while_the_connection_attempt_hangs_ends_in_time(
        start_link, service_port, hang):
    held = []
    if hang == "no such name":  # the name servers refuse at once
        link = start_link(service=False, sandbox_opts={"service_host": ""})
        link.agent.wait_for_line(r"ERROR: Failed to create lws connection$")
        link.reconnect_delay()
    elif hang == "name lookup":
        opts = {"service_host": "", "files": {"/etc/resolv.conf":
                "nameserver 192.0.2.53\noptions timeout:30 attempts:1\n"}}
        link = start_link(service=False, sandbox_opts=opts, prepare=lambda sb:
                          held.append(sandbox_socket(sb, socket.SOCK_DGRAM,
                                                     ("192.0.2.53", 53))))
        held[0].recv(512)  # the query, never answered
    else:
        link = start_link(service=False, prepare=lambda sb: held.append(
            sandbox_socket(sb, socket.SOCK_STREAM, ("127.0.0.1",
                                                    service_port))))
        conn, _ = held[0].accept()
        held.append(conn)
        assert conn.recv(512)[:1] == b"\x16", "a TLS hello, never answered"
    link.agent.wait_for_line(r"Press Ctrl\+C")
    if hang != "no such name":
        time.sleep(1.0)
        assert not link.agent.matching(
            "Agent connection error|Failed to create lws connection")
    started = time.monotonic()
    assert link.agent.stop() == 0
    took = time.monotonic() - started
    print(f"SIGTERM to exit ({hang}): {took:.3f} s")
    assert took < 10, link.agent.dump()
    assert link.agent.lines("stdout")[-1].endswith("INFO: Goodbye!")
    for sock in held:
        sock.close()
