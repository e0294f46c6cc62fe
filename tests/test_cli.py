"""The command line (python -m vornticker), the demo, and the example
application, each run as a real process against the local feed."""

import ast
import importlib.util
import io
import json
import logging
import os
import re
import select
import signal
import subprocess
import sys
import time

import pytest
from rich.console import Console

from children import child_env
from vornticker import cli
from vornticker.demo import demo_symbols
from vornticker.feed import FIELDS

PROJECT_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUMMARY = re.compile(r"^(\d+) quotes? from (\d+) symbols? in ([0-9.]+) s \((\d+) errors?\)$", re.MULTILINE)
KEYS = {key for key, _, _ in FIELDS}


def _run(args, tmp_path, timeout=60):
    return subprocess.run(
        [sys.executable, *args], capture_output=True, text=True, cwd=tmp_path, env=child_env(), timeout=timeout
    )


def _quotes(stdout):
    quotes = [json.loads(line) for line in stdout.splitlines()]
    for q in quotes:
        assert isinstance(q, dict) and q.keys() <= KEYS
        assert isinstance(q["price"], float) and isinstance(q["time"], int)
    return quotes


def test_json_watch_prints_only_subscribed_quotes_at_about_the_rate(tmp_path):
    rate, seconds, symbols = 20, 3, ["AAPL", "BTC-USD"]
    done = _run(
        ["-m", "vornticker", "watch", "--json", "--feed", "local", "--seconds", str(seconds), "--rate", str(rate)]
        + symbols,
        tmp_path,
    )
    assert done.returncode == 0, done.stderr
    quotes = _quotes(done.stdout)
    assert {q["id"] for q in quotes} == set(symbols)
    expected = rate * seconds * len(symbols)
    assert expected / 3 <= len(quotes) <= expected * 3
    summary = SUMMARY.search(done.stderr)
    assert summary and (int(summary[1]), int(summary[2]), int(summary[4])) == (len(quotes), 2, 0)


@pytest.mark.parametrize(
    "sig, status",
    [(signal.SIGINT, 130), (signal.SIGTERM, -signal.SIGTERM)],
    ids=["SIGINT", "SIGTERM"],
)
def test_a_signal_ends_the_watch_through_the_tickers_shutdown(tmp_path, sig, status):
    proc = subprocess.Popen(
        [sys.executable, "-m", "vornticker", "watch", "--json", "--feed", "local", "AAPL"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        cwd=tmp_path,
        env=child_env(),
    )
    try:
        # The first quote shows the ticker is connected and its handlers are in place.
        ready, _, _ = select.select([proc.stdout], [], [], 30)
        assert ready, "no quote within 30 s"
        first = proc.stdout.readline()
        proc.send_signal(sig)
        out, err = proc.communicate(timeout=15)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == status, err
    _quotes(first + out)
    assert "Traceback" not in err
    if sig == signal.SIGINT:
        assert SUMMARY.search(err)


def test_live_view_shows_every_symbol_and_a_status_line(tmp_path):
    symbols = ["AAPL", "^GSPC", "EURUSD=X"]
    done = _run(["-m", "vornticker", "watch", "--feed", "local", "--seconds", "1.5", "--rate", "10"] + symbols, tmp_path)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    for symbol in symbols:
        assert any(line.split()[:1] == [symbol] for line in lines), symbol
    assert any("quotes/s" in line and "reconnects" in line for line in lines)
    summary = SUMMARY.search(done.stderr)
    assert summary and int(summary[1]) > 0 and int(summary[2]) == len(symbols)


def test_demo_ends_with_its_summary(tmp_path):
    done = _run(["-m", "vornticker.demo", "--seconds", "1.5"], tmp_path)
    assert done.returncode == 0, done.stderr
    last = done.stdout.strip().splitlines()[-1]
    summary = SUMMARY.fullmatch(last)
    assert summary, last
    quotes, symbols, seconds, errors = int(summary[1]), int(summary[2]), float(summary[3]), int(summary[4])
    assert quotes > 0 and symbols == len(demo_symbols()) and errors == 0
    assert 1.0 <= seconds <= 10.0


@pytest.mark.parametrize(
    "argv",
    [
        ["watch"],
        ["watch", "--feed", "ftp://example.test/", "AAPL"],
        ["watch", "--seconds", "-1", "AAPL"],
        ["watch", "--rate", "0", "--feed", "local", "AAPL"],
        ["watch", "AAPL", "--no-such-option"],
        ["listen", "AAPL"],
    ],
)
def test_bad_command_lines_are_refused(argv, capsys):
    with pytest.raises(SystemExit) as exit_:
        cli.main(argv)
    assert exit_.value.code == 2
    # A subcommand's mistake shows that subcommand's usage.
    usage = "usage: vornticker watch " if argv[0] == "watch" else "usage: vornticker "
    assert capsys.readouterr().err.startswith(usage)


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["watch", "AAPL"], "is a placeholder: use --feed local"),
        (["watch", "--feed", "wss://quotes.test/", "--ca-file", "{missing}", "AAPL"], "{missing}: no such file"),
        (["watch", "--feed", "wss://quotes.test/", "--ca-file", "{text}", "AAPL"], "{text}: holds no PEM certificate"),
        (["watch", "--feed", "local", "--ca-file", "{text}", "AAPL"], "--ca-file does not apply to --feed local"),
        (["watch", "--feed", "ws://quotes.test/", "--ca-file", "{text}", "AAPL"], "ws:// has no TLS"),
        (["watch", "--feed", "wss://127.0.0.1:99999/", "AAPL"], "'wss://127.0.0.1:99999/': the port must be"),
        (["watch", "--feed", "wss:///?version=2", "AAPL"], "names no host"),
    ],
    ids=[
        "placeholder endpoint",
        "missing CA file",
        "CA file without certificate",
        "CA for local",
        "CA for ws",
        "port out of range",
        "no host",
    ],
)
def test_what_cannot_work_is_one_line_naming_the_option_or_file(argv, expected, tmp_path, capsys):
    paths = {"missing": str(tmp_path / "missing.pem"), "text": str(tmp_path / "text.pem")}
    (tmp_path / "text.pem").write_text("not a certificate\n")
    status = cli.main([arg.format(**paths) for arg in argv])
    err = capsys.readouterr().err
    assert status == 2 and err.startswith("vornticker watch: error: ") and err.count("\n") == 1, err
    assert expected.format(**paths) in err


@pytest.mark.parametrize("json_lines", [True, False], ids=["json", "table"])
def test_a_closed_output_ends_the_watch_in_order_with_status_0(tmp_path, json_lines):
    # As `vornticker watch ... | head -n 1`: the reader goes away long before --seconds run out.
    argv = [sys.executable, "-m", "vornticker", "watch", "--feed", "local", "--seconds", "120", "AAPL", "BTC-USD"]
    proc = subprocess.Popen(
        argv + (["--json"] if json_lines else []),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=tmp_path, env=child_env(),
    )  # fmt: skip
    try:
        if json_lines:
            ready, _, _ = select.select([proc.stdout], [], [], 30)
            assert ready, "no quote within 30 s"
            _quotes(proc.stdout.readline())
        proc.stdout.close()
        err = proc.stderr.read()
        status = proc.wait(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert status == 0, err
    assert "Traceback" not in err and "Exception ignored" not in err, err
    assert SUMMARY.search(err), err


@pytest.mark.parametrize(
    "logged, expected",
    [
        ("", "timed out after 8 s"),
        ("[Errno 111] Connect call failed ('127.0.0.1', 1)", "connection refused (127.0.0.1:1)"),
        ("[Errno -2] Name or service not known", "host name not resolved"),
        (
            "[SSL ROUTINES: CERTIFICATE_VERIFY_FAILED] ssl handshake failed: unable to get local issuer certificate",
            "certificate not trusted (unable to get local issuer certificate)",
        ),
    ],
    ids=["timeout", "refused", "unresolved", "untrusted"],
)
def test_a_failing_connection_shows_its_cause_and_the_next_try(logged, expected):
    session = cli._Session(cli.WatchOptions(["AAPL"]), io.StringIO(), Console(file=io.StringIO(), width=100))
    ticker_log = logging.getLogger("vornticker.vornticker")
    for level, text in [
        (logging.ERROR, f"Error occured on connect :: {logged}"),
        (logging.WARNING, "Reconnect failed/unstable (7 in a row) :: backing off 5.42s"),
    ]:
        session.log.handle(ticker_log.makeRecord(ticker_log.name, level, __file__, 0, text, (), None))
    session.console.print(session.render())
    shown = session.console.file.getvalue()
    assert f"cannot connect: {expected}" in shown
    assert re.search(r"next try in [0-5]\.\d s \(7 failures in a row\)", shown), shown


@pytest.mark.parametrize(
    "width, columns",
    [
        (120, cli._COLUMNS),
        (60, ("Symbol", "Last", "Change", "% Chg")),
        (40, ("Symbol", "Last", "% Chg")),
        (24, ("Symbol", "Last")),
    ],
)
def test_narrow_terminals_drop_whole_columns_and_never_cut_a_number(width, columns):
    prices = {"AAPL": (193.52, "193.52"), "BTC-USD": (64167.125, "64,167.12"), "AAPL260320C00200000": (6.35, "6.35")}
    session = cli._Session(cli.WatchOptions(list(prices)), io.StringIO(), Console(file=io.StringIO(), width=width))
    for symbol, (price, _) in prices.items():
        session.on_quote({"id": symbol, "price": price, "change": -1234.5, "changePercent": -1.91, "bid": price,
                          "ask": price, "dayVolume": 12_345_678, "time": 1_700_000_000_000,
                          "shortName": "A Name"})  # fmt: skip
    session.console.print(session.render())
    lines = session.console.file.getvalue().splitlines()
    # The table (blank, header, rule, rows, blank), then one status line and one note.
    assert len(lines) == len(prices) + 6 and all(len(line) <= width for line in lines), lines
    assert [c for c in cli._COLUMNS if c in lines[1]] == list(columns), lines[1]
    rows = lines[3 : 3 + len(prices)]
    for row, (_, shown) in zip(rows, prices.values()):
        # Only a symbol too long for a narrow terminal may end in an ellipsis.
        assert shown in row.split() and "…" not in row.split(maxsplit=1)[1], row


def test_example_application_runs(tmp_path):
    t0 = time.monotonic()
    done = _run([os.path.join(PROJECT_ROOT, "examples", "simple_app.py")], tmp_path)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "-- Socket opened." and lines[-2] == "-- Socket closed."
    rtt = next(i for i, line in enumerate(lines) if line.startswith("-- round trip:"))
    before = {line.split()[0] for line in lines[1:rtt]}
    after = {line.split()[0] for line in lines[rtt + 1 : -2]}
    # The app unsubscribes EURUSD=X just before it measures the round trip.
    assert before == {"AAPL", "BTC-USD", "EURUSD=X"} and after == {"AAPL", "BTC-USD"}
    assert time.monotonic() - t0 < 60


def test_stream_example_runs(tmp_path):
    done = _run([os.path.join(PROJECT_ROOT, "examples", "stream_app.py")], tmp_path)
    assert done.returncode == 0, done.stderr
    *_, stats, per_symbol = done.stdout.splitlines()
    counts = ast.literal_eval(per_symbol.removeprefix("-- quotes per symbol: "))
    assert set(counts) == {"AAPL", "BTC-USD", "EURUSD=X", "ETH-USD"}
    assert stats == f"-- {sum(counts.values())} quotes, 0 dropped, 0 bad frames"


def _readme_example(heading):
    with open(os.path.join(PROJECT_ROOT, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    section = readme.split(f"\n{heading}\n", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.DOTALL)[1]


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_package_and_example_application_type_check_strictly(request, tmp_path):
    cache = getattr(request.config, "cache", None)
    cache = cache.mkdir("mypy") if cache is not None else None
    readme_example = tmp_path / "readme_using_it.py"
    readme_example.write_text(_readme_example("## Using it"))
    args = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "vornticker", "examples/simple_app.py",
            "examples/stream_app.py", str(readme_example)]  # fmt: skip
    if cache is not None:
        args[3:3] = ["--cache-dir", str(cache)]
    done = subprocess.run(args, capture_output=True, text=True, cwd=PROJECT_ROOT, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
