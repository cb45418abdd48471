"""Batches: plan the jobs of many files, run them on a pool of threads in this
process."""

from __future__ import annotations

import concurrent.futures as cf
import contextlib
import dataclasses
import os
import shutil
import stat
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any, Literal

from . import _compression, _core, _tables, _tempfiles
from ._api import StrPath, _same_file, check, fspath, repair, validate_options
from ._report import BatchFailure, BatchReport, CheckBatchReport, CheckReport, RepairReport

__all__ = ["repair_many", "check_many", "Job", "plan", "run_job", "run_jobs", "SUFFIXES"]

#: The files a directory contributes to a batch (compared case-insensitively).
SUFFIXES = (".csv", ".tsv", ".txt")

#: The name of standard input (as an input) and standard output (as an output).
STDIO = "-"

OnError = Literal["report", "raise"]
Outcome = RepairReport | CheckReport | BatchFailure


@dataclass(frozen=True, slots=True)
class Job:
    """One file of a batch: ``output`` None for a check."""

    index: int
    input: str
    output: str | None
    quarantine: str | None
    options: dict[str, Any] = field(default_factory=dict, compare=False)
    changes: str | None = None
    member: str | None = None

    @property
    def label(self) -> str:
        """The input as reports show it: a zip member after a colon."""
        return f"{self.input}:{self.member}" if self.member is not None else self.input


@dataclass(slots=True)
class Plan:
    """The jobs of a batch, and what was refused or skipped before any ran.
    Every job and failure is keyed by its position among the inputs."""

    jobs: list[Job] = field(default_factory=list)
    failures: list[tuple[int, BatchFailure]] = field(default_factory=list)
    skipped: list[str] = field(default_factory=list)
    # the exception behind each failure, by position, for on_error="raise"
    errors: dict[int, BaseException] = field(default_factory=dict)


def _key(path: str) -> str:
    return os.path.normcase(os.path.realpath(path))


def _wanted(name: str) -> bool:
    """Whether a directory contributes the file ``name``: a CSV suffix,
    alone or followed by a compression's (``data.csv.gz``, ``data.tsv.zip``)."""
    lower = name.lower()
    for suffix in _compression.INPUT_SUFFIXES:
        if lower.endswith(suffix):
            lower = lower[: -len(suffix)]
            break
    return lower.endswith(SUFFIXES)


def _members_of(path: str, rel: str | None) -> list[tuple[str, str | None, str | None]]:
    """The inputs of the file ``path``: itself, or the CSV members of a zip
    archive, named under the archive's name without ``.zip``
    (``exports.zip`` -> ``exports/a.csv``). An archive that cannot be listed
    stays one input, whose run reports why."""
    if _compression.sniff(path) != "zip":
        return [(path, rel, None)]
    try:
        members = _compression.zip_members(path)
    except _compression.ArchiveError:
        return [(path, rel, None)]
    base = rel if rel is not None else os.path.basename(path)
    if base.lower().endswith(".zip"):
        base = base[:-4]
    return [(path, os.path.join(base, m), m) for m in members]


Found = list[tuple[int, str, str | None, str | None]]


def _opened(found: list[tuple[str, str | None]], failures: list[tuple[int, BatchFailure]],
            errors: dict[int, BaseException]) -> tuple[Found, list[tuple[int, BatchFailure]]]:
    """The inputs of the files found (see :func:`_members_of`), each with
    its position among the inputs and failures, which keep their order; the
    members of an archive take consecutive positions. ``errors`` is keyed
    anew."""
    by_pos = dict(failures)
    files = iter(found)
    inputs: Found = []
    moved: list[tuple[int, BatchFailure]] = []
    renumbered: dict[int, BaseException] = {}
    pos = 0
    for i in range(len(found) + len(failures)):
        if i in by_pos:
            moved.append((pos, by_pos[i]))
            if i in errors:
                renumbered[pos] = errors[i]
            pos += 1
            continue
        for path, rel, member in _members_of(*next(files)):
            inputs.append((pos, path, rel, member))
            pos += 1
    errors.clear()
    errors.update(renumbered)
    return inputs, moved


def _expand(
    inputs: list[str], prune: list[str], errors: dict[int, BaseException]
) -> tuple[list[tuple[str, str | None]], list[tuple[int, BatchFailure]]]:
    """The files named by ``inputs``: a file as given, a directory's matching
    files (recursively, sorted) with their path relative to it. Entries that
    cannot be read are failures, never skipped silently."""
    found: list[tuple[str, str | None]] = []
    failures: list[tuple[int, BatchFailure]] = []
    prune_keys = {_key(p) for p in prune}
    for path in inputs:
        try:
            st = os.stat(path)
        except OSError as e:
            errors[len(found) + len(failures)] = e
            failures.append((len(found) + len(failures), BatchFailure.from_exception(path, e)))
            continue
        if not stat.S_ISDIR(st.st_mode):
            found.append((path, None))
            continue

        def walk_error(e: OSError, _where: str = path) -> None:
            where = os.fspath(e.filename) if e.filename is not None else _where
            errors[len(found) + len(failures)] = e
            failures.append((len(found) + len(failures), BatchFailure.from_exception(where, e)))

        for root, dirs, files in os.walk(path, onerror=walk_error):
            dirs.sort()
            dirs[:] = [d for d in dirs if _key(os.path.join(root, d)) not in prune_keys]
            for name in sorted(files):
                if not _wanted(name):
                    continue
                full = os.path.join(root, name)
                found.append((full, os.path.relpath(full, path)))
    return found, failures


def _paths(inputs: Iterable[StrPath] | StrPath) -> list[str]:
    if isinstance(inputs, (str, bytes, os.PathLike)):
        inputs = [inputs]
    return [fspath(item, "input") for item in inputs]


def _optional(path: StrPath | None, what: str) -> str | None:
    return fspath(path, what) if path is not None else None


@dataclass(frozen=True, slots=True)
class Targets:
    """Where a batch writes: directories mirroring the inputs, or the files
    of its one input (``output`` ``"-"``: standard output), or the inputs
    themselves."""

    output_dir: str | None = None
    output: str | None = None
    in_place: bool = False
    quarantine_dir: str | None = None
    quarantine: str | None = None
    changes_dir: str | None = None
    changes: str | None = None

    @classmethod
    def of(
        cls,
        inputs: list[str],
        output_dir: StrPath | None,
        output: StrPath | None,
        in_place: bool,
        quarantine_dir: StrPath | None,
        quarantine: StrPath | None,
        changes_dir: StrPath | None,
        changes: StrPath | None,
        options: dict[str, Any],
    ) -> Targets:
        """The targets of a batch of ``inputs``, checked: ValueError for
        arguments that cannot make a batch."""
        t = cls(_optional(output_dir, "output_dir"), _optional(output, "output"), bool(in_place),
                _optional(quarantine_dir, "quarantine_dir"), _optional(quarantine, "quarantine"),
                _optional(changes_dir, "changes_dir"), _optional(changes, "changes"))
        if t.output_dir == STDIO and t.output is None:
            t = dataclasses.replace(t, output_dir=None, output=STDIO)
        given = [name for name, v in (("output_dir", t.output_dir), ("output", t.output),
                                      ("in_place", t.in_place)) if v]
        if len(given) != 1:
            raise ValueError("give one of output_dir, output and in_place=True"
                             + (f", not {' and '.join(given)}" if given else ""))
        for name, a, b in (("quarantine", t.quarantine_dir, t.quarantine), ("changes", t.changes_dir, t.changes)):
            if a is not None and b is not None:
                raise ValueError(f"{name}_dir and {name} exclude each other")
        for name, path in (("quarantine", t.quarantine), ("changes", t.changes),
                           ("quarantine_dir", t.quarantine_dir), ("changes_dir", t.changes_dir)):
            if path == STDIO:
                raise ValueError(f"{name} cannot be standard output ('-')")
        if (t.changes_dir or t.changes) is not None and options.get("detect", "auto") != "auto":
            raise ValueError("changes needs detect='auto': the basic run keeps no change log")
        if STDIO in inputs:
            if len(inputs) > 1:
                raise ValueError("'-' (standard input) must be the only input")
            if t.in_place:
                raise ValueError("in_place cannot rewrite standard input")
            if t.output is None:
                raise ValueError("standard input ('-') needs output: a file, or '-' for standard output")
        if t.output is not None or t.quarantine is not None or t.changes is not None:
            if len(inputs) != 1 or _is_dir(inputs[0]):
                raise ValueError("output, quarantine and changes name the files of one input file: "
                                 "give output_dir, quarantine_dir and changes_dir for several")
        for name, path in (("output_dir", t.output_dir), ("quarantine_dir", t.quarantine_dir),
                           ("changes_dir", t.changes_dir)):
            if path is not None and os.path.exists(path) and not _is_dir(path):
                raise ValueError(f"{name} {path!r} is a file, not a directory")
        return t

    def prune(self) -> list[str]:
        """The directories a directory input's walk leaves out."""
        return [d for d in (self.output_dir, self.quarantine_dir, self.changes_dir) if d is not None]

    def of_input(self, path: str, rel: str | None) -> tuple[str, str | None, str | None]:
        """The output, quarantine file and change log of the input ``path``
        (``rel``: its path relative to the directory it was found in)."""
        name = rel if rel is not None else os.path.basename(path)

        def under(d: str | None, file: str | None) -> str | None:
            return os.path.join(d, name) if d is not None else file

        output = path if self.in_place else (under(self.output_dir, self.output) or path)
        return output, under(self.quarantine_dir, self.quarantine), under(self.changes_dir, self.changes)


def _is_dir(path: str) -> bool:
    try:
        return stat.S_ISDIR(os.stat(path).st_mode)
    except OSError:
        return False


def plan(
    inputs: Iterable[StrPath] | StrPath,
    output_dir: StrPath | None = None,
    *,
    output: StrPath | None = None,
    in_place: bool = False,
    quarantine_dir: StrPath | None = None,
    quarantine: StrPath | None = None,
    changes_dir: StrPath | None = None,
    changes: StrPath | None = None,
    skip_unchanged: bool = False,
    options: dict[str, Any] | None = None,
) -> Plan:
    """The jobs of a batch (see :func:`repair_many`).

    Refused before anything runs, each as a failure of its input: two inputs
    whose outputs (or quarantine files) would be one file, and an output or
    quarantine file that would overwrite an input.
    """
    opts = dict(options or {})
    validate_options(opts)
    paths = _paths(inputs)
    t = Targets.of(paths, output_dir, output, in_place, quarantine_dir, quarantine, changes_dir, changes, opts)
    if t.output == STDIO or STDIO in paths:
        raise ValueError("standard input and output are read and written by csv_rowvane.repair_many")
    result = Plan()
    found_files, failures = _expand(paths, t.prune(), result.errors)
    found, result.failures = _opened(found_files, failures, result.errors)
    if t.output is not None and len(found) > 1:
        raise ValueError(f"{paths[0]} holds {len(found)} CSV members and output names one file: "
                         "give output_dir")
    candidates: list[tuple[int, str, str, str | None, str | None, str | None]] = []
    seen_inputs: set[tuple[str, str | None]] = set()
    for pos, path, rel, member in found:
        ikey = (_key(path), member)
        if ikey in seen_inputs:  # the same file named twice: one job
            continue
        seen_inputs.add(ikey)
        if member is not None and t.in_place:
            refused = "a zip archive is not rewritten in place"
            result.failures.append((pos, BatchFailure(f"{path}:{member}", "ValueError", refused, filename=path)))
            result.errors[pos] = ValueError(f"{path}: {refused}")
            continue
        candidates.append((pos, path, *t.of_input(path, rel), member))

    input_keys = {_key(p): p for _, p, _, _, _, _ in candidates}
    writers: dict[str, list[str]] = {}
    for _, path, out, quar, chg, member in candidates:
        for target in (out, quar, chg):
            if target is not None:
                writers.setdefault(_key(target), []).append(f"{path}:{member}" if member else path)

    for pos, path, out, quar, chg, member in candidates:
        label = f"{path}:{member}" if member else path
        reason = None
        culprit = None
        for what, target in (("output", out), ("quarantine file", quar), ("change log", chg)):
            if target is None:
                continue
            tkey = _key(target)
            others = [p for p in writers[tkey] if p != label]
            if len(writers[tkey]) > 1 and not others:
                others = [label]  # two files of one input land on one name
            if others:
                reason = f"{what} {target!r} would also be written for {others[0]!r}"
            elif t.in_place and what == "output":
                continue  # in place: the output is the input by design
            elif _same_file(target, path):
                reason = f"{what} {target!r} would overwrite its input"
            elif tkey in input_keys:
                reason = f"{what} {target!r} would overwrite the input {input_keys[tkey]!r}"
            if reason:
                culprit = target
                break
        if reason:
            result.failures.append((pos, BatchFailure(label, "ValueError", reason, filename=culprit)))
            result.errors[pos] = ValueError(f"{label}: {reason}")
            continue
        if skip_unchanged and not t.in_place and _up_to_date(path, out):
            result.skipped.append(label)
            continue
        result.jobs.append(Job(pos, path, out, quar, opts, chg, member))
    result.failures.sort(key=lambda item: item[0])
    return result


def _up_to_date(inp: str, out: str) -> bool:
    try:
        return os.stat(out).st_mtime_ns >= os.stat(inp).st_mtime_ns
    except OSError:
        return False


# ---------------------------------------------------------------------------
# Running


def run_job(job: Job, on_error: OnError = "report") -> RepairReport | BatchFailure:
    """Runs one job: creates the output's (and quarantine's) directory and
    repairs the file. A failure (any Exception, MemoryError included) is
    returned as a BatchFailure, or raised when ``on_error`` is "raise"."""
    if job.output is None:
        raise ValueError(f"a repair job needs an output: {job!r}")
    try:
        for target in (job.output, job.quarantine, job.changes):
            if target is not None:
                parent = os.path.dirname(target)
                if parent:
                    os.makedirs(parent, exist_ok=True)
        return repair(job.input, job.output, quarantine=job.quarantine, changes=job.changes,
                      member=job.member, **job.options)
    except Exception as e:
        if on_error == "raise":
            raise
        return BatchFailure.from_exception(job.label, e)


def check_job(job: Job, on_error: OnError = "report") -> CheckReport | BatchFailure:
    """Checks one job's input; failures as for :func:`run_job`."""
    try:
        return check(job.input, member=job.member, **job.options)
    except Exception as e:
        if on_error == "raise":
            raise
        return BatchFailure.from_exception(job.label, e)


#: An input at least this large gets a progress bar of its own, ticking
#: while it is repaired, even when it is the only one.
LARGE_FILE = 64 << 20

#: After an interrupt, how long the files under way get to finish or stop
#: before the batch gives up on them (a run blocked on a pipe nobody writes)
#: and removes their temporary files.
GRACE = 5.0


def _size_of(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def _progress(total: int, enabled: bool, desc: str) -> Any:
    """A bar over ``total`` input bytes on standard error."""
    if not enabled:
        return contextlib.nullcontext(_NoBar())
    from tqdm import tqdm  # type: ignore[import-untyped]

    return tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, leave=False,
                dynamic_ncols=True, desc=desc)


class _NoBar:
    def update(self, n: int) -> None:
        pass

    def refresh(self) -> None:
        pass


Work = Callable[[Job, OnError], Outcome]


class _Ticks:
    """The bar's ticks: a large file's blocks as they are done (its run
    calls the ticker from its own thread), the rest of a file at its end."""

    def __init__(self, bar: Any, sizes: dict[int, int]) -> None:
        self.bar = bar
        self.sizes = sizes
        self.reported: dict[int, int] = {}
        self.lock = threading.Lock()

    def ticker(self, index: int) -> Callable[[int, int], None]:
        def tick(done: int, total: int) -> None:
            with self.lock:
                done = min(done, self.sizes.get(index, 0))
                step = done - self.reported.get(index, 0)
                if step > 0:
                    self.reported[index] = done
                    self.bar.update(step)
        return tick

    def finish(self, index: int) -> None:
        with self.lock:
            step = self.sizes.get(index, 0) - self.reported.get(index, 0)
            self.reported[index] = self.sizes.get(index, 0)
            if step > 0:
                self.bar.update(step)


class _Pool:
    """The threads of one batch. Each job runs with its temporary files
    collected, so that an interrupted batch can remove those of the jobs it
    stops waiting for. The jobs under way are counted here, not from their
    futures: an interrupt may come while a job is being submitted, after a
    thread has taken it up."""

    def __init__(self, workers: int) -> None:
        self.executor = cf.ThreadPoolExecutor(max_workers=workers, thread_name_prefix="csv-rowvane")
        self._changed = threading.Condition()
        self._stopping = False
        self._active: dict[int, _tempfiles.Collector] = {}

    def submit(self, work: Work, job: Job, on_error: OnError) -> cf.Future[Outcome | None]:
        return self.executor.submit(self._run, work, job, on_error)

    def _run(self, work: Work, job: Job, on_error: OnError) -> Outcome | None:
        with _tempfiles.collect() as temporaries:
            with self._changed:
                if self._stopping:
                    return None
                self._active[job.index] = temporaries
            try:
                return work(job, on_error)
            finally:
                with self._changed:
                    del self._active[job.index]
                    self._changed.notify_all()

    def stop(self, interrupted: bool) -> None:
        """Ends the batch: jobs not started are cancelled, the jobs under way
        get GRACE seconds to end (a second interrupt ends the wait), and the
        temporary files of those still under way are removed. On an
        interrupt, the native runs under way are cancelled (every run of this
        process started before it: they stop at their next check and remove
        their temporary files)."""
        with self._changed:
            self._stopping = True
        self.executor.shutdown(wait=False, cancel_futures=True)
        if interrupted:
            _core.cancel_runs()
            _compression.cancel_all()
        deadline = time.monotonic() + GRACE
        with self._changed:
            try:
                while self._active and (left := deadline - time.monotonic()) > 0:
                    self._changed.wait(left)
            except KeyboardInterrupt:
                pass
            abandoned = list(self._active.values())
        for temporaries in abandoned:
            temporaries.remove_all()


def run_jobs(
    jobs: list[Job],
    *,
    workers: int,
    progress: bool = False,
    on_error: OnError = "report",
    work: Work = run_job,
    desc: str = "repairing",
) -> dict[int, Outcome]:
    """Runs ``jobs`` (``work`` for each), in this thread when ``workers`` is
    1, else on a pool of ``workers`` threads. Returns the outcome of every job
    by its index.

    With ``progress``, a bar over the input bytes shows on standard error; a
    file of LARGE_FILE bytes or more then runs on a pool thread even with
    ``workers`` 1, so the bar keeps ticking while it runs."""
    outcomes: dict[int, Outcome] = {}
    sizes = {job.index: _size_of(job.input) for job in jobs} if progress else {}
    large = progress and any(n >= LARGE_FILE for n in sizes.values())
    # The files under way share the cores: each streams its blocks on its
    # share of them, unless the options name the threads.
    share = max(1, (os.process_cpu_count() or 1) // max(1, min(workers, len(jobs))))
    for job in jobs:
        if job.options.get("threads") is None:
            job.options["threads"] = share
    with _progress(sum(sizes.values()), progress, desc) as bar:
        ticks = _Ticks(bar, sizes)
        if large:
            for job in jobs:
                if sizes.get(job.index, 0) >= LARGE_FILE and "progress" not in job.options:
                    job.options["progress"] = ticks.ticker(job.index)
        if (workers <= 1 or len(jobs) <= 1) and not large:
            for job in jobs:
                # An interrupt may land anywhere, even between making a
                # temporary file and taking charge of it: what the job made
                # and did not hand over goes with it.
                with _tempfiles.collect() as temporaries:
                    try:
                        outcomes[job.index] = work(job, on_error)
                    except BaseException:
                        temporaries.remove_all()
                        raise
                ticks.finish(job.index)
            return outcomes
        pool = _Pool(max(1, min(workers, len(jobs))))
        futures: dict[cf.Future[Outcome | None], Job] = {}
        try:
            for job in jobs:
                futures[pool.submit(work, job, on_error)] = job
            pending = set(futures)
            while pending:
                done, pending = cf.wait(pending, timeout=0.25, return_when=cf.FIRST_COMPLETED)
                for fut in done:
                    job = futures[fut]
                    outcome = fut.result()  # raises with on_error="raise"
                    if outcome is not None:
                        outcomes[job.index] = outcome
                    ticks.finish(job.index)
                bar.refresh()  # the elapsed time moves on while a large file runs
        except BaseException as e:
            pool.stop(interrupted=not isinstance(e, Exception))
            raise
        pool.executor.shutdown(wait=True)
    return outcomes


def _workers(jobs: int | None) -> int:
    if jobs is None:
        return os.process_cpu_count() or 1
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


def ordered(p: Plan, outcomes: dict[int, Outcome]) -> list[Outcome]:
    """The plan's failures and its jobs' outcomes, in input order."""
    items: list[tuple[int, Outcome]] = list(p.failures)
    items += [(job.index, outcomes[job.index]) for job in p.jobs if job.index in outcomes]
    items.sort(key=lambda item: item[0])
    return [o for _, o in items]


def gather(p: Plan, outcomes: dict[int, Outcome], workers: int, elapsed: float) -> BatchReport:
    """The BatchReport of a plan from its jobs' outcomes, in input order."""
    items = ordered(p, outcomes)
    return BatchReport(
        reports=tuple(o for o in items if isinstance(o, RepairReport)),
        failures=tuple(o for o in items if isinstance(o, BatchFailure)),
        skipped=tuple(p.skipped),
        elapsed=elapsed,
        jobs=_threads(workers, p),
    )


def _threads(workers: int, p: Plan) -> int:
    """How many files ran at once: never more than there were."""
    return max(1, min(workers, len(p.jobs)))


# ---------------------------------------------------------------------------
# Standard input and output


@contextlib.contextmanager
def _standard_streams(inputs: list[str], output: str | None) -> Iterator[tuple[list[str], str | None, dict[str, str]]]:
    """Standard input as a file (its bytes copied into a private temporary
    folder), and a file there to take the output meant for standard output.
    Yields the inputs, the output and the names to show for those files."""
    if STDIO not in inputs and output != STDIO:
        yield inputs, output, {}
        return
    with tempfile.TemporaryDirectory(prefix="csv-rowvane-") as tmp:
        shown: dict[str, str] = {}
        if STDIO in inputs:
            path = os.path.join(tmp, "stdin.csv")
            with open(path, "wb") as f:
                shutil.copyfileobj(sys.stdin.buffer, f, 1 << 20)
            inputs = [path if i == STDIO else i for i in inputs]
            shown[path] = STDIO
        if output == STDIO:
            output = os.path.join(tmp, "stdout.csv")
            shown[output] = STDIO
        yield inputs, output, shown


def _to_stdout(path: str) -> None:
    out = getattr(sys.stdout, "buffer", None)
    with open(path, "rb") as f:
        if out is not None:
            sys.stdout.flush()
            shutil.copyfileobj(f, out, 1 << 20)
            out.flush()
        else:  # a text stream standing in for standard output
            sys.stdout.write(f.read().decode("utf-8"))
            sys.stdout.flush()


def _shown(batch: BatchReport, shown: dict[str, str]) -> BatchReport:
    if not shown:
        return batch
    reports = tuple(dataclasses.replace(r, input=shown.get(r.input, r.input), output=shown.get(r.output, r.output))
                    for r in batch.reports)
    failures = tuple(dataclasses.replace(f, path=shown.get(f.path, f.path)) for f in batch.failures)
    return dataclasses.replace(batch, reports=reports, failures=failures)


# ---------------------------------------------------------------------------
# The public calls


def repair_many(
    inputs: Iterable[StrPath] | StrPath,
    output_dir: StrPath | None = None,
    *,
    output: StrPath | None = None,
    in_place: bool = False,
    quarantine_dir: StrPath | None = None,
    quarantine: StrPath | None = None,
    changes_dir: StrPath | None = None,
    changes: StrPath | None = None,
    jobs: int | None = None,
    progress: bool = False,
    on_error: OnError = "report",
    skip_unchanged: bool = False,
    **options: Any,
) -> BatchReport:
    """Repair many files; return a BatchReport.

    ``inputs`` is an iterable of files and directories (a directory
    contributes its ``*.csv``, ``*.tsv`` and ``*.txt`` files, recursively).
    Where the outputs go, one of:

    - ``output_dir``: the layout of every directory is mirrored under it, a
      file lands at ``output_dir/<name>``; ``quarantine_dir`` receives each
      file's rows set aside, and ``changes_dir`` each file's change log,
      under the same relative name;
    - ``output``: the output file of the one input file (``"-"``: standard
      output), with ``quarantine`` and ``changes`` its files (or the
      ``_dir`` forms). The one input may be ``"-"``, standard input;
    - ``in_place=True``: every input is rewritten with its repaired text.

    ``options`` are those of :func:`repair` (``detect`` included).

    Runs on a pool of ``jobs`` threads in this process (None: every core this
    process may use; 1: in the calling thread): nothing is started or
    pickled, and a script needs no ``if __name__ == "__main__"`` guard. Two
    inputs whose outputs would be one file, and an output that would overwrite
    an input, are refused before anything runs. A file's failure never stops
    the others (``on_error="raise"`` stops at the first and raises its
    exception); every file that failed is in ``BatchReport.failures``, a
    directory entry that cannot be read included. ``skip_unchanged=True``
    skips inputs whose output is at least as new, so a killed batch can be
    rerun. ``progress=True`` shows a progress bar on standard error.

    An interrupt (KeyboardInterrupt) cancels the files not started and the
    runs under way (those still blocked after a few seconds, on a pipe
    nobody writes, are given up on); no temporary file stays behind. Arguments that cannot make a batch raise
    ValueError or TypeError before anything is read or written.
    """
    check_on_error(on_error)
    workers = _workers(jobs)
    started = time.perf_counter()
    paths = _paths(inputs)
    validate_options(dict(options))
    t = Targets.of(paths, output_dir, output, in_place, quarantine_dir, quarantine, changes_dir, changes, options)
    if options.get("infer_types") and (t.output is None or _tables.table_format(t.output) is None):
        raise ValueError("infer_types needs output naming a Parquet or Arrow file (.parquet, .arrow, .feather)")
    with _standard_streams(paths, t.output) as (paths, out, shown):
        p = plan(paths, t.output_dir, output=out, in_place=t.in_place, quarantine_dir=t.quarantine_dir,
                 quarantine=t.quarantine, changes_dir=t.changes_dir, changes=t.changes,
                 skip_unchanged=skip_unchanged, options=options)
        if on_error == "raise":
            raise_first_refusal(p)
        outcomes = run_jobs(p.jobs, workers=workers, progress=progress, on_error=on_error)
        batch = gather(p, outcomes, workers, time.perf_counter() - started)
        if out is not None and shown.get(out) == STDIO and batch.reports:
            _to_stdout(out)
    return _shown(batch, shown)


def check_many(
    inputs: Iterable[StrPath] | StrPath,
    *,
    jobs: int | None = None,
    progress: bool = False,
    on_error: OnError = "report",
    max_problems: int = 10,
    **options: Any,
) -> CheckBatchReport:
    """What :func:`repair` would do to many files, writing nothing; return
    a CheckBatchReport with a CheckReport per file (each with its first
    ``max_problems`` problem rows) and a failure per file that could not be
    read, in input order.

    ``inputs`` are files and directories as for :func:`repair_many` (``"-"``:
    standard input, as the only input); ``options`` are those of
    :func:`check`. Runs on a pool of ``jobs`` threads as
    :func:`repair_many` does.
    """
    check_on_error(on_error)
    workers = _workers(jobs)
    if isinstance(max_problems, bool) or not isinstance(max_problems, int) or max_problems < 0:
        raise ValueError(f"max_problems must be a non-negative int, got {max_problems!r}")
    for name in ("output_encoding", "infer_types"):
        if name in options:
            raise TypeError(f"unexpected option(s): {name} (a check writes nothing)")
    validate_options(dict(options))
    started = time.perf_counter()
    paths = _paths(inputs)
    if STDIO in paths and len(paths) > 1:
        raise ValueError("'-' (standard input) must be the only input")
    with _standard_streams(paths, None) as (paths, _, shown):
        p = Plan()
        found_files, failures = _expand(paths, [], p.errors)
        found, p.failures = _opened(found_files, failures, p.errors)
        seen: set[tuple[str, str | None]] = set()
        opts = dict(options, max_problems=max_problems)
        for pos, path, _rel, member in found:
            if (_key(path), member) not in seen:
                seen.add((_key(path), member))
                p.jobs.append(Job(pos, path, None, None, opts, member=member))
        if on_error == "raise":
            raise_first_refusal(p)
        outcomes = run_jobs(p.jobs, workers=workers, progress=progress, on_error=on_error, work=check_job,
                            desc="checking")
        items = ordered(p, outcomes)
    return CheckBatchReport(
        reports=tuple(dataclasses.replace(o, input=shown.get(o.input, o.input))
                      for o in items if isinstance(o, CheckReport)),
        failures=tuple(dataclasses.replace(o, path=shown.get(o.path, o.path))
                       for o in items if isinstance(o, BatchFailure)),
        elapsed=time.perf_counter() - started,
        jobs=_threads(workers, p),
    )
