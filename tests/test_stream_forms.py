"""The stream's three forms (per quote, batches, Arrow columns) against a
real service: what each delivers, drops and conflation alike, overflow="pause"
losing nothing, and leaving the block wherever the consumer is."""

import asyncio

import pytest

import vornticker
from lifecycle import run
from quote_service import WAIT, QuoteService
from quotes import PricingData, frame, sample_wire
from test_stream import CLOSE_FRAME, own_endpoint, slow_consumer, until

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")

FORMS = ["quotes", "batches", "columns"]
BAD = [b"not a quote", b'{"message":"@@"}', b'{"message":"FQAAgA=="}']


async def take(quotes, form, n):
    """At least n quotes (all that a step gives) in the form's own items:
    dicts, or QuoteColumns for columns."""
    got = []
    count = 0
    if form == "quotes":
        async for q in quotes:
            got.append(q)
            if len(got) >= n:
                break
        return got
    source = quotes.batches() if form == "batches" else quotes.columns()
    async for step in source:
        got.append(step)
        count += len(step) if form == "batches" else step.num_rows
        if count >= n:
            break
    return got


def as_dicts(form, items):
    if form == "quotes":
        return items
    if form == "batches":
        return [q for batch in items for q in batch]
    return [{k: v for k, v in row.items() if k != "recv_ns"} for cols in items for row in cols.to_pylist()]


def mixed_frames(n):
    """n good frames of three shapes, with a bad frame after every 7th."""
    frames, good = [], []
    kinds = ["equity", "crypto", "option"]
    for i in range(n):
        wire = PricingData.FromString(sample_wire(kinds[i % 3]))
        wire.time = i
        good.append(frame(wire.SerializeToString()))
        frames.append(good[-1])
        if i % 7 == 6:
            frames.append(BAD[i % len(BAD)])
    return frames, good


@pytest.mark.parametrize("form", FORMS)
def test_each_form_delivers_what_decode_frame_gives(loop, form):
    frames, good = mixed_frames(300)

    async def scenario():
        async with QuoteService() as service:
            async with vornticker.stream(["A"], **own_endpoint(service)) as quotes:
                conn = await service.wait_connection(1)
                consumer = asyncio.ensure_future(take(quotes, form, len(good)))
                for i, f in enumerate(frames):
                    service.send_text(f, conn)
                    if i % 50 == 0:
                        await asyncio.sleep(0.001)  # several socket reads, several steps
                items = await asyncio.wait_for(consumer, WAIT)
                return items, quotes.stats

    items, stats = run(loop, scenario())
    assert as_dicts(form, items) == [vornticker.decode_frame(f) for f in good]
    n_bad = len(frames) - len(good)
    assert (stats.received, stats.delivered, stats.dropped, stats.errors) == (len(good), len(good), 0, n_bad)
    if form == "columns":
        # Each batch is what decode_columns makes of its frames, as both readers see it.
        recv = [t for cols in items for t in pa.table(cols)["recv_ns"].cast(pa.int64()).to_pylist()]
        assert recv == sorted(recv)
        want = vornticker.decode_columns(good, recv_ns=recv)
        assert pa.concat_tables([pa.table(c) for c in items]).equals(pa.table(want))
        assert pl.concat([pl.DataFrame(c) for c in items]).equals(pl.DataFrame(want))
        errors = [e for cols in items for e in cols.errors]
        assert len(errors) == n_bad and all(isinstance(e, ValueError) for _, e in errors)


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("conflate, waiting, bad_at", [(False, [4, 5, 6], [0, 1]), (True, [6, 5, 4], [2, 3])])
def test_drops_and_conflation_agree_between_forms(loop, form, conflate, waiting, bad_at):
    async def scenario():
        async with slow_consumer(conflate, BAD[:2]) as (_, _, quotes):
            return await take(quotes, form, 3), quotes.stats

    items, stats = run(loop, scenario())
    assert [q["time"] for q in as_dicts(form, items)] == waiting
    assert (stats.received, stats.delivered, stats.dropped, stats.errors) == (6, 3, 3, 2)
    if form == "columns":
        # The bad frames in their places among the waiting ones (before
        # what waits when the frames around them were dropped).
        assert [i for i, _ in items[0].errors] == bad_at


@pytest.mark.parametrize("form", FORMS)
def test_pause_loses_nothing_to_a_slow_consumer(loop, form):
    n = 20000

    async def scenario():
        async with QuoteService() as service:
            async with vornticker.stream(["A"], **own_endpoint(service), maxsize=200, overflow="pause") as quotes:
                conn = await service.wait_connection(1)
                for i in range(n):
                    service.send_text(frame(PricingData(id="A", time=i).SerializeToString()), conn)
                got, most = [], 0
                while len(got) < n:
                    step = await take(quotes, form, 1)
                    got.extend(q["time"] for q in as_dicts(form, step))
                    most = max(most, len(quotes))
                    if len(got) % 500 < 10:
                        await asyncio.sleep(0.01)  # slower than the feed
                return got, most, quotes.stats

    got, most, stats = run(loop, scenario())
    assert got == list(range(n))
    assert (stats.received, stats.delivered, stats.dropped) == (n, n, 0)
    assert stats.paused_s > 0
    # Reading stopped well before everything came (what one socket read
    # still brings joins the waiting quotes).
    assert most < n // 2


@pytest.mark.parametrize("where", ["before-any", "mid-batches", "mid-columns", "paused"])
def test_leaving_the_block_anywhere_closes_cleanly(loop, where):
    async def scenario():
        async with QuoteService() as service:
            overflow = "pause" if where == "paused" else "drop"
            async with vornticker.stream(["A"], **own_endpoint(service), maxsize=5, overflow=overflow) as quotes:
                conn = await service.wait_connection(1)
                for i in range(50):
                    service.send_text(frame(PricingData(id="A", time=i).SerializeToString()), conn)
                if where == "paused":
                    await until(lambda: quotes.stats.paused_s > 0, "reading paused")
                elif where != "before-any":
                    source = quotes.batches(2) if where == "mid-batches" else quotes.columns(2)
                    async for _ in source:
                        break
            await service.wait_disconnected(conn)
            left = [t for t in asyncio.all_tasks() if t is not asyncio.current_task() and not t.done()]
            return conn, left, [q async for q in quotes], len(quotes)

    conn, left, after, waiting = run(loop, scenario())
    assert conn.closes == [CLOSE_FRAME]
    assert left == [] and after == [] and waiting == 0


@pytest.mark.parametrize(
    "call, error, name",
    [
        (lambda: vornticker.stream([], overflow="block"), ValueError, "overflow"),
        (lambda: vornticker.stream([]).batches(0), ValueError, "max_quotes"),
        (lambda: vornticker.stream([]).columns("10"), TypeError, "max_rows"),
    ],
)
def test_bad_form_arguments_are_refused_at_the_call(call, error, name):
    with pytest.raises(error, match=name):
        call()
