"""encode_batch and count_batch: the single-text results, in order, for any iterable.

The batch methods convert every item first (str as UTF-8, bytes and bytearray as raw
bytes, anything else refused with its position), then let native threads work without the
interpreter lock.
"""
from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import shared_file

from corvane_core import BPETokenizer


TOKENIZERS = ["r50k", "cl100k", "gpt2-json", "empty", "bert"]


@pytest.fixture
def tok(tokenizers, request):
    name = request.param
    if name not in tokenizers:
        pytest.skip(f"{name} not available")
    return tokenizers[name]


@pytest.fixture(scope="module")
def corpora():
    return {name: shared_file("corpus", f"{name}.txt").read_bytes() for name in ("prose", "code", "multilingual")}


def mixed(texts: list[bytes]) -> list:
    """The texts as str, bytes and bytearray in turn (str where the bytes are UTF-8)."""
    out = []
    for i, t in enumerate(texts):
        kind = i % 3
        if kind == 0:
            try:
                out.append(t.decode("utf-8"))
                continue
            except UnicodeDecodeError:
                pass
        out.append(bytearray(t) if kind == 2 else t)
    return out


def chunks(data: bytes, size: int) -> list[bytes]:
    return [data[i : i + size] for i in range(0, len(data), size)]


@pytest.mark.parametrize("tok", TOKENIZERS, indirect=True)
@pytest.mark.parametrize("split", ["lines", "4k-chunks", "whole"])
def test_batch_equals_single_texts_on_corpora(tok, corpora, split):
    texts = []
    for data in corpora.values():
        if split == "lines":
            texts += data.splitlines(keepends=True)
        elif split == "4k-chunks":
            texts += chunks(data, 4096)  # cuts characters apart as well
        else:
            texts.append(data)
    items = mixed(texts)
    expected = [tok.encode(t) for t in items]
    assert tok.encode_batch(items) == expected
    assert tok.count_batch(items) == [len(e) for e in expected]
    # Any iterable: a generator, a tuple, a map object.
    assert tok.encode_batch(t for t in items) == expected
    assert tok.count_batch(tuple(items)) == [len(e) for e in expected]
    assert tok.count_batch(map(bytes, texts)) == [len(e) for e in expected]


@pytest.mark.parametrize("tok", TOKENIZERS, indirect=True)
def test_empty_batches_and_empty_texts(tok):
    assert tok.encode_batch([]) == []
    assert tok.count_batch(iter(())) == []
    assert tok.encode_batch(["", b"", bytearray()]) == [[], [], []]
    assert tok.count_batch(["", b" ", bytearray(b"\n\n")]) == [0, tok.count(" "), tok.count("\n\n")]


@pytest.mark.parametrize("tok", TOKENIZERS, indirect=True)
def test_uneven_batch_keeps_order(tok, corpora):
    # One huge text among many tiny ones: the chunks of work differ wildly in size.
    data = corpora["code"]
    texts = [b"x = 1\n"] * 3000 + [data] + [b"", b"\xff\xfe"] * 2000 + [data[:70_000]]
    expected = [tok.encode(t) for t in texts]
    assert tok.encode_batch(texts) == expected
    assert tok.count_batch(texts) == [len(e) for e in expected]


def test_results_are_fresh_lists(tokenizers):
    tok = tokenizers["r50k"]
    out = tok.encode_batch(["hello world"] * 3)
    assert out[0] == out[1] and out[0] is not out[1]
    out[0].append(-1)
    assert out[1] == tok.encode("hello world")


@pytest.mark.parametrize("method", ["encode_batch", "count_batch"])
@pytest.mark.parametrize("bad, position, kind", [
    (["a", "b", None], 2, "NoneType"),
    ([b"a", 5], 1, "int"),
    ([["a"]], 0, "list"),
    (["a", memoryview(b"x")], 1, "memoryview"),
    ([1.5, "a"], 0, "float"),
])
def test_wrong_items_name_their_position(tokenizers, method, bad, position, kind):
    for tok in (tokenizers["r50k"], tokenizers["empty"]):
        with pytest.raises(TypeError) as info:
            getattr(tok, method)(bad)
        assert str(info.value) == (f"{method}(): item {position} has type {kind}; "
                                   "expected str, bytes or bytearray")


@pytest.mark.parametrize("method", ["encode_batch", "count_batch"])
def test_str_without_utf8_encoding_is_refused(tokenizers, method):
    with pytest.raises(TypeError, match=rf"^{method}\(\): item 1 is a str that has no UTF-8 encoding"):
        getattr(tokenizers["r50k"], method)(["ok", "a\ud800b"])


@pytest.mark.parametrize("method", ["encode_batch", "count_batch"])
@pytest.mark.parametrize("single", ["hello", b"hello", bytearray(b"hello")], ids=lambda v: type(v).__name__)
def test_a_single_text_is_not_a_batch(tokenizers, method, single):
    # A str is iterable (its characters), but taking it as a batch is never what was meant.
    with pytest.raises(TypeError, match=rf"^{method}\(\): expected an iterable of texts, not a single "):
        getattr(tokenizers["r50k"], method)(single)


@pytest.mark.parametrize("method", ["encode_batch", "count_batch"])
def test_not_iterable_or_wrong_arity(tokenizers, method):
    tok = tokenizers["r50k"]
    for call in (lambda: getattr(tok, method)(5), lambda: getattr(tok, method)(None),
                 lambda: getattr(tok, method)(), lambda: getattr(tok, method)(["a"], ["b"]),
                 lambda: getattr(tok, method)(texts=["a"])):
        with pytest.raises(TypeError, match=rf"^{method}\(\): incompatible function arguments"):
            call()


def test_error_raised_by_the_iterable_propagates(tokenizers):
    def texts():
        yield "fine"
        raise KeyError("from the generator")

    with pytest.raises(KeyError, match="from the generator"):
        tokenizers["r50k"].encode_batch(texts())


def test_many_texts_and_subclasses(tokenizers):
    class S(str):
        pass

    class B(bytes):
        pass

    tok = tokenizers["cl100k"]
    texts = [S("word %d" % i) if i % 2 else B(b"w\xc3\xa9 %d" % i) for i in range(50_000)]
    assert tok.count_batch(texts) == [tok.count(t) for t in texts]


def test_interpreter_lock_is_released_while_native_threads_work(tokenizers, corpora):
    """While another thread is inside encode_batch, this thread keeps running Python code.

    Were the lock held for the call, no line of Python could run here between the moment
    the other thread entered the call and the moment it returned.
    """
    tok = tokenizers["cl100k"]
    texts = chunks(b"".join(corpora.values()) * 4, 8192)
    span = {}
    entered = threading.Event()

    def worker():
        entered.set()
        span["start"] = time.perf_counter()
        tok.count_batch(texts)
        span["end"] = time.perf_counter()

    stamps = []
    t = threading.Thread(target=worker)
    t.start()
    entered.wait()
    while t.is_alive():
        stamps.append(time.perf_counter())
    t.join()
    middle = [s for s in stamps if span["start"] + 0.02 < s < span["end"] - 0.02]
    assert span["end"] - span["start"] > 0.1, "the call was too short to tell"
    assert middle, "no Python code ran while the batch was being counted"


@pytest.mark.skipif(os.environ.get("CORVANE_SANITIZED") == "1",
                    reason="the address sanitizer aborts on exhausted memory instead of failing the allocation")
def test_memory_error_in_a_worker_reaches_the_caller():
    """Exhausted memory inside the native threads becomes MemoryError; the process lives."""
    script = textwrap.dedent("""
        import resource, corvane_core
        tok = corvane_core.BPETokenizer()
        texts = [b"a " * (16 << 20) for _ in range(4)]   # 32 MB each
        tok.count_batch([b"warm up " * 10000] * 20)
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (96 << 20), hard))
        try:
            tok.encode_batch(texts)      # ids of 64 MB each: cannot fit
        except MemoryError:
            print("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(tok.encode_batch(["a b", "c"]))
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=300)
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.split("\n")[:2] == ["MemoryError", "[[0, 1], [0]]"], out.stdout


def test_garbage_collector_state_is_kept(tokenizers):
    import gc

    tok = tokenizers["r50k"]
    texts = ["a b c"] * 5000
    assert gc.isenabled()
    assert tok.encode_batch(texts)[-1] == tok.encode("a b c")
    assert gc.isenabled()
    gc.disable()
    try:
        tok.encode_batch(texts)
        assert not gc.isenabled()
    finally:
        gc.enable()
    # A cycle made through a result list is still collected.
    out = tok.encode_batch(["x"])
    out[0].append(out)
    del out
    assert gc.collect() >= 1
