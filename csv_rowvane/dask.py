"""Batches on a Dask cluster (the ``dask`` extra: ``pip install '.[dask]'``).

Every worker opens the files itself: the inputs, ``output_dir`` and
``quarantine_dir`` must be visible under the same paths to every worker (a
shared filesystem), and ``csv_rowvane`` must be installed on every worker.
"""

from __future__ import annotations

import os
import shutil
import stat
import tempfile
import time
from collections.abc import Iterable, Iterator
from typing import Any

from . import _compression, _core
from ._api import (
    _AUTO_COUNTS,
    StrPath,
    _encoding_choice,
    _options,
    _repair_report,
    fspath,
    repair,
    validate_options,
)
from ._batch import OnError, Outcome, check_on_error, gather, plan, raise_first_refusal, run_job
from ._encoding import choose_page
from ._report import BatchReport, RepairReport

__all__ = ["repair_many", "repair_large"]


def repair_many(
    inputs: Iterable[StrPath] | StrPath,
    output_dir: StrPath,
    *,
    client: Any = None,
    quarantine_dir: StrPath | None = None,
    changes_dir: StrPath | None = None,
    progress: bool = False,
    on_error: OnError = "report",
    skip_unchanged: bool = False,
    **options: Any,
) -> BatchReport:
    """:func:`csv_rowvane.repair_many` on a Dask cluster: one task per file
    (``distributed.Client.map``), on ``client`` or, when None, the current
    client. Files must be visible under the same paths to every worker (a
    shared filesystem); the plan (which files, where their outputs go, what
    is refused) is made here, before any task is submitted. A worker runs
    as many files at once as it has threads. ``BatchReport.jobs`` is the
    number of workers the cluster had.
    """
    client = _client(client)  # ImportError naming the extra without distributed
    import distributed

    check_on_error(on_error)
    started = time.perf_counter()
    p = plan(inputs, output_dir, quarantine_dir=quarantine_dir, changes_dir=changes_dir,
             skip_unchanged=skip_unchanged, options=options)
    if on_error == "raise":
        raise_first_refusal(p)
    workers = max(1, len(client.scheduler_info().get("workers", {})))
    outcomes: dict[int, Outcome] = {}
    for job in p.jobs:
        # A worker runs as many files at once as it has threads: one each.
        if job.options.get("threads") is None:
            job.options["threads"] = 1
    if p.jobs:
        futures = client.map(run_job, p.jobs, on_error=on_error, pure=False)
        index = {f.key: job.index for f, job in zip(futures, p.jobs)}
        from tqdm import tqdm  # type: ignore[import-untyped]

        try:
            with tqdm(total=len(futures), unit="file", disable=not progress, leave=False) as bar:
                for fut in distributed.as_completed(futures):  # type: ignore[no-untyped-call]
                    outcomes[index[fut.key]] = fut.result()
                    bar.update(1)
        except BaseException:
            client.cancel(futures)
            raise
    return gather(p, outcomes, workers, time.perf_counter() - started)


#: The smallest part repair_large gives a worker: below that, the file is
#: repaired in one piece.
MIN_PART = 64 << 20

#: The head the layout is read from (the native run's): every part reads it.
_HEAD = 4 << 20

#: The opening-quote repair's budget over a whole run, as the native run sets it.
_DETECT = 64 << 10


def _client(client: Any) -> Any:
    try:
        import distributed
    except ImportError as e:  # pragma: no cover - depends on the environment
        raise ImportError(
            "csv_rowvane.dask needs the 'distributed' package: pip install 'csv-rowvane-backend[dask]'"
        ) from e
    if client is not None:
        return client
    try:
        return distributed.get_client()
    except ValueError as e:
        raise ValueError("no Dask client: pass client=, or create a distributed.Client first") from e


def _repair_part(path: str, files: tuple[str, str | None, str | None], start: int, stop: int | None,
                 options: dict[str, Any]) -> dict[str, Any]:
    """One task of repair_large: the rows of ``path`` from its first record
    start at or after ``start`` to the last before ``stop``, into ``files``."""
    opts = dict(options)
    encoding = opts.pop("encoding", "auto")
    return _core.repair_file(path, *files, **opts, encoding=_encoding_choice(encoding), page_chooser=choose_page,
                             part_start=start, part_stop=stop)


def _records(path: str) -> Iterator[str]:
    """The records of a quarantine file or change log after its header: a
    record ends at a line feed outside double quotes."""
    with open(path, encoding="utf-8", newline="") as f:
        f.readline()
        record = ""
        for line in f:
            record += line
            if record.count('"') % 2 == 0:
                yield record
                record = ""
        if record:
            yield record


def _join_side_files(parts: list[str], lines: list[int], target: str) -> None:
    """The side files of the parts as one: the header once, and each part's
    line numbers (counted from 1 where the part began) carried on."""
    offset = 0
    with open(target, "w", encoding="utf-8", newline="") as out:
        for k, (part, n) in enumerate(zip(parts, lines)):
            with open(part, encoding="utf-8", newline="") as f:
                header = f.readline()
            if k == 0:
                out.write(header)
            for record in _records(part):
                number, rest = record.split(",", 1)
                out.write(f"{int(number) + offset},{rest}")
            offset += n


def _join_outputs(parts: list[str], target: str) -> None:
    with open(target, "wb") as out:
        for part in parts:
            with open(part, "rb") as f:
                shutil.copyfileobj(f, out, 1 << 20)


def repair_large(
    input: StrPath,
    output: StrPath,
    client: Any = None,
    *,
    quarantine: StrPath | None = None,
    changes: StrPath | None = None,
    part_size: int | None = None,
    **options: Any,
) -> RepairReport:
    """Repair one large file on a Dask cluster; return its RepairReport.

    The file is split into byte ranges, one task each (``distributed.Client
    .submit``, on ``client`` or, when None, the current client): each task
    reads the table's layout and header from the file's head, takes the first
    record that starts in its range as a row of the table's body and repairs
    the rows up to the first one that starts past its range, into files of its
    own beside ``output``. The parts are then checked to join: each began
    exactly where the one before ended (a quoted line break or a stray quote
    across a boundary moves it) with no row held back and no later table under
    way there. Joined, their outputs are concatenated and their quarantine
    files and change logs carry their line numbers on: byte for byte the
    local ``repair``. Parts that do not join, an input that is not UTF-8
    throughout, a compressed input or one smaller than two parts are repaired
    locally instead, with the same result.

    The file, ``output`` and the side files must be visible under the same
    paths to every worker (a shared filesystem). ``part_size`` is the bytes
    of each range (default: the file over the cluster's threads, at least 64
    MiB each); ``options`` are those of :func:`csv_rowvane.repair` under
    ``detect="auto"``.
    """
    inp = fspath(input, "input")
    out = fspath(output, "output")
    quar = fspath(quarantine, "quarantine") if quarantine is not None else None
    chg = fspath(changes, "changes") if changes is not None else None
    validate_options(dict(options))
    if options.get("detect", "auto") != "auto":
        raise ValueError("repair_large repairs with detect='auto'")
    if part_size is not None and (isinstance(part_size, bool) or not isinstance(part_size, int) or part_size < 1):
        raise ValueError(f"part_size must be a positive int or None, got {part_size!r}")
    client = _client(client)
    local = dict(options)
    local.pop("detect", None)

    def locally() -> RepairReport:
        return repair(inp, out, quarantine=quar, changes=chg, **local)

    st = os.stat(inp)
    if not stat.S_ISREG(st.st_mode) or _compression.sniff(inp) is not None:
        return locally()
    threads = sum(int(w.get("nthreads", 1)) for w in client.scheduler_info().get("workers", {}).values()) or 1
    size = st.st_size
    each = part_size if part_size is not None else max(MIN_PART, -(-size // threads))
    each = max(each, _HEAD)
    n = size // each
    if n < 2 or _compression.output_format(out) is not None or options.get("infer_types"):
        return locally()
    started = time.perf_counter()
    opts = _options(local.pop("delimiter", None), local.pop("quote_char", None),
                    local.pop("fill_ragged_rows", True), local.pop("merge_overflow", True),
                    local.pop("expected_columns", None), local.pop("repair_quotes", True))
    run_opts = {**opts, "keep_blank_rows": options.get("keep_blank_rows", False),
                "encoding": options.get("encoding", "auto"),
                "encoding_errors": options.get("encoding_errors", "replace"),
                "threads": options.get("threads") or 1, "block_size": options.get("block_size")}
    bom = options.get("output_encoding", "utf-8") == "utf-8-sig"
    directory = os.path.dirname(os.path.abspath(out))
    work = tempfile.mkdtemp(prefix=f".{os.path.basename(out)[:80]}.", suffix=".parts", dir=directory)
    try:
        files = [(os.path.join(work, f"{k}.csv"),
                  os.path.join(work, f"{k}.quarantine.csv") if quar is not None else None,
                  os.path.join(work, f"{k}.changes.csv") if chg is not None else None) for k in range(n)]
        futures = [client.submit(_repair_part, inp, files[k], size * k // n,
                                 size * (k + 1) // n if k + 1 < n else None,
                                 {**run_opts, "output_bom": bom and k == 0}, pure=False) for k in range(n)]
        try:
            results: list[dict[str, Any]] = client.gather(futures)
        except BaseException:
            client.cancel(futures)
            raise
        if not _joined(results, size):
            return locally()
        _join_outputs([f[0] for f in files], out)
        lines = [int(r["lines"]) for r in results]
        if quar is not None:
            _join_side_files([str(f[1]) for f in files], lines, quar)
        if chg is not None:
            _join_side_files([str(f[2]) for f in files], lines, chg)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return _repair_report(_merged(results), inp, out, quar, chg, input_size=size, output_size=os.stat(out).st_size,
                          elapsed=time.perf_counter() - started, detect="auto",
                          output_encoding=options.get("output_encoding", "utf-8"))


def _joined(results: list[dict[str, Any]], size: int) -> bool:
    """Whether the parts join into the one run: each began where the one
    before ended, nothing held back across a boundary, and the opening-quote
    repair's budget (which a part assumes whole) never ran short."""
    if any(r.get("part_status") != "done" for r in results):
        return False
    if int(results[0]["first"]) != 0 or int(results[-1]["next"]) < size:
        return False
    for before, after in zip(results, results[1:]):
        if int(after["first"]) != int(before["next"]) or not before["clean"]:
            return False
    if any(r["reread_refused"] for r in results[1:]):
        return False
    return sum(int(r["reread_used"]) for r in results) <= 2 * size + _DETECT


_ADDED = ("total_rows", "rowvaned_rows", "repaired_rows", "quarantined_rows", *_AUTO_COUNTS,
          "fallback_decoded_rows", "replaced_bytes", "undecodable_rows")


def _merged(results: list[dict[str, Any]]) -> dict[str, Any]:
    """The parts' counts as the one run's: added up, the layout's from the first."""
    merged = dict(results[0])
    for key in _ADDED:
        merged[key] = sum(int(r.get(key, 0)) for r in results)
    tables = sum(int(r["tables_added"]) for r in results)
    merged["tables_found"] = 0 if merged["total_rows"] == 0 else max(tables, 1)
    return merged
