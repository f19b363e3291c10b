"""Signals during long batch calls: Ctrl-C stops the native work and raises at once.

The batches release the interpreter lock and wait in short slices, running pending signal
handlers; a handler that raises (KeyboardInterrupt) stops the native threads, and its
exception is raised by the call. Each batch here would take far longer than the bound
given for raising (tens of seconds on two cores, more under load), so a call that finished
its work before raising fails the test; the bound itself is loose on purpose.
"""
from __future__ import annotations

import os
import signal
import threading
import time

import pytest

from conftest import shared_file

corvane_core = pytest.importorskip("corvane_core")

#: Seconds from the signal to the exception: generous (the machine may be busy), and
#: still a small part of what any batch below takes to finish. The sanitizers make freeing
#: the merge buffers of a long word several times slower, and every batch with it.
BOUND = 20.0 if os.environ.get("CORVANE_SANITIZED") == "1" else 5.0

LONG_WORD = "a" * 15_000_000  # one pre-token of 15 MB: the merge loop itself must stop
PROSE_LINE = "The quick brown fox jumps over the lazy dog, unaffable as ever. "


@pytest.fixture(scope="module")
def r50k():
    return corvane_core.BPETokenizer.from_tiktoken_file(str(shared_file("r50k_base.tiktoken")))


@pytest.fixture(scope="module")
def bert():
    return corvane_core.WordPieceTokenizer(str(shared_file("bert-uncased-vocab.txt")))


@pytest.fixture
def default_sigint():
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


def _prose(megabytes: int) -> str:
    return PROSE_LINE * (megabytes * 1_000_000 // len(PROSE_LINE))


# (tokenizer fixture, method, texts): every item of a batch is the same object, so a batch of
# gigabytes costs no memory.
CASES = {
    "count, one long pre-token per text": ("r50k", "count_batch", lambda: [LONG_WORD] * 16),
    "encode, one long pre-token per text": ("r50k", "encode_batch", lambda: [LONG_WORD] * 8),
    "count, prose": ("r50k", "count_batch", lambda: [_prose(20)] * 200),
    "wordpiece count, prose": ("bert", "count_batch", lambda: [_prose(20)] * 200),
    "wordpiece encode, one long word": ("bert", "encode_batch", lambda: ["a" * 20_000_000] * 100),
    "empty tokenizer": ("empty", "count_batch", lambda: [" a" * 5_000_000] * 4000),
}


def _tokenizer(name, request):
    if name == "empty":
        return corvane_core.BPETokenizer()
    return request.getfixturevalue(name)


@pytest.mark.parametrize("case", list(CASES))
def test_ctrl_c_stops_a_batch(case, request, default_sigint):
    name, method, make = CASES[case]
    tok = _tokenizer(name, request)
    texts = make()
    sent = []

    def interrupt():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(0.3, interrupt)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            getattr(tok, method)(texts)
        raised = time.monotonic()
    finally:
        timer.cancel()
        timer.join()
    assert sent, "the call ended before the signal was sent"
    assert raised - sent[0] < BOUND
    # The tokenizer is untouched and works on.
    if name != "empty":
        assert getattr(tok, method)(["hello world"]) == [getattr(tok, method[:-6])("hello world")]


R50K_PAT = r"""'(?:[sdmt]|ll|ve|re)| ?\p{L}++| ?\p{N}++| ?[^\s\p{L}\p{N}]++|\s++$|\s+(?!\S)|\s"""
ENDOFTEXT = "<|endoftext|>"


@pytest.fixture(scope="module")
def core_r50k():
    return corvane_core.CoreBPE.from_rank_file(str(shared_file("r50k_base.tiktoken")), {ENDOFTEXT: 50256}, R50K_PAT)


def _long_words() -> str:
    """One text of 26 distinct pre-tokens of 5 MB each: a single call of many long merges."""
    return " ".join(c * 5_000_000 for c in "abcdefghijklmnopqrstuvwxyz")


# CoreBPE's long calls, batches and single texts: (method, its input, the other arguments,
# a check on short text afterwards). An input is made before the signal is armed.
CORE_CASES = {
    "count_batch, one long pre-token per text": (
        "count_batch", lambda: [LONG_WORD] * 16, (set(),),
        lambda e: e.count_batch(["hello world"], set()) == [e.count("hello world", set())],
    ),
    "count_batch, prose with specials allowed": (
        "count_batch", lambda: [_prose(20) + ENDOFTEXT] * 200, ({ENDOFTEXT},),
        lambda e: e.count_batch(["hi" + ENDOFTEXT], {ENDOFTEXT}) == [2],
    ),
    "encode_ordinary_batch, one long pre-token per text": (
        "encode_ordinary_batch", lambda: [LONG_WORD] * 8, (),
        lambda e: e.encode_ordinary_batch(["hello world"]) == [e.encode_ordinary("hello world")],
    ),
    "count_ordinary_batch, prose": (
        "count_ordinary_batch", lambda: [_prose(20)] * 200, (),
        lambda e: e.count_ordinary_batch(["hello world"]) == [2],
    ),
    "count, one long text": (
        "count", _long_words, (set(),),
        lambda e: e.count("hello world", set()) == 2,
    ),
    "encode_ordinary, one long text": (
        "encode_ordinary", _long_words, (),
        lambda e: e.encode_ordinary("hello world") == [31373, 995],
    ),
}


@pytest.mark.parametrize("case", list(CORE_CASES))
def test_ctrl_c_stops_a_core_bpe_call(case, core_r50k, default_sigint):
    method, make, rest, still_works = CORE_CASES[case]
    text = make()
    sent = []

    def interrupt():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(0.3, interrupt)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            getattr(core_r50k, method)(text, *rest)
        raised = time.monotonic()
    finally:
        timer.cancel()
        timer.join()
    assert sent, "the call ended before the signal was sent"
    assert raised - sent[0] < BOUND
    assert still_works(core_r50k)


def test_handlers_that_do_not_raise_run_during_the_call(r50k):
    """A handler runs while the batch works (not after it), and the batch goes on."""
    # 200 MB of prose: far longer than the 20 ms before the signal, even on an idle machine.
    texts = [_prose(2)] * 100
    expected = [r50k.count(texts[0])] * len(texts)
    seen = []
    previous = signal.signal(signal.SIGUSR1, lambda *_: seen.append(time.monotonic()))
    done = []
    try:
        timer = threading.Timer(0.02, os.kill, (os.getpid(), signal.SIGUSR1))
        timer.start()
        assert r50k.count_batch(texts) == expected
        done.append(time.monotonic())
        timer.join()
    finally:
        signal.signal(signal.SIGUSR1, previous)
    assert len(seen) == 1
    assert seen[0] < done[0]


def test_exception_of_a_handler_is_raised(r50k):
    class Stop(Exception):
        pass

    def handler(*_):
        raise Stop("from the handler")

    previous = signal.signal(signal.SIGUSR1, handler)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGUSR1))
    try:
        timer.start()
        with pytest.raises(Stop, match="from the handler"):
            r50k.count_batch([LONG_WORD] * 16)
    finally:
        timer.cancel()
        timer.join()
        signal.signal(signal.SIGUSR1, previous)
