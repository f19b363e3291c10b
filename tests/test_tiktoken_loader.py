"""Loading tiktoken rank files: tricky lines, errors, and a fuzz test against a reference.

What a file loaded into is observed through the public operations only: `encode` of a text
that is one pre-token and a vocabulary key gives that key's id, `decode` of one id gives the
token text stored under that id (or "" when there is none), `is_loaded` tells whether the
vocabulary is empty.
"""
from __future__ import annotations

import base64
import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import reference_bpe as ref
from conftest import shared_file
from rank_file_support import write_raw

from corvane_core import BPETokenizer

EMPTY_VOCAB = "tiktoken file loaded but vocab is empty."


def load_raw(tmp_path, data: bytes) -> BPETokenizer:
    return BPETokenizer.from_tiktoken_file(str(write_raw(tmp_path, data)))


def observe(tok: BPETokenizer, encode_probes, decode_probes):
    """(encode results, decode results) for a tokenizer, in probe order."""
    return [tok.encode(p) for p in encode_probes], [tok.decode([i]) for i in decode_probes]


# Each case: file bytes, {text: ids of encode(text)}, {id: decode([id])}.
CASES = {
    "padded": (b"IQ== 0\n", {"!": [0]}, {0: "!"}),
    "unpadded": (b"IQ 0\n", {"!": [0]}, {0: "!"}),
    "one padding char": (b"IQ= 0\n", {"!": [0]}, {0: "!"}),
    "leftover bits ignored": (b"IR 0\n", {"!": [0]}, {0: "!"}),
    "three chars give two bytes": (b"aGk 4\n", {"hi": [4]}, {4: "hi"}),
    "full groups": (b"aGVsbG8= 11\naGVsbG8gd29ybGQ 12\n", {"hello": [11], "hello world": [11, 0, 0, 0, 0, 0, 0]},
                    {11: "hello", 12: "hello world"}),
    "two spaces": (b"IQ  7\n", {"!": [7]}, {7: "!", 0: ""}),
    "space inside token field": (b"aGVs bG8 3\n", {"hel": [3], "hello": [0, 0, 0, 0, 0]}, {3: "hel"}),
    "leading space": (b" IQ 7\nIQ 8\n", {"!": [8]}, {7: "", 8: "!"}),
    "invalid char mid-field": (b"aGV-sbG8 9\n", {"he": [9], "hello": [9, 0, 0, 0]}, {9: "he"}),
    "url-safe char": (b"_w== 6\n/w== 1\n", {b"\xff": [1]}, {6: ""}),
    "nul in token field": (b"IQ\x00Q 5\n", {"!": [5]}, {5: "!"}),
    "rank 2147483647": (b"IQ 2147483647\n", {"!": [2147483647]}, {2147483647: "!"}),
    "rank -2147483648": (b"IQ -2147483648\n", {"!": [-2147483648]}, {-2147483648: "!"}),
    "negative rank": (b"IQ -3\n", {"!": [-3]}, {-3: "!", 3: ""}),
    "plus sign": (b"IQ +3\n", {"!": [3]}, {3: "!"}),
    "trailing garbage": (b"IQ 12abc\n", {"!": [12]}, {12: "!"}),
    "hex is decimal zero": (b"IQ 0x10\n", {"!": [0]}, {0: "!", 16: ""}),
    "leading zeros": (b"IQ 007\nYQ 00000000000000000000042\n", {"!": [7], "a": [42]}, {7: "!", 42: "a"}),
    "whitespace before rank": (b"IQ \t5\n", {"!": [5]}, {5: "!"}),
    "minus zero": (b"IQ -0\n", {"!": [0]}, {0: "!"}),
    "no final newline": (b"IQ 0\nYQ 1", {"!": [0], "a": [1]}, {1: "a"}),
    # An empty token field maps the empty token; the later line wins id 5.
    "empty token field": (b"IQ 5\n 5\n", {"!": [5]}, {5: ""}),
    "only an empty token": (b" 5\n", {"!": [0]}, {5: ""}),
    # The byte-order mark stops decoding at once: the first line maps the empty token.
    "byte-order mark": (b"\xef\xbb\xbfIQ 0\nIQ 1\n", {"!": [1]}, {0: "", 1: "!"}),
    "byte-order mark only line": (b"\xef\xbb\xbfIQ== 4\n", {"!": [0]}, {4: ""}),
    "duplicate token": (b"IQ 1\nIQ 2\n", {"!": [2]}, {1: "!", 2: "!"}),
    "duplicate rank": (b"IQ 3\nYQ 3\n", {"!": [3], "a": [3]}, {3: "a"}),
    "tab separator skipped": (b"IQ\t4\nYQ 5\n", {"!": [0], "a": [5]}, {4: ""}),
    "line without space skipped": (b"IQ==\nYQ 5\nYg\n", {"a": [5], "b": [0]}, {5: "a"}),
    "blank lines skipped": (b"\n\nIQ 0\n\n\nYQ 1\n\n", {"!": [0], "a": [1]}, {0: "!", 1: "a"}),
    "carriage-return-only line skipped": (b"IQ 0\n\r\nYQ 1\n\r", {"!": [0], "a": [1]}, {1: "a"}),
    "invalid utf-8 token": (b"/w== 0\nww 1\n", {b"\xff": [0], b"\xc3": [1]}, {}),
}


@pytest.mark.parametrize("name", list(CASES))
def test_tricky_lines(tmp_path, name):
    data, encodes, decodes = CASES[name]
    tok = load_raw(tmp_path, data)
    assert tok.is_loaded()
    assert {t: tok.encode(t) for t in encodes} == encodes
    assert {i: tok.decode([i]) for i in decodes} == decodes
    # The reference loader reads the file the same way.
    vocab, id_to_token = ref.load_rank_file(data)
    for t, ids in encodes.items():
        assert ref.encode_rank_file(t.encode() if isinstance(t, str) else t, vocab) == ids
    for i, s in decodes.items():
        assert id_to_token.get(i, b"") == s.encode()


def test_crlf_loads_like_lf(tmp_path):
    lines = [(b"IQ==", 0), (b"YQ==", 1), (b"Yg==", 2), (b"YWI=", 3), (b"IGE=", 4), (b"YWJi", 5)]
    lf = b"".join(t + b" " + str(r).encode() + b"\n" for t, r in lines)
    crlf = lf.replace(b"\n", b"\r\n")
    probes = ["!", "a", "b", "ab", " a", "abb", "abab", " abb!"]
    ids = list(range(-1, 8))
    expected = (
        [[0], [1], [2], [3], [4], [5], [3, 3], [0, 5, 0]],
        ["", "!", "a", "b", "ab", " a", "abb", "", ""],
    )
    assert observe(load_raw(tmp_path, lf), probes, ids) == expected
    assert observe(load_raw(tmp_path, crlf), probes, ids) == expected


def test_invalid_utf8_token_decodes_with_error(tmp_path):
    tok = load_raw(tmp_path, b"/w== 0\nww 1\nqQ 2\n")
    with pytest.raises(UnicodeDecodeError):
        tok.decode([0])
    assert tok.decode([1, 2]) == "é"  # 0xC3 0xA9


@pytest.mark.parametrize(
    "data, exc_type",
    [
        (b"IQ== 7 \n", ValueError),  # space after the rank: the rank field is empty
        (b"IQ== 7\nYQ== 8 \nYg== 9\n", ValueError),
        (b"IQ \n", ValueError),
        (b"IQ \r\n", ValueError),
        (b"IQ\n \n", ValueError),
        (b"IQ abc\n", ValueError),
        (b"IQ -\n", ValueError),
        (b"IQ +\n", ValueError),
        (b"IQ +-3\n", ValueError),
        (b"IQ - 3\nYQ x\n", ValueError),
        (b"IQ 2147483648\n", IndexError),
        (b"IQ -2147483649\n", IndexError),
        (b"IQ 4294967296\n", IndexError),
        (b"IQ 99999999999999999999999999\n", IndexError),
        (b"YQ 1\nIQ 2147483648\nYg 2\n", IndexError),
        (b"IQ 10000000000abc\n", IndexError),
    ],
    ids=repr,
)
def test_bad_rank_fails_whole_load(tmp_path, data, exc_type):
    with pytest.raises(exc_type) as info:
        load_raw(tmp_path, data)
    assert str(info.value) == "stoi"
    with pytest.raises(ref.RankFileError) as ref_info:
        ref.load_rank_file(data)
    assert ref_info.value.exc_type is exc_type


@pytest.mark.parametrize(
    "data",
    [b"", b"\n", b"\n\n\n", b"\r\n\r\n", b"IQ==\nYQ==\n", b"IQ\t4\n", b"\xef\xbb\xbf", b"IQ==\r"],
    ids=repr,
)
def test_file_without_entries(tmp_path, data):
    with pytest.raises(RuntimeError) as info:
        load_raw(tmp_path, data)
    assert str(info.value) == EMPTY_VOCAB


@pytest.mark.parametrize("name", ["missing.tiktoken", "dïr ñame/missing.tiktoken", "no such dir/x"])
def test_missing_file(tmp_path, name):
    path = str(tmp_path / name)
    with pytest.raises(RuntimeError) as info:
        BPETokenizer.from_tiktoken_file(path)
    assert str(info.value) == "Cannot open tiktoken file: " + path
    # Given by keyword, the same.
    with pytest.raises(RuntimeError) as info:
        BPETokenizer.from_tiktoken_file(path=path)
    assert str(info.value) == "Cannot open tiktoken file: " + path


def test_relative_path_is_passed_unchanged(tmp_path):
    cwd = os.getcwd()
    os.chdir(tmp_path)
    try:
        (tmp_path / "rel.tiktoken").write_bytes(b"IQ 0\n")
        assert BPETokenizer.from_tiktoken_file("rel.tiktoken").encode("!") == [0]
        with pytest.raises(RuntimeError) as info:
            BPETokenizer.from_tiktoken_file("./nope.tiktoken")
        assert str(info.value) == "Cannot open tiktoken file: ./nope.tiktoken"
    finally:
        os.chdir(cwd)


def test_directory_path(tmp_path):
    # A directory opens on some systems and then reads as nothing: either way the load fails
    # with a RuntimeError, never a crash or an empty tokenizer.
    path = str(tmp_path)
    with pytest.raises(RuntimeError) as info:
        BPETokenizer.from_tiktoken_file(path)
    assert str(info.value) in (EMPTY_VOCAB, "Cannot open tiktoken file: " + path)


def test_is_loaded(tmp_path):
    assert BPETokenizer().is_loaded() is False
    assert load_raw(tmp_path, b"IQ 0\n").is_loaded() is True
    assert load_raw(tmp_path, b" 0\n").is_loaded() is True  # the empty token is an entry


def test_failed_load_leaves_nothing_behind(tmp_path):
    good = write_raw(tmp_path, b"IQ 0\nYQ 1\n")
    bad = write_raw(tmp_path, b"IQ 0\nYQ x\n")
    first = BPETokenizer.from_tiktoken_file(str(good))
    with pytest.raises(ValueError):
        BPETokenizer.from_tiktoken_file(str(bad))
    second = BPETokenizer.from_tiktoken_file(str(good))
    assert first.encode("a!") == second.encode("a!") == [1, 0]
    assert first is not second


def test_large_rank_files_load(tmp_path):
    path = shared_file("r50k_base.tiktoken")
    tok = BPETokenizer.from_tiktoken_file(str(path))
    assert tok.is_loaded()
    # Every line of the file maps its token to its rank, both ways.
    vocab, id_to_token = ref.load_rank_file(path.read_bytes())
    assert len(vocab) == 50256
    for rank in range(0, 50256, 97):
        token = id_to_token[rank]
        try:
            text = token.decode("utf-8")
        except UnicodeDecodeError:
            with pytest.raises(UnicodeDecodeError):
                tok.decode([rank])
        else:
            assert tok.decode([rank]) == text
    assert tok.decode([50256]) == ""
    cl = BPETokenizer.from_tiktoken_file(str(shared_file("cl100k_base.tiktoken")))
    assert cl.is_loaded()
    assert cl.encode("hello") == [15339]
    assert cl.decode([15339, 1917]) == "hello world"


# ---------------------------------------------------------------------------------------
# Fuzz: random rank files against the reference loader.
# ---------------------------------------------------------------------------------------

TOKENS = [b"!", b"a", b"b", b"ab", b"ba", b" a", b"hello", b"\xc3", b"\xa9", b"\xc3\xa9", b"", b"_"]

token_fields = st.one_of(
    st.sampled_from(TOKENS).map(base64.b64encode),
    st.sampled_from(TOKENS).map(lambda t: base64.b64encode(t).rstrip(b"=")),
    st.lists(st.sampled_from([b"I", b"Q", b"Y", b"W", b"J", b"=", b"+", b"/", b"-", b"_", b" ",
                              b"\t", b"\xef\xbb\xbf", b"w", b"\x00"]), max_size=6).map(b"".join),
)
valid_ranks = st.integers(-3, 12).map(lambda r: str(r).encode())
rank_fields = st.one_of(
    valid_ranks,
    valid_ranks,
    valid_ranks.map(lambda r: r + b"\r"),
    st.lists(st.sampled_from([b"1", b"0", b"2", b"7", b"-", b"+", b" ", b"\t", b"x", b"\r"]),
             max_size=5).map(b"".join),
    st.sampled_from([b"2147483647", b"2147483648", b"-2147483648", b"-2147483649", b"0012", b"9abc"]),
)
lines = st.one_of(
    st.tuples(token_fields, st.sampled_from([b" ", b"  ", b"\t"]), rank_fields,
              st.sampled_from([b"\n"] * 4 + [b"\r\n"] * 3 + [b" \n"])).map(b"".join),
    st.sampled_from([b"\n", b"\r\n", b"\r\n\r\n"]),
)
files = st.tuples(st.lists(lines, max_size=8).map(b"".join), st.sampled_from([b"", b"IQ 5", b"\r"])).map(
    b"".join
)


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    return tmp_path_factory.mktemp("loader")


def as_text_or_error(data: bytes):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return UnicodeDecodeError


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=files)
def test_random_rank_files_match_reference(scratch, data):
    try:
        vocab, id_to_token = ref.load_rank_file(data)
    except ref.RankFileError as e:
        with pytest.raises(e.exc_type) as info:
            load_raw(scratch, data)
        assert str(info.value) == e.message
        return
    tok = load_raw(scratch, data)
    assert tok.is_loaded()
    for rank in set(id_to_token) | set(range(-4, 14)):
        try:
            got = tok.decode([rank])
        except UnicodeDecodeError:
            got = UnicodeDecodeError
        assert got == as_text_or_error(id_to_token.get(rank, b"")), rank
    for probe in set(vocab) | set(TOKENS) | {b"ab!", b"hello a"}:
        assert tok.encode(probe) == ref.encode_rank_file(probe, vocab), probe
