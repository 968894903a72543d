"""Times morvax_formulas.evaluate_tree on generated planning models of 10^4,
10^5 and 10^6 nodes with 12 dimensions, in place and on a deep copy, beside
baselines measured in the same run: a pure-Python walk that reads the six
protocol attributes of every node and sets `value`, and copy.deepcopy alone.
Then evaluates a chain of 10^6 nodes, each reading the next on demand, in a
thread with a 512 KiB stack, and reports its time and peak memory. First,
what a call costs on a small tree (one node, one department), as a request
handler makes it, beside the walk of that tree.

    python bench/bench_tree.py [--sizes 10000 100000 1000000] [--repeat N] [--no-chain] [--json]

--json prints the rows for bench/run.py instead of the table.

"bridge only" is evaluate_tree in place on the same tree with every formula
text emptied: the cost of converting and writing back alone. Its baseline is
"Python loop": what the bridge must do, done by Python itself, reading the
same attributes (the formula lists' items included) and assigning every node
a new list of 12 str. "C floor" is the cheapest C code doing the attribute
work evaluate_tree must do (bridge_floor.c, built here with the C compiler
the interpreter was built with; skipped when that fails): every attribute
read in one walk, then in a second walk `value` set and `children` read
again, since the values exist only once every formula has been read. Run on
the model itself, with its own formula texts ("C floor, the model's texts"),
it is what no evaluation can go below, parsing and computing nothing and
writing the same 12 str everywhere: the floor of the in-place call. "C,
one walk" is the same C code reading and writing each node in one walk, as
the Python loop does: what C's attribute access costs against the
interpreter's, and, against the two walks, what the second one adds.

Goals, on 10^5 nodes: in place within 4 times the walk; the bridge alone
within the Python loop; at most 24 MiB held at the peak beyond the model;
with the copy, the time beyond the copy.deepcopy it makes within the
in-place time;
10^6 nodes at most 10.5 times 10^5 nodes (both models held at once, their
calls taking turns). Figures and their baselines are taken in turns, round
after round, so that a drift of a shared machine's speed weighs on both alike.
"""

from __future__ import annotations

import argparse
import copy
import ctypes
import functools
import gc
import importlib.machinery
import importlib.util
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path
from collections.abc import Callable
from typing import Any

import morvax_formulas
from benchrows import Row, collector_paused, emit, nodes, row

MONTHS = 12
ITEMS = ["Revenue", "Salaries", "Rent", "Travel", "Bonus", "Margin", "Share", "Annual", "Forecast", "Outlook"]


class Node:
    def __init__(self, name: str, formula: str | list[str], children: list[Node] | None = None) -> None:
        self.id = name
        self.name = name
        self.formula = formula
        self.value: str | list[str] = ""
        self.is_hidden = False
        self.cells: list[str] = []
        self.children = children or []


def department(k: int) -> Node:
    """A department with line items. Item names repeat in every department, so
    references pick their own department's item by index (k + 1)."""
    j = k + 1
    month = range(MONTHS)
    items = [
        Node("Revenue", [str(1000 + (k * 7 + m * 13) % 500) for m in month]),
        Node("Salaries", [str(600 + (k * 3 + m * 5) % 200) for m in month]),
        Node("Rent", "450"),
        Node("Travel", [f"=@Salaries[{j}] * 0.{m % 9 + 1}" for m in month]),
        Node("Bonus", f"=@Salaries[{j}] * 0.05"),
        Node("Margin", f"=@Revenue[{j}] - @Salaries[{j}] - @Rent[{j}] - @Travel[{j}]"),
        Node("Share", f"=ratio(@Revenue[{j}])"),
        Node("Annual", f"=total(@Salaries[{j}]) * 12"),
        Node("Forecast", [*("=right[1] * 1.01" for _ in range(MONTHS - 1)), "=100"]),
        Node("Outlook", [f"=@Margin[{j}] + sum(right) / 12" for _ in month]),
    ]
    return Node(f"Dept{k}", "=sum(children)", items)


def planning_model(nodes: int) -> Node:
    departments = max(1, (nodes - 1) // (len(ITEMS) + 1))
    return Node("Company", "=sum(children)", [department(k) for k in range(departments)])


def emptied(root: Node) -> Node:
    """The same tree with every formula text empty: what the bridge alone costs."""
    def blank(formula: str | list[str]) -> str | list[str]:
        return "" if isinstance(formula, str) else [""] * len(formula)

    return Node(root.name, blank(root.formula), [emptied(child) for child in root.children])


def count_nodes(root: Node) -> int:
    return 1 + sum(len(d.children) + 1 for d in root.children)


def python_walk(root: Any) -> None:
    """The baseline: touch every node the way the bridge must, in pure Python."""
    todo = [root]
    while todo:
        node = todo.pop()
        node.id, node.name, node.formula, node.is_hidden, node.cells  # noqa: B018 - the reads are the point
        children = node.children
        node.value = ""
        todo.extend(children)


TWELVE = [f"{1000 + 17 * m}" for m in range(MONTHS)]


def python_loop(root: Any) -> None:
    """The bridge's work done by Python: the attributes read, the formula
    lists iterated, a new list of 12 str assigned to every node."""
    todo = [root]
    while todo:
        node = todo.pop()
        node.id, node.name, node.is_hidden, node.cells  # noqa: B018 - the reads are the point
        formula = node.formula
        if not isinstance(formula, str):
            for _ in formula:
                pass
        children = node.children
        node.value = TWELVE[:]
        todo.extend(children)


def python_writes(root: Any) -> Any:
    """The loop's writes alone: a new list of 12 str assigned to every node."""
    todo = [root]
    while todo:
        node = todo.pop()
        node.value = TWELVE[:]
        todo.extend(node.children)
    return root


def load_floor() -> Callable[..., None] | None:
    """bridge_floor.c's floor(root, values, one_walk=False), compiled into a
    temporary folder; None, with the reason on stderr, where it cannot be
    built."""
    source = Path(__file__).with_name("bridge_floor.c")
    folder = Path(tempfile.mkdtemp(prefix="bridge_floor"))
    target = folder / ("bridge_floor" + (sysconfig.get_config_var("EXT_SUFFIX") or ".so"))
    compiler = shlex.split(sysconfig.get_config_var("CC") or "cc")
    command = [*compiler, "-O2", "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}", str(source), "-o", str(target)]
    try:
        subprocess.run(command, check=True, capture_output=True, text=True)
    except (OSError, subprocess.CalledProcessError) as failure:
        print(f"C floor skipped: {' '.join(command)} failed: {getattr(failure, 'stderr', '') or failure}", file=sys.stderr)
        return None
    loader = importlib.machinery.ExtensionFileLoader("bridge_floor", str(target))
    spec = importlib.util.spec_from_file_location("bridge_floor", target, loader=loader)
    assert spec is not None
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    shutil.rmtree(folder)  # loaded: the file is no longer needed
    floor: Callable[..., None] = module.floor
    return floor


def best_of(repeat: int, run: Callable[[], object], before: Callable[[], object] | None = None) -> float:
    """The best time of `repeat` runs; `before`, when given, runs untimed ahead of each."""
    times = []
    for _ in range(repeat):
        if before is not None:
            before()
        gc.collect()
        start = time.perf_counter()
        result = run()
        # Freeing what the call returned (a copy of the tree) is the
        # caller's work, after the call: not timed.
        times.append(time.perf_counter() - start)
        del result
    return min(times)


def best_in_turns(repeat: int, runs: dict[str, Callable[[], object]],
                  before: Callable[[], object] | None = None) -> dict[str, float]:
    """Each run's best of `repeat` rounds, the runs taking turns in every round:
    a drift of the shared machine's speed then weighs on a figure and its
    baseline alike. `before`, when given, runs untimed ahead of every run."""
    best = dict.fromkeys(runs, float("inf"))
    for _ in range(repeat):
        for name, run in runs.items():
            best[name] = min(best[name], best_of(1, run, before))
    return best


def beyond_own_deepcopy(repeat: int, run: Callable[[], object], before: Callable[[], object]) -> float:
    """The best of `repeat` runs' time beyond the copy.deepcopy they call, the
    deepcopy timed inside each run: the difference of two separate runs of a
    second or more drifts by more than the in-place call takes. `before` runs
    untimed ahead of each."""
    original = copy.deepcopy
    inner: list[float] = []

    def timed(x: Any, memo: dict[int, Any] | None = None) -> Any:
        setattr(copy, "deepcopy", original)  # its own recursion goes untimed
        start = time.perf_counter()
        try:
            return original(x, memo)
        finally:
            inner.append(time.perf_counter() - start)
            setattr(copy, "deepcopy", timed)

    best = float("inf")
    setattr(copy, "deepcopy", timed)
    try:
        for _ in range(repeat):
            before()
            inner.clear()
            gc.collect()
            start = time.perf_counter()
            result = run()
            total = time.perf_counter() - start
            del result
            best = min(best, total - sum(inner))
    finally:
        copy.deepcopy = original
    return best


def status_mib(field: str) -> float | None:
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return None


def call_memory(run: Callable[[], object]) -> float | None:
    """MiB a call holds at its peak beyond what the process held before it
    (Linux: the peak is reset through /proc/self/clear_refs first); None where
    that cannot be measured."""
    gc.collect()
    try:
        # Memory the allocator keeps after earlier calls would take the call's
        # allocations unseen: it goes back to the system first.
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError, TypeError):  # not glibc
        pass
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # resets VmHWM to the current RSS
    except OSError:
        return None
    before = status_mib("VmRSS")
    run()
    peak = status_mib("VmHWM")
    return None if before is None or peak is None else peak - before


def measure(nodes: int, repeat: int, floor: Callable[..., None] | None) -> dict[str, float]:
    root = planning_model(nodes)
    evaluate_tree = morvax_formulas.evaluate_tree
    with collector_paused():
        bridge_only = emptied(root)
        # At least two rounds at every size: the first call on a model makes
        # its value lists where the walk left strings, and the sizes are
        # compared call for call. The walk is cheap and the baseline of every
        # ratio: it runs three times a round.
        # Every run starts from both trees' values set to "" (by walks, not
        # timed), as a model's are before its first evaluation: each side
        # then replaces the same values, rather than whatever the run before
        # it left (the lists of another side, which it would pay to free).
        floor_run = {"floor": lambda: floor(bridge_only, TWELVE),
                     "floor_one_walk": lambda: floor(bridge_only, TWELVE, True)} if floor is not None else {}
        model_floor = {"model_floor": lambda: floor(root, TWELVE)} if floor is not None else {}
        figures = best_in_turns(max(repeat, 2), {
            **model_floor,
            "walk": lambda: [python_walk(root) for _ in range(3)],
            "loop": lambda: python_loop(bridge_only),
            **floor_run,
            "bridge": lambda: evaluate_tree(bridge_only, in_place=True),
            "in_place": lambda: evaluate_tree(root, in_place=True),
        }, before=lambda: (python_walk(root), python_walk(bridge_only)))
        figures["walk"] = best_of(3 * max(repeat, 2), lambda: python_walk(root))
        # The copy is compared with copy.deepcopy alone, which it contains.
        # Its runs too start from every value "", as the in-place runs did.
        figures |= best_in_turns(repeat, {"deepcopy": lambda: copy.deepcopy(root),
                                          "copy": lambda: evaluate_tree(root)}, before=lambda: python_walk(root))
        figures["beyond_copy"] = beyond_own_deepcopy(repeat, lambda: evaluate_tree(root), before=lambda: python_walk(root))
        # What writing onto a copy just made costs Python itself: the loop's
        # writes on a fresh deepcopy, beyond that deepcopy, against in place.
        figures["writes_in_place"] = best_of(repeat, lambda: python_writes(root), before=lambda: python_walk(root))
        figures["writes_beyond_copy"] = beyond_own_deepcopy(repeat, lambda: python_writes(copy.deepcopy(root)),
                                                            before=lambda: python_walk(root))
        # The values are in place by now: what is left is the call's own tables.
        memory = call_memory(lambda: evaluate_tree(root, in_place=True))
        if memory is not None:
            figures["memory"] = memory
    figures["nodes"] = count_nodes(root)
    if not (isinstance(root.value, list) and len(root.value) == MONTHS):
        raise SystemExit(f"evaluate_tree left the root with {root.value!r}")
    return figures


def scaling(small: int, large: int, repeat: int) -> dict[str, float]:
    """In-place calls on both models held at once, taking turns round after
    round, with the walk of each beside them: the ratio of the sizes is then
    taken as every other ratio is, not from two measures minutes apart, one
    of them with only two rounds."""
    models = {size: planning_model(size) for size in (small, large)}
    for root in models.values():
        morvax_formulas.evaluate_tree(root, in_place=True)  # the value lists in place, as in every round
    with collector_paused():
        runs: dict[str, Callable[[], object]] = {}
        for size, root in models.items():
            runs[f"in_place {size}"] = functools.partial(morvax_formulas.evaluate_tree, root, in_place=True)
            runs[f"walk {size}"] = functools.partial(python_walk, root)
        best = best_in_turns(repeat, runs)
    return {"in_place": best[f"in_place {large}"] / best[f"in_place {small}"],
            "walk": best[f"walk {large}"] / best[f"walk {small}"]}


SMALL_TREES = {
    "one node": lambda: Node("Total", "=1 + 2"),
    "a department, 11 nodes": lambda: department(0),
}


def small_figures(repeat: int) -> dict[str, dict[str, float]]:
    """Microseconds a call on a small tree costs (a request handler's case,
    where what a call sets up counts more than what it reads), in place,
    beside the Python walk of the same tree, in turns."""
    out = {}
    calls = 2000
    for label, make in SMALL_TREES.items():
        root = make()
        morvax_formulas.evaluate_tree(root, in_place=True)
        best = best_in_turns(max(repeat, 3), {
            "walk": lambda: [python_walk(root) for _ in range(calls)],
            "call": lambda: [morvax_formulas.evaluate_tree(root, in_place=True) for _ in range(calls)],
        })
        out[label] = {name: seconds / calls * 1e6 for name, seconds in best.items()}
    return out


def verdict(ok: bool) -> str:
    return "met" if ok else "NOT met"


CHAIN_SCRIPT = """
import sys, threading, time
import morvax_formulas
sys.path.insert(0, {bench!r})
from bench_tree import Node, status_mib
length = {length}
root = Node("root", "=@n0", [Node(f"n{{i}}", f"=@n{{i + 1}} + 1") for i in range(length - 1)])
root.children.append(Node(f"n{{length - 1}}", "=1"))
def peak_mib():
    # VmHWM belongs to this process image; ru_maxrss would carry the parent's peak over exec.
    return status_mib("VmHWM")
before = peak_mib()
result = {{}}
def run():
    start = time.perf_counter()
    morvax_formulas.evaluate_tree(root, in_place=True)
    result["seconds"] = time.perf_counter() - start
threading.stack_size(512 * 1024)
worker = threading.Thread(target=run)
worker.start()
worker.join()
if root.value != str(length):
    raise SystemExit(f"the chain evaluated to {{root.value!r}}, not {{length}}")
print(result["seconds"], before, peak_mib())
"""


def chain_figures(length: int) -> tuple[float, float, float]:
    """Seconds, peak RSS in MiB before and after the evaluation (a fresh process)."""
    script = CHAIN_SCRIPT.format(bench=sys.path[0], length=length)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    seconds, before, after = (float(x) for x in done.stdout.split())
    return seconds, before, after


def print_table(results: dict[int, dict[str, float]], chain: tuple[float, float, float] | None,
                small: dict[str, dict[str, float]], scale: dict[str, float] | None) -> None:
    for label, f in small.items():
        print(f"{label}: in place {f['call']:.2f} us a call, Python walk {f['walk']:.2f} us")
    print(f"{'nodes':>9} {'walk s':>8} {'in_place s':>11} {'x walk':>7} {'deepcopy s':>11} "
          f"{'copy s':>8} {'beyond its copy':>16} {'loop s':>8} {'bridge only s':>14} {'call MiB':>9}")
    for f in results.values():
        memory = f"{f['memory']:9.0f}" if "memory" in f else f"{'-':>9}"
        print(f"{int(f['nodes']):>9} {f['walk']:8.3f} {f['in_place']:11.3f} {f['in_place'] / f['walk']:7.2f} "
              f"{f['deepcopy']:11.3f} {f['copy']:8.3f} {f['beyond_copy']:16.3f} {f['loop']:8.3f} "
              f"{f['bridge']:14.3f} {memory}")
    print("loop: the Python loop doing the bridge's attribute work; bridge only: formulas emptied")
    for f in results.values():
        if "floor" in f:
            print(f"{int(f['nodes']):>9} nodes: C floor {f['floor']:.3f} s = {f['floor'] / f['loop']:.2f}x the loop; "
                  f"bridge only {f['bridge'] / f['floor']:.2f}x the floor; C, one walk "
                  f"{f['floor_one_walk'] / f['loop']:.2f}x the loop")
        if "model_floor" in f:
            print(f"{int(f['nodes']):>9} nodes: C floor on the model's own texts {f['model_floor']:.3f} s = "
                  f"{f['model_floor'] / f['walk']:.2f}x the walk; in place {f['in_place'] / f['model_floor']:.2f}x "
                  "that floor")
    print("beyond its copy: a copy's call timed less the copy.deepcopy inside it")
    print("call MiB: memory an in-place call holds at its peak beyond the model with its values")

    print()
    if 100_000 in results:
        f = results[100_000]
        print(f"goal: in place on 10^5 nodes within 4x the walk: {f['in_place'] / f['walk']:.2f}x -> "
              f"{verdict(f['in_place'] <= 4 * f['walk'])}"
              + (f" (the floor alone {f['model_floor'] / f['walk']:.2f}x)" if "model_floor" in f else ""))
        print(f"goal: the bridge alone within the Python loop: {f['bridge'] / f['loop']:.2f}x -> "
              f"{verdict(f['bridge'] <= f['loop'])}"
              + (f" (the floor alone {f['floor'] / f['loop']:.2f}x)" if "floor" in f else ""))
        if "memory" in f:
            print(f"goal: at most 24 MiB held at the peak: {f['memory']:.0f} MiB -> {verdict(f['memory'] <= 24)}")
        print(f"goal: copy beyond its deepcopy within in place: {f['beyond_copy']:.3f} s vs "
              f"{f['in_place']:.3f} s -> {verdict(f['beyond_copy'] <= f['in_place'])} "
              f"(the two runs' difference: {f['copy'] - f['deepcopy']:.3f} s); the loop's writes in Python: "
              f"{f['writes_beyond_copy']:.3f} s onto a fresh copy vs {f['writes_in_place']:.3f} s in place, "
              f"{f['writes_beyond_copy'] / f['writes_in_place']:.2f}x")
        if scale is not None:
            print(f"goal: 10^6 nodes at most 10.5x 10^5 (both held, in turns): {scale['in_place']:.2f}x -> "
                  f"{verdict(scale['in_place'] <= 10.5)}; the walk {scale['walk']:.2f}x")
    if chain is not None:
        seconds, before, after = chain
        print(f"chain of 10^6 on-demand links, 512 KiB thread stack: {seconds:.2f} s, "
              f"peak RSS {before:.0f} MiB before, {after:.0f} MiB after")


def rows(results: dict[int, dict[str, float]], chain: tuple[float, float, float] | None,
         small: dict[str, dict[str, float]]) -> list[Row]:
    out = [row("evaluate_tree (in place)", label, f["call"] / 1e6, ("Python walk", f["walk"] / 1e6))
           for label, f in small.items()]
    for f in results.values():
        size = nodes(int(f["nodes"]))
        walk = ("Python walk", f["walk"])
        memory = f"holds {f['memory']:.0f} MiB at its peak" if "memory" in f else ""
        out += [
            row("evaluate_tree (in place)", size, f["in_place"], walk,
                *([("C floor, the model's texts", f["model_floor"])] if "model_floor" in f else []), note=memory),
            row("evaluate_tree (on a copy)", size, f["copy"], ("copy.deepcopy", f["deepcopy"]), walk),
            row("evaluate_tree (formulas emptied)", size, f["bridge"], ("Python loop", f["loop"]), walk,
                *([("C floor", f["floor"]), ("C, one walk", f["floor_one_walk"])] if "floor" in f else []),
                note="the bridge alone"),
        ]
    if chain is not None:
        seconds, before, after = chain
        out.append(row("evaluate_tree (in place)", "chain of 10^6 links", seconds,
                       note=f"512 KiB thread stack; peak RSS {before:.0f} -> {after:.0f} MiB"))
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description="Time morvax_formulas.evaluate_tree.")
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--repeat", type=int, default=3, help="timing rounds per figure; the best counts")
    parser.add_argument("--no-chain", action="store_true", help="skip the 10^6-node chain")
    parser.add_argument("--json", action="store_true", help="print the rows for bench/run.py instead")
    options = parser.parse_args()

    floor = load_floor()
    small = small_figures(options.repeat)
    results = {size: measure(size, options.repeat if size < 1_000_000 else 1, floor) for size in options.sizes}
    # Only the table shows the ratio of the sizes.
    both = not options.json and {100_000, 1_000_000} <= set(options.sizes)
    scale = scaling(100_000, 1_000_000, options.repeat) if both else None
    chain = None if options.no_chain else chain_figures(1_000_000)
    if options.json:
        emit(rows(results, chain, small))
    else:
        print_table(results, chain, small, scale)


if __name__ == "__main__":
    main()
