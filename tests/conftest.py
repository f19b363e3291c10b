import pathlib

import pytest

SHARED = pathlib.Path(__file__).resolve().parent.parent.parent / "shared" / "data"


def shared_file(*parts: str) -> pathlib.Path:
    """Path of a file in ../shared/data; skips the calling test when it is absent."""
    path = SHARED.joinpath(*parts)
    if not path.exists():
        pytest.skip(f"shared test data not available: {path}")
    return path


@pytest.fixture(scope="session")
def tokenizers():
    """The real tokenizers the shared data gives, by name, plus the empty BPE tokenizer
    ("bert" only when the BERT vocabulary can be fetched)."""
    import bert_vocab
    from corvane_core import BPETokenizer, WordPieceTokenizer

    toks = {
        "r50k": BPETokenizer.from_tiktoken_file(str(shared_file("r50k_base.tiktoken"))),
        "cl100k": BPETokenizer.from_tiktoken_file(str(shared_file("cl100k_base.tiktoken"))),
        "gpt2-json": BPETokenizer.from_hf_json(str(shared_file("gpt2-tokenizer.json"))),
        "empty": BPETokenizer(),
    }
    try:
        toks["bert"] = WordPieceTokenizer(str(bert_vocab.fetch()))
    except bert_vocab.Unavailable:
        pass
    return toks


def stable_id(value) -> str:
    """A test id that is the same in every process (parallel workers compare their lists):
    sets in sorted order, a bare object() by name."""
    if isinstance(value, (set, frozenset)):
        return "{" + ", ".join(sorted(stable_id(v) for v in value)) + "}"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{k!r}: {stable_id(v)}" for k, v in value.items()) + "}"
    if type(value) is object:
        return "object()"
    return repr(value)


def distinct_words(n: int) -> list[str]:
    """n different lowercase words (the numbers 0..n-1 written in base 26 with letters):
    more of them than a word cache holds makes it start over."""
    letters = "abcdefghijklmnopqrstuvwxyz"
    out = []
    for i in range(n):
        w = ""
        while True:
            w += letters[i % 26]
            i //= 26
            if not i:
                break
        out.append(w)
    return out
