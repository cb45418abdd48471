"""Batches: plan the jobs of many files, run them on every core."""

from __future__ import annotations

import concurrent.futures as cf
import contextlib
import multiprocessing
import os
import signal
import stat
import time
from collections.abc import Iterable
from dataclasses import dataclass, field
from types import FrameType
from typing import Any, Literal

from ._api import StrPath, _same_file, fspath, repair, validate_options
from ._report import BatchFailure, BatchReport, RepairReport

__all__ = ["repair_many", "Job", "plan", "run_jobs", "failure_from", "SUFFIXES"]

#: The files a directory contributes to a batch (compared case-insensitively).
SUFFIXES = (".csv", ".tsv", ".txt")

OnError = Literal["report", "raise"]


@dataclass(frozen=True, slots=True)
class Job:
    """One file of a batch."""

    index: int
    input: str
    output: str
    quarantine: str | None
    options: dict[str, Any] = field(default_factory=dict, compare=False)
    changes: str | None = None


@dataclass(slots=True)
class Plan:
    """The jobs of a batch, and what was refused or skipped before any ran.
    ``order`` keys every job and failure by its position among the inputs."""

    jobs: list[Job] = field(default_factory=list)
    failures: list[tuple[int, BatchFailure]] = field(default_factory=list)
    skipped: list[str] = field(default_factory=list)
    # the exception behind each failure, by position, for on_error="raise"
    errors: dict[int, BaseException] = field(default_factory=dict)


def failure_from(path: str, exc: BaseException) -> BatchFailure:
    """A batch failure for ``path`` from the exception that ended its run."""
    if isinstance(exc, OSError) and exc.strerror:
        message = exc.strerror
        if exc.filename is not None and os.fspath(exc.filename) != path:
            message += f": {os.fspath(exc.filename)!r}"
        return BatchFailure(path, type(exc).__name__, message, exc.errno)
    return BatchFailure(path, type(exc).__name__, str(exc) or type(exc).__name__, getattr(exc, "errno", None))


def _key(path: str) -> str:
    return os.path.normcase(os.path.realpath(path))


def _expand(
    inputs: Iterable[StrPath] | StrPath, prune: list[str], errors: dict[int, BaseException] | None = None
) -> tuple[list[tuple[str, str | None]], list[tuple[int, BatchFailure]]]:
    """The files named by ``inputs``: a file as given, a directory's matching
    files (recursively, sorted) with their path relative to it. Entries that
    cannot be read are failures, never skipped silently."""
    found: list[tuple[str, str | None]] = []
    failures: list[tuple[int, BatchFailure]] = []
    prune_keys = {_key(p) for p in prune}
    if isinstance(inputs, (str, bytes, os.PathLike)):
        inputs = [inputs]
    for item in inputs:
        path = fspath(item, "input")
        try:
            st = os.stat(path)
        except OSError as e:
            if errors is not None:
                errors[len(found) + len(failures)] = e
            failures.append((len(found) + len(failures), failure_from(path, e)))
            continue
        if not stat.S_ISDIR(st.st_mode):
            found.append((path, None))
            continue

        def walk_error(e: OSError, _where: str = path) -> None:
            where = os.fspath(e.filename) if e.filename is not None else _where
            if errors is not None:
                errors[len(found) + len(failures)] = e
            failures.append((len(found) + len(failures), failure_from(where, e)))

        for root, dirs, files in os.walk(path, onerror=walk_error):
            dirs.sort()
            dirs[:] = [d for d in dirs if _key(os.path.join(root, d)) not in prune_keys]
            for name in sorted(files):
                if not name.lower().endswith(SUFFIXES):
                    continue
                full = os.path.join(root, name)
                found.append((full, os.path.relpath(full, path)))
    return found, failures


def plan(
    inputs: Iterable[StrPath] | StrPath,
    output_dir: StrPath | None,
    *,
    quarantine_dir: StrPath | None = None,
    changes_dir: StrPath | None = None,
    skip_unchanged: bool = False,
    options: dict[str, Any] | None = None,
) -> Plan:
    """The jobs of a batch. ``output_dir`` None rewrites each input in place.

    Refused before anything runs, each as a failure of its input: two inputs
    whose outputs (or quarantine files) would be one file, and an output or
    quarantine file that would overwrite an input.
    """
    opts = dict(options or {})
    validate_options(opts)
    out_dir = fspath(output_dir, "output_dir") if output_dir is not None else None
    q_dir = fspath(quarantine_dir, "quarantine_dir") if quarantine_dir is not None else None
    c_dir = fspath(changes_dir, "changes_dir") if changes_dir is not None else None
    if c_dir is not None and opts.get("detect", "auto") != "auto":
        raise ValueError("changes_dir needs detect='auto': the basic run keeps no change log")
    prune = [d for d in (out_dir, q_dir, c_dir) if d is not None]
    result = Plan()
    found, failures = _expand(inputs, prune, result.errors)
    result.failures = list(failures)
    # Positions: failures found while expanding keep the place they had.
    taken = {i for i, _ in failures}
    positions = iter(i for i in range(len(found) + len(failures)) if i not in taken)

    candidates: list[tuple[int, str, str, str | None, str | None]] = []
    seen_inputs: set[str] = set()
    for path, rel in found:
        pos = next(positions)
        ikey = _key(path)
        if ikey in seen_inputs:  # the same file named twice: one job
            continue
        seen_inputs.add(ikey)
        name = rel if rel is not None else os.path.basename(path)
        output = os.path.join(out_dir, name) if out_dir is not None else path
        quarantine = os.path.join(q_dir, name) if q_dir is not None else None
        changes = os.path.join(c_dir, name) if c_dir is not None else None
        candidates.append((pos, path, output, quarantine, changes))

    input_keys = {_key(p): p for _, p, _, _, _ in candidates}
    writers: dict[str, list[str]] = {}
    for _, path, output, quarantine, changes in candidates:
        for target in (output, quarantine, changes):
            if target is not None:
                writers.setdefault(_key(target), []).append(path)

    for pos, path, output, quarantine, changes in candidates:
        reason = None
        for what, target in (("output", output), ("quarantine file", quarantine), ("change log", changes)):
            if target is None:
                continue
            tkey = _key(target)
            others = [p for p in writers[tkey] if p != path]
            if len(writers[tkey]) > 1 and not others:
                others = [path]  # two files of one input land on one name
            if others:
                reason = f"{what} {target!r} would also be written for {others[0]!r}"
            elif out_dir is None and what == "output":
                continue  # in place: the output is the input by design
            elif _same_file(target, path):
                reason = f"{what} {target!r} would overwrite its input"
            elif tkey in input_keys:
                reason = f"{what} {target!r} would overwrite the input {input_keys[tkey]!r}"
            if reason:
                break
        if reason:
            result.failures.append((pos, BatchFailure(path, "ValueError", reason)))
            result.errors[pos] = ValueError(f"{path}: {reason}")
            continue
        if skip_unchanged and out_dir is not None and _up_to_date(path, output):
            result.skipped.append(path)
            continue
        result.jobs.append(Job(pos, path, output, quarantine, opts, changes))
    result.failures.sort(key=lambda t: t[0])
    return result


def _up_to_date(inp: str, out: str) -> bool:
    try:
        return os.stat(out).st_mtime_ns >= os.stat(inp).st_mtime_ns
    except OSError:
        return False


# ---------------------------------------------------------------------------
# Running

_busy = False


def _on_signal(signum: int, _frame: FrameType | None) -> None:
    # A worker stops at once when idle; when busy, the repair under way
    # unwinds (its temporary files removed) and the worker then exits.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    if not _busy:
        os._exit(128 + signum)
    raise KeyboardInterrupt


def _worker_init() -> None:
    signal.signal(signal.SIGINT, _on_signal)
    signal.signal(signal.SIGTERM, _on_signal)


def run_job(job: Job, on_error: OnError = "report") -> RepairReport | BatchFailure:
    """Runs one job: creates the output's (and quarantine's) directory and
    repairs the file. A failure is returned as a BatchFailure, or raised when
    ``on_error`` is "raise"."""
    global _busy
    _busy = True
    try:
        for target in (job.output, job.quarantine, job.changes):
            if target is not None:
                parent = os.path.dirname(target)
                if parent:
                    os.makedirs(parent, exist_ok=True)
        return repair(job.input, job.output, quarantine=job.quarantine, changes=job.changes, **job.options)
    except Exception as e:
        if on_error == "raise":
            raise
        return failure_from(job.input, e)
    finally:
        _busy = False


#: An input at least this large gets a progress bar of its own, ticking
#: while it is repaired, even when it is the only one.
LARGE_FILE = 64 << 20


def _size_of(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def _progress(total: int, enabled: bool) -> Any:
    """A bar over ``total`` input bytes on standard error."""
    if not enabled:
        return contextlib.nullcontext(_NoBar())
    from tqdm import tqdm  # type: ignore[import-untyped]

    return tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, leave=False,
                dynamic_ncols=True, desc="repairing")


class _NoBar:
    def update(self, n: int) -> None:
        pass

    def refresh(self) -> None:
        pass


def _stop_pool(pool: cf.ProcessPoolExecutor, grace: float = 10.0) -> None:
    """Ends a pool promptly: pending jobs cancelled, workers asked to stop
    (a running repair unwinds and removes its temporary files), and killed
    when they do not stop within ``grace`` seconds."""
    processes = list(getattr(pool, "_processes", {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    for p in processes:
        if p.is_alive() and p.pid is not None:
            try:
                os.kill(p.pid, signal.SIGINT)
            except ProcessLookupError:
                pass
    deadline = time.monotonic() + grace
    for p in processes:
        p.join(max(0.0, deadline - time.monotonic()))
        if p.is_alive():
            p.kill()
            p.join(1.0)


def run_jobs(
    jobs: list[Job], *, workers: int, progress: bool = False, on_error: OnError = "report"
) -> dict[int, RepairReport | BatchFailure]:
    """Runs ``jobs``, in this process when ``workers`` is 1, else on a pool of
    ``workers`` processes (each backend call holds the interpreter lock, so
    threads would not help). Returns the outcome of every job by its index.

    With ``progress``, a bar over the input bytes shows on standard error; a
    file of LARGE_FILE bytes or more is then repaired in a worker process even
    with ``workers`` 1, so the bar keeps ticking while it runs."""
    outcomes: dict[int, RepairReport | BatchFailure] = {}
    sizes = {job.index: _size_of(job.input) for job in jobs} if progress else {}
    large = progress and any(n >= LARGE_FILE for n in sizes.values())
    with _progress(sum(sizes.values()), progress) as bar:
        if (workers <= 1 or len(jobs) <= 1) and not large:
            for job in jobs:
                outcomes[job.index] = run_job(job, on_error)
                bar.update(sizes.get(job.index, 0))
            return outcomes
        ctx: multiprocessing.context.BaseContext
        try:
            ctx = multiprocessing.get_context("forkserver")
        except ValueError:  # pragma: no cover - platforms without forkserver
            ctx = multiprocessing.get_context("spawn")
        pool = cf.ProcessPoolExecutor(max_workers=max(1, min(workers, len(jobs))), mp_context=ctx,
                                      initializer=_worker_init)
        try:
            futures = {pool.submit(run_job, job, on_error): job for job in jobs}
            pending = set(futures)
            while pending:
                done, pending = cf.wait(pending, timeout=0.25, return_when=cf.FIRST_COMPLETED)
                for fut in done:
                    job = futures[fut]
                    outcomes[job.index] = fut.result()
                    bar.update(sizes.get(job.index, 0))
                bar.refresh()  # the elapsed time moves on while a large file runs
        except BaseException:
            _stop_pool(pool)
            raise
        pool.shutdown(wait=True)
    return outcomes


def repair_many(
    inputs: Iterable[StrPath] | StrPath,
    output_dir: StrPath,
    *,
    quarantine_dir: StrPath | None = None,
    changes_dir: StrPath | None = None,
    jobs: int | None = None,
    progress: bool = False,
    on_error: OnError = "report",
    skip_unchanged: bool = False,
    **options: Any,
) -> BatchReport:
    """Repair many files into ``output_dir``; return a BatchReport.

    ``inputs`` is an iterable of files and directories (a directory
    contributes its ``*.csv``, ``*.tsv`` and ``*.txt`` files, recursively, and
    its layout is mirrored under ``output_dir``; a file lands at
    ``output_dir/<name>``). ``quarantine_dir`` receives each file's rows set
    aside, and ``changes_dir`` each file's change log, under the same
    relative name. ``options`` are those of :func:`repair` (``detect``
    included).

    Runs on a pool of ``jobs`` processes (None: every core; 1: in this
    process). Two inputs whose outputs would be one file, and an output that
    would overwrite an input, are refused before anything runs. A file's
    failure never stops the others (``on_error="raise"`` stops at the first
    and raises its exception); every file that failed is in
    ``BatchReport.failures``, a directory entry that cannot be read included.
    ``skip_unchanged=True`` skips inputs whose output is at least as new, so a
    killed batch can be rerun. ``progress=True`` shows a progress bar on
    standard error.
    """
    check_on_error(on_error)
    workers = _workers(jobs)
    started = time.perf_counter()
    p = plan(inputs, output_dir, quarantine_dir=quarantine_dir, changes_dir=changes_dir,
             skip_unchanged=skip_unchanged, options=options)
    return execute(p, workers=workers, progress=progress, on_error=on_error, started=started)


def _workers(jobs: int | None) -> int:
    if jobs is None:
        return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
        raise ValueError(f"jobs must be a positive int or None, got {jobs!r}")
    return jobs


def check_on_error(on_error: str) -> None:
    if on_error not in ("report", "raise"):
        raise ValueError(f"on_error must be 'report' or 'raise', got {on_error!r}")


def raise_first_refusal(p: Plan) -> None:
    """With on_error="raise": the exception of the plan's first failure."""
    if p.failures:
        pos, failure = p.failures[0]
        raise p.errors.get(pos) or ValueError(str(failure))


def execute(
    p: Plan, *, workers: int, progress: bool, on_error: OnError, started: float | None = None
) -> BatchReport:
    """Runs a plan and gathers its BatchReport."""
    if started is None:
        started = time.perf_counter()
    if on_error == "raise":
        raise_first_refusal(p)
    outcomes = run_jobs(p.jobs, workers=workers, progress=progress, on_error=on_error)
    return gather(p, outcomes, workers, time.perf_counter() - started)


def gather(
    p: Plan, outcomes: dict[int, RepairReport | BatchFailure], workers: int, elapsed: float
) -> BatchReport:
    """The BatchReport of a plan from its jobs' outcomes, in input order."""
    ordered: list[tuple[int, RepairReport | BatchFailure]] = list(p.failures)
    ordered += [(job.index, outcomes[job.index]) for job in p.jobs if job.index in outcomes]
    ordered.sort(key=lambda t: t[0])
    return BatchReport(
        reports=tuple(o for _, o in ordered if isinstance(o, RepairReport)),
        failures=tuple(o for _, o in ordered if isinstance(o, BatchFailure)),
        skipped=tuple(p.skipped),
        elapsed=elapsed,
        jobs=workers,
    )
