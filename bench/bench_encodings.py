"""tiktoken's public encodings: the `corvane` package against tiktoken, in one process.

tiktoken is built offline from the shared rank files with each encoding's true pattern and
special tokens (tiktoken_ext.openai_public), exactly as `tiktoken.get_encoding` builds it;
ours comes from `corvane.get_encoding`, which loads the encodings shipped in the package.
Every figure is checked first: both sides must give identical ids on the whole input.
"""
from __future__ import annotations

import os

import common
from common import Row

ENCODINGS = {"cl100k_base": "cl100k_base.tiktoken", "o200k_base": "o200k_base.tiktoken",
             "r50k_base": "r50k_base.tiktoken"}
CORPORA = ("prose", "code", "multilingual")


def tiktoken_encoding(name: str):
    """tiktoken's own encoding `name`, built from the local rank file (no download)."""
    import tiktoken
    from tiktoken.load import load_tiktoken_bpe

    spec = _spec_without_download(name)
    ranks = load_tiktoken_bpe(str(common.data_file(ENCODINGS[name])))
    return tiktoken.Encoding(name=name, pat_str=spec["pat_str"], mergeable_ranks=ranks,
                             special_tokens=spec["special_tokens"], explicit_n_vocab=spec.get("explicit_n_vocab"))


def _spec_without_download(name: str) -> dict:
    """The encoding's constructor with its rank-file loader pointed at the local file."""
    from unittest import mock

    from tiktoken_ext import openai_public

    with mock.patch.object(openai_public, "load_tiktoken_bpe", lambda *a, **k: {}):
        return openai_public.ENCODING_CONSTRUCTORS[name]()


def load_row(name: str) -> Row:
    import corvane
    from corvane import registry

    path = str(common.data_file(ENCODINGS[name]))
    t_ours = common.best_time(lambda: registry.load_encoding(name), repeat=7)
    t_peer = common.best_time(lambda: tiktoken_encoding(name), repeat=3)
    corvane.get_encoding(name)
    return Row(f"{name} (tiktoken)", "load the encoding", f"{t_ours * 1e3:.1f} ms", f"{t_peer * 1e3:.1f} ms",
               t_peer / t_ours, f"ours: the shipped encoding; peer: load_tiktoken_bpe({os.path.basename(path)}) + Encoding")


def run() -> list[Row]:
    import corvane

    rows: list[Row] = []
    texts = {c: common.corpus(c) for c in CORPORA}
    for name in ENCODINGS:
        ours = corvane.get_encoding(name)
        peer = tiktoken_encoding(name)
        section = f"{name} (tiktoken)"
        for corpus, text in texts.items():
            n = len(text.encode())
            expected = peer.encode_ordinary(text)
            common.require_equal(f"{name} encode {corpus}", ours.encode_ordinary(text), expected)
            common.require_equal(f"{name} count {corpus}", ours.count(text, disallowed_special=()), len(expected))
            rows.append(common.throughput_row(section, f"encode {corpus}", n, lambda: ours.encode_ordinary(text),
                                              lambda: peer.encode_ordinary(text), repeat=5))
            rows.append(common.throughput_row(section, f"count {corpus}", n,
                                              lambda: ours.count(text, disallowed_special=()),
                                              lambda: len(peer.encode_ordinary(text)), repeat=5,
                                              note="peer: len(encode_ordinary)"))
        rows.append(load_row(name))

        # Batches: the three corpora cut into 4 KB texts, on every CPU, against tiktoken's
        # encode_ordinary_batch (its own thread pool).
        data = "".join(texts.values()).encode()
        chunks = [data[i:i + 4096].decode("utf-8", "ignore") for i in range(0, len(data), 4096)]
        n = sum(len(c.encode()) for c in chunks)
        expected = peer.encode_ordinary_batch(chunks)
        common.require_equal(f"{name} encode_ordinary_batch", ours.encode_ordinary_batch(chunks), expected)
        cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
        rows.append(common.throughput_row(section, f"encode_ordinary_batch, {len(chunks):,} 4 KB texts, {cpus} CPUs",
                                          n, lambda: ours.encode_ordinary_batch(chunks),
                                          lambda: peer.encode_ordinary_batch(chunks), repeat=5,
                                          note="peer: encode_ordinary_batch, default threads"))
        rows.append(common.throughput_row(section, f"count_batch, {len(chunks):,} 4 KB texts, {cpus} CPUs",
                                          n, lambda: ours.count_batch(chunks, disallowed_special=()),
                                          lambda: peer.encode_ordinary_batch(chunks), repeat=5,
                                          note="peer: encode_ordinary_batch, default threads"))
    return rows
