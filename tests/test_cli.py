"""The command line (python -m vornticker), the demo, and the example
application, each run as a real process against the local feed."""

import ast
import importlib.util
import json
import os
import re
import select
import signal
import subprocess
import sys
import time

import pytest

from children import child_env
from vornticker import cli
from vornticker.demo import demo_symbols
from vornticker.feed import FIELDS

PROJECT_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUMMARY = re.compile(r"^(\d+) quotes from (\d+) symbols in ([0-9.]+) s \((\d+) errors\)$", re.MULTILINE)
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
        ["listen", "AAPL"],
    ],
)
def test_bad_command_lines_are_refused(argv, capsys):
    with pytest.raises(SystemExit) as exit_:
        cli.main(argv)
    assert exit_.value.code == 2
    assert "usage:" in capsys.readouterr().err


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


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_package_and_example_application_type_check_strictly(request):
    cache = getattr(request.config, "cache", None)
    cache = cache.mkdir("mypy") if cache is not None else None
    args = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "vornticker", "examples/simple_app.py",
            "examples/stream_app.py"]  # fmt: skip
    if cache is not None:
        args[3:3] = ["--cache-dir", str(cache)]
    done = subprocess.run(args, capture_output=True, text=True, cwd=PROJECT_ROOT, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
