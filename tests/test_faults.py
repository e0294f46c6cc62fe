"""One matrix of faulty services. Whatever the fault, the ticker neither
crashes nor lets anything reach the loop's exception handler, backs off by
the rules, and hands every well-formed quote that was sent to the message
callback exactly once and in order."""

import pytest

from lifecycle import big_quote, ended, fast, feed, logs, loop_errors, observed, quote, run  # noqa: F401
from quote_service import QuoteService, SilentService, closed_port_url
from vornticker.endpoint import use_endpoint

CONNECTIONS = 3
EXPECTED_BACKOFFS = [
    "Reconnect failed/unstable (1 in a row) :: backing off 0.01s",
    "Reconnect failed/unstable (2 in a row) :: backing off 0.02s",
    "Reconnect failed/unstable (3 in a row) :: backing off 0.03s",
]


def garbage(q):
    return [q(), b"not json at all", q(), b'{"message": 5}', b'{"message":"@@@@"}', b"", q()]


def one_mebibyte(q):
    return [q(), q(size=1 << 20), q()]


def binary_and_ping(q):
    return [q(), ("binary", b"\x00\x01\x02"), ("ping", b"are you there"), q(), ("binary", b""), q()]


def more_than_the_service_sends(q):
    # The service closes after every second text frame; the rest is not sent.
    return [q(), q(), q()]


SILENT = {
    "refused": None,
    "dropped-at-accept": dict(tls=False, drop=True),
    "dropped-during-upgrade": dict(tls=True, drop=True),
    "stalled-handshake": dict(tls=True),
}
SERVED = {
    "garbage-text": (garbage, None),
    "1MiB-text": (one_mebibyte, None),
    "binary-and-ping": (binary_and_ping, None),
    "closes-every-2-frames": (more_than_the_service_sends, 2),
}


@pytest.mark.parametrize("fault", [*SILENT, *SERVED])
def test_faulty_service(loop, observed, feed, logs, loop_errors, fault):
    ticker = fast(observed, max_backoff=0.03, handshake_timeout=0.2)
    expected = {}
    seq = iter(range(1, 1000))

    def q(size=None):
        n = next(seq)
        payload, mapping = quote("ABC", n) if size is None else big_quote("ABC", n, size)
        expected[payload] = mapping
        return payload

    async def silent():
        if SILENT[fault] is None:
            with use_endpoint(closed_port_url()):
                ticker.start_websocket(*feed.callbacks)
                await logs.wait_lines("Reconnect failed/unstable (", CONNECTIONS)
                ticker.close_websocket()
                await ended(ticker)
            return []
        async with SilentService(**SILENT[fault]) as service:
            with service.endpoint():
                ticker.start_websocket(*feed.callbacks)
                await logs.wait_lines("Reconnect failed/unstable (", CONNECTIONS)
                ticker.close_websocket()
                await ended(ticker)
                assert service.accepted >= CONNECTIONS
        return []

    async def served():
        script, close_every = SERVED[fault]
        async with QuoteService(close_every=close_every) as service:
            with service.endpoint():
                ticker.start_websocket(*feed.callbacks)
                for n in range(1, CONNECTIONS + 1):
                    conn = await service.wait_connection(n)
                    for item in script(q):
                        kind, payload = item if isinstance(item, tuple) else ("text", item)
                        {"text": service.send_text, "binary": service.send_binary, "ping": service.send_ping}[kind](
                            payload, conn=conn
                        )
                    if close_every is None:
                        # Ends the TCP connection once all of it has gone out.
                        service.drop(conn, graceful=True)
                    await service.wait_disconnected(conn)
                await logs.wait_lines("Reconnect failed/unstable (", CONNECTIONS)
                ticker.close_websocket()
                await ended(ticker)
                return [payload for conn in service.connections[:CONNECTIONS] for payload in conn.texts]

    async def scenario():
        sent = await (silent() if fault in SILENT else served())
        quotes = [expected[payload] for payload in sent if payload in expected]
        await feed.changes.until(lambda: len(feed.of("message")) >= len(quotes), f"{len(quotes)} quotes")
        return sent, quotes

    sent, quotes = run(loop, scenario())
    assert feed.of("message") == quotes
    assert len(feed.of("error")) == len(sent) - len(quotes)
    assert all(isinstance(e, ValueError) for e in feed.of("error"))
    assert logs.backoffs()[:CONNECTIONS] == EXPECTED_BACKOFFS
    if fault in SERVED:
        assert len(quotes) >= CONNECTIONS
