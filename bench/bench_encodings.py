"""tiktoken's public encodings: CoreBPE against tiktoken with each encoding's own pattern,
ranks and special tokens, on the same text in one process (single thread)."""
from __future__ import annotations

import common
from common import Row

ENCODINGS = [("cl100k_base", "cl100k_base.tiktoken"), ("o200k_base", "o200k_base.tiktoken")]


def encoding_declaration(name: str, rank_file):
    """tiktoken's constructor arguments of a public encoding, its ranks read from rank_file."""
    from tiktoken.load import load_tiktoken_bpe
    from tiktoken_ext import openai_public

    original = openai_public.load_tiktoken_bpe
    openai_public.load_tiktoken_bpe = lambda *a, **k: load_tiktoken_bpe(str(rank_file))
    try:
        return getattr(openai_public, name)()
    finally:
        openai_public.load_tiktoken_bpe = original


def run() -> list[Row]:
    import corvane_core
    import tiktoken
    from tiktoken.load import load_tiktoken_bpe

    rows: list[Row] = []
    for name, file in ENCODINGS:
        path = common.data_file(file)
        decl = encoding_declaration(name, path)
        section = f"{name} (tiktoken, own pattern)"
        peer = tiktoken.Encoding(decl["name"], pat_str=decl["pat_str"], mergeable_ranks=decl["mergeable_ranks"],
                                 special_tokens=decl["special_tokens"])
        ours = corvane_core.CoreBPE.from_rank_file(str(path), decl["special_tokens"], decl["pat_str"])
        for corpus in ("prose", "code", "multilingual"):
            text = common.corpus(corpus)
            n = len(text.encode())
            common.require_equal(f"{name} encode {corpus}", ours.encode_ordinary(text), peer.encode_ordinary(text))
            rows.append(common.throughput_row(section, f"encode {corpus}", n, lambda: ours.encode_ordinary(text),
                                              lambda: peer.encode_ordinary(text)))
            rows.append(common.throughput_row(section, f"count {corpus}", n, lambda: ours.count_ordinary(text),
                                              lambda: len(peer.encode_ordinary(text))))
        state = ours.to_state()
        t_ours = common.best_time(lambda: corvane_core.CoreBPE.from_state(state), repeat=7)
        t_peer = common.best_time(lambda: tiktoken.Encoding(decl["name"], pat_str=decl["pat_str"],
                                                            mergeable_ranks=load_tiktoken_bpe(str(path)),
                                                            special_tokens=decl["special_tokens"]), repeat=3)
        rows.append(Row(section, f"load (our saved state vs {file})", f"{t_ours * 1e3:.1f} ms",
                        f"{t_peer * 1e3:.1f} ms", t_peer / t_ours))
    return rows
