"""``python -m vornticker.cli``: the same as the ``vornticker`` command."""

import sys

from . import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m vornticker.cli"))
