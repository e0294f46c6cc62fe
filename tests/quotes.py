"""Shared quote helpers for tests and benchmarks.

`PricingData` is a protobuf message class built at run time from the field
table (no generated code): it is the oracle for our decoder and for the
feed's encoder.  `PricingDataBytes` is the same message with every string
field declared as bytes, so messages with arbitrary (even invalid UTF-8) bytes can
be encoded and read back raw.  Both use proto2 so that a field set to zero or
to an empty string is still written.
"""

import base64
import math
import struct

from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

from vornticker.feed import FIELDS as FEED_FIELDS

# (field number, name, kind) from the feed encoder's table, the one field
# table on the Python side; kind is the protobuf type, "indices" is the one
# repeated string. The extension's decoder has its own table, so the decoder
# tests still compare two independent ones.
FIELDS = [(number, name, kind) for name, number, kind in FEED_FIELDS]

NAMES = [name for _, name, _ in FIELDS]
KIND = {name: kind for _, name, kind in FIELDS}
NUMBER = {name: number for number, name, _ in FIELDS}
INDICES_MAX = 16

_FD = descriptor_pb2.FieldDescriptorProto
_TYPES = {
    "string": _FD.TYPE_STRING,
    "float": _FD.TYPE_FLOAT,
    "double": _FD.TYPE_DOUBLE,
    "sint64": _FD.TYPE_SINT64,
    "int32": _FD.TYPE_INT32,
}


def _message_class(package, strings_as_bytes):
    fdp = descriptor_pb2.FileDescriptorProto(name=f"{package}.proto", package=package, syntax="proto2")
    msg = fdp.message_type.add(name="PricingData")
    for number, name, kind in FIELDS:
        repeated = kind.startswith("repeated ")
        base = kind.removeprefix("repeated ")
        ftype = _FD.TYPE_BYTES if (base == "string" and strings_as_bytes) else _TYPES[base]
        msg.field.add(
            name=name,
            number=number,
            type=ftype,
            label=_FD.LABEL_REPEATED if repeated else _FD.LABEL_OPTIONAL,
        )
    pool = descriptor_pool.DescriptorPool()
    pool.Add(fdp)
    return message_factory.GetMessageClass(pool.FindMessageTypeByName(f"{package}.PricingData"))


PricingData = _message_class("vorntest", strings_as_bytes=False)
PricingDataBytes = _message_class("vorntestraw", strings_as_bytes=True)


# ---------------------------------------------------------------------------
# Wire pieces for hand-assembled messages
# ---------------------------------------------------------------------------

def varint(v):
    v &= (1 << 64) - 1
    out = bytearray()
    while v >= 0x80:
        out.append(v & 0x7F | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


def tag(number, wire_type):
    return varint(number << 3 | wire_type)


def field_bytes(name, value):
    """One field of PricingData as protobuf itself writes it."""
    msg = PricingDataBytes()
    if KIND[name] == "repeated string":
        getattr(msg, name).append(value)
    else:
        setattr(msg, name, value)
    return msg.SerializeToString()


def expected_dict(wire):
    """What our decoder must return for `wire`, read by the protobuf runtime:
    present fields in field-number order, strings decoded with 'replace',
    the first sixteen indices."""
    msg = PricingDataBytes.FromString(wire)
    out = {}
    for name in NAMES:
        kind = KIND[name]
        if kind == "repeated string":
            values = list(getattr(msg, name))
            if values:
                out[name] = [v.decode("utf-8", "replace") for v in values[:INDICES_MAX]]
        elif msg.HasField(name):
            value = getattr(msg, name)
            out[name] = value.decode("utf-8", "replace") if kind == "string" else value
        # absent: no key at all
    return out


def same_value(a, b):
    """Equality that tells -0.0 from 0.0 and takes NaN as equal to NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return struct.pack("<d", a) == struct.pack("<d", b)
    return a == b


def assert_same_dict(got, want):
    assert list(got) == list(want), "keys or key order differ"
    for key in want:
        assert same_value(got[key], want[key]), f"{key}: {got[key]!r} != {want[key]!r}"


# ---------------------------------------------------------------------------
# Frames
# ---------------------------------------------------------------------------

def b64_text(wire, *, urlsafe=False, pad=True, escape_slash=False):
    text = (base64.urlsafe_b64encode if urlsafe else base64.b64encode)(wire).decode("ascii")
    if not pad:
        text = text.rstrip("=")
    if escape_slash:
        text = text.replace("/", "\\/")
    return text


def frame(wire, *, before="", after="", colon=":", **b64_options):
    """A text frame carrying `wire` the way the service sends it:
    {<before>"message"<colon>"<base64>"<after>}."""
    return ('{%s"message"%s"%s"%s}' % (before, colon, b64_text(wire, **b64_options), after)).encode()


# Realistic quotes of 12 to 16 fields, in the shapes the service sends.
SAMPLE_QUOTES = {
    "equity": dict(
        id="AAPL", price=187.53, time=1_700_000_000_000, currency="USD", exchange="NMS",
        quoteType=1, marketHours=1, changePercent=-0.42, dayVolume=51_234_567, dayHigh=189.1,
        dayLow=186.2, change=-0.79, shortName="Apple Inc.", openPrice=187.9, previousClose=188.32,
        priceHint=2,
    ),
    "crypto": dict(
        id="BTC-USD", price=64123.5, time=1_700_000_000_123, currency="USD", exchange="CCC",
        quoteType=41, marketHours=1, changePercent=1.7, vol_24hr=31_000_000_000,
        volAllCurrencies=31_000_000_000, fromcurrency="BTC", lastMarket="coinbase",
        circulatingSupply=19_600_000.0, marketcap=1.25e12,
    ),
    "option": dict(
        id="AAPL240119C00190000", price=3.45, time=1_700_000_000_456, currency="USD",
        exchange="OPR", quoteType=8, expireDate=1_705_622_400, strikePrice=190.0,
        underlyingSymbol="AAPL", openInterest=12_345, optionsType=1, bid=3.4, bidSize=12,
        ask=3.5, askSize=30,
    ),
}


def sample_wire(kind):
    return PricingData(**SAMPLE_QUOTES[kind]).SerializeToString()
