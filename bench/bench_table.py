#!/usr/bin/python3
"""What `make bench` measures, printed as one table: rigkeep beside the bare
libwebsockets client (bench/bare_client) or curl, in one run on one machine,
each row with its goal and whether rigkeep meets it.

* link (one sandbox, the reference service): message queued on another
  thread -> arrival at the service, one every 2 ms after the authentication
  (rigkeep's link through bench/link_driver, the bare client through the same
  commands); 1000 messages queued before the "auth" answer, from the answer
  to the last arrival; process start -> "auth" at the service (the whole
  rigkeep). Runs alternate between the two programs. Then the same latency
  and drain rows with bench/native_sink (libwebsockets, same TLS, protocol
  and extension) in the service's place, so that they measure the clients
  rather than the Python service;
* idle (one sandbox): rigkeep linked and mining with the simulated miner,
  the bare client linked beside it and sending copies of rigkeep's metrics
  and status messages at their periods; CPU over the window scaled to an
  hour (schedstat, nanoseconds), the same per thread with its wakes, then
  RssAnon and Pss;
* firmware download: bench/firmware_download_bench.py.

Needs root (the sandbox).

    /usr/bin/python3 bench/bench_table.py --build-dir build
"""

import argparse
import math
import os
import platform
import statistics
import sys
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
for sub in ("sim/sandbox", "sim/service", "sim"):
    sys.path.insert(0, os.path.join(HERE, "..", sub))
sys.path.insert(0, HERE)
import firmware_download_bench  # noqa: E402
import link_bench  # noqa: E402
from board import AUTHENTICATED, Program as AgentProcess  # noqa: E402
from idle_bench import (cpu_seconds, kb, per_thread, run_ns,  # noqa: E402
                        sleep_until, threads)
from miner_sandbox import linked_board  # noqa: E402
from board import wait_reports  # noqa: E402

BARE = "/usr/bin/bare_client"
BARE_FIFO = "/tmp/bare_client.fifo"
SINK = "/usr/bin/native_sink"
SINK_FIFO = "/tmp/native_sink.fifo"
WARM_UP = 30.0


def p99(values):
    values = sorted(values)
    return values[math.ceil(len(values) * 0.99) - 1]


def link(build_dir, messages, runs, port):
    """Latency, drains and starts against the reference service, then latency
    and drains against bench/native_sink in its place (keys "d" and "b" for
    rigkeep and the bare client, "nd" and "nb" against the sink)."""
    with linked_board(build_dir) as (sb, svc):
        for path in ("bench/link_driver", "bench/bare_client",
                     "bench/native_sink"):
            with open(os.path.join(build_dir, path), "rb") as f:
                sb.install("/usr/bin/" + os.path.basename(path), f.read(),
                           0o755)
        for name in ("server_cert", "server_key"):
            with open(svc.certs[name], "rb") as f:
                sb.write_bytes(f"/etc/sink/{name}", f.read(), 0o600)
        svc.start()
        try:
            lat = {"d": link_bench.latency(sb, svc, messages),
                   "b": link_bench.latency(sb, svc, messages, BARE)}
            drains, starts = {"d": [], "b": []}, {"d": [], "b": []}
            for _ in range(runs):
                drains["d"].append(link_bench.drain(sb, svc, 1000))
                drains["b"].append(link_bench.drain(sb, svc, 1000, BARE))
                starts["d"].append(link_bench.start_to_auth(sb, svc))
                starts["b"].append(link_bench.start_to_auth(
                    sb, svc, [BARE, BARE_FIFO]))
        finally:
            svc.stop()
        sink = link_bench.Driver(sb, SINK, SINK_FIFO, [
            str(port), "/etc/sink/server_cert", "/etc/sink/server_key"])
        try:
            lat["nd"] = link_bench.sink_latency(sb, sink, messages)
            lat["nb"] = link_bench.sink_latency(sb, sink, messages, BARE)
            drains["nd"], drains["nb"] = [], []
            for _ in range(runs):
                drains["nd"].append(link_bench.sink_drain(sb, sink, 1000))
                drains["nb"].append(link_bench.sink_drain(sb, sink, 1000,
                                                          BARE))
        finally:
            sink.stop()
    return lat, drains, starts


def idle(build_dir, window):
    """CPU s/hour, RssAnon, Pss (kB), how the CPU was counted, the per-thread
    rows and the messages sent in the window, of rigkeep ("d") and the bare
    client ("b") side by side. The bare client sends copies of rigkeep's own
    metrics and status messages at their periods (10 s, 30 s)."""
    with linked_board(build_dir) as (sb, svc):
        with open(os.path.join(build_dir, "bench/bare_client"), "rb") as f:
            sb.install(BARE, f.read(), 0o755)
        svc.start()
        agent = AgentProcess(sb, os.path.join(build_dir, "rigkeep"))
        bare = None
        try:
            agent.wait_for_line(AUTHENTICATED, 30)
            wait_reports(svc, 0, ["mining"], 30)
            svc.wait_for(lambda: svc.messages("metrics"), 15, "a metrics message")
            for kind in ("metrics", "status"):
                sb.write_text(f"/tmp/{kind}.json", svc.messages(kind)[-1].data)
            known = len(svc.connections())
            bare = link_bench.Driver(sb, BARE)
            conn = svc.wait_for_connection(known + 1)
            bare("wait authenticated 10")
            bare("mimic /tmp/metrics.json /tmp/status.json")
            pids = {"d": agent.pid, "b": bare.proc.pid}
            sleep_until(agent.started_at + WARM_UP)
            t0, mark = time.monotonic(), svc.mark()
            before = {k: (run_ns(p), cpu_seconds(p)[0], threads(p))
                      for k, p in pids.items()}
            sleep_until(t0 + window)
            took = time.monotonic() - t0
            sent = svc.messages()[mark:]
            out = {}
            for k, pid in pids.items():
                (ns0, tids0), ticks0, threads0 = before[k]
                ns1, tids1 = run_ns(pid)
                # Ticks when threads came or went: their schedstat is lost.
                if tids0 == tids1:
                    cpu, how = (ns1 - ns0) / 1e9, "schedstat"
                else:
                    cpu, how = cpu_seconds(pid)[0] - ticks0, "ticks"
                mine = [m.type for m in sent
                        if (m.conn_id == conn.id) == (k == "b")]
                out[k] = (cpu * 3600 / took, kb(pid, "status", "RssAnon"),
                          kb(pid, "smaps_rollup", "Pss"), how,
                          per_thread(threads0, threads(pid), took),
                          f"{mine.count('metrics')} / {mine.count('status')}")
            agent.stop()
        finally:
            agent.kill()
            if bare is not None:
                bare.proc.kill()
            svc.stop()
    return out


def cpu_rows(cpu, minutes):
    """The CPU row, the messages sent, and one row per thread name (s/hour
    and wakes/hour), rigkeep's threads first."""
    (dc, *_, dhow, dthreads, dsent) = cpu["d"]
    (bc, *_, bhow, bthreads, bsent) = cpu["b"]
    rows = [(f"CPU s/hour, linked+mining ({minutes:g} min x {60 / minutes:g})",
             f"{dc:.3f} ({dhow})", f"{bc:.3f} ({bhow})",
             f"<= 0.5 and <= 2x bare ({2 * bc:.3f})",
             dc <= 0.5 and dc <= 2 * bc),
            ("metrics / status sent in the window", dsent, bsent, "-", None)]
    for mine, threads_ in ((True, dthreads), (False, bthreads)):
        for name, s, wakes in threads_:
            cell = f"{s:.3f} s, {wakes:,.0f} wakes"
            rows.append((f"  thread {name} (per hour)", cell if mine else "-",
                         "-" if mine else cell, "-", None))
    return rows


def print_table(rows):
    header = ("measure", "rigkeep", "bare client", "goal", "result")
    cells = [header] + [(a, str(b), str(c), g, "-" if ok is None else
                         "pass" if ok else "FAIL") for a, b, c, g, ok in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(5)]
    for i, r in enumerate(cells):
        print(" | ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
        if i == 0:
            print("-+-".join("-" * w for w in widths))


def print_load(load0, began):
    print(f"machine: {machine()}")
    print("load average 1/5/15 min: start "
          + " ".join(f"{v:.2f}" for v in load0) + ", end "
          + " ".join(f"{v:.2f}" for v in os.getloadavg())
          + f"; {(time.monotonic() - began) / 60:.1f} min")


def machine():
    with open("/proc/cpuinfo") as f:
        model = next((line.split(":", 1)[1].strip() for line in f
                      if line.startswith("model name")), platform.machine())
    return f"{os.cpu_count()} cores, {model}, Linux {platform.release()}"


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    p.add_argument("--messages", type=int, default=10000)
    p.add_argument("--runs", type=int, default=10)
    p.add_argument("--idle-minutes", type=float, default=4.0)
    p.add_argument("--firmware-megabytes", type=int, default=64)
    p.add_argument("--idle-only", action="store_true",
                   help="only the idle rows: CPU, per thread, memory")
    args = p.parse_args()
    with open(os.path.join(args.build_dir, "service_url.txt")) as f:
        port = urllib.parse.urlsplit(f.readline().strip()).port or 443

    load0, began = os.getloadavg(), time.monotonic()
    if args.idle_only:
        cpu = idle(args.build_dir, args.idle_minutes * 60)
        (_, dr, dp, *_), (_, br, bp, *_) = cpu["d"], cpu["b"]
        rows = cpu_rows(cpu, args.idle_minutes) + [
            ("idle RssAnon, linked+mining (kB)", dr, br, "-", None),
            ("idle Pss, linked+mining (kB)", dp, bp, "-", None)]
        print_load(load0, began)
        print_table(rows)
        return 1 if any(ok is False for *_, ok in rows) else 0
    lat, drains, starts = link(args.build_dir, args.messages, args.runs,
                                port)
    cpu = idle(args.build_dir, args.idle_minutes * 60)
    fw = firmware_download_bench.run(args.build_dir, args.firmware_megabytes,
                                     3, port)

    def med(v):
        return statistics.median(v) * 1e3

    def ms(v):
        return f"{v:.3f}"

    d50, b50 = med(lat["d"]), med(lat["b"])
    d99, b99 = p99(lat["d"]) * 1e3, p99(lat["b"]) * 1e3
    dd, bd = med(drains["d"]), med(drains["b"])
    nd99, nb99 = p99(lat["nd"]) * 1e3, p99(lat["nb"]) * 1e3
    ndd, nbd = med(drains["nd"]), med(drains["nb"])
    ds, bs = med(starts["d"]), med(starts["b"])
    (_, dr, dp, *_), (_, br, bp, *_) = cpu["d"], cpu["b"]
    hwm_before, hwm = max(fw["daemon_VmHWM_kB_before_and_peak"],
                          key=lambda pair: pair[1])
    anon_before, anon = max(fw["daemon_RssAnon_kB_before_and_peak"],
                            key=lambda pair: pair[1])
    fw_ratio = fw["daemon_MBps_median"] / fw["curl_MBps_median"]
    n = len(lat["d"])
    rows = [
        ("idle RssAnon, linked+mining (kB)", dr, br, "<= 3072",
         dr <= 3072),
        ("idle Pss, linked+mining (kB)", dp, bp,
         f"<= 1.15x bare ({1.15 * bp:.0f})", dp <= 1.15 * bp),
        (f"queued -> arrival p50 (ms, n={n})", ms(d50), ms(b50), "-", None),
        (f"queued -> arrival p99 (ms, n={n})", ms(d99), ms(b99),
         f"<= 1 and <= 1.5x bare ({1.5 * b99:.3f})",
         d99 <= 1 and d99 <= 1.5 * b99),
        (f"queued -> arrival p99, native sink (ms, n={len(lat['nd'])})",
         ms(nd99), ms(nb99), f"<= 1.2x bare ({1.2 * nb99:.3f})",
         nd99 <= 1.2 * nb99),
        (f"drain 1000, native sink, median of {args.runs} (ms)",
         f"{ndd:.1f} (max {max(drains['nd']) * 1e3:.1f})",
         f"{nbd:.1f} (max {max(drains['nb']) * 1e3:.1f})",
         f"<= 1.2x bare ({1.2 * nbd:.1f})", ndd <= 1.2 * nbd),
        (f"drain 1000 queued before auth, median of {args.runs} (ms)",
         f"{dd:.1f} (max {max(drains['d']) * 1e3:.1f})",
         f"{bd:.1f} (max {max(drains['b']) * 1e3:.1f})", "<= 50", dd <= 50),
        (f"start -> auth at service, median of {args.runs} (ms)",
         f"{ds:.1f} (max {max(starts['d']) * 1e3:.1f})",
         f"{bs:.1f} (max {max(starts['b']) * 1e3:.1f})", "<= 100",
         ds <= 100),
        (f"firmware download, {fw['package_bytes'] / 1e6:.0f} MB (MB/s)",
         fw["daemon_MBps_median"], f"{fw['curl_MBps_median']} (curl)",
         f"- ({fw_ratio:.2f}x curl)", None),
        ("firmware download VmHWM (kB)", f"{hwm} (before {hwm_before})",
         "-", "<= 10240", hwm <= 10240),
        ("firmware download peak RssAnon (kB)",
         f"{anon} (before {anon_before})", "-", "-", None),
    ] + cpu_rows(cpu, args.idle_minutes)
    print_load(load0, began)
    print_table(rows)
    return 1 if any(ok is False for *_, ok in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
