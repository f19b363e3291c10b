"""The extension module as Python sees it: names, docstrings, signatures, conversions."""
from __future__ import annotations

import importlib
import importlib.util
import inspect
import itertools
import os
import subprocess
import sys
import textwrap

import pytest

import corvane_core
from corvane_core import BPETokenizer, Compressor, WordPieceTokenizer
from conftest import stable_id
from rank_file_support import load, single_bytes, write_rank_file

DOC = "Corvane C++ engine \u2014 production-grade BPE/WordPiece tokenizer with token compressor"
CLASSES = ["Compressor", "BPETokenizer", "WordPieceTokenizer"]


@pytest.fixture
def bpe(tmp_path) -> BPETokenizer:
    """Loaded with the 256 single bytes, each byte's id being its value plus 1000."""
    return load(tmp_path, [(b, r + 1000) for b, r in single_bytes()])


@pytest.fixture
def vocab_txt(tmp_path):
    path = tmp_path / "vocab.txt"
    lines = ["[PAD]"] + [f"[unused{i}]" for i in range(99)] + ["[UNK]", "[CLS]", "[SEP]", "hello", "world", "##s"]
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


# ---------------------------------------------------------------------------------------
# The module object.
# ---------------------------------------------------------------------------------------


def test_module_docstring():
    assert corvane_core.__doc__ == DOC
    assert corvane_core.__doc__.encode("utf-8").count("\u2014".encode()) == 1
    assert corvane_core.__name__ == "corvane_core"


# Classes registered after the three above, for the newer front ends.
ADDED_CLASSES = {"PreTokenizer", "CoreBPE", "Normalizer", "Decoder", "PostProcessor", "HfPreTokenizer", "Pipeline", "PipelineEncoding", "Model"}


def test_classes_inserted_in_order():
    # The three first, in this order; the pipeline's component classes come after them.
    names = [k for k in vars(corvane_core) if not k.startswith("__")]
    assert names[:3] == CLASSES
    assert set(names[3:]) == ADDED_CLASSES


def test_module_has_nothing_else():
    # Classes only: no functions, constants or submodules.
    public = {k for k in dir(corvane_core) if not k.startswith("_")}
    assert public == set(CLASSES) | ADDED_CLASSES
    assert all(inspect.isclass(getattr(corvane_core, k)) for k in CLASSES)


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity(name):
    cls = getattr(corvane_core, name)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "corvane_core"
    # No Python base class of its own: directly on the binding layer's common base.
    assert len(cls.__mro__) == 3
    assert cls.__mro__[-1] is object
    assert cls.__mro__[1].__module__ != "corvane_core"
    assert not any(c in cls.__mro__[1:] for c in (Compressor, BPETokenizer, WordPieceTokenizer))


@pytest.mark.parametrize(
    "cls, members",
    [
        (Compressor, ["__init__", "compress", "decompress"]),
        (BPETokenizer, ["__init__", "from_hf_json", "from_tiktoken_file", "encode", "decode", "count", "is_loaded"]),
        (WordPieceTokenizer, ["__init__", "encode", "decode", "count"]),
    ],
    ids=lambda v: getattr(v, "__name__", None),
)
def test_members_in_registration_order(cls, members):
    # The specified members come first, in order; additions follow them.
    own = [k for k in vars(cls) if not k.startswith("__") or k == "__init__"]
    assert [k for k in own if k != "_pybind11_conduit_v1_"][: len(members)] == members
    # The binding layer's interoperability method comes before the hand-written members.
    assert "_pybind11_conduit_v1_" in own
    assert own.index("_pybind11_conduit_v1_") < own.index(members[1])


# ---------------------------------------------------------------------------------------
# Docstrings and static factories.
# ---------------------------------------------------------------------------------------


def doc_body(func) -> str:
    """The docstring without the signature line the binding layer puts first."""
    doc = func.__doc__ or ""
    first, _, rest = doc.partition("\n")
    assert first.startswith(func.__name__ + "("), doc
    return rest.strip()


@pytest.mark.parametrize(
    "name, body",
    [
        ("from_tiktoken_file", "Load from a tiktoken .tiktoken file"),
        ("from_hf_json", "Load from a HuggingFace tokenizer.json file"),
    ],
)
def test_factory_docstrings(name, body):
    assert doc_body(getattr(BPETokenizer, name)) == body


@pytest.mark.parametrize(
    "func",
    [BPETokenizer.encode, BPETokenizer.decode, BPETokenizer.count, BPETokenizer.is_loaded,
     WordPieceTokenizer.encode, WordPieceTokenizer.decode, WordPieceTokenizer.count],
    ids=lambda f: f.__qualname__,
)
def test_other_members_have_no_docstring(func):
    assert doc_body(func) == ""


@pytest.mark.parametrize("name", ["from_tiktoken_file", "from_hf_json"])
def test_factories_are_static(name, bpe):
    assert isinstance(inspect.getattr_static(BPETokenizer, name), staticmethod)
    # Callable on the class and on an instance alike, without an instance argument.
    assert getattr(bpe, name) is getattr(BPETokenizer, name)


def test_factory_returns_new_objects(tmp_path):
    path = str(write_rank_file(tmp_path, single_bytes()))
    a = BPETokenizer.from_tiktoken_file(path)
    b = BPETokenizer.from_tiktoken_file(path=path)
    assert type(a) is BPETokenizer and type(b) is BPETokenizer
    assert a is not b
    assert a.encode("hi") == b.encode("hi") == [104, 105]
    del a
    assert b.encode("hi") == [104, 105]


# ---------------------------------------------------------------------------------------
# Parameter names.
# ---------------------------------------------------------------------------------------


def test_named_parameters_accept_keywords(tmp_path, vocab_txt):
    path = str(write_rank_file(tmp_path, single_bytes()))
    assert BPETokenizer.from_tiktoken_file(path=path).is_loaded()
    WordPieceTokenizer(vocab_txt_path=str(vocab_txt))
    # The keyword is taken; what follows is the loader's own failure, not a TypeError.
    with pytest.raises(RuntimeError):
        BPETokenizer.from_hf_json(tokenizer_json_path=str(tmp_path / "missing.json"))


def assert_incompatible(call, name: str, kind: str = "function"):
    with pytest.raises(TypeError) as info:
        call()
    message = str(info.value)
    assert message.startswith(f"{name}(): incompatible {kind} arguments"), message
    assert "\nInvoked with: " in message, message
    return message


@pytest.mark.parametrize("method", ["encode", "decode", "count"])
@pytest.mark.parametrize("keyword", ["text", "ids", "arg0", "self", "s"])
def test_bpe_methods_take_no_keywords(bpe, method, keyword):
    value = [104] if method == "decode" else "hi"
    message = assert_incompatible(lambda: getattr(bpe, method)(**{keyword: value}), method)
    assert f"{keyword}=" in message


@pytest.mark.parametrize("method", ["encode", "decode", "count"])
def test_wordpiece_methods_take_no_keywords(vocab_txt, method):
    wp = WordPieceTokenizer(str(vocab_txt))
    value = [1] if method == "decode" else "hello"
    assert_incompatible(lambda: getattr(wp, method)(text=value), method)


@pytest.mark.parametrize("method", ["compress", "decompress"])
def test_compressor_methods_take_no_keywords(method):
    c = Compressor()
    assert_incompatible(lambda: getattr(c, method)(text="by the way"), method)
    assert_incompatible(lambda: getattr(c, method)(arg0="by the way"), method)


def test_wrong_keyword_names(tmp_path):
    path = str(tmp_path / "x")
    assert_incompatible(lambda: BPETokenizer.from_tiktoken_file(file=path), "from_tiktoken_file")
    assert_incompatible(lambda: BPETokenizer.from_tiktoken_file(tokenizer_json_path=path), "from_tiktoken_file")
    assert_incompatible(lambda: BPETokenizer.from_hf_json(path=path), "from_hf_json")
    assert_incompatible(lambda: WordPieceTokenizer(path=path), "__init__", "constructor")
    assert_incompatible(lambda: WordPieceTokenizer(), "__init__", "constructor")
    assert_incompatible(lambda: BPETokenizer(path), "__init__", "constructor")
    assert_incompatible(lambda: Compressor("x"), "__init__", "constructor")


def test_wrong_argument_counts(bpe):
    assert_incompatible(lambda: bpe.encode(), "encode")
    assert_incompatible(lambda: bpe.encode("a", "b"), "encode")
    assert_incompatible(lambda: bpe.is_loaded(True), "is_loaded")
    assert_incompatible(lambda: BPETokenizer.from_tiktoken_file(), "from_tiktoken_file")


# ---------------------------------------------------------------------------------------
# Text arguments.
# ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("bad", [None, 1, 1.5, ["a"], object(), "\ud800", "a\udcff"], ids=stable_id)
@pytest.mark.parametrize("method", ["encode", "count"])
def test_text_argument_type_errors(bpe, method, bad):
    message = assert_incompatible(lambda: getattr(bpe, method)(bad), method)
    assert "Invoked with: " in message


@pytest.mark.parametrize("bad", [None, 7, 3.0, ["p"]], ids=repr)
def test_path_argument_type_errors(bad):
    assert_incompatible(lambda: BPETokenizer.from_tiktoken_file(bad), "from_tiktoken_file")


@pytest.mark.parametrize("method", ["compress", "decompress"])
def test_compressor_text_type_errors(method):
    c = Compressor()
    assert_incompatible(lambda: getattr(c, method)(None), method)
    assert_incompatible(lambda: getattr(c, method)(5), method)


def test_bytes_and_bytearray_are_raw_bytes(bpe):
    def ids(data: bytes):
        return [b + 1000 for b in data]

    assert bpe.encode(b"\xff\x00a_b") == ids(b"\xff\x00a_b")
    assert bpe.encode(bytearray(b"\xc3\xa9 x")) == ids("é x".encode())
    assert bpe.encode("é x") == ids("é x".encode())
    assert bpe.count(b"\xff\xfe") == 2
    assert bpe.count(bytearray(b"abc")) == 3
    assert bpe.encode(b"") == []
    # The empty tokenizer reads bytes the same way.
    assert BPETokenizer().encode(b"a \xff") == [0, 1]


# ---------------------------------------------------------------------------------------
# Id-list arguments.
# ---------------------------------------------------------------------------------------


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def _gen():
    yield from (1104, 1105)


ACCEPTED = [
    ("list", [1104, 1105], "hi"),
    ("tuple", (1104, 1105), "hi"),
    ("range", range(1104, 1106), "hi"),
    ("generator", _gen, "hi"),
    ("set", {1104}, "h"),
    ("frozenset", frozenset({1105}), "i"),
    ("dict keys", {1104: 0}.keys(), "h"),
    ("dict values", {0: 1105}.values(), "i"),
    ("map", lambda: map(int, ["1104", "1105"]), "hi"),
    ("index objects", [Index(1104), Index(1105)], "hi"),
    ("bool items", [True], ""),
    ("empty", [], ""),
    ("32-bit limits", [2147483647, -2147483648, 1104], "h"),
]


@pytest.mark.parametrize("name, ids, expected", ACCEPTED, ids=[c[0] for c in ACCEPTED])
def test_id_lists_accepted(bpe, name, ids, expected):
    if callable(ids):
        ids = ids()
    assert bpe.decode(ids) == expected


REJECTED = [
    ("str", "hi"),
    ("bytes", b"hi"),
    ("float item", [1104, 1105.0]),
    ("float", 1104.0),
    ("int", 1104),
    ("None", None),
    ("None item", [None]),
    ("str items", ["1104"]),
    ("nested", [[1104]]),
    ("2147483648", [2147483648]),
    ("-2147483649", [-2147483649]),
    ("huge", [10**30]),
    ("class object", list),
    ("dict items", {1104: 1105}.items()),
    # Iterators other than generators, map and zip objects are not read out.
    ("list iterator", iter([1104, 1105])),
    ("filter", filter(None, [1104, 1105])),
    ("reversed", reversed([1105, 1104])),
    ("itertools.chain", itertools.chain([1104], [1105])),
]


@pytest.mark.parametrize("name, ids", REJECTED, ids=[c[0] for c in REJECTED])
def test_id_lists_rejected(bpe, name, ids):
    assert_incompatible(lambda: bpe.decode(ids), "decode")


class RaisingIndex:
    def __index__(self):
        raise ZeroDivisionError("from __index__")


def _raising_gen():
    yield 1104
    yield RaisingIndex()


@pytest.mark.parametrize("ids", [[1104, RaisingIndex()], (RaisingIndex(),), _raising_gen],
                         ids=["list", "tuple", "generator"])
@pytest.mark.parametrize("method", ["decode", "decode_bytes"])
def test_raising_index_surfaces_its_own_exception(bpe, method, ids):
    with pytest.raises(ZeroDivisionError, match="^from __index__$"):
        getattr(bpe, method)(ids() if callable(ids) else ids)


def test_partial_utf8_raises(bpe):
    e_acute = [b + 1000 for b in "é".encode()]
    with pytest.raises(UnicodeDecodeError):
        bpe.decode(e_acute[:1])
    with pytest.raises(UnicodeDecodeError):
        bpe.decode([1104] + e_acute[:1] + [1105])
    with pytest.raises(UnicodeDecodeError):
        bpe.decode([b + 1000 for b in "€".encode()[:2]])
    with pytest.raises(UnicodeDecodeError):
        bpe.decode([1000 + 0xED, 1000 + 0xA0, 1000 + 0x80])  # an encoded surrogate
    assert bpe.decode(e_acute) == "é"
    assert bpe.decode([b + 1000 for b in "€".encode()]) == "€"


def test_results_are_plain_python_types(bpe):
    ids = bpe.encode("hi")
    assert type(ids) is list and all(type(i) is int for i in ids)
    assert type(bpe.count("hi")) is int
    assert type(bpe.decode(ids)) is str
    assert bpe.is_loaded() is True
    # Each call returns a new list.
    assert bpe.encode("hi") is not ids


# ---------------------------------------------------------------------------------------
# Instances.
# ---------------------------------------------------------------------------------------


def instances(vocab_txt):
    return [Compressor(), BPETokenizer(), WordPieceTokenizer(str(vocab_txt))]


def test_no_new_attributes(vocab_txt, bpe):
    for obj in instances(vocab_txt) + [bpe]:
        with pytest.raises(AttributeError):
            obj.extra = 1
        with pytest.raises(AttributeError):
            setattr(obj, "vocab_", {})
        assert not hasattr(obj, "__dict__")
        assert not hasattr(obj, "extra")


def test_methods_cannot_be_replaced_on_instances(vocab_txt):
    for obj in instances(vocab_txt):
        for name in ("encode", "decode", "count", "compress", "is_loaded"):
            with pytest.raises(AttributeError):
                setattr(obj, name, None)


# ---------------------------------------------------------------------------------------
# Import.
# ---------------------------------------------------------------------------------------


def test_reimport_registers_nothing_twice():
    classes = [getattr(corvane_core, n) for n in CLASSES]
    keys = list(vars(corvane_core))
    obj = BPETokenizer()

    reloaded = importlib.reload(corvane_core)
    assert reloaded is corvane_core
    assert list(vars(corvane_core)) == keys
    assert [getattr(corvane_core, n) for n in CLASSES] == classes
    assert isinstance(obj, corvane_core.BPETokenizer)

    # Creating the module again from its file hands out the module already made, and
    # running its body again changes nothing.
    found = importlib.util.spec_from_file_location("corvane_core", corvane_core.__file__)
    again = importlib.util.module_from_spec(found)
    assert again is corvane_core
    found.loader.exec_module(again)
    assert [getattr(corvane_core, n) for n in CLASSES] == classes
    assert list(vars(corvane_core)) == keys
    assert corvane_core.__doc__ == DOC

    saved = sys.modules.pop("corvane_core")
    try:
        fresh = importlib.import_module("corvane_core")
        assert fresh is saved
        assert fresh.BPETokenizer is BPETokenizer
    finally:
        sys.modules["corvane_core"] = saved


# The interpreter's version string is patched in a child process of this same interpreter
# before the import, so the module's version check sees another version.
_VERSION_PROBE = textwrap.dedent(
    """
    import ctypes, sys
    get = ctypes.pythonapi.Py_GetVersion
    get.restype = ctypes.c_void_p
    fake = sys.argv[1].encode() + b"\\0"
    ctypes.memmove(get(), fake, len(fake))
    try:
        import corvane_core
    except ImportError as e:
        print("ImportError:" + str(e))
    else:
        print("loaded:" + corvane_core.BPETokenizer.__name__)
    """
)


_SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")


def _import_with_version(version: str) -> str:
    out = subprocess.run(
        [sys.executable, "-c", _VERSION_PROBE, version],
        capture_output=True,
        text=True,
        timeout=60,
        env={
            "PYTHONPATH": ":".join(p for p in sys.path if p),
            "PATH": "/usr/bin:/bin",
            # A sanitizer build of the module needs its runtime preloaded in the child too.
            **{k: v for k, v in os.environ.items() if k in _SANITIZER_VARIABLES},
        },
    )
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


def _probe_works() -> bool:
    import ctypes

    get = ctypes.pythonapi.Py_GetVersion
    get.restype = ctypes.c_char_p
    return get() == sys.version.encode()


@pytest.mark.skipif(not _probe_works(), reason="cannot reach the interpreter's version string")
@pytest.mark.parametrize(
    "version, loads",
    [
        ("3.11.9 (main) [GCC]", False),
        ("3.13.0 (main) [GCC]", False),
        ("3.120.1 (main)", False),
        ("3.1", False),
        ("2.7.18", False),
        ("3.12.9 (main) [GCC]", True),
        ("3.12 (main)", True),
        ("3.12+ (main)", True),
    ],
)
def test_version_check(version, loads):
    result = _import_with_version(version)
    if loads:
        assert result == "loaded:BPETokenizer"
    else:
        assert result == (
            "ImportError:Python version mismatch: module was compiled for Python 3.12, "
            f"but the interpreter version is incompatible: {version}."
        )


@pytest.mark.parametrize(
    "cls, call",
    [
        (BPETokenizer, lambda t: t.encode("x")),
        (BPETokenizer, lambda t: t.decode([1])),
        (BPETokenizer, lambda t: t.count("x")),
        (BPETokenizer, lambda t: t.is_loaded()),
        (BPETokenizer, lambda t: t.encode_batch(["x"])),
        (BPETokenizer, lambda t: t.__getstate__()),
        (WordPieceTokenizer, lambda t: t.encode("x")),
        (WordPieceTokenizer, lambda t: t.decode_bytes([1])),
        (WordPieceTokenizer, lambda t: t.count_batch(["x"])),
        (Compressor, lambda t: t.compress("x")),
        (Compressor, lambda t: t.decompress("x")),
    ],
)
def test_methods_of_an_instance_never_initialised(cls, call):
    # cls.__new__ alone (as a pickle stream without state does) makes an instance with no
    # native object: its methods refuse it rather than read memory that holds nothing.
    bare = cls.__new__(cls)
    with pytest.raises(TypeError, match=f"^corvane_core.{cls.__name__} object is not initialized"):
        call(bare)
