"""An application process for tests/test_signals.py.

It runs a ticker against the endpoint given on the command line the way
applications do: loop.run_forever(), then, once something stops the loop,
loop.run_until_complete(loop.shutdown_asyncgens()) to tidy up. Everything
the tests look at goes to stdout, one line each, in the order it happened:

    EXTENSION <path>             the extension module loaded
    ATTEMPT                      the ticker calls its connect function
    READY Socket opened.         the open callback ran (connected)
    ONSIGNAL <n>                 the loop delivered signal n to the ticker
    LOG <LEVEL> <text>           a line of the ticker's logger
    STOPPED reconnect=<how> stop_event=<0|1>
    HANDLERS loop=<names> SIGINT=<what> SIGTERM=<what>
    HANDLER <n> <frame>          the application's own handler was called
    KEYBOARDINTERRUPT            then exit status 3
    TIDIED SIGINT=<what> SIGTERM=<what>

Handlers are described as app, loop, default_int_handler, SIG_DFL, SIG_IGN.
"""

import argparse
import asyncio
import logging
import signal
import ssl
import sys
import threading

from vornticker import _testsupport as ts
from vornticker import vornticker as vt
from vornticker.endpoint import use_endpoint

SIGNALS = (signal.SIGINT, signal.SIGTERM)
loop_handler = None


def out(*parts):
    print(*parts, flush=True)


def app_handler(signum, frame):
    out("HANDLER", signum, "None" if frame is None else "frame")


def describe(handler):
    if handler is app_handler:
        return "app"
    if loop_handler is not None and handler is loop_handler:
        return "loop"
    if handler is signal.default_int_handler:
        return "default_int_handler"
    for name in ("SIG_DFL", "SIG_IGN"):
        if handler == getattr(signal, name):
            return name
    return repr(handler)


def handlers():
    return [f"{sig.name}={describe(signal.getsignal(sig))}" for sig in SIGNALS]


class Ticker(vt.VornTicker):
    # Shows every delivery, repeats included, before the ticker filters them.
    def _on_signal(self, signum):
        out("ONSIGNAL", signum)
        return super()._on_signal(signum)


def make_ticker(loop, args):
    global loop_handler
    before = signal.getsignal(signal.SIGINT)
    ticker = Ticker(loop)
    # What the loop put in place, if it could.
    after = signal.getsignal(signal.SIGINT)
    loop_handler = after if after is not before else None
    if args.stuck:
        # The service never answers the upgrade: nothing may end the attempt
        # but the shutdown.
        ticker.connect_timeout = ticker.handshake_timeout = 600.0

    async def opened(text):
        out("READY", text)
        if args.app_stop:
            await ticker.stop_signal_handler()
            out("APP-STOP-RETURNED")

    ticker.start_websocket(open_callback=opened)
    return ticker


def run_application(args):
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    ticker = make_ticker(loop, args)
    try:
        loop.run_forever()
        task = ts.get_field(ticker, "_ticker_task")
        how = "cancelled" if task.cancelled() else "returned" if task.done() and task.exception() is None else "other"
        out("STOPPED", f"reconnect={how}", f"stop_event={int(ts.get_field(ticker, '_stop_event').is_set())}")
        names = ",".join(signal.Signals(s).name for s in sorted(loop._signal_handlers))
        out("HANDLERS", f"loop={names}", *handlers())
        loop.run_until_complete(loop.shutdown_asyncgens())
    except KeyboardInterrupt:
        out("KEYBOARDINTERRUPT")
        sys.exit(3)
    out("TIDIED", *handlers())


def run_in_thread(args):
    # A loop that lives in another thread cannot take signal handlers.
    def body():
        loop = asyncio.new_event_loop()
        ticker = make_ticker(loop, args)
        prev = ts.get_field(ticker, "_prev_handlers")
        out("PREV", *(f"{sig.name}={describe(prev.get(int(sig), 'missing'))}" for sig in SIGNALS))
        loop.run_forever()

    thread = threading.Thread(target=body)
    thread.start()
    thread.join()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--url", required=True)
    parser.add_argument("--cafile", required=True)
    parser.add_argument("--prev", choices=["default", "app", "ignore"], default="default")
    parser.add_argument("--stuck", action="store_true")
    parser.add_argument("--app-stop", action="store_true")
    parser.add_argument("--thread", action="store_true")
    args = parser.parse_args()
    out("EXTENSION", vt.__file__)

    logger = logging.getLogger("vornticker.vornticker")
    to_stdout = logging.StreamHandler(sys.stdout)
    to_stdout.setFormatter(logging.Formatter("LOG %(levelname)s %(message)s"))
    logger.addHandler(to_stdout)
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    # Anything else (asyncio's reports among them) goes to stderr.
    logging.basicConfig(stream=sys.stderr, level=logging.WARNING)

    # The interpreter's usual state unless asked otherwise; a parent started
    # in the background may have handed down SIGINT ignored.
    previous = {
        "default": {signal.SIGINT: signal.default_int_handler, signal.SIGTERM: signal.SIG_DFL},
        "app": dict.fromkeys(SIGNALS, app_handler),
        "ignore": dict.fromkeys(SIGNALS, signal.SIG_IGN),
    }[args.prev]
    for sig, handler in previous.items():
        signal.signal(sig, handler)

    with use_endpoint(args.url, ssl.create_default_context(cafile=args.cafile)) as connector:

        def announcing(*a, **kw):
            out("ATTEMPT")
            return connector(*a, **kw)

        vt.ws_connect = announcing
        try:
            (run_in_thread if args.thread else run_application)(args)
        finally:
            vt.ws_connect = connector


if __name__ == "__main__":
    main()
