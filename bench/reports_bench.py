#!/usr/bin/python3
"""Cost of a status and a metrics report against the simulated miner and the
sandbox's eth0, and the stop latency of both reporting threads.

    /usr/bin/python3 bench/reports_bench.py --build-dir build [--rounds N]
"""

import argparse
import os
import sys

from miner_sandbox import HERE, miner_sandbox


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    p.add_argument("--rounds", type=int, default=100)
    args = p.parse_args()
    with miner_sandbox(args.build_dir, "bench/reports_bench") as sb:
        r = sb.run(["/usr/bin/reports_bench", str(args.rounds)], timeout=600)
        sys.stderr.write(r.stderr)
        if r.returncode != 0:
            return r.returncode
        print(r.stdout.strip())
    return 0


if __name__ == "__main__":
    sys.exit(main())
