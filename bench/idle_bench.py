#!/usr/bin/python3
"""Idle cost of the real rigkeep inside the device sandbox, linked to the
reference service and mining with the simulated miner:

* CPU: utime+stime of the daemon (/proc/PID/stat) over the run after a 30 s
  warm-up, scaled to one hour, and the "status" and "metrics" messages the
  service received in that window;
* CPU and wakes per thread (schedstat run time and timeslices, by the
  thread's name) over the same window, scaled to one hour;
* memory: RssAnon (/proc/PID/status) at minute 2 and at the end, Pss and
  Pss_Anon (/proc/PID/smaps_rollup) at the end;
* event latency, after the idle window: 1000 restart event lines, each one
  write() into the miner's event pipe 5 ms after the previous one arrived,
  to the arrival of the "event" message at the service: median and 99th
  percentile.

Needs root (the sandbox).

    /usr/bin/python3 bench/idle_bench.py --build-dir build [--minutes 10]
"""

import argparse
import math
import os
import statistics
import sys
import tempfile
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
for sub in ("sim/sandbox", "sim/service", "sim"):
    sys.path.insert(0, os.path.join(HERE, "..", sub))
from board import Program as AgentProcess, agent_file, miner_file  # noqa: E402
from board import open_writer, wait_reports  # noqa: E402
from sandbox import Sandbox, make_certs  # noqa: E402
from service import ReferenceService  # noqa: E402

WARM_UP = 30.0
EVENT = b'{"event": "restart", "reason": "autotune"}\n'
TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """utime+stime of the process, and of its reaped children, in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = [int(v) for v in fields[11:15]]  # utime stime cutime cstime
    return (ticks[0] + ticks[1]) / TICK, (ticks[2] + ticks[3]) / TICK


def run_ns(pid):
    """CPU time of the live threads in nanoseconds (schedstat; exact where
    utime and stime count 10 ms ticks), and their ids: a thread that ends
    between two readings takes its time with it."""
    total, tids = 0, set()
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
            tids.add(int(tid))
        except OSError:
            pass
    return total, tids


def threads(pid):
    """{tid: (name, run ns, timeslices)} of the live threads, from schedstat:
    a timeslice starts at each wake (or after a preemption)."""
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                run, _, slices = (int(v) for v in f.read().split())
        except (OSError, ValueError):
            continue
        out[int(tid)] = (name, run, slices)
    return out


def per_thread(before, after, seconds):
    """[(name, s/hour, wakes/hour)] by thread name over the window, busiest
    first; a thread born in it counts from zero, one that ended is gone."""
    sums = {}
    for tid, (name, run, slices) in after.items():
        _, run0, slices0 = before.get(tid, (name, 0, 0))
        ns, wakes = sums.get(name, (0, 0))
        sums[name] = (ns + run - run0, wakes + slices - slices0)
    scale = 3600 / seconds
    return sorted(((name, ns / 1e9 * scale, wakes * scale)
                   for name, (ns, wakes) in sums.items()), key=lambda r: -r[1])


def thread_rows(rows):
    return [(f"{name} (s/hour, wakes/hour)", f"{cpu:.3f}  {wakes:,.0f}")
            for name, cpu, wakes in rows]


def kb(pid, name, key):
    with open(f"/proc/{pid}/{name}") as f:
        return next(int(line.split()[1]) for line in f
                    if line.startswith(key + ":"))


def sleep_until(t):
    while (left := t - time.monotonic()) > 0:
        time.sleep(min(left, 5.0))


def event_latencies(sb, svc, count):
    """Seconds from each write to the arrival of its "event" message."""
    fd = open_writer(sb)
    out = []
    try:
        for i in range(count):
            seen = len(svc.messages("event"))
            t = time.monotonic()
            os.write(fd, EVENT)
            svc.wait_for(lambda: len(svc.messages("event")) > seen, 5,
                         f"event {i}")
            out.append(svc.messages("event")[seen].mono - t)
            time.sleep(0.005)
    finally:
        os.close(fd)
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    p.add_argument("--minutes", type=float, default=10.0)
    p.add_argument("--events", type=int, default=1000)
    args = p.parse_args()
    if args.minutes * 60 < WARM_UP + 10:
        p.error("--minutes: at least the 30 s warm-up and 10 s to measure")
    with open(os.path.join(args.build_dir, "service_url.txt")) as f:
        url = urllib.parse.urlsplit(f.readline().strip())

    end, load0 = args.minutes * 60, os.getloadavg()
    with tempfile.TemporaryDirectory() as d:
        certs = make_certs(d, url.hostname)
        with Sandbox(service_host=url.hostname,
                     ca_file=certs["ca_cert"]) as sb:
            sb.write_text("/config/velmora.json", agent_file())
            sb.write_text("/config/bmminer.conf", miner_file(1))
            svc = ReferenceService(port=url.port or 443,
                                   certfile=certs["server_cert"],
                                   keyfile=certs["server_key"],
                                   netns=sb.netns_fd_path).start()
            agent = AgentProcess(sb, os.path.join(args.build_dir, "rigkeep"))
            try:
                row = measure(sb, svc, agent, end, args.events)
                agent.stop()
            finally:
                agent.kill()
                svc.stop()
    for when, load in (("end", os.getloadavg()), ("start", load0)):
        row.insert(0, (f"load average 1/5/15 min at {when}",
                       " ".join(f"{v:.2f}" for v in load)))
    for name, value in row:
        print(f"{name:44} {value}")
    return 0


def measure(sb, svc, agent, end, events):
    agent.wait_for_line(r"INFO: Agent successfully authenticated$", 30)
    wait_reports(svc, 0, ["mining"], 30)
    pid, t0 = agent.pid, agent.started_at
    sleep_until(t0 + WARM_UP)
    start, cpu0, kids0 = svc.mark(), *cpu_seconds(pid)
    window0, threads0 = time.monotonic(), threads(pid)
    rss2 = None
    if end > 120:
        sleep_until(t0 + 120)
        rss2 = kb(pid, "status", "RssAnon")
    sleep_until(t0 + end)
    cpu1, kids1 = cpu_seconds(pid)
    threads1 = threads(pid)
    window = time.monotonic() - window0
    got = [m.type for m in svc.messages()[start:]]
    row = [("window (s)", f"{window:.0f}"),
           ("CPU s/hour (utime+stime)", f"{(cpu1 - cpu0) * 3600 / window:.3f}"),
           ("reaped children CPU s/hour", f"{(kids1 - kids0) * 3600 / window:.3f}"),
           ("status / metrics received", f"{got.count('status')} / "
                                         f"{got.count('metrics')}"),
           ("RssAnon at minute 2 (kB)", rss2 if rss2 is not None else "-"),
           (f"RssAnon at minute {end / 60:g} (kB)", kb(pid, "status", "RssAnon")),
           ("Pss / Pss_Anon at end (kB)",
            f"{kb(pid, 'smaps_rollup', 'Pss')} / "
            f"{kb(pid, 'smaps_rollup', 'Pss_Anon')}")]
    row += thread_rows(per_thread(threads0, threads1, window))
    lat = sorted(event_latencies(sb, svc, events))
    p99 = lat[math.ceil(len(lat) * 0.99) - 1]
    row.append((f"event latency p50 / p99 (ms, n={len(lat)})",
                f"{statistics.median(lat) * 1e3:.3f} / {p99 * 1e3:.3f}"))
    return row


if __name__ == "__main__":
    sys.exit(main())
