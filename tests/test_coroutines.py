"""The C++ coroutine machinery, driven through check_round_trip_time: its body
awaits whatever the (fake) transport's measure_roundtrip_time returns, so the
tests choose the awaitable and watch values, exceptions, cancellation and
clean-up cross the bridge."""

import asyncio
import gc
import inspect
import sys
import tracemalloc
import types
import warnings

import pytest

from vornticker import vornticker as vt


class FakeTransport:
    """measure_roundtrip_time returns what the test put in `make`."""

    def __init__(self, make):
        self.make = make
        self.counts = []

    def measure_roundtrip_time(self, count):
        self.counts.append(count)
        return self.make()


@pytest.fixture
def probe(ticker, ts):
    """Installs a fake transport built from an awaitable factory."""

    def install(make):
        transport = FakeTransport(make)
        ts.set_field(ticker, "_transport", transport)
        return transport

    return install


class Yielding:
    """An awaitable whose iterator yields `n` times (bare yields, as
    asyncio.sleep(0) does) and then returns `value`."""

    def __init__(self, n, value):
        self.n = n
        self.value = value

    def __await__(self):
        for _ in range(self.n):
            yield
        return self.value


@types.coroutine
def generator_based():
    yield
    return ["gen"]


async def native(value):
    await asyncio.sleep(0)
    return value


def run(loop, coro):
    return loop.run_until_complete(coro)


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: native([1, 2]), [1, 2]),
        (lambda: generator_based(), ["gen"]),
        (lambda: Yielding(3, [0.5]), [0.5]),
        (lambda: Yielding(0, None), None),
        # One of our own coroutines awaited from inside another.
        (lambda: vt.VornTicker._dummy_callback("x"), None),
    ],
    ids=["native", "types.coroutine", "custom-__await__", "immediate", "own-coroutine"],
)
def test_awaited_value_reaches_the_body(loop, ticker, probe, make, expected):
    transport = probe(make)
    assert run(loop, ticker.check_round_trip_time()) == expected
    assert transport.counts == [5]


def test_future_and_task_results(loop, ticker, probe):
    fut = loop.create_future()
    probe(lambda: fut)
    loop.call_later(0.01, fut.set_result, [42])
    assert run(loop, ticker.check_round_trip_time(2)) == [42]

    probe(lambda: loop.create_task(native([7])))
    assert run(loop, ticker.check_round_trip_time()) == [7]


@pytest.mark.parametrize("via", ["native", "future", "task"])
def test_exception_from_the_awaitable_is_raised_unchanged(loop, ticker, probe, via):
    error = LookupError("nope")

    async def failing():
        await asyncio.sleep(0)
        raise error

    def make():
        if via == "native":
            return failing()
        if via == "task":
            return loop.create_task(failing())
        fut = loop.create_future()
        loop.call_soon(fut.set_exception, error)
        return fut

    probe(make)
    with pytest.raises(LookupError) as info:
        run(loop, ticker.check_round_trip_time())
    assert info.value is error


@pytest.mark.parametrize(
    "value, message",
    [
        (5, "'int' object can't be awaited"),
        (types.SimpleNamespace(), "'types.SimpleNamespace' object can't be awaited"),
    ],
)
def test_non_awaitable_raises_type_error_at_the_await(loop, ticker, probe, value, message):
    probe(lambda: value)
    with pytest.raises(TypeError, match=message):
        run(loop, ticker.check_round_trip_time())


def test_await_returning_a_non_iterator(loop, ticker, probe):
    class Bad:
        def __await__(self):
            return 3

    probe(Bad)
    with pytest.raises(TypeError, match="__await__\\(\\) returned non-iterator of type 'int'"):
        run(loop, ticker.check_round_trip_time())


def test_cancellation_reaches_the_awaited_future(loop, ticker, probe):
    fut = loop.create_future()
    probe(lambda: fut)

    async def main():
        task = loop.create_task(ticker.check_round_trip_time())
        await asyncio.sleep(0)
        assert not task.done()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return task

    task = run(loop, main())
    assert task.cancelled()
    assert fut.cancelled()


def test_wait_for_timeout_cancels_the_body(loop, ticker, probe):
    fut = loop.create_future()
    probe(lambda: fut)
    with pytest.raises(TimeoutError):
        run(loop, asyncio.wait_for(ticker.check_round_trip_time(), timeout=0.01))
    assert fut.cancelled()


def test_manual_driving_send_and_stop_iteration(ticker, probe):
    class Echo:
        def __await__(self):
            got = yield "ping"
            return [got]

    probe(Echo)
    coro = ticker.check_round_trip_time()
    with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
        coro.send(1)
    assert coro.send(None) == "ping"
    assert coro.cr_suspended and not coro.cr_running
    with pytest.raises(StopIteration) as stop:
        coro.send("pong")
    assert stop.value.value == ["pong"]
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


def test_throw_is_delegated_to_the_awaited_iterator(ticker, probe):
    def inner():
        try:
            yield "waiting"
        except KeyError as exc:
            return [exc.args[0]]

    @types.coroutine
    def awaitable():
        return (yield from inner())

    probe(awaitable)
    coro = ticker.check_round_trip_time()
    assert coro.send(None) == "waiting"
    with pytest.raises(StopIteration) as stop:
        coro.throw(KeyError("handled"))
    assert stop.value.value == ["handled"]


def test_throw_before_start_never_runs_the_body(ticker, probe):
    transport = probe(lambda: Yielding(1, []))
    coro = ticker.check_round_trip_time()
    with pytest.raises(ZeroDivisionError):
        coro.throw(ZeroDivisionError())
    assert transport.counts == []
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


def test_close_runs_the_clean_up_of_the_current_await(ticker, probe):
    events = []

    @types.coroutine
    def guarded():
        try:
            yield "held"
        finally:
            events.append("cleaned")
        return []

    probe(guarded)
    coro = ticker.check_round_trip_time()
    assert coro.send(None) == "held"
    assert coro.close() is None
    assert events == ["cleaned"]
    assert not coro.cr_suspended
    # Closing again, or closing a coroutine that never started, is a no-op.
    assert coro.close() is None
    fresh = ticker.check_round_trip_time()
    assert fresh.close() is None


def test_close_when_the_await_ignores_generator_exit(ticker, probe):
    @types.coroutine
    def stubborn():
        # Ignores the first GeneratorExit, gives in to the second (at collection).
        try:
            yield "again"
        except GeneratorExit:
            pass
        yield "still here"

    probe(stubborn)
    coro = ticker.check_round_trip_time()
    coro.send(None)
    # The sub-iterator is closed first (which raises RuntimeError for a
    # generator that keeps yielding); that error reaches the caller.
    with pytest.raises(RuntimeError):
        coro.close()


def test_collected_suspended_coroutine_closes_its_await(ticker, probe):
    events = []

    @types.coroutine
    def guarded():
        try:
            yield
        finally:
            events.append("cleaned")

    probe(guarded)
    coro = ticker.check_round_trip_time()
    coro.send(None)
    cycle = [coro]
    cycle.append(cycle)
    del coro, cycle
    gc.collect()
    assert events == ["cleaned"]


@pytest.mark.parametrize("kind", ["vornticker", "native"])
def test_busy_or_finished_coroutine_is_refused_as_a_native_one_is(loop, ticker, probe, kind):
    gate = loop.create_future()
    if kind == "native":

        async def twin():
            return await gate

        coro = twin()
    else:
        probe(lambda: gate)
        coro = ticker.check_round_trip_time()

    async def awaiting():
        return await coro

    first = loop.create_task(awaiting())
    run(loop, asyncio.sleep(0))
    with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
        run(loop, awaiting())
    gate.set_result([0.5])
    assert run(loop, first) == [0.5]
    for reuse in (lambda: coro.send(None), lambda: coro.throw(KeyError("late"))):
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            reuse()


def test_reentrant_send_is_refused(ticker, probe):
    holder = {}

    class Reenter:
        def __await__(self):
            return self

        def __iter__(self):
            return self

        def __next__(self):
            holder["coro"].send(None)

    probe(Reenter)
    coro = ticker.check_round_trip_time()
    holder["coro"] = coro
    with pytest.raises(ValueError, match="coroutine already executing"):
        coro.send(None)


def test_coroutine_identity_for_inspect_and_asyncio(ticker, probe):
    probe(lambda: Yielding(0, []))
    coro = ticker.check_round_trip_time()
    try:
        assert asyncio.iscoroutine(coro)
        assert coro.__name__ == "check_round_trip_time"
        assert coro.__qualname__ == "VornTicker.check_round_trip_time"
        assert "coroutine object VornTicker.check_round_trip_time" in repr(coro)
    finally:
        coro.close()
    for fn in (ticker.check_round_trip_time, vt.VornTicker.start_ticker, vt.VornTicker._dummy_callback):
        assert inspect.iscoroutinefunction(fn)
    assert not inspect.iscoroutinefunction(ticker.start_websocket)


@pytest.mark.parametrize("error", [StopIteration(7), StopAsyncIteration(7)], ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("kind", ["vornticker", "native"])
def test_stop_iteration_from_the_body_is_a_runtime_error_as_for_a_native_one(ticker, probe, kind, error):
    """A body raising StopIteration must not look like a return to send()."""

    def make():
        raise error

    if kind == "native":

        async def twin():
            return await make()

        coro = twin()
    else:
        probe(make)
        coro = ticker.check_round_trip_time()
    with pytest.raises(BaseException) as info:
        coro.send(None)
    if isinstance(error, StopIteration):
        assert type(info.value) is RuntimeError and info.value.args == ("coroutine raised StopIteration",)
        assert info.value.__cause__ is error and info.value.__suppress_context__
    else:
        assert info.value is error


@pytest.mark.parametrize("kind", ["vornticker", "native"])
def test_inspect_and_asyncio_see_each_state(loop, ticker, probe, kind):
    gate = loop.create_future()
    seen = []
    if kind == "native":

        async def twin():
            seen.append(inspect.getcoroutinestate(coro))
            return await gate

        coro = twin()
    else:

        def make():
            seen.append(inspect.getcoroutinestate(coro))
            return gate

        probe(make)
        coro = ticker.check_round_trip_time()
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
    task = loop.create_task(coro)
    run(loop, asyncio.sleep(0))
    assert seen == [inspect.CORO_RUNNING]
    assert inspect.getcoroutinestate(coro) == inspect.CORO_SUSPENDED
    assert coro.cr_await is not None and coro.cr_frame is coro.cr_frame
    # What asyncio's debug helpers read: a frame per coroutine on the way down.
    assert [f.f_code for f in task.get_stack()] == [coro.cr_code]
    graph = asyncio.format_call_graph(task)
    assert coro.cr_code.co_name in graph and coro.__qualname__ in repr(task)
    gate.set_result([0.5])
    assert run(loop, task) == [0.5]
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED and coro.cr_frame is None


def test_never_awaited_warning_names_the_coroutine(ticker):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ticker.check_round_trip_time()
        gc.collect()
    messages = [str(w.message) for w in caught if w.category is RuntimeWarning]
    assert "coroutine 'VornTicker.check_round_trip_time' was never awaited" in messages


def test_no_reference_or_memory_growth(loop, ticker, probe):
    sentinel = ["result"]
    probe(lambda: Yielding(100, sentinel))

    async def many(n):
        for _ in range(n):
            assert await ticker.check_round_trip_time() is sentinel

    # Warm up caches and free lists, then measure.
    run(loop, many(200))
    gc.collect()
    refs = sys.getrefcount(sentinel)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        run(loop, many(1000))  # 100k awaits through the bridge
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert sys.getrefcount(sentinel) == refs
    assert growth < 64 * 1024


def test_failed_coroutines_release_their_exceptions(loop, ticker, probe):
    error = ValueError("again")

    async def failing():
        raise error

    probe(failing)

    async def many(n):
        for _ in range(n):
            with pytest.raises(ValueError):
                await ticker.check_round_trip_time()

    run(loop, many(50))
    gc.collect()
    refs = sys.getrefcount(error)
    run(loop, many(2000))
    gc.collect()
    assert sys.getrefcount(error) == refs
