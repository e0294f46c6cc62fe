"""An application process for tests/test_stream.py: asyncio.run(main()) with
a stream to the endpoint given on the command line. One line each, in order:

    EXTENSION <path>          the extension module loaded
    ENTERED signals=<same|changed>
    QUOTE <id> <time>         each quote; the first makes it switch from AAPL to ETH-USD
    SWITCHED                  subscribe and unsubscribe returned
    AFTER tasks=<n> signals=<same|changed>   code after the block ran
    KEYBOARDINTERRUPT         asyncio.run raised it; exit status 3

It leaves the block at a quote of the symbol STOP. "signals" compares the
SIGINT and SIGTERM handlers with those in place before the stream.
"""

import argparse
import asyncio
import signal
import ssl
import sys

import vornticker
from vornticker import vornticker as vt


def out(*parts):
    print(*parts, flush=True)


def handlers():
    return signal.getsignal(signal.SIGINT), signal.getsignal(signal.SIGTERM)


async def main(args):
    before = handlers()
    context = ssl.create_default_context(cafile=args.cafile)
    async with vornticker.stream(["AAPL"], url=args.url, ssl_context=context) as quotes:
        out("ENTERED", f"signals={'same' if handlers() == before else 'changed'}")
        async for quote in quotes:
            out("QUOTE", quote["id"], quote["time"])
            if quote["id"] == "AAPL":
                await quotes.subscribe(["ETH-USD"])
                await quotes.unsubscribe(["AAPL"])
                out("SWITCHED")
            elif quote["id"] == "STOP":
                break
    others = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
    out("AFTER", f"tasks={len(others)}", f"signals={'same' if handlers() == before else 'changed'}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--url", required=True)
    parser.add_argument("--cafile", required=True)
    parser.add_argument("--ignore-sigint", action="store_true")
    args = parser.parse_args()
    if args.ignore_sigint:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    out("EXTENSION", vt.__file__)
    try:
        asyncio.run(main(args))
    except KeyboardInterrupt:
        out("KEYBOARDINTERRUPT")
        sys.exit(3)
