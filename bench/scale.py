"""The streaming run at scale: a file of any size in bounded memory.

Writes two files of realistic rows (ids, names, a quoted address holding the
delimiter, dates, decimals, free text), a clean one and one with 2 % of its
rows damaged (a stray quote, a surplus field), into ``bench/data/scale/``
(git-ignored), and times, each in a process of its own and in the same run:

- the streaming floor: the file read through one reused 1 MiB buffer, each
  block written to the output (the cheapest job that reads and writes every
  byte, which every streamed repair pays);
- ``csv_rowvane.repair`` with ``threads`` 1 and 2 (the default block size);
- polars' streaming ``scan_csv().sink_csv()`` (when polars is installed), the
  same job with no repair; it refuses a file it cannot parse;
- the repair of the file's first quarter, for the cost per byte as the file
  grows.

Wall and CPU time (user + system of the process) and peak RSS (the
process's own VmHWM) for each, best of ``--repeat``; the input is read once
first so every job reads it from the page cache.

    python bench/scale.py [--size-mb 2048] [--repeat 2] [--write-results]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from benchlib import write_section  # noqa: E402

DATA = HERE / "data" / "scale"

FIRST = ["Ann", "Bob", "Chloé", "Dmitri", "Eve", "François", "Grace", "Håkon", "Ivan", "Jun", "Kai", "Lena"]
LAST = ["Smith", "Müller", "García", "Rossi", "Nowak", "Dubois", "Olsen", "Tanaka", "Silva", "Kowalski"]
STREETS = ["Main St", "Rue de la Paix", "Hauptstraße", "Via Roma", "Baker Street", "Calle Mayor"]
CITIES = ["Springfield, IL", "Lyon, France", "Berlin, Germany", "Roma, Italia", "London, UK", "Madrid, España"]
WORDS = ("the order was shipped late because the warehouse ran out of boxes and the courier "
         "missed two pickups so the customer asked for a refund of the delivery fee").split()


def _row(rng: random.Random, i: int, damaged: bool) -> bytes:
    name = f"{rng.choice(FIRST)} {rng.choice(LAST)}"
    address = f"{rng.randint(1, 999)} {rng.choice(STREETS)}, {rng.choice(CITIES)}"
    date = f"20{rng.randint(10, 25)}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}"
    amount = f"{rng.randint(0, 99999)}.{rng.randint(0, 99):02d}"
    text = " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 12)))
    cells = [str(i), name, f'"{address}"', date, amount, text]
    if damaged:
        if rng.random() < 0.5:
            cells[1] = f'"{name}'  # a stray quote
        else:
            cells.append("surplus")  # a field too many
    return (",".join(cells) + "\n").encode()


def generate(path: Path, size: int, damaged_share: float, seed: int) -> None:
    if path.exists() and path.stat().st_size >= size:
        return
    rng = random.Random(seed)
    pool = [_row(rng, 0, False) for _ in range(4096)]
    bad = [_row(rng, 0, True) for _ in range(512)]
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as f:
        f.write(b"id,name,address,date,amount,comment\n")
        written, i, chunk = 0, 1, []
        while written < size:
            row = rng.choice(bad) if rng.random() < damaged_share else rng.choice(pool)
            row = str(i).encode() + row[row.index(b","):]
            chunk.append(row)
            written += len(row)
            i += 1
            if len(chunk) >= 65536:
                f.write(b"".join(chunk))
                chunk.clear()
        f.write(b"".join(chunk))


def prefix(path: Path, size: int) -> Path:
    out = path.with_name(path.stem + f".prefix{size >> 20}m.csv")
    if not out.exists():
        with open(path, "rb") as f, open(out, "wb") as g:
            data = f.read(size)
            g.write(data[: data.rindex(b"\n") + 1])
    return out


JOBS = {
    "floor": """
import os, sys
buf = bytearray(1 << 20); view = memoryview(buf)
i = os.open(sys.argv[1], os.O_RDONLY); o = os.open(sys.argv[2], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
while n := os.readv(i, [buf]):
    os.write(o, view[:n])
os.close(i); os.close(o)
""",
    "repair": """
import sys, csv_rowvane
csv_rowvane.repair(sys.argv[1], sys.argv[2], threads=int(sys.argv[3]))
""",
    "read": """
import sys, csv_rowvane
with csv_rowvane.read(sys.argv[1], threads=int(sys.argv[3])) as rows:
    n = sum(1 for _ in rows)
""",
    "backend reader": """
import sys, _csv_rowvane_backend as rv
with rv.open(sys.argv[1]) as rows:
    n = sum(1 for _ in rows)
""",
    "csv module": """
import csv, sys
with open(sys.argv[1], newline="", encoding="utf-8") as f:
    n = sum(1 for _ in csv.reader(f))
""",
    "polars": """
import sys, polars as pl
pl.scan_csv(sys.argv[1], infer_schema=False).sink_csv(sys.argv[2])
""",
}

MEASURE = """
import os, resource, sys, time
code = sys.argv[1]; sys.argv = sys.argv[1:]
t0 = time.perf_counter()
status = "ok"
try:
    exec(compile(code, "job", "exec"), {"__name__": "job"})
except Exception as e:
    status = type(e).__name__ + ": " + str(e)[:120]
wall = time.perf_counter() - t0
ru = resource.getrusage(resource.RUSAGE_SELF)
hwm = 0
with open("/proc/self/status") as f:
    for line in f:
        if line.startswith("VmHWM:"):
            hwm = int(line.split()[1]) // 1024
print({"wall": wall, "cpu": ru.ru_utime + ru.ru_stime, "rss": hwm, "status": status})
"""


def run(job: str, args: list[str], repeat: int) -> dict:
    best: dict | None = None
    for _ in range(repeat):
        # Every job writes a new file with no dirty pages of the last one
        # waiting to be written back.
        Path(args[1]).unlink(missing_ok=True)
        os.sync()
        out = subprocess.run([sys.executable, "-c", MEASURE, JOBS[job], *args], capture_output=True, text=True)
        if out.returncode != 0:
            return {"wall": float("nan"), "cpu": float("nan"), "rss": 0, "status": out.stderr.strip()[-200:]}
        r = eval(out.stdout.strip().splitlines()[-1])  # our own dict literal
        if best is None or r["wall"] < best["wall"]:
            best = r
    assert best is not None
    return best


def table_row(shape: str, mb: float, name: str, r: dict, ratio: float) -> str:
    return (f"| {shape} | {mb:.0f} | {name} | {r['wall']:.2f} | {r['cpu']:.2f} | {r['rss']} | {ratio:.2f} | "
            f"{r['status'][:60]} |")


def warm(path: Path) -> None:
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size-mb", type=int, default=2048)
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument("--write-results", action="store_true")
    ap.add_argument("--large-gb", type=int, default=0,
                    help="also repair, once, a file of this many GiB (the clean file's rows again and again)")
    ap.add_argument("--read-mb", type=int, default=0,
                    help="only the rows handed to Python: read() against the engine's reader and the csv "
                         "module (the object floor) on files of this many MiB")
    args = ap.parse_args()
    if args.read_mb:
        read_rows(args)
        return
    size = args.size_mb << 20
    files = {"clean": DATA / f"clean-{args.size_mb}m.csv", "damaged": DATA / f"damaged-{args.size_mb}m.csv"}
    generate(files["clean"], size, 0.0, 1)
    generate(files["damaged"], size, 0.02, 2)
    out = DATA / "out.csv"
    try:
        import polars  # noqa: F401
        peers = ["polars"]
    except ImportError:
        peers = []
    rows = []
    for shape, path in files.items():
        warm(path)
        mb = path.stat().st_size / 1e6
        floor = run("floor", [str(path), str(out)], args.repeat)
        results = {"streaming floor": floor}
        for threads in (1, 2):
            results[f"repair, threads={threads}"] = run("repair", [str(path), str(out), str(threads)], args.repeat)
        for peer in peers:
            results["polars sink_csv (streaming)"] = run(peer, [str(path), str(out)], args.repeat)
        quarter = prefix(path, size // 8)
        warm(quarter)
        small = run("repair", [str(quarter), str(out), "2"], args.repeat)
        per_byte = (results["repair, threads=2"]["wall"] / mb) / (small["wall"] / (quarter.stat().st_size / 1e6))
        for name, r in results.items():
            rows.append((shape, mb, name, r, r["wall"] / floor["wall"]))
        rows.append((shape, mb, f"cost per byte ÷ its {quarter.stat().st_size / 1e9:.2f} GB prefix (threads=2)",
                     small, per_byte))
        json.dump({k: v for k, v in results.items()}, sys.stdout)
        print()
    if args.large_gb:
        large = DATA / f"clean-{args.large_gb}g.csv"
        if not large.exists():
            with open(files["clean"], "rb") as f:
                header = f.readline()
                body = f.read()
            with open(large, "wb") as g:
                g.write(header)
                while g.tell() < args.large_gb << 30:
                    g.write(body)
            del body
        mb = large.stat().st_size / 1e6
        floor = run("floor", [str(large), str(out)], 1)
        rows.append(("clean, once", mb, "streaming floor", floor, 1.0))
        r = run("repair", [str(large), str(out), "2"], 1)
        rows.append(("clean, once", mb, "repair, threads=2", r, r["wall"] / floor["wall"]))
        large.unlink()
    out.unlink(missing_ok=True)
    lines = [
        "## Scale: one file in bounded memory (`bench/scale.py`)",
        "",
        f"Two {args.size_mb / 1024:g} GiB files of realistic rows (ids, names, a quoted address holding the "
        "delimiter, dates, decimals, free text), one clean, one with 2 % of its rows damaged (a stray quote, "
        "a surplus field); read from the page cache, each job in a process of its own, best of "
        f"{args.repeat}, same run; the output is a new file each time, after `sync`. The streaming floor "
        "reads the file through one reused 1 MiB buffer and writes each block. Times include the process's "
        "start and imports (about 0.1 s for the floor, 0.2 s for `csv_rowvane`, more for polars); RSS is "
        "the process's peak (Python included, about 10 MiB).",
        "",
        "| file | MB | job | wall s | CPU s | peak RSS MiB | ÷ floor | status |",
        "| --- | ---: | --- | ---: | ---: | ---: | ---: | --- |",
    ]
    for shape, mb, name, r, ratio in rows:
        lines.append(table_row(shape, mb, name, r, ratio))
    text = "\n".join(lines) + "\n"
    print(text)
    if args.write_results:
        write_section("## Scale: one file in bounded memory", text)


def read_rows(args: argparse.Namespace) -> None:
    """read() against the engine's reader (which holds its file whole) and
    the csv module over the same file: the same Python objects, lists of
    str per row."""
    size = args.read_mb << 20
    out = DATA / "unused.csv"
    lines = [
        "## Reading rows: `read()` (`bench/scale.py --read-mb`)",
        "",
        f"Files of {args.read_mb} MiB of the rows above (clean; damaged), every row handed to Python as a list "
        "of str and counted; page cache, a process per job, best of "
        f"{args.repeat}, same run. The object floor is the csv module's reader over the same file (the "
        "cheapest way to build the same objects; on the damaged file its rows are not repaired).",
        "",
        "| file | MB | job | wall s | CPU s | peak RSS MiB | ÷ object floor | status |",
        "| --- | ---: | --- | ---: | ---: | ---: | ---: | --- |",
    ]
    for shape, share, seed in (("clean", 0.0, 1), ("damaged", 0.02, 2)):
        path = DATA / f"{shape}-read-{args.read_mb}m.csv"
        generate(path, size, share, seed)
        warm(path)
        mb = path.stat().st_size / 1e6
        floor = run("csv module", [str(path), str(out)], args.repeat)
        results = {"csv module (object floor)": floor}
        for threads in (1, 2):
            results[f"read(), threads={threads}"] = run("read", [str(path), str(out), str(threads)], args.repeat)
        results["engine reader (whole file)"] = run("backend reader", [str(path), str(out)], args.repeat)
        for name, r in results.items():
            lines.append(table_row(shape, mb, name, r, r["wall"] / floor["wall"]))
    text = "\n".join(lines) + "\n"
    print(text)
    if args.write_results:
        write_section("## Reading rows: `read()`", text)


if __name__ == "__main__":
    main()
