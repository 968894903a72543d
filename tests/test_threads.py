"""All eight functions called from many threads at once, each result compared
with the one computed on a single thread beforehand.

Every call works only on data it makes itself, so results must not depend on
what other threads do. On an interpreter with the GIL calls still interleave:
the nodes read their attributes through Python properties, and with a tiny
switch interval another thread takes over in the middle of a call, between two
attribute reads. On a free-threaded interpreter the calls run truly at once.
"""

from __future__ import annotations

import random
import sys
import threading
from collections.abc import Callable, Iterator
from typing import Any

import pytest

import morvax_formulas as mf
from treeutil import preorder

THREADS = 8
ROUNDS = 30  # per thread, of every operation
MONTHS = 3


class Line:
    """A node whose attributes are Python properties: every read runs bytecode,
    where the interpreter may switch threads."""

    def __init__(self, id: str, name: str, formula: str | list[str], children: list[Line] | None = None,
                 is_hidden: bool = False) -> None:
        self.id = id
        self._name = name
        self._formula = formula
        self._children = children or []
        self.is_hidden = is_hidden
        self.cells: str | list[str] = []

    @property
    def name(self) -> str:
        return self._name

    @name.setter
    def name(self, name: str) -> None:
        self._name = name

    @property
    def formula(self) -> str | list[str]:
        return self._formula

    @formula.setter
    def formula(self, formula: str | list[str]) -> None:
        self._formula = formula

    @property
    def children(self) -> list[Line]:
        return self._children


def frozen(value: Any) -> Any:
    return tuple(value) if isinstance(value, list) else value


def snapshot(root: Any) -> list[tuple[Any, ...]]:
    """Everything a function may read or write, node by node in pre-order."""
    return [
        (getattr(n, "id", None), n.name, frozen(n.formula), frozen(getattr(n, "value", None)),
         frozen(getattr(n, "cells", None)), n.is_hidden, len(n.children))
        for n in preorder(root)
    ]


def model(k: int, departments: int = 4) -> Line:
    """A plan that differs per thread k in every number: departments of line
    items over three months, references by index, ratios, `right`, a hidden
    line, a circular pair and an unknown name; laid out one row per line."""
    rng = random.Random(k)
    groups = []
    for d in range(departments):
        j = d + 1
        items = [
            Line(f"rev{d}", "Revenue", [str(rng.randint(100, 999) + k) for _ in range(MONTHS)]),
            Line(f"cost{d}", "Costs", f"=@Revenue[{j}] * 0.{rng.randint(1, 9)}"),
            Line(f"margin{d}", "Margin", f"=@Revenue[{j}] - @Costs[{j}]"),
            Line(f"share{d}", "Share", f"=ratio(@Revenue[{j}])"),
            Line(f"growth{d}", "Growth", ["=right[1] * 1,05", f"=right[1] + @Costs[{j}]", str(k)]),
            Line(f"draft{d}", "Revenue", "=1/0", is_hidden=True),
        ]
        groups.append(Line(f"dept{d}", f"Department {d}", "=sum(children)", items))
    root = Line("plan", f"Plan {k}", "=sum(children)", [
        *groups,
        Line("best", "Best", f"=max(@Margin) + round({k} / 7; 3)"),
        Line("check", "Check", f"=if(@Best > {k * 10}; iferror(@Nowhere; -1); stdev(@Revenue))"),
        Line("loop-a", "Loop A", "=@{Loop B} + 1"),
        Line("loop-b", "Loop B", "=@{Loop A} * 2"),
    ])
    for row, line in enumerate(preorder(root), start=2):
        line.cells = [f"{column}{row}" for column in "BCD"]
    return root


def renamed(k: int) -> Line:
    """The same plan with the first department's lines and one total renamed."""
    root = model(k)
    for item in root.children[0].children:
        item.name = f"{item.name} {k}"
    root.children[1].name = f"Branch {k}"
    return root


def formulas(k: int) -> list[str]:
    return [
        f"={k} + 2 * 3",
        f"=({k} + 1,5) ^ 2 % 7",
        f"=round({k} / 3; 4)",
        f"=sum(1; {k}; 3) * max({k}; 2) - min(4; {k})",
        f"=if({k} > 4; {k} * 10; abs(-{k}))",
        f"=iferror(1 / ({k} - {k}); {k})",
        f"=pow(2; {k}) - sqrt({k * k})",
        f"={k}%",
        f"=@Revenue + {k}",
        f"={k} +",
        f"{k}.000,25",
        "=" + " + ".join(str(k + i) for i in range(60)),
    ]


def conditions(k: int) -> list[str]:
    # The first three spell k in binary: no two threads share all answers.
    return [f"{k} % 2 == 1", f"{k} % 4 >= 2", f"not {k} < 4", f"{k} > 2 and {k} != 5 or {k} == 0",
            f"@x == {k}", "children", f"{k} >= 1/0"]


def operations(k: int) -> dict[str, Callable[[], Any]]:
    """Each operation returns something comparable with ==; the in-place ones
    work on a tree made for the call."""
    shared_input = model(k)  # read by the copy-returning calls: must stay as it is
    before = snapshot(shared_input)

    def unchanged(result: Any) -> Any:
        assert snapshot(shared_input) == before
        return result

    return {
        "evaluate": lambda: [mf.evaluate(f) for f in formulas(k)],
        "evaluate_boolean": lambda: [mf.evaluate_boolean(c) for c in conditions(k)],
        "get_tokens": lambda: [mf.get_tokens(f) for f in formulas(k)],
        "evaluate_tree copy": lambda: unchanged(snapshot(mf.evaluate_tree(shared_input))),
        "evaluate_tree in place": lambda: snapshot(mf.evaluate_tree(model(k), in_place=True)),
        "export copy": lambda: unchanged(snapshot(mf.export_tree_to_excel(shared_input))),
        "export in place": lambda: snapshot(mf.export_tree_to_excel(model(k), in_place=True)),
        "rename copy": lambda: unchanged(snapshot(mf.rename_nodes(shared_input, renamed(k)))),
        "rename in place": lambda: snapshot(mf.rename_nodes(model(k), renamed(k), in_place=True)),
        "expand": lambda: unchanged(snapshot(mf.expand_tree_formulas(shared_input))),
        "explain": lambda: unchanged([mf.explain_node(shared_input, i) for i in ("margin2", "check", "loop-a")]),
    }


@pytest.fixture
def frequent_switches() -> Iterator[None]:
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(previous)


def run_together(work: Callable[[int], None]) -> list[str]:
    """Runs work(k) for every thread k, all released at once; the failures, by thread."""
    barrier = threading.Barrier(THREADS)
    failures: list[str] = []

    def body(k: int) -> None:
        try:
            barrier.wait(timeout=60)
            work(k)
        except BaseException as error:  # reported on the main thread
            failures.append(f"thread {k}: {type(error).__name__}: {error}")
            barrier.abort()

    threads = [threading.Thread(target=body, args=(k,)) for k in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return failures


@pytest.fixture(scope="module")
def single_threaded() -> tuple[dict[int, dict[str, Callable[[], Any]]], dict[int, dict[str, Any]]]:
    """Every thread's operations and their results, computed on this thread."""
    plans = {k: operations(k) for k in range(THREADS)}
    return plans, {k: {name: call() for name, call in plans[k].items()} for k in range(THREADS)}


def test_expected_results_differ_between_threads(single_threaded: Any) -> None:
    """Otherwise a result computed from another thread's input would pass."""
    _, expected = single_threaded
    for name in expected[0]:
        results = [repr(expected[k][name]) for k in range(THREADS)]
        assert len(set(results)) == THREADS, name


def test_every_function_from_many_threads(single_threaded: Any, frequent_switches: None) -> None:
    plans, expected = single_threaded

    def work(k: int) -> None:
        names = list(plans[k])
        order = random.Random(k)
        for _ in range(ROUNDS):
            order.shuffle(names)  # threads are in different functions at any moment
            for name in names:
                result = plans[k][name]()
                assert result == expected[k][name], f"{name} differs from its single-threaded result"

    assert run_together(work) == []


def test_threads_share_one_read_only_tree(frequent_switches: None) -> None:
    old, new = model(3), renamed(3)
    old_before, new_before = snapshot(old), snapshot(new)
    calls: dict[str, Callable[[], Any]] = {
        "evaluate_tree": lambda: snapshot(mf.evaluate_tree(new)),
        "export": lambda: snapshot(mf.export_tree_to_excel(new)),
        "rename": lambda: snapshot(mf.rename_nodes(old, new)),
        "expand": lambda: snapshot(mf.expand_tree_formulas(new)),
        "explain": lambda: [mf.explain_node(new, i) for i in ("margin0", "best", "loop-b")],
    }
    expected = {name: call() for name, call in calls.items()}
    copies = {name: call() for name, call in calls.items()}
    assert copies == expected

    def work(k: int) -> None:
        names = list(calls)
        for round in range(ROUNDS * 2):
            name = names[(k + round) % len(names)]
            assert calls[name]() == expected[name], f"{name} differs from its single-threaded result"

    assert run_together(work) == []
    assert snapshot(old) == old_before
    assert snapshot(new) == new_before
    assert not hasattr(new, "value")
