"""Tests of corvane_core.Compressor.

Expected results come from two places: hand-checked tables of small cases, and two
straightforward byte-level implementations in this file that follow the procedure literally
(one replacement at a time, rebuilding the text, searching again). The native code is
compared with them on random texts rich in the table's phrases, their fragments, short
forms, blanks and line breaks, and with linear-time oracles on inputs of several megabytes.
"""
from __future__ import annotations

import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane_core

TABLE = [
    (b" for your information ", b" FYI "),
    (b" as soon as possible ", b" ASAP "),
    (b" by the way ", b" BTW "),
    (b" with respect to ", b" about "),
    (b" in addition to ", b" plus "),
    (b" in addition, ", b" also, "),
    (b" please note that ", b" note: "),
    (b" thank you for ", b" thanks for "),
    (b" application development ", b" app dev "),
    (b" the application ", b" the app "),
    (b" software development ", b" software dev "),
    (b" the requirements ", b" the reqs "),
    (b" the reference ", b" the ref "),
    (b" the information ", b" the info "),
    (b" the library ", b" the lib "),
    (b" the libraries ", b" the libs "),
    (b" as well as ", b" and "),
    (b" in order to ", b" to "),
    (b" make sure that ", b" ensure "),
    (b" in the event that ", b" if "),
    (b" at this point in time ", b" now "),
    (b" due to the fact that ", b" because "),
    (b" a large number of ", b" many "),
]


# --------------------------------------------------------------------------------------
# Literal reference implementations (test-only, quadratic, for small inputs)


def ref_compress(text: bytes) -> bytes:
    if not text:
        return b""
    w = b" " + text + b" "
    w = re.sub(rb"[ \t]+", b" ", w)
    w = re.sub(rb"[\r\n]+", b"\n", w)
    for phrase, short in TABLE:
        pos = 0
        while True:
            i = w.find(phrase, pos)
            if i < 0:
                break
            w = w[:i] + short + w[i + len(phrase):]
            pos = i + len(short)
    return w.strip(b" \t\n\r")


def ref_decompress(text: bytes) -> bytes:
    """Expansion in table order; a later entry may not match across the inside of a phrase
    that an earlier entry inserted (only its first and last byte may be shared)."""
    if not text:
        return b""
    w = text
    closed = [False] * len(w)  # bytes inside a phrase inserted by an earlier entry
    for phrase, short in TABLE:
        pos = 0
        inserted = []
        while True:
            i = w.find(short, pos)
            if i < 0:
                break
            if any(closed[i:i + len(short)]):
                pos = i + 1
                continue
            w = w[:i] + phrase + w[i + len(short):]
            closed = closed[:i] + [False] * len(phrase) + closed[i + len(short):]
            inserted.append(i)
            pos = i + len(phrase)
        # Close the inside of this entry's insertions only for the entries after it.
        for i in inserted:
            for k in range(i + 1, i + len(phrase) - 1):
                closed[k] = True
    return w


# Linear-time oracles for large inputs, built from the calls a Python user would write.
# str.replace replaces left to right and resumes after each replacement, as specified.
# For decompress, each short form first becomes a placeholder character between its two
# spaces, so that later entries can share those spaces but never match inside; the
# placeholders become the inner text of the phrases at the end. Valid for texts without
# characters in U+E000..U+E016.
STR_TABLE = [(p.decode(), s.decode()) for p, s in TABLE]


def oracle_compress(text: str) -> str:
    if not text:
        return ""
    w = re.sub(r"[\r\n]+", "\n", re.sub(r"[ \t]+", " ", " " + text + " "))
    for phrase, short in STR_TABLE:
        w = w.replace(phrase, short)
    return w.strip(" \t\n\r")


def oracle_decompress(text: str) -> str:
    w = text
    for k, (phrase, short) in enumerate(STR_TABLE):
        w = w.replace(short, " " + chr(0xE000 + k) + " ")
    for k, (phrase, short) in enumerate(STR_TABLE):
        w = w.replace(chr(0xE000 + k), phrase[1:-1])
    return w


@pytest.fixture(scope="module")
def comp():
    return corvane_core.Compressor()


def native(fn, data: bytes) -> bytes:
    """The native result as bytes, also when it is not valid UTF-8."""
    try:
        return fn(data).encode("utf-8")
    except UnicodeDecodeError as exc:
        return exc.object


# --------------------------------------------------------------------------------------
# Hand-checked cases

COMPRESS_CASES = [
    ("", ""),
    (" \t\r\n \r\r\n\t ", ""),
    ("by the way", "BTW"),
    ("by  the\tway it works", "BTW it works"),
    ("By the way", "By the way"),
    ("We need this as soon as possible.", "We need this as soon as possible."),
    ("\nby the way\n", "by the way"),
    ("x\nby the way y", "x\nby the way y"),
    ("by the way by the way", "BTW by the way"),
    ("by the way by the way by the way", "BTW by the way BTW"),
    ("by the way  by the way", "BTW by the way"),
    ("in addition, the library is small", "also, the lib is small"),
    ("the application development team", "the app dev team"),
    ("the library and the libraries", "the lib and the libs"),
    ("thank you for your help", "thanks for your help"),
    ("in order in order to x", "in order to x"),
    ("as well as well as x", "and well as x"),
    ("due in order to the fact that", "because"),
    ("due to the fact in order to that", "due to the fact to that"),
    ("a  \n\n  b", "a \n b"),
    ("a\r\nb", "a\nb"),
    ("a\r\rb\n\r\n", "a\nb"),
    ("a \t \r\n \t b", "a \n b"),
    ("we will do it as soon as possible and then rest", "we will do it ASAP and then rest"),
    ("for your information, as soon as possible", "for your information, ASAP"),
    ("\u00e9 by the way \u00e9", "\u00e9 BTW \u00e9"),
    ("x\u00a0by the way", "x\u00a0by the way"),
    ("\x0cby the way\x0b", "\x0cby the way\x0b"),
    ("a\x00by the way\x00b", "a\x00by the way\x00b"),
    ("a\x00 by the way \x00b", "a\x00 BTW \x00b"),
    ("please note that the requirements and the reference", "note: the reqs and the ref"),
    ("at this point in time a large number of people", "now many people"),
    ("make sure that in the event that it fails", "ensure if it fails"),
    ("in addition to software development and application development",
     "plus software dev and app dev"),
    ("the information with respect to the libraries", "the info about the libs"),
]


@pytest.mark.parametrize("text, expected", COMPRESS_CASES)
def test_compress_cases(comp, text, expected):
    assert comp.compress(text) == expected
    assert ref_compress(text.encode()) == expected.encode()


DECOMPRESS_CASES = [
    ("", ""),
    ("BTW it works", "BTW it works"),
    ("it works BTW", "it works BTW"),
    ("so BTW it", "so by the way it"),
    ("salt and pepper", "salt as well as pepper"),
    ("a about b", "a with respect to b"),
    ("a plus b", "a in addition to b"),
    ("x FYI to y", "x for your information in order to y"),
    ("x to FYI y", "x in order to for your information y"),
    ("we will do it ASAP and then rest", "we will do it as soon as possible as well as then rest"),
    ("a to to to b", "a in order to to in order to b"),
    ("a and and b", "a as well as and b"),
    ("x plus to y", "x in addition to in order to y"),
    ("x about about y", "x with respect to about y"),
    ("x about  about y", "x with respect to  with respect to y"),
    ("if and now many", "if as well as at this point in time many"),
    ("so the lib and the libs", "so the library as well as the libs"),
    ("so the lib and the libs ok", "so the library as well as the libraries ok"),
    ("  to  ", "  in order to  "),
    (" to", " to"),
    ("To and To", "To as well as To"),
    ("a\tto b", "a\tto b"),
    ("a\x00 to \x00b", "a\x00 in order to \x00b"),
    ("x also, note: thanks for y", "x in addition, please note that thank you for y"),
]


@pytest.mark.parametrize("text, expected", DECOMPRESS_CASES)
def test_decompress_cases(comp, text, expected):
    assert comp.decompress(text) == expected
    assert ref_decompress(text.encode()) == expected.encode()


def test_round_trip_of_plain_prose(comp):
    text = "so please note that the requirements will change and we will do it  as soon as possible today"
    packed = comp.compress(text)
    assert packed == "so note: the reqs will change and we will do it ASAP today"
    assert comp.decompress(packed) == (
        "so please note that the requirements will change as well as we will do it as soon as possible today")


# --------------------------------------------------------------------------------------
# Binding


def test_docstrings():
    assert corvane_core.Compressor.compress.__doc__.endswith(
        "Compress text to reduce token count (abbreviation + whitespace pass)\n")
    assert corvane_core.Compressor.decompress.__doc__.endswith(
        "Re-expand abbreviations for human readability\n")


@pytest.mark.parametrize("method", ["compress", "decompress"])
def test_keyword_argument_is_rejected(comp, method):
    with pytest.raises(TypeError, match=rf"^{method}\(\): incompatible function arguments"):
        getattr(comp, method)(text="by the way")


@pytest.mark.parametrize("method", ["compress", "decompress"])
@pytest.mark.parametrize("bad", [None, 5, 1.5, ["by the way"], object()])
def test_non_text_argument_is_rejected(comp, method, bad):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        getattr(comp, method)(bad)


@pytest.mark.parametrize("method", ["compress", "decompress"])
def test_wrong_argument_count(comp, method):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        getattr(comp, method)()
    with pytest.raises(TypeError, match="incompatible function arguments"):
        getattr(comp, method)("a", "b")


def test_constructor_takes_no_arguments():
    with pytest.raises(TypeError, match=r"^__init__\(\): incompatible constructor arguments"):
        corvane_core.Compressor(1)


def test_bytes_and_bytearray_are_raw_bytes(comp):
    assert comp.compress(b"by  the way") == "BTW"
    assert comp.compress(bytearray(b"thank you for it")) == "thanks for it"
    assert comp.decompress(b"a about b") == "a with respect to b"
    assert comp.decompress(bytearray(b"salt and pepper")) == "salt as well as pepper"


@pytest.mark.parametrize("method", ["compress", "decompress"])
def test_invalid_utf8_result_raises(comp, method):
    data = b"\xff by the way and \xfe"
    with pytest.raises(UnicodeDecodeError) as info:
        getattr(comp, method)(data)
    expected = ref_compress(data) if method == "compress" else ref_decompress(data)
    assert info.value.object == expected


def test_lone_surrogate_str_is_rejected(comp):
    with pytest.raises(TypeError):
        comp.compress("a\ud800b")


def test_no_new_attributes(comp):
    with pytest.raises(AttributeError):
        comp.extra = 1


def test_instances_are_independent_and_unchanged(comp):
    other = corvane_core.Compressor()
    text = "due in order to the fact that x FYI to y"
    first = (comp.compress(text), comp.decompress(text))
    assert (other.compress(text), other.decompress(text)) == first
    assert (comp.compress(text), comp.decompress(text)) == first


# --------------------------------------------------------------------------------------
# Property tests against the literal implementations

FRAGMENTS = sorted({
    *(p.decode() for p, _ in TABLE), *(s.decode() for _, s in TABLE),
    *(p.decode().strip() for p, _ in TABLE), *(s.decode().strip() for _, s in TABLE),
    *(w for p, _ in TABLE for w in p.decode().split()),
    "in order", "order to", "as well", "well as", "the lib", "the app", "due to the",
    "the fact that", "in addition", "addition,", "to the", "by the", "the way", "soon as",
    "in the event", "point in", "a large", "number of", "make sure", "thank you",
    "By", "The", "AS", "to,", "and.", "x", "yz", "é", "—", "\x00", "\x0b", "\x0c", "\xa0",
    ",", ".", ":", ";",
    " ", " ", " ", "  ", "   ", "\t", " \t", "\t ", "\n", "\n", "\r", "\r\n", "\n\n", " \n ",
})
fragments = st.sampled_from(FRAGMENTS)
phrase_texts = st.lists(fragments, max_size=40).map("".join)
byte_texts = st.lists(
    st.one_of(fragments.map(str.encode), st.binary(max_size=3)), max_size=40).map(b"".join)

PROPERTY = settings(max_examples=500, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@PROPERTY
@given(phrase_texts)
def test_compress_matches_reference(text):
    comp = corvane_core.Compressor()
    expected = ref_compress(text.encode()).decode()
    assert comp.compress(text) == expected
    assert oracle_compress(text) == expected


@PROPERTY
@given(phrase_texts)
def test_decompress_matches_reference(text):
    comp = corvane_core.Compressor()
    expected = ref_decompress(text.encode()).decode()
    assert comp.decompress(text) == expected
    assert oracle_decompress(text) == expected


@PROPERTY
@given(phrase_texts)
def test_decompress_of_compressed_matches_reference(text):
    comp = corvane_core.Compressor()
    packed = comp.compress(text)
    assert comp.decompress(packed) == ref_decompress(packed.encode()).decode()


@PROPERTY
@given(byte_texts)
def test_any_bytes_match_reference(data):
    comp = corvane_core.Compressor()
    assert native(comp.compress, data) == ref_compress(data)
    assert native(comp.decompress, data) == ref_decompress(data)


@settings(max_examples=200, deadline=None)
@given(st.text(max_size=60))
def test_any_str_gives_valid_text(text):
    comp = corvane_core.Compressor()
    data = text.encode()
    assert comp.compress(text) == ref_compress(data).decode()
    assert comp.decompress(text) == ref_decompress(data).decode()


@settings(max_examples=60, deadline=None)
@given(st.lists(fragments, min_size=300, max_size=3000).map("".join))
def test_longer_texts_match_oracles(text):
    # Long enough to exercise the block-wise scans well away from the ends of the text.
    comp = corvane_core.Compressor()
    assert comp.compress(text) == oracle_compress(text)
    assert comp.decompress(text) == oracle_decompress(text)


def test_every_alignment(comp):
    # The scans work on blocks of 16, 32 and 64 bytes and finish byte by byte: place phrases,
    # short forms and blank runs at every offset from the start and from the end.
    middles = [" by the way ", "due in order to the fact that", "x FYI to y ", "  \t \r\n\n ",
               "the application development", " as well as well as ", "a about b plus c "]
    for middle in middles:
        for pad in range(0, 140):
            for tail in (0, 3, 37):
                text = ("ab " * 50)[:pad] + middle + ("cd " * 20)[:tail]
                data = text.encode()
                assert comp.compress(text) == ref_compress(data).decode(), (pad, tail, middle)
                assert comp.decompress(text) == ref_decompress(data).decode(), (pad, tail, middle)


# --------------------------------------------------------------------------------------
# Large and hostile inputs: many megabytes, which a quadratic implementation cannot handle

MB = 1 << 20

LARGE = [
    "by the way " * (MB // 11 * 3),
    "in order to " * (MB // 12 * 3),
    "due in order to the fact that " * (MB // 30 * 3),
    "as well as well as well " * (MB // 24 * 2),
    "the application development team said the library and the libraries " * (MB // 70 * 2),
    " to" * (MB * 2),
    "x FYI to y about plus z and " * (MB // 28 * 3),
    " \t" * (MB * 2) + "by the way" + "\r\n" * MB,
    "\r\n\r" * MB + "a",
    "word " * MB,
    "Lorem ipsum dolor sit amet, consectetur adipiscing elit.\n" * (MB // 57 * 3),
]


@pytest.mark.parametrize("index", range(len(LARGE)))
def test_large_inputs_match_oracles(comp, index):
    text = LARGE[index]
    assert comp.compress(text) == oracle_compress(text)
    assert comp.decompress(text) == oracle_decompress(text)


def test_large_random_phrase_text(comp):
    import random

    rng = random.Random(5)
    text = "".join(rng.choice(FRAGMENTS) for _ in range(600_000))
    assert comp.compress(text) == oracle_compress(text)
    assert comp.decompress(text) == oracle_decompress(text)
