"""Lays a small plan out in a sheet, exports it and writes a real .xlsx file.

    pip install '.[excel]' && python examples/export_to_xlsx.py [PATH.xlsx]

Row 1 holds the month titles; each node gets a row, its name in column A and
one cell per month in B to D. export_tree_to_excel turns the addresses in
`cells` into formulas over those cells; the example writes them with openpyxl.
The file goes to PATH.xlsx, by default plan.xlsx in the temporary directory.
Open it in a spreadsheet to see it compute what evaluate_tree computes.
"""

from __future__ import annotations

import re
import sys
import tempfile
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import openpyxl

import morvax_formulas

MONTHS = ["Jan", "Feb", "Mar"]

# The 2007 file format predates these functions: inside the file they carry
# the "_xlfn." prefix, which spreadsheets hide again when they show the formula.
NEWER_FUNCTIONS = re.compile(r"\b(STDEV\.S)\(")


def node(name: str, formula: str | list[str], *children: Any) -> SimpleNamespace:
    return SimpleNamespace(name=name, formula=formula, children=list(children))


def plan() -> SimpleNamespace:
    return node(
        "Profit", "=@Revenue - @Costs",
        node("Revenue", "=sum(children)",
             node("Units", ["120", "135", "150"]),
             node("Price", "12,50"),
             node("Sales", "=@Units * @Price"),
             node("Services", ["1200", "1150", "1300"])),
        node("Costs", "=@Revenue * 35% + @Rent"),
        node("Rent", "800"),
        node("Share of Q1", "=ratio(@Revenue)"),
        node("Spread", "=stdev(@Units; @Price)"),
        node("Target", ["=sum(right)", "=@Sales * 1.1", "=@Sales * 1.2"]),
    )


def lay_out(root: SimpleNamespace) -> list[SimpleNamespace]:
    """Gives every node a row: its cells are B{row} to D{row}, one per month."""
    rows: list[SimpleNamespace] = []
    todo = [root]
    while todo:
        current = todo.pop()
        row = len(rows) + 2
        current.cells = [f"{column}{row}" for column in "BCD"]
        rows.append(current)
        todo.extend(reversed(current.children))
    return rows


def cell_value(text: str) -> Any:
    """A formula as the file stores it, a number, nothing, or text."""
    if text.startswith("="):
        return NEWER_FUNCTIONS.sub(r"_xlfn.\1(", text)
    if not text:
        return None
    try:
        return float(text)
    except ValueError:
        return text


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else str(Path(tempfile.gettempdir()) / "plan.xlsx")
    root = plan()
    rows = lay_out(root)
    exported = morvax_formulas.export_tree_to_excel(root)

    book = openpyxl.Workbook()
    sheet = book.active
    assert sheet is not None  # a new workbook has one active sheet
    sheet.append(["", *MONTHS])
    todo = [exported]
    for laid_out in rows:
        current = todo.pop()
        todo.extend(reversed(current.children))
        sheet[f"A{laid_out.cells[0][1:]}"] = current.name
        for address, text in zip(laid_out.cells, current.cells):
            sheet[address] = cell_value(text)
            print(f"{current.name:<12} {address:<4} {text}")
    book.save(path)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
