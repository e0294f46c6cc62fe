"""What the module relies on from the installed websocket library: the calls
and keywords it makes, the enumeration values it compares against, and the
frames the listener receives."""

import asyncio
import inspect

import picows
import pytest
from picows import picows as pp

from vornticker import vornticker as vt

WSMsgType = picows.WSMsgType


def test_ws_connect_accepts_the_keywords_used():
    assert inspect.iscoroutinefunction(picows.ws_connect)
    sig = inspect.signature(picows.ws_connect)
    sig.bind(
        lambda: None,
        "wss://example.invalid/",
        ssl_context=None,
        websocket_handshake_timeout=4.0,
        enable_auto_ping=True,
        auto_ping_idle_timeout=3,
        auto_ping_reply_timeout=4.0,
        auto_ping_strategy=picows.WSAutoPingStrategy.PING_WHEN_IDLE,
    )
    # Passed by name, so each must be a real parameter, not swallowed by **kwargs.
    for name in ("ssl_context", "websocket_handshake_timeout", "enable_auto_ping", "auto_ping_idle_timeout",
                 "auto_ping_reply_timeout", "auto_ping_strategy"):
        assert sig.parameters[name].kind in (inspect.Parameter.KEYWORD_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)


@pytest.mark.parametrize(
    "cls, method, args",
    [
        (pp.WSTransport, "send", (WSMsgType.TEXT, b"{}")),
        (pp.WSTransport, "send_ping", (b"",)),
        (pp.WSTransport, "send_close", (picows.WSCloseCode.OK, b"bye")),
        (pp.WSTransport, "disconnect", ()),
        (pp.WSTransport, "notify_user_specific_pong_received", ()),
        (pp.WSTransport, "wait_disconnected", ()),
        (pp.WSTransport, "measure_roundtrip_time", (5,)),
        (pp.WSFrame, "get_payload_as_bytes", ()),
        (pp.WSFrame, "get_close_code", ()),
        (pp.WSFrame, "get_close_message", ()),
        (pp.WSListener, "on_ws_connected", (None,)),
        (pp.WSListener, "on_ws_frame", (None, None)),
        (pp.WSListener, "on_ws_disconnected", (None,)),
        (pp.WSListener, "send_user_specific_ping", (None,)),
    ],
)
def test_library_methods_accept_the_calls_made(cls, method, args):
    inspect.signature(getattr(cls, method)).bind(None, *args)


def test_frame_exposes_its_message_type():
    frame = pp._make_test_ws_frame(WSMsgType.PONG, b"", True, False)
    assert frame.msg_type == WSMsgType.PONG


def test_enumeration_values():
    assert {m.name: int(m) for m in WSMsgType if m.name in ("CONTINUATION", "TEXT", "BINARY", "CLOSE", "PING", "PONG")} == {
        "CONTINUATION": 0, "TEXT": 1, "BINARY": 2, "CLOSE": 8, "PING": 9, "PONG": 10,
    }
    assert picows.WSCloseCode.OK == 1000
    assert isinstance(picows.WSAutoPingStrategy.PING_WHEN_IDLE, picows.WSAutoPingStrategy)
    assert issubclass(picows.WSError, Exception)


def test_listener_derives_from_the_library_listener():
    assert picows.WSListener is pp.WSListener
    assert issubclass(vt.VornListener, pp.WSListener)


class RecordingTransport(pp.WSTransport):
    """A transport with no connection that records the calls the listener makes."""

    def __init__(self):
        self.calls = []

    def notify_user_specific_pong_received(self):
        self.calls.append("pong")

    def disconnect(self, graceful=True):
        self.calls.append("disconnect")


@pytest.mark.parametrize(
    "msg_type, transport_calls, errors",
    [
        (WSMsgType.TEXT, [], 1),
        (WSMsgType.BINARY, [], 0),
        (WSMsgType.CONTINUATION, [], 0),
        (WSMsgType.PING, [], 0),
        (WSMsgType.PONG, ["pong"], 0),
        (WSMsgType.CLOSE, ["disconnect"], 0),
    ],
    ids=lambda v: v.name if isinstance(v, WSMsgType) else None,
)
def test_library_made_frames_pass_the_listener_type_checks(loop, ticker, ts, recorder, msg_type, transport_calls,
                                                           errors):
    on_error = recorder()
    ts.set_field(ticker, "_error_callback", on_error)
    listener = vt.VornListener(ticker, loop)
    transport = RecordingTransport()
    # Close code 1000 and a reason; for a text frame, a payload that is not a
    # quote envelope, which the error callback receives.
    frame = pp._make_test_ws_frame(msg_type, b"\x03\xe8bye" if msg_type == WSMsgType.CLOSE else b"junk", True, False)
    assert listener.on_ws_frame(transport, frame) is None
    loop.run_until_complete(asyncio.sleep(0))
    assert transport.calls == transport_calls
    assert len(on_error.calls) == errors
    assert all(isinstance(e, ValueError) for e in on_error.calls)


def test_listener_refuses_frames_not_made_by_the_library(loop, ticker):
    listener = vt.VornListener(ticker, loop)
    with pytest.raises(TypeError, match="'frame'"):
        listener.on_ws_frame(RecordingTransport(), object())
