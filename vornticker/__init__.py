"""Streaming market-quote client for asyncio programs, with a C++ core."""

from .vornticker import VornListener, VornTicker, decode_frame, decode_pricing_data

__all__ = ["VornListener", "VornTicker", "decode_frame", "decode_pricing_data"]
