"""Streaming market-quote client for asyncio programs, with a C++ core."""

from .vornticker import QuoteColumns, VornListener, VornTicker, decode_columns, decode_frame, decode_pricing_data

__all__ = [
    "QuoteColumns",
    "VornListener",
    "VornTicker",
    "decode_columns",
    "decode_frame",
    "decode_pricing_data",
]
