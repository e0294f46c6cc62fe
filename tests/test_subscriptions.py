"""subscribe/unsubscribe, the subscription set and the control messages,
observed on a fake transport or through a subclass's _send_payload."""

import asyncio
import threading
import types
from concurrent.futures import ThreadPoolExecutor

import orjson
import picows
import pytest

from vornticker import vornticker as vt

TEXT = picows.WSMsgType.TEXT


class FakeTransport:
    """Records every send(msg_type, payload); raises `error` if given."""

    def __init__(self, error=None):
        self.frames = []
        self.error = error

    def send(self, msg_type, payload):
        if self.error is not None:
            raise self.error
        self.frames.append((msg_type, payload))

    def payloads(self):
        assert all(kind is TEXT for kind, _ in self.frames)
        return [payload for _, payload in self.frames]


class Overriding(vt.VornTicker):
    """Takes every control message itself instead of sending it."""

    def __init__(self, loop):
        super().__init__(loop)
        self.payloads = []

    def _send_payload(self, payload):
        self.payloads.append(payload)


class Forwarding(Overriding):
    """Looks at every control message, then sends it the ordinary way."""

    def _send_payload(self, payload):
        self.payloads.append(payload)
        return super(Overriding, self)._send_payload(payload)


class Inheriting(vt.VornTicker):
    """A subclass that leaves _send_payload alone."""


class MyList(list):
    pass


class DeferringLoop:
    """Stands in for the ticker's _loop: keeps what call_soon_threadsafe is
    given, so the test decides when (and whether) it runs."""

    def __init__(self):
        self.calls = []

    def call_soon_threadsafe(self, *args, **kwargs):
        self.calls.append((args, kwargs))


async def turns(n=3):
    for _ in range(n):
        await asyncio.sleep(0)


def run(loop, coro):
    return loop.run_until_complete(coro)


@pytest.fixture
def wire(ticker, ts):
    transport = FakeTransport()
    ts.set_field(ticker, "_transport", transport)
    return transport


@pytest.fixture
def loop_errors(loop):
    errors = []
    loop.set_exception_handler(lambda _loop, context: errors.append(context))
    return errors


@pytest.fixture(params=["transport", "override"])
def watched(request, loop, ts):
    """A ticker and a function returning the payloads it has sent so far."""
    if request.param == "override":
        t = Overriding(loop)
        return t, lambda: t.payloads
    t = vt.VornTicker(loop)
    transport = FakeTransport()
    ts.set_field(t, "_transport", transport)
    return t, transport.payloads


@pytest.mark.parametrize(
    "method, initial, instruments, message, tokens",
    [
        ("subscribe", set(), ["ABC", "XYZ"], b'{"subscribe":["ABC","XYZ"]}', {"ABC", "XYZ"}),
        ("subscribe", {"A"}, ["ZZ", "A", "MM"], b'{"subscribe":["ZZ","A","MM"]}', {"A", "ZZ", "MM"}),
        ("subscribe", set(), ["ABC", "ABC"], b'{"subscribe":["ABC","ABC"]}', {"ABC"}),
        ("subscribe", {"A"}, [], b'{"subscribe":[]}', {"A"}),
        # Symbols are kept exactly as given: no case change, no trimming.
        ("subscribe", set(), [" abc", "ABC", 7], b'{"subscribe":[" abc","ABC",7]}', {" abc", "ABC", 7}),
        ("subscribe", set(), ["NESTL\u00c9"], b'{"subscribe":["NESTL\xc3\x89"]}', {"NESTL\u00c9"}),
        ("unsubscribe", {"A", "B"}, ["A", "A"], b'{"unsubscribe":["A","A"]}', {"B"}),
        ("unsubscribe", {"A"}, ["NEVER"], b'{"unsubscribe":["NEVER"]}', {"A"}),
        ("unsubscribe", {"A"}, [], b'{"unsubscribe":[]}', {"A"}),
    ],
)
def test_control_message_and_set(loop, ts, watched, method, initial, instruments, message, tokens):
    t, sent = watched
    ts.set_field(t, "_tokens", set(initial))

    async def main():
        assert await getattr(t, method)(instruments) is None
        await turns()

    run(loop, main())
    assert sent() == [message]
    assert ts.get_field(t, "_tokens") == tokens


def test_subscribe_then_unsubscribe_keeps_order(loop, ts, watched):
    t, sent = watched

    async def main():
        await t.subscribe(["X", "Y"])
        await t.unsubscribe(instruments=["X"])
        await turns()

    run(loop, main())
    assert sent() == [b'{"subscribe":["X","Y"]}', b'{"unsubscribe":["X"]}']
    assert ts.get_field(t, "_tokens") == {"Y"}


def test_caller_changing_its_list_later_changes_nothing(loop, ticker, ts, wire):
    deferred = DeferringLoop()
    ts.set_field(ticker, "_loop", deferred)
    symbols = ["A", "B"]
    run(loop, ticker.subscribe(symbols))
    symbols[0] = "Z"
    symbols.append("C")

    [(args, kwargs)] = deferred.calls
    assert kwargs == {}
    callback, instruments, payload = args
    assert callback == ticker._apply_subscribe
    callback(instruments, payload)
    assert wire.payloads() == [b'{"subscribe":["A","B"]}']
    assert ts.get_field(ticker, "_tokens") == {"A", "B"}


def test_disconnected_changes_take_effect_on_resubscribe(loop, ticker, ts, loop_errors):
    async def main():
        await ticker.subscribe(["A", "B", "C"])
        await ticker.unsubscribe(["B"])
        await turns()

    run(loop, main())
    assert loop_errors == []
    tokens = ts.get_field(ticker, "_tokens")
    assert tokens == {"A", "C"}

    transport = FakeTransport()
    ts.set_field(ticker, "_transport", transport)
    ts.call(ticker, "_resubscribe")
    [payload] = transport.payloads()
    assert payload.startswith(b'{"subscribe":[') and b" " not in payload
    assert orjson.loads(payload) == {"subscribe": list(tokens)}


@pytest.mark.parametrize("tokens", [set(), None])
def test_resubscribe_with_nothing_sends_nothing(ts, watched, tokens):
    t, sent = watched
    ts.set_field(t, "_tokens", tokens)
    ts.call(t, "_resubscribe")
    assert sent() == []


def test_resubscribe_leaves_a_send_failure_to_its_caller(ticker, ts):
    error = OSError("gone")
    ts.set_field(ticker, "_transport", FakeTransport(error))
    ts.set_field(ticker, "_tokens", {"A"})
    with pytest.raises(OSError) as info:
        ts.call(ticker, "_resubscribe")
    assert info.value is error


def test_body_on_a_worker_thread_set_and_sends_on_the_loop_thread(loop, ts, monkeypatch):
    loop.set_default_executor(ThreadPoolExecutor(thread_name_prefix="vorn-worker"))
    events = []

    def record(what):
        events.append((what, threading.current_thread()))

    class Tokens(set):
        def update(self, *others):
            record("update")
            super().update(*others)

        def difference_update(self, *others):
            record("difference_update")
            super().difference_update(*others)

    class Threaded(Overriding):
        def _apply_subscribe(self, instruments, p):
            record("_apply_subscribe")
            super()._apply_subscribe(instruments, p)

        def _send_payload(self, payload):
            record("_send_payload")
            super()._send_payload(payload)

    def dumps(msg):
        record("dumps")
        return orjson.dumps(msg)

    monkeypatch.setattr(vt, "orjson", types.SimpleNamespace(dumps=dumps))
    t = Threaded(loop)
    ts.set_field(t, "_tokens", Tokens())

    async def main():
        # The loop may resume the awaiting task before it runs the callback
        # the worker scheduled (asyncio's to_thread gives no order between
        # the two), hence the turns after each call.
        await t.subscribe(["A", "B"])
        await turns()
        await t.unsubscribe(["A"])
        await turns()

    run(loop, main())
    assert [what for what, _ in events] == [
        "dumps", "_apply_subscribe", "update", "_send_payload",
        "dumps", "difference_update", "_send_payload",
    ]  # fmt: skip
    main_thread = threading.main_thread()
    for what, thread in events:
        if what == "dumps":
            assert thread.name.startswith("vorn-worker")
        else:
            assert thread is main_thread, what
    assert t.payloads == [b'{"subscribe":["A","B"]}', b'{"unsubscribe":["A"]}']
    assert ts.get_field(t, "_tokens") == {"B"}


@pytest.mark.parametrize("method", ["subscribe", "unsubscribe"])
@pytest.mark.parametrize(
    "value, type_name",
    [(("A",), "tuple"), (MyList(["A"]), "MyList"), ({"A"}, "set"), (None, "NoneType"), ("A", "str")],
)
def test_wrong_argument_type_raises_at_the_await(loop, ts, watched, method, value, type_name):
    t, sent = watched
    ts.set_field(t, "_tokens", {"A"})
    coro = getattr(t, method)(value)  # the call itself does not check

    async def main():
        with pytest.raises(TypeError) as info:
            await coro
        await turns()
        return info.value

    error = run(loop, main())
    assert str(error) == f"Argument 'instruments' has incorrect type (expected list, got {type_name})"
    assert sent() == []
    assert ts.get_field(t, "_tokens") == {"A"}


@pytest.mark.parametrize("method", ["subscribe", "unsubscribe"])
def test_unencodable_element_raises_at_the_await(loop, ticker, ts, wire, method):
    deferred = DeferringLoop()
    ts.set_field(ticker, "_loop", deferred)
    ts.set_field(ticker, "_tokens", {"A"})
    with pytest.raises(orjson.JSONEncodeError):
        run(loop, getattr(ticker, method)(["A", object()]))
    assert deferred.calls == []
    assert ts.get_field(ticker, "_tokens") == {"A"}


@pytest.mark.parametrize("method", ["subscribe", "unsubscribe"])
def test_closed_ticker_loop_raises_at_the_await(loop, ts, method):
    closed = asyncio.new_event_loop()
    t = vt.VornTicker(closed)
    closed.close()
    transport = FakeTransport()
    ts.set_field(t, "_transport", transport)
    with pytest.raises(RuntimeError, match="Event loop is closed"):
        run(loop, getattr(t, method)(["A"]))
    assert transport.frames == []
    assert ts.get_field(t, "_tokens") == set()


@pytest.mark.parametrize(
    "method, instruments, send_error, error_type, tokens, sent",
    [
        ("subscribe", [["unhashable"], "B"], None, TypeError, {"A"}, []),
        ("unsubscribe", [["unhashable"], "A"], None, TypeError, {"A"}, []),
        # The set changes before the frame goes out.
        ("subscribe", ["B"], OSError("gone"), OSError, {"A", "B"}, []),
    ],
)
def test_failure_in_the_loop_callback_goes_to_the_loop_handler(
    loop, ticker, ts, loop_errors, method, instruments, send_error, error_type, tokens, sent
):
    transport = FakeTransport(send_error)
    ts.set_field(ticker, "_transport", transport)
    ts.set_field(ticker, "_tokens", {"A"})

    async def main():
        assert await getattr(ticker, method)(instruments) is None
        await turns()

    run(loop, main())
    [context] = loop_errors
    assert type(context["exception"]) is error_type
    assert ts.get_field(ticker, "_tokens") == tokens
    assert transport.payloads() == sent


@pytest.mark.parametrize("name", ["_apply_subscribe", "_apply_unsubscribe"])
@pytest.mark.parametrize(
    "args, message",
    [
        ((("A",), b"x"), "Argument 'instruments' has incorrect type (expected list, got tuple)"),
        ((MyList(["A"]), b"x"), "Argument 'instruments' has incorrect type (expected list, got MyList)"),
        ((["A"], "x"), "Argument 'p' has incorrect type (expected bytes, got str)"),
        ((["A"], bytearray(b"x")), "Argument 'p' has incorrect type (expected bytes, got bytearray)"),
    ],
)
def test_apply_refuses_wrong_types(ticker, ts, wire, name, args, message):
    ts.set_field(ticker, "_tokens", {"A"})
    with pytest.raises(TypeError) as info:
        getattr(ticker, name)(*args)
    assert str(info.value) == message
    assert wire.frames == []
    assert ts.get_field(ticker, "_tokens") == {"A"}


def test_override_sees_every_control_message(loop, ts):
    t = Overriding(loop)
    transport = FakeTransport()
    ts.set_field(t, "_transport", transport)

    async def main():
        await t.subscribe(["A"])
        await t.unsubscribe(["B"])
        await turns()

    run(loop, main())
    ts.call(t, "_resubscribe")
    ts.call(t, "_send_payload", b"direct")
    assert t.payloads == [b'{"subscribe":["A"]}', b'{"unsubscribe":["B"]}', b'{"subscribe":["A"]}', b"direct"]
    assert transport.frames == []


@pytest.mark.parametrize("cls", [vt.VornTicker, Inheriting, Forwarding])
def test_internal_sends_reach_the_transport_once(loop, ts, cls):
    t = cls(loop)
    transport = FakeTransport()
    ts.set_field(t, "_transport", transport)

    async def main():
        await t.subscribe(["A"])
        await turns()

    run(loop, main())
    ts.call(t, "_resubscribe")
    expected = [b'{"subscribe":["A"]}'] * 2
    assert transport.payloads() == expected
    if cls is Forwarding:
        assert t.payloads == expected


@pytest.mark.parametrize("connected", [True, False])
def test_send_payload_called_directly(ticker, ts, monkeypatch, connected):
    transport = FakeTransport()
    if connected:
        ts.set_field(ticker, "_transport", transport)
    assert ticker._send_payload(b"one") is None
    assert ticker._send_payload(payload=None) is None
    assert transport.frames == ([(TEXT, b"one"), (TEXT, None)] if connected else [])
    with pytest.raises(TypeError, match=r"Argument 'payload' has incorrect type \(expected bytes, got str\)"):
        ticker._send_payload("text")
    # The message type is looked up at each send.
    monkeypatch.setattr(vt, "WSMsgType", types.SimpleNamespace(TEXT="text-marker"))
    ticker._send_payload(b"two")
    assert transport.frames[2:] == ([("text-marker", b"two")] if connected else [])


def test_encode_returns_orjson_bytes(ticker, ts):
    result = ts.call(ticker, "_encode", {"subscribe": ["A", 1.5, None]})
    assert type(result) is bytes
    assert result == b'{"subscribe":["A",1.5,null]}'
    with pytest.raises(orjson.JSONEncodeError):
        ts.call(ticker, "_encode", {"subscribe": [object()]})


@pytest.mark.parametrize("result", ["text", bytearray(b"x"), 5, None])
def test_encode_checks_the_result_of_a_replaced_orjson(ticker, ts, monkeypatch, result):
    seen = []

    def dumps(*args, **kwargs):
        seen.append((args, kwargs))
        return result

    monkeypatch.setattr(vt, "orjson", types.SimpleNamespace(dumps=dumps))
    msg = {"subscribe": []}
    if result is None:
        assert ts.call(ticker, "_encode", msg) is None
    else:
        with pytest.raises(TypeError):
            ts.call(ticker, "_encode", msg)
    assert seen == [((msg,), {})]
