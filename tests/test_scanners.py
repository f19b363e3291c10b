"""The hand-written scanners of the public tiktoken patterns against the regex engine.

Every public pattern runs on its own scanner (engine="auto"); the same pattern on the regex
engine (engine="regex") is the oracle, and the scanner must cut every text into exactly the
same pieces. As a check of both against tiktoken itself, the pieces are also encoded one by
one with tiktoken's own BPE (CoreBPE.encode_single_piece) and joined: that must give the
ids of tiktoken's encode_ordinary, which cuts the text with its own regex engine.
"""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import shared_file

corvane_core = pytest.importorskip("corvane_core")
PreTokenizer = corvane_core.PreTokenizer


def public_patterns():
    """tiktoken's pat_str of each public encoding, read from tiktoken_ext without loading
    (or downloading) any rank file."""
    openai_public = pytest.importorskip("tiktoken_ext.openai_public")
    mp = pytest.MonkeyPatch()
    for loader in ("load_tiktoken_bpe", "data_gym_to_mergeable_bpe_ranks"):
        mp.setattr(openai_public, loader, lambda *a, **k: {})
    try:
        return {name: ctor()["pat_str"] for name, ctor in openai_public.ENCODING_CONSTRUCTORS.items()}
    finally:
        mp.undo()


SCANNER_OF = {
    "gpt2": "r50k",
    "r50k_base": "r50k",
    "p50k_base": "r50k",
    "p50k_edit": "r50k",
    "cl100k_base": "cl100k",
    "o200k_base": "o200k",
    "o200k_harmony": "o200k",
}
KINDS = ("r50k", "cl100k", "o200k")
RANK_FILE = {"r50k": "r50k_base.tiktoken", "cl100k": "cl100k_base.tiktoken", "o200k": "o200k_base.tiktoken"}
ENCODING_OF = {"r50k": "r50k_base", "cl100k": "cl100k_base", "o200k": "o200k_base"}


@pytest.fixture(scope="module")
def patterns():
    pats = public_patterns()
    return {kind: pats[ENCODING_OF[kind]] for kind in KINDS}


@pytest.fixture(scope="module")
def splitters(patterns):
    """Per pattern kind: (scanner, regex engine)."""
    return {kind: (PreTokenizer(pat), PreTokenizer(pat, engine="regex")) for kind, pat in patterns.items()}


_tiktoken_cache = {}


def tiktoken_core(kind, patterns):
    """tiktoken's CoreBPE for the encoding, from the shared rank file (loaded once)."""
    if kind not in _tiktoken_cache:
        tiktoken = pytest.importorskip("tiktoken")
        from tiktoken.load import load_tiktoken_bpe

        ranks = load_tiktoken_bpe(str(shared_file(RANK_FILE[kind])))
        enc = tiktoken.Encoding(name=f"ref-{kind}", pat_str=patterns[kind], mergeable_ranks=ranks, special_tokens={})
        _tiktoken_cache[kind] = enc._core_bpe
    return _tiktoken_cache[kind]


def assert_same_pieces(splitters, kind, text):
    scanner, regex = splitters[kind]
    got, want = scanner.split(text), regex.split(text)
    assert got == want, (kind, text)
    data = text if isinstance(text, bytes) else text.encode("utf-8")
    assert b"".join(got) == data  # the public patterns match every character
    return got


def assert_tiktoken_ids(kind, patterns, text, pieces):
    core = tiktoken_core(kind, patterns)
    ids = [i for piece in pieces for i in core.encode_single_piece(piece)]
    assert ids == core.encode_ordinary(text), (kind, text)


# --- Which pre-tokeniser runs ------------------------------------------------------------


def test_every_public_encoding_is_on_its_scanner():
    pats = public_patterns()
    assert set(pats) == set(SCANNER_OF)
    for name, pat in pats.items():
        assert PreTokenizer(pat).kind == SCANNER_OF[name], name
        assert PreTokenizer(pat, engine="regex").kind == "regex"


@pytest.mark.parametrize("kind", KINDS)
def test_a_changed_pattern_is_not_on_a_scanner(patterns, kind):
    # Any other pattern, however close, runs on the regex engine.
    pat = patterns[kind]
    for other in (pat + "|x", pat.rsplit("|", 1)[0], " " + pat, pat.replace("\\s", "\\S", 1)):
        assert PreTokenizer(other).kind == "regex"


# --- Hand-picked cases where the patterns' alternatives are easy to get wrong ----------

CASES = [
    # contractions: case, long s, partial, stacked, after letters and marks
    "it's IT'S It'S 'S 'ſ 'ſt 'll 'LL 'Ll 'lL 've 'VE 're 'RE 'm 'M 'd 'D 't 'T",
    "'l 'v 'r 'x '' ''s 's's 'ss 'ſſ a'b a'sb CAT'S Cat's cat'sſ ÉCOLE's",
    "don't we'll they've I'm you'd she'S he'LL 'twas rock'n'roll",
    "e\u0301's A\u0301'S \u0301's \u02b0's \u4e2d's 1's !'s",
    # (after a space the apostrophe joins the space instead, so these start lines or follow words)
    "'\u017fa\n'Sa\n'sa\n'LLa\n'lLa\n'VEa\n'rEa\n'Ta\n'Ma\n'Da\n'\u017f\u017f\n'\u017f",
    "cat'\u017f\ncat'S\nCAT'LL\nCat'Ve\ncat'RE\ncat'\u017f\u017f\ncat'\u017fs\n1'\u017fa\n!'Sa",
    # letters after one character of another class
    "!abc .Hello \tword \u00a0word \u3000word \u0301word \u200bword \U0001f600word",
    "\rabc \nabc \r\nabc 1abc \u0661abc",
    # o200k's overlapping word classes: Lu/Lt then Lm/Lo/M, marks alone
    "HELLOworld HELLO World ǅungla ǅUNGLA ǈ A\u0301B A\u0301b \u0301ABC \u0301ABc",
    "\u02b0A \u02b0a A\u02b0 A\u02b0B A\u02b0b \u4e2dA A\u4e2d AB\u4e2dCD \u3041\u30fc\u30a2",
    "x\u0301\u0301\u0301 \u0301\u0301 !\u0301 !\u0301a !\u0301A \u20dd \u0903a a\u0903",
    "\U00010400\U00010428 \U00010400\U00010400 \U00020000\U00010400",
    # numbers: groups of three, other scripts, number-like letters
    "1 12 123 1234 12345 1234567 \u0661\u0662\u0663\u0664 \u2160\u2161\u2162\u2163 \u00bd\u00b2\u00b3\u00b9 1\u0301",
    "x123 X1 $100 ٣٤٥٦ ３４５６ 𝟎𝟏𝟐𝟑",
    # punctuation runs, with newlines and slashes behind
    "a!!b ... !?!\n\n x--\r\n y/\n// /a / / ! !a !1 !\u00a0 http://x.y/z?q=1",
    "a.\r\n\r\nb ;\n/\n/c (\n\n) [\r/\r] {/} \u2014\u2026 \u00ab\u00bb",
    # whitespace runs: lengths, end of text, newlines inside, every White_Space
    "a  b   c    d\n\ne \n \n f\t\tg \t h  ",
    "a\n  ",
    "a \n",
    " \n\n \n  x",
    "x\r\n\r\n",
    "\u00a0\u00a0x \u2028\u2029x \u0085x \u1680\u1680x \u2000\u200ax \u202f\u205f\u3000x \x0b\x0cx",
    "x \u00a0",
    "x\u3000\u3000",
    "\u200b \ufeff \u180e \u2060",
    "   ",
    "\n",
    " ",
    "a",
    # emoji, ZWJ, flags, tags, private use, unassigned
    "\U0001f469\u200d\U0001f4bb \U0001f44d\U0001f3fd \U0001f1eb\U0001f1f7 \U000e0001 \ue000 \u0378 \U0010ffff",
    # right-to-left and mixed scripts
    "\u05e9\u05dc\u05d5\u05dd \u0645\u0631\u062d\u0628\u0627 \u0627\u0644\u0639\u0631\u0628\u064a\u0629! \u05d0'ס",
    "中文字符 日本語のテキスト 한국어 텍스트 Ελληνικά Кириллица ÅNGSTRÖM ﬁne",
]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("text", CASES)
def test_hand_picked_cases(splitters, patterns, kind, text):
    pieces = assert_same_pieces(splitters, kind, text)
    assert_tiktoken_ids(kind, patterns, text, pieces)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "unit, count",
    [
        ("a", 100_000), ("A", 100_000), ("1", 100_000), ("!", 100_000), (" ", 100_000),
        ("\n", 100_000), ("\r\n", 50_000), (" \n", 50_000), ("\u3000", 50_000),
        ("\u0301", 50_000), ("A\u0301", 50_000), ("\u02b0", 50_000), ("\u4e2d", 50_000),
        ("'s", 50_000), ("' ", 50_000), ("/\n", 50_000), ("\u0661", 50_000), ("\U0001f600", 30_000),
        ("aB", 50_000), ("Ab", 50_000), (" a", 50_000), ("  a", 50_000), ("!a", 50_000),
    ],
)
def test_long_runs_of_one_class(splitters, kind, unit, count):
    assert_same_pieces(splitters, kind, unit * count)
    assert_same_pieces(splitters, kind, "x" + unit * count + "y")


# --- The shared corpora ------------------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("corpus", ["prose", "code", "multilingual"])
def test_corpora(splitters, patterns, kind, corpus):
    text = shared_file("corpus", f"{corpus}.txt").read_text(encoding="utf-8")
    pieces = assert_same_pieces(splitters, kind, text)
    assert_tiktoken_ids(kind, patterns, text, pieces)


# --- Random Unicode ------------------------------------------------------------------------

CATEGORIES = [
    "Lu", "Ll", "Lt", "Lm", "Lo", "Mn", "Mc", "Me", "Nd", "Nl", "No",
    "Pc", "Pd", "Ps", "Pe", "Pi", "Pf", "Po", "Sm", "Sc", "Sk", "So",
    "Zs", "Zl", "Zp", "Cc", "Cf", "Co", "Cn",
]
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000"
CONTRACTIONS = ["'s", "'S", "'\u017f", "'t", "'T", "'re", "'RE", "'Re", "'ve", "'VE", "'vE",
                "'m", "'M", "'ll", "'LL", "'lL", "'d", "'D", "'", "''"]
EMOJI = ["\U0001f469\u200d\U0001f4bb", "\U0001f468\u200d\U0001f469\u200d\U0001f467", "\U0001f44d\U0001f3fd",
         "\U0001f1eb\U0001f1f7", "\u2764\ufe0f", "\U0001f600", "\u200d"]
OTHER_DIGITS = "\u0660\u0661\u06f1\u0967\u09e8\u0e52\u0f23\u1041\uff11\U0001d7ce\u2160\u00bd\u00b2\u2460\u3007"

category_chars = st.sampled_from(CATEGORIES).flatmap(lambda c: st.characters(categories=[c]))
atoms = st.one_of(
    category_chars,
    st.characters(exclude_categories=["Cs"]),
    st.sampled_from(WHITE_SPACE),
    st.sampled_from(["\r\n", "\n\r", "\r", "\n", " \n", "\n ", "\r\n\r\n", "/", "/\n", " /"]),
    st.sampled_from(CONTRACTIONS),
    st.sampled_from(EMOJI),
    st.sampled_from(OTHER_DIGITS),
    st.characters(min_codepoint=0x4E00, max_codepoint=0x9FFF),  # CJK
    st.characters(min_codepoint=0x0590, max_codepoint=0x06FF),  # Hebrew, Arabic
    st.characters(categories=["Mn", "Mc", "Me"]),
    st.text(st.sampled_from("aAzZsStT ',.!1"), max_size=6),
    # a run of one class
    st.tuples(category_chars | st.sampled_from(WHITE_SPACE), st.integers(2, 300)).map(lambda t: t[0] * t[1]),
)
texts = st.lists(atoms, max_size=30).map("".join)


@pytest.mark.parametrize("kind", KINDS)
@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(text=texts)
def test_random_unicode(splitters, patterns, kind, text):
    pieces = assert_same_pieces(splitters, kind, text)
    assert_tiktoken_ids(kind, patterns, text, pieces)


@pytest.mark.parametrize("kind", KINDS)
@settings(max_examples=200, deadline=None)
@given(data=st.lists(st.one_of(st.binary(max_size=8), texts.map(lambda t: t.encode("utf-8"))), max_size=6).map(b"".join))
def test_random_bytes(splitters, kind, data):
    # Invalid UTF-8 cuts the text into stretches, each pre-tokenised as a whole text.
    assert_same_pieces(splitters, kind, data)
