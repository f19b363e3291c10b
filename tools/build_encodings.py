"""Builds the encodings that ship inside the `corvane` package.

    python tools/build_encodings.py [--data-dir ../shared/data] [--check]

For each encoding declared in python/corvane/registry.py, reads its public tiktoken rank file
from the data folder, checks the file's sha256 (the registry's, which is tiktoken's, and the
data folder README's where it lists one), builds the native encoding with the declared pattern
and special tokens, and writes its saved state, zlib-compressed, to python/corvane/data/.
Encodings that are the same apart from their name (gpt2 and r50k_base) share one file.
With --check, nothing is written: the command fails if a committed file differs from what it
would write.

Needs the built module on the path, e.g.
    PYTHONPATH=build/me:python python tools/build_encodings.py
"""

from __future__ import annotations

import argparse
import hashlib
import pathlib
import re
import sys
import zlib

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

from corvane_core import CoreBPE  # noqa: E402

from corvane import registry  # noqa: E402

ZLIB_LEVEL = 9


def readme_hashes(data_dir: pathlib.Path) -> dict[str, str]:
    """The sha256 digests the data folder's README gives, by file name."""
    readme = data_dir / "README.md"
    if not readme.exists():
        return {}
    hashes = {}
    for line in readme.read_text(encoding="utf-8").splitlines():
        match = re.match(r"\|\s*`([^`]+\.tiktoken)`.*sha256 ([0-9a-f]{64})", line)
        if match:
            hashes[match.group(1)] = match.group(2)
    return hashes


def build(data_dir: pathlib.Path) -> dict[str, bytes]:
    """The contents of every shipped data file, by file name."""
    listed = readme_hashes(data_dir)
    outputs: dict[str, bytes] = {}
    for spec in registry.ENCODING_SPECS.values():
        path = data_dir / spec.rank_file
        digest = hashlib.sha256(path.read_bytes()).hexdigest()
        for expected in {spec.rank_file_sha256, listed.get(spec.rank_file, spec.rank_file_sha256)}:
            if digest != expected:
                raise SystemExit(f"{path}: sha256 {digest}, expected {expected}")
        core_bpe = CoreBPE.from_rank_file(str(path), spec.special_tokens, spec.pat_str)
        packed = zlib.compress(core_bpe.to_state(), ZLIB_LEVEL)
        previous = outputs.setdefault(spec.data_file, packed)
        if previous != packed:
            raise SystemExit(f"{spec.data_file}: two encodings that differ share this file")
    return outputs


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data-dir", type=pathlib.Path, default=ROOT.parent / "shared" / "data")
    parser.add_argument("--check", action="store_true", help="compare, write nothing")
    args = parser.parse_args(argv)

    outputs = build(args.data_dir)
    stale = []
    for name, packed in sorted(outputs.items()):
        target = registry.DATA_DIR / name
        if args.check:
            if not target.exists() or target.read_bytes() != packed:
                stale.append(name)
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(packed)
        print(f"{target.relative_to(ROOT)}: {len(packed):,} bytes")
    if stale:
        print(f"out of date: {', '.join(stale)} (run tools/build_encodings.py)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
