"""Distributed counting with Dask (examples/dask_count.py) equals the single-process count.

One LocalCluster of two worker processes serves the whole module. The partition logic is
also checked in process, with tiny partitions and read sizes, against `count` of the whole.
"""
from __future__ import annotations

import importlib
import os
import pathlib
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import shared_file

corvane_core = pytest.importorskip("corvane_core")
distributed = pytest.importorskip("distributed", reason="Dask distributed is not installed")

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXTRA_PATHS = [str(pathlib.Path(corvane_core.__file__).resolve().parent), str(ROOT / "python"),
               str(ROOT / "examples")]
for _p in EXTRA_PATHS[1:]:
    if _p not in sys.path:
        sys.path.insert(0, _p)
dask_count = importlib.import_module("dask_count")
import corvane_cli  # noqa: E402

CORPORA = ("prose", "code", "multilingual")


@pytest.fixture(scope="module")
def client():
    """A LocalCluster of two single-threaded worker processes, torn down after the module."""
    # Worker processes import the module, the tool and this example through PYTHONPATH.
    saved = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = os.pathsep.join(EXTRA_PATHS + ([saved] if saved else []))
    try:
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           dashboard_address=None)
        client = distributed.Client(cluster)
    finally:
        if saved is None:
            del os.environ["PYTHONPATH"]
        else:
            os.environ["PYTHONPATH"] = saved
    try:
        yield client
    finally:
        client.close()
        cluster.close()


@pytest.fixture(scope="module")
def corpora():
    return [shared_file("corpus", f"{name}.txt") for name in CORPORA]


@pytest.mark.parametrize("rank_file", ["r50k_base.tiktoken", "cl100k_base.tiktoken"])
def test_distributed_count_equals_single_process(client, corpora, rank_file):
    tok = corvane_core.BPETokenizer.from_tiktoken_file(str(shared_file(rank_file)))
    # Partitions of 256 KiB: several per file, so the cuts between them are exercised.
    counts = dask_count.count_corpus(corpora, tok, client=client, blocksize=256 << 10)
    assert counts == {str(p): tok.count(p.read_bytes()) for p in corpora}


def test_distributed_word_counts(client, corpora, tmp_path):
    """The whitespace rule: the empty tokenizer and WordPiece, with many small partitions."""
    prose = corpora[0].read_bytes()
    words = sorted(set(prose.split()))[::7]
    vocab = tmp_path / "vocab.txt"
    vocab.write_bytes(b"\n".join([b"[PAD]"] + words + [b"##" + bytes([c]) for c in b"aeiost"]) + b"\n")
    for tok in (corvane_core.BPETokenizer(), corvane_core.WordPieceTokenizer(str(vocab))):
        counts = dask_count.count_corpus(corpora[:2], tok, client=client, blocksize=100_000)
        assert counts == {str(p): tok.count(p.read_bytes()) for p in corpora[:2]}


def test_distributed_count_of_empty_and_uncuttable_files(client, tmp_path):
    tok = corvane_core.BPETokenizer.from_tiktoken_file(str(shared_file("r50k_base.tiktoken")))
    empty = tmp_path / "empty.txt"
    empty.write_bytes(b"")
    solid = tmp_path / "solid.txt"
    solid.write_bytes(b"ab" * 50_000 + b" tail")  # one pre-token across many partitions
    counts = dask_count.count_corpus([empty, solid], tok, client=client, blocksize=4096)
    assert counts == {str(empty): 0, str(solid): tok.count(solid.read_bytes())}


# The module's cluster already holds the scheduler's default HTTP port.
@pytest.mark.filterwarnings("ignore:Port 8787 is already in use")
def test_count_corpus_starts_and_stops_its_own_cluster(client, tmp_path, monkeypatch):
    """Without a client, count_corpus runs its own LocalCluster of processes for the call."""
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(EXTRA_PATHS + [os.environ.get("PYTHONPATH", "")]))
    tok = corvane_core.BPETokenizer.from_tiktoken_file(str(shared_file("r50k_base.tiktoken")))
    path = tmp_path / "text.txt"
    path.write_bytes(b"It's a small world, after all.\n" * 2000)
    started = []
    real = distributed.LocalCluster

    def recording(*args, **kwargs):
        started.append(kwargs)
        return real(*args, **kwargs)

    monkeypatch.setattr(distributed, "LocalCluster", recording)
    assert dask_count.count_corpus([path], tok, blocksize=10_000) == {str(path): tok.count(path.read_bytes())}
    assert started and started[0]["processes"] is True and started[0]["threads_per_worker"] == 1


# ---------------------------------------------------------------------------------------
# Partitions, in process
# ---------------------------------------------------------------------------------------

texts = st.lists(
    st.sampled_from([b" ", b"  ", b"\n", b"\t", b"a", b"Word", b" the", b"9", b"_", b"'s",
                     b".", b"\xc3\xa9", b"\xe4\xb8\xad"]),
    max_size=80,
).map(b"".join)


@pytest.fixture(scope="module")
def r50k():
    return corvane_core.BPETokenizer.from_tiktoken_file(str(shared_file("r50k_base.tiktoken")))


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=texts, blocksize=st.integers(1, 12), look=st.integers(1, 5))
def test_partitions_tile_the_file(r50k, tmp_path, monkeypatch, text, blocksize, look):
    monkeypatch.setattr(dask_count, "_LOOK", look)
    path = tmp_path / "t.txt"
    path.write_bytes(text)
    size = len(text)
    offsets = list(range(0, size, blocksize)) + [size]
    for tok in (r50k, corvane_core.BPETokenizer()):
        rule = corvane_cli.cut_rule_for(tok)
        with open(path, "rb") as f:
            bounds = [dask_count.boundary(f, o, size, rule) for o in offsets]
        assert bounds[0] == 0 and bounds[-1] == size
        assert bounds == sorted(bounds)
        cuts = set(rule.cuts(text)) | {0, size}
        assert set(bounds) <= cuts
        total = sum(dask_count.count_range(tok, str(path), a, b, rule)
                    for a, b in zip(offsets, offsets[1:]))
        assert total == tok.count(text)


def test_bad_blocksize(r50k, tmp_path):
    with pytest.raises(ValueError, match="blocksize must be at least 1"):
        dask_count.count_corpus([tmp_path], r50k, client=object(), blocksize=0)
