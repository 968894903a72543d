"""Builds the C++ tests with CMake and runs them, so one pytest run covers them too."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

from buildtools import CORE_FOLDERS, ROOT, run


def test_cpp_tests_pass(native_build: Path) -> None:
    done = run([str(native_build / "morvax_cpp_tests")])
    if done.returncode != 0:
        pytest.fail(f"C++ tests failed:\n{done.stdout}", pytrace=False)
    assert re.search(r"^\d+ passed, 0 failed$", done.stdout, re.MULTILINE), done.stdout


@pytest.mark.slow
def test_expansion_property_on_many_generated_trees(native_build: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    # The suite checks a few thousand generated trees; this checks 120,000.
    monkeypatch.setenv("MORVAX_EXPANSION_TREES", "120000")
    done = run([str(native_build / "morvax_cpp_tests"), "expanded_trees_compute_what_the_trees_compute"])
    assert done.returncode == 0, done.stdout
    assert "120000 generated trees" in done.stdout and "1 passed, 0 failed" in done.stdout, done.stdout


def test_check_framework_reports_failures(native_build: Path) -> None:
    # The self-test program holds checks that fail on purpose; each must be
    # reported with its file and line, and the program must fail.
    source = ROOT / "tests/cpp/selftest/failing_checks.cpp"
    lines = source.read_text().splitlines()

    def line_of(fragment: str) -> int:
        [number] = [i for i, text in enumerate(lines, 1) if fragment in text]
        return number

    done = run([str(native_build / "check_selftest")])
    assert done.returncode == 1, done.stdout
    expected = [
        f"failing_checks.cpp:{line_of('row * 10')}: FAILED CHECK_EQ(row * 10, 10)\n"
        "    actual:   20\n    expected: 10\n    for: row 2\n",
        f"failing_checks.cpp:{line_of('rows[0] > 1')}: FAILED CHECK(rows[0] > 1)\n",
        f'failing_checks.cpp:{line_of("wanted")}: FAILED CHECK_EQ(std::string("got"), "wanted")\n'
        '    actual:   "got"\n    expected: "wanted"\n',
        "selftest_throws: FAILED with exception: thrown on purpose\n",
        "[ ok ] selftest_passes\n",
        "[FAIL] selftest_fails_checks\n",
        "1 passed, 2 failed\n",
    ]
    for piece in expected:
        assert piece in done.stdout, done.stdout
    assert done.stdout.count("FAILED") == 4, done.stdout


def test_cpp_filter_that_matches_nothing_fails(native_build: Path) -> None:
    done = run([str(native_build / "morvax_cpp_tests"), "no test has this name"])
    assert done.returncode == 1
    assert "0 passed, 0 failed" in done.stdout


def test_core_folders_include_only_lower_layers() -> None:
    wrong = []
    for rank, folder in enumerate(CORE_FOLDERS):
        allowed = set(CORE_FOLDERS[: rank + 1])
        for path in sorted((ROOT / "src" / folder).rglob("*.[ch]pp")):
            for included in re.findall(r'^#include "([a-z_]+)/', path.read_text(), re.MULTILINE):
                if included not in allowed:
                    wrong.append(f"{path.relative_to(ROOT)} includes {included}/")
            if re.search(r"^#include <Python\.h>", path.read_text(), re.MULTILINE):
                wrong.append(f"{path.relative_to(ROOT)} includes Python.h")
    assert not wrong, wrong
