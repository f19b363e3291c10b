"""Batch encoding: our encode_batch / count_batch against tiktoken's encode_ordinary_batch.

The three shared corpora are cut into many texts (their lines, and 4 KB chunks) and
encoded three ways on the same texts: one text at a time through our single-text methods
(one thread), through our batch methods (native threads without the GIL, one per CPU), and
through tiktoken's encode_ordinary_batch with its default thread pool. tiktoken is given the
GPT-2 rules with ASCII-only classes, which is how we cut text into pre-tokens, so the ids
agree on every text, non-ASCII included; that is checked before anything is timed.
"""
from __future__ import annotations

import os

import common
from common import Row

_WS = r" \t\n\x0b\x0c\r"
ASCII_CLASS_PATTERN = (
    r"'(?:[sdmt]|ll|ve|re)| ?[A-Za-z]+| ?[0-9]+| ?[^" + _WS + r"A-Za-z0-9]+"
    r"|[" + _WS + r"]+(?![^" + _WS + r"])|[" + _WS + r"]+"
)


def tiktoken_encoding(path, name: str):
    import tiktoken
    from tiktoken.load import load_tiktoken_bpe

    return tiktoken.Encoding(name=name, pat_str=ASCII_CLASS_PATTERN, mergeable_ranks=load_tiktoken_bpe(str(path)),
                             special_tokens={})


def split_texts(text: str) -> dict[str, list[str]]:
    data = text.encode()
    chunks = []
    for i in range(0, len(data), 4096):
        # 4 KB chunks, cut back to a character boundary so that each one is a str.
        chunks.append(data[i : i + 4096].decode("utf-8", "ignore"))
    return {"lines": text.splitlines(keepends=True), "4 KB chunks": chunks}


def run() -> list[Row]:
    import corvane_core

    threads = min(os.cpu_count() or 1, len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else 1 << 30)
    text = "".join(common.corpus(name) for name in ("prose", "code", "multilingual"))
    rows: list[Row] = []
    for name, file in (("cl100k", "cl100k_base.tiktoken"), ("r50k", "r50k_base.tiktoken")):
        path = common.data_file(file)
        ours = corvane_core.BPETokenizer.from_tiktoken_file(path)
        peer = tiktoken_encoding(path, name)
        section = f"batch: {name} ({threads} CPUs)"
        for split, texts in split_texts(text).items():
            n = sum(len(t.encode()) for t in texts)
            expected = peer.encode_ordinary_batch(texts)
            single = [ours.encode(t) for t in texts]
            common.require_equal(f"{name} single-text encode, {split}", single, expected)
            common.require_equal(f"{name} encode_batch, {split}", ours.encode_batch(texts), expected)
            common.require_equal(f"{name} count_batch, {split}", ours.count_batch(texts), [len(e) for e in expected])

            t_peer = common.best_time(lambda: peer.encode_ordinary_batch(texts), 5)
            for method, batch, loop in (
                ("encode_batch", lambda: ours.encode_batch(texts), lambda: [ours.encode(t) for t in texts]),
                ("count_batch", lambda: ours.count_batch(texts), lambda: [ours.count(t) for t in texts]),
            ):
                t_batch = common.best_time(batch, 7)
                t_loop = common.best_time(loop, 5)
                rows.append(Row(
                    section, f"{method}, {len(texts):,} {split}", f"{common.mbps(n, t_batch):.1f} MB/s",
                    f"{common.mbps(n, t_peer):.1f} MB/s", t_peer / t_batch,
                    f"one text at a time: {common.mbps(n, t_loop):.1f} MB/s, batch speed-up {t_loop / t_batch:.2f}x; "
                    "peer: encode_ordinary_batch, default threads"))
    return rows
