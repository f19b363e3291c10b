"""Hostile inputs: huge texts without whitespace, absurdly nested JSON, giant lines, huge
vocabularies and id lists, ids at the 32-bit limits, exhausted memory.

Each big case runs in a child process (tests/hostile_cases.py) so that a crash shows up as
a failed test rather than a dead session, and so that the child's peak memory can be
checked against the size of its input. Under the sanitizers (CORVANE_SANITIZED=1) the
100 MB inputs shrink to 5 MB and memory is not checked: shadow memory distorts it.
"""
from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

import bert_vocab
import hostile_cases
from conftest import shared_file

import corvane_core
from corvane_core import BPETokenizer, WordPieceTokenizer

SANITIZED = os.environ.get("CORVANE_SANITIZED") == "1"
MiB = 1 << 20

# Case -> the most memory the child may add while running it, per byte of input (measured
# figures in the comments, on a full-size run), on top of a fixed allowance.
MEMORY_PER_INPUT_BYTE = {
    "bpe_run_of_one_letter": 40,  # 26: the merge workspace of one 100 MB pre-token
    "bpe_random_letters_merge_list": 50,  # 36: the same, plus pair symbols
    "bpe_text_without_whitespace": 20,  # 11: ids as a vector and as a list, decoded text
    "wordpiece_text_without_whitespace": 16,  # 8
    "compress_text_without_whitespace": 12,  # 7.5: input, output, and their str objects
    "json_nested_a_million_deep": 4,  # 0.5
    "rank_file_line_of_10_mb": 10,  # 5
    "vocab_txt_of_a_million_lines": 40,  # 23: about 200 bytes per token of 8
    "decode_ten_million_ids": 4,  # 1.5
}
FIXED_ALLOWANCE = 64 * MiB


@pytest.fixture(scope="module")
def vocab_path():
    try:
        return str(bert_vocab.fetch())
    except bert_vocab.Unavailable as exc:
        pytest.skip(f"BERT vocab.txt not available: {exc}")


@pytest.mark.parametrize("case", list(hostile_cases.CASES))
def test_hostile_case(case, vocab_path, tmp_path):
    shared_file("corpus", "prose.txt")
    out = hostile_cases.spawn(case, 0.05 if SANITIZED else 1.0, str(tmp_path), vocab_path, timeout=900)
    assert out.returncode == 0, f"exit {out.returncode}\n{out.stderr[-4000:]}"
    result = json.loads(out.stdout.strip().splitlines()[-1])
    if not SANITIZED:
        grown = result["rss_peak"] - result["rss_before"]
        limit = MEMORY_PER_INPUT_BYTE[case] * result["input_bytes"] + FIXED_ALLOWANCE
        assert grown <= limit, f"{grown / MiB:.0f} MiB for {result['input_bytes'] / MiB:.0f} MiB of input"


# --- ids at the 32-bit limits ---------------------------------------------------------

INT32_MAX = 2**31 - 1
INT32_MIN = -(2**31)


@pytest.fixture
def extreme_rank_file(tmp_path):
    path = tmp_path / "extreme.tiktoken"
    # "a" and "b" at the two limits, "ab" in between.
    path.write_bytes(b"YQ== 2147483647\nYg== -2147483648\nYWI= 0\n")
    return BPETokenizer.from_tiktoken_file(str(path))


@pytest.fixture
def extreme_json(tmp_path):
    path = tmp_path / "extreme.json"
    path.write_text(json.dumps({"model": {"vocab": {"a": INT32_MAX, "b": INT32_MIN, "ab": 0}, "merges": ["a b"]}}))
    return BPETokenizer.from_hf_json(str(path))


def test_rank_file_ids_at_the_limits(extreme_rank_file):
    enc = extreme_rank_file
    assert enc.encode("a b ab") == [INT32_MAX, 0, INT32_MIN, 0, 0]  # " " is no token: id 0
    assert enc.encode("ba") == [INT32_MIN, INT32_MAX]  # "ba" is no token
    assert enc.decode([INT32_MAX, INT32_MIN, 0, 5]) == "abab"
    assert enc.count("ab" * 1000) == 1000  # "abab" is no token


def test_merge_list_ids_at_the_limits(extreme_json):
    enc = extreme_json
    assert enc.encode("ab a b") == [0, 0, INT32_MAX, 0, INT32_MIN]
    assert enc.decode([INT32_MIN, INT32_MAX, 1]) == "ba"


@pytest.mark.parametrize("bad", [INT32_MAX + 1, INT32_MIN - 1, 2**63, -(2**64)])
def test_ids_past_the_limits_are_type_errors(extreme_rank_file, tmp_path, bad):
    vocab = tmp_path / "vocab.txt"
    vocab.write_text("a\n")
    for decode in (extreme_rank_file.decode, WordPieceTokenizer(str(vocab)).decode, BPETokenizer().decode):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            decode([0, bad])


def test_wordpiece_ids_at_the_limits(tmp_path):
    vocab = tmp_path / "vocab.txt"
    vocab.write_text("a\n##b\n")
    wp = WordPieceTokenizer(str(vocab))
    assert wp.decode([INT32_MIN, 0, INT32_MAX, 1, -1, 2]) == "ab"


# --- exhausted memory -------------------------------------------------------------------

_MEMORY_PROBE = textwrap.dedent(
    """
    import resource, sys
    import corvane_core

    rank_file, json_file = sys.argv[1], sys.argv[2]
    enc = corvane_core.BPETokenizer.from_tiktoken_file(rank_file)
    text = b"a" * 50_000_000
    with open("/proc/self/statm") as f:
        size = int(f.read().split()[0]) * resource.getpagesize()
    # Room for a little more than what is already mapped: far less than the work needs.
    resource.setrlimit(resource.RLIMIT_AS, (size + 200_000_000, resource.RLIM_INFINITY))
    for name, call in [
        ("encode", lambda: enc.encode(text)),
        ("count", lambda: enc.count(text)),
        ("load", lambda: corvane_core.BPETokenizer.from_hf_json(json_file)),
        ("wordpiece", lambda: corvane_core.WordPieceTokenizer(rank_file)),
    ]:
        try:
            call()
        except MemoryError:
            print(name, "MemoryError")
        else:
            print(name, "completed")
    # Whatever ran out, the tokenizer is intact and works.
    print("after", enc.encode("hello world"))
    """
)


@pytest.mark.skipif(SANITIZED, reason="the sanitizers reserve terabytes of address space")
def test_memory_exhaustion_is_memory_error():
    rank_file = shared_file("r50k_base.tiktoken")
    json_file = shared_file("gpt2-tokenizer.json")
    out = subprocess.run(
        [sys.executable, "-c", _MEMORY_PROBE, str(rank_file), str(json_file)],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert out.returncode == 0, out.stderr[-3000:]
    lines = dict(line.split(" ", 1) for line in out.stdout.strip().splitlines())
    assert lines["encode"] == "MemoryError"
    assert lines["count"] == "MemoryError"
    assert lines["after"] == "[31373, 995]"
    # Loading may fit or not; it must not crash either way.
    assert lines["load"] in ("MemoryError", "completed")
    assert lines["wordpiece"] in ("MemoryError", "completed")


def test_failed_load_leaves_nothing_behind(tmp_path):
    # A file that fails half-way through gives no object at all, and a tokenizer loaded
    # later from a good file is unaffected by the failure.
    bad = tmp_path / "bad.tiktoken"
    bad.write_bytes(b"YQ== 1\nYg== 2\nYw== x\n")
    good = tmp_path / "good.tiktoken"
    good.write_bytes(b"YQ== 1\n")
    with pytest.raises(ValueError, match="^stoi$"):
        BPETokenizer.from_tiktoken_file(str(bad))
    enc = BPETokenizer.from_tiktoken_file(str(good))
    assert enc.encode("ab") == [1, 0]
    assert corvane_core.BPETokenizer().is_loaded() is False
