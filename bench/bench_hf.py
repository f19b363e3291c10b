"""BPE from a HuggingFace tokenizer.json: ours against HuggingFace tokenizers, in one process.

Both load the same `gpt2-tokenizer.json`. The peer runs single-threaded on one text at a
time (`encode(text, add_special_tokens=False)`), as ours does.
"""
from __future__ import annotations

import os

# Must be set before tokenizers starts its thread pool.
os.environ["RAYON_NUM_THREADS"] = "1"
os.environ["TOKENIZERS_PARALLELISM"] = "false"

import common  # noqa: E402
from common import Row  # noqa: E402

SECTION = "gpt2 (tokenizer.json)"


def run() -> list[Row]:
    import corvane_core
    from tokenizers import Tokenizer

    path = str(common.data_file("gpt2-tokenizer.json"))
    ours = corvane_core.BPETokenizer.from_hf_json(path)
    peer = Tokenizer.from_file(path)

    def peer_ids(text: str) -> list[int]:
        return peer.encode(text, add_special_tokens=False).ids

    rows: list[Row] = []
    for name in ("prose", "code"):
        text = common.ascii_only(common.corpus(name))
        n = len(text.encode())
        common.require_equal(f"gpt2 encode {name}", ours.encode(text), peer_ids(text))
        common.require_equal(f"gpt2 count {name}", ours.count(text), len(peer_ids(text)))
        rows.append(common.throughput_row(SECTION, f"encode {name}", n,
                                          lambda: ours.encode(text), lambda: peer_ids(text)))
        rows.append(common.throughput_row(SECTION, f"count {name}", n,
                                          lambda: ours.count(text), lambda: len(peer_ids(text))))

    t_ours = common.best_time(lambda: corvane_core.BPETokenizer.from_hf_json(path), repeat=10)
    t_peer = common.best_time(lambda: Tokenizer.from_file(path), repeat=10)
    rows.append(Row(SECTION, "load gpt2-tokenizer.json", f"{t_ours * 1e3:.1f} ms", f"{t_peer * 1e3:.1f} ms",
                    t_peer / t_ours, "from_hf_json vs Tokenizer.from_file"))
    return rows
