"""Times rename_nodes, expand_tree_formulas and explain_node on the generated
planning model of bench_tree.py at 10^4 and 10^5 nodes, beside baselines
measured in the same run: the pure-Python walk of bench_tree.py, which reads
the protocol attributes of every node, and copy.deepcopy alone.

    python bench/bench_transform.py [--sizes 10000 100000] [--chains 10000 1000000] [--repeat N] [--json]

--json prints the rows for bench/run.py instead of the table.

- rename: the model (every node given a unique id) against a copy in which
  every line item is renamed to a name unique over the model ("Revenue 7"),
  so every reference of every formula is rewritten; in place, and on a copy.
  "rename one": a copy in which one department is renamed, an edit that no
  formula's reference follows: what a user's single rename costs.
- expand: the renamed model, where every reference finds exactly one node, so
  everything expands down to the input items (the root's formula holds the
  whole model: the output is far larger than the input).
- explain: the last department's Outlook, the last node in pre-order.
- explain, chain: the first link of a chain of n links, each `=@n{i+1} + 1`:
  its formula holds the whole chain (6 bytes a link), while the expansions
  of all the links together would be as long as the chain's square.

Goal: linear work, each function at 10^5 nodes at most 11 times its time at
10^4 (expand also beyond its deep copy, which the interpreter makes). The walk
is the floor every function stands on (each reads every node through the same
attributes); the time beyond it is converting, scanning every formula that can
hold a reference, and writing back.
"""

from __future__ import annotations

import copy
from typing import Any

import morvax_formulas
from benchrows import Row, best_on_fresh, collector_paused, emit, nodes, row, tree_options
from bench_tree import Node, best_of, planning_model, python_walk, status_mib


def preorder(root: Node) -> list[Node]:
    out, todo = [], [root]
    while todo:
        node = todo.pop()
        out.append(node)
        todo.extend(reversed(node.children))
    return out


def with_unique_ids(root: Node) -> Node:
    for i, node in enumerate(preorder(root)):
        node.id = f"n{i}"
    return root


def one_department_renamed(root: Node) -> Node:
    new = copy.deepcopy(root)
    new.children[len(new.children) // 2].name = "Sales"
    return new


def renamed(root: Node) -> Node:
    """A copy with every line item of department k named "<item> k"."""
    new = copy.deepcopy(root)
    for k, department in enumerate(new.children):
        for item in department.children:
            item.name = f"{item.name} {k}"
    return new


def text_size(root: Node) -> int:
    def size(formula: str | list[str]) -> int:
        return len(formula) if isinstance(formula, str) else sum(map(len, formula))

    return sum(size(node.formula) for node in preorder(root))


def measure(nodes: int, repeat: int) -> dict[str, Any]:
    old = with_unique_ids(planning_model(nodes))
    new = renamed(old)
    rename_nodes = morvax_formulas.rename_nodes
    expand_tree_formulas = morvax_formulas.expand_tree_formulas
    last = preorder(old)[-1]
    with collector_paused():
        unique = rename_nodes(old, new)
        figures: dict[str, Any] = {
            "walk": best_of(repeat, lambda: python_walk(old)),
            "deepcopy": best_of(repeat, lambda: copy.deepcopy(new)),
            "rename_in_place": best_on_fresh(repeat, lambda: renamed(old),
                                             lambda fresh: rename_nodes(old, fresh, in_place=True)),
            "rename_copy": best_of(repeat, lambda: rename_nodes(old, new)),
            "rename_one": best_on_fresh(repeat, lambda: one_department_renamed(old),
                                        lambda fresh: rename_nodes(old, fresh, in_place=True)),
            "expand": best_of(repeat, lambda: expand_tree_formulas(unique)),
            "explain": best_of(repeat, lambda: morvax_formulas.explain_node(unique, last.id)),
        }
    figures["nodes"] = len(preorder(old))
    figures["input_mb"] = text_size(unique) / 1e6
    figures["expanded_mb"] = text_size(expand_tree_formulas(unique)) / 1e6
    return figures


def chain(length: int) -> Node:
    links = [Node(f"n{i}", f"=@n{i + 1} + 1") for i in range(length)]
    return Node("root", "", [*links, Node(f"n{length}", "1")])


def measure_chain(length: int, repeat: int) -> dict[str, Any]:
    """explain_node on the first link; `seconds` is None when it raised MemoryError."""
    root = chain(length)
    figures: dict[str, Any] = {"length": length, "walk": best_of(repeat, lambda: python_walk(root))}
    expected = 6 * length + 1 + len(str(length))
    with collector_paused():
        try:
            record = morvax_formulas.explain_node(root, "n0")
            if record is None or len(record["formula"]) != expected:
                raise SystemExit(f"explain_node on a chain of {length} gave an unexpected formula")
            figures["seconds"] = best_of(repeat, lambda: morvax_formulas.explain_node(root, "n0"))
        except MemoryError:
            figures["seconds"] = None
    figures["peak_mib"] = status_mib("VmHWM")
    return figures


def print_chains(chains: list[dict[str, Any]]) -> None:
    print(f"{'links':>9} {'walk':>8} {'explain first link':>19}")
    for f in chains:
        explain = "MemoryError" if f["seconds"] is None else f"{f['seconds'] * 1e3:.1f}ms"
        print(f"{f['length']:>9} {f['walk'] * 1e3:>6.1f}ms {explain:>19}   (peak RSS so far {f['peak_mib']:.0f} MiB)")


def print_table(results: list[dict[str, Any]]) -> None:
    print(f"{'nodes':>7} {'walk':>8} {'deepcopy':>9} {'rename in place':>16} {'rename copy':>12} "
          f"{'rename one':>11} {'expand':>8} {'explain':>8} {'formulas MB':>12} {'expanded MB':>12}")
    for f in results:
        print(f"{f['nodes']:>7} {f['walk'] * 1e3:>6.1f}ms {f['deepcopy'] * 1e3:>7.1f}ms "
              f"{f['rename_in_place'] * 1e3:>14.1f}ms {f['rename_copy'] * 1e3:>10.1f}ms "
              f"{f['rename_one'] * 1e3:>9.1f}ms "
              f"{f['expand'] * 1e3:>6.1f}ms {f['explain'] * 1e3:>6.1f}ms "
              f"{f['input_mb']:>12.2f} {f['expanded_mb']:>12.2f}")
    for f in results:
        print(f"{f['nodes']:>7} nodes: rename in place {f['rename_in_place'] / f['walk']:.1f}x the walk, "
              f"one department renamed {f['rename_one'] / f['walk']:.1f}x, "
              f"expand {f['expand'] / f['walk']:.1f}x, explain {f['explain'] / f['walk']:.1f}x")
    for small, large in zip(results, results[1:]):
        for key in ("walk", "deepcopy", "rename_in_place", "rename_copy", "rename_one", "expand", "explain"):
            print(f"{key}: {large['nodes']} nodes took {large[key] / small[key]:.1f}x "
                  f"the time of {small['nodes']} nodes")
        # expand returns a deep copy, whose own growth is the interpreter's.
        small_own, large_own = (f["expand"] - f["deepcopy"] for f in (small, large))
        if small_own > 0 and large_own > 0:
            print(f"expand beyond its deepcopy: {large['nodes']} nodes took {large_own / small_own:.1f}x "
                  f"the time of {small['nodes']} nodes")


def rows(results: list[dict[str, Any]], chains: list[dict[str, Any]]) -> list[Row]:
    out = []
    for f in results:
        size = nodes(f["nodes"])
        walk = ("Python walk", f["walk"])
        out += [
            row("rename_nodes (in place)", size, f["rename_in_place"], walk),
            row("rename_nodes (on a copy)", size, f["rename_copy"], ("copy.deepcopy", f["deepcopy"]), walk),
            row("rename_nodes (in place, one department renamed)", size, f["rename_one"], walk),
            row("expand_tree_formulas", size, f["expand"], ("copy.deepcopy", f["deepcopy"]), walk,
                note=f"formulas {f['input_mb']:.2f} MB -> {f['expanded_mb']:.2f} MB"),
            row("explain_node", size, f["explain"], walk, note="the last node in pre-order"),
        ]
    for f in chains:
        if f["seconds"] is None:
            raise SystemExit(f"explain_node on a chain of {f['length']} links raised MemoryError")
        out.append(row("explain_node", f"chain of {f['length']:,} links", f["seconds"], ("Python walk", f["walk"]),
                       note=f"the first link: {6 * f['length'] + 1 + len(str(f['length'])):,} bytes of formula"))
    return out


def main() -> None:
    options = tree_options(__doc__.splitlines()[0], [10_000, 100_000], chains=[10_000, 1_000_000])
    results = [measure(size, options.repeat) for size in options.sizes]
    chains = [measure_chain(length, options.repeat if length < 1_000_000 else 1) for length in options.chains]
    if options.json:
        emit(rows(results, chains))
    else:
        print_table(results)
        print()
        print_chains(chains)


if __name__ == "__main__":
    main()
