#!/usr/bin/python3
"""Wall time and heap allocations of one cgminer_stats() call against the
simulated miner, inside the device sandbox.

    /usr/bin/python3 bench/cgminer_stats_bench.py --build-dir build [--calls N]
"""

import argparse
import json
import os
import sys

from miner_sandbox import HERE, miner_sandbox


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    p.add_argument("--calls", type=int, default=200)
    args = p.parse_args()
    with miner_sandbox(args.build_dir, "bench/cgminer_stats_bench") as sb:
        r = sb.run(["/usr/bin/cgminer_stats_bench", str(args.calls)], timeout=600)
        sys.stderr.write(r.stderr)
        if r.returncode != 0:
            return r.returncode
        result = json.loads(r.stdout)
        reply = sb.run(["/usr/bin/miner_api_tool", "call", "stats"])
        result["reply_bytes"] = len(json.dumps(
            json.loads(reply.stdout.splitlines()[-1][7:])["reply"]))
        print(json.dumps(result))
    return 0


if __name__ == "__main__":
    sys.exit(main())
