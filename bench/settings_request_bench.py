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
import sys
import tempfile
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sim", "sandbox"))
sys.path.insert(0, os.path.join(HERE, "..", "sim", "service"))
import sandbox as sandbox_mod  # noqa: E402
from service import ReferenceService  # noqa: E402

MINER_FILE = json.dumps({"pools": [{"url": "stratum+tcp://pool.example:3333",
                                    "user": "w", "pass": "x"}],
                         "bitmain-freq": "650", "bitmain-voltage": "890"})
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
    with open(os.path.join(args.build_dir, "service_url.txt")) as f:
        url = urllib.parse.urlsplit(f.readline().strip())

    result = {}
    with tempfile.TemporaryDirectory() as d:
        certs = sandbox_mod.make_certs(d, url.hostname)
        with sandbox_mod.Sandbox(ca_file=certs["ca_cert"],
                                 service_host=url.hostname) as sb:
            with open(os.path.join(args.build_dir, "rigkeep"), "rb") as f:
                sb.install("/usr/bin/rigkeep", f.read(), 0o755)
            sb.write_text("/config/velmora.json",
                          json.dumps({"api_key": "K", "dev_id": "D"}))
            sb.write_text("/config/bmminer.conf", MINER_FILE)
            svc = ReferenceService(port=url.port or 443,
                                   certfile=certs["server_cert"],
                                   keyfile=certs["server_key"],
                                   netns=sb.netns_fd_path).start()
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
