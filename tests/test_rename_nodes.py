"""rename_nodes end to end: rewritten references through the bridge, in place
versus copy, and the order in which the two trees are read."""

from __future__ import annotations

import copy
import random
import re
from types import SimpleNamespace

import pytest

from morvax_formulas import evaluate_tree, rename_nodes
from treeutil import deep, formulas, node, outline


# The behaviours once through the bridge; tests/cpp/test_rename.cpp holds the
# full tables of the renaming itself.
@pytest.mark.parametrize(
    ("old", "new", "expected"),
    [
        ("R\n Cost#a 5\n S#s =@Cost*2", "R\n Price#a 5\n S#s =@Cost*2", ["", "5", "=@Price*2"]),
        ("R\n Cost#a 1\n Cost#b 2\n Cost#c 3", "R =@Cost[1]+@Cost[2]+@Cost[3]\n Cost#b 2\n Cost#c 3",
         ["=REF!+@Cost[1]+@Cost[2]", "2", "3"]),
        # Nodes without ids: the last of each tree are matched.
        ("R\n Foo 1", "R =@Foo\n Bar 1", ["=@Bar", "1"]),
        # A name with no written form: the reference cannot follow the node.
        ("R\n Cost#a 5", "R =@Cost*2\n a}b#a 5", ["=REF!*2", "5"]),
    ],
)
def test_renamed_formulas(old: str, new: str, expected: list[object]) -> None:
    assert formulas(rename_nodes(outline(old), outline(new))) == expected


@pytest.mark.parametrize("in_place", [False, True])
def test_in_place_or_copy(in_place: bool) -> None:
    old = outline("R\n Cost#a 5\n S#s =@Cost")
    new = outline("R\n Price#a 5\n S#s =@Cost")
    old_before, new_before = copy.deepcopy(old), copy.deepcopy(new)
    result = rename_nodes(old, new, in_place=in_place)
    assert (result is new) is in_place
    assert formulas(result) == ["", "5", "=@Price"]
    assert formulas(old) == formulas(old_before)
    if not in_place:
        assert formulas(new) == formulas(new_before)
    assert type(result.children[0].formula) is str


class Text(str):
    pass


@pytest.mark.parametrize("in_place", [False, True])
def test_formulas_are_written_back_as_str(in_place: bool) -> None:
    # Formulas of one text share one str; a str subclass given is not what
    # comes back, changed or not.
    old = outline("R\n Cost#a 5\n S#s =@Cost")
    new = outline("R\n Price#a 5\n S#s =@Cost")
    new.formula = Text("=@Cost + 1")
    new.children[1].formula = [Text("=@Cost"), "=@Cost", Text("=1"), "=1"]
    result = rename_nodes(old, new, in_place=in_place)
    written = [result.formula, result.children[0].formula, *result.children[1].formula]
    assert written == ["=@Price + 1", "5", "=@Price", "=@Price", "=1", "=1"]
    assert all(type(text) is str for text in written)


def test_old_tree_is_read_first() -> None:
    old, new = node("R"), node("R")
    del old.children
    new.children = ()
    with pytest.raises(TypeError, match=re.escape("Missing required attribute 'children'")):
        rename_nodes(old, new)
    with pytest.raises(TypeError, match=re.escape("Attribute 'children' must be a list")):
        rename_nodes(node("R"), new)


def test_in_place_is_checked_before_the_trees_are_read() -> None:
    with pytest.raises(TypeError, match="in_place"):
        rename_nodes(object(), object(), in_place=1)  # type: ignore[arg-type]
    with pytest.raises(TypeError, match="new_root"):
        rename_nodes(object())  # type: ignore[call-arg]


def test_deep_tree_in_place() -> None:
    depth = 100_000
    old, new = deep(depth, "=@d0 + 1"), deep(depth, "=@d0 + 1")
    old.id = new.id = "r"
    new.name = "top"
    assert rename_nodes(old, new, in_place=True) is new
    deepest = new
    while deepest.children:
        deepest = deepest.children[0]
    assert (new.formula, deepest.formula) == ("=@top + 1", "=@top + 1")


NAMES = ["Cost", "Price", "Tax", "Gross margin", "a.b", "x_1", "Cost 2"]


def preorder(root: SimpleNamespace) -> list[SimpleNamespace]:
    out, todo = [], [root]
    while todo:
        out.append(todo.pop())
        todo.extend(reversed(out[-1].children))
    return out


def unambiguous(nodes: list[SimpleNamespace]) -> dict[str, str]:
    """Each node's unambiguous reference by id (names without braces or brackets)."""
    counts: dict[str, int] = {}
    for n in nodes:
        counts[n.name] = counts.get(n.name, 0) + 1
    seen: dict[str, int] = {}
    refs = {}
    for n in nodes:
        seen[n.name] = seen.get(n.name, 0) + 1
        written = "@" + n.name if n.name.isidentifier() else "@{" + n.name + "}"
        refs[n.id] = written + (f"[{seen[n.name]}]" if counts[n.name] > 1 else "")
    return refs


@pytest.mark.parametrize("seed", range(3))
def test_renaming_keeps_what_every_node_computes(seed: int) -> None:
    # Each node refers only to nodes made after it, so no cycle can form;
    # names repeat, so references carry occurrence indexes, which renaming
    # shifts. (Moving nodes would change the order of evaluation, which
    # decides whether a single formula read in several dimensions gets a
    # list.)
    rng = random.Random(seed)
    for _ in range(150):
        made = [node(rng.choice(NAMES), id=f"n{i}") for i in range(rng.randint(2, 14))]
        for i, n in enumerate(made[1:], 1):
            made[rng.randrange(i)].children.append(n)
        refs = unambiguous(preorder(made[0]))
        for i, n in enumerate(made):
            def formula() -> str:
                later = [refs[m.id] for m in made[i + 1:]]
                return "=" + " + ".join(rng.sample(later, min(len(later), 3))) if later else str(rng.randint(1, 9))
            n.formula = formula() if rng.random() < 0.5 else [formula(), formula()]
        edited = copy.deepcopy(made[0])
        for n in preorder(edited):
            if rng.random() < 0.4:
                n.name = rng.choice(NAMES + ["New name", "Ümsatz", "Cost_9"])
        values = {n.id: n.value for n in preorder(evaluate_tree(made[0]))}
        renamed = evaluate_tree(rename_nodes(made[0], edited))
        assert {n.id: n.value for n in preorder(renamed)} == values
