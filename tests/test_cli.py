"""The `corvane` command-line tool, run as a subprocess, against the library's own results.

Also the chunk splitter behind `count` and `encode` on large inputs: its cuts must be
pre-token (or word) boundaries, so that counting or encoding the chunks gives exactly the
result for the whole text.
"""
from __future__ import annotations

import contextlib
import fcntl
import io
import json
import os
import pathlib
import pty
import struct
import subprocess
import sys
import termios
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import reference_bpe as ref
from conftest import shared_file

corvane_core = pytest.importorskip("corvane_core")

PYTHON_DIR = pathlib.Path(__file__).resolve().parent.parent / "python"
if str(PYTHON_DIR) not in sys.path:
    sys.path.insert(0, str(PYTHON_DIR))
import corvane_cli  # noqa: E402

CORPORA = ("prose", "code", "multilingual")


def _env() -> dict[str, str]:
    """Environment for the child: the module under test and the tool from this checkout."""
    env = dict(os.environ)
    paths = [str(pathlib.Path(corvane_core.__file__).resolve().parent), str(PYTHON_DIR)]
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    env.pop("PYTHONWARNINGS", None)
    return env


ENV = _env()


def run(*args, stdin: bytes = b"", command=None) -> subprocess.CompletedProcess:
    command = command or [sys.executable, "-m", "corvane_cli"]
    return subprocess.run([*command, *map(str, args)], input=stdin, capture_output=True,
                          env=ENV, timeout=300)


def ok(*args, stdin: bytes = b"") -> bytes:
    proc = run(*args, stdin=stdin)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    assert proc.stderr == b""
    return proc.stdout


# ---------------------------------------------------------------------------------------
# Fixtures
# ---------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def corpus_paths():
    return {name: shared_file("corpus", f"{name}.txt") for name in CORPORA}


@pytest.fixture(scope="module")
def corpus_bytes(corpus_paths):
    return {name: path.read_bytes() for name, path in corpus_paths.items()}


@pytest.fixture(scope="module")
def wordpiece_vocab(tmp_path_factory, corpus_bytes):
    """A small vocab.txt: frequent words of the prose corpus and every letter as a piece.

    Enough for real matches, continuation pieces and unknown words on every corpus.
    """
    words: dict[bytes, int] = {}
    for word in corpus_bytes["prose"].split():
        words[word] = words.get(word, 0) + 1
    common = sorted(words, key=lambda w: (-words[w], w))[:3000]
    letters = [bytes([c]) for c in b"abcdefghijklmnopqrstuvwxyz"]
    lines = [b"[PAD]"] + [b"[unused%d]" % i for i in range(99)] + [b"[UNK]"]
    lines += letters + [b"##" + c for c in letters] + [b"##ing", b"##ed", b"##s"]
    lines += [w for w in common if w not in set(lines)]
    path = tmp_path_factory.mktemp("wp") / "vocab.txt"
    path.write_bytes(b"\n".join(lines) + b"\n")
    return path


class OrdinaryEncoding:
    """A shipped encoding as the tool uses it, from the library's public members: special
    token text is ordinary text."""

    def __init__(self, name: str):
        import corvane

        self.encoding = corvane.get_encoding(name)

    def count(self, data: bytes) -> int:
        return self.encoding.count(data, disallowed_special=())

    def encode(self, data: bytes) -> list[int]:
        return self.encoding.encode_ordinary(data)


VOCABS = {
    "default": (),
    "o200k": ("--encoding", "o200k_base"),
    "cl100k-enc": ("--encoding", "cl100k_base"),
    "words": ("--words", None),
    "r50k": ("--tiktoken", "r50k_base.tiktoken"),
    "cl100k": ("--tiktoken", "cl100k_base.tiktoken"),
    "gpt2-json": ("--hf-json", "gpt2-tokenizer.json"),
    "wordpiece": ("--vocab-txt", None),
}

_loaded: dict[str, object] = {}


@pytest.fixture
def vocab(request, wordpiece_vocab):
    """(command-line options, the same tokenizer loaded in this process) for a VOCABS key."""
    key = request.param
    entry = VOCABS[key]
    if not entry:
        return [], OrdinaryEncoding("o200k_base")
    option, name = entry
    if option == "--encoding":
        return [option, name], OrdinaryEncoding(name)
    if option == "--words":
        return [option], corvane_core.BPETokenizer()
    path = wordpiece_vocab if name is None else shared_file(name)
    if key not in _loaded:
        if option == "--tiktoken":
            _loaded[key] = corvane_core.BPETokenizer.from_tiktoken_file(str(path))
        elif option == "--hf-json":
            _loaded[key] = corvane_core.BPETokenizer.from_hf_json(str(path))
        else:
            _loaded[key] = corvane_core.WordPieceTokenizer(str(path))
    return [option, str(path)], _loaded[key]


all_vocabs = pytest.mark.parametrize("vocab", list(VOCABS), indirect=True)


def parse_count_lines(out: bytes) -> list[tuple[int, bytes]]:
    rows = []
    for line in out.splitlines():
        n, name = line.split(b"\t", 1)
        rows.append((int(n), name))
    return rows


# ---------------------------------------------------------------------------------------
# count
# ---------------------------------------------------------------------------------------


@all_vocabs
def test_count_each_file_and_total(vocab, corpus_paths, corpus_bytes):
    options, tok = vocab
    out = ok("count", *options, *corpus_paths.values())
    rows = parse_count_lines(out)
    expected = [(tok.count(corpus_bytes[name]), str(path).encode()) for name, path in corpus_paths.items()]
    assert rows[:-1] == expected
    assert rows[-1] == (sum(n for n, _ in expected), b"total")


@all_vocabs
def test_count_json_from_stdin(vocab, corpus_bytes):
    options, tok = vocab
    data = corpus_bytes["multilingual"]
    doc = json.loads(ok("count", *options, "--json", stdin=data))
    assert doc == {"files": [{"path": "-", "tokens": tok.count(data)}], "total": tok.count(data)}


def test_count_json_several_files_and_dash_for_stdin(corpus_paths, corpus_bytes):
    tok = corvane_core.BPETokenizer.from_tiktoken_file(str(shared_file("r50k_base.tiktoken")))
    stdin = b"hello world, counted from standard input"
    doc = json.loads(ok("count", "--json", "--tiktoken", shared_file("r50k_base.tiktoken"),
                        corpus_paths["prose"], "-", stdin=stdin))
    assert doc["files"] == [
        {"path": str(corpus_paths["prose"]), "tokens": tok.count(corpus_bytes["prose"])},
        {"path": "-", "tokens": tok.count(stdin)},
    ]
    assert doc["total"] == tok.count(corpus_bytes["prose"]) + tok.count(stdin)


def test_count_words():
    out = ok("count", "--words", stdin=b"the  quick\nbrown\t fox \n")
    assert parse_count_lines(out) == [(4, b"-"), (4, b"total")]


@pytest.mark.parametrize("options, name", [((), "o200k_base"), (("--encoding", "cl100k_base"), "cl100k_base"),
                                           (("--encoding", "gpt2"), "gpt2")])
def test_count_and_encode_give_tiktokens_tokens(options, name, corpus_paths, corpus_bytes, tmp_path):
    """The default and the named encodings against tiktoken itself, on every corpus read in
    blocks (the block size is lowered so that each corpus is cut many times)."""
    from tiktoken_reference import reference

    enc = reference(name)
    expected = {c: enc.encode_ordinary(corpus_bytes[c].decode("utf-8")) for c in CORPORA}
    rows = parse_count_lines(ok("count", *options, *corpus_paths.values()))
    assert rows == [(len(expected[c]), str(corpus_paths[c]).encode()) for c in CORPORA] + [
        (sum(map(len, expected.values())), b"total")]
    # Special-token text in a file is ordinary text.
    text = "a file that mentions <|endoftext|> and <|endofprompt|>\n"
    assert ok("encode", *options, stdin=text.encode()) == b" ".join(
        b"%d" % i for i in enc.encode_ordinary(text)) + b"\n"
    script = (
        "import sys, corvane_cli\n"
        "corvane_cli.BLOCK_SIZE = 4096\n"
        "sys.exit(corvane_cli.main(sys.argv[1:]))\n"
    )
    proc = subprocess.run([sys.executable, "-c", script, "encode", *options, corpus_paths["multilingual"]],
                          capture_output=True, env=ENV, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert [int(x) for x in proc.stdout.split()] == expected["multilingual"]


def test_count_empty_input():
    assert parse_count_lines(ok("count", "--tiktoken", shared_file("r50k_base.tiktoken"))) == [
        (0, b"-"), (0, b"total")]


@pytest.mark.parametrize("vocab", ["r50k", "words", "wordpiece", "default", "cl100k-enc"], indirect=True)
@pytest.mark.parametrize("filler", [b"ab", b"a b", b"x  ", b"\xe4\xb8\xad", b"1 \r\n", b"a\xff"],
                         ids=["no cut", "cuts", "blanks", "cjk", "digits", "invalid UTF-8"])
def test_count_large_input_read_in_blocks(vocab, filler, tmp_path):
    """Several blocks, with or without cuts between them, still give the whole count."""
    options, tok = vocab
    data = filler * ((3 * corvane_cli.BLOCK_SIZE) // len(filler) + 7)
    path = tmp_path / "big.txt"
    path.write_bytes(data)
    assert parse_count_lines(ok("count", *options, path))[0][0] == tok.count(data)


def test_count_file_name_not_utf8(tmp_path):
    name = os.fsencode(tmp_path) + b"/caf\xe9.txt"
    with open(name, "wb") as f:
        f.write(b"one two three")
    out = ok("count", "--words", os.fsdecode(name))
    assert out.splitlines()[0] == b"3\t" + name
    doc = json.loads(ok("count", "--json", os.fsdecode(name)))
    assert doc["files"][0]["path"].endswith("caf\ufffd.txt")


@pytest.mark.parametrize("option, shared", [("--tiktoken", "r50k_base.tiktoken"),
                                             ("--hf-json", "gpt2-tokenizer.json"),
                                             ("--vocab-txt", None)])
def test_vocabulary_file_name_not_utf8(option, shared, tmp_path, wordpiece_vocab):
    source = wordpiece_vocab if shared is None else shared_file(shared)
    name = os.fsencode(tmp_path) + b"/voc\xe9b"
    with open(name, "wb") as f:
        f.write(source.read_bytes())
    text = b"Hello world, the license"
    out = ok("encode", option, os.fsdecode(name), stdin=text)
    tok = (corvane_core.WordPieceTokenizer(str(source)) if shared is None
           else corvane_core.BPETokenizer.from_hf_json(str(source)) if option == "--hf-json"
           else corvane_core.BPETokenizer.from_tiktoken_file(str(source)))
    assert [int(x) for x in out.split()] == tok.encode(text)
    proc = run("count", option, os.fsdecode(name) + "-missing", stdin=text)
    assert proc.returncode == 1
    assert "voc\ufffdb-missing" in proc.stderr.decode()


# ---------------------------------------------------------------------------------------
# encode
# ---------------------------------------------------------------------------------------


@all_vocabs
def test_encode_each_file(vocab, corpus_paths, corpus_bytes):
    options, tok = vocab
    out = ok("encode", *options, *corpus_paths.values())
    lines = out.split(b"\n")
    assert lines[-1] == b""
    assert len(lines) == len(CORPORA) + 1
    for line, name in zip(lines, CORPORA):
        assert [int(x) for x in line.split()] == tok.encode(corpus_bytes[name]), name


@pytest.mark.parametrize("vocab", ["r50k", "words", "default"], indirect=True)
def test_encode_json(vocab, corpus_paths, corpus_bytes):
    options, tok = vocab
    doc = json.loads(ok("encode", "--json", *options, corpus_paths["prose"], "-", stdin=b"a b  c"))
    assert doc == {
        "files": [
            {"path": str(corpus_paths["prose"]), "ids": tok.encode(corpus_bytes["prose"])},
            {"path": "-", "ids": tok.encode(b"a b  c")},
        ],
        "total": len(tok.encode(corpus_bytes["prose"])) + len(tok.encode(b"a b  c")),
    }


def test_encode_stdin_and_empty_input():
    r50k = shared_file("r50k_base.tiktoken")
    assert ok("encode", "--tiktoken", r50k, stdin=b"Hello world") == b"15496 995\n"
    assert ok("encode", "--tiktoken", r50k, stdin=b"") == b"\n"
    assert json.loads(ok("encode", "--json", stdin=b"")) == {"files": [{"path": "-", "ids": []}], "total": 0}


def test_encode_without_vocabulary_numbers_words_across_blocks(tmp_path):
    words = b"lorem ipsum  dolor\tsit\namet " * (corvane_cli.BLOCK_SIZE // 10)
    path = tmp_path / "words.txt"
    path.write_bytes(words)
    ids = [int(x) for x in ok("encode", "--words", path).split()]
    assert ids == list(range(len(words.split())))


# ---------------------------------------------------------------------------------------
# decode
# ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("vocab", ["r50k", "cl100k", "gpt2-json", "o200k", "cl100k-enc"], indirect=True)
@pytest.mark.parametrize("name", CORPORA)
def test_decode_round_trip(vocab, name, corpus_bytes, tmp_path):
    options, tok = vocab
    data = corpus_bytes[name]
    encoded = ok("encode", *options, stdin=data)
    assert ok("decode", *options, stdin=encoded) == data


def test_decode_ids_as_arguments_and_json_list():
    r50k = shared_file("r50k_base.tiktoken")
    assert ok("decode", "--tiktoken", r50k, "15496", "995") == b"Hello world"
    assert ok("decode", "--tiktoken", r50k, stdin=b"[15496, 995]\n") == b"Hello world"
    assert ok("decode", "--tiktoken", r50k, stdin=b"  15496\n\t995 ") == b"Hello world"
    # Ids the vocabulary does not hold are skipped, as by the library.
    assert ok("decode", "--tiktoken", r50k, "15496", "-7", "2000000000", "995") == b"Hello world"
    assert ok("decode", "--tiktoken", r50k, stdin=b"") == b""


def test_decode_slice_ending_inside_a_character():
    tiktoken = pytest.importorskip("tiktoken")
    from tiktoken.load import load_tiktoken_bpe

    path = shared_file("r50k_base.tiktoken")
    ranks = load_tiktoken_bpe(str(path))
    token_bytes = {rank: token for token, rank in ranks.items()}
    tok = corvane_core.BPETokenizer.from_tiktoken_file(str(path))
    text = "価格は１００円です。naïve café 😀".encode()
    ids = tok.encode(text)
    del tiktoken
    partial = None
    for k in range(1, len(ids)):
        head = b"".join(token_bytes[i] for i in ids[:k])
        try:
            head.decode("utf-8")
        except UnicodeDecodeError:
            partial = (ids[:k], head)
            break
    assert partial is not None, "the text should have a token boundary inside a character"
    prefix, head = partial
    assert text.startswith(head)
    assert ok("decode", "--tiktoken", path, *prefix) == head
    doc = json.loads(ok("decode", "--json", "--tiktoken", path, *prefix))
    assert doc == {"text": head.decode("utf-8", "replace"), "bytes": len(head)}
    assert "\ufffd" in doc["text"]


def test_decode_wordpiece(wordpiece_vocab):
    wp = corvane_core.WordPieceTokenizer(str(wordpiece_vocab))
    text = b"the license of the program, unaffable words and zzyzx"
    ids = wp.encode(text)
    out = ok("decode", "--vocab-txt", wordpiece_vocab, *ids)
    assert out.decode() == wp.decode(ids)


@pytest.mark.parametrize("args, stdin", [(["1", "2", "3"], b""), (["--json", "1"], b""), ([], b"15496 995")])
def test_decode_without_vocabulary_is_a_usage_error(args, stdin):
    proc = run("decode", *args, stdin=stdin)
    assert proc.returncode == 2
    assert proc.stdout == b""
    err = proc.stderr.decode()
    assert err.startswith("usage: corvane decode")
    assert err.endswith(
        "corvane: decode needs a vocabulary: give --encoding, --tokenizer, --tiktoken, --hf-json or --vocab-txt\n")


def test_decode_with_an_encoding():
    assert ok("decode", "--encoding", "gpt2", "31373", "995") == b"hello world"
    assert ok("decode", "--encoding", "cl100k_base", stdin=b"[15339, 1917, 100257]") == b"hello world<|endoftext|>"
    assert json.loads(ok("decode", "--json", "--encoding", "o200k_base", "24912", "2375")) == {
        "text": "hello world", "bytes": 11}


# ---------------------------------------------------------------------------------------
# compress
# ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("decompress", [False, True], ids=["compress", "decompress"])
def test_compress_each_file(decompress, corpus_paths, corpus_bytes):
    c = corvane_core.Compressor()
    fn = c.decompress if decompress else c.compress
    flag = ["--decompress"] if decompress else []
    names = ["prose", "code"]
    out = ok("compress", *flag, *(corpus_paths[n] for n in names))
    assert out == "\n".join(fn(corpus_bytes[n]) for n in names).encode()
    single = ok("compress", *flag, stdin=corpus_bytes["prose"])
    assert single == fn(corpus_bytes["prose"]).encode()


def test_compress_json(corpus_paths, corpus_bytes):
    c = corvane_core.Compressor()
    text = b"by the way,   thank you for the reply\n\n\n\nas soon as possible"
    doc = json.loads(ok("compress", "--json", stdin=text))
    expected = c.compress(text)
    assert doc == {"text": expected, "bytes_in": len(text), "bytes_out": len(expected.encode()),
                   "files": [{"path": "-", "text": expected, "bytes_in": len(text),
                              "bytes_out": len(expected.encode())}]}
    assert doc["bytes_out"] < doc["bytes_in"]
    doc = json.loads(ok("compress", "--json", "--decompress", stdin=b"so BTW it works FYI ok"))
    assert doc["text"] == c.decompress(b"so BTW it works FYI ok")
    doc = json.loads(ok("compress", "--json", corpus_paths["prose"], "-", stdin=text))
    joined = c.compress(corpus_bytes["prose"]) + "\n" + expected
    assert doc["text"] == joined
    assert doc["bytes_in"] == len(corpus_bytes["prose"]) + len(text)
    assert doc["bytes_out"] == len(joined.encode())
    assert [f["path"] for f in doc["files"]] == [str(corpus_paths["prose"]), "-"]


# ---------------------------------------------------------------------------------------
# Errors
# ---------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def bad_files(tmp_path_factory):
    d = tmp_path_factory.mktemp("bad")
    files = {
        "empty": b"",
        "bad-rank": b"YQ== one\n",
        "bad-json": b'{"model": {"vocab": ',
        "text": b"plain text",
        "prose": b"This is a note\nabout nothing much.\n",
        "not-utf8": b"caf\xe9 \xff\xfe",
    }
    for name, data in files.items():
        (d / name).write_bytes(data)
    (d / "folder").mkdir()
    return d


ERROR_CASES = {
    # name: (arguments, stdin, exit status, expected text in standard error)
    "missing input file": (["count", "{d}/nosuch.txt"], b"", 1, "corvane: {d}/nosuch.txt: No such file or directory"),
    "input is a directory": (["encode", "{d}"], b"", 1, "corvane: {d}: Is a directory"),
    "missing tiktoken file": (["count", "--tiktoken", "{d}/nosuch"], b"x", 1, "corvane: Cannot open tiktoken file: {d}/nosuch"),
    "empty tiktoken file": (["count", "--tiktoken", "{d}/empty"], b"x", 1, "corvane: {d}/empty: tiktoken file loaded but vocab is empty.\n"),
    "bad rank field": (["encode", "--tiktoken", "{d}/bad-rank"], b"x", 1, "corvane: {d}/bad-rank: not a tiktoken rank file (a line's rank is not a number)\n"),
    "prose as tiktoken file": (["count", "--tiktoken", "{d}/prose", "{d}/prose"], b"", 1, "corvane: {d}/prose: not a tiktoken rank file (a line's rank is not a number)\n"),
    "missing tokenizer.json": (["count", "--hf-json", "{d}/nosuch"], b"x", 1, "corvane: Cannot open tokenizer.json: {d}/nosuch"),
    "truncated tokenizer.json": (["count", "--hf-json", "{d}/bad-json"], b"x", 1, "corvane: {d}/bad-json: JSON parse error: "),
    "directory as tiktoken file": (["count", "--tiktoken", "{d}/folder"], b"x", 1, "corvane: {d}/folder: Is a directory\n"),
    "directory as tokenizer.json": (["encode", "--hf-json", "{d}/folder"], b"x", 1, "corvane: {d}/folder: Is a directory\n"),
    "directory as vocab.txt": (["decode", "--vocab-txt", "{d}/folder", "1"], b"", 1, "corvane: {d}/folder: Is a directory\n"),
    "empty vocab.txt": (["count", "--vocab-txt", "{d}/empty"], b"x", 1, "corvane: vocab.txt is empty: {d}/empty"),
    "missing vocab.txt": (["decode", "--vocab-txt", "{d}/nosuch", "1"], b"", 1, "corvane: Cannot open vocab.txt: {d}/nosuch"),
    "two vocabularies": (["count", "--tiktoken", "{d}/a", "--vocab-txt", "{d}/b"], b"", 2, "not allowed with argument"),
    "encoding and a file": (["encode", "--encoding", "gpt2", "--tiktoken", "{d}/a"], b"", 2, "not allowed with argument"),
    "encoding and words": (["count", "--words", "--encoding", "gpt2"], b"", 2, "not allowed with argument"),
    "unknown encoding": (["count", "--encoding", "o300k_base"], b"", 2, "argument --encoding: invalid choice: 'o300k_base' (choose from 'gpt2', "),
    "words when decoding": (["decode", "--words", "1"], b"", 2, "unrecognized arguments: --words"),
    "id no token of the encoding": (["decode", "--encoding", "o200k_base", "24912", "250000"], b"", 1, "corvane: Invalid token for decoding: 250000 (o200k_base)\n"),
    "negative id for an encoding": (["decode", "--encoding", "gpt2"], b"31373 -7", 1, "corvane: Invalid token for decoding: -7 (gpt2)\n"),
    "non-integer id argument": (["decode", "--vocab-txt", "{d}/text", "1", "x2"], b"", 1, "corvane: invalid token id: 'x2'"),
    "float id argument": (["decode", "--vocab-txt", "{d}/text", "1.5"], b"", 1, "corvane: invalid token id: '1.5'"),
    "non-integer id on stdin": (["decode", "--vocab-txt", "{d}/text"], b"1 2 three", 1, "corvane: invalid token id: 'three'"),
    "float in JSON list": (["decode", "--vocab-txt", "{d}/text"], b"[1, 2.0]", 1, "corvane: invalid token id: 2.0"),
    "bad JSON list": (["decode", "--vocab-txt", "{d}/text"], b"[1, 2", 1, "corvane: invalid JSON list of token ids"),
    "id too large": (["decode", "--vocab-txt", "{d}/text", "2147483648"], b"", 1, "corvane: token id out of range (32-bit signed): 2147483648"),
    "id too small": (["decode", "--vocab-txt", "{d}/text"], b"-2147483649", 1, "corvane: token id out of range (32-bit signed): -2147483649"),
    "compress invalid UTF-8": (["compress", "{d}/not-utf8"], b"", 1, "corvane: {d}/not-utf8: not UTF-8 text (byte 0xe9 at offset 3: "),
    "compress invalid UTF-8 on stdin": (["compress", "--json"], b"ok \xff", 1, "corvane: standard input: not UTF-8 text (byte 0xff at offset 3: "),
    # Every input is checked before the first byte is written: nothing reaches standard
    # output, JSON or not, when a later input is missing.
    "count, second input missing": (["count", "{d}/text", "{d}/nosuch"], b"", 1, "corvane: {d}/nosuch: No such file or directory"),
    "count --json, second input missing": (["count", "--json", "{d}/text", "{d}/nosuch"], b"", 1, "corvane: {d}/nosuch: No such file or directory"),
    "encode, second input missing": (["encode", "{d}/text", "{d}/nosuch"], b"", 1, "corvane: {d}/nosuch: No such file or directory"),
    "encode --json, second input missing": (["encode", "--json", "{d}/text", "-", "{d}/nosuch"], b"a b", 1, "corvane: {d}/nosuch: No such file or directory"),
    "encode --json, an input is a directory": (["encode", "--json", "{d}/text", "{d}/folder"], b"", 1, "corvane: {d}/folder: Is a directory"),
    "compress, second input missing": (["compress", "{d}/text", "{d}/nosuch"], b"", 1, "corvane: {d}/nosuch: No such file or directory"),
    "compress --json, second input bad": (["compress", "--json", "{d}/text", "{d}/not-utf8"], b"", 1, "corvane: {d}/not-utf8: not UTF-8 text"),
    "no command": ([], b"", 2, "corvane: the following arguments are required: COMMAND"),
    "unknown command": (["frobnicate"], b"", 2, "invalid choice: 'frobnicate'"),
    "unknown option": (["count", "--bpe", "x"], b"", 2, "unrecognized arguments: --bpe"),
}


@pytest.mark.parametrize("case", list(ERROR_CASES))
def test_error_exit(case, bad_files):
    args, stdin, status, message = ERROR_CASES[case]
    proc = run(*(a.format(d=bad_files) for a in args), stdin=stdin)
    err = proc.stderr.decode()
    assert proc.returncode == status, err
    assert message.format(d=bad_files) in err
    assert "Traceback" not in err
    assert proc.stdout == b""
    if status == 1:
        assert err.count("\n") == 1 and err.startswith("corvane: ")


@pytest.mark.parametrize("redirect, message", [
    (">&-", "corvane: standard output is closed\n"),
    (">/dev/full", "corvane: standard output: No space left on device\n"),
    ("<&-", "corvane: standard input is closed\n"),
])
def test_unusable_standard_streams(redirect, message, bad_files):
    """A closed or full standard output, or a closed standard input: one line, status 1."""
    argv = [sys.executable, "-m", "corvane_cli", "count"] + ([] if redirect == "<&-" else [str(bad_files / "text")])
    script = "exec " + " ".join(f"'{a}'" for a in argv) + " " + redirect
    proc = subprocess.run(["sh", "-c", script], env=ENV, timeout=120, stderr=subprocess.PIPE,
                          stdout=subprocess.DEVNULL if redirect == "<&-" else None)
    err = proc.stderr.decode()
    assert proc.returncode == 1
    assert err == message


def test_closed_output_pipe_exits_quietly(corpus_paths):
    proc = subprocess.Popen([sys.executable, "-m", "corvane_cli", "encode", "--tiktoken",
                             str(shared_file("r50k_base.tiktoken")), str(corpus_paths["code"])],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
    head = proc.stdout.read(100)
    proc.stdout.close()
    err = proc.stderr.read()
    proc.wait(timeout=120)
    assert head
    assert err == b""
    assert proc.returncode == 141


def test_version():
    import tomllib

    pyproject = pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml"
    version = tomllib.loads(pyproject.read_text(encoding="utf-8"))["project"]["version"]
    assert corvane_core.__version__ == version
    proc = run("--version")
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, f"corvane {version}\n".encode(), b"")


def test_help():
    proc = run("--help")
    assert proc.returncode == 0
    for command in (b"count", b"encode", b"decode", b"compress"):
        assert command in proc.stdout
    assert b"--vocab-txt" in run("count", "--help").stdout
    assert b"(default: o200k_base)" in run("count", "--help").stdout.replace(b"\n", b" ").replace(b"  ", b" ")


def test_installed_console_script(corpus_paths, corpus_bytes):
    script = pathlib.Path(sys.executable).parent / "corvane"
    if not script.exists():
        pytest.skip(f"console script not installed: {script}")
    proc = run("count", "--tiktoken", shared_file("r50k_base.tiktoken"), corpus_paths["prose"],
               command=[str(script)])
    assert proc.returncode == 0, proc.stderr
    tok = corvane_core.BPETokenizer.from_tiktoken_file(str(shared_file("r50k_base.tiktoken")))
    assert parse_count_lines(proc.stdout)[0][0] == tok.count(corpus_bytes["prose"])
    proc = run("count", "/nonexistent/x", command=[str(script)])
    assert proc.returncode == 1 and b"Traceback" not in proc.stderr


# ---------------------------------------------------------------------------------------
# Progress bar
# ---------------------------------------------------------------------------------------


def _run_with_tty_stderr(args) -> tuple[int, bytes, bytes]:
    master, slave = pty.openpty()
    # A terminal of 80 columns (a fresh pseudo-terminal has 0, where tqdm draws nothing).
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    proc = subprocess.Popen([sys.executable, "-m", "corvane_cli", *map(str, args)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=slave, env=ENV)
    os.close(slave)
    seen = bytearray()

    def drain():
        while True:
            try:
                data = os.read(master, 4096)
            except OSError:  # the child closed its end
                return
            if not data:
                return
            seen.extend(data)

    reader = threading.Thread(target=drain)
    reader.start()
    out = proc.stdout.read()
    proc.wait(timeout=120)
    reader.join(timeout=30)
    os.close(master)
    return proc.returncode, out, bytes(seen)


@pytest.fixture(scope="module")
def large_text(tmp_path_factory):
    path = tmp_path_factory.mktemp("large") / "large.txt"
    path.write_bytes(b"a few words on a line\n" * (corvane_cli.PROGRESS_THRESHOLD // 22 + 1000))
    return path


def test_progress_bar_on_terminal_for_large_input(large_text):
    status, out, err = _run_with_tty_stderr(["count", "--words", large_text])
    assert status == 0
    assert parse_count_lines(out)[0][0] == len(large_text.read_bytes().split())
    assert b"corvane" in err and b"B/s" in err


def test_progress_bar_in_decimal_units(tmp_path):
    """The bar switches on above 8 MB (decimal) and counts in the same decimal units."""
    path = tmp_path / "large.txt"
    size = 9_180_000
    path.write_bytes(b"word and word\n" * (size // 14) + b"x" * (size % 14))
    assert path.stat().st_size == size
    status, out, err = _run_with_tty_stderr(["count", path])
    assert status == 0
    assert b"/9.18M " in err  # in binary units it would read 8.75M


class _RecordingProgress:
    def __init__(self, events):
        self.events = events

    def update(self, n):
        self.events.append(("progress", n))

    def close(self):
        pass


@pytest.mark.parametrize("decompress", [False, True], ids=["compress", "decompress"])
def test_compress_progress_moves_after_the_work(decompress, monkeypatch, tmp_path):
    """The bar counts a file when its compression is done, not when it has been read."""
    events = []

    class Recording:
        def compress(self, data):
            events.append(("compress", len(data)))
            return "x"

        def decompress(self, data):
            events.append(("decompress", len(data)))
            return "x"

    monkeypatch.setattr(corvane_cli.corvane_core, "Compressor", Recording)
    monkeypatch.setattr(corvane_cli, "_Progress", lambda total: _RecordingProgress(events))
    files = []
    for k, n in enumerate((5, 7)):
        files.append(tmp_path / f"f{k}")
        files[-1].write_bytes(b"a" * n)
    args = corvane_cli.build_parser().parse_args(
        ["compress", *(["--decompress"] if decompress else []), *map(str, files)])
    corvane_cli._cmd_compress(args, io.BytesIO())
    step = "decompress" if decompress else "compress"
    assert events == [(step, 5), ("progress", 5), (step, 7), ("progress", 7)]


def test_no_progress_bar_when_stderr_is_not_a_terminal(large_text):
    proc = run("count", large_text)
    assert proc.returncode == 0
    assert proc.stderr == b""


def test_no_progress_bar_for_small_input(tmp_path):
    path = tmp_path / "small.txt"
    path.write_bytes(b"a few words\n" * 1000)
    status, out, err = _run_with_tty_stderr(["count", path])
    assert status == 0
    assert err == b""


def test_encode_json_larger_than_its_memory_buffer(monkeypatch, capfdbinary, corpus_paths, corpus_bytes, r50k):
    """A JSON document spilled to a temporary file reaches standard output whole."""
    monkeypatch.setattr(corvane_cli, "JSON_SPOOL_BYTES", 1000)
    status = corvane_cli.main(["encode", "--json", "--tiktoken", str(shared_file("r50k_base.tiktoken")),
                               str(corpus_paths["prose"])])
    captured = capfdbinary.readouterr()
    assert status == 0, captured.err
    doc = json.loads(captured.out)
    assert doc["files"][0]["ids"] == r50k.encode(corpus_bytes["prose"])


def _read_chars(pid: int) -> int:
    with open(f"/proc/{pid}/io") as f:
        for line in f:
            if line.startswith("rchar:"):
                return int(line.split()[1])
    return 0


@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="needs /proc/<pid>/io")
def test_ctrl_c_stops_compress_during_its_native_call(tmp_path):
    """Ctrl-C ends the process once the whole input has been read, before any output.

    The signal is sent once the whole input has been read, i.e. while the text is decoded
    or the library works on it: the process must end there (by the signal during the native
    call, or with status 130 just before it), never finish the work and write the result.
    The work takes a few tens of milliseconds after the read; a run that ended before the
    signal could be sent (this process was not scheduled in time) proves nothing and is
    tried again.
    """
    import signal

    path = tmp_path / "big.txt"
    line = b"we can do it as soon as possible and thank you for it in order to win.\n"
    path.write_bytes(line * (60_000_000 // len(line)))
    size = path.stat().st_size
    out_path = tmp_path / "out.txt"
    for _attempt in range(5):
        with open(out_path, "wb") as out, _sigint_as_at_a_terminal():
            proc = subprocess.Popen([sys.executable, "-m", "corvane_cli", "compress", str(path)],
                                    stdout=out, stderr=subprocess.PIPE, env=ENV)
            try:
                while proc.poll() is None and _read_chars(proc.pid) < size:
                    threading.Event().wait(0.002)
                finished_first = proc.poll() is not None
                if not finished_first:
                    signals = _signal_masks(proc.pid)
                    proc.send_signal(signal.SIGINT)
                proc.wait(timeout=120)
            finally:
                if proc.poll() is None:
                    proc.kill()
        stderr = proc.stderr.read()
        proc.stderr.close()
        if not finished_first:
            break
    assert not finished_first, "the process always finished before the signal could be sent"
    assert proc.returncode in (-signal.SIGINT, 130), signals
    assert out_path.stat().st_size == 0
    assert b"Traceback" not in stderr


@contextlib.contextmanager
def _sigint_as_at_a_terminal():
    """A child started here gets SIGINT as a shell's child does: neither ignored nor blocked.

    A child inherits an ignored SIGINT and the starting thread's blocked signals; the test
    process may have either from whatever ran in it before (a library's worker setup).
    """
    import signal

    ignored = signal.getsignal(signal.SIGINT) is signal.SIG_IGN
    if ignored:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    blocked = signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        if ignored:
            signal.signal(signal.SIGINT, signal.SIG_IGN)


def _signal_masks(pid: int) -> str:
    """The blocked, ignored and caught signal masks of a process, for a failure message."""
    try:
        with open(f"/proc/{pid}/status") as f:
            return " ".join(line.strip() for line in f if line.startswith(("SigBlk", "SigIgn", "SigCgt")))
    except OSError:
        return "(process gone)"


# ---------------------------------------------------------------------------------------
# Chunk splitting (in process)
# ---------------------------------------------------------------------------------------


def pre_token_ends(text: bytes) -> set[int]:
    ends, pos = set(), 0
    for m in ref.PRE_TOKEN_PATTERN.finditer(text):
        assert m.start() == pos  # every byte is in a pre-token (underscores included)
        pos = m.end()
        ends.add(pos)
    return ends


CUT_TABLE = [
    # text, BPE cuts (a space after a non-blank, before an ASCII letter)
    (b"Hello world", [5]),
    (b"Hello  world", []),
    (b"a b c", [1, 3]),
    (b" a", []),
    (b"a 1", []),
    (b"a !", []),
    (b"a 'shh", []),
    (b"it's ok", [4]),
    (b"x_ y", [2]),
    (b"\xe4\xb8\xad Ab", [3]),
    (b"end.\n Next", []),
    (b"a\tb", []),
    (b"a b", [1]),
    (b"ab ", []),
]


@pytest.mark.parametrize("text, cuts", CUT_TABLE)
def test_bpe_cut_table(text, cuts):
    assert list(corvane_cli.BPE_CUTS.cuts(text)) == cuts
    assert set(cuts) <= pre_token_ends(text)


@pytest.mark.parametrize("text, cuts", [
    (b"a b", [2]), (b"a  b\n", [2, 3, 5]), (b"x", []), (b"\t", [1]), (b"a\xc2\xa0b", []),
])
def test_word_cut_table(text, cuts):
    assert list(corvane_cli.WORD_CUTS.cuts(text)) == cuts


# Texts rich in the bytes that decide pre-token boundaries.
boundary_texts = st.lists(
    st.sampled_from([b" ", b"  ", b"\t", b"\n", b"\r\n", b"a", b"Zz", b"word", b"7", b"42", b"_",
                     b"'", b"'s", b"'ll", b"'T", b".", b"!?", b"\xc3\xa9", b"\xe4\xb8\xad", b"\xff",
                     b"\x00", b" the", b" x"]),
    max_size=60,
).map(b"".join)


@pytest.fixture(scope="module")
def r50k():
    return corvane_core.BPETokenizer.from_tiktoken_file(str(shared_file("r50k_base.tiktoken")))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=boundary_texts, block=st.integers(1, 9))
def test_chunks_are_pre_token_boundaries(r50k, text, block):
    chunks = list(corvane_cli.iter_chunks(io.BytesIO(text).read, corvane_cli.BPE_CUTS, block))
    assert b"".join(chunks) == text
    assert all(chunks)
    ends = pre_token_ends(text)
    pos = 0
    for chunk in chunks[:-1]:
        pos += len(chunk)
        assert pos in ends
    assert set(corvane_cli.BPE_CUTS.cuts(text)) <= ends
    assert [i for c in chunks for i in r50k.encode(c)] == r50k.encode(text)
    assert sum(r50k.count(c) for c in chunks) == r50k.count(text)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=boundary_texts, block=st.integers(1, 9))
def test_word_chunks_keep_counts(wordpiece_vocab, text, block):
    wp = corvane_core.WordPieceTokenizer(str(wordpiece_vocab)) if "wp" not in _loaded else _loaded["wp"]
    _loaded["wp"] = wp
    empty = corvane_core.BPETokenizer()
    chunks = list(corvane_cli.iter_chunks(io.BytesIO(text).read, corvane_cli.WORD_CUTS, block))
    assert b"".join(chunks) == text
    assert [i for c in chunks for i in wp.encode(c)] == wp.encode(text)
    assert sum(empty.count(c) for c in chunks) == empty.count(text)


@pytest.mark.parametrize("tokenizer_file", ["r50k_base.tiktoken", "cl100k_base.tiktoken", "gpt2-tokenizer.json"])
@pytest.mark.parametrize("name", CORPORA)
def test_chunked_corpus_equals_whole(tokenizer_file, name, corpus_bytes):
    path = str(shared_file(tokenizer_file))
    tok = (corvane_core.BPETokenizer.from_hf_json(path) if path.endswith(".json")
           else corvane_core.BPETokenizer.from_tiktoken_file(path))
    data = corpus_bytes[name]
    whole = tok.encode(data)
    for block in (97, 65536):
        chunks = list(corvane_cli.iter_chunks(io.BytesIO(data).read, corvane_cli.BPE_CUTS, block))
        assert len(chunks) > 1
        assert b"".join(chunks) == data
        if block > 1000:  # memory stays bounded on real text
            assert max(map(len, chunks)) <= 2 * block + 2
        assert [i for c in chunks for i in tok.encode(c)] == whole
    assert corvane_cli.count_stream(tok, io.BytesIO(data), block_size=4096) == len(whole)


@pytest.mark.parametrize("name", CORPORA)
def test_every_cut_of_the_corpora_is_a_pre_token_boundary(name, corpus_bytes):
    data = corpus_bytes[name]
    cuts = list(corvane_cli.BPE_CUTS.cuts(data))
    assert len(cuts) > 1000
    assert set(cuts) <= pre_token_ends(data)


def test_text_without_cuts_is_one_chunk():
    data = b"x" * 5000
    chunks = list(corvane_cli.iter_chunks(io.BytesIO(data).read, corvane_cli.BPE_CUTS, 64))
    assert chunks == [data]


def test_cut_rule_for_tokenizers(r50k, wordpiece_vocab):
    assert corvane_cli.cut_rule_for(r50k) is corvane_cli.BPE_CUTS
    assert corvane_cli.cut_rule_for(corvane_core.BPETokenizer()) is corvane_cli.WORD_CUTS
    assert corvane_cli.cut_rule_for(corvane_core.WordPieceTokenizer(str(wordpiece_vocab))) is corvane_cli.WORD_CUTS


# ---------------------------------------------------------------------------------------
# Chunk splitting of the encodings: cuts asked of the native pre-tokeniser
# ---------------------------------------------------------------------------------------


def _encoding(name: str):
    import corvane

    return corvane.get_encoding(name)


def _custom_encoding():
    """An encoding whose pattern runs on the regex engine: look-ahead, `$`, lazy runs."""
    import corvane

    base = _encoding("r50k_base")
    return corvane.Encoding(
        "custom", pat_str=r"""\p{L}+(?=\s)|\p{N}{1,2}|\s+$|\s+(?!\S)|\s|[^\s\p{L}\p{N}]+?|\p{L}+""",
        mergeable_ranks=base._mergeable_ranks, special_tokens={})


ENCODING_CHUNK_CASES = ["r50k_base", "cl100k_base", "o200k_base", "custom"]

# Texts rich in what decides the public patterns' boundaries: case changes, contractions in
# both cases, digits of several scripts, \r\n mixes, Unicode whitespace, marks, slashes.
encoding_boundary_texts = st.lists(
    st.sampled_from(["a", "Ab", "ABc", "'s", "'S", "'ll", "'LL", " ", "  ", "\t", "\n", "\r\n", "\r",
                     "\u00a0", "\u3000", "\u2028", "1", "123", "4567", "\u0663\u0664", "!", "/", "//",
                     ".\n", "é", "e\u0301", "中文", "😀", "👩\u200d💻", " the", " X"]),
    max_size=60,
).map(lambda parts: "".join(parts).encode())


@settings(max_examples=150, deadline=None)
@given(text=encoding_boundary_texts | st.binary(max_size=40), block=st.integers(1, 9),
       name=st.sampled_from(ENCODING_CHUNK_CASES))
def test_encoding_chunks_keep_ids(text, block, name):
    enc = _custom_encoding() if name == "custom" else _encoding(name)
    rule = corvane_cli.cut_rule_for(corvane_cli.EncodingTokenizer(enc))
    assert isinstance(rule, corvane_cli.PreTokenizerCuts)
    chunks = list(corvane_cli.iter_chunks(io.BytesIO(text).read, rule, block))
    assert b"".join(chunks) == text
    assert all(chunks)
    assert [i for c in chunks for i in enc.encode_ordinary(c)] == enc.encode_ordinary(text)


@pytest.mark.parametrize("name", ENCODING_CHUNK_CASES)
@pytest.mark.parametrize("corpus", CORPORA)
def test_encoding_chunked_corpus_equals_whole(name, corpus, corpus_bytes):
    enc = _custom_encoding() if name == "custom" else _encoding(name)
    data = corpus_bytes[corpus][:300_000]
    tok = corvane_cli.EncodingTokenizer(enc)
    whole = enc.encode_ordinary(data)
    for block in (97, 16384):
        chunks = list(corvane_cli.iter_chunks(io.BytesIO(data).read, corvane_cli.cut_rule_for(tok), block))
        assert len(chunks) > 1 and b"".join(chunks) == data
        if block > 1000:  # memory stays bounded on real text
            assert max(map(len, chunks)) <= 2 * block
        assert [i for ids in enc.encode_ordinary_batch(chunks) for i in ids] == whole
    assert corvane_cli.count_stream(tok, io.BytesIO(data), block_size=4096) == len(whole)


def test_encoding_text_without_cuts_is_asked_rarely():
    """One pre-token over many blocks: the buffer is asked for a cut only when it has
    doubled, so the work stays linear in the text (and the text is one chunk)."""
    rule = corvane_cli.PreTokenizerCuts(_encoding("o200k_base"))
    calls = []
    safe_cut = rule._safe_cut
    rule._safe_cut = lambda data: calls.append(len(data)) or safe_cut(data)
    data = b"x" * (1000 * 64)
    chunks = list(corvane_cli.iter_chunks(io.BytesIO(data).read, rule, 64))
    assert chunks == [data]
    assert len(calls) <= 12 and sum(calls) <= 2 * len(data)
    # Once a cut appears, chunks of about a block come out again.
    calls.clear()
    data = b"x" * 5000 + b" word" * 2000
    chunks = list(corvane_cli.iter_chunks(io.BytesIO(data).read, rule, 64))
    assert b"".join(chunks) == data and len(chunks) > 100
    assert sum(calls) <= 4 * len(data)


def test_cut_rule_for_encodings():
    tok = corvane_cli.EncodingTokenizer(_encoding("cl100k_base"))
    rule = corvane_cli.cut_rule_for(tok)
    assert isinstance(rule, corvane_cli.PreTokenizerCuts) and rule.encoding is tok.encoding
    assert repr(rule) == "PreTokenizerCuts('cl100k_base')"


@pytest.mark.parametrize("name", ["bert-uncased-tokenizer.json", "gpt2-tokenizer.json"])
def test_tokenizer_option_runs_the_whole_pipeline(name, corpus_paths, corpus_bytes):
    from tokenizers import Tokenizer as Peer

    path = shared_file(name)
    peer = Peer.from_file(str(path))
    peer.no_truncation()
    peer.no_padding()
    expected = {n: peer.encode(corpus_bytes[n].decode("utf-8"), add_special_tokens=False).ids for n in CORPORA}
    lines = parse_count_lines(ok("count", "--tokenizer", path, *(corpus_paths[n] for n in CORPORA)))
    assert [n for n, _ in lines] == [len(expected[n]) for n in CORPORA] + [sum(map(len, expected.values()))]
    out = ok("encode", "--json", "--tokenizer", path, corpus_paths["multilingual"])
    assert json.loads(out)["files"][0]["ids"] == expected["multilingual"]
    ids = expected["prose"][:500]
    assert ok("decode", "--tokenizer", path, *ids) == peer.decode(ids, skip_special_tokens=False).encode()


def test_tokenizer_option_errors(tmp_path):
    bad = tmp_path / "latin1.txt"
    bad.write_bytes(b"caf\xe9 au lait")
    proc = run("count", "--tokenizer", shared_file("gpt2-tokenizer.json"), bad)
    assert proc.returncode == 1
    assert proc.stderr.decode().endswith(
        "latin1.txt: not UTF-8 text (byte 0xe9 at offset 3: invalid continuation byte)\n"
    )
    proc = run("count", "--tokenizer", shared_file("bert-uncased-vocab.txt"), bad)
    assert proc.returncode == 1
    assert "bert-uncased-vocab.txt: tokenizer.json is not valid JSON: " in proc.stderr.decode()
