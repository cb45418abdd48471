"""The command line ``csv-rowvane``: a thin shell over the Python API."""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import re
import sys
import threading
from collections.abc import Iterator, Sequence
from typing import IO, Any

from csv_rowvane import _compression
from csv_rowvane import (
    BatchFailure,
    BatchReport,
    RepairReport,
    __version__,
    check_many,
    repair_many,
    sniff_encoding,
)

PROG = "csv-rowvane"

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_BAD_ROWS, EXIT_INTERRUPTED = 0, 1, 2, 3, 130

REPAIR_EXAMPLES = """\
examples:
  csv-rowvane repair broken.csv -o clean.csv
  csv-rowvane repair broken.csv -o clean.csv --quarantine rejects.csv --no-fill --no-merge
  csv-rowvane repair exports/ more/*.csv -o clean/ --quarantine rejects/ --jobs 4
  csv-rowvane repair - -o - < broken.csv > clean.csv      (standard input and output)
  csv-rowvane repair data/ --in-place --skip-unchanged
  csv-rowvane repair exports/ -o clean/ --json report.json --max-bad 1%
  csv-rowvane repair export.csv -o clean.csv --encoding cp1252 --output-encoding utf-8-sig
  csv-rowvane repair legacy/ -o clean/ --encoding-errors quarantine --quarantine rejects/
  csv-rowvane repair export.csv.gz -o clean.csv.zst       (compressed in and out)
  csv-rowvane repair huge.csv -o clean.csv --threads 2     (a file of any size, in bounded memory)
  csv-rowvane repair exports.zip -o clean/                (each CSV member of the archive)
  csv-rowvane repair export.csv.gz -o clean.parquet --infer-types
  csv-rowvane repair export.csv -o clean.arrow            (Arrow IPC; also .feather)

A directory contributes its *.csv, *.tsv and *.txt files, recursively (also
compressed: *.csv.gz, *.csv.bz2, *.csv.xz, *.csv.zst, *.csv.zip); its layout
is mirrored under the output directory. Compressed inputs (gzip, bz2, xz,
zstd, zip) are recognised by their content; an output ending in .gz, .bz2,
.xz or .zst is written compressed. Outputs are written to a
temporary file and renamed into place, so an interrupted run leaves no
half-written file. No input is changed unless --in-place is given.

exit status: 0 every file repaired; 1 a file failed; 2 usage error;
3 --fail-on-quarantine or --max-bad was exceeded; 130 interrupted.
"""

CHECK_EXAMPLES = """\
examples:
  csv-rowvane check broken.csv
  csv-rowvane check exports/ --show 20 --no-merge
  csv-rowvane check broken.csv --json -

Nothing is written: each file is read and reported on, with the first rows
a repair would pad, merge or set aside (the line each begins on, and why).
"""

SNIFF_EXAMPLES = """\
examples:
  csv-rowvane sniff data.csv
  csv-rowvane sniff exports/*.csv --sample-size 1048576

Prints each file's path, delimiter and encoding, separated by tabs.
"""


class UsageError(Exception):
    """A command line that cannot run (exit status 2)."""


def _char(value: str) -> str:
    names = {"tab": "\t", "\\t": "\t", "space": " ", "comma": ",", "semicolon": ";", "pipe": "|"}
    return names.get(value.lower(), value) if len(value) > 1 else value


def _max_bad(value: str) -> tuple[float, bool]:
    text = value.strip()
    percent = text.endswith("%")
    number = text[:-1] if percent else text
    try:
        n = float(number) if percent else int(number)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected N or P% (e.g. 10 or 2.5%), got {value!r}") from None
    if n < 0 or (percent and n > 100):
        raise argparse.ArgumentTypeError(f"expected N >= 0 or 0% to 100%, got {value!r}")
    return float(n), percent


def _count(value: str) -> int:
    try:
        n = int(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {value!r}") from None
    if n < 0:
        raise argparse.ArgumentTypeError(f"expected a number >= 0, got {value!r}")
    return n


def _positive(value: str) -> int:
    n = _count(value)
    if n < 1:
        raise argparse.ArgumentTypeError(f"expected a number >= 1, got {value!r}")
    return n


def _add_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("repair options")
    g.add_argument("--threads", "-t", type=_positive, metavar="N",
                   help="threads that read and scan each file's blocks (default: every core, shared "
                   "between the files under way; 1: one thread); the result is the same for any N")
    g.add_argument("--delimiter", "-d", type=_char, metavar="D",
                   help="the input's delimiter, one ASCII character ('tab' for a tab); sniffed when absent")
    g.add_argument("--quote-char", "-q", type=_char, metavar="Q",
                   help="the quote character, one ASCII character (default: detected among \" and ', "
                   "or \" with --detect basic)")
    g.add_argument("--no-fill", action="store_true", help="set short rows aside instead of padding them")
    g.add_argument("--no-merge", action="store_true",
                   help="set rows with surplus fields aside instead of merging them into the last column")
    g.add_argument("--columns", type=_count, metavar="N", help="the column count (inferred when absent)")
    g.add_argument("--no-repair-quotes", action="store_true",
                   help="take stray quotes inside quoted fields as they are")
    g.add_argument("--detect", choices=("auto", "basic"), default="auto",
                   help="auto (default): detect preamble lines, the header, ', ' and ':' delimiters, "
                   "' quotes and later tables, drop empty surplus fields and keep stray opening quotes "
                   "as text when that fits the row; basic: the engine's own repair only")
    g.add_argument("--encoding", "-e", default="auto", metavar="NAME|auto",
                   help="the input's encoding: auto (default) decides from a byte-order mark, UTF-16/32 "
                   "NUL bytes, valid UTF-8 or a detector; any codec name Python knows forces it "
                   "(cp1252, latin-1, utf-16, gbk, shift_jis, ...)")
    g.add_argument("--encoding-errors", choices=("replace", "strict", "quarantine"), default="replace",
                   help="bytes the encoding cannot decode: replace (default, U+FFFD, counted and logged), "
                   "strict (the file fails, naming the line and byte offset) or quarantine (their rows "
                   "are set aside)")
    g.add_argument("--keep-blank-rows", action="store_true",
                   help="keep rows whose cells are all empty (--detect auto drops them)")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Repair damaged CSV files: stray quotes, ragged rows, unknown delimiters, "
        "byte-order marks, mixed line ends and invalid UTF-8.",
        epilog="Run 'csv-rowvane COMMAND --help' for a command's options and examples.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    fmt = argparse.RawDescriptionHelpFormatter

    r = sub.add_parser("repair", help="repair files into clean RFC 4180 CSV", epilog=REPAIR_EXAMPLES,
                       formatter_class=fmt,
                       description="Repair CSV files and print what was done, file by file.")
    r.add_argument("inputs", nargs="+", metavar="INPUT", help="files or directories; '-' for standard input")
    r.add_argument("-o", "--output", metavar="OUTPUT",
                   help="the output file for one input ('-' for standard output), else a directory")
    r.add_argument("--quarantine", metavar="PATH",
                   help="where rows set aside go: a file for one input, else a directory")
    r.add_argument("--changes", metavar="PATH",
                   help="write a CSV of every row changed or dropped (line, action, raw_content, written): "
                   "a file for one input, else a directory (needs --detect auto)")
    r.add_argument("--in-place", action="store_true", help="rewrite each input with its repaired text")
    _add_options(r)
    r.add_argument("--output-encoding", choices=("utf-8", "utf-8-sig"), default="utf-8",
                   help="utf-8 (default), or utf-8-sig to start the output with a byte-order mark "
                   "so spreadsheet programs read it as UTF-8")
    r.add_argument("--infer-types", action="store_true",
                   help="with -o FILE.parquet, .arrow or .feather: type each column (int64, float64, bool, "
                   "date32, timestamp) when every non-empty cell reads as that type, empty cells null "
                   "(default: every column text)")
    b = r.add_argument_group("batch and report")
    b.add_argument("--jobs", "-j", type=_positive, metavar="N",
                   help="files repaired at once, on as many threads (default: every core)")
    b.add_argument("--skip-unchanged", action="store_true",
                   help="skip inputs whose output is at least as new (rerun a killed batch)")
    b.add_argument("--json", metavar="FILE", help="write the batch report as JSON to FILE ('-': standard output)")
    b.add_argument("--quiet", action="store_true", help="no table, no progress bar; errors only")
    b.add_argument("--fail-on-quarantine", action="store_true",
                   help="exit with status 3 when any row was set aside")
    b.add_argument("--max-bad", type=_max_bad, metavar="N|P%",
                   help="exit with status 3 when more than N rows (or P%% of a file's rows) of any file "
                   "were repaired or set aside")

    c = sub.add_parser("check", help="report what a repair would do, writing nothing",
                       epilog=CHECK_EXAMPLES, formatter_class=fmt,
                       description="Report what a repair would do to each file; nothing is written.")
    c.add_argument("inputs", nargs="+", metavar="INPUT", help="files or directories; '-' for standard input")
    _add_options(c)
    c.add_argument("--show", type=_count, default=10, metavar="N",
                   help="rows to show per file (default: %(default)s)")
    c.add_argument("--json", metavar="FILE", help="write the reports as JSON to FILE ('-': standard output)")
    c.add_argument("--jobs", "-j", type=_positive, metavar="N",
                   help="files checked at once, on as many threads (default: every core)")
    c.add_argument("--quiet", action="store_true", help="no report text; errors only")

    s = sub.add_parser("sniff", help="print the delimiter of each file", epilog=SNIFF_EXAMPLES,
                       formatter_class=fmt, description="Print the delimiter of each file.")
    s.add_argument("inputs", nargs="+", metavar="FILE")
    s.add_argument("--sample-size", type=_positive, default=65536, metavar="BYTES",
                   help="bytes of text sniffed from the start of each file (default: %(default)s)")
    s.add_argument("--encoding", "-e", default="auto", metavar="NAME|auto",
                   help="the files' encoding (default: auto, decided per file)")
    return parser


def _options(args: argparse.Namespace) -> dict[str, Any]:
    opts = {
        "delimiter": args.delimiter,
        "quote_char": args.quote_char,
        "fill_ragged_rows": not args.no_fill,
        "merge_overflow": not args.no_merge,
        "expected_columns": args.columns,
        "repair_quotes": not args.no_repair_quotes,
        "detect": args.detect,
        "encoding": args.encoding,
        "encoding_errors": args.encoding_errors,
        "keep_blank_rows": args.keep_blank_rows,
    }
    if args.threads is not None:
        opts["threads"] = args.threads
    if getattr(args, "output_encoding", "utf-8") != "utf-8":
        opts["output_encoding"] = args.output_encoding
    if getattr(args, "infer_types", False):
        opts["infer_types"] = True
    if args.detect == "basic":
        # The basic run is the engine's: UTF-8 as it reads it.
        for name in ("encoding", "encoding_errors"):
            if opts[name] == {"encoding": "auto", "encoding_errors": "replace"}[name]:
                del opts[name]
    return opts


#: The API's parameter names in its messages, as the flags that set them.
_FLAGS = {
    "quote_char": "--quote-char",
    "delimiter": "--delimiter",
    "output_encoding": "--output-encoding",
    "encoding_errors": "--encoding-errors",
    "expected_columns": "--columns",
    "output_dir": "-o/--output",
    "quarantine_dir": "--quarantine",
    "changes_dir": "--changes",
    "in_place": "--in-place",
    "max_problems": "--show",
    "infer_types": "--infer-types",
    "threads": "--threads",
}


def _usage(e: Exception) -> UsageError:
    """An argument error of the API, told in the command line's words."""
    text = re.sub(r"\b(" + "|".join(map(re.escape, _FLAGS)) + r")\b(?!=)", lambda m: _FLAGS[m.group(1)], str(e))
    return UsageError(text)


def _err(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr)


def _show(ch: str) -> str:
    return {"\t": "tab", " ": "space", ", ": "', '"}.get(ch, ch)


def _table(reports: Sequence[RepairReport], failures: Sequence[BatchFailure],
           skipped: Sequence[str], out: IO[str]) -> None:
    header = ("file", "rows", "kept", "repaired", "set aside", "delim", "cols", "status", "notes")
    rows: list[tuple[str, ...]] = []
    for r in reports:
        status = "set aside" if r.quarantined_rows else ("repaired" if r.repaired_rows else "ok")
        rows.append((r.source, str(r.total_rows), str(r.rowvaned_rows), str(r.repaired_rows),
                     str(r.quarantined_rows), _show(r.detected_delimiter), str(r.inferred_columns), status,
                     "; ".join(r.notes())))
    rows += [(f.path, "", "", "", "", "", "", "FAILED", "") for f in failures]
    rows += [(p, "", "", "", "", "", "", "skipped", "") for p in skipped]
    widths = [max(len(h), *(len(row[i]) for row in rows)) if rows else len(h) for i, h in enumerate(header)]
    right = {1, 2, 3, 4, 6}

    def line(cells: Sequence[str]) -> str:
        return "  ".join(c.rjust(w) if i in right else c.ljust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    print(line(header), file=out)
    for row in rows:
        print(line(row), file=out)


def _totals(batch: BatchReport, out: IO[str]) -> None:
    t = batch.totals()
    files = t["files"] + t["failed"] + t["skipped"]
    print(f"{files} file{'s' if files != 1 else ''}: {t['files']} repaired, {t['failed']} failed, "
          f"{t['skipped']} skipped; "
          f"{t['total_rows']} rows, {t['repaired_rows']} repaired, {t['quarantined_rows']} set aside "
          f"({batch.elapsed:.2f} s, {batch.jobs} job{'s' if batch.jobs != 1 else ''})", file=out)


@contextlib.contextmanager
def _json_target(path: str) -> Iterator[IO[str]]:
    """Standard output, or a file written beside ``path`` and renamed into
    place once complete (created as ``open`` creates files: the umask
    applies)."""
    if path == "-":
        yield sys.stdout
        sys.stdout.flush()
        return
    directory, name = os.path.split(os.path.abspath(path))
    tmp = os.path.join(directory, f".{name[:80]}.{os.getpid()}.{threading.get_ident()}.json-tmp")
    try:
        with open(tmp, "x", encoding="utf-8") as f:
            yield f
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _write_json(path: str, data: Any) -> None:
    with _json_target(path) as f:
        json.dump(data, f, indent=2, ensure_ascii=False)
        f.write("\n")


def _too_bad(r: RepairReport, limit: tuple[float, bool]) -> bool:
    n, percent = limit
    if percent:
        return r.total_rows > 0 and r.changed_rows * 100.0 > n * r.total_rows
    return r.changed_rows > n


def _archive_of_several(path: str) -> bool:
    """Whether ``path`` is a zip archive of several CSV members, each a file
    of the batch (so -o names a directory)."""
    if _compression.sniff(path) != "zip":
        return False
    try:
        return len(_compression.zip_members(path)) > 1
    except _compression.ArchiveError:
        return False


def cmd_repair(args: argparse.Namespace) -> int:
    opts = _options(args)
    inputs: list[str] = args.inputs
    out = args.output
    if args.in_place and out is not None:
        raise UsageError("--in-place and -o/--output exclude each other")
    if not args.in_place and out is None:
        raise UsageError("give -o/--output (a file for one input, a directory for several), or --in-place")
    # One input file: -o, --quarantine and --changes name files (unless -o
    # names a directory); else directories.
    single = (len(inputs) == 1 and not os.path.isdir(inputs[0]) and not _archive_of_several(inputs[0])
              and (out in (None, "-") or not os.path.isdir(out)))
    if out == "-" and not single:
        raise UsageError("-o - (standard output) takes exactly one input file")
    if args.json == "-" and out == "-":
        raise UsageError("--json - and -o - cannot both use standard output")
    if single:
        where = {"output": out, "quarantine": args.quarantine, "changes": args.changes}
    else:
        where = {"output_dir": out, "quarantine_dir": args.quarantine, "changes_dir": args.changes}
    table_out = sys.stderr if out == "-" or args.json == "-" else sys.stdout
    try:
        batch = repair_many(inputs, in_place=args.in_place, jobs=args.jobs, skip_unchanged=args.skip_unchanged,
                            progress=not args.quiet and sys.stderr.isatty(), **where, **opts)
    except (ValueError, TypeError) as e:
        raise _usage(e) from None

    if not args.quiet:
        _table(batch.reports, batch.failures, batch.skipped, table_out)
        _totals(batch, table_out)
    for failure in batch.failures:
        _err(str(failure))
    if args.json is not None:
        _write_json(args.json, batch.to_dict())
    if batch.failures:
        return EXIT_FAILED
    if args.fail_on_quarantine and any(r.quarantined_rows for r in batch.reports):
        return EXIT_BAD_ROWS
    if args.max_bad is not None and any(_too_bad(r, args.max_bad) for r in batch.reports):
        return EXIT_BAD_ROWS
    return EXIT_OK


def cmd_check(args: argparse.Namespace) -> int:
    try:
        batch = check_many(args.inputs, jobs=args.jobs, max_problems=args.show, **_options(args))
    except (ValueError, TypeError) as e:
        raise _usage(e) from None
    out = sys.stderr if args.json == "-" else sys.stdout
    if not args.quiet:
        for r in batch.reports:
            print(r, file=out)
    for f in batch.failures:
        _err(str(f))
    if args.json is not None:
        _write_json(args.json, batch.to_dict())
    return EXIT_OK if batch.ok else EXIT_FAILED


def cmd_sniff(args: argparse.Namespace) -> int:
    status = EXIT_OK
    for path in args.inputs:
        try:
            d, encoding = sniff_encoding(path, args.sample_size, encoding=args.encoding)
        except (OSError, ValueError, TypeError, UnicodeDecodeError) as e:
            _err(str(BatchFailure.from_exception(path, e)))
            status = EXIT_FAILED
            continue
        print(f"{path}\t{_show(d)}\t{encoding}")
    return status


def _interrupted() -> int:
    """Exit status 130. The batch removed the temporary files of every run
    it stopped waiting for; a thread still blocked in a system call (an
    input pipe nobody writes) must not hold up the exit."""
    _err("interrupted")
    if any(t.is_alive() and not t.daemon for t in threading.enumerate() if t is not threading.main_thread()):
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(Exception):
                stream.flush()
        os._exit(EXIT_INTERRUPTED)
    return EXIT_INTERRUPTED


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    commands = {"repair": cmd_repair, "check": cmd_check, "sniff": cmd_sniff}
    try:
        return commands[args.command](args)
    except UsageError as e:
        parser.exit(EXIT_USAGE, f"{PROG} {args.command}: error: {e}\n")
    except KeyboardInterrupt:
        return _interrupted()
    except BrokenPipeError:
        # The reader of standard output went away (| head): not an error of ours.
        with contextlib.suppress(OSError):
            sys.stdout = open(os.devnull, "w")
        return EXIT_FAILED
    except OSError as e:
        f = BatchFailure.from_exception(os.fspath(e.filename) if isinstance(e.filename, str) else "", e)
        _err(str(f) if f.path else f.message)
        return EXIT_FAILED


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
