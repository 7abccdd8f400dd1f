"""The firmware update through the real binary in the sandbox, with packages
served over HTTPS inside the sandbox's network: success and failure paths."""

import os
import re

import pytest

from board import miners_alive, package, wait_until
from conftest import bound, tool

# Records where and how it ran (the directory is gone afterwards).
RECORDER = '#!/bin/sh\necho "$(pwd) $#:$*" > /sim/update_ran\n' \
           'echo "installing firmware"\n'


@pytest.fixture
def updater(board):
    def start(**kw):
        b = board(**kw)
        srv = b.server = b.file_server(
            other=(b.certs["other_cert"], b.certs["other_key"]), plain=None)
        srv.put("/fw.tar.gz", package("update.sh", RECORDER))
        srv.put("/no-script.tar.gz", package("readme", "x\n", 0o644))
        srv.put("/failing.tar.gz", package(
            "update.sh", RECORDER + 'echo "bad image"\nexit 3\n'))
        srv.redirect("/moved", "/fw.tar.gz")
        srv.stall("/stall.tar.gz", b"\x1f\x8b" * 50000, after=1000)
        b.url = srv.url
        b.ready()
        return b
    return start


def update(b, url):
    """Requests the update; the index of the next status report."""
    start = len(b.svc.messages("status"))
    assert b.request({"type": "update_firmware", "firmware_ver": "9.9",
                      "firmware_url": url}) == \
        {"type": "update_firmware", "ok": True}
    return start


def assert_ended(b, want, timeout=30):
    assert b.agent.wait(timeout) == want, b.agent.dump()
    assert not [n for n in os.listdir(b.sb.path("/tmp"))
                if n.startswith("update_")]
    assert not miners_alive(b.sb), "the miner runs again"
    assert b.agent.lines("stdout")[-1].endswith("INFO: Goodbye!")
    # The last reports left before the link was closed.
    assert b.svc.wait_for_close(5).close_code == 1000


def test_update_applies_the_package_and_restarts_the_agent(updater):
    b = updater()
    start = update(b, b.url("/fw.tar.gz"))
    assert_ended(b, 0)
    states = b.states(start)  # a periodic report may repeat a state
    assert [s for i, s in enumerate(states) if s not in states[:i]] == \
        [{"name": "updating", "progress": p} for p in (0, 40, 60, 100)]
    ran = b.sb.read_text("/sim/update_ran")
    assert re.fullmatch(r"/tmp/update_[A-Za-z0-9]{6} 0:\n", ran), ran
    assert b.sb.read_text("/var/log/firmware_update.log") == \
        "installing firmware\n"
    assert b.sb.calls()[-1] == "rigkeep.sh restart"
    b.agent.wait_for_line(r"INFO: Firmware updated successfully$", 0)
    b.agent.wait_for_line(r"INFO: Restarting velmora agent$", 0)


# libcurl of the board's library directory (/usr/lib/<multiarch>/).
LIBCURL = "/usr/lib/*/libcurl.so.4"

# (URL path, listener, the error line that names the failure, board options)
FAILURES = [
    ("/missing", "device", r"Failed to download firmware update, code: 22$", {}),
    ("/moved", "device", r"Failed to extract firmware update, code: \d+$", {}),
    # Only the device CA counts, whatever the system's CA store holds.
    ("/fw.tar.gz", "other", r"Failed to download firmware update, code: 60$",
     {"system_ca": "other_ca_cert"}),
    # Plain HTTP would deliver a package nobody verified.
    ("/fw.tar.gz", "plain", r"Failed to download firmware update, code: 1$", {}),
    ("/no-script.tar.gz", "device", "Failed to apply firmware update, check "
     "/var/log/firmware_update.log for details$", {}),
    ("/failing.tar.gz", "device", "Failed to apply firmware update", {}),
    # The daemon runs without libcurl until a download needs it.
    ("/fw.tar.gz", "device", r"Failed to load libcurl\.so\.4: .*libcurl\.so\.4.*$",
     {"hidden": [LIBCURL]}),
]


@pytest.mark.parametrize(
    "path,listener,error,options", FAILURES,
    ids=[f"{f[0].strip('/')}-{f[1]}" + "".join(
        {"hidden": "-no-libcurl", "system_ca": "-system-ca"}[k] for k in f[3])
        for f in FAILURES])
def test_failed_update_ends_the_process_with_the_miner_stopped(
        updater, path, listener, error, options):
    b = updater(**options)
    start = update(b, b.url(path, listener))
    assert_ended(b, 1)
    b.agent.wait_for_line(r"ERROR: " + error, 0)
    b.agent.wait_for_line(r"ERROR: Firmware update failed!$", 0)
    assert "rigkeep.sh restart" not in b.sb.calls()
    assert {s["name"] for s in b.states(start)} == {"updating"}
    if path == "/failing.tar.gz":
        assert b.sb.read_text("/var/log/firmware_update.log") == \
            "installing firmware\nbad image\n"
    # Nothing is fetched from a server that was not verified.
    if listener != "device" or options:
        assert not b.server.requests()


def test_stalled_download_fails_and_a_second_request_changes_nothing(
        updater):
    b = updater(binary=tool("rigkeep_short_stall"))
    start = update(b, b.url("/stall.tar.gz"))
    b.agent.wait_for_line(r"INFO: Downloading firmware update$")
    assert "rigkeep@update" in [n for _, n in b.sb.threads(b.agent.sandbox_pid)]
    update(b, b.url("/fw.tar.gz"))
    b.agent.wait_for_line(r"WARN: Firmware update is already in progress$", 5)
    assert_ended(b, 1, 20)
    assert [p for _, p in b.server.requests()] == ["/stall.tar.gz"]
    at = {text.split(": ", 1)[1]: t for t, _, text in b.agent.records()
          if ": " in text}
    # libcurl averages the speed over a few seconds before it counts the
    # 3 s of this build.
    took = at["Failed to download firmware update, code: 28"] - \
        at["Downloading firmware update"]
    assert 3 <= took < bound(8.5, 3.0), took
    assert {s["progress"] for s in b.states(start)} == {0}


# Update directories a start finds in /tmp: (what it is, kept). Ours are
# root's with mode 0700 (mkdtemp's); one that a process works in belongs to an
# update.sh still running after the agent that started it ended.
LEFTOVERS = {
    "update_idle01": ("ours", False),
    "update_cwd001": ("ours, a process's working directory", True),
    "update_open01": ("ours, a file inside open", True),
    "update_mode01": ("mode 0755", True),
    "update_user01": ("nobody's", True),
    "update_link01": ("a link to a directory outside", True),
    "update_link02": ("ours, holding links outside", False),
}


def test_start_removes_only_idle_update_dirs_of_its_own(board):
    b = board(start=False, service=False)
    sb = b.sb
    sb.write_text("/sim/outside/keep", "x")
    os.chmod(sb.path("/sim/outside"), 0o700)  # would pass for one of ours
    for name, (kind, _) in LEFTOVERS.items():
        path, inside = sb.path(f"/tmp/{name}"), f"/tmp/{name}"
        if kind.startswith("a link"):
            os.symlink("/sim/outside", path)
            continue
        os.mkdir(path, 0o700)
        sb.write_text(f"{inside}/update.sh", "")
        if kind == "mode 0755":
            os.chmod(path, 0o755)
        elif kind == "nobody's":
            os.chown(path, 65534, 65534)
        elif "links" in kind:
            os.symlink("/sim/outside", f"{path}/dir")
            os.symlink("/sim/outside/keep", f"{path}/file")
        elif kind != "ours":
            script = f"cd {inside} && exec sleep 600" if "working" in kind \
                else f"exec sleep 600 < {inside}/update.sh"
            p = sb.spawn(["sh", "-c", script])
            link, target = ("cwd", inside) if "working" in kind else \
                ("fd/0", f"{inside}/update.sh")
            wait_until(lambda: os.readlink(f"/proc/{p.pid}/{link}")
                       .endswith(target), 10, kind)
    agent = b.start()
    agent.wait_for_line(r"Press Ctrl\+C", 20)
    assert {n for n in os.listdir(sb.path("/tmp"))
            if n.startswith("update_")} == \
        {n for n, (_, kept) in LEFTOVERS.items() if kept}
    assert os.listdir(sb.path("/sim/outside")) == ["keep"]
    assert agent.stop() == 0
