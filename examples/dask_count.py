"""Count the tokens of a corpus with Dask, on worker processes that may span machines.

    python examples/dask_count.py [--tiktoken FILE ...] [--blocksize BYTES] [FILE ...]

Without arguments it counts the shared corpora (``../shared/data/corpus/*.txt``) with the
``r50k_base`` and ``cl100k_base`` rank files on a ``distributed.LocalCluster`` of two worker
processes, and checks each distributed count against ``tokenizer.count`` of the whole file.

How it works (``count_corpus``):

1. The tokenizer is pickled once and broadcast to every worker (``client.scatter``).
2. Each file is divided into nominal ranges of ``blocksize`` bytes. A worker reads its own
   range from the file and moves both ends forward to the first position where a token can
   never span a cut (the rule of ``corvane_cli.cut_rule_for``: for BPE, a space after a
   non-blank byte and before an ASCII letter; for WordPiece and the empty tokenizer, after
   any whitespace byte). Neighbouring ranges move their shared end to the same position, so
   the partitions tile the file exactly.
3. Each worker counts its partition with ``tokenizer.count``; the counts of a file are
   summed. The sum equals ``tokenizer.count`` of the whole file, exactly.

Workers open the files themselves, so on a cluster of several machines the paths must name
the same files on every machine (a shared file system); only the tokenizer and the byte
offsets travel over the network.
"""
from __future__ import annotations

import argparse
import os
import pathlib
import sys
from collections.abc import Iterable
from typing import BinaryIO

import corvane_core
from corvane_cli import CutRule, cut_rule_for

#: Nominal partition size: big enough that the per-task overhead is small.
DEFAULT_BLOCKSIZE = 4 << 20
#: Bytes read at a time while looking for a cut.
_LOOK = 64 << 10

DATA = pathlib.Path(__file__).resolve().parent.parent.parent / "shared" / "data"


def boundary(file: BinaryIO, offset: int, size: int, rule: CutRule) -> int:
    """The first cut of the whole file at or after ``offset`` (``size`` when there is none).

    Only the bytes from ``offset`` on (and the one pattern's worth before it) are read, so
    every worker finds the same position for the same nominal offset.
    """
    if offset <= 0:
        return 0
    if offset >= size:
        return size
    pos = offset - rule.offset  # file position of buf[0]: where a cut at `offset` is decided
    file.seek(pos)
    buf = file.read(_LOOK)
    keep = rule.width - 1
    while True:
        cut = rule.first_cut(buf, rule.offset)
        if cut > 0:
            return min(pos + cut, size)
        block = file.read(_LOOK)
        if not block:
            return size
        # Carry the bytes a pattern reaching into the new block may start in.
        tail = buf[len(buf) - keep:] if keep else b""
        pos += len(buf) - len(tail)
        buf = tail + block


def count_range(tokenizer, path: str, start: int, stop: int, rule: CutRule) -> int:
    """Tokens of the partition of ``path`` whose nominal byte range is [start, stop)."""
    with open(path, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        begin = boundary(file, start, size, rule)
        end = boundary(file, stop, size, rule)
        if end <= begin:  # no cut inside this range: the partition before holds it
            return 0
        file.seek(begin)
        return tokenizer.count(file.read(end - begin))


def count_corpus(paths: Iterable[str | os.PathLike], tokenizer, *, client=None,
                 n_workers: int = 2, blocksize: int = DEFAULT_BLOCKSIZE) -> dict[str, int]:
    """Count the tokens of each file with Dask; return {absolute path: tokens}.

    ``tokenizer`` is any ``corvane_core`` tokenizer (it is pickled to the workers).
    ``client`` is a ``distributed.Client`` to use; without one, a ``LocalCluster`` of
    ``n_workers`` processes with one thread each is started for the call and shut down
    after it. Each file is cut into partitions of about ``blocksize`` bytes, read by the
    workers themselves. The count of each file equals ``tokenizer.count`` of the whole
    file.
    """
    from distributed import Client, LocalCluster

    if blocksize < 1:
        raise ValueError("blocksize must be at least 1")
    rule = cut_rule_for(tokenizer)
    paths = [os.path.abspath(os.fspath(p)) for p in paths]
    cluster = None
    if client is None:
        cluster = LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        shipped = client.scatter(tokenizer, broadcast=True)
        futures = {}
        for path in paths:
            size = os.path.getsize(path)
            offsets = list(range(0, size, blocksize)) + [size]
            futures[path] = [
                client.submit(count_range, shipped, path, start, stop, rule, pure=False)
                for start, stop in zip(offsets, offsets[1:])
            ]
        counts = client.gather(futures)
        return {path: sum(parts) for path, parts in counts.items()}
    finally:
        if cluster is not None:
            client.close()
            cluster.close()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tiktoken", action="append", metavar="FILE",
                        help="tiktoken rank file (repeatable; default: r50k_base and cl100k_base)")
    parser.add_argument("--blocksize", type=int, default=DEFAULT_BLOCKSIZE, metavar="BYTES")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="files to count (default: the shared corpora)")
    args = parser.parse_args(argv)
    rank_files = args.tiktoken or [DATA / "r50k_base.tiktoken", DATA / "cl100k_base.tiktoken"]
    files = args.files or sorted((DATA / "corpus").glob("*.txt"))
    if not files:
        parser.error(f"no files given and no corpora found in {DATA / 'corpus'}")

    from distributed import Client, LocalCluster

    mismatches = 0
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        for rank_file in rank_files:
            tokenizer = corvane_core.BPETokenizer.from_tiktoken_file(os.fspath(rank_file))
            counts = count_corpus(files, tokenizer, client=client, blocksize=args.blocksize)
            print(f"{pathlib.Path(rank_file).name}:")
            for path, n in counts.items():
                with open(path, "rb") as f:
                    single = tokenizer.count(f.read())
                mark = "ok" if n == single else f"MISMATCH (single process: {single})"
                mismatches += n != single
                print(f"  {n:>10}  {path}  {mark}")
            print(f"  {sum(counts.values()):>10}  total")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
