#!/usr/bin/python3
"""Round trip of a settings request that changes nothing, through the real
rigkeep in the device sandbox against the reference service on loopback:
request sent by the service to its result received there, one request at a
time, for a fan request and a chain request with chips: median and 99th
percentile. Needs root (the sandbox). Prints one JSON object."""

import argparse
import json
import os
import statistics
import time

from miner_sandbox import HERE, linked_board

REQUESTS = {
    "fans": {"type": "config_fans", "mode": "auto"},
    "chain": {"type": "config_chain", "id": "7", "use_global_freq": True,
              "use_global_volt": True, "freq": 0, "volt": 0, "chips": []},
}


def round_trips(svc, request, count):
    took = []
    for _ in range(count):
        start = svc.mark()
        sent = time.monotonic()
        svc.send(request)
        result = svc.wait_for_message(request["type"], 10, start)
        if result.obj != {"type": request["type"], "ok": True}:
            raise RuntimeError(f"unexpected result {result.obj}")
        took.append(result.mono - sent)
    return took


def ms(seconds):
    return round(seconds * 1000, 3)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir",
                        default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--requests", type=int, default=200)
    args = parser.parse_args()
    result = {}
    with linked_board(args.build_dir) as (sb, svc):
        svc.start()
        proc = sb.spawn(["/usr/bin/rigkeep"])
        try:
            svc.wait_for_message("auth", 20)
            time.sleep(2)  # past the start-up reports
            for name, request in REQUESTS.items():
                took = sorted(round_trips(svc, request, args.requests))
                p99 = took[min(len(took) - 1, int(len(took) * 0.99))]
                result[f"{name}_unchanged_ms_p50"] = \
                    ms(statistics.median(took))
                result[f"{name}_unchanged_ms_p99"] = ms(p99)
                result[f"{name}_unchanged_ms_max"] = ms(took[-1])
        finally:
            proc.kill()
            proc.wait()
            svc.stop()
    result["requests"] = args.requests
    print(json.dumps(result, indent=2))


if __name__ == "__main__":
    main()
