"""The websocket side of a feed: clients, their subscriptions, TLS, counters.

What a feed serves comes from a source of one of two kinds.

A FrameSource serves all clients alike. The server runs its
``run(publisher)`` as a task from start to stop and hands it itself as the
Publisher: the source asks which symbols are watched, waits for watchers,
and publishes text frames for a symbol; the server writes each frame to
every client subscribed to that symbol. LocalFeed (in market) is the server
with the random-walk market as its source.

A ClientSource serves each client on its own (a replay that starts over
for every client, say). The server runs its ``serve(client)`` as a task per
connection, from the client's connection until it goes away or the server
stops, and hands it that client as a ClientPublisher: the same calls,
about this client alone.

Clients send ``{"subscribe": [...]}`` and ``{"unsubscribe": [...]}`` as text
frames; anything else is counted as rejected and otherwise ignored.
"""

from __future__ import annotations

import asyncio
import collections
import dataclasses
import logging
import os
import ssl
from collections.abc import Mapping, Set
from types import TracebackType
from typing import Final, Protocol, Self, runtime_checkable

import orjson
from picows import WSCloseCode, WSFrame, WSListener, WSMsgType, WSTransport, WSUpgradeRequest, ws_create_server

from .tls import ServerTls, TlsBackend, make_server_tls, require_tls

__all__ = ["ClientPublisher", "ClientSource", "FeedServer", "FeedStats", "FrameSource", "Publisher"]

logger = logging.getLogger(__name__)

# A client whose connection stops taking data keeps getting frames into its
# transport's buffer, so that one that pauses reading for a few seconds loses
# nothing; past both of these it is cut off, and memory stays bounded.
BACKLOG_FRAMES: Final = 10_000  # frames written since its connection paused
BACKLOG_BYTES: Final = 4 * 1024 * 1024  # bytes waiting in its transport
# How long stop() waits for the source's tasks and the clients' connections.
STOP_WAIT: Final = 0.5


class Publisher(Protocol):
    """What a FrameSource gets from the server it feeds."""

    def watched(self) -> Set[str]:
        """The symbols at least one connected client is subscribed to (a snapshot)."""
        ...

    async def wait_watched(self) -> None:
        """Returns once some client is subscribed to something (at once if one is)."""
        ...

    def publish(self, symbol: str, payload: bytes) -> int:
        """Sends payload as a text frame to every client subscribed to symbol;
        returns how many clients it went to."""
        ...


class FrameSource(Protocol):
    """Where a feed's frames come from (the random-walk market, a replay, ...)."""

    async def run(self, out: Publisher) -> None:
        """Publishes frames until cancelled, which is how the server stops it.
        Returning early is allowed: the feed then stays up and sends nothing."""
        ...


class ClientPublisher(Publisher, Protocol):
    """What a ClientSource gets for one client: watched() and wait_watched()
    are about this client's subscriptions, publish() sends to this client
    only (1 if it watches the symbol, else 0)."""

    def send(self, payload: bytes) -> int:
        """Sends payload to this client whatever it watches; 1, or 0 once it has gone."""
        ...

    async def drain(self) -> None:
        """Returns once the client's connection takes more data (at once
        unless its write buffer is over the high-water mark). A source that
        does not wait for time between frames waits for this instead."""
        ...

    def close(self, code: int, reason: str) -> None:
        """Closes this client's connection (a close frame, then hang up)."""
        ...


@runtime_checkable
class ClientSource(Protocol):
    """A source that serves each client on its own."""

    async def serve(self, client: ClientPublisher) -> None:
        """Publishes to one client. Started when the client connects and
        cancelled when it goes away or the server stops; returning early
        leaves the client connected with nothing more to come."""
        ...


@dataclasses.dataclass(frozen=True)
class FeedStats:
    """A snapshot of the feed's counters."""

    connections: int  # connections accepted since start
    clients: int  # connected now
    quotes: int  # frames published (one per symbol and tick, however many clients watch it; per client
    # for a ClientSource, counting those sent)
    frames_sent: int  # frames written (one quote to three clients is three)
    control_messages: int  # subscribe and unsubscribe messages understood
    rejected_messages: int  # text frames that were neither
    per_symbol: Mapping[str, int]  # frames published per symbol


class _Client(WSListener):
    """One connection; also the ClientPublisher a ClientSource gets for it."""

    def __init__(self, feed: FeedServer, peer: str) -> None:
        super().__init__()
        self.feed = feed
        self.peer = peer
        self.transport: WSTransport | None = None
        self.symbols: set[str] = set()
        self.serving: asyncio.Task[None] | None = None  # a ClientSource's task for this client
        self.watching = asyncio.Event()  # subscribed to something
        self.writable = asyncio.Event()  # the transport's write buffer is below its high-water mark
        self.writable.set()
        self.backlog = 0  # frames written since the connection paused

    def on_ws_connected(self, transport: WSTransport) -> None:
        self.transport = transport
        self.feed._client_connected(self)

    def on_ws_frame(self, transport: WSTransport, frame: WSFrame) -> None:
        if frame.msg_type == WSMsgType.TEXT:
            self.feed._on_control(self, frame.get_payload_as_bytes())
        elif frame.msg_type == WSMsgType.CLOSE:
            # Answer the close handshake, then hang up, as a server should.
            transport.send_close(frame.get_close_code(), frame.get_close_message())
            transport.disconnect()

    def on_ws_disconnected(self, transport: WSTransport) -> None:
        self.feed._client_disconnected(self)
        self.transport = None
        self.writable.set()  # nothing waits for a connection that is gone

    def pause_writing(self) -> None:
        self.writable.clear()

    def resume_writing(self) -> None:
        self.backlog = 0
        self.writable.set()

    def write(self, payload: bytes) -> bool:
        """Writes one text frame unless the client has gone or is cut off for
        not reading; True if written."""
        transport = self.transport
        if transport is None or transport.is_disconnected:
            return False
        if not self.writable.is_set():
            self.backlog += 1
            if self.backlog > BACKLOG_FRAMES:
                buffered = transport.underlying_transport.get_write_buffer_size()
                if buffered > BACKLOG_BYTES:
                    self._cut_off(transport, buffered)
                    return False
        transport.send(WSMsgType.TEXT, payload)
        return True

    def _cut_off(self, transport: WSTransport, buffered: int) -> None:
        address = transport.underlying_transport.get_extra_info("peername")
        where = f" at {address[0]}:{address[1]}" if isinstance(address, tuple) and len(address) >= 2 else ""
        logger.warning(
            "%s%s does not read: disconnected with %d frames (%.1f MiB) waiting to be sent",
            self.peer,
            where,
            self.backlog,
            buffered / 2**20,
        )
        self.transport = None  # nothing more goes to it while the abort completes
        transport.disconnect(graceful=False)

    # -- the ClientPublisher

    def watched(self) -> Set[str]:
        return frozenset(self.symbols)

    async def wait_watched(self) -> None:
        await self.watching.wait()

    def publish(self, symbol: str, payload: bytes) -> int:
        if symbol not in self.symbols:
            return 0
        sent = self.send(payload)
        if sent:
            self.feed._per_symbol[symbol] += 1
        return sent

    def send(self, payload: bytes) -> int:
        if not self.write(payload):
            return 0
        self.feed._published += 1
        self.feed._frames += 1
        return 1

    async def drain(self) -> None:
        await self.writable.wait()

    def close(self, code: int, reason: str) -> None:
        transport = self.transport
        if transport is not None and not transport.is_disconnected:
            transport.send_close(WSCloseCode(code), reason.encode())
            transport.disconnect()


def _parse_control(payload: bytes) -> tuple[str, list[str]] | None:
    try:
        msg = orjson.loads(payload)
    except orjson.JSONDecodeError:
        return None
    if not isinstance(msg, dict) or len(msg) != 1:
        return None
    ((action, symbols),) = msg.items()
    if action not in ("subscribe", "unsubscribe") or not isinstance(symbols, list):
        return None
    if not all(isinstance(s, str) for s in symbols):
        return None
    return action, symbols


class FeedServer:
    """A websocket feed on a local port, serving what source publishes: a
    FrameSource to all clients alike, a ClientSource to each on its own.

    host, port: where to listen (port 0 picks a free one; read it back from
    .port or .url once started). tls: serve wss:// with a certificate made at
    start and trusted by client_ssl_context(); otherwise ws://. tls=True
    raises ImportError, naming the extra to install, where certificates
    cannot be made. tls_dir: keep the CA (ca.pem and its key) in this
    directory, made there on first use, and reuse it at every start, so a
    client that trusts it keeps trusting the feed across restarts.
    """

    def __init__(
        self,
        source: FrameSource | ClientSource,
        host: str = "127.0.0.1",
        port: int = 0,
        *,
        tls: bool = True,
        tls_backend: TlsBackend = "auto",
        tls_dir: str | os.PathLike[str] | None = None,
    ) -> None:
        if tls:
            require_tls(tls_backend)
        elif tls_dir is not None:
            raise ValueError("tls_dir keeps a CA for wss://: it needs tls=True")
        self.source = source
        self.host = host
        self.port = port
        self.tls = tls
        self.tls_backend: TlsBackend = tls_backend
        self.tls_dir = tls_dir
        self._tls: ServerTls | None = None
        self._server: asyncio.Server | None = None
        self._feeding: asyncio.Task[None] | None = None
        self._serving: set[asyncio.Task[None]] = set()  # a ClientSource's tasks, one per client
        self._someone_watches = asyncio.Event()
        self._clients: set[_Client] = set()
        self._watchers: dict[str, set[_Client]] = {}
        self._connections = 0
        self._published = 0
        self._frames = 0
        self._controls = 0
        self._rejected = 0
        self._per_symbol: collections.Counter[str] = collections.Counter()

    # -- lifecycle

    async def start(self) -> None:
        """Makes the certificate (with TLS), listens, and starts the source.

        A port that cannot be bound raises OSError, as asyncio's servers do.
        """
        if self._server is not None:
            raise RuntimeError("the feed is already running")
        if self.tls:
            self._tls = make_server_tls(self.host, self.tls_backend, self.tls_dir)
        self._server = await ws_create_server(
            self._accept,
            self.host,
            self.port,
            ssl=self._tls.context if self._tls else None,
            websocket_handshake_timeout=5,
            logger_name="vornticker.feed.server",
        )
        self.port = int(self._server.sockets[0].getsockname()[1])
        if not isinstance(self.source, ClientSource):
            self._feeding = asyncio.get_running_loop().create_task(self._feed(), name="vornticker-feed-source")
        logger.info("feed listening on %s", self.url)

    async def stop(self) -> None:
        """Stops the source and listening, and hangs up on every client (close code 1001).

        Safe to call after the loop's tasks were cancelled from outside, as
        the ticker's own shutdown does, and more than once. Everything is
        stopped before the first wait, so a caller cancelled while it waits
        ends cancelled with the feed stopped all the same.
        """
        server, self._server = self._server, None
        feeding, self._feeding = self._feeding, None
        serving, self._serving = self._serving, set()
        tasks = {task for task in (feeding, *serving) if task is not None and not task.done()}
        for task in tasks:
            task.cancel()
        if server is not None:
            server.close()
            for client in list(self._clients):
                transport = client.transport
                if transport is not None and not transport.is_disconnected:
                    transport.send_close(WSCloseCode.GOING_AWAY, b"feed stopping")
                    # One that is not reading would hold a graceful close up.
                    transport.disconnect(graceful=client.writable.is_set())
        if tasks:
            await asyncio.wait(tasks, timeout=STOP_WAIT)
        if server is None:
            return
        try:
            await asyncio.wait_for(server.wait_closed(), timeout=STOP_WAIT)
        except TimeoutError:
            for client in list(self._clients):
                if client.transport is not None:
                    client.transport.disconnect(graceful=False)
        logger.info("feed stopped")

    async def __aenter__(self) -> Self:
        await self.start()
        return self

    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        await self.stop()

    # -- what clients need

    @property
    def url(self) -> str:
        host = self.host if self.host not in ("", "0.0.0.0", "::") else "127.0.0.1"
        if ":" in host:
            host = f"[{host}]"
        return f"{'wss' if self.tls else 'ws'}://{host}:{self.port}/?version=2"

    @property
    def ca_pem(self) -> bytes | None:
        """The PEM certificate that signed the feed's own (None for ws://)."""
        return self._tls.ca_pem if self._tls else None

    def client_ssl_context(self) -> ssl.SSLContext | None:
        """A client context that trusts this feed (None for ws://)."""
        if self._tls is None:
            if self.tls:
                raise RuntimeError("start the feed first: its certificate is made at start")
            return None
        return ssl.create_default_context(cadata=self._tls.ca_pem.decode("ascii"))

    def write_ca_file(self, path: str | os.PathLike[str]) -> None:
        pem = self.ca_pem
        if pem is None:
            raise RuntimeError("a feed without TLS has no certificate")
        with open(path, "wb") as f:
            f.write(pem)

    # -- observing

    @property
    def stats(self) -> FeedStats:
        return FeedStats(
            connections=self._connections,
            clients=len(self._clients),
            quotes=self._published,
            frames_sent=self._frames,
            control_messages=self._controls,
            rejected_messages=self._rejected,
            per_symbol=dict(self._per_symbol),
        )

    def subscriptions(self) -> list[frozenset[str]]:
        """What each connected client is subscribed to."""
        return [frozenset(c.symbols) for c in self._clients]

    async def wait_subscribed(self, symbol: str, subscribed: bool = True, timeout: float = 5.0) -> None:
        """Waits until some client subscribes symbol (or, with subscribed=False,
        until no client has it)."""

        async def poll() -> None:
            while (symbol in self._watchers) != subscribed:
                await asyncio.sleep(0.005)

        await asyncio.wait_for(poll(), timeout)

    # -- the Publisher the source feeds

    def watched(self) -> Set[str]:
        return frozenset(self._watchers)

    async def wait_watched(self) -> None:
        await self._someone_watches.wait()

    def publish(self, symbol: str, payload: bytes) -> int:
        sent = 0
        # A client cut off here leaves the set later, when its connection is lost.
        for client in self._watchers.get(symbol, ()):
            sent += client.write(payload)
        self._published += 1
        self._per_symbol[symbol] += 1
        self._frames += sent
        return sent

    # -- internals

    async def _feed(self) -> None:
        assert not isinstance(self.source, ClientSource)
        try:
            await self.source.run(self)
        except asyncio.CancelledError:
            raise
        except Exception:
            logger.exception("the feed's source failed; no more quotes until restart")

    async def _serve(self, client: _Client) -> None:
        assert isinstance(self.source, ClientSource)
        try:
            await self.source.serve(client)
        except asyncio.CancelledError:
            raise
        except Exception:
            logger.exception("the feed's source failed for %s; no more quotes to it", client.peer)

    def _accept(self, request: WSUpgradeRequest) -> WSListener:
        self._connections += 1
        return _Client(self, f"client {self._connections}")

    def _client_connected(self, client: _Client) -> None:
        self._clients.add(client)
        logger.info("%s connected", client.peer)
        if isinstance(self.source, ClientSource) and self._server is not None:
            task = asyncio.get_running_loop().create_task(self._serve(client), name=f"vornticker-feed-{client.peer}")
            client.serving = task
            self._serving.add(task)
            task.add_done_callback(self._serving.discard)

    def _client_disconnected(self, client: _Client) -> None:
        self._clients.discard(client)
        self._watch(client, client.symbols, False)
        if client.serving is not None:
            client.serving.cancel()
        logger.info("%s disconnected", client.peer)

    def _watch(self, client: _Client, symbols: list[str] | set[str], on: bool) -> None:
        for symbol in symbols:
            if on:
                self._watchers.setdefault(symbol, set()).add(client)
                continue
            watchers = self._watchers.get(symbol)
            if watchers is not None:
                watchers.discard(client)
                if not watchers:
                    del self._watchers[symbol]
        if self._watchers:
            self._someone_watches.set()
        else:
            self._someone_watches.clear()

    def _on_control(self, client: _Client, payload: bytes) -> None:
        parsed = _parse_control(payload)
        if parsed is None:
            self._rejected += 1
            logger.debug("%s sent something that is not a control message: %r", client.peer, payload[:200])
            return
        self._controls += 1
        action, symbols = parsed
        if action == "subscribe":
            client.symbols.update(symbols)
            self._watch(client, symbols, True)
        else:
            client.symbols.difference_update(symbols)
            self._watch(client, symbols, False)
        if client.symbols:
            client.watching.set()
        else:
            client.watching.clear()
        logger.debug("%s %s %s", client.peer, action, symbols)

