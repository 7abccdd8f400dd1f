"""The server link of the real binary inside the device sandbox, against the
reference service: TLS and the URL, the authentication, the outgoing queue, the
incoming messages, the stop and the hang rule.

The daemon itself queues nothing yet, so the queue is driven through
bench/link_driver: the same link modules, with a producer thread queueing on
command (over a FIFO in the sandbox).
"""

import datetime
import json
import random
import re
import shutil
import signal
import string
import subprocess
import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "sim" / "service"))

from service import ReferenceService  # noqa: E402

API_KEY = "7d3f2c1e-link-test-key"
DEV_ID = "0BADF00D1234ABCD-02524B000001"
AUTH_KEYS = {
    "type": "auth",
    "api_key": API_KEY,
    "device_id": DEV_ID,
    "model": "antminer-s9",
    "firmware_id": "norix-antminer-s9",
    "firmware_ver": "3.8.6.9",
}
RECONNECT = r"INFO: Trying to reconnect in (\d+)s$"
STAMP = re.compile(r"^A \[(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})\] ")
FIFO = "/tmp/link_driver.fifo"
FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"
SANITIZER = re.compile(r"runtime error:|ERROR: AddressSanitizer|"
                       r"ERROR: LeakSanitizer|WARNING: ThreadSanitizer")
# Every request type of the dispatch table; this build registers no handler
# for any of them.
REQUEST_TYPES = [
    "status", "reboot", "logs", "start_mining", "stop_mining",
    "config_network", "config_pools", "config_web_access", "config_fans",
    "config_watchdog", "config_perf", "config_autotuner", "config_chain",
    "chip_metrics", "update_firmware", "config", "update_config",
]


def letters(n, seed):
    """n random letters: text that compresses badly, so the deflated frame
    reaches the agent in many pieces."""
    rnd = random.Random(seed)
    return "".join(rnd.choice(string.ascii_letters) for _ in range(n))


def sized_message(type_, size, seed=1):
    """A JSON object of exactly size bytes with the given "type"."""
    head = f'{{"type": "{type_}", "pad": "'
    text = head + letters(size - len(head) - 2, seed) + '"}'
    assert len(text.encode()) == size
    return text


def stamp(line):
    """The time stamp of a log line (the agent's own clock)."""
    return datetime.datetime.strptime(STAMP.match(line).group(1),
                                      "%Y/%m/%d %H:%M:%S")


def lines_matching(agent, regex):
    pattern = re.compile(regex)
    return [line for line in agent.lines() if pattern.search(line)]


# Fixtures.

class Link:
    """One sandbox with its service (or none) and the program under test."""

    def __init__(self, sb, svc, agent):
        self.sb = sb
        self.svc = svc
        self.agent = agent

    def auth(self, timeout=10.0):
        return self.svc.wait_for_message("auth", timeout)

    def authenticated(self, timeout=10.0):
        self.auth(timeout)
        self.agent.wait_for_line(r"INFO: Agent successfully authenticated$",
                                 timeout)

    def reconnect_delay(self, start=0, timeout=10.0):
        delay = int(self.agent.wait_for_line(RECONNECT, timeout,
                                             start=start).group(1))
        assert 0 <= delay <= 59, self.agent.dump()
        return delay


@pytest.fixture
def start_link(sandbox_factory, agent_factory, certs, service_port):
    """start(auth="ok", cert="server", port=None, service=True, binary=None,
    args=(), env=None, device_path=None) -> Link.

    The service listens on the host and port of the build's URL (or port)
    inside the sandbox and presents certs[cert + "_cert"].
    """
    services = []
    links = []

    def start(auth="ok", cert="server", port=None, service=True,
              binary=None, args=(), env=None, device_path=None):
        sb = sandbox_factory()
        sb.write_text("/config/velmora.json",
                      json.dumps({"api_key": API_KEY, "dev_id": DEV_ID}))
        svc = None
        if service:
            svc = ReferenceService(port=port or service_port,
                                   certfile=certs[f"{cert}_cert"],
                                   keyfile=certs[f"{cert}_key"],
                                   netns=sb.netns_fd_path)
            svc.set_auth(auth)
            svc.start()
            services.append(svc)
        kw = {"device_path": device_path} if device_path else {}
        agent = agent_factory(sb, args=list(args), env=env, binary=binary,
                              **kw)
        links.append(Link(sb, svc, agent))
        return links[-1]

    yield start
    for svc in services:
        print(svc.describe())
        svc.stop()
    for link in links:
        reports = [line for line in link.agent.lines()
                   if SANITIZER.search(line)]
        assert not reports, link.agent.dump()


class Driver:
    """bench/link_driver in a sandbox, commanded through its FIFO."""

    def __init__(self, link):
        self.link = link
        self.agent = link.agent
        self.agent.wait_for_line(r"^driver: ready$")
        self._fifo = open(link.sb.path(FIFO), "w", buffering=1)

    def __call__(self, command, timeout=15.0):
        """Runs command; its answer line without the "driver: " prefix."""
        mark = self.agent.mark()
        self._fifo.write(command + "\n")
        return self.agent.wait_for_line(r"^driver: (.*)$", timeout,
                                        start=mark).group(1)

    def close(self):
        try:
            self._fifo.close()
        except OSError:
            pass


@pytest.fixture
def start_driver(start_link, build_dir):
    path = build_dir / "bench" / "link_driver"
    if not path.is_file():
        pytest.skip(f"{path} is not built")
    drivers = []

    def start(**kw):
        link = start_link(binary=path, args=[FIFO],
                          device_path="/usr/bin/link_driver", **kw)
        driver = Driver(link)
        drivers.append(driver)
        return link, driver

    yield start
    for driver in drivers:
        driver.close()


def faketime_env(speed):
    """The real binary with its clocks (wall and monotonic, and its waits)
    running speed times faster than the machine's."""
    if not Path(FAKETIME_LIB).is_file():
        pytest.skip("faketime is not installed (scripts/install-deps.sh)")
    return {"LD_PRELOAD": FAKETIME_LIB, "FAKETIME": f"+0 x{speed}",
            # a sanitizer build only needs its runtime loaded before ours
            "ASAN_OPTIONS": "verify_asan_link_order=0"}


@pytest.fixture(scope="session")
def port_build(build_dir, service_host):
    """rigkeep built once more with an explicit port in its service URL."""
    cache = build_dir / "CMakeCache.txt"
    if not cache.is_file():
        pytest.skip(f"{build_dir} is not configured")
    settings = {}
    for line in cache.read_text().splitlines():
        m = re.match(r"^(RIGKEEP_SANITIZE|CMAKE_BUILD_TYPE|RIGKEEP_WERROR)"
                     r":[A-Z]+=(.*)$", line)
        if m:
            settings[m.group(1)] = m.group(2)
    port = 8443
    url = f"wss://{service_host}:{port}/api/v1/ws"
    out = build_dir.with_name(build_dir.name + "-port8443")
    configure = ["cmake", "-S", str(Path(__file__).resolve().parents[2]),
                 "-B", str(out), "-DRIGKEEP_TESTS=OFF",
                 f"-DRIGKEEP_SERVICE_URL={url}"]
    configure += [f"-D{k}={v}" for k, v in settings.items()]
    for cmd in (configure, ["cmake", "--build", str(out), "-j2",
                            "--target", "rigkeep"]):
        r = subprocess.run(cmd, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True, timeout=1200)
        if r.returncode != 0:
            pytest.fail(f"{' '.join(cmd)} failed:\n{r.stdout[-4000:]}")
    binary = out / "rigkeep"
    assert (out / "service_url.txt").read_text().strip() == url
    return binary, port


# Connection and authentication.

def test_first_frame_is_auth_over_tls_to_the_url(start_link, service_host):
    link = start_link()
    first = link.svc.wait_for_message(None, 10)
    conn = link.svc.connections()[0]
    assert conn.path == "/api/v1/ws"
    assert conn.subprotocol == "velmora-agent"
    assert "permessage-deflate" in conn.extensions
    handshakes = link.svc.tls_handshakes()
    assert [h.ok for h in handshakes] == [True]
    assert handshakes[0].server_name == service_host
    assert first.is_text and first.obj == AUTH_KEYS, first.data
    assert list(first.obj) == list(AUTH_KEYS), "keys in this order"
    link.agent.wait_for_line(r"INFO: Agent successfully authenticated$")
    time.sleep(1.0)
    assert len(link.svc.messages()) == 1, link.svc.describe()
    assert len(link.svc.connections()) == 1


def test_explicit_port_in_the_url_is_used(start_link, port_build, certs):
    binary, port = port_build
    link = start_link(port=port, binary=binary)
    # A service on the default port must see nothing.
    decoy = ReferenceService(port=443, certfile=certs["server_cert"],
                             keyfile=certs["server_key"],
                             netns=link.sb.netns_fd_path).start()
    try:
        link.authenticated()
        assert link.svc.connections()[0].path == "/api/v1/ws"
        time.sleep(0.5)
        assert decoy.connections() == [] and decoy.tls_handshakes() == []
    finally:
        decoy.stop()


def test_expired_certificate_from_the_ca_is_accepted(start_link):
    link = start_link(cert="expired")
    link.authenticated()
    assert link.auth().obj == AUTH_KEYS


def test_certificate_from_another_ca_is_refused(start_link):
    link = start_link(cert="other")
    link.agent.wait_for_line(r"WARN: Agent connection error - ")
    link.reconnect_delay()
    link.svc.wait_for(lambda: link.svc.tls_handshakes(), 5, "a handshake")
    assert not any(h.ok for h in link.svc.tls_handshakes())
    assert link.svc.connections() == [] and link.svc.messages() == []
    assert link.agent.returncode is None


@pytest.mark.parametrize("answer, shown", [
    ("fail", "Invalid API key"),
    ({"type": "auth", "ok": 1, "message": "one is not true"},
     "one is not true"),
    ({"type": "auth", "ok": "true", "message": "a text is not true"},
     "a text is not true"),
    ({"type": "auth", "ok": None}, "(null)"),
], ids=["false", "one", "string", "null"])
def test_refused_authentication_closes_and_reconnects(start_link, answer,
                                                      shown):
    link = start_link(auth=answer)
    link.auth()
    link.agent.wait_for_line(
        r"INFO: Agent authentication failed - " + re.escape(shown) + "$")
    conn = link.svc.wait_for_close(10, link.svc.connections()[0])
    assert conn.closed_by in ("agent", "lost"), conn
    delay = link.reconnect_delay()
    assert not lines_matching(link.agent, "Agent successfully authenticated")
    if answer != "fail":
        return
    # The next attempt comes after the delay the agent announced, in real
    # time.
    second = link.svc.wait_for_connection(2, timeout=delay + 5)
    gap = second.opened_mono - conn.closed_mono
    assert delay - 1.0 <= gap <= delay + 1.5, (delay, gap)
    assert link.svc.wait_for_message("auth", start=1).conn_id == second.id


def test_unanswered_authentication_is_aborted_after_30_seconds(start_link):
    link = start_link(auth="none")
    auth = link.auth()
    conn = link.svc.wait_for_close(40, link.svc.connections()[0])
    elapsed = conn.closed_mono - auth.mono
    assert 29.5 <= elapsed <= 31.5, elapsed
    mark = link.agent.wait_for_line(
        r"WARN: Aborting agent connection on timeout$")
    assert mark
    link.reconnect_delay()
    assert link.agent.returncode is None


# The outgoing queue (through the link driver).

def test_queue_waits_for_the_accepted_authentication(start_driver):
    link, driver = start_driver(auth="none")
    assert driver("wait connected 10") == "connected yes"
    link.auth()
    # 1024 queued from another thread: 1023 wait, the last is dropped.
    assert driver("enqueue 1024") == "enqueued ok=1023 dropped=1 no_link=0"
    drops = lines_matching(
        link.agent,
        r"WARN: Dropping message, no free elements in out_msgs buffer$")
    assert len(drops) == 1, link.agent.dump()
    time.sleep(1.0)
    assert [m.type for m in link.svc.messages()] == ["auth"], \
        "nothing goes out before the authentication is accepted"

    link.svc.send({"type": "auth", "ok": True})
    link.svc.wait_for(lambda: len(link.svc.messages("probe")) >= 1023, 10,
                      "the queued messages")
    assert [m.obj["n"] for m in link.svc.messages("probe")] == \
        list(range(1023))
    # Once authenticated, new messages go straight out, in order.
    assert driver("enqueue 3") == "enqueued ok=3 dropped=0 no_link=0"
    link.svc.wait_for(lambda: len(link.svc.messages("probe")) >= 1026, 5,
                      "three more")
    assert [m.obj["n"] for m in link.svc.messages("probe")[1023:]] == [0, 1, 2]
    assert len(link.svc.connections()) == 1


def test_messages_queued_before_a_refusal_are_never_sent(start_driver):
    link, driver = start_driver(auth="none")
    assert driver("wait connected 10") == "connected yes"
    link.auth()
    assert driver("enqueue 5") == "enqueued ok=5 dropped=0 no_link=0"
    link.svc.send({"type": "auth", "ok": False, "message": "Device disabled"})
    conn = link.svc.wait_for_close(10, link.svc.connections()[0])
    link.agent.wait_for_line(
        r"INFO: Agent authentication failed - Device disabled$")
    assert driver("wait disconnected 5") == "disconnected yes"
    assert [m.type for m in conn.received] == ["auth"]
    # Without a connection the queue refuses at once and lets go of the
    # message.
    assert driver("held") == "held rc=-2 refcount=1"


def test_without_a_connection_enqueue_returns_minus_2(start_driver):
    link, driver = start_driver(service=False)
    link.reconnect_delay()
    assert driver("enqueue 3") == "enqueued ok=0 dropped=0 no_link=3"
    assert driver("held") == "held rc=-2 refcount=1"
    assert not lines_matching(link.agent, "Dropping message")


# Incoming messages.

def test_incoming_messages_that_keep_the_link(start_link):
    link = start_link()
    link.authenticated()
    svc, agent = link.svc, link.agent

    def expect(send, line, count=1):
        mark = agent.mark()
        send()
        agent.wait_for_line(line, start=mark)
        time.sleep(0.2)
        seen = [l for l in agent.lines()[mark:] if re.search(line, l)]
        assert len(seen) == count, agent.dump()

    unknown = r"WARN: Unknown message received: {}$"
    too_big = (r"ERROR: Unable to compose the incomming message, "
               r"buffer too small$")
    # Several frames of one message, decoded once.
    expect(lambda: svc.send_fragments(
        ['{"type": "frag', 'mented", "pad": "', letters(9000, 2), '"}']),
        unknown.format("fragmented"))
    # The largest message that fits, in one frame and in fragments.
    big = sized_message("fits16383", 16383, seed=3)
    expect(lambda: svc.send_raw(big), unknown.format("fits16383"))
    expect(lambda: svc.send_fragments([big[:8191], big[8191:]]),
           unknown.format("fits16383"))
    # One byte more is dropped with one error line; the next one is decoded.
    for parts in ([sized_message("over", 16384, seed=4)],
                  [sized_message("over", 16384, seed=5)[:8192],
                   sized_message("over", 16384, seed=5)[8192:]]):
        expect(lambda: svc.send_fragments(parts), too_big)
        expect(lambda: svc.send({"type": "after_big"}),
               unknown.format("after_big"))
    assert not lines_matching(agent, r"Unknown message received: over")
    # Error notices are only logged.
    expect(lambda: svc.send({"ok": False, "message": "Quota exceeded"}),
           r"WARN: Error message received - Quota exceeded$")
    expect(lambda: svc.send({"ok": True}),
           r"WARN: Error message received - \(null\)$")
    expect(lambda: svc.send({"type": 12, "ok": False,
                             "message": "numeric type"}),
           r"WARN: Error message received - numeric type$")
    expect(lambda: svc.send({"type": "Reboot"}), unknown.format("Reboot"))

    # Known requests without a handler in this build get no answer at all,
    # and nothing is run for them.
    mark = agent.mark()
    for type_ in REQUEST_TYPES:
        svc.send({"type": type_, "request_id": "r1"})
    expect(lambda: svc.send({"type": "sync"}), unknown.format("sync"))
    assert not [l for l in agent.lines()[mark:]
                if "Unknown message received" in l and "sync" not in l]
    time.sleep(0.5)

    assert [m.type for m in svc.messages()] == ["auth"], svc.describe()
    assert len(svc.connections()) == 1 and not svc.connections()[0].closed
    assert link.sb.calls() == [], "no device command ran"
    assert agent.returncode is None


@pytest.mark.parametrize("frame, line", [
    ("not json", r"WARN: Failed to decode msg - "),
    (b'{"type": "\xe2\x82"}', r"WARN: Failed to decode msg - "),
    (bytes(random.Random(7).randrange(256) for _ in range(600)),
     r"WARN: Failed to decode msg - "),
    ("[1, 2, 3]", r"WARN: Root element must be an object$"),
    ('{"hello": "world"}',
     r'WARN: Malformed message received: \{"hello": "world"\}$'),
    ('{"type": 42}', r'WARN: Malformed message received: \{"type": 42\}$'),
    ('{"type": ["reboot"]}',
     r'WARN: Malformed message received: \{"type": \["reboot"\]\}$'),
], ids=["not-json", "truncated-utf8", "random-bytes", "array", "no-type",
        "number-type", "array-type"])
def test_incoming_messages_that_close_the_link(start_link, frame, line):
    link = start_link()
    link.authenticated()
    mark = link.agent.mark()
    link.svc.send_raw(frame)
    link.agent.wait_for_line(line, start=mark)
    conn = link.svc.wait_for_close(10, link.svc.connections()[0])
    assert conn.closed_by in ("agent", "lost"), conn
    link.reconnect_delay(start=mark)
    assert [m.type for m in link.svc.messages()] == ["auth"]
    assert link.agent.returncode is None


def test_silent_service_is_dropped_by_the_idle_ping(start_link):
    # Clock ten times faster: the 20 s idle ping and 80 s hang-up take
    # seconds.
    link = start_link(env=faketime_env(10))
    link.authenticated()
    time.sleep(3)  # some pings answered: the link stays
    assert len(link.svc.connections()) == 1
    assert not lines_matching(link.agent, RECONNECT)
    mark = link.agent.mark()
    link.svc.stall()
    stalled = time.monotonic()
    link.reconnect_delay(start=mark, timeout=20)
    agent_seconds = (time.monotonic() - stalled) * 10
    assert 55 <= agent_seconds <= 95, agent_seconds
    link.svc.resume()


# Stopping.

def test_stop_while_connected_closes_with_1000(start_link):
    link = start_link()
    link.authenticated()
    started = time.monotonic()
    rc = link.agent.stop()
    assert rc == 0
    assert time.monotonic() - started < 10
    conn = link.svc.wait_for_close(5, link.svc.connections()[0])
    assert (conn.close_code, conn.closed_by) == (1000, "agent"), conn
    out = link.agent.lines("stdout")
    assert out[-1].endswith("INFO: Goodbye!"), link.agent.dump()
    assert lines_matching(link.agent, r"INFO: Stopping rigkeep$")
    assert not lines_matching(link.agent, RECONNECT)
    assert len(link.svc.connections()) == 1


def test_stop_while_the_service_stalls_still_ends_in_time(start_link):
    link = start_link()
    link.authenticated()
    link.svc.stall()
    started = time.monotonic()
    assert link.agent.stop() == 0
    assert time.monotonic() - started < 10, link.agent.dump()
    link.svc.resume()
    conn = link.svc.wait_for_close(5, link.svc.connections()[0])
    assert conn.close_code == 1000, conn


def test_stop_drops_what_is_still_queued(start_driver):
    link, driver = start_driver(auth="none")
    assert driver("wait connected 10") == "connected yes"
    link.auth()
    assert driver("enqueue 5") == "enqueued ok=5 dropped=0 no_link=0"
    assert driver("stop") == "stopped"
    conn = link.svc.wait_for_close(5, link.svc.connections()[0])
    assert (conn.close_code, conn.closed_by) == (1000, "agent"), conn
    assert [m.type for m in conn.received] == ["auth"]


def test_stop_while_waiting_to_reconnect_ends_at_once(start_link):
    link = start_link(service=False)
    link.reconnect_delay()
    mark = link.agent.mark()
    started = time.monotonic()
    assert link.agent.stop() == 0
    assert time.monotonic() - started < 2.0, link.agent.dump()
    after = link.agent.lines()[mark:]
    assert not [l for l in after if "Agent connection error" in l
                or "Trying to reconnect" in l], link.agent.dump()
    assert link.agent.lines("stdout")[-1].endswith("INFO: Goodbye!")


# The hang rule, with the binary's clocks accelerated 60 times (600 s of its
# time pass in 10 s).

def test_hang_rule_without_any_link(start_link):
    link = start_link(service=False, env=faketime_env(60))
    started = time.monotonic()
    assert link.agent.wait(40) == 1, link.agent.dump()
    real = time.monotonic() - started
    lines = link.agent.lines()
    hang = [l for l in lines if "Agent connection hands" in l]
    assert len(hang) == 1 and hang[0].startswith("A [") and \
        hang[0].endswith("ERROR: Agent connection hands, restarting"), \
        link.agent.dump()
    assert link.agent.lines("stdout")[-1].endswith("INFO: Goodbye!")
    # Reconnect attempts went on until then.
    assert len(lines_matching(link.agent, RECONNECT)) >= 5
    agent_time = (stamp(hang[0]) - stamp(lines[0])).total_seconds()
    assert 600 <= agent_time <= 604, agent_time
    assert real < 600 / 60 * 2, real


def test_hang_rule_counts_from_the_last_established_pass(start_link):
    link = start_link(env=faketime_env(60))
    link.authenticated()
    # Connected well past 600 s of the agent's time: no exit.
    time.sleep(12)
    assert link.agent.returncode is None, link.agent.dump()
    assert len(link.svc.connections()) == 1
    link.svc.refuse_connections()
    mark = link.agent.mark()
    link.svc.drop()
    lost = link.agent.wait_for_line(RECONNECT, start=mark).string
    assert link.agent.wait(40) == 1, link.agent.dump()
    lines = link.agent.lines()
    hang = [l for l in lines if "Agent connection hands, restarting" in l]
    assert len(hang) == 1, link.agent.dump()
    down = (stamp(hang[0]) - stamp(lost)).total_seconds()
    assert 598 <= down <= 604, down
    assert (stamp(hang[0]) - stamp(lines[0])).total_seconds() >= 1300
