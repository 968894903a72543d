"""explain_node end to end: the explanation record, ids that match nothing,
texts that JSON must escape, and failures of the json module."""

from __future__ import annotations

import copy
import sys
from types import SimpleNamespace
from typing import Any

import pytest

from morvax_formulas import explain_node
from treeutil import formulas, node, outline

MODEL = "R#r =sum(children)\n A#a =@B*@C\n B#b =@C+@D+@C\n C#c 1\n D#d [2|3]\n E#e =@Z+@Two\n Two#t\n Two#u"


def summary(record: dict[str, Any] | None) -> list[tuple[str, Any]] | None:
    """(name, formula) of the explained node, then of each of its children."""
    if record is None:
        return None
    return [(record["name"], record["formula"])] + [(c["name"], c["formula"]) for c in record["children"]]


@pytest.mark.parametrize(
    ("tree", "node_id", "expected"),
    [
        (MODEL, "a", [("A", "=(@C+@D+@C)*@C"), ("C", "1"), ("D", ["2", "3"])]),
        # Unknown and shared names stay in the formula without a child.
        (MODEL, "e", [("E", "=@Z+@Two")]),
        # The explained node's own children never show. E, which reads both
        # Two nodes, stays a reference; each Two is read by its index.
        (MODEL, "r", [("R", "=sum(((@C+@D+@C)*@C); (@C+@D+@C); @C; @D; @E; @Two[1]; @Two[2])"),
                      ("C", "1"), ("D", ["2", "3"]), ("E", "=@Z+@Two"), ("Two", ""), ("Two", "")]),
        (MODEL, "x", None),
        (MODEL, "", None),
        # Without an id a node has the empty one; the first in pre-order wins.
        ("R#r\n A =@B\n B 1", "", [("A", "=@B"), ("B", "1")]),
    ],
)
def test_explanations(tree: str, node_id: str, expected: list[tuple[str, Any]] | None) -> None:
    assert summary(explain_node(outline(tree), node_id)) == expected


def test_long_chain() -> None:
    # Each link's formula holds the next one's: the first link's holds the
    # whole chain, as long as the chain. Every link's expansion together
    # would be as long as its square (15,000 links once ended in MemoryError);
    # only the texts returned are made.
    length = 20_000
    links = [node(f"n{i}", f"=@n{i + 1} + 1", id=f"n{i}") for i in range(length)]
    root = node("root", "", *links, node(f"n{length}", "1", id="last"))
    record = explain_node(root, "n0")
    assert record is not None
    assert record["formula"] == "=" + "(" * (length - 1) + f"@n{length}" + " + 1)" * (length - 1) + " + 1"
    assert [child["id"] for child in record["children"]] == ["last"]


def test_record_fields() -> None:
    root = outline("R#r\n A#a [=@B|=@B+1]\n ~H#h 5\n B#b 2")
    root.children[0].cells = ["B2", "C2"]
    root.children[0].value = ["stale", "values"]  # never read
    record = explain_node(root, "a")
    assert record == {
        "id": "a",
        "name": "A",
        "formula": ["=@B", "=@B+1"],
        "value": ["", ""],
        "is_hidden": False,
        "cells": ["B2", "C2"],
        "children": [
            {"id": "b", "name": "B", "formula": "2", "value": "", "is_hidden": False, "cells": [], "children": []},
        ],
    }
    assert list(record) == ["id", "name", "formula", "value", "is_hidden", "cells", "children"]
    assert explain_node(root, "h") == {"id": "h", "name": "H", "formula": "5", "value": "",
                                       "is_hidden": True, "cells": [], "children": []}


@pytest.mark.parametrize(
    "text",
    ["quote \" and backslash \\", "controls \x00\x01\x08\t\n\x0b\x0c\r\x1f\x7f", "Ümsatz 日本 😀", "\u2028"],
)
def test_texts_survive_json(text: str) -> None:
    root = node("R", "", node(text, text, id=text))
    record = explain_node(root, text)
    assert record is not None
    assert (record["id"], record["name"], record["formula"]) == (text, text, text)


def test_callers_tree_is_not_changed() -> None:
    root = outline(MODEL)
    before = copy.deepcopy(root)
    explain_node(root, "a")
    assert formulas(root) == formulas(before)
    assert not hasattr(root.children[0], "value")


def test_node_id_is_checked_before_root_is_read() -> None:
    with pytest.raises(TypeError, match="node_id"):
        explain_node(object(), 5)  # type: ignore[arg-type]


class Refuse(Exception):
    pass


def refuse(text: str) -> Any:
    raise Refuse(text)


@pytest.mark.parametrize(
    ("json_module", "raised"),
    [(SimpleNamespace(loads=refuse), Refuse), (SimpleNamespace(), AttributeError), (None, ImportError)],
    ids=["loads raises", "no loads", "import fails"],
)
def test_json_failures_pass_through(
    monkeypatch: pytest.MonkeyPatch, json_module: Any, raised: type[BaseException]
) -> None:
    monkeypatch.setitem(sys.modules, "json", json_module)
    with pytest.raises(raised):
        explain_node(outline("R#r 1"), "r")
    assert explain_node(outline("R#r 1"), "x") is None  # no record: json is not needed
