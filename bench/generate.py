#!/usr/bin/env python3
"""Seeded generator of benchmark CSV files for _csv_rowvane_backend.

Writes one file per shape into ``bench/data/s<SIZE>/`` (git-ignored), about
``--size-mb`` megabytes (10**6 bytes) each. Everything is derived from
``--seed``, so the same arguments always give byte-identical files.

Shapes
  narrow            20 short ASCII fields per row
  wide              500 columns
  quoted_long       long quoted fields with embedded newlines, commas and ""
  utf8              multi-byte UTF-8 text fields
  utf8_ascii_twin   the same rows with every non-ASCII character replaced by
                    as many ASCII letters as it has UTF-8 bytes (same size,
                    same structure)
  quote_0/2/20      narrow rows with 0 %, 2 %, 20 % of the cells quoted
  damaged_0.1/1/5   that share of rows damaged (stray quotes, text after a
                    closing quote, ragged rows, CR / CRLF endings, invalid
                    UTF-8), a BOM at the start and exactly one unbalanced
                    opening quote a few rows before the end
  hostile           ~1 MB lines of "a"b"c"... and relatives

Speed: rows are drawn from a seeded pool of distinct rows and written in big
chunks; only the leading id column is formatted per row.
"""
from __future__ import annotations

import argparse
import json
import os
import random
import sys
import time
from pathlib import Path

GENERATOR_VERSION = 3
HERE = Path(__file__).resolve().parent
DEFAULT_DATA = HERE / "data"
DEFAULT_SIZE_MB = 50
DEFAULT_SEED = 20261208
CHUNK_BYTES = 8 << 20

SHAPES = [
    "narrow",
    "wide",
    "quoted_long",
    "utf8",
    "utf8_ascii_twin",
    "quote_0",
    "quote_2",
    "quote_20",
    "damaged_0.1",
    "damaged_1",
    "damaged_5",
    "hostile",
]

WORDS = (
    "alpha beta gamma delta omega red green blue amber slate north south east "
    "west river stone cedar maple oak pine field lake hill acme corp ltd inc "
    "open closed pending paid void ok fail yes no true false north-1 x y z "
    "foo bar baz qux quux alpha2 beta3 kilo lima mike oscar papa tango"
).split()

LOREM = (
    "lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod "
    "tempor incididunt ut labore et dolore magna aliqua enim ad minim veniam "
    "quis nostrud exercitation ullamco laboris nisi aliquip ex ea commodo "
    "consequat duis aute irure in reprehenderit voluptate velit esse cillum"
).split()

# Multi-byte vocabulary: 2-byte (Latin-1 supplement, Greek, Cyrillic),
# 3-byte (CJK, kana, symbols) and 4-byte (emoji) characters.
UTF8_WORDS = (
    "München Zürich Köln Großhändler straße façade naïve crème brûlée "
    "Ελλάδα Αθήνα καλημέρα Москва Санкт-Петербург привет данные "
    "東京 大阪 北京 上海 数据 文件 日本語 テスト カタカナ ひらがな 서울 데이터 "
    "€100 ±5 °C → ✓ ★ 🙂 🚀 🎉 📦 café señor año Ångström"
).split()


# --------------------------------------------------------------------------
# cell and row makers
# --------------------------------------------------------------------------

def _short_cell(rng: random.Random, col: int) -> str:
    kind = col % 7
    if kind == 0:
        return str(rng.randrange(1, 100000))
    if kind == 1:
        return rng.choice(WORDS)
    if kind == 2:
        return "%.2f" % (rng.random() * 1000.0)
    if kind == 3:
        return "2%03d-%02d-%02d" % (rng.randrange(0, 30), rng.randrange(1, 13), rng.randrange(1, 29))
    if kind == 4:
        return "%s-%04d" % (rng.choice("ABCDEFGHJK") + rng.choice("LMNPQRSTUV"), rng.randrange(10000))
    if kind == 5:
        return "" if rng.random() < 0.15 else rng.choice(WORDS)
    return str(rng.randrange(-500, 500))


def _quote(text: str) -> str:
    return '"' + text.replace('"', '""') + '"'


def _quoted_variant(rng: random.Random, cell: str) -> str:
    """A quoted cell; some carry a delimiter, a doubled quote or a space."""
    r = rng.random()
    if r < 0.15:
        cell = cell + ", " + rng.choice(WORDS)
    elif r < 0.25:
        cell = 'say "' + cell + '"'
    elif r < 0.35:
        cell = cell + " " + rng.choice(WORDS)
    return _quote(cell)


def _narrow_cells(rng: random.Random, ncols: int, quote_share: float) -> list[str]:
    cells = []
    for c in range(ncols):
        cell = _short_cell(rng, c)
        if quote_share and rng.random() < quote_share:
            cell = _quoted_variant(rng, cell)
        cells.append(cell)
    return cells


def _header(ncols: int, prefix: str = "col") -> bytes:
    return (",".join(["id"] + ["%s_%d" % (prefix, i) for i in range(1, ncols)]) + "\n").encode()


def _long_text(rng: random.Random) -> str:
    """200 to ~3000 characters with newlines, commas and quotes."""
    n_words = rng.randrange(30, 450)
    parts = []
    for _ in range(n_words):
        w = rng.choice(LOREM)
        r = rng.random()
        if r < 0.08:
            w += ","
        elif r < 0.11:
            w = '"' + w + '"'
        elif r < 0.14:
            w += ".\n"
        elif r < 0.15:
            w += "\r\n"
        parts.append(w)
    return " ".join(parts)


# --------------------------------------------------------------------------
# pools: distinct rows without the leading id column, each ending with "\n"
# unless it carries its own terminator.
# --------------------------------------------------------------------------

def pool_narrow(rng: random.Random, n: int, quote_share: float = 0.0) -> list[bytes]:
    return [(",".join(_narrow_cells(rng, 19, quote_share)) + "\n").encode() for _ in range(n)]


def pool_wide(rng: random.Random, n: int) -> list[bytes]:
    return [(",".join(_short_cell(rng, c) for c in range(499)) + "\n").encode() for _ in range(n)]


def pool_quoted_long(rng: random.Random, n: int) -> list[bytes]:
    out = []
    for _ in range(n):
        title = rng.choice(WORDS) + " " + rng.choice(WORDS)
        cells = [
            _quote(title),
            _quote(_long_text(rng)),
            rng.choice(WORDS),
            _quote(_long_text(rng)) if rng.random() < 0.3 else "",
            "%.3f" % rng.random(),
        ]
        out.append((",".join(cells) + "\n").encode())
    return out


def _utf8_text(rng: random.Random, lo: int, hi: int) -> str:
    words = []
    for _ in range(rng.randrange(lo, hi)):
        words.append(rng.choice(UTF8_WORDS) if rng.random() < 0.7 else rng.choice(WORDS))
    return " ".join(words)


def pool_utf8(rng: random.Random, n: int) -> list[bytes]:
    out = []
    for _ in range(n):
        cells = []
        for c in range(11):
            k = c % 4
            if k == 0:
                cells.append(_utf8_text(rng, 1, 3))
            elif k == 1:
                cells.append(_utf8_text(rng, 2, 8))
            elif k == 2:
                cells.append(_short_cell(rng, c))
            else:
                t = _utf8_text(rng, 1, 6)
                cells.append(_quote(t + ", " + rng.choice(UTF8_WORDS)) if rng.random() < 0.1 else t)
        out.append((",".join(cells) + "\n").encode())
    return out


def ascii_twin(row: bytes) -> bytes:
    """Each non-ASCII character becomes as many ASCII letters as its UTF-8
    length, so the twin has the same byte size and the same fields."""
    text = row.decode("utf-8")
    if text.isascii():
        return row
    parts = []
    for ch in text:
        cp = ord(ch)
        if cp < 0x80:
            parts.append(ch)
        else:
            parts.append(chr(0x61 + cp % 26) * len(ch.encode("utf-8")))
    return "".join(parts).encode("ascii")


# Damage kinds; none of them leaves a quote open at the end of its row.
DAMAGE_KINDS = (
    "stray_quote",       # ab"c in an unquoted field
    "text_after_close",  # "abc"def
    "ragged_short",      # 1..5 fields missing
    "ragged_long",       # 1..5 extra fields
    "cr_ending",         # row ends with CR alone
    "crlf_ending",       # row ends with CRLF
    "invalid_utf8",      # stray continuation / truncated sequence / 0xFF
    "doubled_in_plain",  # ab""c in an unquoted field
)

INVALID_UTF8 = (b"\xff", b"\xc3(", b"\xe2\x82", b"\x80\x80", b"\xed\xa0\x80", b"\xf0\x9f\x98")


def damage_row(rng: random.Random, cells: list[str]) -> bytes:
    kind = rng.choice(DAMAGE_KINDS)
    cells = list(cells)
    term = b"\n"
    plain = [i for i, c in enumerate(cells) if c and not c.startswith('"') and len(c) >= 2]
    if kind == "stray_quote" and plain:
        i = rng.choice(plain)
        c = cells[i]
        p = rng.randrange(1, len(c))  # never at the start: that would open a quote
        cells[i] = c[:p] + '"' + c[p:]
    elif kind == "doubled_in_plain" and plain:
        i = rng.choice(plain)
        c = cells[i]
        p = rng.randrange(1, len(c))
        cells[i] = c[:p] + '""' + c[p:]
    elif kind == "text_after_close":
        i = rng.randrange(len(cells))
        c = cells[i]
        inner = c if not c.startswith('"') else c[1:-1]
        cells[i] = _quote(inner) + rng.choice(WORDS)
    elif kind == "ragged_short":
        k = rng.randrange(1, 6)
        cells = cells[: max(1, len(cells) - k)]
    elif kind == "ragged_long":
        cells = cells + [rng.choice(WORDS) for _ in range(rng.randrange(1, 6))]
    elif kind == "cr_ending":
        term = b"\r"
    elif kind == "crlf_ending":
        term = b"\r\n"
    if kind == "invalid_utf8":
        body = ",".join(cells).encode()
        p = rng.randrange(0, len(body) + 1)
        return body[:p] + rng.choice(INVALID_UTF8) + body[p:] + term
    return ",".join(cells).encode() + term


def pool_damaged(rng: random.Random, n: int) -> list[bytes]:
    return [damage_row(rng, _narrow_cells(rng, 19, 0.02)) for _ in range(n)]


# --------------------------------------------------------------------------
# writers
# --------------------------------------------------------------------------

def _write_rows(path: Path, target: int, header: bytes, pool: list[bytes], rng: random.Random,
                damaged_pool: list[bytes] | None = None, damaged_share: float = 0.0,
                prefix: bytes = b"", tail: bytes = b"") -> dict:
    """Writes header + rows "<id>,<pooled row>" until `target` bytes; returns counts."""
    npool = len(pool)
    ndam = len(damaged_pool) if damaged_pool else 0
    written = len(prefix) + len(header) + len(tail)
    rows = 0
    damaged = 0
    rnd = rng.random
    rint = rng.randrange
    with open(path, "wb") as f:
        f.write(prefix + header)
        buf: list[bytes] = []
        buf_len = 0
        while written < target:
            if ndam and rnd() < damaged_share:
                row = damaged_pool[rint(ndam)]
                damaged += 1
            else:
                row = pool[rint(npool)]
            rows += 1
            line = b"%d," % rows + row
            buf.append(line)
            buf_len += len(line)
            written += len(line)
            if buf_len >= CHUNK_BYTES:
                f.write(b"".join(buf))
                buf.clear()
                buf_len = 0
        buf.append(tail)
        f.write(b"".join(buf))
    return {"rows": rows + (1 if tail else 0), "damaged_rows": damaged}


def gen_narrow(path: Path, target: int, seed: int, quote_share: float = 0.0) -> dict:
    rng = random.Random(seed)
    pool = pool_narrow(rng, 32768, quote_share)
    return _write_rows(path, target, _header(20), pool, rng)


def gen_wide(path: Path, target: int, seed: int) -> dict:
    rng = random.Random(seed)
    pool = pool_wide(rng, 1024)
    return _write_rows(path, target, _header(500), pool, rng)


def gen_quoted_long(path: Path, target: int, seed: int) -> dict:
    rng = random.Random(seed)
    pool = pool_quoted_long(rng, 4096)
    header = b"id,title,body,tag,notes,score\n"
    return _write_rows(path, target, header, pool, rng)


def gen_utf8(path: Path, target: int, seed: int, twin: bool) -> dict:
    rng = random.Random(seed)
    pool = pool_utf8(rng, 16384)
    header = _header(12, "txt")
    if twin:
        pool = [ascii_twin(r) for r in pool]
    # Same rng state on both sides, so the twin picks the same rows in order.
    return _write_rows(path, target, header, pool, rng)


def gen_damaged(path: Path, target: int, seed: int, share: float) -> dict:
    rng = random.Random(seed)
    pool = pool_narrow(rng, 32768, 0.02)
    dpool = pool_damaged(rng, 8192)
    # One unbalanced opening quote a few rows before the end: it swallows the
    # rest of the file in a quote-toggling parser, so it must stay near the end.
    tail_cells = _narrow_cells(rng, 20, 0.0)
    tail_cells[5] = '"unclosed ' + tail_cells[5]
    tail = ",".join(tail_cells).encode() + b"\n"
    for _ in range(3):
        tail += (",".join(_narrow_cells(rng, 20, 0.02)) + "\n").encode()
    return _write_rows(path, target, _header(20), pool, rng, dpool, share,
                       prefix=b"\xef\xbb\xbf", tail=tail)


def gen_hostile(path: Path, target: int, seed: int, line_bytes: int = 1 << 20) -> dict:
    """~1 MB lines. Kinds: "a"b"c"... (most), "a,"b,"c,..., and "a""b""c"...
    Every line holds an even number of quotes."""
    rng = random.Random(seed)
    letters = b"abcdefghijklmnopqrstuvwxyz"
    written = 0
    lines = 0
    with open(path, "wb") as f:
        while written < target:
            n = max(2, min(line_bytes, target - written) // 2) & ~1
            kind = rng.random()
            if kind < 0.6:
                # "a"b"c"d ... : n units of quote + letter
                buf = bytearray(2 * n)
                buf[0::2] = b'"' * n
                buf[1::2] = bytes(rng.choices(letters, k=n))
                line = bytes(buf)
            elif kind < 0.8:
                # "a,"b,"c, ... : n units of quote + letter + comma
                m = (n * 2 // 3) & ~1
                buf = bytearray(3 * m)
                buf[0::3] = b'"' * m
                buf[1::3] = bytes(rng.choices(letters, k=m))
                buf[2::3] = b"," * m
                line = bytes(buf)
            else:
                # "a""b""c"" ... " : one quoted field full of doubled quotes
                m = (n * 2 // 3)
                buf = bytearray(3 * m)
                buf[0::3] = bytes(rng.choices(letters, k=m))
                buf[1::3] = b'"' * m
                buf[2::3] = b'"' * m
                line = b'"' + bytes(buf) + b'"'
            line += b"\n"
            f.write(line)
            written += len(line)
            lines += 1
    return {"rows": lines, "damaged_rows": lines}


def generate_shape(shape: str, path: Path, target: int, seed: int) -> dict:
    s = seed + sum(map(ord, shape)) * 7919
    if shape == "narrow":
        return gen_narrow(path, target, s)
    if shape == "wide":
        return gen_wide(path, target, s)
    if shape == "quoted_long":
        return gen_quoted_long(path, target, s)
    if shape in ("utf8", "utf8_ascii_twin"):
        return gen_utf8(path, target, seed + 17, twin=(shape == "utf8_ascii_twin"))
    if shape.startswith("quote_"):
        return gen_narrow(path, target, s, float(shape.split("_")[1]) / 100.0)
    if shape.startswith("damaged_"):
        return gen_damaged(path, target, s, float(shape.split("_")[1]) / 100.0)
    if shape == "hostile":
        return gen_hostile(path, target, s)
    raise ValueError("unknown shape: %s" % shape)


def data_dir_for(base: Path, size_mb: float) -> Path:
    label = ("%g" % size_mb).replace(".", "p")
    return base / ("s%s" % label)


def ensure(shapes: list[str], size_mb: float, seed: int = DEFAULT_SEED, base: Path = DEFAULT_DATA,
           force: bool = False, quiet: bool = False) -> dict[str, dict]:
    """Generates the shapes that are missing or stale; returns the manifest."""
    d = data_dir_for(base, size_mb)
    d.mkdir(parents=True, exist_ok=True)
    mpath = d / "manifest.json"
    manifest: dict[str, dict] = {}
    if mpath.exists():
        try:
            manifest = json.loads(mpath.read_text())
        except ValueError:
            manifest = {}
    target = int(size_mb * 1_000_000)
    for shape in shapes:
        path = d / (shape + ".csv")
        entry = manifest.get(shape)
        fresh = (
            entry is not None
            and entry.get("version") == GENERATOR_VERSION
            and entry.get("seed") == seed
            and entry.get("target") == target
            and path.exists()
            and path.stat().st_size == entry.get("bytes")
        )
        if fresh and not force:
            continue
        t0 = time.perf_counter()
        info = generate_shape(shape, path, target, seed)
        info.update(version=GENERATOR_VERSION, seed=seed, target=target,
                    bytes=path.stat().st_size, path=str(path))
        manifest[shape] = info
        mpath.write_text(json.dumps(manifest, indent=1, sort_keys=True))
        if not quiet:
            print("generated %-16s %8.1f MB  %8d rows  in %.1f s" % (
                shape, info["bytes"] / 1e6, info["rows"], time.perf_counter() - t0), file=sys.stderr)
    for shape in shapes:
        manifest[shape]["path"] = str(d / (shape + ".csv"))
    return manifest


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size-mb", type=float, default=DEFAULT_SIZE_MB, help="size of each file in MB (10**6 bytes)")
    ap.add_argument("--seed", type=int, default=DEFAULT_SEED)
    ap.add_argument("--shapes", default=",".join(SHAPES), help="comma-separated list of shapes")
    ap.add_argument("--data-dir", type=Path, default=DEFAULT_DATA)
    ap.add_argument("--force", action="store_true", help="regenerate even when up to date")
    args = ap.parse_args(argv)
    shapes = [s for s in args.shapes.split(",") if s]
    unknown = [s for s in shapes if s not in SHAPES]
    if unknown:
        ap.error("unknown shapes: %s" % ", ".join(unknown))
    manifest = ensure(shapes, args.size_mb, args.seed, args.data_dir, args.force)
    for s in shapes:
        print(manifest[s]["path"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
