"""Repair a damaged CSV file and show what was done.

Usage: python scripts/demo.py [CSV_FILE [OUTPUT_DIR]]

Writes <name>.repaired.csv and <name>.quarantine.csv into OUTPUT_DIR (default:
build/demo), prints the run's summary, the quarantined rows and the first
repaired rows.
"""

from __future__ import annotations

import os
import sys

import _csv_rowvane_backend as rv


def main(argv: list[str]) -> int:
    if len(argv) > 3:
        print(f"usage: {argv[0]} [CSV_FILE [OUTPUT_DIR]]", file=sys.stderr)
        return 2
    path = argv[1] if len(argv) > 1 else "samples/damaged.csv"
    out_dir = argv[2] if len(argv) > 2 else os.path.join("build", "demo")
    os.makedirs(out_dir, exist_ok=True)
    stem = os.path.splitext(os.path.basename(path))[0]
    output = os.path.join(out_dir, f"{stem}.repaired.csv")
    quarantine = os.path.join(out_dir, f"{stem}.quarantine.csv")

    with open(path, "rb") as f:
        raw = f.read()
    sample = raw.decode("utf-8", errors="replace")
    print(f"input:       {path} ({len(raw)} bytes)")
    print(f"sniffed:     {rv.sniff(sample)!r}")

    # Two runs: the default one repairs every row it can (pads short rows,
    # merges surplus fields); the strict one sets such rows aside instead.
    summary = rv.rowvane_file(path, output)
    print(f"repaired:    {output}")
    print(f"  {summary}")
    strict = rv.rowvane_file(
        path,
        os.path.join(out_dir, f"{stem}.strict.csv"),
        quarantine_path=quarantine,
        fill_ragged_rows=False,
        merge_overflow=False,
    )
    print(f"strict run:  {quarantine}")
    print(f"  {strict}")

    print("\nquarantined rows (strict run):")
    with open(quarantine, encoding="utf-8") as f:
        sys.stdout.write("  " + "  ".join(f.readlines()))

    print("\nfirst repaired rows:")
    with rv.open(path) as reader:
        for i, row in enumerate(reader):
            if i == 6:
                break
            print(f"  {row}")
        print(f"  ... {len(reader)} rows in all")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
