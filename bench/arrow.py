"""DataFrames and compressed files: read_arrow against the peers' own CSV
readers, a .csv.gz repair against gzip decompression plus the plain repair,
and the peak memory of reading a large file batch by batch.

    PYTHONPATH=. .venv/bin/python bench/arrow.py [--size-mb 20] [--large-mb 300] [--repeat 3] [--write-results]

Every job runs in its own process (best of --repeat; CPU time of the
process; peak RSS from VmHWM); the jobs compared are the same job on the
same file in the same run: a table of string columns (or each reader's own
type inference), one thread (pyarrow use_threads=False, POLARS_MAX_THREADS=1).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchlib import HERE, report_best, write_section  # noqa: E402

DATA = os.path.join(HERE, "data", "arrow")


def make_csv(path: str, size_mb: int) -> None:
    """Realistic rows: ids, names, a quoted address holding the delimiter,
    dates, decimals, flags, free text; a few damaged rows."""
    if os.path.exists(path):
        return
    rng = random.Random(20261208)
    names = ["Anna Müller", "João Silva", "Pierre Dubois", "Sofia Rossi", "Lars Nilsen", "Eva Novak"]
    words = ["order", "paid", "shipped", "returned", "gift", "urgent", "box", "shelf", "note"]
    with open(path + ".tmp", "w", encoding="utf-8", newline="") as f:
        f.write("id,name,address,date,amount,flag,comment\n")
        size, i = 0, 0
        while size < size_mb * 10**6:
            i += 1
            row = (f'{i},{rng.choice(names)},"{rng.randint(1, 999)} Main St, Apt {rng.randint(1, 99)}",'
                   f"2026-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d},{rng.randint(0, 99999) / 100:.2f},"
                   f"{rng.choice(['true', 'false'])},{' '.join(rng.choice(words) for _ in range(rng.randint(1, 6)))}\n")
            if i % 997 == 0:
                row = row.rstrip("\n") + ",surplus\n"
            f.write(row)
            size += len(row)
    os.replace(path + ".tmp", path)


def worker(job: str, inp: str, out: str, repeat: int) -> None:
    def run() -> int:
        if job.startswith("read_arrow"):
            import pyarrow as pa

            import csv_rowvane

            with csv_rowvane.read_arrow(inp, infer_types=job.endswith("typed"), threads=1) as s:
                return int(pa.table(s).num_rows)
        if job.startswith("pyarrow"):
            import pyarrow as pa
            import pyarrow.csv as pacsv

            ro = pacsv.ReadOptions(use_threads=False)
            po = pacsv.ParseOptions(newlines_in_values=True, invalid_row_handler=lambda r: "skip")
            co = None
            if not job.endswith("typed"):
                with pacsv.open_csv(inp, read_options=ro, parse_options=po) as rd:
                    names = rd.schema.names
                co = pacsv.ConvertOptions(column_types={n: pa.string() for n in names})
            return int(pacsv.read_csv(inp, read_options=ro, parse_options=po, convert_options=co).num_rows)
        if job.startswith("polars"):
            import polars as pl

            return int(pl.read_csv(inp, infer_schema=job.endswith("typed"), truncate_ragged_lines=True).height)
        if job == "repair":
            import csv_rowvane

            return csv_rowvane.repair(inp, out, threads=1).total_rows
        if job == "gunzip":
            import gzip

            with gzip.open(inp, "rb") as src, open(out, "wb") as dst:
                while chunk := src.read(1 << 20):
                    dst.write(chunk)
            return 0
        if job == "stream_floor":
            buf = bytearray(1 << 20)
            view = memoryview(buf)
            with open(inp, "rb", buffering=0) as src, open(out, "wb", buffering=0) as dst:
                while n := src.readinto(buf):
                    dst.write(view[:n])
            return 0
        if job == "stream_sum":
            import pyarrow as pa

            import csv_rowvane

            with csv_rowvane.read_arrow(inp) as s:
                return sum(b.num_rows for b in pa.RecordBatchReader.from_stream(s))
        raise ValueError(job)

    report_best(run, repeat)


def measure(job: str, inp: str, out: str, repeat: int) -> dict[str, float]:
    env = dict(os.environ, POLARS_MAX_THREADS="1")
    r = subprocess.run([sys.executable, __file__, "--worker", job, inp, out, str(repeat)], capture_output=True,
                       text=True, env=env)
    if r.returncode != 0:
        return {"error": 1.0}
    return json.loads(r.stdout.strip().splitlines()[-1])


def main() -> int:
    if len(sys.argv) == 6 and sys.argv[1] == "--worker":
        worker(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]))
        return 0
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size-mb", type=int, default=20)
    ap.add_argument("--large-mb", type=int, default=300)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--write-results", action="store_true")
    args = ap.parse_args()
    os.makedirs(DATA, exist_ok=True)
    small = os.path.join(DATA, f"rows-{args.size_mb}mb.csv")
    large = os.path.join(DATA, f"rows-{args.large_mb}mb.csv")
    make_csv(small, args.size_mb)
    make_csv(large, args.large_mb)
    gz = small + ".gz"
    if not os.path.exists(gz):
        import gzip

        with open(small, "rb") as src, gzip.open(gz + ".tmp", "wb", compresslevel=6) as dst:
            dst.write(src.read())
        os.replace(gz + ".tmp", gz)
    rows = []
    with tempfile.TemporaryDirectory(dir=DATA) as tmp:
        out = os.path.join(tmp, "out.csv")
        jobs = [("read_arrow", small), ("pyarrow", small), ("polars", small), ("read_arrow_typed", small),
                ("pyarrow_typed", small), ("polars_typed", small), ("repair", small), ("repair", gz),
                ("gunzip", gz), ("stream_sum", large),
                ("stream_floor", small), ("stream_floor", gz), ("stream_floor", large)]
        res = {}
        for job, path in jobs:
            res[(job, path)] = r = measure(job, path, out, 1 if path == large else args.repeat)
            print(job, os.path.basename(path), r, file=sys.stderr)
    mb = os.path.getsize(small) / 1e6

    def t(job: str, path: str = small) -> float:
        return res[(job, path)].get("best", float("nan"))

    def cpu(job: str, path: str = small) -> float:
        return res[(job, path)].get("cpu", float("nan"))

    lines = [
        "## DataFrames and compressed files",
        "",
        f"Written by `bench/arrow.py` on {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}: a "
        f"{mb:.1f} MB file of realistic rows (ids, names, a quoted address holding the delimiter, dates, "
        "decimals, flags, free text, one row in 997 with a surplus field), its gzip copy, and a "
        f"{os.path.getsize(large) / 1e6:.0f} MB file of the same rows; each job in its own process, best of "
        f"{args.repeat}; one thread for every reader (pyarrow `use_threads=False`, `POLARS_MAX_THREADS=1`); "
        "the repair of the gzip file reads the text while a thread of its own decompresses it, so its "
        "wall time is below its CPU time.",
        "",
        "`stream_floor` reads the same file and writes it through one reused 1 MiB buffer; "
        "÷ floor is a job's best time over that of the floor on its file.",
        "",
        "| job | best s | CPU s | peak RSS MiB | ÷ floor |",
        "| --- | ---: | ---: | ---: | ---: |",
    ]
    for (job, path), r in res.items():
        name = f"{job} ({os.path.basename(path)})"
        if "error" in r:
            lines.append(f"| {name} | failed | | | |")
        else:
            floor = res[("stream_floor", path)].get("best", float("nan"))
            lines.append(f"| {name} | {r['best']:.3f} | {r['cpu']:.3f} | {r['rss_mb']:.0f} | {r['best'] / floor:.2f} |")
    targets = [
        ("read_arrow (strings) ≥ 1.5× faster than pyarrow.csv (strings)", t("pyarrow") / t("read_arrow"), 1.5),
        ("read_arrow (strings) ≥ 1.0× polars (infer_schema=False)", t("polars") / t("read_arrow"), 1.0),
        ("read_arrow typed ≥ 1.0× pyarrow's own inference", t("pyarrow_typed") / t("read_arrow_typed"), 1.0),
        ("read_arrow typed ≥ 1.0× polars' own inference", t("polars_typed") / t("read_arrow_typed"), 1.0),
        (".csv.gz repair ≤ gunzip + plain repair (ratio ≤ 1.0)",
         t("repair", gz) / (t("gunzip", gz) + t("repair")), 1.0),
        (".csv.gz repair ≤ gunzip + plain repair, in CPU time (ratio ≤ 1.0)",
         cpu("repair", gz) / (cpu("gunzip", gz) + cpu("repair")), 1.0),
    ]
    lines += ["", "| target | measured | verdict |", "| --- | ---: | --- |"]
    for label, value, target in targets:
        ok = value <= target if "≤" in label and "repair" in label else value >= target
        lines.append(f"| {label} | {value:.2f}× | {'met' if ok else 'MISSED'} |")
    peak = res[("stream_sum", large)].get("rss_mb", float("nan"))
    lines.append(f"| stream of the {os.path.getsize(large) / 1e6:.0f} MB file batch by batch: peak RSS ≤ 400 MiB | "
                 f"{peak:.0f} MiB | {'met' if peak <= 400 else 'MISSED'} |")
    text = "\n".join(lines) + "\n"
    print(text)
    if args.write_results:
        write_section(lines[0], text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
