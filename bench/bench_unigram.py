"""Unigram and SentencePiece models: corvane against their peers, in one process.

- SentencePiece .model files (Unigram and BPE, trained here with sentencepiece's trainer on
  the start of the three corpora, vocabulary 8000, its default nmt_nfkc rules): corvane's
  Tokenizer.from_sentencepiece against sentencepiece's own processor. Each text is the
  corpus cut into lines of up to 16 KB (sentencepiece encodes a sentence at a time), encoded
  one at a time; ids are compared first.
- A tokenizer.json Unigram model with SentencePiece's compiled rules as its Precompiled
  normalizer and a Metaspace pre-tokenizer (the T5 / XLM-R family, trained with the peer's
  UnigramTrainer): corvane.Tokenizer against tokenizers, 16 KB texts one at a time.
- Loading each.
"""
from __future__ import annotations

import base64
import json
import pathlib
import tempfile

import common
from common import Row

TEXT_BYTES = 16 * 1024


def texts() -> list[str]:
    return common.corpus_texts(TEXT_BYTES)


def train_sentencepiece(directory: pathlib.Path, model_type: str) -> pathlib.Path:
    import sentencepiece as spm

    train = directory / "train.txt"
    if not train.exists():
        train.write_text("\n".join(common.corpus(n)[:300_000] for n in ("prose", "code", "multilingual")),
                         encoding="utf-8")
    spm.SentencePieceTrainer.train(input=str(train), model_prefix=str(directory / model_type), vocab_size=8000,
                                   model_type=model_type, minloglevel=2, character_coverage=0.9995)
    return directory / f"{model_type}.model"


def charsmap_of(model: pathlib.Path) -> bytes:
    import sys

    sys.path.insert(0, str(common.ROOT / "tests"))
    import sentencepiece_models

    return sentencepiece_models.precompiled_charsmap(model)


def unigram_json(charsmap: bytes) -> str:
    from tokenizers import Tokenizer, decoders, models, normalizers, pre_tokenizers, trainers

    tok = Tokenizer(models.Unigram())
    tok.normalizer = normalizers.Precompiled(charsmap)
    tok.pre_tokenizer = pre_tokenizers.Metaspace()
    tok.decoder = decoders.Metaspace()
    trainer = trainers.UnigramTrainer(vocab_size=8000, special_tokens=["<unk>"], unk_token="<unk>",
                                      show_progress=False)
    lines = []
    for n in ("prose", "code", "multilingual"):
        lines.extend(common.corpus(n)[:300_000].splitlines())
    tok.train_from_iterator(lines, trainer)
    return tok.to_str()


def run() -> list[Row]:
    import sentencepiece as spm
    from tokenizers import Tokenizer as Peer

    from corvane import Tokenizer

    inputs = texts()
    n = sum(len(t.encode()) for t in inputs)
    lines = [line for t in inputs for line in t.splitlines()]
    n_lines = sum(len(line.encode()) for line in lines)
    rows: list[Row] = []
    with tempfile.TemporaryDirectory() as tmp:
        directory = pathlib.Path(tmp)
        for model_type in ("unigram", "bpe"):
            path = train_sentencepiece(directory, model_type)
            section = f"SentencePiece .model: {model_type}"
            peer = spm.SentencePieceProcessor(model_file=str(path))
            ours = Tokenizer.from_sentencepiece(path)
            common.require_equal(f"{model_type} encode", [ours.encode(t).ids for t in lines[::50]],
                                 [peer.encode(t) for t in lines[::50]])
            rows.append(common.throughput_row(section, "encode lines, one at a time", n_lines,
                                              lambda: [ours.encode(t).ids for t in lines],
                                              lambda: [peer.encode(t) for t in lines], repeat=3))
            rows.append(common.throughput_row(section, "encode 16 KB texts, one at a time", n,
                                              lambda: [ours.encode(t).ids for t in inputs],
                                              lambda: [peer.encode(t) for t in inputs], repeat=3))
            ids = [peer.encode(t) for t in inputs]
            rows.append(common.throughput_row(section, "decode 16 KB texts", n,
                                              lambda: [ours.decode(i) for i in ids],
                                              lambda: [peer.decode(i) for i in ids], repeat=3))
            t_ours = common.best_time(lambda: Tokenizer.from_sentencepiece(path), repeat=10)
            t_peer = common.best_time(lambda: spm.SentencePieceProcessor(model_file=str(path)), repeat=10)
            rows.append(Row(section, "load", f"{t_ours * 1e3:.1f} ms", f"{t_peer * 1e3:.1f} ms", t_peer / t_ours))
        doc = unigram_json(charsmap_of(directory / "unigram.model"))
        section = "tokenizer.json pipeline: Unigram + Precompiled"
        peer, ours = Peer.from_str(doc), Tokenizer.from_str(doc)
        for t in inputs[:: max(1, len(inputs) // 40)]:
            e, g = peer.encode(t), ours.encode(t)
            common.require_equal("unigram json encode", (g.ids, g.offsets), (e.ids, e.offsets))
        rows.append(common.throughput_row(section, "encode (offsets included), one text at a time", n,
                                          lambda: [ours.encode(t).ids for t in inputs],
                                          lambda: [peer.encode(t).ids for t in inputs], repeat=3))
        path = directory / "unigram.json"
        path.write_text(doc, encoding="utf-8")
        t_ours = common.best_time(lambda: Tokenizer.from_file(path), repeat=10)
        t_peer = common.best_time(lambda: Peer.from_file(str(path)), repeat=10)
        rows.append(Row(section, "load (from_file)", f"{t_ours * 1e3:.1f} ms", f"{t_peer * 1e3:.1f} ms",
                        t_peer / t_ours))
        precompiled = json.dumps({"type": "Precompiled",
                                  "precompiled_charsmap": base64.b64encode(charsmap_of(directory / "unigram.model")).decode()})
        import corvane_core
        from tokenizers import normalizers

        norm_ours = corvane_core.Normalizer.from_json(precompiled)
        norm_peer = normalizers.Precompiled(charsmap_of(directory / "unigram.model"))
        rows.append(common.throughput_row("normalizer: Precompiled", "normalize_str, 16 KB texts", n,
                                          lambda: [norm_ours.normalize_str(t) for t in inputs],
                                          lambda: [norm_peer.normalize_str(t) for t in inputs], repeat=3))
    return rows
