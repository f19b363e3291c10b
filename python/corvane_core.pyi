"""Corvane C++ engine — production-grade BPE/WordPiece tokenizer with token compressor

Type information for the compiled module. Text arguments may be ``str`` (passed as its
UTF-8 encoding), ``bytes`` or ``bytearray``; id arguments may be any iterable of ints
that fit in 32 signed bits; file paths may also be ``os.PathLike`` objects such as
``pathlib.Path``. All three classes can be pickled (``pickle``, ``copy.deepcopy``).
"""
import os
from collections.abc import Iterable
from typing import Any, final

_Text = str | bytes | bytearray
_Path = str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes]
# What __getstate__ returns and __setstate__ takes: a format version and the tables.
_State = tuple[int, bytes]

# The binding layer's metaclass of the three classes (pybind11_builtins.pybind11_type).
class _pybind11_type(type): ...

@final
class Compressor(metaclass=_pybind11_type):
    """Shortens English prose: squeezes blanks and line breaks, abbreviates stock phrases.

    >>> c = Compressor()
    >>> c.compress("by the way, thank you for the reply")
    'by the way, thanks for the reply'
    >>> c.compress("we can do it as soon as possible and then rest")
    'we can do it ASAP and then rest'
    >>> c.decompress("so BTW it works")
    'so by the way it works'

    """

    def __init__(self) -> None: ...
    def compress(self, text: _Text, /) -> str:
        """Compress text to reduce token count (abbreviation + whitespace pass)"""
    def decompress(self, text: _Text, /) -> str:
        """Re-expand abbreviations for human readability"""
    def __getstate__(self) -> tuple[int]: ...
    def __setstate__(self, state: tuple[int], /) -> None: ...

@final
class BPETokenizer(metaclass=_pybind11_type):
    """Byte-pair-encoding tokenizer loaded from a tiktoken rank file or a tokenizer.json.

    >>> enc = BPETokenizer.from_tiktoken_file("r50k_base.tiktoken")  # doctest: +SKIP
    >>> enc.encode("Hello world")  # doctest: +SKIP
    [15496, 995]
    >>> enc.decode([15496, 995])  # doctest: +SKIP
    'Hello world'
    >>> enc.count("Hello world")  # doctest: +SKIP
    2

    An empty tokenizer (``BPETokenizer()``) numbers whitespace-separated words instead:

    >>> BPETokenizer().encode("the quick  brown fox")
    [0, 1, 2, 3]

    Batches take any iterable of texts, release the GIL and use up to one thread per CPU;
    decode_bytes keeps a slice that ends inside a character:

    >>> BPETokenizer().count_batch(["a b", b"c", bytearray(b"")])
    [2, 1, 0]
    >>> enc.encode("日本")  # doctest: +SKIP
    [33768, 98, 17312, 105]
    >>> enc.decode_bytes([33768])  # doctest: +SKIP
    b'\\xe6\\x97'

    """

    def __init__(self) -> None: ...
    @staticmethod
    def from_hf_json(tokenizer_json_path: _Path) -> BPETokenizer:
        """Load from a HuggingFace tokenizer.json file"""
    @staticmethod
    def from_tiktoken_file(path: _Path) -> BPETokenizer:
        """Load from a tiktoken .tiktoken file"""
    def encode(self, text: _Text, /) -> list[int]: ...
    def decode(self, ids: Iterable[int], /) -> str: ...
    def count(self, text: _Text, /) -> int: ...
    def is_loaded(self) -> bool: ...
    def decode_bytes(self, ids: Iterable[int], /) -> bytes:
        """Decode ids to the bytes of their tokens, without UTF-8 validation (for a slice of ids that may end inside a character); ids without a token are skipped"""
    def encode_batch(self, texts: Iterable[_Text], /) -> list[list[int]]:
        """Encode each text of an iterable (str, bytes or bytearray items) to a list of ids, in order; releases the GIL and spreads the texts over up to one native thread per CPU"""
    def count_batch(self, texts: Iterable[_Text], /) -> list[int]:
        """Count the ids of each text of an iterable (str, bytes or bytearray items), in order; releases the GIL and spreads the texts over up to one native thread per CPU"""
    def __getstate__(self) -> _State: ...
    def __setstate__(self, state: _State, /) -> None: ...

@final
class WordPieceTokenizer(metaclass=_pybind11_type):
    """WordPiece tokenizer (greedy longest match, "##" continuation pieces) over a vocab.txt.

    Words that cannot be split become id 100.

    >>> wp = WordPieceTokenizer("vocab.txt")  # doctest: +SKIP
    >>> wp.decode(wp.encode("unaffable"))  # doctest: +SKIP
    'unaffable'

    """

    def __init__(self, vocab_txt_path: _Path) -> None: ...
    def encode(self, text: _Text, /) -> list[int]: ...
    def decode(self, ids: Iterable[int], /) -> str: ...
    def count(self, text: _Text, /) -> int: ...
    def decode_bytes(self, ids: Iterable[int], /) -> bytes:
        """Decode ids like decode (continuation pieces glued, other tokens joined by one blank) but return the bytes, without UTF-8 validation"""
    def encode_batch(self, texts: Iterable[_Text], /) -> list[list[int]]:
        """Encode each text of an iterable (str, bytes or bytearray items) to a list of ids, in order; releases the GIL and spreads the texts over up to one native thread per CPU"""
    def count_batch(self, texts: Iterable[_Text], /) -> list[int]:
        """Count the ids of each text of an iterable (str, bytes or bytearray items), in order; releases the GIL and spreads the texts over up to one native thread per CPU"""
    def __getstate__(self) -> _State: ...
    def __setstate__(self, state: _State, /) -> None: ...

@final
class HfPreTokenizer(metaclass=_pybind11_type):
    """A pre-tokenizer of a HuggingFace tokenizer.json pipeline (its "pre_tokenizer" object), giving the pieces tokenizers gives

    >>> pre = HfPreTokenizer.from_json('{"type": "BertPreTokenizer"}')
    >>> pre.pre_tokenize_str("Hello, world!")
    [('Hello', (0, 5)), (',', (5, 6)), ('world', (7, 12)), ('!', (12, 13))]

    """

    def __init__(self, json: str) -> None:
        """The same as from_json"""
    @staticmethod
    def from_json(json: str) -> HfPreTokenizer:
        """Build from the JSON text of a tokenizer.json "pre_tokenizer" object; raises ValueError naming an unsupported type or option"""
    def pre_tokenize_str(self, text: str) -> list[tuple[str, tuple[int, int]]]:
        """The pieces of `text` and their (start, end) character offsets in it, as tokenizers' PreTokenizer.pre_tokenize_str gives them"""
    def to_json(self) -> str:
        """The JSON text this pre-tokenizer was built from"""
    def __getstate__(self) -> tuple[int, str]: ...
    def __setstate__(self, state: tuple[int, str], /) -> None: ...

# An encoding as PostProcessor.process takes and returns it: the fields of tokenizers'
# Encoding ("ids", "type_ids", "tokens", "words", "offsets", "special_tokens_mask",
# "attention_mask", "sequence_ranges", "overflowing", and in results "sequence_ids").
_Record = dict[str, Any]

@final
class Decoder(metaclass=_pybind11_type):
    """A decoder of a HuggingFace tokenizer.json (ByteLevel, WordPiece, Metaspace, BPEDecoder, ByteFallback, Fuse, Strip, Replace, CTC, Sequence): turns token strings back into text

    >>> Decoder.from_json('{"type": "WordPiece", "prefix": "##", "cleanup": true}').decode(["un", "##aff", "##able", "!"])
    'unaffable!'
    >>> Decoder.from_json('{"type": "ByteLevel", "add_prefix_space": false, "trim_offsets": true}').decode(["Hello", "Ġw", "orld", "âĢ", "Ķ"])
    'Hello world—'

    A type or option it does not know is refused, never ignored:

    >>> Decoder.from_json('{"type": "Fuse", "unknown": 1}')
    Traceback (most recent call last):
    ...
    ValueError: decoder Fuse: unsupported option "unknown"

    """

    def __init__(self, json: str | bytes | bytearray) -> None:
        """The same as from_json"""
    @staticmethod
    def from_json(json: str | bytes | bytearray) -> Decoder:
        """Build a decoder from its tokenizer.json object, given as JSON text; raises ValueError naming the decoder when a type or option is not supported"""
    def decode(self, tokens: list[str] | tuple[str, ...]) -> str:
        """Decode a list of token strings to text"""
    def to_json(self) -> str:
        """The JSON text this decoder was built from"""
    def __getstate__(self) -> _State: ...
    def __setstate__(self, state: _State, /) -> None: ...

@final
class PostProcessor(metaclass=_pybind11_type):
    """A post-processor of a HuggingFace tokenizer.json (TemplateProcessing, BertProcessing, RobertaProcessing, ByteLevel, Sequence): adds special tokens, sets type ids and trims offsets

    >>> bert = PostProcessor.from_json('{"type": "BertProcessing", "sep": ["[SEP]", 102], "cls": ["[CLS]", 101]}')
    >>> bert.num_special_tokens_to_add(True)
    3
    >>> r = bert.process({"ids": [7592], "tokens": ["hello"], "offsets": [(0, 5)]}, {"ids": [2088], "tokens": ["world"], "offsets": [(0, 5)]})
    >>> r["tokens"], r["type_ids"], r["sequence_ids"]
    (['[CLS]', 'hello', '[SEP]', 'world', '[SEP]'], [0, 0, 0, 1, 1], [None, 0, None, 1, None])

    """

    def __init__(self, json: str | bytes | bytearray) -> None:
        """The same as from_json"""
    @staticmethod
    def from_json(json: str | bytes | bytearray) -> PostProcessor:
        """Build a post-processor from its tokenizer.json object, given as JSON text; raises ValueError naming the post-processor when a type or option is not supported"""
    def num_special_tokens_to_add(self, is_pair: bool) -> int:
        """Number of tokens process adds with special tokens on, for one sequence or a pair"""
    def process(self, encoding: _Record, pair: _Record | None = None, add_special_tokens: bool = True) -> _Record:
        """Process one encoding, or a pair, into one, as tokenizers' PostProcessor.process does: each a dict with "ids", "tokens" and "offsets" (and optionally "type_ids", "words", "special_tokens_mask", "attention_mask", "sequence_ranges", "overflowing"); returns such a dict with every field, and "sequence_ids" per token"""
    def to_json(self) -> str:
        """The JSON text this post-processor was built from"""
    def __getstate__(self) -> _State: ...
    def __setstate__(self, state: _State, /) -> None: ...

@final
class Normalizer(metaclass=_pybind11_type):
    """A normalizer of a HuggingFace tokenizer.json pipeline (BertNormalizer, NFC, NFD, NFKC, NFKD, Lowercase, Strip, StripAccents, Replace, Prepend, ByteLevel or a Sequence of them), giving the text and offsets `tokenizers` gives

    >>> n = Normalizer.from_json('{"type": "Sequence", "normalizers": [{"type": "NFKD"}, {"type": "Lowercase"}]}')
    >>> n.normalize_str("Ｈéllo ﬁ")
    'he\u0301llo fi'
    >>> n.normalize_with_offsets("ﬁX")
    ('fix', [(0, 1), (0, 1), (1, 2)])

    """

    def __init__(self, json: str) -> None:
        """The same as from_json"""
    @staticmethod
    def from_json(json: str) -> Normalizer:
        """Build a normalizer from its tokenizer.json object, given as JSON text such as '{"type": "NFC"}'; raises ValueError naming any type or option it does not support"""
    def normalize_str(self, text: str) -> str:
        """Normalize a text"""
    def normalize_with_offsets(self, text: str) -> tuple[str, list[tuple[int, int]]]:
        """Normalize a text; also return, for each character of the result, the (start, end) character offsets in `text` of what it came from"""
    def to_json(self) -> str:
        """The JSON text this normalizer was built from"""
    def __getstate__(self) -> _State: ...
    def __setstate__(self, state: _State, /) -> None: ...
