"""corvane: count, encode, decode and compress text from the command line.

    corvane count    [--encoding NAME | --tokenizer FILE | --sentencepiece FILE | --tiktoken FILE
                      | --hf-json FILE | --vocab-txt FILE | --words] [--json] [FILE ...]
    corvane encode   [--encoding NAME | --tokenizer FILE | --sentencepiece FILE | --tiktoken FILE
                      | --hf-json FILE | --vocab-txt FILE | --words] [--json] [FILE ...]
    corvane decode   (--encoding NAME | --tokenizer FILE | --sentencepiece FILE | --tiktoken FILE
                      | --hf-json FILE | --vocab-txt FILE) [--json] [ID ...]
    corvane compress [--decompress] [--json] [FILE ...]

Texts are read as bytes from the named files, or from standard input when no file is named
(``-`` names standard input too), and handed to ``corvane_core`` unchanged.

Vocabularies (at most one may be given): ``--encoding NAME`` is one of tiktoken's public
encodings, shipped inside the ``corvane`` package (``o200k_base``, ``cl100k_base``, ...): the
ids are tiktoken's, and special-token text such as ``<|endoftext|>`` counts as the ordinary
text it is. ``--tokenizer`` loads a HuggingFace ``tokenizer.json`` into ``corvane.Tokenizer``,
which runs its whole pipeline (normalizer, pre-tokenizer, model, added tokens) and gives the ids
of HuggingFace ``tokenizers``; each file is one text (read whole, as a normalizer or
pre-tokenizer may look across any cut), encoded without the special tokens the post-processor
would add around it, with neither the file's truncation nor its padding, and must be UTF-8.
``--sentencepiece`` loads a SentencePiece ``.model`` file (Unigram or BPE) the same way,
whole files included, and gives the ids of ``sentencepiece``. ``--tiktoken`` loads a tiktoken
rank file into ``BPETokenizer`` (its fixed ASCII
pre-tokenisation rule), ``--hf-json`` a HuggingFace ``tokenizer.json`` and ``--vocab-txt`` a
WordPiece ``vocab.txt``. ``--words`` uses the empty ``BPETokenizer()``: ``count`` counts
whitespace-separated words and ``encode`` numbers them 0, 1, 2, ... in each file. Without
any of these, ``count`` and ``encode`` use ``--encoding o200k_base`` (GPT-4o's tokens);
``decode`` needs the vocabulary named, and without one it is a command-line error.

Output:

- ``count``: one line "<tokens>TAB<name>" per input (standard input is named ``-``) and a
  last line "<total>TABtotal". With ``--json``: one object
  ``{"files": [{"path": ..., "tokens": n}, ...], "total": n}``.
- ``encode``: the ids of each input on one line, separated by spaces. With ``--json``: one
  object ``{"files": [{"path": ..., "ids": [...]}, ...], "total": n}``.
- ``decode``: the ids come from the arguments or, when there are none, from standard input
  (whitespace-separated integers, or a JSON list of integers). The decoded bytes are written
  to standard output as they are, with no line feed added and no UTF-8 check, so the ids of
  a slice that ends inside a character decode to its first bytes. With ``--json``:
  ``{"text": ..., "bytes": n}``, where "text" is the bytes decoded as UTF-8 with every
  invalid sequence replaced by U+FFFD and "bytes" is the number of raw bytes.
- ``compress`` (``--decompress`` for the reverse): the result of each input, with a line
  feed between the results of several inputs. With ``--json``: ``{"text": ..., "bytes_in":
  n, "bytes_out": n, "files": [{"path": ..., "text": ..., "bytes_in": n, "bytes_out": n},
  ...]}``; the top-level fields cover all inputs ("text" is what the plain output writes).

Every input is opened and checked before the first byte is written, so a missing or
unreadable file stops the run with nothing on standard output. With ``--json`` standard
output holds one complete JSON document or nothing at all: ``encode --json`` builds its
document aside (in memory, or in a temporary file when it grows large) and writes it only
once every input has been encoded.

Large inputs (more than 8 MB in all, decimal) show a progress bar on standard error when it
is a terminal, in decimal units (kB, MB, GB). It counts the bytes whose work is done:
``count`` and ``encode`` read a large file in blocks and cut it only where a token can never
span the cut (for an encoding, where its own pre-tokeniser says so: ``CoreBPE.safe_cut``),
so the results equal those of the whole text while memory stays bounded, and the bar moves
block by block; ``compress`` works on each file whole, and the bar moves when
a file is done.

Ctrl-C stops the tool at once, with status 130 (during the single native call of
``compress``, by the signal itself, which a shell also reports as 130).

Exit status: 0 on success; 1 when the library or the file system reports an error, printed
as one line "corvane: <message>" on standard error, the message naming the file it is about;
2 for a wrong command line. A closed output pipe (``corvane encode big.txt | head``) ends the
run quietly with status 141, as if the process had been killed by SIGPIPE.
"""
from __future__ import annotations

import argparse
import contextlib
import errno
import io
import json
import os
import re
import shutil
import signal
import stat
import sys
import tempfile
import threading
from collections.abc import Callable, Iterable, Iterator
from typing import BinaryIO

import corvane
import corvane_core

PROG = "corvane"
#: The encoding of ``count`` and ``encode`` when no vocabulary is named.
DEFAULT_ENCODING = "o200k_base"

#: Size of the blocks in which inputs are read by ``count`` and ``encode``.
BLOCK_SIZE = 1 << 20
#: How many blocks ``count`` hands to ``count_batch`` at once.
BATCH_BLOCKS = 8
#: How many blocks ``encode`` hands to ``encode_batch`` at once (their ids are Python ints
#: held until written, so fewer: about one block per CPU).
ENCODE_BATCH_BLOCKS = max(2, min(8, os.cpu_count() or 1))
#: Inputs larger than this (in all) get a progress bar when standard error is a terminal.
PROGRESS_THRESHOLD = 8 * 1000 * 1000
#: ``encode --json`` keeps its document in memory up to this size, then in a temporary file.
JSON_SPOOL_BYTES = 64 * 1000 * 1000
#: How standard input is named in messages.
STDIN_NAME = "standard input"

_WS = rb"\t\n\x0b\x0c\r "
_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1
_ID_TOKEN = re.compile(rb"[+-]?[0-9]+\Z")


# ---------------------------------------------------------------------------------------
# Safe cuts
# ---------------------------------------------------------------------------------------


class CutRule:
    """Where a text may be cut so that its pieces tokenize exactly as the whole text does.

    A cut at position p splits ``data`` into ``data[:p]`` and ``data[p:]``; the rule is a
    byte pattern of fixed width, and every match starting at s marks a cut at s + offset.
    The rule looks only at the bytes of the match, so a cut found in a window of a text is
    a cut of the whole text.
    """

    def __init__(self, name: str, pattern: bytes, width: int, offset: int):
        self.name = name
        self._pattern = re.compile(pattern)
        self.width = width
        self.offset = offset

    def __repr__(self) -> str:
        return f"CutRule({self.name!r})"

    def __reduce__(self):
        # Rules are module constants: pickle them by name (they travel to Dask workers).
        return (rule_named, (self.name,))

    def first_cut(self, data: bytes | bytearray, start: int = 1) -> int:
        """The smallest cut p of ``data`` with p >= start, or -1 if there is none.

        A cut is never at 0; it is at len(data) only when the rule needs no byte after it.
        """
        m = self._pattern.search(data, max(start, 1) - self.offset)
        return -1 if m is None else m.start() + self.offset

    def cuts(self, data: bytes | bytearray) -> Iterator[int]:
        """Every cut of ``data``, in increasing order."""
        p = self.first_cut(data)
        while p > 0:
            yield p
            p = self.first_cut(data, p + 1)


#: BPE pre-tokens. A space between a non-whitespace byte and an ASCII letter is always the
#: first byte of a pre-token: no pre-token holds a non-whitespace byte followed by a space
#: (a space only ever leads a word, number or punctuation run, and whitespace runs hold no
#: other byte), and a search that starts at such a space takes it with the letters after
#: it as a word. The pre-tokens before the cut end at or before the non-whitespace byte
#: and are the same without the text after it: the only look-ahead in the rules is that
#: of a whitespace run, which here sees that same non-whitespace byte.
BPE_CUTS = CutRule("bpe", rb"[^" + _WS + rb"] [A-Za-z]", width=3, offset=1)
#: Whitespace-separated words (WordPiece, and the empty tokenizer's word numbering): a word
#: never contains a whitespace byte, so the position after any whitespace byte is a cut.
WORD_CUTS = CutRule("words", rb"[" + _WS + rb"]", width=1, offset=1)

_RULES = {rule.name: rule for rule in (BPE_CUTS, WORD_CUTS)}


def rule_named(name: str) -> CutRule:
    return _RULES[name]


class PreTokenizerCuts:
    """Cuts of an encoding's text, asked of its native pre-tokeniser (``CoreBPE.safe_cut``).

    Each encoding has its own pattern, with look-ahead and end-of-text rules, so the cut is
    not guessed here: ``safe_cut(data)`` gives the largest offset p such that ``data[:p]``
    and whatever follows it encode, apart, to the ids of the whole (the start of the last
    pre-token, or one a little before it; 0 when there is none).
    """

    def __init__(self, encoding: corvane.Encoding):
        self.encoding = encoding
        self._safe_cut = encoding._core_bpe.safe_cut

    def __repr__(self) -> str:
        return f"PreTokenizerCuts({self.encoding.name!r})"

    def chunks(self, read: Callable[[int], bytes], block_size: int = BLOCK_SIZE) -> Iterator[bytes]:
        """The stream in chunks of about one block, each ending at a safe cut."""
        buf = bytearray()
        # Where safe_cut last found no cut: a text with no cut in it (one huge pre-token) is
        # asked again only when it has doubled, so the work stays linear.
        no_cut_at = 0
        while True:
            block = read(block_size)
            if not block:
                break
            buf += block
            if len(buf) < 2 * no_cut_at:
                continue
            cut = self._safe_cut(buf)
            if cut > 0:
                # The pre-token just before that cut was split seeing only this buffer: with
                # more text it could still grow over the cut ("'" then "ll" in r50k, " Ab"
                # then "'re" in o200k). Cutting once more, before it, keeps a whole
                # pre-token of margin on the carried side.
                cut = self._safe_cut(bytes(buf[:cut]))
            if cut > 0:
                yield bytes(buf[:cut])
                del buf[:cut]
                no_cut_at = 0
            else:
                no_cut_at = len(buf)
        if buf:
            yield bytes(buf)


class _WholeText:
    """No cut at all: the stream is one text."""

    def __repr__(self) -> str:
        return "WHOLE_TEXT"


WHOLE_TEXT = _WholeText()


def cut_rule_for(tokenizer) -> CutRule | PreTokenizerCuts:
    """The cut rule that keeps the counts and ids of ``tokenizer`` exact."""
    if isinstance(tokenizer, EncodingTokenizer):
        return PreTokenizerCuts(tokenizer.encoding)
    if isinstance(tokenizer, PipelineTokenizer):
        return WHOLE_TEXT
    if isinstance(tokenizer, corvane_core.BPETokenizer) and tokenizer.is_loaded():
        return BPE_CUTS
    return WORD_CUTS


def iter_chunks(read: Callable[[int], bytes], rule: CutRule | PreTokenizerCuts,
                block_size: int = BLOCK_SIZE) -> Iterator[bytes]:
    """Read a stream in blocks and yield it as chunks cut only at cuts of ``rule``.

    The chunks joined give the stream's bytes; a chunk ends after the data that preceded
    the first cut found in the newest block, so a chunk is about one block long and the
    carried tail is at most about one block. A text without any cut comes out as one chunk.
    """
    if isinstance(rule, PreTokenizerCuts):
        yield from rule.chunks(read, block_size)
        return
    if rule is WHOLE_TEXT:
        data = read()
        if data:
            yield data
        return
    buf = bytearray()
    while True:
        block = read(block_size)
        if not block:
            break
        # Any cut will do: look only at patterns that reach into the new block, so a long
        # stretch without a cut is scanned once, not once per block.
        start = len(buf) - rule.width + 1 + rule.offset
        buf += block
        cut = rule.first_cut(buf, start)
        if cut > 0:
            yield bytes(buf[:cut])
            del buf[:cut]
    if buf:
        yield bytes(buf)


# ---------------------------------------------------------------------------------------
# Inputs, outputs, progress
# ---------------------------------------------------------------------------------------


class _Progress:
    """A tqdm bar on standard error, shown only for large inputs when it is a terminal."""

    def __init__(self, total: int | None, stream=None, threshold: int = PROGRESS_THRESHOLD):
        self._stream = sys.stderr if stream is None else stream
        self._total = total
        self._threshold = threshold
        self._done = 0
        self._bar = None
        try:
            self._wanted = self._stream.isatty()
        except (AttributeError, ValueError, OSError):
            self._wanted = False
        if total is not None and total > threshold:
            self._start()

    def _start(self) -> None:
        if not self._wanted or self._bar is not None:
            return
        try:
            from tqdm import tqdm
        except ImportError:  # the bar is a convenience; work on without it
            self._wanted = False
            return
        # Decimal units, like the threshold that switches the bar on: 202 MB shows as 202MB.
        self._bar = tqdm(total=self._total, initial=self._done, unit="B", unit_scale=True,
                         unit_divisor=1000, file=self._stream, leave=False, desc=PROG)

    def update(self, n: int) -> None:
        self._done += n
        if self._bar is not None:
            self._bar.update(n)
        elif self._done > self._threshold:
            self._start()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


def _size_of(file: BinaryIO) -> int | None:
    """Bytes left to read in ``file`` when it is a regular file, else None."""
    try:
        st = os.fstat(file.fileno())
    except (OSError, AttributeError, ValueError, io.UnsupportedOperation):
        return None
    if not stat.S_ISREG(st.st_mode):
        return None
    try:
        return max(0, st.st_size - file.tell())
    except OSError:
        return st.st_size


class CliError(Exception):
    """An error the tool reports as "corvane: <message>" with status 1."""


def _display_name(name: str | bytes) -> str:
    """A file name as shown in messages: names that are not UTF-8 get U+FFFD."""
    return os.fsencode(name).decode("utf-8", "replace")


def _stdin() -> BinaryIO:
    if sys.stdin is None:
        raise CliError(f"{STDIN_NAME} is closed")
    return sys.stdin.buffer


class _Input:
    """One input: a named file, or standard input (named ``-``)."""

    def __init__(self, name: str):
        self.name = name

    @property
    def label(self) -> str:
        """The input's name in messages."""
        return STDIN_NAME if self.name == "-" else _display_name(self.name)

    def check(self) -> None:
        """Raise now what opening the input would raise later (missing, unreadable, a
        directory, closed standard input)."""
        if self.name == "-":
            _stdin()
            return
        with open(self.name, "rb"):
            pass

    def open(self) -> BinaryIO:
        if self.name == "-":
            return _stdin()
        return open(self.name, "rb")

    def close(self, file: BinaryIO) -> None:
        if file is not getattr(sys.stdin, "buffer", None):
            file.close()


def _inputs(names: list[str]) -> list[_Input]:
    """The inputs named on the command line, each opened once to check it, so that no
    output is written before a bad input is found."""
    inputs = [_Input(n) for n in (names or ["-"])]
    for item in inputs:
        item.check()
    return inputs


def _total_size(inputs: list[_Input]) -> int | None:
    total = 0
    for item in inputs:
        if item.name == "-":
            size = _size_of(_stdin())
        else:
            try:
                size = os.stat(item.name).st_size
            except OSError:
                size = 0  # reported when the file is opened
        if size is None:
            return None
        total += size
    return total


def _name_bytes(name: str) -> bytes:
    return os.fsencode(name)


def _json_name(name: str) -> str:
    # File names that are not UTF-8 arrive with surrogate escapes; JSON carries them as
    # text with U+FFFD in place of the undecodable bytes.
    return _display_name(name)


class _Output:
    """Standard output as bytes. A failed write names standard output in its message; a
    closed pipe stays a BrokenPipeError (it ends the run quietly)."""

    def __init__(self, stream: BinaryIO):
        self._stream = stream

    def _fail(self, exc: OSError) -> OSError:
        return OSError(exc.errno, exc.strerror or str(exc), "standard output")

    def write(self, data: bytes) -> int:
        try:
            return self._stream.write(data)
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise self._fail(exc) from None

    def flush(self) -> None:
        try:
            self._stream.flush()
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise self._fail(exc) from None


# ---------------------------------------------------------------------------------------
# Commands
# ---------------------------------------------------------------------------------------


class EncodingTokenizer:
    """One of the shipped encodings, as the tool uses it: bytes in, special-token text
    counted and encoded as ordinary text (a file is data, not a prompt to guard)."""

    def __init__(self, encoding: corvane.Encoding):
        self.encoding = encoding

    def count(self, data: bytes) -> int:
        return self.encoding.count(data, disallowed_special=())

    def count_batch(self, chunks: list[bytes]) -> list[int]:
        return self.encoding.count_batch(chunks, disallowed_special=())

    def encode(self, data: bytes) -> list[int]:
        return self.encoding.encode_ordinary(data)

    def encode_batch(self, chunks: list[bytes]) -> list[list[int]]:
        return self.encoding.encode_ordinary_batch(chunks)

    def decode_bytes(self, ids: list[int]) -> bytes:
        # tiktoken's rule: an id that is no token is an error (not skipped).
        bad = next((i for i in ids if i < 0), None)
        if bad is not None:
            raise CliError(f"Invalid token for decoding: {bad} ({self.encoding.name})")
        try:
            return self.encoding.decode_bytes(ids)
        except KeyError as exc:  # "Invalid token for decoding: N"
            raise CliError(f"{exc.args[0] if exc.args else exc} ({self.encoding.name})") from None


class PipelineTokenizer:
    """A tokenizer.json or SentencePiece pipeline as the tool uses it: bytes in (UTF-8), no
    special tokens added around a file's text, special tokens kept when decoding, and neither
    the file's truncation nor its padding (a file's every token is counted and written)."""

    def __init__(self, tokenizer: corvane.Tokenizer):
        self.tokenizer = tokenizer
        tokenizer.no_truncation()
        tokenizer.no_padding()

    def count(self, data: bytes) -> int:
        return self.tokenizer.count(data.decode("utf-8"), add_special_tokens=False)

    def count_batch(self, chunks: list[bytes]) -> list[int]:
        return self.tokenizer.count_batch([c.decode("utf-8") for c in chunks], add_special_tokens=False)

    def encode(self, data: bytes) -> list[int]:
        return self.tokenizer.encode(data.decode("utf-8"), add_special_tokens=False).ids

    def encode_batch(self, chunks: list[bytes]) -> list[list[int]]:
        texts = [c.decode("utf-8") for c in chunks]
        return [e.ids for e in self.tokenizer.encode_batch(texts, add_special_tokens=False)]

    def decode_bytes(self, ids: list[int]) -> bytes:
        try:
            return self.tokenizer.decode(ids, skip_special_tokens=False).encode("utf-8")
        except ValueError as exc:
            raise CliError(str(exc)) from None


def _input_not_utf8(item: _Input, exc: UnicodeDecodeError) -> CliError:
    return CliError(f"{item.label}: not UTF-8 text (byte 0x{exc.object[exc.start]:02x} at offset "
                    f"{exc.start}: {exc.reason})")


#: The library's messages that already end with the path they are about.
_NAMING_MESSAGES = ("Cannot open tiktoken file: ", "Cannot open tokenizer.json: ",
                    "Cannot open SentencePiece model: ",
                    "Cannot open vocab.txt: ", "vocab.txt is empty: ")
#: What each vocabulary option expects, for messages about files of another kind.
_VOCABULARY_KINDS = {"tokenizer": "a tokenizer.json file",
                     "sentencepiece": "a SentencePiece model file",
                     "tiktoken": "a tiktoken rank file",
                     "hf_json": "a tokenizer.json file",
                     "vocab_txt": "a vocab.txt file"}
#: The options that name a vocabulary.
_VOCABULARY_OPTIONS = ("encoding", *_VOCABULARY_KINDS)


def _vocabulary_error(option: str, path: str, exc: Exception) -> CliError:
    """The library's load error as a message that names the vocabulary file."""
    text = str(exc) or type(exc).__name__
    if text.startswith(_NAMING_MESSAGES):
        return CliError(text)
    name = _display_name(path)
    if isinstance(exc, (ValueError, IndexError)) and text == "stoi":
        # The rank field of a line is not a number that fits: not a rank file at all, most
        # likely (a text file given by mistake).
        return CliError(f"{name}: not {_VOCABULARY_KINDS[option]} (a line's rank is not a number)")
    return CliError(f"{name}: {text}")


def _load_tokenizer(args):
    if getattr(args, "words", False):
        return corvane_core.BPETokenizer()
    name = getattr(args, "encoding", None)
    loaders = {
        "tokenizer": lambda path: PipelineTokenizer(corvane.Tokenizer.from_file(path)),
        "sentencepiece": lambda path: PipelineTokenizer(corvane.Tokenizer.from_sentencepiece(path)),
        "tiktoken": corvane_core.BPETokenizer.from_tiktoken_file,
        "hf_json": corvane_core.BPETokenizer.from_hf_json,
        "vocab_txt": corvane_core.WordPieceTokenizer,
    }
    for option, load in loaders.items():
        path = getattr(args, option, None)
        if path is None:
            continue
        if os.path.isdir(path):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        try:
            # Paths go to the library as bytes, so that file names that are not UTF-8
            # (which reach Python with surrogate escapes) open too.
            return load(os.fsencode(path))
        except (RuntimeError, ValueError, IndexError) as exc:
            raise _vocabulary_error(option, path, exc) from None
    return EncodingTokenizer(corvane.get_encoding(name or DEFAULT_ENCODING))


def batches(chunks: Iterable[bytes], limit: int = BATCH_BLOCKS * BLOCK_SIZE) -> Iterator[list[bytes]]:
    """Group chunks into lists of about ``limit`` bytes, for the batch methods."""
    batch: list[bytes] = []
    size = 0
    for chunk in chunks:
        batch.append(chunk)
        size += len(chunk)
        if size >= limit:
            yield batch
            batch, size = [], 0
    if batch:
        yield batch


def count_stream(tokenizer, file: BinaryIO, progress: _Progress | None = None,
                 block_size: int = BLOCK_SIZE) -> int:
    """Tokens of everything ``file`` holds, read in blocks with bounded memory.

    The chunks of a batch are counted at once on the library's native threads.
    """
    total = 0
    for batch in batches(iter_chunks(file.read, cut_rule_for(tokenizer), block_size),
                         BATCH_BLOCKS * block_size):
        total += sum(tokenizer.count_batch(batch)) if len(batch) > 1 else tokenizer.count(batch[0])
        if progress is not None:
            progress.update(sum(map(len, batch)))
    return total


def _cmd_count(args, out: BinaryIO) -> int:
    tokenizer = _load_tokenizer(args)
    inputs = _inputs(args.files)
    progress = _Progress(_total_size(inputs))
    results = []
    try:
        for item in inputs:
            file = item.open()
            try:
                n = count_stream(tokenizer, file, progress)
            except UnicodeDecodeError as exc:
                raise _input_not_utf8(item, exc) from None
            finally:
                item.close(file)
            results.append((item.name, n))
            if not args.json:
                out.write(b"%d\t%s\n" % (n, _name_bytes(item.name)))
    finally:
        progress.close()
    total = sum(n for _, n in results)
    if args.json:
        doc = {"files": [{"path": _json_name(name), "tokens": n} for name, n in results], "total": total}
        out.write(json.dumps(doc).encode() + b"\n")
    else:
        out.write(b"%d\ttotal\n" % total)
    return 0


def _cmd_encode(args, out: BinaryIO) -> int:
    tokenizer = _load_tokenizer(args)
    rule = cut_rule_for(tokenizer)
    # The empty tokenizer numbers the words of each text from 0: a chunk's numbers are
    # shifted by the words of the chunks before it.
    numbering = isinstance(tokenizer, corvane_core.BPETokenizer) and not tokenizer.is_loaded()
    inputs = _inputs(args.files)
    progress = _Progress(_total_size(inputs))
    sep = b", " if args.json else b" "
    total = 0
    # The JSON document is written only when it is complete; plain lines go out as they come.
    final_out = out
    if args.json:
        out = tempfile.SpooledTemporaryFile(max_size=JSON_SPOOL_BYTES)
        out.write(b'{"files": [')
    try:
        for index, item in enumerate(inputs):
            if args.json:
                if index:
                    out.write(b", ")
                out.write(b'{"path": %s, "ids": [' % json.dumps(_json_name(item.name)).encode())
            written = 0
            file = item.open()
            try:
                for batch in batches(iter_chunks(file.read, rule), ENCODE_BATCH_BLOCKS * BLOCK_SIZE):
                    try:
                        encoded = (tokenizer.encode_batch(batch) if len(batch) > 1
                                   else [tokenizer.encode(batch[0])])
                    except UnicodeDecodeError as exc:
                        raise _input_not_utf8(item, exc) from None
                    progress.update(sum(map(len, batch)))
                    for ids in encoded:
                        if not ids:
                            continue
                        if numbering:
                            ids = list(range(written, written + len(ids)))
                        if written:
                            out.write(sep)
                        out.write(_format_ids(ids, args.json))
                        written += len(ids)
            finally:
                item.close(file)
            total += written
            out.write(b"]}" if args.json else b"\n")
    finally:
        progress.close()
    if args.json:
        with out:
            out.write(b'], "total": %d}\n' % total)
            out.seek(0)
            shutil.copyfileobj(out, final_out, BLOCK_SIZE)
    return 0


def _format_ids(ids: list[int], as_json: bool) -> bytes:
    # The repr of a list of ints is "[1, 2, 3]": its inside is already the JSON form, and
    # twice as fast to make as formatting each id.
    text = repr(ids)[1:-1]
    return (text if as_json else text.replace(", ", " ")).encode("ascii")


def parse_ids(words: Iterable[bytes | str]) -> list[int]:
    """Token ids from their decimal texts; each must fit in 32 signed bits."""
    ids = []
    for word in words:
        raw = word.encode("utf-8", "surrogateescape") if isinstance(word, str) else word
        if not _ID_TOKEN.match(raw):
            raise ValueError(f"invalid token id: {raw.decode('utf-8', 'replace')!r}")
        value = int(raw)
        if not _INT32_MIN <= value <= _INT32_MAX:
            raise ValueError(f"token id out of range (32-bit signed): {value}")
        ids.append(value)
    return ids


def _ids_from_stdin(data: bytes) -> list[int]:
    text = data.strip()
    if text.startswith(b"["):
        try:
            items = json.loads(text)
        except (json.JSONDecodeError, UnicodeDecodeError, RecursionError) as exc:
            raise ValueError(f"invalid JSON list of token ids: {exc}") from None
        if not isinstance(items, list):
            raise ValueError("invalid JSON list of token ids")
        for item in items:
            if type(item) is not int:
                raise ValueError(f"invalid token id: {json.dumps(item)}")
        return parse_ids(str(item) for item in items)
    return parse_ids(text.split())


def _cmd_decode(args, out: BinaryIO) -> int:
    ids = parse_ids(args.ids) if args.ids else _ids_from_stdin(_stdin().read())
    tokenizer = _load_tokenizer(args)
    data = tokenizer.decode_bytes(ids)
    if args.json:
        doc = {"text": data.decode("utf-8", "replace"), "bytes": len(data)}
        out.write(json.dumps(doc).encode() + b"\n")
    else:
        out.write(data)
    return 0


@contextlib.contextmanager
def _interrupt_at_once():
    """Let Ctrl-C end the process at once while a long native call holds the interpreter.

    Python only acts on a signal between bytecodes, so during one long native call its
    handler would wait for the call to end; the default action ends the process right away
    (a shell reports status 130). Outside the main thread, or when the program has a
    handler of its own, nothing changes.
    """
    if (threading.current_thread() is not threading.main_thread()
            or signal.getsignal(signal.SIGINT) is not signal.default_int_handler):
        yield
        return
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, signal.default_int_handler)


def _not_utf8(item: _Input, data: bytes, exc: UnicodeDecodeError) -> CliError:
    """A compress input whose result is not UTF-8, reported at its first invalid byte."""
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as bad:
        return CliError(f"{item.label}: not UTF-8 text (byte 0x{data[bad.start]:02x} at offset "
                        f"{bad.start}: {bad.reason})")
    return CliError(f"{item.label}: {exc}")


def _cmd_compress(args, out: BinaryIO) -> int:
    compressor = corvane_core.Compressor()
    run = compressor.decompress if args.decompress else compressor.compress
    inputs = _inputs(args.files)
    progress = _Progress(_total_size(inputs))
    results = []
    try:
        for index, item in enumerate(inputs):
            file = item.open()
            try:
                data = file.read()
            finally:
                item.close(file)
            try:
                with _interrupt_at_once():
                    text = run(data)
            except UnicodeDecodeError as exc:
                raise _not_utf8(item, data, exc) from None
            progress.update(len(data))
            if args.json:
                results.append((item.name, text, len(data)))
            else:
                if index:
                    out.write(b"\n")
                out.write(text.encode())
    finally:
        progress.close()
    if args.json:
        files = [{"path": _json_name(name), "text": text, "bytes_in": n_in,
                  "bytes_out": len(text.encode())} for name, text, n_in in results]
        joined = "\n".join(text for _, text, _ in results)
        doc = {"text": joined, "bytes_in": sum(n_in for _, _, n_in in results),
               "bytes_out": len(joined.encode()), "files": files}
        out.write(json.dumps(doc).encode() + b"\n")
    return 0


# ---------------------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # usage errors: status 2, prefixed like every other error
        self.print_usage(sys.stderr)
        self.exit(2, f"{PROG}: {message}\n")


def _version() -> str:
    return getattr(corvane_core, "__version__", "unknown")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Count, encode, decode and compress language-model tokens.")
    parser.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    def vocabulary(p: argparse.ArgumentParser, words: bool = True) -> None:
        group = p.add_mutually_exclusive_group()
        group.add_argument("--encoding", metavar="NAME", choices=corvane.list_encoding_names(),
                           help="a tiktoken encoding shipped with corvane: "
                                + ", ".join(corvane.list_encoding_names())
                                + (f" (default: {DEFAULT_ENCODING})" if words else ""))
        group.add_argument("--tokenizer", metavar="FILE",
                           help="HuggingFace tokenizer.json, run by its whole pipeline "
                                "(each file is read whole as one text)")
        group.add_argument("--sentencepiece", metavar="FILE",
                           help="SentencePiece .model file, Unigram or BPE "
                                "(each file is read whole as one text)")
        group.add_argument("--tiktoken", metavar="FILE",
                           help="tiktoken rank file (BPE, with the fixed ASCII pre-tokenisation rule)")
        group.add_argument("--hf-json", metavar="FILE", help="HuggingFace tokenizer.json (BPE)")
        group.add_argument("--vocab-txt", metavar="FILE", help="WordPiece vocab.txt")
        if words:
            group.add_argument("--words", action="store_true",
                               help="whitespace-separated words instead of tokens")

    p = commands.add_parser("count", help="print the tokens of each file and the total",
                            description="Print the token count of each file and the total "
                                        f"({DEFAULT_ENCODING} tokens unless another vocabulary "
                                        "is given).")
    vocabulary(p)
    p.add_argument("--json", action="store_true", help="print one JSON object")
    p.add_argument("files", nargs="*", metavar="FILE", help="input files (default: standard input)")
    p.set_defaults(run=_cmd_count)

    p = commands.add_parser("encode", help="print the token ids of each file",
                            description="Print the token ids of each file, one line per file "
                                        f"({DEFAULT_ENCODING} unless another vocabulary is given).")
    vocabulary(p)
    p.add_argument("--json", action="store_true", help="print one JSON object")
    p.add_argument("files", nargs="*", metavar="FILE", help="input files (default: standard input)")
    p.set_defaults(run=_cmd_encode)

    p = commands.add_parser("decode", help="write the bytes of token ids",
                            description="Write the bytes of the token ids to standard output, "
                                        "unchanged. Ids come from the arguments or, when there are "
                                        "none, from standard input (whitespace-separated or a JSON "
                                        "list). A vocabulary option is required.")
    vocabulary(p, words=False)
    p.add_argument("--json", action="store_true",
                   help='print {"text": ..., "bytes": n}; invalid UTF-8 becomes U+FFFD')
    p.add_argument("ids", nargs="*", metavar="ID", help="token ids (default: read standard input)")
    p.set_defaults(run=_cmd_decode, needs_vocabulary=True)

    p = commands.add_parser("compress", help="shorten English prose",
                            description="Squeeze blanks and line breaks and abbreviate stock phrases.")
    p.add_argument("--decompress", action="store_true", help="put the long phrases back instead")
    p.add_argument("--json", action="store_true", help="print one JSON object")
    p.add_argument("files", nargs="*", metavar="FILE", help="input files (default: standard input)")
    p.set_defaults(run=_cmd_compress)
    parser.commands = commands.choices
    return parser


def _message(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        if exc.filename is not None:
            return f"{_display_name(exc.filename)}: {exc.strerror}"
        return exc.strerror
    if isinstance(exc, MemoryError):
        return "out of memory"
    text = str(exc)
    return text if text else type(exc).__name__


def _quiet_stdout() -> None:
    # Anything still buffered for a closed pipe would fail again at exit: point standard
    # output at the null device so the interpreter's final flush succeeds silently.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def _error(text: str) -> None:
    """One line on standard error (nothing when it is closed too)."""
    if sys.stderr is None:
        return
    try:
        print(f"{PROG}: {text}", file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def main(argv: list[str] | None = None) -> int:
    """Run the tool with ``argv`` (default: the process arguments); return the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if getattr(args, "needs_vocabulary", False) and not any(
                getattr(args, option) is not None for option in _VOCABULARY_OPTIONS):
            parser.commands[args.command].error(
                f"{args.command} needs a vocabulary: give --encoding, --tokenizer, --tiktoken, --hf-json or --vocab-txt")
    except SystemExit as exc:  # --help, --version, or a usage error (already printed)
        return exc.code if isinstance(exc.code, int) else 2
    if sys.stdout is None:
        _error("standard output is closed")
        return 1
    out = _Output(sys.stdout.buffer)
    try:
        status = args.run(args, out)
        out.flush()
        return status
    except BrokenPipeError:
        _quiet_stdout()
        return 141
    except KeyboardInterrupt:
        return 130
    except Exception as exc:  # the library's and the file system's errors, never a traceback
        try:
            out.flush()
        except BrokenPipeError:
            _quiet_stdout()
            return 141
        except Exception:
            # What could not be written would fail again at exit, with a traceback.
            _quiet_stdout()
        _error(_message(exc))
        return 1


if __name__ == "__main__":
    sys.exit(main())
