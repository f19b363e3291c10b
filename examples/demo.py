"""A short demonstration of the three classes of corvane_core.

Uses the real tokenizer files in ../shared/data when they are there, and small files made
on the spot otherwise.
"""
from __future__ import annotations

import base64
import pathlib
import tempfile

import corvane_core

DATA = pathlib.Path(__file__).resolve().parent.parent.parent / "shared" / "data"
TEXT = "By the way, thank you for the quick reply: we'll ship the snake_case fix as soon as possible."


def bpe_demo(tmp: pathlib.Path) -> None:
    rank_file = DATA / "r50k_base.tiktoken"
    if not rank_file.exists():
        # A tiny rank file: the 256 single bytes, then a few joined tokens.
        lines = [f"{base64.b64encode(bytes([b])).decode()} {b}" for b in range(256)]
        for rank, tok in enumerate([b"th", b"the", b" the", b"in", b"ing"], start=256):
            lines.append(f"{base64.b64encode(tok).decode()} {rank}")
        rank_file = tmp / "tiny.tiktoken"
        rank_file.write_text("\n".join(lines) + "\n")
    enc = corvane_core.BPETokenizer.from_tiktoken_file(str(rank_file))
    ids = enc.encode(TEXT)
    print(f"BPETokenizer ({rank_file.name}): {len(ids)} tokens")
    print("  ids:", ids[:12], "...")
    print("  decode round trip:", enc.decode(ids) == TEXT)
    print("  count:", enc.count(TEXT))

    hf = DATA / "gpt2-tokenizer.json"
    if hf.exists():
        gpt2 = corvane_core.BPETokenizer.from_hf_json(str(hf))
        print(f"BPETokenizer ({hf.name}): {gpt2.count(TEXT)} tokens, ids {gpt2.encode(TEXT)[:8]} ...")


def wordpiece_demo(tmp: pathlib.Path) -> None:
    vocab = tmp / "vocab.txt"
    tokens = [f"[unused{i}]" for i in range(100)] + ["[UNK]", "the", "quick", "brown", "fox",
                                                       "jump", "##s", "##ed", "over", "lazy", "dog"]
    vocab.write_text("\n".join(tokens) + "\n")
    wp = corvane_core.WordPieceTokenizer(str(vocab))
    text = "the quick brown fox jumps over the lazy dog jumped"
    ids = wp.encode(text)
    print("WordPieceTokenizer:", ids)
    print("  decode:", wp.decode(ids))
    print("  unknown word ->", wp.encode("zebra"))


def compressor_demo() -> None:
    c = corvane_core.Compressor()
    prose = ("please note that   we will fix the library as soon as possible and\r\n\r\n"
             "thank you for the report by the way")
    short = c.compress(prose)
    print("Compressor:")
    print("  in:        ", repr(prose))
    print("  compress:  ", repr(short))
    print("  decompress:", repr(c.decompress(short)))


def main() -> None:
    with tempfile.TemporaryDirectory() as d:
        tmp = pathlib.Path(d)
        bpe_demo(tmp)
        wordpiece_demo(tmp)
    compressor_demo()


if __name__ == "__main__":
    main()
