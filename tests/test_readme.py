"""The documentation runs as written: the interactive examples of README.md
and docs/*.md print what they show, and their plain Python blocks run."""

from __future__ import annotations

import doctest
import re
import runpy
import tempfile
from pathlib import Path

import pytest

import morvax_formulas
from buildtools import ROOT

# Each file, and how many interactive examples it holds at least (so that a
# broken fence cannot silently leave a file untested).
DOCUMENTS = {"README.md": 10, "docs/language.md": 8, "docs/api.md": 25}
PYTHON_BLOCK = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def doctest_text(path: Path) -> str:
    # A closing fence would read as expected output: blank the fence lines,
    # keeping the line numbers of the failures right.
    lines = path.read_text(encoding="utf-8").splitlines()
    return "\n".join("" if line.startswith("```") else line for line in lines)


@pytest.mark.parametrize(("name", "least"), DOCUMENTS.items())
def test_interactive_examples(name: str, least: int) -> None:
    path = ROOT / name
    # One session per file: later examples use names defined earlier.
    test = doctest.DocTestParser().get_doctest(
        doctest_text(path), {"morvax_formulas": morvax_formulas}, name, str(path), 0
    )
    assert len(test.examples) >= least
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


def program_blocks() -> list[tuple[str, str]]:
    """The Python blocks that are programs rather than interactive sessions."""
    blocks = []
    for name in ["README.md", *sorted(str(p.relative_to(ROOT)) for p in (ROOT / "docs").glob("*.md"))]:
        for block in PYTHON_BLOCK.findall((ROOT / name).read_text(encoding="utf-8")):
            if not block.lstrip().startswith(">>>"):
                blocks.append((name, block))
    return blocks


@pytest.mark.parametrize(("name", "program"), program_blocks())
def test_program_blocks_run(name: str, program: str, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    script = tmp_path / "block.py"
    script.write_text(program, encoding="utf-8")
    temporary = tmp_path / "temporary"
    temporary.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(temporary))
    monkeypatch.chdir(tmp_path)
    runpy.run_path(str(script), run_name="__main__")
    # It writes into the temporary directory, not where it runs.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["block.py", "temporary"]
