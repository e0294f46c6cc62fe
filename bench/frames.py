"""Quote frames for the benchmarks, made with the local feed's own encoder.

Every frame is the feed's envelope, {"type":"pricing","message":"<base64>"},
around a PricingData message from the feed's random-walk market. For the
end-to-end runs the message's `time` field carries the sender's clock instead
of the quote time, so a client can tell how long each frame took to reach its
callback. The stamp is put in at send time without re-encoding the frame:

- the time field (tag byte + an 8-byte varint) is written first, and nine
  bytes are a whole number of base64 groups, so base64(stamp + rest) is
  base64(stamp) + base64(rest) and the rest is encoded once, up front;
- the stamped value is the low 47 bits of time.monotonic_ns() plus 2**48,
  which keeps the zigzag varint exactly 8 bytes long whatever the uptime.
  A receiver gets the delay as (monotonic_ns() - time) & STAMP_MASK
  (2**48 is a multiple of 2**47, so the offset drops out; the 47-bit wrap
  is a day and a half, far longer than any delay).

time.monotonic_ns() reads CLOCK_MONOTONIC, one clock for all the processes
of a Linux machine, so the server's stamp and the client's reading compare.
"""

from __future__ import annotations

import binascii
import struct
import time

from vornticker.feed import Market, encode_pricing_data

STAMP_MASK = (1 << 47) - 1
_STAMP_BASE = 1 << 48
_TIME_TAG = b"\x18"  # field 3 (time), wire type 0 (varint)
ENVELOPE_HEAD = b'{"type":"pricing","message":"'
ENVELOPE_TAIL = b'"}'
# A text frame that is not a quote: every client hands it to its error
# callback, which ends the run once all quotes before it were handled.
END_PAYLOAD = b'{"type":"end"}'

# One instrument of each kind the feed knows, equities weighted as on a
# typical watch list. Their quotes carry 17 to 30 fields, 150 to 290 bytes
# of payload.
SYMBOLS = (
    "AAPL", "MSFT", "NVDA", "TSLA", "AMZN", "^GSPC", "^IXIC",
    "BTC-USD", "ETH-USD", "EURUSD=X", "USDJPY=X", "AAPL261218C00200000",
)
_NOW_MS = 1_790_000_000_000  # a fixed quote time: frames are the same every run


def quotes(count: int, seed: int = 7) -> list[dict[str, object]]:
    """count quotes, the symbols taking turns, as the feed makes them."""
    market = Market(seed)
    return [market.tick(SYMBOLS[i % len(SYMBOLS)], _NOW_MS + i) for i in range(count)]


def plain_payloads(count: int, seed: int = 7) -> list[bytes]:
    """Complete frame payloads with the feed's quote times (for decoding)."""
    out = []
    for q in quotes(count, seed):
        wire = encode_pricing_data(q)
        out.append(ENVELOPE_HEAD + binascii.b2a_base64(wire, newline=False) + ENVELOPE_TAIL)
    return out


def stamp_wire(t_ns: int) -> bytes:
    """The nine bytes of the time field carrying t_ns."""
    z = ((t_ns & STAMP_MASK) | _STAMP_BASE) << 1  # zigzag of a positive value
    return _TIME_TAG + bytes([(z >> (7 * i)) & 0x7F | 0x80 for i in range(7)]) + bytes([z >> 49])


def stamp_b64(t_ns: int) -> bytes:
    return binascii.b2a_base64(stamp_wire(t_ns), newline=False)


def split_payloads(count: int, seed: int = 7) -> list[tuple[bytes, bytes]]:
    """(head, tail) of each frame payload: head + stamp_b64(t) + tail is the
    complete payload of a quote sent at t."""
    out = []
    for q in quotes(count, seed):
        rest = {k: v for k, v in q.items() if k != "time"}
        b64 = binascii.b2a_base64(encode_pricing_data(rest), newline=False)
        out.append((ENVELOPE_HEAD, b64 + ENVELOPE_TAIL))
    return out


def ws_header(length: int) -> bytes:
    """Header of an unmasked FIN text frame (what a server sends)."""
    if length < 126:
        return struct.pack("!BB", 0x81, length)
    if length < 1 << 16:
        return struct.pack("!BBH", 0x81, 126, length)
    return struct.pack("!BBQ", 0x81, 127, length)


def stamped_payload(head: bytes, tail: bytes, t_ns: int | None = None) -> bytes:
    return head + stamp_b64(time.monotonic_ns() if t_ns is None else t_ns) + tail
