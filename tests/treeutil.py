"""Node objects for the tree tests: plain namespaces built from a short outline."""

from __future__ import annotations

import threading
from collections.abc import Callable
from types import SimpleNamespace
from typing import Any


def node(name: str, formula: str | list[str] = "", *children: Any, **extra: Any) -> SimpleNamespace:
    return SimpleNamespace(name=name, formula=formula, children=list(children), **extra)


def outline(text: str) -> SimpleNamespace:
    """One node per line, leading spaces giving the depth: `name formula`, a
    formula list as `[=1|=2]`, a hidden node as `~name`, an id as `name#id`."""
    path: list[SimpleNamespace] = []
    root: SimpleNamespace | None = None
    for line in text.splitlines():
        if not line.strip():
            continue
        depth = len(line) - len(line.lstrip(" "))
        name, _, formula_text = line.strip().partition(" ")
        formula: str | list[str] = formula_text
        if formula_text.startswith("[") and formula_text.endswith("]"):
            formula = formula_text[1:-1].split("|") if formula_text != "[]" else []
        name, hash, node_id = name.partition("#")
        extra = {"id": node_id} if hash else {}
        made = node(name.lstrip("~"), formula, is_hidden=name.startswith("~"), **extra)
        del path[depth:]
        if depth == 0:
            root = made
        else:
            path[depth - 1].children.append(made)
        path.append(made)
    assert root is not None
    return root


def preorder(root: Any) -> list[Any]:
    out: list[Any] = []
    todo = [root]
    while todo:
        current = todo.pop()
        out.append(current)
        todo.extend(reversed(current.children))
    return out


def values(root: Any) -> list[tuple[str, Any]]:
    """(name, value) of every node in pre-order; value None when never written."""
    return [(n.name, getattr(n, "value", None)) for n in preorder(root)]


def formulas(root: Any) -> list[Any]:
    """The formula of every node in pre-order."""
    return [n.formula for n in preorder(root)]


def chain(length: int) -> SimpleNamespace:
    """A root reading n0, each link n(i) reading n(i+1) plus one, the last being 1."""
    root = node("root", "=@n0")
    root.children = [node(f"n{i}", f"=@n{i + 1} + 1") for i in range(length - 1)]
    root.children.append(node(f"n{length - 1}", "=1"))
    return root


def deep(depth: int, formula: str = "=1") -> SimpleNamespace:
    """A path of `depth` nodes, each the only child of the one before."""
    root = node("d0", formula)
    at = root
    for i in range(1, depth):
        child = node(f"d{i}", formula)
        at.children.append(child)
        at = child
    return root


def on_thread(stack: int, work: Callable[[], Any]) -> Any:
    """What `work` returns on a new thread with `stack` bytes of stack, or the
    repr of what it raises (so that it compares like a result)."""
    out: list[Any] = []

    def run() -> None:
        try:
            out.append(work())
        except BaseException as error:  # reported to the calling thread
            out.append(repr(error))

    previous = threading.stack_size(stack)
    try:
        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
    finally:
        threading.stack_size(previous)
    return out[0]
