"""A small, slow, pure-Python model of the row parser, the two heuristics, the
reconciliation and the two file formats. Used as an oracle by the property
tests; written from the documented behaviour, independently of the native
code."""

from __future__ import annotations

from dataclasses import dataclass, field

BOM = b"\xef\xbb\xbf"
CR, LF, SP, TAB = 0x0D, 0x0A, 0x20, 0x09
BLANKS = (SP, TAB)
CANDIDATES = (ord(","), ord(";"), ord("\t"), ord("|"))

# The 25 code points with the Unicode White_Space property.
WHITE_SPACE = "".join(
    chr(c)
    for c in [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
              0x2028, 0x2029, 0x202F, 0x205F, 0x3000]
)


def decode(raw: bytes | bytearray) -> str:
    # CPython's UTF-8 decoder replaces maximal subparts, one U+FFFD each.
    return bytes(raw).decode("utf-8", "replace")


def as_text(byte: int) -> str:
    """The one-character text of a delimiter or quote byte."""
    return chr(byte)


def is_blank(row: list[str]) -> bool:
    return len(row) == 1 and row[0].strip(WHITE_SPACE) == ""


def _closes(data: bytes, qpos: int, delim: int, quote: int) -> bool:
    """Closing-quote test; a blank that is the delimiter counts as the delimiter."""
    n = len(data)

    def after_blanks(i: int) -> int:
        while i < n and data[i] in BLANKS and data[i] != delim:
            i += 1
        return i

    i = after_blanks(qpos + 1)
    if i >= n or data[i] == delim or data[i] in (CR, LF):
        return True
    j = i
    while j < n and data[j] not in (CR, LF):
        if data[j] == quote:
            if j == n - 1:
                return False
            k = after_blanks(j + 1)
            if k >= n or data[k] == delim or data[k] in (CR, LF):
                return False
        j += 1
    return True


def parse(data: bytes, delim: int, quote: int = 0x22, repair: bool = True):
    """Yields (fields, line on which the row begins)."""
    n = len(data)
    pos = 3 if data[:3] == BOM else 0
    line = 1
    while pos < n:
        start_line = line
        lfs = 0
        row: list[str] = []
        buf = bytearray()
        state = "FS"

        def finish() -> None:
            row.append(decode(buf))
            buf.clear()

        while True:
            if pos >= n:
                if state == "FS":
                    row.append("")
                else:
                    finish()
                break
            b = data[pos]
            if state == "FS":
                if b == quote:
                    pos += 1
                    state = "Q"
                elif b == delim:
                    row.append("")
                    pos += 1
                elif b in (CR, LF):
                    pos = _end_record(data, pos)
                    line = start_line + lfs + 1
                    row.append("")
                    break
                else:
                    buf.append(b)
                    pos += 1
                    state = "U"
            elif state == "U":
                if b == delim:
                    finish()
                    pos += 1
                    state = "FS"
                elif b in (CR, LF):
                    pos = _end_record(data, pos)
                    line = start_line + lfs + 1
                    finish()
                    break
                else:
                    buf.append(b)
                    pos += 1
            elif state == "Q":
                if b == quote:
                    if pos == n - 1:
                        pos += 1
                        state = "AQ"
                    elif data[pos + 1] == quote:
                        buf.append(quote)
                        pos += 2
                    elif not repair or _closes(data, pos, delim, quote):
                        pos += 1
                        state = "AQ"
                    else:
                        buf.append(quote)
                        pos += 1
                else:
                    if b == LF:
                        lfs += 1
                    buf.append(b)
                    pos += 1
            else:  # AQ
                if b == delim:
                    finish()
                    pos += 1
                    state = "FS"
                elif b in BLANKS:
                    pos += 1
                elif b in (CR, LF):
                    pos = _end_record(data, pos)
                    line = start_line + lfs + 1
                    finish()
                    break
                else:
                    buf.append(b)
                    pos += 1
                    state = "U"
        yield row, start_line


def _end_record(data: bytes, pos: int) -> int:
    if data[pos] == CR:
        pos += 1
        if pos < len(data) and data[pos] == LF:
            pos += 1
        return pos
    return pos + 1


def sniff(data: bytes) -> int:
    import math

    best, best_score = CANDIDATES[0], -1.0
    for cand in CANDIDATES:
        counts: list[int] = []
        for row, _ in parse(data, cand):
            if is_blank(row):
                continue
            counts.append(len(row))
            if len(counts) == 50:
                break
        score = 0.0
        if len(counts) >= 2:
            tally: dict[int, int] = {}
            for c in counts:
                tally[c] = tally.get(c, 0) + 1
            eligible = [(t, c) for c, t in tally.items() if c >= 2]
            if eligible:
                t, mode = max(eligible)  # greatest tally, then largest count
                score = max(math.log(mode), 1.0) * (t / len(counts))
        if score > best_score:
            best, best_score = cand, score
    return best


def infer_columns(data: bytes, delim: int) -> int:
    tally: dict[int, int] = {}
    seen = 0
    for row, _ in parse(data, delim):
        if is_blank(row):
            continue
        tally[len(row)] = tally.get(len(row), 0) + 1
        seen += 1
        if seen == 100:
            break
    if not tally:
        return 0
    return max((t, c) for c, t in tally.items())[1]


@dataclass
class Result:
    rows: list[list[str]] = field(default_factory=list)
    quarantine: list[tuple[int, str, list[str]]] = field(default_factory=list)
    delimiter: str = ","
    total: int = 0
    repaired: int = 0
    columns: int = 0

    def summary(self) -> dict[str, object]:
        return {
            "total_rows": self.total,
            "rowvaned_rows": len(self.rows),
            "repaired_rows": self.repaired,
            "quarantined_rows": len(self.quarantine),
            "detected_delimiter": self.delimiter,
            "inferred_columns": self.columns,
        }


def reconcile(data: bytes, delimiter: int | None = None, quote: int = 0x22,
              expected_columns: int | None = None, fill: bool = True,
              merge: bool = True, repair: bool = True) -> Result:
    res = Result()
    if not data:
        return res
    delim = sniff(data) if delimiter is None else delimiter
    m = infer_columns(data, delim) if expected_columns is None else expected_columns
    res.delimiter = as_text(delim)
    res.columns = m
    sep = as_text(delim)
    for row, line in parse(data, delim, quote, repair):
        res.total += 1
        n = len(row)
        if m == 0 or n == m:
            res.rows.append(row)
        elif n < m and fill:
            res.rows.append(row + [""] * (m - n))
            res.repaired += 1
        elif n < m:
            res.quarantine.append((line, f"Row has too few columns (expected {m})", row))
        elif merge:
            res.rows.append(row[: m - 1] + [sep.join(row[m - 1:])])
            res.repaired += 1
        else:
            res.quarantine.append((line, f"Row has extra columns (expected {m})", row))
    return res


def output_bytes(res: Result, quote: int = 0x22) -> bytes:
    q = as_text(quote)
    sep = res.delimiter
    out = []
    for row in res.rows:
        cells = []
        for f in row:
            if q in f or sep in f or "\n" in f or "\r" in f:
                cells.append(q + f.replace(q, q + q) + q)
            else:
                cells.append(f)
        out.append(sep.join(cells) + "\n")
    return "".join(out).encode("utf-8")


def quarantine_bytes(res: Result) -> bytes:
    out = ["line,reason,raw_content\n"]
    for line, reason, row in res.quarantine:
        raw = res.delimiter.join(row)
        out.append(f'{line},"{reason.replace(chr(34), chr(34) * 2)}","{raw.replace(chr(34), chr(34) * 2)}"\n')
    return "".join(out).encode("utf-8")
