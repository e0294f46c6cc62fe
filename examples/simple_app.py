"""A small vornticker application.

It starts a local quote feed in this process, points a ticker at it,
subscribes to three symbols, drops one of them after a while, measures the
connection's round-trip time and then closes the ticker, which shuts down
in order and stops the event loop. Ctrl-C takes the same orderly way out,
through the ticker's own signal handling.

    python examples/simple_app.py
"""

from __future__ import annotations

import asyncio
import sys
from collections import Counter

from vornticker import Quote, VornTicker
from vornticker.endpoint import use_endpoint
from vornticker.feed import LocalFeed


class App:
    def __init__(self, ticker: VornTicker) -> None:
        self.ticker = ticker
        self.counts: Counter[str] = Counter()
        self.errors = 0

    async def on_quote(self, quote: Quote) -> None:
        symbol, price = quote.get("id"), quote.get("price")
        if isinstance(symbol, str) and isinstance(price, float):
            self.counts[symbol] += 1
            print(f"{symbol:>10} {price:12.4f}")

    async def on_error(self, error: Exception) -> None:
        self.errors += 1
        print(f"bad frame: {error!r}", file=sys.stderr)

    async def on_open(self, message: str) -> None:
        print(f"-- {message}")

    async def on_close(self, message: str) -> None:
        print(f"-- {message}")

    async def run(self) -> None:
        await self.ticker.subscribe(["AAPL", "BTC-USD", "EURUSD=X"])
        await self.ticker.IS_CONNECTED.wait()
        await asyncio.sleep(1.5)

        await self.ticker.unsubscribe(["EURUSD=X"])
        rtts = await self.ticker.check_round_trip_time(3)
        print(f"-- round trip: {', '.join(f'{t * 1e3:.2f} ms' for t in rtts)}")
        await asyncio.sleep(1.0)

        # Ends the session: the ticker closes the connection, cancels the
        # loop's other tasks (this one included) and stops the loop.
        self.ticker.close_websocket()


def main() -> int:
    loop = asyncio.new_event_loop()
    feed = LocalFeed(rate=4)
    interrupted = False
    try:
        loop.run_until_complete(feed.start())
        with use_endpoint(feed.url, feed.client_ssl_context()):
            ticker = VornTicker(loop)  # installs its SIGINT/SIGTERM handlers on the loop
            app = App(ticker)
            ticker.start_websocket(app.on_quote, app.on_error, app.on_open, app.on_close)
            loop.create_task(app.run())
            loop.run_forever()  # until the ticker's shutdown stops the loop
        # After a Ctrl-C the ticker re-raises it once the loop runs again.
        loop.run_until_complete(asyncio.sleep(0))
    except KeyboardInterrupt:
        interrupted = True
    finally:
        loop.run_until_complete(feed.stop())
        loop.run_until_complete(loop.shutdown_default_executor())
        loop.close()
    print(f"-- quotes per symbol: {dict(app.counts)}, {app.errors} errors")
    return 130 if interrupted else 0


if __name__ == "__main__":
    sys.exit(main())
