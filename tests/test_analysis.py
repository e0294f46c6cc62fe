"""Bars, charts and the partitioned dataset, read back by independent readers."""

import datetime as dt
import json
import os
import random
import re
import struct

import duckdb
import polars as pl
import pyarrow as pa
import pyarrow.dataset as pads
import pytest

from vornticker import analysis, cli, decode_frame, recording
from vornticker.dataset import MANIFEST, DatasetError, export_dataset
from vornticker.feed import encode_frame

T0_MS = 1_765_000_000_000  # 2025-12-06 05:46:40 UTC
MS = 1_000_000


def write_capture(path, frames, block_size=1 << 20):
    """frames: (recv_ns, payload) pairs, payloads as bytes or quote dicts."""
    with recording.Recorder(path, block_size=block_size) as rec:
        for recv_ns, payload in frames:
            rec.write(payload if isinstance(payload, bytes) else encode_frame(payload), recv_ns)
    return path


def hand_case(tmp_path):
    at = lambda s: (T0_MS + s * 1000) * MS  # noqa: E731
    return write_capture(
        tmp_path / "hand.vtr",
        [
            (at(0), {"id": "A", "price": 10.0, "time": T0_MS, "dayVolume": 1000, "currency": "USD"}),
            (at(10), {"id": "A", "price": 12.0, "time": T0_MS + 10_000, "dayVolume": 1500}),
            (at(15), {"id": "B", "price": 5.0, "dayVolume": 7}),  # no own time: the receive time buckets it
            (at(20), {"id": "A", "price": 9.0, "time": T0_MS + 20_000}),  # no dayVolume: adds nothing
            (at(25), b"not a frame"),
            (at(90), {"id": "A", "price": 11.0, "time": T0_MS + 90_000, "dayVolume": 200}),  # a new day: +200
            (at(95), {"id": "A", "time": T0_MS + 95_000, "dayVolume": 260}),  # no price: counted, +60
        ],
    )


def minute(offset):
    start = (T0_MS // 60_000 + offset) * 60_000
    return dt.datetime.fromtimestamp(start / 1000, dt.UTC)


@pytest.mark.parametrize("source", ["path", "list", "columns", "quotes"])
def test_bars_of_a_hand_computed_case_with_a_day_volume_reset(tmp_path, source):
    path = hand_case(tmp_path)
    with recording.open(path) as capture:
        columns = capture.to_arrow()
    given = {"path": path, "list": [str(path)], "columns": columns, "quotes": analysis.read(path)}[source]
    got = analysis.bars(given, "1m")
    assert got.schema == analysis.BAR_SCHEMA
    # T0 is 40 s into its minute: the quotes 20 s on fall in the next one, 90 s on in the one after.
    assert got.rows() == [
        ("A", minute(0), 10.0, 12.0, 10.0, 12.0, 500, 2),
        ("A", minute(1), 9.0, 9.0, 9.0, 9.0, 0, 1),
        ("A", minute(2), 11.0, 11.0, 11.0, 11.0, 260, 2),
        ("B", minute(0), 5.0, 5.0, 5.0, 5.0, 0, 1),
    ]
    # The time filter keeps the volume counted from the quote before it.
    late = analysis.bars(given, "1h", symbols=["A"], start=minute(2), end=minute(3))
    assert late.select("volume", "quotes").rows() == [(260, 2)]


def test_bars_warn_of_an_absent_symbol_and_refuse_an_unknown_interval(tmp_path, caplog):
    path = hand_case(tmp_path)
    assert analysis.bars(path, "5s", symbols=["ZZZ"]).is_empty()
    assert "no quotes of ZZZ" in caplog.text
    for every in ["", "1", "0m", "1w", "-1s", "1.5m", "m1"]:
        with pytest.raises(ValueError, match="unknown interval"):
            analysis.bars(path, every)


def reference_bars(frames, every_ms):
    """bars() written as the plain loop it must never be."""
    last, acc = {}, {}
    for recv_ns, payload in frames:
        try:
            quote = decode_frame(payload)
        except Exception:
            continue
        if "id" not in quote:
            continue
        symbol, day = quote["id"], quote.get("dayVolume")
        volume = 0
        if day is not None:
            if symbol in last:
                volume = day if day < last[symbol] else day - last[symbol]
            last[symbol] = day
        time = quote.get("time", recv_ns // MS)
        bar = acc.setdefault((symbol, time // every_ms * every_ms), {"prices": [], "volume": 0, "quotes": 0})
        bar["volume"] += volume
        bar["quotes"] += 1
        if "price" in quote:
            bar["prices"].append((time, recv_ns, quote["price"]))
    rows = []
    for (symbol, start), bar in sorted(acc.items()):
        # Open and close by the quotes' own time, then by arrival.
        p = [price for _, _, price in sorted(bar["prices"])]
        ohlc = (p[0], max(p), min(p), p[-1]) if p else (None,) * 4
        rows.append((symbol, dt.datetime.fromtimestamp(start / 1000, dt.UTC), *ohlc, bar["volume"], bar["quotes"]))
    return rows


def random_frames(seed, n, start_ms=T0_MS):
    rng = random.Random(seed)
    day = {s: rng.randrange(10**6) for s in "ABC"}
    frames, recv_ms = [], start_ms
    for i in range(n):
        recv_ms += rng.randrange(1, 400)
        symbol = rng.choice("ABC")
        quote = {"id": symbol}
        if rng.random() < 0.9:
            quote["price"] = round(rng.uniform(1, 500), 2)
        if rng.random() < 0.8:
            quote["time"] = recv_ms - rng.randrange(2000)
        if rng.random() < 0.85:
            day[symbol] = rng.randrange(1000) if rng.random() < 0.02 else day[symbol] + rng.randrange(500)
            quote["dayVolume"] = day[symbol]
        if rng.random() < 0.5:
            quote["bid"] = round(rng.uniform(1, 500), 2)
            quote["ask"] = quote["bid"] + rng.randrange(1, 20) / 100
        if rng.random() < 0.01:
            quote = {"price": 1.0}  # no id: not a symbol's quote
        if rng.random() < 0.005:
            recv_ms += 5000  # a silence
        frames.append((recv_ms * MS + i, encode_frame(quote) if rng.random() > 0.01 else b"{}"))
    return frames


@pytest.mark.parametrize("every, every_ms", [("1s", 1000), ("1m", 60_000), ("7m", 420_000), ("1d", 86_400_000)])
def test_bars_match_a_python_reference_over_random_quotes(tmp_path, every, every_ms):
    frames = random_frames(5, 3000)
    path = write_capture(tmp_path / "random.vtr", frames, block_size=4096)
    assert analysis.bars(path, every).rows() == reference_bars(frames, every_ms)


def test_a_chart_is_a_png_of_the_asked_size_and_needs_an_existing_directory(tmp_path):
    path = write_capture(tmp_path / "r.vtr", random_frames(1, 400))
    gap = ((T0_MS + 20_000) * MS, (T0_MS + 40_000) * MS)
    for every in [None, "10s"]:
        out = tmp_path / f"chart-{every}.png"
        analysis.chart(path, ["A", "B", "NOPE"], out, every=every, gaps=[gap], size=(640, 480))
        data = out.read_bytes()
        assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
        assert struct.unpack(">II", data[16:24]) == (640, 480)
    with pytest.raises(FileNotFoundError, match="missing"):
        analysis.chart(path, ["A"], tmp_path / "missing" / "c.png")
    with pytest.raises(ValueError, match="png"):
        analysis.chart(path, ["A"], tmp_path / "c.gif")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["chart-10s.png", "chart-None.png", "r.vtr"]


def expected_rows(paths):
    tables = []
    for path in paths:
        with recording.open(path) as capture:
            tables.append(pa.table(capture.to_arrow()))
    return pa.concat_tables(tables).sort_by("recv_ns")


def test_a_dataset_reads_back_row_for_row_with_three_readers_and_resumes(tmp_path):
    # Three days of quotes in four captures, the last one damaged at its end.
    paths = []
    for n in range(4):
        frames = random_frames(n, 500, start_ms=T0_MS + n * 30_000_000)
        paths.append(write_capture(tmp_path / f"c{n}.vtr", frames, block_size=2048))
    data = paths[-1].read_bytes()
    paths[-1].write_bytes(data[:-100])
    out = tmp_path / "ds"
    result = export_dataset(paths, out, partition_by=("date", "symbol"), jobs=2)
    assert result.damaged and [c.resumed for c in result.captures] == [False] * 4
    assert result.captures[-1].skipped_bytes > 0
    want = expected_rows(paths)
    assert result.rows == want.num_rows

    by_pyarrow = pads.dataset(out, partitioning="hive").to_table()
    by_polars = pl.scan_parquet(f"{out}/**/*.parquet", hive_partitioning=True).collect().to_arrow()
    for table in [by_pyarrow, by_polars]:
        assert table.drop_columns(["date", "symbol"]).sort_by("recv_ns").cast(want.schema).equals(want)
    query = f"select * exclude (date, symbol) from read_parquet('{out}/**/*.parquet', hive_partitioning = true)"
    by_duckdb = duckdb.sql(f"{query} order by recv_ns").to_arrow_table()
    assert by_duckdb.cast(want.schema).equals(want)
    days = duckdb.sql(
        f"select distinct date, symbol from read_parquet('{out}/**/*.parquet', hive_partitioning = true)"
    ).fetchall()
    assert {d for d, _ in days} == set(pl.from_arrow(want).get_column("recv_ns").dt.date())

    manifest = json.loads((out / MANIFEST).read_text())
    assert sorted(manifest["captures"]) == sorted(str(p) for p in paths)
    files = {f for entry in manifest["captures"].values() for f in entry["files"]}
    assert files == {str(p.relative_to(out)) for p in out.rglob("*.parquet")}

    # A rerun with resume skips what is done and exports what is new.
    new = write_capture(tmp_path / "c4.vtr", random_frames(9, 50))
    again = export_dataset([*paths, new], out, partition_by=("date", "symbol"), jobs=1, resume=True)
    assert [c.resumed for c in again.captures] == [True] * 4 + [False]
    assert pads.dataset(out, partitioning="hive").count_rows() == want.num_rows + again.rows


@pytest.mark.parametrize(
    "prepare, partition_by, message",
    [
        (lambda d: (d / "notes.txt").write_text("mine"), ("date",), "not a vornticker dataset"),
        (lambda d: (d / MANIFEST).write_text("[]"), ("date",), "not a vornticker dataset manifest"),
        (None, ("symbol",), "partitioned by date, not symbol"),
    ],
)
def test_a_dataset_directory_not_ours_is_refused_untouched(tmp_path, prepare, partition_by, message):
    path = write_capture(tmp_path / "c.vtr", random_frames(2, 20))
    out = tmp_path / "ds"
    out.mkdir()
    if prepare is None:
        export_dataset([path], out, jobs=1)
    else:
        prepare(out)
    before = {p: p.read_bytes() for p in out.rglob("*") if p.is_file()}
    with pytest.raises(DatasetError, match=message):
        export_dataset([path], out, partition_by=partition_by, jobs=1)
    assert {p: p.read_bytes() for p in out.rglob("*") if p.is_file()} == before


DOCS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "docs", "analysis.md")


def recipes():
    """(section title, python blocks, sql blocks) of each section with code, from docs/analysis.md."""
    text = open(DOCS, encoding="utf-8").read()
    found = []
    for section in re.split(r"^#+ ", text, flags=re.M)[1:]:
        title = section.splitlines()[0]
        python = re.findall(r"^```python\n(.*?)^```", section, flags=re.M | re.S)
        sql = re.findall(r"^```sql\n(.*?)^```", section, flags=re.M | re.S)
        if python or sql:
            found.append(pytest.param(python, sql, id=title))
    return found


@pytest.fixture(scope="module")
def recipe_data(tmp_path_factory):
    top = tmp_path_factory.mktemp("recipes")
    paths = [write_capture(top / f"{n}.vtr", random_frames(n, 1500, T0_MS + n * 40_000_000)) for n in range(3)]
    os.replace(paths[0], top / "day.vtr")
    export_dataset([top / "day.vtr", *paths[1:]], top / "quotes", partition_by=("date", "symbol"), jobs=1)
    return top


@pytest.mark.parametrize("python, sql", recipes())
def test_the_docs_recipes_run_and_agree(recipe_data, monkeypatch, python, sql):
    monkeypatch.chdir(recipe_data)
    results = []
    for block in python:
        scope = {}
        exec(compile(block, DOCS, "exec"), scope)
        results.append(scope["result"].rows())
    results += [duckdb.sql(block).pl().rows() for block in sql]
    assert results and all(results)
    # The polars and the SQL answer of a recipe are the same table.
    assert len({len(rows) for rows in results}) == 1
    # (Nulls sort first in polars, last in DuckDB.)
    firsts = [sorted(str(row[0]) for row in rows) for rows in results]
    assert all(first == firsts[0] for first in firsts)


def damaged_copy(tmp_path):
    path = write_capture(tmp_path / "d.vtr", random_frames(3, 400), block_size=2048)
    data = bytearray(path.read_bytes())
    data[-30] ^= 0xFF  # the last block's checksum fails
    path.write_bytes(bytes(data))
    return path


@pytest.mark.parametrize(
    "args, status, first_line",
    [
        (["bars", "{good}", "--every", "5x", "-o", "{tmp}/b.csv"], 2, "vornticker bars: error: argument --every: unknown interval '5x'"),
        (["bars", "{good}", "--every", "1m", "--symbols", "ZZZ", "-o", "{tmp}/b.csv"], 0, "no quotes of ZZZ"),
        (["bars", "{damaged}", "--every", "1m", "-o", "{tmp}/b.parquet"], 3, None),
        (["bars", "{good}", "--every", "1m", "-o", "{good}"], 2, "vornticker bars: error: {good}: refusing to overwrite the input"),
        (["chart", "{good}", "A", "-o", "{tmp}/missing/c.png"], 2, "vornticker chart: error: {tmp}/missing: no such directory"),
        (["export", "{good}", "--dataset", "{tmp}/foreign"], 2, "vornticker export: error: {tmp}/foreign: not a vornticker dataset"),
    ],
)
def test_bad_input_is_one_line_and_the_right_status(tmp_path, capsys, args, status, first_line):
    good = write_capture(tmp_path / "g.vtr", random_frames(4, 200))
    (tmp_path / "foreign").mkdir()
    (tmp_path / "foreign" / "mine.txt").write_text("x")
    names = {"good": good, "damaged": damaged_copy(tmp_path), "tmp": tmp_path}
    before = sorted(p.name for p in tmp_path.rglob("*"))
    try:
        got = cli.main([a.format(**names) for a in args])
    except SystemExit as e:  # argparse's usage errors
        got = e.code
    assert got == status
    err = capsys.readouterr().err
    if first_line is not None:
        assert first_line.format(**names) in err.splitlines()[0]
    if status == 2:
        assert sorted(p.name for p in tmp_path.rglob("*")) == before
