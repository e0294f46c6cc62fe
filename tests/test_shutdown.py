"""The orderly shutdown on a real loop: once only, every other task cancelled
and awaited, then the loop stopped; and a close request that leads there from
a live ticker."""

import asyncio
import signal

import pytest

from lifecycle import fast, feed, logs, loop_errors, ticker_task  # noqa: F401
from quote_service import WAIT, QuoteService, closed_port_url
from vornticker import _testsupport as ts
from vornticker import vornticker as vt
from vornticker.endpoint import use_endpoint


def run_until_stopped(loop):
    """Runs the loop until something stops it; fails if that takes longer
    than WAIT seconds."""
    timed_out = []
    guard = loop.call_later(WAIT, lambda: (timed_out.append(True), loop.stop()))
    loop.run_forever()
    guard.cancel()
    assert not timed_out, "the loop was not stopped"


class CountingShutdown(vt.VornTicker):
    def __init__(self, loop):
        super().__init__(loop)
        self.scheduled = 0
        self.started = 0

    def _schedule_async_shutdown(self):
        self.scheduled += 1
        return super()._schedule_async_shutdown()

    def _async_shutdown(self):
        self.started += 1
        return super()._async_shutdown()


class SignalSpy:
    """Stands in for the signal module and records every attribute used."""

    def __init__(self):
        self.used = []

    def __getattr__(self, name):
        self.used.append(name)
        return getattr(signal, name)


def test_shutdown_runs_once_cancels_and_awaits_the_other_tasks_then_stops_the_loop(
    loop, logs, loop_errors, monkeypatch
):
    ticker = CountingShutdown(loop)
    handlers = {sig: signal.getsignal(sig) for sig in (signal.SIGINT, signal.SIGTERM)}
    spy = SignalSpy()
    monkeypatch.setattr(vt, "signal", spy)
    removed = []
    monkeypatch.setattr(loop, "remove_signal_handler", lambda sig: removed.append(sig))

    async def waits_forever():
        await asyncio.Event().wait()

    async def finishes_its_work_first():
        try:
            await asyncio.Event().wait()
        except asyncio.CancelledError:
            # Carries on for a while; the loop must not stop meanwhile.
            for _ in range(5):
                await asyncio.sleep(0)
            return "done"

    plain = loop.create_task(waits_forever())
    stubborn = loop.create_task(finishes_its_work_first())
    ticker.IS_CONNECTED.set()
    ts.call(ticker, "_initiate_shutdown")
    ts.call(ticker, "_initiate_shutdown")
    assert not ticker.IS_CONNECTED.is_set()

    run_until_stopped(loop)

    assert plain.cancelled() and stubborn.result() == "done"
    assert logs.count("Websocket disconnected.") == 1
    assert (ticker.scheduled, ticker.started) == (1, 1)
    assert asyncio.all_tasks(loop) == set()
    # No signal pending: no handler touched, nothing re-delivered.
    loop.run_until_complete(asyncio.sleep(0))
    assert spy.used == [] and removed == []
    assert {sig: signal.getsignal(sig) for sig in handlers} == handlers


@pytest.mark.parametrize("when", ["during-backoff", "while-connected"])
def test_close_request_ends_in_a_stopped_loop(loop, feed, logs, loop_errors, when):
    ticker = fast(vt.VornTicker(loop))
    if when == "during-backoff":
        fast(ticker, min_backoff=600.0, max_backoff=600.0)
    app_progress = []

    async def application():
        async with QuoteService() as service:
            url = service.url if when == "while-connected" else closed_port_url()
            with use_endpoint(url, service.client_ssl):
                ticker.start_websocket(*feed.callbacks)
                if when == "while-connected":
                    await feed.wait("open")
                else:
                    await logs.wait_lines("Reconnect failed/unstable (1 in a row)")
                ticker.close_websocket()
                app_progress.append("closed")
                try:
                    await asyncio.Event().wait()
                finally:
                    app_progress.append("cancelled")
                    if when == "while-connected":
                        assert service.connections[0].closes == [(1000, b"Connection closed by the user.")]

    app = loop.create_task(application())
    run_until_stopped(loop)

    assert app.cancelled() and app_progress == ["closed", "cancelled"]
    assert ticker_task(ticker).result() is None
    assert ts.get_field(ticker, "_stop_event").is_set()
    assert logs.lines()[-1] == "Websocket disconnected."
    if when == "during-backoff":
        assert logs.lines()[-2] == "Backoff aborted early -- close requested"
