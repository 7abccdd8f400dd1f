#!/usr/bin/python3
"""Reference management service for rigkeep: a scriptable TLS WebSocket server.

Used two ways:

* by the system tests, as the `ReferenceService` class: it runs its own asyncio
  loop in a thread, answers the agent's "auth", "config" and "update_config"
  messages according to switches the test sets, records everything the agent
  sends (with arrival times, close codes, negotiated subprotocol and
  extensions), and lets the test push requests, raw or fragmented frames,
  closes, drops and stalls at the agent;
* from the command line (`make demo`): a live view of what the agent sends and
  a prompt to send it requests.

Only the standard library and Debian's python3-websockets 10.4 are used.
"""

import argparse
import asyncio
import ctypes
import dataclasses
import http
import itertools
import json
import os
import signal
import ssl
import sys
import threading
import time
from typing import Any, Callable, List, Optional, Union

import websockets
from websockets.frames import OP_BINARY, OP_CONT, OP_TEXT

SUBPROTOCOL = "velmora-agent"
CLONE_NEWNET = 0x40000000

AUTH_MODES = ("ok", "fail", "ok_int", "ok_string", "none")
# Keys of the device configuration document that a "config" answer can carry
# back; "update_config" uploads are merged into the stored copy key by key.
CONFIG_KEYS = ("network", "pools", "fans", "perf", "chains", "autotuner",
                   "watchdog")


class WaitTimeout(AssertionError):
    """A wait_* helper ran out of time; the text says what was seen instead."""


class ServiceError(RuntimeError):
    pass


@dataclasses.dataclass
class Message:
    """One WebSocket message, received from the agent or sent to it."""
    conn_id: int
    index: int          # order among all received (or all sent) messages
    data: Union[str, bytes]
    is_text: bool
    mono: float         # time.monotonic() at arrival / send
    wall: float         # time.time() at arrival / send
    obj: Any = None     # decoded JSON, None when the text is not JSON

    @classmethod
    def stamped(cls, conn_id: int, index: int,
                data: Union[str, bytes]) -> "Message":
        """The message as seen now, its text decoded when it is JSON."""
        obj = None
        if isinstance(data, str):
            try:
                obj = json.loads(data)
            except ValueError:
                pass
        return cls(conn_id, index, data, isinstance(data, str),
                   time.monotonic(), time.time(), obj)

    @property
    def type(self) -> Optional[str]:
        if isinstance(self.obj, dict) and isinstance(self.obj.get("type"), str):
            return self.obj["type"]
        return None

    @property
    def size(self) -> int:
        """Length in bytes (UTF-8 for text)."""
        if isinstance(self.data, str):
            return len(self.data.encode("utf-8"))
        return len(self.data)

    def __repr__(self) -> str:
        text = self.data if isinstance(self.data, str) else repr(self.data)
        if len(text) > 120:
            text = text[:117] + "..."
        return f"<Message #{self.conn_id}.{self.index} {self.type} {text}>"


@dataclasses.dataclass
class TlsHandshake:
    """One TLS handshake attempt on the listening socket."""
    mono: float
    wall: float
    server_name: Optional[str]
    certfile: str       # the certificate this handshake presented
    # True: completed; False: failed with `error` (e.g. the client's alert
    # "tlsv1 alert unknown ca"); None: still running, or the client hung up
    # without finishing or sending an alert.
    ok: Optional[bool]
    error: Optional[str] = None


class Connection:
    """One WebSocket connection from the agent.

    Times are recorded with time.monotonic() (`opened_mono`, `closed_mono`) and
    time.time() (`opened_wall`, `closed_wall`).  `close_code` is the status in
    the close frame the agent sent (1005 when its frame carried none), or None
    when the connection ended without one.  `closed_by` is "agent", "service",
    "drop" (the service aborted the TCP connection) or "lost".
    """

    def __init__(self, service: "ReferenceService", conn_id: int, ws) -> None:
        self._service = service
        self._ws = ws
        self.id = conn_id
        self.opened_mono = time.monotonic()
        self.opened_wall = time.time()
        self.path = ws.path
        self.remote = ws.remote_address
        self.request_headers = list(ws.request_headers.raw_items())
        self.offered_subprotocols = ws.request_headers.get(
            "Sec-WebSocket-Protocol")
        self.subprotocol = ws.subprotocol
        self.offered_extensions = ws.request_headers.get(
            "Sec-WebSocket-Extensions")
        self.extensions_header = ws.response_headers.get(
            "Sec-WebSocket-Extensions")
        self.extensions = [ext.name for ext in ws.extensions]
        self.received: List[Message] = []
        self.sent: List[Message] = []
        self.closed_mono: Optional[float] = None
        self.closed_wall: Optional[float] = None
        self.close_code: Optional[int] = None
        self.close_reason: Optional[str] = None
        self.closed_by: Optional[str] = None
        self.stalled = False
        self._dropped = False

    @property
    def closed(self) -> bool:
        return self.closed_mono is not None

    def __repr__(self) -> str:
        state = "open" if not self.closed else (
            f"closed by {self.closed_by} code={self.close_code}")
        return (f"<Connection #{self.id} {self.path} proto={self.subprotocol}"
                f" ext={self.extensions} {state} rx={len(self.received)}>")

    # Actions, callable from any thread but the service's own.

    def send(self, obj: Any, timeout: float = 5.0) -> None:
        """Send obj as one JSON text frame."""
        self.send_raw(json.dumps(obj), timeout=timeout)

    def send_raw(self, data: Union[str, bytes], binary: bool = False,
                 timeout: float = 5.0) -> None:
        """Send one frame with data exactly as given.

        str goes out UTF-8 encoded; bytes go out untouched in a text frame (so
        invalid or truncated UTF-8 can be sent), or in a binary frame with
        binary=True.
        """
        payload = data.encode("utf-8") if isinstance(data, str) else bytes(data)
        opcode = OP_BINARY if binary else OP_TEXT
        self._service._run(self._write_frames([(opcode, payload)], data),
                           timeout)

    def send_fragments(self, parts: List[Union[str, bytes]],
                       timeout: float = 5.0) -> None:
        """Send one text message as len(parts) frames, one part per frame.

        The last part carries FIN; no empty trailing frame is added (unlike
        websockets' own send(iterable)).
        """
        if not parts:
            raise ValueError("send_fragments needs at least one part")
        payloads = [p.encode("utf-8") if isinstance(p, str) else bytes(p)
                    for p in parts]
        frames = [(OP_TEXT if i == 0 else OP_CONT, p)
                  for i, p in enumerate(payloads)]
        whole = b"".join(payloads)
        try:
            record = whole.decode("utf-8")
        except UnicodeDecodeError:
            record = whole
        self._service._run(self._write_frames(frames, record), timeout)

    def close(self, code: int = 1000, reason: str = "", wait: bool = True,
              timeout: float = 10.0) -> None:
        """Start the closing handshake; with wait, return once it is over."""
        fut = self._service._submit(self._ws.close(code, reason))
        if wait:
            fut.result(timeout)

    def drop(self, timeout: float = 5.0) -> None:
        """Abort the TCP connection: no close frame, no TLS close_notify."""
        async def abort():
            self._dropped = True
            self._ws.transport.abort()
        self._service._run(abort(), timeout)

    def stall(self, timeout: float = 5.0) -> None:
        """Stop reading from the connection (pings and messages pile up)."""
        async def pause():
            ws = self._ws
            task = getattr(ws, "keepalive_ping_task", None)
            if task is not None:
                task.cancel()
            transport = ws.transport
            # The stream reader resumes the transport on its own after it
            # paused it for buffering; keep it paused while stalled.
            transport.resume_reading = lambda: None
            type(transport).pause_reading(transport)
            self.stalled = True
        self._service._run(pause(), timeout)

    def resume(self, timeout: float = 5.0) -> None:
        """Undo stall()."""
        async def unpause():
            transport = self._ws.transport
            transport.__dict__.pop("resume_reading", None)
            self.stalled = False
            transport.resume_reading()
        self._service._run(unpause(), timeout)

    async def _write_frames(self, frames, record) -> None:
        ws = self._ws
        await ws.ensure_open()
        # Written back to back without yielding, so no other send can slip
        # between the fragments of one message.
        for i, (opcode, payload) in enumerate(frames):
            ws.write_frame_sync(i == len(frames) - 1, opcode, payload)
        self._service._record_sent(self, record)
        await ws.drain()


class ReferenceService:
    """TLS WebSocket management service running in its own thread.

    Behaviour switches (set_auth, set_config_answer, set_update_config_answer,
    refuse_connections, reject_handshake, use_certificate) may be changed
    before start() or while running, from any thread.
    """

    def __init__(self, host: str = "127.0.0.1", port: int = 443,
                 certfile: Optional[str] = None,
                 keyfile: Optional[str] = None,
                 netns: Optional[str] = None,
                 ping_interval: Optional[float] = None,
                 close_timeout: float = 2.0,
                 on_event: Optional[Callable] = None) -> None:
        if not certfile or not keyfile:
            raise ValueError("certfile and keyfile are required")
        self.host = host
        self.port = port
        self.netns = netns
        self._ping_interval = ping_interval
        self._close_timeout = close_timeout
        self._on_event = on_event
        self._cond = threading.Condition(threading.RLock())
        self._conns: List[Connection] = []
        self._messages: List[Message] = []
        self._sent_count = 0
        self._tls: List[TlsHandshake] = []
        self._conn_ids = itertools.count(1)
        # Behaviour switches, guarded by _cond.
        self._auth = {"mode": "ok", "registration": False, "delay": 0.0,
                      "message": "Invalid API key"}
        self._config_answer: Any = "stored"
        self._config_delay = 0.0
        self._update_answer: Optional[bool] = True
        self._update_delay = 0.0
        self._reject_status: Optional[int] = None
        self._stored_config: dict = {}
        self._certfile = certfile
        self._cert_ctx = self._make_context(certfile, keyfile)
        self._front_ctx = self._make_context(certfile, keyfile)
        self._front_ctx.sni_callback = self._pick_certificate
        self._front_ctx.sslobject_class = self._observer_class()
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._thread: Optional[threading.Thread] = None
        self._servers: list = []
        self._listening = False
        self._stop_event: Optional[asyncio.Event] = None

    # Life cycle.

    def start(self, timeout: float = 10.0) -> "ReferenceService":
        if self._thread is not None:
            raise ServiceError("already started")
        started = threading.Event()
        failure: List[BaseException] = []
        self._thread = threading.Thread(
            target=self._thread_main, args=(started, failure),
            name="ref-service", daemon=True)
        self._thread.start()
        if not started.wait(timeout):
            raise ServiceError("service did not start in time")
        if failure:
            self._thread.join(timeout)
            self._thread = None
            raise ServiceError(f"service failed to start: {failure[0]!r}") \
                from failure[0]
        return self

    def stop(self, timeout: float = 10.0) -> None:
        """Close every connection (status 1001) and the listener, end the thread."""
        if self._thread is None:
            return
        if self._loop is not None and self._stop_event is not None:
            self._loop.call_soon_threadsafe(self._stop_event.set)
        self._thread.join(timeout)
        if self._thread.is_alive():
            raise ServiceError("service thread did not end")
        self._thread = None

    def __enter__(self) -> "ReferenceService":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    @property
    def url(self) -> str:
        return f"wss://{self.host}:{self.port}/api/v1/ws"

    # Behaviour switches.

    def set_auth(self, mode: Union[str, dict] = "ok", registration: bool = False,
                 delay: float = 0.0, message: str = "Invalid API key") -> None:
        """How to answer "auth".

        mode: "ok" ("ok": true), "fail" ("ok": false with message), "ok_int"
        ("ok": 1), "ok_string" ("ok": "true"), "none" (no answer), or a dict
        sent as it is.  registration adds "registration": true to the "ok",
        "ok_int" and "ok_string" answers.  delay is in seconds.
        """
        if not isinstance(mode, dict) and mode not in AUTH_MODES:
            raise ValueError(f"unknown auth mode {mode!r}")
        with self._cond:
            self._auth = {"mode": mode, "registration": registration,
                          "delay": delay, "message": message}

    def set_config_answer(self, answer: Any = "stored",
                          delay: float = 0.0) -> None:
        """How to answer "config".

        answer: "stored" (the document last uploaded with "update_config", or
        "ok": false when there is none), a dict sent as the answer ("type":
        "config" is added when missing), or None for no answer at all.
        """
        if answer is not None and answer != "stored" and \
                not isinstance(answer, dict):
            raise ValueError("answer must be 'stored', a dict or None")
        with self._cond:
            self._config_answer = answer
            self._config_delay = delay

    def set_update_config_answer(self, ok: Optional[bool] = True,
                                 delay: float = 0.0) -> None:
        """Answer "update_config" with "ok": ok; None: never answer."""
        with self._cond:
            self._update_answer = ok
            self._update_delay = delay

    def stored_config(self) -> dict:
        with self._cond:
            return json.loads(json.dumps(self._stored_config))

    def refuse_connections(self, refuse: bool = True,
                           timeout: float = 5.0) -> None:
        """Close the listening socket (new connections are refused) or reopen
        it.  Established connections stay."""
        self._run(self._set_listening(not refuse), timeout)

    def reject_handshake(self, status: Optional[int] = 503) -> None:
        """Answer the WebSocket upgrade with this HTTP status; None: accept."""
        with self._cond:
            self._reject_status = status

    def use_certificate(self, certfile: str, keyfile: str) -> None:
        """Present this certificate to new connections."""
        ctx = self._make_context(certfile, keyfile)
        with self._cond:
            self._cert_ctx = ctx
            self._certfile = certfile

    # Actions on the latest connection (or the one given).

    def connection(self, conn: Optional[Connection] = None,
                   open_only: bool = True) -> Connection:
        if conn is not None:
            return conn
        with self._cond:
            for c in reversed(self._conns):
                if not open_only or not c.closed:
                    return c
        raise ServiceError("no open connection")

    def send(self, obj: Any, conn: Optional[Connection] = None) -> None:
        self.connection(conn).send(obj)

    def send_raw(self, data: Union[str, bytes], binary: bool = False,
                 conn: Optional[Connection] = None) -> None:
        self.connection(conn).send_raw(data, binary=binary)

    def send_fragments(self, parts: List[Union[str, bytes]],
                       conn: Optional[Connection] = None) -> None:
        self.connection(conn).send_fragments(parts)

    def close(self, code: int = 1000, reason: str = "",
              conn: Optional[Connection] = None, wait: bool = True) -> None:
        self.connection(conn).close(code, reason, wait=wait)

    def drop(self, conn: Optional[Connection] = None) -> None:
        self.connection(conn).drop()

    def stall(self, conn: Optional[Connection] = None) -> None:
        self.connection(conn).stall()

    def resume(self, conn: Optional[Connection] = None) -> None:
        self.connection(conn).resume()

    # Recording.

    def messages(self, type: Optional[str] = None,
                 conn: Optional[Connection] = None) -> List[Message]:
        """Messages received so far, in arrival order."""
        with self._cond:
            return [m for m in self._messages
                    if (type is None or m.type == type)
                    and (conn is None or m.conn_id == conn.id)]

    def mark(self) -> int:
        """Position to pass as wait_for_message(start=...) to skip the past."""
        with self._cond:
            return len(self._messages)

    def connections(self) -> List[Connection]:
        with self._cond:
            return list(self._conns)

    def tls_handshakes(self) -> List[TlsHandshake]:
        with self._cond:
            return list(self._tls)

    def wait_for(self, predicate: Callable[[], Any], timeout: float = 10.0,
                 what: str = "condition") -> Any:
        """Wait until predicate() (called under the service lock) is true."""
        with self._cond:
            result = self._cond.wait_for(predicate, timeout)
            if not result:
                raise WaitTimeout(f"timed out after {timeout}s waiting for "
                                  f"{what}\n{self.describe()}")
            return result

    def wait_for_message(self, match: Union[str, Callable[[Message], bool],
                                            None] = None,
                         timeout: float = 10.0, start: int = 0,
                         conn: Optional[Connection] = None) -> Message:
        """First received message from position start on that matches.

        match: a "type" value, a predicate on Message, or None for any.
        """
        if isinstance(match, str):
            want = match
            pred = lambda m: m.type == want  # noqa: E731
        elif match is None:
            pred = lambda m: True  # noqa: E731
        else:
            pred = match

        def find():
            for m in self._messages[start:]:
                if (conn is None or m.conn_id == conn.id) and pred(m):
                    return m
            return None
        return self.wait_for(find, timeout, f"message {match!r}")

    def wait_for_connection(self, n: int = 1,
                            timeout: float = 10.0) -> Connection:
        """The n-th connection (counting from 1) once it is established."""
        self.wait_for(lambda: len(self._conns) >= n, timeout,
                      f"connection number {n}")
        with self._cond:
            return self._conns[n - 1]

    def wait_for_close(self, timeout: float = 10.0,
                       conn: Optional[Connection] = None) -> Connection:
        """Wait until conn (default: the latest connection) has closed."""
        target = self.connection(conn, open_only=False)
        self.wait_for(lambda: target.closed, timeout,
                      f"close of connection #{target.id}")
        return target

    def describe(self) -> str:
        """Readable summary of what the service saw, for failure messages."""
        with self._cond:
            lines = [f"{len(self._conns)} connection(s), "
                     f"{len(self._messages)} message(s) received, "
                     f"{len(self._tls)} TLS handshake(s)"]
            for c in self._conns:
                lines.append(f"  {c!r}")
            for t in self._tls[-5:]:
                lines.append(f"  tls ok={t.ok} sni={t.server_name} "
                             f"err={t.error}")
            for m in self._messages[-10:]:
                lines.append(f"  {m!r}")
            return "\n".join(lines)

    # Internals: thread and loop.

    def _thread_main(self, started: threading.Event,
                     failure: List[BaseException]) -> None:
        try:
            if self.netns:
                enter_netns(self.netns)
            loop = asyncio.new_event_loop()
        except BaseException as exc:  # reported by start()
            failure.append(exc)
            started.set()
            return
        self._loop = loop
        asyncio.set_event_loop(loop)
        try:
            loop.run_until_complete(self._main(started, failure))
        finally:
            loop.run_until_complete(loop.shutdown_asyncgens())
            loop.close()
            self._loop = None

    async def _main(self, started: threading.Event,
                    failure: List[BaseException]) -> None:
        self._stop_event = asyncio.Event()
        try:
            await self._set_listening(True)
        except BaseException as exc:
            failure.append(exc)
            started.set()
            return
        started.set()
        await self._stop_event.wait()
        await self._set_listening(False)
        for server in self._servers:
            server.close()
        for server in self._servers:
            await server.wait_closed()
        self._servers.clear()

    async def _set_listening(self, on: bool) -> None:
        if on == self._listening:
            return
        if not on:
            # Only the listening socket: websockets' own close() would also
            # close the established connections.
            self._servers[-1].server.close()
            self._listening = False
            return
        server = await websockets.serve(
            self._handle, self.host, self.port, ssl=self._front_ctx,
            subprotocols=[SUBPROTOCOL], compression="deflate", max_size=None,
            ping_interval=self._ping_interval, close_timeout=self._close_timeout,
            process_request=self._process_request)
        if self.port == 0:
            self.port = server.sockets[0].getsockname()[1]
        self._servers.append(server)
        self._listening = True

    def _submit(self, coro):
        loop = self._loop
        if loop is None:
            coro.close()
            raise ServiceError("service is not running")
        if threading.current_thread() is self._thread:
            coro.close()
            raise ServiceError("blocking call from the service thread")
        return asyncio.run_coroutine_threadsafe(coro, loop)

    def _run(self, coro, timeout: float):
        return self._submit(coro).result(timeout)

    def _emit(self, kind: str, conn: Optional[Connection], item: Any) -> None:
        if self._on_event is not None:
            try:
                self._on_event(kind, conn, item)
            except Exception as exc:  # a broken viewer must not stop the service
                print(f"event callback failed: {exc!r}", file=sys.stderr)

    # Internals: TLS.

    @staticmethod
    def _make_context(certfile: str, keyfile: str) -> ssl.SSLContext:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(certfile, keyfile)
        return ctx

    def _pick_certificate(self, sslobj, server_name, _ctx) -> None:
        # Runs for every ClientHello, with or without SNI: switch to the
        # certificate currently selected and note the attempt.
        with self._cond:
            sslobj.context = self._cert_ctx
            item = TlsHandshake(mono=time.monotonic(), wall=time.time(),
                                server_name=server_name,
                                certfile=self._certfile, ok=None)
            sslobj._observed = item
            self._tls.append(item)
            self._cond.notify_all()
        return None

    def _observer_class(self):
        service = self

        class ObservedSSLObject(ssl.SSLObject):
            def do_handshake(self):
                try:
                    super().do_handshake()
                except (ssl.SSLWantReadError, ssl.SSLWantWriteError):
                    raise
                except (ssl.SSLError, OSError) as exc:
                    service._tls_done(self, str(exc))
                    raise
                service._tls_done(self, None)

        return ObservedSSLObject

    def _tls_done(self, sslobj, error: Optional[str]) -> None:
        with self._cond:
            item = getattr(sslobj, "_observed", None)
            if item is None:
                # Failed before a ClientHello could be parsed.
                item = TlsHandshake(mono=time.monotonic(), wall=time.time(),
                                    server_name=None, certfile=self._certfile,
                                    ok=None)
                sslobj._observed = item
                self._tls.append(item)
            item.ok = error is None
            item.error = error
            self._cond.notify_all()
        if error is not None:
            self._emit("tls_error", None, item)

    # Internals: connections.

    async def _process_request(self, path, request_headers):
        with self._cond:
            status = self._reject_status
        if status is None:
            return None
        return (http.HTTPStatus(status), [], b"rejected by test switch\n")

    async def _handle(self, ws, path) -> None:
        with self._cond:
            conn = Connection(self, next(self._conn_ids), ws)
            self._conns.append(conn)
            self._cond.notify_all()
        self._emit("open", conn, None)
        try:
            async for data in ws:
                self._on_message(conn, data)
        except websockets.ConnectionClosed:
            pass
        except Exception as exc:
            print(f"service handler failed: {exc!r}", file=sys.stderr)
        await ws.wait_closed()
        rcvd = ws.close_rcvd
        with self._cond:
            conn.closed_mono = time.monotonic()
            conn.closed_wall = time.time()
            conn.close_code = rcvd.code if rcvd is not None else None
            conn.close_reason = rcvd.reason if rcvd is not None else None
            if conn._dropped:
                conn.closed_by = "drop"
            elif ws.close_sent is not None and (
                    rcvd is None or ws.close_rcvd_then_sent is False):
                conn.closed_by = "service"
            elif rcvd is not None:
                conn.closed_by = "agent"
            else:
                conn.closed_by = "lost"
            self._cond.notify_all()
        self._emit("close", conn, None)

    def _on_message(self, conn: Connection, data: Union[str, bytes]) -> None:
        with self._cond:
            msg = Message.stamped(conn.id, len(self._messages), data)
            obj = msg.obj
            self._messages.append(msg)
            conn.received.append(msg)
            if msg.type == "update_config" and isinstance(obj, dict):
                for key in CONFIG_KEYS:
                    if key in obj:
                        self._stored_config[key] = obj[key]
            answer, delay = self._answer_for(msg)
            self._cond.notify_all()
        self._emit("message", conn, msg)
        if answer is not None:
            if delay > 0:
                asyncio.get_running_loop().call_later(
                    delay, self._spawn_send, conn, answer)
            else:
                self._spawn_send(conn, answer)

    def _answer_for(self, msg: Message):
        """Automatic answer to msg and its delay; called under the lock."""
        kind = msg.type
        if kind == "auth":
            auth = self._auth
            mode = auth["mode"]
            if isinstance(mode, dict):
                return dict(mode), auth["delay"]
            if mode == "none":
                return None, 0
            if mode == "fail":
                return ({"type": "auth", "ok": False,
                         "message": auth["message"]}, auth["delay"])
            ok = {"ok": True, "ok_int": 1, "ok_string": "true"}[mode]
            answer = {"type": "auth", "ok": ok}
            if auth["registration"]:
                answer["registration"] = True
            return answer, auth["delay"]
        if kind == "config":
            setting = self._config_answer
            if setting is None:
                return None, 0
            if setting == "stored":
                if self._stored_config:
                    answer = {"type": "config", "ok": True}
                    answer.update(json.loads(json.dumps(self._stored_config)))
                else:
                    answer = {"type": "config", "ok": False,
                              "message": "No configuration stored"}
            else:
                answer = json.loads(json.dumps(setting))
                answer.setdefault("type", "config")
            return answer, self._config_delay
        if kind == "update_config":
            if self._update_answer is None:
                return None, 0
            return ({"type": "update_config", "ok": self._update_answer},
                    self._update_delay)
        return None, 0

    def _spawn_send(self, conn: Connection, obj: Any) -> None:
        async def send():
            try:
                await conn._write_frames([(OP_TEXT, json.dumps(obj).encode())],
                                         json.dumps(obj))
            except websockets.ConnectionClosed:
                pass
        asyncio.get_running_loop().create_task(send())

    def _record_sent(self, conn: Connection, data: Union[str, bytes]) -> None:
        with self._cond:
            msg = Message.stamped(conn.id, self._sent_count, data)
            self._sent_count += 1
            conn.sent.append(msg)
            self._cond.notify_all()
        self._emit("sent", conn, msg)


def enter_netns(path: str) -> None:
    """Move the calling thread into the network namespace at path."""
    libc = ctypes.CDLL(None, use_errno=True)
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        if libc.setns(fd, CLONE_NEWNET) != 0:
            err = ctypes.get_errno()
            raise OSError(err, f"setns({path}): {os.strerror(err)}")
    finally:
        os.close(fd)


# Live view for the command line.

STATE_COLOURS = {"mining": "32", "autotuning": "32", "pause": "33",
                 "error": "31", "updating": "36", "restarting": "33"}


class LiveView:
    """Prints one line per event; colour only on a terminal."""

    def __init__(self, out=sys.stdout, colour: Optional[bool] = None) -> None:
        self.out = out
        self.colour = out.isatty() if colour is None else colour
        self.lock = threading.Lock()

    def c(self, code: str, text: str) -> str:
        return f"\033[{code}m{text}\033[0m" if self.colour else text

    def line(self, text: str, stamp: Optional[float] = None) -> None:
        t = time.localtime(stamp if stamp is not None else time.time())
        ms = int(((stamp or time.time()) % 1) * 1000)
        prefix = self.c("2", time.strftime("%H:%M:%S", t) + f".{ms:03d}")
        with self.lock:
            print(f"{prefix} {text}", file=self.out, flush=True)

    def info(self, text: str) -> None:
        with self.lock:
            print(text, file=self.out, flush=True)

    def event(self, kind: str, conn: Optional[Connection], item: Any) -> None:
        if kind == "open":
            host = conn.remote[0] if conn.remote else "?"
            self.line(self.c("1", f"#{conn.id} connected") +
                      f" from {host} path {conn.path} protocol "
                      f"{conn.subprotocol or '-'} extensions "
                      f"{conn.extensions_header or '-'}", conn.opened_wall)
        elif kind == "close":
            if conn.close_code is None:
                how = "without a close frame"
            else:
                how = f"code {conn.close_code}"
                if conn.close_reason:
                    how += f" {conn.close_reason!r}"
            self.line(self.c("1", f"#{conn.id} closed") +
                      f" by {conn.closed_by}, {how}", conn.closed_wall)
        elif kind == "tls_error":
            self.line(self.c("31", "TLS handshake failed") +
                      f" (sni {item.server_name}): {item.error}", item.wall)
        elif kind in ("message", "sent"):
            arrow = self.c("36", "<-") if kind == "message" else \
                self.c("35", "->")
            self.line(f"#{conn.id} {arrow} {self.summary(item)}", item.wall)

    def summary(self, msg: Message) -> str:
        obj = msg.obj
        if not isinstance(obj, dict):
            what = "JSON " + type(obj).__name__ if obj is not None else \
                "non-JSON"
            return self.c("33", f"{what} frame, {msg.size} bytes: ") + \
                shorten(msg.data if isinstance(msg.data, str)
                        else repr(msg.data), 80)
        kind = msg.type or "(no type)"
        name = self.c("1", f"{kind:<13}")
        rest = {k: v for k, v in obj.items() if k != "type"}
        if set(rest) == {"ok"} or (kind in ("auth",) and "ok" in obj):
            return name + " " + " ".join(
                self.kv(k, v) for k, v in rest.items())
        fn = getattr(self, "show_" + kind, None)
        body = fn(obj) if fn is not None else shorten(json.dumps(rest), 100)
        return f"{name} {body}"

    def kv(self, key: str, value: Any) -> str:
        text = f"{key}={json.dumps(value)}"
        if key == "ok" and value is not True:
            return self.c("31", text)
        return text

    def show_auth(self, obj: dict) -> str:
        return " ".join(self.kv(k, obj.get(k)) for k in
                        ("api_key", "device_id", "model", "firmware_id",
                         "firmware_ver") if k in obj)

    def show_status(self, obj: dict) -> str:
        state = obj.get("state") or {}
        name = state.get("name", "-")
        text = "state=" + self.c(STATE_COLOURS.get(name, "0"), name)
        if "progress" in state:
            text += f" {state['progress']}%"
        net = obj.get("network") or {}
        text += f" ip={net.get('ip', '?')}/{net.get('netmask', '?')}"
        text += f" gw={net.get('gateway', '?')} mac={net.get('mac', '?')}"
        pools = obj.get("pools")
        if isinstance(pools, dict):
            parts = []
            for slot in ("main", "reserved", "reserved2"):
                p = pools.get(slot)
                if isinstance(p, dict):
                    parts.append(f"{slot}:{p.get('status')} "
                                 f"a/r/s={p.get('accepted')}/"
                                 f"{p.get('rejected')}/{p.get('stale')}")
            fee = pools.get("service_fee") or []
            parts.append(f"fee pools {len(fee)}")
            text += " pools[" + ", ".join(parts) + "]"
        return text

    def show_metrics(self, obj: dict) -> str:
        def num(key, fmt="{:.1f}"):
            v = obj.get(key)
            return fmt.format(v) if isinstance(v, (int, float)) else "?"
        text = (f"{num('hash_rate')} GH/s {num('freq', '{:.0f}')} MHz "
                f"{num('temp', '{}')}C {num('watt', '{:.0f}')} W "
                f"hw={num('hw_errors', '{}')}")
        fans = obj.get("fans") or []
        text += " fans " + ("/".join(str(f.get("rpm")) for f in fans
                                     if isinstance(f, dict)) or "-")
        chains = [c for c in obj.get("chains") or [] if isinstance(c, dict)]
        text += " chains " + (" ".join(
            f"{c.get('id')}:{c.get('num_chips')}ch,"
            f"{c.get('chip_temp')}C" for c in chains) or "-")
        return text

    def show_event(self, obj: dict) -> str:
        extra = " ".join(self.kv(k, obj[k]) for k in
                         ("hashrate", "num_chips", "temp") if k in obj)
        return f"{obj.get('name')} reason={obj.get('reason')} {extra}".strip()

    def show_logs(self, obj: dict) -> str:
        logs = obj.get("logs")
        size = len(logs) if isinstance(logs, str) else 0
        lines = logs.count("\n") if isinstance(logs, str) else 0
        return (f"request_id={obj.get('request_id')} {lines} lines, "
                f"{size} bytes")

    def show_get_logs(self, obj: dict) -> str:
        return " ".join(self.kv(k, v) for k, v in obj.items() if k != "type")

    def show_chip_metrics(self, obj: dict) -> str:
        chips = [c for c in obj.get("chips") or [] if isinstance(c, dict)]
        states: dict = {}
        for chip in chips:
            states[chip.get("state")] = states.get(chip.get("state"), 0) + 1
        custom = sum(1 for c in chips if c.get("custom_freq"))
        tally = ", ".join(f"{k} {v}" for k, v in sorted(
            states.items(), key=lambda kv: str(kv[0])))
        return (f"chain {obj.get('chain_id')} request_id="
                f"{obj.get('request_id')}: {len(chips)} chips ({tally}), "
                f"{custom} with their own frequency")

    def show_update_config(self, obj: dict) -> str:
        head = " ".join(self.kv(k, obj[k]) for k in ("ok", "message")
                        if k in obj)
        present = [k for k in CONFIG_KEYS if k in obj]
        if present:
            head += " carries: " + " ".join(present)
        return head.strip() or "(request)"

    show_config = show_update_config


def shorten(text: str, width: int) -> str:
    text = text.replace("\n", "\\n")
    return text if len(text) <= width else text[:width - 3] + "..."


DEMO_POOL = ("stratum+tcp://pool.example.com:3333", "rigkeep.demo")

HELP = """\
Type a JSON object to send it to the connected agent, or a command:
  reboot | start | stop | status     reboot, start_mining, stop_mining, status
  logs                               ask for the kernel log
  pools [URL WORKER [PASSWORD]]      config_pools with the main pool only
  fans auto | fans manual SPEED      config_fans
  chips CHAIN                        chip_metrics for chain 6, 7 or 8
  raw TEXT                           send TEXT as it is, in one text frame
  close [CODE [REASON]] | drop       close the connection / abort TCP
  auth ok|fail|none [registration]   how to answer the next "auth"
  refuse | accept                    close / reopen the listening socket
  conns                              list connections
  help | quit"""


class Prompt:
    """Turns command lines into requests for the agent."""

    def __init__(self, service: ReferenceService, view: LiveView) -> None:
        self.service = service
        self.view = view
        self.request_ids = itertools.count(1)

    def request_id(self) -> str:
        return f"demo-{next(self.request_ids)}"

    def handle(self, line: str) -> bool:
        """Run one command line; False ends the program."""
        line = line.strip()
        if not line:
            return True
        words = line.split()
        cmd = words[0]
        try:
            if line.startswith("{"):
                obj = json.loads(line)
                if not isinstance(obj, dict):
                    raise ValueError("a request must be a JSON object")
                self.service.send(obj)
            elif cmd in ("quit", "exit"):
                return False
            elif cmd == "help":
                self.view.info(HELP)
            elif cmd in ("reboot", "status"):
                self.service.send({"type": cmd})
            elif cmd in ("start", "stop"):
                self.service.send({"type": f"{cmd}_mining"})
            elif cmd == "logs":
                self.service.send({"type": "logs",
                                   "request_id": self.request_id()})
            elif cmd == "pools":
                if len(words) == 2:
                    raise ValueError("usage: pools [URL WORKER [PASSWORD]]")
                pool = {"stratum_url": words[1] if len(words) > 1
                        else DEMO_POOL[0],
                        "worker": words[2] if len(words) > 2
                        else DEMO_POOL[1]}
                if len(words) > 3:
                    pool["password"] = words[3]
                self.service.send({"type": "config_pools", "main": pool})
            elif cmd == "fans":
                if len(words) < 2:
                    raise ValueError("usage: fans auto | fans manual SPEED")
                req = {"type": "config_fans", "mode": words[1]}
                if len(words) > 2:
                    req["speed"] = int(words[2])
                self.service.send(req)
            elif cmd == "chips":
                if len(words) != 2:
                    raise ValueError("usage: chips CHAIN")
                self.service.send({"type": "chip_metrics",
                                   "request_id": self.request_id(),
                                   "chain_id": words[1]})
            elif cmd == "raw":
                self.service.send_raw(line[len("raw"):].lstrip())
            elif cmd == "close":
                code = int(words[1]) if len(words) > 1 else 1000
                reason = " ".join(words[2:])
                self.service.close(code, reason, wait=False)
            elif cmd == "drop":
                self.service.drop()
            elif cmd == "auth":
                mode = words[1] if len(words) > 1 else "ok"
                self.service.set_auth(mode,
                                      registration="registration" in words)
                self.view.info(f"auth answer: {mode}")
            elif cmd == "refuse":
                self.service.refuse_connections(True)
                self.view.info("listening socket closed")
            elif cmd == "accept":
                self.service.refuse_connections(False)
                self.view.info("listening again")
            elif cmd == "conns":
                for conn in self.service.connections():
                    self.view.info(repr(conn))
            else:
                raise ValueError(f"unknown command {cmd!r} (try help)")
        except (ValueError, ServiceError, websockets.ConnectionClosed) as exc:
            self.view.info(self.view.c("31", f"error: {exc}"))
        return True


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        description="Reference management service for rigkeep (live view).")
    parser.add_argument("--cert", required=True, help="server certificate")
    parser.add_argument("--key", required=True, help="server private key")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=443)
    parser.add_argument("--netns", help="listen inside this network "
                        "namespace, e.g. /proc/PID/ns/net")
    parser.add_argument("--registration", action="store_true",
                        help='answer "auth" with "registration": true')
    parser.add_argument("--config", help="JSON file sent as the answer to "
                        '"config" (default: the last uploaded configuration)')
    args = parser.parse_args(argv)

    view = LiveView()
    service = ReferenceService(host=args.host, port=args.port,
                               certfile=args.cert, keyfile=args.key,
                               netns=args.netns, on_event=view.event)
    service.set_auth("ok", registration=args.registration)
    if args.config:
        with open(args.config, encoding="utf-8") as f:
            service.set_config_answer(json.load(f))

    def terminate(signum, _frame):
        raise SystemExit(128 + signum)
    signal.signal(signal.SIGTERM, terminate)

    service.start()
    view.info(f"listening on {service.url}" +
              (f" in {args.netns}" if args.netns else "") +
              "; type help for commands")
    prompt = Prompt(service, view)
    try:
        for line in sys.stdin:
            if not prompt.handle(line):
                break
        else:
            # No more input (stdin closed): keep serving until a signal.
            while True:
                signal.pause()
    except KeyboardInterrupt:
        pass
    finally:
        service.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
