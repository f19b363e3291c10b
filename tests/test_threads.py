"""One tokenizer shared by several Python threads at once gives the results of one thread.

The single-text methods hold the interpreter lock, so their calls interleave at Python
level; the batch methods release it, so their native work really overlaps, on the same
tables, with each other and with single-text calls.
"""
from __future__ import annotations

import random
import sys
import threading

import pytest

from conftest import shared_file

from corvane_core import Compressor

THREADS = 6


def _texts() -> list[bytes]:
    texts: list[bytes] = []
    for name in ("prose.txt", "code.txt", "multilingual.txt"):
        data = shared_file("corpus", name).read_bytes()[:300_000]
        lines = data.splitlines(keepends=True)
        # Paragraph-sized texts, plus a few long ones and some edge cases.
        texts += [b"".join(lines[i : i + 20]) for i in range(0, len(lines), 20)]
        texts.append(data)
    texts += [b"", b" ", b"a" * 5000, b"\xff\xfe", "é".encode() * 100]
    return texts


@pytest.fixture(scope="module")
def texts():
    return _texts()


def _run_threads(work, n: int = THREADS) -> list:
    """Runs work(k) on n threads released together; returns their results, re-raising
    the first exception any of them met."""
    barrier = threading.Barrier(n)
    results: list = [None] * n
    errors: list = []

    def body(k: int) -> None:
        try:
            barrier.wait()
            results[k] = work(k)
        except BaseException as exc:  # noqa: BLE001 - reported to the main thread
            errors.append(exc)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter allows
    try:
        threads = [threading.Thread(target=body, args=(k,)) for k in range(n)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    if errors:
        raise errors[0]
    return results


@pytest.mark.parametrize("name", ["r50k", "cl100k", "gpt2-json", "empty", "bert"])
def test_single_text_methods_from_many_threads(tokenizers, texts, name):
    if name not in tokenizers:
        pytest.skip("BERT vocab.txt not available")
    tok = tokenizers[name]
    expected_ids = [tok.encode(t) for t in texts]
    expected_counts = [len(ids) for ids in expected_ids]
    expected_bytes = [tok.decode_bytes(ids) for ids in expected_ids]

    def work(k: int):
        order = list(range(len(texts)))
        random.Random(k).shuffle(order)
        got = {}
        for i in order:
            ids = tok.encode(texts[i])
            got[i] = (ids, tok.count(texts[i]), tok.decode_bytes(ids))
        return got

    for got in _run_threads(work):
        for i in range(len(texts)):
            assert got[i] == (expected_ids[i], expected_counts[i], expected_bytes[i]), i


@pytest.mark.parametrize("name", ["r50k", "gpt2-json", "bert"])
def test_batches_overlapping_with_each_other_and_single_calls(tokenizers, texts, name):
    if name not in tokenizers:
        pytest.skip("BERT vocab.txt not available")
    tok = tokenizers[name]
    expected_ids = [tok.encode(t) for t in texts]

    def work(k: int):
        # Half the threads run batches (lock released), the others single calls meanwhile.
        if k % 2 == 0:
            rng = random.Random(k)
            picks = [rng.randrange(len(texts)) for _ in range(len(texts))]
            return picks, tok.encode_batch([texts[i] for i in picks]), tok.count_batch([texts[i] for i in picks])
        return None, [tok.encode(t) for t in texts], None

    for picks, ids, counts in _run_threads(work):
        if picks is None:
            assert ids == expected_ids
        else:
            assert ids == [expected_ids[i] for i in picks]
            assert counts == [len(expected_ids[i]) for i in picks]


def test_compressor_from_many_threads(texts):
    comp = Compressor()
    valid = [t for t in texts if _is_utf8(t)]
    expected = [(comp.compress(t), comp.decompress(t)) for t in valid]

    def work(k: int):
        return [(comp.compress(t), comp.decompress(t)) for t in valid]

    for got in _run_threads(work):
        assert got == expected


def _is_utf8(data: bytes) -> bool:
    try:
        data.decode()
    except UnicodeDecodeError:
        return False
    return True
