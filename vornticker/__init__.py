"""Streaming market-quote client for asyncio programs, with a C++ core."""

from importlib import metadata as _metadata

from .vornticker import VornListener, VornTicker, decode_frame, decode_pricing_data

try:
    __version__ = _metadata.version("vornticker")
except _metadata.PackageNotFoundError:  # a source tree that was never installed
    __version__ = "0+unknown"

__all__ = ["VornListener", "VornTicker", "decode_frame", "decode_pricing_data"]
