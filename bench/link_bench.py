#!/usr/bin/python3
"""Speed of the server link inside the device sandbox, against the reference
service on loopback:

* latency: a message queued on another thread (bench/link_driver's producer)
  to its arrival at the service, one message every 2 ms after the
  authentication, over 1000 messages: median and 99th percentile;
* start to "auth": from spawning the real rigkeep to its "auth" frame at the
  service (includes entering the sandbox's namespaces);
* drain: 1000 messages queued while the authentication is pending, from the
  service's "ok": true to the arrival of the last one.

Needs root (the sandbox). Prints one JSON object.
"""

import argparse
import json
import os
import statistics
import sys
import tempfile
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sim", "sandbox"))
sys.path.insert(0, os.path.join(HERE, "..", "sim", "service"))
import sandbox as sandbox_mod  # noqa: E402
from service import ReferenceService  # noqa: E402

FIFO = "/tmp/link_driver.fifo"


class Program:
    """A program in the sandbox whose stdout lines are collected."""

    def __init__(self, sb, argv):
        self.proc = sb.spawn(argv)
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in iter(self.proc.stdout.readline, b""):
            with self.cond:
                self.lines.append(raw.decode(errors="replace").rstrip("\n"))
                self.cond.notify_all()

    def wait_line(self, prefix, start=0, timeout=15.0):
        with self.cond:
            ok = self.cond.wait_for(lambda: any(
                line.startswith(prefix) for line in self.lines[start:]),
                timeout)
            if not ok:
                raise RuntimeError(f"no {prefix!r}: {self.lines[-20:]}")
            return next(line for line in self.lines[start:]
                        if line.startswith(prefix))

    def stop(self):
        self.proc.terminate()
        self.proc.wait(15)


class Driver(Program):
    """link_driver, or any program that takes its FIFO commands."""

    def __init__(self, sb, program="/usr/bin/link_driver", fifo=FIFO, args=()):
        super().__init__(sb, [program, fifo, *args])
        self.wait_line("driver: ready")
        self.fifo = open(sb.path(fifo), "w", buffering=1)

    def __call__(self, command, timeout=30.0):
        start = len(self.lines)
        self.fifo.write(command + "\n")
        return self.wait_line("driver: ", start, timeout)

    def stop(self):
        self.fifo.write("exit\n")
        self.fifo.close()
        self.proc.wait(15)


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def ms(seconds):
    return round(seconds * 1000, 3)


def latency(sb, svc, count, program="/usr/bin/link_driver"):
    svc.set_auth("ok")
    driver = Driver(sb, program)
    driver("wait authenticated 10")
    start = len(svc.messages())

    def arrived():
        return [m for m in svc.messages()[start:] if m.type == "probe"]
    driver(f"paced {count} 2000", 30 + count * 0.01)
    svc.wait_for(lambda: len(arrived()) >= count, 30, "the paced messages")
    driver.stop()
    return [m.wall - m.obj["t_ns"] / 1e9 for m in arrived()]


def drain(sb, svc, count, program="/usr/bin/link_driver"):
    svc.set_auth("none")
    known = len(svc.connections())
    driver = Driver(sb, program)
    driver("wait connected 10")
    conn = svc.wait_for_connection(known + 1)
    svc.wait_for(lambda: conn.received, 10, "auth")
    driver(f"enqueue {count}")
    svc.send({"type": "auth", "ok": True}, conn)
    svc.wait_for(lambda: len([m for m in conn.received
                              if m.type == "probe"]) >= count, 30, "drain")
    ok_sent = conn.sent[-1].mono
    last = [m for m in conn.received if m.type == "probe"][-1].mono
    driver.stop()
    return last - ok_sent


def sink_probes(sink, count, timeout):
    """The native sink's record of the connection: (drain in s, latencies in s)."""
    words = sink(f"wait {count} {timeout}", timeout + 10).split()
    if int(words[2]) < count:
        raise RuntimeError(f"the native sink got {words[2]} of {count} probes")
    return int(words[4]) / 1e9, [int(v) / 1e9 for v in words[6].split(",")]


def sink_latency(sb, sink, count, program="/usr/bin/link_driver"):
    """latency() against bench/native_sink (a Driver) instead of the service."""
    sink("auth ok")
    driver = Driver(sb, program)
    driver("wait authenticated 10")
    driver(f"paced {count} 2000", 30 + count * 0.01)
    lat = sink_probes(sink, count, 30)[1]
    driver.stop()
    return lat


def sink_drain(sb, sink, count, program="/usr/bin/link_driver"):
    """drain() against bench/native_sink."""
    sink("auth hold")
    driver = Driver(sb, program)
    driver("wait connected 10")
    sink("wait auth 10")
    driver(f"enqueue {count}")
    sink("answer")
    took = sink_probes(sink, count, 30)[0]
    driver.stop()
    return took


def start_to_auth(sb, svc, argv=("/usr/bin/rigkeep",)):
    svc.set_auth("ok")
    before = len(svc.messages())
    began = time.monotonic()
    agent = Program(sb, list(argv))
    svc.wait_for(lambda: len(svc.messages()) > before, 10, "auth")
    took = svc.messages()[before].mono - began
    agent.stop()
    return took


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--messages", type=int, default=1000)
    parser.add_argument("--runs", type=int, default=10)
    args = parser.parse_args()

    # The host and port the binaries were built for.
    with open(os.path.join(args.build_dir, "service_url.txt")) as f:
        url = urllib.parse.urlsplit(f.readline().strip())

    with tempfile.TemporaryDirectory() as d:
        certs = sandbox_mod.make_certs(d, url.hostname)
        with sandbox_mod.Sandbox(miner=False, ca_file=certs["ca_cert"],
                                 service_host=url.hostname) as sb:
            for name, path in (("rigkeep", "rigkeep"),
                               ("link_driver", "bench/link_driver")):
                with open(os.path.join(args.build_dir, path), "rb") as f:
                    sb.install(f"/usr/bin/{name}", f.read(), 0o755)
            sb.write_text("/config/velmora.json",
                          json.dumps({"api_key": "K", "dev_id": "D"}))
            svc = ReferenceService(port=url.port or 443,
                                   certfile=certs["server_cert"],
                                   keyfile=certs["server_key"],
                                   netns=sb.netns_fd_path).start()
            try:
                lat = latency(sb, svc, args.messages)
                drains = [drain(sb, svc, args.messages)
                          for _ in range(args.runs)]
                starts = [start_to_auth(sb, svc) for _ in range(args.runs)]
            finally:
                svc.stop()

    result = {
        "enqueue_to_arrival_ms_median": ms(statistics.median(lat)),
        "enqueue_to_arrival_ms_p99": ms(percentile(lat, 99)),
        "enqueue_to_arrival_ms_max": ms(max(lat)),
        "messages": len(lat),
        "start_to_auth_ms_median": ms(statistics.median(starts)),
        "start_to_auth_ms_max": ms(max(starts)),
        f"drain_{args.messages}_after_auth_ms_median":
            ms(statistics.median(drains)),
        f"drain_{args.messages}_after_auth_ms_max": ms(max(drains)),
        "runs": args.runs,
    }
    print(json.dumps(result, indent=2))


if __name__ == "__main__":
    main()
