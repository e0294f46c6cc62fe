"""vornticker.endpoint: redirecting the tickers' connection attempts, and the
endpoint the ticker uses when nothing is redirected."""

import logging
import ssl
import urllib.parse

import picows
import pytest

from lifecycle import ObservedTicker, ended, failed_server_handshake, fast, logs, loop_errors, run  # noqa: F401
from quote_service import QuoteService
from vornticker import _testsupport as ts
from vornticker import endpoint
from vornticker import vornticker as vt


def test_default_endpoint_is_the_service_root_with_version_2(ticker):
    url = urllib.parse.urlsplit(ts.get_field(ticker, "_ws_url"))
    assert (url.scheme, url.path, url.query, url.fragment) == ("wss", "/", "version=2", "")
    assert url.hostname


@pytest.fixture
def fake_connect(monkeypatch):
    """Stands in for picows.ws_connect and records how it was called."""
    calls = []
    sentinel = object()

    def connect(*args, **kwargs):
        calls.append((args, kwargs))
        return sentinel

    monkeypatch.setattr(picows, "ws_connect", connect)
    return calls, sentinel


@pytest.mark.parametrize("own_context", [False, True], ids=["ticker's-context", "own-context"])
def test_connector_replaces_url_and_context_and_passes_the_rest(fake_connect, own_context):
    calls, sentinel = fake_connect
    own = ssl.create_default_context() if own_context else None
    tickers = ssl.create_default_context()
    factory = lambda: None  # noqa: E731
    with endpoint.use_endpoint("ws://127.0.0.1:9/x?version=2", own) as connector:
        result = vt.ws_connect(
            factory, "wss://default.invalid/?version=2", ssl_context=tickers, enable_auto_ping=True, extra=7
        )
    assert result is sentinel
    assert calls == [
        (
            (factory, "ws://127.0.0.1:9/x?version=2"),
            {"ssl_context": own if own_context else tickers, "enable_auto_ping": True, "extra": 7},
        )
    ]
    assert (connector.url, connector.ssl_context) == ("ws://127.0.0.1:9/x?version=2", own)


def test_nested_blocks_restore_in_turn_even_on_error():
    original = vt.ws_connect
    with pytest.raises(KeyError):
        with endpoint.use_endpoint("wss://outer.test/?version=2") as outer:
            assert vt.ws_connect is outer
            with endpoint.use_endpoint("wss://inner.test/?version=2") as inner:
                assert vt.ws_connect is inner
            assert vt.ws_connect is outer
            raise KeyError
    assert vt.ws_connect is original


def test_restoring_out_of_order_or_twice_is_refused():
    original = vt.ws_connect
    first = endpoint.install_endpoint("wss://first.test/?version=2")
    second = endpoint.install_endpoint("wss://second.test/?version=2")
    try:
        with pytest.raises(RuntimeError):
            endpoint.restore_endpoint(first)
        assert vt.ws_connect is second.connector
    finally:
        endpoint.restore_endpoint(second)
        endpoint.restore_endpoint(first)
    assert vt.ws_connect is original
    with pytest.raises(RuntimeError):
        endpoint.restore_endpoint(first)
    assert vt.ws_connect is original


@pytest.mark.parametrize(
    "url, ssl_context, error",
    [
        ("https://host.test/", None, ValueError),
        ("wss:///?version=2", None, ValueError),
        ("host.test:443", None, ValueError),
        ("wss://127.0.0.1:99999/", None, ValueError),
        ("wss://127.0.0.1:0/", None, ValueError),
        ("wss://host.test/#top", None, ValueError),
        (b"wss://host.test/", None, TypeError),
        ("wss://host.test/", object(), TypeError),
    ],
)
def test_bad_arguments_are_refused_before_anything_changes(url, ssl_context, error):
    original = vt.ws_connect
    with pytest.raises(error):
        endpoint.install_endpoint(url, ssl_context)
    assert vt.ws_connect is original


@pytest.mark.parametrize(
    "give_context, ticker_trusts, connects",
    [(True, False, True), (False, True, True), (False, False, False)],
    ids=["given-context", "ticker-context-trusts", "ticker-context-does-not-trust"],
)
def test_live_connection_uses_the_given_or_the_tickers_tls_context(
    loop, logs, loop_errors, give_context, ticker_trusts, connects
):
    """The default context of a ticker trusts the system's authorities only,
    so the local service's certificate is refused unless a context that
    trusts it is given here or set on the ticker."""
    ticker = fast(ObservedTicker(loop))
    loop_errors.allow(failed_server_handshake)

    async def scenario():
        async with QuoteService() as service:
            if ticker_trusts:
                ts.set_field(ticker, "_ssl_context", service.client_ssl)
            with endpoint.use_endpoint(service.url, service.client_ssl if give_context else None):
                ticker.start_websocket()
                if connects:
                    conn = await service.wait_connection(1)
                    assert conn.path == b"/?version=2"
                else:
                    (line,) = await logs.wait_lines("Error occured on connect :: ", level=logging.ERROR)
                    assert "CERTIFICATE_VERIFY_FAILED" in line
                    await logs.wait_lines("Reconnect failed/unstable (1 in a row)")
                    assert service.connections == []
                ticker.close_websocket()
                await ended(ticker)

    run(loop, scenario())
