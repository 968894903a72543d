"""The interactive examples of README.md run as written and print what it shows."""

from __future__ import annotations

import doctest
from pathlib import Path

import morvax_formulas

README = Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples() -> None:
    # A closing fence would read as expected output: blank the fence lines,
    # keeping the line numbers of the failures right.
    lines = README.read_text(encoding="utf-8").splitlines()
    text = "\n".join("" if line.startswith("```") else line for line in lines)
    # One session for the whole file: later examples use names defined earlier.
    test = doctest.DocTestParser().get_doctest(
        text, {"morvax_formulas": morvax_formulas}, "README.md", str(README), 0
    )
    assert len(test.examples) > 40
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0
