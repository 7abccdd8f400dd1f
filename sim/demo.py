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
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from board import (AUTHENTICATED, BoardError, FileServer, Program,  # noqa: E402
                   package, sandbox_mod, service_address, slowdown,
                   wait_until)
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


class TourFailed(BoardError):
    pass


def start_agent(sb, binary, view):
    """rigkeep in the sandbox, its output shown live; in a process group of
    its own: Ctrl+C is the demo's to pass on."""
    return Program(sb, binary, on_line=lambda text: view.line(
        view.c("36", "agent | ") + text), process_group=0)


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
        wait_until(lambda: self.miner.records("start"), self.bound(20),
                   "the miner's start")
        conf = json.loads(self.sb.read_text("/config/velmora.json"))
        return (f"an authenticated link; the agent wrote its device "
                f"identifier back: {json.dumps(conf)}")

    def miner_pids(self, timeout=20):
        return wait_until(lambda: [
            pid for pid, comm in self.sb.processes() if comm == "bmminer"],
            self.bound(timeout), "a running miner")

    def settings_change(self):
        before = self.miner_pids()
        start, _ = self.request({"type": "config_perf", "perf": {
            "asic_boost": False, "freq": NEW_FREQ, "volt": 9,
            "profile": "profile_user"}})
        self.wait_message("status \"restarting\"", lambda m: m.type ==
                          "status" and m.obj.get("state", {}).get("name") ==
                          "restarting", start, 10)
        wait_until(lambda: [p for p in self.miner_pids() if p not in before],
                   self.bound(15), "a new miner process")
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
                                 self.bound(10), start=mark)
        # The supervision waits 5 s before the next run.
        wait_until(lambda: [r for r in self.miner.records("start")
                            if r["pid"] != pid], self.bound(20),
                   "the miner started again")
        return (f"event \"{event.obj['name']}\" reason "
                f"\"{event.obj['reason']}\"; the agent started a new miner")

    def firmware_update(self, files, host):
        files.put("/firmware-9.9.tar.gz", package("update.sh", UPDATE_SCRIPT))
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
        os.environ.get("RIGKEEP_TIME_SCALE") or 0),
        help="stretch every bound of the tour (default: the build's slowdown)")
    args = parser.parse_args()

    reason = sandbox_mod.unavailable_reason()
    if reason:
        print(f"demo needs the device sandbox: {reason}")
        return 1
    binary = os.path.join(args.build_dir, "rigkeep")
    if not os.path.isfile(binary):
        print(f"{binary} is not built (run make build)")
        return 1
    _, host, port = service_address(args.build_dir)
    args.time_scale = args.time_scale or slowdown(args.build_dir)

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
        agent = start_agent(sb, binary, view)
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
            agent = start_agent(sb, binary, view)
            agent.wait_for_line(AUTHENTICATED, tour.bound(20))
            prompt = Prompt(service, view)
            view.info("type help for the requests you can send; quit stops")
            for line in sys.stdin:
                if not prompt.handle(line) or agent.proc.poll() is not None:
                    break
    except BoardError as exc:
        view.info(view.c("1;31", f"== tour failed: {exc}"))
    except KeyboardInterrupt:
        view.info(view.c("1", "== interrupted: stopping everything"))
    finally:
        if agent is not None and agent.proc.poll() is None:
            view.info(view.c("1", "== SIGTERM to rigkeep"))
            try:
                rc = agent.stop(15)
            except BoardError:
                agent.kill()
                rc = agent.returncode
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
