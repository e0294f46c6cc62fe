"""Stand-in for `./dev demo` until vornticker/demo.py exists: proves the
built extension imports, constructs a ticker and shows its settings."""

import asyncio
import sys

from vornticker.vornticker import VornTicker


def main() -> int:
    loop = asyncio.new_event_loop()
    try:
        ticker = VornTicker(loop)
        print(f"vornticker extension: {sys.modules['vornticker.vornticker'].__file__}")
        print(f"ticker: {ticker!r}")
        shown = 0
        for name in sorted(dir(ticker)):
            if name.startswith("_"):
                continue
            value = getattr(ticker, name)
            if callable(value):
                continue
            print(f"  {name} = {value!r}")
            shown += 1
        if not shown:
            print("  (no public settings exposed)")
    finally:
        loop.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
