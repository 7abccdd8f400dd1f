#!/usr/bin/python3
"""Time of one settings commit that rewrites /config/bmminer.conf (load, one
changed setter, save), without the fixed one-second "own write" window of the
save. Runs bench/settings_commit_bench inside the device sandbox, since it
writes the device's /config."""

import argparse
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sim", "sandbox"))
import sandbox as sandbox_mod  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--runs", type=int, default=20)
    args = parser.parse_args()
    binary = os.path.join(args.build_dir, "bench", "settings_commit_bench")

    with sandbox_mod.Sandbox(miner=False) as sb:
        with open(binary, "rb") as f:
            sb.install("/usr/bin/settings_commit_bench", f.read(), 0o755)
        result = sb.run(["/usr/bin/settings_commit_bench", str(args.runs)],
                        timeout=30 + 3 * args.runs)
        if result.returncode != 0:
            sys.exit(f"benchmark failed:\n{result.stdout}{result.stderr}")
        figures = json.loads(result.stdout.strip().splitlines()[-1])
    print(f"settings commit that writes the file, {figures['runs']} runs "
          f"(median; the 1 s window of the save taken out):")
    print(f"  commit without the window: {figures['commit_without_window_ms']:.2f} ms "
          f"(best {figures['commit_without_window_min_ms']:.2f} ms)")
    print(f"  of which the file write alone: {figures['file_write_ms']:.2f} ms")
    print(f"  window measured on its own: {figures['window_ms']:.2f} ms")


if __name__ == "__main__":
    main()
