"""The command line, run as a separate process."""

from __future__ import annotations

import importlib.metadata
import json
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

import csv_rowvane
from frontend_support import RAGGED, SAMPLE, Run, leftovers


def test_repair_one_file(cli: Run, tmp_path: pathlib.Path) -> None:
    r = cli("repair", SAMPLE, "-o", "clean.csv")
    assert r.returncode == 0, r.stderr
    out = r.stdout.decode()
    assert out.splitlines()[0].split() == ["file", "rows", "kept", "repaired", "set", "aside", "delim",
                                           "cols", "status", "notes"]
    assert str(SAMPLE) in out and "repaired" in out and "1 file: 1 repaired, 0 failed" in out
    assert r.stderr == b""
    assert (tmp_path / "clean.csv").read_bytes().startswith(b"id;name;city")
    assert leftovers(tmp_path) == []


def test_data_and_json_on_stdout_keep_the_table_on_stderr(cli: Run, tmp_path: pathlib.Path) -> None:
    r = cli("repair", "-", "-o", "-", input=RAGGED)
    assert r.returncode == 0, r.stderr
    assert r.stdout == b"a,b,c\n1,2,3\n4,5,\n6,7,\"8,9\"\n10,11,12\n"
    assert b"file" in r.stderr and b"-" in r.stderr

    (tmp_path / "r.csv").write_bytes(RAGGED)
    r = cli("repair", "r.csv", "-o", "clean.csv", "--json", "-")
    assert r.returncode == 0, r.stderr
    report = json.loads(r.stdout)
    assert report["totals"]["repaired_rows"] == 2
    assert report["reports"][0]["output"] == "clean.csv"
    assert b"r.csv" in r.stderr


def test_batch_with_an_unreadable_file(cli: Run, tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in"
    (src / "sub").mkdir(parents=True)
    (src / "good.csv").write_bytes(RAGGED)
    (src / "sub" / "more.tsv").write_bytes(b"a\tb\n1\t2\n")
    (src / "broken.csv").symlink_to(src / "nowhere.csv")
    r = cli("repair", src, "-o", "out", "--quarantine", "rejects", "--no-fill", "--json", "report.json")
    assert r.returncode == 1
    err = r.stderr.decode()
    assert f"{src / 'broken.csv'}: No such file or directory" in err
    assert (tmp_path / "out" / "good.csv").exists() and (tmp_path / "out" / "sub" / "more.tsv").exists()
    assert (tmp_path / "rejects" / "good.csv").read_text().startswith("line,reason,raw_content\n3,")
    assert not (tmp_path / "out" / "broken.csv").exists()
    report = json.loads((tmp_path / "report.json").read_text())
    assert report["totals"]["files"] == 2 and report["totals"]["failed"] == 1
    assert "FAILED" in r.stdout.decode()


@pytest.mark.parametrize(
    ("args", "status"),
    [
        (["--fail-on-quarantine"], 0),
        (["--fail-on-quarantine", "--no-merge"], 3),
        (["--max-bad", "2"], 0),
        (["--max-bad", "1"], 3),
        (["--max-bad", "40%"], 0),
        (["--max-bad", "39.9%"], 3),
    ],
)
def test_thresholds_make_status_3(cli: Run, tmp_path: pathlib.Path, args: list[str], status: int) -> None:
    (tmp_path / "r.csv").write_bytes(RAGGED)  # 5 rows: 1 padded, 1 merged
    r = cli("repair", "r.csv", "-o", "o.csv", "--quiet", *args)
    assert r.returncode == status, r.stderr
    assert r.stdout == b""


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["repair", "r.csv"], "give -o/--output"),
        (["repair", "r.csv", "-o", "o.csv", "--delimiter", "§"], "--delimiter must be a single ASCII"),
        (["repair", "r.csv", "-o", "o.csv", "--quote-char", "ab"], "--quote-char must be a single ASCII"),
        (["repair", "r.csv", "r.csv", "-o", "-"], "-o - (standard output) takes exactly one input"),
        (["repair", "r.csv", "--in-place", "-o", "x.csv"], "exclude each other"),
        (["repair", "r.csv", "-o", "o.csv", "--max-bad", "lots"], "expected N or P%"),
        (["repair", "r.csv", "-o", "o.csv", "--jobs", "0"], "expected a number >= 1"),
        (["repair", "-", "r.csv", "-o", "out"], "'-' (standard input) must be the only input"),
        (["repair", "-", "--in-place"], "--in-place cannot rewrite standard input"),
        (["repair", "r.csv", "r.csv", "-o", "r.csv"], "-o/--output 'r.csv' is a file, not a directory"),
        (["repair", "r.csv", "r.csv", "-o", "out", "--quarantine", "r.csv"], "--quarantine 'r.csv' is a file"),
        (["repair", "r.csv", "-o", "o.csv", "--output-encoding", "utf-8-sig", "--detect", "basic"],
         "--output-encoding need detect='auto'"),
        (["check", "r.csv", "--jobs", "0"], "expected a number >= 1"),
        (["frobnicate"], "invalid choice"),
    ],
)
def test_usage_errors_exit_2(cli: Run, tmp_path: pathlib.Path, args: list[str], message: str) -> None:
    (tmp_path / "r.csv").write_bytes(RAGGED)
    r = cli(*args)
    assert r.returncode == 2
    assert message in r.stderr.decode()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["r.csv"]


@pytest.mark.parametrize(
    ("case", "expected"),
    [
        ("missing", "nope.csv: No such file or directory"),
        ("directory as file output", "would overwrite its input"),
        ("full disk", "No space left on device"),
    ],
)
def test_bad_inputs_get_one_line_and_status_1(cli: Run, tmp_path: pathlib.Path, case: str, expected: str) -> None:
    (tmp_path / "r.csv").write_bytes(RAGGED)
    if case == "missing":
        r = cli("repair", "nope.csv", "r.csv", "-o", "out")
        assert (tmp_path / "out" / "r.csv").exists()
    elif case == "directory as file output":
        r = cli("repair", "r.csv", "-o", "r.csv")
    else:
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full")
        r = cli("repair", "r.csv", "-o", "/dev/full")
    assert r.returncode == 1
    lines = [ln for ln in r.stderr.decode().splitlines() if ln.startswith("csv-rowvane:")]
    assert len(lines) == 1 and expected in lines[0], r.stderr
    assert (tmp_path / "r.csv").read_bytes() == RAGGED


def test_in_place_rewrites_only_when_asked(cli: Run, tmp_path: pathlib.Path) -> None:
    (tmp_path / "r.csv").write_bytes(RAGGED)
    r = cli("repair", "r.csv", "--in-place", "--quiet")
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "r.csv").read_bytes() == b"a,b,c\n1,2,3\n4,5,\n6,7,\"8,9\"\n10,11,12\n"
    assert leftovers(tmp_path) == []


def test_check_writes_nothing(cli: Run, tmp_path: pathlib.Path) -> None:
    (tmp_path / "r.csv").write_bytes(RAGGED)
    r = cli("check", "r.csv", "--show", "1")
    assert r.returncode == 0, r.stderr
    out = r.stdout.decode()
    assert "r.csv: 5 rows, delimiter ',', 3 columns" in out
    assert "line 3: padded: '4,5'" in out
    assert "... 1 more" in out
    assert sorted(p.name for p in tmp_path.iterdir()) == ["r.csv"]
    r = cli("check", "r.csv", "nope.csv", "--json", "-", "--jobs", "2")
    assert r.returncode == 1
    data = json.loads(r.stdout)
    assert data["reports"][0]["repaired_rows"] == 2 and data["failures"][0]["path"] == "nope.csv"
    r = cli("check", "-", input=RAGGED)
    assert r.returncode == 0 and r.stdout.decode().startswith("-: 5 rows, delimiter ',', 3 columns")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["r.csv"]


def test_sniff(cli: Run, tmp_path: pathlib.Path) -> None:
    (tmp_path / "t.tsv").write_bytes(b"a\tb\n1\t2\n")
    r = cli("sniff", SAMPLE, "t.tsv", "gone.csv")
    assert r.returncode == 1
    assert r.stdout.decode().splitlines() == [f"{SAMPLE}\t;\tutf-8+cp1252", "t.tsv\ttab\tutf-8"]
    assert "gone.csv: No such file or directory" in r.stderr.decode()


def test_help_has_examples(cli: Run) -> None:
    for cmd in ("repair", "check", "sniff"):
        r = cli(cmd, "--help")
        assert r.returncode == 0 and b"examples:" in r.stdout
    # One version: the distribution's, the package's and the command line's.
    r = cli("--version")
    version = importlib.metadata.version("csv-rowvane-backend")
    assert r.returncode == 0 and r.stdout.decode() == f"csv-rowvane {version}\n"
    assert csv_rowvane.__version__ == version


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
def test_ctrl_c_ends_a_batch_promptly(tmp_path: pathlib.Path, cli_env: dict[str, str]) -> None:
    """A batch whose inputs are pipes nobody writes blocks every thread of
    its pool; SIGINT must end it with status 130, no output under its name
    and no temporary file left."""
    src = tmp_path / "in"
    src.mkdir()
    for i in range(3):
        os.mkfifo(src / f"p{i}.csv")
    (src / "a.csv").write_bytes(RAGGED)
    proc = subprocess.Popen(
        [sys.executable, "-m", "csv_rowvane", "repair", str(src), "-o", str(tmp_path / "out"), "--jobs", "2"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=cli_env, cwd=tmp_path,
    )
    time.sleep(3)  # workers started and blocked on the pipes
    assert proc.poll() is None
    started = time.monotonic()
    proc.send_signal(signal.SIGINT)
    try:
        _, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 130, err
    assert time.monotonic() - started < 15
    assert b"interrupted" in err
    out = tmp_path / "out"
    written = sorted(p.name for p in out.rglob("*")) if out.exists() else []
    assert not any(name.startswith("p") and name.endswith(".csv") for name in written)
    assert leftovers(tmp_path) == []


def _runs_as_nobody(env: dict[str, str]) -> bool:
    try:
        probe = subprocess.run([sys.executable, "-c", "import csv_rowvane"], user=65534, env=env,
                               capture_output=True, timeout=60)
    except (OSError, subprocess.SubprocessError):
        return False
    return probe.returncode == 0


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run a batch as another user")
def test_unreadable_file_in_a_batch_is_a_failure_of_that_file(cli_env: dict[str, str]) -> None:
    if not _runs_as_nobody(cli_env):
        pytest.skip("the interpreter is not reachable by an unprivileged user here")
    import tempfile

    with tempfile.TemporaryDirectory(prefix="csv-rowvane-nobody-") as d:
        root = pathlib.Path(d)
        os.chmod(root, 0o777)
        src = root / "in"
        src.mkdir()
        (src / "ok.csv").write_bytes(RAGGED)
        (src / "locked.csv").write_bytes(RAGGED)
        os.chmod(src / "locked.csv", 0)
        r = subprocess.run([sys.executable, "-m", "csv_rowvane", "repair", str(src), "-o", str(root / "out")],
                           user=65534, env=cli_env, capture_output=True, timeout=120)
        assert r.returncode == 1
        assert f"{src / 'locked.csv'}: Permission denied" in r.stderr.decode()
        assert (root / "out" / "ok.csv").exists() and not (root / "out" / "locked.csv").exists()
