#!/usr/bin/python3
"""Shows rigkeep at work: a fresh simulated control board (the device sandbox)
with the simulated miner, the reference service listening on the board's own
loopback under the built-in service host, and the real binary started from a
factory agent file.

Without a terminal the demo runs a short script and stops the agent; on a
terminal (or with --interactive) it hands the service's prompt to the user:
type `help` for the requests you can send, `quit` to stop the agent.
"""

import argparse
import json
import os
import signal
import sys
import tempfile
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "sandbox"))
sys.path.insert(0, os.path.join(HERE, "service"))

import sandbox as sandbox_mod  # noqa: E402
from service import LiveView, Prompt, ReferenceService  # noqa: E402

DEMO_MINER_CONFIG = {
    "pools": [{"url": "stratum+tcp://pool.example.com:3333",
               "user": "rigkeep.demo", "pass": "x"}],
    "api-listen": True,
    "bitmain-freq": "650",
    "bitmain-voltage": "890",
}


def read_url(build_dir):
    try:
        with open(os.path.join(build_dir, "service_url.txt")) as f:
            return f.readline().strip()
    except OSError:
        return "wss://api.velmora.example/api/v1/ws"


def pump(stream, view, label):
    for raw in iter(stream.readline, b""):
        view.line(view.c("36", f"{label} | ") +
                  raw.decode(errors="replace").rstrip("\n"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--interactive", action="store_true",
                        default=sys.stdin.isatty())
    parser.add_argument("--seconds", type=float, default=8.0,
                        help="how long the scripted demo lets the agent run")
    args = parser.parse_args()

    reason = sandbox_mod.unavailable_reason()
    if reason:
        print(f"demo needs the device sandbox: {reason}")
        return 1
    binary = os.path.join(args.build_dir, "rigkeep")
    url = urllib.parse.urlsplit(read_url(args.build_dir))
    host, port = url.hostname, url.port or 443

    view = LiveView()
    certdir = tempfile.mkdtemp(prefix="rigkeep-demo-certs-")
    certs = sandbox_mod.make_certs(certdir, host)
    with sandbox_mod.Sandbox(service_host=host, ca_file=certs["ca_cert"]) as sb:
        view.info(view.c("1", "== a fresh control board: ") +
                  f"eth0 {sandbox_mod.DEFAULT_MAC}, FPGA words 60/61 "
                  f"{sandbox_mod.DEFAULT_FPGA_WORDS[60]:08X}/"
                  f"{sandbox_mod.DEFAULT_FPGA_WORDS[61]:08X}")
        sb.write_text("/config/velmora.json",
                      json.dumps({"api_key": "demo-api-key"}))
        sb.write_text("/config/bmminer.conf",
                      json.dumps(DEMO_MINER_CONFIG, indent=1))
        with open(binary, "rb") as f:
            sb.install("/usr/bin/rigkeep", f.read(), 0o755)

        service = ReferenceService(port=port, certfile=certs["server_cert"],
                                   keyfile=certs["server_key"],
                                   netns=sb.netns_fd_path, on_event=view.event)
        service.set_auth("ok")
        service.start()
        view.info(view.c("1", "== reference service ") +
                  f"on {host}:{port} (the board's loopback)")

        view.info(view.c("1", "== starting rigkeep ") + "with a factory "
                  "agent file (api_key only)")
        agent = sb.spawn(["/usr/bin/rigkeep"])
        pumps = [threading.Thread(target=pump, args=(s, view, "agent"),
                                  daemon=True)
                 for s in (agent.stdout, agent.stderr)]
        for t in pumps:
            t.start()

        time.sleep(1.5)
        view.info(view.c("1", "== /config/velmora.json after start-up:"))
        view.info(sb.read_text("/config/velmora.json"))
        if sb.exists("/config/network.conf"):
            view.info(view.c("1", "== /config/network.conf:"))
            view.info(sb.read_text("/config/network.conf"))

        if args.interactive and agent.poll() is None:
            prompt = Prompt(service, view)
            view.info("type help for the requests you can send; quit stops")
            for line in sys.stdin:
                if not prompt.handle(line) or agent.poll() is not None:
                    break
        else:
            deadline = time.monotonic() + args.seconds
            sent = False
            while time.monotonic() < deadline and agent.poll() is None:
                if not sent and service.connections():
                    try:
                        service.wait_for_message("auth", timeout=5)
                        view.info(view.c("1", "== service sends an unknown "
                                         "request type"))
                        service.send({"type": "demo_unknown"})
                        sent = True
                    except Exception:  # noqa: BLE001 (demo: keep going)
                        pass
                time.sleep(0.2)

        view.info(view.c("1", "== SIGTERM to rigkeep"))
        if agent.poll() is None:
            agent.send_signal(signal.SIGTERM)
        try:
            rc = agent.wait(15)
        except Exception:  # noqa: BLE001
            agent.kill()
            rc = agent.wait()
        for t in pumps:
            t.join(2)
        view.info(view.c("1", f"== rigkeep exited with status {rc}"))
        service.stop()
        return 0 if rc == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
