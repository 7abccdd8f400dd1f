"""The firmware update through the real binary in the sandbox: packages
served over HTTPS from inside the sandbox's network, the success path and
every failure path."""

import io
import os
import re
import sys
import tarfile
from pathlib import Path

import pytest

from board_driver import board  # noqa: F401 - the fixture
from miner_support_driver import miners_alive

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "sim" / "service"))

from files import FileServer  # noqa: E402

# Records where and how it ran (the directory is gone afterwards).
RECORDER = '#!/bin/sh\necho "$(pwd) $#:$*" > /sim/update_ran\n' \
           'echo "installing firmware"\n'


def package(files):
    """A gzip-compressed tar of {name: (text, mode)}."""
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w:gz") as tar:
        for name, (text, mode) in files.items():
            data = text.encode()
            info = tarfile.TarInfo(name)
            info.size, info.mode = len(data), mode
            tar.addfile(info, io.BytesIO(data))
    return out.getvalue()


@pytest.fixture
def updater(board, certs, service_host, build_dir):  # noqa: F811
    servers = []

    def start(binary=None):
        b = board(binary=binary)
        srv = FileServer({"device": (certs["server_cert"], certs["server_key"]),
                          "other": (certs["other_cert"], certs["other_key"]),
                          "plain": None},
                         netns=b.sb.netns_fd_path).start()
        servers.append(srv)
        srv.put("/fw.tar.gz", package({"update.sh": (RECORDER, 0o755)}))
        srv.put("/no-script.tar.gz", package({"readme": ("x\n", 0o644)}))
        srv.put("/failing.tar.gz", package({"update.sh": (
            RECORDER + 'echo "bad image"\nexit 3\n', 0o755)}))
        srv.redirect("/moved", "/fw.tar.gz")
        srv.stall("/stall.tar.gz", b"\x1f\x8b" * 50000, after=1000)
        b.url = lambda path, listener="device": srv.url(path, service_host,
                                                        listener)
        b.files = srv
        b.ready()
        return b

    yield start
    for srv in servers:
        srv.stop()


def update(b, url, timeout=30):
    """Requests the update; (exit status, status-report start)."""
    start = len(b.svc.messages("status"))
    answer = b.request({"type": "update_firmware", "firmware_ver": "9.9",
                        "firmware_url": url})
    assert answer == {"type": "update_firmware", "ok": True}
    return b.agent.wait(timeout), start


def assert_left_clean(b, exit_status, want):
    assert exit_status == want, b.agent.dump()
    assert not [n for n in os.listdir(b.sb.path("/tmp"))
                if n.startswith("update_")]
    assert not miners_alive(b.sb), "the miner runs again"
    assert b.agent.lines("stdout")[-1].endswith("INFO: Goodbye!")


def test_update_applies_the_package_and_restarts_the_agent(updater):
    b = updater()
    status, start = update(b, b.url("/fw.tar.gz"))
    assert_left_clean(b, status, 0)
    states = b.states(start)
    # A periodic report may repeat the last state.
    states = [s for i, s in enumerate(states) if i == 0 or s != states[i - 1]]
    assert states == [{"name": "updating", "progress": p}
                      for p in (0, 40, 60, 100)], b.svc.describe()
    ran = b.sb.read_text("/sim/update_ran")
    assert re.fullmatch(r"/tmp/update_[A-Za-z0-9]{6} 0:\n", ran), ran
    assert b.sb.read_text("/var/log/firmware_update.log") == \
        "installing firmware\n"
    assert "rigkeep.sh restart" in b.sb.calls()
    log = [line.split(": ", 1)[1] for line in b.agent.lines()
           if ": " in line]
    order = ["Updating firmware", "Downloading firmware update",
             "Extracting update package", "Applying firmware update",
             "Firmware updated successfully", "Restarting velmora agent",
             "Goodbye!"]
    assert [line for line in log if line in order] == order, log


# (URL path, listener, the error line that names the failure)
FAILURES = [
    ("/missing", "device", r"Failed to download firmware update, code: 22$"),
    ("/moved", "device", r"Failed to extract firmware update, code: \d+$"),
    ("/fw.tar.gz", "other", r"Failed to download firmware update, code: 60$"),
    ("/no-script.tar.gz", "device", "Failed to apply firmware update, check "
     "/var/log/firmware_update.log for details$"),
    ("/failing.tar.gz", "device", "Failed to apply firmware update"),
    # Plain HTTP would deliver a package nobody verified.
    ("/fw.tar.gz", "plain", r"Failed to download firmware update, code: 1$"),
]


@pytest.mark.parametrize("path,listener,error", FAILURES,
                         ids=[f[0].strip("/") + "-" + f[1] for f in FAILURES])
def test_failed_update_ends_the_process_with_the_miner_stopped(
        updater, path, listener, error):
    b = updater()
    status, start = update(b, b.url(path, listener))
    assert_left_clean(b, status, 1)
    b.agent.wait_for_line(r"ERROR: " + error, 1)
    b.agent.wait_for_line(r"ERROR: Firmware update failed!$", 1)
    assert "rigkeep.sh restart" not in b.sb.calls()
    assert {s["name"] for s in b.states(start)} == {"updating"}
    if path == "/failing.tar.gz":
        assert b.sb.read_text("/var/log/firmware_update.log") == \
            "installing firmware\nbad image\n"


def test_stalled_download_fails_and_a_second_request_changes_nothing(
        updater, build_dir):
    binary = build_dir / "tests" / "tools" / "rigkeep_short_stall"
    if not binary.is_file():
        pytest.skip(f"{binary} is not built")
    b = updater(binary=binary)
    start = len(b.svc.messages("status"))
    b.request({"type": "update_firmware", "firmware_ver": "9.9",
               "firmware_url": b.url("/stall.tar.gz")})
    began = b.agent.wait_for_line(r"INFO: Downloading firmware update$")
    again = b.request({"type": "update_firmware", "firmware_ver": "9.9",
                       "firmware_url": b.url("/fw.tar.gz")})
    assert again == {"type": "update_firmware", "ok": True}
    b.agent.wait_for_line(r"WARN: Firmware update is already in progress$", 1)
    assert_left_clean(b, b.agent.wait(20), 1)
    assert [p for _, p in b.files.requests()] == ["/stall.tar.gz"]
    times = {text: t for t, _, text in b.agent.records()}
    began_at = next(t for text, t in times.items() if began.string == text)
    failed_at = next(t for text, t in times.items()
                     if text.endswith("code: 28"))
    # libcurl averages the speed over a few seconds before it counts the stall.
    assert 3 <= failed_at - began_at < 12, failed_at - began_at
    assert {s["progress"] for s in b.states(start)} == {0}
