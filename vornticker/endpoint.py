"""Point tickers at another quote service endpoint.

A :class:`~vornticker.VornTicker` connects to the endpoint fixed when the
extension was built: ``wss://HOST/?version=2``, where ``HOST`` is the CMake
option ``VORN_ENDPOINT_HOST``.  To reach a staging or a local service instead,
without rebuilding, replace the connect function that the ticker uses.  The
ticker looks up the module global ``vornticker.vornticker.ws_connect`` at every
connection attempt, so a replacement takes effect from the next attempt on,
for every ticker in the process::

    from vornticker.endpoint import use_endpoint

    with use_endpoint("wss://staging.example:8443/?version=2"):
        ticker.start_websocket(on_quote)
        loop.run_forever()

The replacement calls :func:`picows.ws_connect` with the given URL instead of
the ticker's own.  All other arguments (the listener factory, timeouts and
auto-ping settings) pass through unchanged.  The TLS context is the one given
here when there is one, and the ticker's otherwise (the ``ssl`` module's
default, which trusts the system's certificate authorities).

The global is process-wide state: install and restore it on the thread that
runs the tickers' event loop, and restore in the reverse order of installing.

A :func:`vornticker.stream` given its own ``url`` connects there whatever is
installed here: its endpoint travels in a context variable that the stream
sets while it starts its ticker, and every connect function of this module
reads it first.
"""

from __future__ import annotations

import contextlib
import contextvars
import ssl
import threading
import urllib.parse
from collections.abc import Awaitable, Callable, Iterator
from typing import Any, Final

import picows

from . import vornticker as _vornticker

__all__ = [
    "EndpointConnector",
    "EndpointToken",
    "check_url",
    "install_endpoint",
    "is_placeholder_url",
    "restore_endpoint",
    "use_endpoint",
]

# Top-level domains reserved for examples and for names that must not resolve
# (RFC 2606): a build whose endpoint is there has no service to reach.
_PLACEHOLDER_DOMAINS: Final = ("example", "invalid")


class EndpointConnector:
    """A stand-in for :func:`picows.ws_connect` that connects to one URL.

    Calling it with the ticker's arguments calls ``picows.ws_connect`` (looked
    up at each call) with :attr:`url` in place of the URL given, and with
    :attr:`ssl_context` in place of the ``ssl_context`` keyword unless it is
    None.  It returns what ``picows.ws_connect`` returns: an awaitable whose
    result is the pair ``(transport, listener)``.
    """

    __slots__ = ("url", "ssl_context")

    def __init__(self, url: str, ssl_context: ssl.SSLContext | None = None) -> None:
        check_url(url)
        _check_context(ssl_context)
        self.url = url
        self.ssl_context = ssl_context

    def __call__(self, ws_listener_factory: Callable[..., Any], url: str, /, *args: Any, **kwargs: Any) -> Awaitable[Any]:
        own = _context_endpoint.get()
        if own is not None:
            return own(ws_listener_factory, url, *args, **kwargs)
        return _connect(self.url, self.ssl_context, ws_listener_factory, args, kwargs)

    def __repr__(self) -> str:
        tls = "the ticker's TLS context" if self.ssl_context is None else repr(self.ssl_context)
        return f"<EndpointConnector {self.url!r} with {tls}>"


class EndpointToken:
    """What :func:`install_endpoint` hands back for :func:`restore_endpoint`."""

    __slots__ = ("connector", "previous", "_restored")

    def __init__(self, connector: EndpointConnector, previous: Any) -> None:
        self.connector = connector
        self.previous = previous
        self._restored = False


def _connect(
    url: str, ssl_context: ssl.SSLContext | None, factory: Callable[..., Any], args: Any, kwargs: dict[str, Any]
) -> Awaitable[Any]:
    if ssl_context is not None:
        kwargs["ssl_context"] = ssl_context
    return picows.ws_connect(factory, url, *args, **kwargs)


def _check_context(ssl_context: object) -> None:
    if ssl_context is not None and not isinstance(ssl_context, ssl.SSLContext):
        raise TypeError(f"ssl_context must be an ssl.SSLContext or None, not {type(ssl_context).__name__}")


def check_url(url: str) -> str:
    """Returns ``url`` if a ticker can connect there: a ``ws://`` or ``wss://``
    URL with a host, a port in 1..65535 if it names one, and no fragment.

    Otherwise ``ValueError`` names the URL and what is wrong with it (a bad
    URL would only surface as a failure logged at every connection attempt);
    ``TypeError`` if ``url`` is not a ``str``.
    """
    if not isinstance(url, str):
        raise TypeError(f"url must be a str, not {type(url).__name__}")
    problem = _url_problem(url)
    if problem is not None:
        raise ValueError(f"bad endpoint URL {url!r}: {problem}")
    return url


def _url_problem(url: str) -> str | None:
    if any(c.isspace() or not c.isprintable() for c in url):
        return "it contains whitespace or a control character"
    try:
        parts = urllib.parse.urlsplit(url)
    except ValueError:  # the only thing it refuses: brackets around something else
        return "its host in brackets is not an IPv6 address"
    if not parts.scheme:
        return "it names no scheme: start it with ws:// or wss://"
    if parts.scheme not in ("ws", "wss"):
        return f"the scheme must be ws:// or wss://, not {parts.scheme}://"
    if not parts.hostname:
        return "it names no host"
    try:
        port = parts.port
    except ValueError:
        text = parts.netloc.rpartition("@")[2].rpartition("]")[2].rpartition(":")[2]
        return f"the port must be a number from 1 to 65535, not {text if text.isdigit() else repr(text)}"
    if port == 0:
        # picows would take it for "no port" and connect to the scheme's default.
        return "the port must be a number from 1 to 65535, not 0"
    if parts.fragment or url.endswith("#"):
        return "a fragment (#...) means nothing to a websocket service"
    return None


def is_placeholder_url(url: str) -> bool:
    """Whether ``url``'s host is in a domain reserved for examples, where no
    service can be (the endpoint of a build made without ``VORN_ENDPOINT_HOST``)."""
    host = (urllib.parse.urlsplit(url).hostname or "").rstrip(".").lower()
    return host.rsplit(".", 1)[-1] in _PLACEHOLDER_DOMAINS


def install_endpoint(url: str, ssl_context: ssl.SSLContext | None = None) -> EndpointToken:
    """Make every ticker's next connection attempts go to ``url``.

    ``url`` is a ``ws://`` or ``wss://`` URL, complete with path and query
    (the service expects ``/?version=2``); ``ValueError`` otherwise.
    ``ssl_context`` replaces the ticker's TLS context for ``wss://`` URLs.
    Returns a token for :func:`restore_endpoint`, which puts back whatever
    connect function was in place before.
    """
    connector = EndpointConnector(url, ssl_context)
    token = EndpointToken(connector, _vornticker.ws_connect)
    _vornticker.ws_connect = connector
    return token


def restore_endpoint(token: EndpointToken) -> None:
    """Undo one :func:`install_endpoint`.

    Raises ``RuntimeError`` if the token was restored already, or if another
    endpoint installed after it is still in place (restore that one first);
    the global is left unchanged then.
    """
    if token._restored:
        raise RuntimeError("this endpoint was restored already")
    if _vornticker.ws_connect is not token.connector:
        raise RuntimeError("another connect function replaced this endpoint and is still installed; restore it first")
    with _lock:
        previous = token.previous
        if isinstance(previous, _Dispatcher) and not _streams_routed:
            previous = previous.below
        _vornticker.ws_connect = previous
        token._restored = True
        _keep_dispatching()


@contextlib.contextmanager
def use_endpoint(url: str, ssl_context: ssl.SSLContext | None = None) -> Iterator[EndpointConnector]:
    """Within the ``with`` block, tickers connect to ``url``.

    See :func:`install_endpoint` for the arguments.  Blocks may be nested; each
    restores the connect function that was in place when it was entered.
    Yields the installed :class:`EndpointConnector`.
    """
    token = install_endpoint(url, ssl_context)
    try:
        yield token.connector
    finally:
        restore_endpoint(token)


# --- streams with an endpoint of their own ---------------------------------------------

# Set by a stream while it starts its ticker. asyncio copies the context into
# the task it creates there, so the ticker's reconnect loop sees its stream's
# endpoint at every attempt, for its whole life, and no other task sees it.
_context_endpoint: contextvars.ContextVar[StreamEndpoint | None] = contextvars.ContextVar(
    "vornticker_endpoint", default=None
)


class StreamEndpoint:
    """Where one stream connects: ``url`` (None: the URL the ticker asks for)
    with ``ssl_context`` (None: the ticker's own)."""

    __slots__ = ("url", "ssl_context")

    def __init__(self, url: str | None, ssl_context: ssl.SSLContext | None) -> None:
        if url is not None:
            check_url(url)
        _check_context(ssl_context)
        self.url = url
        self.ssl_context = ssl_context

    def __call__(self, ws_listener_factory: Callable[..., Any], url: str, /, *args: Any, **kwargs: Any) -> Awaitable[Any]:
        return _connect(self.url or url, self.ssl_context, ws_listener_factory, args, kwargs)


class _Dispatcher:
    """Stands in the global, over a connect function that knows nothing of
    streams, while streams with their own endpoint are open."""

    __slots__ = ("below",)

    def __init__(self, below: Any) -> None:
        self.below = below

    def __call__(self, ws_listener_factory: Callable[..., Any], url: str, /, *args: Any, **kwargs: Any) -> Any:
        own = _context_endpoint.get()
        if own is not None:
            return own(ws_listener_factory, url, *args, **kwargs)
        return self.below(ws_listener_factory, url, *args, **kwargs)


_lock = threading.Lock()
_streams_routed = 0


def _keep_dispatching() -> None:
    # Caller holds _lock. The connectors of this module read the context
    # themselves; anything else gets a dispatcher over it.
    if _streams_routed and not isinstance(_vornticker.ws_connect, (EndpointConnector, _Dispatcher)):
        _vornticker.ws_connect = _Dispatcher(_vornticker.ws_connect)


@contextlib.contextmanager
def starting_stream(endpoint: StreamEndpoint | None) -> Iterator[None]:
    """Run the ticker's start_websocket() of a stream inside this block.

    With an endpoint, its reconnect loop connects there until
    :func:`stream_closed` is called; with None, it connects where any ticker
    would, even if the caller's context carried another stream's endpoint.
    """
    global _streams_routed
    if endpoint is not None:
        with _lock:
            _streams_routed += 1
            _keep_dispatching()
    token = _context_endpoint.set(endpoint)
    try:
        yield
    finally:
        _context_endpoint.reset(token)


def endpoint_url(endpoint: StreamEndpoint | None) -> str | None:
    """Where a stream with this endpoint connects: its own URL, the one
    installed with use_endpoint, or the build's; None when an application's
    own connect function stands in the global (it may go anywhere)."""
    if endpoint is not None and endpoint.url is not None:
        return endpoint.url
    installed = _vornticker.ws_connect
    while isinstance(installed, _Dispatcher):
        installed = installed.below
    if isinstance(installed, EndpointConnector):
        return installed.url
    return _vornticker.ENDPOINT_URL if installed is picows.ws_connect else None


def stream_closed(endpoint: StreamEndpoint | None) -> None:
    """The stream started with this endpoint has ended its reconnect loop."""
    global _streams_routed
    if endpoint is None:
        return
    with _lock:
        _streams_routed -= 1
        current = _vornticker.ws_connect
        if not _streams_routed and isinstance(current, _Dispatcher):
            _vornticker.ws_connect = current.below
