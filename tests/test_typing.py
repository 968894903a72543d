"""The installed stub package: mypy --strict sees the functions, stubtest finds
no drift, and the examples and the README's quick start type-check against it
with mypy --strict and pyright (basedpyright, standard mode)."""

from __future__ import annotations

import doctest
import sys
from pathlib import Path

from buildtools import ROOT, run

TYPED = ROOT / "tests" / "typed"


def mypy(*arguments: str) -> tuple[int, str]:
    done = run([sys.executable, "-m", "mypy", "--no-incremental", "--strict", *arguments], python=True)
    return done.returncode, done.stdout


def pyright(*arguments: str) -> tuple[int, str]:
    # The mode and rules are pyproject.toml's [tool.basedpyright].
    # A tool run: pyright's node must not inherit the sanitizer run's preload,
    # and nothing here imports the module.
    done = run([sys.executable, "-m", "basedpyright", "-p", str(ROOT / "pyproject.toml"),
                "--pythonpath", sys.executable, *arguments])
    return done.returncode, done.stdout


def readme_session(directory: Path) -> Path:
    """The README's interactive examples as one program, as a reader would type them."""
    lines = (ROOT / "README.md").read_text(encoding="utf-8").splitlines()
    text = "\n".join("" if line.startswith("```") else line for line in lines)
    examples = doctest.DocTestParser().get_examples(text)
    program = directory / "readme_session.py"
    program.write_text("".join(example.source for example in examples), encoding="utf-8")
    return program


def test_readme_passes_strict_mypy_and_pyright(tmp_path: Path) -> None:
    program = str(readme_session(tmp_path))
    for check in (mypy, pyright):
        code, output = check(program)
        assert code == 0, output


def test_examples_pass_pyright() -> None:
    code, output = pyright(str(ROOT / "examples"), str(ROOT / "tests" / "typed" / "usage.py"))
    assert code == 0, output


def test_typed_use_passes_strict_mypy() -> None:
    code, output = mypy(str(TYPED / "usage.py"))
    assert code == 0, output


def test_examples_pass_strict_mypy() -> None:
    code, output = mypy(str(ROOT / "examples"))
    assert code == 0, output


def test_stubs_reject_wrong_use() -> None:
    code, output = mypy(str(TYPED / "misuse.py"))
    assert code == 1, output
    expected = [
        'misuse.py:5: error: Argument 1 to "evaluate" has incompatible type "int"; expected "str"',
        'misuse.py:6: error: Incompatible types in assignment (expression has type "str", variable has type "int")',
        'misuse.py:7: error: Unexpected keyword argument "text" for "evaluate"',
        'misuse.py:8: error: Module has no attribute "no_such_function"',
        'misuse.py:9: error: Value of type variable "_Node" of "evaluate_tree" cannot be',
        'misuse.py:10: error: Incompatible types in assignment (expression has type "list[tuple[str, ',
        'misuse.py:19: error: Value of type "Explanation | None" is not indexable',
    ]
    for line in expected:
        assert line in output, output
    assert "Found 7 errors" in output, output


def test_stubtest_finds_no_mismatch() -> None:
    done = run([sys.executable, "-m", "mypy.stubtest", "morvax_formulas"], python=True)
    assert done.returncode == 0, done.stdout
