"""A small application on vornticker.stream, run the way asyncio programs are.

It starts a local quote feed in this process, streams three symbols from
it, swaps one for another after a while, measures the connection's round
trip, and leaves the block, which closes the connection; the feed stops
after it. Ctrl-C cancels main() like any asyncio program's: the stream and
the feed close on the way out, and asyncio.run raises KeyboardInterrupt.

    python examples/stream_app.py
"""

from __future__ import annotations

import asyncio
import sys
from collections import Counter

import vornticker
from vornticker.feed import LocalFeed


async def main() -> Counter[str]:
    counts: Counter[str] = Counter()
    async with LocalFeed(rate=4) as feed:
        async with vornticker.stream(
            ["AAPL", "BTC-USD", "EURUSD=X"], url=feed.url, ssl_context=feed.client_ssl_context()
        ) as quotes:
            await quotes.wait_connected(timeout=10)
            loop = asyncio.get_running_loop()
            swap_at, end_at = loop.time() + 1.5, loop.time() + 2.5
            async for quote in quotes:
                symbol, price = quote.get("id"), quote.get("price")
                if symbol is not None and price is not None:
                    counts[symbol] += 1
                    print(f"{symbol:>10} {price:12.4f}")
                if swap_at and loop.time() >= swap_at:
                    swap_at = 0.0
                    await quotes.unsubscribe(["EURUSD=X"])
                    await quotes.subscribe(["ETH-USD"])
                    rtts = await quotes.round_trip_time(3)
                    print(f"-- round trip: {', '.join(f'{t * 1e3:.2f} ms' for t in rtts)}")
                if loop.time() >= end_at:
                    break
            stats = quotes.stats
        print(f"-- {stats.delivered} quotes, {stats.dropped} dropped, {stats.errors} bad frames")
    return counts


if __name__ == "__main__":
    try:
        counts = asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(130)
    print(f"-- quotes per symbol: {dict(counts)}")
