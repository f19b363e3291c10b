"""Loading BPE tokenizers from HuggingFace tokenizer.json files.

What a file loaded into is observed through the public operations only: `encode` of a
text shows which pairs were merged (each piece of a hand-made vocabulary has its own id),
`decode` of one id gives the token text stored under that id (or "" when there is none).
"""
from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from conftest import shared_file

from corvane_core import BPETokenizer

EMPTY_VOCAB = "tokenizer.json loaded but vocab is empty."
TYPE_ERROR = "[json.exception.type_error.302] "
PARSE_ERROR = "JSON parse error: "

BYTE_LEVEL_PRE = {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True, "use_regex": True}


# --------------------------------------------------------------------------------------
# Helpers


def gpt2_bytes_to_unicode() -> dict[int, str]:
    """GPT-2's published byte -> stand-in character table."""
    bs = (list(range(ord("!"), ord("~") + 1)) + list(range(ord("¡"), ord("¬") + 1))
          + list(range(ord("®"), ord("ÿ") + 1)))
    cs = bs[:]
    n = 0
    for b in range(256):
        if b not in bs:
            bs.append(b)
            cs.append(256 + n)
            n += 1
    return {b: chr(c) for b, c in zip(bs, cs)}


B2U = gpt2_bytes_to_unicode()


def stand_in(data: bytes) -> str:
    return "".join(B2U[b] for b in data)


def write(tmp_path, content, name="tokenizer.json"):
    """Writes a document (a JSON-able value, or raw text or bytes) and returns its path."""
    path = tmp_path / name
    if isinstance(content, bytes):
        path.write_bytes(content)
    elif isinstance(content, str):
        path.write_text(content, encoding="utf-8")
    else:
        path.write_text(json.dumps(content, ensure_ascii=False), encoding="utf-8")
    return str(path)


def load(tmp_path, content, name="tokenizer.json") -> BPETokenizer:
    return BPETokenizer.from_hf_json(write(tmp_path, content, name))


def doc(vocab, merges=None, **top):
    model = {"type": "BPE", "vocab": vocab}
    if merges is not None:
        model["merges"] = merges
    return {"version": "1.0", **top, "model": model}


def load_error(tmp_path, content) -> str:
    with pytest.raises(RuntimeError) as info:
        load(tmp_path, content)
    return str(info.value)


# A vocabulary in which every piece that merging can produce from a, b, c has its own id,
# so the ids of `encode` spell out the final pieces.
PIECES = ["a", "b", "c", "ab", "bc", "abc", "ca", "cab", "aa", "aaa", "aaaa", "bb"]
PIECE_IDS = {p: 10 + i for i, p in enumerate(PIECES)}


def ids(*pieces):
    return [PIECE_IDS.get(p, 0) for p in pieces]


# --------------------------------------------------------------------------------------
# The basic layout


def test_three_tokens_two_merges(tmp_path):
    tok = load(tmp_path, doc({"l": 1, "o": 2, "lo": 3}, ["l o", "lo w"]))
    assert tok.is_loaded()
    assert tok.encode("lo") == [3]
    assert tok.encode("low") == [0]  # "low" is joined but is no vocabulary key
    assert tok.encode("ol") == [2, 1]
    assert tok.decode([1, 3, 2]) == "lloo"


def test_worked_example(tmp_path):
    merges = ["l o", "lo w", "e r", "low er"]
    tok = load(tmp_path, doc({"lower": 9, "low": 5, "er": 6}, merges))
    assert tok.encode("lower") == [9]
    assert tok.encode("lowe") == [5, 0]


def test_equal_rank_leftmost_wins(tmp_path):
    tok = load(tmp_path, doc(PIECE_IDS, ["a a"]))
    assert tok.encode("aaaa") == ids("aa", "aa")
    assert tok.encode("aaa") == ids("aa", "a")


# Merge lists, the text, and the pieces it must end in. Every element of a merge list
# counts a position, used or skipped; a repeated pair keeps its later position.
MERGE_CASES = {
    "lower rank first": (["b c", "a b"], "abc", ("a", "bc")),
    "lower rank first, swapped": (["a b", "b c"], "abc", ("ab", "c")),
    "string without space skipped": (["ab", "a b"], "ab", ("ab",)),
    "only strings without space": (["ab", "abc", ""], "abc", ("a", "b", "c")),
    "skipped elements before and between": (["bc", "", "b c", "ab", "a b"], "abc", ("a", "bc")),
    "used after skipped, swapped": (["", "a b", "x", "b c"], "abc", ("ab", "c")),
    "repeated pair keeps later position": (["a b", "b c", "a b"], "abc", ("a", "bc")),
    "repeated pair across skipped": (["b c", "nospace", "a b", "b c"], "abc", ("ab", "c")),
    "first space splits: a b c is (a, 'b c')": (["a b c"], "abc", ("a", "b", "c")),
    "leading space gives an empty left part": ([" a", " b", "a b"], "ab", ("ab",)),
    "trailing space gives an empty right part": (["a ", "b ", "b c"], "bc", ("bc",)),
    "two spaces give a right part with a space": (["a  b"], "ab", ("a", "b")),
    "chain": (["c a", "ca b"], "cab", ("cab",)),
    "joins go through pieces that are no keys": (["b a", "ba b"], "bab", ("bab",)),
    "three passes": (["a b", "ab c", "c a"], "abca", ("abc", "a")),
}


@pytest.mark.parametrize("name", list(MERGE_CASES))
def test_merge_list_rules(tmp_path, name):
    merges, text, pieces = MERGE_CASES[name]
    tok = load(tmp_path, doc(PIECE_IDS, merges))
    assert tok.encode(text) == ids(*pieces)


def test_right_part_keeps_its_spaces(tmp_path):
    # "\t\t " at the end of a text is one pre-token: pieces tab, tab, space. The merge
    # string "\t  " splits into ("\t", " ") and "\t \t " into ("\t", "\t "); splitting at
    # any other space would give different pairs.
    vocab = {"\t": 1, " ": 2, "\t ": 3, "\t\t ": 4}
    tok = load(tmp_path, doc(vocab, ["\t  ", "\t \t "]))
    assert tok.encode("x\t\t ") == [0, 4]
    assert tok.encode("x\t ") == [0, 3]
    tok = load(tmp_path, doc(vocab, ["\t \t ", "\t  "]))  # same rules, other order
    assert tok.encode("x\t\t ") == [0, 4]


def test_merges_as_object_go_in_name_order(tmp_path):
    # Visited in the order of the member names, not in document order.
    tok = load(tmp_path, doc(PIECE_IDS, {"z": "a b", "a": "b c"}))
    assert tok.encode("abc") == ids("a", "bc")
    tok = load(tmp_path, doc(PIECE_IDS, {"a": "a b", "b": "b c"}))
    assert tok.encode("abc") == ids("ab", "c")


@pytest.mark.parametrize("merges, pieces", [
    ("a b", ("ab", "c")),   # a single string is one rule
    (None, ("a", "b", "c")),
    ([], ("a", "b", "c")),
    ({}, ("a", "b", "c")),
])
def test_merges_other_forms(tmp_path, merges, pieces):
    d = doc(PIECE_IDS)
    d["model"]["merges"] = merges
    assert load(tmp_path, d).encode("abc") == ids(*pieces)


def test_missing_merges(tmp_path):
    assert load(tmp_path, doc(PIECE_IDS)).encode("abc") == ids("a", "b", "c")


# --------------------------------------------------------------------------------------
# Vocabulary values and forms


# JSON text of a value, and the id it converts to.
ID_CASES = [
    ("7", 7),
    ("-7", -7),
    ("0", 0),
    ("2147483647", 2147483647),
    ("-2147483648", -2147483648),
    ("2147483648", -2147483648),        # low 32 bits
    ("4294967296", 0),
    ("4294967301", 5),                  # 2**32 + 5
    ("-4294967297", -1),                # -(2**32) - 1
    ("9223372036854775807", -1),
    ("-9223372036854775808", 0),
    ("18446744073709551615", -1),       # largest unsigned 64-bit
    ("5.9", 5),
    ("-5.9", -5),
    ("0.99", 0),
    ("-0.5", 0),
    ("-0.0", 0),
    ("1e3", 1000),
    ("7.0", 7),
    ("2147483647.9", 2147483647),
    ("-2147483648.9", -2147483648),
    ("true", 1),
    ("false", 0),
]


@pytest.mark.parametrize("literal, expected", ID_CASES, ids=[c[0] for c in ID_CASES])
def test_id_conversion(tmp_path, literal, expected):
    tok = load(tmp_path, '{"model": {"vocab": {"x": %s, "yy": 12345}}}' % literal)
    assert tok.encode("x") == [expected]
    assert tok.decode([expected]) == "x"


@pytest.mark.parametrize("literal", ["2147483648.5", "1e10", "1e300", "18446744073709551616",
                                     "-2147483649.5", "-1e10", "-1e300"])
def test_float_id_outside_range_is_deterministic(tmp_path, literal):
    # Out-of-range floats saturate at the nearer 32-bit limit.
    expected = 2147483647 if not literal.startswith("-") else -2147483648
    content = '{"model": {"vocab": {"x": %s}}}' % literal
    first = load(tmp_path, content, "one.json").encode("x")
    second = load(tmp_path, content, "two.json").encode("x")
    assert first == second == [expected]


@pytest.mark.parametrize("literal, type_name", [
    ('"5"', "string"), ('""', "string"), ("[5]", "array"), ("[]", "array"), ('{"a": 1}', "object"),
    ("{}", "object"), ("null", "null"),
])
def test_non_number_id_is_a_type_error(tmp_path, literal, type_name):
    message = load_error(tmp_path, '{"model": {"vocab": {"a": 1, "x": %s, "z": 2}}}' % literal)
    assert message == f"{TYPE_ERROR}type must be number, but is {type_name}"


def test_first_bad_value_in_name_order_is_reported(tmp_path):
    message = load_error(tmp_path, '{"model": {"vocab": {"z": "s", "b": [1], "m": null}}}')
    assert message == f"{TYPE_ERROR}type must be number, but is array"


def test_two_tokens_one_id_keeps_later_name(tmp_path):
    # The later name in byte-wise order wins the id, whatever the document order.
    for vocab in ('{"b": 3, "a": 3}', '{"a": 3, "b": 3}'):
        tok = load(tmp_path, '{"model": {"vocab": %s}}' % vocab)
        assert tok.decode([3]) == "b"
        assert tok.encode("a") == [3] and tok.encode("b") == [3]
    # Byte-wise: "Z" (0x5A) before "a" (0x61); U+FF5E (EF BD 9E) before U+1F600 (F0 ...),
    # although UTF-16 would order them the other way round.
    assert load(tmp_path, '{"model": {"vocab": {"a": 4, "Z": 4}}}').decode([4]) == "a"
    tok = load(tmp_path, '{"model": {"vocab": {"\\ud83d\\ude00": 4, "\\uff5e": 4}}}')
    assert tok.decode([4]) == "\U0001F600"


def test_repeated_name_keeps_later_value(tmp_path):
    tok = load(tmp_path, '{"model": {"vocab": {"a": 1, "b": 2, "a": 3}}}')
    assert tok.encode("a") == [3]
    assert tok.decode([1]) == ""  # the earlier value is gone entirely
    assert tok.decode([3, 2]) == "ab"


def test_vocab_as_array(tmp_path):
    tok = load(tmp_path, doc([7, 8]))
    assert tok.encode("0") == [7]
    assert tok.encode("1") == [8]
    assert tok.decode([7, 8]) == "01"


def test_vocab_as_long_array_has_decimal_names(tmp_path):
    values = [100 + i for i in range(12)]
    tok = load(tmp_path, doc(values, ["1 0", "1 1"]))
    assert tok.encode("10") == [110]
    assert tok.encode("11") == [111]
    assert tok.decode([109, 110]) == "910"


def test_vocab_array_elements_are_converted_in_order(tmp_path):
    assert load_error(tmp_path, doc([1, "x", [2]])) == f"{TYPE_ERROR}type must be number, but is string"


def test_vocab_single_value_is_one_entry_with_empty_name(tmp_path):
    tok = load(tmp_path, doc(5))
    assert tok.is_loaded()
    assert tok.decode([5]) == ""
    assert tok.encode("a") == [0]


def test_escapes_and_nul(tmp_path):
    tok = load(tmp_path, '{"model": {"vocab": {"\\u0000": 1, "\\"": 2, "\\\\": 3, "\\/": 4}}}')
    assert tok.encode("\x00") == [1]
    assert tok.encode('"') == [2]
    assert tok.encode("\\") == [3]
    assert tok.encode("/") == [4]


def test_utf8_tokens_kept_as_utf8_without_byte_level(tmp_path):
    tok = load(tmp_path, doc({"é": 5, "Ġx": 6}))
    assert tok.decode([5, 6]) == "éĠx"
    assert tok.encode("é") == [0, 0]  # two single-byte pieces, neither a key


# --------------------------------------------------------------------------------------
# Documents that give no vocabulary, and errors


@pytest.mark.parametrize("content", [
    "[]",
    "[1, 2]",
    '"model"',
    "null",
    "42",
    "{}",
    '{"vocab": {"a": 1}}',
    '{"model": null}',
    '{"model": [{"vocab": {"a": 1}}]}',
    '{"model": "BPE"}',
    '{"model": {}}',
    '{"model": {"vocab": {}}}',
    '{"model": {"vocab": []}}',
    '{"model": {"vocab": null}}',
    '{"model": {"vocab": null, "merges": ["a b", "ab"]}}',
    '{"Model": {"vocab": {"a": 1}}}',
    '{"model": {"Vocab": {"a": 1}}}',
    '{"x": {"model": {"vocab": {"a": 1}}}}',
])
def test_no_vocabulary(tmp_path, content):
    assert load_error(tmp_path, content) == EMPTY_VOCAB


def test_merges_are_read_before_the_empty_check(tmp_path):
    message = load_error(tmp_path, '{"model": {"vocab": null, "merges": [["a", "b", "c"]]}}')
    assert message == f"{TYPE_ERROR}type must be string, but is array"


@pytest.mark.parametrize("element, type_name", [
    ('["a"]', "array"), ('["a", "b", "c"]', "array"), ('["a", 1]', "array"), ('[["a"], "b"]', "array"),
    ('[null, "b"]', "array"), ("[]", "array"), ("12", "number"), ("1.5", "number"), ("null", "null"),
    ("true", "boolean"), ('{"a": "b"}', "object"),
])
def test_non_string_merge_is_a_type_error(tmp_path, element, type_name):
    message = load_error(tmp_path, '{"model": {"vocab": {"a": 1}, "merges": ["a b", "ab", %s, "b c"]}}' % element)
    assert message == f"{TYPE_ERROR}type must be string, but is {type_name}"


@pytest.mark.parametrize("merges", [
    [["a", "b"], ["ab", "c"]],          # the form tokenizers writes since 0.20
    ["a b", ["ab", "c"]],               # both forms in one file
    [["a", "b"], "ab c"],
])
def test_two_string_array_merges_equal_the_string_form(tmp_path, merges):
    as_strings = load(tmp_path, doc(PIECE_IDS, ["a b", "ab c"]), "strings.json")
    as_arrays = load(tmp_path, doc(PIECE_IDS, merges))
    for text in ["abc", "ab", "cab", "aabc", "abcabc", "b c a"]:
        assert as_arrays.encode(text) == as_strings.encode(text)
    assert as_arrays.encode("abc") == ids("abc")


def test_array_merge_keeps_spaces_inside_its_parts(tmp_path):
    # The array form can hold a space inside a part, which the string form cannot.
    vocab = {"a": 0, " ": 1, "a ": 2, "b": 3, "a b": 4}
    tok = load(tmp_path, doc(vocab, [["a", " "], ["a ", "b"]]))
    assert tok.encode("a") == [0]
    assert tok.decode([4]) == "a b"


def test_array_merges_count_positions_like_strings(tmp_path):
    # A skipped string (no space) still takes a position; an array rule takes the next one.
    tok = load(tmp_path, doc(PIECE_IDS, ["ab", ["b", "c"], ["a", "b"]]))
    assert tok.encode("abc") == ids("a", "bc")


def test_single_non_string_merge_value(tmp_path):
    assert load_error(tmp_path, doc(PIECE_IDS, 3)) == f"{TYPE_ERROR}type must be string, but is number"


def test_vocabulary_errors_come_before_merge_errors(tmp_path):
    message = load_error(tmp_path, '{"model": {"merges": [1], "vocab": {"a": "x"}}}')
    assert message == f"{TYPE_ERROR}type must be number, but is string"


def test_missing_file(tmp_path):
    path = str(tmp_path / "no such dir" / "tokenizer.json")
    with pytest.raises(RuntimeError) as info:
        BPETokenizer.from_hf_json(path)
    assert str(info.value) == "Cannot open tokenizer.json: " + path


@pytest.mark.parametrize("content, reason", [
    (b"", "unexpected end of input"),
    (b"   \n\t ", "unexpected end of input"),
    (b"{", "unexpected end of input"),
    (b'{"model": }', "syntax error"),
    (b'{"model": {"vocab": {"a": 1,}}}', "syntax error"),
    (b"{'model': 1}", "syntax error"),
    (b'{"a": NaN}', "syntax error"),
    (b'{"a": 1e400}', "number overflow"),
    (b'{"a": "\xff"}', "ill-formed UTF-8"),
    (b'{"a": "\\ud800"}', "surrogate"),
    (b'{"a": "x\ny"}', "control character"),
    (b'\xef\xbb\xbf{"model": {"vocab": {"a": 1}}}', None),  # byte-order mark: allowed
    (b'// c\n{"model": {"vocab": {"a": 1}}}', "syntax error"),
])
def test_parse_errors(tmp_path, content, reason):
    if reason is None:
        assert load(tmp_path, content).encode("a") == [1]
        return
    message = load_error(tmp_path, content)
    assert message.startswith(PARSE_ERROR + "[json.exception.")
    assert reason in message


@pytest.mark.parametrize("content", [b'{"a": "\xff"}', b'{"a": \xc3\xa9\xff}', b'\xed\xa0\x80', b'{"\xc3'])
def test_parse_error_quoting_bad_bytes_stays_text(tmp_path, content):
    # The parser quotes the bytes it stopped at; bytes that are no UTF-8 come out as U+FFFD
    # so that the message is still text.
    message = load_error(tmp_path, content)
    assert message.startswith(PARSE_ERROR + "[json.exception.parse_error.101]")
    assert "\ufffd" in message


def test_empty_file_message(tmp_path):
    assert load_error(tmp_path, b"").startswith("JSON parse error: ")


@pytest.mark.parametrize("trailing", ["garbage", " {", "]]]", '{"model": {"vocab": {"b": 2}}}', "\x00\xff".encode("latin-1")])
def test_trailing_text_is_ignored(tmp_path, trailing):
    head = b'{"model": {"vocab": {"a": 1}}}'
    tok = load(tmp_path, head + (trailing if isinstance(trailing, bytes) else trailing.encode()))
    assert tok.encode("a") == [1]
    assert tok.decode([2]) == ""


def test_syntax_error_anywhere_in_the_value_fails(tmp_path):
    # The whole first value is checked, also parts the loader never reads.
    content = '{"model": {"vocab": {"a": 1}}, "added_tokens": [1, 2,]}'
    assert load_error(tmp_path, content).startswith(PARSE_ERROR)


def test_later_model_member_replaces_earlier(tmp_path):
    tok = load(tmp_path, '{"model": {"vocab": {"a": 1}, "merges": ["a b"]}, "model": {"vocab": {"b": 2}}}')
    assert tok.encode("a") == [0] and tok.encode("b") == [2]
    content = '{"model": {"vocab": {"a": 1}}, "model": "gone"}'
    assert load_error(tmp_path, content) == EMPTY_VOCAB
    content = '{"model": {"vocab": {"a": "bad"}}, "model": {"vocab": {"a": 1}}}'
    assert load(tmp_path, content).encode("a") == [1]
    content = '{"model": {"vocab": {"a": 1, "ab": 2}, "merges": [1], "merges": ["a b"]}}'
    assert load(tmp_path, content).encode("ab") == [2]


@pytest.mark.parametrize("model_type", ["WordPiece", "WordLevel", "Unigram", "bpe", "", "BPE "])
def test_model_type_other_than_bpe_is_refused(tmp_path, model_type):
    d = doc(PIECE_IDS, ["a b"])
    d["model"]["type"] = model_type
    assert load_error(tmp_path, d) == "tokenizer.json model type is not BPE: " + model_type


@pytest.mark.parametrize("model_type", [None, 3, ["BPE"], {"a": 1}])
def test_model_type_that_is_not_a_string_is_not_looked_at(tmp_path, model_type):
    d = doc(PIECE_IDS, ["a b"])
    d["model"]["type"] = model_type
    assert load(tmp_path, d).encode("ab") == ids("ab")


def test_model_without_type_loads(tmp_path):
    d = doc(PIECE_IDS, ["a b"])
    del d["model"]["type"]
    assert load(tmp_path, d).encode("ab") == ids("ab")


def test_real_wordpiece_file_is_refused():
    with pytest.raises(RuntimeError, match="^tokenizer.json model type is not BPE: WordPiece$"):
        BPETokenizer.from_hf_json(shared_file("bert-uncased-tokenizer.json"))


def test_other_members_are_not_looked_at(tmp_path):
    d = doc(PIECE_IDS, ["a b"], added_tokens=[{"id": 99, "content": "abc"}],
            normalizer={"type": "Lowercase"})
    d["model"].update({"unk_token": "[UNK]", "dropout": 0.5})
    tok = load(tmp_path, d)
    assert tok.encode("ABC") == [0, 0, 0]
    assert tok.encode("abc") == ids("ab", "c")


# --------------------------------------------------------------------------------------
# Byte-level files


def byte_level_doc(vocab_bytes: dict[bytes, int], merges_bytes: list[tuple[bytes, bytes]], **top):
    vocab = {stand_in(k): v for k, v in vocab_bytes.items()}
    merges = [stand_in(a) + " " + stand_in(b) for a, b in merges_bytes]
    return doc(vocab, merges, **top)


SMALL_VOCAB = {b" ": 1, b"h": 2, b"i": 3, b" h": 4, b" hi": 5, b"\xc3": 6, b"\xa9": 7, b"\xc3\xa9": 8,
               b"!": 9, b"\n": 10}
SMALL_MERGES = [(b" ", b"h"), (b" h", b"i"), (b"\xc3", b"\xa9")]


def test_byte_level_file_is_read_as_bytes(tmp_path):
    d = byte_level_doc(SMALL_VOCAB, SMALL_MERGES, pre_tokenizer=BYTE_LEVEL_PRE)
    assert d["model"]["merges"] == ["Ġ h", "Ġh i", "Ã ©"]
    tok = load(tmp_path, d)
    assert tok.encode(" hi") == [5]
    assert tok.encode("é") == [8]
    assert tok.encode("hi!\n") == [2, 3, 9, 10]
    assert tok.decode([5, 8, 1, 9, 10]) == " hié !\n"
    assert tok.decode([6, 7]) == "é"


def test_same_file_without_byte_level_component(tmp_path):
    d = byte_level_doc(SMALL_VOCAB, SMALL_MERGES)
    tok = load(tmp_path, d)
    # The stand-ins stay characters: no space or non-ASCII byte finds its token.
    assert tok.encode(" hi") == [0, 2, 3]
    assert tok.encode("é") == [0, 0]
    assert tok.encode("hi!\n") == [2, 3, 9, 0]
    assert tok.decode([5, 8, 1]) == "ĠhiÃ©Ġ"


def test_every_byte_maps_back(tmp_path):
    # One token per byte, written as its stand-in; each byte alone is one pre-token.
    vocab = {bytes([b]): 1000 + b for b in range(256)}
    tok = load(tmp_path, byte_level_doc(vocab, [], pre_tokenizer=BYTE_LEVEL_PRE))
    for b in range(256):
        assert tok.encode(bytes([b])) == [1000 + b], b
    text = "A tab\t, a newline\n, é, €, 😀 and \x7f\x00."
    data = text.encode()
    assert tok.decode([1000 + b for b in data]) == text


def test_stand_in_table_boundaries(tmp_path):
    # "!" .. "~", "¡" .. "¬", "®" .. "ÿ" stand for themselves; U+0100 .. U+0143 for the
    # other 68 bytes in increasing order; anything else stands for no byte.
    vocab = {"Ā": 1, "ğ": 2, "Ġ": 3, "ġ": 4, "ÃŃ": 5, "Ń": 6, "ń": 7, "€": 8, "a b": 9, "\t": 10,
             "¬": 11, "®": 12, "ÿ": 13, "ğĀ": 14, "ÃĢ": 15, "Âł": 16, "Â¡": 17}
    tok = load(tmp_path, doc(vocab, pre_tokenizer=BYTE_LEVEL_PRE))
    assert tok.decode([1]) == "\x00"      # U+0100 -> byte 0x00
    assert tok.decode([2]) == "\x1f"      # U+011F -> byte 0x1F
    assert tok.decode([3]) == " "         # U+0120 -> byte 0x20
    assert tok.decode([4]) == "\x7f"      # U+0121 -> byte 0x7F
    assert tok.decode([15]) == "À"        # U+0122 -> byte 0x80
    assert tok.decode([16]) == "\u00a0"   # U+0142 -> byte 0xA0
    assert tok.decode([17]) == "¡"        # U+00A1 stands for itself
    assert tok.decode([5]) == "í"         # U+00C3 U+0143 -> bytes C3 AD
    assert tok.encode(b"\xad") == [6]     # U+0143 -> byte 0xAD, the last stand-in
    assert tok.decode([7]) == "ń"         # U+0144 is no stand-in: kept as UTF-8
    assert tok.decode([8]) == "€"
    assert tok.decode([9]) == "a b"       # a real space is no stand-in either
    assert tok.decode([10]) == "\t"
    assert tok.encode(b"\xac") == [11] and tok.encode(b"\xae") == [12] and tok.encode(b"\xff") == [13]
    assert tok.decode([14]) == "\x1f\x00"


def test_merge_parts_are_mapped_after_the_split(tmp_path):
    # The separating space is the real one; "Ġ" inside a part is the space byte.
    vocab = {b"a": 1, b" ": 2, b"a ": 3, b"a  ": 4, b" b": 5}
    d = doc({stand_in(k): v for k, v in vocab.items()}, ["a Ġ", "aĠ Ġ", "Ġ b"], pre_tokenizer=BYTE_LEVEL_PRE)
    tok = load(tmp_path, d)
    # Mapping before splitting would read "Ġ b" as ("", " b").
    assert tok.encode(" b") == [5]
    assert tok.decode([4]) == "a  "


BL = {"type": "ByteLevel"}


@pytest.mark.parametrize("top, byte_level", [
    ({"pre_tokenizer": BL}, True),
    ({"decoder": BL}, True),
    ({"pre_tokenizer": BL, "decoder": None}, True),
    ({"pre_tokenizer": {"type": "Sequence", "pretokenizers": [{"type": "Split"}, BL]}}, True),
    ({"decoder": {"type": "Sequence", "decoders": [{"type": "Fuse"}, BL]}}, True),
    ({"pre_tokenizer": {"type": "Sequence", "pretokenizers": [
        {"type": "Sequence", "pretokenizers": [{"type": "Digits"}, BL]}]}}, True),
    ({"pre_tokenizer": {"type": "Whitespace"}, "decoder": BL}, True),
    ({}, False),
    ({"pre_tokenizer": None, "decoder": None}, False),
    ({"pre_tokenizer": {"type": "Metaspace"}, "decoder": {"type": "Metaspace"}}, False),
    ({"post_processor": BL}, False),
    ({"normalizer": BL}, False),
    ({"pre_tokenizer": {"type": "bytelevel"}}, False),
    ({"pre_tokenizer": {"type": ["ByteLevel"]}}, False),
    ({"pre_tokenizer": {"kind": "ByteLevel"}}, False),
    ({"pre_tokenizer": "ByteLevel"}, False),
    ({"pre_tokenizer": [BL]}, False),
    ({"pre_tokenizer": {"type": "Sequence", "decoders": [BL]}}, False),
    ({"decoder": {"type": "Sequence", "pretokenizers": [BL]}}, False),
    ({"pre_tokenizer": {"type": "Sequence", "pretokenizers": BL}}, False),
    ({"pre_tokenizer": {"type": "Split", "pretokenizers": [BL]}}, False),
])
def test_byte_level_detection(tmp_path, top, byte_level):
    d = byte_level_doc(SMALL_VOCAB, SMALL_MERGES, **top)
    tok = load(tmp_path, d)
    assert tok.encode(" hi") == ([5] if byte_level else [0, 2, 3])
    assert tok.decode([8]) == ("é" if byte_level else "Ã©")


def test_byte_level_component_inside_model_does_not_count(tmp_path):
    d = byte_level_doc(SMALL_VOCAB, SMALL_MERGES)
    d["model"]["pre_tokenizer"] = BL
    d["model"]["decoder"] = BL
    assert load(tmp_path, d).encode(" hi") == [0, 2, 3]


def test_later_pre_tokenizer_member_replaces_earlier(tmp_path):
    body = json.dumps(byte_level_doc(SMALL_VOCAB, SMALL_MERGES), ensure_ascii=False)[1:]
    tok = load(tmp_path, '{"pre_tokenizer": {"type": "ByteLevel"}, "pre_tokenizer": null, ' + body)
    assert tok.encode(" hi") == [0, 2, 3]
    tok = load(tmp_path, '{"decoder": null, "decoder": {"type": "ByteLevel"}, ' + body)
    assert tok.encode(" hi") == [5]


def test_byte_level_component_after_model(tmp_path):
    d = byte_level_doc(SMALL_VOCAB, SMALL_MERGES)
    d["decoder"] = BL  # written after "model"
    assert list(d)[-1] == "decoder"
    assert load(tmp_path, d).encode(" hi") == [5]


# --------------------------------------------------------------------------------------
# The merge engine against a plain reference, through generated tokenizer.json files


def reference_ranks(merge_strings: list[str], byte_level: bool) -> dict[tuple[bytes, bytes], int]:
    u2b = {c: b for b, c in B2U.items()}

    def to_bytes(s: str) -> bytes:
        if not byte_level:
            return s.encode()
        return b"".join(bytes([u2b[c]]) if c in u2b else c.encode() for c in s)

    ranks = {}
    for position, s in enumerate(merge_strings):
        if " " in s:
            left, right = s.split(" ", 1)
            ranks[(to_bytes(left), to_bytes(right))] = position
    return ranks


def reference_bpe(word: bytes, ranks, vocab) -> list[int]:
    """Pass by pass: join the leftmost occurrence of the lowest-ranked adjacent pair."""
    pieces = [word[i:i + 1] for i in range(len(word))]
    while len(pieces) > 1:
        best = None
        for i in range(len(pieces) - 1):
            r = ranks.get((pieces[i], pieces[i + 1]))
            if r is not None and (best is None or r < best[0]):
                best = (r, i)
        if best is None:
            break
        i = best[1]
        pieces[i:i + 2] = [pieces[i] + pieces[i + 1]]
    return [vocab.get(p, 0) for p in pieces]


LETTERS = b"abc"
OTHERS = b"!_\xc3\xa9\xff"  # all "other" bytes: a run of them is one pre-token


@st.composite
def merge_setups(draw, byte_level: bool):
    alphabet = draw(st.sampled_from([LETTERS, OTHERS])) if byte_level else LETTERS
    singles = [bytes([b]) for b in alphabet]
    if byte_level:
        singles.append(b" ")  # the space byte can be merged in byte-level files
    symbols = list(singles)
    merges: list[tuple[bytes, bytes] | str] = []
    for _ in range(draw(st.integers(0, 40))):
        kind = draw(st.integers(0, 9))
        if kind <= 6:  # join two known pieces: merges that actually happen
            left = draw(st.sampled_from(symbols))
            right = draw(st.sampled_from(symbols))
            if b" " in left and not byte_level:
                continue
            merges.append((left, right))
            if left + right not in symbols:
                symbols.append(left + right)
        elif kind == 7 and merges:  # repeat an earlier element
            merges.append(draw(st.sampled_from(merges)))
        elif kind == 8:  # a string without a space: skipped, but it takes a position
            merges.append(draw(st.sampled_from(["", "ab", "Ġ", "xyz"])))
        else:  # a random pair of short strings
            left = draw(st.binary(min_size=1, max_size=3).map(lambda b: bytes(alphabet[x % len(alphabet)] for x in b)))
            right = draw(st.binary(min_size=1, max_size=3).map(lambda b: bytes(alphabet[x % len(alphabet)] for x in b)))
            merges.append((left, right))
    in_vocab = draw(st.lists(st.booleans(), min_size=len(symbols), max_size=len(symbols)))
    id_values = draw(st.permutations(range(1, len(symbols) + 1)))
    vocab = {s: 7 * i for s, i, keep in zip(symbols, id_values, in_vocab) if keep}
    if not vocab:
        vocab = {symbols[0]: 7}
    # Lengths spread evenly up to 90 bytes: most words take the engine's long-word path
    # (above 32 bytes), the rest its short-word path.
    word_st = st.integers(1, 90).flatmap(
        lambda n: st.lists(st.sampled_from(alphabet), min_size=n, max_size=n)).map(bytes)
    words = draw(st.lists(word_st, min_size=1, max_size=4))
    return vocab, merges, words


def write_setup(tmp_path, vocab, merges, byte_level):
    def text(b: bytes) -> str:
        return stand_in(b) if byte_level else b.decode()

    merge_strings = [m if isinstance(m, str) else text(m[0]) + " " + text(m[1]) for m in merges]
    top = {"pre_tokenizer": BYTE_LEVEL_PRE} if byte_level else {}
    d = doc({text(k): v for k, v in vocab.items()}, merge_strings, **top)
    return write(tmp_path, d), merge_strings


@pytest.mark.parametrize("byte_level", [False, True], ids=["plain", "byte-level"])
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_merging_matches_reference(tmp_path, byte_level, data):
    vocab, merges, words = data.draw(merge_setups(byte_level))
    path, merge_strings = write_setup(tmp_path, vocab, merges, byte_level)
    tok = BPETokenizer.from_hf_json(path)
    ranks = reference_ranks(merge_strings, byte_level)
    # Words joined by single spaces: pre-tokens are the first word and " " + each other.
    text = b" ".join(words)
    expected = reference_bpe(words[0], ranks, vocab)
    for w in words[1:]:
        expected += reference_bpe(b" " + w, ranks, vocab)
    assert tok.encode(text) == expected
    assert tok.count(text) == len(expected)


def test_long_word_merges_like_reference(tmp_path):
    # Well past the short-word path: thousands of joins in one pre-token.
    merges = [(b"a", b"b"), (b"ab", b"ab"), (b"b", b"a"), (b"abab", b"ab"), (b"ba", b"ba"), (b"c", b"abab")]
    vocab = {b"a": 1, b"b": 2, b"ab": 3, b"abab": 4, b"ba": 5, b"ababab": 6, b"baba": 7, b"cabab": 8, b"c": 9}
    path, merge_strings = write_setup(tmp_path, vocab, merges, byte_level=False)
    tok = BPETokenizer.from_hf_json(path)
    ranks = reference_ranks(merge_strings, byte_level=False)
    for word in [b"ab" * 300, b"a" + b"ba" * 250, b"cabab" * 100 + b"b" * 33, b"ab" * 16 + b"a"]:
        assert tok.encode(word) == reference_bpe(word, ranks, vocab)


# --------------------------------------------------------------------------------------
# The real GPT-2 file against HuggingFace tokenizers


@pytest.fixture(scope="module")
def gpt2_pair():
    path = shared_file("gpt2-tokenizer.json")
    os.environ.setdefault("RAYON_NUM_THREADS", "1")
    tokenizers = pytest.importorskip("tokenizers")
    return BPETokenizer.from_hf_json(str(path)), tokenizers.Tokenizer.from_file(str(path))


def ascii_only(text: str) -> str:
    return text.encode("ascii", "ignore").decode("ascii")


@pytest.mark.parametrize("name", ["prose", "code"])
def test_gpt2_matches_tokenizers_on_corpus(gpt2_pair, name):
    ours, peer = gpt2_pair
    text = ascii_only(shared_file("corpus", f"{name}.txt").read_text(encoding="utf-8"))
    expected = peer.encode(text, add_special_tokens=False).ids
    got = ours.encode(text)
    assert got == expected
    assert ours.count(text) == len(expected)
    assert ours.decode(got) == text


def test_gpt2_multilingual_round_trip(gpt2_pair):
    # Beyond ASCII the pre-tokenisation rules differ from GPT-2's, but every byte still
    # maps to tokens and back.
    ours, _ = gpt2_pair
    text = shared_file("corpus", "multilingual.txt").read_text(encoding="utf-8")
    assert ours.decode(ours.encode(text)) == text


ASCII_TEXT = st.text(alphabet=st.characters(min_codepoint=0, max_codepoint=127), max_size=300)
WORDY_TEXT = st.lists(st.sampled_from(["the", " the", "  ", "\n", "\n\n", " don't", "'s", "'ll", "_init_",
                                       "snake_case", "123", " 4567", "!!", " ?", "\t", " ", "x" * 40,
                                       "Hello", "WORLD", "--", "a1b2", "  \n"]),
                      max_size=40).map("".join)


@settings(max_examples=300, deadline=None)
@given(text=st.one_of(ASCII_TEXT, WORDY_TEXT))
def test_gpt2_matches_tokenizers_on_generated_text(gpt2_pair, text):
    assume("<|endoftext|>" not in text)  # the peer treats it as a special token
    ours, peer = gpt2_pair
    expected = peer.encode(text, add_special_tokens=False).ids
    assert ours.encode(text) == expected
    assert ours.decode(expected) == text


@settings(max_examples=60, deadline=None)
@given(start=st.integers(0, 10**9), length=st.integers(0, 3000), name=st.sampled_from(["prose", "code"]))
def test_gpt2_matches_tokenizers_on_corpus_slices(gpt2_pair, start, length, name):
    ours, peer = gpt2_pair
    corpus = _corpus_cache(name)
    start %= max(1, len(corpus))
    text = corpus[start:start + length]
    assert ours.encode(text) == peer.encode(text, add_special_tokens=False).ids


_CORPORA: dict[str, str] = {}


def _corpus_cache(name: str) -> str:
    if name not in _CORPORA:
        _CORPORA[name] = ascii_only(shared_file("corpus", f"{name}.txt").read_text(encoding="utf-8"))
    return _CORPORA[name]


# --------------------------------------------------------------------------------------
# Hostile documents: each ends in an exception or a clean load, never a crash


HOSTILE = {
    "unclosed arrays": ("'[' * 1_000_000", "error", PARSE_ERROR),
    "closed arrays": ("'[' * 1_000_000 + ']' * 1_000_000", "error", EMPTY_VOCAB),
    "unclosed objects": ("'{\"a\":' * 500_000", "error", PARSE_ERROR),
    "deep member beside model":
        ("'{\"model\": {\"vocab\": {\"a\": 1}}, \"x\": ' + '[' * 1_000_000 + ']' * 1_000_000 + '}'", "ok", None),
    "deep vocab value":
        ("'{\"model\": {\"vocab\": {\"a\": ' + '[' * 1_000_000 + ']' * 1_000_000 + '}}}'", "error",
         TYPE_ERROR + "type must be number, but is array"),
    "deep merge element":
        ("'{\"model\": {\"vocab\": {\"a\": 1}, \"merges\": [' + '{\"k\":' * 300_000 + '1' + '}' * 300_000 + ']}}'",
         "error", TYPE_ERROR + "type must be string, but is object"),
    "deep pre_tokenizer":
        ("'{\"model\": {\"vocab\": {\"a\": 1}}, \"pre_tokenizer\": ' + '[' * 1_000_000 + ']' * 1_000_000 + '}'",
         "ok", None),
    "deep decoder sequence":
        ("'{\"model\": {\"vocab\": {\"a\": 1}}, \"decoder\": ' + '{\"type\": \"Sequence\", \"decoders\": [' * 200_000"
         " + '{\"type\": \"ByteLevel\"}' + ']}' * 200_000 + '}'", "ok", None),
    "long string token": ("'{\"model\": {\"vocab\": {\"' + 'a' * 20_000_000 + '\": 1, \"a\": 2}}}'", "ok", None),
}


@pytest.mark.parametrize("name", list(HOSTILE))
def test_hostile_documents(tmp_path, name):
    # Run in a child process so that a crash shows as a failure of this case only.
    expression, outcome, message = HOSTILE[name]
    path = tmp_path / "hostile.json"
    script = textwrap.dedent(f"""
        import sys
        from corvane_core import BPETokenizer
        with open({str(path)!r}, "w") as f:
            f.write({expression})
        try:
            tok = BPETokenizer.from_hf_json({str(path)!r})
        except RuntimeError as e:
            print("error:" + str(e)[:200])
        else:
            print("ok:" + repr(tok.encode("a")))
    """)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300,
                          env=dict(os.environ))
    assert proc.returncode == 0, proc.stderr[-2000:]
    out = proc.stdout.strip()
    if outcome == "ok":
        assert out.startswith("ok:"), out
    else:
        assert out.startswith("error:" + message), out


# --------------------------------------------------------------------------------------
# The binding


def test_keyword_and_positional(tmp_path):
    path = write(tmp_path, doc({"a": 1}))
    assert BPETokenizer.from_hf_json(tokenizer_json_path=path).encode("a") == [1]
    assert BPETokenizer.from_hf_json(path).encode("a") == [1]


@pytest.mark.parametrize("call", [
    lambda p: BPETokenizer.from_hf_json(path=p),
    lambda p: BPETokenizer.from_hf_json(tokenizer_json=p),
    lambda p: BPETokenizer.from_hf_json(p, p),
    lambda p: BPETokenizer.from_hf_json(),
    lambda p: BPETokenizer.from_hf_json(None),
    lambda p: BPETokenizer.from_hf_json(42),
])
def test_wrong_arguments(tmp_path, call):
    path = write(tmp_path, doc({"a": 1}))
    with pytest.raises(TypeError, match=r"from_hf_json\(\): incompatible function arguments"):
        call(path)


def test_docstring_and_static():
    assert "Load from a HuggingFace tokenizer.json file" in BPETokenizer.from_hf_json.__doc__
    assert isinstance(BPETokenizer.__dict__["from_hf_json"], staticmethod)


def test_failed_load_leaves_nothing(tmp_path):
    path = write(tmp_path, '{"model": {"vocab": {"a": 1, "b": "x"}}}')
    with pytest.raises(RuntimeError):
        BPETokenizer.from_hf_json(path)
    tok = BPETokenizer.from_hf_json(write(tmp_path, doc({"c": 3}), "ok.json"))
    assert tok.encode("a") == [0] and tok.encode("c") == [3]


# --------------------------------------------------------------------------------------
# Byte-level tokens holding characters outside the byte alphabet


def hf_byte_level_document(vocab: dict[str, int]) -> dict:
    """A complete byte-level tokenizer.json that HuggingFace tokenizers itself loads."""
    return {
        "version": "1.0", "truncation": None, "padding": None, "added_tokens": [], "normalizer": None,
        "pre_tokenizer": BYTE_LEVEL_PRE, "post_processor": None,
        "decoder": {"type": "ByteLevel", "add_prefix_space": True, "trim_offsets": True, "use_regex": True},
        "model": {"type": "BPE", "dropout": None, "unk_token": None, "continuing_subword_prefix": None,
                  "end_of_word_suffix": None, "fuse_unk": False, "byte_fallback": False,
                  "ignore_merges": False, "vocab": vocab, "merges": []},
    }


FOREIGN_TOKENS = ["\u0120\u65e5", "\u65e5", "a b", "\u0120a\tb", "\u00e9", "\u0120caf\u00c3\u00a9",
                  "x\u0100y", "\U0001f600", "\u0120\u0120"]


def test_foreign_characters_keep_the_token_whole_like_tokenizers(tmp_path):
    tokenizers = pytest.importorskip("tokenizers")
    vocab = {tok: i for i, tok in enumerate(FOREIGN_TOKENS)}
    d = hf_byte_level_document(vocab)
    ours = load(tmp_path, d)
    theirs = tokenizers.Tokenizer.from_str(json.dumps(d))
    for i in range(len(FOREIGN_TOKENS)):
        assert ours.decode_bytes([i]).decode("utf-8", "replace") == theirs.decode([i]), FOREIGN_TOKENS[i]
    # A token of stand-ins only still stands for its bytes.
    assert ours.decode_bytes([FOREIGN_TOKENS.index("\u0120caf\u00c3\u00a9")]) == " caf\xc3\xa9".encode("latin-1")
    assert ours.decode([0]) == "\u0120\u65e5"


def test_foreign_characters_in_merge_parts_are_kept_whole(tmp_path):
    # " 日" written with a stand-in space and a foreign character is never the raw bytes of
    # " 日", so input bytes never merge into it.
    vocab = {stand_in(bytes([b])): b for b in range(256)}
    vocab["\u0120\u65e5"] = 300
    vocab["\u65e5"] = 301
    tok = load(tmp_path, doc(vocab, [["\u0120", "\u65e5"]], pre_tokenizer=BYTE_LEVEL_PRE))
    assert tok.encode(" \u65e5") == [b for b in " \u65e5".encode()]
    assert tok.decode([300]) == "\u0120\u65e5"
