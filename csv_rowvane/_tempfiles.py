"""The temporary files a repair makes beside its outputs, known to the batch
that runs it: when a batch is interrupted, it removes those of the runs it
cannot wait for (a run blocked on a pipe nobody writes)."""

from __future__ import annotations

import contextlib
import os
import secrets
import tempfile
import threading
from collections.abc import Iterator

__all__ = ["Collector", "collect", "created", "gone", "private_file"]

_local = threading.local()


class Collector:
    """The temporary files of the runs made in one thread while collecting."""

    def __init__(self) -> None:
        self._paths: set[str] = set()
        self._lock = threading.Lock()

    def add(self, path: str) -> None:
        with self._lock:
            self._paths.add(path)

    def discard(self, path: str) -> None:
        with self._lock:
            self._paths.discard(path)

    def paths(self) -> list[str]:
        with self._lock:
            return sorted(self._paths)

    def remove_all(self) -> None:
        """Removes every temporary file still there (any thread may call it)."""
        with self._lock:
            paths, self._paths = self._paths, set()
        for path in paths:
            with contextlib.suppress(OSError):
                os.unlink(path)


@contextlib.contextmanager
def collect() -> Iterator[Collector]:
    """Collects the temporary files the runs of this thread make."""
    collector = Collector()
    previous = getattr(_local, "collector", None)
    _local.collector = collector
    try:
        yield collector
    finally:
        _local.collector = previous


def created(path: str) -> None:
    """A run of this thread made the temporary file ``path``."""
    collector: Collector | None = getattr(_local, "collector", None)
    if collector is not None:
        collector.add(path)


def gone(path: str) -> None:
    """The temporary file ``path`` was renamed into place or removed."""
    collector: Collector | None = getattr(_local, "collector", None)
    if collector is not None:
        collector.discard(path)


def private_file(prefix: str, suffix: str = ".rowvane-tmp", directory: str | None = None) -> str:
    """A new empty file of this process's own (mode 0600) in ``directory``
    (the temporary folder by default), its path. Its name is known to the
    batch (``created``) before the file exists, so that an interrupt landing
    anywhere in between leaves nothing the batch does not remove; a
    ``tempfile.mkstemp`` would make the file first."""
    folder = directory if directory is not None else tempfile.gettempdir()
    for _ in range(100):
        path = os.path.join(folder, f"{prefix}{secrets.token_hex(6)}{suffix}")
        created(path)
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        except FileExistsError:
            gone(path)
            continue
        except OSError:
            gone(path)
            raise
        os.close(fd)
        return path
    raise FileExistsError(f"no free temporary file name in {folder}")
