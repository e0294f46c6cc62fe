"""``python -m vornticker.feed``: the same as ``vornticker feed``."""

import sys

from ..cli import main

if __name__ == "__main__":
    sys.exit(main(["feed", *sys.argv[1:]], prog="python -m vornticker"))
