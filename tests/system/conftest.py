"""Shared harness of the system tests: the device sandbox, certificates, and
a driver for the real rigkeep binary running inside a sandbox.

rigkeep is only ever started through `AgentProcess`, inside a sandbox: it
reboots, kills processes and rewrites /config.
"""

import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
import urllib.parse
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO_ROOT / "sim" / "sandbox"))
sys.path.insert(0, str(REPO_ROOT / "sim" / "service"))

import sandbox as sandbox_mod  # noqa: E402
from sandbox import Sandbox, enter_netns, make_certs  # noqa: E402,F401
from service import ReferenceService  # noqa: E402

DEFAULT_SERVICE_URL = "wss://api.velmora.example/api/v1/ws"
SYSTEM_DIR = Path(__file__).resolve().parent
DEV_ID = "0BADF00D1234ABCD-02524B000001"
AUTHENTICATED = r"INFO: Agent successfully authenticated$"
SANITIZER = re.compile(r"runtime error:|ERROR: AddressSanitizer|"
                       r"ERROR: LeakSanitizer|WARNING: ThreadSanitizer")


def agent_file(api_key="test-key", dev_id=DEV_ID):
    """Text of a complete /config/velmora.json."""
    return json.dumps({"api_key": api_key, "dev_id": dev_id})


def pytest_collection_modifyitems(config, items):
    here = [item for item in items
            if SYSTEM_DIR in Path(str(item.path)).resolve().parents]
    if not here:
        return
    reason = sandbox_mod.unavailable_reason()
    if reason:
        config._rigkeep_skip = (len(here), reason)
        skip = pytest.mark.skip(reason=f"system tests need the device "
                                       f"sandbox: {reason}")
        for item in here:
            item.add_marker(skip)


def pytest_terminal_summary(terminalreporter, exitstatus, config):
    skipped = getattr(config, "_rigkeep_skip", None)
    if skipped:
        terminalreporter.write_line(
            f"SKIPPED {skipped[0]} system tests: {skipped[1]}", yellow=True)


# Paths and the service address.

@pytest.fixture(scope="session")
def build_dir():
    return Path(os.environ.get("RIGKEEP_BUILD_DIR") or REPO_ROOT / "build")


@pytest.fixture(scope="session")
def rigkeep_bin(build_dir):
    return built(build_dir, "rigkeep")


def built(build_dir, *parts):
    """The built program at build_dir/parts; the test is skipped without it."""
    path = build_dir.joinpath(*parts)
    if not path.is_file():
        pytest.skip(f"{path} is not built (run make build)")
    return path


# How much slower a sanitizer build runs: timing bounds of the tests are
# stretched by this factor instead of being skipped.
SLOWDOWN = {"thread": 4.0, "address": 2.0, "undefined": 1.5}


def sanitizers(build_dir):
    """The sanitizers the build in build_dir was made with."""
    try:
        with open(build_dir / "CMakeCache.txt") as f:
            for line in f:
                if line.startswith("RIGKEEP_SANITIZE:"):
                    return [s for s in line.split("=", 1)[1].strip()
                            .split(",") if s]
    except OSError:
        pass
    return []


@pytest.fixture(scope="session")
def time_scale(build_dir):
    return max([1.0] + [SLOWDOWN.get(s, 2.0) for s in sanitizers(build_dir)])


@pytest.fixture(scope="session")
def service_url(build_dir):
    try:
        with open(build_dir / "service_url.txt") as f:
            url = f.readline().strip()
    except OSError:
        url = ""
    return url or DEFAULT_SERVICE_URL


@pytest.fixture(scope="session")
def service_host(service_url):
    return urllib.parse.urlsplit(service_url).hostname


@pytest.fixture(scope="session")
def service_port(service_url):
    parts = urllib.parse.urlsplit(service_url)
    return parts.port or (443 if parts.scheme in ("wss", "https") else 80)


@pytest.fixture(scope="session")
def certs(tmp_path_factory, service_host):
    return make_certs(tmp_path_factory.mktemp("certs"), service_host)


# Sandboxes.

@pytest.fixture
def sandbox_factory(service_host, certs):
    """make(**Sandbox options, start=True) -> a Sandbox closed at teardown.

    Defaults: the service host of the build and the session's test CA.
    system_ca may name one of the session's certificates ("other_ca_cert").
    """
    made = []

    def make(start=True, **kw):
        kw.setdefault("service_host", service_host)
        kw.setdefault("ca_file", certs["ca_cert"])
        if kw.get("system_ca") in certs:
            kw["system_ca"] = certs[kw["system_ca"]]
        sb = Sandbox(**kw)
        made.append(sb)
        if start:
            sb.start()
        return sb

    yield make
    for sb in reversed(made):
        sb.close()


@pytest.fixture
def service_factory(certs, service_port):
    """start(sb, cert="server", port=None) -> the reference service, started
    in sb's network; its record is printed and it is stopped at teardown."""
    started = []

    def start(sb, cert="server", port=None):
        svc = ReferenceService(port=port or service_port,
                               certfile=certs[f"{cert}_cert"],
                               keyfile=certs[f"{cert}_key"],
                               netns=sb.netns_fd_path)
        started.append(svc.start())
        return svc

    yield start
    for svc in started:
        print(svc.describe())
        svc.stop()


# The agent under test.

class AgentProcess:
    """rigkeep (or any program) running inside a sandbox, its output
    collected line by line with arrival times (time.monotonic())."""

    DEVICE_PATH = "/usr/bin/rigkeep"

    def __init__(self, sandbox, binary, args=(), env=None,
                 device_path=DEVICE_PATH, stdin=subprocess.DEVNULL):
        self.sandbox = sandbox
        with open(binary, "rb") as f:
            sandbox.install(device_path, f.read(), 0o755)
        self.argv = [device_path, *args]
        self._cond = threading.Condition()
        self._records = []  # (time, stream, text)
        self.started_at = time.monotonic()
        self.proc = sandbox.spawn(self.argv, env=env, stdin=stdin)
        self._readers = [
            threading.Thread(target=self._read, args=(stream, name),
                             name=f"agent-{name}", daemon=True)
            for stream, name in ((self.proc.stdout, "stdout"),
                                 (self.proc.stderr, "stderr"))]
        for t in self._readers:
            t.start()

    @property
    def pid(self):
        """Host pid (signals go straight to the program)."""
        return self.proc.pid

    @property
    def sandbox_pid(self):
        return self.proc.sandbox_pid

    @property
    def returncode(self):
        return self.proc.poll()

    def _read(self, stream, name):
        try:
            for raw in iter(stream.readline, b""):
                text = raw.decode(errors="replace").rstrip("\n")
                with self._cond:
                    self._records.append((time.monotonic(), name, text))
                    self._cond.notify_all()
        except (OSError, ValueError):
            pass
        finally:
            with self._cond:
                self._cond.notify_all()

    def records(self, stream="any"):
        """[(time, stream, line)] in arrival order."""
        with self._cond:
            return [r for r in self._records
                    if stream == "any" or r[1] == stream]

    def lines(self, stream="any"):
        return [r[2] for r in self.records(stream)]

    def matching(self, regex, start=0):
        """The lines from the start-th on that match regex."""
        pattern = re.compile(regex)
        return [line for line in self.lines()[start:] if pattern.search(line)]

    def mark(self):
        """Position for wait_for_line(start=...): only later lines count."""
        with self._cond:
            return len(self._records)

    def dump(self):
        out = [f"--- {' '.join(self.argv)} "
               f"(exit status {self.proc.poll()}) ---"]
        for t, stream, text in self.records():
            out.append(f"{t - self.started_at:8.3f} {stream[3:]}: {text}")
        return "\n".join(out)

    def wait_for_line(self, regex, timeout=10.0, stream="any", start=0):
        """The re.Match of the first line at or after `start` matching
        regex; fails the test with both streams printed after timeout."""
        pattern = re.compile(regex)
        deadline = time.monotonic() + timeout
        with self._cond:
            index = start
            while True:
                while index < len(self._records):
                    _, name, text = self._records[index]
                    index += 1
                    if stream in ("any", name):
                        m = pattern.search(text)
                        if m:
                            return m
                left = deadline - time.monotonic()
                readers_done = not any(t.is_alive() for t in self._readers)
                if left <= 0 or readers_done:
                    break
                self._cond.wait(min(left, 0.2))
        pytest.fail(f"no line matching {regex!r} on {stream} within "
                    f"{timeout} s\n{self.dump()}", pytrace=False)

    def signal(self, sig):
        self.proc.send_signal(sig)

    def wait(self, timeout=15.0):
        """The exit status (negative: killed by that signal)."""
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            pytest.fail(f"{self.argv[0]} still running after {timeout} s\n"
                        f"{self.dump()}", pytrace=False)
        for t in self._readers:
            t.join(5)
        return rc

    def stop(self, timeout=15.0):
        """SIGTERM and wait; the exit status."""
        if self.proc.poll() is None:
            self.signal(signal.SIGTERM)
        return self.wait(timeout)

    def kill(self):
        if self.proc.poll() is None:
            try:
                self.proc.kill()
            except ProcessLookupError:
                pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            pass
        for t in self._readers:
            t.join(5)


@pytest.fixture
def agent_factory(rigkeep_bin):
    """start(sandbox, args=(), env=None, binary=None) -> AgentProcess.

    Every program started here is killed at teardown and everything it
    wrote is printed (pytest shows it when the test failed); a sanitizer
    report in it fails the test.
    """
    started = []

    def start(sandbox, args=(), env=None, binary=None, **kw):
        agent = AgentProcess(sandbox, binary or rigkeep_bin, args, env, **kw)
        started.append(agent)
        return agent

    yield start
    for agent in started:
        agent.kill()
        print(agent.dump())
    for agent in started:
        assert not agent.matching(SANITIZER.pattern), agent.dump()


def fill_config(sb):
    """Fills the sandbox's /config (a small tmpfs) to the last byte."""
    fd = os.open(sb.path("/config/filler"), os.O_WRONLY | os.O_CREAT, 0o644)
    try:
        while os.write(fd, b"\0" * 512):
            pass
    except OSError:
        pass
    finally:
        os.close(fd)
