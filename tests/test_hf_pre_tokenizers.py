"""HfPreTokenizer against HuggingFace tokenizers' own pre-tokenizers.

Every configuration is handed as the same tokenizer.json "pre_tokenizer" object to both: to
corvane_core.HfPreTokenizer.from_json and to tokenizers.Tokenizer.from_str (inside a minimal
document), whose pre_tokenizer is then one of tokenizers.pre_tokenizers.*. Pieces and
character offsets must be identical.
"""
from __future__ import annotations

import json
import pickle
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import shared_file
from corvane_core import HfPreTokenizer

tokenizers = pytest.importorskip("tokenizers")


def reference(config: dict):
    doc = {
        "version": "1.0",
        "model": {"type": "WordLevel", "vocab": {"[UNK]": 0}, "unk_token": "[UNK]"},
        "pre_tokenizer": config,
    }
    return tokenizers.Tokenizer.from_str(json.dumps(doc)).pre_tokenizer


def ours(config: dict) -> HfPreTokenizer:
    return HfPreTokenizer.from_json(json.dumps(config))


BEHAVIORS = ["Removed", "Isolated", "MergedWithPrevious", "MergedWithNext", "Contiguous"]
# Llama 3's pattern, GPT-4o-style case classes, and patterns that match the empty string.
LLAMA3 = (r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*"
          r"|\s*[\r\n]+|\s+(?!\S)|\s+")
QWEN2 = LLAMA3.replace(r"\p{N}{1,3}", r"\p{N}")
CLIP = (r"<\|startoftext\|>|<\|endoftext\|>|'s|'t|'re|'ve|'m|'ll|'d|[\p{L}]+|[\p{N}]|[^\s\p{L}\p{N}]+")
O200K_LIKE = (r"[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+"
              r"|[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*|\p{N}{1,3}"
              r"| ?[^\s\p{L}\p{N}]+[\r\n/]*|\s*[\r\n]+|\s+(?!\S)|\s+")


def split(pattern: str, behavior: str, invert: bool = False, kind: str = "Regex") -> dict:
    return {"type": "Split", "pattern": {kind: pattern}, "behavior": behavior, "invert": invert}


CONFIGS = {
    "byte_level": {"type": "ByteLevel", "add_prefix_space": True, "trim_offsets": True},
    "byte_level_no_prefix": {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": False},
    "byte_level_no_regex": {"type": "ByteLevel", "add_prefix_space": True, "trim_offsets": True,
                            "use_regex": False},
    "byte_level_bare": {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True,
                        "use_regex": False},
    "whitespace": {"type": "Whitespace"},
    "whitespace_split": {"type": "WhitespaceSplit"},
    "bert": {"type": "BertPreTokenizer"},
    "punctuation": {"type": "Punctuation"},
    **{f"punctuation_{b}": {"type": "Punctuation", "behavior": b} for b in BEHAVIORS},
    "digits": {"type": "Digits", "individual_digits": False},
    "digits_individual": {"type": "Digits", "individual_digits": True},
    "metaspace": {"type": "Metaspace", "replacement": "\u2581"},
    "metaspace_first": {"type": "Metaspace", "replacement": "\u2581", "prepend_scheme": "first"},
    "metaspace_never_nosplit": {"type": "Metaspace", "replacement": "\u2581", "prepend_scheme": "never",
                                "split": False},
    "metaspace_always_nosplit": {"type": "Metaspace", "replacement": "\u2581", "prepend_scheme": "always",
                                 "split": False},
    "metaspace_legacy": {"type": "Metaspace", "replacement": "_", "add_prefix_space": False,
                         "prepend_scheme": "never", "str_rep": "_"},
    "char_delimiter": {"type": "CharDelimiterSplit", "delimiter": "a"},
    "char_delimiter_wide": {"type": "CharDelimiterSplit", "delimiter": "\u3002"},
    **{f"split_string_{b}": split(" ", b, kind="String") for b in BEHAVIORS},
    "split_string_inverted": split("ab", "Isolated", True, kind="String"),
    "split_string_regex_chars": split(".*", "MergedWithNext", kind="String"),
    "split_string_empty": split("", "Isolated", kind="String"),
    **{f"split_regex_{b}": split(r"\s+|[,.]", b) for b in BEHAVIORS},
    **{f"split_regex_inverted_{b}": split(r"\p{L}+", b, True) for b in BEHAVIORS},
    "split_llama3": split(LLAMA3, "Isolated"),
    "split_qwen2": split(QWEN2, "Isolated"),
    "split_clip": split(CLIP, "Removed", True),
    "split_clip_matches": split(CLIP, "Isolated"),
    # One character more than a known pattern: the regex engine's matches.
    "split_llama3_variant": split(LLAMA3 + "|x", "Isolated"),
    "split_o200k_like": split(O200K_LIKE, "Isolated"),
    "split_digits_1_3": split(r"\p{N}{1,3}", "Isolated"),
    "split_empty_matches": split(r"x*", "MergedWithPrevious"),
    "split_classes": split(r"\w+|\d|[\p{P}\p{S}]|\W", "Contiguous"),
    "sequence_llama3": {"type": "Sequence", "pretokenizers": [
        split(LLAMA3, "Isolated"),
        {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True, "use_regex": False}]},
    "sequence_whitespace_metaspace": {"type": "Sequence", "pretokenizers": [
        {"type": "WhitespaceSplit"}, {"type": "Metaspace", "replacement": "\u2581", "prepend_scheme": "first"}]},
    "sequence_digits_punct": {"type": "Sequence", "pretokenizers": [
        {"type": "Digits", "individual_digits": True}, {"type": "Punctuation", "behavior": "MergedWithNext"},
        {"type": "Whitespace"}]},
    "sequence_metaspace_split": {"type": "Sequence", "pretokenizers": [
        {"type": "Metaspace", "replacement": "\u2581", "prepend_scheme": "always", "split": False},
        split("\u2581", "MergedWithNext", kind="String")]},
    "sequence_empty": {"type": "Sequence", "pretokenizers": []},
}

# One configuration per component (and the main options), for the long corpora.
CORPUS_CONFIGS = ["byte_level", "bert", "punctuation_MergedWithPrevious", "digits_individual",
                  "split_llama3", "split_qwen2", "split_clip", "split_llama3_variant",
                  "sequence_whitespace_metaspace"]


@pytest.fixture(scope="module")
def pairs():
    return {name: (ours(c), reference(c)) for name, c in CONFIGS.items()}


def assert_same(pair, text):
    mine, ref = pair
    assert mine.pre_tokenize_str(text) == ref.pre_tokenize_str(text)


FIXED_TEXTS = [
    "", " ", "   ", "a", "Hello, world!", "Hello  world's 12 \u2581x", "don't  STOP'LL 'd 're'VE",
    "the-final--countdown", "a--b,,c  d!!", "\u00dcn\u00efc\u00f6d\u00e9 \u65e5\u672c\u8a9e 123 \u0661\u0662\u0663 x\u00b2",
    "\u2028\t\n x \u3000y\u0085z\u00a0w", "  leading and trailing  ", "\u2581\u2581 \u2581a \u2581", "e\u0301\u0301 a\u20dd",
    "\U0001F600\U0001F469\u200d\U0001F467 ok", "$+<=>^`|~ \u00a1\u00bf \u061f \u3001\u3002 \u2018q\u2019",
    "\U00010D4A\U00010D4B letters of Unicode 16", "x\r\n\r\ny\n\n\nz", "aaaa", "abab ab",
    "'\u017f 'S '\u212a 'Ll 'lL 'rE 'x '", "a \n  ", "a\n \t", "x  \n\n  y  \u3000", " \n", "\t1 \u0661 ..\n\n ",
    "<|endoftext|>a<|startoftext|> x.<|endoftext|>y<|endof", "'RE 're'll'LL'x 'd9 12345 \u00bd\u00bd\u00bd\u00bd",
]


@pytest.mark.parametrize("name", list(CONFIGS))
@pytest.mark.parametrize("text", FIXED_TEXTS, ids=range(len(FIXED_TEXTS)))
def test_fixed_texts(pairs, name, text):
    assert_same(pairs[name], text)


# Random text drawn from the characters that make these components differ: whitespace of
# every kind, punctuation and symbols of many scripts, digits of other scripts, CJK,
# combining marks, the metaspace and byte-level stand-ins, apostrophes, and anything at all.
SPECIAL = ("\t\n\r\x0b\x0c \u0085\u00a0\u1680\u2000\u2007\u200a\u2028\u2029\u202f\u205f\u3000"
           "'\u2019!\"#$%&()*+,-./:;<=>?@[\\]^_`{|}~\u00a1\u00a7\u00b6\u00bf\u037e\u0387\u055d\u0589"
           "\u05be\u060c\u061b\u066a\u06d4\u0964\u0e4f\u104a\u166d\U000111c9\u2010\u2026\u2030\u203d\u2e3a"
           "\u3001\u3008\u30fb\uff01\uff0c\uff5e\U0001d7ce\u0660\u0669\u06f1\u0967\u0e51\uff11\u2160\u00bd"
           "\u2082\u0301\u0308\u0903\u20dd\u200c\u200d\u2581\u0120\u010a\u4e00\u65e5\u672c\uac00\u3042"
           "\u24b6\U0001F130\U00010D4A\U00011DE0\U00016FF4\U0001F600\ufeff\u00ad\U000E0041")
ALPHABET = st.one_of(
    st.sampled_from(SPECIAL),
    st.sampled_from("aAzZ09 xy"),
    st.characters(exclude_categories=("Cs",)),
)
TEXT = st.text(ALPHABET, max_size=60)


@pytest.mark.parametrize("name", list(CONFIGS))
@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=TEXT)
def test_random_unicode(pairs, name, text):
    assert_same(pairs[name], text)


@pytest.mark.parametrize("corpus", ["prose.txt", "code.txt", "multilingual.txt"])
def test_corpora(pairs, corpus):
    text = shared_file("corpus", corpus).read_text(encoding="utf-8")
    for name in CORPUS_CONFIGS:
        mine, ref = pairs[name]
        assert mine.pre_tokenize_str(text) == ref.pre_tokenize_str(text), name


# Every code point once, in order. A character put in the wrong class anywhere in Unicode
# moves the boundary of the run it sits in, so the pieces differ; with delimiters removed or
# runs merged there are few pieces to compare.
ALL_CODE_POINTS = "".join(chr(c) for c in range(0x110000) if not 0xD800 <= c < 0xE000)


@pytest.mark.parametrize("config", [
    {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": False},
    {"type": "Whitespace"},
    {"type": "WhitespaceSplit"},
    {"type": "BertPreTokenizer"},
    {"type": "Punctuation", "behavior": "Removed"},
    {"type": "Digits", "individual_digits": False},
    split(r"\w+", "Contiguous"),
    split(LLAMA3, "Contiguous"),
    split(QWEN2, "MergedWithNext"),
    split(CLIP, "Removed", True),
    split(r"\d+|\p{N}+|\p{L}+|\p{M}+|\p{P}+|\p{S}+|\p{Z}+|\p{C}+", "Isolated"),
    split(r"[\p{Lu}\p{Lt}]+|\p{Ll}+|\p{Lm}+|\p{Lo}+|\p{^Nd}+", "Isolated"),
    split(r"[^\s\p{L}\p{N}]+|\P{Mark}+", "Isolated"),
], ids=lambda c: json.dumps(c))
def test_every_code_point(config):
    assert ours(config).pre_tokenize_str(ALL_CODE_POINTS) == reference(config).pre_tokenize_str(ALL_CODE_POINTS)


def test_empty_match_after_a_match():
    config = split(r"a|(?=c)", "Isolated")
    assert ours(config).pre_tokenize_str("abc") == reference(config).pre_tokenize_str("abc")


# Hostile lengths: the pieces must still come out right and in linear time.
@pytest.mark.parametrize("name", ["byte_level", "whitespace", "bert", "metaspace", "split_llama3",
                                  "split_qwen2", "split_clip_matches", "digits", "punctuation_Contiguous"])
def test_ten_megabytes_without_spaces(pairs, name):
    text = "abcdefghij" * 1_000_000
    pieces = pairs[name][0].pre_tokenize_str(text)
    assert len(pieces) == 1
    piece, offsets = pieces[0]
    assert offsets == (0, len(text))
    assert piece.endswith("abcdefghij") and len(piece) in (len(text), len(text) + 1)


@pytest.mark.parametrize("name", ["byte_level", "byte_level_no_regex", "whitespace_split", "metaspace",
                                  "split_llama3", "split_qwen2", "split_clip", "split_string_MergedWithNext",
                                  "sequence_whitespace_metaspace"])
def test_a_megabyte_of_spaces(pairs, name):
    text = " " * 1_000_000 + "x"
    assert_same(pairs[name], text)


def test_ten_megabytes_of_mixed_text_matches_piecewise():
    # Cutting is local: a long text's pieces are its parts' pieces, shifted.
    mine = ours(CONFIGS["byte_level"])
    unit = "Hello, w\u00f6rld! 123 \u65e5\u672c\n"
    reps = 10_000_000 // len(unit.encode())
    pieces = mine.pre_tokenize_str(unit * reps)
    first = mine.pre_tokenize_str(unit)
    rest = ours(CONFIGS["byte_level_no_prefix"]).pre_tokenize_str(unit)
    assert pieces[:len(first)] == first
    n = len(unit)
    tail = pieces[len(first):len(first) + len(rest)]
    assert tail == [(p, (b + n, e + n)) for p, (b, e) in rest]
    assert len(pieces) == len(first) + (reps - 1) * len(rest)


ERRORS = [
    ({"type": "UnicodeScripts"}, "unsupported pre_tokenizer: UnicodeScripts"),
    ({"type": "Nope"}, "unsupported pre_tokenizer: Nope"),
    ({"type": "Delimiter", "delimiter": " "}, "unsupported pre_tokenizer: Delimiter"),
    ({"add_prefix_space": True}, 'pre_tokenizer must be an object with a string "type"'),
    ([], 'pre_tokenizer must be an object with a string "type"'),
    ({"type": 3}, 'pre_tokenizer must be an object with a string "type"'),
    ({"type": "Whitespace", "foo": 1}, "unsupported pre_tokenizer option: Whitespace.foo"),
    ({"type": "ByteLevel", "add_prefix_space": True, "trim_offsets": True, "regex": True},
     "unsupported pre_tokenizer option: ByteLevel.regex"),
    ({"type": "ByteLevel"}, "pre_tokenizer ByteLevel: missing field add_prefix_space"),
    ({"type": "ByteLevel", "add_prefix_space": True}, "pre_tokenizer ByteLevel: missing field trim_offsets"),
    ({"type": "ByteLevel", "add_prefix_space": 1, "trim_offsets": True},
     "pre_tokenizer ByteLevel: add_prefix_space must be a boolean"),
    ({"type": "ByteLevel", "add_prefix_space": True, "trim_offsets": True, "use_regex": None},
     "pre_tokenizer ByteLevel: use_regex must be a boolean"),
    ({"type": "Split", "pattern": {"String": " "}, "behavior": "Removed"}, "pre_tokenizer Split: missing field invert"),
    ({"type": "Split", "pattern": " ", "behavior": "Removed", "invert": False},
     'pre_tokenizer Split: pattern must be {"String": ...} or {"Regex": ...}'),
    ({"type": "Split", "pattern": {"Glob": "*"}, "behavior": "Removed", "invert": False},
     'pre_tokenizer Split: pattern must be {"String": ...} or {"Regex": ...}, not Glob'),
    ({"type": "Split", "pattern": {"String": " "}, "behavior": "removed", "invert": False},
     "pre_tokenizer Split: unknown behavior removed (expected Removed, Isolated, MergedWithPrevious, "
     "MergedWithNext or Contiguous)"),
    ({"type": "Split", "pattern": {"Regex": "("}, "behavior": "Removed", "invert": False},
     "pre_tokenizer Split: Oniguruma error: end pattern with unmatched parenthesis"),
    ({"type": "Split", "pattern": {"Regex": 5}, "behavior": "Removed", "invert": False},
     "pre_tokenizer Split: pattern must be a string"),
    ({"type": "Digits"}, "pre_tokenizer Digits: missing field individual_digits"),
    ({"type": "Digits", "individual_digits": None}, "pre_tokenizer Digits: individual_digits must be a boolean"),
    ({"type": "Punctuation", "behavior": None}, "pre_tokenizer Punctuation: behavior must be a string"),
    ({"type": "CharDelimiterSplit", "delimiter": "ab"}, "pre_tokenizer CharDelimiterSplit: delimiter must be one character"),
    ({"type": "CharDelimiterSplit"}, "pre_tokenizer CharDelimiterSplit: missing field delimiter"),
    ({"type": "Metaspace", "replacement": ""}, "pre_tokenizer Metaspace: replacement must be one character"),
    ({"type": "Metaspace", "replacement": "\u2581", "prepend_scheme": "First"},
     "pre_tokenizer Metaspace: unknown prepend_scheme First (expected always, first or never)"),
    ({"type": "Metaspace", "replacement": "\u2581", "add_prefix_space": False},
     "pre_tokenizer Metaspace: add_prefix_space does not match declared prepend_scheme"),
    ({"type": "Metaspace", "replacement": "\u2581", "split": 1}, "pre_tokenizer Metaspace: split must be a boolean"),
    ({"type": "Sequence"}, "pre_tokenizer Sequence: missing field pretokenizers"),
    ({"type": "Sequence", "pretokenizers": {}}, "pre_tokenizer Sequence: pretokenizers must be a list"),
    ({"type": "Sequence", "pretokenizers": [{"type": "Whitespace"}, {"type": "FixedLength"}]},
     "unsupported pre_tokenizer: FixedLength"),
]


@pytest.mark.parametrize("config, message", ERRORS, ids=[m for _, m in ERRORS])
def test_errors(config, message):
    with pytest.raises(ValueError) as info:
        HfPreTokenizer.from_json(json.dumps(config))
    assert str(info.value) == message


@pytest.mark.parametrize("config", [c for c, m in ERRORS if not m.startswith("unsupported pre_tokenizer option")
                                    and "UnicodeScripts" not in m and "FixedLength" not in m])
def test_errors_are_errors_for_the_peer_too(config):
    with pytest.raises(Exception):
        reference(config)


@pytest.mark.parametrize("text, message", [
    ("{", "pre_tokenizer is not valid JSON: "),
    ('{"type": "Sequence", "pretokenizers": [' * 80 + "]}" * 80, "pre_tokenizer Sequence: sequences nested more than 64 deep"),
    ('{"type": "Sequence", "pretokenizers": [' * 200_000, "pre_tokenizer is not valid JSON: "),
])
def test_malformed_json(text, message):
    with pytest.raises(ValueError) as info:
        HfPreTokenizer.from_json(text)
    assert str(info.value).startswith(message)


def test_text_with_a_lone_surrogate():
    with pytest.raises(TypeError, match="lone surrogate"):
        ours(CONFIGS["bert"]).pre_tokenize_str("a\ud800b")


def test_pickle_and_json_round_trip():
    text = '{"type": "Metaspace", "replacement": "_", "prepend_scheme": "first"}'
    pre = HfPreTokenizer.from_json(text)
    assert pre.to_json() == text
    again = pickle.loads(pickle.dumps(pre))
    assert again.pre_tokenize_str("a b") == pre.pre_tokenize_str("a b") == [("_a", (0, 1)), ("_b", (1, 3))]
    with pytest.raises(ValueError, match="invalid HfPreTokenizer pickle state"):
        HfPreTokenizer.__new__(HfPreTokenizer).__setstate__((2, text))


def test_uninitialised_instance_does_not_crash():
    blank = HfPreTokenizer.__new__(HfPreTokenizer)
    with pytest.raises(TypeError, match="object is not initialized: it was never built by from_json"):
        blank.pre_tokenize_str("a")
    with pytest.raises(TypeError, match="object is not initialized"):
        blank.to_json()


def test_pieces_release_the_interpreter():
    # Pre-tokenizing a long text from two threads gives each the right answer.
    import threading
    pre = ours(CONFIGS["split_llama3"])
    text = "It's 2024, and \u65e5\u672c\u8a9e works. " * 20_000
    expected = pre.pre_tokenize_str(text)
    results = []
    threads = [threading.Thread(target=lambda: results.append(pre.pre_tokenize_str(text))) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected, expected]


if __name__ == "__main__":
    sys.exit(pytest.main([__file__, "-q"]))
