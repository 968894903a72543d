"""Typed use of the module; must pass mypy --strict with the installed stubs."""

from __future__ import annotations

from dataclasses import dataclass, field

import morvax_formulas
from morvax_formulas import (
    diagnose,
    diagnose_tree,
    evaluate,
    evaluate_boolean,
    evaluate_tree,
    expand_tree_formulas,
    explain_node,
    export_tree_to_excel,
    get_tokens,
    rename_nodes,
)


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


class Budget(Line):
    """A root of a subclass: its children are still Lines."""


@dataclass
class Group:
    """A second node class in the same tree: its children are groups or lines."""

    name: str
    formula: str
    children: list[Group | Line] = field(default_factory=list)


def budget_total(lines: list[Line]) -> str | list[str]:
    return evaluate_tree(Budget("Budget", "=sum(children)", lines)).value


def grouped(lines: list[Line]) -> Group:
    return evaluate_tree(Group("Plan", "=sum(children)", [Group("Costs", "=sum(children)", [*lines])]))


def follow_edit(before: Line, after: Line) -> Line:
    """The edited tree with its references brought up to date, then written out."""
    return expand_tree_formulas(rename_nodes(before, after, in_place=True))


def referenced_names(root: Line, node_id: str) -> list[str]:
    record = explain_node(root, node_id=node_id)
    if record is None:
        return []
    return [child["name"] for child in record["children"] if not child["is_hidden"]]


def highlighted(formula: str) -> str:
    """Each token wrapped in a tag named after its kind."""
    return "".join(f"<{kind}>{text}</{kind}>" for text, kind in get_tokens(formula=formula))


def is_reference(token: tuple[str, str]) -> bool:
    return token[1] == "nodereference"


@dataclass
class Placed:
    name: str
    formula: str | list[str]
    cells: str | list[str]
    children: list[Placed] = field(default_factory=list)


def cell_texts(placed: Placed) -> str | list[str]:
    return export_tree_to_excel(placed, in_place=False).cells


names: list[str] = morvax_formulas.__all__
references = [token for token in get_tokens("=@a + 1") if is_reference(token)]
version: str = morvax_formulas.__version__


def message_line(formula: str) -> str:
    """What a formula editor shows under the formula: nothing, or where and why."""
    problem = diagnose(formula=formula)
    if problem is None:
        return ""
    hint = problem["hint"]
    return f"{problem['start']}-{problem['end']}: {problem['message']}" + (f" ({hint})" if hint else "")


def first_causes(root: Line) -> list[str]:
    """Where each error cell's error was first made, following propagated ones."""
    records = diagnose_tree(root)
    by_cell = {(r["id"], r["name"], r["dimension"]): r for r in records}
    out = []
    for record in records:
        while record["cause"] == "propagated" and record["source"] is not None:
            source = record["source"]
            record = by_cell[(source["id"], source["name"], source["dimension"])]
        out.append(f"{record['name']}: {record['detail']}")
    return out
