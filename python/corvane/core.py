"""`Encoding`: a tiktoken-compatible byte-pair encoding over the native `corvane_core.CoreBPE`.

Every member behaves like the member of the same name of `tiktoken.Encoding` and gives the same
ids; the work is done natively. Differences, all of them additions:

- ids may be any iterable of ints (lists, tuples, ranges, generators, numpy arrays);
- `count` and `count_batch` give the number of tokens without building the id lists;
- the batch methods run on native threads (up to one per CPU) with the interpreter lock
  released; `num_threads` is accepted for compatibility and not needed;
- `allowed_special` and `disallowed_special` take any collection of strings (tiktoken needs
  sets for `allowed_special`);
- `_mergeable_ranks` of a shipped or file-loaded encoding is built from the native table the
  first time it is read, then kept.
"""

from __future__ import annotations

import functools
import os
from collections.abc import Collection, Iterable, Sequence
from typing import TYPE_CHECKING, AbstractSet, Any, Literal, NoReturn

from corvane_core import CoreBPE

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

_Texts = Iterable[str]
_Special = Literal["all"] | AbstractSet[str] | Collection[str]


class Encoding:
    """A byte-pair encoding: ranked byte tokens, a pre-tokenisation pattern, special tokens.

    >>> import corvane
    >>> enc = corvane.get_encoding("o200k_base")
    >>> enc.encode("hello world")
    [24912, 2375]
    >>> enc.decode([24912, 2375])
    'hello world'
    >>> enc.count("hello world")
    2
    """

    def __init__(
        self,
        name: str,
        *,
        pat_str: str,
        mergeable_ranks: dict[bytes, int],
        special_tokens: dict[str, int],
        explicit_n_vocab: int | None = None,
    ):
        """Creates an Encoding object (the arguments of `tiktoken.Encoding`).

        Args:
            name: The name of the encoding. Encodings with different special tokens should
                have different names.
            pat_str: The regex pattern that cuts text into pieces before merging.
            mergeable_ranks: Token bytes to rank; a rank is the token's id and its merge
                priority.
            special_tokens: Special token text to id.
            explicit_n_vocab: If given, the number of tokens (ordinary and special) is checked
                against it, and the largest id against it minus one.
        """
        self.name = name
        self._pat_str = pat_str
        self._mergeable_ranks = mergeable_ranks
        self._special_tokens = special_tokens

        self.max_token_value = max(
            max(mergeable_ranks.values()), max(special_tokens.values(), default=0)
        )
        if explicit_n_vocab:
            assert len(mergeable_ranks) + len(special_tokens) == explicit_n_vocab
            assert self.max_token_value == explicit_n_vocab - 1

        self._special_token_values = set(special_tokens.values())
        self._core_bpe = CoreBPE(mergeable_ranks, special_tokens, pat_str)

    @classmethod
    def _from_core(
        cls, name: str, core_bpe: CoreBPE, *, explicit_n_vocab: int | None = None
    ) -> Encoding:
        """An Encoding over a native encoding already built (from a saved state or a file)."""
        self = cls.__new__(cls)
        self.name = name
        self._core_bpe = core_bpe
        self._pat_str = core_bpe.pattern
        self._special_tokens = core_bpe.special_tokens()
        self.max_token_value = max(
            core_bpe.max_rank, max(self._special_tokens.values(), default=0)
        )
        if explicit_n_vocab:
            assert core_bpe.n_ordinary + len(self._special_tokens) == explicit_n_vocab
            assert self.max_token_value == explicit_n_vocab - 1
        self._special_token_values = set(self._special_tokens.values())
        return self

    @classmethod
    def from_rank_file(
        cls,
        path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
        *,
        name: str,
        pat_str: str,
        special_tokens: dict[str, int] | None = None,
        explicit_n_vocab: int | None = None,
    ) -> Encoding:
        """Loads a tiktoken rank file (lines of "base64-token rank") from a local path.

        The file is read natively, without building the Python dict of ranks;
        `_mergeable_ranks` is built on first access. Raises OSError when the file cannot be
        read and ValueError naming the line when a line is malformed.

        >>> import corvane
        >>> enc = corvane.Encoding.from_rank_file(  # doctest: +SKIP
        ...     "cl100k_base.tiktoken",
        ...     name="cl100k_im",
        ...     pat_str=corvane.get_encoding("cl100k_base")._pat_str,
        ...     special_tokens={"<|im_start|>": 100264, "<|im_end|>": 100265},
        ... )
        """
        core_bpe = CoreBPE.from_rank_file(path, dict(special_tokens or {}), pat_str)
        return cls._from_core(name, core_bpe, explicit_n_vocab=explicit_n_vocab)

    @functools.cached_property
    def _mergeable_ranks(self) -> dict[bytes, int]:
        # Only reached for encodings built from a saved state or a rank file: an Encoding
        # made from a dict keeps that dict. Ranks are distinct, and an ordinary token's bytes
        # map to its own rank even when a special token has the same text.
        core_bpe = self._core_bpe
        decode = core_bpe.decode_single_token_bytes
        specials = self._special_token_values
        ranks: dict[bytes, int] = {}
        for rank in range(core_bpe.max_rank + 1):
            if rank in specials:
                continue
            try:
                ranks[decode(rank)] = rank
            except KeyError:  # an unused rank
                pass
        if len(ranks) == core_bpe.n_ordinary:
            return ranks
        # Some special token has the id of an ordinary one: ask for every ordinary token's rank.
        slots: list[bytes | None] = [None] * (core_bpe.max_rank + 1)
        for token in core_bpe.token_byte_values():
            slots[core_bpe.encode_single_token(token)] = token
        return {token: rank for rank, token in enumerate(slots) if token is not None}

    def __repr__(self) -> str:
        return f"<Encoding {self.name!r}>"

    # ====================
    # Encoding
    # ====================

    def encode_ordinary(self, text: str) -> list[int]:
        """Encodes a string into tokens, ignoring special tokens.

        This is equivalent to `encode(text, disallowed_special=())` (but slightly faster).

        >>> enc.encode_ordinary("hello world")  # doctest: +SKIP
        [24912, 2375]
        """
        try:
            return self._core_bpe.encode_ordinary(text)
        except (TypeError, UnicodeEncodeError):
            return self._core_bpe.encode_ordinary(_repaired(text, "encode_ordinary"))

    def encode(
        self,
        text: str,
        *,
        allowed_special: _Special = set(),  # noqa: B006
        disallowed_special: _Special = "all",
    ) -> list[int]:
        """Encodes a string into tokens.

        Special tokens are artificial tokens that unlock capabilities of a model, so text
        that spells one is not encoded as it by accident: by default, encode raises
        ValueError when the text contains a special token. `allowed_special` names the special
        tokens to encode as such ("all" for every one); `disallowed_special` names those whose
        text raises ("all", the default, means every special token not allowed; () encodes
        their text as ordinary text).

        >>> enc.encode("hello world")  # doctest: +SKIP
        [24912, 2375]
        >>> enc.encode("<|endoftext|>", allowed_special={"<|endoftext|>"})  # doctest: +SKIP
        [199999]
        >>> enc.encode("<|endoftext|>", allowed_special="all")  # doctest: +SKIP
        [199999]
        >>> enc.encode("<|endoftext|>")  # doctest: +SKIP
        # Raises ValueError
        >>> enc.encode("<|endoftext|>", disallowed_special=())  # doctest: +SKIP
        [27, 91, 419, 1440, 919, 91, 29]
        """
        allowed = self._check_special(text, allowed_special, disallowed_special)
        try:
            if allowed:
                return self._core_bpe.encode(text, allowed)
            return self._core_bpe.encode_ordinary(text)
        except (TypeError, UnicodeEncodeError):
            text = _repaired(text, "encode")
            if allowed:
                return self._core_bpe.encode(text, allowed)
            return self._core_bpe.encode_ordinary(text)

    def encode_to_numpy(
        self,
        text: str,
        *,
        allowed_special: _Special = set(),  # noqa: B006
        disallowed_special: _Special = "all",
    ) -> npt.NDArray[np.uint32]:
        """Encodes a string into tokens, returning a numpy array of uint32."""
        import numpy as np

        tokens = self.encode(
            text, allowed_special=allowed_special, disallowed_special=disallowed_special
        )
        return np.array(tokens, dtype=np.uint32)

    def encode_ordinary_batch(self, text: _Texts, *, num_threads: int = 8) -> list[list[int]]:
        """Encodes a list of strings into tokens, in parallel, ignoring special tokens.

        This is equivalent to `encode_batch(text, disallowed_special=())` (but slightly faster).

        >>> enc.encode_ordinary_batch(["hello world", "goodbye world"])  # doctest: +SKIP
        [[24912, 2375], [30456, 2375]]
        """
        texts = _text_list(text)
        try:
            return self._core_bpe.encode_ordinary_batch(texts)
        except (TypeError, UnicodeEncodeError):
            return self._core_bpe.encode_ordinary_batch(_repaired_all(texts, "encode_ordinary_batch"))

    def encode_batch(
        self,
        text: _Texts,
        *,
        num_threads: int = 8,
        allowed_special: _Special = set(),  # noqa: B006
        disallowed_special: _Special = "all",
    ) -> list[list[int]]:
        """Encodes a list of strings into tokens, in parallel.

        See `encode` for `allowed_special` and `disallowed_special`.

        >>> enc.encode_batch(["hello world", "goodbye world"])  # doctest: +SKIP
        [[24912, 2375], [30456, 2375]]
        """
        texts = _text_list(text)
        allowed = self._check_special_batch(texts, allowed_special, disallowed_special)
        try:
            if allowed:
                return self._core_bpe.encode_batch(texts, allowed)
            return self._core_bpe.encode_ordinary_batch(texts)
        except (TypeError, UnicodeEncodeError):
            texts = _repaired_all(texts, "encode_batch")
            if allowed:
                return self._core_bpe.encode_batch(texts, allowed)
            return self._core_bpe.encode_ordinary_batch(texts)

    def encode_single_token(self, text_or_bytes: str | bytes) -> int:
        """Encodes text corresponding to a single token to its token value.

        NOTE: this will encode all special tokens.

        Raises `KeyError` if the token is not in the vocabulary.

        >>> enc.encode_single_token("hello")  # doctest: +SKIP
        24912
        """
        if isinstance(text_or_bytes, str):
            text_or_bytes = text_or_bytes.encode("utf-8")
        return self._core_bpe.encode_single_token(text_or_bytes)

    # ====================
    # Counting
    # ====================

    def count(
        self,
        text: str,
        *,
        allowed_special: _Special = set(),  # noqa: B006
        disallowed_special: _Special = "all",
    ) -> int:
        """The number of tokens `encode` gives for the same arguments, without the list.

        >>> enc.count("hello world")  # doctest: +SKIP
        2
        """
        allowed = self._check_special(text, allowed_special, disallowed_special)
        try:
            if allowed:
                return self._core_bpe.count(text, allowed)
            return self._core_bpe.count_ordinary(text)
        except (TypeError, UnicodeEncodeError):
            text = _repaired(text, "count")
            if allowed:
                return self._core_bpe.count(text, allowed)
            return self._core_bpe.count_ordinary(text)

    def count_batch(
        self,
        text: _Texts,
        *,
        num_threads: int = 8,
        allowed_special: _Special = set(),  # noqa: B006
        disallowed_special: _Special = "all",
    ) -> list[int]:
        """The number of tokens of each text, as `count` gives, in parallel.

        >>> enc.count_batch(["hello world", "goodbye world"])  # doctest: +SKIP
        [2, 2]
        """
        texts = _text_list(text)
        allowed = self._check_special_batch(texts, allowed_special, disallowed_special)
        try:
            if allowed:
                return self._core_bpe.count_batch(texts, allowed)
            return self._core_bpe.count_ordinary_batch(texts)
        except (TypeError, UnicodeEncodeError):
            texts = _repaired_all(texts, "count_batch")
            if allowed:
                return self._core_bpe.count_batch(texts, allowed)
            return self._core_bpe.count_ordinary_batch(texts)

    # ====================
    # Decoding
    # ====================

    def decode_bytes(self, tokens: Iterable[int]) -> bytes:
        """Decodes a list of tokens into bytes.

        Raises `KeyError` for an id that is not a token.

        >>> enc.decode_bytes([24912, 2375])  # doctest: +SKIP
        b'hello world'
        """
        return self._core_bpe.decode_bytes(_id_list(tokens))

    def decode(self, tokens: Iterable[int], errors: str = "replace") -> str:
        """Decodes a list of tokens into a string.

        WARNING: the default behaviour is lossy, since decoded bytes are not guaranteed to
        be valid UTF-8 (a token may end inside a character). `errors` is passed to
        `bytes.decode`; errors="strict" raises instead.

        >>> enc.decode([24912, 2375])  # doctest: +SKIP
        'hello world'
        """
        return self._core_bpe.decode_bytes(_id_list(tokens)).decode("utf-8", errors=errors)

    def decode_single_token_bytes(self, token: int) -> bytes:
        """Decodes a token into bytes.

        NOTE: this will decode all special tokens.

        Raises `KeyError` if the token is not in the vocabulary.

        >>> enc.decode_single_token_bytes(24912)  # doctest: +SKIP
        b'hello'
        """
        return self._core_bpe.decode_single_token_bytes(token)

    def decode_tokens_bytes(self, tokens: Iterable[int]) -> list[bytes]:
        """Decodes a list of tokens into a list of bytes.

        Useful for visualising tokenisation.

        >>> enc.decode_tokens_bytes([24912, 2375])  # doctest: +SKIP
        [b'hello', b' world']
        """
        decode_single_token_bytes = self._core_bpe.decode_single_token_bytes
        return [decode_single_token_bytes(token) for token in tokens]

    def decode_with_offsets(self, tokens: Iterable[int]) -> tuple[str, list[int]]:
        """Decodes a list of tokens into a string and a list of offsets.

        Each offset is the index into the text of the start of each token. Where a token
        starts inside a character, the offset is the index of that character.

        Raises UnicodeDecodeError if the tokens decode to invalid UTF-8.

        >>> enc.decode_with_offsets([24912, 2375])  # doctest: +SKIP
        ('hello world', [0, 5])
        """
        token_bytes = self.decode_tokens_bytes(tokens)

        text_len = 0
        offsets = []
        for token in token_bytes:
            # A token that starts with a continuation byte starts inside the character
            # the previous token began.
            offsets.append(max(0, text_len - (0x80 <= token[0] < 0xC0 if token else 0)))
            # Characters begun in the token: its bytes that are not continuation bytes.
            text_len += len(token.translate(None, _CONTINUATION_BYTES))

        text = b"".join(token_bytes).decode("utf-8", errors="strict")
        return text, offsets

    def decode_batch(
        self, batch: Iterable[Iterable[int]], *, errors: str = "replace", num_threads: int = 8
    ) -> list[str]:
        """Decodes a batch (list of lists of tokens) into a list of strings."""
        decode_bytes = self._core_bpe.decode_bytes
        return [decode_bytes(_id_list(tokens)).decode("utf-8", errors=errors) for tokens in batch]

    def decode_bytes_batch(
        self, batch: Iterable[Iterable[int]], *, num_threads: int = 8
    ) -> list[bytes]:
        """Decodes a batch (list of lists of tokens) into a list of bytes."""
        decode_bytes = self._core_bpe.decode_bytes
        return [decode_bytes(_id_list(tokens)) for tokens in batch]

    # ====================
    # Miscellaneous
    # ====================

    def token_byte_values(self) -> list[bytes]:
        """Returns the list of all token byte values (the ordinary tokens, sorted by bytes)."""
        return self._core_bpe.token_byte_values()

    @property
    def eot_token(self) -> int:
        return self._special_tokens["<|endoftext|>"]

    @functools.cached_property
    def special_tokens_set(self) -> set[str]:
        return set(self._special_tokens.keys())

    def is_special_token(self, token: int) -> bool:
        assert isinstance(token, int)
        return token in self._special_token_values

    @property
    def n_vocab(self) -> int:
        """For backwards compatibility. Prefer to use `enc.max_token_value + 1`."""
        return self.max_token_value + 1

    # ====================
    # Private
    # ====================

    def _encode_single_piece(self, text_or_bytes: str | bytes) -> list[int]:
        """Encodes text corresponding to bytes without a regex split.

        NOTE: this will not encode any special tokens.

        >>> enc._encode_single_piece("helloqqqq")  # doctest: +SKIP
        [24912, 80, 17845]
        """
        if isinstance(text_or_bytes, str):
            text_or_bytes = text_or_bytes.encode("utf-8")
        return self._core_bpe.encode_single_piece(text_or_bytes)

    def _encode_bytes(self, text: bytes) -> list[int]:
        """Encodes bytes that may not be valid UTF-8, by tiktoken's rule: the valid prefix is
        encoded as text, then the tokens of its last piece are merged again together with
        the invalid rest."""
        return self._core_bpe.encode_bytes(text)

    def _check_special(
        self, text: Any, allowed_special: _Special, disallowed_special: _Special
    ) -> AbstractSet[str]:
        """The allowed special tokens as a set; raises when text holds a disallowed one."""
        allowed = self._allowed_set(allowed_special)
        disallowed, prefix = self._disallowed_set(allowed, disallowed_special)
        if disallowed and not (prefix and isinstance(text, str) and prefix not in text):
            try:
                found = self._core_bpe.find_special(text, disallowed)
            except (TypeError, UnicodeEncodeError):
                found = self._core_bpe.find_special(_repaired(text, "encode"), disallowed)
            if found is not None:
                raise_disallowed_special_token(found)
        return allowed

    def _check_special_batch(
        self, texts: list[Any], allowed_special: _Special, disallowed_special: _Special
    ) -> AbstractSet[str]:
        allowed = self._allowed_set(allowed_special)
        disallowed, prefix = self._disallowed_set(allowed, disallowed_special)
        if disallowed:
            find_special = self._core_bpe.find_special
            for text in texts:
                if prefix and isinstance(text, str) and prefix not in text:
                    continue
                try:
                    found = find_special(text, disallowed)
                except (TypeError, UnicodeEncodeError):
                    found = find_special(_repaired(text, "encode_batch"), disallowed)
                if found is not None:
                    raise_disallowed_special_token(found)
        return allowed

    def _allowed_set(self, allowed_special: _Special) -> AbstractSet[str]:
        if isinstance(allowed_special, str):
            if allowed_special == "all":
                return self.special_tokens_set
            raise TypeError(
                f'allowed_special must be "all" or a collection of strings, not {allowed_special!r}'
            )
        if isinstance(allowed_special, (set, frozenset)):
            return allowed_special
        return frozenset(allowed_special)

    def _disallowed_set(
        self, allowed: AbstractSet[str], disallowed_special: _Special
    ) -> tuple[AbstractSet[str], str]:
        """The disallowed special tokens, and a text that each of them contains ("" if
        none is known): a text without it holds none of them, with no search."""
        if isinstance(disallowed_special, str):
            if disallowed_special == "all":
                if not allowed:
                    return self.special_tokens_set, self._special_tokens_prefix
                return self.special_tokens_set - allowed, self._special_tokens_prefix
            raise TypeError(
                'disallowed_special must be "all" or a collection of strings, '
                f"not {disallowed_special!r}"
            )
        if isinstance(disallowed_special, (set, frozenset)):
            return disallowed_special, ""
        return frozenset(disallowed_special), ""

    @functools.cached_property
    def _special_tokens_prefix(self) -> str:
        # What every special token starts with: "<|" in the public encodings.
        return os.path.commonprefix(sorted(self._special_tokens)) if self._special_tokens else ""

    # ====================
    # Pickling
    # ====================

    def __getstate__(self) -> object:
        from . import registry

        # A shipped encoding pickles as its name and comes back from this package's copy.
        if self is registry.ENCODINGS.get(self.name):
            return self.name
        return {"name": self.name, "core_state": self._core_bpe.to_state()}

    def __setstate__(self, value: object) -> None:
        from . import registry

        if isinstance(value, str):
            self.__dict__.update(registry.get_encoding(value).__dict__)
            return
        if not isinstance(value, dict):
            raise ValueError(f"invalid Encoding state: {type(value).__name__}")
        if "core_state" in value:
            other = Encoding._from_core(value["name"], CoreBPE.from_state(value["core_state"]))
            self.__dict__.update(other.__dict__)
            return
        # tiktoken's form: the constructor's arguments.
        self.__init__(**value)  # type: ignore[misc]


_CONTINUATION_BYTES = bytes(range(0x80, 0xC0))


def _text_list(texts: Iterable[Any]) -> list[Any]:
    if isinstance(texts, (str, bytes, bytearray)):
        raise TypeError(
            f"expected an iterable of texts, not a single {type(texts).__name__}"
        )
    return texts if isinstance(texts, list) else list(texts)


def _id_list(tokens: Iterable[int]) -> Sequence[int]:
    return tokens if isinstance(tokens, (list, tuple)) else list(tokens)


def _repaired(text: Any, what: str) -> Any:
    """A str holding surrogates made encodable as tiktoken does: a pair becomes its code
    point, a lone surrogate U+FFFD. Anything else that the native call refused is a
    wrong type."""
    if isinstance(text, str):
        return text.encode("utf-16", "surrogatepass").decode("utf-16", "replace")
    if isinstance(text, (bytes, bytearray)):
        return text  # the retry raises the native error again
    raise TypeError(f"{what}() expected str, not {type(text).__name__}")


def _repaired_all(texts: list[Any], what: str) -> list[Any]:
    for text in texts:
        if not isinstance(text, (str, bytes, bytearray)):
            raise TypeError(f"{what}() expected an iterable of str, found {type(text).__name__}")
    return [
        text.encode("utf-16", "surrogatepass").decode("utf-16", "replace")
        if isinstance(text, str)
        else text
        for text in texts
    ]


def raise_disallowed_special_token(token: str) -> NoReturn:
    raise ValueError(
        f"Encountered text corresponding to disallowed special token {token!r}.\n"
        "If you want this text to be encoded as a special token, "
        f"pass it to `allowed_special`, e.g. `allowed_special={{{token!r}, ...}}`.\n"
        f"If you want this text to be encoded as normal text, disable the check for this token "
        f"by passing `disallowed_special=(enc.special_tokens_set - {{{token!r}}})`.\n"
        "To disable this check for all special tokens, pass `disallowed_special=()`.\n"
    )
