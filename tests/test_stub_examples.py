"""The examples in the type stub's docstrings run against the built module."""
import doctest
import pathlib
import re

import corvane_core

STUB = pathlib.Path(__file__).resolve().parent.parent / "python" / "corvane_core.pyi"


def test_stub_docstring_examples_hold():
    text = STUB.read_text(encoding="utf-8")
    parser = doctest.DocTestParser()
    test = parser.get_doctest(text, vars(corvane_core).copy(), "corvane_core.pyi", str(STUB), 0)
    assert test.examples, "the stub should carry examples"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    result = runner.summarize(verbose=False)
    assert result.failed == 0


def test_stub_names_every_public_member():
    text = STUB.read_text(encoding="utf-8")
    for cls in ("Compressor", "BPETokenizer", "WordPieceTokenizer"):
        assert re.search(rf"^class {cls}\b", text, re.MULTILINE), f"class {cls} missing from the stub"
        for name in vars(getattr(corvane_core, cls)):
            if not name.startswith("_"):
                assert f"def {name}(" in text, f"{cls}.{name} missing from the stub"
