"""What the bench scripts share: timing a job in its own process, and
putting a section into bench/RESULTS.md."""

from __future__ import annotations

import gc
import json
import os
import time
from collections.abc import Callable
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))


def report_best(run: Callable[[], Any], repeat: int) -> None:
    """Runs ``run`` ``repeat`` times and prints, as one JSON line, the best
    wall and CPU times and this process's peak RSS (VmHWM, in MiB, which a
    new process starts afresh)."""
    best = cpu = float("inf")
    for _ in range(repeat):
        gc.collect()
        c0, t0 = time.process_time(), time.perf_counter()
        run()
        best = min(best, time.perf_counter() - t0)
        cpu = min(cpu, time.process_time() - c0)
    rss_kib = 0
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                rss_kib = int(line.split()[1])
    print(json.dumps({"best": best, "cpu": cpu, "rss_mb": rss_kib / 1024}))


def write_section(head: str, text: str) -> None:
    """Puts ``text`` into bench/RESULTS.md in place of the section whose
    first line is ``head`` (or at the end)."""
    path = os.path.join(HERE, "RESULTS.md")
    with open(path, encoding="utf-8") as f:
        old = f.read()
    if head in old:
        start = old.index(head)
        end = old.find("\n## ", start + 1)
        old = old[:start] + old[end + 1:] if end >= 0 else old[:start]
    with open(path, "w", encoding="utf-8") as f:
        f.write(old.rstrip("\n") + "\n\n" + text)
