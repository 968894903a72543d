"""Typed use of the module; must pass mypy --strict with the installed stubs."""

from __future__ import annotations

from dataclasses import dataclass, field

import morvax_formulas
from morvax_formulas import evaluate, evaluate_boolean, evaluate_tree


def results(formulas: list[str]) -> dict[str, str]:
    return {formula: evaluate(formula) for formula in formulas}


def holds(condition: str) -> bool:
    return evaluate_boolean(formula=condition) == "true"


@dataclass
class Line:
    name: str
    formula: str | list[str]
    children: list[Line] = field(default_factory=list)
    value: str | list[str] = ""
    is_hidden: bool = False


def total(lines: list[Line]) -> str | list[str]:
    root = evaluate_tree(Line("Total", "=sum(children)", lines), in_place=True)
    return root.value


names: list[str] = morvax_formulas.__all__
