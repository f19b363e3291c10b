"""Models of tokenizer.json files (BPE, WordPiece, WordLevel) against HuggingFace tokenizers.

Each model is built twice from the same "model" object: by tokenizers (the reference:
Tokenizer.from_str(...).model) and by corvane_core.Model. The models are the real GPT-2
and BERT ones, and small ones trained here on the shared corpora with tokenizers' own
trainers, then given every option of their type. Pieces are the corpora's words, random
Unicode and long runs. Where tokenizers is too slow to serve as a reference (WordPiece on
a 100 KB piece is quadratic there), a plain reference of its rule stands in, itself
checked against tokenizers on short pieces.
"""
from __future__ import annotations

import copy
import json
import pickle
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import shared_file
from corvane_core import Model

tokenizers = pytest.importorskip("tokenizers")
from tokenizers import Tokenizer, models, pre_tokenizers, trainers  # noqa: E402

CORPORA = ("prose", "code", "multilingual")
# Distinct words taken from each corpus, in order of first appearance.
WORDS_PER_CORPUS = 2500
TRAIN_BYTES = 120_000
LONG = 100_000


# ---------------------------------------------------------------------------------------
# Both sides.
# ---------------------------------------------------------------------------------------


def peer_tokenizer_of(model: dict) -> Tokenizer:
    doc = {"version": "1.0", "truncation": None, "padding": None, "added_tokens": [], "normalizer": None,
           "pre_tokenizer": None, "post_processor": None, "decoder": None, "model": model}
    return Tokenizer.from_str(json.dumps(doc))


def peer_of(model: dict):
    return peer_tokenizer_of(model).model


def peer_tokens(peer, piece: str):
    return [(t.id, t.value, t.offsets) for t in peer.tokenize(piece)]


def outcome(fn, piece):
    """The tokens, or the failure's message."""
    try:
        return fn(piece)
    except Exception as e:  # noqa: BLE001 - tokenizers raises a bare Exception
        return ("error", str(e))


class Pair:
    """One model JSON, built by both sides."""

    def __init__(self, model: dict):
        self.json = model
        self.peer_tokenizer = peer_tokenizer_of(model)
        self.peer = self.peer_tokenizer.model
        self.ours = Model.from_json(json.dumps(model))

    def check(self, pieces):
        mismatches = []
        for piece in pieces:
            want = outcome(lambda p: peer_tokens(self.peer, p), piece)
            got = outcome(self.ours.tokenize, piece)
            if want != got:
                mismatches.append((piece, want, got))
        assert not mismatches[:3], f"{len(mismatches)} pieces differ"


# ---------------------------------------------------------------------------------------
# Data.
# ---------------------------------------------------------------------------------------


def corpus_text(name: str) -> str:
    return shared_file("corpus", f"{name}.txt").read_text(encoding="utf-8")


@pytest.fixture(scope="session")
def corpus_words():
    """Distinct whitespace-separated words of each corpus."""
    out = {}
    for name in CORPORA:
        seen = dict.fromkeys(corpus_text(name).split())
        out[name] = list(seen)[:WORDS_PER_CORPUS]
    return out


@pytest.fixture(scope="session")
def all_words(corpus_words):
    return [w for name in CORPORA for w in corpus_words[name]]


@pytest.fixture(scope="session")
def training_lines():
    lines = []
    for name in CORPORA:
        lines += corpus_text(name)[:TRAIN_BYTES].splitlines()
    return lines


def long_pieces(corpus_words):
    rng = random.Random(7)
    out = ["a" * LONG, "é" * (LONG // 2)]
    for name in CORPORA:
        words = corpus_words[name][:]
        rng.shuffle(words)
        out.append("".join(words)[:LONG])
    return out


# ---------------------------------------------------------------------------------------
# Models trained here.
# ---------------------------------------------------------------------------------------


def train(model, trainer, lines, lowercase=False) -> dict:
    tok = Tokenizer(model)
    tok.pre_tokenizer = pre_tokenizers.Whitespace()
    tok.train_from_iterator([line.lower() for line in lines] if lowercase else lines, trainer)
    return json.loads(tok.to_str())["model"]


BYTE_TOKENS = [f"<0x{b:02X}>" for b in range(256)]


def with_byte_tokens(model: dict, skip=()) -> dict:
    m = copy.deepcopy(model)
    next_id = max(m["vocab"].values()) + 1
    for b, token in enumerate(BYTE_TOKENS):
        if b not in skip:
            m["vocab"][token] = next_id
            next_id += 1
    return m


def legacy_merges(model: dict) -> dict:
    m = copy.deepcopy(model)
    assert all(" " not in a + b for a, b in m["merges"])
    m["merges"] = ["#version: 0.2"] + [f"{a} {b}" for a, b in m["merges"]]
    return m


def options(model: dict, **changes) -> dict:
    m = copy.deepcopy(model)
    m.update(changes)
    return m


@pytest.fixture(scope="session")
def trained(training_lines):
    """The base models, trained once: a small alphabet leaves many characters unknown."""
    def bpe(**kw):
        trainer = trainers.BpeTrainer(vocab_size=1000, special_tokens=["[UNK]"], limit_alphabet=120,
                                      show_progress=False, **kw)
        return train(models.BPE(unk_token="[UNK]", **kw), trainer, training_lines)

    def wordpiece(lowercase):
        trainer = trainers.WordPieceTrainer(vocab_size=1500, special_tokens=["[UNK]"], limit_alphabet=150,
                                            show_progress=False)
        return train(models.WordPiece(unk_token="[UNK]"), trainer, training_lines, lowercase=lowercase)

    word_level_trainer = trainers.WordLevelTrainer(vocab_size=2000, special_tokens=["[UNK]"], show_progress=False)
    return {
        "bpe": bpe(),
        "bpe_prefix": bpe(continuing_subword_prefix="##"),
        "bpe_suffix": bpe(end_of_word_suffix="</w>"),
        "bpe_both": bpe(continuing_subword_prefix="##", end_of_word_suffix="</w>"),
        "wordpiece_cased": wordpiece(False),
        "wordpiece_uncased": wordpiece(True),
        "word_level": train(models.WordLevel(unk_token="[UNK]"), word_level_trainer, training_lines),
    }


# Every option at least once: name -> how to derive the model JSON from the base models.
CONFIGS = {
    "bpe_unk": lambda t: options(t["bpe"], fuse_unk=False),
    "bpe_unk_fused": lambda t: options(t["bpe"], fuse_unk=True),
    "bpe_no_unk": lambda t: options(t["bpe"], unk_token=None),
    "bpe_unk_not_in_vocab": lambda t: options(t["bpe"], unk_token="<missing>"),
    "bpe_byte_fallback": lambda t: options(with_byte_tokens(t["bpe"]), byte_fallback=True),
    # Some bytes missing: the characters holding them fall back to unk, fused or not.
    "bpe_byte_fallback_partial": lambda t: options(with_byte_tokens(t["bpe"], skip={0xA4, 0x9F, 0xE4}),
                                                   byte_fallback=True),
    "bpe_byte_fallback_partial_fused": lambda t: options(with_byte_tokens(t["bpe"], skip={0xA4, 0x9F, 0xE4}),
                                                         byte_fallback=True, fuse_unk=True),
    "bpe_byte_fallback_no_unk": lambda t: options(with_byte_tokens(t["bpe"], skip={0xC3}), byte_fallback=True,
                                                  unk_token=None),
    "bpe_ignore_merges": lambda t: options(t["bpe"], ignore_merges=True),
    "bpe_legacy_merges": lambda t: legacy_merges(t["bpe"]),
    "bpe_dropout_zero": lambda t: options(t["bpe"], dropout=0.0),
    "bpe_dropout_one": lambda t: options(t["bpe"], dropout=1.0, ignore_merges=True),
    "bpe_no_type": lambda t: {k: v for k, v in t["bpe"].items() if k != "type"},
    "bpe_prefix": lambda t: t["bpe_prefix"],
    # Byte fallback covers the prefix's bytes too: offsets run past the piece.
    "bpe_prefix_byte_fallback": lambda t: options(with_byte_tokens(t["bpe_prefix"]), byte_fallback=True,
                                                  fuse_unk=True),
    "bpe_suffix": lambda t: options(t["bpe_suffix"], fuse_unk=True),
    "bpe_suffix_byte_fallback": lambda t: options(with_byte_tokens(t["bpe_suffix"], skip={0x3E}),
                                                  byte_fallback=True),
    "bpe_prefix_suffix": lambda t: legacy_merges(options(t["bpe_both"], ignore_merges=True)),
    "wordpiece_cased": lambda t: options(t["wordpiece_cased"], max_input_chars_per_word=8),
    "wordpiece_uncased": lambda t: options(t["wordpiece_uncased"], max_input_chars_per_word=12),
    "wordpiece_other_prefix": lambda t: options(
        t["wordpiece_cased"], continuing_subword_prefix="@@",
        vocab={(f"@@{k[2:]}" if k.startswith("##") else k): v for k, v in t["wordpiece_cased"]["vocab"].items()}),
    "wordpiece_unk_not_in_vocab": lambda t: options(t["wordpiece_cased"], unk_token="<missing>"),
    "wordpiece_no_type": lambda t: {k: v for k, v in t["wordpiece_uncased"].items() if k != "type"},
    "word_level": lambda t: t["word_level"],
    "word_level_unk_not_in_vocab": lambda t: options(t["word_level"], unk_token="<missing>"),
    "word_level_no_type": lambda t: {k: v for k, v in t["word_level"].items() if k != "type"},
}


@pytest.fixture(scope="session")
def pairs(trained):
    return {name: Pair(make(trained)) for name, make in CONFIGS.items()}


# ---------------------------------------------------------------------------------------
# Differential tests.
# ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("config", list(CONFIGS))
def test_trained_models_on_corpus_words(pairs, all_words, config):
    pairs[config].check(all_words)


def test_the_configs_exercise_what_they_are_named_after(pairs, all_words):
    """Guards against configurations that test nothing: unknown tokens, byte tokens,
    offsets past the piece, failures and merges all occur."""
    def outcomes(config):
        return [outcome(pairs[config].ours.tokenize, w) for w in all_words[::5]]

    unk = pairs["bpe_unk"].ours.token_to_id("[UNK]")
    assert any(len([t for t in toks if t[0] == unk]) > 1 for toks in outcomes("bpe_unk") if toks[0] != "error")
    byte_ids = {pairs["bpe_byte_fallback"].ours.token_to_id(t) for t in BYTE_TOKENS}
    assert any(t[0] in byte_ids for toks in outcomes("bpe_byte_fallback") for t in toks)
    assert any(toks[-1][2][1] > len(w.encode()) for w, toks in
               zip(all_words[::5], outcomes("bpe_prefix_byte_fallback")))
    assert any(toks[0] == "error" for toks in outcomes("bpe_unk_not_in_vocab"))
    assert any(toks[0] == "error" for toks in outcomes("word_level_unk_not_in_vocab"))
    assert any(len(toks) > 2 for toks in outcomes("wordpiece_cased"))
    assert sum(len(toks) for toks in outcomes("bpe_dropout_one")) > sum(len(toks) for toks in outcomes("bpe_unk"))


@pytest.mark.parametrize("config", ["bpe_unk_fused", "bpe_byte_fallback_partial", "bpe_prefix_byte_fallback",
                                    "bpe_suffix", "bpe_prefix_suffix", "bpe_ignore_merges", "wordpiece_cased",
                                    "word_level"])
@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_random_unicode_pieces(pairs, config, data):
    pair = pairs[config]
    known = sorted({c for token in pair.json["vocab"] for c in token})
    alphabet = st.one_of(st.sampled_from(known), st.characters(blacklist_categories=("Cs",)))
    piece = data.draw(st.text(alphabet=alphabet, min_size=1, max_size=40))
    pair.check([piece])


@pytest.mark.parametrize("config", ["bpe_unk_fused", "bpe_no_unk", "bpe_byte_fallback_partial_fused",
                                    "bpe_prefix_suffix"])
def test_long_pieces(pairs, corpus_words, config):
    pair = pairs[config]
    pair.check(long_pieces(corpus_words))


# ---------------------------------------------------------------------------------------
# The real files.
# ---------------------------------------------------------------------------------------


def real_file(name):
    doc = json.loads(shared_file(name).read_text(encoding="utf-8"))
    return Tokenizer.from_str(json.dumps(doc)), Pair(doc["model"])


def pipeline_pieces(tok, texts):
    """The pieces tokenizers' own normalizer and pre-tokenizer give, distinct."""
    pieces = {}
    for text in texts:
        if tok.normalizer is not None:
            text = tok.normalizer.normalize_str(text)
        pieces.update(dict.fromkeys(p for p, _ in tok.pre_tokenizer.pre_tokenize_str(text)))
    return list(pieces)


@pytest.mark.parametrize("name", ["gpt2-tokenizer.json", "bert-uncased-tokenizer.json"])
def test_real_models(name, corpus_words):
    tok, pair = real_file(name)
    texts = [corpus_text(c)[:200_000] for c in CORPORA]
    pieces = pipeline_pieces(tok, texts)
    assert len(pieces) > 5000
    # The raw words too: for GPT-2 their characters are mostly not byte-level ones and
    # are dropped (no unknown token); for BERT, cased and accented words fall to [UNK].
    raw = [w for c in CORPORA for w in corpus_words[c]]
    pair.check(pieces + raw)
    assert pair.ours.get_vocab() == pair.peer_tokenizer.get_vocab(with_added_tokens=False)


def test_real_bpe_on_long_pieces(corpus_words):
    _, pair = real_file("gpt2-tokenizer.json")
    mapped = "".join(corpus_words["prose"])[:LONG].replace(" ", "Ġ")
    pair.check([long_pieces(corpus_words)[-1], mapped, "Ġ" * LONG])


# ---------------------------------------------------------------------------------------
# WordPiece on long pieces: a plain reference of tokenizers' rule, which tokenizers runs in
# quadratic time.
# ---------------------------------------------------------------------------------------


class ReferenceWordPiece:
    """tokenizers' WordPiece rule, trying only the lengths tokens have."""

    def __init__(self, model: dict):
        self.model = model
        prefix = model["continuing_subword_prefix"]
        # The character lengths tokens can have, longest first, at the start and after it.
        self.first_lengths = sorted({len(t) for t in model["vocab"]}, reverse=True)
        self.next_lengths = sorted({len(t) - len(prefix) for t in model["vocab"]
                                    if t.startswith(prefix) and len(t) > len(prefix)}, reverse=True)

    def __call__(self, piece: str):
        return reference_wordpiece(self.model, self.first_lengths, self.next_lengths, piece)


def reference_wordpiece(model: dict, first_lengths, next_lengths, piece: str):
    vocab, prefix, unk = model["vocab"], model["continuing_subword_prefix"], model["unk_token"]

    def unknown():
        if unk not in vocab:
            return ("error", "WordPiece error: Missing [UNK] token from the vocabulary")
        return [(vocab[unk], unk, (0, len(piece.encode())))]

    if len(piece) > model["max_input_chars_per_word"]:
        return unknown()
    out, start, byte_start = [], 0, 0
    while start < len(piece):
        for length in (next_lengths if start > 0 else first_lengths):
            end = start + length
            if end > len(piece):
                continue
            text = (prefix if start > 0 else "") + piece[start:end]
            if text in vocab:
                byte_end = byte_start + len(piece[start:end].encode())
                out.append((vocab[text], text, (byte_start, byte_end)))
                start, byte_start = end, byte_end
                break
        else:
            return unknown()
    return out


@pytest.mark.parametrize("config", ["wordpiece_cased", "wordpiece_uncased", "wordpiece_other_prefix",
                                    "wordpiece_unk_not_in_vocab"])
def test_wordpiece_reference_agrees_with_tokenizers(pairs, all_words, config):
    pair = pairs[config]
    reference = ReferenceWordPiece(pair.json)
    for w in all_words[::3]:
        assert reference(w) == outcome(lambda p: peer_tokens(pair.peer, p), w)


@pytest.mark.parametrize("config", ["wordpiece_uncased"])
def test_wordpiece_long_pieces(pairs, corpus_words, config):
    model = options(pairs[config].json, max_input_chars_per_word=10 * LONG)
    ours = Model.from_json(json.dumps(model))
    pieces = long_pieces(corpus_words)
    reference = ReferenceWordPiece(model)
    for piece in pieces + [p.lower() for p in pieces[2:]]:
        assert ours.tokenize(piece) == reference(piece)
    # Over the limit, the whole piece is unknown whatever it holds.
    limited = options(model, max_input_chars_per_word=LONG - 1)
    assert Model.from_json(json.dumps(limited)).tokenize("a" * LONG) == [(model["vocab"]["[UNK]"], "[UNK]", (0, LONG))]


# ---------------------------------------------------------------------------------------
# Vocabulary access, state.
# ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("config", ["bpe_byte_fallback", "wordpiece_cased", "word_level", "bpe_no_type"])
def test_vocabulary_access(pairs, config):
    pair = pairs[config]
    vocab = pair.ours.get_vocab()
    assert vocab == pair.peer_tokenizer.get_vocab(with_added_tokens=False)
    assert pair.ours.get_vocab_size() == len(vocab) == pair.peer_tokenizer.get_vocab_size(with_added_tokens=False)
    probes = list(vocab)[::7] + ["", "<nope>", "é" * 3]
    assert [pair.ours.token_to_id(t) for t in probes] == [pair.peer.token_to_id(t) for t in probes]
    ids = list(range(-1, len(vocab) + 3, 5)) + [2**32 - 1]
    ids = [i for i in ids if i >= 0]
    assert [pair.ours.id_to_token(i) for i in ids] == [pair.peer.id_to_token(i) for i in ids]


def test_pickle_round_trip(pairs, all_words):
    pair = pairs["bpe_prefix_byte_fallback"]
    again = pickle.loads(pickle.dumps(pair.ours))
    assert again.to_json() == pair.ours.to_json()
    assert [again.tokenize(w) for w in all_words[::20]] == [pair.ours.tokenize(w) for w in all_words[::20]]


def test_duplicate_ids_and_keys_follow_tokenizers():
    # A later equal key replaces the earlier one, as JSON readers do; ids may be sparse.
    text = '{"type": "BPE", "vocab": {"a": 0, "b": 7, "a": 9, "ab": 4000000000}, "merges": [["a", "b"]]}'
    ours = Model.from_json(text)
    peer = Tokenizer.from_str(json.dumps({"version": "1.0", "added_tokens": [], "model": None}).replace(
        '"model": null', '"model": ' + text))
    for piece in ["ab", "ba", "aab", "b"]:
        assert ours.tokenize(piece) == peer_tokens(peer.model, piece)
    assert ours.get_vocab() == peer.get_vocab(with_added_tokens=False) == {"a": 9, "b": 7, "ab": 4000000000}


# ---------------------------------------------------------------------------------------
# Errors.
# ---------------------------------------------------------------------------------------

V = {"a": 0, "b": 1, "ab": 2, "[UNK]": 3}

# model JSON -> our message, and the text of tokenizers' own message where it fails the
# same way (None where it accepts the model, or panics).
LOAD_ERRORS = [
    ({"type": "BPE", "vocab": V, "merges": [["a", "c"]]}, "model BPE: Token `c` out of vocabulary",
     "Token `c` out of vocabulary"),
    ({"type": "BPE", "vocab": {"a": 0, "b": 1}, "merges": [["a", "b"]]}, "model BPE: Token `ab` out of vocabulary",
     None),  # tokenizers panics
    ({"type": "BPE", "vocab": V, "merges": ["a b", "b  a"]}, "model BPE: Merges text file invalid at line 2",
     "Merges text file invalid at line 2"),
    ({"type": "BPE", "vocab": V, "merges": ["#version: 0.2", "a"]}, "model BPE: Merges text file invalid at line 1",
     "Merges text file invalid at line 1"),
    ({"type": "BPE", "vocab": V, "merges": ["a b", ["a", "b"]]},
     'model BPE: field "merges" must be a list of "left right" strings or a list of [left, right] pairs (not both)',
     "data did not match any variant of untagged enum MergeType"),
    ({"type": "BPE", "vocab": V, "merges": [["a", "b", "c"]]},
     'model BPE: field "merges" must be a list of "left right" strings or a list of [left, right] pairs',
     "data did not match any variant of untagged enum MergeType"),
    ({"type": "BPE", "vocab": V}, "model BPE: Missing vocab/merges", "Missing vocab/merges"),
    ({"type": "BPE", "merges": []}, "model BPE: Missing vocab/merges", "Missing vocab/merges"),
    ({"type": "BPE", "vocab": V, "merges": [], "dropout": 1.5},
     "model BPE: Dropout should be between 0 and 1, inclusive", "Dropout should be between 0 and 1, inclusive"),
    ({"type": "BPE", "vocab": V, "merges": [], "dropout": 0.25},
     "model BPE: dropout 0.25 is not supported: it makes tokenization random (only null, 0 and 1 are)", None),
    ({"type": "BPE", "vocab": V, "merges": [], "fuse_unk": "yes"},
     'model BPE: field "fuse_unk" must be true, false or null', 'invalid type: string "yes", expected a boolean'),
    ({"type": "BPE", "vocab": V, "merges": [], "unk_token": 3},
     'model BPE: field "unk_token" must be a string or null', "invalid type: integer `3`, expected a string"),
    ({"type": "BPE", "vocab": V, "merges": [], "dropout": "0"},
     'model BPE: field "dropout" must be a number or null', None),
    ({"type": "BPE", "vocab": {"a": 1.5}, "merges": []},
     'model BPE: the id of vocab token "a" must be a non-negative integer', "expected u32"),
    ({"type": "BPE", "vocab": {"a": 2**32}, "merges": []},
     'model BPE: the id of vocab token "a" must be at most 4294967295', "expected u32"),
    ({"type": "BPE", "vocab": ["a"], "merges": []},
     'model BPE: field "vocab" must be an object mapping each token to its id', None),
    ({"type": "BPE", "vocab": V, "merges": [], "suffix": "x"}, 'model BPE: unsupported option "suffix"', None),
    ({"type": "WordPiece", "vocab": V, "unk_token": "[UNK]", "continuing_subword_prefix": "##"},
     'model WordPiece: missing field "max_input_chars_per_word"', "missing field `max_input_chars_per_word`"),
    ({"type": "WordPiece", "vocab": V, "unk_token": "[UNK]", "continuing_subword_prefix": "##",
      "max_input_chars_per_word": -1},
     'model WordPiece: field "max_input_chars_per_word" must be a non-negative integer', "expected usize"),
    ({"type": "WordPiece", "vocab": V, "unk_token": None, "continuing_subword_prefix": "##",
      "max_input_chars_per_word": 5}, 'model WordPiece: field "unk_token" must be a string', "expected a string"),
    ({"type": "WordLevel", "vocab": V}, 'model WordLevel: missing field "unk_token"', "missing field `unk_token`"),
    ({"type": "WordLevel", "vocab": V, "unk_token": "[UNK]", "max_input_chars_per_word": 5},
     'model WordLevel: unsupported option "max_input_chars_per_word"', None),
    ({"type": "Unigram", "vocab": [], "unk_id": 0},
     "model Unigram: The vocabulary is empty but at least <unk> is needed", "EmptyVocabulary"),
    ({"vocab": [], "unk_id": 0}, "model Unigram: The vocabulary is empty but at least <unk> is needed", None),
    ({"type": "Unigram", "vocab": [["a", 0.0]], "unk_id": 3},
     "model Unigram: The `unk_id` is larger than vocabulary size", "UnkIdNotInVocabulary"),
    ({"type": "SentencePiece", "vocab": V}, "unsupported model: SentencePiece",
     "data did not match any variant of untagged enum ModelUntagged"),
    ({"type": 3}, 'model: field "type" must be a string', None),
    ({"type": "BPE", "vocab": [["a", 0.0]], "merges": []},
     'model BPE: field "vocab" must be an object mapping each token to its id', None),
    ({"vocab": V}, 'model without "type": it is none of BPE, WordPiece and WordLevel (model BPE: Missing '
     'vocab/merges; model WordPiece: missing field "unk_token"; model WordLevel: missing field "unk_token")',
     "data did not match any variant of untagged enum ModelUntagged"),
    ([], "model: expected a JSON object, got array", None),
]


def whole_document(model_text: str, before: str = "") -> str:
    return '{"version": "1.0", "added_tokens": [], ' + before + '"model": ' + model_text + "}"


# Documents whose model the document reader cannot take into its tables (repeated tokens,
# ids or fields, sparse ids, mixed merge forms): loaded whole, they give the peer's model.
ODD_DOCUMENTS = [
    whole_document('{"type": "BPE", "vocab": {"a": 0, "b": 7, "a": 9, "ab": 4000000000}, "merges": [["a", "b"]]}'),
    whole_document('{"type": "BPE", "vocab": {"a": 0, "b": 1, "ab": 1}, "merges": ["a b"]}'),
    whole_document('{"type": "BPE", "vocab": {"a": 0, "b": 1}, "merges": [], "vocab": {"a": 1, "b": 0, "ab": 2}, '
                   '"merges": ["a b"]}'),
    whole_document('{"type": "BPE", "vocab": {"a": 0, "b": 1, "ab": 2}, "merges": ["a b"]}',
                   before='"model": {"type": "BPE", "vocab": {"x": 0}, "merges": []}, '),
    whole_document('{"type": "WordLevel", "vocab": {"a": 2, "b": 1, "[UNK]": 0, "b": 5}, "unk_token": "[UNK]"}'),
    whole_document('{"vocab": {"a": 0, "b": 1, "ab": 2}, "merges": [["a", "b"]]}'),
]


@pytest.mark.parametrize("document", ODD_DOCUMENTS)
def test_odd_documents_load_as_the_peer_loads_them(document):
    from corvane_core import Pipeline
    ours = Pipeline.from_str(document)
    peer = Tokenizer.from_str(document)
    for piece in ["ab", "ba", "aab", "b", "a"]:
        assert ours.encode(piece).ids == peer.encode(piece).ids, piece
    assert ours.get_vocab(False) == peer.get_vocab(with_added_tokens=False)


# The same documents spelled in every way JSON allows (escapes, surrogate pairs, spacing,
# number forms, a byte-order mark): each loads as its plain spelling loads in the peer.
SPELLINGS = [
    whole_document('{"type": "BPE", "vocab": {"\\u0061": 0, "\\u00E9": 1, "\\ud83d\\ude00": 2, "a\\/b": 3, '
                   '"\\n": 4, "\\"q\\"": 5, "\\\\": 6, "\\t\\b\\f\\r": 7, "a\\u00e9": 8}, '
                   '"merges": ["a \\u00e9"]}'),
    whole_document('{"type": "BPE", "vocab": {"a": 0, "\\u00e9": 1, "a\u00e9": 2}, "merges": [["a", "\\u00E9"]]}'),
    whole_document('\r\n\t{ "type" :"BPE" ,\n"vocab":{"a":0 ,\t"b" :1,"ab"\r\n:2 } , "merges" : [ "a b" ] }\n\t '),
    whole_document('{"type": "Unigram", "unk_id": 0, "vocab": [["<unk>", 0], ["a", -1.5e0], ["b", -2.25E+1], '
                   '["ab", -0.5], ["ba", -1E-2], ["\\u00e9", -3.0]]}'),
    whole_document('{"type": "WordLevel", "vocab": {"a": 0, "b": 1, "[UNK]": 2}, "unk_token": "[\\u0055NK]"}'),
    "\ufeff" + whole_document('{"type": "BPE", "vocab": {"a": 0, "b": 1, "ab": 2}, "merges": ["a b"]}'),
    whole_document('{"unk_id": 0, "vocab": [["<unk>", 0], ["a", -1], ["b", -2], ["ab", -1]], "type": "Unigram"}'),
    whole_document('{"type": "Unigram", "unk_id": 0, "vocab": [["<unk>", 0], ["a", -1], ["b", -2], ["ab", -1]]}',
                   before='"model": {"type": "Unigram", "unk_id": 0, "vocab": [["<unk>", 0], ["ab", -9]]}, '),
]


@pytest.mark.parametrize("document", SPELLINGS)
def test_documents_load_as_their_plain_spelling(document):
    from corvane_core import Pipeline
    ours = Pipeline.from_str(document)
    peer = Tokenizer.from_str(json.dumps(json.loads(document.lstrip("\ufeff"))))
    for piece in ["ab", "ba", "aab", "b", "a", "a\u00e9", "\u00e9a", "a/b", "\n"]:
        assert ours.encode(piece).ids == peer.encode(piece).ids, piece
    assert ours.get_vocab(False) == peer.get_vocab(with_added_tokens=False)


@pytest.mark.parametrize("model, message, peer_message", LOAD_ERRORS)
def test_load_errors_of_whole_documents(model, message, peer_message):
    """The vocab and merges are read apart from the rest of a document: whatever their
    shape, the document fails as its model alone does."""
    from corvane_core import Pipeline
    with pytest.raises(ValueError) as info:
        Pipeline.from_str(whole_document(json.dumps(model)))
    assert str(info.value) == message


@pytest.mark.parametrize("model, message, peer_message", LOAD_ERRORS)
def test_load_errors(model, message, peer_message):
    with pytest.raises(ValueError) as info:
        Model.from_json(json.dumps(model))
    assert str(info.value) == message
    if peer_message is not None:
        with pytest.raises(Exception, match=peer_message.replace("[", r"\[").replace("`", "`")):
            peer_of(model)


def test_invalid_json_text():
    with pytest.raises(ValueError, match="^invalid model JSON: "):
        Model.from_json('{"type": "BPE",')


@pytest.mark.parametrize("model, piece, message", [
    ({"type": "BPE", "vocab": V, "merges": [], "unk_token": "<unk>"}, "xa", "Unk token `<unk>` not found in the vocabulary"),
    ({"type": "WordPiece", "vocab": V, "unk_token": "<unk>", "continuing_subword_prefix": "##",
      "max_input_chars_per_word": 3}, "abab", "WordPiece error: Missing [UNK] token from the vocabulary"),
    ({"type": "WordPiece", "vocab": V, "unk_token": "<unk>", "continuing_subword_prefix": "##",
      "max_input_chars_per_word": 9}, "ba", "WordPiece error: Missing [UNK] token from the vocabulary"),
    ({"type": "WordLevel", "vocab": V, "unk_token": "<unk>"}, "ba", "WordLevel error: Missing [UNK] token from the vocabulary"),
])
def test_tokenize_errors(model, piece, message):
    with pytest.raises(RuntimeError) as info:
        Model.from_json(json.dumps(model)).tokenize(piece)
    assert str(info.value) == message
    assert outcome(lambda p: peer_tokens(peer_of(model), p), piece) == ("error", message)


def test_lone_surrogate_piece_is_refused():
    with pytest.raises(ValueError, match="lone surrogate"):
        Model.from_json(json.dumps({"type": "WordLevel", "vocab": V, "unk_token": "[UNK]"})).tokenize("a\ud800")


def test_uninitialized_instance_is_refused():
    with pytest.raises(TypeError, match="not initialized"):
        Model.__new__(Model).tokenize("a")


EDGE_VOCAB = {"a": 0, "[UNK]": 1, "": 2}


@pytest.mark.parametrize("model", [
    {"type": "BPE", "vocab": EDGE_VOCAB, "merges": []},
    {"type": "BPE", "vocab": EDGE_VOCAB, "merges": [], "ignore_merges": True, "unk_token": "[UNK]"},
    {"type": "WordPiece", "vocab": EDGE_VOCAB, "unk_token": "[UNK]", "continuing_subword_prefix": "##",
     "max_input_chars_per_word": 0},
    {"type": "WordPiece", "vocab": EDGE_VOCAB, "unk_token": "[UNK]", "continuing_subword_prefix": "",
     "max_input_chars_per_word": 5},
    {"type": "WordLevel", "vocab": EDGE_VOCAB, "unk_token": "[UNK]"},
    {"type": "WordLevel", "vocab": {"a": 0}, "unk_token": "[UNK]"},
], ids=lambda m: m["type"])
def test_edge_pieces(model):
    # The empty piece (a token of its own for WordLevel), a limit of 0 characters, the
    # empty token and an empty prefix.
    Pair(model).check(["", "a", "aa", "b", "ab", "é"])
