"""Whole tokenizer.json pipelines: corvane.Tokenizer against HuggingFace tokenizers, in one
process, on the same files and texts.

The families: the real GPT-2 and BERT (uncased) files, and small files trained with the
peer's own trainers (tests/trained_tokenizers.py): Llama 3-like (Split regex, byte-level,
ignore_merges), Llama 2-like (byte fallback, Metaspace-like normalizer), CLIP-like
(lowercase, end-of-word suffix) and cased BERT WordPiece. Truncation and padding are off on
both sides. Single-text encode: the three corpora cut into 16 KB texts, each encoded alone
(offsets computed by both) and its ids read. Batch: the same texts through encode_batch,
the peer with its own thread pool, in a child process where its parallelism is on.
"""
from __future__ import annotations

import json
import os
import subprocess
import sys

import common
from common import Row

TEXT_BYTES = 16 * 1024
FAMILIES = ["gpt2", "bert-uncased", "llama3-like", "llama2-like", "llama2-words", "clip-like", "bert-cased"]


def documents() -> dict[str, str]:
    sys.path.insert(0, str(common.ROOT / "tests"))
    import trained_tokenizers

    docs = {
        "gpt2": common.data_file("gpt2-tokenizer.json").read_text(encoding="utf-8"),
        "bert-uncased": common.data_file("bert-uncased-tokenizer.json").read_text(encoding="utf-8"),
    }
    for name in FAMILIES[2:]:
        docs[name] = trained_tokenizers.TRAINED[name]()
    for name, text in docs.items():
        doc = json.loads(text)
        doc["truncation"] = None
        doc["padding"] = None
        docs[name] = json.dumps(doc)
    return docs


def texts() -> list[str]:
    return common.corpus_texts(TEXT_BYTES)


def batch_times(doc: str, inputs: list[str]) -> tuple[float, float]:
    """(ours, peer) best times of encode_batch, run in a child whose peer uses all CPUs."""
    code = (
        "import json, sys; sys.path.insert(0, %r)\n"
        "import common\n"
        "from tokenizers import Tokenizer as Peer\n"
        "from corvane import Tokenizer\n"
        "doc, inputs = json.load(sys.stdin)\n"
        "peer, ours = Peer.from_str(doc), Tokenizer.from_str(doc)\n"
        "assert [e.ids for e in ours.encode_batch(inputs)] == [e.ids for e in peer.encode_batch(inputs)]\n"
        "print(json.dumps([common.best_time(lambda: ours.encode_batch(inputs), 5),\n"
        "                  common.best_time(lambda: peer.encode_batch(inputs), 5)]))\n"
    ) % str(common.ROOT / "bench")
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "TOKENIZERS_PARALLELISM")}
    proc = subprocess.run([sys.executable, "-c", code], input=json.dumps([doc, inputs]), capture_output=True,
                          text=True, env=env, check=True)
    ours, peer = json.loads(proc.stdout)
    return ours, peer


def run() -> list[Row]:
    from tokenizers import Tokenizer as Peer

    from corvane import Tokenizer

    inputs = texts()
    n = sum(len(t.encode()) for t in inputs)
    threads = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    rows: list[Row] = []
    for name, doc in documents().items():
        section = f"tokenizer.json pipeline: {name}"
        peer, ours = Peer.from_str(doc), Tokenizer.from_str(doc)
        for t in inputs[:: max(1, len(inputs) // 40)]:
            e, g = peer.encode(t), ours.encode(t)
            common.require_equal(f"{name} encode", (g.ids, g.offsets), (e.ids, e.offsets))

        def encode_all(tok):
            for t in inputs:
                tok.encode(t).ids

        rows.append(common.throughput_row(section, "encode (offsets included), one text at a time", n,
                                          lambda: encode_all(ours), lambda: encode_all(peer), repeat=3))
        rows.append(common.throughput_row(section, "count vs len(encode)", n,
                                          lambda: [ours.count(t) for t in inputs],
                                          lambda: [len(peer.encode(t)) for t in inputs], repeat=3))
        t_ours, t_peer = batch_times(doc, inputs)
        rows.append(Row(section, f"encode_batch ({threads} CPUs)", f"{common.mbps(n, t_ours):.1f} MB/s",
                        f"{common.mbps(n, t_peer):.1f} MB/s", t_peer / t_ours, "peer with its own thread pool"))
        path = common.ROOT / "build" / f"bench-{name}.json"
        path.parent.mkdir(exist_ok=True)
        path.write_text(doc, encoding="utf-8")
        t_ours = common.best_time(lambda: Tokenizer.from_file(path), repeat=10)
        t_peer = common.best_time(lambda: Peer.from_file(str(path)), repeat=10)
        rows.append(Row(section, "load (from_file)", f"{t_ours * 1e3:.1f} ms", f"{t_peer * 1e3:.1f} ms",
                        t_peer / t_ours))
    return rows
