#!/usr/bin/python3
"""Firmware download inside the device sandbox: a 64 MB package served over
HTTPS on the sandbox's loopback, fetched by the real binary's update and by
`curl` from the same server in the same run. Prints the download throughput
of each and the daemon's peak resident memory (VmHWM) during the update."""

import argparse
import io
import json
import os
import statistics
import sys
import tarfile
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sim", "sandbox"))
sys.path.insert(0, os.path.join(HERE, "..", "sim", "service"))
import sandbox as sandbox_mod  # noqa: E402
from files import FileServer  # noqa: E402
from service import ReferenceService  # noqa: E402

HOST = "api.velmora.example"
AGENT_FILE = json.dumps({"api_key": "K", "dev_id": "D"})
# Keeps the process alive for a moment after the download, for the reading.
UPDATE_SH = b"#!/bin/sh\nsleep 1\n"


def make_package(path, size):
    with tarfile.open(path, "w:gz", compresslevel=1) as tar:
        for name, data, mode in (("update.sh", UPDATE_SH, 0o755),
                                 ("rootfs.bin", os.urandom(size), 0o644)):
            info = tarfile.TarInfo(name)
            info.size, info.mode = len(data), mode
            tar.addfile(info, io.BytesIO(data))


def status_kb(pid, key):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def vm_hwm_kb(pid):
    return status_kb(pid, "VmHWM")


def daemon_run(sb, url, service_port, certs):
    svc = ReferenceService(port=service_port, certfile=certs["server_cert"],
                           keyfile=certs["server_key"],
                           netns=sb.netns_fd_path).start()
    proc = sb.spawn(["/usr/bin/rigkeep"])
    times = {}
    lines = []

    def read():
        for raw in iter(proc.stdout.readline, b""):
            text = raw.decode(errors="replace")
            lines.append(text)
            for key in ("Agent successfully authenticated",
                        "Downloading firmware update",
                        "Extracting update package"):
                if key in text:
                    times[key] = time.monotonic()
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    try:
        deadline = time.monotonic() + 20
        while "Agent successfully authenticated" not in times:
            if time.monotonic() > deadline:
                raise RuntimeError("no authentication:\n" + "".join(lines))
            time.sleep(0.05)
        before = vm_hwm_kb(proc.pid)
        svc.send({"type": "update_firmware", "firmware_ver": "x",
                  "firmware_url": url})
        peak = before
        # Most of VmHWM is shared library pages; RssAnon is the daemon's own.
        anon = anon_before = status_kb(proc.pid, "RssAnon")
        while proc.poll() is None:
            peak = vm_hwm_kb(proc.pid) or peak
            anon = max(anon, status_kb(proc.pid, "RssAnon") or 0)
            time.sleep(0.02)
        reader.join(5)
        took = times["Extracting update package"] - \
            times["Downloading firmware update"]
        return took, before, peak, (anon_before, anon), proc.returncode
    finally:
        proc.kill()
        proc.wait()
        svc.stop()


def curl_run(sb, url):
    r = sb.run(["curl", "-s", "-o", "/tmp/curl.out", "-w",
                "%{time_starttransfer} %{time_total}", "--cacert",
                "/etc/ssl/certs/letsencryptauthorityx3.pem", url],
               timeout=120)
    if r.returncode != 0:
        raise RuntimeError(f"curl failed: {r.returncode} {r.stderr}")
    sb.run(["rm", "-f", "/tmp/curl.out"])
    return float(r.stdout.split()[1])


def run(build_dir, megabytes=64, runs=3, service_port=443):
    """The figures of both fetchers, as one dict."""
    binary = os.path.join(build_dir, "rigkeep")

    with tempfile.TemporaryDirectory() as d:
        certs = sandbox_mod.make_certs(os.path.join(d, "certs"), HOST)
        pkg = os.path.join(d, "fw.tar.gz")
        make_package(pkg, megabytes << 20)
        size = os.path.getsize(pkg)
        with sandbox_mod.Sandbox(service_host=HOST,
                                 ca_file=certs["ca_cert"]) as sb:
            with open(binary, "rb") as f:
                sb.install("/usr/bin/rigkeep", f.read(), 0o755)
            srv = FileServer({"device": (certs["server_cert"],
                                         certs["server_key"])},
                             netns=sb.netns_fd_path).start()
            srv.put_file("/fw.tar.gz", pkg)
            url = srv.url("/fw.tar.gz", HOST)
            daemon, curl, hwm, anons = [], [], [], []
            try:
                for _ in range(runs):
                    curl.append(curl_run(sb, url))
                    sb.write_text("/config/velmora.json", AGENT_FILE)
                    took, before, peak, anon, rc = daemon_run(
                        sb, url, service_port, certs)
                    if rc != 0:
                        raise RuntimeError(f"update ended with {rc}")
                    daemon.append(took)
                    hwm.append((before, peak))
                    anons.append(anon)
            finally:
                srv.stop()

    mb = size / 1e6
    return {
        "package_bytes": size,
        "daemon_MBps_median": round(mb / statistics.median(daemon), 1),
        "curl_MBps_median": round(mb / statistics.median(curl), 1),
        "daemon_seconds": [round(t, 3) for t in daemon],
        "curl_seconds": [round(t, 3) for t in curl],
        "daemon_VmHWM_kB_before_and_peak": hwm,
        "daemon_RssAnon_kB_before_and_peak": anons,
        "runs": runs,
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--megabytes", type=int, default=64)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--service-port", type=int, default=443)
    args = parser.parse_args()
    print(json.dumps(run(args.build_dir, args.megabytes, args.runs,
                         args.service_port), indent=2))


if __name__ == "__main__":
    main()
