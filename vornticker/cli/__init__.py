"""The ``vornticker`` command line: ``vornticker COMMAND ...``.

Each command lives in a module of its name (``watch``, ``record``, ...)
that offers ``add_parser(commands)``: it adds its parser and sets ``run``,
a function of the parsed arguments that returns how the command ended
(:class:`~vornticker.cli._common.Ending`) or raises a ``CommandError``.
Adding a command is adding its module to the list in ``_parser`` below. :func:`main`
turns every ending into the exit status, the same for every command.
"""

from __future__ import annotations

import argparse
import importlib.util
import signal
import time
from collections.abc import Sequence
from typing import Final, NoReturn, Protocol

from .. import __version__
from ._common import (
    CommandError,
    Ending,
    OutputClosed,
    Subcommands,
    process_start,
    quiet_outputs,
    say,
    silence_stdout,
    stdout_closed,
)

__all__ = [
    "EXIT_DONE",
    "EXIT_FAILED",
    "EXIT_SIGINT",
    "EXIT_SIGTERM",
    "EXIT_SKIPPED",
    "EXIT_USAGE",
    "main",
]

EXIT_DONE: Final = 0
EXIT_FAILED: Final = 1  # at run time: no connection, a port in use, a write that failed
EXIT_USAGE: Final = 2  # bad usage or input: an option, a file that is not what it should be
EXIT_SKIPPED: Final = 3  # done, but data was skipped (a damaged capture)
EXIT_SIGINT: Final = 128 + signal.SIGINT
EXIT_SIGTERM: Final = 128 + signal.SIGTERM

_STATUS: Final = {
    Ending.DONE: EXIT_DONE,
    Ending.SKIPPED: EXIT_SKIPPED,
    Ending.INTERRUPTED: EXIT_SIGINT,
    Ending.TERMINATED: EXIT_SIGTERM,
}

_EPILOG: Final = f"""exit status, the same for every command:
  {EXIT_DONE}    done
  {EXIT_FAILED}    failed at run time
  {EXIT_USAGE}    bad usage or input
  {EXIT_SKIPPED}    done, but data was skipped (a damaged capture)
  {EXIT_SIGINT}  ended by SIGINT (Ctrl-C)
  {EXIT_SIGTERM}  ended by SIGTERM"""

# What a missing optional dependency of the command line is installed with.
_EXTRA: Final = "pip install 'vornticker[cli]'"


class _Command(Protocol):
    def add_parser(self, commands: Subcommands) -> argparse.ArgumentParser: ...


class _Parser(argparse.ArgumentParser):
    """Bad usage is one line, ``vornticker CMD: error: WHAT``, and status 2."""

    label = "vornticker"

    def error(self, message: str) -> NoReturn:
        say(f"{self.label}: error: {message}")
        self.exit(EXIT_USAGE)


def _parser(prog: str) -> tuple[_Parser, dict[str, _Parser]]:
    """The program's parser, and each command's by its name."""
    from . import bars, chart, export, feed, info, record, replay, watch

    modules: Sequence[_Command] = (watch, record, replay, info, export, bars, chart, feed)

    parser = _Parser(
        prog=prog,
        description="Stream market quotes; record, replay and export captures; serve a local feed.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"vornticker {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)
    for module in modules:
        module.add_parser(commands)
    parsers = {name: sub for name, sub in commands.choices.items() if isinstance(sub, _Parser)}
    for name, sub in parsers.items():
        sub.label = f"vornticker {name}"
    return parser, parsers


def _end_by_sigterm() -> int:
    # After the command has said how it ended: the process ends by the signal
    # itself, as a shell expects of a program that SIGTERM stopped.
    quiet_outputs()
    try:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        signal.raise_signal(signal.SIGTERM)
    except ValueError:  # not the main thread
        pass
    return EXIT_SIGTERM


def _run(argv: Sequence[str] | None, prog: str) -> int:
    started = time.monotonic()
    if importlib.util.find_spec("rich") is None:
        say(f"vornticker: error: the command line needs the rich package: {_EXTRA}")
        return EXIT_FAILED
    parser, commands = _parser(prog)
    args, unknown = parser.parse_known_args(argv)
    if unknown:
        command = commands.get(args.command, parser)
        # The command's own label, not the program's.
        command.error(f"unrecognized arguments: {' '.join(unknown)}")
    args.program = prog
    # --seconds count from the start of the program, or of this call within another one.
    args.started = process_start() if argv is None else started
    try:
        ending: Ending = args.run(args)
    except OutputClosed:
        return EXIT_DONE
    except BrokenPipeError:
        if not stdout_closed():
            raise
        silence_stdout()
        return EXIT_DONE
    except CommandError as e:
        say(f"vornticker {args.command}: error: {e}")
        return EXIT_FAILED if e.at_run_time else EXIT_USAGE
    if ending is Ending.TERMINATED:
        return _end_by_sigterm()
    return _STATUS[ending]


def main(argv: Sequence[str] | None = None, *, prog: str = "vornticker") -> int:
    """Runs the command line on ``argv`` (default: ``sys.argv[1:]``) and
    returns the exit status. ``prog`` is the program as the user typed it,
    for usage and for the commands that hints suggest."""
    try:
        return _run(argv, prog)
    except KeyboardInterrupt:  # at any moment outside a command's own handling: before it started, say
        return EXIT_SIGINT
    finally:
        quiet_outputs()
