"""Reference-leak check, run on the debug interpreter (python3.14d).

Calls every case below thousands of times and checks that the interpreter's
total reference count and its count of allocated memory blocks come back to
where they were. A function that leaks one reference or one object per call
shows a growth of at least the number of calls; the tolerance only absorbs
the few references that the loop itself holds.

    python tests/refleak.py [--probe PATH_TO_morvax_args_probe.so]

New module functions add their rows to CASES (and to PROBE_CASES for argument
shapes only the probe module has yet).
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import sys
from collections.abc import Callable
from dataclasses import dataclass, field
from types import ModuleType, SimpleNamespace
from typing import Any

import morvax_formulas
from treeutil import preorder

ITERATIONS = 5000
WARMUP = 200
TOLERANCE = 20  # references or blocks over all ITERATIONS calls
ATTEMPTS = 3  # a case passes if any attempt stays within the tolerance


class Text(str):
    pass


class Root:
    pass


@dataclass(frozen=True)
class Case:
    label: str
    function: Callable[..., Any]
    args: tuple[Any, ...] = ()
    kwargs: dict[str, Any] = field(default_factory=dict)
    raises: type[BaseException] | None = None
    iterations: int = ITERATIONS  # fewer for calls that take long on this interpreter


def text_function_cases(
    function: Callable[..., Any], parameter: str = "formula", name: str | None = None
) -> list[Case]:
    """Good and bad calls for a function whose one parameter is a text."""
    name = name or function.__name__
    return [
        Case(f"{name} ascii", function, ("=1+2*3",)),
        Case(f"{name} keyword", function, (), {parameter: "=1+2*3"}),
        Case(f"{name} non-ascii", function, ("=ünï + 日本",)),
        Case(f"{name} long", function, ("=" + "+".join(["1"] * 500),)),
        Case(f"{name} str subclass", function, (Text("=1"),)),
        Case(f"{name} missing", function, (), {}, TypeError),
        Case(f"{name} too many", function, ("=1", "=2"), {}, TypeError),
        Case(f"{name} unknown keyword", function, (), {"other": "=1"}, TypeError),
        Case(f"{name} given twice", function, ("=1",), {parameter: "=1"}, TypeError),
        Case(f"{name} not str", function, (1,), {}, TypeError),
        Case(f"{name} None", function, (None,), {}, TypeError),
        Case(f"{name} lone surrogate", function, ("=1+\ud800",), {}, UnicodeEncodeError),
    ]


class Refuse(Exception):
    pass


class Node:
    """A node object; `raising` names attributes whose reads raise Refuse."""

    raising: tuple[str, ...] = ()  # also for the copies deepcopy makes without __init__

    def __init__(self, name: object, formula: object, children: object = None, raising: tuple[str, ...] = (),
                 **extra: object) -> None:
        object.__setattr__(self, "raising", raising)
        self.__dict__.update(extra)
        self.name, self.formula = name, formula
        self.children = [] if children is None else children

    def __getattribute__(self, key: str) -> object:
        if key != "raising" and key in object.__getattribute__(self, "raising"):
            raise Refuse(key)
        return object.__getattribute__(self, key)


class Frozen(Node):
    refused = "value"

    def __setattr__(self, key: str, value: object) -> None:
        if key == self.refused:
            raise Refuse(key)
        super().__setattr__(key, value)


class CellsFrozen(Frozen):
    refused = "cells"


class NoCopy(Node):
    def __deepcopy__(self, memo: object) -> object:
        raise Refuse("copy")


class BrokenSequence:
    def __len__(self) -> int:
        return 2

    def __getitem__(self, index: int) -> str:
        if index > 0:
            raise Refuse("item")
        return "=1"


def plan() -> Node:
    items = [Node(f"i{k}", [f"={k}", f"=@i{k}[1] * 2 + right[1]", "=1"]) for k in range(5)]
    return Node("total", "=sum(children)", [Node("dept", "=sum(children)", items),
                                            Node("share", "=ratio(@dept)"), Node("x", "=@x"),
                                            Node("hidden", "=1/0", is_hidden=True, cells=["A1"], id="h")])


class Plain:
    """A plain class: its objects' attributes are read and written where
    they are kept, not through the generic attribute access."""

    def __init__(self, node: Node) -> None:
        self.id = getattr(node, "id", "")
        self.name, self.formula, self.value = node.name, node.formula, ""
        self.is_hidden, self.cells = getattr(node, "is_hidden", False), getattr(node, "cells", [])
        self.children = [Plain(child) for child in node.children]  # type: ignore[attr-defined]


class Slotted(Plain):
    """Its attributes in __slots__: reached at their members' offsets."""

    __slots__ = ("id", "name", "formula", "value", "is_hidden", "cells", "children")

    def __init__(self, node: Node) -> None:
        super().__init__(node)
        self.children = [Slotted(child) for child in node.children]  # type: ignore[attr-defined]


def namespaces(node: Node) -> SimpleNamespace:
    """SimpleNamespace objects: their attributes reached in their dicts."""
    return SimpleNamespace(id=getattr(node, "id", ""), name=node.name, formula=node.formula, value="",
                           is_hidden=getattr(node, "is_hidden", False), cells=getattr(node, "cells", []),
                           children=[namespaces(child) for child in node.children])  # type: ignore[attr-defined]


def chain(length: int) -> Node:
    return Node("root", "=@n0", [Node(f"n{i}", f"=@n{i + 1} + 1") for i in range(length)])


def cycle() -> Node:
    root = Node("r", "=1", [Node("a", "=2")])
    root.children[0].children.append(root)  # type: ignore[attr-defined]
    return root


def tree_cases() -> list[Case]:
    tree = morvax_formulas.evaluate_tree
    return [
        Case("tree copy", tree, (plan(),)),
        Case("tree in place", tree, (plan(), True)),
        Case("tree plain objects in place", tree, (Plain(plan()), True)),
        Case("tree plain objects copy", tree, (Plain(plan()),)),
        Case("tree slotted objects in place", tree, (Slotted(plan()), True)),
        Case("tree namespaces in place", tree, (namespaces(plan()), True)),
        Case("tree chain", tree, (chain(200), True)),
        Case("tree formula tuple", tree, (Node("n", ("=1", "x")),)),
        Case("tree name missing", tree, (Node(None, "=1", raising=("name",)),), {}, Refuse),
        Case("tree name not str", tree, (Node(5, "=1"),), {}, TypeError),
        Case("tree formula bad item", tree, (Node("n", ["=1", 2]),), {}, TypeError),
        Case("tree formula iteration", tree, (Node("n", BrokenSequence()),), {}, TypeError),
        Case("tree children tuple", tree, (Node("n", "=1", children=()),), {}, TypeError),
        Case("tree children raising", tree, (Node("n", "=1", raising=("children",)),), {}, TypeError),
        Case("tree optional raising", tree, (Node("n", "=1", raising=("id", "is_hidden", "cells")),)),
        Case("tree late child fails", tree, (Node("r", "=1", [Node("a", "=2"), Node("b", None)]),), {}, TypeError),
        Case("tree surrogate name", tree, (Node("\ud800", "=1"),), {}, UnicodeEncodeError),
        Case("tree setattr refused", tree, (Node("r", "=1", [Node("a", "=2"), Frozen("b", "=3")]), True), {}, Refuse),
        Case("tree deepcopy refused", tree, (NoCopy("r", "=1"),), {}, Refuse),
        # Large enough to be evaluated while the copy is taken.
        Case("tree large copy (40 calls)", tree, (chain(4200),), iterations=40),
        Case("tree large deepcopy refused (200 calls)", tree, (NoCopy("r", "=1", chain(4200).children),), {},
             Refuse, iterations=200),
        Case("tree in_place int", tree, (plan(), 1), {}, TypeError),
        Case("tree cycle", tree, (cycle(), True), {}, ValueError),
    ]


def transform_cases() -> list[Case]:
    expand = morvax_formulas.expand_tree_formulas
    rename = morvax_formulas.rename_nodes
    explain = morvax_formulas.explain_node

    def model(cost_name: str) -> Node:
        return Node("r", "", [Node(cost_name, "5", id="c"), Node("s", "=@Cost*2 + @Cost[1]", id="s"),
                              Node("x", "=@x + children", [Node("ü", ["1", "=@s"], id="ï")], id="x")])

    old = model("Cost")
    return [
        Case("expand", expand, (plan(),)),
        Case("expand cycle and children", expand, (model("Cost"),)),
        Case("expand chain", expand, (chain(200),)),
        Case("expand shared children and lists", expand, (Node("r", "=sum(children)", [
            Node("c", ["=@d", "=@d"]), Node("c", "=total(@e) + @e"), Node("d", ["=@e", "=1"]),
            Node("e", "=max(children; 1)", [Node("f", "2")])]),)),
        Case("expand past the text cap", expand, (Node("r", "", [
            *(Node(f"L{k}", f"=@L{k + 1}+@L{k + 1}") for k in range(40)), Node("L40", "1")]),), {}, MemoryError),
        Case("expand formula raising", expand, (Node("r", "=@a", [Node("a", None, raising=("formula",))]),), {}, Refuse),
        Case("expand deepcopy refused", expand, (NoCopy("r", "=1"),), {}, Refuse),
        Case("rename copy", rename, (old, model("Price"))),
        Case("rename in place", rename, (old, model("Price"), True)),
        Case("rename unwritable name", rename, (old, model("a}b"))),
        Case("rename old fails", rename, (Node(5, "=1"), model("Price")), {}, TypeError),
        Case("rename new fails", rename, (old, Node("n", "=1", children=())), {}, TypeError),
        Case("rename in_place int", rename, (old, old, 1), {}, TypeError),
        Case("rename deepcopy refused", rename, (old, NoCopy("r", "=1")), {}, Refuse),
        Case("explain", explain, (model("Cost"), "s")),
        Case("explain list and non-ascii", explain, (model("Cost"), "ï")),
        Case("explain no such id", explain, (model("Cost"), "nope")),
        Case("explain chain", explain, (Node("r", "", [Node(f"n{i}", f"=@n{i + 1} + 1", id=f"n{i}") for i in range(200)]), "n0")),
        Case("explain root fails", explain, (Node(None, "=1", raising=("name",)), "r"), {}, Refuse),
        Case("explain node_id not str", explain, (plan(), 5), {}, TypeError),
    ]


def laid_out(root: Node) -> Node:
    """`root` with three addresses on most nodes and a bare one on every third."""
    for row, node in enumerate(preorder(root), start=1):
        node.cells = [f"{column}{row}" for column in "BCD"] if row % 3 else f"B{row}"
    return root


def export_cases() -> list[Case]:
    export = morvax_formulas.export_tree_to_excel
    literals = Node("r", "", [Node("a", "1.234,56", cells="A1"), Node("b", "Hello, world", cells=["A2"]),
                              Node("c", "5%", cells="A3"),
                              Node("d", ["=1+", "=@zz", "=abs(@zz)"], cells=["A4", "B4", "C4"])])
    return [
        Case("export copy", export, (laid_out(plan()),)),
        Case("export in place", export, (laid_out(plan()), True)),
        Case("export plain objects in place", export, (Plain(laid_out(plan())), True)),
        Case("export literals and errors", export, (literals,)),
        Case("export chain", export, (laid_out(chain(200)), True)),
        Case("export cells not text", export, (Node("n", "=1", cells=[1, 2]),)),
        Case("export name missing", export, (Node(None, "=1", raising=("name",)),), {}, Refuse),
        Case("export children tuple", export, (Node("n", "=1", children=()),), {}, TypeError),
        Case("export setattr refused", export, (Node("r", "=1", [CellsFrozen("b", "=3", cells="A1")]), True),
             {}, Refuse),
        Case("export deepcopy refused", export, (NoCopy("r", "=1"),), {}, Refuse),
        Case("export in_place None", export, (plan(), None), {}, TypeError),
    ]


def diagnose_cases() -> list[Case]:
    diagnose = morvax_formulas.diagnose
    diagnose_tree = morvax_formulas.diagnose_tree
    every_cause = Node("r", "=sum(children)", [
        Node("a", "=@b + 1"), Node("b", "=@a"), Node("c", "=@C + @zz"), Node("h", "1", is_hidden=True),
        Node("d", "=@h + 1/0"), Node("e", ["=right[3]", "=log(0)", "=children"], id="e"), Node("e", "=@e"),
        Node("f", "=round(1,5, 2)"), Node("g", "=@f + ratio(@e)")])
    return [
        *text_function_cases(diagnose),
        Case("diagnose hint", diagnose, ("=round(1,5, 2)",)),
        Case("diagnose unknown function", diagnose, ("=föö(1)",)),
        Case("diagnose_tree every cause", diagnose_tree, (every_cause,)),
        Case("diagnose_tree chain", diagnose_tree, (chain(200),)),
        Case("diagnose_tree plan", diagnose_tree, (plan(),)),
        Case("diagnose_tree name missing", diagnose_tree, (Node(None, "=1", raising=("name",)),), {}, Refuse),
        Case("diagnose_tree children tuple", diagnose_tree, (Node("n", "=1", children=()),), {}, TypeError),
        Case("diagnose_tree surrogate name", diagnose_tree, (Node("\ud800", "=1"),), {}, UnicodeEncodeError),
        Case("diagnose_tree cycle", diagnose_tree, (cycle(),), {}, ValueError),
    ]


CASES: list[Case] = [
    *text_function_cases(morvax_formulas.evaluate),
    *text_function_cases(morvax_formulas.evaluate_boolean),
    *tree_cases(),
    *text_function_cases(morvax_formulas.get_tokens),
    Case("get_tokens every kind", morvax_formulas.get_tokens,
         ("=total(@a) * abs(-1) / sum(children) + if(right > 1; 2; 3) $ empty",)),
    Case("get_tokens open braced names", morvax_formulas.get_tokens, ("@{x" * 300,)),
    *transform_cases(),
    *export_cases(),
    *diagnose_cases(),
]


def numpy_like_bool(truth: Callable[[Any], bool] | None) -> object:
    namespace: dict[str, object] = {"__module__": "numpy"}
    if truth is not None:
        namespace["__bool__"] = truth
    return type("bool_", (), namespace)()


def refuse(_self: object) -> bool:
    raise ValueError("no truth")


def probe_cases(probe: ModuleType) -> list[Case]:
    root = Root()
    return [
        *text_function_cases(probe.get_tokens, name="probe get_tokens"),
        Case("flag default", probe.evaluate_tree, (root,)),
        Case("flag True", probe.evaluate_tree, (root, True)),
        Case("flag keyword", probe.evaluate_tree, (), {"root": root, "in_place": False}),
        Case("flag numpy-like", probe.evaluate_tree, (root, numpy_like_bool(lambda s: True))),
        Case("flag numpy-like no slot", probe.evaluate_tree, (root, numpy_like_bool(None)), {}, TypeError),
        Case("flag numpy-like raising", probe.evaluate_tree, (root, numpy_like_bool(refuse)), {}, ValueError),
        Case("flag int", probe.evaluate_tree, (root, 1), {}, TypeError),
        Case("flag None", probe.evaluate_tree, (root, None), {}, TypeError),
        Case("three parameters", probe.rename_nodes, (root, root), {"in_place": True}),
        Case("three parameters missing", probe.rename_nodes, (root,), {}, TypeError),
        Case("node id", probe.explain_node, (root, "ïd")),
        Case("node id not str", probe.explain_node, (root, 5), {}, TypeError),
        Case("panic", probe.fault, ("logic",), {}, BaseException),
        Case("unknown fault", probe.fault, ("unknown",), {}, BaseException),
        Case("memory error", probe.fault, ("memory",), {}, MemoryError),
    ]


def growth(case: Case) -> tuple[int, int]:
    """Growth of the total reference count and of allocated blocks over the case's calls."""
    function, args, kwargs, raises = case.function, case.args, case.kwargs, case.raises

    def call_many(count: int) -> None:
        for _ in range(count):
            if raises is None:
                function(*args, **kwargs)
                continue
            try:
                function(*args, **kwargs)
            except raises:
                pass
            else:
                raise AssertionError(f"{case.label}: expected {raises.__name__}")

    def settle() -> None:
        gc.collect()
        # The interpreter's attribute cache holds a reference to each name it
        # caches, by the name's address: what it holds is no leak of a call.
        sys._clear_internal_caches()

    call_many(min(WARMUP, case.iterations))
    settle()
    refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    call_many(case.iterations)
    settle()
    return sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks


def load_probe(path: str) -> ModuleType:
    spec = importlib.util.spec_from_file_location("morvax_args_probe", path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main() -> int:
    if not hasattr(sys, "gettotalrefcount"):
        print("refleak.py needs a debug interpreter (python3.14d)", file=sys.stderr)
        return 2
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--probe", help="path of the built morvax_args_probe module")
    options = parser.parse_args()
    cases = CASES + (probe_cases(load_probe(options.probe)) if options.probe else [])

    failures = 0
    print(f"{'case':<40} {'refs':>6} {'blocks':>7}  ({ITERATIONS} calls each unless the case says)")
    for case in cases:
        for _ in range(ATTEMPTS):
            refs, blocks = growth(case)
            leaked = refs > TOLERANCE or blocks > TOLERANCE
            if not leaked:
                break
        failures += leaked
        print(f"{case.label:<40} {refs:>6} {blocks:>7}  {'LEAK' if leaked else 'ok'}")
    print(f"{len(cases) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
