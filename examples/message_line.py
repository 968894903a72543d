"""A formula editor's message line: what the user sees under a formula while
typing it, and under each line of a model that shows an error.

    .venv/bin/python examples/message_line.py ["=round(1,5, 2)" ...]

For a formula that does not parse, `diagnose` gives the parser's message, the
place of the offending text and, for the usual slips, a hint; the message line
marks the place. For a model, `diagnose_tree` gives every cell holding an
error, with its cause and place, and the cell an error was read from, which
leads to where it was made. The script writes no files.
"""

from __future__ import annotations

import sys
from dataclasses import dataclass, field

import morvax_formulas

TYPED = ["=round(1,5; 2)", "=round(1,5, 2)", "=sum(@Rent; @Staff", "1.200 + 300", "=1,5e3 * 2", "=abs(-2; 3)"]


def marked(formula: str, start: int, end: int, message: str, indent: int = 0) -> list[str]:
    """The formula, then a line marking formula[start:end] and saying why."""
    marker = " " * (indent + start) + "^" * max(1, end - start)
    return [" " * indent + formula, f"{marker} {message}"]


def message_line(formula: str) -> list[str]:
    """The formula and what the editor says about it while it is typed."""
    problem = morvax_formulas.diagnose(formula)
    if problem is None:
        return [formula, f"= {morvax_formulas.evaluate(formula) or '(empty)'}"]
    return marked(formula, problem["start"], problem["end"], problem["hint"] or problem["message"])


@dataclass
class Line:
    """A line of the model, as the formula engine reads it."""

    id: str
    name: str
    formula: str | list[str]
    children: list[Line] = field(default_factory=list)


def budget() -> Line:
    return Line("budget", "Budget", "=sum(children)", [
        Line("rent", "Rent", "1.200"),
        Line("salary", "Salary", ["4.000", "4.000", "4.400"]),
        Line("staff", "Staff", "=@Salry * 1,2"),  # a typo: the line is called Salary
        Line("trips", "Trips", ["2", "0", "1"]),
        Line("travel", "Travel", "=300 * @Trips"),
        Line("per-trip", "Cost per trip", "=@Travel / @Trips"),  # no trips in month 2
        Line("loop-a", "Reserve", "=@Buffer * 2"),
        Line("loop-b", "Buffer", "=@Reserve / 2"),  # a circular reference
    ])


def formula_of(line: Line, dimension: int) -> str:
    return line.formula if isinstance(line.formula, str) else line.formula[dimension]


def tree_messages(root: Line) -> list[str]:
    """For each cell holding an error: its formula marked, the cause, and the
    first cause when the error was read from elsewhere."""
    lines_by_id: dict[str, Line] = {}
    todo = [root]
    while todo:
        line = todo.pop()
        lines_by_id[line.id] = line
        todo.extend(line.children)
    cells = morvax_formulas.diagnose_tree(root)
    by_cell = {(cell["id"], cell["dimension"]): cell for cell in cells}
    out = []
    for cell in cells:
        formula = formula_of(lines_by_id[cell["id"]], cell["dimension"])
        out.append(f"{cell['name']}, dimension {cell['dimension']}: {cell['value']}")
        out += marked(formula, cell["start"], cell["end"], f"{cell['cause']}: {cell['detail']}", indent=4)
        first = cell
        while first["source"] is not None:
            source = first["source"]
            first = by_cell[(source["id"], source["dimension"])]
        if first is not cell:
            out.append(f"    first cause: {first['name']}, {first['cause']}: {first['detail']}")
    return out


def main() -> None:
    for formula in sys.argv[1:] or TYPED:
        print("\n".join(message_line(formula)), end="\n\n")
    print("\n".join(tree_messages(budget())))


if __name__ == "__main__":
    main()
