#!/usr/bin/python3
"""A "config" answer that changes every section, sent to the real rigkeep in
the device sandbox with the simulated miner running: time from the answer
leaving the reference service to

* the "restarting" status arriving back (the answer applied, the miner file
  and network.conf written, the save's own-write window passed), and
* the new miner process starting (its "start" record in the miner's log).

Both include the save's fixed 1 s own-write window, which is also given taken
out. Needs root (the sandbox). Prints one JSON object.
"""

import argparse
import json
import os
import statistics
import threading
import time

from miner_sandbox import HERE, linked_board

WINDOW = 1.0  # the save's own-write mark


def answer(n):
    """Two answers (n even, n odd) that differ in every section."""
    k = n % 2
    return {
        "type": "config",
        "network": {"mode": "static", "ip": f"10.0.3.{7 + k}",
                    "netmask": "255.255.0.0", "gateway": "10.0.3.1",
                    "dnsservers": [f"10.0.3.{1 + k}"]},
        "pools": {"main": {"stratum_url": f"stratum+tcp://p{k}.example:3333",
                           "worker": f"w.{k}", "password": "x"}},
        "fans": {"mode": "manual", "speed": 50 + k},
        "perf": {"asic_boost": bool(k), "profile": "profile_user",
                 "freq": 650 + k * 25, "volt": 8.9 + k * 0.1},
        "chains": [{"id": "7", "use_global_freq": False,
                    "use_global_volt": False, "freq": 700 + k, "volt": 8.8,
                    "chips": [{"id": str(3 + k), "freq": 690}]}],
        "autotuner": {"stage1": bool(k), "stage2": True, "stage3": False,
                      "downclock_step": 2 + k, "min_freq": 400,
                      "hashrate_deviation": 75, "test_time": 2,
                      "down_freq_hw": 1},
        "watchdog": {"min_hr": 10000 + k, "max_xchips": 3, "max_temp": 90},
    }


def miner_starts(sb):
    try:
        text = sb.read_text("/sim/miner.log")
    except OSError:
        return []
    records = [json.loads(line) for line in text.splitlines() if line.strip()]
    return [r["time"] for r in records if r["event"] == "start"]


def state(msg):
    return msg.obj.get("state", {}).get("name") if msg.type == "status" else None


def wait(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise RuntimeError(f"timed out waiting for {what}")
        time.sleep(0.005)
    return value


def one_run(sb, svc, n):
    starts = len(miner_starts(sb))
    mark = svc.mark()
    conn = svc.connections()[-1]
    sent_before = len(conn.sent)
    svc.send(answer(n))
    sent = wait(lambda: conn.sent[sent_before:], 5, "the answer")[0].wall
    restarting = svc.wait_for_message(lambda m: state(m) == "restarting", 20,
                                      start=mark).wall
    started = wait(lambda: miner_starts(sb)[starts:], 20, "a miner start")[0]
    svc.wait_for_message(lambda m: state(m) in ("mining", "autotuning"), 30,
                         start=mark)
    return restarting - sent, started - sent


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--runs", type=int, default=10)
    args = parser.parse_args()
    with linked_board(args.build_dir) as (sb, svc):
        svc.set_config_answer({"ok": False, "message": "bench"})
        svc.start()
        agent = sb.spawn(["/usr/bin/rigkeep"])
        threading.Thread(target=lambda: agent.stdout.read(),
                         daemon=True).start()
        try:
            svc.wait_for_message(lambda m: state(m) == "mining", 30)
            runs = [one_run(sb, svc, n) for n in range(args.runs)]
        finally:
            agent.terminate()
            agent.wait(15)
            svc.stop()

    reported = sorted(r for r, _ in runs)
    started = sorted(s for _, s in runs)

    def ms(seconds):
        return round(seconds * 1000, 1)
    print(json.dumps({
        "answer_to_restarting_ms_median": ms(statistics.median(reported)),
        "answer_to_restarting_ms_max": ms(reported[-1]),
        "answer_to_miner_start_ms_median": ms(statistics.median(started)),
        "answer_to_miner_start_ms_max": ms(started[-1]),
        "own_write_window_ms": ms(WINDOW),
        "answer_to_miner_start_without_window_ms_median":
            ms(statistics.median(started) - WINDOW),
        "runs": args.runs,
    }, indent=2))


if __name__ == "__main__":
    main()
