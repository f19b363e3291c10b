"""Shared helpers of the benchmark scripts: inputs, timing and result rows.

Every throughput figure is the best of several runs, with ours and the peer timed in the
same process on the same input. A ratio is reported only after checking that both sides
give identical results on that input.
"""
from __future__ import annotations

import dataclasses
import pathlib
import time
from typing import Callable

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT.parent / "shared" / "data"


@dataclasses.dataclass
class Row:
    """One line of the report. `ratio` is ours over the peer (higher is better for us)."""

    section: str
    work: str
    ours: str  # formatted figure, e.g. "123.4 MB/s" or "8.1 ms"
    peer: str = ""
    ratio: float | None = None
    note: str = ""


def data_file(*parts: str) -> pathlib.Path:
    path = DATA.joinpath(*parts)
    if not path.exists():
        raise FileNotFoundError(f"shared data not found: {path}")
    return path


def corpus(name: str) -> str:
    return data_file("corpus", f"{name}.txt").read_text(encoding="utf-8")


def corpus_texts(size: int) -> list[str]:
    """The three corpora cut into texts of about `size` bytes (cut back to whole characters)."""
    out = []
    for name in ("prose", "code", "multilingual"):
        data = corpus(name).encode()
        for i in range(0, len(data), size):
            out.append(data[i : i + size].decode("utf-8", "ignore"))
    return out


def ascii_only(text: str) -> str:
    """The text with every non-ASCII character removed (peers and we agree on ASCII)."""
    return text.encode("ascii", "ignore").decode("ascii")


def best_time(fn: Callable[[], object], repeat: int = 5, min_total: float = 0.0) -> float:
    """Best wall time of `repeat` calls (more calls while the total is under `min_total`)."""
    best = float("inf")
    total = 0.0
    runs = 0
    while runs < repeat or total < min_total:
        t0 = time.perf_counter()
        fn()
        dt = time.perf_counter() - t0
        best = min(best, dt)
        total += dt
        runs += 1
    return best


def mbps(nbytes: int, seconds: float) -> float:
    return nbytes / 1e6 / seconds


def throughput_row(section: str, work: str, nbytes: int, ours: Callable[[], object],
                   peer: Callable[[], object] | None, repeat: int = 7, note: str = "") -> Row:
    """Times `ours` and `peer` on the same input and returns the MB/s row with the ratio."""
    t_ours = best_time(ours, repeat)
    if peer is None:
        return Row(section, work, f"{mbps(nbytes, t_ours):.1f} MB/s", note=note)
    t_peer = best_time(peer, repeat)
    return Row(section, work, f"{mbps(nbytes, t_ours):.1f} MB/s", f"{mbps(nbytes, t_peer):.1f} MB/s",
               t_peer / t_ours, note)


def require_equal(what: str, ours: object, peer: object) -> None:
    """Refuses to report a ratio for work on which the two sides disagree."""
    if ours != peer:
        raise AssertionError(f"{what}: results differ from the peer; no ratio reported")
