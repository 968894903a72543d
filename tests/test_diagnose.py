"""diagnose and diagnose_tree: why a formula does not parse, and where the
error cells of a tree come from, with evaluate_tree's values."""

from __future__ import annotations

import copy
from types import SimpleNamespace
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

from morvax_formulas import diagnose, diagnose_tree, evaluate, evaluate_tree
from treeutil import node, outline, preorder


@pytest.mark.parametrize(
    ("formula", "offending", "hint"),
    [
        ("=round(1,5, 2)", ",", "separated by ';'"),
        ("=max(@A,@B)", ",", "separated by ';'"),
        ("1+2", "+", "starts with '=': =1+2"),
        ("=(1 + 2", "", "'(' is not closed"),
        ("=sum(abs(1; 2", "", "2 '(' are not closed"),
        ("=1e5 + 1", "e5", "no exponent"),
        ("=2E-3", "E", "no exponent"),
        ("=INF * 2", "INF", "'inf' is a result"),
        ("=nan", "nan", "'nan' is a result"),
        ("=foo(1)", "foo", "'foo' is no function"),
        ("=abs(1; 2)", "abs(1; 2)", None),
        ("=@{Größe} +* 1", "*", None),
        ("=", "", None),
    ],
)
def test_diagnose_points_at_the_slip(formula: str, offending: str, hint: str | None) -> None:
    problem = diagnose(formula)
    assert problem is not None
    assert problem["message"]
    assert formula[problem["start"] : problem["end"]] == offending
    if hint is None:
        assert problem["hint"] is None
    else:
        assert problem["hint"] is not None and hint in problem["hint"], problem["hint"]


FORMULA_CHARACTERS = st.text(alphabet="=@{}()[];,.%+-*/^<> 0123456789eabcsumlogifÄ\t", max_size=30)


@given(FORMULA_CHARACTERS)
def test_diagnose_answers_exactly_for_texts_that_do_not_parse(text: str) -> None:
    problem = diagnose(text)
    # Evaluation never makes ERROR!: only a failed parse does.
    assert (problem is None) == (evaluate(text) != "ERROR!")
    if problem is not None:
        assert 0 <= problem["start"] <= problem["end"] <= len(text)


# Each tree: the records as (name, dimension, value, cause, the formula text
# the span covers, the source's name and dimension or None).
HAND_TREES = [
    (
        "R\n A =@B + 1\n B =@A * 2",
        [("A", 0, "REF!", "cycle", "@B", None), ("B", 0, "REF!", "cycle", "@A", None)],
    ),
    (
        "R\n B =@A + 1\n A =iferror(@B; 0)",
        [],
    ),
    (
        "R\n A =iferror(@B; 0)\n B =@A + 1",
        [("B", 0, "REF!", "cycle", "@A", None)],
    ),
    (
        "R =sum(children)\n Sales 5\n Costs =@sales * 2",
        [("R", 0, "REF!", "propagated", "children", ("Costs", 0)), ("Costs", 0, "REF!", "unknown name", "@sales", None)],
    ),
    (
        "R\n ~Draft 5\n Price =@Draft",
        [("Price", 0, "REF!", "hidden", "@Draft", None)],
    ),
    (
        "R\n Cost 1\n Cost 2\n One =@Cost\n Third =@Cost[3]\n Share =ratio(@Cost)",
        [
            ("One", 0, "MANY!", "ambiguous", "@Cost", None),
            ("Third", 0, "REF!", "index out of range", "@Cost[3]", None),
            ("Share", 0, "MANY!", "ambiguous", "ratio(@Cost)", None),
        ],
    ),
    (
        "R =children[3] + children\n A 1",
        [("R", 0, "REF!", "index out of range", "children[3]", None)],
    ),
    (
        "R\n A [=right[2]|=1|=2/0]\n B =sum(right)",
        [
            ("A", 0, "VALUE!", "propagated", "right[2]", ("A", 2)),
            ("A", 2, "VALUE!", "division by zero", "/", None),
            ("B", 0, "REF!", "index out of range", "right", None),
        ],
    ),
    (
        "R\n A [=coalesce(right)||=2/0]",
        [("A", 0, "VALUE!", "propagated", "right", ("A", 2)), ("A", 2, "VALUE!", "division by zero", "/", None)],
    ),
    (
        "R\n P [=0|=4]\n Q =ratio(@P)\n L =log(@P)\n V =avg(children)\n C =if(empty > 1; 1; 2)",
        [
            ("Q", 0, "VALUE!", "division by zero", "ratio(@P)", None),
            ("L", 0, "VALUE!", "invalid argument", "log(@P)", None),
            ("V", 0, "VALUE!", "invalid argument", "avg(children)", None),
            ("C", 0, "VALUE!", "invalid argument", ">", None),
        ],
    ),
    (
        "R\n A =1 + children\n B =round(1,5, 2)\n C =@B",
        [
            ("A", 0, "MANY!", "several values", "children", None),
            ("B", 0, "ERROR!", "syntax", ",", None),
            ("C", 0, "REF!", "propagated", "@B", ("B", 0)),
        ],
    ),
    (
        "R\n Größe [=1/0|=2]\n Ä =@Größe + 1",
        [
            ("Größe", 0, "VALUE!", "division by zero", "/", None),
            ("Ä", 0, "REF!", "propagated", "@Größe", ("Größe", 0)),
        ],
    ),
]


def error_cells(evaluated: Any) -> list[tuple[str, int, str]]:
    """(name, dimension, error text) of every error value, as diagnose_tree orders them."""
    cells = []
    for current in preorder(evaluated):
        value = current.value
        for dimension, text in enumerate([value] if isinstance(value, str) else value):
            if text in ("ERROR!", "REF!", "MANY!", "VALUE!"):
                cells.append((current.name, dimension, text))
    return cells


def formula_in(current: Any, dimension: int) -> str:
    return current.formula if isinstance(current.formula, str) else current.formula[dimension]


@pytest.mark.parametrize(("tree", "expected"), HAND_TREES)
def test_diagnose_tree_names_causes_places_and_sources(tree: str, expected: list[Any]) -> None:
    root = outline(tree)
    by_name = {current.name: current for current in preorder(root)}
    records = diagnose_tree(root)
    got = []
    for r in records:
        covered = formula_in(by_name[r["name"]], r["dimension"])[r["start"] : r["end"]]
        source = None if r["source"] is None else (r["source"]["name"], r["source"]["dimension"])
        got.append((r["name"], r["dimension"], r["value"], r["cause"], covered, source))
        assert r["detail"]
    assert got == expected
    # The cells are evaluate_tree's error cells, with its values.
    assert [(r["name"], r["dimension"], r["value"]) for r in records] == error_cells(evaluate_tree(root))


def test_diagnose_tree_details() -> None:
    root = outline("R\n Revenue 5\n A =@Revenu\n B =@A\n Loop =@Loop\n I =@Revenue[2] + children[1]")
    details = {r["name"]: r["detail"] for r in diagnose_tree(root)}
    assert details == {
        "A": "no visible node is called 'Revenu'; did you mean @Revenue?",
        "B": "reads 'A', which is REF! in dimension 0",
        "Loop": "circular reference: Loop -> Loop",
        "I": "index 2 of 'Revenue': 1 visible node is called so (indexes count from 1)",
    }


LONG = "a" * 63


@pytest.mark.parametrize(
    ("names", "mistyped", "suggested"),
    [
        (["Revenue"], "revenue", "@Revenue"),  # another letter case
        (["Revenue"], "Revenu", "@Revenue"),  # one character missing
        (["Revenue"], "Revenuee", "@Revenue"),  # one too many
        (["Revenue"], "Revanue", "@Revenue"),  # one changed
        (["Revenue"], "Rveenue", "@Revenue"),  # two swapped
        (["Cost1", "Cost2"], "Cost3", "@Cost1"),  # the first in pre-order
        (["Cost2", "Cost1"], "Cost3", "@Cost2"),
        (["Umsatz€"], "Umsatz", "@{Umsatz€}"),  # characters of several bytes
        (["Größe"], "Gröe", "@Größe"),
        (["Größe"], "Grüße", "@Größe"),
        (["Größe"], "Groe", None),  # two characters off
        (["hidden:Revenue"], "Revenu", None),  # hidden names are not offered
        ([LONG + "b"], LONG + "c", f"@{LONG}b"),  # 64 characters: the longest offered
        ([LONG + "ab"], LONG + "ac", None),
    ],
)
def test_diagnose_tree_suggests_the_closest_visible_name(names: list[str], mistyped: str, suggested: str | None) -> None:
    nodes = [node(name.removeprefix("hidden:"), "1", is_hidden=name.startswith("hidden:")) for name in names]
    [record] = diagnose_tree(node("R", "", *nodes, node("x", "=@{" + mistyped + "}")))
    unknown = f"no visible node is called '{mistyped}'"
    assert record["detail"] == (unknown if suggested is None else f"{unknown}; did you mean {suggested}?")


def test_diagnose_tree_reports_ids_and_leaves_the_tree_alone() -> None:
    root = node("R", "", node("A", "=@Nope", id="a1"), node("B", "=@A", id=7))
    before = copy.deepcopy(root)
    records = diagnose_tree(root)
    assert [(r["id"], r["name"]) for r in records] == [("a1", "A"), ("", "B")]
    assert records[1]["source"] == {"id": "a1", "name": "A", "dimension": 0}
    assert all(not hasattr(current, "value") for current in preorder(root))
    assert repr(root) == repr(before)


@pytest.mark.parametrize(
    ("broken", "error"),
    [
        (SimpleNamespace(name="R", formula="", children=()), TypeError),
        (node("R", 5), TypeError),
        (object(), AttributeError),
    ],
)
def test_diagnose_tree_refuses_what_evaluate_tree_refuses(broken: Any, error: type[Exception]) -> None:
    with pytest.raises(error) as raised:
        diagnose_tree(broken)
    with pytest.raises(error) as expected:
        evaluate_tree(broken)
    assert str(raised.value) == str(expected.value)


FORMULAS = st.sampled_from(
    ["", "1", "=@A", "=@B + 1", "=@A[2]", "=sum(@A)", "=children[1]", "=sum(children)", "=1/@B", "=log(@C)",
     "=iferror(@C; 1)", "=right[1] * 2", "=sum(right)", "=ratio(@A)", "=@Z", "=(1", "=avg(children)",
     "=coalesce(right)", "=coalesce(@A)"]
)


@st.composite
def trees(draw: st.DrawFn) -> Any:
    names = st.sampled_from(["A", "B", "C"])
    formula = st.one_of(FORMULAS, st.lists(FORMULAS, min_size=1, max_size=3))
    root = node("R", draw(formula))
    parents = [root]
    for _ in range(draw(st.integers(1, 8))):
        child = node(draw(names), draw(formula), is_hidden=draw(st.booleans()) and draw(st.booleans()))
        draw(st.sampled_from(parents)).children.append(child)
        parents.append(child)
    return root


@st.composite
def crowded_trees(draw: st.DrawFn) -> Any:
    """Many nodes of one name read whole by others, some of which are read
    from within the evaluation of one of those nodes: what an aggregation of
    the name gives must not depend on which of its readers came first."""
    def formula(choices: list[str]) -> Any:
        one = st.sampled_from(choices)
        return draw(st.one_of(one, st.lists(one, min_size=1, max_size=3)))

    named = ["A"] * draw(st.integers(8, 12)) + ["B"] * draw(st.integers(1, 4))
    return node("R", "", *[
        node(name, formula(["1", "2", "-3", "", "=iferror(@B[1]; 5)", "=iferror(@B[2] * 0; 4)"] if name == "A" else
                           ["=sum(@A)", "=total(@A)", "=avg(@A) + 1", "=max(@A)", "=iferror(sum(@A); 3)",
                            "=when(1 > 0; count(@A); 0)", "=when(1 > 0; total(@A); 0)", "=@A * 2", "=ratio(@A)",
                            "=when(1 > 0; max(@A; 0); 0)", "=when(1 > 0; ratio(@A); 0)", "=coalesce(@A)",
                            "=1 / coalesce(@A; 1)", "=avg((@A))"]))
        for name in draw(st.permutations(named))
    ])


@given(st.one_of(trees(), crowded_trees()))
def test_diagnose_tree_reports_exactly_evaluate_trees_error_cells(root: Any) -> None:
    records = diagnose_tree(root)
    assert [(r["name"], r["dimension"], r["value"]) for r in records] == error_cells(evaluate_tree(root))
    for r in records:
        assert (r["source"] is not None) == (r["cause"] == "propagated")
