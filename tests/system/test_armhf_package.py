"""The agent of the armhf package, installed on a fresh armhf root file system
(scripts/check-armhf-deb.sh), started from that tree inside the sandbox under
the emulator. Skipped unless RIGKEEP_ARMHF_ROOT names such a tree."""

import os
import subprocess
import time

import pytest

from board import AUTHENTICATED, Program
from sandbox import NSENTER

ROOT = os.environ.get("RIGKEEP_ARMHF_ROOT")
pytestmark = pytest.mark.skipif(
    not ROOT, reason="needs an armhf tree with the package (make check-armhf-deb)")

TREE = "/armhf"
# The board's own files, seen from inside the armhf tree.
BINDS = ["/config", "/dev", "/proc", "/tmp", "/var/log", "/etc/hosts",
         "/etc/resolv.conf", "/etc/ssl/certs/letsencryptauthorityx3.pem"]


def mount_tree(sb):
    """Binds the tree at /armhf of the sandbox, with the device's files in it.
    The mounts live in the sandbox's mount namespace only."""
    script = [f"mkdir -p {sb.root}{TREE}", f"mount --bind {ROOT} {sb.root}{TREE}"]
    for path in BINDS:
        target = f"{sb.root}{TREE}{path}"
        make = "mkdir -p" if os.path.isdir(sb.path(path)) else "touch"
        script += [f"mkdir -p {os.path.dirname(target)}", f"{make} {target}",
                   f"mount --rbind {sb.root}{path} {target}"]
    subprocess.run([NSENTER, f"--target={sb.holder_pid}", "--mount", "--",
                    "sh", "-ec", " && ".join(script)], check=True)


def test_packaged_agent_starts_and_links_from_a_fresh_armhf_root(board):
    b = board(start=False, pools=None)
    sb, svc = b.sb, b.svc
    mount_tree(sb)
    began = time.monotonic()
    agent = Program(sb, "/usr/sbin/chroot", (TREE, "/usr/bin/rigkeep"),
                    device_path="/usr/sbin/chroot")
    try:
        agent.wait_for_line(r"INFO: Press Ctrl\+C to stop rigkeep$", 120)
        print(f"exec to ready under the emulator: {time.monotonic() - began:.2f} s")
        # The emulator runs it, with the libraries of the armhf tree.
        exe = os.readlink(sb.path(f"/proc/{agent.sandbox_pid}/exe"))
        with open(sb.path(f"/proc/{agent.sandbox_pid}/maps")) as f:
            maps = f.read()
        assert "qemu" in exe and \
            "/usr/lib/arm-linux-gnueabihf/libwebsockets.so.17" in maps, exe
        svc.wait_for_message("auth", 60)
        agent.wait_for_line(AUTHENTICATED, 60)
        assert agent.stop(30) == 0, agent.dump()
    finally:
        agent.kill()
        print(agent.dump())
