"""corvane: tiktoken's API over corvane's native engine, with every public encoding shipped.

    import corvane as tiktoken

    enc = tiktoken.get_encoding("o200k_base")      # no download: the encoding ships inside
    enc.encode("hello world")                       # [24912, 2375], tiktoken's ids
    enc.count("hello world")                        # 2, without building the list

`Tokenizer` loads a HuggingFace tokenizer.json and gives `tokenizers`' ids, tokens and offsets:

    tok = corvane.Tokenizer.from_file("tokenizer.json")
    tok.encode("hello world").ids

`Encoding`, `get_encoding`, `encoding_for_model`, `encoding_name_for_model` and
`list_encoding_names` behave like tiktoken's; `Encoding.from_rank_file` loads any other
tiktoken rank file with a pattern and special tokens of your choice.
"""

from __future__ import annotations

import corvane_core as _corvane_core

from .core import Encoding as Encoding
from .model import encoding_for_model as encoding_for_model
from .model import encoding_name_for_model as encoding_name_for_model
from .registry import get_encoding as get_encoding
from .registry import list_encoding_names as list_encoding_names
from .tokenizer import Tokenizer as Tokenizer

__version__: str = getattr(_corvane_core, "__version__", "0.1.0")

__all__ = [
    "Encoding",
    "encoding_for_model",
    "encoding_name_for_model",
    "get_encoding",
    "list_encoding_names",
    "Tokenizer",
]
