"""Corvane C++ engine — production-grade BPE/WordPiece tokenizer with token compressor

Type information for the compiled module. Text arguments may be ``str`` (passed as its
UTF-8 encoding), ``bytes`` or ``bytearray``. Id-list arguments hold ints (or objects with
``__index__``) that fit in 32 signed bits, in a sequence other than ``str`` and ``bytes``
(a list, tuple, range, array, ...), a generator, a set or frozenset, a dict's keys or values
view, or a ``map`` object; other iterators (``iter(...)``, ``filter``, ``reversed``,
``itertools.chain``) are not accepted: pass ``list(...)`` of them. File paths may be
``str``, ``bytes`` or ``os.PathLike`` objects such as ``pathlib.Path``; a path holding a NUL
character raises ValueError. All three classes can be pickled (``pickle``,
``copy.deepcopy``).
"""
import os
from collections.abc import Generator, Iterable, Sequence, ValuesView
from collections.abc import Set as AbstractSet
from typing import Any, Literal, SupportsIndex, final

_Text = str | bytes | bytearray
_Path = str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes]
# What __getstate__ returns and __setstate__ takes: a format version and the tables.
_State = tuple[int, bytes]
# Id lists: what the binding reads (bytes, a Sequence[int] too, is refused at run time).
_Ids = (Sequence[SupportsIndex] | Generator[SupportsIndex, None, None] | AbstractSet[SupportsIndex]
        | ValuesView[SupportsIndex] | map[SupportsIndex])

#: The package version (the one in pyproject.toml).
__version__: str

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
    def decode(self, ids: _Ids, /) -> str: ...
    def count(self, text: _Text, /) -> int: ...
    def is_loaded(self) -> bool: ...
    def decode_bytes(self, ids: _Ids, /) -> bytes:
        """Decode ids to the bytes of their tokens, without UTF-8 validation (for a slice of ids that may end inside a character); ids without a token are skipped"""
    def encode_batch(self, texts: Iterable[_Text], /) -> list[list[int]]:
        """Encode each text of an iterable (str, bytes or bytearray items) to a list of ids, in order; releases the GIL and spreads the texts over up to one native thread per CPU (Ctrl-C stops it)"""
    def count_batch(self, texts: Iterable[_Text], /) -> list[int]:
        """Count the ids of each text of an iterable (str, bytes or bytearray items), in order; releases the GIL and spreads the texts over up to one native thread per CPU (Ctrl-C stops it)"""
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
    def decode(self, ids: _Ids, /) -> str: ...
    def count(self, text: _Text, /) -> int: ...
    def decode_bytes(self, ids: _Ids, /) -> bytes:
        """Decode ids like decode (continuation pieces glued, other tokens joined by one blank) but return the bytes, without UTF-8 validation"""
    def encode_batch(self, texts: Iterable[_Text], /) -> list[list[int]]:
        """Encode each text of an iterable (str, bytes or bytearray items) to a list of ids, in order; releases the GIL and spreads the texts over up to one native thread per CPU (Ctrl-C stops it)"""
    def count_batch(self, texts: Iterable[_Text], /) -> list[int]:
        """Count the ids of each text of an iterable (str, bytes or bytearray items), in order; releases the GIL and spreads the texts over up to one native thread per CPU (Ctrl-C stops it)"""
    def __getstate__(self) -> _State: ...
    def __setstate__(self, state: _State, /) -> None: ...

@final
class PreTokenizer(metaclass=_pybind11_type):
    r"""Cuts text into pre-tokens by a tiktoken-style pattern (pat_str): each match is one pre-token, in order; text no match covers is dropped.

    The patterns of the public encodings run on hand-written scanners (engine="auto"); any
    other pattern, or any pattern with engine="regex", runs on the regex engine (PCRE2,
    with Unicode 16 classes). Stretches of well-formed UTF-8 are pre-tokenised each as a
    whole text; every byte of bytes input that is not part of a well-formed character is a
    pre-token of its own. A bad pattern raises ValueError("invalid pattern: ... at offset N").

    >>> PreTokenizer(r"\p{Lu}\p{Ll}*").split("Hello World")
    [b'Hello', b'World']
    >>> PreTokenizer(r"\w+").split(b"ab\xffcd")
    [b'ab', b'\xff', b'cd']
    >>> PreTokenizer(r"\p{L}+|\s").kind
    'regex'

    """

    def __init__(self, pat_str: str, *, engine: Literal["auto", "regex"] = "auto") -> None: ...
    @staticmethod
    def ascii_gpt2() -> PreTokenizer:
        """The fixed ASCII rule of BPETokenizer (every byte counts as itself)"""
    def split(self, text: str | bytes) -> list[bytes]:
        """The pre-tokens of text (str or bytes), as bytes, in order. A str with lone surrogates is read as tiktoken reads it: each lone surrogate becomes U+FFFD. Raises TypeError for other argument types; RuntimeError when the regex engine gives up on a pathological pattern. Releases the GIL on long texts."""
    @property
    def kind(self) -> Literal["ascii_gpt2", "r50k", "cl100k", "o200k", "regex"]:
        """Which splitter runs: ascii_gpt2, r50k, cl100k, o200k (scanners) or regex"""
    @property
    def pattern(self) -> str:
        """The pattern the pre-tokeniser was built from"""

@final
class CoreBPE(metaclass=_pybind11_type):
    """A tiktoken-style byte-pair encoding: ranked byte tokens (rank = id), the pre-tokenisation pattern of the encoding, and special tokens. Immutable; safe to share between threads.

    The engine of the ``corvane`` package's ``Encoding``; built from a rank dict, a rank
    file or a saved state:

    >>> enc = CoreBPE.from_rank_file("cl100k_base.tiktoken", {"<|endoftext|>": 100257}, pat_str)  # doctest: +SKIP
    >>> enc.encode("hello <|endoftext|>", {"<|endoftext|>"})  # doctest: +SKIP
    [15339, 220, 100257]
    >>> enc.encode_ordinary("hello <|endoftext|>")  # doctest: +SKIP
    [15339, 83739, 8862, 728, 428, 91, 29]
    >>> CoreBPE.from_state(enc.to_state()).count_ordinary("hello")  # doctest: +SKIP
    1

    Text arguments are str, bytes or bytearray; each byte that is not part of well-formed
    UTF-8 is a pre-token of its own (``encode_bytes`` follows tiktoken's rule instead). A str
    holding a lone surrogate raises TypeError.
    """

    def __init__(self, mergeable_ranks: dict[bytes, int], special_tokens: dict[str, int], pat_str: str) -> None: ...
    @staticmethod
    def from_rank_file(path: _Path, special_tokens: dict[str, int], pat_str: str) -> CoreBPE:
        """Load a tiktoken rank file (base64 token, rank per line) with the encoding's special tokens and pattern"""
    @staticmethod
    def from_state(data: bytes) -> CoreBPE:
        """Restore an encoding from what to_state() returned"""
    def to_state(self) -> bytes:
        """The whole encoding (ranks, special tokens, pattern) as compact, versioned, checksummed bytes"""
    def encode_ordinary(self, text: _Text) -> list[int]:
        """Encode text; special-token text is plain text"""
    def encode(self, text: _Text, allowed_special: AbstractSet[str]) -> list[int]:
        """Encode text; the special tokens of allowed_special found in it become their ids"""
    def count_ordinary(self, text: _Text) -> int:
        """len(encode_ordinary(text)), without building the list"""
    def count(self, text: _Text, allowed_special: AbstractSet[str]) -> int:
        """len(encode(text, allowed_special)), without building the list"""
    def find_special(self, text: _Text, tokens: AbstractSet[str]) -> str | None:
        """The first of tokens (a set of str) occurring in text: the leftmost, the longest on ties; None if none"""
    def encode_ordinary_batch(self, texts: Iterable[_Text]) -> list[list[int]]:
        """encode_ordinary of each text, on native threads without the GIL"""
    def encode_batch(self, texts: Iterable[_Text], allowed_special: AbstractSet[str]) -> list[list[int]]:
        """encode of each text, on native threads without the GIL"""
    def count_ordinary_batch(self, texts: Iterable[_Text]) -> list[int]:
        """count_ordinary of each text, on native threads without the GIL"""
    def count_batch(self, texts: Iterable[_Text], allowed_special: AbstractSet[str]) -> list[int]:
        """count of each text, on native threads without the GIL"""
    def encode_bytes(self, data: bytes | bytearray) -> list[int]:
        """Encode bytes that may not be UTF-8 by tiktoken's rule: the valid prefix as text, its last pre-token re-merged with the rest as one piece"""
    def encode_single_piece(self, piece: bytes | bytearray) -> list[int]:
        """Merge one piece of bytes by rank, with no pre-tokenisation"""
    def encode_single_token(self, piece: bytes | bytearray) -> int:
        """The id of exactly these bytes (an ordinary or special token); KeyError if none"""
    def decode_bytes(self, tokens: Iterable[int]) -> bytes:
        """The bytes of the tokens, joined; KeyError for an id that is no token"""
    def decode_single_token_bytes(self, token: int) -> bytes:
        """The bytes of one token; KeyError if the id is no token"""
    def token_byte_values(self) -> list[bytes]:
        """The bytes of every ordinary token, sorted"""
    @property
    def n_ordinary(self) -> int:
        """Number of ordinary tokens"""
    @property
    def max_rank(self) -> int:
        """The highest rank of an ordinary token (-1 when there is none)"""
    def special_tokens(self) -> dict[str, int]:
        """The special tokens, text to id"""
    @property
    def pattern(self) -> str:
        """The pre-tokenisation pattern"""
    @property
    def pre_tokenizer_kind(self) -> str:
        """What runs the pattern: 'r50k', 'cl100k' or 'o200k' (scanners of the public patterns) or 'regex'"""
    def split(self, text: _Text) -> list[tuple[int, int]]:
        """Byte offsets (begin, end) of the pre-tokens of text (special tokens not looked for)"""
    def safe_cut(self, data: _Text) -> int:
        """The largest offset p such that data[:p] and whatever follows data[p:] encode, apart, to the ids of the whole: the start of data's last pre-token when both sides split as they do within data; 0 if none"""
    def __getstate__(self) -> bytes: ...
    def __setstate__(self, state: bytes, /) -> None: ...

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

@final
class Model(metaclass=_pybind11_type):
    """The model of a HuggingFace tokenizer.json pipeline (its "model" object: BPE, WordPiece or WordLevel), giving the tokens `tokenizers` gives for one piece

    >>> m = Model.from_json('{"type": "BPE", "vocab": {"a": 0, "b": 1, "ab": 2, "é": 3}, "merges": [["a", "b"]]}')
    >>> m.tokenize("abé")
    [(2, 'ab', (0, 2)), (3, 'é', (2, 4))]
    >>> m.token_to_id("ab"), m.id_to_token(3), m.get_vocab_size()
    (2, 'é', 4)

    """

    def __init__(self, json: str) -> None:
        """The same as from_json"""
    @staticmethod
    def from_json(json: str) -> Model:
        """Build a model from its tokenizer.json object, given as JSON text; raises ValueError naming an unsupported type, a missing or mistyped field, or a field the type does not have"""
    def tokenize(self, sequence: str) -> list[tuple[int, str, tuple[int, int]]]:
        """The tokens of one pre-tokenized piece, as (id, token, (start, end)) with byte offsets into the piece's UTF-8, as tokenizers' Model.tokenize gives them; raises RuntimeError where tokenizers fails (an unknown piece and no unknown token in the vocabulary)"""
    def token_to_id(self, token: str) -> int | None:
        """The id of a token, or None"""
    def id_to_token(self, id: int) -> str | None:
        """The token of an id, or None"""
    def get_vocab_size(self) -> int:
        """The number of tokens of the vocabulary"""
    def get_vocab(self) -> dict[str, int]:
        """The vocabulary, token -> id"""
    def to_json(self) -> str:
        """The JSON text this model was built from"""
    def __getstate__(self) -> _State: ...
    def __setstate__(self, state: _State, /) -> None: ...

@final
class PipelineEncoding(metaclass=_pybind11_type):
    """The result of Pipeline.encode: one entry per token in each list, as `tokenizers`' Encoding holds them"""

    @property
    def ids(self) -> list[int]:
        """The token ids"""
    @property
    def type_ids(self) -> list[int]:
        """The type id of each token (0 for the first sequence, 1 for the pair, as the post-processor sets them)"""
    @property
    def tokens(self) -> list[str]:
        """The token strings"""
    @property
    def offsets(self) -> list[tuple[int, int]]:
        """The (start, end) character offsets of each token in its input sequence"""
    @property
    def attention_mask(self) -> list[int]:
        """1 for each token, 0 for padding"""
    @property
    def special_tokens_mask(self) -> list[int]:
        """1 for each special token the post-processor or padding added, else 0"""
    @property
    def word_ids(self) -> list[int | None]:
        """The index of the pre-tokenized word each token comes from (None for added special tokens)"""
    @property
    def words(self) -> list[int | None]:
        """The same as word_ids"""
    @property
    def sequence_ids(self) -> list[int | None]:
        """The input sequence (0 or 1) each token comes from, None for added special tokens"""
    @property
    def n_sequences(self) -> int:
        """The number of input sequences encoded (1 or 2)"""
    @property
    def overflowing(self) -> list[PipelineEncoding]:
        """The parts truncation cut off, each an encoding of its own"""
    # Made only by Pipeline.encode and encode_batch: calling the class raises TypeError.
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def __len__(self) -> int: ...

@final
class Pipeline(metaclass=_pybind11_type):
    """A HuggingFace tokenizer.json tokenizer run by the native pipeline: the same ids, tokens and offsets as `tokenizers`

    The engine of ``corvane.Tokenizer``. Texts are str (a str holding a lone surrogate
    raises ValueError); truncation and padding are those the document sets until changed.
    """

    # Made by from_str, from_buffer and from_file: calling the class raises TypeError.
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    @staticmethod
    def from_str(json: str) -> Pipeline:
        """Load a tokenizer from the text of a tokenizer.json document"""
    @staticmethod
    def from_buffer(buffer: bytes) -> Pipeline:
        """Load a tokenizer from the bytes of a tokenizer.json document"""
    @staticmethod
    def from_file(path: _Path) -> Pipeline:
        """Load a tokenizer from a tokenizer.json file"""
    @staticmethod
    def from_sentencepiece(path: _Path) -> Pipeline:
        """Load a tokenizer from a SentencePiece .model file: the same ids, pieces and decoded text as `sentencepiece`"""
    @staticmethod
    def from_sentencepiece_buffer(buffer: bytes) -> Pipeline:
        """Load a tokenizer from the bytes of a SentencePiece .model file"""
    def encode(self, sequence: str, pair: str | None = ..., add_special_tokens: bool = ...) -> PipelineEncoding:
        """Encode a sequence, or a pair of sequences"""
    def encode_batch(self, input: Iterable[str | tuple[str, str] | list[str]], add_special_tokens: bool = ...) -> list[PipelineEncoding]:
        """Encode a list of sequences or (sequence, pair) tuples on native threads"""
    def count(self, text: str, add_special_tokens: bool = ...) -> int:
        """The number of tokens of a text (special tokens included when add_special_tokens), without truncation or padding"""
    def count_batch(self, texts: Iterable[_Text], add_special_tokens: bool = ...) -> list[int]:
        """count for each text, on native threads"""
    def decode(self, ids: Iterable[int], skip_special_tokens: bool = ...) -> str:
        """The text of a list of ids"""
    def decode_batch(self, sequences: Iterable[Iterable[int]], skip_special_tokens: bool = ...) -> list[str]:
        """decode for each list of ids"""
    def token_to_id(self, token: str) -> int | None:
        """The id of a token (an added token first, then the model's), or None"""
    def id_to_token(self, id: int) -> str | None:
        """The token of an id (an added token first, then the model's), or None"""
    def get_vocab(self, with_added_tokens: bool = ...) -> dict[str, int]:
        """The vocabulary as a dict of token to id"""
    def get_vocab_size(self, with_added_tokens: bool = ...) -> int:
        """The number of distinct tokens of the vocabulary"""
    def get_added_tokens(self) -> list[dict[str, Any]]:
        """The added tokens, in the order they were added, each as a dict of its options and id"""
    @property
    def truncation(self) -> dict[str, Any] | None:
        """The truncation parameters (a dict), or None"""
    @property
    def padding(self) -> dict[str, Any] | None:
        """The padding parameters (a dict), or None"""
    def enable_truncation(self, max_length: int, stride: int = ..., strategy: str = ..., direction: str = ...) -> None:
        """Truncate every encoding to max_length tokens"""
    def no_truncation(self) -> None:
        """Turn truncation off"""
    def enable_padding(self, direction: str = ..., pad_id: int = ..., pad_type_id: int = ..., pad_token: str = ..., length: int | None = ..., pad_to_multiple_of: int | None = ...) -> None:
        """Pad every encoding to `length` tokens, or to the longest of its batch when length is None"""
    def no_padding(self) -> None:
        """Turn padding off"""
    def to_str(self, pretty: bool = ...) -> str:
        """The tokenizer.json document this tokenizer was loaded from, with its current truncation and padding"""
    def __getstate__(self) -> _State: ...
    def __setstate__(self, state: _State, /) -> None: ...
