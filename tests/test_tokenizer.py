"""corvane.Tokenizer against HuggingFace `tokenizers` on the same tokenizer.json files: the
real GPT-2 and BERT files, and small files trained with the peer's own trainers, one per
family in real use. Ids, tokens, offsets, type ids, masks, words, overflowing parts and
decoding must all be the peer's."""

from __future__ import annotations

import functools
import json
import os
import pickle

import pytest
from conftest import distinct_words, shared_file
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import trained_tokenizers
from corvane import Tokenizer

tokenizers = pytest.importorskip("tokenizers")

REAL = {
    "gpt2": "gpt2-tokenizer.json",
    "bert-uncased": "bert-uncased-tokenizer.json",
}
NAMES = [*REAL, *trained_tokenizers.TRAINED, "llama3-like+added", "bert-cased+added", "llama2-like+added"]
CHUNK = 2048


@functools.lru_cache(maxsize=None)
def document(name: str) -> str:
    if name in REAL:
        return shared_file(REAL[name]).read_text(encoding="utf-8")
    base, _, added = name.partition("+")
    text = trained_tokenizers.TRAINED[base]()
    return trained_tokenizers.with_added_tokens(text) if added else text


@functools.lru_cache(maxsize=None)
def pair_of(name: str):
    text = document(name)
    return tokenizers.Tokenizer.from_str(text), Tokenizer.from_str(text)


def as_dict(e, depth: int = 0) -> dict:
    d = {
        "ids": e.ids,
        "tokens": e.tokens,
        "offsets": [tuple(o) for o in e.offsets],
        "type_ids": e.type_ids,
        "attention_mask": e.attention_mask,
        "special_tokens_mask": e.special_tokens_mask,
        "word_ids": e.word_ids,
        "sequence_ids": e.sequence_ids,
    }
    if depth == 0:
        d["overflowing"] = [as_dict(o, 1) for o in e.overflowing]
    return d


def assert_same(reference, ours, where: str = "") -> None:
    ref, got = as_dict(reference), as_dict(ours)
    for key in ref:
        if ref[key] != got[key]:
            diff = next((i for i, (a, b) in enumerate(zip(ref[key], got[key])) if a != b), None)
            pytest.fail(
                f"{where}: {key} differ at {diff} (lengths {len(ref[key])}, {len(got[key])}): "
                f"peer {ref[key][diff] if diff is not None else ref[key][-3:]!r} "
                f"ours {got[key][diff] if diff is not None else got[key][-3:]!r}"
            )


def chunks(name: str, limit: int | None = None) -> list[str]:
    text = shared_file("corpus", f"{name}.txt").read_text(encoding="utf-8")
    if limit is not None:
        text = text[:limit]
    return [text[i : i + CHUNK] for i in range(0, len(text), CHUNK)]


SAMPLES = [
    "Hello, world!",
    "",
    " ",
    "  leading and trailing  ",
    "Hello wörld, the <mask> café 日本語 [SPLIT] 12345 <|x|>y",
    "<mask><mask> <mask>  [SPLIT]   [SPLIT]x the theory other the",
    "naïve façade — “quotes” ‘single’ … 😀👩‍👩‍👧 ١٢٣ ๑๒๓",
    "tab\tnew\nline\r\nmixed\u2028sep\u3000ideo\u00a0nbsp",
    "don't DON'T you're I'M we'll they'd",
    "ǅungla ß ẞ İstanbul ΣΑΣ",
    "x" * 300 + " " + "ab" * 200,
]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("add_special_tokens", [True, False])
def test_samples_and_pairs(name, add_special_tokens):
    ref, ours = pair_of(name)
    for text in SAMPLES:
        assert_same(ref.encode(text, add_special_tokens=add_special_tokens),
                    ours.encode(text, add_special_tokens=add_special_tokens), f"{name} {text[:30]!r}")
    for a, b in zip(SAMPLES, SAMPLES[1:] + SAMPLES[:1]):
        assert_same(ref.encode(a, b, add_special_tokens=add_special_tokens),
                    ours.encode(a, b, add_special_tokens=add_special_tokens), f"{name} pair {a[:20]!r}")


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("corpus", ["prose", "code", "multilingual"])
def test_corpora(name, corpus):
    ref, ours = pair_of(name)
    # The real files run on whole corpora; the trained ones on a slice of each. Under the
    # sanitizers (CORVANE_SANITIZED=1), whose checks slow every step, a slice for all.
    if os.environ.get("CORVANE_SANITIZED") == "1":
        texts = chunks(corpus, 100_000 if name in REAL else 30_000)
    else:
        texts = chunks(corpus, None if name in REAL else 200_000)
    expected = ref.encode_batch(texts)
    got = ours.encode_batch(texts)
    for i, (e, g) in enumerate(zip(expected, got)):
        assert_same(e, g, f"{name} {corpus} chunk {i}")
    assert ours.count_batch(texts, add_special_tokens=False) == [
        len(e) for e in ref.encode_batch(texts, add_special_tokens=False)
    ] or ref.truncation is not None
    ids = [e.ids for e in expected]
    for skip in (True, False):
        assert ours.decode_batch(ids, skip_special_tokens=skip) == ref.decode_batch(ids, skip_special_tokens=skip)


@pytest.mark.parametrize("name", ["gpt2", "llama3-like+added", "llama2-like+added", "bert-cased+added", "clip-like"])
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(text=st.text(max_size=80), pair=st.none() | st.text(max_size=40), special=st.booleans())
def test_random_unicode(name, text, pair, special):
    ref, ours = pair_of(name)
    assert_same(ref.encode(text, pair, add_special_tokens=special), ours.encode(text, pair, add_special_tokens=special),
                f"{name} {text!r} {pair!r}")
    ids = ref.encode(text, add_special_tokens=True).ids
    for skip in (True, False):
        assert ours.decode(ids, skip_special_tokens=skip) == ref.decode(ids, skip_special_tokens=skip)


TRUNCATION = [
    dict(max_length=12),
    dict(max_length=12, stride=3),
    dict(max_length=9, stride=2, direction="left"),
    dict(max_length=10, strategy="only_first"),
    dict(max_length=10, strategy="only_second", stride=1),
    dict(max_length=4),
]
PADDING = [
    None,
    dict(),
    dict(length=40, direction="left", pad_id=3, pad_type_id=1, pad_token="<pad>"),
    dict(pad_to_multiple_of=8),
]


@pytest.mark.parametrize("name", ["bert-uncased", "llama3-like+added", "word-level"])
@pytest.mark.parametrize("truncation", TRUNCATION)
@pytest.mark.parametrize("padding", PADDING)
def test_truncation_and_padding(name, truncation, padding):
    ref = tokenizers.Tokenizer.from_str(document(name))
    ours = Tokenizer.from_str(document(name))
    for t in (ref, ours):
        t.enable_truncation(**truncation)
        if padding is None:
            t.no_padding()
        else:
            t.enable_padding(**padding)
    assert ours.truncation == ref.truncation
    assert ours.padding == ref.padding
    texts = [SAMPLES[4], SAMPLES[6], "short", SAMPLES[0] * 5]
    for a in texts:
        for b in (None, SAMPLES[7], "x"):
            same_or_both_refuse(lambda t: t.encode(a, b), ref, ours, f"{name} {truncation} {padding} {a[:20]!r} {b!r}")
    for batch in ([texts[0], (texts[1], texts[3]), texts[2]], [(t, "pair text here") for t in texts]):
        # The peer's threads report whichever failing input they meet first: a batch is
        # only required to fail with a truncation error too.
        same_or_both_refuse(lambda t: t.encode_batch(batch), ref, ours, f"{name} batch", same_message=False)


def same_or_both_refuse(call, ref, ours, where: str, same_message: bool = True) -> None:
    """The same encodings from both, or the peer's truncation error from both."""
    try:
        expected = call(ref)
    except Exception as e:  # the peer refuses: so must we, with its message
        assert str(e).startswith("Truncation error")
        with pytest.raises(ValueError) as info:
            call(ours)
        assert str(info.value) == str(e) if same_message else str(info.value).startswith("Truncation error")
        return
    got = call(ours)
    for e, g in zip(expected if isinstance(expected, list) else [expected],
                    got if isinstance(got, list) else [got]):
        assert_same(e, g, where)


# Pieces the SentencePiece-style files cut texts at: "▁" after a character some merge joins
# onto "▁" and after one none does, runs of "▁", unknown characters (byte fallback, fused
# unknowns) on either side of a cut.
CUT_PARTS = ["▁", "▁▁", " ", "   ", "e", "the", "s,", "☃", "\U0001F600", "日本", "<unk>", "x▁y", "\t", "a" * 40]


@pytest.mark.parametrize("name", ["llama2-like", "llama2-words", "llama2-like+added"])
def test_long_texts_are_cut_into_words_where_no_merge_crosses(name):
    import random

    ref, ours = pair_of(name)
    rng = random.Random(11)
    for i in range(80):
        text = "".join(rng.choice(CUT_PARTS) for _ in range(rng.randint(60, 400)))
        assert_same(ref.encode(text), ours.encode(text), f"{name} text {i}")


def test_file_settings_are_the_peers():
    ref, ours = pair_of("bert-uncased")
    assert ours.truncation == ref.truncation
    assert ours.padding == ref.padding
    assert len(ours.encode("short text")) == 128


@pytest.mark.parametrize("name", NAMES)
def test_vocabulary(name):
    ref, ours = pair_of(name)
    for added in (True, False):
        assert ours.get_vocab(with_added_tokens=added) == ref.get_vocab(with_added_tokens=added)
        assert ours.get_vocab_size(with_added_tokens=added) == ref.get_vocab_size(with_added_tokens=added)
    vocab = ref.get_vocab()
    for token, id in list(vocab.items())[:2000]:
        assert ours.token_to_id(token) == ref.token_to_id(token)
        assert ours.id_to_token(id) == ref.id_to_token(id)
    for missing in ("\x00never a token\x00", ""):
        assert ours.token_to_id(missing) == ref.token_to_id(missing)
    top = max(vocab.values())
    for id in (top + 1, top + 1000, 2**32 - 1):
        assert ours.id_to_token(id) == ref.id_to_token(id)


@pytest.mark.parametrize("name", ["gpt2", "llama2-like+added", "bert-uncased"])
def test_decode_of_unknown_and_special_ids(name):
    ref, ours = pair_of(name)
    top = ref.get_vocab_size()
    ids = [0, 1, 2, top + 5, 3, 2**31, 4]
    for skip in (True, False):
        assert ours.decode(ids, skip_special_tokens=skip) == ref.decode(ids, skip_special_tokens=skip)


def test_count_is_the_length_without_truncation_or_padding():
    ref, ours = pair_of("bert-uncased")
    text = " ".join(chunks("prose", 20_000))
    plain = tokenizers.Tokenizer.from_str(document("bert-uncased"))
    plain.no_truncation()
    plain.no_padding()
    assert ours.count(text) == len(plain.encode(text))
    assert ours.count(text, add_special_tokens=False) == len(plain.encode(text, add_special_tokens=False))
    assert ours.count_batch([text, "", "a b"]) == [len(plain.encode(t)) for t in (text, "", "a b")]


@pytest.mark.parametrize("name", ["llama3-like+added", "bert-uncased"])
def test_pickle_and_to_str_keep_the_pipeline_and_settings(name):
    _, ours = pair_of(name)
    tok = Tokenizer.from_str(document(name))
    tok.enable_truncation(20, stride=2, direction="left")
    tok.enable_padding(length=30, pad_id=1)
    again = pickle.loads(pickle.dumps(tok))
    assert again.truncation == tok.truncation and again.padding == tok.padding
    text = SAMPLES[4] * 3
    assert as_dict(again.encode(text)) == as_dict(tok.encode(text))
    # The saved document loads in the peer with the same settings and results.
    ref = tokenizers.Tokenizer.from_str(tok.to_str())
    assert ref.truncation == tok.truncation and ref.padding == tok.padding
    assert_same(ref.encode(text), tok.encode(text), "saved document")


def test_loading_forms(tmp_path):
    text = document("gpt2")
    path = tmp_path / "tokenizer.json"
    path.write_text(text, encoding="utf-8")
    for tok in (Tokenizer.from_file(path), Tokenizer.from_file(str(path)), Tokenizer.from_buffer(text.encode())):
        assert tok.encode("Hello there").ids == [15496, 612]


def doc_with(**changes) -> str:
    doc = json.loads(document("prefixed-bpe"))
    for key, value in changes.items():
        doc[key] = value
    return json.dumps(doc)


@pytest.mark.parametrize(
    "text, error, message",
    [
        ("{", ValueError, "tokenizer.json is not valid JSON: "),
        ("[]", ValueError, "tokenizer.json must be a JSON object"),
        ('{"version": "2.0", "model": {}}', ValueError, "Unknown tokenizer version '2.0'"),
        ("{}", ValueError, "tokenizer.json has no model"),
        (doc_with(normalizer={"type": "Precompiled2"}), ValueError, "unsupported normalizer: Precompiled2"),
        (doc_with(pre_tokenizer={"type": "UnicodeScripts"}), ValueError, "unsupported pre_tokenizer: UnicodeScripts"),
        (doc_with(decoder={"type": "Nope"}), ValueError, "Nope"),
        (doc_with(post_processor={"type": "Nope"}), ValueError, "Nope"),
        (doc_with(truncation={"max_length": 5, "stride": 0}), ValueError, 'truncation: missing field "strategy"'),
        (doc_with(truncation={"max_length": 5, "strategy": "Middle", "stride": 0}), ValueError,
         'truncation: field "strategy" must be'),
        (doc_with(truncation={"max_length": 5, "strategy": "LongestFirst", "stride": 4}), ValueError,
         "tokenizer stride set to 4, which is greater than or equal to its effective max length of 3"),
        (doc_with(padding={"strategy": "Longest"}), ValueError, 'padding: field "strategy" must be'),
        (doc_with(added_tokens=[{"content": 5}]), ValueError, "added_tokens"),
    ],
)
def test_load_errors(text, error, message):
    with pytest.raises(error) as info:
        Tokenizer.from_str(text)
    assert message in str(info.value)


def test_argument_errors(tmp_path):
    _, ours = pair_of("gpt2")
    with pytest.raises(TypeError, match="sequence must be a str, not bytes"):
        ours.encode(b"bytes")
    with pytest.raises(ValueError, match="lone surrogate"):
        ours.encode("a\ud800b")
    with pytest.raises(NotImplementedError, match="pre-tokenized input"):
        ours.encode(["a", "b"], is_pretokenized=True)
    with pytest.raises(TypeError, match="input 1 must be a str or a"):
        ours.encode_batch(["a", 3])
    with pytest.raises(ValueError, match=r"id out of range \(0 to 4294967295\): -1"):
        ours.decode([1, -1])
    with pytest.raises(TypeError, match="ids must be int, not str"):
        ours.decode(["1"])
    with pytest.raises(ValueError, match="direction must be 'left' or 'right', not 'up'"):
        ours.enable_padding(direction="up")
    with pytest.raises(ValueError, match="strategy must be"):
        ours.enable_truncation(10, strategy="middle")
    with pytest.raises(ValueError, match="embedded null byte"):
        Tokenizer.from_file("a\0b")
    with pytest.raises(RuntimeError, match="Cannot open tokenizer.json: "):
        Tokenizer.from_file(tmp_path / "missing.json")


def test_long_and_hostile_inputs():
    ref, ours = pair_of("llama2-like+added")
    for text in ["a" * 200_000, "▁" * 50_000, "<mask>" * 20_000, " " * 100_000, "\U0001F600" * 30_000]:
        assert_same(ref.encode(text), ours.encode(text), f"{text[:10]!r} x {len(text)}")


@pytest.mark.parametrize("name", ["gpt2", "llama2-words"])
def test_more_distinct_words_than_the_word_cache_holds(name):
    # 150,000 different words pass the cache's bound (it starts over when full), in one call
    # and again in the next, when the cache starts full of other words.
    ref, ours = pair_of(name)
    text = " ".join(distinct_words(150_000))
    expected = ref.encode(text).ids
    assert ours.encode(text).ids == expected
    assert ours.encode(text[::-1]).ids == ref.encode(text[::-1]).ids
    assert ours.count(text) == len(expected)
