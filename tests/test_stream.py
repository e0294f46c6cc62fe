"""vornticker.stream against real services: an application under
asyncio.run in a process of its own, a slow consumer in both buffering
modes, streams with endpoints of their own, and a connection that drops."""

import asyncio
import contextlib
import gc
import logging
import signal
from pathlib import Path

import picows
import pytest

import vornticker
from children import LIMIT, Child, cafile  # noqa: F401
from lifecycle import ObservedTicker, ended, fast, quote, run
from quote_service import WAIT, QuoteService, SilentService, closed_port_url
from quotes import PricingData, frame
from vornticker import endpoint
from vornticker import vornticker as vt

CHILD = Path(__file__).with_name("stream_child.py")
CLOSE_FRAME = (1000, b"Connection closed by the user.")


def own_endpoint(service):
    return {"url": service.url, "ssl_context": service.client_ssl}


async def until(predicate, what):
    async with asyncio.timeout(WAIT):
        while not predicate():
            await asyncio.sleep(0.005)


@pytest.mark.parametrize("how", ["leave", "sigint", "sigint-ignored"])
def test_application_under_asyncio_run(loop, cafile, how):
    async def scenario():
        async with QuoteService() as service:
            child = await Child.start(CHILD, service.url, cafile, *(["--ignore-sigint"] if "ignored" in how else []))
            await child.wait_line("ENTERED")
            conn = await service.wait_connection(1)
            await service.wait_controls(1, conn)
            service.send_text(quote("AAPL", 1)[0], conn)
            await child.wait_line("SWITCHED")
            await service.wait_controls(3, conn)
            if how != "leave":
                child.signal(signal.SIGINT)
            if how != "sigint":
                await asyncio.sleep(0.2)  # an ignored SIGINT has had its chance
                service.send_text(quote("STOP", 2)[0], conn)
            await child.finish()
            await service.wait_disconnected(conn)
            return child, conn

    child, conn = run(loop, scenario(), 2 * LIMIT)
    transcript = child.transcript()
    assert conn.controls == [{"subscribe": ["AAPL"]}, {"subscribe": ["ETH-USD"]}, {"unsubscribe": ["AAPL"]}]
    assert conn.closes == [CLOSE_FRAME], transcript
    # Nothing reported by asyncio (tasks destroyed, exceptions never retrieved), no traceback.
    assert child.stderr == b"", transcript
    assert "ENTERED signals=same" in child.lines, transcript
    if how == "sigint":
        assert (child.proc.returncode, child.lines[-1]) == (3, "KEYBOARDINTERRUPT"), transcript
    else:
        assert (child.proc.returncode, child.lines[-1]) == (0, "AFTER tasks=0 signals=same"), transcript


# Quotes 1..6 of these symbols (None: a quote without one), with two bad
# frames after the third, to a consumer that takes nothing until all have arrived.
SYMBOLS = ["A", "B", "A", None, "B", "A"]


@contextlib.asynccontextmanager
async def slow_consumer(conflate, bad):
    """A stream (maxsize=3) of a service that has sent it the SYMBOLS quotes,
    the frames ``bad`` after the third: (service, connection, stream), once
    the stream has received them all."""
    async with QuoteService() as service:
        async with vornticker.stream(["A"], **own_endpoint(service), maxsize=3, conflate=conflate) as quotes:
            conn = await service.wait_connection(1)
            for seq, symbol in enumerate(SYMBOLS, 1):
                fields = {"time": seq} if symbol is None else {"id": symbol, "time": seq}
                service.send_text(frame(PricingData(**fields).SerializeToString()), conn)
                if seq == 3:
                    for payload in bad:
                        service.send_text(payload, conn)
            await until(lambda: quotes.stats.received == len(SYMBOLS) and quotes.stats.errors == len(bad), "all frames")
            yield service, conn, quotes


@pytest.mark.parametrize(
    "conflate, waiting, dropped",
    [(False, [4, 5, 6], 3), (True, [6, 5, 4], 3)],
    ids=["oldest-dropped", "conflated"],
)
def test_slow_consumer_buffer_is_bounded(loop, caplog, conflate, waiting, dropped):
    caplog.set_level(logging.WARNING, logger="vornticker.stream")

    async def scenario():
        async with slow_consumer(conflate, [b"not a quote", b"nor this"]) as (service, conn, quotes):
            assert len(quotes) == 3
            got = [(await anext(quotes))["time"] for _ in waiting]
            stats, logged = quotes.stats, len(caplog.records)
            service.send_text(quote("A", 7)[0], conn)
            await until(lambda: len(quotes) == 1, "a quote waiting")
        # Leaving the block discards what was waiting.
        assert [q async for q in quotes] == []
        return got, stats, logged

    got, stats, logged = run(loop, scenario())
    assert got == waiting
    assert (stats.received, stats.delivered, stats.dropped, stats.errors) == (6, 3, dropped, 2)
    assert isinstance(stats.last_error, ValueError)
    # The first bad frame at once, the rest as a summary (here when the stream closed).
    assert logged == 1 and len(caplog.records) == 2
    assert caplog.records[1].getMessage().startswith("1 more bad frames")


def test_streams_keep_their_own_endpoints(loop):
    async def scenario():
        async with QuoteService() as one, QuoteService() as two, QuoteService() as three:
            token = endpoint.install_endpoint(three.url, three.client_ssl)
            ticker = fast(ObservedTicker(loop))
            ticker.start_websocket()
            async with (
                vornticker.stream(["A"], **own_endpoint(one)) as a,
                vornticker.stream(["B"], **own_endpoint(two)),
                vornticker.stream(["C"]),
            ):
                fast(a.ticker)
                await one.wait_controls(1)
                await two.wait_controls(1)
                await three.wait_for(lambda: {"subscribe": ["C"]} in three.controls, "stream C at three")
                endpoint.restore_endpoint(token)
                # Its next connection still goes to its own endpoint.
                one.drop()
                await one.wait_controls(2)
            ticker.close_websocket()
            await ended(ticker)
            return one, two, three

    one, two, three = run(loop, scenario())
    assert one.controls == [{"subscribe": ["A"]}] * 2 and two.controls == [{"subscribe": ["B"]}]
    assert len(three.connections) == 2 and three.controls == [{"subscribe": ["C"]}]
    assert vt.ws_connect is picows.ws_connect


@pytest.mark.parametrize("eager", [False, True], ids=["tasks", "eager-tasks"])
def test_iteration_goes_on_across_a_reconnection(loop, eager):
    if eager:
        loop.set_task_factory(asyncio.eager_task_factory)

    async def scenario():
        async with QuoteService() as service:
            async with vornticker.stream(["AAPL"], **own_endpoint(service)) as quotes:
                fast(quotes.ticker)
                got = []
                for n in (1, 2):
                    await quotes.wait_connected(WAIT)
                    conn = await service.wait_connection(n)
                    await service.wait_controls(1, conn)
                    service.send_text(quote("AAPL", n)[0], conn)
                    async for q in quotes:
                        got.append(q["time"])
                        break
                    if n == 1:
                        service.drop(conn)
                stats = quotes.stats
                rtts = await quotes.round_trip_time(2)
            await service.wait_disconnected(conn)
            return got, stats, rtts, conn

    got, stats, rtts, conn = run(loop, scenario())
    assert got == [1, 2]
    assert (stats.reconnects, stats.delivered, stats.connected) == (1, 2, True)
    assert len(rtts) == 2 and all(0 < t < WAIT for t in rtts)
    assert conn.closes == [CLOSE_FRAME]


def test_close_while_the_handshake_hangs_ends_the_reconnect_loop(loop):
    async def scenario():
        async with SilentService() as service:
            async with vornticker.stream(["AAPL"], url=service.url, ssl_context=service.client_ssl) as quotes:
                quotes.ticker.connect_timeout = quotes.ticker.handshake_timeout = 60.0
                await service.wait_accepted(1)
                t0 = loop.time()
            # The close frame cannot go out; the wait for the end is capped.
            closing = loop.time() - t0
            left = [t for t in asyncio.all_tasks() if t is not asyncio.current_task() and not t.done()]
            left = [t for t in left if not t.get_coro().__qualname__.startswith("SilentService.")]
            return closing, left, quotes.stats

    closing, left, stats = run(loop, scenario())
    assert closing < 30.0 and left == [] and not stats.connected


def test_a_reconnect_loop_that_fails_ends_the_iteration(loop, monkeypatch):
    monkeypatch.setattr(vt, "random", None)  # the backoff after the first refused attempt raises

    async def scenario():
        async with vornticker.stream(["AAPL"], url=closed_port_url()) as quotes:
            with pytest.raises(RuntimeError) as info:
                await anext(quotes)
        return info.value

    assert isinstance(run(loop, scenario()).__cause__, AttributeError)


@pytest.mark.parametrize(
    "call, error, name",
    [
        (lambda: vornticker.stream("AAPL"), TypeError, "not a str"),
        (lambda: vornticker.stream(7), TypeError, "not an int"),
        (lambda: vornticker.stream(["AAPL", 1]), TypeError, r"symbols\[1\] is an int$"),
        (lambda: vornticker.stream(("AAPL", None)), TypeError, r"symbols\[1\] is None"),
        (lambda: vornticker.stream(["AAPL", ""]), ValueError, r"symbols\[1\] is an empty string"),
        (lambda: vornticker.stream(["BRK B"]), ValueError, r"symbols\[0\] 'BRK B' contains whitespace"),
        (lambda: vornticker.stream(["AAPL\x00"]), ValueError, "control character"),
        (lambda: vornticker.stream([], maxsize=0), ValueError, "maxsize"),
        (lambda: vornticker.stream([], url="https://host.test/"), ValueError, "ws://"),
        (lambda: vornticker.stream([], url="wss://127.0.0.1:99999/"), ValueError, "'wss://127.0.0.1:99999/'.*port"),
        (lambda: vornticker.stream([], url="wss://127.0.0.1:0/"), ValueError, "port .* not 0"),
    ],
)
def test_bad_arguments_are_refused_at_the_call(call, error, name):
    with pytest.raises(error, match=name):
        call()


def test_symbols_may_be_any_iterable_of_str(loop):
    async def scenario():
        async with QuoteService() as service:
            async with vornticker.stream((s for s in ("A", "B")), **own_endpoint(service)) as quotes:
                await service.wait_controls(1)
                await quotes.subscribe(("C",))
                return await service.wait_controls(2)

    # The set is sent as a set: its order is the hash's.
    first, second = run(loop, scenario())
    assert sorted(first["subscribe"]) == ["A", "B"] and second == {"subscribe": ["C"]}


@pytest.mark.skipif(not endpoint.is_placeholder_url(vt.ENDPOINT_URL), reason="this build names a real service")
def test_a_placeholder_endpoint_is_refused_on_entering(loop, tmp_path):
    capture = tmp_path / "never.vtr"

    async def scenario():
        with pytest.raises(RuntimeError, match="no quote service endpoint.*url=.*use_endpoint.*VORN_ENDPOINT_HOST"):
            async with vornticker.stream(["AAPL"], record_to=capture):
                pass
        return [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]

    assert run(loop, scenario()) == []
    assert not capture.exists()


def test_cancelled_waits_leave_nothing_behind(loop):
    def futures():
        return sum(isinstance(o, asyncio.Future) for o in gc.get_objects())

    async def scenario():
        async with vornticker.stream(["AAPL"], url=closed_port_url()) as quotes:
            for _ in range(50):  # warm-up
                with contextlib.suppress(TimeoutError):
                    await asyncio.wait_for(anext(quotes), 0)
            before = futures()
            for _ in range(500):
                with contextlib.suppress(TimeoutError):
                    await asyncio.wait_for(anext(quotes), 0)
                with contextlib.suppress(TimeoutError):
                    await quotes.wait_connected(0)
            return futures() - before

    assert run(loop, scenario()) < 50


def test_round_trip_time_ends_when_pings_go_unanswered(loop):
    async def scenario():
        async with QuoteService(answer_pings=False) as service:
            async with vornticker.stream(["AAPL"], **own_endpoint(service)) as quotes:
                await quotes.wait_connected(WAIT)
                quotes.ticker.connect_timeout = 0.2
                with pytest.raises(TimeoutError, match="no answer to a ping within 0.2 s"):
                    await quotes.round_trip_time(3)

    run(loop, scenario(), WAIT)


def test_frames_that_come_while_the_stream_closes_are_recorded_and_counted(loop, tmp_path):
    # The recording keeps what the closing connection still brings; the
    # stream's count of bad frames must match what the capture holds.
    from vornticker import recording

    capture = tmp_path / "closing.vtr"

    async def scenario():
        async with QuoteService() as service:
            quotes = vornticker.stream(["A"], record_to=capture, **own_endpoint(service))
            async with quotes:
                conn = await service.wait_connection(1)
                for i in range(20):
                    service.send_text(b"not a quote" if i % 4 == 0 else frame(PricingData(id="A", price=i).SerializeToString()), conn)
                # Closed before the loop reads what was sent.
            return quotes.stats.errors

    errors = run(loop, scenario())
    summary = recording.summarize(capture)
    assert summary.stats.frames == 20 and errors == summary.stats.bad_frames == 5
