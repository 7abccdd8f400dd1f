"""`make demo` without a terminal: the whole tour passes, and neither a whole
run nor one interrupted by Ctrl+C leaves a process or a sandbox behind."""

import ctypes
import os
import re
import signal
import subprocess
import sys
import threading

import pytest

from conftest import REPO_ROOT, SANITIZER

PR_SET_CHILD_SUBREAPER = 36
STEPS = 5


def children():
    """(pid, comm) of every live child of this process."""
    found = []
    for name in os.listdir("/proc"):
        try:
            with open(f"/proc/{name}/stat", "rb") as f:
                stat = f.read()
        except OSError:
            continue
        close = stat.rindex(b")")
        state, ppid = stat[close + 2:].split()[:2]
        if int(ppid) == os.getpid() and state != b"Z":
            found.append((int(name), stat[stat.index(b"(") + 1:close]
                          .decode(errors="replace")))
    return found


@pytest.fixture
def subreaper():
    """Orphans of the demo become our children, so none can hide."""
    libc = ctypes.CDLL(None, use_errno=True)
    assert libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0
    before = children()
    yield before
    libc.prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0)
    for pid, _ in children():
        if (pid, _) not in before:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)


# (line after which Ctrl+C comes, or None; exit status; steps passed)
RUNS = [(None, 0, STEPS), (r"== step 2:", 130, 1)]


@pytest.mark.parametrize("interrupt,status,steps", RUNS,
                         ids=["whole-tour", "ctrl-c"])
def test_tour_ends_with_nothing_left(subreaper, build_dir, time_scale,
                                     interrupt, status, steps):
    proc = subprocess.Popen(
        [sys.executable, str(REPO_ROOT / "sim" / "demo.py"), "--build-dir",
         str(build_dir), "--time-scale", str(time_scale)],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT, text=True)
    out = []

    def read():
        for line in proc.stdout:
            out.append(line)
            if interrupt and re.search(interrupt, line):
                proc.send_signal(signal.SIGINT)
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    try:
        rc = proc.wait(120 * time_scale)
    finally:
        proc.kill()
        reader.join(10)
    text = "".join(out)
    print(text)
    assert rc == status, text
    assert not SANITIZER.search(text), text
    assert len(re.findall(r"the service saw: ", text)) == steps, text
    # The agent stopped in order: by the update, or by the demo's SIGTERM.
    assert "exited with status 0" in text or "ended with status 0" in text
    assert [c for c in children() if c not in subreaper] == []
    board = re.search(r"a fresh control board in (\S+):", text).group(1)
    assert not os.path.exists(board)
    with open("/proc/self/mountinfo") as f:
        assert board not in f.read()
