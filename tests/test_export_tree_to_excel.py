"""export_tree_to_excel from Python: cell texts per node and dimension, the
forms of `cells`, in place versus copy, and failures of the call itself."""

from __future__ import annotations

import copy
from types import SimpleNamespace
from typing import Any

import pytest

from morvax_formulas import export_tree_to_excel
from treeutil import deep, node


def laid_out(
    name: str, formula: str | list[str], cells: Any, *children: Any, **extra: Any
) -> SimpleNamespace:
    return node(name, formula, *children, cells=cells, **extra)


def exported(*children: Any) -> list[Any]:
    """The cells of the root's children after an export in place."""
    root = node("root", "", *children)
    export_tree_to_excel(root, in_place=True)
    return [child.cells for child in root.children]


# The translation itself is tested in C++; these rows check that each kind of
# text crosses the boundary.
@pytest.mark.parametrize(
    ("formula", "text"),
    [
        ("=@a+1", "=B2+1"),
        ("=@missing", "REF!"),
        ("=1+", "ERROR!"),
        ("=abs(@missing) + stdev(@a; 1)", "=ABS(REF!)+STDEV.S(B2,1)"),
        ("1.234,56", "1234.56"),
        ("5%", "=0.05"),
        ("Grüße, Welt", "Grüße, Welt"),
        ("   ", ""),
    ],
)
def test_cell_text_of_one_formula(formula: str, text: str) -> None:
    assert exported(laid_out("a", "1", "B2"), laid_out("x", formula, "C2"))[1] == text


def test_one_formula_over_several_addresses() -> None:
    cells = exported(
        laid_out("a", ["1", "2", "3"], ["B2", "C2", "D2"]),
        laid_out("x", "=@a*2", ["B3", "C3", "D3"]),
        laid_out("y", ["=@a", "=right[1]"], ["B4", "C4", "D4"]),
    )
    assert cells == [["1", "2", "3"], ["=B2*2", "=C2*2", "=D2*2"], ["=B2", "=D4", ""]]


@pytest.mark.parametrize(
    ("given", "written"),
    [
        ("B2", "=A1"),
        (["B2"], ["=A1"]),
        (("B2", "C2"), ["=A1", "=A1"]),
        ("", ""),
        ([], []),
    ],
)
def test_written_cells_keep_the_form_given(given: Any, written: Any) -> None:
    [_, cells] = exported(laid_out("a", "", "A1"), laid_out("x", "=@a", given))
    assert cells == written
    assert type(cells) is type(written)


def test_nodes_without_addresses() -> None:
    # Not laid out: `cells` is written back as it was read, an absent or
    # unreadable one as the empty list; the children are still exported.
    unplaced = node("u", "=@a", laid_out("inner", "=@a", "C5"))
    odd = node("odd", "=@a", cells=7)
    root = node("root", "", laid_out("a", "", "A1"), unplaced, odd)
    export_tree_to_excel(root, in_place=True)
    assert unplaced.cells == [] and odd.cells == []
    assert unplaced.children[0].cells == "=A1"


def test_copy_leaves_the_callers_tree_alone() -> None:
    root = node("root", "", laid_out("a", "7", "A1"), laid_out("b", "=@a", "A2"))
    before = copy.deepcopy(root)
    result = export_tree_to_excel(root)
    assert result is not root
    assert vars(root.children[1]) == vars(before.children[1])
    assert [c.cells for c in result.children] == ["7", "=A1"]
    assert export_tree_to_excel(root, False).children[1].cells == "=A1"


def test_in_place_returns_the_root_changed() -> None:
    root = node("root", "", laid_out("a", "7", "A1"), laid_out("b", "=@a", "A2"))
    assert export_tree_to_excel(root, in_place=True) is root
    assert root.children[1].cells == "=A1"


def test_values_are_neither_read_nor_written() -> None:
    root = node("root", "", laid_out("a", "1", "A1", value="stale"))
    result = export_tree_to_excel(root)
    assert result.children[0].value == "stale"


@pytest.mark.parametrize(
    ("root", "error", "message"),
    [
        (SimpleNamespace(name="r", formula="", children=()), TypeError, "Attribute 'children' must be a list"),
        (SimpleNamespace(name="r", formula=None, children=[]), TypeError, "Attribute 'formula' must be a string or list of strings"),
        (SimpleNamespace(formula="", children=[]), AttributeError, "name"),
    ],
)
def test_protocol_violations_raise(root: Any, error: type[BaseException], message: str) -> None:
    with pytest.raises(error, match=message):
        export_tree_to_excel(root)


class Refusing:
    """A node object whose deep copy fails."""

    def __init__(self) -> None:
        self.name, self.formula, self.cells, self.children = "r", "=1", "A1", []

    def __deepcopy__(self, memo: dict[int, Any]) -> Any:
        raise RuntimeError("no copies")


def test_failing_copy_leaves_the_tree_untouched() -> None:
    root = Refusing()
    with pytest.raises(RuntimeError, match="no copies"):
        export_tree_to_excel(root)
    assert root.cells == "A1"


class Frozen(SimpleNamespace):
    def __setattr__(self, name: str, value: Any) -> None:
        if name == "cells" and hasattr(self, "cells"):
            raise PermissionError("read-only cells")
        super().__setattr__(name, value)


def test_write_back_failure_is_raised() -> None:
    root = node("root", "", Frozen(name="a", formula="=1", cells="A1", children=[]))
    with pytest.raises(PermissionError, match="read-only cells"):
        export_tree_to_excel(root, in_place=True)


@pytest.mark.parametrize("in_place", [1, None, "yes"])
def test_in_place_must_be_a_bool(in_place: Any) -> None:
    with pytest.raises(TypeError, match="in_place"):
        export_tree_to_excel(object(), in_place)


def test_deep_tree_in_place() -> None:
    depth = 100_000
    root = deep(depth, "=@d0 + 1")
    at = root
    for i in range(depth):
        at.cells = f"A{i + 1}"
        at = at.children[0] if at.children else at
    export_tree_to_excel(root, in_place=True)
    assert root.cells == "=A1+1"  # d0 reads itself: the spreadsheet reports the cycle
    assert at.cells == "=A1+1"


def calls(text: str) -> list[tuple[str, int]]:
    """Every call in a cell formula: its name and how many arguments it has."""
    out: list[tuple[str, int]] = []
    stack: list[list[Any]] = []
    name = ""
    for c in text:
        if c.isalpha() or c == ".":
            name += c
            continue
        if c == "(":
            stack.append([name, 1])
        elif c == ")":
            done = stack.pop()
            out.append((done[0], done[1]))
        elif c == "," and stack:
            stack[-1][1] += 1
        name = ""
    return out


@pytest.mark.parametrize("count", [255, 256, 600, 2000])
@pytest.mark.parametrize("aggregation", ["sum", "mult", "max", "min", "count", "avg", "median", "stdev"])
def test_no_call_passes_255_arguments(aggregation: str, count: int) -> None:
    kids = [laid_out(f"c{i}", str(i), f"B{i + 2}") for i in range(count)]
    [text] = exported(laid_out("x", f"=1 + {aggregation}(children)", "A1", *kids))[:1]
    flat = count <= 255
    if count > 1000 or (not flat and aggregation in ("median", "stdev")):
        # Longer than the 8,192 characters a spreadsheet takes, or no
        # equivalent form.
        assert text == "VALUE!"
        return
    assert text.startswith("=1+")
    assert max(n for _, n in calls(text)) <= 255
    names = {name for name, _ in calls(text)}
    if flat:
        assert len(calls(text)) == 1
    elif aggregation == "avg":
        assert names == {"SUM", "COUNT", ""} and text.startswith("=1+(SUM(SUM(")
    elif aggregation == "count":
        assert names == {"SUM", "COUNT"}
    # Every cell is still there, once.
    assert text.replace("(", ",").replace(")", ",").split(",").count("B2") == (2 if aggregation == "avg" and not flat else 1)


@pytest.mark.parametrize(("first", "kept"), [("1", True), ("11", False)])
def test_a_formula_of_8192_characters_is_the_longest_kept(first: str, kept: bool) -> None:
    # "=" and the translation: 8,192 characters with "1", one more with "11".
    formula = "=" + first + "+@n" * 2730
    text, _ = exported(laid_out("x", formula, "A1"), laid_out("n", "2", "B2"))
    expected = "=" + first + "+B2" * 2730
    assert (text, len(expected)) == ((expected, 8192) if kept else ("VALUE!", 8193))


def test_many_conditions_and_a_shared_name_are_grouped() -> None:
    shared = [laid_out("N", str(i), f"B{i + 2}") for i in range(300)]
    conditions = " and ".join(f"@c{i} > 0" for i in range(300))
    tested = [laid_out(f"c{i}", "1", f"C{i + 2}") for i in range(300)]
    total, both = exported(laid_out("t", "=total(@N)", "A1"), laid_out("a", f"=if({conditions}; 1; 2)", "A2"),
                           *shared, *tested)[:2]
    assert total.startswith("=SUM(SUM(B2,") and max(n for _, n in calls(total)) <= 255
    assert both.startswith("=IF(AND(AND(C2>0,") and max(n for _, n in calls(both)) <= 255
