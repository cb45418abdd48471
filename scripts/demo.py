"""Demonstrate the module on a damaged CSV file.

Usage: python scripts/demo.py samples/damaged.csv
"""

from __future__ import annotations

import sys

import _csv_rowvane_backend


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(f"usage: {argv[0]} CSV_FILE", file=sys.stderr)
        return 2
    path = argv[1]
    # sniff() takes text; undecodable bytes become U+FFFD so a damaged file
    # still yields a sample, and newline="" keeps the original line ends.
    with open(path, encoding="utf-8", errors="replace", newline="") as f:
        sample = f.read()
    print(repr(_csv_rowvane_backend.sniff(sample)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
