"""The ticker object's foundation: construction and re-initialisation, the
timing properties, the class interface, pickling refusal, garbage collection,
the module's globals, the default callbacks and the signal handlers installed
at construction."""

import asyncio
import builtins
import copy
import functools
import gc
import importlib.util
import inspect
import logging
import math
import os
import pickle
import random
import signal
import ssl
import threading
import time
import types
import urllib.parse
import weakref

import orjson
import picows
import pytest

from children import run_python
from vornticker import vornticker as vt

VornTicker = vt.VornTicker
# Taken at collection, before any test replaces (and so re-appends) a global.
IMPORTED_NAMES = list(vars(vt))
LOGGER = "vornticker.vornticker"
NO_REDUCE = "no default __reduce__ due to non-trivial __cinit__"

DEFAULTS = {
    "connect_timeout": 8.0,
    "handshake_timeout": 4.0,
    "min_backoff": 0.25,
    "max_backoff": 5.0,
    "backoff_multiplier": 2.0,
    "backoff_jitter": 0.3,
    "min_stable_secs": 10.0,
}
OBJECT_FIELDS = [
    "_loop", "_transport", "_tokens", "_ws_url", "_disconnect_msg", "_stop_event", "_abort_event",
    "_ssl_context", "_ticker_task", "_signal_task", "_prev_handlers", "_message_callback",
    "_open_callback", "_close_callback", "_error_callback",
]
INT_FIELDS = ["_disconnect_socket", "_shutdown_initiated", "_shutdown_scheduled", "_pending_signal", "_fail_count"]
CALLBACK_FIELDS = ["_message_callback", "_open_callback", "_close_callback"]
SIGNALS = [signal.SIGINT, signal.SIGTERM]


@pytest.fixture(autouse=True)
def restore_signals():
    # Set up before the loop fixture, so this runs after the loop is closed
    # (closing resets the handlers the loop installed).
    saved = {sig: signal.getsignal(sig) for sig in SIGNALS}
    yield
    for sig, handler in saved.items():
        signal.signal(sig, handler)


def run(loop, coro):
    return loop.run_until_complete(coro)


def timings(t):
    return {name: getattr(t, name) for name in DEFAULTS}


def events(t, ts):
    return [t.IS_CONNECTED, ts.get_field(t, "_abort_event"), ts.get_field(t, "_stop_event")]


# --- construction ---------------------------------------------------------------------


def test_construction_sets_every_field(loop, ts):
    t = VornTicker(loop=loop)
    assert timings(t) == DEFAULTS and all(type(v) is float for v in timings(t).values())
    assert all(isinstance(e, asyncio.Event) and not e.is_set() for e in events(t, ts))
    assert len({id(e) for e in events(t, ts)}) == 3
    url = urllib.parse.urlsplit(ts.get_field(t, "_ws_url"))
    assert (url.scheme, url.path, url.query) == ("wss", "/", "version=2")
    assert ts.get_field(t, "_ws_url") == vt.ENDPOINT_URL
    assert isinstance(ts.get_field(t, "_ssl_context"), ssl.SSLContext)
    assert ts.get_field(t, "_disconnect_msg") == b"Connection closed by the user."
    assert ts.get_field(t, "_tokens") == set() and set(ts.get_field(t, "_prev_handlers")) == set(SIGNALS)
    assert [ts.get_field(t, f) for f in ("_loop", "_transport", "_ticker_task", "_signal_task")] == [loop, None, None, None]
    assert [ts.get_field(t, f) for f in INT_FIELDS] == [0] * len(INT_FIELDS)
    assert [ts.get_field(t, f) for f in CALLBACK_FIELDS] == [VornTicker._dummy_callback] * 3
    assert ts.get_field(t, "_error_callback") is VornTicker._dummy_error_callback
    assert ts.get_field(t, "_scratch_cap") == 4096


OTHER = object()


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((OTHER, 1), {}), ((OTHER,), {"extra": 1}), ((), {"lop": OTHER}), ((OTHER,), {"loop": OTHER})],
    ids=["none", "two", "unknown-kw", "misspelt-kw", "twice"],
)
def test_wrong_init_arguments_change_nothing(loop, ticker, ts, args, kwargs):
    ts.set_field(ticker, "_fail_count", 7)
    tokens = ts.get_field(ticker, "_tokens")
    with pytest.raises(TypeError):
        ticker.__init__(*args, **kwargs)
    with pytest.raises(TypeError):
        VornTicker(*args, **kwargs)
    assert ts.get_field(ticker, "_loop") is loop
    assert ts.get_field(ticker, "_fail_count") == 7 and ts.get_field(ticker, "_tokens") is tokens


def test_allocation_ignores_arguments_and_leaves_fields_unset(ts):
    t = VornTicker.__new__(VornTicker, 1, "two", x=3)
    assert [ts.get_field(t, f) for f in OBJECT_FIELDS] == [None] * len(OBJECT_FIELDS)
    assert [ts.get_field(t, f) for f in INT_FIELDS] == [0] * len(INT_FIELDS)
    assert t.IS_CONNECTED is None
    assert timings(t) == dict.fromkeys(DEFAULTS, 0.0)
    assert ts.get_field(t, "_scratch") is True
    assert ts.get_field(t, "_scratch_cap") == 4096


def test_second_init_replaces_state(loop, ticker, ts):
    old_events, old_tokens = events(ticker, ts), ts.get_field(ticker, "_tokens")
    old_tokens.add("EURUSD")
    for name in INT_FIELDS:
        ts.set_field(ticker, name, 1)
    for name in DEFAULTS:
        setattr(ticker, name, -7.0)
    for name in CALLBACK_FIELDS + ["_error_callback", "_transport", "_ticker_task"]:
        ts.set_field(ticker, name, print)
    ticker.__init__(loop)
    assert all(isinstance(e, asyncio.Event) for e in events(ticker, ts))
    assert not any(n is o for n in events(ticker, ts) for o in old_events)
    assert ts.get_field(ticker, "_tokens") == set() and old_tokens == {"EURUSD"}
    assert [ts.get_field(ticker, f) for f in INT_FIELDS] == [0] * len(INT_FIELDS)
    assert timings(ticker) == DEFAULTS
    assert [ts.get_field(ticker, f) for f in CALLBACK_FIELDS] == [VornTicker._dummy_callback] * 3
    assert ts.get_field(ticker, "_error_callback") is VornTicker._dummy_error_callback
    assert ts.get_field(ticker, "_transport") is None and ts.get_field(ticker, "_ticker_task") is None


# The fields __init__ fills, in its order, up to its creation of the events.
INIT_ORDER = ["_ws_url", "_ssl_context", "_prev_handlers", "_message_callback", "_disconnect_msg", "_tokens",
              "IS_CONNECTED", "_abort_event", "_stop_event"]


@pytest.mark.parametrize("name, nset", [("ssl", 1), ("asyncio", 6)])
def test_failure_inside_init_keeps_the_fields_set_before_it(loop, ts, monkeypatch, name, nset):
    monkeypatch.delattr(vt, name)
    t = VornTicker.__new__(VornTicker)
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
        t.__init__(loop)
    assert ts.get_field(t, "_loop") is loop
    values = [t.IS_CONNECTED if n == "IS_CONNECTED" else ts.get_field(t, n) for n in INIT_ORDER]
    assert [v is not None for v in values] == [True] * nset + [False] * (len(INIT_ORDER) - nset)
    # The timing defaults and the signal handlers come later still.
    assert timings(t) == dict.fromkeys(DEFAULTS, 0.0)
    assert loop._signal_handlers == {}


# --- properties -----------------------------------------------------------------------


AsFloat = type("AsFloat", (), {"__float__": lambda self: 2.5})
AsIndex = type("AsIndex", (), {"__index__": lambda self: 7})


def same(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


@pytest.mark.parametrize(
    "value, expected",
    [(3, 3.0), (True, 1.0), (AsFloat(), 2.5), (AsIndex(), 7.0), (-1.0, -1.0), (0.0, 0.0),
     (math.inf, math.inf), (math.nan, math.nan)],
    ids=["int", "bool", "__float__", "__index__", "negative", "zero", "inf", "nan"],
)
def test_timing_properties_store_a_float(ticker, value, expected):
    for name in DEFAULTS:
        before = timings(ticker)
        setattr(ticker, name, value)
        after = timings(ticker)
        assert type(after[name]) is float and same(after[name], expected), name
        # Each property writes its own field only.
        assert all(same(after[n], before[n]) for n in DEFAULTS if n != name), name


@pytest.mark.parametrize("value", ["1", None, b"1", [1.0]])
def test_timing_properties_refuse_non_numbers(ticker, value):
    for name in DEFAULTS:
        with pytest.raises(TypeError):
            setattr(ticker, name, value)
    assert timings(ticker) == DEFAULTS


def test_deleting_a_timing_property_is_refused(ticker):
    for name in DEFAULTS:
        with pytest.raises(NotImplementedError) as info:
            delattr(ticker, name)
        assert info.value.args == ("__del__",)
    assert timings(ticker) == DEFAULTS


def test_is_connected_holds_any_object_and_delete_stores_none(ticker):
    marker = object()
    ticker.IS_CONNECTED = marker
    assert ticker.IS_CONNECTED is marker
    del ticker.IS_CONNECTED
    assert ticker.IS_CONNECTED is None


def test_property_written_from_another_thread(ticker):
    worker = threading.Thread(target=setattr, args=(ticker, "max_backoff", 42.5))
    worker.start()
    worker.join()
    assert ticker.max_backoff == 42.5


# --- instances, subclasses, garbage collection ---------------------------------------


def test_instances_have_no_dict_or_weakref_but_subclass_instances_do(loop, ticker):
    with pytest.raises(AttributeError):
        ticker.undeclared = 1
    with pytest.raises(TypeError):
        weakref.ref(ticker)

    class Sub(VornTicker):
        pass

    sub = Sub(loop)
    sub.undeclared = 1
    assert sub.undeclared == 1 and weakref.ref(sub)() is sub


def test_subclass_redefinitions_do_not_change_the_default_callbacks(loop, ts):
    class Sub(VornTicker):
        @staticmethod
        async def _dummy_callback(msg):
            pass

        @staticmethod
        async def _dummy_error_callback(err):
            pass

    sub = Sub(loop)
    for name in CALLBACK_FIELDS:
        assert ts.get_field(sub, name) is VornTicker._dummy_callback
    assert ts.get_field(sub, "_error_callback") is VornTicker._dummy_error_callback


@pytest.mark.parametrize("cycle", [True, False])
def test_subclass_instance_is_collected_and_finalised_once(loop, cycle):
    finalised = []

    class Sub(VornTicker):
        def __del__(self):
            finalised.append(True)

    sub = Sub(loop)
    # The loop's signal handlers hold a bound method of the ticker.
    for sig in SIGNALS:
        loop.remove_signal_handler(sig)
    if cycle:
        sub.me = sub
    ref = weakref.ref(sub)
    del sub
    gc.collect()
    assert ref() is None
    assert finalised == [True]


class Box:
    pass


def test_cycle_through_any_c_field_is_collected(ts):
    fields = [f for f in OBJECT_FIELDS if f not in ("_ws_url", "_disconnect_msg")] + ["IS_CONNECTED"]
    refs = {}
    for field in fields:
        t = VornTicker.__new__(VornTicker)
        box = Box()
        box.ticker = t
        if field == "IS_CONNECTED":
            t.IS_CONNECTED = box
        else:
            ts.set_field(t, field, box)
        refs[field] = weakref.ref(box)
    del t, box
    gc.collect()
    assert [f for f, ref in refs.items() if ref() is not None] == []


# --- pickling -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "attempt",
    [functools.partial(pickle.dumps, protocol=p) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
    + [copy.copy, copy.deepcopy, lambda t: t.__setstate__({}), lambda t: t.__reduce__()],
    ids=[f"pickle-{p}" for p in range(pickle.HIGHEST_PROTOCOL + 1)] + ["copy", "deepcopy", "setstate", "reduce"],
)
def test_pickling_and_copying_are_refused(attempt):
    with pytest.raises(TypeError) as info:
        attempt(VornTicker.__new__(VornTicker))
    assert str(info.value) == NO_REDUCE


# --- the class interface ----------------------------------------------------------------

# name: (static, coroutine function, parameters after self as (name, default))
E = inspect.Parameter.empty
INTERFACE = {
    "run_in_thread": (True, False, []),
    "_dummy_callback": (True, True, [("msg", E)]),
    "_dummy_error_callback": (True, True, [("err", E)]),
    "_on_signal": (False, False, [("signum", E)]),
    "stop_signal_handler": (False, True, [("signum", 0)]),
    "check_round_trip_time": (False, True, [("count", 5)]),
    "_send_payload": (False, False, [("payload", E)]),
    "_apply_subscribe": (False, False, [("instruments", E), ("p", E)]),
    "_apply_unsubscribe": (False, False, [("instruments", E), ("p", E)]),
    "subscribe": (False, True, [("instruments", E)]),
    "unsubscribe": (False, True, [("instruments", E)]),
    "_sleep_backoff": (False, True, []),
    "start_ticker": (False, True, [("reconnect", False)]),
    "start_websocket": (False, False, [(n, None) for n in
                                       ("message_update_callback", "error_callback", "open_callback", "close_callback")]),
    "close_websocket": (False, False, []),
    "_schedule_async_shutdown": (False, False, []),
    "_async_shutdown": (False, True, []),
    "__reduce__": (False, False, []),
    "__setstate__": (False, False, [("state", E)]),
}
ANNOTATIONS = {
    "_dummy_callback": {"msg": object},
    "_dummy_error_callback": {"err": object},
    "stop_signal_handler": {"return": None},
    "check_round_trip_time": {"count": int, "return": list},
    "subscribe": {"instruments": list, "return": None},
    "unsubscribe": {"instruments": list, "return": None},
}
INTERNAL_ONLY = ["_encode", "add_signal_handler", "on_data_callback", "_subscribe_blocking",
                 "_unsubscribe_blocking", "_resubscribe", "_initiate_shutdown"]


def test_methods_are_defined_in_order_and_internal_ones_are_hidden():
    ticker = VornTicker.__new__(VornTicker)
    assert [n for n in VornTicker.__dict__ if n in INTERFACE] == list(INTERFACE)
    assert [n for n in INTERNAL_ONLY if hasattr(ticker, n)] == []
    assert VornTicker.__name__ == "VornTicker" and VornTicker.__bases__ == (object,)
    assert VornTicker.__doc__ is None


@pytest.mark.parametrize("name", INTERFACE)
def test_method_kind_signature_annotations_and_doc(name):
    ticker = VornTicker.__new__(VornTicker)
    static, coroutine, params = INTERFACE[name]
    assert isinstance(VornTicker.__dict__[name], staticmethod) == static
    bound = getattr(ticker, name)
    if not static:
        assert bound.__self__ is ticker
    assert inspect.iscoroutinefunction(bound) == coroutine
    assert inspect.iscoroutinefunction(getattr(VornTicker, name)) == coroutine
    sig = inspect.signature(bound)
    assert [(p.name, p.default) for p in sig.parameters.values()] == params
    assert getattr(getattr(VornTicker, name), "__annotations__", {}) == ANNOTATIONS.get(name, {})
    # help(), IDEs and signature-driven frameworks see the annotations too.
    shown = {p.name: p.annotation for p in sig.parameters.values() if p.annotation is not E}
    if sig.return_annotation is not E:
        shown["return"] = sig.return_annotation
    assert shown == ANNOTATIONS.get(name, {})
    assert getattr(VornTicker, name).__doc__ is None


# --- the module -----------------------------------------------------------------------


def test_module_globals_in_import_order():
    expected = {
        "VornTicker": VornTicker, "VornListener": vt.VornListener, "__author__": vt.__author__,
        "ssl": ssl, "time": time, "random": random, "signal": signal, "orjson": orjson,
        "logging": logging, "asyncio": asyncio, "wraps": functools.wraps,
        "ws_connect": picows.ws_connect, "WSMsgType": picows.WSMsgType, "WSCloseCode": picows.WSCloseCode,
        "WSError": picows.WSError, "WSAutoPingStrategy": picows.WSAutoPingStrategy,
        "logger": logging.getLogger(LOGGER),
    }
    assert [n for n in IMPORTED_NAMES if n in expected] == list(expected)
    for name, value in expected.items():
        assert getattr(vt, name) is value, name
    assert vt.logger.name == LOGGER
    assert isinstance(vt.__author__, str) and vt.__author__
    assert isinstance(vt.__doc__, str) and vt.__doc__.strip() and "\n" not in vt.__doc__.strip()


class RecordingLogger:
    def __init__(self):
        self.calls = []

    def __getattr__(self, level):
        return lambda *args: self.calls.append((level, *args))


@pytest.mark.parametrize("where", ["module", "builtins"])
def test_replaced_logger_is_used_at_the_next_call(loop, monkeypatch, where):
    recorder = RecordingLogger()
    if where == "module":
        monkeypatch.setattr(vt, "logger", recorder)
    else:
        monkeypatch.delattr(vt, "logger")
        monkeypatch.setattr(builtins, "logger", recorder, raising=False)
    err = KeyError("k")
    run(loop, VornTicker._dummy_error_callback(err))
    assert recorder.calls == [("error", "unhandled ticker error (no error_callback set) :: %r", err)]


def test_replaced_orjson_is_used_at_the_next_encode(ticker, ts, monkeypatch):
    monkeypatch.setattr(vt, "orjson", types.SimpleNamespace(dumps=lambda msg: repr(msg).encode()))
    assert ts.call(ticker, "_encode", {"subscribe": ["EURUSD"]}) == b"{'subscribe': ['EURUSD']}"


@pytest.mark.parametrize("name", ["orjson", "logger", "signal", "asyncio"])
def test_missing_global_raises_name_error(loop, ticker, ts, monkeypatch, name):
    monkeypatch.delattr(vt, name)
    uses = {
        "orjson": lambda: ts.call(ticker, "_encode", {}),
        "logger": lambda: run(loop, VornTicker._dummy_callback("x")),
        "signal": lambda: ts.call(ticker, "add_signal_handler"),
        "asyncio": lambda: VornTicker(loop),
    }
    with pytest.raises(NameError) as info:
        uses[name]()
    assert str(info.value) == f"name '{name}' is not defined"


def test_executing_the_module_again_is_refused():
    fresh = importlib.util.module_from_spec(vt.__spec__)
    with pytest.raises(RuntimeError) as info:
        vt.__spec__.loader.exec_module(fresh)
    assert str(info.value) == "Module 'vornticker' has already been imported. Re-initialisation is not supported."
    assert "VornTicker" not in vars(fresh)


def test_a_failed_first_import_can_be_retried():
    code = """
import sys
sys.modules["orjson"] = None  # a dependency missing at the first import
try:
    import vornticker.vornticker
except ImportError as exc:
    print("failed:", exc.name)
del sys.modules["orjson"]
import vornticker.vornticker as vt
print(vt.VornTicker.__name__, vt.decode_frame.__name__)
"""
    done = run_python(code)
    assert done.stdout.splitlines() == ["failed: orjson", "VornTicker decode_frame"], done.stderr


def test_a_listener_base_the_module_cannot_support_fails_the_import():
    # A Python subclass is a collected heap type: deallocating and traversing
    # a listener through it would be wrong, so the import refuses it.
    code = """
import picows.picows as pp
pp.WSListener = type("WSListener", (pp.WSListener,), {})
try:
    import vornticker.vornticker
except ImportError as exc:
    print(exc)
"""
    done = run_python(code)
    assert done.stdout.startswith("picows.picows.WSListener is a heap type"), done.stdout + done.stderr


@pytest.mark.parametrize("checksum, shown", [(1, "0x1"), (-1, "0x-1"), (0x7FFFFFFF, "0x7fffffff")])
def test_unpickling_a_listener_with_a_foreign_checksum(checksum, shown):
    with pytest.raises(pickle.PickleError) as info:
        vt._unpickle_VornListener(vt.VornListener, checksum, None)
    assert str(info.value) == (
        f"Incompatible checksums ({shown} vs (0x2413b39, 0x49f9e52, 0xf224ee1) = "
        "(_VornListener__ping_msg, _loop, _parent))"
    )


INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_import_in_a_subinterpreter_is_refused(config):
    # The new interpreter must find the very extension file this one loaded:
    # another copy of it (say, an installed wheel) is another library.
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(vt.__file__)))
    code = f"import sys; sys.path.insert(0, {package_root!r}); import vornticker.vornticker"
    if config == "isolated":  # the public API's kind, with its own GIL
        interpreters = pytest.importorskip("concurrent.interpreters")
        interp = interpreters.create()
        with pytest.raises(interpreters.ExecutionFailed) as info:
            interp.exec(code)
        interp.close()
        failure = info.value.excinfo
    else:  # sharing the main interpreter's GIL
        interpreters = pytest.importorskip("_interpreters")
        interp = interpreters.create("legacy")
        failure = interpreters.exec(interp, code)
        interpreters.destroy(interp)
    assert (failure.type.__name__, failure.msg) == ("ImportError", INTERPRETER_CHANGE)


# --- default callbacks ------------------------------------------------------------------


@pytest.mark.parametrize(
    "fn, level, prefix, render",
    [
        (VornTicker._dummy_callback, logging.DEBUG, "unhandled callback payload :: ", str),
        (VornTicker._dummy_error_callback, logging.ERROR, "unhandled ticker error (no error_callback set) :: ", repr),
    ],
    ids=["message", "error"],
)
@pytest.mark.parametrize("arg", [{"symbol": "EURUSD", "bid": 1.5}, ValueError("bad 'frame'"), "Socket opened."])
def test_default_callback_logs_one_line_when_run(loop, caplog, fn, level, prefix, render, arg):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    coro = fn(arg)
    assert asyncio.iscoroutine(coro)
    assert caplog.records == []
    assert run(loop, coro) is None
    [record] = caplog.records
    assert (record.name, record.levelno) == (LOGGER, level)
    assert record.getMessage() == prefix + render(arg)


class CountsRendering:
    renders = 0

    def __str__(self):
        CountsRendering.renders += 1
        return "rendered"

    __repr__ = __str__


@pytest.mark.parametrize(
    "fn, threshold",
    [(VornTicker._dummy_callback, logging.INFO), (VornTicker._dummy_error_callback, logging.CRITICAL)],
    ids=["message", "error"],
)
def test_default_callback_formats_only_when_enabled(loop, caplog, monkeypatch, fn, threshold):
    monkeypatch.setattr(CountsRendering, "renders", 0)
    caplog.set_level(threshold, logger=LOGGER)
    run(loop, fn(CountsRendering()))
    assert caplog.records == []
    assert CountsRendering.renders == 0


# --- signal handlers installed at construction ----------------------------------------


def test_previous_handlers_are_recorded(loop, ts, monkeypatch):
    def custom(signum, frame):
        pass

    signal.signal(signal.SIGINT, custom)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    t = VornTicker(loop)
    assert ts.get_field(t, "_prev_handlers") == {signal.SIGINT: custom, signal.SIGTERM: signal.SIG_IGN}
    # getsignal reports None for a handler installed outside Python, which a
    # test process cannot arrange safely; the module global stands in.
    real = signal.getsignal
    fake = types.SimpleNamespace(SIGINT=signal.SIGINT, SIGTERM=signal.SIGTERM,
                                 getsignal=lambda n: None if n == signal.SIGTERM else real(n))
    monkeypatch.setattr(vt, "signal", fake)
    before = real(signal.SIGINT)
    t = VornTicker(loop)
    assert ts.get_field(t, "_prev_handlers") == {signal.SIGINT: before, signal.SIGTERM: None}


@pytest.mark.parametrize("sig", SIGNALS, ids=["SIGINT", "SIGTERM"])
def test_a_delivered_signal_reaches_on_signal(loop, ticker, ts, sig):
    handle = loop._signal_handlers[sig]
    assert handle._callback == ticker._on_signal and handle._args == (sig,)
    # With the stop event already set, the stop coroutine ends at once.
    ts.get_field(ticker, "_stop_event").set()

    async def deliver():
        signal.raise_signal(sig)
        while ts.get_field(ticker, "_signal_task") is None:
            await asyncio.sleep(0)
        await ts.get_field(ticker, "_signal_task")

    run(loop, asyncio.wait_for(deliver(), timeout=10))
    assert ts.get_field(ticker, "_pending_signal") == sig


class RefusingLoop:
    """An event loop stand-in whose add_signal_handler raises `error`."""

    def __init__(self, error):
        self.error = error
        self.calls = []

    def add_signal_handler(self, sig, callback, *args):
        self.calls.append((sig, callback, args))
        raise self.error


@pytest.mark.parametrize(
    "error, refused",
    [(NotImplementedError, True), (RuntimeError, True), (ValueError, True), (OSError, False), (KeyError, False)],
)
def test_add_signal_handler_failures(caplog, ts, error, refused):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    fake = RefusingLoop(error("refused"))
    t = VornTicker.__new__(VornTicker)
    if refused:  # logged, and the next signal is tried
        t.__init__(fake)
    else:  # anything else ends construction at once
        with pytest.raises(error):
            t.__init__(fake)
    tried = SIGNALS if refused else SIGNALS[:1]
    assert [(sig, args) for sig, _, args in fake.calls] == [(s, (s,)) for s in tried]
    assert all(cb == t._on_signal for _, cb, _ in fake.calls)
    assert list(ts.get_field(t, "_prev_handlers")) == tried
    expected = [f"signal handler for {s.name} not supported on this loop/thread" for s in SIGNALS] if refused else []
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(logging.DEBUG, m) for m in expected]


def test_construction_in_a_worker_thread(caplog, ts):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    made = {}

    def construct():
        loop = asyncio.new_event_loop()
        try:
            made["ticker"] = VornTicker(loop)
        finally:
            loop.close()

    worker = threading.Thread(target=construct)
    worker.start()
    worker.join()
    assert [r.getMessage() for r in caplog.records if r.name == LOGGER] == [
        "signal handler for SIGINT not supported on this loop/thread",
        "signal handler for SIGTERM not supported on this loop/thread",
    ]
    assert ts.get_field(made["ticker"], "_prev_handlers") == {s: signal.getsignal(s) for s in SIGNALS}


@pytest.mark.parametrize("value, error", [("2", TypeError), (2.0, TypeError), (None, TypeError),
                                          (2**31, OverflowError), (-(2**31) - 1, OverflowError)])
def test_on_signal_refuses_a_non_int_without_creating_a_task(loop, ticker, ts, value, error):
    with pytest.raises(error):
        ticker._on_signal(value)
    assert ts.get_field(ticker, "_signal_task") is None
    assert asyncio.all_tasks(loop) == set()

