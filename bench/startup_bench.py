#!/usr/bin/python3
"""Start-up and footprint of the real binary inside the device sandbox:
size of the stripped binary, time from exec to "Press Ctrl+C to stop rigkeep",
and anonymous / proportional resident memory of the idle process."""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sim", "sandbox"))
import sandbox as sandbox_mod  # noqa: E402


def smaps_rollup(pid):
    values = {}
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 3 and parts[2] == "kB":
                values[parts[0].rstrip(":")] = int(parts[1])
    return values


def time_to_ready(sb):
    began = time.monotonic()
    proc = sb.spawn(["/usr/bin/rigkeep"])
    for raw in iter(proc.stdout.readline, b""):
        if b"Press Ctrl+C to stop rigkeep" in raw:
            return proc, time.monotonic() - began
    raise RuntimeError("agent ended before it was ready")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--idle", type=float, default=3.0)
    parser.add_argument("--strip", default="strip",
                        help="strip program for the binary's CPU")
    args = parser.parse_args()
    binary = os.path.join(args.build_dir, "rigkeep")

    with tempfile.TemporaryDirectory() as d:
        stripped = os.path.join(d, "rigkeep")
        subprocess.run([args.strip, "-o", stripped, binary], check=True)
        size = os.path.getsize(stripped)

    times = []
    memory = None
    with sandbox_mod.Sandbox(miner=False) as sb:
        with open(binary, "rb") as f:
            sb.install("/usr/bin/rigkeep", f.read(), 0o755)
        for i in range(args.runs):
            sb.write_text("/config/velmora.json",
                          json.dumps({"api_key": "K", "dev_id": "D"}))
            proc, took = time_to_ready(sb)
            times.append(took)
            if i == args.runs - 1:
                time.sleep(args.idle)
                memory = smaps_rollup(proc.pid)
            proc.kill()
            proc.wait()

    times.sort()
    result = {
        "stripped_binary_bytes": size,
        "exec_to_ready_ms_median": round(statistics.median(times) * 1000, 2),
        "exec_to_ready_ms_max": round(times[-1] * 1000, 2),
        "idle_rss_anon_kB": memory.get("Anonymous"),
        "idle_pss_kB": memory.get("Pss"),
        "idle_rss_kB": memory.get("Rss"),
        "runs": args.runs,
    }
    print(json.dumps(result, indent=2))


if __name__ == "__main__":
    main()
