"""Streaming market-quote client for asyncio programs, with a C++ core."""

# The extension first: where it cannot load (a second interpreter, say), its
# own error is the one to see.
from .vornticker import VornListener, VornTicker, decode_frame, decode_pricing_data  # isort: skip
from .stream import QuoteStream, StreamStats, stream
from .typedefs import ErrorCallback, MessageCallback, Quote, StatusCallback

__all__ = [
    "ErrorCallback",
    "MessageCallback",
    "Quote",
    "QuoteStream",
    "StatusCallback",
    "StreamStats",
    "VornListener",
    "VornTicker",
    "decode_frame",
    "decode_pricing_data",
    "stream",
]
