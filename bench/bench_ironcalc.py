"""Compares evaluate_tree with a general spreadsheet engine on the same model:
the 10^5-node planning model of bench_tree.py is laid out one row per node,
exported with export_tree_to_excel, written as a workbook with openpyxl and
loaded into IronCalc (PyPI `ironcalc`, an optional comparison: the script says
so and stops when it is not installed). Timed, alternating in one run: our
evaluate_tree in place on the tree, and IronCalc's evaluate() of the loaded
workbook (its load is not counted).

    python bench/bench_ironcalc.py [--size 100000] [--repeat 5] [--json]

Goal: in place at least 5 times faster than IronCalc's evaluate step.
"""

from __future__ import annotations

import argparse
import gc
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import morvax_formulas
from bench_tree import MONTHS, Node, planning_model
from benchrows import collector_paused, emit, nodes, row

COLUMNS = [chr(ord("B") + m) for m in range(MONTHS)]


def lay_out(root: Node) -> list[Node]:
    """Every node a row of its own, its cells the twelve months; pre-order."""
    rows: list[Node] = []
    todo = [root]
    while todo:
        current = todo.pop()
        current.cells = [f"{column}{len(rows) + 1}" for column in COLUMNS]
        rows.append(current)
        todo.extend(reversed(current.children))
    return rows


def workbook(root: Node, path: Path) -> None:
    import openpyxl

    # The example's conversion of cell texts into what the file stores.
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
    from export_to_xlsx import cell_value

    rows = lay_out(root)
    addresses = [list(n.cells) for n in rows]
    exported = morvax_formulas.export_tree_to_excel(root)
    book = openpyxl.Workbook(write_only=True)
    sheet = book.create_sheet()
    todo = [exported]
    for cells in addresses:
        current = todo.pop()
        todo.extend(reversed(current.children))
        texts = current.cells if isinstance(current.cells, list) else [current.cells]
        sheet.append([None] + [cell_value(text) for text in texts[: len(cells)]])
    book.save(path)


def best(repeat: int, runs: dict[str, Any]) -> dict[str, float]:
    """Each run's best of `repeat` rounds, the runs taking turns every round."""
    times = dict.fromkeys(runs, float("inf"))
    for _ in range(repeat):
        for name, run in runs.items():
            gc.collect()
            start = time.perf_counter()
            run()
            times[name] = min(times[name], time.perf_counter() - start)
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description="evaluate_tree beside IronCalc's evaluate step.")
    parser.add_argument("--size", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--json", action="store_true", help="print the rows for bench/run.py instead")
    options = parser.parse_args()
    try:
        import ironcalc
        import openpyxl  # noqa: F401 - the workbook is written with it
    except ImportError as missing:
        if options.json:
            emit([])
        else:
            print(f"skipped: {missing.name} is not installed (pip install ironcalc openpyxl)")
        return

    root = planning_model(options.size)
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "model.xlsx"
        workbook(root, path)
        model = ironcalc.load_from_xlsx(str(path), "en", "UTC")
    with collector_paused():
        figures = best(options.repeat, {
            "ours": lambda: morvax_formulas.evaluate_tree(root, in_place=True),
            "ironcalc": model.evaluate,
        })
    size = nodes(len(lay_out(root)))
    if options.json:
        emit([row("evaluate_tree (in place)", size, figures["ours"], ("IronCalc evaluate()", figures["ironcalc"]),
                  note="the same model exported to a workbook")])
        return
    speedup = figures["ironcalc"] / figures["ours"]
    print(f"{size}, {MONTHS} months: evaluate_tree in place {figures['ours']:.3f} s, "
          f"IronCalc evaluate() {figures['ironcalc']:.3f} s: {speedup:.1f}x faster")
    print(f"goal: at least 5x faster than IronCalc's evaluate step -> {'met' if speedup >= 5 else 'NOT met'}")


if __name__ == "__main__":
    sys.exit(main())
