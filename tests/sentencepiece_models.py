"""Small SentencePiece models trained with `sentencepiece`'s own trainer on slices of the
shared corpora, and a minimal reader of the one field of a .model file the tests need
(the compiled normalization rules), written here independently of the engine's reader."""

from __future__ import annotations

import pathlib

from conftest import shared_file

CORPORA = ("prose", "code", "multilingual")


def corpus_text(name: str, start: int = 0, size: int = 40_000) -> str:
    """A slice of a shared corpus (from its start when the corpus is shorter than `start`,
    as under the sanitizers)."""
    text = shared_file("corpus", f"{name}.txt").read_text(encoding="utf-8")
    if start >= len(text):
        start = 0
    return text[start:start + size]


def training_file(directory: pathlib.Path) -> pathlib.Path:
    """The start of each corpus, written to one file."""
    path = directory / "train.txt"
    if not path.exists():
        path.write_text("\n".join(corpus_text(name) for name in CORPORA), encoding="utf-8")
    return path


def train(directory: pathlib.Path, name: str, **options) -> pathlib.Path:
    """Trains a model named `name` in `directory` (vocabulary of 600 unless given)."""
    import sentencepiece as spm

    options.setdefault("vocab_size", 600)
    spm.SentencePieceTrainer.train(
        input=str(training_file(directory)), model_prefix=str(directory / name), minloglevel=2,
        character_coverage=0.995, num_threads=1, **options,
    )
    return directory / f"{name}.model"


def _varint(data: bytes, i: int) -> tuple[int, int]:
    value = shift = 0
    while True:
        b = data[i]
        i += 1
        value |= (b & 0x7F) << shift
        shift += 7
        if not b & 0x80:
            return value, i


def _fields(data: bytes):
    i = 0
    while i < len(data):
        tag, i = _varint(data, i)
        field, wire = tag >> 3, tag & 7
        if wire == 0:
            value, i = _varint(data, i)
        elif wire == 1:
            value, i = data[i:i + 8], i + 8
        elif wire == 5:
            value, i = data[i:i + 4], i + 4
        elif wire == 2:
            n, i = _varint(data, i)
            value, i = data[i:i + n], i + n
        else:
            raise ValueError(f"wire type {wire}")
        yield field, wire, value


def precompiled_charsmap(model: pathlib.Path) -> bytes:
    """The normalizer spec's precompiled_charsmap of a .model file."""
    for field, _, value in _fields(model.read_bytes()):
        if field == 3:
            for f, _, v in _fields(value):
                if f == 2:
                    return v
    return b""


def field_bytes(field: int, payload: bytes) -> bytes:
    """One length-delimited protobuf field."""
    return _encode_varint(field << 3 | 2) + _encode_varint(len(payload)) + payload


def varint_field(field: int, value: int) -> bytes:
    return _encode_varint(field << 3) + _encode_varint(value)


def _encode_varint(n: int) -> bytes:
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def piece_field(piece: str, score: float, type_: int | None = None) -> bytes:
    """A ModelProto.pieces entry."""
    import struct

    body = field_bytes(1, piece.encode()) + bytes([2 << 3 | 5]) + struct.pack("<f", score)
    if type_ is not None:
        body += varint_field(3, type_)
    return field_bytes(1, body)
