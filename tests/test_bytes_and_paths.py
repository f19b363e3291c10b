"""decode_bytes, and file paths given as os.PathLike objects."""
from __future__ import annotations

import os
import pathlib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import shared_file, stable_id
from rank_file_support import single_bytes, write_rank_file

from corvane_core import BPETokenizer, WordPieceTokenizer

R50K_PATTERN = r"""'(?:[sdmt]|ll|ve|re)| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"""


@pytest.fixture(scope="module")
def r50k():
    return BPETokenizer.from_tiktoken_file(shared_file("r50k_base.tiktoken"))


@pytest.fixture(scope="module")
def peer():
    tiktoken = pytest.importorskip("tiktoken")
    from tiktoken.load import load_tiktoken_bpe

    ranks = load_tiktoken_bpe(str(shared_file("r50k_base.tiktoken")))
    return tiktoken.Encoding(name="r50k", pat_str=R50K_PATTERN, mergeable_ranks=ranks, special_tokens={})


@pytest.fixture
def wordpiece(tmp_path):
    path = tmp_path / "vocab.txt"
    # ids: 0 un, 1 ##aff, 2 ##able, 3 \xc3 (half of "é"), 4 ##\xa9 (its other half), 5 ##
    path.write_bytes(b"un\n##aff\n##able\n\xc3\n##\xa9\n##\n")
    return WordPieceTokenizer(path)


# ---------------------------------------------------------------------------------------
# decode_bytes
# ---------------------------------------------------------------------------------------


def test_slice_ending_inside_a_character(r50k, peer):
    text = "naïve 日本語 café"
    ids = r50k.encode(text)
    assert r50k.decode_bytes(ids) == text.encode()
    cut_inside = 0
    for k in range(len(ids) + 1):
        head = r50k.decode_bytes(ids[:k])
        assert head == peer.decode_bytes(ids[:k])
        assert text.encode().startswith(head)
        try:
            head.decode("utf-8")
        except UnicodeDecodeError:
            cut_inside += 1
            with pytest.raises(UnicodeDecodeError):
                r50k.decode(ids[:k])
        else:
            assert r50k.decode(ids[:k]) == head.decode()
    assert cut_inside > 0, "no slice of the ids ends inside a character"


def test_decode_bytes_on_the_corpora_matches_tiktoken(r50k, peer):
    for name in ("prose", "multilingual"):
        text = shared_file("corpus", f"{name}.txt").read_text(encoding="utf-8")[:200_000]
        ids = peer.encode_ordinary(text)
        assert r50k.decode_bytes(ids) == peer.decode_bytes(ids)
        # Token by token, halves of characters included.
        assert [r50k.decode_bytes([i]) for i in ids[:5000]] == [peer.decode_single_token_bytes(i) for i in ids[:5000]]


def test_decode_bytes_skips_ids_without_a_token(tmp_path):
    tok = BPETokenizer.from_tiktoken_file(write_rank_file(tmp_path, [(b"\xff", 3), (b"a", 7)]))
    assert tok.decode_bytes([3, 4, -1, 7, 2**31 - 1, -(2**31), 3]) == b"\xffa\xff"
    assert tok.decode_bytes([]) == b""
    assert BPETokenizer().decode_bytes([0, 1, 2]) == b""


ID_LISTS = [
    ("list", lambda: [104, 105]),
    ("tuple", lambda: (104, 105)),
    ("range", lambda: range(104, 106)),
    ("generator", lambda: (i for i in (104, 105))),
    ("map", lambda: map(int, ["104", "105"])),
    ("bytearray", lambda: bytearray(b"hi")),
]


@pytest.mark.parametrize("make", [m for _, m in ID_LISTS], ids=[n for n, _ in ID_LISTS])
def test_decode_bytes_takes_the_id_lists_decode_takes(tmp_path, make):
    tok = BPETokenizer.from_tiktoken_file(write_rank_file(tmp_path, single_bytes()))
    assert tok.decode_bytes(make()) == b"hi"
    assert tok.decode(make()) == "hi"


@pytest.mark.parametrize("bad", ["hi", b"hi", [1.5], [2**31], [-(2**31) - 1], None, 7, [None]], ids=repr)
def test_decode_bytes_refuses_what_decode_refuses(r50k, wordpiece, bad):
    for tok in (r50k, wordpiece):
        for method in ("decode", "decode_bytes"):
            with pytest.raises(TypeError, match=rf"^{method}\(\): incompatible function arguments"):
                getattr(tok, method)(bad)


def test_wordpiece_decode_bytes(wordpiece):
    assert wordpiece.decode_bytes([0, 1, 2, 0]) == b"unaffable un"
    assert wordpiece.decode_bytes([1, 0]) == b"aff un"
    assert wordpiece.decode_bytes([0, 5]) == b"un ##"
    assert wordpiece.decode_bytes([0, 99, -1, 0]) == b"un un"
    # Half a character: decode refuses the result, decode_bytes hands it over.
    assert wordpiece.decode_bytes([0, 3]) == b"un \xc3"
    with pytest.raises(UnicodeDecodeError):
        wordpiece.decode([0, 3])
    assert wordpiece.decode_bytes([0, 3, 4]) == "un é".encode()
    assert wordpiece.decode([0, 3, 4]) == "un é"


@settings(deadline=None, max_examples=200)
@given(ids=st.lists(st.integers(-3, 8), max_size=20))
def test_decode_is_decode_bytes_as_utf8(tmp_path_factory, ids):
    path = tmp_path_factory.mktemp("wp") / "vocab.txt"
    path.write_bytes(b"un\n##aff\n##able\n\xc3\n##\xa9\n##\n")
    tok = WordPieceTokenizer(path)
    raw = tok.decode_bytes(ids)
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        with pytest.raises(UnicodeDecodeError):
            tok.decode(ids)
    else:
        assert tok.decode(ids) == text


# ---------------------------------------------------------------------------------------
# Paths
# ---------------------------------------------------------------------------------------


class FsPath:
    """A minimal os.PathLike whose __fspath__ returns what it was given."""

    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


@pytest.fixture
def files(tmp_path):
    rank = write_rank_file(tmp_path, single_bytes())
    hf = tmp_path / "tokenizer.json"
    hf.write_text('{"model": {"vocab": {"h": 1, "i": 2, "hi": 3}, "merges": ["h i"]}}')
    vocab = tmp_path / "vocab.txt"
    vocab.write_bytes(b"hi\n##s\n")
    return {"tiktoken": rank, "hf": hf, "vocab": vocab}


LOADERS = {
    "tiktoken": (lambda p: BPETokenizer.from_tiktoken_file(p), lambda p: BPETokenizer.from_tiktoken_file(path=p),
                 "Cannot open tiktoken file: "),
    "hf": (lambda p: BPETokenizer.from_hf_json(p), lambda p: BPETokenizer.from_hf_json(tokenizer_json_path=p),
           "Cannot open tokenizer.json: "),
    "vocab": (lambda p: WordPieceTokenizer(p), lambda p: WordPieceTokenizer(vocab_txt_path=p),
              "Cannot open vocab.txt: "),
}
EXPECTED = {"tiktoken": [104, 105], "hf": [3], "vocab": [0]}

PATH_FORMS = {
    "str": str,
    "bytes": lambda p: os.fsencode(p),
    "bytearray": lambda p: bytearray(os.fsencode(p)),
    "pathlib.Path": pathlib.Path,
    "PurePosixPath": pathlib.PurePosixPath,
    "PathLike of str": lambda p: FsPath(str(p)),
    "PathLike of bytes": lambda p: FsPath(os.fsencode(p)),
}


@pytest.mark.parametrize("form", list(PATH_FORMS))
@pytest.mark.parametrize("loader", list(LOADERS))
def test_every_path_form_loads(files, loader, form):
    positional, keyword, _ = LOADERS[loader]
    path = PATH_FORMS[form](files[loader])
    assert positional(path).encode("hi") == EXPECTED[loader]
    assert keyword(path).encode("hi") == EXPECTED[loader]


@pytest.mark.parametrize("form", ["pathlib.Path", "PathLike of str", "PathLike of bytes", "str", "bytes"])
@pytest.mark.parametrize("loader", list(LOADERS))
def test_missing_path_is_named_in_the_message(tmp_path, loader, form):
    positional, _, prefix = LOADERS[loader]
    missing = tmp_path / "no such dir" / "missing.file"
    with pytest.raises(RuntimeError) as info:
        positional(PATH_FORMS[form](missing))
    assert str(info.value) == prefix + str(missing)


@pytest.mark.parametrize("loader", list(LOADERS))
def test_path_that_is_not_utf8(tmp_path, files, loader):
    # A file name that is not UTF-8, reached through a Path the way os.listdir gives it.
    raw = os.fsencode(tmp_path) + b"/name\xff.data"
    with open(raw, "wb") as f:
        f.write(files[loader].read_bytes())
    positional, _, prefix = LOADERS[loader]
    assert positional(pathlib.Path(os.fsdecode(raw))).encode("hi") == EXPECTED[loader]
    assert positional(raw).encode("hi") == EXPECTED[loader]
    # A plain str holding the escaped byte has no UTF-8 encoding: not a matching argument.
    with pytest.raises(TypeError):
        positional(os.fsdecode(raw))
    # A missing such file is still named readably.
    with pytest.raises(RuntimeError, match=f"^{prefix}"):
        positional(pathlib.Path(os.fsdecode(raw) + "-missing"))


@pytest.mark.parametrize("bad", [None, 7, 3.0, ["p"], "\ud800", object()], ids=stable_id)
@pytest.mark.parametrize("loader", list(LOADERS))
def test_other_types_do_not_match(loader, bad):
    positional, _, _ = LOADERS[loader]
    with pytest.raises(TypeError, match="incompatible (function|constructor) arguments"):
        positional(bad)


@pytest.mark.parametrize("loader", list(LOADERS))
def test_errors_of_fspath_itself_propagate(loader):
    class Broken:
        def __fspath__(self):
            raise OSError("cannot say where")

    positional, _, _ = LOADERS[loader]
    with pytest.raises(OSError, match="cannot say where"):
        positional(Broken())
    # A __fspath__ returning neither str nor bytes: Python's own TypeError from os.fspath.
    with pytest.raises(TypeError, match="__fspath__"):
        positional(FsPath(42))


def test_signatures_show_path_like():
    for func in (BPETokenizer.from_tiktoken_file, BPETokenizer.from_hf_json, WordPieceTokenizer.__init__):
        assert "os.PathLike" in func.__doc__.splitlines()[0]


@pytest.mark.parametrize("form", list(PATH_FORMS))
@pytest.mark.parametrize("loader", list(LOADERS))
@pytest.mark.parametrize("tail", ["\x00junk", "\x00", "\x00/../x"], ids=["NUL junk", "NUL at end", "NUL dir"])
def test_path_with_a_nul_is_refused(files, loader, form, tail):
    """The file before the NUL exists and would load: the path must be refused instead."""
    positional, keyword, _ = LOADERS[loader]
    if form == "PurePosixPath" and "/" in tail:
        pytest.skip("a pure path normalises the separators away")
    path = PATH_FORMS[form](str(files[loader]) + tail)
    with pytest.raises(ValueError) as python_open:
        open(bytes(path) if isinstance(path, bytearray) else path, "rb")
    for call in (positional, keyword):
        with pytest.raises(ValueError) as info:
            call(path)
        assert str(info.value) == "embedded null byte" == str(python_open.value)


@pytest.mark.parametrize("loader", list(LOADERS))
def test_missing_path_with_a_nul_is_refused_not_named(tmp_path, loader):
    positional, _, _ = LOADERS[loader]
    with pytest.raises(ValueError, match="^embedded null byte$"):
        positional(str(tmp_path / "nope\x00zzz"))


# Whole-document loaders of the corvane package: a file that opens but cannot be read is a
# read error naming it, and a pipe is read to its end like a file.
DOCUMENT_LOADERS = {
    "tokenizer.json": ("from_file", "Cannot read tokenizer.json: "),
    "SentencePiece model": ("from_sentencepiece", "Cannot read SentencePiece model: "),
}


@pytest.mark.parametrize("kind", list(DOCUMENT_LOADERS))
def test_a_directory_is_a_read_error(tmp_path, kind):
    from corvane import Tokenizer

    method, prefix = DOCUMENT_LOADERS[kind]
    with pytest.raises(RuntimeError) as info:
        getattr(Tokenizer, method)(tmp_path)
    assert str(info.value) == prefix + str(tmp_path)


def test_a_pipe_is_read_to_its_end(tmp_path):
    import threading

    from corvane import Tokenizer

    document = shared_file("gpt2-tokenizer.json").read_bytes()
    fifo = tmp_path / "tokenizer.fifo"
    os.mkfifo(fifo)

    def feed():
        with open(fifo, "wb") as f:
            for at in range(0, len(document), 40_000):  # in pieces, as a slow writer gives them
                f.write(document[at:at + 40_000])
                f.flush()

    writer = threading.Thread(target=feed)
    writer.start()
    try:
        loaded = Tokenizer.from_file(fifo)
    finally:
        writer.join()
    text = "Hello, pipes! ünïcödé"
    assert loaded.encode(text).ids == Tokenizer.from_str(document.decode()).encode(text).ids
