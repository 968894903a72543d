"""A yearly plan for a small company, evaluated, explained, renamed and exported.

    python3.14 -m venv .venv && .venv/bin/pip install '.[excel]'
    .venv/bin/python examples/planning_model.py [PATH.xlsx]

The plan has 13 dimensions: dimension 0 is the year, 1 to 12 are the months.
Month cells hold inputs or formulas; the year cell of a monthly line is
`=sum(right)`, the sum of the twelve months to its right.  The script

1. evaluates the plan with `evaluate_tree` and prints it as a table, then
   what `diagnose_tree` says about the lines that show `REF!`: the bonus
   pool and the profit after bonus refer to each other on purpose;
2. explains one derived line with `explain_node`: its formula expanded down to
   input lines, and those lines;
3. renames a line in a new version of the plan and lets `rename_nodes` carry
   the new name into every formula that refers to it;
4. lays the plan out in a sheet, converts every formula with
   `export_tree_to_excel` and writes it with openpyxl to PATH.xlsx, by default
   `planning_model.xlsx` in the temporary directory; a spreadsheet computes
   the same numbers from it.
"""

from __future__ import annotations

import copy
import re
import sys
import tempfile
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path

import morvax_formulas as mf

MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
COLUMNS = ["Year", *MONTHS]


@dataclass
class Line:
    """A node of the plan, as the formula engine reads it."""

    id: str
    name: str
    formula: str | list[str]
    children: list[Line] = field(default_factory=list)
    is_hidden: bool = False
    value: str | list[str] = ""
    cells: str | list[str] = field(default_factory=list)


def monthly(key: str, name: str, months: list[str], *children: Line) -> Line:
    """A line with a formula per month and the year as the sum of the months."""
    return Line(key, name, ["=sum(right)", *months], list(children))


def build_plan() -> Line:
    units = [str(u) for u in (1200, 1350, 1500, 1600, 1700, 1800, 1500, 1400, 1750, 1900, 2100, 2600)]
    services = [f"=12000 * pow(1 + @Growth; {m})" for m in range(12)]
    return Line("plan", "Acme Ltd", "", [
        Line("drivers", "Drivers", "", [
            monthly("units", "Units", units),
            Line("price", "Price", "24,50"),  # decimal comma
            # A price under discussion: hidden, so @Price still means the line above.
            Line("price-draft", "Price", "26,00", is_hidden=True),
            Line("growth", "Growth", "2%"),
            Line("discount", "Discount", "5%"),
            Line("cloud-rate", "Cloud per unit", "1,35"),
        ]),
        # Per-unit figures: single formulas over the drivers.
        Line("unit-economics", "Unit economics", "", [
            Line("net-price", "Net price", "=@Price * (1 - @Discount)"),
            Line("unit-margin", "Unit margin", "=@{Net price} - @{Cloud per unit}"),
        ]),
        monthly("revenue", "Revenue", ["=sum(children)"] * 12,
                monthly("product", "Product sales", ["=@Units * @{Net price}"] * 12),
                monthly("services", "Services", services)),
        # Two departments with lines of the same names: an index picks one.
        monthly("costs", "Costs", ["=sum(children)"] * 12,
                monthly("sales", "Sales", ["=sum(children)"] * 12,
                        monthly("sales-salaries", "Salaries", ["18.000,00"] * 12),
                        monthly("sales-travel", "Travel", ["=@Salaries[1] * 12%"] * 12)),
                monthly("engineering", "Engineering", ["=sum(children)"] * 12,
                        monthly("eng-salaries", "Salaries", ["24,500.00"] * 6 + ["25,200.00"] * 6),
                        monthly("eng-travel", "Travel", ["=@Salaries[2] * 4%"] * 12),
                        monthly("cloud", "Cloud", ["=round(@Units * @{Cloud per unit}; 0)"] * 12))),
        Line("net-profit", "Net profit", "=@Revenue - @Costs"),
        Line("tax", "Tax", "=max(@{Net profit} * 25%; 0)"),
        Line("profit-after-tax", "Profit after tax", "=@{Net profit} - @Tax"),
        Line("margin", "Margin", "=iferror(@{Profit after tax} / @Revenue; empty)"),
        # Both Salaries lines, each by its index: `sum(@Salaries)` adds them too,
        # but no spreadsheet cell stands for a name that two lines share.
        Line("payroll", "Payroll", "=sum(@Salaries[1]; @Salaries[2])"),
        Line("share", "Share of year", "=ratio(@Revenue)"),  # a month over the year
        Line("annual", "Annual revenue", "=total(@Revenue)"),  # the year in every month
        # Units still to sell from this month on: a running total over `right`.
        Line("units-to-go", "Units to go", ["=right[1]", *["=@Units + right[1]"] * 11, "=@Units"]),
        Line("target", "Revenue target",
             "=when(@Revenue > 60000; @Revenue * 1,1; @Revenue > 45000; @Revenue; 45000)"),
        # Bonus and profit after bonus refer to each other: a circular reference.
        Line("bonus-pool", "Bonus pool", "=@{Profit after bonus} * 10%"),
        Line("after-bonus", "Profit after bonus", "=@{Profit after tax} - @{Bonus pool}"),
    ])


def walk(line: Line, depth: int = 0) -> Iterator[tuple[int, Line]]:
    """(depth, line) in pre-order."""
    yield depth, line
    for child in line.children:
        yield from walk(child, depth + 1)


def shown(text: str, percent: bool) -> str:
    try:
        number = float(text)
    except ValueError:
        return text  # "", or an error text such as "REF!"
    if percent:
        return f"{number:.1%}"
    return f"{number:,.2f}" if abs(number) < 100 else f"{number:,.0f}"


def print_table(plan: Line) -> None:
    width = 24
    print(f"{'':<{width}}" + "".join(f"{c:>9}" for c in COLUMNS))
    for depth, line in walk(plan):
        values = line.value if isinstance(line.value, list) else [line.value] * len(COLUMNS)
        label = ("  " * depth + line.name + (" (hidden)" if line.is_hidden else ""))[:width]
        percent = line.id in ("share", "margin", "growth", "discount")
        print(f"{label:<{width}}" + "".join(f"{shown(v, percent):>9}" for v in values))


def print_errors(plan: Line) -> None:
    """Why lines show error texts: each error cell's cause, once per line."""
    seen = set()
    for cell in mf.diagnose_tree(plan):
        if cell["name"] not in seen:
            seen.add(cell["name"])
            print(f"    {cell['name']}: {cell['value']}, {cell['cause']}: {cell['detail']}")


def explain(plan: Line, node_id: str) -> None:
    record = mf.explain_node(plan, node_id)
    assert record is not None
    print(f"{record['name']}: {record['formula']}")
    for ref in record["children"]:
        print(f"    {ref['name']}: {ref['formula']}")


def rename(plan: Line) -> None:
    new = copy.deepcopy(plan)
    drivers = new.children[0]
    drivers.children[0].name = "Units sold"
    renamed = mf.rename_nodes(plan, new)
    before = {line.id: line.formula for _, line in walk(plan)}
    for _, line in walk(renamed):
        if line.formula != before[line.id]:
            old, now = before[line.id], line.formula
            if isinstance(old, list):  # show the first month that changed
                old, now = next((a, b) for a, b in zip(old, now) if a != b)
            print(f"    {line.name}: {old}  ->  {now}")


# Functions newer than the 2007 file format carry this prefix inside the file.
NEWER_FUNCTIONS = re.compile(r"\b(STDEV\.S)\(")


def lay_out(plan: Line) -> None:
    """One row per line (row 1 holds the headings), column A for the names and
    one column per dimension from B on: every line gets its cell addresses."""
    for row, (_, line) in enumerate(walk(plan), start=2):
        line.cells = [f"{chr(ord('B') + c)}{row}" for c in range(len(COLUMNS))]  # B to N


def cell(text: str) -> str | float:
    """What the file stores for an exported cell text: a number, a formula or text."""
    try:
        return float(text)
    except ValueError:
        return NEWER_FUNCTIONS.sub(r"_xlfn.\1(", text) if text.startswith("=") else text


def export(plan: Line, path: str) -> None:
    import openpyxl

    lay_out(plan)
    exported = mf.export_tree_to_excel(plan)  # a copy: `plan` keeps its addresses
    book = openpyxl.Workbook()
    sheet = book.active
    assert sheet is not None
    sheet.title = "Plan"
    sheet.append(["Line", *COLUMNS])
    rows = 0
    for depth, line in walk(exported):
        texts = line.cells if isinstance(line.cells, list) else [line.cells]
        sheet.append(["  " * depth + line.name, *(cell(text) for text in texts)])
        rows += 1
    book.save(path)
    print(f"wrote {path}: {rows} lines x {len(COLUMNS)} columns of formulas and inputs")


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else str(Path(tempfile.gettempdir()) / "planning_model.xlsx")
    start = time.perf_counter()
    plan = build_plan()
    mf.evaluate_tree(plan, in_place=True)
    print_table(plan)

    print("\nWhy lines show REF! (diagnose_tree):")
    print_errors(plan)

    print("\nWhere the unit margin comes from (explain_node):")
    explain(plan, "unit-margin")

    print("\nRenaming Units to 'Units sold' rewrites (rename_nodes):")
    rename(plan)

    print()
    export(plan, path)
    print(f"done in {time.perf_counter() - start:.2f} s")


if __name__ == "__main__":
    main()
