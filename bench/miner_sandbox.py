"""A device sandbox with the simulated miner running and a bench program of the
build installed: the setup of the benches that call the miner's API from inside."""

import contextlib
import json
import os
import subprocess
import sys
import tempfile
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sim", "sandbox"))
sys.path.insert(0, os.path.join(HERE, "..", "sim", "service"))

from sandbox import Sandbox, make_certs  # noqa: E402
from service import ReferenceService  # noqa: E402

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
    programs += (os.path.join("bench", "miner_api_tool"),)
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


@contextlib.contextmanager
def linked_board(build_dir, miner_config=None):
    """A sandbox with the build's rigkeep installed (not started), an agent file
    and the miner file in place, and a reference service for the URL the build
    was made for, not started either: (sandbox, service). The caller starts and
    stops both."""
    with open(os.path.join(build_dir, "service_url.txt")) as f:
        url = urllib.parse.urlsplit(f.readline().strip())
    with tempfile.TemporaryDirectory() as d:
        certs = make_certs(d, url.hostname)
        with Sandbox(ca_file=certs["ca_cert"], service_host=url.hostname) as sb:
            with open(os.path.join(build_dir, "rigkeep"), "rb") as f:
                sb.install("/usr/bin/rigkeep", f.read(), 0o755)
            sb.write_text("/config/velmora.json",
                          json.dumps({"api_key": "K", "dev_id": "D"}))
            sb.write_text("/config/bmminer.conf",
                          json.dumps(miner_config or CONFIG))
            svc = ReferenceService(port=url.port or 443,
                                   certfile=certs["server_cert"],
                                   keyfile=certs["server_key"],
                                   netns=sb.netns_fd_path)
            svc.certs = certs  # for a stand-in with the same certificate
            yield sb, svc
