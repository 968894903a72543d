"""evaluate_tree end to end: results in trees, in place versus copy, deep trees
and chains, and threads evaluating at once."""

from __future__ import annotations

import copy
import random
import threading
from types import SimpleNamespace
from typing import Any

import pytest

from morvax_formulas import evaluate_tree, rename_nodes
from treeutil import chain, deep, node, on_thread, outline, values


# Every reference form once through the bridge; tests/cpp/test_tree.cpp holds
# the full tables of the evaluation itself.
@pytest.mark.parametrize(
    ("tree", "expected"),
    [
        ("R\n N 1\n N 2\n M =@N\n S =sum(@N) + @N[2]", ["", "1", "2", "MANY!", "5"]),
        ("R =@H + children[1]\n ~H 4\n  V 6", ["REF!", "4", "6"]),
        ("R\n X =1/0\n A =@X\n B =iferror(@X; 0)\n C =", ["", "VALUE!", "REF!", "0", "ERROR!"]),
        ("R [=sum(right)|=2|=3]\n S =sum(right)", [["5", "2", "3"], "REF!"]),
        ("R\n P [=2|=4|=6]\n T =total(@P)\n Q =ratio(@P)", ["", ["2", "4", "6"], "2", ["1", "2", "3"]]),
        ("R\n B =@A + 1\n A =iferror(@B; 0)", ["", "1", "0"]),
        ("Root =sum(children)\n A =@P * 2\n P [=1|=2]", [["3", "6"], ["2", "4"], ["1", "2"]]),
        ("R =5\n A [=1|=1|=2]\n S =@A", ["5", ["1", "1", "2"], ["1", "1", "2"]]),
        ("R []\n A []", [[], []]),
        # Both signs of NaN kept by the memo: the median's total order puts them apart.
        (
            "R\n A [=10^400 - 10^400|=-(10^400 - 10^400)|=1/0|=]\n B [=median(@A; 1; 2)|=median(@A; 1; 2)|=@A|=iferror(@A; 7)]",
            ["", ["NaN", "NaN", "VALUE!", "ERROR!"], ["1", "2", "REF!", "7"]],
        ),
        # A single formula that reads what is the same in every dimension is
        # one value, unless read first in a later dimension, or a NaN, or its
        # total was of a node still in progress (T, through N's read).
        ("R\n A =@B + 1\n B =@C * 2\n C =3\n L [=1|=2]", ["", "7", "6", "3", ["1", "2"]]),
        ("R\n L [=1|=@U + 1]\n U =2 * 3", ["", ["1", "7"], ["6", "6"]]),
        ("R\n Z =10^400 - 10^400\n L [=1|=2]", ["", ["NaN", "NaN"], ["1", "2"]]),
        ("R\n T =iferror(@N; 5)\n N =total(@T)\n L [=1|=2|=3]", ["", "5", ["REF!", "5", "5"], ["1", "2", "3"]]),
        ("R\n A =iferror(@A; 1)\n B =@A + 1\n L [=1|=2]", ["", ["1", "1"], "2", ["1", "2"]]),
        # A name's sum, total and values taken from within one of its nodes'
        # own evaluation (A, B and C, through F) are not what later readers get.
        (
            "R\n F =@X[1]\n A =sum(@X)\n B =total(@X)\n C =when(1 > 0; max(@X; 0); 0)\n"
            " X =iferror(@A; 5) + iferror(@B; 0) + iferror(@C; 0)\n"
            + "".join(f" X {i}\n" for i in range(2, 9)) + " S =sum(@X)\n T =total(@X)\n M =when(1 > 0; max(@X; 0); 0)",
            ["", "5", "REF!", "REF!", "REF!", "5", "2", "3", "4", "5", "6", "7", "8", "40", "40", "8"],
        ),
    ],
)
def test_tree_results(tree: str, expected: list[Any]) -> None:
    root = outline(tree)
    result = evaluate_tree(root, in_place=True)
    assert [value for _, value in values(result)] == expected


# The texts of one call's results are shared between the nodes holding equal
# results: thousands of distinct numbers, numbers that differ in their high
# bits only, repeats, both zeros, empties and errors each keep their own text.
RESULT_COLUMNS = [
    (lambda i: f"={i} * 2^40", lambda i: str(i * 2**40)),
    (lambda i: f"={i} + 0.25", lambda i: f"{i}.25"),
    (lambda i: f"={i % 7}", lambda i: str(i % 7)),
    (lambda i: f"=-{i % 3} * 0", lambda i: "0"),
    (lambda i: "", lambda i: ""),
    (lambda i: "=1/0" if i % 2 else "=", lambda i: "VALUE!" if i % 2 else "ERROR!"),
    (lambda i: f"={i} / 8", lambda i: f"{i / 8:.10f}".rstrip("0").rstrip(".")),
]


@pytest.mark.parametrize("count", [1, 40, 6000])
def test_many_distinct_results_keep_their_texts(count: int) -> None:
    kids = [node(f"N{i}", [formula(i) for formula, _ in RESULT_COLUMNS]) for i in range(count)]
    result = evaluate_tree(node("R", "=1", *kids))
    assert [n.value for n in result.children] == [[text(i) for _, text in RESULT_COLUMNS] for i in range(count)]


def test_results_beyond_the_shared_texts_keep_their_texts() -> None:
    # More distinct results than the call keeps one text of each for.
    months = 12
    kids = [node(f"N{i}", [str(i * months + m) for m in range(months)]) for i in range(66_000)]
    result = evaluate_tree(node("R", "", *kids), in_place=True)
    assert [n.value for n in result.children] == [n.formula for n in kids]


class FreshTexts:
    """A node whose name and formula are made anew at every read: each str
    dies when the reader lets go of it, and the next one made may take its
    address with another text."""

    def __init__(self, name: str, formula: str | list[str], children: list[Any]) -> None:
        self._name, self._formula, self.children, self.value = name, formula, children, ""

    @property
    def name(self) -> str:
        return "".join(self._name)

    @property
    def formula(self) -> str | list[str]:
        return "".join(self._formula) if isinstance(self._formula, str) else ["".join(f) for f in self._formula]


def test_texts_made_at_every_read_keep_their_own_meaning() -> None:
    plain = [node(f"N{i % 50}", [f"={i}", f"=@N{(i + 1) % 50} + {i % 7}", "=right[1]", "=1"][i % 4])
             for i in range(3000)]
    plain += [node(f"L{i}", [f"={i + d}" if d % 3 else "=left[1] * 2" for d in range(4)]) for i in range(500)]
    fresh = [FreshTexts(n.name, n.formula, []) for n in plain]
    expected = [n.value for n in evaluate_tree(node("R", "=sum(children)", *plain), in_place=True).children]
    got = [n.value for n in evaluate_tree(FreshTexts("R", "=sum(children)", fresh), in_place=True).children]
    assert got == expected


def test_a_list_repeating_one_str_reads_as_separate_equal_strs() -> None:
    # Runs of one object, as [formula] * 12 makes them, against the same
    # texts each made anew: the same values, and rename_nodes (which keeps
    # every text) writes the same lists back.
    rng = random.Random(5)
    texts = ["=1", "=right[1] + 1", "", "=@N3 * 2", "not a formula", "=left[1] - 1"]

    def runs() -> list[str]:
        made: list[str] = []
        while len(made) < 8:
            made += [rng.choice(texts)] * rng.randint(1, 4)
        return made

    shared = [runs() for _ in range(40)]
    afresh = [["".join(list(text)) for text in formula] for formula in shared]
    trees = [node("R", "=sum(children)", *(node(f"N{i}", f, cells=f) for i, f in enumerate(fs)))
             for fs in (shared, afresh)]
    assert values(evaluate_tree(trees[0])) == values(evaluate_tree(trees[1]))
    renamed = rename_nodes(trees[0], trees[0])
    assert [n.formula for n in renamed.children] == afresh
    # A str met in an earlier node, between two equal texts made afresh.
    shared_text = "=5"
    root = node("R", "", node("A", shared_text), node("B", ["".join(list("=1")), shared_text, "".join(list("=1"))]))
    assert evaluate_tree(root).children[1].value == ["1", "5", "1"]


# Texts alike but for the digits of their numbers and indexes share one parse.
# Digits that continue a name (B1), or stand in a braced name, are no literal.
SHAPES = [
    "=@A[{i}] * {n}",
    "=@A[{i}] + @B[{i}] - {n}% + {n}",
    "=sum(@A[{i}]; {n}; children[{i}]) / {n}",
    "=right[{i}] * {n} + total(@B[{i}])",
    "=ratio(@A[{i}]) ^ -{n} + @F[{i}]",
    "=round(@B{i}; {i}) + max(@A; {n})",
    "=({n} + @{{A {i}}}) * -{n}",
    "=if(@A[{i}] > {n}; {n}; @B[{i}])",
    "=@A[{i}] ** 2 + {n}",
]


def test_formulas_of_one_shape_evaluate_as_their_own_texts() -> None:
    # The same tree with every formula padded by a count of spaces of its
    # own: then no two texts share a parse.
    rng = random.Random(11)
    numbers = ["0", "7", "42", "3.5", "0.25", "1,000", "1.000,5", "99999999999999999999", "1" * 330]
    indexes = ["0", "1", "2", "3", "9", "12", "18446744073709551616"]

    def formula() -> str:
        text = rng.choice(SHAPES)
        while "{i}" in text or "{n}" in text:
            text = text.replace("{i}", rng.choice(indexes), 1).replace("{n}", rng.choice(numbers), 1)
        return text.replace("{{", "{").replace("}}", "}")

    fs = [[formula() for _ in range(3)] for _ in range(150)]
    pads = iter(range(1, 1000))
    padded = [[text + " " * next(pads) for text in f] for f in fs]
    fixed = [node("A", ["1", "2", "3"]), node("A", ["4", "0", "6"]), node("A", "5"), node("B", ["2", "8", "1"]),
             node("B", "3"), node("B1", "9"), node("B3", ["1", "2", "4"]), node("A 1", "6"), node("A 3", "2")]
    trees = [node("R", "=sum(children)", *fixed, *(node("F", f, node("C", "2"), node("C", "3")) for f in group))
             for group in (fs, padded)]
    got, expected = (values(evaluate_tree(tree))[len(fixed) + 1:] for tree in trees)
    assert got == expected
    assert len({str(v) for _, v in got}) > 50  # the results differ from formula to formula


class ChangingChildren:
    """A node whose `children` reads as the given list while the tree is
    converted and as `later` from the second read on (the write-back's)."""

    def __init__(self, name: str, formula: str, children: list[Any], later: Any) -> None:
        self.name, self.formula, self.value = name, formula, None
        self._reads, self._children, self._later = 0, children, later

    @property
    def children(self) -> Any:
        self._reads += 1
        return self._children if self._reads == 1 else self._later


# The write-back matches objects to evaluated nodes by position: below an
# object whose children are no longer a list nothing is written, and a shorter
# list takes the first results; later siblings still get their own.
@pytest.mark.parametrize(
    ("later", "expected"),
    [
        (None, [("R", "12"), ("A", "5"), ("A1", None), ("A2", None), ("B", "7")]),
        ("kept", [("R", "12"), ("A", "5"), ("A1", "2"), ("A2", "3"), ("B", "7")]),
        ("first only", [("R", "12"), ("A", "5"), ("A1", "2"), ("A2", None), ("B", "7")]),
    ],
)
def test_write_back_follows_the_children_read_then(later: str | None, expected: list[tuple[str, Any]]) -> None:
    a1, a2 = node("A1", "2"), node("A2", "3")
    a1.value = a2.value = None
    kids = [a1, a2]
    changed = {None: None, "kept": kids, "first only": kids[:1]}[later]
    a = ChangingChildren("A", "=sum(children)", kids, changed)
    b = node("B", "7", value=None)
    root = node("R", "=sum(children)", a, b, value=None)
    evaluate_tree(root, in_place=True)
    assert [(n.name, n.value) for n in (root, a, a1, a2, b)] == expected


def test_copy_leaves_the_callers_tree_alone() -> None:
    root = outline("R =sum(children)\n A 1\n B 2")
    before = copy.deepcopy(root)
    result = evaluate_tree(root)
    assert result is not root and result.children[0] is not root.children[0]
    assert values(root) == values(before) == [("R", None), ("A", None), ("B", None)]
    assert values(result) == [("R", "3"), ("A", "1"), ("B", "2")]
    assert values(evaluate_tree(root, False)) == values(result)


# A large tree must show the caller what a small one shows, in the same order.
PADDING = [0, 5000]


def padded(tree: str, extra: int, root_type: type[SimpleNamespace] = SimpleNamespace) -> Any:
    root = outline(tree)
    pad = node("Pad", "=sum(children)", *(node("P", str(i % 7)) for i in range(extra)))
    return root_type(name=root.name, formula=root.formula, children=[*root.children, pad])


@pytest.mark.parametrize("extra", PADDING)
def test_copy_agrees_with_in_place(extra: int) -> None:
    text = "R =@A\n A [=1|=2]\n B =@A * 2\n C =@C + 1"
    root = padded(text, extra)
    before = values(root)
    result = evaluate_tree(root)
    assert values(root) == before
    in_place = evaluate_tree(padded(text, extra), in_place=True)
    assert values(result) == values(in_place)
    assert values(result)[:5] == [("R", ["1", "2"]), ("A", ["1", "2"]), ("B", ["2", "4"]), ("C", "REF!"),
                                  ("Pad", str(sum(i % 7 for i in range(extra))))]


class Refuse(Exception):
    pass


class CopiedBy(SimpleNamespace):
    """A root whose deep copy first changes the caller's tree, then refuses,
    or hands back a copy that takes no `value`."""

    def __deepcopy__(self, memo: dict[int, Any]) -> Any:
        self.children[0].formula = "=100"
        del self.children[1:]
        if self.how == "refuse":
            raise Refuse("copy")
        made = SimpleNamespace(name=self.name, formula=self.formula, children=copy.deepcopy(self.children, memo))
        return ReadOnlyValue(made) if self.how == "read-only" else made


class ReadOnlyValue(SimpleNamespace):
    def __init__(self, inner: SimpleNamespace) -> None:
        super().__init__(**vars(inner))

    @property
    def value(self) -> Any:
        return None


@pytest.mark.parametrize("extra", PADDING)
@pytest.mark.parametrize(
    ("how", "raised", "copied"),
    [
        ("refuse", Refuse, None),
        ("read-only", AttributeError, None),
        # Read before the copy was taken: the results of the old formulas,
        # written onto what the copy holds.
        ("copy", None, [("R", "6"), ("A", "2")]),
    ],
)
def test_copy_taken_after_reading(extra: int, how: str, raised: type[Exception] | None, copied: Any) -> None:
    root = padded("R =@A * 3\n A =2\n B =1", extra, CopiedBy)
    root.how = how
    if raised is not None:
        with pytest.raises(raised):
            evaluate_tree(root)
    else:
        assert values(evaluate_tree(root)) == copied
    assert values(root) == [("R", None), ("A", None)]
    assert root.children[0].formula == "=100"


@pytest.mark.parametrize("in_place", [True, False])
def test_values_are_new_texts(in_place: bool) -> None:
    root = outline("R =1\n A [=2|=3]")
    result = evaluate_tree(root, in_place=in_place)
    assert (result is root) is in_place
    assert type(result.value) is str
    assert type(result.children[0].value) is list
    assert all(type(v) is str for v in result.children[0].value)


def test_numpy_boolean_for_in_place() -> None:
    numpy = pytest.importorskip("numpy")
    root = outline("R =1")
    assert evaluate_tree(root, numpy.True_) is root
    assert evaluate_tree(root, in_place=numpy.bool_(False)) is not root


def test_long_on_demand_chain_in_a_small_thread() -> None:
    # Each link is evaluated on demand from the one before: as deep as the chain.
    length = 300_000
    root = chain(length)
    assert on_thread(512 * 1024, lambda: evaluate_tree(root, in_place=True)) is root
    assert root.value == str(length)
    assert [link.value for link in root.children[::50_000]] == [str(length - i) for i in range(0, length, 50_000)]


def test_deep_tree_in_place() -> None:
    depth = 100_000
    root = deep(depth, "=sum(children) + 1")
    evaluate_tree(root, in_place=True)
    assert root.value == str(depth)


def test_deep_tree_copy_passes_deepcopys_error_through() -> None:
    root = deep(100_000)
    try:
        copy.deepcopy(root)
    except BaseException as error:
        expected: type[BaseException] | None = type(error)
    else:
        expected = None
    if expected is None:
        assert evaluate_tree(root).value == "1"
    else:
        with pytest.raises(expected):
            evaluate_tree(root)
    assert not hasattr(root, "value")


@pytest.mark.parametrize(("items", "rounds"), [(200, 30), (5000, 4)])
def test_threads_evaluate_their_own_trees(items: int, rounds: int) -> None:
    def tree(k: int) -> Any:
        kids = [node(f"item{i}", [f"={k} * {i}", f"={k} * {i} + {k}"]) for i in range(items)]
        return node("total", "=sum(children)", *kids)

    def expected(k: int) -> list[str]:
        first = sum(k * i for i in range(items))
        return [str(first), str(first + items * k)]

    failures: list[str] = []
    barrier = threading.Barrier(6)

    def run(k: int) -> None:
        barrier.wait()
        for _ in range(rounds):
            result = evaluate_tree(tree(k))
            if result.value != expected(k):
                failures.append(f"thread {k}: {result.value}")

    threads = [threading.Thread(target=run, args=(k,)) for k in range(1, 7)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
