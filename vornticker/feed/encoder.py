"""PricingData as protobuf bytes, and the text frame that carries one quote.

FIELDS is the one table of the message's fields in Python: the encoder reads
it, and so does the test suite's protobuf oracle.
"""

from __future__ import annotations

import base64
import struct
from collections.abc import Mapping, Sequence
from typing import Final, Literal

import orjson

__all__ = ["FIELDS", "FieldKind", "encode_frame", "encode_pricing_data", "f32"]

STRING: Final = "string"
FLOAT: Final = "float"
DOUBLE: Final = "double"
SINT64: Final = "sint64"
INT32: Final = "int32"
REPEATED_STRING: Final = "repeated string"

FieldKind = Literal["string", "float", "double", "sint64", "int32", "repeated string"]

# Every field of PricingData: key of the quote mapping, field number, type.
# Encoded in this order, which is field-number order, as protobuf runtimes do.
FIELDS: Final[tuple[tuple[str, int, FieldKind], ...]] = (
    ("id", 1, STRING),
    ("price", 2, FLOAT),
    ("time", 3, SINT64),
    ("currency", 4, STRING),
    ("exchange", 5, STRING),
    ("quoteType", 6, INT32),
    ("marketHours", 7, INT32),
    ("changePercent", 8, FLOAT),
    ("dayVolume", 9, SINT64),
    ("dayHigh", 10, FLOAT),
    ("dayLow", 11, FLOAT),
    ("change", 12, FLOAT),
    ("shortName", 13, STRING),
    ("expireDate", 14, SINT64),
    ("openPrice", 15, FLOAT),
    ("previousClose", 16, FLOAT),
    ("strikePrice", 17, FLOAT),
    ("underlyingSymbol", 18, STRING),
    ("openInterest", 19, SINT64),
    ("optionsType", 20, SINT64),
    ("miniOption", 21, SINT64),
    ("lastSize", 22, SINT64),
    ("bid", 23, FLOAT),
    ("bidSize", 24, SINT64),
    ("ask", 25, FLOAT),
    ("askSize", 26, SINT64),
    ("priceHint", 27, SINT64),
    ("vol_24hr", 28, SINT64),
    ("volAllCurrencies", 29, SINT64),
    ("fromcurrency", 30, STRING),
    ("lastMarket", 31, STRING),
    ("circulatingSupply", 32, DOUBLE),
    ("marketcap", 33, DOUBLE),
    ("components", 34, STRING),
    ("indices", 35, REPEATED_STRING),
    ("cmcRank", 36, SINT64),
    ("underlyingShortname", 37, STRING),
    ("fiftyTwoWeekChange", 38, FLOAT),
    ("fiftyTwoWeekChangePercent", 39, FLOAT),
    ("latestAmountRaised", 40, FLOAT),
    ("latestFundingDate", 41, SINT64),
    ("latestShareClass", 42, STRING),
    ("latestImpliedValuation", 43, FLOAT),
    ("ytdReturn", 44, FLOAT),
    ("qtdReturn", 45, FLOAT),
    ("fullDayChange", 46, FLOAT),
    ("fullDayChangePercent", 47, FLOAT),
)

_FIELD_BY_KEY: Final = {key: (number, kind) for key, number, kind in FIELDS}
_WIRE_TYPE: Final[dict[FieldKind, int]] = {
    STRING: 2,
    REPEATED_STRING: 2,
    FLOAT: 5,
    DOUBLE: 1,
    SINT64: 0,
    INT32: 0,
}
_MASK64: Final = (1 << 64) - 1
_F32: Final = struct.Struct("<f")
_F64: Final = struct.Struct("<d")


def f32(x: float) -> float:
    """x rounded to the nearest single-precision value, as a float field carries it."""
    return float(_F32.unpack(_F32.pack(x))[0])


def _put_varint(out: bytearray, v: int) -> None:
    v &= _MASK64
    while v >= 0x80:
        out.append((v & 0x7F) | 0x80)
        v >>= 7
    out.append(v)


def _int_value(key: str, value: object, lo: int, hi: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"field {key!r} needs an int, got {type(value).__name__}")
    if not lo <= value <= hi:
        raise ValueError(f"field {key!r}: {value} is out of range")
    return value


def _float_value(key: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"field {key!r} needs a float, got {type(value).__name__}")
    return float(value)


def _str_bytes(key: str, value: object) -> bytes:
    if not isinstance(value, str):
        raise TypeError(f"field {key!r} needs a str, got {type(value).__name__}")
    return value.encode("utf-8")


def encode_pricing_data(quote: Mapping[str, object]) -> bytes:
    """Encodes a quote mapping (keys as in FIELDS) as a protobuf PricingData message.

    Every key present is written, zero values and empty strings included, so
    the receiver sees exactly the keys it was given. Floats travel as single
    precision: pass values through f32() to get back what was sent.
    """
    unknown = quote.keys() - _FIELD_BY_KEY.keys()
    if unknown:
        raise KeyError(f"not a PricingData field: {', '.join(sorted(unknown))}")
    out = bytearray()
    for key, number, kind in FIELDS:
        if key not in quote:
            continue
        value = quote[key]
        tag = (number << 3) | _WIRE_TYPE[kind]
        if kind == REPEATED_STRING:
            if isinstance(value, (str, bytes)) or not isinstance(value, Sequence):
                raise TypeError(f"field {key!r} needs a list of str")
            for item in value:
                data = _str_bytes(key, item)
                _put_varint(out, tag)
                _put_varint(out, len(data))
                out += data
            continue
        _put_varint(out, tag)
        if kind == STRING:
            data = _str_bytes(key, value)
            _put_varint(out, len(data))
            out += data
        elif kind == FLOAT:
            out += _F32.pack(_float_value(key, value))
        elif kind == DOUBLE:
            out += _F64.pack(_float_value(key, value))
        elif kind == SINT64:
            v = _int_value(key, value, -(1 << 63), (1 << 63) - 1)
            _put_varint(out, (v << 1) ^ (v >> 63))
        else:  # INT32: plain varint; a negative value is sign-extended to ten bytes
            _put_varint(out, _int_value(key, value, -(1 << 31), (1 << 31) - 1))
    return bytes(out)


def encode_frame(quote: Mapping[str, object]) -> bytes:
    """The text frame payload that carries one quote."""
    message = base64.b64encode(encode_pricing_data(quote)).decode("ascii")
    return orjson.dumps({"type": "pricing", "message": message})
