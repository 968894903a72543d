"""Times export_tree_to_excel on a generated planning model of 10^4 and 10^5
nodes, each laid out over 12 monthly cells, beside a baseline measured in the
same run: a pure-Python walk of the same tree that reads every attribute the
export reads and writes `cells` back, without translating anything.

    python bench/bench_excel.py [--sizes 10000 100000] [--repeat 3] [--json]

--json prints the rows for bench/run.py instead of the table.
"""

from __future__ import annotations

import argparse
import random
from types import SimpleNamespace
from typing import Any

import morvax_formulas
from benchrows import Row, best_on_fresh, emit, nodes, row

MONTHS = 12
COLUMNS = "BCDEFGHIJKLM"


def make_node(name: str, formula: str | list[str], row: int) -> SimpleNamespace:
    cells = [f"{column}{row}" for column in COLUMNS]
    return SimpleNamespace(name=name, formula=formula, cells=cells, children=[], is_hidden=False)


def planning_model(size: int, seed: int = 7) -> SimpleNamespace:
    """Regions of departments of accounts: accounts hold twelve monthly
    figures or formulas over other accounts; every level above sums its
    children, with shares, year totals and month-on-month growth mixed in."""
    rng = random.Random(seed)
    rows = iter(range(1, size + 1))
    root = make_node("Plan", "=sum(children)", next(rows))
    count = 1
    accounts: list[str] = []
    while count < size:
        region = make_node(f"Region {count}", "=sum(children)", next(rows))
        root.children.append(region)
        count += 1
        for _ in range(10):
            if count >= size:
                break
            department = make_node(f"Department {count}", "=sum(children)", next(rows))
            region.children.append(department)
            count += 1
            for _ in range(rng.randint(5, 15)):
                if count >= size:
                    break
                name = f"Account {count}"
                department.children.append(make_node(name, account_formula(rng, accounts), next(rows)))
                accounts.append(name)
                count += 1
    return root


def account_formula(rng: random.Random, earlier: list[str]) -> str | list[str]:
    kind = rng.random()
    if kind < 0.4 or len(earlier) < 3:
        return [f"{rng.randint(100, 9999)},{rng.randint(0, 99):02d}" for _ in range(MONTHS)]
    a, b = (f"@{{{name}}}" for name in rng.sample(earlier[-50:], 2))
    if kind < 0.6:
        return f"={a} * 1.19 - {b} / 12"
    if kind < 0.75:
        return f"=if({a} > {b}; ratio({a}); round({b} * 5%; 2))"
    if kind < 0.9:
        return ["=right[1] * 0.98" for _ in range(MONTHS - 1)] + [f"={a}"]
    return f"=total({a}) / 12 + max({a}; {b}; 0)"


def python_walk(root: Any) -> None:
    """The baseline: every attribute the export reads, read; `cells` written."""
    todo = [root]
    while todo:
        node = todo.pop()
        _ = (getattr(node, "id", ""), node.name, node.formula, getattr(node, "is_hidden", False))
        node.cells = list(node.cells)
        todo.extend(reversed(node.children))


def measure(sizes: list[int], repeat: int) -> list[dict[str, float]]:
    export = morvax_formulas.export_tree_to_excel
    return [
        {
            "nodes": size,
            "walk": best_on_fresh(repeat, lambda: planning_model(size), python_walk),
            "in_place": best_on_fresh(repeat, lambda: planning_model(size), lambda m: export(m, in_place=True)),
            "copy": best_on_fresh(repeat, lambda: planning_model(size), export),
        }
        for size in sizes
    ]


def print_table(results: list[dict[str, float]]) -> None:
    print(f"{'nodes':>8} {'cells':>9} {'python walk s':>14} {'export in place s':>18} "
          f"{'export copy s':>14} {'in place / walk':>16} {'µs per cell':>12}")
    for f in results:
        size = int(f["nodes"])
        cells = size * MONTHS
        print(f"{size:>8} {cells:>9} {f['walk']:>14.3f} {f['in_place']:>18.3f} {f['copy']:>14.3f} "
              f"{f['in_place'] / f['walk']:>15.2f}x {f['in_place'] / cells * 1e6:>12.3f}")
    sample = planning_model(200)
    morvax_formulas.export_tree_to_excel(sample, in_place=True)
    print("\nsample cell texts:", sample.children[0].children[0].children[1].cells[:2])


def rows(results: list[dict[str, float]]) -> list[Row]:
    out = []
    for f in results:
        size = f"{nodes(int(f['nodes']))}, {int(f['nodes']) * MONTHS:,} cells"
        walk = ("Python walk", f["walk"])
        out += [
            row("export_tree_to_excel (in place)", size, f["in_place"], walk),
            row("export_tree_to_excel (on a copy)", size, f["copy"], walk),
        ]
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description="Time morvax_formulas.export_tree_to_excel.")
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--repeat", type=int, default=3, help="timing rounds; the best counts")
    parser.add_argument("--json", action="store_true", help="print the rows for bench/run.py instead")
    options = parser.parse_args()
    results = measure(options.sizes, options.repeat)
    if options.json:
        emit(rows(results))
    else:
        print_table(results)


if __name__ == "__main__":
    main()
