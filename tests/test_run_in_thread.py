"""VornTicker.run_in_thread() applied to the application's own functions, and
the coroutines it makes (subscribe/unsubscribe are the module's own uses)."""

import asyncio
import contextvars
import functools
import gc
import inspect
import threading
import types
import warnings
from concurrent.futures import ThreadPoolExecutor

import pytest

from vornticker import vornticker as vt

run_in_thread = vt.VornTicker.run_in_thread
WRAPPER_QUALNAME = "run_in_thread.<locals>.decorator.<locals>.wrapper"
request_id = contextvars.ContextVar("request_id", default=None)


def run(loop, coro):
    return loop.run_until_complete(coro)


@pytest.fixture
def worker_loop(loop):
    loop.set_default_executor(ThreadPoolExecutor(thread_name_prefix="vorn-worker"))
    return loop


@pytest.fixture
def traced():
    """A decorated function that records the thread and arguments of every run."""
    runs = []

    @run_in_thread()
    def add(a, b=2, **extra):
        runs.append((threading.current_thread(), a, b, extra, request_id.get()))
        return a + b

    return add, runs


@pytest.mark.parametrize(
    "args, kwargs, result, seen",
    [
        ((1,), {}, 3, (1, 2, {})),
        ((1, 5), {}, 6, (1, 5, {})),
        ((), {"a": 4, "b": 1, "note": "x"}, 5, (4, 1, {"note": "x"})),
    ],
)
def test_result_and_arguments_on_a_worker_thread(worker_loop, traced, args, kwargs, result, seen):
    add, runs = traced

    async def main():
        request_id.set("ctx")
        return await add(*args, **kwargs)

    assert run(worker_loop, main()) == result
    [(thread, *called, ctx)] = runs
    assert tuple(called) == seen
    assert thread.name.startswith("vorn-worker")
    assert ctx == "ctx"  # context variables cross to the worker


def test_func_runs_once_per_await(loop, traced):
    add, runs = traced
    first, second = add(1), add(10)
    assert runs == []

    async def main():
        return [await second, await first]

    assert run(loop, main()) == [12, 3]
    assert [a for _, a, *_ in runs] == [10, 1]


def test_arguments_are_captured_at_call_time(loop, traced):
    add, runs = traced
    kwargs = {"b": 10}
    coro = add(1, **kwargs)
    kwargs["b"] = 99
    kwargs["extra"] = True
    assert run(loop, coro) == 11
    assert runs[0][1:4] == (1, 10, {})


def test_exception_propagates_unchanged(loop):
    error = LookupError("from the worker")

    @run_in_thread()
    def fail():
        raise error

    with pytest.raises(LookupError) as info:
        run(loop, fail())
    assert info.value is error


def test_concurrent_awaits_run_on_separate_threads(worker_loop):
    # Each call waits for the other: they only finish if both run at once.
    barrier = threading.Barrier(2, timeout=10)

    @run_in_thread()
    def meet():
        barrier.wait()
        return threading.get_ident()

    async def main():
        return await asyncio.gather(meet(), meet())

    first, second = run(worker_loop, main())
    assert first != second


def test_wraps_copies_the_metadata():
    def original(a: int, b=2) -> str:
        """Doc of the original."""

    original.marker = "kept"
    wrapped = run_in_thread()(original)
    assert wrapped is not original
    assert wrapped.__name__ == "original"
    assert wrapped.__qualname__ == original.__qualname__
    assert wrapped.__module__ == __name__
    assert wrapped.__doc__ == "Doc of the original."
    assert wrapped.__wrapped__ is original
    assert wrapped.marker == "kept"
    assert wrapped.__annotations__ == {"a": int, "return": str}
    assert inspect.signature(wrapped) == inspect.signature(original)
    assert inspect.iscoroutinefunction(wrapped)

    # Annotations stay lazy: a name defined later does not break decoration.
    def forward(x: NotYetDefined) -> None: ...

    assert run_in_thread()(forward).__wrapped__ is forward


@pytest.fixture(params=["own", "subscribe"])
def make_coro(request, ticker, traced):
    add, _ = traced
    if request.param == "own":
        return lambda: add(1)
    return lambda: ticker.subscribe(["A"])


def test_coroutine_is_named_wrapper(make_coro):
    coro = make_coro()
    try:
        assert asyncio.iscoroutine(coro)
        assert coro.__name__ == "wrapper"
        assert coro.__qualname__ == WRAPPER_QUALNAME
    finally:
        coro.close()


def test_never_awaited_warning_names_the_wrapper(make_coro):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        make_coro()
        gc.collect()
    messages = [str(w.message) for w in caught if w.category is RuntimeWarning]
    assert messages == [f"coroutine '{WRAPPER_QUALNAME}' was never awaited"]


def test_a_coroutine_can_be_awaited_only_once(loop, traced):
    add, runs = traced
    coro = add(1)
    run(loop, coro)

    async def again():
        await coro

    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        run(loop, again())
    assert len(runs) == 1


def test_decorated_method_binds_the_instance(loop):
    class Holder:
        @run_in_thread()
        def method(self, x, *, y=0):
            return self, x, y

    holder = Holder()
    assert run(loop, holder.method(1, y=2)) == (holder, 1, 2)
    assert Holder.method.__qualname__.endswith("Holder.method")


def f(): ...


def g(): ...


@pytest.mark.parametrize(
    "call",
    [
        lambda: run_in_thread(1),
        lambda: run_in_thread(f),  # decorating with the factory itself
        lambda: run_in_thread(func=f),
        lambda: run_in_thread()(f, g),
        lambda: run_in_thread()(),
        lambda: run_in_thread()(f, func=g),
        lambda: run_in_thread()(fn=f),
    ],
    ids=["factory-arg", "factory-as-decorator", "factory-kw", "two", "none", "pos-and-kw", "bad-kw"],
)
def test_wrong_arguments_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_wraps_is_looked_up_at_each_decoration(monkeypatch):
    decorator = run_in_thread()  # made before the replacement
    seen = []

    def recording_wraps(func):
        seen.append(func)
        return functools.wraps(func)

    monkeypatch.setattr(vt, "wraps", recording_wraps)
    assert decorator(f).__wrapped__ is f
    assert decorator(func=g).__wrapped__ is g
    assert seen == [f, g]

    monkeypatch.delattr(vt, "wraps")
    with pytest.raises(NameError, match="wraps"):
        decorator(f)


def test_asyncio_is_looked_up_when_the_coroutine_starts(loop, traced, monkeypatch):
    add, runs = traced
    coro = add(20, b=1)  # made before the replacement
    calls = []

    def to_thread(*args, **kwargs):
        calls.append((args, kwargs))
        return asyncio.to_thread(*args, **kwargs)

    monkeypatch.setattr(vt, "asyncio", types.SimpleNamespace(to_thread=to_thread))
    assert run(loop, coro) == 21
    [(args, kwargs)] = calls
    assert kwargs == {}
    [callable_] = args
    # The callable takes nothing and calls func with the captured arguments.
    assert callable_() == 21
    assert [r[1:4] for r in runs] == [(20, 1, {}), (20, 1, {})]

    monkeypatch.delattr(vt, "asyncio")
    late = add(1)
    with pytest.raises(NameError, match="asyncio"):
        run(loop, late)
