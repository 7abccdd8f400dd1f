#!/usr/bin/python3
"""Cost of a status and a metrics report against the simulated miner and the
sandbox's eth0, and the stop latency of both reporting threads.

    /usr/bin/python3 bench/reports_bench.py --build-dir build [--rounds N]
"""

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sim", "sandbox"))

from sandbox import Sandbox  # noqa: E402

MINER_ARGS = ["bmminer", "--fixed-freq", "--no-pre-heat", "--version-file",
              "/usr/bin/compile_time", "--api-listen", "--default-config",
              "/config/bmminer.conf"]
CONFIG = {"pools": [{"url": "stratum+tcp://pool.example.com:3333",
                     "user": "worker1", "pass": "x"}],
          "bitmain-freq": "650", "bitmain-voltage": "890"}


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    p.add_argument("--rounds", type=int, default=100)
    args = p.parse_args()
    bench = os.path.join(args.build_dir, "bench", "reports_bench")
    tool = os.path.join(args.build_dir, "tests", "tools", "miner_api_tool")
    with Sandbox(service_host=None) as sb:
        with open(bench, "rb") as f:
            sb.install("/usr/bin/reports_bench", f.read(), 0o755)
        with open(tool, "rb") as f:
            sb.install("/usr/bin/miner_api_tool", f.read(), 0o755)
        sb.write_text("/config/bmminer.conf", json.dumps(CONFIG))
        sb.spawn(MINER_ARGS, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL)
        sb.run(["/usr/bin/miner_api_tool", "wait-api", "10"], check=True)
        r = sb.run(["/usr/bin/reports_bench", str(args.rounds)],
                   timeout=600)
        sys.stderr.write(r.stderr)
        if r.returncode != 0:
            return r.returncode
        print(r.stdout.strip())
    return 0


if __name__ == "__main__":
    sys.exit(main())
