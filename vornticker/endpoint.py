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
"""

from __future__ import annotations

import contextlib
import ssl
import urllib.parse
from collections.abc import Awaitable, Callable, Iterator
from typing import Any

import picows

from . import vornticker as _vornticker

__all__ = ["EndpointConnector", "EndpointToken", "install_endpoint", "restore_endpoint", "use_endpoint"]


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
        _check_url(url)
        if ssl_context is not None and not isinstance(ssl_context, ssl.SSLContext):
            raise TypeError(f"ssl_context must be an ssl.SSLContext or None, not {type(ssl_context).__name__}")
        self.url = url
        self.ssl_context = ssl_context

    def __call__(self, ws_listener_factory: Callable[..., Any], url: str, /, *args: Any, **kwargs: Any) -> Awaitable[Any]:
        if self.ssl_context is not None:
            kwargs["ssl_context"] = self.ssl_context
        return picows.ws_connect(ws_listener_factory, self.url, *args, **kwargs)

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


def _check_url(url: str) -> None:
    # A bad URL would otherwise only surface as a logged failure at every
    # connection attempt.
    if not isinstance(url, str):
        raise TypeError(f"url must be a str, not {type(url).__name__}")
    parts = urllib.parse.urlsplit(url)
    if parts.scheme not in ("ws", "wss") or not parts.hostname:
        raise ValueError(f"not a ws:// or wss:// URL with a host: {url!r}")


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
    _vornticker.ws_connect = token.previous
    token._restored = True


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
