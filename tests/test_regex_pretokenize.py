"""The regex engine of PreTokenizer against tiktoken itself.

The reference is tiktoken's own find_iter (fancy-regex over Unicode 16): an Encoding whose
vocabulary holds every slice of the text (and the empty token) encodes each match it finds
to the one id naming that match, so its ids read back tiktoken's exact cut of the text. On
long texts the real rank files do the same job less sharply: tiktoken's ids must equal the
concatenation of the ids of our pieces encoded one by one.
"""
from __future__ import annotations

import base64
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import shared_file
from corvane_core import PreTokenizer

tiktoken = pytest.importorskip("tiktoken")
from tiktoken_ext import openai_public  # noqa: E402


def _public_patterns() -> dict[str, str]:
    """The pat_str of each public encoding, as tiktoken declares it (no rank file read)."""
    saved = openai_public.load_tiktoken_bpe
    openai_public.load_tiktoken_bpe = lambda *args, **kwargs: {}
    try:
        return {"r50k": openai_public.r50k_base()["pat_str"],
                "cl100k": openai_public.cl100k_base()["pat_str"],
                "o200k": openai_public.o200k_base()["pat_str"]}
    finally:
        openai_public.load_tiktoken_bpe = saved


PUBLIC = _public_patterns()


def tiktoken_repair(text: str) -> str:
    """tiktoken's reading of a str with lone surrogates."""
    return text.encode("utf-16", "surrogatepass").decode("utf-16", "replace")


def tiktoken_cut(pat_str: str, text: str) -> list[bytes]:
    """tiktoken's non-empty matches of pat_str in text, through a slice vocabulary."""
    data = tiktoken_repair(text).encode("utf-8")
    ranks = {bytes([b]): b for b in range(256)}
    ranks[b""] = 256
    for i in range(len(data)):
        for j in range(i + 2, len(data) + 1):
            ranks.setdefault(data[i:j], len(ranks))
    enc = tiktoken.Encoding("cut", pat_str=pat_str, mergeable_ranks=ranks, special_tokens={})
    token = {rank: piece for piece, rank in ranks.items()}
    return [token[i] for i in enc.encode_ordinary(text) if token[i]]


def regex_engine(pat_str: str) -> PreTokenizer:
    pt = PreTokenizer(pat_str, engine="regex")
    assert pt.kind == "regex"
    return pt


# ---------------------------------------------------------------------------------------
# The public patterns on the regex engine, whole corpora, real rank files

RANK_FILES = {"r50k": "r50k_base.tiktoken", "cl100k": "cl100k_base.tiktoken", "o200k": "o200k_base.tiktoken"}


def read_ranks(path) -> dict[bytes, int]:
    ranks = {}
    for line in path.read_bytes().splitlines():
        if line:
            token, rank = line.split()
            ranks[base64.b64decode(token)] = int(rank)
    return ranks


@pytest.fixture(scope="module", params=sorted(RANK_FILES))
def real_encoding(request):
    name = request.param
    ranks = read_ranks(shared_file(RANK_FILES[name]))
    return name, tiktoken.Encoding(name, pat_str=PUBLIC[name], mergeable_ranks=ranks, special_tokens={})


def assert_same_ids_as_tiktoken(enc, pieces: list[bytes], text: str) -> None:
    cache: dict[bytes, list[int]] = {}
    ours: list[int] = []
    for piece in pieces:
        ids = cache.get(piece)
        if ids is None:
            ids = cache[piece] = enc._encode_single_piece(piece)
        ours.extend(ids)
    expected = enc.encode_ordinary(text)
    if ours != expected:
        k = next((k for k, (a, b) in enumerate(zip(ours, expected)) if a != b), min(len(ours), len(expected)))
        context = enc.decode(expected[max(0, k - 5):k + 5])
        pytest.fail(f"ids differ first at id {k} of {len(expected)}, near {context!r}")


def test_public_patterns_on_the_corpora_give_tiktokens_ids(real_encoding):
    name, enc = real_encoding
    pt = regex_engine(PUBLIC[name])
    for corpus in ("prose", "code", "multilingual"):
        text = shared_file("corpus", f"{corpus}.txt").read_text(encoding="utf-8")
        pieces = pt.split(text)
        assert b"".join(pieces) == text.encode("utf-8")
        assert_same_ids_as_tiktoken(enc, pieces, text)


# ---------------------------------------------------------------------------------------
# Random Unicode against tiktoken's exact cut

# Pieces that make the public patterns' alternatives meet: contractions in both cases,
# every Unicode white space, \r\n mixes, digits of other scripts, combining marks, emoji
# with ZWJ, CJK, RTL, and characters of Unicode 15 and 16 (older engines' tables call
# them unassigned).
FRAGMENTS = [
    "'s", "'S", "'t", "'RE", "'ve", "'ll", "'LL", "'d", "'m", "n't", "'x",
    " ", "  ", "\t", "\n", "\r\n", "\r", "\n\n", " \n", "\u000b", "\u000c",
    "\u0085", "\u00a0", "\u1680", "\u2000", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000",
    "123", "4567", "\u0661\u0662\u0663", "\u0967\u0968", "\uff11\uff12", "\u2160", "\u00bd",
    "e\u0301", "\u0915\u094d\u0937", "\U0001F468\u200D\U0001F469\u200D\U0001F467", "\U0001F44D\U0001F3FD",
    "\u4e2d\u6587", "\u65e5\u672c\u8a9e", "\u05e9\u05dc\u05d5\u05dd", "\u0645\u0631\u062d\u0628\u0627",
    "Hello", "WORLD", "camelCase", "\u01c5", "\u02b0", "caf\u00e9", "na\u00efve", "\u00dfe",
    "\U00011f04\U00011f05", "\U0001e5d0\U0001e5d1", "\U00016d40\U00016d41", "\U0001e5f0",
    ".", "!!", "/", "//", "_", "__init__", "->", "$", "\u00b7", "\u2014",
]
unicode_text = st.lists(
    st.one_of(st.characters(exclude_categories=("Cs",)), st.sampled_from(FRAGMENTS)), max_size=14
).map("".join)


@pytest.mark.parametrize("name", sorted(PUBLIC))
@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(text=unicode_text)
def test_public_patterns_cut_random_unicode_like_tiktoken(name, text):
    assert regex_engine(PUBLIC[name]).split(text) == tiktoken_cut(PUBLIC[name], text)


# Custom patterns (tiktoken's pat_str contract), each with the features it exercises.
CUSTOM = [
    pytest.param(r"\p{Lu}", id="skips-all-but-uppercase"),
    pytest.param(r"\p{Lu}\p{Ll}*|\p{N}+", id="drops-unmatched-text"),
    pytest.param(r"\p{L}+(?=\s)|\S", id="lookahead"),
    pytest.param(r"\p{L}++\p{L}|\p{L}+", id="possessive-gives-nothing-back"),
    pytest.param(r"(?i:'s|'t|'re)|(?i:[a-z]+)|.", id="case-insensitive-group"),
    pytest.param(r"(?i)\p{Lu}+|\s+", id="case-insensitive-category"),
    pytest.param(r"x*", id="empty-matches"),
    pytest.param(r"a*?|b", id="lazy-empty-first"),
    pytest.param(r"(?=\p{L})|\p{N}+", id="lookahead-only"),
    pytest.param(r"\s+$|\s+|\S+", id="dollar-is-the-end"),
    pytest.param(r"(?m)\S+$|\S+|\s", id="multiline-dollar"),
    pytest.param(r".+", id="dot-excludes-newline"),
    pytest.param(r"(?s).{1,3}", id="dotall"),
    pytest.param(r"\d+|\D+", id="digits-nd"),
    pytest.param(r"\s+(?!\S)|\s+|\S", id="white-space"),
    pytest.param(r"[^\s\p{L}\p{N}]+|[\p{L}\p{M}]+|\p{N}{1,3}", id="negated-class"),
    pytest.param(r"\pL+|\PL", id="one-letter-names"),
    pytest.param(r"\p{Letter}+|\p{Decimal_Number}+|\p{gc=Mn}|\p{General_Category!=Letter}", id="long-names"),
    pytest.param(r"\p{is lowercase-letter}+|\p{Lt}|\p{Lm}|\p{Lo}+|\P{L}", id="loose-names"),
    pytest.param(r"[[:alpha:]]+|[[:digit:][:space:]]+|[[:^alnum:]]", id="posix-classes-are-ascii"),
    pytest.param(r"\u{e9}+|\u00E0|\x{4E2D}|\x41|\v|[^\u{e9}]", id="hex-escapes"),
    pytest.param(r"\p{Any}\p{Any}|\p{ASCII}+|\p{Assigned}|\P{Assigned}", id="any-ascii-assigned"),
    pytest.param(r"\p{Greek}+|\P{Greek}", id="script-left-to-the-engine"),
    pytest.param(r"(\p{L})\1|.", id="backreference"),
    pytest.param(r"(?<=\p{L})\p{N}+|.", id="lookbehind"),
    pytest.param(r"(?>\p{L}+)\p{L}|\S+|\s", id="atomic-group"),
    pytest.param(r"", id="empty-pattern"),
]


@pytest.mark.parametrize("pat_str", CUSTOM)
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(text=unicode_text)
def test_custom_patterns_cut_random_unicode_like_tiktoken(pat_str, text):
    assert regex_engine(pat_str).split(text) == tiktoken_cut(pat_str, text)


# Fixed texts that each custom feature must get right, beside the random ones.
FIXED = [
    (r"\p{L}+", "a\U0001e5d0b \U00011f04 \u0d5f"),  # Unicode 15/16 letters are letters
    (r"\p{N}+|\P{N}", "\U0001e5f1\U00016d70 1\u0f33"),  # new digits, Tibetan half digit
    (r"\s+$|\s", "a \n"),  # no match before a final newline
    (r"\s+(?!\S)|\s", "a   b\u3000\u3000c\u2028"),
    (r"(?i:'s|'t)|\p{L}+|.", "IT'S it'S \u017f'\u017f"),  # long s folds to s
    (r"x*", "axxbx"),
    (r"\b\p{L}+", "ab cd"),
    (r"a*?|b", "aab"),
]


@pytest.mark.parametrize("pat_str, text", FIXED)
def test_fixed_cases_like_tiktoken(pat_str, text):
    assert regex_engine(pat_str).split(text) == tiktoken_cut(pat_str, text)


# ---------------------------------------------------------------------------------------
# Bytes, surrogates, kinds, errors


def reference_bytes_cut(pat_str: str, data: bytes) -> list[bytes]:
    """Each maximal run of well-formed UTF-8 cut as a text of its own by tiktoken; every
    other byte a piece of its own (surrogateescape gives one lone surrogate per such byte)."""
    out: list[bytes] = []
    run: list[str] = []
    for ch in data.decode("utf-8", "surrogateescape") + "\udc00":
        if "\udc80" <= ch <= "\udcff" or ch == "\udc00":
            if run:
                out.extend(tiktoken_cut(pat_str, "".join(run)))
                run = []
            if ch != "\udc00":
                out.append(bytes([ord(ch) - 0xDC00]))
        else:
            run.append(ch)
    return out


random_bytes = st.lists(
    st.one_of(st.binary(max_size=4), st.sampled_from([f.encode() for f in FRAGMENTS]),
              st.sampled_from([b"\xff", b"\xc3", b"\xe2\x82", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc0\xaf"])),
    max_size=10,
).map(b"".join)


@pytest.mark.parametrize("pat_str", [PUBLIC["cl100k"], PUBLIC["o200k"], r"\p{L}+|\p{N}"])
@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=random_bytes)
def test_invalid_utf8_bytes_are_pieces_of_their_own(pat_str, data):
    pieces = regex_engine(pat_str).split(data)
    assert pieces == reference_bytes_cut(pat_str, data)
    if pat_str in PUBLIC.values():
        assert b"".join(pieces) == data


@pytest.mark.parametrize("pat_str", [PUBLIC["o200k"], r"\p{L}+|."])
@settings(max_examples=60, deadline=None)
@given(text=st.lists(st.one_of(st.characters(), st.sampled_from(["\ud83d\ude00", "\ud800", "\udfff", "a"])),
                     max_size=10).map("".join))
def test_lone_surrogates_read_as_tiktoken_reads_them(pat_str, text):
    pt = regex_engine(pat_str)
    assert pt.split(text) == tiktoken_cut(pat_str, text) == pt.split(tiktoken_repair(text))


def test_public_patterns_are_recognised_character_for_character():
    for name, pat in PUBLIC.items():
        assert PreTokenizer(pat).kind == name
        assert PreTokenizer(pat).pattern == pat
        assert PreTokenizer(pat, engine="regex").kind == "regex"
        assert PreTokenizer(pat + " ").kind == "regex"
        assert PreTokenizer(pat.replace("|", "| ", 1)).kind == "regex"
    assert PreTokenizer.ascii_gpt2().kind == "ascii_gpt2"


@settings(max_examples=150, deadline=None)
@given(text=unicode_text)
def test_ascii_rule_as_a_pattern_cuts_valid_text_like_its_scanner(text):
    scanner = PreTokenizer.ascii_gpt2()
    assert regex_engine(scanner.pattern).split(text) == scanner.split(text)


ERRORS = [
    ("(a", "invalid pattern: missing closing parenthesis at offset 2"),
    (r"\p{L}+(", "invalid pattern: missing closing parenthesis at offset 7"),
    ("\u00e9\u00e9(", "invalid pattern: missing closing parenthesis at offset 3"),
    ("*", "invalid pattern: quantifier does not follow a repeatable item at offset 0"),
    ("a{2,1}", "invalid pattern: numbers out of order in {} quantifier at offset 5"),
    ("[a", "invalid pattern: missing terminating ] for character class at offset 2"),
    ("x\\", "invalid pattern: \\ at end of pattern at offset 2"),
    (r"\p{Foo}", "invalid pattern: unknown property after \\P or \\p at offset 7"),
    ("[a[b]]", "invalid pattern: nested character classes are not supported at offset 2"),
    ("[a&&b]", "invalid pattern: character class set operations (&&, --, ~~) are not supported at offset 2"),
    ("[\\w--_]", "invalid pattern: character class set operations (&&, --, ~~) are not supported at offset 3"),
    ("[[:foo:]]", "invalid pattern: nested character classes are not supported at offset 1"),
]


@pytest.mark.parametrize("pat_str, message", ERRORS)
def test_invalid_patterns_raise_value_error(pat_str, message):
    with pytest.raises(ValueError) as info:
        PreTokenizer(pat_str)
    assert str(info.value) == message


def test_other_argument_errors():
    with pytest.raises(ValueError) as info:
        PreTokenizer("a", engine="fast")
    assert str(info.value) == "engine must be \"auto\" or \"regex\", not 'fast'"
    with pytest.raises(UnicodeEncodeError):
        PreTokenizer("a\ud800")
    with pytest.raises(TypeError) as info:
        PreTokenizer("a").split(3)
    assert str(info.value) == "split() argument must be str or bytes, not int"
    with pytest.raises(TypeError):
        PreTokenizer(b"a")


# ---------------------------------------------------------------------------------------
# Long and hostile input


@pytest.mark.parametrize("name", sorted(PUBLIC))
def test_ten_megabytes_of_one_class(name):
    pt = regex_engine(PUBLIC[name])
    letters = "a" * 10_000_000
    assert pt.split(letters) == [letters.encode()]
    digits = "7" * 10_000_000
    pieces = pt.split(digits)
    assert b"".join(pieces) == digits.encode()
    if name != "r50k":
        assert {len(p) for p in pieces} == {3, 1}


def test_a_megabyte_of_spaces(real_encoding):
    name, enc = real_encoding
    pt = regex_engine(PUBLIC[name])
    for n in (1_000_000, 10_000):
        for text in (" " * n, " " * n + "x", "\n \r\n" * (n // 4) + "y  "):
            pieces = pt.split(text)
            assert b"".join(pieces) == text.encode()
            # tiktoken itself overflows its stack on the megabyte (fancy-regex's recursion).
            if n <= 10_000:
                assert_same_ids_as_tiktoken(enc, pieces, text)
    assert pt.split(" " * 1_000_000 + "x")[0] == b" " * 999_999


@pytest.mark.parametrize("pat_str, text", [
    (r"(a+)+$", "a" * 5_000 + "b"),
    (r"(?:(a)|b)+", "ab" * 4_000_000),
    (r"(\p{L}|\p{Ll})+\d", "a" * 100_000),
])
def test_runaway_patterns_raise_instead_of_hanging(pat_str, text):
    with pytest.raises(RuntimeError, match=r"^pattern matching gave up on this text \("):
        regex_engine(pat_str).split(text)


@pytest.mark.parametrize("pat_str, text", [
    (r"(?:ab)+", "ab" * 5_000_000),
    (r"(a|b)+", "ab" * 500_000),
    (r"\s++$|\s+(?!\S)|\s", " " * 1_000_000),
])
def test_long_legitimate_matches_complete(pat_str, text):
    assert regex_engine(pat_str).split(text) == [text.encode()]


def test_threads_share_one_pre_tokenizer():
    pt = regex_engine(PUBLIC["o200k"])
    texts = [("caf\u00e9 'S 123 \u4e2d\u6587  \n" * 2_000) + str(k) for k in range(8)]
    expected = [pt.split(t) for t in texts]
    results: dict[int, list[bytes]] = {}

    def work(k: int) -> None:
        results[k] = pt.split(texts[k])

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(texts))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [results[k] for k in range(len(texts))] == expected
