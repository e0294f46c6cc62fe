"""Streaming market-quote client for asyncio programs, with a C++ core."""

from importlib import metadata as _metadata

# The extension first: where it cannot load (a second interpreter, say), its
# own error is the one to see.
from .vornticker import (  # isort: skip
    QuoteColumns,
    VornListener,
    VornTicker,
    decode_columns,
    decode_frame,
    decode_pricing_data,
)
from .stream import QuoteStream, StreamStats, stream
from .typedefs import ErrorCallback, MessageCallback, Quote, StatusCallback

try:
    __version__ = _metadata.version("vornticker")
except _metadata.PackageNotFoundError:  # a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "ErrorCallback",
    "MessageCallback",
    "Quote",
    "QuoteColumns",
    "QuoteStream",
    "StatusCallback",
    "StreamStats",
    "VornListener",
    "VornTicker",
    "decode_columns",
    "decode_frame",
    "decode_pricing_data",
    "stream",
]
