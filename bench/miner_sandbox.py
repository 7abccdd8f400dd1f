"""A device sandbox with the simulated miner running and a bench program of the
build installed: the setup of the benches that call the miner's API from inside."""

import contextlib
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


@contextlib.contextmanager
def miner_sandbox(build_dir, *programs):
    """The sandbox, once the miner's API answers; each of programs (paths in
    the build directory) installed in /usr/bin under its own name."""
    programs += (os.path.join("tests", "tools", "miner_api_tool"),)
    with Sandbox(service_host=None) as sb:
        for program in programs:
            with open(os.path.join(build_dir, program), "rb") as f:
                sb.install("/usr/bin/" + os.path.basename(program), f.read(),
                           0o755)
        sb.write_text("/config/bmminer.conf", json.dumps(CONFIG))
        sb.spawn(MINER_ARGS, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL)
        sb.run(["/usr/bin/miner_api_tool", "wait-api", "10"], check=True)
        yield sb
