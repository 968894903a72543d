"""expand_tree_formulas end to end: expanded formulas through the bridge, the
copy it returns, long chains and texts too large to make."""

from __future__ import annotations

import copy
from types import SimpleNamespace
from typing import Any

import pytest

from morvax_formulas import expand_tree_formulas
from treeutil import formulas, node, outline


# The behaviours once through the bridge; tests/cpp/test_expand.cpp holds the
# full tables of the expansion itself.
@pytest.mark.parametrize(
    ("tree", "expected"),
    [
        ("R\n A =@B*2\n B =@C+1\n C 5", ["", "=(@C+1)*2", "=@C+1", "5"]),
        ("R =sum(children)\n X 1\n Y =@X*2", ["=sum(@X; (@X*2))", "1", "=@X*2"]),
        ("R\n A [=@B|=@B]\n B [=@C]\n C 1", ["", ["=(@C)", "=@B"], ["=@C"], "1"]),
        ("R\n A =@B\n B =@C\n B =@C\n ~H =@C\n C 1", ["", "=@B", "=@C", "=@C", "=@C", "1"]),
    ],
)
def test_expanded_formulas(tree: str, expected: list[Any]) -> None:
    assert formulas(expand_tree_formulas(outline(tree))) == expected


def test_returns_a_copy_with_every_formula_written() -> None:
    root = outline("R\n A =@B\n B [=@C|=1]\n C 1")
    root.children[2].formula = ("1",)  # any sequence of str reads as the list form
    before = copy.deepcopy(root)
    result = expand_tree_formulas(root)
    assert result is not root and result.children[0] is not root.children[0]
    assert formulas(root) == formulas(before)
    # A's single formula holds in both dimensions; B's computes them differently.
    assert formulas(result) == ["", "=@B", ["=@C", "=1"], ["1"]]
    written = [result.formula, *(child.formula for child in result.children)]
    assert [type(f) for f in written] == [str, str, list, list]
    assert result.children[1].formula is not root.children[1].formula
    assert not hasattr(result, "value")


def test_chain_expands_down_to_its_input() -> None:
    # Each link's formula holds the next one's, down to the input at the end.
    length = 2_000
    links = [node(f"n{i}", f"=@n{i + 1} + 1") for i in range(length)]
    root = node("root", "=@n0", *links, node(f"n{length}", "1"))
    result = expand_tree_formulas(root)

    def link(depth: int) -> str:  # the body of a link `depth` links before the input
        return "(" * (depth - 1) + f"@n{length}" + " + 1)" * (depth - 1) + " + 1"

    assert result.formula == f"=({link(length)})"
    assert [child.formula for child in result.children] == [f"={link(length - i)}" for i in range(length)] + ["1"]


def test_exponential_text_raises_memory_error() -> None:
    # Each level doubles the text: 2^60 references at the top.
    levels = [node(f"L{k}", f"=@L{k + 1}+@L{k + 1}") for k in range(60)]
    root = node("R", "", *levels, node("L60", "1"))
    with pytest.raises(MemoryError, match=r"formula texts this call writes passed their size limit \(1 GiB\)"):
        expand_tree_formulas(root)
    assert root.children[0].formula == "=@L1+@L1"


class Refuse(Exception):
    pass


class Raising(SimpleNamespace):
    """A node object whose attribute `failing` raises Refuse when read."""

    failing = ""

    def __getattribute__(self, name: str) -> Any:
        if name == object.__getattribute__(self, "failing"):
            raise Refuse(name)
        return object.__getattribute__(self, name)


@pytest.mark.parametrize("attribute", ["name", "formula"])
def test_exceptions_of_the_callers_objects_pass_through(attribute: str) -> None:
    bad = Raising(name="B", formula="=1", children=[], failing=attribute)
    root = node("R", "=@B", bad)
    with pytest.raises(Refuse):
        expand_tree_formulas(root)
    assert root.formula == "=@B"


def test_deepcopy_failure_passes_through() -> None:
    class NoCopy(SimpleNamespace):
        def __deepcopy__(self, memo: dict[int, Any]) -> Any:
            raise Refuse("no copy")

    root = NoCopy(name="R", formula="=@A", children=[node("A", "=@B"), node("B", "1")])
    with pytest.raises(Refuse):
        expand_tree_formulas(root)
    assert formulas(root) == ["=@A", "=@B", "1"]
