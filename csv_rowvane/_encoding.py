"""Encodings: the names the front end takes, and the detector the native run
asks when the bytes alone do not say which legacy code page a file is in.

The run decides what the bytes decide by themselves (a byte-order mark, the
NUL bytes of UTF-16/32, valid UTF-8) natively; only a file that is not
UTF-8 reaches ``choose_page``, with a sample of its non-ASCII lines taken
across the whole file.
"""

from __future__ import annotations

import codecs
import functools
from typing import Literal, TypeAlias

__all__ = ["EncodingChoice", "resolve", "choose_page", "ERRORS", "OUTPUT_ENCODINGS"]

# (kind, name, table): how the native run decodes; see resolve().
EncodingChoice: TypeAlias = tuple[str, str, str]
EncodingErrors: TypeAlias = Literal["replace", "strict", "quarantine"]
ERRORS = ("replace", "strict", "quarantine")
OUTPUT_ENCODINGS = ("utf-8", "utf-8-sig")

# Where a single-byte page leaves a byte undefined, its table holds this.
_UNDEFINED = "\uffff"

# Codecs decoded natively, by Python's canonical name.
_NATIVE = {
    "utf-8": "utf-8",
    "utf-8-sig": "utf-8",
    "utf-16": "utf-16",
    "utf-16-le": "utf-16-le",
    "utf-16-be": "utf-16-be",
    "utf-32": "utf-32",
    "utf-32-le": "utf-32-le",
    "utf-32-be": "utf-32-be",
}

# Pages of the Western family: among these, the one that maps every byte a
# file holds to a printable character is chosen.
_WESTERN = frozenset({"cp1252", "iso8859-1", "latin-1", "iso8859-15"})


@functools.lru_cache(maxsize=128)
def _table(name: str) -> str | None:
    """The 256-character table of a single-byte codec, or None when the
    codec is not single-byte (a multi-byte page, a stateful one)."""
    chars = []
    for b in range(256):
        try:
            ch = bytes([b]).decode(name)
        except UnicodeDecodeError:
            ch = _UNDEFINED
        except Exception:
            return None
        if len(ch) != 1:
            return None
        chars.append(ch)
    table = "".join(chars)
    # A multi-byte page reads a lead byte alone as an error, but pairs of
    # bytes as one character: the whole range decodes to fewer characters.
    try:
        whole = bytes(range(256)).decode(name, "replace")
    except Exception:
        return None
    if len(whole) != 256:
        return None
    return table


def canonical(name: str) -> str:
    """Python's canonical name of an encoding; ValueError when unknown."""
    if not isinstance(name, str):
        raise TypeError(f"encoding must be a str, not {type(name).__name__}")
    try:
        return codecs.lookup(name).name
    except LookupError:
        raise ValueError(f"unknown encoding: {name!r}") from None


@functools.lru_cache(maxsize=128)
def resolve(name: str) -> EncodingChoice:
    """How the native run decodes the encoding ``name`` (any name Python's
    codecs know): ``("utf-16", "utf-16", "")``, ``("single", "cp1252",
    table)`` or ``("external", "gbk", "")``. ValueError when unknown, or
    for an encoding that is not text (a bytes-to-bytes codec)."""
    canon = canonical(name)
    if canon in _NATIVE:
        return (_NATIVE[canon], canon, "")
    info = codecs.lookup(canon)
    if not getattr(info, "_is_text_encoding", True):
        raise ValueError(f"{name!r} is not a text encoding")
    table = _table(canon)
    if table is not None:
        return ("single", canon, table)
    return ("external", canon, "")


# How much more likely than its score says a Western page is, against
# another Latin page the detector prefers by a little.
_WESTERN_PRIOR = 3.0
# cp1252's characters that Western European text seldom holds: where the
# bytes of another Latin page read as these, that page is the likelier.
_RARE_IN_CP1252 = frozenset("þðýÞÐÝ×÷¤¦¨´¸¯¬¹³\ufffd")
# Below this score the detector has seen too little to go by.
_NO_EVIDENCE = 0.005


@functools.lru_cache(maxsize=64)
def _latin(name: str) -> bool:
    """Whether the single-byte page ``name`` writes Latin letters in its upper
    half (cp1250, cp1254, ISO-8859-2, ...): a rival of cp1252 on little text."""
    import unicodedata

    table = _table(name)
    if table is None:
        return False
    letters = [unicodedata.name(ch, "") for ch in table[0xC0:] if ch.isalpha()]
    return sum(n.startswith("LATIN") for n in letters) * 2 > len(table[0xC0:])


def _detect(sample: bytes) -> str | None:
    """The detector's name for the page of ``sample``; None when it has seen
    too little to go by."""
    import chardet  # the detector is imported the first time a file needs it

    guess = chardet.detect(sample)
    name, score = guess.get("encoding"), float(guess.get("confidence") or 0.0)
    if not name:
        return None
    try:
        canon = canonical(str(name))
    except ValueError:
        return None
    if canon in _WESTERN:
        return canon
    if score < _NO_EVIDENCE:
        return None
    if _latin(canon):
        # On a few words the scores of the Latin pages lie close together
        # ("Núñez" reads as "Núńez" in cp1250 just as well); most such files
        # are Western European exports.
        western = 0.0
        for other in chardet.detect_all(sample):
            try:
                if canonical(str(other.get("encoding") or "")) in _WESTERN:
                    western = max(western, float(other.get("confidence") or 0.0))
            except ValueError:
                continue
        # cp1252 unless it would write letters Western text seldom holds
        # (Turkish "ı" is cp1252's "ý", Lithuanian "š" its "ð").
        text = sample.decode("cp1252", "replace")
        if western * _WESTERN_PRIOR >= score and not any(ch in _RARE_IN_CP1252 for ch in text):
            return "cp1252"
    return canon


def _western(present: bytes, detected: str) -> str:
    """Among cp1252, Latin-1 and ISO-8859-15, the page for the bytes present:
    cp1252 unless a byte it leaves undefined occurs; ISO-8859-15 when the
    detector named it and no byte of 0x80..0x9F occurs (where it holds only
    controls)."""
    c1 = any(present[b - 0x80] for b in range(0x80, 0xA0))
    if detected == "iso8859-15" and not c1:
        return "iso8859-15"
    cp1252 = _table("cp1252") or ""
    if all(cp1252[b] != _UNDEFINED for b in range(0x80, 0x100) if present[b - 0x80]):
        return "cp1252"
    return "iso8859-1"


# The pages most CSV files not in UTF-8 are in, most common first.
_COMMON = ("cp1252", "cp1250", "cp1251", "cp1253", "cp1254", "cp1257", "iso8859-2", "koi8-r")


def _same_text(table: str, present: bytes, other: str) -> bool:
    """Whether ``table`` decodes every byte present as the page ``other`` does."""
    theirs = _table(other) or ""
    return all(table[b] == theirs[b] for b in range(0x80, 0x100) if present[b - 0x80])


def choose_page(sample: bytes, present: bytes, mixed: bool) -> EncodingChoice:
    """The page of a file that is not UTF-8, from a sample of its non-ASCII
    lines. ``present[i]`` is nonzero when byte 0x80 + i occurs in them.
    ``mixed``: the file is mostly UTF-8, and the page decodes only its
    invalid sequences (a single-byte page then, cp1252 unless the evidence
    names another)."""
    detected = _detect(sample)
    try:
        canon = canonical(detected) if detected else "cp1252"
    except ValueError:
        canon = "cp1252"
    if canon in _WESTERN or canon in _NATIVE or canon == "ascii":
        canon = _western(present, canon)
    kind, name, table = resolve(canon)
    if kind == "single" and any(table[b] != chr(b) for b in range(0x80)):
        # The structure of a CSV file is ASCII: a page that reads ASCII
        # bytes as other characters (EBCDIC) cannot be its page.
        kind, name, table = resolve(_western(present, "cp1252"))
    if kind == "single":
        # A page that reads every byte present as a common page does is
        # reported as that page: a detector's choice among equals says
        # nothing, and the common name is the one people know.
        for common in _COMMON:
            if common == name:
                break
            if _same_text(table, present, common):
                kind, name, table = resolve(_western(present, "cp1252") if common == "cp1252" else common)
                break
    if kind != "single":
        if mixed:
            kind, name, table = resolve(_western(present, "cp1252"))
        elif kind != "external":
            kind, name, table = resolve(_western(present, "cp1252"))
    if mixed:
        return ("fallback", name, table)
    return (kind, name, table)
