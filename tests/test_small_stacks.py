"""Deeply nested formulas on threads with small stacks: every function gives on
every thread what it gives on the main thread, up to the one nesting limit
(256 levels) and past it."""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import Any

import pytest

import morvax_formulas as mf
from treeutil import node, on_thread, preorder

LIMIT = 256
OPENERS = ["abs(", "(", "sum(", "iferror(", "round(", "max(1;"]


def nested(depth: int, core: str = "1") -> str:
    """`depth` levels of mixed calls and parentheses around `core`."""
    opened = [OPENERS[i % len(OPENERS)] for i in range(depth)]
    return "".join(opened) + core + ")" * depth


def stack_sizes() -> list[int]:
    """32, 64, 128 and 256 KiB, the first raised to the least this interpreter allows."""
    smallest = 32 * 1024
    previous = threading.stack_size()
    try:
        while True:
            try:
                threading.stack_size(smallest)
                break
            except ValueError:
                smallest += 4096
    finally:
        threading.stack_size(previous)
    return [smallest, 64 * 1024, 128 * 1024, 256 * 1024]


DEPTHS = [7, 8, 9, 56, 64, 65, LIMIT - 1, LIMIT, LIMIT + 1]


def tree(depth: int) -> Any:
    """Deep formulas of every kind a tree function reads: arithmetic, conditions,
    references to a deep node, laid out in cells."""
    leaf = node("Leaf", "=" + nested(depth), cells="B1")
    when = node("When", f"=when(({nested(depth // 2, '@Leaf')})>0;1)", cells="B2")
    sum_ = node("Sum", "=" + nested(depth, "@Leaf") + " + 1", cells="B3")
    cond = node("Cond", "=if(" + "(" * depth + "1>0" + ")" * depth + ";2;3)", cells="B4")
    return node("Root", "=sum(children)", leaf, when, sum_, cond, id="root", cells="B0")


def chain(length: int) -> Any:
    """Compiled formulas each reading the next on demand, `length` links deep."""
    links = [node(f"n{i}", f"=@n{i + 1} * 2 - median(1; @n{i + 1})") for i in range(1, length)]
    return node("n0", "=@n1 + 1", *links, node(f"n{length}", "=1"))


def snapshot(root: Any) -> list[tuple[Any, ...]]:
    return [(n.name, n.formula, getattr(n, "value", None), getattr(n, "cells", None)) for n in preorder(root)]


CALLS: dict[str, Callable[[int], Any]] = {
    "evaluate": lambda d: mf.evaluate("=" + nested(d)),
    "evaluate_sum": lambda d: mf.evaluate("=" + nested(d) + "+" + nested(d)),
    "evaluate_boolean": lambda d: mf.evaluate_boolean("(" * d + nested(d) + ">0" + ")" * d),
    "evaluate_when": lambda d: mf.evaluate("=" + nested(d // 2, "when((1)>0;1)")),
    "get_tokens": lambda d: len(mf.get_tokens("=" + nested(d))),
    "evaluate_tree": lambda d: snapshot(mf.evaluate_tree(tree(d))),
    "evaluate_tree_in_place": lambda d: snapshot(mf.evaluate_tree(tree(d), in_place=True)),
    "evaluate_tree_chain": lambda d: snapshot(mf.evaluate_tree(chain(d), in_place=True)),
    "export_tree_to_excel": lambda d: snapshot(mf.export_tree_to_excel(tree(d))),
    "export_in_place": lambda d: snapshot(mf.export_tree_to_excel(tree(d), in_place=True)),
    "expand_tree_formulas": lambda d: snapshot(mf.expand_tree_formulas(tree(d))),
    "explain_node": lambda d: mf.explain_node(tree(d), "root"),
    "rename_nodes": lambda d: snapshot(mf.rename_nodes(tree(d), tree(d))),
    "diagnose": lambda d: mf.diagnose("=" + nested(d) + ")"),
    "diagnose_tree": lambda d: mf.diagnose_tree(tree(d)),
}


@pytest.mark.parametrize("name", CALLS)
def test_every_thread_gives_the_main_threads_results(name: str) -> None:
    call = CALLS[name]
    expected = [call(d) for d in DEPTHS]
    for stack in stack_sizes():
        assert [on_thread(stack, lambda d=d: call(d)) for d in DEPTHS] == expected, stack


def test_one_nesting_limit() -> None:
    assert mf.evaluate("=" + nested(LIMIT)) == "1"
    assert mf.evaluate("=" + nested(LIMIT + 1)) == "ERROR!"
    assert mf.evaluate_boolean("(" * LIMIT + "1>0" + ")" * LIMIT) == "true"
    assert mf.evaluate_boolean("(" * (LIMIT + 1) + "1>0" + ")" * (LIMIT + 1)) == "ERROR!"


def test_large_tree_in_place_and_on_a_copy_agree_on_a_small_thread() -> None:
    # 5,001 nodes, each with a condition nested eight times.
    formula = "=" + "when((" * 8 + "1" + ")>0;1)" * 8
    def make() -> Any:
        return node("R", "=sum(children)", *[node(f"n{i}", formula) for i in range(5000)])
    stack = stack_sizes()[0]
    on_copy = on_thread(stack, lambda: snapshot(mf.evaluate_tree(make())))
    in_place = on_thread(stack, lambda: snapshot(mf.evaluate_tree(make(), in_place=True)))
    assert on_copy == in_place
    assert on_copy[1][2] == "1"
