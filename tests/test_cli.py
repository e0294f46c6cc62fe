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
import socket
import subprocess
import sys
import time

import pytest
from rich.console import Console

from children import child_env
from vornticker import cli, recording
from vornticker.cli import record, watch
from vornticker.demo import demo_symbols
from vornticker.feed import FIELDS, Market, encode_frame

PROJECT_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUMMARY = re.compile(r"^([0-9,]+) quotes? from ([0-9,]+) symbols? in ([0-9.]+) s \(([0-9,]+) errors?\)$", re.MULTILINE)
KEYS = {key for key, _, _ in FIELDS}


def _int(grouped):
    return int(grouped.replace(",", ""))


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
    assert summary and (_int(summary[1]), _int(summary[2]), _int(summary[4])) == (len(quotes), 2, 0)


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
    assert summary and _int(summary[1]) > 0 and _int(summary[2]) == len(symbols)


def test_demo_ends_with_its_summary(tmp_path):
    done = _run(["-m", "vornticker.demo", "--seconds", "1.5"], tmp_path)
    assert done.returncode == 0, done.stderr
    last = done.stdout.strip().splitlines()[-1]
    summary = SUMMARY.fullmatch(last)
    assert summary, last
    quotes, symbols, seconds, errors = _int(summary[1]), _int(summary[2]), float(summary[3]), _int(summary[4])
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
    # One line, naming the command whose usage was wrong.
    (line,) = capsys.readouterr().err.splitlines()
    assert line.startswith("vornticker watch: error: " if argv[0] == "watch" else "vornticker: error: "), line


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
    session = watch._Session(watch.WatchOptions(["AAPL"]), io.StringIO(), Console(file=io.StringIO(), width=100))
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
    # record's log lines, and watch's with -v, say it in the same words.
    status = io.StringIO()
    error = ticker_log.makeRecord(ticker_log.name, logging.ERROR, __file__, 0, f"Error occured on connect :: {logged}", (), None)
    record._LogToStatus(record._StatusLine(status), logging.WARNING).handle(error)
    assert f"vornticker.vornticker ERROR: cannot connect: {expected}" in status.getvalue(), status.getvalue()
    verbose = watch._Session(watch.WatchOptions(["AAPL"], verbose=1), io.StringIO(), Console(file=io.StringIO(), width=200))
    with watch._ticker_logging(verbose, verbose.console, verbose.opts):
        ticker_log.handle(error)
    assert f"cannot connect: {expected}" in verbose.console.file.getvalue()


@pytest.mark.parametrize(
    "width, columns",
    [
        (120, watch._COLUMNS),
        (60, ("Symbol", "Last", "Change", "% Chg")),
        (40, ("Symbol", "Last", "% Chg")),
        (24, ("Symbol", "Last")),
    ],
)
def test_narrow_terminals_drop_whole_columns_and_never_cut_a_number(width, columns):
    prices = {"AAPL": (193.52, "193.52"), "BTC-USD": (64167.125, "64,167.12"), "AAPL260320C00200000": (6.35, "6.35")}
    session = watch._Session(watch.WatchOptions(list(prices)), io.StringIO(), Console(file=io.StringIO(), width=width))
    for symbol, (price, _) in prices.items():
        session.on_quote({"id": symbol, "price": price, "change": -1234.5, "changePercent": -1.91, "bid": price,
                          "ask": price, "dayVolume": 12_345_678, "time": 1_700_000_000_000,
                          "shortName": "A Name"})  # fmt: skip
    session.console.print(session.render())
    lines = session.console.file.getvalue().splitlines()
    # The table (blank, header, rule, rows, blank), then one status line and one note.
    assert len(lines) == len(prices) + 6 and all(len(line) <= width for line in lines), lines
    assert [c for c in watch._COLUMNS if c in lines[1]] == list(columns), lines[1]
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


def _readme_example(heading=None):
    """The first Python block under ``heading`` (None: of the whole README)."""
    with open(os.path.join(PROJECT_ROOT, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    section = readme if heading is None else readme.split(f"\n{heading}\n", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.DOTALL)[1]


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_package_and_example_application_type_check_strictly(request, tmp_path):
    cache = getattr(request.config, "cache", None)
    cache = cache.mkdir("mypy") if cache is not None else None
    readme_example = tmp_path / "readme_using_it.py"
    readme_example.write_text(_readme_example("## Using it"))
    readme_first = tmp_path / "readme_first.py"  # the example a newcomer runs first
    readme_first.write_text(_readme_example())
    args = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "vornticker", "examples/simple_app.py",
            "examples/stream_app.py", str(readme_example), str(readme_first)]  # fmt: skip
    if cache is not None:
        args[3:3] = ["--cache-dir", str(cache)]
    done = subprocess.run(args, capture_output=True, text=True, cwd=PROJECT_ROOT, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


# -- one behaviour for every command: (command, situation) -> (exit status, stderr's first line)

TRY_WATCH = re.compile(r"try: python -m vornticker watch --feed '?ws://127\.0\.0\.1:\d+/")
WATCH_SUMMARY = re.compile(r"\d+ quotes? from 1 symbol in [0-9.]+ s \(0 errors\)$")
LOCAL = ["--feed", "local", "--rate", "20"]
SERVE = ["--port", "0", "--plain"]
ENDINGS = [
    ("watch", "bad argument", ["--seconds", "x", "AAPL"], 2, "vornticker watch: error: argument --seconds: not a number of seconds: 'x'"),
    ("record", "bad argument", ["AAPL", "-o", "{out}", "--feed", "local", "--rate", "0"], 2, "vornticker record: error: argument --rate: "),
    ("replay", "bad argument", ["{capture}", "--speed", "0"], 2, "vornticker replay: error: argument --speed: the speed must be"),
    ("info", "bad argument", [], 2, "vornticker info: error: the following arguments are required: FILE"),
    ("export", "bad argument", ["{capture}", "-o", "{out}", "--format", "xml"], 2, "vornticker export: error: argument --format: invalid choice: 'xml'"),
    ("feed", "bad argument", ["--port", "70000"], 2, "vornticker feed: error: argument --port: a port is 0 to 65535, not 70000"),
    ("replay", "missing file", ["{missing}"], 2, "vornticker replay: error: {missing}: No such file or directory"),
    ("info", "missing file", ["{missing}"], 2, "vornticker info: error: {missing}: No such file or directory"),
    ("export", "missing file", ["{missing}", "-o", "{out}"], 2, "vornticker export: error: {missing}: No such file or directory"),
    ("record", "unwritable output", ["AAPL", "-o", "{missing}/x.vtr", *LOCAL], 1, "vornticker record: error: {missing}/x.vtr: No such file or directory"),
    *[
        (command, situation, args, status, first)
        for situation, status in [("SIGINT", 130), ("SIGTERM", 143)]
        for command, args, first in [
            ("watch", ["--json", *LOCAL, "AAPL"], WATCH_SUMMARY),
            ("record", ["AAPL", "-o", "{out}", *LOCAL], re.compile(r"recording AAPL from local feed wss://127\.0\.0\.1:\d+/")),
            ("replay", ["{capture}", *SERVE], TRY_WATCH),
            ("feed", SERVE, TRY_WATCH),
        ]
    ],
    ("watch", "closed stdout", ["--json", *LOCAL, "AAPL"], 0, WATCH_SUMMARY),
    ("replay", "closed stdout", ["{capture}", *SERVE], 0, TRY_WATCH),
    ("feed", "closed stdout", SERVE, 0, TRY_WATCH),
    ("watch", "closed stderr", ["--json", *LOCAL, "--seconds", "1", "AAPL"], 0, None),
    ("record", "closed stderr", ["AAPL", "-o", "{out}", *LOCAL, "--seconds", "1"], 0, None),
    ("feed", "closed stderr", SERVE, 0, None),
]  # fmt: skip


def _end(argv, situation, cwd):
    """Runs the command into the situation; its exit status (143 for death
    by SIGTERM, as a shell reports it) and stderr's lines."""
    stderr = subprocess.PIPE
    if situation == "closed stderr":
        reader, stderr = os.pipe()
        os.close(reader)
    proc = subprocess.Popen(
        [sys.executable, "-m", "vornticker", *argv],
        stdout=subprocess.PIPE, stderr=stderr, text=True, cwd=cwd, env=child_env(),
    )  # fmt: skip
    err = ""
    try:
        if situation == "closed stderr":
            os.close(stderr)
        if situation in ("SIGINT", "SIGTERM", "closed stdout") or (situation, argv[0]) == ("closed stderr", "feed"):
            # Running, once a quote or the URL is on stdout, or (record) its first line on stderr.
            running = proc.stderr if argv[0] == "record" else proc.stdout
            assert select.select([running], [], [], 30)[0], "not running within 30 s"
            line = running.readline()
            err = line if running is proc.stderr else ""
            if situation.startswith("SIG"):
                proc.send_signal(getattr(signal, situation))
            else:
                proc.stdout.close()
        _, rest = proc.communicate(timeout=30)
        err += rest or ""
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    status = 128 - proc.returncode if proc.returncode < 0 else proc.returncode
    return status, err.splitlines()


@pytest.mark.parametrize(
    "command, situation, args, status, first", ENDINGS, ids=[f"{c}-{s}" for c, s, *_ in ENDINGS]
)
def test_every_command_ends_the_same_way_in_the_same_situation(tmp_path, command, situation, args, status, first):
    paths = {"capture": str(tmp_path / "c.vtr"), "out": str(tmp_path / "out.vtr"), "missing": str(tmp_path / "no.vtr")}
    with recording.Recorder(paths["capture"], {"symbols": ["AAPL"]}) as rec:
        rec.write(encode_frame(Market(1).tick("AAPL")), 1_700_000_000_000_000_000)
    if command == "export":
        paths["out"] = str(tmp_path / "out.csv")
    got, lines = _end([command, *(a.format(**paths) for a in args)], situation, tmp_path)
    assert got == status, lines
    assert not any("Traceback" in line or "Exception ignored" in line for line in lines), lines
    if first is None:
        assert lines == []
    elif isinstance(first, str):
        assert lines and lines[0].strip().startswith(first.format(**paths)), lines
    else:
        assert lines and first.match(lines[0].strip()), lines


NO_RICH = "import sys; sys.modules['rich'] = None; from vornticker.cli import main; sys.exit(main(['info', 'x.vtr']))"


@pytest.mark.parametrize(
    "run, status, first",
    [
        (["-m", "vornticker", "--version"], 0, "vornticker "),
        (["-m", "vornticker.cli", "--version"], 0, "vornticker "),
        (["-m", "vornticker.feed", "--port", "x"], 2, "vornticker feed: error: argument --port: not a port number: 'x'"),
        (["-c", NO_RICH], 1, "vornticker: error: the command line needs the rich package: pip install 'vornticker[cli]'"),
    ],
    ids=["python -m vornticker", "python -m vornticker.cli", "python -m vornticker.feed", "without rich"],
)
def test_every_way_in_runs_the_one_command_line(tmp_path, run, status, first):
    done = _run(run, tmp_path)
    assert done.returncode == status, done.stderr
    assert (done.stdout + done.stderr).startswith(first) and "Traceback" not in done.stderr, done.stderr


def test_ctrl_c_at_any_moment_is_status_130_without_a_traceback(monkeypatch, tmp_path, capsys):
    def interrupted(path, **options):
        raise KeyboardInterrupt

    monkeypatch.setattr(recording, "summarize", interrupted)
    assert cli.main(["info", str(tmp_path / "c.vtr")]) == 130
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("command", ["watch", "record"])
@pytest.mark.parametrize("end", ["seconds", "SIGINT"])
def test_a_command_still_connecting_ends_in_time(tmp_path, command, end):
    # A service that takes the connection and never answers the handshake:
    # the attempt lasts until the connect timeout, long after --seconds.
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen()
        feed = f"ws://127.0.0.1:{silent.getsockname()[1]}/"
        args = ["AAPL", "--feed", feed, *(["--seconds", "1"] if end == "seconds" else [])]
        args += ["--json"] if command == "watch" else ["-o", str(tmp_path / "out.vtr")]
        started = time.monotonic()
        proc = subprocess.Popen(
            [sys.executable, "-m", "vornticker", command, *args],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, cwd=tmp_path, env=child_env(),
        )  # fmt: skip
        try:
            if end == "SIGINT":
                time.sleep(1.5)
                proc.send_signal(signal.SIGINT)
            _, err = proc.communicate(timeout=30)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        elapsed = time.monotonic() - started
    # A recording that never connected failed: its last line says so.
    never = end == "seconds" and command == "record"
    assert proc.returncode == (1 if never else 0 if end == "seconds" else 130), err
    assert "Traceback" not in err and (not never or "error: never connected" in err.splitlines()[-1])
    # Half a second's grace for the close, and as much again for a busy machine.
    if end == "seconds":
        assert elapsed < 2.0 + 0.5, (elapsed, err)
    if command == "record":
        assert recording.summarize(tmp_path / "out.vtr").stats.damage == []


@pytest.mark.parametrize(
    "samples, line",
    [
        ([], ""),
        ([(59.0, 5.0)], "           ▄"),  # one price: mid-height, in the newest slice
        ([(1.0, 1.0), (30.0, 3.0), (59.0, 2.0)], "▁    █     ▅"),
        # The last price of each 5 s slice; what is older than a minute is gone.
        ([(-10.0, 9.0), (2.0, 1.0), (3.0, 2.0), (59.0, 2.0)], "▄          ▄"),
    ],
)
def test_the_watch_sparkline_shows_the_last_minute_scaled(samples, line):
    from vornticker.cli.watch import sparkline

    assert sparkline(samples, now=60.0) == line
