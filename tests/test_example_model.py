"""examples/planning_model.py: it runs as a script, and the workbook it lays
out and exports computes in LibreOffice Calc what evaluate_tree computes."""

from __future__ import annotations

import math
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

import spreadsheet
from buildtools import ROOT
from morvax_formulas import evaluate_tree, explain_node, export_tree_to_excel

sys.path.insert(0, str(ROOT / "examples"))
import planning_model  # noqa: E402 - found through the path above

SCRIPT = ROOT / "examples" / "planning_model.py"
CIRCULAR = {"Bonus pool", "Profit after bonus"}


def per_column(texts: str | list[str]) -> list[str]:
    """A line's value or cells, one per column of the sheet."""
    if isinstance(texts, str):
        return [texts] * len(planning_model.COLUMNS)
    return list(texts)


@pytest.fixture(scope="module")
def script_output(tmp_path_factory: pytest.TempPathFactory) -> tuple[str, Path]:
    pytest.importorskip("openpyxl")  # the script writes its workbook with it
    path = tmp_path_factory.mktemp("example") / "plan.xlsx"
    # stdout alone: a sanitizer run writes its notices to stderr.
    done = subprocess.run([sys.executable, str(SCRIPT), str(path)], cwd=path.parent,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout, path


def test_script_prints_the_table(script_output: tuple[str, Path]) -> None:
    output, _ = script_output
    plan = evaluate_tree(planning_model.build_plan())
    lines = [line for _, line in planning_model.walk(plan)]
    table = output.splitlines()[: len(lines) + 1]
    assert table[0].split() == planning_model.COLUMNS
    assert [row[:24].strip().removesuffix(" (hidden)") for row in table[1:]] == [line.name for line in lines]
    for row, line in zip(table[1:], lines):
        cells = row[24:].split()
        if line.name in CIRCULAR:
            assert cells == ["REF!"] * len(planning_model.COLUMNS)
        elif line.formula:
            assert len(cells) == len(planning_model.COLUMNS), row


def test_script_prints_the_explanation(script_output: tuple[str, Path]) -> None:
    output, _ = script_output
    record = explain_node(planning_model.build_plan(), "unit-margin")
    assert record is not None and record["children"]
    expected = [f"{record['name']}: {record['formula']}"]
    expected += [f"    {child['name']}: {child['formula']}" for child in record["children"]]
    section = output.split("Where the unit margin comes from (explain_node):\n", 1)[1]
    assert section.splitlines()[: len(expected)] == expected


def test_script_prints_the_renames(script_output: tuple[str, Path]) -> None:
    output, _ = script_output
    section = output.split("Renaming Units to 'Units sold' rewrites (rename_nodes):\n", 1)[1]
    renamed = [line for line in section.splitlines() if "  ->  " in line]
    # Exactly the lines whose formulas name @Units.
    assert sorted(line.split(":")[0].strip() for line in renamed) == ["Cloud", "Product sales", "Units to go"]
    for line in renamed:
        before, after = (part.strip() for part in line.split(":", 1)[1].split("  ->  "))
        assert before != after == before.replace("@Units", "@{Units sold}"), line


def test_script_writes_the_exported_cells(script_output: tuple[str, Path]) -> None:
    output, path = script_output
    openpyxl = pytest.importorskip("openpyxl")
    assert f"wrote {path}:" in output
    plan = planning_model.build_plan()
    planning_model.lay_out(plan)
    exported = export_tree_to_excel(plan)
    sheet = openpyxl.load_workbook(path)["Plan"]
    for (_, laid), (_, out) in zip(planning_model.walk(plan), planning_model.walk(exported)):
        for address, text in zip(per_column(laid.cells), per_column(out.cells)):
            written = sheet[address].value
            assert written == planning_model.cell(text) or written is None and text == "", (address, text)


# --- the workbook recalculated by LibreOffice -----------------------------

def agree(ours: str, theirs: Any) -> bool:
    if ours in spreadsheet.ERROR_TEXTS:
        return spreadsheet.is_spreadsheet_error(theirs)
    if ours == "":
        return theirs in (None, "")
    if isinstance(theirs, bool) or not isinstance(theirs, (int, float)):
        return False
    # Our numbers are printed rounded to ten decimals: near zero that is the closer bound.
    return math.isclose(float(ours), theirs, rel_tol=1e-9, abs_tol=1e-10)


@pytest.fixture(scope="module")
def compared(tmp_path_factory: pytest.TempPathFactory) -> list[tuple[str, str, str, Any]]:
    """(line, column, our value, LibreOffice's value) of every cell of the plan."""
    spreadsheet.require_or_skip()
    plan = planning_model.build_plan()
    planning_model.lay_out(plan)
    evaluated = evaluate_tree(plan)
    exported = export_tree_to_excel(plan)
    texts: dict[str, str] = {}
    cells: list[tuple[str, str, str, str]] = []
    for (_, laid), (_, ours), (_, out) in zip(
        planning_model.walk(plan), planning_model.walk(evaluated), planning_model.walk(exported)
    ):
        addresses, values, written = per_column(laid.cells), per_column(ours.value), per_column(out.cells)
        assert len(addresses) == len(values) == len(written) == len(planning_model.COLUMNS), laid.name
        for column, address, value, text in zip(planning_model.COLUMNS, addresses, values, written):
            texts[address] = text
            cells.append((laid.name, column, address, value))
    computed = spreadsheet.recalculate({"Plan": texts}, tmp_path_factory.mktemp("planning-model"))["Plan"]
    return [(name, column, value, computed[address]) for name, column, address, value in cells]


def test_libreoffice_computes_what_evaluate_tree_computes(compared: list[tuple[str, str, str, Any]]) -> None:
    disagreeing = [cell for cell in compared if not agree(cell[2], cell[3])]
    assert disagreeing == []


def test_the_comparison_covers_the_plan(compared: list[tuple[str, str, str, Any]]) -> None:
    numbers = [cell for cell in compared if cell[2] not in spreadsheet.ERROR_TEXTS and cell[2] != ""]
    assert len(numbers) > 0.75 * len(compared), (len(numbers), len(compared))
    errors = {(name, value) for name, _, value, _ in compared if value in spreadsheet.ERROR_TEXTS}
    assert errors == {(name, "REF!") for name in CIRCULAR}


def test_script_says_why_lines_show_ref(script_output: tuple[str, Path]) -> None:
    output, _ = script_output
    section = output.split("Why lines show REF! (diagnose_tree):\n", 1)[1].split("\n\n", 1)[0]
    cycle = "circular reference: Bonus pool -> Profit after bonus -> Bonus pool"
    assert section.splitlines() == [f"    {name}: REF!, cycle: {cycle}" for name in ("Bonus pool", "Profit after bonus")]
