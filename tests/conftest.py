import os
import pathlib
import tempfile

import pytest

SHARED = pathlib.Path(__file__).resolve().parent.parent.parent / "shared" / "data"

# Under the sanitizers (CORVANE_SANITIZED=1), whose checks make every step several times
# slower, the corpora are their first lines only: the engine's paths are the same, and the
# whole corpora are compared in the ordinary run.
SANITIZED_CORPUS_BYTES = 128 * 1024


def shared_file(*parts: str) -> pathlib.Path:
    """Path of a file in ../shared/data; skips the calling test when it is absent."""
    path = SHARED.joinpath(*parts)
    if not path.exists():
        pytest.skip(f"shared test data not available: {path}")
    if parts[0] == "corpus" and os.environ.get("CORVANE_SANITIZED") == "1":
        return corpus_start(path)
    return path


def corpus_start(path: pathlib.Path) -> pathlib.Path:
    """A copy of the corpus file's first SANITIZED_CORPUS_BYTES, cut after a line feed."""
    directory = pathlib.Path(tempfile.gettempdir()) / f"corvane-sanitized-corpus-{os.getuid()}"
    short = directory / path.name
    if not short.exists():
        data = path.read_bytes()
        if len(data) > SANITIZED_CORPUS_BYTES:
            data = data[: data.rindex(b"\n", 0, SANITIZED_CORPUS_BYTES) + 1]
        directory.mkdir(parents=True, exist_ok=True)
        # Workers may write it at the same time: each writes its own file, then renames.
        part = directory / f".{path.name}.{os.getpid()}"
        part.write_bytes(data)
        os.replace(part, short)
    return short


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
