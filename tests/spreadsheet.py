"""Writing exported cell texts into an .xlsx workbook and having LibreOffice
Calc recalculate it headless, for the tests that compare a real spreadsheet
engine with evaluate_tree."""

from __future__ import annotations

import os
import re
import shutil
import tempfile
from collections.abc import Mapping
from pathlib import Path
from typing import Any

from buildtools import run

# Set by .ci/run: there, a missing LibreOffice is a failure, not a skip.
REQUIRE_VARIABLE = "MORVAX_REQUIRE_LIBREOFFICE"

# Functions newer than the 2007 file format carry this prefix inside the file.
_NEWER_FUNCTIONS = re.compile(r"\b(STDEV\.S)\(")

ERROR_TEXTS = {"ERROR!", "REF!", "MANY!", "VALUE!"}


def soffice() -> str | None:
    return shutil.which("soffice") or shutil.which("libreoffice")


def missing_reason() -> str | None:
    """Why the spreadsheet suite cannot run here, or None when it can."""
    try:
        import openpyxl  # noqa: F401
    except ImportError:
        return "openpyxl is not installed (pip install '.[test]')"
    if soffice() is None:
        return "LibreOffice (soffice) is not installed; apt-get install libreoffice-calc-nogui"
    return None


def required() -> bool:
    return os.environ.get(REQUIRE_VARIABLE, "") not in {"", "0"}


def require_or_skip() -> None:
    """Skips the calling test where LibreOffice cannot run, or fails it where
    the engine is required."""
    import pytest

    reason = missing_reason()
    if reason is not None:
        if required():
            pytest.fail(f"{REQUIRE_VARIABLE} is set but {reason}", pytrace=False)
        pytest.skip(reason)


def file_formula(text: str) -> str:
    """A cell formula as the .xlsx file must store it."""
    return _NEWER_FUNCTIONS.sub(r"_xlfn.\1(", text)


def cell_value(text: str) -> Any:
    """What goes into the cell for an exported text: a formula, a number, nothing, or text."""
    if text.startswith("="):
        return file_formula(text)
    if text == "":
        return None
    try:
        return float(text)
    except ValueError:
        return text


def recalculate(sheets: Mapping[str, Mapping[str, str]], workdir: Path) -> dict[str, dict[str, Any]]:
    """Writes every sheet's cell texts (address -> text) into one workbook, has
    LibreOffice load, recalculate and save it, and returns the computed value of
    every written cell: a number, a bool, a str (errors as "#DIV/0!" and the
    like) or None for an empty result."""
    import openpyxl

    book = openpyxl.Workbook()
    book.remove(book.active)
    for title, cells in sheets.items():
        sheet = book.create_sheet(title)
        for address, text in cells.items():
            sheet[address] = cell_value(text)
    source = workdir / "exported.xlsx"
    book.save(source)

    outdir = workdir / "recalculated"
    profile = Path(tempfile.mkdtemp(prefix="lo-profile-", dir=workdir))
    command = [
        str(soffice()), f"-env:UserInstallation={profile.as_uri()}", "--headless",
        "--convert-to", "xlsx", "--outdir", str(outdir), str(source),
    ]
    done = run(command, timeout=600)
    result = outdir / source.name
    if done.returncode != 0 or not result.exists():
        raise RuntimeError(f"LibreOffice did not convert the workbook:\n{done.stdout}")

    computed = openpyxl.load_workbook(result, data_only=True)
    return {
        title: {address: computed[title][address].value for address in cells}
        for title, cells in sheets.items()
    }


def is_spreadsheet_error(value: Any) -> bool:
    """A spreadsheet error value, or one of our error texts written as a cell."""
    return isinstance(value, str) and (
        value.startswith("#") or value.startswith("Err:") or value in ERROR_TEXTS
    )
