"""tiktoken's own encodings, built offline from the rank files in ../shared/data.

tiktoken_ext.openai_public says what each public encoding is (pattern, special tokens,
explicit size) and would download its rank file; here its loader is pointed at the local
copies instead, so the reference is exactly tiktoken's, with nothing restated by us.
"""
from __future__ import annotations

import functools
import pathlib
import threading

import tiktoken
import tiktoken.load
import tiktoken_ext.openai_public as openai_public

from conftest import shared_file

_lock = threading.Lock()


def _local_loader(url: str, expected_hash: str | None = None) -> dict[bytes, int]:
    path = shared_file(pathlib.PurePosixPath(url).name)
    return tiktoken.load.load_tiktoken_bpe(str(path), expected_hash)


def constructor_args(name: str) -> dict:
    """The arguments tiktoken gives `Encoding` for a public encoding, ranks read locally."""
    # gpt2's constructor reads GPT-2's encoder.json and vocab.bpe, which give the ranks of
    # r50k_base; everything else comes from its constructor as tiktoken has it.
    with _lock:
        saved = openai_public.load_tiktoken_bpe, openai_public.data_gym_to_mergeable_bpe_ranks
        openai_public.load_tiktoken_bpe = _local_loader
        openai_public.data_gym_to_mergeable_bpe_ranks = (
            lambda **_: _local_loader("r50k_base.tiktoken")
        )
        try:
            args = openai_public.ENCODING_CONSTRUCTORS[name]()
        finally:
            openai_public.load_tiktoken_bpe, openai_public.data_gym_to_mergeable_bpe_ranks = saved
    return args


@functools.lru_cache(maxsize=None)
def reference(name: str) -> tiktoken.Encoding:
    """tiktoken's encoding of that name, built offline (cached for the session)."""
    return tiktoken.Encoding(**constructor_args(name))
