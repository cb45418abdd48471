"""The type stub agrees with the module at run time (mypy's stubtest)."""

from __future__ import annotations

import os
import subprocess
import pathlib
import sys

import pytest

REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_stubtest(tmp_path: pathlib.Path) -> None:
    pytest.importorskip("mypy", reason="mypy is not installed")
    cmd = [sys.executable, "-m", "mypy.stubtest", "_csv_rowvane_backend"]
    allowlist = REPO_ROOT / "module" / "stubtest_allowlist.txt"
    if allowlist.exists():
        cmd += ["--allowlist", str(allowlist)]
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "mypy_cache"))
    proc = subprocess.run(cmd, cwd=REPO_ROOT, env=env, capture_output=True, text=True,
                          timeout=600, check=False)
    assert proc.returncode == 0, proc.stdout + proc.stderr
