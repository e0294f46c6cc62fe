"""The types an application's code meets: a quote, and the ticker's callbacks.

``Quote`` describes the ``dict`` the ticker hands over for each quote.  At run
time it is a plain ``dict`` with one key per field present on the wire; no key
is guaranteed, so read with ``quote.get("price")`` unless the service is known
to send a field.  Single-precision fields arrive as the exact double of the
float that was sent.

A callback is called with one argument and the coroutine it returns is
scheduled as a task, so a callback is a coroutine function (``async def``).
"""

from __future__ import annotations

from collections.abc import Callable, Coroutine
from typing import Any, TypeAlias, TypedDict

__all__ = ["ErrorCallback", "MessageCallback", "Quote", "StatusCallback"]


class Quote(TypedDict, total=False):
    """One decoded PricingData message: a field present on the wire is a key."""

    id: str
    price: float
    time: int
    currency: str
    exchange: str
    quoteType: int
    marketHours: int
    changePercent: float
    dayVolume: int
    dayHigh: float
    dayLow: float
    change: float
    shortName: str
    expireDate: int
    openPrice: float
    previousClose: float
    strikePrice: float
    underlyingSymbol: str
    openInterest: int
    optionsType: int
    miniOption: int
    lastSize: int
    bid: float
    bidSize: int
    ask: float
    askSize: int
    priceHint: int
    vol_24hr: int
    volAllCurrencies: int
    fromcurrency: str
    lastMarket: str
    circulatingSupply: float
    marketcap: float
    components: str
    indices: list[str]
    cmcRank: int
    underlyingShortname: str
    fiftyTwoWeekChange: float
    fiftyTwoWeekChangePercent: float
    latestAmountRaised: float
    latestFundingDate: int
    latestShareClass: str
    latestImpliedValuation: float
    ytdReturn: float
    qtdReturn: float
    fullDayChange: float
    fullDayChangePercent: float


# Called with each decoded quote.
MessageCallback: TypeAlias = Callable[[Quote], Coroutine[Any, Any, object]]
# Called with the exception object that describes a bad frame.
ErrorCallback: TypeAlias = Callable[[Exception], Coroutine[Any, Any, object]]
# Called with "Socket opened." or "Socket closed.".
StatusCallback: TypeAlias = Callable[[str], Coroutine[Any, Any, object]]
