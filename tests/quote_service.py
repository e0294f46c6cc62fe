"""Local stand-ins for the quote service, for tests that connect for real.

QuoteService is a picows websocket server with TLS on 127.0.0.1. It records
every connection and every frame the client sends (control messages parsed
from JSON), answers the client's CLOSE like a well-behaved server, and lets
the test push text, binary and ping frames, close with any code and reason
(invalid UTF-8 included), drop the TCP connection, or close by itself after
every N text frames.

SilentService accepts connections and never answers the websocket upgrade
(a stalled handshake), or drops each connection as soon as it is accepted.
closed_port_url() names a port where nothing listens.

Everything runs on the test's event loop; tests wait for what they expect
with the wait_* methods, which raise AssertionError after a timeout.
"""

from __future__ import annotations

import asyncio
import json
import socket
import ssl
import struct
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import trustme
from picows import WSListener, WSMsgType, WSTransport, ws_create_server

from vornticker.endpoint import use_endpoint

HOST = "127.0.0.1"
PATH = "/?version=2"
WAIT = 10.0

_tls: tuple[ssl.SSLContext, ssl.SSLContext] | None = None


def tls_contexts() -> tuple[ssl.SSLContext, ssl.SSLContext]:
    """(server context, client context trusting it), made once per run."""
    global _tls
    if _tls is None:
        ca = trustme.CA()
        server = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ca.issue_cert(HOST).configure_cert(server)
        client = ssl.create_default_context()
        ca.configure_trust(client)
        _tls = (server, client)
    return _tls


class Changes:
    """Lets coroutines wait until a condition over state that callbacks
    change holds; the callbacks call notify() after every change."""

    def __init__(self) -> None:
        self._waiters: list[asyncio.Future[None]] = []

    def notify(self) -> None:
        waiters, self._waiters = self._waiters, []
        for fut in waiters:
            if not fut.done():
                fut.set_result(None)

    async def until(self, predicate: Callable[[], Any], what: str, timeout: float = WAIT) -> Any:
        try:
            async with asyncio.timeout(timeout):
                while not (result := predicate()):
                    fut = asyncio.get_running_loop().create_future()
                    self._waiters.append(fut)
                    await fut
        except TimeoutError:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}") from None
        return result


@dataclass(eq=False)
class ServiceConnection:
    """One accepted websocket connection, as the service saw it."""

    index: int
    transport: WSTransport
    path: bytes
    controls: list[Any] = field(default_factory=list)
    # CLOSE frames from the client: (code, reason bytes or None).
    closes: list[tuple[int, bytes | None]] = field(default_factory=list)
    pings: list[bytes] = field(default_factory=list)
    pongs: list[bytes] = field(default_factory=list)
    # Frames actually written: (type, payload). Nothing is written after the
    # service's own CLOSE.
    sent: list[tuple[WSMsgType, bytes]] = field(default_factory=list)
    texts_sent: int = 0
    close_sent: bool = False
    disconnected: bool = False

    @property
    def open(self) -> bool:
        return not self.disconnected and not self.close_sent

    @property
    def texts(self) -> list[bytes]:
        return [payload for kind, payload in self.sent if kind == WSMsgType.TEXT]


class _ServerListener(WSListener):
    def __init__(self, service: QuoteService) -> None:
        super().__init__()
        self.service = service
        self.conn: ServiceConnection | None = None

    def on_ws_connected(self, transport: WSTransport) -> None:
        svc = self.service
        self.conn = ServiceConnection(len(svc.connections), transport, transport.request.path)
        svc.connections.append(self.conn)
        svc.changes.notify()

    def on_ws_frame(self, transport: WSTransport, frame: Any) -> None:
        conn = self.conn
        svc = self.service
        kind = frame.msg_type
        if kind == WSMsgType.TEXT:
            message = json.loads(frame.get_payload_as_bytes())
            conn.controls.append(message)
            svc.controls.append(message)
        elif kind == WSMsgType.CLOSE:
            code = int(frame.get_close_code())
            reason = frame.get_close_message()
            conn.closes.append((code, reason))
            # Echo the close and end the connection, as servers do.
            if not conn.close_sent:
                transport.send(WSMsgType.CLOSE, frame.get_payload_as_bytes())
                conn.close_sent = True
            transport.disconnect()
        elif kind == WSMsgType.PING:
            payload = frame.get_payload_as_bytes()
            conn.pings.append(payload)
            if svc.answer_pings and conn.open:
                transport.send_pong(payload)
        elif kind == WSMsgType.PONG:
            conn.pongs.append(frame.get_payload_as_bytes())
        svc.changes.notify()

    def on_ws_disconnected(self, transport: WSTransport) -> None:
        self.conn.disconnected = True
        self.service.changes.notify()


class QuoteService:
    """A websocket quote service with TLS on 127.0.0.1, as an async context
    manager.

    on_upgrade(request), when given, runs as each upgrade request arrives,
    before the service answers it. close_every=N makes the service send a
    CLOSE 1000 after every N-th text frame it sends on a connection.
    answer_pings=False leaves the client's pings unanswered.
    """

    def __init__(
        self,
        *,
        on_upgrade: Callable[[Any], None] | None = None,
        close_every: int | None = None,
        answer_pings: bool = True,
    ) -> None:
        self.on_upgrade = on_upgrade
        self.close_every = close_every
        self.answer_pings = answer_pings
        self.connections: list[ServiceConnection] = []
        self.controls: list[Any] = []
        self.changes = Changes()
        self._server: asyncio.Server | None = None
        self.port = 0

    # --- lifetime -------------------------------------------------------------

    async def __aenter__(self) -> QuoteService:
        server_tls, _ = tls_contexts()
        self._server = await ws_create_server(
            self._factory, HOST, 0, ssl=server_tls, enable_auto_pong=False, websocket_handshake_timeout=WAIT
        )
        self.port = self._server.sockets[0].getsockname()[1]
        return self

    async def __aexit__(self, *exc: object) -> None:
        for conn in self.connections:
            if not conn.disconnected:
                conn.transport.disconnect(graceful=False)
        self._server.close()
        await asyncio.wait_for(self._server.wait_closed(), WAIT)

    def _factory(self, request: Any) -> WSListener:
        if self.on_upgrade is not None:
            self.on_upgrade(request)
        return _ServerListener(self)

    # --- where it is ----------------------------------------------------------

    @property
    def url(self) -> str:
        return f"wss://{HOST}:{self.port}{PATH}"

    @property
    def client_ssl(self) -> ssl.SSLContext:
        return tls_contexts()[1]

    def endpoint(self):
        """A context manager that sends the tickers' attempts here."""
        return use_endpoint(self.url, self.client_ssl)

    # --- waiting --------------------------------------------------------------

    async def wait_connection(self, n: int = 1, timeout: float = WAIT) -> ServiceConnection:
        """The n-th connection (counting from 1), once it has been accepted."""
        await self.changes.until(lambda: len(self.connections) >= n, f"connection #{n}", timeout)
        return self.connections[n - 1]

    async def wait_controls(self, n: int, conn: ServiceConnection | None = None, timeout: float = WAIT) -> list[Any]:
        """The first n control messages, of one connection or of all."""
        source = self.controls if conn is None else conn.controls
        await self.changes.until(lambda: len(source) >= n, f"{n} control message(s)", timeout)
        return source[:n]

    async def wait_disconnected(self, conn: ServiceConnection, timeout: float = WAIT) -> None:
        await self.changes.until(lambda: conn.disconnected, f"connection #{conn.index + 1} to end", timeout)

    async def wait_for(self, predicate: Callable[[], Any], what: str, timeout: float = WAIT) -> Any:
        return await self.changes.until(predicate, what, timeout)

    # --- acting ---------------------------------------------------------------

    def _conn(self, conn: ServiceConnection | None) -> ServiceConnection:
        if conn is not None:
            return conn
        for candidate in reversed(self.connections):
            if not candidate.disconnected:
                return candidate
        raise AssertionError("no open connection")

    def _send(self, conn: ServiceConnection | None, kind: WSMsgType, payload: bytes) -> bool:
        conn = self._conn(conn)
        if not conn.open:
            return False
        if kind == WSMsgType.PING:
            conn.transport.send_ping(payload)
        else:
            conn.transport.send(kind, payload)
        conn.sent.append((kind, payload))
        return True

    def send_text(self, payload: bytes | str, conn: ServiceConnection | None = None) -> bool:
        """Sends one text frame; False if the connection is closing or gone."""
        if isinstance(payload, str):
            payload = payload.encode()
        conn = self._conn(conn)
        if not self._send(conn, WSMsgType.TEXT, payload):
            return False
        conn.texts_sent += 1
        if self.close_every and conn.texts_sent % self.close_every == 0:
            self.close(1000, b"", conn)
        return True

    def send_binary(self, payload: bytes, conn: ServiceConnection | None = None) -> bool:
        return self._send(conn, WSMsgType.BINARY, payload)

    def send_ping(self, payload: bytes = b"", conn: ServiceConnection | None = None) -> bool:
        return self._send(conn, WSMsgType.PING, payload)

    def close(self, code: int | None, reason: bytes = b"", conn: ServiceConnection | None = None) -> None:
        """Sends a CLOSE frame with any code and reason bytes, valid UTF-8 or
        not; code None sends a CLOSE without payload. The client is expected
        to drop the connection then."""
        conn = self._conn(conn)
        payload = b"" if code is None else struct.pack("!H", code) + reason
        # Written as a plain frame: the library's send_close insists on a
        # UTF-8 reason, and a test needs to send one that is not.
        conn.transport.send(WSMsgType.CLOSE, payload)
        conn.sent.append((WSMsgType.CLOSE, payload))
        conn.close_sent = True

    def drop(self, conn: ServiceConnection | None = None, *, graceful: bool = False) -> None:
        """Ends the TCP connection without a CLOSE frame: at once, or after
        what was written has gone out (graceful)."""
        self._conn(conn).transport.disconnect(graceful=graceful)


class SilentService:
    """Accepts connections on 127.0.0.1 and never answers the websocket
    upgrade request, or with drop=True ends each connection as soon as it is
    accepted. tls=False makes it a plain TCP server."""

    def __init__(self, *, tls: bool = True, drop: bool = False) -> None:
        self.tls = tls
        self.drop = drop
        self.accepted = 0
        self.changes = Changes()
        self._writers: list[asyncio.StreamWriter] = []
        self._server: asyncio.Server | None = None
        self.port = 0

    async def __aenter__(self) -> SilentService:
        server_tls = tls_contexts()[0] if self.tls else None
        self._server = await asyncio.start_server(self._accepted, HOST, 0, ssl=server_tls)
        self.port = self._server.sockets[0].getsockname()[1]
        return self

    async def __aexit__(self, *exc: object) -> None:
        for writer in self._writers:
            writer.transport.abort()
        self._server.close()
        await asyncio.wait_for(self._server.wait_closed(), WAIT)

    async def _accepted(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self.accepted += 1
        self.changes.notify()
        if self.drop:
            writer.transport.abort()
            return
        self._writers.append(writer)
        # Read the upgrade request and whatever follows, and never answer.
        try:
            while await reader.read(65536):
                pass
        except OSError:
            pass

    @property
    def url(self) -> str:
        return f"wss://{HOST}:{self.port}{PATH}"

    @property
    def client_ssl(self) -> ssl.SSLContext:
        return tls_contexts()[1]

    def endpoint(self):
        return use_endpoint(self.url, self.client_ssl)

    async def wait_accepted(self, n: int, timeout: float = WAIT) -> None:
        await self.changes.until(lambda: self.accepted >= n, f"{n} accepted connection(s)", timeout)


def closed_port_url() -> str:
    """A wss:// URL on 127.0.0.1 whose port was free a moment ago; connecting
    there is refused."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        port = s.getsockname()[1]
    return f"wss://{HOST}:{port}{PATH}"
