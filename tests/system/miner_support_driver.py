"""Drives tests/tools/miner_support_tool inside a sandbox: one command per
line on its standard input, answers read back as "> word ..." lines."""

import json
import re
import subprocess
import time

import pytest

from conftest import AgentProcess, built

MINER_ARGS = ["--fixed-freq", "--no-pre-heat", "--version-file",
              "/usr/bin/compile_time", "--api-listen", "--default-config",
              "/config/bmminer.conf"]


def tool_path(build_dir):
    return built(build_dir, "tests", "tools", "miner_support_tool")


def chip_list(chips=()):
    """The file's "bitmain-chip-freq": 63 values per chain 6, 7, 8."""
    values = [0] * 189
    for chain, chip, freq in chips:
        values[(chain - 6) * 63 + chip - 1] = freq
    return ":".join(map(str, values))


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
        self.proc = AgentProcess(sandbox, binary,
                                 device_path="/usr/bin/miner_support_tool",
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

    def count(self, text, stream="any", start=0):
        return sum(text in line for _, name, line in
                   self.proc.records()[start:] if stream in ("any", name))

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


def miner_events(sandbox, event):
    """The simulated miner's records of that event, oldest first."""
    if not sandbox.exists("/sim/miner.log"):
        return []
    records = [json.loads(line) for line in
               sandbox.read_text("/sim/miner.log").splitlines() if line.strip()]
    return [r for r in records if r["event"] == event]


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            pytest.fail(f"timed out after {timeout} s waiting for {what}",
                        pytrace=False)
        time.sleep(0.05)
    return value


def miners_alive(sandbox):
    return [pid for pid, comm in sandbox.processes() if comm == "bmminer"]
