"""Batches on a Dask cluster (the ``dask`` extra: ``pip install '.[dask]'``).

Every worker opens the files itself: the inputs, ``output_dir`` and
``quarantine_dir`` must be visible under the same paths to every worker (a
shared filesystem), and ``csv_rowvane`` must be installed on every worker.
"""

from __future__ import annotations

import time
from collections.abc import Iterable
from typing import Any

from ._api import StrPath
from ._batch import OnError, Outcome, check_on_error, gather, plan, raise_first_refusal, run_job
from ._report import BatchReport

__all__ = ["repair_many"]


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
    try:
        import distributed
    except ImportError as e:  # pragma: no cover - depends on the environment
        raise ImportError(
            "csv_rowvane.dask needs the 'distributed' package: pip install 'csv-rowvane-backend[dask]'"
        ) from e
    check_on_error(on_error)
    if client is None:
        try:
            client = distributed.get_client()
        except ValueError as e:
            raise ValueError(
                "no Dask client: pass client=, or create a distributed.Client first"
            ) from e
    started = time.perf_counter()
    p = plan(inputs, output_dir, quarantine_dir=quarantine_dir, changes_dir=changes_dir,
             skip_unchanged=skip_unchanged, options=options)
    if on_error == "raise":
        raise_first_refusal(p)
    workers = max(1, len(client.scheduler_info().get("workers", {})))
    outcomes: dict[int, Outcome] = {}
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
