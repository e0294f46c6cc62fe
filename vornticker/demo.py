"""``python -m vornticker.demo [--seconds N]`` (what ``./dev demo`` runs): see vornticker.cli.demo."""

import sys

from .cli.demo import demo_symbols, main

__all__ = ["demo_symbols", "main"]

if __name__ == "__main__":
    sys.exit(main())
