"""Random-walk quotes for any symbol, the source that paces them out to a feed,
and LocalFeed, the feed server that serves them.

The symbol's shape decides the instrument: ``^GSPC`` an index, ``BTC-USD`` a
coin, ``EURUSD=X`` or ``JPY=X`` a currency pair, ``AAPL250117C00150000`` an
option (root, expiry YYMMDD, C or P, strike in thousandths), anything else an
equity. A symbol starts at the same price every run; the walk itself follows
the seed.
"""

from __future__ import annotations

import asyncio
import collections
import dataclasses
import datetime as dt
import enum
import math
import os
import random
import re
import time
import zlib
from typing import Final

from .encoder import encode_frame, f32
from .server import FeedServer, Publisher
from .tls import TlsBackend

__all__ = ["Kind", "LocalFeed", "Market", "MarketHours", "MarketSource", "OptionType", "QuoteType", "instrument_kind"]

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


# Frames made between two yields to the event loop.
BATCH: Final = 256


class MarketSource:
    """Feeds a server from a Market: every 1/rate seconds, one quote of each
    symbol some client watches, the same quote for every client watching it.

    Quotes are made only for watched symbols, so a walk stands still while
    nobody looks at it. record keeps the last `record` quotes in .sent.
    """

    def __init__(self, rate: float, seed: int | None = None, record: int = 0) -> None:
        if not rate > 0 or math.isinf(rate):
            raise ValueError(f"rate must be a positive number of quotes per second, got {rate}")
        self.rate = rate
        self.market = Market(seed)
        self.sent: collections.deque[dict[str, object]] = collections.deque(maxlen=record)

    async def run(self, out: Publisher) -> None:
        loop = asyncio.get_running_loop()
        interval = 1.0 / self.rate
        due = loop.time()
        while True:
            if not out.watched():
                await out.wait_watched()
                due = loop.time()
            due += interval
            delay = due - loop.time()
            if delay < -0.5:
                # Far behind (a stalled loop, or more than the machine can
                # make): carry on from now, no burst.
                due = loop.time()
            # Even when behind, so that the loop's other work (clients,
            # signals, the program it runs in) goes on.
            await asyncio.sleep(max(delay, 0.0))
            for n, symbol in enumerate(sorted(out.watched()), 1):
                quote = self.market.tick(symbol)
                self.sent.append(quote)
                out.publish(symbol, encode_frame(quote))
                if n % BATCH == 0:
                    await asyncio.sleep(0)


class LocalFeed(FeedServer):
    """A feed of random-walk quotes on a local port.

    rate: quotes per second per subscribed symbol; every client watching a
    symbol sees the same quote (one market, not one per client). seed: fixes
    the random walks. record: keep the last `record` quotes made in .sent,
    for checking. The rest as for FeedServer.

    Embedding it::

        async with LocalFeed(rate=5) as feed:
            with use_endpoint(feed.url, feed.client_ssl_context()):
                ...
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
        tls_dir: str | os.PathLike[str] | None = None,
    ) -> None:
        market = MarketSource(rate, seed, record)
        super().__init__(market, host, port, tls=tls, tls_backend=tls_backend, tls_dir=tls_dir)
        self.rate = rate
        self.market: Market = market.market
        self.sent: collections.deque[dict[str, object]] = market.sent
