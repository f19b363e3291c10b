"""How a loaded BPE tokenizer cuts text into pre-tokens, observed through `encode`.

The tokenizers here are loaded from rank files whose vocabulary holds every slice of the
text under test (see SliceVocabulary): each pre-token then encodes to one id of its own, so
the ids read back as the exact list of pre-tokens, boundaries and non-boundaries alike.
"""
from __future__ import annotations

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import reference_bpe as ref
from rank_file_support import PreTokenVocabulary, SliceVocabulary, load, single_bytes

import corvane_core

SP, NL, TAB, CR = " ", "\n", "\t", "\r"


def cut_of(directory, text: str | bytes) -> list[bytes]:
    data = text.encode() if isinstance(text, str) else text
    return SliceVocabulary(directory, data).cut()


def pre_tokens(*parts: str | bytes) -> list[bytes]:
    return [p.encode() if isinstance(p, str) else p for p in parts]


# Text, expected pre-tokens. "·" in a comment is a space.
EXAMPLES = [
    ("Hello world", ["Hello", " world"]),
    ("Hello  world", ["Hello", " ", " world"]),
    ("a   b", ["a", "  ", " b"]),
    ("hello   ", ["hello", "   "]),
    ("  hello", [" ", " hello"]),
    ("Hello\n\nworld", ["Hello", "\n", "\n", "world"]),
    ("x  \ny", ["x", "  ", "\n", "y"]),
    ("a\tb", ["a", "\t", "b"]),
    ("I'm here", ["I", "'m", " here"]),
    ("don't", ["don", "'t"]),
    ("DON'T", ["DON", "'", "T"]),
    ("'sun", ["'s", "un"]),
    (" 's", [" '", "s"]),
    ("it's  ok", ["it", "'s", " ", " ok"]),
    ("price: $100!", ["price", ":", " $", "100", "!"]),
    ("abc123def", ["abc", "123", "def"]),
    (" 2024", [" 2024"]),
    ("café!", ["caf", "é!"]),
    (" naïve", [" na", "ï", "ve"]),
    # The underscore is an ordinary other byte: never dropped.
    ("snake_case", ["snake", "_", "case"]),
    ("a _b", ["a", " _", "b"]),
    ("foo__bar", ["foo", "__", "bar"]),
    ("___", ["___"]),
    ("_", ["_"]),
    (" _", [" _"]),
    ("__init__", ["__", "init", "__"]),
    ("x_1", ["x", "_", "1"]),
    ("a_!b", ["a", "_!", "b"]),
    ("_é_", ["_é_"]),
]

EDGE_CASES = [
    ("", []),
    # Carriage return and line feed between words: two one-byte pre-tokens.
    ("x\r\ny", ["x", "\r", "\n", "y"]),
    # Trailing whitespace of any mix is one pre-token.
    ("word \t\n \r", ["word", " \t\n \r"]),
    ("x \n", ["x", " \n"]),
    ("   ", ["   "]),
    (" ", [" "]),
    ("\n", ["\n"]),
    ("\r\n", ["\r\n"]),
    # Only one space attaches, and only a space.
    ("a\nb", ["a", "\n", "b"]),
    ("a\r b", ["a", "\r", " b"]),
    ("a  \tb", ["a", "  ", "\t", "b"]),
    ("a \t b", ["a", " \t", " b"]),
    ("\n\nx", ["\n", "\n", "x"]),
    ("a\x0bb\x0cc", ["a", "\x0b", "b", "\x0c", "c"]),
    ("a \x0c b", ["a", " \x0c", " b"]),
    # Contractions: lower-case suffixes only, whatever follows.
    ("we're they've I'll he'd I'm it's don't",
     ["we", "'re", " they", "'ve", " I", "'ll", " he", "'d", " I", "'m", " it", "'s", " don", "'t"]),
    ("'sss", ["'s", "ss"]),
    ("x'dy", ["x", "'d", "y"]),
    ("'lx", ["'", "lx"]),
    ("'rE", ["'", "rE"]),
    ("'l", ["'", "l"]),
    ("'", ["'"]),
    ("''s", ["''", "s"]),
    ("'s's", ["'s", "'s"]),
    ("'s9", ["'s", "9"]),
    ("a 'll", ["a", " '", "ll"]),
    # Upper-case suffixes are not contractions.
    ("IT'S", ["IT", "'", "S"]),
    ("WE'LL", ["WE", "'", "LL"]),
    ("they'Re", ["they", "'", "Re"]),
    # Letters, digits and other bytes never share a pre-token.
    ("1a", ["1", "a"]),
    ("x1!", ["x", "1", "!"]),
    (" 123 !!!", [" 123", " !!!"]),
    (" é", [" é"]),
    # Only ASCII letters and digits are letters and digits: bytes from 0x80 up are other
    # bytes, and so are control bytes and DEL.
    ("naïve", ["na", "ï", "ve"]),
    ("a\u00a0b", ["a", "\u00a0", "b"]),
    ("a \u00a0", ["a", " \u00a0"]),
    ("x\u2003y", ["x", "\u2003", "y"]),
    ("a\x1cb", ["a", "\x1c", "b"]),
    ("a\x00b", ["a", "\x00", "b"]),
    ("\x00\x01\x7f~", ["\x00\x01\x7f~"]),
    ("١٢٣", ["١٢٣"]),
    # A special token's text gets no special treatment.
    ("<|endoftext|>", ["<|", "endoftext", "|>"]),
    ("a<|endoftext|>b", ["a", "<|", "endoftext", "|>", "b"]),
    # Non-ASCII text without ASCII letters, digits, whitespace or underscores: one pre-token.
    ("日本語、テスト。「引用」", ["日本語、テスト。「引用」"]),
    ("Привет, мир!", ["Привет,", " мир!"]),
]


@pytest.mark.parametrize("text, expected", EXAMPLES + EDGE_CASES, ids=repr)
def test_pre_token_table(tmp_path, text, expected):
    assert cut_of(tmp_path, text) == pre_tokens(*expected)
    # The table itself agrees with both transcriptions of the rules.
    assert ref.pre_tokenize(text.encode()) == pre_tokens(*expected)
    assert ref.pre_tokenize_rules(text.encode()) == pre_tokens(*expected)


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"\xff\xfeab", [b"\xff\xfe", b"ab"]),
        (b"a\xc3", [b"a", b"\xc3"]),
        (b" \x80\x80x", [b" \x80\x80", b"x"]),
        (b"'\xff", [b"'\xff"]),
    ],
    ids=repr,
)
def test_invalid_utf8_is_cut_like_any_bytes(tmp_path, data, expected):
    assert cut_of(tmp_path, data) == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        ("x" * 400, ["x" * 400]),
        ("7" * 400, ["7" * 400]),
        ("!?" * 200, ["!?" * 200]),
        ("_" * 400, ["_" * 400]),
        ("é" * 200, ["é" * 200]),
        (" " * 400, [" " * 400]),
        (" " * 400 + "x", [" " * 399, " x"]),
        ("\n" * 400 + "x", ["\n" * 399, "\n", "x"]),
        ("a" + " \t" * 200, ["a", " \t" * 200]),
        ("a" + "\t " * 200 + "b", ["a", ("\t " * 200)[:-1], " b"]),
    ],
    ids=lambda v: repr(v[:12]) if isinstance(v, str) else None,
)
def test_long_runs_are_single_pre_tokens(tmp_path, text, expected):
    assert cut_of(tmp_path, text) == pre_tokens(*expected)


def test_every_byte_survives(tmp_path):
    # With only the 256 single bytes in the vocabulary no two bytes can ever be joined, so
    # every byte of the text, underscores included, comes back as its own id.
    tok = load(tmp_path, single_bytes())
    data = bytes(range(256)) * 3 + b"snake_case __x__ _"
    assert tok.encode(data) == list(data)
    assert tok.count(data) == len(data)
    assert tok.decode(tok.encode("foo__bar_baz")) == "foo__bar_baz"
    assert tok.encode("___") == [0x5F] * 3


def test_pre_tokens_never_merge_across_boundaries(tmp_path):
    # "a b" is a vocabulary key, but "a" and " b" are separate pre-tokens.
    tok = load(tmp_path, single_bytes() + [(b"a b", 1000), (b" b", 1001), (b"a_", 1002), (b"_b", 1003)])
    assert tok.encode("a b") == [ord("a"), 1001]
    assert tok.encode("a_b") == [ord("a"), ord("_"), ord("b")]
    assert tok.encode("a b c") == [ord("a"), 1001, ord(" "), ord("c")]


# ---------------------------------------------------------------------------------------
# Property: the engine's cut equals the reference cut on random texts.
# ---------------------------------------------------------------------------------------

ALPHABET = (
    list("abZQ") + list("stremvld") + list("SLTD") + list("019") + ["'"] * 4
    + [" "] * 6 + ["\t", "\n", "\r", "\x0b", "\x0c"] + ["_"] * 3
    + list("!.,$<|>-") + ["é", "日", "\u00a0", "\x00", "\x1c", "\x7f"]
)

texts = st.lists(st.sampled_from(ALPHABET), max_size=28).map("".join)


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    return tmp_path_factory.mktemp("pretokenize")


@settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=texts)
def test_cut_matches_reference(scratch, text):
    data = text.encode()
    assert cut_of(scratch, data) == ref.pre_tokenize(data)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.binary(max_size=30))
def test_cut_of_arbitrary_bytes_matches_reference(scratch, data):
    assert cut_of(scratch, data) == ref.pre_tokenize(data)


# Longer texts made of runs of one class each, so that runs of every length end at every
# position: for these the vocabulary holds the reference pre-tokens only.
CLASS_ALPHABETS = ["abcXYZ", "0123456789", "!.~@[`{\x00\x7f_é日", " \t\n\r\x0b\x0c", "  \n", "'srtvemld", "_"]
run_texts = st.lists(
    st.sampled_from(CLASS_ALPHABETS).flatmap(lambda a: st.text(alphabet=a, min_size=1, max_size=45)),
    max_size=10,
).map("".join)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=run_texts)
def test_cut_of_long_runs_matches_reference(scratch, text):
    data = text.encode()
    expected = ref.pre_tokenize(data)
    vocab = PreTokenVocabulary(scratch, expected)
    assert vocab.tokenizer.encode(data) == vocab.expected(expected)


@settings(max_examples=300, deadline=None)
@given(data=st.one_of(texts.map(str.encode), run_texts.map(str.encode), st.binary(max_size=60)))
def test_reference_transcriptions_agree(data):
    # The oracle itself: the pattern and the rule-by-rule transcription cut alike, and the
    # pre-tokens cover the text exactly.
    cut = ref.pre_tokenize(data)
    assert cut == ref.pre_tokenize_rules(data)
    assert b"".join(cut) == data
    assert all(cut)


def test_empty_text_on_loaded_tokenizer(tmp_path):
    tok = load(tmp_path, single_bytes())
    assert tok.encode("") == []
    assert tok.count("") == 0
    assert tok.encode(b"") == []


def test_pre_tokenisation_is_independent_per_call(tmp_path):
    # One tokenizer, many calls in a row: no state carries over from one text to the next.
    text = "it's  a_b\r\n\tz "
    sv = SliceVocabulary(tmp_path, text.encode())
    first = sv.cut()
    for other in ["", "x", "'", " ", "\n\n", "_"]:
        sv.tokenizer.encode(other)
        assert sv.cut() == first
    assert first == ref.pre_tokenize(text.encode())
    assert isinstance(sv.tokenizer, corvane_core.BPETokenizer)
