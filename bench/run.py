#!/usr/bin/env python3
"""Benchmark harness for _csv_rowvane_backend against single-threaded peers.

Each (file, tool) job runs in its own subprocess (``run.py --worker ...``):
the worker imports what it needs, then times the job alone with
time.perf_counter (interpreter start-up and imports excluded), best of
``--repeat``. Peak RSS per tool: the child's rusage from os.wait4
(ru_maxrss of that child only), or better the worker's own VmHWM, which
Linux resets at exec (ru_maxrss keeps the pre-exec peak of the forked parent).

Units: MB = 10**6 bytes, for throughput and for memory.

Usage: bench/run [--size-mb 50] [--repeat 3] [--shapes a,b] [--tools x,y]
                 [--memory-500mb] [--out bench/RESULTS.md]
"""
from __future__ import annotations

import argparse
import datetime as _dt
import json
import os
import platform
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
MODULE = "_csv_rowvane_backend"
DELIM = ","

# name -> (python module that must import, short description). Every ratio in
# the report compares one job with the same job: the reader's iterate-and-drop
# with csv's and the floor's iterate-and-drop, its list() with theirs.
TOOLS: dict[str, tuple[str, str]] = {
    "io_floor": ("", "C++ program (bench/io_floor.cpp, g++ -O2): read the whole input into a fresh "
                     "buffer, write it back in 8192-byte blocks, nothing else"),
    "rowvane_file": (MODULE, "rowvane_file(in, out), delimiter sniffed"),
    "rowvane_file_delim": (MODULE, "rowvane_file(in, out, delimiter=',')"),
    "object_floor_iter": ("", "data.decode('utf-8', 'replace'), then line.split(',') for every line "
                              "of text.splitlines(), each row dropped (file read included)"),
    "object_floor_list": ("", "the same, every row kept in one list"),
    "RowvaneReader": (MODULE, "RowvaneReader(in), then `for row in reader: pass`"),
    "RowvaneReader_list": (MODULE, "list(RowvaneReader(in))"),
    "csv_iter": ("csv", "`for row in csv.reader(f): pass`"),
    "csv_list": ("csv", "list(csv.reader(f))"),
    "csv_roundtrip": ("csv", "csv.reader -> csv.writer to a file"),
    "pandas": ("pandas", "read_csv(dtype=str, on_bad_lines='skip', engine='c', keep_default_na=False) + to_csv"),
    "polars": ("polars", "read_csv(infer_schema=False, truncate_ragged_lines=True) + write_csv, POLARS_MAX_THREADS=1"),
    "duckdb": ("duckdb", "COPY (read_csv(all_varchar=true, ignore_errors=true)) TO, SET threads=1"),
    "pyarrow": ("pyarrow", "pyarrow.csv.read_csv (use_threads=False, all columns string) + write_csv"),
}
# Only in the table of the front end's table repair (--auto-size-mb).
AUTO_TOOL = "auto_repair"
AUTO_DESC = "csv_rowvane._core.repair_file(in, out): the front end's detect='auto' table repair"
PEERS = ["csv_roundtrip", "csv_iter", "csv_list", "pandas", "polars", "duckdb", "pyarrow"]
SINGLE_THREADED_WRITERS = ["csv_roundtrip", "pandas", "polars", "duckdb", "pyarrow"]
# Distribution names for version reporting.
DISTS = {"pandas": "pandas", "polars": "polars", "duckdb": "duckdb", "pyarrow": "pyarrow"}


# ==========================================================================
# worker side: one tool, one file, N timed repeats
# ==========================================================================

def _kept(build):
    """A job that keeps what `build` returns (a list of rows) until the timing
    is over: the worker frees it outside the timed region, as a caller that
    keeps the rows would free them later."""
    holder: list = []

    def job():
        rows = build()
        holder.append(rows)
        return len(rows)

    job.holder = holder  # type: ignore[attr-defined]
    return job


def _job_factory(tool: str, inp: str, out: str, delim: str):
    """Imports the tool (not timed) and returns a zero-argument job."""
    if tool in ("rowvane_file", "rowvane_file_delim", "RowvaneReader", "RowvaneReader_list"):
        import importlib

        m = importlib.import_module(MODULE)
        if tool == "rowvane_file":
            return lambda: m.rowvane_file(inp, out)
        if tool == "rowvane_file_delim":
            return lambda: m.rowvane_file(inp, out, delimiter=delim)
        if tool == "RowvaneReader":
            def reader_iter():
                n = 0
                for row in m.RowvaneReader(inp):
                    n += 1
                return n
            return reader_iter

        return _kept(lambda: list(m.RowvaneReader(inp)))

    if tool == AUTO_TOOL:
        from csv_rowvane import _core

        return lambda: _core.repair_file(inp, out)

    if tool in ("object_floor_iter", "object_floor_list"):
        # The fastest way CPython has to build the same lists of str: one
        # bulk decode, then one split per line.
        if tool == "object_floor_iter":
            def floor_iter():
                with open(inp, "rb") as f:
                    text = f.read().decode("utf-8", "replace")
                n = 0
                for line in text.splitlines():
                    line.split(delim)
                    n += 1
                return n
            return floor_iter

        def floor_list():
            with open(inp, "rb") as f:
                text = f.read().decode("utf-8", "replace")
            return [line.split(delim) for line in text.splitlines()]
        return _kept(floor_list)

    if tool in ("csv_roundtrip", "csv_iter", "csv_list"):
        import csv

        csv.field_size_limit(sys.maxsize)  # hostile lines are ~1 MB long
        kw = dict(encoding="utf-8", errors="surrogateescape", newline="")
        if tool == "csv_roundtrip":
            def job():
                with open(inp, **kw) as f, open(out, "w", **kw) as g:
                    csv.writer(g, delimiter=delim).writerows(csv.reader(f, delimiter=delim))
            return job
        if tool == "csv_iter":
            def csv_iter():
                n = 0
                with open(inp, **kw) as f:
                    for row in csv.reader(f, delimiter=delim):
                        n += 1
                return n
            return csv_iter

        def csv_list():
            with open(inp, **kw) as f:
                return list(csv.reader(f, delimiter=delim))
        return _kept(csv_list)

    if tool == "pandas":
        import pandas as pd

        def job():
            df = pd.read_csv(inp, sep=delim, dtype=str, on_bad_lines="skip", engine="c",
                             keep_default_na=False)
            df.to_csv(out, index=False)
            return len(df)
        return job

    if tool == "polars":
        import polars as pl

        def job():
            df = pl.read_csv(inp, separator=delim, infer_schema=False, truncate_ragged_lines=True)
            df.write_csv(out)
            return df.height
        return job

    if tool == "duckdb":
        import duckdb

        def q(s: str) -> str:
            return "'" + s.replace("'", "''") + "'"

        def job():
            con = duckdb.connect()
            try:
                con.execute("SET threads=1")
                con.execute(
                    "COPY (SELECT * FROM read_csv(%s, delim=%s, all_varchar=true, ignore_errors=true)) "
                    "TO %s (FORMAT csv, HEADER true)" % (q(inp), q(delim), q(out)))
            finally:
                con.close()
        return job

    if tool == "pyarrow":
        import pyarrow as pa
        import pyarrow.csv as pacsv

        def job():
            ro = pacsv.ReadOptions(use_threads=False, block_size=4 << 20)
            po = pacsv.ParseOptions(delimiter=delim, newlines_in_values=True,
                                    invalid_row_handler=lambda row: "skip")
            # First pass over one block for the column names, then every column as string.
            with pacsv.open_csv(inp, read_options=ro, parse_options=po) as rd:
                names = rd.schema.names
            co = pacsv.ConvertOptions(column_types={n: pa.string() for n in names},
                                      strings_can_be_null=False, quoted_strings_can_be_null=False)
            t = pacsv.read_csv(inp, read_options=ro, parse_options=po, convert_options=co)
            pacsv.write_csv(t, out)
            return t.num_rows
        return job

    raise ValueError("unknown tool %r" % tool)


def vm_hwm_kb() -> int | None:
    """Peak RSS of this process's own address space (VmHWM), in KiB.

    Unlike ru_maxrss it starts afresh at exec: Linux carries the pre-exec
    peak (the forked copy of the parent) into ru_maxrss, which would charge
    the harness's own memory to every tool."""
    try:
        with open("/proc/self/status") as f:
            for ln in f:
                if ln.startswith("VmHWM:"):
                    return int(ln.split()[1])
    except (OSError, ValueError):
        pass
    return None


def _short_error(exc: BaseException) -> str:
    msg = " ".join(str(exc).split())
    if len(msg) > 160:
        msg = msg[:157] + "..."
    return "%s: %s" % (type(exc).__name__, msg)


def worker(tool: str, inp: str, out: str, delim: str, repeat: int, budget: float) -> int:
    import gc
    import resource

    res: dict = {"tool": tool}
    try:
        job = _job_factory(tool, inp, out, delim)
    except ImportError as exc:
        res.update(status="not installed", error=_short_error(exc))
        print(json.dumps(res))
        return 0
    except Exception as exc:  # noqa: BLE001
        res.update(status="error", error=_short_error(exc))
        print(json.dumps(res))
        return 0
    res["rss_after_import_kb"] = vm_hwm_kb() or resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    times = []
    cpu_times = []
    spent = 0.0
    try:
        for i in range(repeat):
            if os.path.exists(out):
                os.unlink(out)
            gc.collect()
            c0 = time.process_time()
            t0 = time.perf_counter()
            value = job()
            dt = time.perf_counter() - t0
            cpu_times.append(time.process_time() - c0)
            times.append(dt)
            spent += dt
            holder = getattr(job, "holder", None)
            if holder:
                holder.clear()
            if i == 0:
                res["result"] = _describe(value)
            if spent >= budget:
                break
        res["status"] = "ok"
    except MemoryError as exc:
        res.update(status="error", error=_short_error(exc))
    except Exception as exc:  # noqa: BLE001
        res.update(status="error", error=_short_error(exc))
    res["times"] = times
    res["cpu_times"] = cpu_times
    res["vm_hwm_kb"] = vm_hwm_kb()
    try:
        res["out_bytes"] = os.path.getsize(out)
    except OSError:
        res["out_bytes"] = None
    print(json.dumps(res))
    return 0


def _describe(value) -> str | None:
    """A short description of what the job returned (rows, summary)."""
    if value is None:
        return None
    if isinstance(value, int):
        return "rows=%d" % value
    if isinstance(value, dict):
        keys = ("total_rows", "rowvaned_rows", "repaired_rows", "quarantined_rows", "inferred_columns",
                "detected_delimiter")
        return " ".join("%s=%s" % (k, value[k]) for k in keys if k in value) or str(value)[:120]
    attrs = [a for a in ("total_rows", "rowvaned_rows", "repaired_rows", "quarantined_rows",
                         "inferred_columns", "detected_delimiter") if hasattr(value, a)]
    if attrs:
        return " ".join("%s=%s" % (a, getattr(value, a)) for a in attrs)
    return repr(value)[:120]


# ==========================================================================
# parent side
# ==========================================================================

MAX_RSS_KB = 8 * 1024 * 1024  # a runaway peer is killed past this (see --max-rss-gb)


def _rss_kb(pid: int) -> int:
    try:
        with open("/proc/%d/status" % pid) as f:
            for ln in f:
                if ln.startswith("VmRSS:"):
                    return int(ln.split()[1])
    except (OSError, ValueError):
        pass
    return 0


def run_child(argv: list[str], env: dict | None, timeout: float) -> tuple[int, float, str, str, str | None]:
    """Runs argv; returns (status, maxrss_kb, stdout, stderr, killed_reason).

    Peak RSS comes from os.wait4 for that child alone. The child is killed
    after `timeout` seconds or once its RSS passes MAX_RSS_KB."""
    with tempfile.TemporaryFile() as fo, tempfile.TemporaryFile() as fe:
        p = subprocess.Popen(argv, stdout=fo, stderr=fe, env=env, start_new_session=True)
        deadline = time.monotonic() + timeout
        killed = None
        polls = 0
        while True:
            pid, status, ru = os.wait4(p.pid, os.WNOHANG)
            if pid == p.pid:
                break
            polls += 1
            if time.monotonic() > deadline:
                killed = "timeout: killed after %.0f s" % timeout
            elif polls % 5 == 0 and _rss_kb(p.pid) > MAX_RSS_KB:
                killed = "memory: killed with RSS over %.1f GB" % (MAX_RSS_KB * 1024 / 1e9)
            if killed:
                try:
                    os.killpg(p.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                pid, status, ru = os.wait4(p.pid, 0)
                break
            time.sleep(0.02)
        p.returncode = os.waitstatus_to_exitcode(status)
        fo.seek(0)
        fe.seek(0)
        return (p.returncode, ru.ru_maxrss, fo.read().decode("utf-8", "replace"),
                fe.read().decode("utf-8", "replace"), killed)


def child_env(tool: str) -> dict:
    env = dict(os.environ)
    env["POLARS_MAX_THREADS"] = "1"  # all peers single-threaded
    env.setdefault("OMP_NUM_THREADS", "1")
    env.setdefault("ARROW_NUM_THREADS", "1")  # harmless; use_threads=False is what counts
    env["PYTHONHASHSEED"] = "0"
    return env


IO_FLOOR_SRC = HERE / "io_floor.cpp"


def build_io_floor(data_dir: Path) -> Path | None:
    """Compiles bench/io_floor.cpp with the system g++ -O2 (again when the
    source is newer than the binary); None, with a warning, when it fails."""
    exe = data_dir / "io_floor"
    if exe.exists() and exe.stat().st_mtime >= IO_FLOOR_SRC.stat().st_mtime:
        return exe
    data_dir.mkdir(parents=True, exist_ok=True)
    cmd = ["g++", "-O2", "-std=c++20", "-o", str(exe), str(IO_FLOOR_SRC)]
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        print("bench/run: warning: %s failed: %s" % (" ".join(cmd), r.stderr.strip()[-300:]), file=sys.stderr)
        return None
    return exe


IO_FLOOR_EXE: Path | None = None


def run_tool(tool: str, inp: str, outdir: Path, repeat: int, budget: float, timeout: float) -> dict:
    out = str(outdir / ("%s.out.csv" % tool))
    if tool == "io_floor":
        if IO_FLOOR_EXE is None:
            return {"tool": tool, "status": "not installed", "error": "g++ could not build bench/io_floor.cpp"}
        argv = [str(IO_FLOOR_EXE), inp, out, str(repeat), str(budget)]
    else:
        argv = [sys.executable, str(Path(__file__).resolve()), "--worker", tool, inp, out, DELIM,
                str(repeat), str(budget)]
    rc, maxrss_kb, so, se, killed = run_child(argv, child_env(tool), timeout)
    try:
        os.unlink(out)
    except OSError:
        pass
    res: dict = {"tool": tool}
    lines = [ln for ln in so.splitlines() if ln.startswith("{")]
    if lines:
        try:
            res.update(json.loads(lines[-1]))
        except ValueError:
            pass
    # VmHWM from the worker itself when it got that far; else the child's ru_maxrss.
    res["ru_maxrss_kb"] = maxrss_kb
    res["peak_rss_kb"] = res.get("vm_hwm_kb") or maxrss_kb
    if killed:
        res["status"], res["error"] = killed.split(": ", 1)
    elif "status" not in res:
        res["status"] = "crashed"
        tail = (se.strip().splitlines() or ["no output"])[-1]
        sig = -rc if rc < 0 else None
        res["error"] = ("signal %d; " % sig if sig else "exit %d; " % rc) + tail[:160]
    if res.get("times"):
        res["best_s"] = min(res["times"])
        res["best_cpu_s"] = min(res.get("cpu_times") or [0.0]) or None
    return res


def measure_baseline(timeout: float = 60.0) -> dict:
    """Peak RSS of a bare interpreter, and of one that only imports the module."""
    out = {}
    probe = ("import sys; sys.path.insert(0, %r); import run; print(run.vm_hwm_kb())" % str(HERE))
    for key, code in (("bare_kb", "pass"), ("module_kb", "import %s" % MODULE)):
        rc, kb, so, se, _ = run_child([sys.executable, "-c", code + "\n" + probe], child_env("base"), timeout)
        try:
            kb = int(so.split()[-1])
        except (ValueError, IndexError):
            pass
        out[key] = kb if rc == 0 else None
        if rc != 0:
            out[key + "_error"] = (se.strip().splitlines() or ["?"])[-1][:160]
    return out


# ---------------------------------------------------------------- reporting

def machine_info() -> dict:
    cpu = "unknown"
    try:
        for ln in Path("/proc/cpuinfo").read_text().splitlines():
            if ln.startswith("model name"):
                cpu = ln.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem = None
    try:
        for ln in Path("/proc/meminfo").read_text().splitlines():
            if ln.startswith("MemTotal"):
                mem = int(ln.split()[1]) * 1024
                break
    except OSError:
        pass
    return {"cpu": cpu, "cores": os.cpu_count(), "mem_bytes": mem, "kernel": platform.release()}


def versions() -> dict:
    from importlib import metadata

    v = {"python": sys.version.split()[0] + " (" + sys.executable + ")"}
    for tool, dist in DISTS.items():
        try:
            v[tool] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            v[tool] = "not installed"
    try:
        v[MODULE] = metadata.version("csv-rowvane-backend")
    except metadata.PackageNotFoundError:
        v[MODULE] = "(no distribution)"
    try:  # the build under test, which may come from PYTHONPATH rather than an install
        r = subprocess.run([sys.executable, "-c", "import %s as m; print(m.__file__)" % MODULE],
                           capture_output=True, text=True, timeout=30)
        if r.returncode == 0:
            v[MODULE] += " from " + r.stdout.strip()
    except (OSError, subprocess.SubprocessError):
        pass
    try:
        rev = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                             capture_output=True, text=True, timeout=10).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--", "core", "module"],
                               capture_output=True, text=True, timeout=10).stdout.strip()
        v["tree"] = rev + (" + uncommitted changes in core/ or module/" if dirty else "")
    except (OSError, subprocess.SubprocessError):
        pass
    return v


def mbps(nbytes: int, seconds: float | None) -> float | None:
    if not seconds:
        return None
    return nbytes / 1e6 / seconds


def fmt(x, pattern="%.1f", none="—"):
    return none if x is None else pattern % x


def status_text(r: dict) -> str:
    st = r.get("status", "?")
    if st == "ok":
        n = len(r.get("times", []))
        return "ok (best of %d)" % n
    if st == "not installed":
        return "not installed"
    err = r.get("error", "")
    return "%s: %s" % (st, err.replace("|", "\\|"))


# The floor each job is measured against: the same job done by the least
# program that still reads the file and produces the same kind of output.
FLOOR_OF = {
    "rowvane_file": "io_floor", "rowvane_file_delim": "io_floor", "csv_roundtrip": "io_floor",
    "pandas": "io_floor", "polars": "io_floor", "duckdb": "io_floor", "pyarrow": "io_floor",
    "RowvaneReader": "object_floor_iter", "csv_iter": "object_floor_iter",
    "RowvaneReader_list": "object_floor_list", "csv_list": "object_floor_list",
}
# Shapes whose rows are plain text: the file run must stay closest to the floor there.
TIGHT_SHAPES = ("narrow", "wide", "quote_0", "utf8_ascii_twin")
FILE_PEERS = ("pandas", "polars", "duckdb", "pyarrow")


def _ok_time(results: dict, shape: str, tool: str, key: str):
    r = results.get(shape, {}).get(tool)
    return r.get(key) if r and r.get("status") == "ok" else None


def evaluate_targets(results: dict, manifest: dict, key: str = "best_s") -> list[tuple[str, str, str]]:
    """Returns rows (target, verdict, detail)."""
    rows: list[tuple[str, str, str]] = []
    if not results:
        return rows

    def t(shape, tool):
        return _ok_time(results, shape, tool, key)

    shapes = list(results)

    def ratio_rule(name, tool, ref, limit_of, larger_is_better=False):
        bad, detail, missing = [], [], []
        for s in shapes:
            a, b = t(s, tool), t(s, ref)
            if a is None or b is None:
                missing.append(s)
                continue
            x = b / a if larger_is_better else a / b
            limit = limit_of(s)
            detail.append("%s %.2f×" % (s, x))
            if (x < limit) if larger_is_better else (x > limit):
                bad.append(s)
        rows.append((name, _verdict(bad, missing, shapes), "; ".join(detail) or "no data"))

    # 1. the file run against the I/O floor
    ratio_rule("rowvane_file ≤ 1.25× I/O floor on %s, ≤ 1.6× on the others" % ", ".join(TIGHT_SHAPES),
               "rowvane_file", "io_floor", lambda s: 1.25 if s in TIGHT_SHAPES else 1.6)
    # 2. the file run against every single-threaded peer it completes alongside
    bad, detail = [], []
    for s in shapes:
        a = t(s, "rowvane_file")
        if a is None:
            continue
        for peer in FILE_PEERS:
            b = t(s, peer)
            if b is None:
                continue
            if b < a:
                bad.append("%s/%s" % (s, peer))
                detail.append("%s: %s %.2f× faster" % (s, peer, a / b))
    missing = [s for s in shapes if t(s, "rowvane_file") is None]
    rows.append(("rowvane_file ≥ each single-threaded peer (pandas, polars, DuckDB, pyarrow) where the peer completes",
                 _verdict(bad, missing, shapes), "; ".join(detail) or "faster than every completed peer"))
    # 3. the reader against the object floor, same job
    ratio_rule("reader iterate-and-drop ≤ 1.1× object floor (iterate-and-drop)", "RowvaneReader",
               "object_floor_iter", lambda s: 1.1)
    ratio_rule("list(reader) ≤ 1.1× object floor (list)", "RowvaneReader_list", "object_floor_list",
               lambda s: 1.1)
    # 4. the reader against csv.reader, same job (× = csv's time ÷ the reader's)
    ratio_rule("reader iterate-and-drop ≥ 1.5× `for row in csv.reader(f): pass`", "RowvaneReader",
               "csv_iter", lambda s: 1.5, larger_is_better=True)
    ratio_rule("list(reader) ≥ 1.5× list(csv.reader(f))", "RowvaneReader_list", "csv_list",
               lambda s: 1.5, larger_is_better=True)
    # 5. hostile time per byte <= 2x narrow's
    if "hostile" in results and "narrow" in results:
        for tool in ("rowvane_file", "RowvaneReader", "RowvaneReader_list"):
            a, b = t("hostile", tool), t("narrow", tool)
            if a is None or b is None:
                rows.append(("%s: hostile time/byte ≤ 2× narrow's" % tool, "n/a", "no data"))
                continue
            x = (a / manifest["hostile"]["bytes"]) / (b / manifest["narrow"]["bytes"])
            rows.append(("%s: hostile time/byte ≤ 2× narrow's" % tool,
                         "met" if x <= 2 else "MISSED", "%.2f×" % x))
    return rows


def evaluate_auto(auto: dict | None, key: str = "best_s") -> list[tuple[str, str, str]]:
    if not auto or not auto.get("results"):
        return []
    res = auto["results"]
    shapes = list(res)
    bad, detail, missing = [], [], []
    for s in shapes:
        a, b = _ok_time(res, s, AUTO_TOOL, key), _ok_time(res, s, "rowvane_file", key)
        if a is None or b is None:
            missing.append(s)
            continue
        x = a / b
        detail.append("%s %.2f×" % (s, x))
        if x > 1.10:
            bad.append(s)
    return [("auto table repair ≤ 1.10× rowvane_file (%g MB shapes)" % auto["size_mb"],
             _verdict(bad, missing, shapes), "; ".join(detail) or "no data")]


def _verdict(bad, missing, shapes) -> str:
    if bad:
        return "MISSED (%s)" % ", ".join(bad)
    if len(missing) == len(shapes):
        return "n/a"
    if missing:
        return "met where measured (no data: %s)" % ", ".join(missing)
    return "met"


def loadavg() -> str:
    try:
        return " ".join(Path("/proc/loadavg").read_text().split()[:3])
    except OSError:
        return "?"


def write_report(path: Path, args, manifest: dict, results: dict, memory: dict | None,
                 install_notes: list[str], started: str, elapsed: float, loads: tuple[str, str],
                 v: dict | None = None, auto: dict | None = None) -> None:
    mi = machine_info()
    v = v or versions()
    L = []
    L.append("# Benchmark results: %s" % MODULE)
    L.append("")
    L.append("Written by `bench/run` (bench/run.py). Date: %s; run took %.0f s; load average "
             "(1, 5, 15 min) %s at the start, %s at the end." % (started, elapsed, loads[0], loads[1]))
    L.append("")
    try:
        l1 = max(float(loads[0].split()[0]), float(loads[1].split()[0]))
    except (ValueError, IndexError):
        l1 = 0.0
    if mi["cores"] and l1 > 0.75 * mi["cores"]:
        L.append("**Warning: the machine was busy during this run (1-minute load average up to %.1f on "
                 "%d cores).** Wall times are inflated by waiting for a core; the targets are also "
                 "given on CPU time below, which is the better guide for this run." % (l1, mi["cores"]))
        L.append("")
    L.append("## Machine and versions")
    L.append("")
    L.append("- CPU: %s; cores: %s; memory: %s; kernel %s" % (
        mi["cpu"], mi["cores"], fmt(mi["mem_bytes"] and mi["mem_bytes"] / 2**30, "%.1f GiB"), mi["kernel"]))
    L.append("- Python %s" % v["python"])
    L.append("- %s %s, tree %s" % (MODULE, v.get(MODULE), v.get("tree", "?")))
    L.append("- peers: " + ", ".join("%s %s" % (k, v[k]) for k in DISTS) + "; csv from the standard library")
    if install_notes:
        for n in install_notes:
            L.append("- install note: %s" % n)
    missing = [k for k in DISTS if v.get(k) == "not installed"]
    if missing:
        L.append("- peers not installed (reported as such): %s" % ", ".join(missing))
    else:
        L.append("- every peer installed from its wheel for this Python")
    L.append("")
    L.append("## Method")
    L.append("")
    L.append("- Files: `bench/generate.py --size-mb %g --seed %d` (one file per shape, about %g MB each)."
             % (args.size_mb, args.seed, args.size_mb))
    L.append("- Each tool runs in its own subprocess per file; the job is timed inside it with "
             "`time.perf_counter` (start-up and imports excluded), best of %d (fewer when the "
             "repeats would pass %g s). Peak RSS is that subprocess's own high-water mark "
             "(VmHWM from /proc, read by the worker at its end; the child's `ru_maxrss` from os.wait4 "
             "if it died), so it includes the interpreter and the tool's imports; `ru_maxrss` alone "
             "would also count the forked copy of the harness before exec. *MB/s on CPU time* "
             "divides by the process CPU time (all threads) of the run with the least of it: less "
             "sensitive than wall time to other load on the machine." % (args.repeat, args.budget))
    L.append("- MB = 10^6 bytes; MB/s is input size ÷ best time. **÷ floor** is a tool's best time over "
             "the best time of the floor of its job, measured in the same run on the same file: the "
             "I/O floor for the jobs that write a file, the object floor (iterate-and-drop or list, "
             "as the job) for the jobs that hand out rows. 1.00 is the floor itself. Every ratio "
             "compares one job with the same job.")
    L.append("- Floors: `io_floor` is a C++ program built by the harness (`g++ -O2`, bench/io_floor.cpp) "
             "that times itself; `object_floor_*` run in the same Python worker as the reader.")
    L.append("- Peers are single-threaded (`POLARS_MAX_THREADS=1`, DuckDB `SET threads=1`, pyarrow "
             "`use_threads=False`). The csv peers use `errors='surrogateescape'` and "
             "`csv.field_size_limit(sys.maxsize)`; the other peers use their default UTF-8 handling, "
             "so invalid UTF-8 may stop them (reported as errors).")
    for tool, (_, desc) in TOOLS.items():
        L.append("  - `%s`: %s" % (tool, desc))
    if auto:
        L.append("  - `%s`: %s" % (AUTO_TOOL, AUTO_DESC))
    L.append("")
    L.append("## Targets")
    L.append("")
    L.append("Where a target is missed, [PROFILE.md](PROFILE.md) shows where the time goes "
             "and what would remove it.")
    L.append("")
    L.append("On wall time (best of N), the measure of record:")
    L.append("")
    L.append("| target | verdict | detail |")
    L.append("| --- | --- | --- |")
    for name, verdict, detail in evaluate_targets(results, manifest):
        L.append("| %s | %s | %s |" % (name, verdict, detail))
    for name, verdict, detail in evaluate_auto(auto):
        L.append("| %s | %s | %s |" % (name, verdict, detail))
    if memory:
        for name, verdict, detail in memory.get("targets", []):
            L.append("| %s | %s | %s |" % (name, verdict, detail))
    L.append("")
    cpu_rows = evaluate_targets(results, manifest, "best_cpu_s") + evaluate_auto(auto, "best_cpu_s")
    if cpu_rows:
        L.append("The same speed targets on process CPU time (the verdict of record when the machine "
                 "is loaded: other load inflates wall times, not CPU time):")
        L.append("")
        L.append("| target | verdict | detail |")
        L.append("| --- | --- | --- |")
        for name, verdict, detail in cpu_rows:
            L.append("| %s | %s | %s |" % (name, verdict, detail))
        L.append("")
    if memory:
        L.append("## Memory mode (%g MB narrow file)" % memory["size_mb"])
        L.append("")
        b = memory["baseline"]
        L.append("- baseline: bare interpreter %s MB, interpreter + `import %s` %s MB" % (
            fmt(b.get("bare_kb") and b["bare_kb"] * 1024 / 1e6), MODULE,
            fmt(b.get("module_kb") and b["module_kb"] * 1024 / 1e6)))
        L.append("")
        L.append("| tool | MB/s | peak RSS MB | (peak − baseline) ÷ input | status |")
        L.append("| --- | ---: | ---: | ---: | --- |")
        for tool, r in memory["results"].items():
            peak = r.get("peak_rss_kb", 0) * 1024 / 1e6
            L.append("| %s | %s | %.0f | %s | %s |" % (
                tool, fmt(mbps(memory["bytes"], r.get("best_s")), "%.0f"), peak,
                fmt(r.get("ratio"), "%.2f"), status_text(r)))
        L.append("")
    if auto and auto.get("results"):
        L.append("## The front end's table repair (detect='auto') against the basic run, %g MB shapes"
                 % auto["size_mb"])
        L.append("")
        L.append("`%s` over `rowvane_file` on the same file, same run, best of %d each."
                 % (AUTO_TOOL, args.repeat))
        L.append("")
        L.append("| shape | MB | rowvane_file s | auto s | auto ÷ basic | CPU: rowvane_file s | CPU: auto s | "
                 "auto ÷ basic on CPU | auto peak RSS MB | status |")
        L.append("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | --- |")
        for shape, per_tool in auto["results"].items():
            b_, a_ = per_tool.get("rowvane_file", {}), per_tool.get(AUTO_TOOL, {})
            bt, at = _ok_time(auto["results"], shape, "rowvane_file", "best_s"), _ok_time(
                auto["results"], shape, AUTO_TOOL, "best_s")
            bc, ac = _ok_time(auto["results"], shape, "rowvane_file", "best_cpu_s"), _ok_time(
                auto["results"], shape, AUTO_TOOL, "best_cpu_s")
            L.append("| %s | %.1f | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                shape, auto["manifest"][shape]["bytes"] / 1e6, fmt(bt, "%.3f"), fmt(at, "%.3f"),
                fmt(at / bt if at and bt else None, "%.2f"), fmt(bc, "%.3f"), fmt(ac, "%.3f"),
                fmt(ac / bc if ac and bc else None, "%.2f"),
                fmt(a_.get("peak_rss_kb") and a_["peak_rss_kb"] * 1024 / 1e6, "%.0f"),
                status_text(a_) if a_.get("status") != "ok" else status_text(b_)))
        L.append("")
    L.append("## Results per file")
    L.append("")
    L.append("**÷ floor**: best time over the best time of the floor of the same job "
             "(`io_floor` for file jobs, `object_floor_iter` / `object_floor_list` for row jobs); "
             "the CPU column does the same with process CPU times.")
    L.append("")
    for shape, per_tool in results.items():
        nbytes = manifest[shape]["bytes"]
        L.append("### %s (%.1f MB, %d rows)" % (shape, nbytes / 1e6, manifest[shape]["rows"]))
        L.append("")
        L.append("| tool | MB/s | best s | ÷ floor | CPU s | ÷ floor on CPU | peak RSS MB | after import MB | status |")
        L.append("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | --- |")
        for tool, r in per_tool.items():
            bt = _ok_time(results, shape, tool, "best_s")
            bc = _ok_time(results, shape, tool, "best_cpu_s")
            floor = FLOOR_OF.get(tool)
            ft = _ok_time(results, shape, floor, "best_s") if floor else None
            fc = _ok_time(results, shape, floor, "best_cpu_s") if floor else None
            inst = r.get("status") != "not installed"
            L.append("| %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                tool, fmt(mbps(nbytes, bt), "%.0f"), fmt(bt, "%.3f"),
                fmt(bt / ft if bt and ft else None, "%.2f"), fmt(bc, "%.3f"),
                fmt(bc / fc if bc and fc else None, "%.2f"),
                fmt(r.get("peak_rss_kb") * 1024 / 1e6 if inst and r.get("peak_rss_kb") else None, "%.0f"),
                fmt(r.get("rss_after_import_kb") * 1024 / 1e6 if r.get("rss_after_import_kb") else None, "%.0f"),
                status_text(r)))
        L.append("")
    # bench/batch.py writes its own section at the end of the same page: keep it.
    kept = ""
    if path.exists():
        old = path.read_text()
        at = old.find("\n## Batch:")
        if at >= 0:
            kept = "\n" + old[at + 1:].rstrip() + "\n"
    path.write_text("\n".join(L) + "\n" + kept)


# ---------------------------------------------------------------- main

def read_install_notes() -> list[str]:
    p = HERE / "data" / "install-notes.txt"
    if not p.exists():
        return []
    return [ln.strip() for ln in p.read_text().splitlines() if ln.strip()]


def memory_mode(args, gen, outdir: Path) -> dict:
    size = args.memory_size_mb
    man = gen.ensure(["narrow"], size, args.seed, gen.DEFAULT_DATA)
    inp = man["narrow"]["path"]
    nbytes = man["narrow"]["bytes"]
    base = measure_baseline()
    print("memory mode: %s (%.0f MB); baseline %s" % (inp, nbytes / 1e6, base), file=sys.stderr)
    res = {}
    targets = []
    for tool, limit in (("rowvane_file", 2.5), ("RowvaneReader", 3.0)):
        r = run_tool(tool, inp, outdir, 1, 0.0, args.timeout * max(1.0, size / args.size_mb))
        if r.get("status") == "ok" and base.get("module_kb"):
            r["ratio"] = (r["peak_rss_kb"] - base["module_kb"]) * 1024 / nbytes
            verdict = "met" if r["ratio"] <= limit else "MISSED"
            targets.append(("%s peak RSS ≤ %g× input + baseline (%g MB narrow)" % (tool, limit, size), verdict,
                            "peak %.0f MB, baseline %.0f MB, (peak − baseline) = %.2f× input" % (
                                r["peak_rss_kb"] * 1024 / 1e6, base["module_kb"] * 1024 / 1e6, r["ratio"])))
        else:
            targets.append(("%s peak RSS ≤ %g× input + baseline (%g MB narrow)" % (tool, limit, size), "n/a",
                            status_text(r)))
        res[tool] = r
        print("  %-14s %s peak %.0f MB" % (tool, status_text(r), r.get("peak_rss_kb", 0) * 1024 / 1e6),
              file=sys.stderr)
    return {"size_mb": size, "bytes": nbytes, "baseline": base, "results": res, "targets": targets}


def auto_mode(args, gen, shapes: list[str], outdir: Path) -> dict:
    """The front end's table repair against the basic run, file by file."""
    man = gen.ensure(shapes, args.auto_size_mb, args.seed, gen.DEFAULT_DATA)
    res: dict[str, dict] = {}
    for shape in shapes:
        inp = man[shape]["path"]
        res[shape] = {}
        for tool in ("rowvane_file", AUTO_TOOL):
            r = run_tool(tool, inp, outdir, args.repeat, args.budget, args.timeout)
            res[shape][tool] = r
            print("auto %-11s %-19s %8s MB/s  %s" % (
                shape, tool, fmt(mbps(man[shape]["bytes"], r.get("best_s")), "%.0f"), status_text(r)),
                file=sys.stderr, flush=True)
    return {"size_mb": args.auto_size_mb, "manifest": man, "results": res}


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv and argv[0] == "--worker":
        tool, inp, out, delim, repeat, budget = argv[1:7]
        return worker(tool, inp, out, delim, int(repeat), float(budget))

    sys.path.insert(0, str(HERE))
    import generate as gen

    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size-mb", type=float, default=gen.DEFAULT_SIZE_MB, help="size of each file (MB)")
    ap.add_argument("--seed", type=int, default=gen.DEFAULT_SEED)
    ap.add_argument("--repeat", type=int, default=3, help="best of N timed runs per tool and file")
    ap.add_argument("--budget", type=float, default=20.0,
                    help="stop repeating a tool on a file once its runs add up to this many seconds")
    ap.add_argument("--timeout", type=float, default=120.0, help="kill a tool's subprocess after this (s)")
    ap.add_argument("--max-rss-gb", type=float, default=8.0, help="kill a tool's subprocess past this RSS (GB)")
    ap.add_argument("--shapes", default=",".join(gen.SHAPES))
    ap.add_argument("--tools", default=",".join(TOOLS))
    ap.add_argument("--auto-size-mb", type=float, default=50.0,
                    help="size of the files of the auto-vs-basic table (0: no such table)")
    ap.add_argument("--memory-500mb", action="store_true",
                    help="also run the memory mode: a 500 MB narrow file, peak RSS of rowvane_file and the reader")
    ap.add_argument("--memory-size-mb", type=float, default=500.0, help=argparse.SUPPRESS)
    ap.add_argument("--memory-only", action="store_true", help="run only the memory mode")
    ap.add_argument("--out", type=Path, default=HERE / "RESULTS.md")
    ap.add_argument("--json", type=Path, default=None, help="raw results (default bench/data/results-s<SIZE>.json)")
    ap.add_argument("--from-json", type=Path, nargs="+", default=None,
                    help="only rewrite the report from results JSON files of earlier runs (the per-file "
                         "results of the first that has them, the memory mode of the first that has it)")
    args = ap.parse_args(argv)
    if args.from_json:
        docs = [json.loads(p.read_text()) for p in args.from_json]
        d = next((x for x in docs if x.get("results")), docs[0])
        mem = next((x["memory"] for x in docs if x.get("memory")), None)
        a = d["args"]
        args.size_mb, args.seed = float(a["size_mb"]), int(a["seed"])
        args.repeat, args.budget = int(a["repeat"]), float(a["budget"])
        auto = next((x["auto"] for x in docs if x.get("auto")), None)
        write_report(args.out, args, d["manifest"], d["results"], mem, read_install_notes(),
                     d.get("started", "?"), d.get("elapsed", 0.0), tuple(d.get("loads", ("?", "?"))),
                     d.get("versions"), auto)
        print("wrote %s" % args.out, file=sys.stderr)
        return 0

    global MAX_RSS_KB, IO_FLOOR_EXE
    MAX_RSS_KB = int(args.max_rss_gb * 1e9 / 1024)
    IO_FLOOR_EXE = build_io_floor(gen.DEFAULT_DATA)
    shapes = [s for s in args.shapes.split(",") if s]
    tools = [t for t in args.tools.split(",") if t]
    for s in shapes:
        if s not in gen.SHAPES:
            ap.error("unknown shape %r (known: %s)" % (s, ", ".join(gen.SHAPES)))
    for t in tools:
        if t not in TOOLS:
            ap.error("unknown tool %r (known: %s)" % (t, ", ".join(TOOLS)))
    if args.memory_only:
        args.memory_500mb = True
        shapes = []
        args.auto_size_mb = 0

    started = _dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    t_start = time.monotonic()
    load_start = loadavg()
    run_versions = versions()  # before the run: the module under test is the one installed now
    manifest = gen.ensure(shapes, args.size_mb, args.seed, gen.DEFAULT_DATA) if shapes else {}
    outdir = Path(tempfile.mkdtemp(prefix="out-", dir=str(gen.DEFAULT_DATA)))
    results: dict[str, dict] = {}
    memory = None
    auto = None
    try:
        for shape in shapes:
            inp = manifest[shape]["path"]
            nbytes = manifest[shape]["bytes"]
            results[shape] = {}
            for tool in tools:
                r = run_tool(tool, inp, outdir, args.repeat, args.budget, args.timeout)
                results[shape][tool] = r
                print("%-16s %-19s %8s MB/s  peak %6.0f MB  %s" % (
                    shape, tool, fmt(mbps(nbytes, r.get("best_s")), "%.0f"),
                    r.get("peak_rss_kb", 0) * 1024 / 1e6, status_text(r)), file=sys.stderr, flush=True)
        if args.auto_size_mb and shapes:
            auto = auto_mode(args, gen, shapes, outdir)
        if args.memory_500mb:
            memory = memory_mode(args, gen, outdir)
    finally:
        shutil.rmtree(outdir, ignore_errors=True)
    elapsed = time.monotonic() - t_start
    jpath = args.json or (gen.DEFAULT_DATA / "memory-results.json" if args.memory_only else
                          gen.data_dir_for(gen.DEFAULT_DATA, args.size_mb) / "results.json")
    jpath.parent.mkdir(parents=True, exist_ok=True)
    loads = (load_start, loadavg())
    jpath.write_text(json.dumps({"args": {k: str(v) for k, v in vars(args).items()}, "manifest": manifest,
                                 "results": results, "memory": memory, "auto": auto, "started": started,
                                 "elapsed": elapsed, "loads": loads, "versions": run_versions}, indent=1))
    write_report(args.out, args, manifest, results, memory, read_install_notes(), started, elapsed, loads,
                 run_versions, auto)
    print("wrote %s and %s" % (args.out, jpath), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
