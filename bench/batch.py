#!/usr/bin/env python3
"""Batch benchmark: csv_rowvane.repair_many on many damaged files, jobs=1 vs jobs=2.

    PYTHONPATH=. .venv/bin/python bench/batch.py [--files 12] [--size-mb 25] [--repeat 3]
                                                 [--write-results] [--clean]

Generates (once, cached under ``bench/data/batch/``) ``--files`` CSV files of
about ``--size-mb`` MB each from the row pools of bench/generate.py: a cycle of
damaged_0.1, damaged_1, damaged_5 (BOM, damaged rows, one unbalanced quote
near the end), quote_2 and narrow. Each shape's row pools are built once from
the seed; each file draws its own rows with its own seeded generator, so every
file is distinct and the same arguments always give the same bytes.

Then, in the same run and on the same files:

  floor    every file copied with shutil.copyfile, in this process (the cost
           of only reading and writing the same bytes)
  jobs=1   repair_many(inputs, out_dir, jobs=1)  (in this thread)
  jobs=2   repair_many(inputs, out_dir, jobs=2)  (a pool of 2 threads in this process)
  split2   reference: two fresh interpreters, each calling csv_rowvane.repair
           on every other file (two cores with no batch machinery)

Each writes into a fresh output directory, deleted (untimed) after the run.
The settings alternate for ``--repeat`` rounds; the best wall time of each is
kept. CPU time is this process's (its threads included) plus its reaped
children's (os.times(); only split2 has children). Two threads repair two
files at once only while the native runs leave the interpreter lock free;
where they hold it, jobs=2 measures about what jobs=1 does.

Bytecode: this machine's interpreter ships its standard library without
compiled bytecode and the environment sets PYTHONDONTWRITEBYTECODE, so every
fresh process (split2's two interpreters) would compile what it imports from
source, as no normal install does. The script therefore re-executes itself
with a bytecode cache under bench/data/pycache (git-ignored; filled by the
first run) unless ``--no-bytecode-cache`` is given.

Inputs and outputs live in the page cache (the machine has far more memory
than one batch), so this measures CPU work and parallel scaling, not a disk.
MB = 10**6 bytes; MB/s is total input bytes ÷ best wall time.
"""
from __future__ import annotations

import argparse
import datetime as _dt
import json
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import generate as gen  # noqa: E402  (bench/generate.py)

BATCH_VERSION = 1
DEFAULT_SEED = 20261208
SHAPES = ("damaged_0.1", "damaged_1", "damaged_5", "quote_2", "narrow")
TARGET_SPEEDUP = 1.8


# --------------------------------------------------------------------------
# data
# --------------------------------------------------------------------------

def _pools(shape: str, seed: int) -> dict:
    rng = random.Random(seed + sum(map(ord, shape)) * 7919)
    if shape.startswith("damaged_"):
        return {"pool": gen.pool_narrow(rng, 32768, 0.02), "dpool": gen.pool_damaged(rng, 8192),
                "share": float(shape.split("_")[1]) / 100.0}
    if shape.startswith("quote_"):
        return {"pool": gen.pool_narrow(rng, 32768, float(shape.split("_")[1]) / 100.0)}
    return {"pool": gen.pool_narrow(rng, 32768, 0.0)}


def _write_file(path: Path, shape: str, pools: dict, target: int, rng: random.Random) -> dict:
    if shape.startswith("damaged_"):
        # As generate.gen_damaged: a BOM, and one unbalanced opening quote a
        # few rows before the end.
        tail_cells = gen._narrow_cells(rng, 20, 0.0)
        tail_cells[5] = '"unclosed ' + tail_cells[5]
        tail = ",".join(tail_cells).encode() + b"\n"
        for _ in range(3):
            tail += (",".join(gen._narrow_cells(rng, 20, 0.02)) + "\n").encode()
        return gen._write_rows(path, target, gen._header(20), pools["pool"], rng, pools["dpool"],
                               pools["share"], prefix=b"\xef\xbb\xbf", tail=tail)
    return gen._write_rows(path, target, gen._header(20), pools["pool"], rng)


def ensure_batch(base: Path, nfiles: int, size_mb: float, seed: int) -> tuple[list[str], int]:
    """The batch's input files (generated when missing or stale) and their total size."""
    label = ("%gx%g" % (nfiles, size_mb)).replace(".", "p")
    d = base / label / "in"
    mpath = base / label / "manifest.json"
    target = int(size_mb * 1_000_000)
    want = {"version": BATCH_VERSION, "generator": gen.GENERATOR_VERSION, "seed": seed,
            "target": target, "files": nfiles, "shapes": list(SHAPES)}
    names = ["f%03d_%s.csv" % (i, SHAPES[i % len(SHAPES)]) for i in range(nfiles)]
    try:
        manifest = json.loads(mpath.read_text())
    except (OSError, ValueError):
        manifest = {}
    fresh = (manifest.get("params") == want and all(
        (d / n).is_file() and (d / n).stat().st_size == manifest["sizes"].get(n) for n in names))
    if not fresh:
        t0 = time.perf_counter()
        if d.exists():
            shutil.rmtree(d)
        d.mkdir(parents=True)
        sizes: dict[str, int] = {}
        pools: dict[str, dict] = {}
        for i, name in enumerate(names):
            shape = SHAPES[i % len(SHAPES)]
            if shape not in pools:
                pools[shape] = _pools(shape, seed)
            _write_file(d / name, shape, pools[shape], target, random.Random(seed * 1_000_003 + i))
            sizes[name] = (d / name).stat().st_size
        mpath.write_text(json.dumps({"params": want, "sizes": sizes}, indent=1, sort_keys=True))
        print("generated %d files, %.1f MB, in %.1f s" % (
            nfiles, sum(sizes.values()) / 1e6, time.perf_counter() - t0), file=sys.stderr)
    paths = [str(d / n) for n in names]
    return paths, sum(os.path.getsize(p) for p in paths)


# --------------------------------------------------------------------------
# timing
# --------------------------------------------------------------------------

def _cpu() -> float:
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def _self_cpu() -> float:
    t = os.times()
    return t.user + t.system


def _machine_busy() -> float | None:
    """CPU seconds the whole machine has spent busy (every core, every
    process), from /proc/stat; None where unavailable."""
    try:
        with open("/proc/stat") as f:
            fields = f.readline().split()
    except OSError:
        return None
    if not fields or fields[0] != "cpu":
        return None
    v = [int(x) for x in fields[1:]]
    busy = v[0] + v[1] + v[2] + v[5] + v[6] + (v[7] if len(v) > 7 else 0)  # user nice system irq softirq steal
    return busy / os.sysconf("SC_CLK_TCK")


def run_floor(inputs: list[str], out_dir: Path) -> None:
    out_dir.mkdir(parents=True)
    for p in inputs:
        shutil.copyfile(p, out_dir / os.path.basename(p))


SPLIT_CODE = """
import os, sys, csv_rowvane
out = sys.argv[1]
for p in sys.argv[2:]:
    csv_rowvane.repair(p, os.path.join(out, os.path.basename(p)))
"""


def run_split(inputs: list[str], out_dir: Path) -> None:
    """The reference for jobs=2 without a pool: two fresh interpreters, each
    repairing every other file in a loop."""
    out_dir.mkdir(parents=True)
    procs = [subprocess.Popen([sys.executable, "-P", "-c", SPLIT_CODE, str(out_dir), *inputs[k::2]])
             for k in range(2)]
    for pr in procs:
        if pr.wait() != 0:
            raise SystemExit("split run failed (exit %d)" % pr.returncode)


def run_setting(name: str, inputs: list[str], out_dir: Path) -> dict:
    """One timed run of a setting into a fresh ``out_dir``; the directory is
    removed afterwards (untimed)."""
    import csv_rowvane

    if out_dir.exists():
        shutil.rmtree(out_dir)
    info: dict = {}
    cpu0, self0, busy0 = _cpu(), _self_cpu(), _machine_busy()
    t0 = time.perf_counter()
    if name == "floor":
        run_floor(inputs, out_dir)
    elif name == "split2":
        run_split(inputs, out_dir)
    else:
        jobs = int(name.split("=")[1])
        report = csv_rowvane.repair_many(inputs, out_dir, jobs=jobs)
        info["report"] = report
    wall = time.perf_counter() - t0
    self1, busy1 = _self_cpu(), _machine_busy()
    cpu = _cpu() - cpu0
    # Other work on the machine during the run: its busy time less ours
    # (clamped at zero).
    info["others"] = None if busy0 is None or busy1 is None else max(0.0, (busy1 - busy0) - cpu)
    if name == "split2":
        produced = os.listdir(out_dir)
        if len(produced) != len(inputs):
            raise SystemExit("split2: %d outputs for %d inputs" % (len(produced), len(inputs)))
    elif name != "floor":
        report = info["report"]
        if report.failures or len(report.reports) != len(inputs):
            shutil.rmtree(out_dir, ignore_errors=True)
            raise SystemExit("%s: %d of %d files repaired; failures: %s" % (
                name, len(report.reports), len(inputs), "; ".join(map(str, report.failures[:5]))))
        missing = [r.output for r in report.reports if not os.path.isfile(r.output)]
        if missing:
            raise SystemExit("%s: outputs missing: %s" % (name, missing[:5]))
        info["out_bytes"] = sum(r.output_size or 0 for r in report.reports)
        info["rows"] = sum(r.total_rows for r in report.reports)
        info["repaired"] = sum(r.repaired_rows for r in report.reports)
        info["quarantined"] = sum(r.quarantined_rows for r in report.reports)
        info["files"] = len(report.reports)
        info["file_s"] = sum(r.elapsed for r in report.reports)
        del info["report"]
    shutil.rmtree(out_dir)
    info.update(wall=wall, cpu=cpu, parent_cpu=self1 - self0)
    return info


def pool_startup(work: Path, sample: str) -> float:
    """Wall time of repair_many(jobs=2) on two tiny files: the fixed cost of a
    batch on a pool of 2 threads (best of 3)."""
    import csv_rowvane

    tiny = work / "tiny"
    tiny.mkdir(parents=True, exist_ok=True)
    with open(sample, "rb") as f:
        head = f.read(4096)
    head = head[: head.rfind(b"\n") + 1]
    files = []
    for i in range(2):
        p = tiny / ("t%d.csv" % i)
        p.write_bytes(head)
        files.append(str(p))
    best = float("inf")
    for _ in range(3):
        out = work / "tiny-out"
        if out.exists():
            shutil.rmtree(out)
        t0 = time.perf_counter()
        csv_rowvane.repair_many(files, out, jobs=2)
        best = min(best, time.perf_counter() - t0)
    shutil.rmtree(tiny)
    shutil.rmtree(work / "tiny-out", ignore_errors=True)
    return best


# --------------------------------------------------------------------------
# report
# --------------------------------------------------------------------------

def _tree() -> str:
    try:
        return subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "?"


def _frontend() -> str:
    """Which csv_rowvane ran: its version and where it was imported from, and
    whether that is this tree with uncommitted changes."""
    import csv_rowvane

    where = Path(csv_rowvane.__file__).resolve().parent
    try:
        rel = str(where.relative_to(ROOT))
    except ValueError:
        rel = str(where)
    note = ""
    if where == ROOT / "csv_rowvane":
        r = subprocess.run(["git", "-C", str(ROOT), "diff", "--quiet", "HEAD", "--", "csv_rowvane"],
                           capture_output=True)
        note = " (uncommitted changes)" if r.returncode == 1 else ""
    return "csv_rowvane %s from %s%s" % (getattr(csv_rowvane, "__version__", "?"), rel, note)


def _cpu_name() -> str:
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "?"


def render(res: dict) -> list[str]:
    a = res["args"]
    best = res["best"]
    total_mb = res["bytes"] / 1e6
    floor = best["floor"]["wall"]
    speedup = best["jobs=1"]["wall"] / best["jobs=2"]["wall"]
    la0, la1 = res["load_start"], res["load_end"]
    L = ["## Batch: %d files × %g MB, jobs=1 vs jobs=2" % (a["files"], a["size_mb"]), ""]
    L.append("Written by `bench/batch.py --write-results` (`PYTHONPATH=%s .venv/bin/python bench/batch.py "
             "--files %d --size-mb %g --repeat %d`). Date: %s; tree %s; %s." % (
                 res["pythonpath"], a["files"], a["size_mb"], a["repeat"], res["date"], res["tree"], res["frontend"]))
    L.append("")
    L.append("- Machine: %s; cores: %d (affinity %d); Python %s; load average (1, 5, 15 min) "
             "%.2f %.2f %.2f at the start, %.2f %.2f %.2f at the end." % (
                 res["cpu_name"], os.cpu_count() or 0, res["affinity"], platform.python_version(),
                 *la0, *la1))
    L.append("- Files: %d damaged CSV files, %.1f MB in all (%s in turn; pools of bench/generate.py, "
             "seed %d), %d rows, %d of them repaired and %d set aside by each repair run." % (
                 a["files"], total_mb, ", ".join(SHAPES), a["seed"], best["jobs=1"]["rows"],
                 best["jobs=1"]["repaired"], best["jobs=1"]["quarantined"]))
    L.append("- Method: the four settings alternate for %d rounds on the same files (page cache warm), "
             "each into a fresh output directory removed between runs; best wall time kept. jobs=2 runs "
             "on a pool of 2 threads in this process (no worker process); CPU is the process's own, its "
             "threads included, plus its reaped children's (os.times(); only the reference has "
             "children). Floor: every file copied with `shutil.copyfile` in one process (in-kernel "
             "copy). %s" % (
                 a["repeat"], "Standard-library and front-end bytecode cached (bench/data/pycache), as in a "
                 "normal install." if res["bytecode_cache"] else
                 "No bytecode cache: the reference's interpreters compile their imports from source."))
    L.append("- Every file repaired in every run (`BatchReport.failures` empty, %d reports)." % a["files"])
    L.append("")
    L.append("| setting | wall s | CPU s | parent CPU s | others' CPU s | Σ per-file s | MB/s | ÷ floor | speed-up |")
    L.append("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    labels = {"floor": "floor (copyfile, 1 process)", "jobs=1": "repair_many jobs=1",
              "jobs=2": "repair_many jobs=2", "split2": "reference: 2 processes, half the files each"}
    for name in ("floor", "jobs=1", "jobs=2", "split2"):
        b = best[name]
        sp = "—" if name == "floor" else ("1.000×" if name == "jobs=1" else
                                          "%.3f×" % (best["jobs=1"]["wall"] / b["wall"]))
        L.append("| %s | %.3f | %.2f | %.2f | %s | %s | %.0f | %.2f | %s |" % (
            labels[name],
            b["wall"], b["cpu"], b["parent_cpu"], "?" if b["others"] is None else "%.2f" % b["others"],
            "%.2f" % b["file_s"] if "file_s" in b else "—",
            total_mb / b["wall"], b["wall"] / floor, sp))
    L.append("")
    L.append("CPU s: this process and its children; parent CPU s: this process alone (for repair_many, "
             "every thread of the batch: the same as CPU s); others' CPU s: what the rest of the machine "
             "used during the run (/proc/stat busy time less ours), a direct measure of competing load; "
             "Σ per-file s: the sum of `RepairReport.elapsed` over the batch (time spent inside `repair`, "
             "waiting there for the interpreter lock included; with 2 threads, 2 × wall − Σ is the time "
             "a thread was not inside `repair`). "
             "The reference row does the same repairs without a pool (two fresh interpreters started "
             "with `subprocess`, each calling `csv_rowvane.repair` on every other file): what two "
             "cores give here when the batch machinery costs nothing.")
    L.append("")
    verdict = "met" if speedup >= TARGET_SPEEDUP else "MISSED"
    L.append("- Target: jobs=2 ≥ %.1f× faster than jobs=1 on 2 cores (wall time): **%s** (%.3f×)." % (
        TARGET_SPEEDUP, verdict, speedup))
    L.append("- Fixed cost of a batch on a pool of 2 threads (repair_many jobs=2 on two 4 KB files, "
             "best of 3): %.4f s." % res["startup"])
    pr = [r1["wall"] / r2["wall"] for r1, r2 in zip(res["runs"]["jobs=1"], res["runs"]["jobs=2"])]
    quiet = [x for x, r1, r2 in zip(pr, res["runs"]["jobs=1"], res["runs"]["jobs=2"])
             if _quiet(r1, res["affinity"]) and _quiet(r2, res["affinity"])]
    L.append("- Paired rounds (jobs=1 ÷ jobs=2 of the same round): %s; median %.3f×%s." % (
        ", ".join("%.2f×" % x for x in pr), statistics.median(pr),
        "; median of the %d rounds where other work used under 5%% of the cores: %.3f×" % (
            len(quiet), statistics.median(quiet)) if quiet and len(quiet) < len(pr) else ""))
    j2, ref = best["jobs=2"], best["split2"]
    L.append("- Batch machinery: jobs=2 took %.3f s more wall time than the two-process reference (%+.0f%%); "
             "its threads spent %.2f s of their 2 × %.3f s not inside `repair` (dispatch, the last "
             "file's tail)." % (
                 j2["wall"] - ref["wall"], 100 * (j2["wall"] / ref["wall"] - 1),
                 2 * j2["wall"] - j2["file_s"], j2["wall"]))
    L.append("")
    o = best["jobs=2"]["others"]
    if o is not None and o > 0.05 * best["jobs=2"]["wall"] * res["affinity"]:
        L.append("Note: other work used %.2f CPU s during the best jobs=2 run (%.0f%% of the %d cores over its "
                 "wall time); jobs=2 competes with it for the second core, so this speed-up is a lower "
                 "bound." % (o, 100 * o / (best["jobs=2"]["wall"] * res["affinity"]), res["affinity"]))
        L.append("")
    L.append("All runs (wall s): " + "; ".join(
        "%s %s" % (n, " ".join("%.3f" % r["wall"] for r in res["runs"][n]))
        for n in ("floor", "jobs=1", "jobs=2", "split2"))
        + ".")
    return L


def _quiet(run: dict, cores: int) -> bool:
    return run["others"] is not None and run["others"] < 0.05 * run["wall"] * cores


def write_results(path: Path, lines: list[str]) -> None:
    text = path.read_text() if path.exists() else ""
    section = "\n".join(lines) + "\n"
    m = re.search(r"^## Batch: .*$", text, flags=re.M)
    if m:
        nxt = re.search(r"^## ", text[m.end():], flags=re.M)
        end = m.end() + nxt.start() if nxt else len(text)
        rest = text[end:]
        text = text[: m.start()] + section + ("\n" + rest if rest else "")
    else:
        text = text.rstrip("\n") + "\n\n" + section
    path.write_text(text)


PYCACHE = HERE / "data" / "pycache"
CHILD_FLAG = "BENCH_BATCH_REEXEC"


def _reexec_with_bytecode_cache() -> None:
    if os.environ.get(CHILD_FLAG):
        return
    env = dict(os.environ)
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    env["PYTHONPYCACHEPREFIX"] = str(PYCACHE)
    env[CHILD_FLAG] = "1"
    sys.stdout.flush()
    sys.stderr.flush()
    os.execve(sys.executable, [sys.executable, os.path.abspath(__file__), *sys.argv[1:]], env)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--files", type=int, default=12)
    ap.add_argument("--size-mb", type=float, default=25.0, help="size of each file in MB (10**6 bytes)")
    ap.add_argument("--repeat", type=int, default=3, help="rounds of the alternating settings")
    ap.add_argument("--seed", type=int, default=DEFAULT_SEED)
    ap.add_argument("--data-dir", type=Path, default=HERE / "data" / "batch")
    ap.add_argument("--write-results", action="store_true",
                    help="append (or replace) the Batch section of --results")
    ap.add_argument("--results", type=Path, default=HERE / "RESULTS.md")
    ap.add_argument("--clean", action="store_true", help="delete the generated files at the end")
    ap.add_argument("--no-bytecode-cache", action="store_true",
                    help="keep this environment's bytecode settings (see above)")
    args = ap.parse_args(argv)
    if not args.no_bytecode_cache and argv is None:
        _reexec_with_bytecode_cache()
    if args.files < 2 or args.repeat < 1 or args.size_mb <= 0:
        ap.error("need --files >= 2, --repeat >= 1, --size-mb > 0")

    import csv_rowvane  # noqa: F401  (fail early when the front end does not import)

    load_start = os.getloadavg()
    inputs, total = ensure_batch(args.data_dir, args.files, args.size_mb, args.seed)
    work = args.data_dir / "work"
    if work.exists():
        shutil.rmtree(work)
    work.mkdir(parents=True)
    for p in inputs:  # warm the page cache
        with open(p, "rb") as f:
            while f.read(1 << 20):
                pass

    startup = pool_startup(work, inputs[0])
    runs: dict[str, list[dict]] = {"floor": [], "jobs=1": [], "jobs=2": [], "split2": []}
    orders = (("floor", "jobs=1", "jobs=2", "split2"), ("floor", "split2", "jobs=2", "jobs=1"))
    t_start = time.perf_counter()
    for r in range(args.repeat):
        for name in orders[r % 2]:
            res = run_setting(name, inputs, work / "out")
            runs[name].append(res)
            print("round %d  %-7s wall %7.3f s  CPU %7.3f s  (parent %6.3f s, others %s s)  %6.0f MB/s" % (
                r + 1, name, res["wall"], res["cpu"], res["parent_cpu"],
                "?" if res["others"] is None else "%.2f" % res["others"], total / 1e6 / res["wall"]),
                file=sys.stderr)
    shutil.rmtree(work, ignore_errors=True)
    load_end = os.getloadavg()

    best = {n: min(v, key=lambda x: x["wall"]) for n, v in runs.items()}
    res = {
        "args": vars(args) | {"data_dir": str(args.data_dir), "results": str(args.results)},
        "bytes": total, "best": best, "runs": runs, "startup": startup,
        "bytecode_cache": not args.no_bytecode_cache and bool(os.environ.get(CHILD_FLAG)),
        "load_start": load_start, "load_end": load_end,
        "date": _dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "tree": _tree(), "cpu_name": _cpu_name(), "frontend": _frontend(),
        "pythonpath": os.environ.get("PYTHONPATH") or ".",
        "affinity": len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1),
    }
    lines = render(res)
    print("\n".join(lines))
    print("(benchmark took %.1f s)" % (time.perf_counter() - t_start), file=sys.stderr)
    if args.write_results:
        write_results(args.results, lines)
        print("wrote %s" % args.results, file=sys.stderr)
    if args.clean:
        shutil.rmtree(args.data_dir / (("%gx%g" % (args.files, args.size_mb)).replace(".", "p")))
    speedup = best["jobs=1"]["wall"] / best["jobs=2"]["wall"]
    return 0 if speedup >= TARGET_SPEEDUP else 1


if __name__ == "__main__":
    sys.exit(main())
