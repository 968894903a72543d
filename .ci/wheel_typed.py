"""Checked with mypy --strict outside the source tree: passes only when the
stubs come with the installed wheel."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field

import morvax_formulas


@dataclass
class Line:
    name: str
    formula: str | list[str]
    children: list[Line] = field(default_factory=list)
    value: str | list[str] = ""


def total(lines: list[Line]) -> str | list[str]:
    return morvax_formulas.evaluate_tree(Line("Total", "=sum(children)", lines)).value


tokens: Sequence[tuple[str, str]] = morvax_formulas.get_tokens("=1+2")
result: str = morvax_formulas.evaluate("=1+2")
