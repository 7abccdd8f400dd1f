#!/usr/bin/python3
"""Shows rigkeep at work on a simulated control board: the device sandbox with
the simulated miner, the reference service listening on the board's own
loopback under the built-in service host, and the real binary started from a
factory agent file.

A scripted tour runs first, each step bounded in time and checked against
what the service received: a settings change that restarts the miner and
shows in the next metrics, a foreign edit of the miner file that reaches the
service as "update_config", a miner crash with its restart event, and a
firmware update that ends in the restart command.  On a terminal (or with
--interactive) the agent is then started again, as the init script would,
and the service's prompt is handed to the user: `help` lists the requests,
`quit` stops.  Without a terminal the demo ends after the tour.

Ctrl+C stops the agent in order and removes the board; a second Ctrl+C
removes it at once.
"""

import argparse
import io
import json
import os
import re
import signal
import subprocess
import sys
import tarfile
import tempfile
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "sandbox"))
sys.path.insert(0, os.path.join(HERE, "service"))

import sandbox as sandbox_mod  # noqa: E402
from files import FileServer  # noqa: E402
from service import LiveView, Prompt, ReferenceService  # noqa: E402

MINER_FILE = "/config/bmminer.conf"
MINER_LOG = "/sim/miner.log"
DEMO_MINER_CONFIG = {
    "pools": [{"url": "stratum+tcp://pool.example.com:3333",
               "user": "rigkeep.demo", "pass": "x"}],
    "api-listen": True,
    "bitmain-freq": "650",
    "bitmain-voltage": "890",
}
NEW_FREQ = 700
FOREIGN_POOL = "stratum+tcp://edited-by-hand.example.com:3333"
UPDATE_SCRIPT = '#!/bin/sh\necho "demo firmware 9.9 installed"\n'
AUTHENTICATED = "INFO: Agent successfully authenticated"


class TourFailed(RuntimeError):
    pass


def read_url(build_dir):
    try:
        with open(os.path.join(build_dir, "service_url.txt")) as f:
            return f.readline().strip()
    except OSError:
        return "wss://api.velmora.example/api/v1/ws"


def firmware_package():
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w:gz") as tar:
        info = tarfile.TarInfo("update.sh")
        info.size, info.mode = len(UPDATE_SCRIPT), 0o755
        tar.addfile(info, io.BytesIO(UPDATE_SCRIPT.encode()))
    return out.getvalue()


def wait_until(what, predicate, timeout):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise TourFailed(f"not within {timeout:.3g} s: {what}")
        time.sleep(0.1)
    return value


class Agent:
    """rigkeep in the sandbox, its output shown live and kept for waits."""

    def __init__(self, sb, view):
        self.view = view
        self.lines = []
        self.cond = threading.Condition()
        # A group of its own: Ctrl+C is the demo's to pass on.
        self.proc = sb.spawn(["/usr/bin/rigkeep"], process_group=0)
        self.readers = [threading.Thread(target=self._read, args=(s,),
                                         daemon=True)
                        for s in (self.proc.stdout, self.proc.stderr)]
        for t in self.readers:
            t.start()

    def _read(self, stream):
        for raw in iter(stream.readline, b""):
            text = raw.decode(errors="replace").rstrip("\n")
            self.view.line(self.view.c("36", "agent | ") + text)
            with self.cond:
                self.lines.append(text)
                self.cond.notify_all()

    def mark(self):
        with self.cond:
            return len(self.lines)

    def wait_for_line(self, regex, timeout, start=0):
        pattern = re.compile(regex)
        with self.cond:
            found = self.cond.wait_for(lambda: any(
                pattern.search(t) for t in self.lines[start:]), timeout)
        if not found:
            raise TourFailed(f"the agent logged no line matching {regex!r} "
                             f"within {timeout:.3g} s")

    def stop(self, timeout):
        """SIGTERM, then SIGKILL after timeout; the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait()
        for t in self.readers:
            t.join(2)
        return rc


class MinerLog:
    """Shows the simulated miner's starts, exits and event lines."""

    def __init__(self, sb, view):
        self.sb, self.view = sb, view
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._follow, daemon=True)
        self.thread.start()

    def records(self, event):
        """The log's records of that event, oldest first."""
        try:
            text = self.sb.read_text(MINER_LOG)
        except OSError:
            return []
        whole = text[:text.rfind("\n") + 1]  # not one being written
        return [r for r in map(json.loads, whole.splitlines())
                if r["event"] == event]

    def _follow(self):
        seen = 0
        while not self.stopped.wait(0.2):
            try:
                text = self.sb.read_text(MINER_LOG)
            except (OSError, sandbox_mod.SandboxError):
                continue
            lines = text.splitlines(keepends=True)
            for line in lines[seen:]:
                if not line.endswith("\n"):
                    break
                seen += 1
                r = json.loads(line)
                what = {"start": lambda: f"started, pid {r['pid']}",
                        "exit": lambda: f"pid {r['pid']} exited "
                        f"({r['reason']}, status {r['code']}) after "
                        f"{r['elapsed']:.1f} s",
                        "event_line": lambda: f"wrote event {r['line']} "
                        f"({r['result']})"}.get(r["event"])
                if what:
                    self.view.line(self.view.c("33", "miner | ") + what())

    def stop(self):
        self.stopped.set()
        self.thread.join(2)


class Tour:
    """The scripted steps; each returns what the service saw."""

    def __init__(self, sb, service, agent, miner, view, scale):
        self.sb, self.svc, self.agent = sb, service, agent
        self.miner, self.view, self.scale = miner, view, scale
        self.steps = 0

    def bound(self, seconds):
        return seconds * self.scale

    def step(self, title, action):
        self.steps += 1
        self.view.info(self.view.c("1", f"== step {self.steps}: {title}"))
        saw = action()
        self.view.info(self.view.c("1;32", "   the service saw: ") + saw)

    def wait_message(self, what, predicate, start, timeout):
        try:
            return self.svc.wait_for_message(predicate, self.bound(timeout),
                                             start)
        except AssertionError as exc:
            raise TourFailed(f"the service got no {what}\n{exc}") from None

    def request(self, obj, timeout=15):
        start = self.svc.mark()
        self.view.info(f"   service sends {json.dumps(obj)}")
        self.svc.send(obj)
        answer = self.wait_message(
            f"answer to {obj['type']}",
            lambda m: m.type == obj["type"] and "ok" in m.obj, start, timeout)
        if answer.obj.get("ok") is not True:
            raise TourFailed(f"{obj['type']} failed: {answer.data}")
        return start, answer

    def linked(self):
        self.agent.wait_for_line(AUTHENTICATED, self.bound(20))
        wait_until("the miner's start", lambda: self.miner.records("start"),
                   self.bound(20))
        conf = json.loads(self.sb.read_text("/config/velmora.json"))
        return (f"an authenticated link; the agent wrote its device "
                f"identifier back: {json.dumps(conf)}")

    def miner_pids(self, timeout=20):
        return wait_until("a running miner", lambda: [
            pid for pid, comm in self.sb.processes() if comm == "bmminer"],
            self.bound(timeout))

    def settings_change(self):
        before = self.miner_pids()
        start, _ = self.request({"type": "config_perf", "perf": {
            "asic_boost": False, "freq": NEW_FREQ, "volt": 9,
            "profile": "profile_user"}})
        self.wait_message("status \"restarting\"", lambda m: m.type ==
                          "status" and m.obj.get("state", {}).get("name") ==
                          "restarting", start, 10)
        wait_until("a new miner process", lambda: [
            p for p in self.miner_pids() if p not in before],
            self.bound(15))
        metrics = self.wait_message(
            f"metrics at {NEW_FREQ} MHz", lambda m: m.type == "metrics" and
            abs(m.obj.get("freq", 0) - NEW_FREQ) < 1, start, 30)
        return (f"\"ok\": true, state \"restarting\", then metrics at "
                f"{metrics.obj['freq']:.0f} MHz, "
                f"{metrics.obj['hash_rate']:.0f} GH/s")

    def foreign_edit(self):
        conf = json.loads(self.sb.read_text(MINER_FILE))
        conf["pools"][0]["url"] = FOREIGN_POOL
        start = self.svc.mark()
        self.view.info(f"   someone else rewrites {MINER_FILE}: main pool "
                       f"{FOREIGN_POOL}")
        with open(self.sb.path(MINER_FILE), "w") as f:
            f.write(json.dumps(conf, indent=1))
        update = self.wait_message(
            "\"update_config\" with the edited pool",
            lambda m: m.type == "update_config" and
            m.obj.get("pools", {}).get("main", {}).get("stratum_url") ==
            FOREIGN_POOL, start, 15)
        return (f"\"update_config\" {len(update.data)} bytes, main pool "
                f"{update.obj['pools']['main']['stratum_url']}")

    def miner_crash(self):
        [pid] = self.miner_pids()
        start, mark = self.svc.mark(), self.agent.mark()
        self.view.info("   the miner reports a fan failure and crashes")
        self.sb.run(["kill", "-USR2", str(pid)], timeout=self.bound(10),
                    check=True)
        event = self.wait_message(
            "restart event", lambda m: m.type == "event" and
            m.obj.get("reason") == "fan_error", start, 10)
        self.agent.wait_for_line(r"Miner exited after \d+ seconds",
                                 self.bound(10), mark)
        # The supervision waits 5 s before the next run.
        wait_until("the miner started again", lambda: [
            r for r in self.miner.records("start") if r["pid"] != pid],
            self.bound(20))
        return (f"event \"{event.obj['name']}\" reason "
                f"\"{event.obj['reason']}\"; the agent started a new miner")

    def firmware_update(self, files, host):
        files.put("/firmware-9.9.tar.gz", firmware_package())
        url = files.url("/firmware-9.9.tar.gz", host)
        start, _ = self.request({"type": "update_firmware",
                                 "firmware_ver": "9.9", "firmware_url": url})
        self.wait_message("status \"updating\" 100%", lambda m: m.type ==
                          "status" and m.obj.get("state") ==
                          {"name": "updating", "progress": 100}, start, 30)
        try:
            rc = self.agent.proc.wait(self.bound(20))
        except subprocess.TimeoutExpired:
            raise TourFailed("the agent did not end after the update") \
                from None
        if rc != 0:
            raise TourFailed(f"the agent ended with status {rc}")
        calls = self.sb.calls()
        if "rigkeep.sh restart" not in calls:
            raise TourFailed(f"no restart command recorded: {calls}")
        progress = [m.obj["state"]["progress"]
                    for m in self.svc.messages("status") if m.index >= start
                    and m.obj.get("state", {}).get("name") == "updating"]
        return (f"\"updating\" at {sorted(set(progress))} %; the agent ran "
                f"'/etc/init.d/rigkeep.sh restart' and ended with status 0")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..",
                                                            "build"))
    parser.add_argument("--interactive", action="store_true",
                        default=sys.stdin.isatty())
    parser.add_argument("--time-scale", type=float, default=float(
        os.environ.get("RIGKEEP_TIME_SCALE") or 1),
        help="stretch every bound of the tour (slow or sanitizer builds)")
    args = parser.parse_args()

    reason = sandbox_mod.unavailable_reason()
    if reason:
        print(f"demo needs the device sandbox: {reason}")
        return 1
    binary = os.path.join(args.build_dir, "rigkeep")
    if not os.path.isfile(binary):
        print(f"{binary} is not built (run make build)")
        return 1
    url = urllib.parse.urlsplit(read_url(args.build_dir))
    host, port = url.hostname, url.port or 443

    interrupted = []

    def on_sigint(signum, frame):
        if interrupted:
            sandbox_mod.close_all()
            os._exit(130)
        interrupted.append(signum)
        raise KeyboardInterrupt

    view = LiveView()
    certdir = tempfile.mkdtemp(prefix=sandbox_mod.TMP_PREFIX + "demo-certs-")
    sb = service = files = agent = miner = None
    ok = False
    try:
        certs = sandbox_mod.make_certs(certdir, host)
        sb = sandbox_mod.Sandbox(service_host=host, ca_file=certs["ca_cert"])
        sb.write_text("/config/velmora.json",
                      json.dumps({"api_key": "demo-api-key"}))
        sb.write_text(MINER_FILE, json.dumps(DEMO_MINER_CONFIG, indent=1))
        with open(binary, "rb") as f:
            sb.install("/usr/bin/rigkeep", f.read(), 0o755)
        sb.start()
        # Installed after the sandbox's own hook, which would remove the
        # board at once.
        signal.signal(signal.SIGINT, on_sigint)
        signal.signal(signal.SIGTERM, on_sigint)
        view.info(view.c("1", "== a fresh control board ") +
                  f"in {sb.tmpdir}: eth0 {sandbox_mod.DEFAULT_MAC}, FPGA "
                  f"words 60/61 {sandbox_mod.DEFAULT_FPGA_WORDS[60]:08X}/"
                  f"{sandbox_mod.DEFAULT_FPGA_WORDS[61]:08X}")
        service = ReferenceService(port=port, certfile=certs["server_cert"],
                                   keyfile=certs["server_key"],
                                   netns=sb.netns_fd_path,
                                   on_event=view.event)
        service.start()
        files = FileServer({"device": (certs["server_cert"],
                                       certs["server_key"])},
                           netns=sb.netns_fd_path).start()
        view.info(view.c("1", "== reference service ") +
                  f"on {host}:{port} (the board's loopback); firmware files "
                  f"on port {files.ports['device']}")
        miner = MinerLog(sb, view)
        view.info(view.c("1", "== starting rigkeep ") +
                  "with a factory agent file (api_key only)")
        agent = Agent(sb, view)
        tour = Tour(sb, service, agent, miner, view, args.time_scale)
        tour.step("start-up: link, authentication, miner", tour.linked)
        tour.step(f"a settings change: {NEW_FREQ} MHz", tour.settings_change)
        tour.step("a foreign edit of the miner file", tour.foreign_edit)
        tour.step("a miner crash", tour.miner_crash)
        tour.step("a firmware update", lambda: tour.firmware_update(
            files, host))
        view.info(view.c("1;32", "== tour complete"))
        ok = True
        if args.interactive:
            view.info(view.c("1", "== starting rigkeep again, ") +
                      "as the init script would after an update")
            agent = Agent(sb, view)
            agent.wait_for_line(AUTHENTICATED, tour.bound(20))
            prompt = Prompt(service, view)
            view.info("type help for the requests you can send; quit stops")
            for line in sys.stdin:
                if not prompt.handle(line) or agent.proc.poll() is not None:
                    break
    except TourFailed as exc:
        view.info(view.c("1;31", f"== tour failed: {exc}"))
    except KeyboardInterrupt:
        view.info(view.c("1", "== interrupted: stopping everything"))
    finally:
        if agent is not None and agent.proc.poll() is None:
            view.info(view.c("1", "== SIGTERM to rigkeep"))
            rc = agent.stop(15)
            view.info(view.c("1", f"== rigkeep exited with status {rc}"))
        if miner is not None:
            miner.stop()
        if files is not None:
            files.stop()
        if service is not None:
            service.stop()
        if sb is not None:
            sb.close()
        sandbox_mod.shutil.rmtree(certdir, ignore_errors=True)
    if interrupted:
        return 130
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
