"""Evaluates a small planning tree with monthly columns and prints every node's values.

Each node is a plain dataclass with the attributes the module reads (`name`,
`formula`, `children`, and optionally `is_hidden`); `value` is written back as
text, one str for a node whose value is the same in every month, else a list.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import morvax_formulas


@dataclass
class Line:
    name: str
    formula: str | list[str] = ""
    children: list[Line] = field(default_factory=list)
    is_hidden: bool = False
    value: str | list[str] = ""


def plan() -> Line:
    sales = Line("Sales", "=sum(children)", [
        Line("North", ["100", "120", "130"]),
        Line("South", ["80", "75", "=@North * 0.7"]),  # reads North in the same month
    ])
    costs = Line("Costs", "=sum(children)", [
        Line("Staff", "60"),
        Line("Travel", "=@Sales * 0.1"),
        Line("Buffer", "=@Staff * 0.2", is_hidden=True),  # counted as a child, not found by name
    ])
    return Line("Profit", "=@Sales - @Costs", [
        sales,
        costs,
        Line("Share of Q", "=ratio(@Sales)"),  # this month's sales over month 1's
        Line("Forecast", ["=right[1] * 0.9", "=right[1] * 0.9", "100"]),
        Line("Broken", "=@Nobody + 1"),
    ])


def show(line: Line, depth: int = 0) -> None:
    print(f"{'  ' * depth}{line.name:<{24 - 2 * depth}} {line.value!r}")
    for child in line.children:
        show(child, depth + 1)


def main() -> None:
    result = morvax_formulas.evaluate_tree(plan())
    show(result)


if __name__ == "__main__":
    main()
