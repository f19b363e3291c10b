"""BPE from tiktoken rank files: ours against tiktoken on the same text, in one process."""
from __future__ import annotations

import gc
import os
import subprocess
import sys
import time

import common
from common import Row

R50K_PATTERN = r"""'(?:[sdmt]|ll|ve|re)| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"""
CL100K_PATTERN = (r"""'(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]++[\r\n]*"""
                  r"""|\s*[\r\n]|\s+(?!\S)|\s+""")


def tiktoken_encoding(path, name="r50k", pattern=R50K_PATTERN):
    import tiktoken
    from tiktoken.load import load_tiktoken_bpe

    return tiktoken.Encoding(name=name, pat_str=pattern, mergeable_ranks=load_tiktoken_bpe(str(path)),
                             special_tokens={})


def _rss_growth(code: str) -> int:
    """RSS growth in bytes caused by running `code` in a fresh interpreter."""
    script = (
        "import gc, psutil, sys\n"
        "sys.path.insert(0, %r)\n"
        "import corvane_core, tiktoken, tiktoken.load\n"
        "p = psutil.Process(); gc.collect(); before = p.memory_info().rss\n"
        "%s\n"
        "gc.collect(); print(p.memory_info().rss - before)\n" % (str(common.ROOT / "bench"), code)
    )
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True,
                         env=dict(os.environ))
    return int(out.stdout.strip().splitlines()[-1])


def run() -> list[Row]:
    import corvane_core

    rows: list[Row] = []
    r50k = common.data_file("r50k_base.tiktoken")
    ours = corvane_core.BPETokenizer.from_tiktoken_file(str(r50k))
    peer = tiktoken_encoding(r50k)
    for name in ("prose", "code"):
        text = common.ascii_only(common.corpus(name))
        n = len(text.encode())
        common.require_equal(f"r50k encode {name}", ours.encode(text), peer.encode_ordinary(text))
        rows.append(common.throughput_row("r50k (tiktoken)", f"encode {name}", n,
                                          lambda: ours.encode(text), lambda: peer.encode_ordinary(text)))
        rows.append(common.throughput_row("r50k (tiktoken)", f"count {name}", n,
                                          lambda: ours.count(text), lambda: len(peer.encode_ordinary(text))))

    # One pre-token of 1 MB: a million lowercase letters.
    word = "ab" * 500_000
    t_ours = common.best_time(lambda: ours.encode(word), repeat=3)
    cap = 100_000
    t0 = time.perf_counter()
    peer.encode_ordinary(word[:cap])
    t_peer = time.perf_counter() - t0
    common.require_equal("1 MB pre-token (first 100 KB)", ours.encode(word[:cap]), peer.encode_ordinary(word[:cap]))
    rows.append(Row("r50k (tiktoken)", "one 1 MB pre-token (\"ab\" * 500000)", f"{t_ours * 1e3:.1f} ms",
                    f"{t_peer * 1e3:.1f} ms for 100 KB", None,
                    "tiktoken capped at the first 100 KB"))

    # Loading cl100k_base: tiktoken's load_tiktoken_bpe plus building the Encoding.
    cl100k = common.data_file("cl100k_base.tiktoken")
    t_ours = common.best_time(lambda: corvane_core.BPETokenizer.from_tiktoken_file(str(cl100k)), repeat=5)
    t_peer = common.best_time(lambda: tiktoken_encoding(cl100k, "cl100k", CL100K_PATTERN), repeat=3)
    rows.append(Row("cl100k (tiktoken)", "load cl100k_base.tiktoken", f"{t_ours * 1e3:.1f} ms",
                    f"{t_peer * 1e3:.1f} ms", t_peer / t_ours))

    gc.collect()
    ours_mem = _rss_growth("t = corvane_core.BPETokenizer.from_tiktoken_file(%r)" % str(cl100k))
    peer_mem = _rss_growth("from bench_bpe import tiktoken_encoding, CL100K_PATTERN\n"
                           "import pathlib\n"
                           "e = tiktoken_encoding(pathlib.Path(%r), 'cl100k', CL100K_PATTERN)" % str(cl100k))
    rows.append(Row("cl100k (tiktoken)", "memory held by a loaded cl100k tokenizer", f"{ours_mem / 2**20:.1f} MiB",
                    f"{peer_mem / 2**20:.1f} MiB", peer_mem / max(ours_mem, 1),
                    "RSS growth in a fresh process; ratio is peer / ours"))
    return rows
