"""Encodings: how well and how fast the front end reads files that are not
UTF-8.

Accuracy: each file of the generated set (tests/frontend/encoding_samples.py)
is decoded as a repair decodes it, and its text compared with the text the
file was made from; per family, the files read exactly and the share of
non-ASCII characters read right, and the detector's time.

    PYTHONPATH=. .venv/bin/python bench/encodings.py [--detector chardet|charset-normalizer] [--per N]

Speed (--speed): the repair (detection, decoding and repair) of ~50 MB
files in cp1252, UTF-16 LE and GBK against the repair of the same text in
UTF-8, the whole-file UTF-8 check against the same run without the decode
stage, and beside them the streaming I/O floor (read and write through one
reused 1 MiB buffer) and the whole-buffer floor (read the file into one
buffer, write it). Each job runs in its own process (best of --repeat; CPU
time and peak RSS of that process).

    PYTHONPATH=. .venv/bin/python bench/encodings.py --speed [--size-mb 50] [--write-results]
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
from csv_rowvane import _core  # noqa: E402
from encoding_samples import sample_files, table_text  # noqa: E402


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


from benchlib import HERE, report_best, write_section  # noqa: E402

DATA = os.path.join(HERE, "data", "encodings")

# name -> (language, encoding of the file)
SPEED_FILES = {
    "western-utf8": ("fr", "utf-8"),
    "western-cp1252": ("fr", "cp1252"),
    "western-utf16le": ("fr", "utf-16"),  # a spreadsheet's "Unicode text": LE with a mark
    "chinese-utf8": ("zh", "utf-8"),
    "chinese-gbk": ("zh", "gbk"),
}
# (label, job, file, the job and file it is compared with, target ratio)
SPEED_JOBS = [
    ("cp1252 ÷ UTF-8, same text", "repair", "western-cp1252", ("repair", "western-utf8"), 1.3),
    ("UTF-16 LE ÷ UTF-8, same text", "repair", "western-utf16le", ("repair", "western-utf8"), 1.3),
    ("GBK ÷ UTF-8, same text", "repair", "chinese-gbk", ("repair", "chinese-utf8"), 2.0),
    ("UTF-8: whole-file check ÷ no decode stage", "table_run", "western-utf8", ("table_run_as_read", "western-utf8"),
     1.03),
    ("UTF-8 (CJK): whole-file check ÷ no decode stage", "table_run", "chinese-utf8",
     ("table_run_as_read", "chinese-utf8"), 1.03),
]


def speed_data(size_mb: int) -> dict[str, str]:
    import random

    os.makedirs(DATA, exist_ok=True)
    paths = {}
    texts: dict[str, str] = {}
    for name, (language, encoding) in SPEED_FILES.items():
        path = os.path.join(DATA, f"{name}-{size_mb}mb.csv")
        paths[name] = path
        if os.path.exists(path):
            continue
        if language not in texts:
            rng = random.Random(20261208)
            parts, size = [], 0
            while size < size_mb * 10**6:
                part = table_text(language, 5000, rng, ";")
                if parts:
                    part = part.split("\n", 1)[1]
                parts.append(part)
                size += len(part.encode("utf-8"))
            texts[language] = "".join(parts)
        with open(path + ".tmp", "wb") as f:
            f.write(texts[language].encode(encoding))
        os.replace(path + ".tmp", path)
    return paths


def speed_worker(job: str, inp: str, out: str, repeat: int) -> None:
    import csv_rowvane

    def run() -> None:
        if job == "repair":
            csv_rowvane.repair(inp, out)
        elif job == "table_run":
            _core.repair_file(inp, out, page_chooser=enc.choose_page)
        elif job == "table_run_as_read":
            _core.repair_file(inp, out, encoding=("as-read", "", ""))
        elif job == "stream_floor":
            buf = bytearray(1 << 20)
            view = memoryview(buf)
            with open(inp, "rb", buffering=0) as src, open(out, "wb", buffering=0) as dst:
                while n := src.readinto(buf):
                    dst.write(view[:n])
        elif job == "buffer_floor":
            with open(inp, "rb", buffering=0) as src:
                data = bytearray(os.fstat(src.fileno()).st_size)
                src.readinto(data)
            with open(out, "wb", buffering=0) as dst:
                dst.write(data)
        else:
            raise ValueError(job)

    report_best(run, repeat)


def speed(size_mb: int, repeat: int, write_results: bool) -> int:
    import json
    import subprocess

    paths = speed_data(size_mb)
    results: dict[tuple[str, str], dict[str, float]] = {}
    wanted = {(job, name) for _, job, name, _, _ in SPEED_JOBS} | {base for *_, base, _ in SPEED_JOBS}
    wanted |= {(floor, name) for name in paths for floor in ("stream_floor", "buffer_floor")}
    with tempfile.TemporaryDirectory(dir=DATA) as tmp:
        for job, name in sorted(wanted, key=lambda t: (t[1], t[0])):
            r = subprocess.run([sys.executable, __file__, "--worker", job, paths[name], os.path.join(tmp, "out.csv"),
                                str(repeat)], capture_output=True, text=True, check=True)
            results[(job, name)] = json.loads(r.stdout.strip().splitlines()[-1])
            print(f"{name:18} {job:16} {results[(job, name)]}", file=sys.stderr)
    lines = [
        "## Encodings: detection, decoding and repair against the same text in UTF-8",
        "",
        f"Written by `bench/encodings.py --speed` on {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; "
        f"files of about {size_mb} MB made from the same table text ({len(SPEED_FILES)} files), "
        f"best of {repeat}, each job in its own process. `repair` is `csv_rowvane.repair(in, out)` with its "
        "defaults (encoding decided from the bytes, detect='auto'); `table_run` is the front end's native "
        "table run alone (`csv_rowvane._core.repair_file(in, out)`, encoding decided from the bytes) and "
        "`table_run_as_read` the same call with no decode stage (the bytes as the engine reads them). Floors, same file, same run: the "
        "streaming I/O floor reads and writes through one reused 1 MiB buffer; the whole-buffer floor reads "
        "the file into one buffer and writes it.",
        "",
        "| file | MB | job | best s | CPU s | peak RSS MB | ÷ streaming floor | ÷ whole-buffer floor |",
        "| --- | ---: | --- | ---: | ---: | ---: | ---: | ---: |",
    ]
    for (job, name), r in sorted(results.items(), key=lambda t: (t[0][1], t[0][0])):
        mb = os.path.getsize(paths[name]) / 1e6
        sf = r["best"] / results[("stream_floor", name)]["best"]
        bf = r["best"] / results[("buffer_floor", name)]["best"]
        lines.append(f"| {name} | {mb:.1f} | {job} | {r['best']:.3f} | {r['cpu']:.3f} | {r['rss_mb']:.0f} | "
                     f"{sf:.2f} | {bf:.2f} |")
    lines += ["", "| target | ratio (wall) | ratio (CPU) | target | verdict |", "| --- | ---: | ---: | ---: | --- |"]
    for label, job, name, (base_job, base_name), target in SPEED_JOBS:
        a, b = results[(job, name)], results[(base_job, base_name)]
        ratio, cpu_ratio = a["best"] / b["best"], a["cpu"] / b["cpu"]
        lines.append(f"| {label} | {ratio:.2f} | {cpu_ratio:.2f} | ≤ {target} | "
                     f"{'met' if ratio <= target else 'MISSED'} |")
    text = "\n".join(lines) + "\n"
    print(text)
    if write_results:
        write_section(lines[0], text)
    return 0


def main() -> int:
    if len(sys.argv) == 6 and sys.argv[1] == "--worker":
        speed_worker(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]))
        return 0
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--speed", action="store_true", help="measure speed instead of accuracy")
    ap.add_argument("--size-mb", type=int, default=50)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--write-results", action="store_true", help="update bench/RESULTS.md")
    ap.add_argument("--detector", choices=("chardet", "charset-normalizer"), default="chardet")
    ap.add_argument("--per", type=int, default=4, help="files per encoding (default 4)")
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--rows", default="20,400", help="rows per table, as MIN,MAX (default 20,400)")
    ap.add_argument("--show-misses", action="store_true")
    args = ap.parse_args()
    if args.speed:
        return speed(args.size_mb, args.repeat, args.write_results)
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
            d = _core.decode_file(path, page_chooser=enc.choose_page)
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
    if args.write_results:
        lines = [
            f"## Encodings: files read exactly ({args.detector}, tables of {args.rows.replace(',', '–')} rows)",
            "",
            f"Written by `bench/encodings.py --detector {args.detector} --per {args.per} --rows {args.rows} "
            f"--seed {args.seed} --write-results`: the generated set of tests/frontend/encoding_samples.py, each "
            "file decoded as a repair decodes it (encoding decided from the bytes) and its text compared with "
            f"the text it was made from. Detector time {spent[0]:.2f} s in all.",
            "",
            "| family | files | read exactly | non-ASCII characters right |",
            "| --- | ---: | ---: | ---: |",
        ]
        for fam in files:
            ft, fr = chars[fam]
            lines.append(f"| {fam} | {files[fam]} | {exact[fam]} | {100.0 * fr / max(ft, 1):.1f}% |")
        lines.append(f"| all | {sum(files.values())} | {sum(exact.values())} | {100.0 * r / max(t, 1):.1f}% |")
        write_section(lines[0], "\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
