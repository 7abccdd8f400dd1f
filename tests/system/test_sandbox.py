"""The device sandbox's safety, exercised with ordinary programs: what the
daemon's tests rely on and would not show themselves."""

import glob
import os
import shutil
import signal
import subprocess
from pathlib import Path

import pytest

from board import sandbox_mod, wait_until
from conftest import REPO_ROOT


def _each(pattern, read):
    """read(path) for every path pattern gives under /proc; the dead skipped."""
    found = []
    for path in glob.glob(pattern):
        try:
            found += read(path)
        except OSError:
            pass
    return found


def mounts_mentioning(text):
    """Mount lines naming text, in the mount namespace of any process."""
    return _each("/proc/[0-9]*/mountinfo",
                 lambda p: [l for l in Path(p).read_text().splitlines()
                            if text in l])


def members(ns_link):
    """Tasks (threads included) living in the namespace ns_link names."""
    kind = ns_link.split(":")[0]
    return _each(f"/proc/[0-9]*/task/*/ns/{kind}",
                 lambda p: [p] if os.readlink(p) == ns_link else [])


def gone(pid):
    def dead():
        try:
            with open(f"/proc/{pid}/stat") as f:
                return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
        except OSError:
            return True
    return wait_until(dead, 5, f"pid {pid} gone")


# The fakes and the miner.

def sandbox(board, **kw):
    return board(service=False, start=False, **kw).sb


def test_fakes_record_calls_and_never_reach_the_host(board):
    def host_reboot():
        path = "/usr/sbin/reboot"
        return os.path.lexists(path) and (os.readlink(path) if os.path.islink(
            path) else open(path, "rb").read())
    before = host_reboot()
    sb = sandbox(board)
    assert sb.run(["sh", "-c", "reboot && /sbin/reboot -f"]).returncode == 0
    assert sb.calls() == ["reboot", "reboot -f"]
    assert host_reboot() == before and not os.path.exists("/sim/calls.log")


def test_miner_is_installed_and_killall_sees_only_the_sandbox(
        board, tmp_path):
    miner = tmp_path / "miner" / "bmminer"
    miner.parent.mkdir()
    miner.write_text("#!/usr/bin/python3\nimport sys, time\nprint('hashing', "
                     "*sys.argv[1:], flush=True)\ntime.sleep(60)\n")
    miner.chmod(0o755)
    # A host process with the same name must survive the sandbox's killall.
    host_twin = tmp_path / "bmminer"
    shutil.copy("/usr/bin/sleep", host_twin)
    twin = subprocess.Popen([str(host_twin), "60"])
    try:
        sb = sandbox(board, miner_path=str(miner))
        proc = sb.spawn(["bmminer", "--api-listen"])
        assert proc.stdout.readline() == b"hashing --api-listen\n"
        assert (proc.sandbox_pid, "bmminer") in sb.processes()
        assert sb.run(["sh", "-c", "killall -9 bmminer"]).returncode == 0
        assert proc.wait(5) == -signal.SIGKILL
        assert all(comm != "bmminer" for _, comm in sb.processes())
        assert twin.poll() is None
    finally:
        twin.kill()
        twin.wait()

    assert not sandbox(board, sim_miner=False).exists("/usr/bin/bmminer")


# (Files installed before and after the start: every system test.)
def test_no_way_off_the_machine(board):
    sb = sandbox(board)
    # Nothing but the private pair and loopback: no way off the machine.
    links = sb.run(["ip", "-o", "link", "show"]).stdout
    assert sorted(l.split(":")[1].strip().split("@")[0]
                  for l in links.splitlines()) == \
        ["eth0", "lo", sandbox_mod.PEER_IFACE]
    # The host's own paths are not reachable from inside.
    assert sb.run(["ls", str(REPO_ROOT)]).returncode != 0


# Cleaning up.

def test_close_leaves_nothing(board):
    sb = sandbox(board, config_size=65536)
    sleeper = sb.spawn(["sleep", "300"])
    sb.run(["sh", "-c", "sleep 300 > /dev/null 2>&1 &"])
    tmpdir, holder = sb.tmpdir, sb.holder_pid
    namespaces = {ns: os.readlink(f"/proc/{holder}/ns/{ns}")
                  for ns in ("pid", "net", "mnt")}
    assert mounts_mentioning(tmpdir)
    inside = members(namespaces["pid"])
    assert len(inside) == 3, inside  # the holder and two sleeps
    with pytest.raises(RuntimeError):
        with sb:
            raise RuntimeError("test failed inside")
    assert sleeper.returncode == -signal.SIGKILL
    assert gone(holder)
    assert not os.path.exists(tmpdir)
    assert mounts_mentioning(tmpdir) == []
    for kind, ns in namespaces.items():
        wait_until(lambda: not members(ns), 5, f"the {kind} namespace empty")
    sb.close()
    with pytest.raises(sandbox_mod.SandboxError):
        sb.path("/config")
