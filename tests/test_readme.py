"""Every Python block of README.md runs as written, and says what it gives.

Each block runs as a script of its own in a folder that holds the files README names, made
from the shared data (``r50k_base.tiktoken`` and ``cl100k_base.tiktoken`` as they are,
``tokenizer.json``: GPT-2's, ``vocab.txt``: BERT's, ``notes.txt``, ``a.txt`` and ``b.txt``:
the corpora), with ``examples/`` beside them as in the repository. A comment holding a
Python literal (alone, or before ": " and an explanation), on a statement's line or on the
comment line right after it, is the statement's value, and is checked.
"""
from __future__ import annotations

import ast
import io
import os
import pathlib
import re
import subprocess
import sys
import tokenize

import pytest

from conftest import shared_file

corvane_core = pytest.importorskip("corvane_core")

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.S | re.M)
FILES = {
    "r50k_base.tiktoken": ("r50k_base.tiktoken",),
    "cl100k_base.tiktoken": ("cl100k_base.tiktoken",),
    "tokenizer.json": ("gpt2-tokenizer.json",),
    "bert-tokenizer.json": ("bert-uncased-tokenizer.json",),
    "vocab.txt": ("bert-uncased-vocab.txt",),
    "notes.txt": ("corpus", "prose.txt"),
    "a.txt": ("corpus", "prose.txt"),
    "b.txt": ("corpus", "code.txt"),
}


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    d = tmp_path_factory.mktemp("readme")
    for name, parts in FILES.items():
        (d / name).symlink_to(shared_file(*parts))
    (d / "examples").symlink_to(ROOT / "examples")
    return d


def _env() -> dict[str, str]:
    # As after installing the package: the module and the tool importable, nothing else.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(pathlib.Path(corvane_core.__file__).resolve().parent),
                                         str(ROOT / "python")])
    return env


def test_readme_has_python_blocks():
    assert len(BLOCKS) >= 2


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block {i}" for i in range(len(BLOCKS))])
def test_block_runs_as_written(block, folder, tmp_path):
    script = tmp_path / "readme_block.py"
    script.write_text(block, encoding="utf-8")
    proc = subprocess.run([sys.executable, str(script)], cwd=folder, env=_env(), capture_output=True,
                          text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr


def _literal(comment: str):
    text = comment.lstrip("#").strip()
    for candidate in (text, text.split(": ", 1)[0]):
        try:
            return True, ast.literal_eval(candidate)
        except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError):
            continue
    return False, None


def stated_values(block: str) -> dict[int, object]:
    """{line of a statement: the value its comment states}."""
    lines = block.splitlines()
    comments = {tok.start[0]: tok.string for tok in tokenize.generate_tokens(io.StringIO(block).readline)
                if tok.type == tokenize.COMMENT}
    stated = {}
    for stmt in ast.parse(block).body:
        if not isinstance(stmt, (ast.Expr, ast.Assign)) or stmt.lineno != stmt.end_lineno:
            continue
        line = stmt.lineno
        comment = comments.get(line)
        after = line + 1
        if comment is None and after in comments and lines[after - 1].lstrip().startswith("#"):
            comment = comments[after]
        if comment is not None:
            found, value = _literal(comment)
            if found:
                stated[line] = value
    return stated


CHECKED = [b for b in BLOCKS if stated_values(b) and "__main__" not in b]


def test_some_values_are_stated():
    assert sum(len(stated_values(b)) for b in CHECKED) >= 8


@pytest.mark.parametrize("block", CHECKED, ids=[f"checked block {i}" for i in range(len(CHECKED))])
def test_stated_values(block, folder, monkeypatch):
    monkeypatch.chdir(folder)
    stated = stated_values(block)
    namespace: dict[str, object] = {"__name__": "readme"}
    checked = 0
    for stmt in ast.parse(block).body:
        code = ast.Module(body=[stmt], type_ignores=[])
        if stmt.lineno not in stated:
            exec(compile(code, "README.md", "exec"), namespace)
            continue
        if isinstance(stmt, ast.Expr):
            value = eval(compile(ast.Expression(stmt.value), "README.md", "eval"), namespace)
        else:
            exec(compile(code, "README.md", "exec"), namespace)
            (target,) = stmt.targets
            value = namespace[target.id]
        assert value == stated[stmt.lineno], ast.get_source_segment(block, stmt)
        checked += 1
    assert checked == len(stated)
