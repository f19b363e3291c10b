"""Plain Python reference of the BPE pipeline, used as the oracle of the tests.

Everything here favours being obviously correct over being fast: the pre-tokeniser is the
GPT-2 pattern run by Python's own backtracking regex engine (plus a second, rule-by-rule
transcription to cross-check it), and merging is the literal pass-by-pass procedure.

All functions work on bytes.
"""
from __future__ import annotations

import re

INT32_MAX = 2**31 - 1
INT32_MIN = -(2**31)

WHITESPACE = frozenset(b" \t\n\x0b\x0c\r")
LETTERS = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")
DIGITS = frozenset(b"0123456789")

# ---------------------------------------------------------------------------------------
# Pre-tokenisation
# ---------------------------------------------------------------------------------------

# The GPT-2 pattern over bytes with ASCII classes. The underscore is an ordinary "other"
# byte, so the other-byte class is "not whitespace, not a letter, not a digit" (the
# original "[^\s\w]" would exclude the underscore and drop it from every pre-token).
# Python's bytes patterns use ASCII classes: \s is exactly the six whitespace bytes.
PRE_TOKEN_PATTERN = re.compile(
    rb"'s|'t|'re|'ve|'m|'ll|'d| ?[A-Za-z]+| ?[0-9]+| ?[^\sA-Za-z0-9]+|\s+(?!\S)|\s+"
)


def pre_tokenize(text: bytes) -> list[bytes]:
    """Pre-tokens of `text`, in order, by the pattern (leftmost-first alternatives)."""
    return [m.group(0) for m in PRE_TOKEN_PATTERN.finditer(text)]


def byte_class(b: int) -> str:
    if b in WHITESPACE:
        return "space"
    if b in LETTERS:
        return "letter"
    if b in DIGITS:
        return "digit"
    return "other"  # underscore, punctuation, control bytes, every byte >= 0x80


CONTRACTIONS = (b"'s", b"'t", b"'re", b"'ve", b"'m", b"'ll", b"'d")


def pre_tokenize_rules(text: bytes) -> list[bytes]:
    """The same cut written out as the five rules, without any regex."""
    out = []
    i, n = 0, len(text)
    while i < n:
        # 1. Contractions: an apostrophe and one of the suffixes, whatever follows.
        suffix = next((c for c in CONTRACTIONS if text.startswith(c, i)), None)
        if suffix is not None:
            out.append(suffix)
            i += len(suffix)
            continue
        # 2-4. An optional single space, then a maximal run of one class.
        start = i
        j = i
        if text[j] == 0x20 and j + 1 < n and byte_class(text[j + 1]) != "space":
            j += 1
        cls = byte_class(text[j])
        if cls != "space":
            j += 1
            while j < n and byte_class(text[j]) == cls:
                j += 1
            out.append(text[start:j])
            i = j
            continue
        # 5. Whitespace: the whole run when it reaches the end; otherwise all but its last
        # byte (when that leaves something), else the one byte alone.
        j = i
        while j < n and byte_class(text[j]) == "space":
            j += 1
        if j == n:
            end = n
        elif j - i >= 2:
            end = j - 1
        else:
            end = i + 1
        out.append(text[i:end])
        i = end
    return out


# ---------------------------------------------------------------------------------------
# Merging
# ---------------------------------------------------------------------------------------


def merge_by_joined_token(word: bytes, vocab: dict[bytes, int]) -> list[int]:
    """Ids of one pre-token under the rank-file rule.

    If the whole word is a vocabulary key, that id. Otherwise start from single bytes and,
    pass by pass, join the adjacent pair whose concatenation is a vocabulary key with the
    lowest id (the leftmost such pair on a tie), until no adjacent pair's concatenation is a
    key. Each final piece becomes its id, 0 when it is not a key.
    """
    if not word:
        return []
    if word in vocab:
        return [vocab[word]]
    pieces = [word[i : i + 1] for i in range(len(word))]
    while len(pieces) > 1:
        best_idx = -1
        best_rank = None
        for i in range(len(pieces) - 1):
            rank = vocab.get(pieces[i] + pieces[i + 1])
            if rank is not None and (best_rank is None or rank < best_rank):
                best_idx, best_rank = i, rank
        if best_idx < 0:
            break
        pieces[best_idx : best_idx + 2] = [pieces[best_idx] + pieces[best_idx + 1]]
    return [vocab.get(p, 0) for p in pieces]


def merge_by_merge_list(
    word: bytes, merges: dict[tuple[bytes, bytes], int], vocab: dict[bytes, int]
) -> list[int]:
    """Ids of one pre-token under the merge-list rule (tokenizer.json).

    Pass by pass, join the leftmost occurrence of the adjacent pair with the lowest rank in
    `merges` (a pass starts from the largest 32-bit rank and only a strictly lower rank
    replaces the best so far), whether or not the joined text is a vocabulary key. Each
    final piece becomes its id, 0 when it is not a key. There is no whole-word shortcut.
    """
    if not word:
        return []
    pieces = [word[i : i + 1] for i in range(len(word))]
    while len(pieces) > 1:
        best_rank, best_idx = INT32_MAX, -1
        for i in range(len(pieces) - 1):
            rank = merges.get((pieces[i], pieces[i + 1]))
            if rank is not None and rank < best_rank:
                best_rank, best_idx = rank, i
        if best_idx < 0:
            break
        pieces[best_idx : best_idx + 2] = [pieces[best_idx] + pieces[best_idx + 1]]
    return [vocab.get(p, 0) for p in pieces]


def encode_rank_file(text: bytes, vocab: dict[bytes, int]) -> list[int]:
    """`encode` of a loaded rank-file tokenizer."""
    if not vocab:
        return naive_word_count(text)
    ids: list[int] = []
    for word in pre_tokenize(text):
        ids.extend(merge_by_joined_token(word, vocab))
    return ids


def naive_word_count(text: bytes) -> list[int]:
    """`encode` of an empty tokenizer: 0, 1, ... one per whitespace-separated word."""
    words = 0
    in_word = False
    for b in text:
        is_space = b in WHITESPACE
        if not is_space and not in_word:
            words += 1
        in_word = not is_space
    return list(range(words))


def decode(ids, id_to_token: dict[int, bytes]) -> bytes:
    return b"".join(id_to_token[i] for i in ids if i in id_to_token)


# ---------------------------------------------------------------------------------------
# Rank files
# ---------------------------------------------------------------------------------------

BASE64_ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


def lenient_base64_decode(field: bytes) -> bytes:
    """Standard base64, stopping at the first byte outside the alphabet; leftover bits are
    dropped and nothing is ever an error."""
    out = bytearray()
    acc = 0
    bits = 0
    for b in field:
        v = BASE64_ALPHABET.find(bytes([b]))
        if v < 0:
            break
        acc = (acc << 6) | v
        bits += 6
        if bits >= 8:
            bits -= 8
            out.append((acc >> bits) & 0xFF)
            acc &= (1 << bits) - 1
    return bytes(out)


class RankFileError(Exception):
    """What loading a rank file raises: the Python exception type and its message."""

    def __init__(self, exc_type: type, message: str):
        super().__init__(exc_type, message)
        self.exc_type = exc_type
        self.message = message


def parse_rank(field: bytes) -> int:
    """A decimal rank as the C library's stoi reads it."""
    i, n = 0, len(field)
    while i < n and field[i] in WHITESPACE:
        i += 1
    sign = 1
    if i < n and field[i] in b"+-":
        sign = -1 if field[i] == ord("-") else 1
        i += 1
    start = i
    while i < n and field[i] in DIGITS:
        i += 1
    if i == start:
        raise RankFileError(ValueError, "stoi")
    value = sign * int(field[start:i])
    if not INT32_MIN <= value <= INT32_MAX:
        raise RankFileError(IndexError, "stoi")
    return value


def load_rank_file(data: bytes) -> tuple[dict[bytes, int], dict[int, bytes]]:
    """(vocab, id_to_token) of a rank file's bytes, or RankFileError."""
    vocab: dict[bytes, int] = {}
    id_to_token: dict[int, bytes] = {}
    for line in data.split(b"\n"):
        if not line:
            continue
        sp = line.rfind(b" ")
        if sp < 0:
            continue
        rank = parse_rank(line[sp + 1 :])
        token = lenient_base64_decode(line[:sp])
        vocab[token] = rank
        id_to_token[rank] = token
    if not vocab:
        raise RankFileError(RuntimeError, "tiktoken file loaded but vocab is empty.")
    return vocab, id_to_token
