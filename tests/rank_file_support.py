"""Writing small tiktoken rank files for tests, and vocabularies whose ids reveal a cut."""
from __future__ import annotations

import base64
import itertools
import pathlib

import corvane_core

_counter = itertools.count()


def rank_line(token: bytes, rank: int) -> bytes:
    return base64.b64encode(token) + b" " + str(rank).encode() + b"\n"


def write_rank_file(directory: pathlib.Path, entries) -> pathlib.Path:
    """A rank file with one line per (token, rank) pair, in the given order."""
    path = directory / f"ranks{next(_counter)}.tiktoken"
    path.write_bytes(b"".join(rank_line(t, r) for t, r in entries))
    return path


def write_raw(directory: pathlib.Path, data: bytes) -> pathlib.Path:
    path = directory / f"raw{next(_counter)}.tiktoken"
    path.write_bytes(data)
    return path


def load(directory: pathlib.Path, entries) -> corvane_core.BPETokenizer:
    return corvane_core.BPETokenizer.from_tiktoken_file(str(write_rank_file(directory, entries)))


def single_bytes() -> list[tuple[bytes, int]]:
    """The 256 single bytes, each with its own value as rank."""
    return [(bytes([b]), b) for b in range(256)]


class SliceVocabulary:
    """A rank-file tokenizer that turns every pre-token of `text` into one id of its own.

    Its vocabulary holds the 256 single bytes and every distinct slice of `text` of two or
    more bytes, each with a unique id. Whatever cut the tokenizer makes, each pre-token is a
    slice of the text and therefore a vocabulary key, and a pre-token that is a key encodes
    to that one id; so `cut()` reads the pre-tokens back exactly from the ids.
    """

    FIRST_ID = 1000

    def __init__(self, directory: pathlib.Path, text: bytes):
        entries = single_bytes()
        self.token_of = {r: t for t, r in entries}
        seen = set(self.token_of.values())
        next_id = self.FIRST_ID
        for i in range(len(text)):
            for j in range(i + 2, len(text) + 1):
                piece = text[i:j]
                if piece not in seen:
                    seen.add(piece)
                    entries.append((piece, next_id))
                    self.token_of[next_id] = piece
                    next_id += 1
        self.text = text
        self.tokenizer = load(directory, entries)

    def cut(self, text: bytes | None = None) -> list[bytes]:
        ids = self.tokenizer.encode(self.text if text is None else text)
        return [self.token_of[i] for i in ids]


class PreTokenVocabulary:
    """A rank-file tokenizer holding the 256 single bytes and the given pre-tokens.

    For texts too long to hold all their slices: when the tokenizer cuts the text into
    exactly these pre-tokens, each one encodes to its own id, so `expected(pre_tokens)` is
    what `encode` must return.
    """

    FIRST_ID = 1000

    def __init__(self, directory: pathlib.Path, pre_tokens: list[bytes]):
        entries = single_bytes()
        self.id_of = {t: r for t, r in entries}
        for piece in pre_tokens:
            if piece not in self.id_of:
                self.id_of[piece] = self.FIRST_ID + len(entries) - 256
                entries.append((piece, self.id_of[piece]))
        self.tokenizer = load(directory, entries)

    def expected(self, pre_tokens: list[bytes]) -> list[int]:
        return [self.id_of[p] for p in pre_tokens]
