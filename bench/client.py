"""One benchmark client, in a process of its own, against bench/server.py.

    python bench/client.py CONTENDER --url URL [--ca CA.pem] [--cpu C]
        (--raw PATH | --memory --burst B --sample-every S --warmup W [--tracemalloc])

Contenders, each with the same coroutine callback, scheduled with the loop's
create_task once per quote, never awaited (except stream, where the loop body
is the consumer):
  vornticker  VornTicker pointed at the server with vornticker.endpoint.use_endpoint
  stream      `async for quote in vornticker.stream(...)`, recording in the loop
              body: the iterator takes the place of the task per quote
  stream-batches  `async for batch in quotes.batches()`, recording each quote
  stream-columns  `async for cols in quotes.columns()`, reading each step's
              time column through pyarrow (the consumer's cost of a table);
              gc.freeze() after importing pyarrow (see run_stream)
  stream-pause  (back-pressure) `stream(..., overflow="pause", maxsize=--maxsize)`
              with a consumer slower than the server: `async for quote` that
              sleeps --slow-ms after every 1,000 quotes; prints the stream's
              stats and whether the quotes came in the server's order
  websockets  the websockets library's asyncio client, `async for message in ws`,
              decoding in Python
  picows-py   a picows WSListener decoding in Python in on_ws_frame
  picows-null (memory baseline) a picows WSListener that does not decode: it
              builds the same dicts from values decoded up front, with
              dict(zip(keys, values)) in C
  discard     (the server's ceiling) a bare asyncio protocol that does the
              websocket handshake and then only counts bytes until the END
              frame: no frame parsing, no decoding. Its rate is what the
              server and the socket (and TLS) deliver at most.

"Decoding in Python" is bench_decode.python_orjson: orjson.loads,
binascii.a2b_base64, the protobuf runtime's FromString (message class built
at run time from the field table in tests/quotes.py), ListFields into a dict.
The repeated field stays the runtime's container there, a little less work
than the list vornticker builds.

The run ends with the server's END frame, which is no quote: every contender
hands it to its error callback, whose task starts after every quote task
scheduled before it, and which closes the connection. The stream leaves its
block once it has seen --n quotes and the END frame.

--loop: default (asyncio's), eager (asyncio's with asyncio.eager_task_factory,
  so a callback runs at once, up to its first suspension, where it is
  scheduled) or uvloop.

--raw: the callback stores its start time and the quote's stamp; at the end
  both arrays (int64, arrivals then stamps) are written to PATH.
--memory: the server sends bursts of B quotes (server.py --burst); the
  callback counts, and at the last quote of each burst asks for the next one
  with a subscribe message (the same symbol each time), so no more than B
  quotes ever wait to be handled. At the end of every S quotes (a multiple of
  B), from W on, when every quote before has been handled, it samples the
  resident set (/proc/self/statm), the traced Python memory (with
  --tracemalloc) and the C allocator's call count (when the LD_PRELOAD
  counter named by VORN_BENCH_MALLOC_COUNTER is loaded).
Prints "RESULT <json>" last.
"""

from __future__ import annotations

import argparse
import asyncio
import ctypes
import json
import os
import ssl
import sys
import time
import tracemalloc
from array import array
from typing import Any

SUBSCRIBE = b'{"subscribe":["BENCH"]}'
_PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes() -> int:
    with open("/proc/self/statm", "rb") as f:
        return int(f.read().split()[1]) * _PAGE


def malloc_counter() -> Any:
    path = os.environ.get("VORN_BENCH_MALLOC_COUNTER")
    if not path:
        return None
    fn = ctypes.CDLL(path).vorn_malloc_count
    fn.restype = ctypes.c_uint64
    fn.argtypes = []
    return fn


class Recorder:
    """The application side: the quote callback and what it records."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.arrivals = array("q")
        self.stamps = array("q")
        self.samples: list[dict[str, int]] = []
        self.count = 0
        self.errors: list[str] = []
        self.finish: Any = None  # set by the contender: ends the connection
        self.more: Any = None  # set by the contender: asks the server for the next burst
        self.mallocs = malloc_counter()
        self.figures: dict[str, object] | None = None  # a contender's own figures (discard, stream-pause)

    def quote_callback(self) -> Any:
        if self.args.memory:
            rec, burst, every, warmup = self, self.args.burst, self.args.sample_every, self.args.warmup

            async def count_quote(q: dict[str, object]) -> None:
                rec.count += 1
                if rec.count % burst == 0:
                    if rec.count % every == 0 and rec.count >= warmup:
                        rec.sample()
                    rec.more()

            return count_quote
        arr_append, st_append, mono = self.arrivals.append, self.stamps.append, time.monotonic_ns

        async def on_quote(q: dict[str, object]) -> None:
            arr_append(mono())
            st_append(q["time"])  # type: ignore[arg-type]

        return on_quote

    def error_callback(self) -> Any:
        async def on_error(err: Exception) -> None:
            self.errors.append(repr(err))
            self.finish()

        return on_error

    def sample(self) -> None:
        s = {"quotes": self.count, "rss": rss_bytes(), "t": time.monotonic_ns()}
        if tracemalloc.is_tracing():
            s["traced"] = tracemalloc.get_traced_memory()[0]
        if self.mallocs is not None:
            s["mallocs"] = self.mallocs()
        self.samples.append(s)

    def result(self) -> dict[str, object]:
        out: dict[str, object] = {"contender": self.args.contender, "errors": self.errors}
        if self.figures is not None:
            return out | self.figures
        if self.args.memory:
            out |= {"quotes": self.count, "samples": self.samples}
        else:
            out["quotes"] = len(self.arrivals)
            with open(self.args.raw, "wb") as f:
                self.arrivals.tofile(f)
                self.stamps.tofile(f)
        return out


def ssl_context(args: argparse.Namespace) -> ssl.SSLContext | None:
    return ssl.create_default_context(cafile=args.ca) if args.url.startswith("wss:") else None


def new_loop(kind: str) -> asyncio.AbstractEventLoop:
    if kind == "uvloop":
        import uvloop

        loop: asyncio.AbstractEventLoop = uvloop.new_event_loop()
    else:
        loop = asyncio.new_event_loop()
    if kind == "eager":
        loop.set_task_factory(asyncio.eager_task_factory)
    return loop


def run_main(args: argparse.Namespace, main: Any) -> None:
    with asyncio.Runner(loop_factory=lambda: new_loop(args.loop)) as runner:
        runner.run(main())


def python_decoder() -> Any:
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from bench_decode import python_orjson

    return python_orjson


# --- contenders ------------------------------------------------------------------------


def run_vornticker(args: argparse.Namespace, rec: Recorder) -> None:
    from vornticker import VornTicker
    from vornticker.endpoint import use_endpoint

    loop = new_loop(args.loop)
    asyncio.set_event_loop(loop)
    ticker = VornTicker(loop)
    rec.finish = ticker.close_websocket
    rec.more = lambda: loop.create_task(ticker.subscribe(["BENCH"]))

    async def quiet(text: str) -> None:
        pass

    async def subscribe() -> None:
        await ticker.subscribe(["BENCH"])

    with use_endpoint(args.url, ssl_context(args)):
        ticker.start_websocket(rec.quote_callback(), rec.error_callback(), quiet, quiet)
        loop.create_task(subscribe())
        loop.run_forever()  # the ticker stops the loop once closed
    loop.close()


def run_stream(args: argparse.Namespace, rec: Recorder) -> None:
    import vornticker

    form = args.contender.removeprefix("stream").removeprefix("-") or "quotes"
    if form == "columns":
        import gc

        import pyarrow as pa  # before the stream: importing takes a while

        pa.table({"t": pa.array([0], pa.timestamp("ms"))}).column("t").cast(pa.int64())  # its lazy imports too
        # pyarrow brings some 55,000 objects (functions, mostly) that every
        # full collection would walk, 40 ms and more each on this machine:
        # the application's heap, not the stream's. Latency-minded programs
        # move such import-time objects out of the collector's way.
        gc.freeze()

    async def main() -> None:
        # Room for the whole run, as the other contenders' pending tasks have:
        # a blast can bring in tens of thousands of frames in one loop turn.
        n = args.n
        if form == "pause":
            await stream_paused(args, rec, vornticker)
            return
        async with vornticker.stream(["BENCH"], url=args.url, ssl_context=ssl_context(args), maxsize=n) as quotes:
            arrivals, stamps, mono = rec.arrivals, rec.stamps, time.monotonic_ns
            if args.memory:
                await stream_memory(args, rec, quotes, form)
            elif form == "quotes":
                arr_append, st_append = arrivals.append, stamps.append
                async for quote in quotes:
                    arr_append(mono())
                    st_append(quote["time"])
                    if len(arrivals) == n:
                        break
            elif form == "batches":
                async for batch in quotes.batches(args.max_quotes):
                    arrivals.extend(array("q", [mono()]) * len(batch))
                    stamps.extend([q["time"] for q in batch])
                    if len(arrivals) >= n:
                        break
            else:
                int64 = pa.int64()
                async for cols in quotes.columns():
                    t = mono()
                    for chunk in pa.table(cols).column("time").cast(int64).chunks:
                        arrivals.extend(array("q", [t]) * len(chunk))
                        stamps.frombytes(chunk.buffers()[1].to_pybytes()[chunk.offset * 8 : (chunk.offset + len(chunk)) * 8])
                    if len(arrivals) >= n:
                        break
            # Like the other contenders, hang up after the END frame (here: once
            # the stream has counted it as a bad frame), not before it is sent.
            while quotes.stats.errors == 0:
                await asyncio.sleep(0.001)
            rec.errors.append(repr(quotes.stats.last_error))

    run_main(args, main)


async def stream_paused(args: argparse.Namespace, rec: Recorder, vornticker: Any) -> None:
    """stream-pause: a bounded buffer that pauses reading, and a consumer
    slower than the server; nothing may be lost, nothing reordered."""
    n, slow = args.n, args.slow_ms / 1000
    last, out_of_order = -1, 0
    t0 = time.monotonic()
    async with vornticker.stream(
        ["BENCH"], url=args.url, ssl_context=ssl_context(args), maxsize=args.maxsize, overflow="pause"
    ) as quotes:
        async for quote in quotes:
            rec.count += 1
            stamp = quote["time"]
            out_of_order += stamp < last
            last = stamp
            if rec.count % 1000 == 0:
                await asyncio.sleep(slow)
            if rec.count == n:
                break
        seconds = time.monotonic() - t0
        while quotes.stats.errors == 0:  # the END frame
            await asyncio.sleep(0.001)
        st = quotes.stats
    rec.figures = {
        "quotes": rec.count, "seconds": seconds, "received": st.received, "dropped": st.dropped,
        "paused_s": st.paused_s, "reconnects": st.reconnects, "out_of_order": out_of_order,
    }  # fmt: skip


async def stream_memory(args: argparse.Namespace, rec: Recorder, quotes: Any, form: str) -> None:
    """--memory for the stream's forms: count, and at the end of each burst
    (nothing waiting then) sample when due and ask for the next one."""
    burst, every, warmup = args.burst, args.sample_every, args.warmup
    source = quotes if form == "quotes" else quotes.batches() if form == "batches" else quotes.columns()
    async for item in source:
        rec.count += 1 if form == "quotes" else len(item) if form == "batches" else item.num_rows
        del item
        if rec.count % burst == 0:
            if rec.count % every == 0 and rec.count >= warmup:
                rec.sample()
            if rec.count >= args.n:
                break
            await quotes.subscribe(["BENCH"])


def run_discard(args: argparse.Namespace, rec: Recorder) -> None:
    import base64
    import urllib.parse

    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import frames

    url = urllib.parse.urlsplit(args.url)
    end = frames.ws_header(len(frames.END_PAYLOAD)) + frames.END_PAYLOAD
    # A client's frames are masked; an all-zero mask leaves the payload as it is.
    subscribe = bytes([0x81, 0x80 | len(SUBSCRIBE)]) + b"\0\0\0\0" + SUBSCRIBE
    close = b"\x88\x82\0\0\0\0\x03\xe8"

    async def main() -> None:
        loop = asyncio.get_running_loop()
        done: asyncio.Future[None] = loop.create_future()
        buf = bytearray(1 << 18)
        view = memoryview(buf)
        # (time, bytes so far) at every read; the rate is taken after the first
        # tenth of the bytes, as the other contenders' after their first tenth.
        reads: list[tuple[int, int]] = []
        state: dict[str, Any] = {"up": False, "head": b"", "bytes": 0, "tail": b""}

        class Discard(asyncio.BufferedProtocol):
            def connection_made(self, transport: Any) -> None:
                self.transport = transport
                key = base64.b64encode(os.urandom(16))
                transport.write(
                    b"GET " + (url.path or "/").encode() + b"?" + url.query.encode() + b" HTTP/1.1\r\nHost: "
                    + url.netloc.encode() + b"\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    b"Sec-WebSocket-Key: " + key + b"\r\nSec-WebSocket-Version: 13\r\n\r\n"
                )

            def get_buffer(self, sizehint: int) -> memoryview:
                return view

            def buffer_updated(self, nbytes: int) -> None:
                data = view[:nbytes]
                if not state["up"]:
                    head = state["head"] + bytes(data)
                    at = head.find(b"\r\n\r\n")
                    if at < 0:
                        state["head"] = head
                        return
                    state["up"] = True
                    self.transport.write(subscribe)
                    data = memoryview(head[at + 4 :])
                if not len(data):
                    return
                state["bytes"] += len(data)
                reads.append((time.monotonic_ns(), state["bytes"]))
                tail = state["tail"] + bytes(data[-len(end) :])
                state["tail"] = tail[-len(end) :]
                if state["tail"] == end and not done.done():
                    self.transport.write(close)
                    done.set_result(None)

            def connection_lost(self, exc: Exception | None) -> None:
                if not done.done():
                    done.set_result(None)

        ctx = ssl_context(args)
        transport, _ = await loop.create_connection(
            Discard, url.hostname, url.port, ssl=ctx, server_hostname=url.hostname if ctx else None
        )
        await done
        await asyncio.sleep(0.05)
        transport.close()
        total = state["bytes"]
        t0, b0 = next(r for r in reads if r[1] >= total // 10)
        t1 = reads[-1][0]
        span = (t1 - t0) / 1e9
        frames_after = args.n * (total - b0) / total
        rec.figures = {"quotes": args.n, "bytes": total, "seconds": span,
                       "rate": frames_after / span if span > 0 else float("nan")}

    run_main(args, main)


def run_websockets(args: argparse.Namespace, rec: Recorder) -> None:
    from websockets.asyncio.client import connect

    decode = python_decoder()
    on_quote, on_error = rec.quote_callback(), rec.error_callback()

    async def main() -> None:
        loop = asyncio.get_running_loop()
        create_task = loop.create_task
        async with connect(args.url, ssl=ssl_context(args)) as ws:
            rec.finish = lambda: create_task(ws.close())
            rec.more = lambda: create_task(ws.send(SUBSCRIBE.decode()))
            await ws.send(SUBSCRIBE.decode())
            async for message in ws:
                try:
                    quote = decode(message)
                except Exception as e:
                    create_task(on_error(e))
                else:
                    create_task(on_quote(quote))

    run_main(args, main)


def run_picows(args: argparse.Namespace, rec: Recorder, null: bool) -> None:
    from picows import WSListener, WSMsgType, ws_connect

    on_quote, on_error = rec.quote_callback(), rec.error_callback()
    TEXT, CLOSE = WSMsgType.TEXT, WSMsgType.CLOSE

    async def main() -> None:
        create_task = asyncio.get_running_loop().create_task
        if null:
            sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
            import frames
            from vornticker.vornticker import decode_frame

            # The server sends its pool in order; so does this list.
            pool = [tuple(zip(*decode_frame(p).items())) for p in frames.plain_payloads(1024)]
            turn = [0]

            def handle(payload: bytes) -> None:
                i = turn[0]
                turn[0] = (i + 1) % len(pool)
                if payload[2:6] == b"type" and payload[9:12] == b"end":
                    create_task(on_error(ValueError("end")))
                    return
                keys, values = pool[i]
                create_task(on_quote(dict(zip(keys, values))))
        else:
            decode = python_decoder()

            def handle(payload: bytes) -> None:
                try:
                    quote = decode(payload)
                except Exception as e:
                    create_task(on_error(e))
                else:
                    create_task(on_quote(quote))

        class Listener(WSListener):  # type: ignore[misc]
            def on_ws_connected(self, transport: Any) -> None:
                transport.send(TEXT, SUBSCRIBE)

            def on_ws_frame(self, transport: Any, frame: Any) -> None:
                if frame.msg_type == TEXT:
                    handle(frame.get_payload_as_bytes())
                elif frame.msg_type == CLOSE:
                    transport.disconnect()

        transport, _ = await ws_connect(
            Listener, args.url, ssl_context=ssl_context(args),
            enable_auto_ping=True, auto_ping_idle_timeout=3, auto_ping_reply_timeout=2,
        )

        def finish() -> None:
            transport.send_close()
            transport.disconnect()

        rec.finish = finish
        rec.more = lambda: transport.send(TEXT, SUBSCRIBE)
        await transport.wait_disconnected()

    run_main(args, main)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument(
        "contender",
        choices=("vornticker", "stream", "stream-batches", "stream-columns", "stream-pause", "websockets",
                 "picows-py", "picows-null", "discard"),
    )
    ap.add_argument("--loop", choices=("default", "eager", "uvloop"), default="default")
    ap.add_argument("--url", required=True)
    ap.add_argument("--ca", help="CA file for wss://")
    ap.add_argument("--cpu", type=int, help="pin the process to this CPU")
    ap.add_argument("--n", type=int, default=0, help="quotes the server sends (memory: for the sampling points)")
    ap.add_argument("--raw", help="write arrival times and stamps here")
    ap.add_argument("--memory", action="store_true")
    ap.add_argument("--burst", type=int, default=1000, help="memory: quotes per burst")
    ap.add_argument("--sample-every", type=int, default=100_000, help="memory: quotes between samples")
    ap.add_argument("--warmup", type=int, default=0, help="memory: quotes before the first sample")
    ap.add_argument("--tracemalloc", action="store_true")
    ap.add_argument("--max-quotes", type=int, help="stream-batches: batches(max_quotes=...) (default: everything waiting)")
    ap.add_argument("--maxsize", type=int, default=10_000, help="stream-pause: the stream's buffer")
    ap.add_argument("--slow-ms", type=float, default=2.0, help="stream-pause: sleep after every 1,000 quotes")
    args = ap.parse_args()
    if args.cpu is not None:
        os.sched_setaffinity(0, {args.cpu})
    if args.tracemalloc:
        tracemalloc.start()
    rec = Recorder(args)
    if args.contender == "vornticker":
        run_vornticker(args, rec)
    elif args.contender.startswith("stream"):
        run_stream(args, rec)
    elif args.contender == "discard":
        run_discard(args, rec)
    elif args.contender == "websockets":
        run_websockets(args, rec)
    else:
        run_picows(args, rec, null=args.contender == "picows-null")
    print("RESULT", json.dumps(rec.result()), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
