"""Every function under an address-space limit (RLIMIT_AS) just above what the
process already uses: each call either succeeds or raises MemoryError, with a
tree it was not to change left as it was; the process never aborts. Each
function runs in a child process that sweeps the headroom, lowering the limit
before each call and lifting it after."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

from buildtools import sanitized

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="RLIMIT_AS and /proc are Linux's"),
    pytest.mark.skipif(sanitized(), reason="the sanitizer reserves far more address space than any limit"),
]

CHILD = textwrap.dedent(
    """
    import ctypes, gc, resource, sys
    import morvax_formulas as mf
    from types import SimpleNamespace as N

    def tree():
        kids = [N(id=f"i{i}", name=f"n{i}", formula=[f"=@n{i - 1} + 1" if i else "1", "=right[1]", "=2"],
                  cells=[f"A{i}", f"B{i}", f"C{i}"], children=[N(name="x", formula="=1", children=[])])
                for i in range(2000)]
        return N(id="root", name="root", formula="=sum(children)", cells="A0", children=kids)

    def snapshot(root):
        if not hasattr(root, "children"):
            return root
        out, todo = [], [root]
        while todo:
            n = todo.pop()
            out.append((n.name, n.formula, getattr(n, "value", None), getattr(n, "cells", None)))
            todo.extend(n.children)
        return out

    CALLS = {
        "evaluate": lambda t: mf.evaluate("=" + "+".join(["abs(1)"] * 3000)),
        "evaluate_boolean": lambda t: mf.evaluate_boolean(" and ".join(["(1>0)"] * 3000)),
        "get_tokens": lambda t: mf.get_tokens("=" + "+".join(["@a"] * 3000)),
        "evaluate_tree": lambda t: mf.evaluate_tree(t),
        "evaluate_tree_in_place": lambda t: mf.evaluate_tree(t, in_place=True),
        "expand_tree_formulas": lambda t: mf.expand_tree_formulas(t),
        "rename_nodes": lambda t: mf.rename_nodes(t, tree()),
        "explain_node": lambda t: mf.explain_node(t, "i1999"),
        "export_tree_to_excel": lambda t: mf.export_tree_to_excel(t),
        "export_in_place": lambda t: mf.export_tree_to_excel(t, in_place=True),
    }
    name = sys.argv[1]
    # Headroom from nothing up to 1.5 MiB in steps of 32 KiB, then up to 25 MiB
    # in steps of 512 KiB.
    headrooms = [k << 15 for k in range(48)] + [(3 << 19) + (k << 19) for k in range(48)]
    call = CALLS[name]
    in_place = name.endswith("in_place")
    root = tree()
    expected = snapshot(call(root) if not in_place else call(tree()))
    before = snapshot(root)

    def vm_size():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))

    # Memory freed by one call would serve the next one: give it back first.
    trim = getattr(ctypes.CDLL(None), "malloc_trim", lambda pad: 0)
    failed = succeeded = 0
    for headroom in headrooms:
        subject = tree() if in_place else root
        gc.collect()
        trim(0)
        limit = vm_size() + headroom
        resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
        try:
            result = call(subject)
        except MemoryError:
            result = None
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        if result is None:
            failed += 1
            assert in_place or snapshot(root) == before, "the caller's tree changed"
        else:
            succeeded += 1
            assert snapshot(result) == expected, "a different result"
    print(failed, succeeded)
    """
)

FUNCTIONS = ["evaluate", "evaluate_boolean", "get_tokens", "evaluate_tree", "evaluate_tree_in_place",
             "expand_tree_formulas", "rename_nodes", "explain_node", "export_tree_to_excel", "export_in_place"]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_memory_error_or_success_never_an_abort(name: str) -> None:
    done = subprocess.run([sys.executable, "-c", CHILD, name],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-2000:]
    failed, succeeded = map(int, done.stdout.split())
    assert failed > 0 and succeeded > 0, "the sweep should reach both outcomes"


def test_a_one_node_tree_needs_no_large_mapping() -> None:
    code = textwrap.dedent(
        """
        import resource, morvax_formulas as mf
        from types import SimpleNamespace as N
        one = N(name="a", formula="=1+1", children=[])
        with open("/proc/self/status") as status:
            vm = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (vm + (4 << 20), resource.RLIM_INFINITY))
        assert bytearray(2 << 20)
        print(mf.evaluate_tree(one).value)
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout.strip()) == (0, "2"), done.stderr[-2000:]


# A series of 4,000 dimensions each reading later ones: diagnose_tree reads
# them in address space linear in the series. Each dimension used to reserve
# room for all later values before reading them, nested 4,000 deep (380 MB).
@pytest.mark.parametrize("formula", ["=right[1] + 1", "=sum(right) * 0 + 1"])
def test_diagnose_tree_of_a_right_series_fits_a_small_headroom(formula: str) -> None:
    code = textwrap.dedent(
        """
        import resource, sys, morvax_formulas as mf
        from types import SimpleNamespace as N
        series = N(name="s", formula=[sys.argv[1]] * 3999 + ["=0"], children=[])
        with open("/proc/self/status") as status:
            vm = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (vm + (128 << 20), resource.RLIM_INFINITY))
        print(len(mf.diagnose_tree(series)))
        """
    )
    done = subprocess.run([sys.executable, "-c", code, formula], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split() == ["0"]


# Nodes that all share one name, each reading that name: each evaluation
# reads the others, the first not yet evaluated on demand, so evaluations
# nest as deep as there are nodes, each in the middle of reading the name's
# values. Those values used to be held at every level (n^2 / 2 of them: the
# process peaked at 2.1 to 3.4 GB for these 12,000 nodes), and diagnose_tree
# kept every cycle it met.
@pytest.mark.parametrize(("function", "formula", "count", "expected"), [
    ("evaluate_tree", "=sum(@x)", 12000, "REF!"),
    ("evaluate_tree", "=iferror(median(@x); 2)", 12000, "2"),
    ("evaluate_tree", "=coalesce(@x)", 12000, "1"),
    ("diagnose_tree", "=sum(@x)", 6000, "cycle"),
])
def test_a_name_read_by_its_own_nodes_nested_fits_a_small_headroom(
        function: str, formula: str, count: int, expected: str) -> None:
    code = textwrap.dedent(
        """
        import resource, sys, morvax_formulas as mf
        from types import SimpleNamespace as N
        function, formula, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
        numbers = [N(name="x", formula="1", children=[]) for _ in range(count)]
        readers = [N(name="x", formula=formula, children=[]) for _ in range(count)]
        root = N(name="r", formula="", children=numbers + readers)
        with open("/proc/self/status") as status:
            vm = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (vm + (400 << 20), resource.RLIM_INFINITY))
        if function == "evaluate_tree":
            print(*{reader.value for reader in mf.evaluate_tree(root).children[count:]})
        else:
            problems = mf.diagnose_tree(root)
            print(*{problem["cause"] for problem in problems}, len(problems))
        """
    )
    done = subprocess.run([sys.executable, "-c", code, function, formula, str(count)],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split() == ([expected] if function == "evaluate_tree" else [expected, str(count)])


# 40,000 nodes beside one formula list of 40,000 entries: every node is a
# cell in each of its dimensions, but a number, or a formula reading only
# what is the same in every dimension, is stored once for all of them. They
# used to mark each dimension in tables of a bit per node and dimension (400
# MB), and be evaluated in each (diagnose_tree: every cell, 25 s for the
# numbers alone). The cycle and the broken text take the long way.
@pytest.mark.parametrize("function", ["evaluate_tree", "diagnose_tree"])
def test_numbers_beside_one_long_list_fit_a_small_headroom(function: str) -> None:
    code = textwrap.dedent(
        """
        import resource, sys, morvax_formulas as mf
        from types import SimpleNamespace as N
        count = 40000
        numbers = [N(name=f"n{i}", formula=str(i) if i % 2 else f"=@n1 * {i}", children=[]) for i in range(count)]
        series = N(name="s", formula=["=@n1 + 1"] * count, children=[])
        broken = N(name="b", formula="=(", children=[])
        cycle = [N(name="a", formula="=@c", children=[]), N(name="c", formula="=@a", children=[])]
        root = N(name="r", formula="", children=[*numbers, series, broken, *cycle])
        with open("/proc/self/status") as status:
            vm = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (vm + (128 << 20), resource.RLIM_INFINITY))
        if sys.argv[1] == "evaluate_tree":
            mf.evaluate_tree(root, in_place=True)
            print(numbers[7].value, numbers[8].value, len(series.value), set(series.value), broken.value,
                  cycle[0].value, cycle[1].value)
        else:
            print(*[(p["name"], p["dimension"], p["cause"]) for p in mf.diagnose_tree(root)])
        """
    )
    done = subprocess.run([sys.executable, "-c", code, function], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-2000:]
    expected = ("7 8 40000 {'2'} ERROR! REF! REF!" if function == "evaluate_tree"
                else "('b', 0, 'syntax') ('a', 0, 'cycle') ('c', 0, 'cycle')")
    assert done.stdout.strip() == expected
