"""Run inside a fresh venv that holds only the built wheel: the module imports
from that venv, each of its functions answers, and the metadata is the
project's."""

from __future__ import annotations

import sys
from importlib import metadata
from pathlib import Path
from types import SimpleNamespace

import morvax_formulas as mf

assert Path(mf.__file__).is_relative_to(sys.prefix), f"imported {mf.__file__}, not from {sys.prefix}"


def node(name: str, formula: str | list[str], *children: SimpleNamespace, **extra: object) -> SimpleNamespace:
    return SimpleNamespace(name=name, formula=formula, children=list(children), **extra)


def plan() -> SimpleNamespace:
    return node("Profit", "=@Revenue - @Costs",
                node("Revenue", ["100", "120"], id="r", cells=["B2", "C2"]),
                node("Costs", "=@Revenue * 25%", id="c", cells=["B3", "C3"]),
                id="p", cells=["B1", "C1"])


def renamed() -> SimpleNamespace:
    new = plan()
    new.children[0].name = "Sales"
    return new


checks = {
    "evaluate": (mf.evaluate("=1+2*3"), "7"),
    "evaluate_boolean": (mf.evaluate_boolean("2 > 1"), "true"),
    "get_tokens": (mf.get_tokens("=@a+1"), [("=", "operator"), ("@a", "nodereference"),
                                            ("+", "operator"), ("1", "number")]),
    "evaluate_tree": (mf.evaluate_tree(plan()).value, ["75", "90"]),
    "rename_nodes": (mf.rename_nodes(plan(), renamed()).children[1].formula, "=@Sales * 25%"),
    "expand_tree_formulas": (mf.expand_tree_formulas(plan()).formula, "=@Revenue - (@Revenue * 25%)"),
    "explain_node": ([c["name"] for c in (mf.explain_node(plan(), "c") or {"children": []})["children"]],
                     ["Revenue"]),
    "export_tree_to_excel": (mf.export_tree_to_excel(plan()).cells, ["=B2-B3", "=C2-C3"]),
    "diagnose": ((mf.diagnose("=1 +") or {"start": -1})["start"], 4),
    "diagnose_tree": ([(p["name"], p["cause"]) for p in mf.diagnose_tree(renamed())], [("Profit", "unknown name"), ("Costs", "unknown name")]),
}
wrong = {name: got for name, (got, expected) in checks.items() if got != expected}
assert not wrong, wrong
assert sorted(mf.__all__) == sorted(checks), mf.__all__

meta = metadata.metadata("morvax-formulas")
assert meta["License-Expression"] == "MIT", meta["License-Expression"]
assert meta["Version"] == mf.__version__, (meta["Version"], mf.__version__)
assert {"test", "excel"} <= set(meta.get_all("Provides-Extra") or []), meta.get_all("Provides-Extra")
print(f"wheel smoke test: {meta['Name']} {meta['Version']} from {mf.__file__}: all {len(checks)} functions answer")
