#!/usr/bin/python3
"""HTTPS file server for firmware packages, with failure switches.

One listener per certificate (so a test can offer the device's CA on one port
and an unrelated CA on another; None: plain HTTP), all serving the same table
of paths:

    srv = FileServer({"device": (cert, key), "other": (cert2, key2)},
                     netns=sb.netns_fd_path).start()
    srv.put("/fw.tar.gz", data)             # bytes, or put_file(path, host file)
    srv.redirect("/moved", "/fw.tar.gz")    # 302, not followed by the agent
    srv.stall("/slow", data, after=1000)    # sends 1000 bytes, then nothing
    url = srv.url("/fw.tar.gz", host, "device")

Any other path answers 404. Requests are recorded as (listener, path).
With netns the sockets live in that network namespace (a sandbox's).
"""

import http.server
import os
import ssl
import sys
import threading
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from service import enter_netns  # noqa: E402

CHUNK = 256 * 1024


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        # The handshake runs here, on the request's own thread, so a client
        # that never completes it cannot hold the listener.
        if self.server.tls is not None:
            self.request = self.server.tls.wrap_socket(self.request,
                                                       server_side=True)
        super().setup()

    def log_message(self, *args):
        pass

    def do_GET(self):
        files = self.server.files
        path = self.path.split("?", 1)[0]
        files._record(self.server.name, path)
        route = files._route(path)
        kind = route[0] if route else None
        if kind == "redirect":
            body = b"moved\n"
            self.send_response(302)
            self.send_header("Location", route[1])
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        elif kind in ("data", "file", "stall"):
            size = (os.path.getsize(route[1]) if kind == "file"
                    else len(route[1]))
            self.send_response(200)
            self.send_header("Content-Type", "application/gzip")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            if kind == "file":
                with open(route[1], "rb") as f:
                    while chunk := f.read(CHUNK):
                        self.wfile.write(chunk)
            elif kind == "data":
                self.wfile.write(route[1])
            else:
                self.wfile.write(route[1][:route[2]])
                self.wfile.flush()
                # With a trickle: one more byte every `trickle` seconds.
                for i in range(route[2], size):
                    if files._released.wait(route[3]):
                        break
                    self.wfile.write(route[1][i:i + 1])
                    self.wfile.flush()
                files._released.wait()
                self.close_connection = True
        else:
            body = b"not found\n"
            self.send_response(404)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)


class _Listener(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, files, name, tls):
        self.files, self.name, self.tls = files, name, tls
        super().__init__(address, _Handler)

    def handle_error(self, request, client_address):
        pass  # refused handshakes and dropped clients are part of the tests


class FileServer:
    def __init__(self, certs, host="127.0.0.1", ports=None, netns=None):
        """certs: {listener name: (certfile, keyfile), or None for plain
        HTTP}; ports: {name: port} (default: any free port)."""
        self.host, self.netns = host, netns
        self._certs = dict(certs)
        self._want_ports = dict(ports or {})
        self.ports = {}
        self._routes = {}
        self._requests = []
        self._lock = threading.Lock()
        self._released = threading.Event()
        self._listeners = []
        self._threads = []

    def start(self, timeout=10.0):
        ready = threading.Event()
        failure = []
        thread = threading.Thread(target=self._main, args=(ready, failure),
                                  name="file-server", daemon=True)
        thread.start()
        if not ready.wait(timeout) or failure:
            raise RuntimeError(f"file server did not start: {failure}")
        self._threads.append(thread)
        return self

    def _main(self, ready, failure):
        try:
            if self.netns:
                enter_netns(self.netns)
            for name, pair in self._certs.items():
                ctx = None
                if pair:
                    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                    ctx.load_cert_chain(*pair)
                listener = _Listener((self.host, self._want_ports.get(name, 0)),
                                     self, name, ctx)
                self.ports[name] = listener.server_address[1]
                self._listeners.append(listener)
        except BaseException as exc:  # reported by start()
            failure.append(exc)
            ready.set()
            return
        for listener in self._listeners[1:]:
            t = threading.Thread(target=listener.serve_forever,
                                 kwargs={"poll_interval": 0.1}, daemon=True)
            t.start()
            self._threads.append(t)
        ready.set()
        self._listeners[0].serve_forever(poll_interval=0.1)

    def stop(self):
        self._released.set()
        for listener in self._listeners:
            listener.shutdown()
            listener.server_close()
        for t in self._threads:
            t.join(10)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # Routes.

    def put(self, path, data):
        self._set(path, ("data", bytes(data)))

    def put_file(self, path, host_file):
        self._set(path, ("file", os.fspath(host_file)))

    def redirect(self, path, location):
        self._set(path, ("redirect", location))

    def stall(self, path, data, after, trickle=None):
        """Announces all of data, sends `after` bytes, then nothing until
        stop(), or one byte every `trickle` seconds."""
        self._set(path, ("stall", bytes(data), after, trickle))

    def url(self, path, host, listener=None):
        name = listener or next(iter(self._certs))
        scheme = "https" if self._certs[name] else "http"
        return f"{scheme}://{host}:{self.ports[name]}{path}"

    def requests(self):
        with self._lock:
            return list(self._requests)

    def _set(self, path, route):
        with self._lock:
            self._routes[path] = route

    def _route(self, path):
        with self._lock:
            return self._routes.get(path)

    def _record(self, listener, path):
        with self._lock:
            self._requests.append((listener, path))


if __name__ == "__main__":
    import argparse
    p = argparse.ArgumentParser(description="Serve files over HTTPS.")
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    p.add_argument("--port", type=int, default=8443)
    p.add_argument("--netns")
    p.add_argument("files", nargs="*", metavar="URLPATH=FILE")
    args = p.parse_args()
    srv = FileServer({"main": (args.cert, args.key)},
                     ports={"main": args.port}, netns=args.netns)
    for item in args.files:
        url_path, _, host_file = item.partition("=")
        srv.put_file(url_path, host_file)
    srv.start()
    print(f"serving on port {srv.ports['main']}", flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        srv.stop()
