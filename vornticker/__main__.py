"""``python -m vornticker``: the same as the ``vornticker`` command."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m vornticker"))
