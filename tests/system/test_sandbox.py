"""The device sandbox itself, exercised with ordinary programs."""

import glob
import json
import os
import shutil
import signal
import subprocess
import textwrap
import time
from pathlib import Path

import pytest

from conftest import REPO_ROOT, sandbox_mod

PY = "/usr/bin/python3"

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


def gone(pid, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as f:
                if f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X"):
                    return True
        except OSError:
            return True
        time.sleep(0.02)
    return False


# The fakes and the miner.

def test_fakes_record_calls_and_never_reach_the_host(sandbox_factory):
    def host_reboot():
        path = "/usr/sbin/reboot"
        return os.path.lexists(path) and (os.readlink(path) if os.path.islink(
            path) else open(path, "rb").read())
    before = host_reboot()
    sb = sandbox_factory()
    assert sb.run(["sh", "-c", "reboot && /sbin/reboot -f"]).returncode == 0
    assert sb.calls() == ["reboot", "reboot -f"]
    assert host_reboot() == before and not os.path.exists("/sim/calls.log")


def test_miner_is_installed_and_killall_sees_only_the_sandbox(
        sandbox_factory, tmp_path):
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
        sb = sandbox_factory(miner_path=str(miner))
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

    assert not sandbox_factory(miner=False).exists("/usr/bin/bmminer")


# (Files installed before and after the start: every system test.)
def test_no_way_off_the_machine(sandbox_factory):
    sb = sandbox_factory()
    # Nothing but the private pair and loopback: no way off the machine.
    links = sb.run(["ip", "-o", "link", "show"]).stdout
    assert sorted(l.split(":")[1].strip().split("@")[0]
                  for l in links.splitlines()) == \
        ["eth0", "lo", sandbox_mod.PEER_IFACE]
    # The host's own paths are not reachable from inside.
    assert sb.run(["ls", str(REPO_ROOT)]).returncode != 0


# Cleaning up.

def test_close_leaves_nothing(sandbox_factory):
    sb = sandbox_factory(config_size=65536)
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
        assert members(ns) == [], kind
    sb.close()
    with pytest.raises(sandbox_mod.SandboxError):
        sb.path("/config")


OWNER = textwrap.dedent("""
    import json, sys, time
    sys.path.insert(0, sys.argv[1])
    import sandbox
    sb = sandbox.Sandbox(ca_file=sys.argv[2]).start()
    p = sb.spawn(["sleep", "300"])
    print(json.dumps({"tmpdir": sb.tmpdir, "holder": sb.holder_pid,
                      "child": p.pid}), flush=True)
    time.sleep(300)
""")


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGTERM])
def test_dead_owner_leaves_nothing(certs, sig):
    owner = subprocess.Popen(
        [PY, "-c", OWNER, str(REPO_ROOT / "sim" / "sandbox"),
         certs["ca_cert"]], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        info = json.loads(owner.stdout.readline())
    except ValueError:
        owner.kill()
        pytest.fail(owner.communicate()[1].decode())
    assert mounts_mentioning(info["tmpdir"])
    owner.send_signal(sig)
    owner.communicate(timeout=10)
    assert gone(info["holder"]) and gone(info["child"])
    assert mounts_mentioning(info["tmpdir"]) == []
    if sig == signal.SIGKILL:
        # Nobody was left to delete the files: the next run does (another
        # test run on this machine may have been first).
        sandbox_mod.remove_stale_dirs()
    assert not os.path.exists(info["tmpdir"])


def test_stale_dirs_of_dead_owners_are_removed(tmp_path):
    dead = subprocess.Popen(["true"])
    dead.wait()
    stale = tmp_path / (sandbox_mod.TMP_PREFIX + "dead")
    live = tmp_path / (sandbox_mod.TMP_PREFIX + "live")
    reused = tmp_path / (sandbox_mod.TMP_PREFIX + "reused")
    young = tmp_path / (sandbox_mod.TMP_PREFIX + "young")
    other = tmp_path / "unrelated"
    for d in (stale, live, reused, young, other):
        (d / "root" / "config").mkdir(parents=True)
    me = os.getpid()
    (stale / "owner").write_text(f"{dead.pid} 12345\n")
    (live / "owner").write_text(f"{me} {sandbox_mod._start_time(me)}\n")
    # Our pid, but another start time: a dead owner whose pid came back.
    (reused / "owner").write_text(f"{me} 1\n")
    (other / "owner").write_text(f"{dead.pid} 12345\n")
    # young has no owner yet: it is being set up.
    assert sorted(sandbox_mod.remove_stale_dirs(str(tmp_path))) == sorted(
        [str(reused), str(stale)])
    assert sorted(os.listdir(tmp_path)) == sorted(
        d.name for d in (live, young, other))
