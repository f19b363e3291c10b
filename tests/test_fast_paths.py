"""The shortcuts of the encoder give exactly what the plain path gives.

Within one call, a pre-token met again reuses the ids of its first merge, and a pre-token
that is itself a vocabulary key skips merging; across calls nothing is remembered. Each
property below compares a text encoded in one go against its pre-tokens encoded one by one
(every call starting afresh), on texts built to repeat words that need merging.
"""
import threading

import pytest
from hypothesis import given, settings, strategies as st

import corvane_core
from conftest import shared_file
import reference_bpe as ref


@pytest.fixture(scope="module")
def r50k():
    return corvane_core.BPETokenizer.from_tiktoken_file(str(shared_file("r50k_base.tiktoken")))


@pytest.fixture(scope="module")
def gpt2():
    return corvane_core.BPETokenizer.from_hf_json(str(shared_file("gpt2-tokenizer.json")))


# Words that are not single tokens (they go through merging), words that are, whitespace
# runs of the kind code is full of, and long words that take the long-word path.
WORDS = st.sampled_from([
    " snake_case", " xyzzyplugh", " Vim", "__init__", " qwertyuiopasdfgh", " the", " of",
    "\n        ", "\n    ", "  ", " 12345678901", "!!??", " naïve", " 漢字", "\t\t",
    " " + "ab" * 20, "z" * 70, " tokenizer", "'s", "'ll",
])
TEXTS = st.lists(WORDS, min_size=1, max_size=60).map("".join)


def one_by_one(tok, text: str) -> list[int]:
    ids = []
    for piece in ref.pre_tokenize(text.encode()):
        ids.extend(tok.encode(piece))
    return ids


@pytest.fixture(scope="module", params=["r50k", "gpt2"])
def tokenizer(request):
    return request.getfixturevalue(request.param)


@settings(max_examples=150, deadline=None)
@given(text=TEXTS)
def test_repeated_words_encode_as_when_alone(tokenizer, text):
    ids = tokenizer.encode(text)
    assert ids == one_by_one(tokenizer, text)
    assert tokenizer.count(text) == len(ids)


def test_nothing_carries_over_between_calls(r50k):
    text = " xyzzyplugh snake_case\n        x" * 50
    first = r50k.encode(text)
    r50k.encode("completely different " * 100)
    assert r50k.encode(text) == first
    assert r50k.decode(first) == text


def test_calls_from_many_threads_agree(r50k, gpt2):
    texts = [(" xyzzy%d snake_case\n    " % i) * 200 for i in range(8)]
    expected = {(name, t): tok.encode(t) for name, tok in (("r", r50k), ("g", gpt2)) for t in texts}
    errors = []

    def work(name, tok):
        for _ in range(5):
            for t in texts:
                if tok.encode(t) != expected[(name, t)]:
                    errors.append((name, t))

    threads = [threading.Thread(target=work, args=a) for a in (("r", r50k), ("g", gpt2)) * 3]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []


@pytest.mark.parametrize("rank", [2**18 - 1, 2**18, 2**18 + 1, 2**31 - 1, -1, -(2**31)])
def test_ids_around_the_shared_int_objects(tmp_path, rank):
    # Ids below 2**18 come out as shared int objects, the others as fresh ones.
    import base64
    lines = [b"%s %d" % (base64.b64encode(bytes([b])), b) for b in range(256)]
    lines.append(b"%s %d" % (base64.b64encode(b"zz"), rank))
    path = tmp_path / "r.tiktoken"
    path.write_bytes(b"\n".join(lines) + b"\n")
    tok = corvane_core.BPETokenizer.from_tiktoken_file(str(path))
    # Pre-tokens "zz", " a", " zz"; the last merges to the pieces " " and "zz".
    ids = tok.encode("zz a zz")
    assert ids == [rank, 32, 97, 32, rank]
    assert tok.decode(ids) == "zz a zz"
    assert tok.encode("zz" * 40) == [rank] * 40  # the long-word path
