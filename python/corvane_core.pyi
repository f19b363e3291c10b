"""Corvane C++ engine — production-grade BPE/WordPiece tokenizer with token compressor

Type information for the compiled module. Text arguments may be ``str`` (passed as its
UTF-8 encoding), ``bytes`` or ``bytearray``; id arguments may be any iterable of ints
that fit in 32 signed bits.
"""
from collections.abc import Iterable
from typing import final

Text = str | bytes | bytearray

@final
class Compressor:
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
    def compress(self, text: Text, /) -> str:
        """Compress text to reduce token count (abbreviation + whitespace pass)"""
    def decompress(self, text: Text, /) -> str:
        """Re-expand abbreviations for human readability"""

@final
class BPETokenizer:
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

    """

    def __init__(self) -> None: ...
    @staticmethod
    def from_hf_json(tokenizer_json_path: str) -> BPETokenizer:
        """Load from a HuggingFace tokenizer.json file"""
    @staticmethod
    def from_tiktoken_file(path: str) -> BPETokenizer:
        """Load from a tiktoken .tiktoken file"""
    def encode(self, text: Text, /) -> list[int]: ...
    def decode(self, ids: Iterable[int], /) -> str: ...
    def count(self, text: Text, /) -> int: ...
    def is_loaded(self) -> bool: ...

@final
class WordPieceTokenizer:
    """WordPiece tokenizer (greedy longest match, "##" continuation pieces) over a vocab.txt.

    Words that cannot be split become id 100.

    >>> wp = WordPieceTokenizer("vocab.txt")  # doctest: +SKIP
    >>> wp.decode(wp.encode("unaffable"))  # doctest: +SKIP
    'unaffable'

    """

    def __init__(self, vocab_txt_path: str) -> None: ...
    def encode(self, text: Text, /) -> list[int]: ...
    def decode(self, ids: Iterable[int], /) -> str: ...
    def count(self, text: Text, /) -> int: ...
