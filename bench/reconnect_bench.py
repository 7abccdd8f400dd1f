#!/usr/bin/python3
"""Descriptors and anonymous memory of the real rigkeep over many reconnect
cycles, inside the device sandbox, against the reference service on loopback.

Each cycle: the service drops the authenticated connection (no close frame),
rigkeep waits its random 0 to 59 s and connects and authenticates again. The
clocks of rigkeep run --speed times faster (libfaketime) so that the waits
take a fraction of a second. Samples are taken just after each
authentication: open descriptors (/proc/PID/fd) and RssAnon
(/proc/PID/status).

Needs root (the sandbox) and faketime. Prints one JSON object.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sim", "sandbox"))
sys.path.insert(0, os.path.join(HERE, "..", "sim", "service"))
import sandbox as sandbox_mod  # noqa: E402
from service import ReferenceService  # noqa: E402

FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"


def sample(pid):
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    with open(f"/proc/{pid}/status") as f:
        rss = next(int(line.split()[1]) for line in f
                   if line.startswith("RssAnon:"))
    return fds, rss


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--cycles", type=int, default=200)
    parser.add_argument("--speed", type=int, default=100)
    args = parser.parse_args()

    with open(os.path.join(args.build_dir, "service_url.txt")) as f:
        url = urllib.parse.urlsplit(f.readline().strip())
    env = {"LD_PRELOAD": FAKETIME_LIB, "FAKETIME": f"+0 x{args.speed}",
           "ASAN_OPTIONS": "verify_asan_link_order=0"}

    with tempfile.TemporaryDirectory() as d:
        certs = sandbox_mod.make_certs(d, url.hostname)
        with sandbox_mod.Sandbox(miner=False, ca_file=certs["ca_cert"],
                                 service_host=url.hostname) as sb:
            with open(os.path.join(args.build_dir, "rigkeep"), "rb") as f:
                sb.install("/usr/bin/rigkeep", f.read(), 0o755)
            sb.write_text("/config/velmora.json",
                          json.dumps({"api_key": "K", "dev_id": "D"}))
            svc = ReferenceService(port=url.port or 443,
                                   certfile=certs["server_cert"],
                                   keyfile=certs["server_key"],
                                   netns=sb.netns_fd_path).start()
            svc.set_auth("ok")
            agent = sb.spawn(["/usr/bin/rigkeep"], env=env,
                             stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
            samples = {}
            began = time.monotonic()
            try:
                for n in range(1, args.cycles + 2):
                    conn = svc.wait_for_connection(n, 120)
                    svc.wait_for(lambda: conn.sent, 60, "the auth answer")
                    time.sleep(0.05)  # the answer handled
                    samples[n] = sample(agent.pid)
                    svc.drop(conn)
            finally:
                took = time.monotonic() - began
                agent.terminate()
                agent.wait(15)
                svc.stop()

    marks = sorted({1, 2, 11, 51, 101, args.cycles + 1} & set(samples))
    print(json.dumps({
        "cycles": args.cycles,
        "speed": args.speed,
        "seconds": round(took, 1),
        "after_cycle": {str(n - 1): {"fds": samples[n][0],
                                     "rss_anon_kb": samples[n][1]}
                        for n in marks},
        "fds_min_max": [min(s[0] for s in samples.values()),
                        max(s[0] for s in samples.values())],
    }, indent=2))


if __name__ == "__main__":
    main()
