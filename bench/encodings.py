"""How well the front end reads files in many encodings: each file of the
generated set (tests/frontend/encoding_samples.py) is decoded as a repair
decodes it, and its text compared with the text the file was made from.

    PYTHONPATH=. .venv/bin/python bench/encodings.py [--detector chardet|charset-normalizer] [--per N]

Prints, per family, the files read exactly and the share of non-ASCII
characters read right, and the detector's time.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from collections import defaultdict

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "frontend"))

import csv_rowvane._encoding as enc  # noqa: E402
from csv_rowvane import _detect  # noqa: E402
from encoding_samples import sample_files  # noqa: E402


def _charset_normalizer(sample: bytes) -> str | None:
    import charset_normalizer

    best = charset_normalizer.from_bytes(sample).best()
    return best.encoding if best is not None else None


def non_ascii_right(want: str, got: str) -> tuple[int, int]:
    """Non-ASCII characters of ``want`` and how many of them ``got`` holds
    at the same place (line by line, position by position)."""
    total = right = 0
    for a, b in zip(want.splitlines(), got.splitlines()):
        for i, ch in enumerate(a):
            if ord(ch) >= 0x80:
                total += 1
                right += i < len(b) and b[i] == ch
    for a in want.splitlines()[len(got.splitlines()):]:
        total += sum(ord(ch) >= 0x80 for ch in a)
    return total, right


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--detector", choices=("chardet", "charset-normalizer"), default="chardet")
    ap.add_argument("--per", type=int, default=4, help="files per encoding (default 4)")
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--rows", default="20,400", help="rows per table, as MIN,MAX (default 20,400)")
    ap.add_argument("--show-misses", action="store_true")
    args = ap.parse_args()
    if args.detector == "charset-normalizer":
        enc._detect = _charset_normalizer  # type: ignore[assignment]
    spent = [0.0]
    inner = enc._detect

    def timed(sample: bytes) -> str | None:
        t = time.perf_counter()
        try:
            return inner(sample)
        finally:
            spent[0] += time.perf_counter() - t

    enc._detect = timed  # type: ignore[assignment]
    files: dict[str, int] = defaultdict(int)
    exact: dict[str, int] = defaultdict(int)
    chars: dict[str, list[int]] = defaultdict(lambda: [0, 0])
    with tempfile.TemporaryDirectory() as tmp:
        lo, hi = (int(x) for x in args.rows.split(","))
        for s in sample_files(args.seed, args.per, (lo, hi)):
            path = os.path.join(tmp, s.name + ".csv")
            with open(path, "wb") as f:
                f.write(s.data)
            d = _detect.decode_file(path, page_chooser=enc.choose_page)
            got = (d["text"] if d["text"] is not None else s.data).decode("utf-8", "replace")
            if got.startswith("\ufeff"):
                got = got[1:]
            files[s.family] += 1
            ok = got == s.text
            exact[s.family] += ok
            t, r = non_ascii_right(s.text, got)
            chars[s.family][0] += t
            chars[s.family][1] += r
            if not ok and args.show_misses:
                print(f"miss {s.name}: read as {d['encoding']} ({d['encoding_source']}"
                      f"{', fallback ' + str(d['fallback_encoding']) if d['fallback_encoding'] else ''})")
    print(f"detector {args.detector}: {spent[0]:.2f} s")
    print(f"{'family':22} {'files':>5} {'exact':>5} {'non-ASCII right':>16}")
    for fam in files:
        t, r = chars[fam]
        print(f"{fam:22} {files[fam]:5} {exact[fam]:5} {100.0 * r / max(t, 1):15.1f}%")
    t = sum(v[0] for v in chars.values())
    r = sum(v[1] for v in chars.values())
    print(f"{'all':22} {sum(files.values()):5} {sum(exact.values()):5} {100.0 * r / max(t, 1):15.1f}%")
    return 0


if __name__ == "__main__":
    sys.exit(main())
