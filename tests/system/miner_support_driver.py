"""Drives tests/tools/miner_support_tool inside a sandbox: one command per
line on its standard input, answers read back as "> word ..." lines, every
line it (and the modules it links) wrote kept with its arrival time."""

import json
import re
import subprocess
import time

import pytest

from conftest import AgentProcess

TOOL_DEVICE_PATH = "/usr/bin/miner_support_tool"
MINER_ARGS = ["--fixed-freq", "--no-pre-heat", "--version-file",
              "/usr/bin/compile_time", "--api-listen", "--default-config",
              "/config/bmminer.conf"]


def tool_path(build_dir):
    path = build_dir / "tests" / "tools" / "miner_support_tool"
    if not path.is_file():
        pytest.skip(f"miner_support_tool is not built ({path} missing)")
    return path


def miner_file(pools=1, **extra):
    """Text of a miner configuration file with `pools` pools."""
    conf = {"pools": [{"url": f"stratum+tcp://pool{i}.example:3333",
                       "user": f"worker.{i}", "pass": "x"}
                      for i in range(pools)],
            "bitmain-freq": "650", "bitmain-voltage": "890"}
    conf.update(extra)
    return json.dumps(conf, indent=2)


class Tool:
    def __init__(self, sandbox, binary):
        self.sandbox = sandbox
        self.proc = AgentProcess(sandbox, binary, device_path=TOOL_DEVICE_PATH,
                                 stdin=subprocess.PIPE)

    def send(self, command):
        mark = self.proc.mark()
        self.proc.proc.stdin.write((command + "\n").encode())
        self.proc.proc.stdin.flush()
        return mark

    def answer(self, word, start, timeout=15.0):
        """Fields after "> word" of the first such answer since `start`."""
        m = self.proc.wait_for_line(rf"^> {re.escape(word)}(?: (.*))?$",
                                    timeout, stream="stdout", start=start)
        return (m.group(1) or "").split()

    def ask(self, command, timeout=15.0):
        return self.answer(command.split()[0], self.send(command), timeout)

    def threads(self):
        return self.ask("threads")[0].split(",")

    def lines(self, stream="any", start=0):
        return [text for _, name, text in self.proc.records()[start:]
                if stream in ("any", name)]

    def count(self, text, stream="any", start=0):
        return sum(text in line for line in self.lines(stream, start))

    def close(self):
        """Ends the tool in order; (exit status, everything it wrote). A
        sanitizer build exits non-zero when it found a fault or a leak."""
        if self.proc.returncode is None:
            try:
                self.send("quit")
                self.proc.proc.wait(15)
            except (OSError, subprocess.TimeoutExpired):
                pass
        self.proc.kill()
        return self.proc.returncode, self.proc.dump()


def miner_log(sandbox):
    """Records of the simulated miner's run log, oldest first."""
    if not sandbox.exists("/sim/miner.log"):
        return []
    return [json.loads(line)
            for line in sandbox.read_text("/sim/miner.log").splitlines()
            if line.strip()]


def miner_events(sandbox, event):
    return [r for r in miner_log(sandbox) if r["event"] == event]


def wait_until(predicate, timeout, what, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            pytest.fail(f"timed out after {timeout} s waiting for {what}",
                        pytrace=False)
        time.sleep(interval)


def miners_alive(sandbox):
    return [pid for pid, comm in sandbox.processes() if comm == "bmminer"]
