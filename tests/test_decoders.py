"""Decoders of tokenizer.json files against HuggingFace tokenizers' own decoders.

Each decoder is built twice from the same JSON: by tokenizers (the reference) and by
corvane_core.Decoder. Where tokenizers fails by design (it panics on some Strip inputs),
ours is held to a plain reference of its documented behaviour instead.
"""
from __future__ import annotations

import json
import os
import pickle

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import shared_file
from corvane_core import Decoder

tokenizers = pytest.importorskip("tokenizers")
from tokenizers import Regex  # noqa: E402
from tokenizers import decoders as hf  # noqa: E402


def ours_of(reference) -> Decoder:
    return Decoder.from_json(reference.__getstate__())


# Every component and option, as tokenizers builds it.
CONFIGS = {
    "byte_level": hf.ByteLevel(),
    "wordpiece": hf.WordPiece(),
    "wordpiece_no_cleanup": hf.WordPiece(prefix="##", cleanup=False),
    "wordpiece_other_prefix": hf.WordPiece(prefix="@@", cleanup=True),
    "wordpiece_empty_prefix": hf.WordPiece(prefix="", cleanup=True),
    "metaspace_always": hf.Metaspace(),
    "metaspace_first": hf.Metaspace(replacement="▁", prepend_scheme="first", split=False),
    "metaspace_never": hf.Metaspace(replacement="▁", prepend_scheme="never"),
    "metaspace_other_char": hf.Metaspace(replacement="😀", prepend_scheme="always"),
    "bpe_decoder": hf.BPEDecoder(),
    "bpe_decoder_empty_suffix": hf.BPEDecoder(suffix=""),
    "bpe_decoder_long_suffix": hf.BPEDecoder(suffix="aaaaaaaaaaaaaaaaaaab"),
    "byte_fallback": hf.ByteFallback(),
    "fuse": hf.Fuse(),
    "replace_string": hf.Replace("▁", " "),
    "replace_empty_string": hf.Replace("", "+"),
    "replace_regex": hf.Replace(Regex(r"\s+"), "_"),
    "replace_regex_empty_matches": hf.Replace(Regex(r"a*|(?=c)"), "<>"),
    "replace_regex_lookbehind": hf.Replace(Regex(r"(?<=\p{L})#+"), ""),
    "ctc": hf.CTC(),
    "ctc_no_cleanup": hf.CTC(pad_token="<pad>", word_delimiter_token="|", cleanup=False),
    "ctc_empty_delimiter": hf.CTC(pad_token="", word_delimiter_token="", cleanup=True),
    # Llama 2 / Mistral.
    "sentencepiece_chain": hf.Sequence([hf.Replace("▁", " "), hf.ByteFallback(), hf.Fuse(), hf.Strip(" ", 1, 0)]),
    "nested_sequence": hf.Sequence([hf.Sequence([hf.ByteFallback()]), hf.Metaspace(), hf.Sequence([])]),
    "byte_level_after_fuse": hf.Sequence([hf.Fuse(), hf.ByteLevel()]),
}

# Token lists that exercise each behaviour on purpose.
EXAMPLES = [
    [],
    [""],
    ["Hello", "Ġworld", "!"],
    ["Ġ日", "æĹ¥", "âĤ", "¬"],  # a non-alphabet character keeps its token whole; a split character
    ["âĢ"],  # bytes that end inside a character
    ["\u0100\u0101", "\u0143ÿ", "ĠĠ"],
    ["un", "##aff", "##able", ",", "isn", "'", "t", "it", "?", "do", "not", "##"],
    ["hello", " .", " ?", " !", " ,", " ' ", " n't", " 'm", " do not", " 's", " 've", " 're"],
    ["▁Hello", "▁wor", "ld", "▁", "▁▁", "a▁b▁"],
    ["▁▁lead", "x"],
    ["😀a😀", "b😀"],
    ["hel", "lo</w>", "wor", "ld</w>", "</w></w>"],
    ["aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "aaaaaaaaaaaaaaaaaaab"],
    ["<0xE2>", "<0x82>", "<0xAC>", "a", "<0xE2>", "b", "<0xF0>", "<0x9F>", "<0x98>", "<0x80>"],
    ["<0x+F>", "<0xg0>", "<0x41", "<0X41>", "<0x4A>", "<0xe2><0x82>", "<0xé>", "<0x41>>"],
    ["<0xFF>", "<0xC0>", "<0x80>"],
    ["<pad>", "h", "h", "e", "|", "l", "l", "<pad>", "l", "o", "<pad><pad>", "|", "|"],
    ["a  b", "\tc\n", "  "],
    ["abc", "bc", "aab", "caca"],
    ["word###", "###", "é#"],
]


@pytest.mark.parametrize("name", sorted(CONFIGS))
@pytest.mark.parametrize("tokens", EXAMPLES, ids=range(len(EXAMPLES)))
def test_examples_match_tokenizers(name, tokens):
    reference = CONFIGS[name]
    assert ours_of(reference).decode(tokens) == reference.decode(tokens)


# --- Random token lists -------------------------------------------------------------------

PIECES = st.sampled_from([
    "▁", "▁▁", "Ġ", "ĠĠ", "Ċ", "##", "@@", "</w>", "<pad>", "|", " ", "  ", "\t", "\n", ".", "?", "!",
    ",", "'", " ' ", "n't", " do not", "'s", "a", "b", "c", "é", "日本", "😀", "\u0301", "#", "aaaab",
])
BYTE_TOKENS = st.integers(0, 255).map(lambda b: f"<0x{b:02X}>") | st.sampled_from(["<0x+A>", "<0xZZ>", "<0x4>", "<0x041>"])
TOKEN = st.one_of(
    st.text(max_size=6),
    st.lists(PIECES, max_size=4).map("".join),
    BYTE_TOKENS,
    st.text(alphabet=st.characters(min_codepoint=0x21, max_codepoint=0x143), max_size=5),  # the byte alphabet
)
TOKEN_LISTS = st.lists(TOKEN, max_size=12)


@pytest.mark.parametrize("name", sorted(CONFIGS))
@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(tokens=TOKEN_LISTS)
def test_random_tokens_match_tokenizers(name, tokens):
    reference = CONFIGS[name]
    assert ours_of(reference).decode(tokens) == reference.decode(tokens)


# --- Strip: the peer panics when a token is all `content` and the counts reach past it ----


def strip_reference(token: str, content: str, start: int, stop: int) -> str:
    """Up to `start` leading and `stop` trailing copies of `content` removed; a token with
    too few other characters for both ends becomes empty."""
    begin = 0
    while begin < start and begin < len(token) and token[begin] == content:
        begin += 1
    end = len(token)
    removed = 0
    while removed < stop and end > begin and token[end - 1] == content:
        end -= 1
        removed += 1
    return token[begin:end]


def peer_panics_on(token: str, content: str, start: int, stop: int) -> bool:
    """Mirrors the peer's index arithmetic: which inputs make it panic."""
    chars = list(token)
    start_cut = 0
    for i, c in enumerate(chars[:start]):
        if c != content:
            break
        start_cut = i + 1
    stop_cut = len(chars)
    for i in range(stop):
        index = len(chars) - i - 1
        if index < 0:
            return True
        if chars[index] != content:
            break
        stop_cut = index
    return start_cut > stop_cut


@settings(max_examples=300, deadline=None)
@given(
    tokens=st.lists(st.text(alphabet=st.sampled_from(" ab▁😀"), max_size=6), max_size=5),
    content=st.sampled_from([" ", "▁", "😀", "a"]),
    start=st.integers(0, 7),
    stop=st.integers(0, 7),
)
def test_strip(tokens, content, start, stop):
    reference = hf.Strip(content, start, stop)
    ours = ours_of(reference)
    expected = "".join(strip_reference(t, content, start, stop) for t in tokens)
    assert ours.decode(tokens) == expected
    if not any(peer_panics_on(t, content, start, stop) for t in tokens):
        assert reference.decode(tokens) == expected


def test_strip_counts_beyond_any_token():
    ours = Decoder.from_json('{"type": "Strip", "content": "x", "start": 18446744073709551615, "stop": 18446744073709551615}')
    assert ours.decode(["xxaxx", "xxx", "", "axa"]) == "aaxa"


# --- Real tokenizers on the shared corpora -------------------------------------------------


def corpus_chunks(name: str, size: int = 2000):
    text = shared_file("corpus", name).read_text(encoding="utf-8")
    return [text[i:i + size] for i in range(0, len(text), size)]


@pytest.mark.parametrize("tokenizer_file", ["gpt2-tokenizer.json", "bert-uncased-tokenizer.json"])
def test_decoder_of_real_files_on_corpora(tokenizer_file):
    path = shared_file(tokenizer_file)
    reference = tokenizers.Tokenizer.from_file(str(path))
    reference.no_truncation()
    reference.no_padding()
    ours = Decoder.from_json(json.dumps(json.loads(path.read_text(encoding="utf-8"))["decoder"]))
    for corpus in ("prose.txt", "code.txt", "multilingual.txt"):
        for chunk in corpus_chunks(corpus)[::7]:
            tokens = reference.encode(chunk, add_special_tokens=False).tokens
            assert ours.decode(tokens) == reference.decoder.decode(tokens)


def test_byte_level_splits_characters_across_tokens_of_a_corpus():
    # Byte-level tokens of multilingual text cut characters in the middle; slices of the
    # token list end inside characters, which decode to U+FFFD as the peer's lossy UTF-8.
    path = shared_file("gpt2-tokenizer.json")
    reference = tokenizers.Tokenizer.from_file(str(path))
    ours = Decoder.from_json('{"type": "ByteLevel", "add_prefix_space": true, "trim_offsets": true}')
    tokens = reference.encode(corpus_chunks("multilingual.txt", 20000)[3]).tokens
    for cut in range(0, len(tokens), 37):
        part = tokens[cut:cut + 5]
        assert ours.decode(part) == reference.decoder.decode(part)


# --- Loading: what is read, and what is refused -------------------------------------------

ACCEPTED = [
    # Options that only other stages use are read and checked, then ignored.
    ('{"type": "ByteLevel", "add_prefix_space": false, "trim_offsets": false}', ["Ġa"], " a"),
    ('{"type": "ByteLevel", "add_prefix_space": true, "trim_offsets": true, "use_regex": false}', ["Ġa"], " a"),
    # The older Metaspace forms.
    ('{"type": "Metaspace", "replacement": "▁", "add_prefix_space": true}', ["▁a", "▁b"], "a b"),
    ('{"type": "Metaspace", "replacement": "▁", "add_prefix_space": false, "prepend_scheme": "never"}', ["▁a"], " a"),
    ('{"type": "Metaspace", "replacement": "▁", "add_prefix_space": true, "prepend_scheme": "never", "str_rep": "▁"}',
     ["▁a"], " a"),
    ('{"type": "Sequence", "decoders": []}', ["a", "b"], "ab"),
]


@pytest.mark.parametrize("text, tokens, expected", ACCEPTED)
def test_accepted_forms_match_tokenizers(text, tokens, expected):
    document = {"version": "1.0", "model": {"type": "WordLevel", "vocab": {"[UNK]": 0}, "unk_token": "[UNK]"},
                "decoder": json.loads(text)}
    reference = tokenizers.Tokenizer.from_str(json.dumps(document)).decoder
    assert reference.decode(tokens) == expected
    assert Decoder.from_json(text).decode(tokens) == expected


REFUSED = [
    ('{"type": "Nope"}', 'unsupported decoder type "Nope"'),
    ('{"suffix": "</w>"}', 'decoder: missing field "type"'),
    ('{"type": 3}', 'decoder: field "type" must be a string'),
    ("[]", "decoder: expected a JSON object, got array"),
    ("null", "decoder: expected a JSON object, got null"),
    ("{", "invalid decoder JSON: "),
    ('{"type": "Fuse", "x": 1}', 'decoder Fuse: unsupported option "x"'),
    ('{"type": "ByteFallback", "x": 1}', 'decoder ByteFallback: unsupported option "x"'),
    ('{"type": "ByteLevel"}', 'decoder ByteLevel: missing field "add_prefix_space"'),
    ('{"type": "ByteLevel", "add_prefix_space": 1, "trim_offsets": true}',
     'decoder ByteLevel: field "add_prefix_space" must be true or false'),
    ('{"type": "BPEDecoder"}', 'decoder BPEDecoder: missing field "suffix"'),
    ('{"type": "BPEDecoder", "suffix": 1}', 'decoder BPEDecoder: field "suffix" must be a string'),
    ('{"type": "WordPiece", "prefix": "##"}', 'decoder WordPiece: missing field "cleanup"'),
    ('{"type": "Metaspace", "replacement": "ab"}', 'decoder Metaspace: field "replacement" must be a single character'),
    ('{"type": "Metaspace", "replacement": ""}', 'decoder Metaspace: field "replacement" must be a single character'),
    ('{"type": "Metaspace", "replacement": "_", "add_prefix_space": false}',
     "decoder Metaspace: add_prefix_space does not match declared prepend_scheme"),
    ('{"type": "Metaspace", "replacement": "_", "prepend_scheme": "sometimes"}',
     'decoder Metaspace: field "prepend_scheme" must be "always", "first" or "never"'),
    ('{"type": "Strip", "content": " ", "start": -1, "stop": 0}',
     'decoder Strip: field "start" must be a non-negative integer'),
    ('{"type": "Strip", "content": " ", "start": 1.0, "stop": 0}',
     'decoder Strip: field "start" must be a non-negative integer'),
    ('{"type": "Strip", "content": " ", "start": 1}', 'decoder Strip: missing field "stop"'),
    ('{"type": "Replace", "pattern": "x", "content": ""}',
     'decoder Replace: field "pattern" must be {"String": ...} or {"Regex": ...}'),
    ('{"type": "Replace", "pattern": {"Glob": "x"}, "content": ""}',
     'decoder Replace: field "pattern" must be {"String": ...} or {"Regex": ...}'),
    ('{"type": "Replace", "pattern": {"String": "x", "Regex": "y"}, "content": ""}',
     'decoder Replace: field "pattern" must be {"String": ...} or {"Regex": ...}'),
    ('{"type": "Replace", "pattern": {"Regex": "("}, "content": ""}',
     "decoder Replace: Oniguruma error: end pattern with unmatched parenthesis"),
    ('{"type": "Replace", "pattern": {"String": "x"}}', 'decoder Replace: missing field "content"'),
    ('{"type": "CTC"}', 'decoder CTC: missing field "pad_token"'),
    ('{"type": "Sequence", "decoders": {}}', 'decoder Sequence: field "decoders" must be a list'),
    ('{"type": "Sequence", "decoders": [{"type": "Fuse"}, {"type": "Nope"}]}',
     'unsupported decoder type "Nope" at decoders[1]'),
    ('{"type": "Sequence", "decoders": [{"type": "Sequence", "decoders": [{"type": "Strip"}]}]}',
     'decoder decoders[0].decoders[0] (Strip): missing field "content"'),
]


@pytest.mark.parametrize("text, message", REFUSED)
def test_refused_with_a_message_naming_the_decoder(text, message):
    with pytest.raises(ValueError) as info:
        Decoder.from_json(text)
    assert str(info.value).startswith(message)
    if message.startswith("invalid decoder JSON"):
        return
    # tokenizers refuses the others too. It ignores options it does not know, takes an
    # object without a type for whichever component its fields fit, and reads null as "no
    # decoder": a Decoder object refuses all three.
    if "unsupported option" in message or text in ('{"suffix": "</w>"}', "null"):
        return
    document = {"version": "1.0", "model": {"type": "WordLevel", "vocab": {"[UNK]": 0}, "unk_token": "[UNK]"},
                "decoder": json.loads(text)}
    with pytest.raises(Exception):
        tokenizers.Tokenizer.from_str(json.dumps(document))


def test_sequence_nesting_limit():
    def nested(depth):
        return '{"type": "Sequence", "decoders": [' * depth + '{"type": "Fuse"}' + "]}" * depth

    assert Decoder.from_json(nested(64)).decode(["a", "b"]) == "ab"
    with pytest.raises(ValueError, match="Sequence nesting deeper than 64"):
        Decoder.from_json(nested(65))
    with pytest.raises(ValueError, match="Sequence nesting deeper than 64"):
        Decoder.from_json(nested(100000))


# --- The Python surface --------------------------------------------------------------------


def test_constructor_json_forms_and_pickle():
    text = '{"type": "Metaspace", "replacement": "▁", "prepend_scheme": "first", "split": true}'
    for d in (Decoder(text), Decoder.from_json(text.encode()), Decoder.from_json(bytearray(text.encode()))):
        assert d.to_json() == text
        copy = pickle.loads(pickle.dumps(d))
        assert copy.to_json() == text
        assert copy.decode(["▁a", "▁b"]) == d.decode(["▁a", "▁b"]) == "a b"


@pytest.mark.parametrize("tokens, error, message", [
    ("ab", TypeError, "tokens must be a list of str, not str"),
    (iter(["a"]), TypeError, "tokens must be a list of str, not list_iterator"),
    (["a", 1], TypeError, "tokens[1] must be str, not int"),
    (["a", b"b"], TypeError, "tokens[1] must be str, not bytes"),
    (["\ud800"], ValueError, "tokens[0] has no UTF-8 form (it holds a lone surrogate)"),
])
def test_decode_argument_errors(tokens, error, message):
    d = Decoder('{"type": "Fuse"}')
    with pytest.raises(error) as info:
        d.decode(tokens)
    assert str(info.value) == message


def test_tuple_of_tokens():
    assert Decoder('{"type": "Fuse"}').decode(("a", "b")) == "ab"


@pytest.mark.parametrize("state", [None, (1,), (2, b"{}"), (1, "{}"), (1, b'{"type": "Nope"}')])
def test_bad_pickle_state(state):
    d = Decoder.__new__(Decoder)
    with pytest.raises((ValueError, TypeError)):
        d.__setstate__(state)


# --- Long and hostile inputs ---------------------------------------------------------------

# A tenth of it under the sanitizers (CORVANE_SANITIZED=1), whose checks make each token
# cost far more.
MILLION = 100_000 if os.environ.get("CORVANE_SANITIZED") == "1" else 1_000_000


@pytest.mark.parametrize("name, tokens, expected", [
    ("byte_level", ["Ġa"] * MILLION, " a" * MILLION),
    ("byte_level", ["â"] * MILLION, "\ufffd" * MILLION),
    ("wordpiece", ["a", "##b"] * (MILLION // 2), "ab" + " ab" * (MILLION // 2 - 1)),
    ("metaspace_always", ["▁a"] * MILLION, "a" + " a" * (MILLION - 1)),
    ("byte_fallback", ["<0xE2>", "<0x82>", "<0xAC>"] * (MILLION // 3), "€" * (MILLION // 3)),
    ("byte_fallback", ["<0xE2>"] * MILLION, "\ufffd" * MILLION),
    ("sentencepiece_chain", ["▁a"] * MILLION, "a" + " a" * (MILLION - 1)),
    ("ctc", ["a", "a", "<pad>", "a", "b"] * (MILLION // 5), "aab" * (MILLION // 5)),
    ("replace_regex", ["a b"] * MILLION, "a_b" * MILLION),
])
def test_a_million_tokens(name, tokens, expected):
    assert ours_of(CONFIGS[name]).decode(tokens) == expected


@pytest.mark.parametrize("name", ["bpe_decoder_long_suffix", "replace_empty_string", "wordpiece", "replace_regex"])
def test_one_long_token(name):
    token = "a" * 200_000 + "b" + " ." * 50_000
    reference = CONFIGS[name]
    assert ours_of(reference).decode([token, token]) == reference.decode([token, token])
