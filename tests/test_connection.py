"""A ticker against a real local quote service: quotes and bad frames through
to the callbacks, subscriptions on every connection, the server's CLOSE, the
listener's hooks with real transports, and the round-trip time probe."""

import asyncio
import logging

import picows
import pytest
from picows import WSMsgType
from picows.picows import _make_test_ws_frame

from lifecycle import ended, feed, logs, loop_errors, observed, quote, run, start_connected, transport_of  # noqa: F401
from quote_service import QuoteService
from vornticker import _testsupport as ts
from vornticker import vornticker as vt

NO_MESSAGE = ("no string field 'message' in JSON envelope",)
BAD_BASE64 = ("invalid base64 payload",)
BAD_PROTOBUF = ("malformed or truncated protobuf data",)


def data_events(feed):
    """Message and error callbacks in order, errors as (type, args)."""
    return [
        (kind, (type(arg), arg.args) if kind == "error" else arg)
        for kind, arg in feed.events
        if kind in ("message", "error")
    ]


def test_quotes_errors_and_subscriptions_across_a_reconnection(loop, observed, feed, logs, loop_errors):
    ticker = observed
    ticker.min_stable_secs = 0.0
    q1, m1 = quote("ABC", 1)
    q2, m2 = quote("XYZ", 2, "Xyz Corp")
    q3, m3 = quote("ABC", 3)
    q4, m4 = quote("QQQ", 4)
    first_frames = [q1, b'{"type": "message"}', q2, b'{"message": "bad base64!"}', b'{"message":"FQAAgA=="}', q3]
    first_expected = [
        ("message", m1),
        ("error", (ValueError, NO_MESSAGE)),
        ("message", m2),
        ("error", (ValueError, BAD_BASE64)),
        ("error", (ValueError, BAD_PROTOBUF)),
        ("message", m3),
    ]

    async def scenario():
        async with QuoteService() as service:
            with service.endpoint():
                await ticker.subscribe(["ABC", "XYZ"])
                ticker.start_websocket(*feed.callbacks)
                first = await service.wait_connection(1)
                (sub,) = await service.wait_controls(1, first)
                assert list(sub) == ["subscribe"] and sorted(sub["subscribe"]) == ["ABC", "XYZ"]
                assert await feed.wait("open") == ["Socket opened."]

                for frame in first_frames:
                    service.send_text(frame)
                await feed.changes.until(lambda: len(data_events(feed)) >= 6, "six data callbacks")
                assert data_events(feed) == first_expected

                await ticker.subscribe(["QQQ"])
                await ticker.unsubscribe(["XYZ"])
                assert await service.wait_controls(3, first) == [sub, {"subscribe": ["QQQ"]}, {"unsubscribe": ["XYZ"]}]

                service.drop(first)
                second = await service.wait_connection(2)
                (resub,) = await service.wait_controls(1, second)
                assert list(resub) == ["subscribe"] and sorted(resub["subscribe"]) == ["ABC", "QQQ"]
                await feed.wait("open", 2)
                service.send_text(q4, second)
                await feed.wait("message", 4)

                ticker.close_websocket()
                await ended(ticker)
                assert second.closes == [(1000, b"Connection closed by the user.")]
                await feed.wait("close", 2)

    run(loop, scenario())
    assert [kind for kind, _ in feed.events] == ["open"] + [k for k, _ in first_expected] + [
        "close",
        "open",
        "message",
        "close",
    ]
    assert feed.of("message")[-1] == m4
    assert set(feed.of("open")) == {"Socket opened."} and set(feed.of("close")) == {"Socket closed."}
    assert logs.count("Connection lost, reconnecting..") == 1
    assert logs.backoffs() == []


@pytest.mark.parametrize(
    "code, reason, line",
    [
        (1000, b"", "VornTicker disconnected with code :: 1000, message :: Connection closed by the user. "),
        (1000, b"maintenance", "VornTicker disconnected with code :: 1000, message :: maintenance "),
        (1001, "Wartung läuft".encode(), "VornTicker disconnected with code :: 1001, message :: Wartung läuft "),
        (4001, b"", "VornTicker disconnected with code :: 4001, message :: None "),
        (4000, b"a\x00b", "VornTicker disconnected with code :: 4000, message :: a\x00b "),
        # A CLOSE without payload: the library reports code 0 and no reason.
        (None, b"", "VornTicker disconnected with code :: 0, message :: None "),
    ],
    ids=["1000-empty", "1000-reason", "1001-utf8", "4001-no-reason", "4000-nul", "no-payload"],
)
def test_server_close_is_logged_then_the_ticker_drops_and_reconnects(
    loop, observed, feed, logs, loop_errors, code, reason, line
):
    ticker = observed

    async def scenario():
        async with QuoteService() as service:
            with service.endpoint():
                first = await start_connected(ticker, service, feed)
                service.close(code, reason)
                (logged,) = await logs.wait_lines("VornTicker disconnected with code :: ", level=logging.INFO)
                assert logged == line
                # The client drops the connection without a CLOSE of its own.
                await service.wait_disconnected(first)
                assert first.closes == []
                assert await feed.wait("close") == ["Socket closed."]
                await service.wait_connection(2)
                await feed.wait("open", 2)
                ticker.close_websocket()
                await ended(ticker)

    run(loop, scenario())
    assert logs.backoffs() == ["Reconnect failed/unstable (1 in a row) :: backing off 0.01s"]
    assert logs.lines(logging.ERROR) == []


def test_close_reason_that_is_not_utf8(loop, observed, feed, logs, loop_errors):
    """The hook raises on such a reason before logging or disconnecting. Over
    a real connection the library refuses the frame itself (close code 1007)
    before the hook sees it; the ticker logs the failure and reconnects."""
    ticker = observed
    q1, m1 = quote("ABC", 1)

    async def scenario():
        async with QuoteService() as service:
            with service.endpoint():
                first = await start_connected(ticker, service, feed)
                live = transport_of(ticker)
                frame = _make_test_ws_frame(WSMsgType.CLOSE, b"\x03\xe8\xff\xfebye", True, False)
                with pytest.raises(UnicodeDecodeError):
                    vt.VornListener(ticker, loop).on_ws_frame(live, frame)
                assert logs.lines(startswith="VornTicker disconnected") == []
                # Still connected: a quote sent now arrives.
                service.send_text(q1)
                assert await feed.wait("message") == [m1]
                assert not first.disconnected

                service.close(1000, b"\xff\xfebye")
                await service.wait_disconnected(first)
                assert [code for code, _ in first.closes] == [1007]
                await logs.wait_lines("Error occured on connect :: ", level=logging.ERROR)
                await service.wait_connection(2)
                ticker.close_websocket()
                await ended(ticker)

    run(loop, scenario())
    # Only the echo of the ticker's own close on the second connection.
    assert logs.lines(startswith="VornTicker disconnected") == [
        "VornTicker disconnected with code :: 1000, message :: Connection closed by the user. "
    ]
    assert logs.backoffs() == ["Reconnect failed/unstable (1 in a row) :: backing off 0.01s"]


@pytest.mark.parametrize("whose", ["current", "other"])
def test_disconnect_hook_clears_state_only_for_the_current_transport(loop, observed, feed, logs, loop_errors, whose):
    ticker = observed

    async def scenario():
        async with QuoteService() as service:
            with service.endpoint():
                conn = await start_connected(ticker, service, feed)
                live = transport_of(ticker)
                other = None
                if whose == "other":
                    other, _ = await picows.ws_connect(picows.WSListener, service.url, ssl_context=service.client_ssl)
                    await service.wait_connection(2)
                gone = live if whose == "current" else other

                vt.VornListener(ticker, loop).on_ws_disconnected(gone)

                if whose == "current":
                    assert transport_of(ticker) is None and not ticker.IS_CONNECTED.is_set()
                else:
                    assert transport_of(ticker) is live and ticker.IS_CONNECTED.is_set()
                    other.disconnect()
                assert await feed.wait("close") == ["Socket closed."]
                ticker.close_websocket()
                service.drop(conn)
                await ended(ticker)

    run(loop, scenario())


@pytest.mark.parametrize("reason", [None, b"client going home"], ids=["default-reason", "own-reason"])
def test_connection_completing_after_close_was_requested_is_closed_at_once(
    loop, observed, feed, logs, loop_errors, reason
):
    ticker = observed
    if reason is not None:
        ts.set_field(ticker, "_disconnect_msg", reason)

    def close_during_handshake(request):
        # The upgrade request has arrived; the client has not seen the answer.
        ticker.close_websocket()

    async def scenario():
        async with QuoteService(on_upgrade=close_during_handshake) as service:
            with service.endpoint():
                await ticker.subscribe(["ABC"])
                ticker.start_websocket(*feed.callbacks)
                conn = await service.wait_connection(1)
                await service.wait_for(lambda: conn.closes, "the client's CLOSE")
                assert conn.closes == [(1000, reason or b"Connection closed by the user.")]
                assert transport_of(ticker) is None and not ticker.IS_CONNECTED.is_set()
                await ended(ticker)
                assert conn.controls == []
                assert len(service.connections) == 1

    run(loop, scenario())
    assert feed.of("open") == []
    assert ticker.shutdowns == 1 and ts.get_field(ticker, "_stop_event").is_set()


@pytest.mark.parametrize("count, rounds", [(3, 3), (2.9, 2), (True, 1)])
def test_round_trip_time_on_a_live_connection(loop, observed, feed, logs, loop_errors, count, rounds):
    ticker = observed

    async def scenario():
        async with QuoteService() as service:
            with service.endpoint():
                conn = await start_connected(ticker, service, feed)
                times = await ticker.check_round_trip_time(count)
                assert type(times) is list and len(times) == rounds
                assert all(type(t) is float and t >= 0.0 for t in times)
                # Every ping went through the listener: one debug line each,
                # an empty payload each.
                sent = len(logs.lines(logging.DEBUG, "sending ping"))
                assert sent >= rounds
                await service.wait_for(lambda: len(conn.pings) >= sent, f"{sent} pings")
                assert conn.pings == [b""] * sent
                ticker.close_websocket()
                await ended(ticker)

    run(loop, scenario())


@pytest.mark.parametrize("awaited", ["disconnected", "after-connecting"])
def test_round_trip_time_reads_the_transport_when_awaited(loop, observed, feed, logs, loop_errors, awaited):
    ticker = observed

    async def scenario():
        async with QuoteService() as service:
            with service.endpoint():
                probe = ticker.check_round_trip_time(2)
                if awaited == "disconnected":
                    with pytest.raises(AttributeError):
                        await probe
                    return
                conn = await start_connected(ticker, service, feed)
                assert len(await probe) == 2
                assert len(conn.pings) >= 2
                ticker.close_websocket()
                await ended(ticker)

    run(loop, scenario())


@pytest.mark.parametrize("count", ["3", None, [3]], ids=["str", "None", "list"])
def test_round_trip_time_refuses_a_count_that_is_not_a_number_at_the_call(ticker, count):
    with pytest.raises(TypeError, match=r"^Argument 'count' has incorrect type \(expected int, got "):
        ticker.check_round_trip_time(count)


@pytest.mark.parametrize("action", ["subscribe", "round-trip", "close"])
def test_eager_callback_acting_from_inside_the_frame_hook(loop, observed, feed, logs, loop_errors, action):
    """With asyncio.eager_task_factory a callback runs inside on_ws_frame
    until its first suspension; what it does there must work as from a task."""
    ticker = observed
    loop.set_task_factory(asyncio.eager_task_factory)
    outcome = []

    async def on_quote(q):
        outcome.append(q["id"])
        if action == "subscribe":
            await ticker.subscribe(["XYZ"])
        elif action == "round-trip":
            outcome.append(len(await ticker.check_round_trip_time(2)))
        else:
            ticker.close_websocket()
        feed.changes.notify()

    async def scenario():
        async with QuoteService() as service:
            with service.endpoint():
                ticker.start_websocket(on_quote, *feed.callbacks[1:])
                conn = await service.wait_connection(1)
                await feed.wait("open")
                service.send_text(quote("ABC", 1)[0])
                if action == "subscribe":
                    assert await service.wait_controls(1, conn) == [{"subscribe": ["XYZ"]}]
                elif action == "round-trip":
                    await feed.changes.until(lambda: len(outcome) == 2, "the round trip")
                if action != "close":
                    ticker.close_websocket()
                await ended(ticker)
                await service.wait_disconnected(conn)
                return conn

    conn = run(loop, scenario())
    assert outcome[0] == "ABC"
    assert conn.closes == [(1000, b"Connection closed by the user.")]
    if action == "round-trip":
        assert outcome[1] == 2
