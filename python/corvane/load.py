"""Reading and writing tiktoken rank files, from local paths only.

`load_tiktoken_bpe` gives the `mergeable_ranks` dict that `Encoding(...)` takes, exactly as
tiktoken's function of the same name does for a local file. It never downloads: a URL is
refused. To load a rank file as an encoding without building that dict in Python, use
`corvane.Encoding.from_rank_file(path, name=..., pat_str=..., special_tokens=...)`, which
reads it natively and is several times faster.
"""

from __future__ import annotations

import base64
import hashlib
import os

_PathArg = str | bytes | os.PathLike[str] | os.PathLike[bytes]


def read_file(path: _PathArg) -> bytes:
    """The bytes of a local file. URLs are refused: corvane never uses the network."""
    if isinstance(path, str) and "://" in path:
        raise ValueError(
            f"corvane reads rank files from local paths only, not from {path!r}: "
            "download the file first, or use corvane.get_encoding for the shipped encodings"
        )
    with open(path, "rb", buffering=0) as f:
        return f.read()


def check_hash(data: bytes, expected_hash: str) -> bool:
    return hashlib.sha256(data).hexdigest() == expected_hash


def load_tiktoken_bpe(tiktoken_bpe_file: _PathArg, expected_hash: str | None = None) -> dict[bytes, int]:
    """The ranks of a tiktoken rank file: one "base64-token rank" pair a line.

    Raises ValueError naming the line when a line is malformed, and ValueError when
    `expected_hash` (a sha256 hex digest) is given and the file's does not match.
    """
    contents = read_file(tiktoken_bpe_file)
    if expected_hash is not None and not check_hash(contents, expected_hash):
        raise ValueError(
            f"Hash mismatch for data read from {os.fsdecode(tiktoken_bpe_file)} "
            f"(expected {expected_hash})."
        )
    ret = {}
    for line in contents.splitlines():
        if not line:
            continue
        try:
            token, rank = line.split()
            ret[base64.b64decode(token)] = int(rank)
        except Exception as e:
            raise ValueError(
                f"Error parsing line {line!r} in {os.fsdecode(tiktoken_bpe_file)}"
            ) from e
    return ret


def dump_tiktoken_bpe(bpe_ranks: dict[bytes, int], tiktoken_bpe_file: _PathArg) -> None:
    """Writes ranks as a tiktoken rank file, in rank order."""
    with open(tiktoken_bpe_file, "wb") as f:
        for token, rank in sorted(bpe_ranks.items(), key=lambda x: x[1]):
            f.write(base64.b64encode(token) + b" " + str(rank).encode() + b"\n")
