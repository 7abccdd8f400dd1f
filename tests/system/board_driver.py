"""A sandboxed board running the real rigkeep against the reference service,
for the tests of the service's requests."""

import json
import sys
from pathlib import Path

import pytest

from miner_support_driver import miner_file, miners_alive, wait_until

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "sim" / "service"))
from service import ReferenceService  # noqa: E402


class Board:
    def __init__(self, sb, svc, agent):
        self.sb, self.svc, self.agent = sb, svc, agent

    def ready(self, timeout=20):
        """Authenticated, with the miner running."""
        self.agent.wait_for_line(r"INFO: Agent successfully authenticated$",
                                 timeout)
        # The exchange that follows: a status report, then "config", which
        # the service answers with nothing to apply.
        self.agent.wait_for_line(r"ERROR: Request config failed", timeout)
        wait_until(lambda: miners_alive(self.sb), timeout, "a running miner")

    def request(self, obj, answer=True, timeout=15):
        """Sends obj; the answer to it (its type, with "ok" or
        "request_id"), or None without waiting when answer is False."""
        start = self.svc.mark()
        self.svc.send(obj)
        if not answer:
            return None
        return self.svc.wait_for_message(
            lambda m: m.type == obj.get("type") and
            ("ok" in m.obj or "request_id" in m.obj), timeout, start).obj

    def states(self, start=0):
        """"state" of each status report from the start-th on."""
        return [m.obj["state"] for m in self.svc.messages("status")[start:]
                if "state" in m.obj]


@pytest.fixture
def board(sandbox_factory, agent_factory, certs, service_port):
    services = []

    def start(miner=None, files=None, binary=None):
        sb = sandbox_factory()
        files = {"/config/velmora.json": json.dumps(
                     {"api_key": "k", "dev_id": "0BADF00D1234ABCD-02524B000001"}),
                 "/config/bmminer.conf": miner_file(1),
                 "/sim/miner.json": json.dumps(miner or {}), **(files or {})}
        for path, content in files.items():
            sb.write_text(path, content)
        svc = ReferenceService(port=service_port, certfile=certs["server_cert"],
                               keyfile=certs["server_key"],
                               netns=sb.netns_fd_path)
        services.append(svc.start())
        return Board(sb, svc, agent_factory(sb, binary=binary))

    yield start
    for svc in services:
        print(svc.describe())
        svc.stop()
