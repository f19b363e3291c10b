"""The encodings that ship inside the package, declared as data, and `get_encoding`.

Each public tiktoken encoding is stored in `corvane/data/` as the saved state of its native
encoding (ranks, special tokens and pattern; see tools/build_encodings.py), so loading one
reads no rank file and needs no network. The declarations below say what each encoding must
be; a shipped file that does not match its declaration is refused.
"""

from __future__ import annotations

import dataclasses
import pathlib
import threading
import zlib

from corvane_core import CoreBPE

from .core import Encoding

DATA_DIR = pathlib.Path(__file__).resolve().parent / "data"

ENDOFTEXT = "<|endoftext|>"
FIM_PREFIX = "<|fim_prefix|>"
FIM_MIDDLE = "<|fim_middle|>"
FIM_SUFFIX = "<|fim_suffix|>"
ENDOFPROMPT = "<|endofprompt|>"

R50K_PAT_STR = (
    r"""'(?:[sdmt]|ll|ve|re)| ?\p{L}++| ?\p{N}++| ?[^\s\p{L}\p{N}]++|\s++$|\s+(?!\S)|\s"""
)
CL100K_PAT_STR = (
    r"""'(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}++|\p{N}{1,3}+| ?[^\s\p{L}\p{N}]++[\r\n]*+"""
    r"""|\s++$|\s*[\r\n]|\s+(?!\S)|\s"""
)
O200K_PAT_STR = "|".join(
    [
        r"""[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+(?i:'s|'t|'re|'ve|'m|'ll|'d)?""",
        r"""[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*(?i:'s|'t|'re|'ve|'m|'ll|'d)?""",
        r"""\p{N}{1,3}""",
        r""" ?[^\s\p{L}\p{N}]+[\r\n/]*""",
        r"""\s*[\r\n]+""",
        r"""\s+(?!\S)""",
        r"""\s+""",
    ]
)

O200K_HARMONY_SPECIAL_TOKENS: dict[str, int] = {
    ENDOFTEXT: 199999,
    ENDOFPROMPT: 200018,
    "<|startoftext|>": 199998,
    "<|reserved_200000|>": 200000,
    "<|reserved_200001|>": 200001,
    "<|return|>": 200002,
    "<|constrain|>": 200003,
    "<|reserved_200004|>": 200004,
    "<|channel|>": 200005,
    "<|start|>": 200006,
    "<|end|>": 200007,
    "<|message|>": 200008,
    "<|reserved_200009|>": 200009,
    "<|reserved_200010|>": 200010,
    "<|reserved_200011|>": 200011,
    "<|call|>": 200012,
} | {f"<|reserved_{i}|>": i for i in range(200013, 201088)}


@dataclasses.dataclass(frozen=True)
class EncodingSpec:
    """What a shipped encoding is: its pattern, special tokens, size and stored file."""

    name: str
    pat_str: str
    special_tokens: dict[str, int]
    # The rank file the encoding is built from, by its tiktoken name and sha256.
    rank_file: str
    rank_file_sha256: str
    # The stored native state of the whole encoding, in corvane/data/.
    data_file: str
    explicit_n_vocab: int | None = None


_R50K_SHA256 = "306cd27f03c1a714eca7108e03d66b7dc042abe8c258b44c199a7ed9838dd930"
_P50K_SHA256 = "94b5ca7dff4d00767bc256fdd1b27e5b17361d7b8a5f968547f9f23eb70d2069"
_CL100K_SHA256 = "223921b76ee99bde995b7ff738513eef100fb51d18c93597a113bcffe865b2a7"
_O200K_SHA256 = "446a9538cb6c348e3516120d7c08b09f57c36495e2acfffe59a5bf8b0cfb1a2d"

ENCODING_SPECS: dict[str, EncodingSpec] = {
    spec.name: spec
    for spec in [
        # gpt2 is r50k_base under its original name (tiktoken builds it from GPT-2's
        # encoder.json and vocab.bpe, which give the same ranks).
        EncodingSpec(
            "gpt2", R50K_PAT_STR, {ENDOFTEXT: 50256},
            "r50k_base.tiktoken", _R50K_SHA256, "r50k_base.cvstate", 50257,
        ),
        EncodingSpec(
            "r50k_base", R50K_PAT_STR, {ENDOFTEXT: 50256},
            "r50k_base.tiktoken", _R50K_SHA256, "r50k_base.cvstate", 50257,
        ),
        EncodingSpec(
            "p50k_base", R50K_PAT_STR, {ENDOFTEXT: 50256},
            "p50k_base.tiktoken", _P50K_SHA256, "p50k_base.cvstate", 50281,
        ),
        EncodingSpec(
            "p50k_edit", R50K_PAT_STR,
            {ENDOFTEXT: 50256, FIM_PREFIX: 50281, FIM_MIDDLE: 50282, FIM_SUFFIX: 50283},
            "p50k_base.tiktoken", _P50K_SHA256, "p50k_edit.cvstate",
        ),
        EncodingSpec(
            "cl100k_base", CL100K_PAT_STR,
            {
                ENDOFTEXT: 100257,
                FIM_PREFIX: 100258,
                FIM_MIDDLE: 100259,
                FIM_SUFFIX: 100260,
                ENDOFPROMPT: 100276,
            },
            "cl100k_base.tiktoken", _CL100K_SHA256, "cl100k_base.cvstate",
        ),
        EncodingSpec(
            "o200k_base", O200K_PAT_STR, {ENDOFTEXT: 199999, ENDOFPROMPT: 200018},
            "o200k_base.tiktoken", _O200K_SHA256, "o200k_base.cvstate",
        ),
        EncodingSpec(
            "o200k_harmony", O200K_PAT_STR, O200K_HARMONY_SPECIAL_TOKENS,
            "o200k_base.tiktoken", _O200K_SHA256, "o200k_harmony.cvstate",
        ),
    ]
}

_lock = threading.RLock()
ENCODINGS: dict[str, Encoding] = {}


def read_state(spec: EncodingSpec) -> bytes:
    """The native state stored for an encoding (zlib-compressed on disk)."""
    path = DATA_DIR / spec.data_file
    try:
        packed = path.read_bytes()
    except FileNotFoundError:
        raise RuntimeError(
            f"the data file of encoding {spec.name!r} is missing: {path} "
            "(a source checkout builds it with tools/build_encodings.py)"
        ) from None
    try:
        return zlib.decompress(packed)
    except zlib.error as e:
        raise ValueError(f"the data file of encoding {spec.name!r} is damaged: {path}") from e


def load_shipped(spec: EncodingSpec) -> Encoding:
    """Builds a shipped encoding from its stored state and checks it against its declaration."""
    core_bpe = CoreBPE.from_state(read_state(spec))
    if core_bpe.pattern != spec.pat_str or core_bpe.special_tokens() != spec.special_tokens:
        raise ValueError(
            f"the data file of encoding {spec.name!r} does not hold that encoding: "
            f"{DATA_DIR / spec.data_file}"
        )
    return Encoding._from_core(spec.name, core_bpe, explicit_n_vocab=spec.explicit_n_vocab)


def get_encoding(encoding_name: str) -> Encoding:
    """The shipped encoding of that name, loaded once and then shared.

    Raises ValueError for a name that is not a shipped encoding.
    """
    if not isinstance(encoding_name, str):
        raise ValueError(f"Expected a string in get_encoding, got {type(encoding_name)}")

    enc = ENCODINGS.get(encoding_name)
    if enc is not None:
        return enc

    with _lock:
        enc = ENCODINGS.get(encoding_name)
        if enc is not None:
            return enc
        spec = ENCODING_SPECS.get(encoding_name)
        if spec is None:
            raise ValueError(
                f"Unknown encoding {encoding_name}.\n"
                f"Encodings available: {list_encoding_names()}\n"
                "Any other rank file loads with corvane.Encoding.from_rank_file(path, ...)."
            )
        enc = load_shipped(spec)
        ENCODINGS[encoding_name] = enc
        return enc


def list_encoding_names() -> list[str]:
    """The names `get_encoding` accepts."""
    return list(ENCODING_SPECS)
