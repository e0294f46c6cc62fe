"""Answers from captures: the quotes of one or many captures as a polars
table, OHLC bars, and charts.

    from vornticker import analysis

    one_minute = analysis.bars(["mon.vtr", "tue.vtr"], "1m", symbols=["AAPL"])
    analysis.chart("mon.vtr", ["AAPL"], "aapl.png", every="5m")

Everything here returns polars DataFrames (``polars.DataFrame``; call
``.to_arrow()`` for a pyarrow table). The work is done by polars on whole
columns, never by a Python loop over quotes; a capture is decoded
``batch_rows`` frames at a time by vornticker.decode_columns, and only the
few columns analysis needs are kept, so a capture of any size fits in the
memory of those columns.

Needs the extra ``vornticker[analysis]`` (polars, matplotlib, pyarrow).
"""

from __future__ import annotations

import collections
import dataclasses
import datetime as dt
import itertools
import logging
import os
import re
import secrets
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Final

try:
    import polars as pl
except ImportError as exc:  # pragma: no cover - the extra is part of every test environment
    raise ImportError(
        "vornticker.analysis needs polars, which the extra vornticker[analysis] installs: "
        "pip install 'vornticker[analysis]'"
    ) from exc

from . import recording
from .vornticker import QuoteColumns, decode_columns

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = [
    "BAR_SCHEMA",
    "CHART_FORMATS",
    "QUOTE_SCHEMA",
    "CaptureRead",
    "Quotes",
    "Source",
    "bars",
    "chart",
    "parse_instant",
    "parse_interval",
    "read",
]

logger = logging.getLogger(__name__)

type Instant = dt.datetime | str | int

UTC_MS: Final = pl.Datetime("ms", "UTC")

# The table read() gives: one row per quote that decoded and carries an id.
# ``time`` is the quote's own time, the receive time where it has none;
# ``volume`` is what the quote adds to its symbol's traded volume (from the
# cumulative dayVolume; see read()).
QUOTE_SCHEMA: Final = pl.Schema(
    {
        "id": pl.String(),
        "time": UTC_MS,
        "price": pl.Float64(),
        "dayVolume": pl.Int64(),
        "volume": pl.Int64(),
        "currency": pl.String(),
        "recv_ns": pl.Datetime("ns", "UTC"),
    }
)

# The table bars() gives, sorted by id then time.
BAR_SCHEMA: Final = pl.Schema(
    {
        "id": pl.String(),
        "time": UTC_MS,
        "open": pl.Float64(),
        "high": pl.Float64(),
        "low": pl.Float64(),
        "close": pl.Float64(),
        "volume": pl.Int64(),
        "quotes": pl.Int64(),
    }
)

CHART_FORMATS: Final = {".png": "png", ".svg": "svg", ".pdf": "pdf"}

_INTERVAL: Final = re.compile(r"([1-9][0-9]*)([smhd])")
_UNIT_SECONDS: Final = {"s": 1, "m": 60, "h": 3600, "d": 86400}
_DECODED: Final = ("recv_ns", "id", "price", "time", "dayVolume", "currency")


def parse_interval(text: str) -> dt.timedelta:
    """The length of an interval written ``Ns``, ``Nm``, ``Nh`` or ``Nd``
    (seconds, minutes, hours, days; N a positive integer)."""
    match = _INTERVAL.fullmatch(text.strip()) if isinstance(text, str) else None
    if match is None:
        raise ValueError(f"unknown interval {text!r}: write it as Ns, Nm, Nh or Nd (30s, 1m, 4h, 1d)")
    return dt.timedelta(seconds=int(match[1]) * _UNIT_SECONDS[match[2]])


def parse_instant(value: Instant) -> dt.datetime:
    """A point in time as an aware UTC datetime: a datetime (naive ones are
    UTC), an ISO 8601 text (likewise), or an int of nanoseconds since the
    epoch."""
    if isinstance(value, bool):
        raise TypeError("a time must be a datetime, an ISO 8601 text or an int of nanoseconds")
    if isinstance(value, int):
        seconds, ns = divmod(value, 1_000_000_000)
        return dt.datetime.fromtimestamp(seconds, dt.UTC) + dt.timedelta(microseconds=ns // 1000)
    if isinstance(value, str):
        text = value.strip()
        if text.lstrip("-").isdigit():
            return parse_instant(int(text))
        try:
            value = dt.datetime.fromisoformat(text)
        except ValueError:
            raise ValueError(f"not an ISO 8601 time or a count of nanoseconds: {value!r}") from None
    if not isinstance(value, dt.datetime):
        raise TypeError(f"a time must be a datetime, an ISO 8601 text or an int of nanoseconds, not {value!r}")
    return value.replace(tzinfo=dt.UTC) if value.tzinfo is None else value.astimezone(dt.UTC)


@dataclasses.dataclass(frozen=True)
class CaptureRead:
    """What reading one capture found: frames read, frames that did not
    decode, and the damaged stretches ``(offset, length)`` that were skipped."""

    path: str
    frames: int
    bad_frames: int
    damage: tuple[tuple[int, int], ...]
    skipped_bytes: int


@dataclasses.dataclass(frozen=True)
class Quotes:
    """Quotes read for analysis (see read()): ``frame`` has QUOTE_SCHEMA,
    ``captures`` says what was read from each capture (empty for columns)."""

    frame: pl.DataFrame
    captures: tuple[CaptureRead, ...] = ()

    @property
    def damaged(self) -> bool:
        """Whether damaged stretches of a capture were skipped (frames that
        did not decode are counted, not damage)."""
        return any(c.damage for c in self.captures)


# What bars() and chart() read from: a capture path, a list of them (read in
# the order given), decoded columns, or what read() returned.
type Source = str | os.PathLike[str] | Sequence[str | os.PathLike[str]] | QuoteColumns | Quotes


def _quote_time(dtype: pl.DataType) -> pl.Expr:
    # The quote's own time is epoch milliseconds, as an integer or (when the
    # columns are typed) a timestamp; a quote without one takes its receive time.
    own = pl.col("time")
    own = pl.from_epoch(own, time_unit="ms").dt.replace_time_zone("UTC") if dtype.is_integer() else own.cast(UTC_MS)
    return pl.coalesce(own, pl.col("recv_ns").cast(UTC_MS))


def _normalised(table: pl.DataFrame) -> pl.DataFrame:
    """The decoded columns analysis keeps, in QUOTE_SCHEMA's types (volume still to come)."""
    if "recv_ns" not in table.columns:
        # Columns decoded without receive times: the quote's own time is all there is.
        table = table.with_columns(recv_ns=pl.lit(None, pl.Datetime("ns", "UTC")))
    return table.select(
        pl.col("id").cast(pl.String),
        _quote_time(table.schema["time"]).alias("time"),
        pl.col("price").cast(pl.Float64),
        pl.col("dayVolume").cast(pl.Int64),
        pl.col("currency").cast(pl.String),
        pl.col("recv_ns").cast(pl.Datetime("ns", "UTC")),
    ).filter(pl.col("id").is_not_null())


def _read_capture(path: str, batch_rows: int) -> tuple[list[pl.DataFrame], CaptureRead]:
    parts: list[pl.DataFrame] = []
    bad = 0
    with recording.open(path) as capture:
        for chunk in itertools.batched(capture, batch_rows):
            columns = decode_columns(chunk, batch_rows=batch_rows)
            bad += len(columns.errors)
            parts.append(_normalised(pl.DataFrame(columns).select(_DECODED)))
        stats = capture.stats
    return parts, CaptureRead(path, stats.frames, bad, tuple(stats.damage), stats.skipped_bytes)


def _filters(
    frame: pl.DataFrame, symbols: Iterable[str] | None, start: Instant | None, end: Instant | None
) -> pl.DataFrame:
    if symbols is not None:
        wanted = list(dict.fromkeys(symbols))
        frame = frame.filter(pl.col("id").is_in(wanted))
        present = set(frame.get_column("id").unique().to_list())
        for symbol in wanted:
            if symbol not in present:
                logger.warning("no quotes of %s", symbol)
    if start is not None:
        frame = frame.filter(pl.col("time") >= parse_instant(start))
    if end is not None:
        frame = frame.filter(pl.col("time") < parse_instant(end))
    return frame


def read(
    source: str | os.PathLike[str] | Sequence[str | os.PathLike[str]] | QuoteColumns,
    *,
    symbols: Iterable[str] | None = None,
    start: Instant | None = None,
    end: Instant | None = None,
    batch_rows: int = 65536,
) -> Quotes:
    """The quotes of one capture, of several (read in the order given), or
    of decoded columns, as a table of QUOTE_SCHEMA in receive order (a
    stable sort, so columns without receive times keep theirs).

    ``symbols`` keeps only those ids (a symbol with no quote is logged as
    a warning); ``start`` and ``end`` keep the quotes whose ``time`` is in
    [start, end). ``volume`` is each quote's share of its symbol's traded
    volume, from the cumulative ``dayVolume``: the difference to the
    symbol's previous ``dayVolume``, or the whole ``dayVolume`` where it is
    lower than the previous one (a new day); 0 for the first quote of a
    symbol and for quotes without ``dayVolume``. It is computed before the
    time filter, so a range starting mid-session counts from the quote before.

    A damaged capture gives every good block; what was lost is in
    ``captures``. Raises recording.FormatError or OSError for a file that
    is not a readable capture.
    """
    parts: list[pl.DataFrame] = []
    reads: list[CaptureRead] = []
    if isinstance(source, QuoteColumns):
        parts.append(_normalised(pl.DataFrame(source).select(c for c in _DECODED if c in source.column_names)))
    else:
        paths = [source] if isinstance(source, (str, os.PathLike)) else list(source)
        for path in paths:
            got, report = _read_capture(os.fspath(path), batch_rows)
            parts += got
            reads.append(report)
    empty = pl.DataFrame(schema={k: v for k, v in QUOTE_SCHEMA.items() if k != "volume"})
    frame = pl.concat([empty, *parts], how="vertical") if parts else empty
    frame = frame.sort("recv_ns", maintain_order=True, nulls_last=True)
    day = pl.col("dayVolume")
    before = day.forward_fill().shift(1).over("id")
    volume = pl.when(day.is_null() | before.is_null()).then(0).when(day < before).then(day).otherwise(day - before)
    frame = frame.with_columns(volume=volume.cast(pl.Int64)).select(QUOTE_SCHEMA.names())
    return Quotes(_filters(frame, symbols, start, end), tuple(reads))


def _quotes(
    source: Source,
    symbols: Iterable[str] | None,
    start: Instant | None,
    end: Instant | None,
) -> Quotes:
    if isinstance(source, Quotes):
        return Quotes(_filters(source.frame, symbols, start, end), source.captures)
    return read(source, symbols=symbols, start=start, end=end)


def bars(
    source: Source,
    every: str,
    *,
    symbols: Iterable[str] | None = None,
    start: Instant | None = None,
    end: Instant | None = None,
) -> pl.DataFrame:
    """OHLC bars of ``price`` every ``every`` (``Ns``, ``Nm``, ``Nh`` or
    ``Nd``), as a polars DataFrame of BAR_SCHEMA: one row per symbol and
    interval that has quotes, sorted by ``id`` then ``time`` (the
    interval's start, aligned to the epoch). ``open``/``high``/``low``/
    ``close`` are over the quotes that carry a price (null if none does),
    open and close the first and last by the quotes' time (then arrival),
    ``volume`` is the sum of the quotes' ``volume`` (see read()),
    ``quotes`` their count. Quotes fall into intervals by their own time.

    ``source``: a capture path, a list of them, decoded columns, or what
    read() returned; ``symbols``, ``start`` and ``end`` filter as read() does.
    """
    every_s = int(parse_interval(every).total_seconds())
    # By their own time, quotes of the same time in arrival order: the first is the open.
    quotes = _quotes(source, symbols, start, end).frame.sort("id", "time", maintain_order=True)
    price = pl.col("price").drop_nulls()
    return (
        quotes.group_by_dynamic("time", every=f"{every_s}s", group_by="id", closed="left", label="left")
        .agg(
            open=price.first(),
            high=price.max(),
            low=price.min(),
            close=price.last(),
            volume=pl.col("volume").sum(),
            quotes=pl.len(),
        )
        .select(pl.col(name).cast(dtype) for name, dtype in BAR_SCHEMA.items())
        .sort("id", "time")
    )


def _chart_format(out: str) -> str:
    fmt = CHART_FORMATS.get(os.path.splitext(out)[1].lower())
    if fmt is None:
        raise ValueError(f"{out}: a chart is written as {', '.join(CHART_FORMATS)}; name the file so")
    directory = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(directory):
        raise FileNotFoundError(2, "no such directory", directory)
    return fmt


def _currency(frame: pl.DataFrame) -> str | None:
    counts = collections.Counter(frame.get_column("currency").drop_nulls().to_list())
    return counts.most_common(1)[0][0] if counts else None


def chart(
    source: Source,
    symbols: Sequence[str],
    out: str | os.PathLike[str],
    *,
    every: str | None = None,
    start: Instant | None = None,
    end: Instant | None = None,
    gaps: Iterable[tuple[int, int]] = (),
    size: tuple[int, int] = (1200, 800),
) -> None:
    """Draws each symbol's price over time into ``out`` (PNG, SVG or PDF,
    by its suffix), one panel per symbol stacked on a shared time axis: a
    line through every priced quote, or with ``every`` the candles of
    bars(). ``gaps`` are ``(start_ns, end_ns)`` stretches when the recording
    was not connected: the line breaks there and the stretch is shaded. The
    price axis names the symbol's currency where its quotes carry one.
    ``size`` is the picture's (width, height) in pixels (at 100 dpi).

    The file appears only once complete. Raises ValueError for an unknown
    suffix or interval, FileNotFoundError when out's directory is missing
    (both before anything is read).
    """
    from matplotlib.dates import AutoDateLocator, ConciseDateFormatter
    from matplotlib.figure import Figure

    out = os.fspath(out)
    fmt = _chart_format(out)
    if every is not None:
        parse_interval(every)
    if not symbols:
        raise ValueError("chart needs at least one symbol")
    quotes = _quotes(source, symbols, start, end)
    spans = sorted((a, b) for a, b in gaps if b > a)
    breaks = pl.DataFrame(
        {"time": [a for a, _ in spans]}, schema={"time": pl.Int64}
    ).select(pl.from_epoch("time", time_unit="ns").dt.replace_time_zone("UTC").cast(UTC_MS))

    dpi = 100
    fig = Figure(figsize=(size[0] / dpi, size[1] / dpi), dpi=dpi, layout="constrained")
    axes = fig.subplots(len(symbols), 1, sharex=True, squeeze=False)[:, 0]
    for ax, symbol in zip(axes, symbols, strict=True):
        own = quotes.frame.filter(pl.col("id") == symbol)
        currency = _currency(own)
        ax.set_title(symbol, loc="left")
        ax.set_ylabel(f"price ({currency})" if currency else "price")
        ax.grid(True, alpha=0.3)
        for a, b in spans:
            ax.axvspan(
                dt.datetime.fromtimestamp(a / 1e9, dt.UTC), dt.datetime.fromtimestamp(b / 1e9, dt.UTC),
                color="0.85", zorder=0,
            )
        if own.is_empty():
            ax.text(0.5, 0.5, "no quotes", transform=ax.transAxes, ha="center", va="center")
            continue
        if every is None:
            # A null price at each gap's start breaks the line there.
            line = pl.concat(
                [own.select("time", "price").drop_nulls(), breaks.with_columns(price=pl.lit(None, pl.Float64))]
            ).sort("time")
            prices = line.get_column("price").fill_null(float("nan")).to_list()
            # Few quotes get a dot each, so a lone one still shows.
            ax.plot(line.get_column("time").to_list(), prices, linewidth=1, marker="." if len(prices) < 100 else "")
        else:
            _candles(ax, bars(quotes, every, symbols=[symbol]).drop_nulls("open"), parse_interval(every))
    locator = AutoDateLocator(tz=dt.UTC)  # type: ignore[no-untyped-call]
    axes[-1].xaxis.set_major_locator(locator)
    axes[-1].xaxis.set_major_formatter(ConciseDateFormatter(locator, tz=dt.UTC))  # type: ignore[no-untyped-call]
    axes[-1].set_xlabel("time (UTC)")
    directory, name = os.path.split(os.path.abspath(out))
    tmp = os.path.join(directory, f".{name}.{os.getpid()}-{secrets.token_hex(4)}.part")
    try:
        fig.savefig(tmp, format=fmt, dpi=dpi)
        os.replace(tmp, out)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def _candles(ax: Axes, bar: pl.DataFrame, width: dt.timedelta) -> None:
    shape = bar.select(
        centre=pl.col("time") + width / 2,
        low="low",
        high="high",
        bottom=pl.min_horizontal("open", "close"),
        # A flat candle still shows as a thin line.
        height=(pl.col("close") - pl.col("open")).abs(),
        colour=pl.when(pl.col("close") >= pl.col("open")).then(pl.lit("tab:green")).otherwise(pl.lit("tab:red")),
    )
    centre, colours = shape.get_column("centre").to_list(), shape.get_column("colour").to_list()
    ax.vlines(centre, shape.get_column("low").to_list(), shape.get_column("high").to_list(), colors=colours,
              linewidth=1)
    # A date axis counts in days; a candle's body fills 80% of its interval.
    ax.bar(centre, shape.get_column("height").to_list(), width=width.total_seconds() / 86400 * 0.8,
           bottom=shape.get_column("bottom").to_list(), color=colours, linewidth=0.5, edgecolor=colours)
