"""A simulated control board: the device sandbox with its files, the
reference service in the sandbox's network, and programs running inside it
(rigkeep, or a tool that reads one command a line on its standard input and
answers with "> word ..." lines), their output collected line by line.

Used by the system tests, the demo and the bench drivers. rigkeep is only
ever started here, inside a sandbox: it reboots, kills processes and
rewrites /config.
"""

import errno
import glob
import io
import random
import string
import tarfile
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.parse
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO_ROOT = HERE.parent
for _sub in ("sandbox", "service"):
    if str(HERE / _sub) not in sys.path:
        sys.path.insert(0, str(HERE / _sub))

import sandbox as sandbox_mod  # noqa: E402
from files import FileServer  # noqa: E402,F401
from sandbox import Sandbox, enter_netns, make_certs  # noqa: E402,F401
from service import ReferenceService  # noqa: E402

DEFAULT_SERVICE_URL = "wss://api.velmora.example/api/v1/ws"
DEV_ID = "0BADF00D1234ABCD-02524B000001"
AUTHENTICATED = r"INFO: Agent successfully authenticated$"
RECONNECT = r"INFO: Trying to reconnect in (\d+)s$"
GOODBYE = "INFO: Goodbye!"
SANITIZER = re.compile(r"runtime error:|ERROR: AddressSanitizer|"
                       r"ERROR: LeakSanitizer|WARNING: ThreadSanitizer")
MINER_ARGS = ["--fixed-freq", "--no-pre-heat", "--version-file",
              "/usr/bin/compile_time", "--api-listen", "--default-config",
              "/config/bmminer.conf"]
FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"
EVENTS_FIFO = "/tmp/events"


class BoardError(AssertionError):
    """A wait on the board ran out, or the board could not be set up."""


# Files of the board.

def agent_file(api_key="test-key", dev_id=DEV_ID):
    """Text of a complete /config/velmora.json."""
    return json.dumps({"api_key": api_key, "dev_id": dev_id})


def miner_file(pools=1, **extra):
    """Text of a miner configuration file with `pools` pools."""
    conf = {"pools": [{"url": f"stratum+tcp://pool{i}.example:3333",
                       "user": f"worker.{i}", "pass": "x"}
                      for i in range(pools)],
            "bitmain-freq": "650", "bitmain-voltage": "890"}
    conf.update(extra)
    return json.dumps(conf, indent=2)


def chip_list(chips=()):
    """The miner file's "bitmain-chip-freq": 63 values per chain 6, 7, 8."""
    values = [0] * 189
    for chain, chip, freq in chips:
        values[(chain - 6) * 63 + chip - 1] = freq
    return ":".join(map(str, values))


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


def faketime_env(speed):
    """The environment that runs a program's clocks and waits speed times
    faster, or None where there is no such clock: libfaketime:armhf shortens
    the waits but leaves clock_gettime at real speed under the emulator."""
    if os.environ.get("RIGKEEP_EMULATOR") or not Path(FAKETIME_LIB).is_file():
        return None
    return {"LD_PRELOAD": FAKETIME_LIB, "FAKETIME": f"+0 x{speed}",
            "ASAN_OPTIONS": "verify_asan_link_order=0"}


# Waiting and looking.

def wait_until(predicate, timeout, what):
    """predicate()'s first true value, polled every 50 ms."""
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise BoardError(f"timed out after {timeout:.3g} s waiting for "
                             f"{what}")
        time.sleep(0.05)
    return value


def miners_alive(sb):
    return [pid for pid, comm in sb.processes() if comm == "bmminer"]


def miner_events(sb, event):
    """The simulated miner's records of that event, oldest first."""
    if not sb.exists("/sim/miner.log"):
        return []
    records = [json.loads(line) for line in
               sb.read_text("/sim/miner.log").splitlines() if line.strip()]
    return [r for r in records if r["event"] == event]


def open_writer(sb, timeout=10):
    """A blocking write end of the event pipe, once a reader has it open."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            fd = os.open(sb.path(EVENTS_FIFO), os.O_WRONLY | os.O_NONBLOCK)
            os.set_blocking(fd, True)
            return fd
        except OSError as e:
            if e.errno not in (errno.ENXIO, errno.ENOENT) or \
                    time.monotonic() > deadline:
                raise
            time.sleep(0.02)


def sandbox_socket(sb, kind, address):
    """A socket bound to address in the sandbox's network (listening, for
    TCP)."""
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
    if not made:
        raise BoardError(f"could not bind {address} in the sandbox")
    return made[0]


def state(msg):
    return msg.obj.get("state", {}).get("name") \
        if msg.type == "status" else None


def is_zero_metrics(msg):
    numbers = {k: v for k, v in msg.obj.items()
               if isinstance(v, (int, float)) and k != "timestamp"}
    return (msg.type == "metrics" and numbers and not any(numbers.values())
            and not msg.obj.get("fans") and not msg.obj.get("chains"))


def reports(svc, start=0):
    """What the service got since start: states by name, "zero" for a zero
    metrics message, other types by type."""
    out = []
    for m in svc.messages()[start:]:
        if m.type == "status":
            out.append(state(m))
        elif is_zero_metrics(m):
            out.append("zero")
        elif m.type != "metrics":
            out.append(m.type)
    return out


def wait_reports(svc, start, want, timeout=20):
    """Waits until want is a subsequence of the reports since start."""
    def found():
        got = iter(reports(svc, start))
        return all(item in got for item in want)
    svc.wait_for(found, timeout, f"reports {want}")
    return reports(svc, start)


def write_session(sb, *chunks):
    """One writer to the event pipe: each chunk one write(), then close.

    A writer that opens just as the reader ends the last session (and before it
    opens the pipe again) finds the reader gone at its first write: nothing was
    read then, so that writer opens again."""
    for attempt in range(50):
        fd = open_writer(sb)
        try:
            for i, chunk in enumerate(chunks):
                try:
                    os.write(fd, chunk if isinstance(chunk, bytes) else chunk.encode())
                except BrokenPipeError:
                    if i > 0 or attempt == 49:
                        raise
                    break
            else:
                return
        finally:
            os.close(fd)
        time.sleep(0.02)


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


def sized_message(type_, size, seed):
    """size bytes of JSON that deflate badly: the frame comes in pieces."""
    head = f'{{"type": "{type_}", "pad": "'
    pad = random.Random(seed).choices(string.ascii_letters,
                                      k=size - len(head) - 2)
    return head + "".join(pad) + '"}'


def package(name, text, mode=0o755):
    """A firmware package (.tar.gz) holding one file."""
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w:gz") as tar:
        info = tarfile.TarInfo(name)
        info.size, info.mode = len(text.encode()), mode
        tar.addfile(info, io.BytesIO(text.encode()))
    return out.getvalue()


# Programs on the board.

class Program:
    """A program running inside a sandbox, its output collected line by line
    with arrival times (time.monotonic()) and passed to on_line(text). With stdin=True it is a command
    tool: ask("word args") writes the line and returns the fields of its
    "> word ..." answer."""

    def __init__(self, sb, binary, args=(), env=None, device_path=None,
                 stdin=False, on_line=None, **spawn):
        self.sb, self.on_line = sb, on_line
        if device_path is None:
            name = Path(binary).name
            device_path = "/usr/bin/" + ("rigkeep" if name.startswith(
                "rigkeep") else name)
        if binary != device_path:
            with open(binary, "rb") as f:
                sb.install(device_path, f.read(), 0o755)
        self.argv = [device_path, *args]
        self._cond = threading.Condition()
        self._records = []  # (time, stream, text)
        self.started_at = time.monotonic()
        self.proc = sb.spawn(self.argv, env=env, stdin=subprocess.PIPE
                             if stdin else subprocess.DEVNULL, **spawn)
        self._readers = [
            threading.Thread(target=self._read, args=(stream, name),
                             name=f"program-{name}", daemon=True)
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
                if self.on_line:
                    self.on_line(text)
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

    def count(self, text, stream="any", start=0):
        """Lines since start that hold text."""
        return sum(text in line for _, name, line in self.records()[start:]
                   if stream in ("any", name))

    def said_goodbye(self):
        """The last line on stdout is the agent's goodbye."""
        out = self.lines("stdout")
        return bool(out) and out[-1].endswith(GOODBYE)

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
        regex; BoardError with both streams after timeout."""
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
        raise BoardError(f"no line matching {regex!r} on {stream} within "
                         f"{timeout:.3g} s\n{self.dump()}")

    # A command tool.

    def send(self, command):
        mark = self.mark()
        self.proc.stdin.write((command + "\n").encode())
        self.proc.stdin.flush()
        return mark

    def answer(self, word, start, timeout=15.0):
        """Fields after "> word" of the first such answer since `start`."""
        m = self.wait_for_line(rf"^> {re.escape(word)}(?: (.*))?$", timeout,
                               stream="stdout", start=start)
        return (m.group(1) or "").split()

    def ask(self, command, timeout=15.0):
        return self.answer(command.split()[0], self.send(command), timeout)

    def threads(self):
        return [name for _, name in self.sb.threads(self.sandbox_pid)]

    # Ending.

    def signal(self, sig):
        self.proc.send_signal(sig)

    def wait(self, timeout=15.0):
        """The exit status (negative: killed by that signal)."""
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise BoardError(f"{self.argv[0]} still running after {timeout} "
                             f"s\n{self.dump()}") from None
        for t in self._readers:
            t.join(5)
        return rc

    def stop(self, timeout=15.0):
        """SIGTERM and wait; the exit status."""
        if self.proc.poll() is None:
            self.signal(signal.SIGTERM)
        return self.wait(timeout)

    def quit(self):
        """Ends a command tool in order; its exit status. A sanitizer build
        exits non-zero when it found a fault or a leak."""
        if self.returncode is None:
            try:
                self.send("quit")
                self.proc.wait(15)
            except (OSError, subprocess.TimeoutExpired):
                pass
        self.kill()
        return self.returncode

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


class Board:
    """A sandbox, its service (or None) and the program under test (agent).
    speed: how much faster the program's clock runs."""

    def __init__(self, sb, svc=None, binary=None, speed=1, env=None,
                 args=(), **program):
        self.sb, self.svc, self.speed = sb, svc, speed
        self.binary, self.env, self.args = binary, env, args
        self.program = program  # options of Program
        self.agent, self.programs, self.servers = None, [], []
        self.certs, self.host = {}, None  # set by open_board

    def start(self, args=None, binary=None, env=None, **kw):
        """Starts a program (the board's own binary, arguments and
        environment by default); it is the board's agent from then on."""
        self.agent = Program(
            self.sb, binary or self.binary,
            self.args if args is None else args,
            self.env if env is None else env, **{**self.program, **kw})
        self.programs.append(self.agent)
        return self.agent

    def secs(self, agent_seconds, slack=10):
        """Real seconds to allow for agent_seconds of the program's clock."""
        return agent_seconds / self.speed + slack

    def ready(self, timeout=20):
        """Authenticated, through the exchange, with the miner running."""
        self.agent.wait_for_line(AUTHENTICATED, timeout)
        # A status report, then "config", answered with nothing to apply.
        self.agent.wait_for_line(r"ERROR: Request config failed", timeout)
        self.miner_pid(timeout)
        return self

    def request(self, obj, answer=True, timeout=15):
        """Sends obj; its answer (its type, with "ok" or "request_id"), or
        None without waiting when answer is False."""
        start = self.svc.mark()
        self.svc.send(obj)
        if not answer:
            return None
        return self.svc.wait_for_message(
            lambda m: m.type == obj.get("type") and
            ("ok" in m.obj or "request_id" in m.obj), timeout, start).obj

    def states(self, start=0):
        """"state" of each status report from the start-th on."""
        return [m.obj["state"] for m in self.svc.messages("status")[start:]
                if "state" in m.obj]

    def linked(self, timeout=60):
        """An open connection that went through the exchange (auth, then
        "config") within timeout seconds of the program's clock."""
        def done():
            conns = [c for c in self.svc.connections() if not c.closed]
            return conns and any(m.type == "config"
                                 for m in conns[-1].received)
        self.svc.wait_for(done, self.secs(timeout),
                          "the link back through the exchange")
        return self.svc.connections()[-1]

    def miner_pid(self, timeout=15):
        return wait_until(lambda: miners_alive(self.sb), timeout,
                          "a running miner")[0]

    def snapshot(self):
        """Descriptors and thread names of the agent."""
        return open_descriptors(self.agent.pid), sorted(self.agent.threads())

    def settle(self, base, timeout=20):
        """Waits until the snapshot equals base; the last one seen."""
        deadline = time.monotonic() + timeout
        while (now := self.snapshot()) != base and \
                time.monotonic() < deadline:
            time.sleep(0.3)
        return now

    def files(self, *paths):
        """(inode, bytes) of each: a save replaces the inode."""
        return [(os.stat(self.sb.path(p)).st_ino, self.sb.read_bytes(p))
                for p in paths]

    def file_server(self, **listeners):
        """A file server in the board's network with the device's certificate
        on listener "device", and `listeners` (name: (cert, key), or None for
        plain HTTP); its url(path) names the service's host. Stopped at close."""
        srv = FileServer({"device": (self.certs["server_cert"],
                                     self.certs["server_key"]), **listeners},
                         netns=self.sb.netns_fd_path).start()
        plain_url = srv.url
        srv.url = lambda path, lsn=None: plain_url(path, self.host, lsn)
        self.servers.append(srv)
        return srv

    def close(self):
        """Kills what runs on the board and removes it; what every program
        wrote, for the record."""
        out = []
        for srv in self.servers:
            srv.stop()
        for p in self.programs:
            p.kill()
            out.append(p.dump())
        if self.svc:
            out.append(self.svc.describe())
            self.svc.stop()
        self.sb.close()
        return "\n".join(out)


# How much slower a build runs than the ordinary one on the same machine.
SLOWDOWN = {"thread": 4.0, "address": 2.0, "undefined": 1.5}
EMULATOR_SLOWDOWN = 3.0


def slowdown(build_dir):
    """The factor for the build in build_dir: its sanitizers, and the
    emulator of RIGKEEP_EMULATOR."""
    found = []
    try:
        with open(Path(build_dir) / "CMakeCache.txt") as f:
            found = [line.split("=", 1)[1].strip().split(",") for line in f
                     if line.startswith("RIGKEEP_SANITIZE:")]
    except OSError:
        pass
    return max([1.0] + [SLOWDOWN.get(s, 2.0) for s in sum(found, []) if s]) \
        * (EMULATOR_SLOWDOWN if os.environ.get("RIGKEEP_EMULATOR") else 1.0)


def service_address(build_dir):
    """(URL, host, port) of the service the build was made for."""
    try:
        with open(Path(build_dir) / "service_url.txt") as f:
            url = f.readline().strip()
    except OSError:
        url = ""
    parts = urllib.parse.urlsplit(url or DEFAULT_SERVICE_URL)
    return parts.geturl(), parts.hostname, parts.port or (
        443 if parts.scheme in ("wss", "https") else 80)


def open_board(certs, build_dir, binary=None, files=None, pools=1,
               miner=None, service=True, auth="ok", registration=False,
               config="stored", update=True, update_delay=0.0, cert="server",
               port=None, speed=1, args=(), env=None, start=True,
               hidden=(), prepare=None, stdin=False, device_path=None,
               sandbox_files=None, sim_miner=True, **sandbox):
    """A started board: the sandbox (options in **sandbox, system_ca may name
    one of certs; sandbox_files and sim_miner are its `files` and `miner`),
    files written (the agent file, a miner file with `pools` pools, the
    miner's switches `miner` unless None, then `files`; a None text leaves a
    file out), `hidden` device path globs removed, prepare(sb) run, then the
    service (its answers to auth, config and update_config) and, unless
    start is False, the program (binary, default build_dir/rigkeep; stdin
    and device_path as Program's) with its clock `speed` times faster."""
    _, host, service_port = service_address(build_dir)
    sandbox.setdefault("service_host", host)
    sandbox.setdefault("ca_file", certs["ca_cert"])
    if sandbox.get("system_ca") in certs:
        sandbox["system_ca"] = certs[sandbox["system_ca"]]
    if speed > 1:
        if not faketime_env(speed):
            raise BoardError("no accelerated clock here")
        env = dict(env or {}, **faketime_env(speed))
    sb, board = Sandbox(files=sandbox_files, miner=sim_miner, **sandbox), None
    try:
        sb.start()
        board = Board(sb, binary=binary or Path(build_dir) / "rigkeep",
                      speed=speed, args=tuple(args), env=env, stdin=stdin,
                      device_path=device_path)
        board.certs, board.host = certs, host
        texts = {"/config/velmora.json": agent_file("k"),
                 "/config/bmminer.conf": miner_file(pools) if pools
                 is not None else None,
                 "/sim/miner.json": None if miner is None else
                 json.dumps(miner), **(files or {})}
        for path, text in texts.items():
            if text is not None:
                sb.write_text(path, text)
        for pattern in hidden:
            found = glob.glob(sb.path(pattern))
            if not found:
                raise BoardError(f"nothing to hide at {pattern}")
            for path in found:
                os.unlink(path)
        if prepare:
            prepare(sb)
        if service:
            board.svc = ReferenceService(
                port=port or service_port, certfile=certs[f"{cert}_cert"],
                keyfile=certs[f"{cert}_key"], netns=sb.netns_fd_path).start()
            board.svc.set_auth(auth, registration=registration)
            board.svc.set_config_answer(config)
            board.svc.set_update_config_answer(update, update_delay)
        if start:
            board.start()
        return board
    except BaseException:
        if board and board.svc:
            board.svc.stop()
        sb.close()
        raise


def unavailable_reason():
    """Why no board can be set up here, or None."""
    return sandbox_mod.unavailable_reason()
