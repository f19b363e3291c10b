"""WordPiece on BERT's vocab.txt: ours against HuggingFace tokenizers, in one process.

The peer is a `WordPiece` model on the same vocab.txt ("[UNK]", "##" continuation pieces, no
word-length cap) behind a `WhitespaceSplit` pre-tokenizer and no normaliser, which splits
exactly as we do once the text holds no whitespace character outside ASCII.
"""
from __future__ import annotations

import importlib.util
import random

import common
from common import Row

SECTION = "WordPiece (BERT vocab)"


def _bert_vocab_module():
    found = importlib.util.spec_from_file_location("bert_vocab", common.ROOT / "tests" / "bert_vocab.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def agreeable(text: str) -> str:
    """`text` without whitespace characters other than the six ASCII ones."""
    return "".join(c for c in text if not c.isspace() or c in " \t\n\x0b\x0c\r")


def hf_wordpiece(path: str):
    import tokenizers

    model = tokenizers.models.WordPiece.from_file(path, unk_token="[UNK]", continuing_subword_prefix="##",
                                                  max_input_chars_per_word=2**62)
    tok = tokenizers.Tokenizer(model)
    tok.pre_tokenizer = tokenizers.pre_tokenizers.WhitespaceSplit()
    return tok


def run() -> list[Row]:
    import corvane_core

    bert_vocab = _bert_vocab_module()
    try:
        path = str(bert_vocab.fetch())
    except bert_vocab.Unavailable as exc:
        return [Row(SECTION, "all", "skipped", note=str(exc))]

    ours = corvane_core.WordPieceTokenizer(path)
    peer = hf_wordpiece(path)
    rows: list[Row] = []
    prose = agreeable(common.corpus("prose"))
    for label, text in (("prose", prose), ("prose, lowercased", prose.lower())):
        n = len(text.encode())
        ids = peer.encode(text, add_special_tokens=False).ids
        common.require_equal(f"encode {label}", ours.encode(text), ids)
        common.require_equal(f"count {label}", ours.count(text), len(ids))
        rows.append(common.throughput_row(SECTION, f"encode {label}", n, lambda: ours.encode(text),
                                          lambda: peer.encode(text, add_special_tokens=False).ids))
        rows.append(common.throughput_row(SECTION, f"count {label}", n, lambda: ours.count(text),
                                          lambda: len(peer.encode(text, add_special_tokens=False).ids)))

    t_ours = common.best_time(lambda: corvane_core.WordPieceTokenizer(path), repeat=20)
    t_peer = common.best_time(lambda: hf_wordpiece(path), repeat=5)
    rows.append(Row(SECTION, "load vocab.txt (30,522 lines)", f"{t_ours * 1e3:.2f} ms", f"{t_peer * 1e3:.2f} ms",
                    t_peer / t_ours))

    # One word of 4 MB without whitespace. The peer tries every candidate from the end of
    # the word at each position, so it is not timed here.
    rng = random.Random(1)
    word = "".join(rng.choice("etaoinshrdlucmfwypvbgkjqxz") for _ in range(4_000_000))
    t_ours = common.best_time(lambda: ours.encode(word), repeat=3)
    rows.append(Row(SECTION, "encode one 4 MB word (random letters)", f"{common.mbps(len(word), t_ours):.1f} MB/s",
                    note="peer not timed: its search is quadratic in the word length"))
    return rows
