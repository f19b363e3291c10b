"""`corvane.Tokenizer`: HuggingFace `tokenizers.Tokenizer`'s loading and encoding API over the
native tokenizer.json pipeline.

    from corvane import Tokenizer

    tok = Tokenizer.from_file("tokenizer.json")
    enc = tok.encode("Hello, world!")
    enc.ids, enc.tokens, enc.offsets       # as `tokenizers` gives them
    tok.decode(enc.ids)
    tok.count("Hello, world!")              # the number of tokens, without building them
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from typing import Any, Union

import corvane_core as _core

PipelineEncoding = _core.PipelineEncoding
EncodeInput = Union[str, "tuple[str, str]", "list[str]"]


def _no_pretokenized(is_pretokenized: bool) -> None:
    if is_pretokenized:
        raise NotImplementedError("pre-tokenized input is not supported: pass the text itself")


class Tokenizer:
    """A tokenizer.json tokenizer: the same ids, tokens and offsets as `tokenizers.Tokenizer`."""

    __slots__ = ("_pipeline",)

    def __init__(self, pipeline: _core.Pipeline) -> None:
        if not isinstance(pipeline, _core.Pipeline):
            raise TypeError(
                "Tokenizer() takes a corvane_core.Pipeline; load a tokenizer with "
                "Tokenizer.from_file, from_str or from_buffer"
            )
        self._pipeline = pipeline

    # Loading

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> Tokenizer:
        """Load a tokenizer.json file."""
        return cls(_core.Pipeline.from_file(path))

    @classmethod
    def from_str(cls, json: str) -> Tokenizer:
        """Load a tokenizer from the text of a tokenizer.json document."""
        return cls(_core.Pipeline.from_str(json))

    @classmethod
    def from_buffer(cls, buffer: bytes) -> Tokenizer:
        """Load a tokenizer from the bytes of a tokenizer.json document."""
        return cls(_core.Pipeline.from_buffer(bytes(buffer)))

    @classmethod
    def from_sentencepiece(cls, path: str | os.PathLike[str]) -> Tokenizer:
        """Load a SentencePiece .model file (Unigram or BPE): `encode(text).ids` and `.tokens`
        are what `sentencepiece` gives for `sp.encode(text)` and `sp.encode(text, out_type=str)`,
        and `decode(ids)` its `sp.decode(ids)`. Such a tokenizer has no tokenizer.json document
        (`to_str` and `save` raise ValueError)."""
        return cls(_core.Pipeline.from_sentencepiece(path))

    def to_str(self, pretty: bool = False) -> str:
        """The tokenizer.json document, with the current truncation and padding."""
        return self._pipeline.to_str(pretty)

    def save(self, path: str | os.PathLike[str], pretty: bool = True) -> None:
        """Write the tokenizer.json document to `path`."""
        with open(path, "w", encoding="utf-8") as f:
            f.write(self.to_str(pretty))

    # Encoding

    def encode(
        self,
        sequence: str,
        pair: str | None = None,
        is_pretokenized: bool = False,
        add_special_tokens: bool = True,
    ) -> PipelineEncoding:
        """Encode a sequence, or a pair of sequences."""
        _no_pretokenized(is_pretokenized)
        return self._pipeline.encode(sequence, pair, add_special_tokens)

    def encode_batch(
        self,
        input: Sequence[EncodeInput],
        is_pretokenized: bool = False,
        add_special_tokens: bool = True,
    ) -> list[PipelineEncoding]:
        """Encode sequences or (sequence, pair) tuples on native threads."""
        _no_pretokenized(is_pretokenized)
        return self._pipeline.encode_batch(input, add_special_tokens)

    def count(self, text: str, add_special_tokens: bool = True) -> int:
        """The number of tokens of `text`, without truncation or padding."""
        return self._pipeline.count(text, add_special_tokens)

    def count_batch(self, texts: Iterable[str], add_special_tokens: bool = True) -> list[int]:
        """`count` for each text, on native threads."""
        return self._pipeline.count_batch(texts, add_special_tokens)

    # Decoding

    def decode(self, ids: Sequence[int], skip_special_tokens: bool = True) -> str:
        """The text of `ids`."""
        return self._pipeline.decode(ids, skip_special_tokens)

    def decode_batch(self, sequences: Sequence[Sequence[int]], skip_special_tokens: bool = True) -> list[str]:
        """`decode` for each list of ids."""
        return self._pipeline.decode_batch(sequences, skip_special_tokens)

    # Vocabulary

    def token_to_id(self, token: str) -> int | None:
        return self._pipeline.token_to_id(token)

    def id_to_token(self, id: int) -> str | None:
        return self._pipeline.id_to_token(id)

    def get_vocab(self, with_added_tokens: bool = True) -> dict[str, int]:
        return self._pipeline.get_vocab(with_added_tokens)

    def get_vocab_size(self, with_added_tokens: bool = True) -> int:
        return self._pipeline.get_vocab_size(with_added_tokens)

    # Truncation and padding

    @property
    def truncation(self) -> dict[str, Any] | None:
        return self._pipeline.truncation

    @property
    def padding(self) -> dict[str, Any] | None:
        return self._pipeline.padding

    def enable_truncation(
        self, max_length: int, stride: int = 0, strategy: str = "longest_first", direction: str = "right"
    ) -> None:
        self._pipeline.enable_truncation(max_length, stride, strategy, direction)

    def no_truncation(self) -> None:
        self._pipeline.no_truncation()

    def enable_padding(
        self,
        direction: str = "right",
        pad_id: int = 0,
        pad_type_id: int = 0,
        pad_token: str = "[PAD]",
        length: int | None = None,
        pad_to_multiple_of: int | None = None,
    ) -> None:
        self._pipeline.enable_padding(direction, pad_id, pad_type_id, pad_token, length, pad_to_multiple_of)

    def no_padding(self) -> None:
        self._pipeline.no_padding()

    def __reduce__(self) -> tuple[Any, ...]:
        return (Tokenizer, (self._pipeline,))

    def __repr__(self) -> str:
        return f"Tokenizer(vocab_size={self.get_vocab_size()})"
