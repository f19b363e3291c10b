"""Hostile inputs, each run in a process of its own so that its time and peak memory can be
measured and a crash cannot take the test session down with it.

    python tests/hostile_cases.py CASE SCALE WORKDIR [BERT_VOCAB]

runs one case and prints one JSON line: the input size, the seconds the case took, and the
process's resident memory before the case and at its peak. A failed check raises, so the
process exits non-zero with a traceback. SCALE shrinks the 100 MB inputs (1.0 is full size).

`python tests/hostile_cases.py --report` runs every case at full size and prints a table.
"""
from __future__ import annotations

import base64
import json
import pathlib
import resource
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
SHARED = HERE.parent.parent / "shared" / "data"
MB = 1_000_000


def _peak_rss() -> int:
    # The high-water mark of this process's own memory. (getrusage's ru_maxrss would also
    # count the parent's memory at the fork that started this process.)
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _current_rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def _no_whitespace(size: int, corpora=("prose.txt", "code.txt", "multilingual.txt")) -> bytes:
    """`size` bytes of real text with every whitespace byte taken out."""
    parts = [(SHARED / "corpus" / name).read_bytes() for name in corpora]
    block = b"".join(parts).translate(None, b" \t\n\v\f\r")
    return (block * (size // len(block) + 1))[:size]


def _random_letters(size: int) -> bytes:
    """`size` pseudo-random lower-case letters: one pre-token that is all letters."""
    import random

    rng = random.Random(7)
    chunk = bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(1 << 16))
    return (chunk * (size // len(chunk) + 1))[:size]


def _expect_error(call, kind: type, message: str) -> None:
    try:
        call()
    except kind as exc:
        assert str(exc) == message or str(exc).startswith(message), str(exc)[:300]
    else:
        raise AssertionError(f"expected {kind.__name__}: {message}")


# Each case: (setup, run). setup(scale, work, vocab) builds the inputs and returns a state;
# run(state) does the hostile work and checks it, returning the input size in bytes.
# Memory is measured from the end of setup, so that it covers only what the library does.


def _setup_bpe_run_of_one_letter(scale, work, vocab):
    import corvane_core

    enc = corvane_core.BPETokenizer.from_tiktoken_file(str(SHARED / "r50k_base.tiktoken"))
    n = int(100 * MB * scale) // 4 * 4
    # The pattern a long run merges to, found on a short run.
    unit = enc.encode(b"a" * 4000)
    assert len(set(unit)) == 1, "a run of 4000 letters merges to one repeated token"
    return enc, b"a" * n, unit[0], 4000 // len(unit)


def _run_bpe_run_of_one_letter(state):
    enc, text, unit, width = state
    n = enc.count(text)
    ids = enc.encode(text)
    assert n == len(ids) == len(text) // width
    assert ids.count(unit) == len(ids)
    del ids
    return len(text)


def _setup_bpe_random_letters_merge_list(scale, work, vocab):
    import corvane_core

    enc = corvane_core.BPETokenizer.from_hf_json(str(SHARED / "gpt2-tokenizer.json"))
    return enc, _random_letters(int(100 * MB * scale))


def _run_bpe_random_letters_merge_list(state):
    enc, text = state
    ids = enc.encode(text)
    assert enc.count(text) == len(ids)
    assert enc.decode_bytes(ids) == text if hasattr(enc, "decode_bytes") else enc.decode(ids) == text.decode()
    return len(text)


def _setup_bpe_text_without_whitespace(scale, work, vocab):
    import corvane_core

    encs = [
        corvane_core.BPETokenizer.from_tiktoken_file(str(SHARED / "cl100k_base.tiktoken")),
        corvane_core.BPETokenizer.from_hf_json(str(SHARED / "gpt2-tokenizer.json")),
    ]
    return encs, _no_whitespace(int(100 * MB * scale))


def _run_bpe_text_without_whitespace(state):
    encs, text = state
    for enc in encs:
        ids = enc.encode(text)
        assert enc.count(text) == len(ids)
        assert enc.decode(ids) == text.decode()
        del ids
    return len(text)


def _setup_wordpiece_text_without_whitespace(scale, work, vocab):
    import corvane_core

    # ASCII only: the uncased vocabulary holds no continuation piece for some accented
    # letters, and one of those would turn the whole word into a single unknown.
    ascii_text = _no_whitespace(int(110 * MB * scale), ("prose.txt", "code.txt")).translate(None, bytes(range(128, 256)))
    text = ascii_text[: int(100 * MB * scale)].lower()
    return corvane_core.WordPieceTokenizer(vocab), text


def _run_wordpiece_text_without_whitespace(state):
    wp, text = state
    # One word of 100 MB: its whole rest is the first candidate at every position.
    ids = wp.encode(text)
    assert wp.count(text) == len(ids)
    # Every piece after the first is a "##" piece, glued back on by decode.
    assert len(ids) > len(text) // 20
    assert wp.decode(ids) == text.decode()
    # Splittable pieces followed by a byte no piece holds: the whole word is unknown.
    assert wp.encode(text + b"\x01") == [100]
    return len(text)


def _setup_compress_text_without_whitespace(scale, work, vocab):
    import corvane_core

    return corvane_core.Compressor(), _no_whitespace(int(100 * MB * scale))


def _run_compress_text_without_whitespace(state):
    comp, text = state
    # Every phrase of the table starts with a blank, so nothing here can change.
    assert comp.compress(text) == text.decode()
    assert comp.decompress(text) == text.decode()
    return len(text)


def _setup_json_nested_a_million_deep(scale, work, vocab):
    import corvane_core

    depth = 1_000_000
    files = {
        "array": b"[" * depth + b"]" * depth,
        "object": b'{"a":' * depth + b"1" + b"}" * depth,
        "unclosed": b"[" * depth,
        "merges": b'{"model":{"vocab":{"a":0},"merges":' + b"[" * depth + b"]" * depth + b"}}",
        "vocab value": b'{"model":{"vocab":{"a":' + b"[" * depth + b"]" * depth + b"}}}",
        "unread key": b'{"x":' + b"[" * depth + b"]" * depth + b',"model":{"vocab":{"a":7},"merges":[]}}',
    }
    paths = {}
    for name, data in files.items():
        path = pathlib.Path(work) / f"deep-{name.replace(' ', '-')}.json"
        path.write_bytes(data)
        paths[name] = str(path)
    return corvane_core, paths, sum(map(len, files.values()))


def _run_json_nested_a_million_deep(state):
    corvane_core, paths, size = state
    load = corvane_core.BPETokenizer.from_hf_json
    _expect_error(lambda: load(paths["array"]), RuntimeError, "tokenizer.json loaded but vocab is empty.")
    _expect_error(lambda: load(paths["object"]), RuntimeError, "tokenizer.json loaded but vocab is empty.")
    _expect_error(lambda: load(paths["unclosed"]), RuntimeError, "JSON parse error: [json.exception.parse_error.101]")
    _expect_error(lambda: load(paths["merges"]), RuntimeError, "[json.exception.type_error.302] type must be string")
    _expect_error(lambda: load(paths["vocab value"]), RuntimeError, "[json.exception.type_error.302] type must be number")
    enc = load(paths["unread key"])
    assert enc.encode("a") == [7]
    return size


def _setup_rank_file_line_of_10_mb(scale, work, vocab):
    import corvane_core

    token = b"ab" * 3_750_000  # 7.5 MB: 10 MB of base64
    files = {
        "token": base64.b64encode(token) + b" 5\nYQ== 1\nYg== 2\n",
        "rank": b"YQ== " + b"1" * 10 * MB + b"\n",
        "zeros": b"YQ== " + b"0" * 10 * MB + b"7\n",
        "no space": b"Y" * 10 * MB + b"\n",
    }
    paths = {}
    for name, data in files.items():
        path = pathlib.Path(work) / f"long-line-{name.replace(' ', '-')}.tiktoken"
        path.write_bytes(data)
        paths[name] = str(path)
    return corvane_core, paths, token, sum(map(len, files.values()))


def _run_rank_file_line_of_10_mb(state):
    corvane_core, paths, token, size = state
    load = corvane_core.BPETokenizer.from_tiktoken_file
    enc = load(paths["token"])
    assert enc.encode(token) == [5]
    assert enc.decode([5, 1]) == token.decode() + "a"
    # A token of 7.5 MB is reached only whole: its pieces "ab" are no token, so one
    # letter more leaves every byte apart.
    assert enc.count(token + b"!") == 2
    assert enc.count(token + b"a") == len(token) + 1
    _expect_error(lambda: load(paths["rank"]), IndexError, "stoi")
    assert load(paths["zeros"]).encode("a") == [7]
    _expect_error(lambda: load(paths["no space"]), RuntimeError, "tiktoken file loaded but vocab is empty.")
    return size


def _setup_vocab_txt_of_a_million_lines(scale, work, vocab):
    import corvane_core

    path = pathlib.Path(work) / "million.txt"
    lines = [b"w%d" % i if i % 2 else b"##%d" % i for i in range(1_000_000)]
    lines[100] = b"[UNK]"
    path.write_bytes(b"\n".join(lines) + b"\n")
    return corvane_core, str(path), path.stat().st_size


def _run_vocab_txt_of_a_million_lines(state):
    corvane_core, path, size = state
    wp = corvane_core.WordPieceTokenizer(path)
    # Odd numbers are words ("w7"), even ones continuations ("##8"): "w999998" is the
    # longest word "w99999" and then the continuation "##8".
    assert wp.encode("w999999 w1 w999998") == [999999, 1, 99999, 8]
    assert wp.encode("w9999990 x") == [999999, 0, 100]
    assert wp.decode([999999, 100, 999998]) == "w999999 [UNK]999998"
    assert wp.count("w3 " * 1000) == 1000
    return size


def _setup_decode_ten_million_ids(scale, work, vocab):
    import corvane_core

    prose = (SHARED / "corpus" / "prose.txt").read_bytes()
    bpe = corvane_core.BPETokenizer.from_tiktoken_file(str(SHARED / "r50k_base.tiktoken"))
    wp = corvane_core.WordPieceTokenizer(vocab)
    n = 10_000_000
    bpe_unit = bpe.encode(prose)
    reps = n // len(bpe_unit) + 1
    bpe_ids = (bpe_unit * reps)[:n]
    wp_text = " ".join(prose.decode().lower().split())
    wp_unit = wp.encode(wp_text)
    wp_ids = (wp_unit * (n // len(wp_unit) + 1))[:n]
    return bpe, wp, prose, bpe_unit, bpe_ids, wp_text, wp_unit, wp_ids


def _run_decode_ten_million_ids(state):
    bpe, wp, prose, bpe_unit, bpe_ids, wp_text, wp_unit, wp_ids = state
    text = bpe.decode(bpe_ids)
    whole = len(bpe_ids) // len(bpe_unit)
    assert text.startswith(prose.decode() * whole)
    assert len(text.encode()) == whole * len(prose) + len(bpe.decode(bpe_ids[whole * len(bpe_unit):]).encode())
    del text
    text = wp.decode(wp_ids)
    assert text.startswith(wp.decode(wp_unit))
    assert text.count("[UNK]") == wp_ids.count(100)
    return 4 * (len(bpe_ids) + len(wp_ids))


CASES = {
    "bpe_run_of_one_letter": (_setup_bpe_run_of_one_letter, _run_bpe_run_of_one_letter),
    "bpe_random_letters_merge_list": (_setup_bpe_random_letters_merge_list, _run_bpe_random_letters_merge_list),
    "bpe_text_without_whitespace": (_setup_bpe_text_without_whitespace, _run_bpe_text_without_whitespace),
    "wordpiece_text_without_whitespace": (_setup_wordpiece_text_without_whitespace, _run_wordpiece_text_without_whitespace),
    "compress_text_without_whitespace": (_setup_compress_text_without_whitespace, _run_compress_text_without_whitespace),
    "json_nested_a_million_deep": (_setup_json_nested_a_million_deep, _run_json_nested_a_million_deep),
    "rank_file_line_of_10_mb": (_setup_rank_file_line_of_10_mb, _run_rank_file_line_of_10_mb),
    "vocab_txt_of_a_million_lines": (_setup_vocab_txt_of_a_million_lines, _run_vocab_txt_of_a_million_lines),
    "decode_ten_million_ids": (_setup_decode_ten_million_ids, _run_decode_ten_million_ids),
}


def run_case(name: str, scale: float, work: str, vocab: str | None) -> dict:
    setup, run = CASES[name]
    state = setup(scale, work, vocab)
    before = _current_rss()
    start = time.perf_counter()
    size = run(state)
    seconds = time.perf_counter() - start
    return {"case": name, "input_bytes": size, "seconds": seconds, "rss_before": before, "rss_peak": _peak_rss()}


def spawn(name: str, scale: float, work: str, vocab: str | None, timeout: float) -> subprocess.CompletedProcess:
    args = [sys.executable, __file__, name, str(scale), work] + ([vocab] if vocab else [])
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout)


def _report() -> None:
    import tempfile

    sys.path.insert(0, str(HERE))
    import bert_vocab

    vocab = str(bert_vocab.fetch())
    print("| case | input | time | peak memory above the start | per input byte |")
    print("|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as work:
        for name in CASES:
            out = spawn(name, 1.0, work, vocab, timeout=1800)
            if out.returncode != 0:
                print(f"| {name} | FAILED ({out.returncode}) | | | |")
                print(out.stderr[-2000:], file=sys.stderr)
                continue
            r = json.loads(out.stdout.strip().splitlines()[-1])
            extra = r["rss_peak"] - r["rss_before"]
            print(
                f"| {name} | {r['input_bytes'] / MB:.1f} MB | {r['seconds']:.1f} s "
                f"| {extra / 2**20:.0f} MiB | {extra / r['input_bytes']:.1f} |"
            )


if __name__ == "__main__":
    if sys.argv[1:] == ["--report"]:
        _report()
    else:
        case, scale, work = sys.argv[1], float(sys.argv[2]), sys.argv[3]
        print(json.dumps(run_case(case, scale, work, sys.argv[4] if len(sys.argv) > 4 else None)))
