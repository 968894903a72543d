"""Times diagnose and diagnose_tree beside baselines measured in the same run.

- diagnose: microseconds per call on a formula that parses, one with a slip
  (a "," between arguments, which also tries the hints) and a long one that
  fails at its end, beside evaluate on the same texts.
- diagnose_tree: the planning model of bench_tree.py at 10^4 and 10^5 nodes,
  as it is (no error cell) and with a misspelt name in every department
  (every Margin, Outlook and department total an error: a record each), beside
  evaluate_tree in place on the same tree and the Python walk.

    python bench/bench_diagnose.py [--sizes 10000 100000] [--repeat N] [--json]

--json prints the rows for bench/run.py instead of the table.

Goal: linear work; diagnose_tree within a few times evaluate_tree in place,
whose own path it does not touch.
"""

from __future__ import annotations

import copy
import timeit
from typing import Any

import morvax_formulas
from bench_tree import Node, best_in_turns, planning_model, python_walk
from benchrows import Row, collector_paused, emit, formula_input, nodes, row, tree_options

FORMULAS = {
    "parses": "=round(@Revenue * (1 - @Discount); 2) + sum(children)",
    "a slip": "=round(1,5, 2) + @Revenue",
    "fails at its end": "=" + "+".join(["1"] * 50_000) + "+",
}


def per_call(function: Any, text: str, repeat: int) -> float:
    calls = max(1, 200_000 // max(1, len(text)))
    return min(timeit.repeat(lambda: function(text), number=calls, repeat=repeat)) / calls


def with_typos(root: Node) -> Node:
    """Every department's Margin reads a name no node has."""
    broken = copy.deepcopy(root)
    for department in broken.children:
        margin = department.children[5]
        assert isinstance(margin.formula, str)
        margin.formula = margin.formula.replace("@Revenue", "@Revenu")
    return broken


def measure_tree(size: int, repeat: int) -> list[Row]:
    out = []
    for label, tree in (("no errors", planning_model(size)), ("a typo per department", with_typos(planning_model(size)))):
        records = len(morvax_formulas.diagnose_tree(tree))
        with collector_paused():
            best = best_in_turns(repeat, {
                "diagnose": lambda: morvax_formulas.diagnose_tree(tree),
                "evaluate": lambda: morvax_formulas.evaluate_tree(tree, in_place=True),
                "walk": lambda: python_walk(tree),
            })
        out.append(row("diagnose_tree", f"{nodes(size)}, {label}", best["diagnose"],
                       ("evaluate_tree in place", best["evaluate"]), ("Python walk", best["walk"]),
                       note=f"{records:,} records"))
    return out


def measure_texts(repeat: int) -> list[Row]:
    out = []
    for label, text in FORMULAS.items():
        out.append(row("diagnose", f"{label}: {formula_input(text)}", per_call(morvax_formulas.diagnose, text, repeat),
                       ("evaluate", per_call(morvax_formulas.evaluate, text, repeat))))
    return out


def duration(seconds: float) -> str:
    return f"{seconds * 1e6:.2f} µs" if seconds < 1e-3 else f"{seconds * 1e3:.1f} ms"


def print_table(rows: list[Row]) -> None:
    for r in rows:
        baselines = ", ".join(f"{what} {duration(seconds)} ({r['seconds'] / seconds:.2f}x)"
                              for what, seconds in r["baselines"])
        note = f"  [{r['note']}]" if r["note"] else ""
        print(f"{r['function']:<14} {r['input']:<60} {duration(r['seconds']):>10}   {baselines}{note}")


def main() -> None:
    options = tree_options(__doc__.splitlines()[0], [10_000, 100_000])
    rows = measure_texts(options.repeat)
    for size in options.sizes:
        rows += measure_tree(size, options.repeat)
    if options.json:
        emit(rows)
    else:
        print_table(rows)


if __name__ == "__main__":
    main()
