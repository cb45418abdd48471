"""``read``'s reader: the repaired rows of a file as they are repaired, a
batch at a time, in memory bounded by the run's blocks whatever the file's
size."""

from __future__ import annotations

import contextlib
import dataclasses
import os
from collections.abc import Callable, Generator, Iterator
from types import TracebackType
from typing import Any

from . import _core

__all__ = ["Reader", "ReadSummary"]

#: Rows handed over from the native run per batch.
BATCH_ROWS = 4096


@dataclasses.dataclass(frozen=True)
class ReadSummary:
    """The counts of the basic run behind a :class:`Reader`."""

    total_rows: int
    rowvaned_rows: int
    repaired_rows: int
    quarantined_rows: int
    detected_delimiter: str
    inferred_columns: int

    def to_dict(self) -> dict[str, int | str]:
        return dataclasses.asdict(self)


def _summary(counts: dict[str, Any]) -> ReadSummary:
    return ReadSummary(**{f.name: counts[f.name] for f in dataclasses.fields(ReadSummary)})


class Reader:
    """An iterator over the repaired rows of one file (lists of str), made
    by the basic run on a thread of its own while the rows are read: the
    file is never held whole. Usable as a context manager; ``close()`` (or
    the end of a ``with`` block) stops the run. ``summary`` and ``len()``
    are known once the rows were read to the end; asked before, they cost a
    second streamed run over the file (nothing kept)."""

    def __init__(self, feed: Any, counts: Callable[[], dict[str, Any]], on_error: Callable[[BaseException], BaseException],
                 keep: int | None = None) -> None:
        self._feed = feed
        self._counts = counts
        self._on_error = on_error
        self._keep = keep  # an open descriptor of the text the counts read, closed with the reader
        self._summary: ReadSummary | None = None
        self._done = False
        self._rows = self._generate()

    def __iter__(self) -> Iterator[list[str]]:
        """The rows still to come (one iterator, shared with ``next()``)."""
        return self._rows

    def __next__(self) -> list[str]:
        return next(self._rows)

    def _generate(self) -> Generator[list[str]]:
        while not self._done:
            try:
                rows: list[list[str]] = _core.feed_rows(self._feed, BATCH_ROWS)
            except OSError as e:
                self._done = True
                raise self._on_error(e) from None
            if not rows:
                self._done = True
                counts = _core.feed_summary(self._feed)
                if counts is not None and self._summary is None:
                    self._summary = _summary(counts)
                self._release()
                return
            yield from rows

    @property
    def summary(self) -> ReadSummary:
        """The run's counts (rows read, kept, repaired, set aside; the
        delimiter and the column count used)."""
        if self._summary is None:
            try:
                self._summary = _summary(self._counts())
            except OSError as e:
                raise self._on_error(e) from None
        return self._summary

    def __len__(self) -> int:
        """The rows kept (unchanged or repaired)."""
        return self.summary.rowvaned_rows

    def close(self) -> None:
        """Stops the run; no rows follow."""
        self._done = True
        self._rows.close()
        _core.feed_close(self._feed)
        if self._summary is not None:
            self._release()

    def _release(self) -> None:
        if self._keep is not None:
            with contextlib.suppress(OSError):
                os.close(self._keep)
            self._keep = None

    def __del__(self) -> None:
        self._release()

    def __enter__(self) -> Reader:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "done" if self._done else "reading"
        return f"<csv_rowvane.Reader {state}>"
