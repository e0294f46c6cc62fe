"""decode_columns and the Arrow export, with pyarrow and polars as the
independent readers of the capsules, decode_frame as the oracle of every
row, and the capture export read back by the formats' own readers."""

import csv
import ctypes
import gc
import json
import math
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quotes as q
from test_decoder import messages
from vornticker import decode_columns, decode_frame, recording
from vornticker.export import ExportError, export

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pl = pytest.importorskip("polars")

T0 = 1_700_000_000_000_000_000
ARROW_TYPES = {
    "string": pa.string(),
    "float": pa.float64(),
    "double": pa.float64(),
    "sint64": pa.int64(),
    "int32": pa.int32(),
    "repeated string": pa.list_(pa.string()),
}
# Epoch times whose unit the feed and the samples tell are typed times.
TIMES = {"time": pa.timestamp("ms", "UTC")}
RECV = pa.field("recv_ns", pa.timestamp("ns", "UTC"), nullable=False)
FIELDS = [pa.field(name, TIMES.get(name, ARROW_TYPES[kind])) for _, name, kind in q.FIELDS]


UNITS = {"recv_ns": "ns"} | {name: t.unit for name, t in TIMES.items()}


def untimed(table):
    """The table with every time as the integer of its own unit, as in the dicts
    (a reader may hand it back in another unit: Parquet has no seconds)."""
    for i, name in enumerate(table.column_names):
        if name in UNITS:
            table = table.set_column(i, name, table[name].cast(pa.timestamp(UNITS[name], "UTC")).cast(pa.int64()))
    return table


def expected_rows(frames, times):
    """decode_frame's dicts (after recv_ns) and (index, type, args) of its errors."""
    rows, errors = [], []
    for i, frame in enumerate(frames):
        try:
            quote = decode_frame(frame)
        except Exception as exc:
            errors.append((i, type(exc), exc.args))
        else:
            rows.append(({"recv_ns": times[i]} if times else {}) | quote)
    return rows, errors


def assert_rows(got, want):
    """Rows read by an Arrow consumer: the dict's value where it has the key, None where not."""
    assert len(got) == len(want)
    for row, quote in zip(got, want):
        for name, value in row.items():
            assert q.same_value(value, quote[name]) if name in quote else value is None, (name, value, quote)


def consumer_rows(cols):
    """The rows as pyarrow and as polars read them, times as their int64 values."""
    frame = pl.DataFrame(cols)
    frame = frame.with_columns(pl.col(name).dt.epoch(unit) for name, unit in UNITS.items() if name in frame.columns)
    return untimed(pa.table(cols)).to_pylist(), frame.rows(named=True)


# Good frames of any fields, frames that fail in each way, invalid UTF-8 in text.
frames_strategy = st.one_of(
    messages.map(q.frame),
    messages.map(lambda wire: q.frame(wire[: len(wire) // 2])),
    st.binary(max_size=30),
    st.sampled_from([b'{"message":"@@"}', b'{"message":5}', b'{"message":"FQAAgA=="}']),
)


@settings(max_examples=300, deadline=None)
@given(st.lists(frames_strategy, max_size=20), st.integers(1, 7), st.booleans(), st.data())
def test_rows_and_errors_match_decode_frame(frames, batch_rows, with_times, data):
    times = data.draw(st.lists(st.integers(-(2**63), 2**63 - 1), min_size=len(frames), max_size=len(frames)))
    times = times if with_times else None
    cols = decode_columns(frames, times, batch_rows=batch_rows)
    rows, errors = expected_rows(frames, times)
    assert [(i, type(exc), exc.args) for i, exc in cols.errors] == errors
    assert cols.num_rows == len(rows)
    for got, want in zip(cols.to_pylist(), rows, strict=True):
        q.assert_same_dict(got, want)
    for got in consumer_rows(cols):
        assert_rows(got, rows)


# Ill-formed UTF-8 of every kind, replaced as str(..., "replace") does.
TEXTS = [b"\xe2\x82", b"\xe2\x82A", b"\xe0\x80\xaf", b"\xed\xa0\x80", b"\xed\x9f\xbf", b"\xf4\x90\x80\x80",
         b"\xf0\x9f\x98", b"\xf0\x9f\x98\x80", b"a\xc0\xafb", b"\xff\xfe", b"\xc2", b"12345678\x80tail"]


def test_text_is_the_dicts_text():
    frames = [q.frame(q.field_bytes("shortName", t) + q.field_bytes("indices", t)) for t in TEXTS]
    rows, _ = expected_rows(frames, None)
    assert [row["shortName"] for row in rows] == [t.decode("utf-8", "replace") for t in TEXTS]
    for got in consumer_rows(decode_columns(frames)):
        assert_rows(got, rows)


@pytest.mark.parametrize("times", [None, [T0]], ids=["no times", "times"])
def test_schema(times):
    want = pa.schema(([RECV] if times else []) + FIELDS)
    cols = decode_columns([q.frame(q.sample_wire("equity"))], times)
    assert pa.schema(cols) == want and pa.table(cols).schema == want
    assert cols.column_names == want.names
    empty = decode_columns([], [] if times else None)
    assert pa.table(empty).schema == want and pa.table(empty).num_rows == 0


@pytest.mark.parametrize(
    "args, kwargs, error, match",
    [
        (([b"{}"], [1, 2]), {}, ValueError, "more items"),
        (([b"{}", b"{}"], [1]), {}, ValueError, "fewer items"),
        (([b"{}", 5],), {}, TypeError, "payload 1 is int"),
        (([(1, b"{}")], [1]), {}, TypeError, "pairs"),
        (([(1, b"{}"), b"{}"],), {}, TypeError, "item 1 is bytes"),
        (([b"{}"], [2**63]), {}, OverflowError, "too big"),
        (([b"{}"],), {"batch_rows": 0}, ValueError, "batch_rows"),
        (([b"{}"], None, 5), {}, TypeError, "positional"),
    ],
)
def test_argument_errors(args, kwargs, error, match):
    with pytest.raises(error, match=match):
        decode_columns(*args, **kwargs)


def test_streams_outlive_the_object():
    frames = [q.frame(q.sample_wire(kind)) for kind in sorted(q.SAMPLE_QUOTES)] * 5
    cols = decode_columns(iter(frames), batch_rows=4)
    reader = pa.RecordBatchReader.from_stream(cols)
    capsule = cols.__arrow_c_stream__()
    del cols
    gc.collect()
    assert [batch.num_rows for batch in reader] == [4, 4, 4, 3]

    class Taken:  # hands over the capsule taken before the object went away
        def __arrow_c_stream__(self, requested_schema=None):
            return capsule

    ids = pa.RecordBatchReader.from_stream(Taken()).read_all()["id"].to_pylist()
    assert ids == [decode_frame(f)["id"] for f in frames]


def _c_heap_in_use():
    process = ctypes.CDLL(None)
    sanitizer = getattr(process, "__sanitizer_get_current_allocated_bytes", None)  # ASan's allocator
    if sanitizer is not None:
        sanitizer.restype = ctypes.c_size_t
        return sanitizer()

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                     "keepcost")]

    mallinfo2 = getattr(process, "mallinfo2", None)
    if mallinfo2 is None:
        pytest.skip("no mallinfo2 in this C library")
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def test_consumers_that_stop_early_leak_nothing():
    # The batches are C memory: what the C allocator holds must come back
    # after every way a consumer can leave a stream.
    frames = [q.frame(q.field_bytes("shortName", b"x" * 2000) + q.sample_wire("option"))] * 10_000
    before = _c_heap_in_use()
    cols = decode_columns(frames, batch_rows=1000)
    held = _c_heap_in_use() - before
    if held < 10_000_000:
        pytest.skip("the C allocator does not report the columns")
    cols.__arrow_c_stream__()  # never imported
    cols.__arrow_c_schema__()
    reader = pa.RecordBatchReader.from_stream(cols)
    first = reader.read_next_batch()
    assert first.num_rows == 1000 and first.column("shortName")[0].as_py() == "x" * 2000
    del reader, first
    pl.DataFrame(cols).select("shortName").head(1)
    del cols
    gc.collect()
    assert _c_heap_in_use() - before < held // 20


def _capture(path, frames):
    with recording.Recorder(path, block_size=512) as rec:
        for i, frame in enumerate(frames):
            rec.write(frame, T0 + i)


def test_recording_to_arrow(tmp_path):
    frames = [q.frame(q.sample_wire(kind)) for kind in sorted(q.SAMPLE_QUOTES)] + [b"", b"{}"]
    _capture(tmp_path / "c.vtr", frames)
    with recording.open(tmp_path / "c.vtr") as capture:
        cols = capture.to_arrow()
        assert capture.stats.bad_frames == 2
    rows, errors = expected_rows(frames, [T0 + i for i in range(len(frames))])
    assert [(i, type(exc), exc.args) for i, exc in cols.errors] == errors
    assert cols.to_pylist() == rows and cols.column_names[0] == "recv_ns"
    _capture(tmp_path / "empty.vtr", [])
    with recording.open(tmp_path / "empty.vtr") as capture:
        assert pa.table(capture.to_arrow()).schema == pa.schema([RECV] + FIELDS)


def _read_back(path, fmt):
    """The exported rows as the format's own reader gives them, absent values as None."""
    if fmt == "parquet":
        return untimed(pq.read_table(path)).to_pylist()
    if fmt == "jsonl":
        names = decode_columns([], []).column_names
        return [{name: row.get(name) for name in names} for row in map(json.loads, path.open())]
    with path.open(newline="") as f:
        rows = list(csv.DictReader(f))
    typed = {name: kind for _, name, kind in q.FIELDS} | {"recv_ns": "sint64"}
    parse = {"string": str, "float": float, "double": float, "sint64": int, "int32": int, "repeated string": json.loads}
    return [{k: (parse[typed[k]](v) if v != "" else None) for k, v in row.items()} for row in rows]


@pytest.mark.parametrize("fmt", ["parquet", "csv", "jsonl"])
def test_export_writes_every_decoded_frame(tmp_path, fmt):
    odd = q.PricingData(id="Q\u00e9", price=math.nan, indices=["^GSPC", "^DJI"], quoteType=-7).SerializeToString()
    frames = ([q.frame(q.sample_wire(kind)) for kind in sorted(q.SAMPLE_QUOTES)] + [q.frame(odd), b"junk"]) * 40
    _capture(tmp_path / "c.vtr", frames)
    calls = []
    result = export(tmp_path / "c.vtr", tmp_path / f"out.{fmt}", progress=lambda done, total: calls.append((done, total)))
    rows, errors = expected_rows(frames, [T0 + i for i in range(len(frames))])
    assert (result.frames, result.rows, result.bad_frames) == (len(frames), len(rows), len(errors))
    if fmt == "jsonl":  # JSON has no NaN
        rows = [{k: (None if isinstance(v, float) and math.isnan(v) else v) for k, v in row.items()} for row in rows]
    assert_rows(_read_back(tmp_path / f"out.{fmt}", fmt), rows)
    total = (tmp_path / "c.vtr").stat().st_size
    assert calls[-1] == (total, total) and [d for d, _ in calls] == sorted(d for d, _ in calls)


def test_parquet_export_names_the_extra_without_pyarrow(tmp_path, monkeypatch):
    _capture(tmp_path / "c.vtr", [q.frame(q.sample_wire("equity"))])
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    monkeypatch.setitem(sys.modules, "pyarrow.parquet", None)
    with pytest.raises(ExportError, match=r"vornticker\[arrow\]"):
        export(tmp_path / "c.vtr", tmp_path / "out.parquet")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["c.vtr"]
    export(tmp_path / "c.vtr", tmp_path / "out.csv")  # needs nothing extra


def test_export_command_writes_what_export_writes(tmp_path, capsys):
    from vornticker import cli

    _capture(tmp_path / "c.vtr", [q.frame(q.sample_wire(kind)) for kind in sorted(q.SAMPLE_QUOTES)] + [b"junk"])
    assert cli.main(["export", str(tmp_path / "c.vtr"), "-o", str(tmp_path / "cmd.jsonl")]) == 0
    export(tmp_path / "c.vtr", tmp_path / "fn.jsonl")
    assert (tmp_path / "cmd.jsonl").read_bytes() == (tmp_path / "fn.jsonl").read_bytes()
    assert cli.main(["export", str(tmp_path / "missing.vtr"), "-o", str(tmp_path / "x.csv")]) == 2
    assert "missing.vtr" in capsys.readouterr().err


def _symbol_frames(n):
    """n frames cycling through three symbols, with a bad frame every 7th."""
    frames = []
    for i in range(n):
        frames.append(b"junk" if i % 7 == 3 else q.frame(q.PricingData(id="ABC"[i % 3], price=float(i)).SerializeToString()))
    return frames


@pytest.mark.parametrize(
    "options, keep",
    [
        ({"symbols": ["A", "C"]}, lambda i, f: f != b"junk" and i % 3 != 1),
        ({"start_ns": T0 + 50, "end_ns": T0 + 90}, lambda i, f: 50 <= i < 90 and f != b"junk"),
        ({"symbols": ["B"], "start_ns": T0 + 100}, lambda i, f: i >= 100 and i % 3 == 1 and f != b"junk"),
    ],
)
def test_export_selects_rows_by_symbol_and_time(tmp_path, options, keep):
    frames = _symbol_frames(140)
    _capture(tmp_path / "c.vtr", frames)
    result = export(tmp_path / "c.vtr", tmp_path / "out.parquet", **options)
    want = [T0 + i for i, f in enumerate(frames) if keep(i, f)]
    got = pq.read_table(tmp_path / "out.parquet")["recv_ns"].cast(pa.int64()).to_pylist()
    assert got == want and result.rows == len(want)
    in_window = [f for i, f in enumerate(frames) if T0 + i >= options.get("start_ns", T0)
                 and T0 + i < options.get("end_ns", T0 + len(frames))]
    # Frames before the start are not decoded, so not counted as bad either.
    assert result.bad_frames == in_window.count(b"junk")


def test_export_never_replaces_its_input_nor_guesses_a_format(tmp_path):
    _capture(tmp_path / "c.vtr", _symbol_frames(20))
    before = (tmp_path / "c.vtr").read_bytes()
    (tmp_path / "link.parquet").symlink_to(tmp_path / "c.vtr")
    for out, format in [(tmp_path / "c.vtr", "parquet"), (tmp_path / "link.parquet", None), (tmp_path / "x.txt", None)]:
        with pytest.raises(ExportError, match=r"refusing to overwrite the input|names no format; the known formats"):
            export(tmp_path / "c.vtr", out, format)
    assert (tmp_path / "c.vtr").read_bytes() == before and sorted(p.name for p in tmp_path.iterdir()) == ["c.vtr", "link.parquet"]


def test_export_writes_the_good_blocks_of_a_damaged_capture_or_nothing_if_strict(tmp_path):
    import io

    from test_recording import _block_offsets

    frames = _symbol_frames(60)
    _capture(tmp_path / "c.vtr", frames)
    data = bytearray((tmp_path / "c.vtr").read_bytes())
    block = _block_offsets(bytes(data))[1]
    data[block + 30] ^= 1
    (tmp_path / "c.vtr").write_bytes(bytes(data))
    with recording.open(tmp_path / "c.vtr") as capture:
        good = [f.recv_ns for f in capture if f.payload != b"junk"]
    stdout = io.BytesIO()
    result = export(tmp_path / "c.vtr", stdout, "jsonl")
    assert [json.loads(line)["recv_ns"] for line in stdout.getvalue().splitlines()] == good
    assert len(good) < 52 and result.damage[0][0] == block and "1 damaged stretch," in result.summary()
    with pytest.raises(ExportError, match="1 damaged stretch"):
        export(tmp_path / "c.vtr", tmp_path / "out.csv", strict=True)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["c.vtr"]


def test_export_command_statuses(tmp_path, capfd):
    from test_recording import _block_offsets
    from vornticker import cli

    path = tmp_path / "c.vtr"
    _capture(path, _symbol_frames(60))
    assert cli.main(["export", str(path), "-o", str(path)]) == 2
    assert capfd.readouterr().err.strip() == f"vornticker export: error: {path}: refusing to overwrite the input"
    assert cli.main(["export", str(path), "-o", str(tmp_path / "x.txt")]) == 2
    assert "the known formats are" in capfd.readouterr().err
    data = bytearray(path.read_bytes())
    data[_block_offsets(bytes(data))[1] + 30] ^= 1
    path.write_bytes(bytes(data))
    assert cli.main(["export", str(path), "-o", str(tmp_path / "out.csv"), "--strict"]) == 1
    assert "1 damaged stretch" in capfd.readouterr().err and not (tmp_path / "out.csv").exists()
    assert cli.main(["export", str(path), "-o", "-", "--format", "jsonl", "--symbols", "A", "--start", str(T0 + 30)]) == 3
    out, err = capfd.readouterr()
    rows = [json.loads(line) for line in out.splitlines()]
    assert rows and all(r["id"] == "A" and r["recv_ns"] >= T0 + 30 for r in rows) and "1 damaged stretch" in err
