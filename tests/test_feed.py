"""The local quote feed (vornticker.feed): its protobuf encoder against the
protobuf runtime, its quotes through our decoder, and the server with a raw
websocket client, with a VornTicker, and from the command line."""

import asyncio
import datetime as dt
import logging
import math
import re
import shlex
import signal
import socket
import ssl
import subprocess
import sys

import orjson
import picows
import pytest

import quotes
from children import child_env
from vornticker import cli
from vornticker import feed as vf
from vornticker import vornticker as vt
from vornticker.endpoint import use_endpoint
from vornticker.feed.server import BACKLOG_FRAMES

SYMBOLS = {
    "AAPL": vf.Kind.EQUITY,
    "BRK-B": vf.Kind.EQUITY,
    "^GSPC": vf.Kind.INDEX,
    "BTC-USD": vf.Kind.CRYPTO,
    "DOGE-USD": vf.Kind.CRYPTO,
    "EURUSD=X": vf.Kind.CURRENCY,
    "JPY=X": vf.Kind.CURRENCY,
    "AAPL250117C00150000": vf.Kind.OPTION,
    "SPY261218P00512500": vf.Kind.OPTION,
}


# --- the protobuf runtime as the oracle ------------------------------------------------------


def _every_field_at_an_edge():
    """A quote with all 47 fields and the awkward values of each wire type."""
    q = {}
    for n, name, kind in quotes.FIELDS:
        q[name] = {
            "string": "" if n % 2 else f"Société Générale € {n}",
            "repeated string": ["^GSPC", "", "指数"] * 6,  # more than the decoder keeps
            "float": [0.0, -0.0, math.inf, -1.5, 3.4028234663852886e38, 1e-45][n % 6],
            "double": [-(2.0**1000), 5e-324][n % 2],
            "sint64": [-(2**63), 2**63 - 1, 0, -1, 1][n % 5],
            "int32": [-1, -(2**31)][n % 2],
        }[kind]
    return q


def _generated_quotes():
    market = vf.Market(seed=11)
    return [market.tick(symbol) for symbol in SYMBOLS for _ in range(3)]


def _read_back(msg):
    out = {}
    for field, value in msg.ListFields():
        out[field.name] = list(value) if field.is_repeated else value
    return out


def _as_sent(key, value):
    # What a float field holds after the trip: single precision, except the two doubles.
    if quotes.KIND[key] == "float":
        return vf.f32(value)
    return value


@pytest.mark.parametrize(
    "quote",
    [_every_field_at_an_edge(), *_generated_quotes()],
    ids=lambda q: str(q.get("id") or "every-field"),
)
def test_encoder_agrees_with_the_protobuf_runtime(quote):
    ours = vf.encode_pricing_data(quote)
    # The runtime writes known fields in field-number order, as we do, so the
    # bytes themselves must match, not only their meaning.
    assert ours == quotes.PricingData(**quote).SerializeToString()
    back = _read_back(quotes.PricingData.FromString(ours))
    assert back.keys() == quote.keys()
    for key, value in quote.items():
        assert quotes.same_value(back[key], _as_sent(key, value)), key


def test_the_extension_decodes_what_the_encoder_wrote():
    quote = _every_field_at_an_edge()
    decoded = vt.decode_pricing_data(vf.encode_pricing_data(quote))
    assert decoded.pop("indices") == quote.pop("indices")[:16]  # the decoder keeps sixteen
    assert decoded.keys() == quote.keys()
    for key, value in quote.items():
        assert quotes.same_value(decoded[key], _as_sent(key, value)), key


@pytest.mark.parametrize(
    "quote, error",
    [
        ({"nope": 1}, KeyError),
        ({"quoteType": 2**31}, ValueError),
        ({"time": 2**63}, ValueError),
        ({"dayVolume": True}, TypeError),
        ({"price": "1.0"}, TypeError),
        ({"id": b"AAPL"}, TypeError),
        ({"indices": "^GSPC"}, TypeError),
    ],
)
def test_encoder_refuses_what_the_message_cannot_carry(quote, error):
    with pytest.raises(error):
        vf.encode_pricing_data(quote)


# --- generated quotes ---------------------------------------------------------------------------


@pytest.mark.parametrize("symbol, kind", SYMBOLS.items())
def test_symbol_shape_decides_the_instrument_type(symbol, kind):
    assert vf.instrument_kind(symbol) == kind


@pytest.mark.parametrize("symbol", SYMBOLS)
def test_frames_decode_to_the_quotes_the_feed_made(symbol):
    market = vf.Market(seed=3)
    quotes = [market.tick(symbol) for _ in range(200)]
    for q in quotes:
        frame = vf.encode_frame(q)
        envelope = orjson.loads(frame)
        assert envelope["type"] == "pricing" and isinstance(envelope["message"], str)
        assert vt.decode_frame(frame) == q

    # A random walk that stays a coherent quote.
    volumes = [q.get("dayVolume", 0) for q in quotes]
    assert volumes == sorted(volumes)
    for q in quotes:
        assert q["id"] == symbol
        assert q["dayLow"] <= q["price"] <= q["dayHigh"]
        # Both prices went through single precision: allow a few of its steps.
        slack = 1e-6 * q["previousClose"]
        assert math.isclose(q["change"], q["price"] - q["previousClose"], rel_tol=0, abs_tol=slack)
        assert math.isclose(q["changePercent"], 100 * q["change"] / q["previousClose"], rel_tol=1e-4, abs_tol=1e-6)
        if "bid" in q:
            assert q["bid"] < q["ask"]
            assert q["bid"] <= q["price"] <= q["ask"]
    assert len({q["price"] for q in quotes}) > 10


@pytest.mark.parametrize(
    "symbol, expected",
    [
        (
            "AAPL250117C00150000",
            {
                "quoteType": vf.QuoteType.OPTION,
                "underlyingSymbol": "AAPL",
                "strikePrice": 150.0,
                "expireDate": int(dt.datetime(2025, 1, 17, tzinfo=dt.UTC).timestamp()),
                "optionsType": vf.OptionType.CALL,
            },
        ),
        (
            "SPY261218P00512500",
            {
                "underlyingSymbol": "SPY",
                "strikePrice": 512.5,
                "expireDate": int(dt.datetime(2026, 12, 18, tzinfo=dt.UTC).timestamp()),
                "optionsType": vf.OptionType.PUT,
            },
        ),
        ("BTC-USD", {"quoteType": vf.QuoteType.CRYPTOCURRENCY, "fromcurrency": "BTC", "currency": "USD"}),
        ("EURUSD=X", {"quoteType": vf.QuoteType.CURRENCY, "shortName": "EUR/USD", "currency": "USD"}),
        ("JPY=X", {"shortName": "USD/JPY", "currency": "JPY"}),
        ("^GSPC", {"quoteType": vf.QuoteType.INDEX}),
        ("AAPL", {"quoteType": vf.QuoteType.EQUITY, "currency": "USD"}),
    ],
)
def test_quotes_carry_what_the_symbol_says(symbol, expected):
    q = vf.Market(seed=5).tick(symbol)
    assert {k: q[k] for k in expected} == expected
    if vf.instrument_kind(symbol) == vf.Kind.CRYPTO:
        assert math.isclose(q["marketcap"], q["circulatingSupply"] * q["price"], rel_tol=1e-6)


# --- the server ---------------------------------------------------------------------------------


class RawClient(picows.WSListener):
    def __init__(self):
        super().__init__()
        self.frames = []
        self.arrived = asyncio.Event()

    def on_ws_frame(self, transport, frame):
        if frame.msg_type == picows.WSMsgType.TEXT:
            self.frames.append(frame.get_payload_as_bytes())
            self.arrived.set()

    async def wait_frames(self, n, timeout=10.0):
        async def enough():
            while len(self.frames) < n:
                self.arrived.clear()
                await self.arrived.wait()

        await asyncio.wait_for(enough(), timeout)


def _control(transport, action, symbols):
    transport.send(picows.WSMsgType.TEXT, orjson.dumps({action: symbols}))


@pytest.mark.asyncio
@pytest.mark.parametrize("tls", ["trustme", "cryptography", "plain"])
async def test_server_streams_frames_that_decode_to_the_quotes_it_sent(tls):
    backend = "auto" if tls == "plain" else tls
    async with vf.LocalFeed(rate=200, record=10_000, tls=tls != "plain", tls_backend=backend) as feed:
        assert feed.url.startswith("wss://" if tls != "plain" else "ws://")
        if tls != "plain":
            # The certificate is checked for real: without the feed's CA it is refused.
            with pytest.raises((ssl.SSLError, OSError, picows.WSError)):
                await picows.ws_connect(RawClient, feed.url, ssl_context=ssl.create_default_context())
        transport, client = await picows.ws_connect(RawClient, feed.url, ssl_context=feed.client_ssl_context())
        try:
            _control(transport, "subscribe", ["AAPL", "EURUSD=X"])
            transport.send(picows.WSMsgType.TEXT, b'{"hello": "not a control message"}')
            await client.wait_frames(40)
            decoded = [vt.decode_frame(f) for f in client.frames]
            assert decoded == list(feed.sent)[: len(decoded)]
            assert {q["id"] for q in decoded} == {"AAPL", "EURUSD=X"}
            stats = feed.stats
            assert (stats.connections, stats.clients, stats.control_messages, stats.rejected_messages) == (1, 1, 1, 1)
            assert stats.per_symbol.keys() == {"AAPL", "EURUSD=X"}
            assert feed.subscriptions() == [frozenset({"AAPL", "EURUSD=X"})]
        finally:
            transport.send_close(picows.WSCloseCode.OK)
            await asyncio.wait_for(transport.wait_disconnected(), 5)


@pytest.mark.asyncio
async def test_every_client_gets_the_same_quote_of_a_symbol_both_watch():
    async with vf.LocalFeed(rate=100, tls=False) as feed:
        (t1, c1), (t2, c2) = [await picows.ws_connect(RawClient, feed.url) for _ in range(2)]
        _control(t1, "subscribe", ["AAPL", "MSFT"])
        await c1.wait_frames(4)
        _control(t2, "subscribe", ["AAPL"])
        await c2.wait_frames(10)
        aapl_1 = [f for f in c1.frames if vt.decode_frame(f)["id"] == "AAPL"]
        aapl_2 = [vt.decode_frame(f) for f in c2.frames]
        assert {q["id"] for q in aapl_2} == {"AAPL"}
        # The second client joined later: its quotes are a run of the first's.
        first = [vt.decode_frame(f) for f in aapl_1]
        start = first.index(aapl_2[0])
        n = min(len(first) - start, len(aapl_2))
        assert n > 3 and first[start : start + n] == aapl_2[:n]
        for t in (t1, t2):
            t.disconnect()
        for t in (t1, t2):
            await asyncio.wait_for(t.wait_disconnected(), 5)


def test_ticker_unsubscribe_stops_a_symbols_quotes(loop):
    """Through a real VornTicker: after unsubscribe the feed stops making
    quotes of the symbol, and every one it did send was delivered."""
    feed = vf.LocalFeed(rate=100)
    loop.run_until_complete(feed.start())
    got = []
    results = {}

    async def on_quote(q):
        got.append(q["id"])

    async def scenario(ticker):
        await ticker.subscribe(["AAPL", "MSFT", "BTC-USD"])
        while {"AAPL", "MSFT", "BTC-USD"} - set(got):
            await asyncio.sleep(0.01)
        await ticker.unsubscribe(["MSFT"])
        await feed.wait_subscribed("MSFT", subscribed=False)
        results["subscriptions"] = feed.subscriptions()
        frozen = feed.stats.per_symbol["MSFT"]
        aapl_before = got.count("AAPL")
        await asyncio.sleep(0.3)
        results["msft"] = (frozen, feed.stats.per_symbol["MSFT"], got.count("MSFT"))
        results["aapl_grew"] = got.count("AAPL") > aapl_before + 5
        ticker.close_websocket()  # the ticker's shutdown stops the loop

    try:
        with use_endpoint(feed.url, feed.client_ssl_context()):
            ticker = vt.VornTicker(loop)
            ticker.start_websocket(on_quote)
            loop.create_task(scenario(ticker))
            guard = loop.call_later(20, loop.stop)
            loop.run_forever()
            guard.cancel()
    finally:
        loop.run_until_complete(feed.stop())
    assert results["subscriptions"] == [frozenset({"AAPL", "BTC-USD"})]
    frozen, later, received = results["msft"]
    assert frozen == later == received
    assert results["aapl_grew"]


MANY = [f"S{i:02d}" for i in range(40)]


@pytest.mark.asyncio
async def test_a_client_that_does_not_read_is_cut_off_and_the_others_go_on(caplog):
    caplog.set_level(logging.WARNING, logger="vornticker.feed.server")
    async with vf.LocalFeed(rate=2000, tls=False) as feed:
        (stuck, _), (reader, client) = [await picows.ws_connect(RawClient, feed.url) for _ in range(2)]
        stuck.underlying_transport.pause_reading()
        for t in (stuck, reader):
            _control(t, "subscribe", MANY)
        async with asyncio.timeout(60):
            while feed.stats.clients > 1:  # a client that does not read cannot see its end
                await asyncio.sleep(0.05)
        got = len(client.frames)
        await client.wait_frames(got + 100)
        for t in (stuck, reader):
            t.disconnect(graceful=False)
    (line,) = [r.getMessage() for r in caplog.records if "does not read" in r.getMessage()]
    assert line.startswith("client 1 at 127.0.0.1:")
    frames, mib = re.search(r"with (\d+) frames \(([\d.]+) MiB\)", line).groups()
    assert int(frames) > BACKLOG_FRAMES and float(mib) >= 4.0


@pytest.mark.asyncio
async def test_stop_lets_the_cancellation_of_its_caller_through():
    feed = vf.LocalFeed(rate=100, tls=False)
    await feed.start()
    stopping = asyncio.create_task(feed.stop())
    await asyncio.sleep(0)  # inside stop(), waiting for the source
    stopping.cancel()
    with pytest.raises(asyncio.CancelledError):
        await stopping
    assert stopping.cancelled() and feed.stats.clients == 0
    with pytest.raises(OSError):  # it no longer listens
        await picows.ws_connect(RawClient, feed.url)


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM], ids=["sigint", "sigterm"])
def test_a_feed_behind_its_rate_still_serves_and_stops_on_a_signal(tmp_path, sig):
    proc = _feed_command(["--port", "0", "--plain", "--rate", "20000"], tmp_path)

    async def watch_then_signal():
        transport, client = await picows.ws_connect(RawClient, url)
        _control(transport, "subscribe", MANY)
        await client.wait_frames(1000)
        proc.send_signal(sig)
        status = await asyncio.to_thread(proc.wait, 10)
        transport.disconnect()
        return status

    try:
        url = proc.stdout.readline().decode().strip()
        # Ctrl-C ends with 130; SIGTERM ends by the signal itself.
        assert asyncio.run(watch_then_signal()) == (130 if sig == signal.SIGINT else -signal.SIGTERM)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


# As after `pip install vornticker` without the feed extra.
NO_CRYPTOGRAPHY = "import sys; sys.modules['cryptography'] = None; "


def _feed_command(args, cwd, *, extra=True, stderr=subprocess.PIPE):
    """python -m vornticker.feed ARGS..., its output piped; without the
    extra, as if the cryptography package were not installed."""
    env = child_env()
    run = ["-m", "vornticker.feed"]
    if not extra:
        run = ["-c", NO_CRYPTOGRAPHY + "from vornticker.cli import main; sys.exit(main(['feed', *sys.argv[1:]]))"]
    command = [sys.executable, *run, *map(str, args)]
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=stderr, cwd=cwd, env=env)


async def _quotes_from(url, symbol, context=None):
    transport, client = await picows.ws_connect(RawClient, url, ssl_context=context)
    _control(transport, "subscribe", [symbol])
    await client.wait_frames(3)
    transport.disconnect()
    await transport.wait_disconnected()
    return [vt.decode_frame(f) for f in client.frames]


@pytest.mark.parametrize(
    "args, extra",
    [(["--ca-file", "ca.pem"], True), ([], True), ([], False)],
    ids=["wss", "wss-temporary-ca", "ws-without-the-extra"],
)
def test_feed_command_serves_until_interrupted(tmp_path, args, extra):
    proc = _feed_command(["--port", "0", "--rate", "50", *args], tmp_path, extra=extra)
    try:
        url = proc.stdout.readline().decode().strip()
        assert url.startswith("wss://127.0.0.1:" if extra else "ws://127.0.0.1:")
        err = []
        for line in iter(proc.stderr.readline, b""):
            err.append(line.decode())
            if line.startswith(b"try: "):
                break
        # The command it suggests is complete: the CA file it names is the one to trust.
        suggested = shlex.split(err[-1].removeprefix("try: "))
        assert suggested[suggested.index("--feed") + 1] == url
        context = ssl.create_default_context(cafile=suggested[suggested.index("--ca-file") + 1]) if extra else None
        quotes = asyncio.run(_quotes_from(url, "^GSPC", context))
        assert [q["id"] for q in quotes] == ["^GSPC"] * len(quotes)
        proc.send_signal(signal.SIGINT)
        _, rest = proc.communicate(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    err = "".join(err) + rest.decode()
    assert proc.returncode == 130, err
    assert "served" in err and "Traceback" not in err
    # Falling back to ws:// says so, and why, in one line.
    notes = [line for line in err.splitlines() if "ws://" in line and "vornticker[feed]" in line]
    assert len(notes) == (0 if extra else 1)


def test_feed_command_says_in_one_line_that_the_port_is_taken(tmp_path):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        proc = _feed_command(["--port", port, "--plain"], tmp_path)
        _, err = proc.communicate(timeout=30)
    assert proc.returncode == 1
    (line,) = err.decode().splitlines()
    assert f"127.0.0.1:{port}" in line and "in use" in line and "--port" in line


@pytest.mark.parametrize("stderr", [subprocess.PIPE, subprocess.STDOUT], ids=["stdout", "stdout-and-stderr"])
def test_feed_command_ends_quietly_when_its_output_is_closed(tmp_path, stderr):
    """As `python -m vornticker.feed | head -n 1` (or with 2>&1)."""
    proc = _feed_command(["--port", "0", "--plain"], tmp_path, stderr=stderr)
    try:
        assert proc.stdout.readline().startswith(b"ws://")
        proc.stdout.close()
        proc.wait(timeout=10)
        err = proc.stderr.read().decode() if proc.stderr else ""
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0, err
    if proc.stderr:
        assert "served" in err and "Traceback" not in err


def test_without_the_feed_extra_tls_fails_naming_it(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "cryptography", None)
    with pytest.raises(ImportError, match=r"pip install 'vornticker\[feed\]'"):
        vf.LocalFeed()
    assert cli.main(["feed", "--tls"]) == 2
    (line,) = capsys.readouterr().err.splitlines()
    assert line.startswith("vornticker feed: error: --tls: ") and "pip install 'vornticker[feed]'" in line


@pytest.mark.asyncio
@pytest.mark.parametrize("first, second", [("trustme", "cryptography"), ("cryptography", "trustme")])
async def test_a_kept_ca_is_still_trusted_after_a_restart(tmp_path, first, second):
    async with vf.LocalFeed(rate=100, tls_backend=first, tls_dir=tmp_path / "tls") as feed:
        trusted = feed.client_ssl_context()
    assert (tmp_path / "tls" / "ca-key.pem").stat().st_mode & 0o077 == 0
    async with vf.LocalFeed(rate=100, tls_backend=second, tls_dir=tmp_path / "tls") as feed:
        assert [q["id"] for q in await _quotes_from(feed.url, "AAPL", trusted)] == ["AAPL"] * 3
