"""Repair a damaged CSV file and show what was done.

Usage: python scripts/demo.py [CSV_FILE [OUTPUT_DIR]]

Writes <name>.repaired.csv, <name>.changes.csv and, from a strict run,
<name>.quarantine.csv into OUTPUT_DIR (default: build/demo); prints each
run's report, the change log, the rows set aside and the repaired rows.
"""

from __future__ import annotations

import os
import sys

import csv_rowvane


def main(argv: list[str]) -> int:
    if len(argv) > 3:
        print(f"usage: {argv[0]} [CSV_FILE [OUTPUT_DIR]]", file=sys.stderr)
        return 2
    path = argv[1] if len(argv) > 1 else "samples/damaged.csv"
    out_dir = argv[2] if len(argv) > 2 else os.path.join("build", "demo")
    os.makedirs(out_dir, exist_ok=True)
    stem = os.path.splitext(os.path.basename(path))[0]
    output = os.path.join(out_dir, f"{stem}.repaired.csv")
    changes = os.path.join(out_dir, f"{stem}.changes.csv")
    quarantine = os.path.join(out_dir, f"{stem}.quarantine.csv")

    delimiter, encoding = csv_rowvane.sniff_encoding(path)
    print(f"input:       {path} ({os.path.getsize(path)} bytes)")
    print(f"sniffed:     delimiter {delimiter!r}, encoding {encoding}")

    # Two runs: the default one repairs every row it can (pads short rows,
    # merges surplus fields); the strict one sets such rows aside instead.
    report = csv_rowvane.repair(path, output, changes=changes)
    print(f"\nrepaired:\n{report}")
    strict = csv_rowvane.repair(path, os.path.join(out_dir, f"{stem}.strict.csv"), quarantine=quarantine,
                                fill_ragged_rows=False, merge_overflow=False)
    print(f"\nstrict run:\n{strict}")

    for title, name in (("change log (default run)", changes), ("rows set aside (strict run)", quarantine)):
        print(f"\n{title}:")
        with open(name, encoding="utf-8") as f:
            sys.stdout.write("  " + "  ".join(f.readlines()))

    print("\nrepaired rows:")
    with open(output, encoding="utf-8") as f:
        lines = f.readlines()
    sys.stdout.write("  " + "  ".join(lines[:14]))
    if len(lines) > 14:
        print(f"  ... {len(lines)} lines in all")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
