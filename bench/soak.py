#!/usr/bin/python3
"""Soak: the real rigkeep inside the device sandbox, linked to the reference
service and supervising the simulated miner, under faults injected at random
for --minutes:

* link drop: the service aborts the connection (no close frame) a few seconds
  after each authentication; rigkeep comes back after its own random delay;
* miner crash: SIGKILL to the running miner (once it has run 10 s, so the
  restarts never count as abnormal ones);
* settings request: a fan request (file rewritten) or a performance request
  (file rewritten, miner restarted), when linked;
* foreign edit: the miner file rewritten behind the daemon's back.

One fault every 2 to 6 s (a drop only when linked, a crash only when a miner
runs). Every 10 s: RssAnon, open descriptors and threads of the daemon. The
samples after the warm-up are fitted by least squares; a resource fails when
its fitted line rises both faster than its hourly limit and by more than its
noise floor over the window:

  resource   limit/hour  floor   why
  RssAnon    256 kB      512 kB  256 kB/h is 6 MB a day: a board runs out in
                                 weeks. The floor covers one-off growth of
                                 the heap, the thread arenas (128 kB steps)
                                 and cached thread stacks; over a 55-minute
                                 window it lifts the limit to 560 kB/h.
  fds        2           4       a leak per fault gives hundreds an hour; the
                                 floor covers the link's and the API's sockets
                                 and the miner's pipe being open at a sample.
  threads    2           3       workers (miner stop, kill, settings) live a
                                 few seconds; a leaked one never ends.

Fails also when rigkeep exits. Needs root (the sandbox).

    /usr/bin/python3 bench/soak.py --build-dir build --minutes 2
"""

import argparse
import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
for sub in ("sim/sandbox", "sim/service", "sim"):
    sys.path.insert(0, os.path.join(HERE, "..", sub))
sys.path.insert(0, HERE)
from board import AUTHENTICATED, Program as AgentProcess  # noqa: E402
from miner_sandbox import linked_board  # noqa: E402
from board import miner_file, miners_alive  # noqa: E402

SAMPLE_EVERY = 10.0
# (name, limit per hour, floor over the window)
LIMITS = [("RssAnon kB", 256.0, 512.0), ("fds", 2.0, 4.0),
          ("threads", 2.0, 3.0)]


def sample(pid):
    with open(f"/proc/{pid}/status") as f:
        status = dict(line.split(":", 1) for line in f)
    return (int(status["RssAnon"].split()[0]), len(os.listdir(f"/proc/{pid}/fd")),
            int(status["Threads"]))


def slope(points):
    """Least-squares slope of [(t, y)], per second."""
    n = len(points)
    mt = sum(t for t, _ in points) / n
    my = sum(y for _, y in points) / n
    stt = sum((t - mt) ** 2 for t, _ in points)
    return sum((t - mt) * (y - my) for t, y in points) / stt


def verdicts(samples, warm_up):
    """[(name, slope per hour, fitted rise over the window, failed)] from
    samples [(t, (values...))] taken after warm_up seconds."""
    kept = [(t, v) for t, v in samples if t >= warm_up]
    if len(kept) < 3:
        raise SystemExit(f"soak: {len(kept)} samples after the warm-up; "
                         "run longer")
    window = kept[-1][0] - kept[0][0]
    out = []
    for i, (name, limit, floor) in enumerate(LIMITS):
        per_s = slope([(t, v[i]) for t, v in kept])
        rise = per_s * window
        out.append((name, per_s * 3600, rise,
                    per_s * 3600 > limit and rise > floor))
    return out


class Faults:
    def __init__(self, sb, svc, rng):
        self.sb, self.svc, self.rng = sb, svc, rng
        self.counts = {}
        self.miner_seen = {}  # pid -> first seen
        self.fan = False
        self.freq = 650

    def linked(self):
        conns = self.svc.connections()
        return bool(conns) and not conns[-1].closed and any(
            m.type == "auth" for m in conns[-1].sent)

    def old_miner(self):
        now = time.monotonic()
        alive = miners_alive(self.sb)
        for pid in alive:
            self.miner_seen.setdefault(pid, now)
        return next((p for p in alive if now - self.miner_seen[p] >= 10), None)

    def inject(self):
        kinds = ["edit"]
        if self.linked():
            kinds += ["drop", "settings"]
        victim = self.old_miner()
        if victim is not None:
            kinds.append("crash")
        kind = self.rng.choice(kinds)
        if kind == "drop":
            self.svc.drop(self.svc.connections()[-1])
        elif kind == "crash":
            self.sb.run(["sh", "-c", f"kill -9 {victim}"])
        elif kind == "settings" and self.rng.random() < 0.5:
            self.fan = not self.fan
            self.svc.send({"type": "config_fans", "mode": "manual",
                           "speed": 40} if self.fan else
                          {"type": "config_fans", "mode": "auto"})
        elif kind == "settings":
            self.freq = 700 if self.freq == 650 else 650
            self.svc.send({"type": "config_perf", "perf": {
                "asic_boost": False, "freq": self.freq, "volt": 9,
                "profile": "profile_user"}})
        else:
            self.sb.write_text("/config/bmminer.conf",
                               miner_file(self.rng.randint(1, 3)))
        self.counts[kind] = self.counts.get(kind, 0) + 1


def soak(build_dir, minutes, warm_up, seed):
    rng = random.Random(seed)
    samples = []
    with linked_board(build_dir) as (sb, svc):
        svc.start()
        agent = AgentProcess(sb, os.path.join(build_dir, "rigkeep"))
        faults = Faults(sb, svc, rng)
        try:
            agent.wait_for_line(AUTHENTICATED, 30)
            began = time.monotonic()
            end = began + minutes * 60
            next_sample = began
            next_fault = began + rng.uniform(2, 6)
            while (now := time.monotonic()) < end:
                if agent.returncode is not None:
                    raise SystemExit("soak: rigkeep exited\n" + agent.dump())
                if now >= next_sample:
                    samples.append((now - began, sample(agent.pid)))
                    next_sample += SAMPLE_EVERY
                if now >= next_fault:
                    faults.inject()
                    next_fault = now + rng.uniform(2, 6)
                time.sleep(max(0.0, min(next_sample, next_fault, end)
                               - time.monotonic()))
            samples.append((time.monotonic() - began, sample(agent.pid)))
            links = len(svc.connections())
            agent.stop()
        finally:
            agent.kill()
            svc.stop()
    return samples, faults.counts, links


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    p.add_argument("--minutes", type=float, default=2.0)
    p.add_argument("--warm-up", type=float, default=None,
                   help="seconds left out of the fit (default: a quarter of "
                        "the run, at most 5 minutes)")
    p.add_argument("--seed", type=int, default=None)
    args = p.parse_args()
    warm_up = args.warm_up if args.warm_up is not None else \
        min(300.0, args.minutes * 15)
    seed = args.seed if args.seed is not None else int(time.time())
    load0 = os.getloadavg()
    samples, counts, links = soak(args.build_dir, args.minutes, warm_up, seed)
    print(f"soak: {args.minutes:g} min, seed {seed}, warm-up {warm_up:.0f} s, "
          f"{len(samples)} samples, {links} connections; faults "
          + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    print("soak: load average 1/5/15 min at start "
          + " ".join(f"{v:.2f}" for v in load0) + ", at end "
          + " ".join(f"{v:.2f}" for v in os.getloadavg()))
    first, last = samples[0][1], samples[-1][1]
    failed = False
    for i, (name, per_hour, rise, bad) in enumerate(
            verdicts(samples, warm_up)):
        _, limit, floor = LIMITS[i]
        print(f"soak: {name:11} {first[i]:>6} -> {last[i]:>6}  slope "
              f"{per_hour:+9.2f}/h (limit {limit:g}/h), fitted rise "
              f"{rise:+8.2f} (floor {floor:g})  {'FAIL' if bad else 'ok'}")
        failed |= bad
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
