"""WordPieceTokenizer: vocab.txt loading, greedy longest-match-first splitting, decode, count.

Checked against hand-worked expectations, against a plain Python transcription of the
splitting procedure on random vocabularies, and against HuggingFace tokenizers' WordPiece
model on BERT's real vocabulary.
"""
from __future__ import annotations

import itertools
import random
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import bert_vocab
from conftest import shared_file

corvane_core = pytest.importorskip("corvane_core")
WordPieceTokenizer = corvane_core.WordPieceTokenizer

UNK = 100
SIX_SPACES = b" \t\n\x0b\x0c\r"


# ---------------------------------------------------------------------------------------
# Helpers: vocabulary files and a reference implementation
# ---------------------------------------------------------------------------------------

_file_counter = itertools.count()


@pytest.fixture(scope="module")
def vocab_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("vocab")


def write_vocab(folder, lines: list[bytes | str], trailing_newline: bool = True) -> str:
    """Writes `lines` joined by line feeds (no other translation) and returns the path."""
    raw = [line.encode("utf-8") if isinstance(line, str) else line for line in lines]
    data = b"\n".join(raw) + (b"\n" if trailing_newline else b"")
    path = folder / f"vocab{next(_file_counter)}.txt"
    path.write_bytes(data)
    return str(path)


class Reference:
    """The splitting procedure transcribed literally: every candidate built as a string."""

    def __init__(self, data: bytes):
        lines = data.split(b"\n")
        if lines and lines[-1] == b"":
            lines.pop()  # a final line feed opens no further line
        self.vocab: dict[bytes, int] = {}
        self.id_to_token: dict[int, bytes] = {}
        for i, line in enumerate(lines):
            if line:
                self.vocab[line] = i
                self.id_to_token[i] = line
        self.empty = not self.vocab

    def wordpiece_tokenize(self, word: bytes) -> list[int]:
        ids = []
        start = 0
        while start < len(word):
            end = len(word)
            cur = -1
            while start < end:
                sub = word[start:end]
                if start > 0:
                    sub = b"##" + sub
                if sub in self.vocab:
                    cur = self.vocab[sub]
                    break
                end -= 1
            if cur < 0:
                return [UNK]
            ids.append(cur)
            start = end
        return ids

    def encode(self, text: bytes) -> list[int]:
        out = []
        for word in re.split(rb"[ \t\n\x0b\x0c\r]+", text):
            if word:
                out += self.wordpiece_tokenize(word)
        return out

    def decode(self, ids) -> bytes:
        out = b""
        for i in ids:
            tok = self.id_to_token.get(i)
            if tok is None:
                continue
            if len(tok) > 2 and tok[:2] == b"##":
                out += tok[2:]
            else:
                out += b" " + tok
        return out[1:] if out[:1] == b" " else out


# The vocabulary of the worked examples: un=7, ##aff=8, ##able=9, ##a=10, ##=3, and no
# other token that can match (the remaining lines up to id 10 are empty).
EXAMPLE_LINES = ["", "", "", "##", "", "", "", "un", "##aff", "##able", "##a"]


@pytest.fixture(scope="module")
def example(vocab_dir):
    return WordPieceTokenizer(write_vocab(vocab_dir, EXAMPLE_LINES))


# ---------------------------------------------------------------------------------------
# Loading vocab.txt
# ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("trailing_newline", [True, False])
def test_ids_are_line_positions(vocab_dir, trailing_newline):
    tok = WordPieceTokenizer(write_vocab(vocab_dir, ["a", "b", "c"], trailing_newline))
    assert tok.encode("a b c c") == [0, 1, 2, 2]
    assert tok.decode([0, 1, 2]) == "a b c"
    assert tok.decode([3]) == ""  # the final line feed opens no fourth line


def test_empty_line_uses_up_its_id(vocab_dir):
    tok = WordPieceTokenizer(write_vocab(vocab_dir, ["x", "", "y"]))
    assert tok.encode("x y") == [0, 2]
    assert tok.decode([1]) == ""
    assert tok.decode([0, 1, 2]) == "x y"


def test_duplicate_text_last_line_wins_but_every_id_keeps_its_text(vocab_dir):
    tok = WordPieceTokenizer(write_vocab(vocab_dir, ["a", "b", "dup", "c", "d", "e", "dup"]))
    assert tok.encode("dup") == [6]
    assert tok.decode([2]) == "dup"
    assert tok.decode([6]) == "dup"
    assert tok.decode([2, 6]) == "dup dup"


def test_duplicate_continuation_token_last_line_wins(vocab_dir):
    tok = WordPieceTokenizer(write_vocab(vocab_dir, ["a", "##b", "c", "##b"]))
    assert tok.encode("ab") == [0, 3]
    assert tok.decode([0, 1, 3]) == "abb"


def test_crlf_file_keeps_carriage_returns_in_tokens(vocab_dir):
    path = vocab_dir / "crlf.txt"
    path.write_bytes(b"ab\r\ncd\r\nef")
    tok = WordPieceTokenizer(str(path))
    # "ab\r" and "cd\r" can never match a word (a carriage return separates words);
    # the unterminated last line has no carriage return.
    assert tok.encode("ab cd ef") == [UNK, UNK, 2]
    assert tok.encode("ab\r") == [UNK]
    assert tok.decode([0, 1, 2]) == "ab\r cd\r ef"


def test_lone_carriage_return_line_is_a_token_not_an_empty_line(vocab_dir):
    path = vocab_dir / "cr_line.txt"
    path.write_bytes(b"a\r\n\r\nb\r\n")
    tok = WordPieceTokenizer(str(path))
    assert tok.decode([0, 1, 2]) == "a\r \r b\r"


def test_byte_order_mark_belongs_to_first_token(vocab_dir):
    path = vocab_dir / "bom.txt"
    path.write_bytes(b"\xef\xbb\xbfhello\nworld\n")
    tok = WordPieceTokenizer(str(path))
    assert tok.encode("hello world") == [UNK, 1]
    assert tok.encode("\ufeffhello") == [0]
    assert tok.decode([0]) == "\ufeffhello"


def test_blanks_around_tokens_are_kept(vocab_dir):
    tok = WordPieceTokenizer(write_vocab(vocab_dir, ["a ", "a", " b", "\tc"]))
    assert tok.encode("a b c") == [1, UNK, UNK]
    assert tok.decode([0, 1]) == "a  a"
    # Only the separator blank goes at the start; the token keeps its own.
    assert tok.decode([2]) == " b"
    assert tok.decode([3, 1]) == "\tc a"


def test_nul_and_high_bytes_are_word_bytes(vocab_dir):
    tok = WordPieceTokenizer(write_vocab(vocab_dir, [b"a\x00b", b"\xff", b"##\xfe"]))
    assert tok.encode(b"a\x00b") == [0]
    assert tok.encode(b"\xff\xfe \xff") == [1, 2, 1]
    with pytest.raises(UnicodeDecodeError):
        tok.decode([1])


@pytest.mark.parametrize("content", [b"", b"\n", b"\n\n\n"], ids=["zero-bytes", "one-lf", "lfs"])
def test_empty_vocabulary_fails_with_path(vocab_dir, content):
    path = vocab_dir / f"empty{next(_file_counter)}.txt"
    path.write_bytes(content)
    with pytest.raises(RuntimeError) as info:
        WordPieceTokenizer(str(path))
    assert str(info.value) == f"vocab.txt is empty: {path}"


def test_directory_opens_but_yields_no_line(vocab_dir):
    folder = vocab_dir / "a folder"
    folder.mkdir()
    with pytest.raises(RuntimeError) as info:
        WordPieceTokenizer(str(folder))
    assert str(info.value) == f"vocab.txt is empty: {folder}"


@pytest.mark.parametrize("name", ["missing.txt", "no such/dir/vocab.txt", "naïve ünïcode.txt"])
def test_missing_file_fails_with_path_verbatim(vocab_dir, name):
    path = str(vocab_dir / name)
    with pytest.raises(RuntimeError) as info:
        WordPieceTokenizer(path)
    assert str(info.value) == f"Cannot open vocab.txt: {path}"


def test_path_that_is_not_utf8_is_quoted_readably(vocab_dir):
    folder = bytes(vocab_dir)
    with pytest.raises(RuntimeError) as info:
        WordPieceTokenizer(folder + b"/missing-\xff\xfe.txt")
    assert str(info.value) == f"Cannot open vocab.txt: {vocab_dir}/missing-\ufffd\ufffd.txt"
    empty = folder + b"/empty-\xc3.txt"
    with open(empty, "wb"):
        pass
    with pytest.raises(RuntimeError) as info:
        WordPieceTokenizer(empty)
    assert str(info.value) == f"vocab.txt is empty: {vocab_dir}/empty-\ufffd.txt"
    # The path's bytes reach the file system unchanged.
    named = folder + b"/vocab-\xff.txt"
    with open(named, "wb") as f:
        f.write(b"ok\n")
    assert WordPieceTokenizer(named).encode("ok") == [0]


def test_relative_path_is_resolved_against_current_directory(vocab_dir, monkeypatch):
    name = write_vocab(vocab_dir, ["rel"]).rsplit("/", 1)[1]
    monkeypatch.chdir(vocab_dir)
    assert WordPieceTokenizer(name).count("anything") == 1
    with pytest.raises(RuntimeError, match=r"^Cannot open vocab\.txt: \./nope\.txt$"):
        WordPieceTokenizer("./nope.txt")


def test_constructor_binding(vocab_dir):
    path = write_vocab(vocab_dir, ["a"])
    assert WordPieceTokenizer(vocab_txt_path=path).encode("a") == [0]
    with pytest.raises(TypeError):
        WordPieceTokenizer()
    with pytest.raises(TypeError):
        WordPieceTokenizer(None)
    tok = WordPieceTokenizer(path)
    with pytest.raises(AttributeError):
        tok.extra = 1


def test_id_100_is_unk_whatever_the_file_says(vocab_dir):
    # Fewer than 101 lines: no text for id 100.
    short = WordPieceTokenizer(write_vocab(vocab_dir, ["a"]))
    assert short.encode("zzz") == [UNK]
    assert short.decode([UNK]) == ""
    # Id 100 is a continuation token: decode drops its "##"; unknown words still get 100.
    lines = [f"t{i}" for i in range(100)] + ["##zz"]
    tok = WordPieceTokenizer(write_vocab(vocab_dir, lines))
    assert tok.encode("nothing") == [UNK]
    assert tok.decode([UNK]) == "zz"
    assert tok.decode([0, UNK]) == "t0zz"
    # Id 100 is an ordinary token that also matches: the same id either way.
    lines = [f"t{i}" for i in range(100)] + ["hit"]
    tok = WordPieceTokenizer(write_vocab(vocab_dir, lines))
    assert tok.encode("hit miss") == [UNK, UNK]
    assert tok.decode(tok.encode("hit miss")) == "hit hit"


# ---------------------------------------------------------------------------------------
# Splitting and decoding: the worked examples
# ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("text, ids", [
    ("", []),
    (" \t\n\x0b\x0c\r ", []),
    ("unaffable", [7, 8, 9]),          # ##able beats the shorter ##a
    ("unaffablx", [UNK]),              # fails at "b": un, ##aff, ##a are dropped
    ("Unaffable", [UNK]),              # no case folding
    ("unaffable,", [UNK]),             # punctuation stays in the word
    ("unaffable  \tun", [7, 8, 9, 7]),
    ("  un\n\nun  ", [7, 7]),
    ("unaffable\u00a0un", [UNK]),      # a no-break space is a word byte
    ("un\u2003un", [UNK]),
    ("un\x1cun", [UNK]),               # Python calls this whitespace; we do not
    ("un\x85un", [UNK]),
    ("un\x00un", [UNK]),
    ("##aff", [8]),                    # a word beginning with "##" is looked up unchanged
    ("##affable", [8, 9]),
    ("##", [3]),
    ("un##", [UNK]),                   # "####" and "###" are no tokens
    ("una", [7, 10]),
    ("ununaff", [UNK]),                # after "un" comes "##un", which is no token
    ("unaffable unaffablx un", [7, 8, 9, UNK, 7]),
])
def test_encode_examples(example, text, ids):
    assert example.encode(text) == ids
    assert example.count(text) == len(ids)


@pytest.mark.parametrize("sep", [" ", "\t", "\n", "\x0b", "\x0c", "\r", " \r\n\t"])
def test_each_ascii_whitespace_separates(example, sep):
    assert example.encode(f"{sep}un{sep}unaffable{sep}") == [7, 7, 8, 9]


@pytest.mark.parametrize("ids, text", [
    ([7, 8, 9, 7], "unaffable un"),
    ([8, 7], "aff un"),                # a leading continuation token gets no blank
    ([7, 3], "un ##"),                 # "##" alone is an ordinary token
    ([3, 3], "## ##"),
    ([7, 123456, -1, 7], "un un"),     # ids without a text are skipped
    ([0, 1, 2, 4, 11, 2**31 - 1, -2**31], ""),
    ([], ""),
    ([UNK], ""),                       # id 100 has no text in this vocabulary
    ([10, 10, 7], "aa un"),
])
def test_decode_examples(example, ids, text):
    assert example.decode(ids) == text


def test_longest_match_and_greedy_failure(vocab_dir):
    tok = WordPieceTokenizer(write_vocab(vocab_dir, ["a", "ab", "abc", "##c", "##bc", "##d", "x", "xy", "##yz"]))
    assert tok.encode("abcd") == [2, 5]
    assert tok.encode("abd") == [1, 5]
    assert tok.encode("ac") == [0, 3]
    assert tok.encode("abbc") == [1, 4]
    # Greedy, not optimal: "x" + "##yz" would work, but "xy" is taken first and "##z" fails.
    assert tok.encode("xyz") == [UNK]


def test_pieces_may_split_a_utf8_character(vocab_dir):
    tok = WordPieceTokenizer(write_vocab(vocab_dir, [b"\xc3", b"##\xa9", b"caf", b"##\xc3"]))
    assert tok.encode("é") == [0, 1]
    assert tok.decode([0, 1]) == "é"
    assert tok.encode("café") == [2, 3, 1]
    with pytest.raises(UnicodeDecodeError):
        tok.decode([0])


def test_decode_continuation_with_own_leading_blank(vocab_dir):
    # "## y" is a continuation token whose text after "##" begins with a blank; as the
    # first token its blank is the leading one that decode removes.
    tok = WordPieceTokenizer(write_vocab(vocab_dir, ["x", "## y", "z "]))
    assert tok.decode([1]) == "y"
    assert tok.decode([0, 1]) == "x y"
    assert tok.decode([2]) == "z "  # nothing is trimmed at the end


def test_argument_types(example):
    assert example.encode(b"unaffable") == [7, 8, 9]
    assert example.encode(bytearray(b"un un")) == [7, 7]
    assert example.count(b"un\xffun") == 1
    assert example.decode((7, 8)) == "unaff"
    assert example.decode(range(7, 10)) == "unaffable"
    assert example.decode(i for i in [8, 7]) == "aff un"
    for bad in ([2**31], [-2**31 - 1], [7.0], "7", None):
        with pytest.raises(TypeError):
            example.decode(bad)
    for bad in (None, 7, ["un"]):
        with pytest.raises(TypeError):
            example.encode(bad)
        with pytest.raises(TypeError):
            example.count(bad)


def test_vocabulary_whose_tokens_all_hold_whitespace(vocab_dir):
    # No token can ever match a word, yet every one decodes.
    tok = WordPieceTokenizer(write_vocab(vocab_dir, ["a b", "c\t", "##\x0cd"]))
    assert tok.encode("a b c\t ##\x0cd") == [UNK] * 5  # a, b, c, ##, d
    assert tok.decode([0, 1, 2]) == "a b c\t\x0cd"


def test_vocabulary_without_continuation_tokens(vocab_dir):
    tok = WordPieceTokenizer(write_vocab(vocab_dir, ["a", "ab"]))
    assert tok.encode("ab a abab") == [1, 0, UNK]
    assert tok.encode("aa") == [UNK]


# ---------------------------------------------------------------------------------------
# Against the reference on random vocabularies
# ---------------------------------------------------------------------------------------

# A small alphabet so that random tokens and words collide often; it holds NUL, "#", a
# high byte, the halves of "é", a carriage return and a blank.
ALPHABET = [b"a", b"b", b"#", b"\x00", b"\xff", b"\xc3", b"\xa9", b"\r", b" "]
WORD_BYTES = [b for b in ALPHABET if b not in (b"\r", b" ")]

token_st = st.builds(
    lambda prefix, body: prefix + body,
    st.sampled_from([b"", b"", b"##"]),
    st.lists(st.sampled_from(ALPHABET), min_size=0, max_size=5).map(b"".join),
)
vocab_st = st.lists(token_st, min_size=1, max_size=40)
word_st = st.lists(st.sampled_from(WORD_BYTES), min_size=1, max_size=60).map(b"".join)
text_st = st.lists(
    st.tuples(word_st, st.lists(st.sampled_from(list(SIX_SPACES)), min_size=1, max_size=3)),
    max_size=8,
).map(lambda parts: b"".join(w + bytes(s) for w, s in parts))


def load_both(folder, lines: list[bytes], trailing_newline: bool):
    path = write_vocab(folder, lines, trailing_newline)
    with open(path, "rb") as f:
        ref = Reference(f.read())
    return WordPieceTokenizer(path), ref


def expect_decode(tok, ref, ids):
    raw = ref.decode(ids)
    try:
        expected = raw.decode("utf-8")
    except UnicodeDecodeError:
        with pytest.raises(UnicodeDecodeError):
            tok.decode(ids)
    else:
        assert tok.decode(ids) == expected


@settings(deadline=None, max_examples=300, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(lines=vocab_st, trailing_newline=st.booleans(), texts=st.lists(text_st, min_size=1, max_size=4),
       ids=st.lists(st.integers(-3, 45), max_size=12))
def test_matches_reference_on_random_vocabularies(vocab_dir, lines, trailing_newline, texts, ids):
    ref_data_empty = all(line == b"" for line in lines)
    if ref_data_empty:
        with pytest.raises(RuntimeError, match="^vocab.txt is empty: "):
            load_both(vocab_dir, lines, trailing_newline)
        return
    tok, ref = load_both(vocab_dir, lines, trailing_newline)
    for text in texts:
        expected = ref.encode(text)
        assert tok.encode(text) == expected
        assert tok.count(text) == len(expected)
        expect_decode(tok, ref, expected)
    expect_decode(tok, ref, ids)


def random_vocabulary(rng: random.Random, size: int) -> list[bytes]:
    """Tokens that share prefixes heavily, with some long ones and every byte value."""
    stems = [bytes(rng.choice(b"abcdefgh") for _ in range(rng.randint(1, 8))) for _ in range(size // 8)]
    lines = []
    for _ in range(size):
        kind = rng.random()
        if kind < 0.05:
            lines.append(b"")
        elif kind < 0.10:
            lines.append(bytes(rng.choice([b for b in range(256) if b != 10]) for _ in range(rng.randint(1, 3))))
        else:
            tok = rng.choice(stems) + bytes(rng.choice(b"abcdefgh") for _ in range(rng.randint(0, 4)))
            if rng.random() < 0.1:
                tok += b"x" * rng.randint(10, 30)
            lines.append((b"##" if rng.random() < 0.4 else b"") + tok)
    lines += [bytes([b]) for b in range(256) if b != 10 and rng.random() < 0.5]
    lines += [b"##" + bytes([b]) for b in range(256) if b != 10 and rng.random() < 0.5]
    rng.shuffle(lines)
    return lines


@pytest.mark.parametrize("seed", range(6))
def test_matches_reference_on_large_random_vocabularies(vocab_dir, seed):
    rng = random.Random(seed)
    tok, ref = load_both(vocab_dir, random_vocabulary(rng, 3000), trailing_newline=bool(seed % 2))
    pool = [t.removeprefix(b"##") for t in ref.vocab]
    for _ in range(40):
        # Words glued from vocabulary texts (mostly splittable) and from random bytes.
        parts = [rng.choice(pool) for _ in range(rng.randint(1, 12))]
        if rng.random() < 0.3:
            parts.append(bytes(rng.randrange(256) for _ in range(rng.randint(1, 4))))
        text = b" ".join(b"".join(parts[i:i + 3]) for i in range(0, len(parts), 3))
        expected = ref.encode(text)
        assert tok.encode(text) == expected
        assert tok.count(text) == len(expected)
        expect_decode(tok, ref, expected)
    ids = [rng.randrange(-5, 3300) for _ in range(200)]
    expect_decode(tok, ref, ids)


def test_long_word_matches_reference(vocab_dir):
    rng = random.Random(7)
    tok, ref = load_both(vocab_dir, random_vocabulary(rng, 400), trailing_newline=True)
    pool = [t.removeprefix(b"##") for t in ref.vocab if b"\r" not in t and b" " not in t]
    word = b"".join(rng.choice(pool) for _ in range(300)).translate(None, SIX_SPACES)[:1500]
    assert tok.encode(word) == ref.encode(word)
    assert tok.encode(word + b"\x0a" + word[::-1]) == ref.encode(word + b"\n" + word[::-1])


# ---------------------------------------------------------------------------------------
# Long and hostile input
# ---------------------------------------------------------------------------------------

def test_multi_megabyte_word_without_whitespace(vocab_dir):
    tok = WordPieceTokenizer(write_vocab(vocab_dir, ["a", "##a", "##aa", "##aaa", "b", "##" + "a" * 40 + "b"]))
    n = 6_000_000
    word = "a" * n
    # "a", then "##aaa" pieces; the remainder after the last full "##aaa" decides the tail.
    ids = tok.encode(word)
    tail = {0: [], 1: [1], 2: [2]}[(n - 1) % 3]
    assert ids[:1] == [0] and ids[1:(n - 1) // 3 + 1] == [3] * ((n - 1) // 3) and ids[(n - 1) // 3 + 1:] == tail
    assert tok.count(word) == len(ids)
    assert tok.decode(ids) == word
    # The same word with one unmatched byte at the very end is a single UNK.
    assert tok.encode(word + "c") == [UNK]
    assert tok.count(word + "c") == 1
    # Every position of a word of "b" matches "b" only at the start; then nothing.
    assert tok.encode("b" * n) == [UNK]
    # Every continuation piece is the 42-byte token, found by a walk over all its bytes...
    word = "a" + ("a" * 40 + "b") * 100_000
    assert tok.encode(word) == [0] + [5] * 100_000
    assert tok.decode(tok.encode(word)) == word
    # ...and one "a" fewer makes each walk fail at its last byte, then the word at the "b".
    assert tok.encode("a" + ("a" * 39 + "b") * 100_000) == [UNK]


def test_many_words(example):
    text = "unaffable un " * 300_000
    assert example.encode(text) == [7, 8, 9, 7] * 300_000
    assert example.count(text) == 4 * 300_000


# ---------------------------------------------------------------------------------------
# BERT's vocabulary, against HuggingFace tokenizers
# ---------------------------------------------------------------------------------------

@pytest.fixture(scope="session")
def bert_path():
    try:
        return str(bert_vocab.fetch())
    except bert_vocab.Unavailable as exc:
        pytest.skip(f"BERT vocab.txt unavailable: {exc}")


@pytest.fixture(scope="session")
def bert(bert_path):
    return WordPieceTokenizer(bert_path)


@pytest.fixture(scope="session")
def hf_bert(bert_path):
    tokenizers = pytest.importorskip("tokenizers")
    with open(bert_path, encoding="utf-8") as f:
        vocab = {line: i for i, line in enumerate(f.read().split("\n")) if line}
    hf = tokenizers.Tokenizer(tokenizers.models.WordPiece(
        vocab=vocab, unk_token="[UNK]", continuing_subword_prefix="##",
        max_input_chars_per_word=2**62))
    hf.pre_tokenizer = tokenizers.pre_tokenizers.WhitespaceSplit()
    return hf


# Characters that Python or Rust count as whitespace but that do not separate our words.
_OTHER_SPACES = {c for c in map(chr, range(0x110000)) if c.isspace() and c not in " \t\n\x0b\x0c\r"}
_NO_OTHER_SPACES = {ord(c): None for c in _OTHER_SPACES}


def agreeable(text: str) -> str:
    """`text` without the characters on which the two sides disagree about whitespace."""
    return text.translate(_NO_OTHER_SPACES)


def test_bert_vocabulary_shape(bert):
    assert bert.decode([0, 100, 101, 102, 103]) == "[PAD] [UNK] [CLS] [SEP] [MASK]"
    assert bert.encode("[UNK] [CLS]") == [100, 101]
    assert bert.decode([30521]) == "～"
    assert bert.decode([30522]) == ""


@pytest.mark.parametrize("name", ["prose", "code", "multilingual", "prose-lower"])
def test_corpus_matches_huggingface(bert, hf_bert, name):
    text = shared_file("corpus", f"{name.split('-')[0]}.txt").read_text(encoding="utf-8")
    if name.endswith("lower"):
        text = text.lower()
    text = agreeable(text)
    expected = hf_bert.encode(text, add_special_tokens=False).ids
    ids = bert.encode(text)
    assert len(ids) == len(expected)
    assert ids == expected
    assert bert.count(text) == len(expected)
    assert len(expected) > len(text) // 10  # mostly known words, not [UNK]s


bert_text_st = st.text(
    alphabet=st.one_of(
        st.sampled_from(list("abcdefghijklmnopqrstuvwxyzABC#,.'-0123456789éüß日本語中文ж \t\n\r")),
        st.characters(codec="utf-8", exclude_categories=("Cs",)),
    ),
    max_size=80,
).map(agreeable)


@settings(deadline=None, max_examples=300)
@given(text=bert_text_st)
def test_random_text_matches_huggingface(bert, hf_bert, text):
    expected = hf_bert.encode(text, add_special_tokens=False).ids
    assert bert.encode(text) == expected
    assert bert.count(text) == len(expected)


@settings(deadline=None, max_examples=200)
@given(words=st.lists(st.text(alphabet="abcdefghijklmnopqrstuvwxyz", min_size=1, max_size=25), max_size=10),
       seps=st.lists(st.sampled_from([" ", "\t", "\n", "\r\n", "  ", "\x0b", "\x0c"]), min_size=11, max_size=11))
def test_decode_of_encode_joins_words_with_single_blanks(bert, words, seps):
    text = seps[0] + "".join(w + s for w, s in zip(words, seps[1:]))
    ids = bert.encode(text)
    # Lowercase words always split (BERT has every "##" letter), so nothing becomes UNK.
    assert UNK not in ids
    assert bert.decode(ids) == " ".join(words)


def test_unknown_words_are_not_restored(bert):
    ids = bert.encode("hello \ue000\ue001 world")
    assert ids[0] != UNK and ids[-1] != UNK and UNK in ids
    assert bert.decode(ids) == "hello [UNK] world"


def test_long_word_on_bert_matches_capped_reference(bert, bert_path):
    with open(bert_path, "rb") as f:
        ref = Reference(f.read())
    rng = random.Random(11)
    word = "".join(rng.choice("etaoinshrdlucmfwypvbgkjqxz") for _ in range(60_000))
    longest = max(map(len, ref.vocab))
    # The literal procedure with candidates capped at the longest token: the same result,
    # since longer candidates can never be tokens.
    raw = word.encode()
    expected = []
    start = 0
    while start < len(raw):
        for end in range(min(len(raw), start + longest), start, -1):
            key = raw[start:end] if start == 0 else b"##" + raw[start:end]
            if key in ref.vocab:
                expected.append(ref.vocab[key])
                start = end
                break
        else:
            expected = [UNK]
            break
    assert UNK not in expected
    assert bert.encode(word) == expected
    assert bert.decode(expected) == word
    big = word * 70  # about 4 MB
    ids = bert.encode(big)
    assert bert.count(big) == len(ids)
    assert bert.decode(ids) == big
