"""Runs every benchmark, prints the rows, and writes BENCHMARKS.md and the ratio chart.

    .venv/bin/python bench/run.py            # everything
    .venv/bin/python bench/run.py bpe        # only the sections whose module name matches
"""
from __future__ import annotations

import importlib
import platform
import sys
from importlib import metadata

import common

MODULES = ["bench_bpe", "bench_encodings", "bench_hf", "bench_wordpiece", "bench_compressor", "bench_batch",
           "bench_pipeline", "bench_unigram"]

# The performance targets: (section, work) -> (minimum ratio, extra check on our figure).
TARGETS = {
    ("r50k (tiktoken)", "encode prose"): (5, None),
    ("r50k (tiktoken)", "encode code"): (5, None),
    ("r50k (tiktoken)", "count prose"): (8, None),
    ("r50k (tiktoken)", "count code"): (8, None),
    ("r50k (tiktoken)", 'one 1 MB pre-token ("ab" * 500000)'): (None, ("ms", "<", 100)),
    ("cl100k (tiktoken)", "load cl100k_base.tiktoken"): (5, None),
    ("cl100k (tiktoken)", "memory held by a loaded cl100k tokenizer"): (1, None),
    ("cl100k_base (tiktoken, own pattern)", "encode prose"): (6, None),
    ("cl100k_base (tiktoken, own pattern)", "count prose"): (10, None),
    ("cl100k_base (tiktoken, own pattern)", "encode code"): (6, None),
    ("cl100k_base (tiktoken, own pattern)", "count code"): (10, None),
    ("cl100k_base (tiktoken, own pattern)", "encode multilingual"): (4, None),
    ("cl100k_base (tiktoken, own pattern)", "count multilingual"): (6, None),
    ("cl100k_base (tiktoken, own pattern)", "load (our saved state vs cl100k_base.tiktoken)"): (5, None),
    ("o200k_base (tiktoken, own pattern)", "encode prose"): (6, None),
    ("o200k_base (tiktoken, own pattern)", "count prose"): (10, None),
    ("o200k_base (tiktoken, own pattern)", "encode code"): (6, None),
    ("o200k_base (tiktoken, own pattern)", "count code"): (10, None),
    ("o200k_base (tiktoken, own pattern)", "encode multilingual"): (4, None),
    ("o200k_base (tiktoken, own pattern)", "count multilingual"): (6, None),
    ("o200k_base (tiktoken, own pattern)", "load (our saved state vs o200k_base.tiktoken)"): (5, None),
    ("gpt2 (tokenizer.json)", "encode prose"): (10, None),
    ("gpt2 (tokenizer.json)", "encode code"): (10, None),
    ("WordPiece (BERT vocab)", "encode prose"): (5, None),
    ("compressor (Python)", "compress prose"): (3, ("MB/s", ">=", 300)),
    ("compressor (Python)", "decompress prose"): (3, ("MB/s", ">=", 300)),
}
for _family in ("gpt2", "bert-uncased", "llama3-like", "llama2-like", "llama2-words", "clip-like", "bert-cased"):
    _section = f"tokenizer.json pipeline: {_family}"
    TARGETS[(_section, "encode (offsets included), one text at a time")] = (10, None)
    TARGETS[(_section, "load (from_file)")] = (2, None)
    for _cpus in (1, 2, 4, 8):
        TARGETS[(_section, f"encode_batch ({_cpus} CPUs)")] = (3, None)


def target_text(row: common.Row) -> str:
    """The row's target and whether this run met it, or "" for rows without one."""
    target = TARGETS.get((row.section, row.work))
    if target is None:
        return ""
    ratio, figure = target
    parts, met = [], True
    if ratio is not None:
        parts.append(f">= {ratio}x")
        met &= row.ratio is not None and row.ratio >= ratio
    if figure is not None:
        unit, op, bound = figure
        parts.append(f"{op} {bound} {unit}")
        value = float(row.ours.split()[0])
        met &= value < bound if op == "<" else value >= bound
    return f"{', '.join(parts)}: {'met' if met else 'MISSED'}"


def cpu_name() -> str:
    try:
        for line in open("/proc/cpuinfo", encoding="utf-8"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def version(pkg: str) -> str:
    try:
        return metadata.version(pkg)
    except metadata.PackageNotFoundError:
        return "not installed"


def write_chart(rows: list[common.Row], path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ranked = [r for r in rows if r.ratio is not None]
    if not ranked:
        return
    labels = [f"{r.section}: {r.work}" for r in ranked]
    values = [r.ratio for r in ranked]
    fig, ax = plt.subplots(figsize=(10, 0.45 * len(ranked) + 1.5))
    ax.barh(labels, values, color="#3a7bd5")
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xscale("log")
    for y, r in enumerate(ranked):
        target = TARGETS.get((r.section, r.work), (None, None))[0]
        if target:
            ax.plot([target, target], [y - 0.4, y + 0.4], color="#d62728", linewidth=2)
    ax.set_xlabel("ratio over the peer, log scale (higher is better; red: target)")
    ax.invert_yaxis()
    for y, v in enumerate(values):
        ax.text(v, y, f" {v:.1f}x", va="center")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main(argv: list[str]) -> int:
    wanted = [m for m in MODULES if not argv[1:] or any(a in m for a in argv[1:])]
    rows: list[common.Row] = []
    for name in wanted:
        try:
            mod = importlib.import_module(name)
        except ModuleNotFoundError as exc:
            if exc.name != name:
                raise
            continue
        for row in mod.run():
            ratio = f"{row.ratio:.2f}x" if row.ratio is not None else ""
            print(f"{row.section:<22} {row.work:<44} {row.ours:>14} {row.peer:>14} {ratio:>8}  "
                  f"{target_text(row):<28} {row.note}", flush=True)
            rows.append(row)
    if argv[1:]:
        return 0  # partial runs do not overwrite the report
    lines = [
        "# Benchmarks",
        "",
        "Written by `bench/run.py`; do not edit by hand. Single thread, ours and the peer in one",
        "process on the same input, best of several runs. A ratio is ours over the peer",
        "(higher is better for us) and is only given after checking that both agree.",
        "",
        f"- CPU: {cpu_name()}",
        f"- Python: {platform.python_version()}",
        f"- tiktoken {version('tiktoken')}, tokenizers {version('tokenizers')}",
        "",
        "| section | work | ours | peer | ratio | target | note |",
        "|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        ratio = f"{r.ratio:.2f}x" if r.ratio is not None else ""
        lines.append(f"| {r.section} | {r.work} | {r.ours} | {r.peer} | {ratio} | {target_text(r)} | {r.note} |")
    lines += ["", "![throughput ratios](bench/ratios.png)", ""]
    (common.ROOT / "BENCHMARKS.md").write_text("\n".join(lines), encoding="utf-8")
    write_chart(rows, common.ROOT / "bench" / "ratios.png")
    return 0


if __name__ == "__main__":
    sys.path.insert(0, str(common.ROOT / "bench"))
    sys.exit(main(sys.argv))
