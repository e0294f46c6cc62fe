"""The quote decoder against the protobuf runtime, plus the envelope and
base64 rules, through the public decode_frame / decode_pricing_data."""

import base64
import struct
import typing

import pytest
from google.protobuf.message import DecodeError
from hypothesis import given, settings
from hypothesis import strategies as st

import quotes as q
from vornticker import Quote
from vornticker.vornticker import decode_frame, decode_pricing_data

WIRE = "malformed or truncated protobuf data"
B64 = "invalid base64 payload"
JSON = "no string field 'message' in JSON envelope"

ABC = bytes.fromhex("0a03414243")  # id = "ABC"


def raises_exactly(fn, arg, message):
    with pytest.raises(ValueError) as info:
        fn(arg)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)


# ---------------------------------------------------------------------------
# Strategies: any subset of fields, repeats, unknown fields, any order
# ---------------------------------------------------------------------------

raw_strings = st.one_of(st.text(max_size=24).map(str.encode), st.binary(max_size=24))

VALUES = {
    "string": raw_strings,
    "float": st.floats(width=32),
    "double": st.floats(),
    "sint64": st.integers(-(2**63), 2**63 - 1),
    "int32": st.integers(-(2**31), 2**31 - 1),
    "repeated string": raw_strings,
}


def _known_field():
    return st.sampled_from(q.NAMES).flatmap(
        lambda name: VALUES[q.KIND[name]].map(lambda v: q.field_bytes(name, v))
    )


# int32 fields sent with any 64-bit varint: only the low 32 bits count.
_wide_int32 = st.tuples(st.sampled_from([6, 7]), st.integers(0, 2**64 - 1)).map(
    lambda t: q.tag(t[0], 0) + q.varint(t[1])
)


def _unknown_payload(wire_type):
    return {
        0: st.integers(0, 2**64 - 1).map(q.varint),
        1: st.binary(min_size=8, max_size=8),
        2: st.binary(max_size=12).map(lambda b: q.varint(len(b)) + b),
        5: st.binary(min_size=4, max_size=4),
    }[wire_type]


def _unknown(number_strategy):
    return st.tuples(number_strategy, st.sampled_from([0, 1, 2, 5])).flatmap(
        lambda t: _unknown_payload(t[1]).map(lambda payload: q.tag(t[0], t[1]) + payload)
    )


_WIRE_TYPE = {"string": 2, "repeated string": 2, "float": 5, "double": 1, "sint64": 0, "int32": 0}
# A known field number arriving with another wire type is an unknown field.
_mistyped = st.sampled_from(q.FIELDS).flatmap(
    lambda f: st.sampled_from([wt for wt in (0, 1, 2, 5) if wt != _WIRE_TYPE[f[2]]]).flatmap(
        lambda wt: _unknown_payload(wt).map(lambda payload: q.tag(f[0], wt) + payload)
    )
)

_indices_run = st.lists(raw_strings, max_size=40).map(
    lambda vs: b"".join(q.field_bytes("indices", v) for v in vs)
)

messages = st.lists(
    st.one_of(
        _known_field(),
        _known_field(),
        _wide_int32,
        _unknown(st.integers(48, 2**29 - 1)),
        _mistyped,
        _indices_run,
    ),
    max_size=30,
).map(b"".join)


# ---------------------------------------------------------------------------
# Against the protobuf runtime
# ---------------------------------------------------------------------------

@settings(max_examples=1500, deadline=None)
@given(messages)
def test_matches_protobuf(wire):
    q.assert_same_dict(decode_pricing_data(wire), q.expected_dict(wire))


def test_quote_type_declares_every_field_with_the_type_decoded():
    python_type = {"string": str, "float": float, "double": float, "sint64": int, "int32": int,
                   "repeated string": list[str]}  # fmt: skip
    assert typing.get_type_hints(Quote) == {name: python_type[kind] for _, name, kind in q.FIELDS}
    assert not Quote.__required_keys__


@settings(max_examples=400, deadline=None)
@given(messages, st.data())
def test_prefixes_fail_exactly_when_protobuf_does(wire, data):
    cut = wire[: data.draw(st.integers(0, len(wire)))]
    try:
        want = q.expected_dict(cut)
    except DecodeError:
        raises_exactly(decode_pricing_data, cut, WIRE)
    else:
        q.assert_same_dict(decode_pricing_data(cut), want)


@settings(max_examples=300, deadline=None)
@given(
    messages,
    st.booleans(),
    st.booleans(),
    st.booleans(),
    st.sampled_from(["", '"type":"pricing",', '"a":{"b":[1,"message",null]},', '"x":"\\"message\\"",']),
    st.sampled_from(["", ',"n":5', ',"z":{"message":"junk"}']),
    st.sampled_from([":", " :", ":\t\r\n ", "\n:\n"]),
)
def test_frame_matches_raw_decode(wire, urlsafe, pad, escape_slash, before, after, colon):
    payload = q.frame(wire, urlsafe=urlsafe, pad=pad, escape_slash=escape_slash,
                      before=before, after=after, colon=colon)
    q.assert_same_dict(decode_frame(payload), q.expected_dict(wire))


@pytest.mark.parametrize("kind", sorted(q.SAMPLE_QUOTES))
def test_sample_quotes_as_the_service_sends_them(kind):
    wire = q.sample_wire(kind)
    got = decode_frame(q.frame(wire, before='"type":"pricing",'))
    # Field names and values as the protobuf runtime reads them, in number order.
    want = {f.name: v for f, v in sorted(q.PricingData.FromString(wire).ListFields(),
                                         key=lambda fv: fv[0].number)}
    q.assert_same_dict(got, want)
    assert 12 <= len(got) <= 16


# ---------------------------------------------------------------------------
# Values in the dict, by hand
# ---------------------------------------------------------------------------

# The wire rules themselves are covered in tests/cpp; these are the ones
# whose outcome shows in the dict.
@pytest.mark.parametrize(
    "wire, want",
    [
        (b"", {}),
        (bytes.fromhex("0a00"), {"id": ""}),
        (bytes.fromhex("0a0341ff42"), {"id": "A\ufffdB"}),
        (bytes.fromhex("30ffffffffffffffffff01"), {"quoteType": -1}),
        (bytes.fromhex("18") + b"\xff" * 9 + b"\x7f", {"time": -(2**63)}),
        (q.tag(2, 5) + struct.pack("<f", 0.1), {"price": 0.10000000149011612}),
        (q.tag(2, 5) + struct.pack("<f", 187.53), {"price": 187.52999877929688}),
        # Wire order does not decide key order.
        (q.tag(36, 0) + q.varint(4) + q.tag(2, 5) + struct.pack("<f", 2.0), {"price": 2.0, "cmcRank": 2}),
        (b"".join(q.tag(35, 2) + bytes([2]) + b"%02d" % k for k in range(20)),
         {"indices": ["%02d" % k for k in range(16)]}),
    ],
)
def test_dict_values(wire, want):
    q.assert_same_dict(decode_pricing_data(wire), want)


@pytest.mark.parametrize(
    "wire",
    [
        bytes.fromhex("15000080"),  # float cut short
        bytes.fromhex("0b00"),  # wire type 3
        bytes.fromhex("8080808010") + b"\x00",  # tag above 32 bits
        ABC + bytes.fromhex("1580"),  # fails after a good field
    ],
)
def test_wire_errors(wire):
    raises_exactly(decode_pricing_data, wire, WIRE)


# ---------------------------------------------------------------------------
# Envelope and base64 through decode_frame
# ---------------------------------------------------------------------------

FF_ID = bytes.fromhex("0a01ff")  # id = b"\xff", base64 "CgH/"


@pytest.mark.parametrize(
    "payload, want",
    [
        (b'{"message":"CgNBQkM="}', {"id": "ABC"}),
        (b'{ "message" \t:\r\n  "CgNBQkM=" }', {"id": "ABC"}),
        (b'{"a":1,"b":[true,{"c":null}],"message":"CgNBQkM="}', {"id": "ABC"}),
        (b'{"data":{"inner":{"message":"CgNBQkM="}},"n":1}', {"id": "ABC"}),
        (b'{"type":"message","message":"CgNBQkM="}', {"id": "ABC"}),
        (b'{"note":"say \\"message\\":\\"AAAA\\"","message":"CgNBQkM="}', {"id": "ABC"}),
        (b'{"message":"CgNBQkM=","message":"AAAA"}', {"id": "ABC"}),
        (b'{"message":"CgNBQkM"}', {"id": "ABC"}),
        (b'{"message":"CgNBQkM=!!*\\\\junk"}', {"id": "ABC"}),
        (b'{"message":"CgNBQkM=\\n"}', {"id": "ABC"}),
        (b'{"message":"CgH\\/"}', {"id": "\ufffd"}),
        (b'{"message":"CgH_"}', {"id": "\ufffd"}),
        (b'{"message":""}', {}),
        (b'{"message":"Q"}', {}),  # six bits: no whole byte
    ],
)
def test_envelope_accepts(payload, want):
    assert decode_frame(payload) == want


@pytest.mark.parametrize(
    "payload, message",
    [
        (b"", JSON),
        (b"{}", JSON),
        (b'{"msg":"CgNBQkM="}', JSON),
        (b'{"Message":"CgNBQkM="}', JSON),
        (b'{"message":5,"message":"CgNBQkM="}', JSON),
        (b'{"message":null}', JSON),
        (b'{"message":true}', JSON),
        (b'{"message":["CgNBQkM="]}', JSON),
        (b'{"message":{"message":"CgNBQkM="}}', JSON),
        (b'{"message":"CgNBQkM=', JSON),
        (b'{"message":"CgNBQkM=\\"}', JSON),
        (b'{"message":', JSON),
        (b'{"message"', JSON),
        (b'{"message"\x0c:"CgNBQkM="}', JSON),  # form feed is not whitespace here
        (b'{"message":"Cg\\nNBQkM="}', B64),
        (b'{"message":"Cg NBQkM="}', B64),
        (b'{"message":"Cg\\u0041"}', B64),
        ('{"message":"Cgé"}'.encode(), B64),
        (b'{"message":"FQAAgA=="}', WIRE),
        (b'{"message":"CwA="}', WIRE),
    ],
)
def test_envelope_rejects(payload, message):
    raises_exactly(decode_frame, payload, message)


@pytest.mark.parametrize("data", [bytes(range(256)), b"\xfb\xff\xbf" * 7, b"\x00", b"ab"])
def test_alphabets_and_padding_agree(data):
    wire = q.tag(1, 2) + q.varint(len(data)) + data
    variants = [
        q.frame(wire, urlsafe=u, pad=p, escape_slash=e)
        for u in (False, True) for p in (False, True) for e in (False, True)
    ]
    results = [decode_frame(v) for v in variants]
    assert all(r == {"id": data.decode("utf-8", "replace")} for r in results)


def test_mixed_alphabets_in_one_text():
    std = base64.b64encode(q.tag(1, 2) + b"\x03\x00\xfb\xff").decode()
    assert "+" in std and "/" in std
    mixed = std.replace("+", "-").replace("/", "\\/")
    assert decode_frame(b'{"message":"%s"}' % mixed.encode()) == {"id": "\x00\ufffd\ufffd"}


# ---------------------------------------------------------------------------
# The Python surface
# ---------------------------------------------------------------------------

FRAME_ABC = b'{"message":"CgNBQkM="}'


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, lambda b: memoryview(bytearray(b))])
def test_buffer_objects(wrap):
    assert decode_frame(wrap(FRAME_ABC)) == {"id": "ABC"}
    assert decode_pricing_data(wrap(ABC)) == {"id": "ABC"}


@pytest.mark.parametrize(
    "arg, exc",
    [
        (FRAME_ABC.decode(), TypeError),
        (None, TypeError),
        (42, TypeError),
        (memoryview(b"x" * 8)[::2], BufferError),
    ],
)
def test_non_buffers_refused(arg, exc):
    with pytest.raises(exc):
        decode_frame(arg)
    with pytest.raises(exc):
        decode_pricing_data(arg)


def test_dict_owns_its_strings():
    raw = bytearray(q.tag(1, 2) + b"\x04AAPL" + q.tag(35, 2) + b"\x03SPX")
    got = decode_pricing_data(raw)
    raw[:] = b"\x00" * len(raw)
    assert got == {"id": "AAPL", "indices": ["SPX"]}

    first = decode_frame(q.frame(q.tag(1, 2) + b"\x04MSFT"))
    # A longer frame reuses, then outgrows, the thread's buffer.
    long_id = "Z" * 200_000
    assert decode_frame(q.frame(q.field_bytes("id", long_id.encode()))) == {"id": long_id}
    assert decode_frame(q.frame(q.tag(1, 2) + b"\x04GOOG")) == {"id": "GOOG"}
    assert first == {"id": "MSFT"}


def test_errors_are_fresh_objects():
    errors = []
    for _ in range(2):
        with pytest.raises(ValueError) as info:
            decode_frame(b"{}")
        errors.append(info.value)
    assert errors[0] is not errors[1]
    assert errors[0].__traceback__ is not None


def test_repeated_short_values_stay_exact():
    # Short ASCII values are shared between quotes: thousands of distinct
    # ids of every cached length, and texts of the same bytes that differ
    # only in length or in one non-ASCII byte, must each come back as sent.
    texts = [f"S{k:0{width}d}".encode() for width in (1, 5, 31) for k in range(1500)]
    texts += [b"USD", b"USD\x00", b"US", b"X" * 32, b"X" * 33, b"US\xc3\xa9", b"US\xff"]
    for _ in range(2):
        for text in texts:
            got = decode_pricing_data(q.field_bytes("id", text) + q.field_bytes("currency", text))
            want = text.decode("utf-8", "replace")
            assert got == {"id": want, "currency": want}
            assert type(got["id"]) is str
