"""A sandboxed board running the real rigkeep against the reference service,
for the tests of the service's requests."""

import glob
import json
import os

import pytest

from conftest import AUTHENTICATED, agent_file
from miner_support_driver import miner_file, miners_alive, wait_until


class Board:
    def __init__(self, sb, svc, agent):
        self.sb, self.svc, self.agent = sb, svc, agent

    def ready(self, timeout=20):
        """Authenticated, with the miner running."""
        self.agent.wait_for_line(AUTHENTICATED, timeout)
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
def board(sandbox_factory, service_factory, agent_factory):
    def start(miner=None, files=None, binary=None, hidden=(), sandbox=None):
        """hidden: device path patterns removed (each must match) before the
        agent starts; sandbox: options of the sandbox."""
        sb = sandbox_factory(**(sandbox or {}))
        files = {"/config/velmora.json": agent_file("k"),
                 "/config/bmminer.conf": miner_file(1),
                 "/sim/miner.json": json.dumps(miner or {}), **(files or {})}
        for path, content in files.items():
            sb.write_text(path, content)
        for pattern in hidden:
            found = glob.glob(sb.path(pattern))
            assert found, pattern
            for path in found:
                os.unlink(path)
        return Board(sb, service_factory(sb), agent_factory(sb, binary=binary))
    return start
