"""Compressor: ours against the natural pure-Python version, and the tokens it saves.

The Python side is what a user would write with the standard library: `re.sub` for the
blank and line-break passes and one `str.replace` per table entry (which replaces left to
right and resumes after each replacement, as `compress` does). For `decompress`, each short
form first becomes a placeholder character (one per entry, absent from the corpus) between
its two spaces, so that later entries may share those spaces but never match inside an
expansion; the placeholders become the inner words of the phrases at the end. Both are
checked to give output identical to ours before anything is timed.
"""
from __future__ import annotations

import re

import common
from common import Row

TABLE = [
    (" for your information ", " FYI "),
    (" as soon as possible ", " ASAP "),
    (" by the way ", " BTW "),
    (" with respect to ", " about "),
    (" in addition to ", " plus "),
    (" in addition, ", " also, "),
    (" please note that ", " note: "),
    (" thank you for ", " thanks for "),
    (" application development ", " app dev "),
    (" the application ", " the app "),
    (" software development ", " software dev "),
    (" the requirements ", " the reqs "),
    (" the reference ", " the ref "),
    (" the information ", " the info "),
    (" the library ", " the lib "),
    (" the libraries ", " the libs "),
    (" as well as ", " and "),
    (" in order to ", " to "),
    (" make sure that ", " ensure "),
    (" in the event that ", " if "),
    (" at this point in time ", " now "),
    (" due to the fact that ", " because "),
    (" a large number of ", " many "),
]

BLANKS = re.compile(r"[ \t]+")
LINES = re.compile(r"[\r\n]+")
# Control characters that do not occur in the corpus (checked); ASCII placeholders keep
# the Python strings one byte per character, which is the fastest case for str.replace.
PLACEHOLDERS = [chr(c) for c in [*range(0x01, 0x09), *range(0x0E, 0x1F)]][:len(TABLE)]


def python_compress(text: str) -> str:
    if not text:
        return ""
    w = LINES.sub("\n", BLANKS.sub(" ", " " + text + " "))
    for phrase, short in TABLE:
        w = w.replace(phrase, short)
    return w.strip(" \t\n\r")


def python_decompress(text: str) -> str:
    w = text
    for (phrase, short), mark in zip(TABLE, PLACEHOLDERS):
        w = w.replace(short, " " + mark + " ")
    for (phrase, short), mark in zip(TABLE, PLACEHOLDERS):
        w = w.replace(mark, phrase[1:-1])
    return w


def run() -> list[Row]:
    import corvane_core

    rows: list[Row] = []
    comp = corvane_core.Compressor()
    prose = common.corpus("prose")
    if any(mark in prose for mark in PLACEHOLDERS):
        raise AssertionError("prose corpus holds placeholder characters; the Python decompress does not apply")
    packed = comp.compress(prose)
    work = [
        ("compress prose", prose, comp.compress, python_compress, "peer: re.sub + str.replace"),
        ("decompress prose", prose, comp.decompress, python_decompress, "peer: str.replace via placeholders"),
        ("decompress compressed prose", packed, comp.decompress, python_decompress,
         "peer: str.replace via placeholders"),
    ]
    for name, text, ours, peer, note in work:
        common.require_equal(f"compressor {name}", ours(text), peer(text))
        rows.append(common.throughput_row("compressor (Python)", name, len(text.encode()),
                                          lambda: ours(text), lambda: peer(text), repeat=20, note=note))

    r50k = corvane_core.BPETokenizer.from_tiktoken_file(str(common.data_file("r50k_base.tiktoken")))
    before, after = r50k.count(prose), r50k.count(packed)
    saved = 100.0 * (before - after) / before
    rows.append(Row("compressor (Python)", "r50k tokens of prose, before -> after compress",
                    f"{before} -> {after}", note=f"{saved:.2f}% fewer tokens ({before - after} saved)"))
    return rows
