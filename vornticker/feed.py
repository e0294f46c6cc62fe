"""A local quote feed: a websocket server that speaks the quote protocol the
ticker understands, with random-walk prices.

It exists so the client can be run, demonstrated and tested end to end
without the real service. Clients send the usual control messages,
``{"subscribe": [...]}`` and ``{"unsubscribe": [...]}``; the feed then pushes
one text frame per quote for each symbol the client subscribed to::

    {"type":"pricing","message":"<base64 of a protobuf PricingData message>"}

Embedding it::

    async with LocalFeed(rate=5) as feed:
        with use_endpoint(feed.url, feed.client_ssl_context()):
            ...

From a shell: ``python -m vornticker.feed --port 8765 --ca-file ca.pem``.

``rate`` is quotes per second per subscribed symbol. All clients watching a
symbol see the same quote: the feed keeps one market, not one per client.
"""

from __future__ import annotations

import argparse
import asyncio
import base64
import collections
import contextlib
import dataclasses
import datetime as dt
import enum
import importlib.util
import ipaddress
import logging
import math
import os
import random
import re
import signal
import ssl
import struct
import sys
import tempfile
import time
import zlib
from collections.abc import Iterable, Mapping, Sequence
from types import TracebackType
from typing import Final, Literal

import orjson
from picows import WSCloseCode, WSFrame, WSListener, WSMsgType, WSTransport, WSUpgradeRequest, ws_create_server

__all__ = [
    "FeedStats",
    "Kind",
    "LocalFeed",
    "MarketHours",
    "OptionType",
    "QuoteType",
    "Market",
    "encode_frame",
    "encode_pricing_data",
    "f32",
    "instrument_kind",
    "main",
    "tls_available",
]

logger = logging.getLogger(__name__)

# --- protobuf encoding of PricingData -------------------------------------------------

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


# --- instruments and their random walks ---------------------------------------------------


class Kind(enum.StrEnum):
    EQUITY = "equity"
    INDEX = "index"
    CRYPTO = "crypto"
    CURRENCY = "currency"
    OPTION = "option"


class QuoteType(enum.IntEnum):
    """quoteType values as this feed numbers them."""

    EQUITY = 1
    INDEX = 2
    CRYPTOCURRENCY = 3
    CURRENCY = 4
    OPTION = 5


class MarketHours(enum.IntEnum):
    PRE_MARKET = 0
    REGULAR_MARKET = 1
    POST_MARKET = 2
    CLOSED = 3


class OptionType(enum.IntEnum):
    CALL = 0
    PUT = 1


# Root, expiry YYMMDD, C or P, strike in thousandths zero-padded to eight digits.
_OPTION_RE: Final = re.compile(r"^([A-Z]{1,6})(\d{2})(\d{2})(\d{2})([CP])(\d{8})$")
_CRYPTO_RE: Final = re.compile(r"^([A-Z0-9]{2,10})-([A-Z]{3,4})$")
_CURRENCY_RE: Final = re.compile(r"^(?:([A-Z]{3})([A-Z]{3})|([A-Z]{3}))=X$")


def instrument_kind(symbol: str) -> Kind:
    """The instrument type a symbol's shape implies."""
    if symbol.startswith("^"):
        return Kind.INDEX
    if _CURRENCY_RE.match(symbol):
        return Kind.CURRENCY
    if _OPTION_RE.match(symbol):
        return Kind.OPTION
    if _CRYPTO_RE.match(symbol):
        return Kind.CRYPTO
    return Kind.EQUITY


_NAMES: Final = {
    "AAPL": "Apple Inc.",
    "MSFT": "Microsoft Corporation",
    "GOOG": "Alphabet Inc.",
    "AMZN": "Amazon.com, Inc.",
    "NVDA": "NVIDIA Corporation",
    "TSLA": "Tesla, Inc.",
    "^GSPC": "S&P 500",
    "^DJI": "Dow Jones Industrial Average",
    "^IXIC": "NASDAQ Composite",
    "BTC": "Bitcoin",
    "ETH": "Ethereum",
    "SOL": "Solana",
}
_START_PRICES: Final = {
    "AAPL": 190.0,
    "MSFT": 420.0,
    "GOOG": 170.0,
    "AMZN": 185.0,
    "NVDA": 120.0,
    "TSLA": 180.0,
    "^GSPC": 5200.0,
    "^DJI": 39000.0,
    "^IXIC": 16300.0,
    "BTC": 65000.0,
    "ETH": 3400.0,
    "SOL": 150.0,
    "EURUSD": 1.08,
    "GBPUSD": 1.27,
    "USDJPY": 150.0,
    "USDCHF": 0.90,
}
_NASDAQ: Final = frozenset({"AAPL", "MSFT", "GOOG", "AMZN", "NVDA", "TSLA"})
_SUPPLY: Final = {"BTC": 19.7e6, "ETH": 120.1e6, "SOL": 4.6e8}

# Per-tick volatility: the standard deviation of one step's log return.
_SIGMA: Final = {Kind.EQUITY: 8e-4, Kind.INDEX: 4e-4, Kind.CRYPTO: 1.5e-3, Kind.CURRENCY: 2e-4, Kind.OPTION: 5e-3}


def _stable_fraction(text: str, salt: str = "") -> float:
    """A number in [0, 1) fixed by text, so a symbol starts at the same place every run."""
    return zlib.crc32((salt + text).encode()) / 2**32


def _market_hours(now_ms: int) -> MarketHours:
    # New York trading day in UTC, ignoring daylight saving and holidays.
    t = dt.datetime.fromtimestamp(now_ms / 1000, dt.UTC)
    if t.weekday() >= 5:
        return MarketHours.CLOSED
    minutes = t.hour * 60 + t.minute
    if 8 * 60 <= minutes < 13 * 60 + 30:
        return MarketHours.PRE_MARKET
    if 13 * 60 + 30 <= minutes < 20 * 60:
        return MarketHours.REGULAR_MARKET
    if 20 * 60 <= minutes < 24 * 60:
        return MarketHours.POST_MARKET
    return MarketHours.CLOSED


@dataclasses.dataclass
class _Instrument:
    symbol: str
    kind: Kind
    static: dict[str, object]  # fields that never change
    tick_size: float
    price_hint: int
    previous_close: float
    open_price: float
    price: float  # the last price, on the tick grid
    high: float
    low: float
    volume: int = 0
    notional: float = 0.0
    supply: float = 0.0
    open_interest: int = 0
    indices: tuple[str, ...] = ()
    # The walk itself runs off the grid: rounding every step back to it would
    # pin a cheap instrument whose steps are smaller than half a tick.
    walk: float = 0.0


def _round_to(x: float, step: float) -> float:
    return round(round(x / step) * step, 10)


class Market:
    """Random-walk quotes for any symbol, one walk per symbol.

    Every float in a quote is already rounded to single precision, so a
    decoded frame compares equal to the quote it was made from.
    """

    def __init__(self, seed: int | None = None) -> None:
        self._rng = random.Random(seed)
        self._instruments: dict[str, _Instrument] = {}

    def _create(self, symbol: str) -> _Instrument:
        kind = instrument_kind(symbol)
        frac = _stable_fraction(symbol)
        static: dict[str, object] = {"id": symbol}
        tick, hint = 0.01, 2
        if kind == Kind.EQUITY:
            base = _START_PRICES.get(symbol, 20 + 480 * frac)
            exchange = "XNAS" if symbol in _NASDAQ or (symbol not in _START_PRICES and frac < 0.6) else "XNYS"
            static |= {
                "currency": "USD",
                "exchange": exchange,
                "quoteType": int(QuoteType.EQUITY),
                "shortName": _NAMES.get(symbol, f"{symbol} Holdings"),
            }
        elif kind == Kind.INDEX:
            base = _START_PRICES.get(symbol, 1000 + 19000 * frac)
            static |= {
                "currency": "USD",
                "exchange": "INDX",
                "quoteType": int(QuoteType.INDEX),
                "shortName": _NAMES.get(symbol, f"{symbol[1:]} Index"),
            }
        elif kind == Kind.CRYPTO:
            m = _CRYPTO_RE.match(symbol)
            assert m is not None
            coin, quote_ccy = m.group(1), m.group(2)
            base = _START_PRICES.get(coin, 0.05 + 500 * frac**3)
            if base < 1:
                tick, hint = 0.000001, 6
            elif base < 100:
                tick, hint = 0.0001, 4
            static |= {
                "currency": quote_ccy,
                "exchange": "CCY",
                "quoteType": int(QuoteType.CRYPTOCURRENCY),
                "shortName": f"{_NAMES.get(coin, coin)} {quote_ccy}",
                "fromcurrency": coin,
                "lastMarket": "CoinExchange",
            }
        elif kind == Kind.CURRENCY:
            m = _CURRENCY_RE.match(symbol)
            assert m is not None
            base_ccy, quote_ccy = (m.group(1), m.group(2)) if m.group(1) else ("USD", m.group(3))
            pair = base_ccy + quote_ccy
            base = _START_PRICES.get(pair, 0.5 + 1.5 * frac)
            tick, hint = (0.001, 3) if base > 20 else (0.00001, 5)
            static |= {
                "currency": quote_ccy,
                "exchange": "CCY",
                "quoteType": int(QuoteType.CURRENCY),
                "shortName": f"{base_ccy}/{quote_ccy}",
            }
        else:
            m = _OPTION_RE.match(symbol)
            assert m is not None
            root, yy, mm, dd, cp, strike_digits = m.groups()
            strike = int(strike_digits) / 1000
            expiry = dt.datetime(2000 + int(yy), int(mm), int(dd), tzinfo=dt.UTC)
            underlying = _START_PRICES.get(root, 20 + 480 * _stable_fraction(root))
            intrinsic = max(0.0, underlying - strike) if cp == "C" else max(0.0, strike - underlying)
            base = max(0.05, intrinsic + underlying * (0.01 + 0.04 * frac))
            static |= {
                "currency": "USD",
                "exchange": "OPRA",
                "quoteType": int(QuoteType.OPTION),
                "shortName": f"{root} {expiry:%b %d %Y} {strike:g} {'Call' if cp == 'C' else 'Put'}",
                "expireDate": int(expiry.timestamp()),
                "strikePrice": f32(strike),
                "underlyingSymbol": root,
                "optionsType": int(OptionType.CALL if cp == "C" else OptionType.PUT),
                "miniOption": 0,
                "underlyingShortname": _NAMES.get(root, f"{root} Holdings"),
            }
        previous_close = _round_to(base, tick)
        open_price = _round_to(previous_close * math.exp(self._rng.gauss(0, 5 * _SIGMA[kind])), tick)
        open_price = max(open_price, tick)
        inst = _Instrument(
            symbol=symbol,
            kind=kind,
            static=static,
            tick_size=tick,
            price_hint=hint,
            previous_close=previous_close,
            open_price=open_price,
            price=open_price,
            walk=open_price,
            high=open_price,
            low=open_price,
        )
        if kind == Kind.EQUITY:
            inst.indices = ("^GSPC", "^IXIC") if static["exchange"] == "XNAS" else ("^GSPC", "^DJI")
        if kind == Kind.CRYPTO:
            coin = str(static["fromcurrency"])
            inst.supply = _SUPPLY.get(coin, float(int(1e7 + 1e10 * _stable_fraction(coin, "supply"))))
        if kind == Kind.OPTION:
            inst.open_interest = 100 + int(20000 * _stable_fraction(symbol, "oi"))
        return inst

    def tick(self, symbol: str, now_ms: int | None = None) -> dict[str, object]:
        """Moves symbol one step and returns its new quote."""
        inst = self._instruments.get(symbol)
        if inst is None:
            inst = self._instruments[symbol] = self._create(symbol)
        if now_ms is None:
            now_ms = time.time_ns() // 1_000_000
        rng = self._rng
        step = math.exp(rng.gauss(0.0, _SIGMA[inst.kind]))
        inst.walk = max(inst.tick_size, inst.walk * step)
        inst.price = _round_to(inst.walk, inst.tick_size)
        inst.high = max(inst.high, inst.price)
        inst.low = min(inst.low, inst.price)
        change = inst.price - inst.previous_close

        kind = inst.kind
        q: dict[str, object] = {"id": inst.symbol, "price": f32(inst.price), "time": now_ms}
        for key in ("currency", "exchange", "quoteType"):
            q[key] = inst.static[key]
        hours = MarketHours.REGULAR_MARKET if kind in (Kind.CRYPTO, Kind.CURRENCY) else _market_hours(now_ms)
        q["marketHours"] = int(hours)
        q["changePercent"] = f32(100.0 * change / inst.previous_close)

        last_size = 0
        if kind in (Kind.EQUITY, Kind.OPTION, Kind.CRYPTO):
            if kind == Kind.EQUITY:
                last_size = rng.choice((1, 5, 10, 25, 50, 100, 100, 200, 300, 500))
            elif kind == Kind.OPTION:
                last_size = rng.randint(1, 20)
            if kind == Kind.CRYPTO:
                # Coins trade in fractions; their volume is counted in the quote currency.
                notional = rng.uniform(50.0, 50_000.0)
                inst.volume += int(notional)
                inst.notional += notional
            else:
                inst.volume += last_size
                inst.notional += last_size * inst.price
            q["dayVolume"] = inst.volume
        q["dayHigh"] = f32(inst.high)
        q["dayLow"] = f32(inst.low)
        q["change"] = f32(change)
        q["shortName"] = inst.static["shortName"]
        if kind == Kind.OPTION:
            q["expireDate"] = inst.static["expireDate"]
        q["openPrice"] = f32(inst.open_price)
        q["previousClose"] = f32(inst.previous_close)
        if kind == Kind.OPTION:
            inst.open_interest += rng.randint(-2, 3)
            inst.open_interest = max(inst.open_interest, 0)
            for key in ("strikePrice", "underlyingSymbol"):
                q[key] = inst.static[key]
            q["openInterest"] = inst.open_interest
            q["optionsType"] = inst.static["optionsType"]
            q["miniOption"] = inst.static["miniOption"]
        if last_size and kind != Kind.CRYPTO:
            q["lastSize"] = last_size
        if kind in (Kind.EQUITY, Kind.OPTION, Kind.CURRENCY):
            half_spread = inst.tick_size * rng.randint(1, 3 if kind != Kind.OPTION else 5)
            q["bid"] = f32(max(0.0, _round_to(inst.price - half_spread, inst.tick_size)))
            if kind != Kind.CURRENCY:
                q["bidSize"] = 100 * rng.randint(1, 40) if kind == Kind.EQUITY else rng.randint(1, 200)
            q["ask"] = f32(_round_to(inst.price + half_spread, inst.tick_size))
            if kind != Kind.CURRENCY:
                q["askSize"] = 100 * rng.randint(1, 40) if kind == Kind.EQUITY else rng.randint(1, 200)
        q["priceHint"] = inst.price_hint
        if kind == Kind.CRYPTO:
            q["vol_24hr"] = int(inst.notional)
            q["volAllCurrencies"] = int(inst.notional * 1.4)
            q["fromcurrency"] = inst.static["fromcurrency"]
            q["lastMarket"] = inst.static["lastMarket"]
            q["circulatingSupply"] = inst.supply
            q["marketcap"] = inst.supply * inst.price
        if kind == Kind.EQUITY:
            q["indices"] = list(inst.indices)
        if kind == Kind.OPTION:
            q["underlyingShortname"] = inst.static["underlyingShortname"]
        if kind in (Kind.EQUITY, Kind.INDEX, Kind.OPTION):
            q["fullDayChange"] = f32(change)
            q["fullDayChangePercent"] = f32(100.0 * change / inst.previous_close)
        return q


# --- the server ---------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class FeedStats:
    """A snapshot of the feed's counters."""

    connections: int  # connections accepted since start
    clients: int  # connected now
    quotes: int  # quotes generated (one per symbol and tick)
    frames_sent: int  # quote frames written (one quote to three clients is three)
    control_messages: int  # subscribe and unsubscribe messages understood
    rejected_messages: int  # text frames that were neither
    per_symbol: Mapping[str, int]  # quotes generated per symbol


class _Client(WSListener):
    def __init__(self, feed: LocalFeed, peer: str) -> None:
        super().__init__()
        self.feed = feed
        self.peer = peer
        self.transport: WSTransport | None = None
        self.symbols: set[str] = set()

    def on_ws_connected(self, transport: WSTransport) -> None:
        self.transport = transport
        self.feed._client_connected(self)

    def on_ws_frame(self, transport: WSTransport, frame: WSFrame) -> None:
        if frame.msg_type == WSMsgType.TEXT:
            self.feed._on_control(self, frame.get_payload_as_bytes())
        elif frame.msg_type == WSMsgType.CLOSE:
            # Answer the close handshake, then hang up, as a server should.
            transport.send_close(frame.get_close_code(), frame.get_close_message())
            transport.disconnect()

    def on_ws_disconnected(self, transport: WSTransport) -> None:
        self.feed._client_disconnected(self)
        self.transport = None


def _parse_control(payload: bytes) -> tuple[str, list[str]] | None:
    try:
        msg = orjson.loads(payload)
    except orjson.JSONDecodeError:
        return None
    if not isinstance(msg, dict) or len(msg) != 1:
        return None
    ((action, symbols),) = msg.items()
    if action not in ("subscribe", "unsubscribe") or not isinstance(symbols, list):
        return None
    if not all(isinstance(s, str) for s in symbols):
        return None
    return action, symbols


TlsBackend = Literal["auto", "trustme", "cryptography"]


@dataclasses.dataclass(frozen=True)
class _Tls:
    server: ssl.SSLContext
    ca_pem: bytes


def _identities(host: str) -> list[str]:
    names = ["localhost", "127.0.0.1", "::1"]
    if host and host not in names and host not in ("0.0.0.0", "::"):
        names.append(host)
    return names


def _tls_with_trustme(host: str) -> _Tls:
    import trustme

    ca = trustme.CA(organization_name="vornticker local feed")
    leaf = ca.issue_cert(*_identities(host))
    server = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    leaf.configure_cert(server)
    return _Tls(server, ca.cert_pem.bytes())


def _tls_with_cryptography(host: str) -> _Tls:
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    now = dt.datetime.now(dt.UTC)
    org = x509.NameAttribute(NameOID.ORGANIZATION_NAME, "vornticker local feed")

    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_name = x509.Name([org, x509.NameAttribute(NameOID.COMMON_NAME, "vornticker local feed CA")])
    ca_ski = x509.SubjectKeyIdentifier.from_public_key(ca_key.public_key())
    ca_cert = (
        x509.CertificateBuilder()
        .subject_name(ca_name)
        .issuer_name(ca_name)
        .public_key(ca_key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - dt.timedelta(hours=1))
        .not_valid_after(now + dt.timedelta(days=7))
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
        .add_extension(
            x509.KeyUsage(
                digital_signature=True,
                content_commitment=False,
                key_encipherment=False,
                data_encipherment=False,
                key_agreement=False,
                key_cert_sign=True,
                crl_sign=True,
                encipher_only=False,
                decipher_only=False,
            ),
            critical=True,
        )
        .add_extension(ca_ski, critical=False)
        .sign(ca_key, hashes.SHA256())
    )

    sans: list[x509.GeneralName] = []
    for ident in _identities(host):
        try:
            sans.append(x509.IPAddress(ipaddress.ip_address(ident)))
        except ValueError:
            sans.append(x509.DNSName(ident))
    key = ec.generate_private_key(ec.SECP256R1())
    cert = (
        x509.CertificateBuilder()
        .subject_name(x509.Name([org, x509.NameAttribute(NameOID.COMMON_NAME, "localhost")]))
        .issuer_name(ca_name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - dt.timedelta(hours=1))
        .not_valid_after(now + dt.timedelta(days=7))
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(x509.SubjectAlternativeName(sans), critical=False)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_subject_key_identifier(ca_ski), critical=False)
        .sign(ca_key, hashes.SHA256())
    )
    key_pem = key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
    )
    server = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    # load_cert_chain only reads files; the key lives on disk for a moment.
    with tempfile.TemporaryDirectory(prefix="vornticker-feed-") as tmp:
        path = os.path.join(tmp, "server.pem")
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "wb") as f:
            f.write(key_pem + cert.public_bytes(serialization.Encoding.PEM))
        server.load_cert_chain(path)
    return _Tls(server, ca_cert.public_bytes(serialization.Encoding.PEM))


def tls_available() -> bool:
    """Whether a certificate can be made here (trustme or cryptography is installed)."""
    return any(importlib.util.find_spec(name) is not None for name in ("trustme", "cryptography"))


def _make_tls(host: str, backend: TlsBackend) -> _Tls:
    if backend == "trustme":
        return _tls_with_trustme(host)
    if backend == "cryptography":
        return _tls_with_cryptography(host)
    try:
        return _tls_with_trustme(host)
    except ImportError:
        return _tls_with_cryptography(host)


class LocalFeed:
    """A quote feed on a local port; see the module's description.

    host, port: where to listen (port 0 picks a free one; read it back from
    .port or .url once started). rate: quotes per second per subscribed
    symbol. tls: serve wss:// with a certificate made on the spot, trusted by
    client_ssl_context(); otherwise ws://. seed: fixes the random walks.
    record: keep the last `record` quotes generated in .sent, for checking.
    """

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        *,
        rate: float = 5.0,
        tls: bool = True,
        seed: int | None = None,
        record: int = 0,
        tls_backend: TlsBackend = "auto",
    ) -> None:
        if not rate > 0 or math.isinf(rate):
            raise ValueError(f"rate must be a positive number of quotes per second, got {rate}")
        self.host = host
        self.port = port
        self.rate = rate
        self.tls = tls
        self.tls_backend: TlsBackend = tls_backend
        self.market = Market(seed)
        self.sent: collections.deque[dict[str, object]] = collections.deque(maxlen=record)
        self._tls: _Tls | None = None
        self._server: asyncio.Server | None = None
        self._clock: asyncio.Task[None] | None = None
        self._wake = asyncio.Event()
        self._clients: set[_Client] = set()
        self._connections = 0
        self._quotes = 0
        self._frames = 0
        self._controls = 0
        self._rejected = 0
        self._per_symbol: collections.Counter[str] = collections.Counter()

    # -- lifecycle

    async def start(self) -> None:
        if self._server is not None:
            raise RuntimeError("the feed is already running")
        if self.tls:
            self._tls = _make_tls(self.host, self.tls_backend)
        self._server = await ws_create_server(
            self._accept,
            self.host,
            self.port,
            ssl=self._tls.server if self._tls else None,
            websocket_handshake_timeout=5,
            logger_name="vornticker.feed.server",
        )
        self.port = int(self._server.sockets[0].getsockname()[1])
        self._clock = asyncio.get_running_loop().create_task(self._run_clock(), name="vornticker-feed-clock")
        logger.info("local feed listening on %s", self.url)

    async def stop(self) -> None:
        """Stops listening and hangs up on every client (close code 1001).

        Safe to call after the loop's tasks were cancelled from outside, as
        the ticker's own shutdown does, and more than once.
        """
        server, self._server = self._server, None
        clock, self._clock = self._clock, None
        if clock is not None and not clock.done():
            clock.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await clock
        if server is None:
            return
        server.close()
        for client in list(self._clients):
            transport = client.transport
            if transport is not None and not transport.is_disconnected:
                transport.send_close(WSCloseCode.GOING_AWAY, b"local feed stopping")
                transport.disconnect()
        with contextlib.suppress(TimeoutError):
            await asyncio.wait_for(server.wait_closed(), timeout=2.0)
        logger.info("local feed stopped")

    async def __aenter__(self) -> LocalFeed:
        await self.start()
        return self

    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        await self.stop()

    # -- what clients need

    @property
    def url(self) -> str:
        host = self.host if self.host not in ("", "0.0.0.0", "::") else "127.0.0.1"
        if ":" in host:
            host = f"[{host}]"
        return f"{'wss' if self.tls else 'ws'}://{host}:{self.port}/?version=2"

    @property
    def ca_pem(self) -> bytes | None:
        """The PEM certificate that signed the feed's own (None for ws://)."""
        return self._tls.ca_pem if self._tls else None

    def client_ssl_context(self) -> ssl.SSLContext | None:
        """A client context that trusts this feed (None for ws://)."""
        if self._tls is None:
            if self.tls:
                raise RuntimeError("start the feed first: its certificate is made at start")
            return None
        return ssl.create_default_context(cadata=self._tls.ca_pem.decode("ascii"))

    def write_ca_file(self, path: str | os.PathLike[str]) -> None:
        pem = self.ca_pem
        if pem is None:
            raise RuntimeError("a feed without TLS has no certificate")
        with open(path, "wb") as f:
            f.write(pem)

    # -- observing

    @property
    def stats(self) -> FeedStats:
        return FeedStats(
            connections=self._connections,
            clients=len(self._clients),
            quotes=self._quotes,
            frames_sent=self._frames,
            control_messages=self._controls,
            rejected_messages=self._rejected,
            per_symbol=dict(self._per_symbol),
        )

    def subscriptions(self) -> list[frozenset[str]]:
        """What each connected client is subscribed to."""
        return [frozenset(c.symbols) for c in self._clients]

    async def wait_subscribed(self, symbol: str, subscribed: bool = True, timeout: float = 5.0) -> None:
        """Waits until some client subscribes symbol (or, with subscribed=False,
        until no client has it)."""

        async def poll() -> None:
            while any(symbol in c.symbols for c in self._clients) != subscribed:
                await asyncio.sleep(0.005)

        await asyncio.wait_for(poll(), timeout)

    # -- internals

    def _accept(self, request: WSUpgradeRequest) -> WSListener:
        self._connections += 1
        return _Client(self, f"client {self._connections}")

    def _client_connected(self, client: _Client) -> None:
        self._clients.add(client)
        logger.info("%s connected", client.peer)

    def _client_disconnected(self, client: _Client) -> None:
        self._clients.discard(client)
        logger.info("%s disconnected", client.peer)

    def _on_control(self, client: _Client, payload: bytes) -> None:
        parsed = _parse_control(payload)
        if parsed is None:
            self._rejected += 1
            logger.debug("%s sent something that is not a control message: %r", client.peer, payload[:200])
            return
        self._controls += 1
        action, symbols = parsed
        if action == "subscribe":
            client.symbols.update(symbols)
            self._wake.set()
        else:
            client.symbols.difference_update(symbols)
        logger.debug("%s %s %s", client.peer, action, symbols)

    def _tick(self) -> None:
        watchers: dict[str, list[WSTransport]] = {}
        for client in self._clients:
            transport = client.transport
            if transport is None or transport.is_disconnected:
                continue
            for symbol in client.symbols:
                watchers.setdefault(symbol, []).append(transport)
        for symbol in sorted(watchers):
            quote = self.market.tick(symbol)
            frame = encode_frame(quote)
            self._quotes += 1
            self._per_symbol[symbol] += 1
            self.sent.append(quote)
            for transport in watchers[symbol]:
                transport.send(WSMsgType.TEXT, frame)
                self._frames += 1

    async def _run_clock(self) -> None:
        loop = asyncio.get_running_loop()
        interval = 1.0 / self.rate
        due = loop.time()
        while True:
            if not any(c.symbols for c in self._clients):
                self._wake.clear()
                await self._wake.wait()
                due = loop.time()
            due += interval
            delay = due - loop.time()
            if delay > 0:
                await asyncio.sleep(delay)
            elif delay < -0.5:
                # Far behind (a stalled loop): carry on from now, no burst.
                due = loop.time()
            self._tick()


# --- command line -------------------------------------------------------------------------


async def _serve(args: argparse.Namespace) -> int:
    feed = LocalFeed(args.host, args.port, rate=args.rate, tls=args.tls, seed=args.seed)
    await feed.start()
    if args.ca_file:
        feed.write_ca_file(args.ca_file)
    print(feed.url, flush=True)
    if args.tls and not args.ca_file:
        print("note: clients cannot verify the certificate without --ca-file", file=sys.stderr)
    hint = f" --ca-file {args.ca_file}" if args.ca_file else ""
    print(f"try: python -m vornticker watch --feed '{feed.url}'{hint} AAPL BTC-USD", file=sys.stderr)

    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    try:
        await stop.wait()
    finally:
        await feed.stop()
        stats = feed.stats
        print(
            f"served {stats.quotes} quotes ({stats.frames_sent} frames) to {stats.connections} connections",
            file=sys.stderr,
        )
    return 0


def _positive_rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or math.isinf(value):
        raise argparse.ArgumentTypeError("the rate must be a positive number")
    return value


def main(argv: Iterable[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m vornticker.feed",
        description="Serve random-walk quotes over a local websocket, for vornticker clients.",
    )
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default %(default)s)")
    parser.add_argument("--port", type=int, default=8765, help="port, 0 for any free one (default %(default)s)")
    parser.add_argument(
        "--rate",
        type=_positive_rate,
        default=5.0,
        metavar="QUOTES_PER_S",
        help="quotes per second for each subscribed symbol (default %(default)s)",
    )
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--tls", dest="tls", action="store_true", default=True, help="serve wss:// (default)")
    mode.add_argument("--plain", dest="tls", action="store_false", help="serve ws:// without TLS")
    parser.add_argument("--ca-file", metavar="PATH", help="write the CA certificate that clients should trust here")
    parser.add_argument("--seed", type=int, help="fix the random walks")
    parser.add_argument("-v", "--verbose", action="store_true", help="log connections and control messages")
    args = parser.parse_args(None if argv is None else list(argv))
    if args.ca_file and not args.tls:
        parser.error("--ca-file needs --tls")
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.WARNING, format="%(name)s: %(message)s")
    return asyncio.run(_serve(args))


if __name__ == "__main__":
    sys.exit(main())
