"""Streaming market-quote client for asyncio programs, with a C++ core."""

from .typedefs import ErrorCallback, MessageCallback, Quote, StatusCallback
from .vornticker import VornListener, VornTicker, decode_frame, decode_pricing_data

__all__ = [
    "ErrorCallback",
    "MessageCallback",
    "Quote",
    "StatusCallback",
    "VornListener",
    "VornTicker",
    "decode_frame",
    "decode_pricing_data",
]
