"""The Unigram model and the Precompiled normalizer of tokenizer.json files against HuggingFace
`tokenizers`: Unigram tokenizers trained here with its UnigramTrainer (with and without byte
fallback, with SentencePiece's compiled normalization rules), hand-made vocabularies for the
tie and unknown rules, and the readers' errors."""

from __future__ import annotations

import base64
import itertools
import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvane
import corvane_core
import sentencepiece_models as spmodels

tokenizers = pytest.importorskip("tokenizers")


@pytest.fixture(scope="module")
def charsmap(tmp_path_factory) -> bytes:
    """The nmt_nfkc rules, as a SentencePiece trainer compiles them."""
    pytest.importorskip("sentencepiece")
    path = spmodels.train(tmp_path_factory.mktemp("charsmap"), "nfkc", model_type="bpe", vocab_size=300)
    return spmodels.precompiled_charsmap(path)


def precompiled_json(blob: bytes) -> dict:
    return {"type": "Precompiled", "precompiled_charsmap": base64.b64encode(blob).decode()}


def train_unigram(charsmap: bytes | None, byte_fallback: bool) -> str:
    from tokenizers import Tokenizer, decoders, models, normalizers, pre_tokenizers, trainers

    tok = Tokenizer(models.Unigram())
    tok.normalizer = normalizers.Precompiled(charsmap) if charsmap else normalizers.NFKC()
    tok.pre_tokenizer = pre_tokenizers.Metaspace()
    tok.decoder = decoders.Metaspace()
    trainer = trainers.UnigramTrainer(vocab_size=700, special_tokens=["<unk>", "<s>"], unk_token="<unk>",
                                      show_progress=False)
    lines: list[str] = []
    for name in spmodels.CORPORA:
        lines.extend(spmodels.corpus_text(name, 0, 40_000).splitlines())
    tok.train_from_iterator(lines, trainer)
    doc = json.loads(tok.to_str())
    if byte_fallback:
        vocab = doc["model"]["vocab"]
        low = min(score for _, score in vocab)
        vocab.extend([f"<0x{b:02X}>", low - 1.0] for b in range(256))
        doc["model"]["byte_fallback"] = True
        doc["decoder"] = {"type": "Sequence", "decoders": [{"type": "ByteFallback"}, doc["decoder"]]}
    return json.dumps(doc)


@pytest.fixture(scope="module")
def trained(charsmap):
    """name -> (tokenizers' tokenizer, corvane's), both loaded from the same document."""
    from tokenizers import Tokenizer

    out = {}
    for name, cm, bf in [("nfkc", None, False), ("precompiled", charsmap, False),
                         ("precompiled-byte-fallback", charsmap, True)]:
        doc = train_unigram(cm, bf)
        out[name] = (Tokenizer.from_str(doc), corvane.Tokenizer.from_str(doc))
    return out


def check(ref, ours, text: str) -> None:
    a = ref.encode(text)
    b = ours.encode(text)
    assert b.ids == a.ids, text
    assert b.offsets == a.offsets, text
    # A joined run of unknown characters is its own text to the peer (see below).
    unk = ref.token_to_id("<unk>")
    assert [t for t, i in zip(b.tokens, b.ids) if i != unk] == [t for t, i in zip(a.tokens, a.ids) if i != unk]
    assert ours.decode(a.ids) == ref.decode(a.ids)


@pytest.mark.parametrize("name", ["nfkc", "precompiled", "precompiled-byte-fallback"])
@pytest.mark.parametrize("corpus", spmodels.CORPORA)
def test_corpora(trained, name, corpus):
    ref, ours = trained[name]
    text = spmodels.corpus_text(corpus, 300_000, 30_000)
    for line in text.splitlines():
        check(ref, ours, line)
    check(ref, ours, text)


GRAPHEMES = ["e\u0301", "a\u0308\u0301", "ﬁ\u0301", "\r\n", "\U0001F468\u200d\U0001F469", "\U0001F1E6\U0001F1E8",
             "\u1100\u1161\u11a8", "\u0915\u094d\u0937", "\u0e01\u0e33", "\x1e", "™", "Å", "\u00ad", "\u3000",
             "①", "ｶ", "\uff9e", " ", "▁", "\x00", "\u200b", "\ufeff", "\u0600a", "\U000e0041"]
text_strategy = st.lists(st.one_of(st.characters(codec="utf-8"), st.sampled_from(GRAPHEMES)), max_size=30).map("".join)


@pytest.mark.parametrize("name", ["nfkc", "precompiled", "precompiled-byte-fallback"])
@settings(max_examples=150, deadline=None)
@given(text=text_strategy)
def test_random_unicode(trained, name, text):
    ref, ours = trained[name]
    check(ref, ours, text)


def test_tokens_of_unknown_runs(trained):
    ref, ours = trained["precompiled"]
    assert ours.encode("\U0001F600\U0001F600 x").tokens == ref.encode("\U0001F600\U0001F600 x").tokens


@pytest.fixture(scope="module")
def precompiled_pair(charsmap):
    from tokenizers import normalizers

    return normalizers.Precompiled(charsmap), corvane_core.Normalizer.from_json(json.dumps(precompiled_json(charsmap)))


@settings(max_examples=200, deadline=None)
@given(text=text_strategy)
def test_precompiled_normalizer_alone(precompiled_pair, text):
    """The normalized text (its alignments are compared through the tokenizers' offsets)."""
    ref, ours = precompiled_pair
    assert ours.normalize_str(text) == ref.normalize_str(text)


# Hand-made vocabularies: ties, unknowns, repeated pieces ---------------------------------

def model_doc(vocab, unk_id=0, byte_fallback=False) -> str:
    return json.dumps({"version": "1.0", "normalizer": None, "pre_tokenizer": None,
                       "model": {"type": "Unigram", "unk_id": unk_id, "vocab": vocab, "byte_fallback": byte_fallback},
                       "decoder": None, "post_processor": None, "added_tokens": []})


VOCABS = {
    # Every segmentation of "abc..." ties with another.
    "ties": [["<unk>", 0.0], ["a", -1.0], ["b", -1.0], ["c", -1.0], ["ab", -2.0], ["bc", -2.0], ["abc", -3.0],
             ["ca", -2.0], ["cab", -3.0]],
    # A repeated piece, an unknown token in the middle, a piece equal to it.
    "repeats": [["a", -1.0], ["<unk>", -5.0], ["b", -2.0], ["a", -0.5], ["ab", -4.0], ["<unk>", -1.0]],
    # Few single characters: unknown runs everywhere, "<unk>" itself a piece.
    "sparse": [["<unk>", 0.0], ["ab", -1.0], ["ca", -1.5], ["bca", -1.0], ["<unk>c", -0.1]],
    # Byte fallback with only some byte pieces.
    "bytes": [["<unk>", 0.0], ["a", -1.0], ["<0x63>", -2.0], ["<0x62>", -2.0], ["<0xC3>", -3.0], ["<0xA9>", -3.0]],
}
UNK_IDS = {"ties": 0, "repeats": 1, "sparse": 0, "bytes": 0}


@pytest.mark.parametrize("name", VOCABS)
@pytest.mark.parametrize("byte_fallback", [False, True])
def test_hand_made_vocabularies(name, byte_fallback):
    from tokenizers import Tokenizer

    doc = model_doc(VOCABS[name], UNK_IDS[name], byte_fallback)
    ref, ours = Tokenizer.from_str(doc), corvane.Tokenizer.from_str(doc)
    alphabet = "abc<unk>é"
    for n in range(1, 5):
        for chars in itertools.product(alphabet, repeat=n):
            text = "".join(chars)
            a, b = ref.encode(text), ours.encode(text)
            assert (b.ids, b.offsets) == (a.ids, a.offsets), text
    assert ours.get_vocab() == ref.get_vocab()
    assert ours.get_vocab_size() == ref.get_vocab_size()
    assert [ours.id_to_token(i) for i in range(len(VOCABS[name]) + 1)] == \
           [ref.id_to_token(i) for i in range(len(VOCABS[name]) + 1)]


def test_without_unknown_token():
    """The peer fails only where the unknown token would be taken."""
    from tokenizers import Tokenizer

    doc = model_doc([["a", -1.0], ["ab", -1.0], ["bc", -1.0], ["c", -5.0]], None)
    ref, ours = Tokenizer.from_str(doc), corvane.Tokenizer.from_str(doc)
    for text in ["a", "abc", "ac", "abcab", "abcc"]:
        assert ours.encode(text).ids == ref.encode(text).ids
    for text in ["b", "bc", "x", "ab x"]:
        with pytest.raises(Exception, match="Encountered an unknown token but `unk_id` is missing"):
            ref.encode(text)
        with pytest.raises(RuntimeError, match="^Encountered an unknown token but `unk_id` is missing$"):
            ours.encode(text)


def test_long_and_hostile_inputs(trained):
    ref, ours = trained["precompiled-byte-fallback"]
    for text in ["a" * 100_000, "▁" * 30_000, "\U0001F600" * 10_000, "e\u0301" * 20_000, "x " * 50_000]:
        assert ours.encode(text).ids == ref.encode(text).ids


# Errors -----------------------------------------------------------------------------------

MODEL_ERRORS = [
    ({"type": "Unigram"}, "model Unigram: Missing vocab"),
    ({"type": "Unigram", "vocab": [], "unk_id": 0}, "model Unigram: The vocabulary is empty but at least <unk> is needed"),
    ({"type": "Unigram", "vocab": [["a", 0.0]], "unk_id": 1}, "model Unigram: The `unk_id` is larger than vocabulary size"),
    ({"type": "Unigram", "vocab": {"a": 0}}, "model Unigram: field \"vocab\" must be a list of [piece, score] pairs"),
    ({"type": "Unigram", "vocab": [["a", "x"]]}, "model Unigram: vocab entry 0 must be a [piece, score] pair"),
    ({"type": "Unigram", "vocab": [["a", 0.0, 1]]}, "model Unigram: vocab entry 0 must be a [piece, score] pair"),
    ({"type": "Unigram", "vocab": [["a", True]]}, "model Unigram: vocab entry 0 must be a [piece, score] pair"),
    ({"type": "Unigram", "vocab": [["a", 0.0], "b"]}, "model Unigram: vocab entry 1 must be a [piece, score] pair"),
    ({"type": "Unigram", "vocab": [["a", 0.0], [["b"], 0.0]]}, "model Unigram: vocab entry 1 must be a [piece, score] pair"),
    ({"type": "Unigram", "vocab": [[1, 0.0]]}, "model Unigram: vocab entry 0 must be a [piece, score] pair"),
    ({"type": "Unigram", "vocab": [["a"]]}, "model Unigram: vocab entry 0 must be a [piece, score] pair"),
    ({"type": "Unigram", "vocab": [["a", None]]}, "model Unigram: vocab entry 0 must be a [piece, score] pair"),
    ({"vocab": [["a", 0.0]], "type": "Unigram", "unk_id": 1}, "model Unigram: The `unk_id` is larger than vocabulary size"),
    ({"type": "Unigram", "vocab": [["a", 0.0]], "unk_id": -1}, "model Unigram: field \"unk_id\" must be a non-negative integer"),
    ({"type": "Unigram", "vocab": [["a", 0.0]], "byte_fallback": 1}, "model Unigram: field \"byte_fallback\" must be true or false"),
    ({"type": "Unigram", "vocab": [["a", 0.0]], "dropout": 0.1}, "model Unigram: unsupported option \"dropout\""),
]


@pytest.mark.parametrize("model, message", MODEL_ERRORS)
def test_model_errors(model, message):
    doc = json.dumps({"model": model})
    with pytest.raises(ValueError) as info:
        corvane.Tokenizer.from_str(doc)
    assert str(info.value) == message
    if "unsupported option" not in message:  # the peer ignores fields it does not know
        with pytest.raises(Exception):
            tokenizers.Tokenizer.from_str(json.dumps({"version": "1.0", "model": model, "normalizer": None,
                                                      "pre_tokenizer": None, "post_processor": None,
                                                      "decoder": None, "added_tokens": []}))


def charsmap_errors(charsmap: bytes):
    trie_size = int.from_bytes(charsmap[:4], "little")
    return [
        ("", "invalid precompiled_charsmap: shorter than its 4-byte header"),
        ("AAE=", "invalid precompiled_charsmap: shorter than its 4-byte header"),
        ("AAE", "option precompiled_charsmap is not valid base64"),
        ("AA=B", "option precompiled_charsmap is not valid base64"),
        ("AAB=", "option precompiled_charsmap is not valid base64"),  # stray bits
        ("AA E=", "option precompiled_charsmap is not valid base64"),
        (base64.b64encode(b"\x03\x00\x00\x00abcd").decode(), "invalid precompiled_charsmap: trie size 3 is not a multiple of 4"),
        (base64.b64encode(b"\x00\x00\x00\x00abcd").decode(), "invalid precompiled_charsmap: the trie is empty"),
        (base64.b64encode(charsmap[:trie_size]).decode(), f"invalid precompiled_charsmap: trie size {trie_size} exceeds the data"),
        (base64.b64encode(charsmap[:4] + charsmap[4:trie_size + 4][:-4096] + b"\0" * 4096 + charsmap[trie_size + 4:]).decode(),
         None),  # a damaged trie: refused or harmless, never a crash
        (base64.b64encode(b"\x04\x00\x00\x00\x00\x04\x00\x00").decode(), "invalid precompiled_charsmap: the root's children lie outside the trie"),
        (base64.b64encode(charsmap + b"\xff").decode(), "invalid precompiled_charsmap: the replacement strings are not valid UTF-8"),
    ]


def test_precompiled_errors(charsmap):
    for text, message in charsmap_errors(charsmap):
        doc = json.dumps({"type": "Precompiled", "precompiled_charsmap": text})
        if message is None:
            try:
                n = corvane_core.Normalizer.from_json(doc)
            except ValueError as e:
                assert str(e).startswith("normalizer Precompiled: invalid precompiled_charsmap: ")
            else:
                n.normalize_str("".join(chr(c) for c in range(1, 0x3000)))
            continue
        with pytest.raises(ValueError) as info:
            corvane_core.Normalizer.from_json(doc)
        assert str(info.value) == "normalizer Precompiled: " + message, text


def test_damaged_tries_never_crash(charsmap):
    """Random damage to the units of a real trie: each map is refused at load or normalizes
    any text (every step of a search was checked at load)."""
    import random

    rng = random.Random(5)
    trie_size = int.from_bytes(charsmap[:4], "little")
    text = "".join(chr(c) for c in range(1, 0x2000)) + "ﬁ①ｶﾀｶﾅ™Å"
    refused = 0
    for _ in range(60):
        data = bytearray(charsmap)
        for _ in range(rng.randint(1, 8)):
            at = 4 + rng.randrange(trie_size)
            data[at] = rng.randrange(256)
        try:
            n = corvane_core.Normalizer.from_json(json.dumps(precompiled_json(bytes(data))))
        except ValueError as e:
            assert str(e).startswith("normalizer Precompiled: invalid precompiled_charsmap: ")
            refused += 1
        else:
            n.normalize_str(text)
    assert refused < 60


def test_long_replacements_of_compiled_rules(tmp_path):
    """Rules whose replacements are around and well past 255 bytes, compiled by
    SentencePiece's trainer, as tokenizers' Precompiled normalizer applies them, and the
    model file as sentencepiece encodes with it."""
    spm = pytest.importorskip("sentencepiece")
    lengths = {"é": 254, "è": 255, "ê": 256, "ë": 700, "ü": 1}
    rules = tmp_path / "rules.tsv"
    rules.write_text("".join(f"{ord(c):X}\t{' '.join(['78'] * n)}\n" for c, n in lengths.items())
                     + "41\t61\n", encoding="utf-8")
    path = spmodels.train(tmp_path, "long-rules", model_type="unigram", vocab_size=300,
                          normalization_rule_tsv=str(rules))
    blob = spmodels.precompiled_charsmap(path)
    ours = corvane_core.Normalizer.from_json(json.dumps(precompiled_json(blob)))
    peer = tokenizers.normalizers.Precompiled(blob)
    texts = ["é", "è ê", "Aë Büé", "ééééé", "plain text", "xëx" * 20, "A" * 300]
    for text in texts:
        assert ours.normalize_str(text) == peer.normalize_str(text), text
    processor = spm.SentencePieceProcessor(model_file=str(path))
    loaded = corvane.Tokenizer.from_sentencepiece(path)
    for text in texts:
        assert loaded.encode(text).ids == processor.encode(text), text
