"""The export checked by a real spreadsheet engine: trees are laid out in
cells, exported, written into one .xlsx workbook (a sheet per tree), and
recalculated by LibreOffice Calc headless; every computed cell must agree with
evaluate_tree's value for the same node and dimension.

Agreement: a number within 1e-9 (relative) of ours; an error of ours against
any spreadsheet error (the texts differ by design); our empty result against
an empty cell, an empty text or zero.  Where the two systems are meant to
differ, KNOWN_DIFFERENCES pins down both sides, and the generated trees steer
clear of those constructs."""

from __future__ import annotations

import math
import random
from dataclasses import dataclass
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import pytest
from openpyxl.utils import get_column_letter

import spreadsheet
from morvax_formulas import evaluate_tree, export_tree_to_excel
from treeutil import node, outline, preorder

ERROR = object()  # any spreadsheet error


@dataclass(frozen=True)
class Cell:
    node: str
    dimension: int
    address: str
    ours: str  # evaluate_tree's value


@dataclass
class Case:
    label: str
    root: SimpleNamespace
    by_columns: bool = False  # dimensions down the rows, nodes across

    @property
    def sheet(self) -> str:
        return self.label[:31]


def dimension_count(root: Any) -> int:
    return max(len(n.formula) if isinstance(n.formula, list) else 1 for n in preorder(root))


def lay_out(case: Case) -> None:
    """One row (or column) per node in pre-order, one cell per dimension. In a
    one-dimensional tree every other node gets a bare address."""
    dimensions = dimension_count(case.root)
    for position, current in enumerate(preorder(case.root)):
        addresses = []
        for d in range(dimensions):
            row, column = (d + 1, position + 2) if case.by_columns else (position + 1, d + 2)
            addresses.append(f"{get_column_letter(column)}{row}")
        current.cells = addresses[0] if dimensions == 1 and position % 2 else addresses


def value_at(value: str | list[str], dimension: int) -> str:
    if isinstance(value, str):
        return value
    return value[dimension] if dimension < len(value) else ""


def prepare(case: Case) -> tuple[dict[str, str], list[Cell]]:
    """The sheet's cell texts and the cells to compare."""
    lay_out(case)
    evaluated = evaluate_tree(case.root)
    exported = export_tree_to_excel(case.root)
    texts: dict[str, str] = {}
    cells: list[Cell] = []
    for laid, ours, out in zip(preorder(case.root), preorder(evaluated), preorder(exported)):
        addresses = [laid.cells] if isinstance(laid.cells, str) else laid.cells
        written = [out.cells] if isinstance(out.cells, str) else out.cells
        for d, (address, text) in enumerate(zip(addresses, written)):
            texts[address] = text
            cells.append(Cell(laid.name, d, address, value_at(ours.value, d)))
    return texts, cells


def agree(ours: str, theirs: Any) -> bool:
    if ours in spreadsheet.ERROR_TEXTS:
        return spreadsheet.is_spreadsheet_error(theirs)
    if ours == "":
        return theirs in (None, "", 0)
    if isinstance(theirs, bool) or not isinstance(theirs, (int, float)):
        return False
    return math.isclose(float(ours), theirs, rel_tol=1e-9, abs_tol=1e-9)


# --- the corpus ------------------------------------------------------------

HAND_WRITTEN = {
    "arithmetic": """R =@a + @b * 2 - @c / 4
 a 3
 b 2.5
 c 10
 d =(@a - @b) ^ 2
 e =-@a ^ 2 + 2 ** 3 ^ 2
 f =@a % 2 + 10 % 4 * 3
 g =5% * @c
 h =@a * @b % 4 - +@c
 i =((@a + 1) * (@b - 1)) / (@c)""",
    "literals": """R
 p 12,5%
 q 1.234,56
 r 1,234.5
 s =@p * @q
 t -50%
 u =@t + @r
 v 2.50
 w =@v * 3""",
    "functions": """R
 x -2.5
 y 7
 f1 =abs(@x)
 f2 =round(@x)
 f3 =round(@y / 3; 2)
 f4 =ceil(@x)
 f5 =floor(@x)
 f6 =pow(@y; 2)
 f7 =root(@y + 1; 3)
 f8 =log(1000)
 f9 =log(@y + 1; 2)
 f10 =mod(@y; 3)
 f11 =sign(@x)
 f12 =iferror(1 / 0; @y)
 f13 =iferror(@y / 2)
 f14 =round(1234.5; -2)
 f15 =ceil(@y / 2) + floor(-@y / 2)
 f16 =abs(@missing) + 1
 f17 =root(@y; 0)
 f18 =log(-1)""",
    "aggregations": """R
 a 4
 b 1
 c 7
 d 2.5
 s1 =sum(@a; @b; @c)
 s2 =mult(@a; @b; @c)
 s3 =avg(@a; @b; @c; @d)
 s4 =median(@a; @b; @c; @d)
 s5 =stdev(@a; @b; @c; @d)
 s6 =max(@a; @b; @c)
 s7 =min(@a; @b; -@c)
 s8 =count(@a; @b; @e)
 e
 s9 =coalesce(@e; @b)
 s10 =coalesce(@a; @b)
 s11 =sum(@a * 2; @b + 1)
 s12 =avg(@e; @a)
 s13 =stdev(@a)
 s14 =median(@a; @b; @c)
 s15 =avg(@e)""",
    "conditions": """R
 a 3
 b -1
 c 0
 k1 =if(@a > 2; 1; 2)
 k2 =when(@b > 0; 1; @c == 0; 2; 3)
 k3 =when(@b > 0; 1; @a > 5; 2)
 k4 =if(not @a >= 3; 10; 20)
 k5 =if(@a > 1 and @b < 0; 1; 0)
 k6 =if(@c > 1 or @b != -1; 1; 0)
 k7 =if(@c; 1; 0)
 k8 =if(@a; 1; 0)
 k9 =if((@a > 1 or @c > 1) and not @b <> -1; 5; 6)
 k10 =if(@a <= 3 and @a <> 4 and @b == -1; @a * 2; 0)
 k11 =if(@a > 0; @missing; 1)
 k12 =if(@a + @b > @c * 2; @a; @b)
 k13 =when(@a < 0; 1; @b < 0; 2)
 k14 =if(not not @c; 1; 2)""",
    "children": """R =sum(children)
 A =sum(children) * 2
  A1 1
  A2 2
  ~A3 3
 B =children[2] - children[1]
  B1 10
  B2 4
 C =children[1]
  C1 6
 D =avg(children)
  D1 1
  D2
  D3 5
 E =max(children; @C) + min(children)
  E1 1
  E2 8""",
    "duplicates": """R
 N 1
 N 2
 ~N 50
 M =@N[2] * 10
 T =total(@N)
 Q =@N[1] + @N[2]
 Y =sum(@N[1]; @N[2])
 Z =@N
 H =@{N}[3]""",
    "hidden": """R
 ~H 4
  V 6
 x =@V + 1
 y =@H
 P =sum(children)
  ~Q 2
  W 3""",
}

MULTI_DIMENSIONAL = {
    "right": """R
 P [=2|=4|=6]
 S [=sum(right)|=@P * 2|=3]
 Q [=right[1] + 1|=right[1] * 2|=5]
 T =total(@P)
 U =ratio(@P)
 X =8 / ratio(@P) + ratio(@P) ^ 2 - -ratio(@P)
 V [=max(right)|=min(right)|=1]
 W [=avg(right; 1)|=right[1]|=7]""",
    "dimensions": """R =sum(children)
 A [=1|=2|=3]
 B [=@A * 2|=@A * 3|=@A * 4]
 C =@A + @B
 D [=total(@A)|=ratio(@B)|=@A[1]]
 E [=5|=6]
 F =@E * 2""",
}


class TreeGenerator:
    """Random trees whose formulas stay inside the constructs on which the two
    systems agree: references only to earlier visible nodes that are not
    ancestors (no cycles), non-negative operands for modulo, integer powers,
    aggregations over bare children only where every child has a formula per
    dimension, right references only in formula lists and never past the end."""

    NAMES = ["Sales", "Cost", "Margin", "n", "Tax rate", "x"]

    def __init__(self, seed: int, size: int, dimensions: int) -> None:
        self.rng = random.Random(seed)
        self.dimensions = dimensions
        self.size = size

    def tree(self) -> SimpleNamespace:
        nodes = [node(self.name(i), "") for i in range(self.size)]
        for i in range(1, self.size):
            nodes[self.rng.randrange(i)].children.append(nodes[i])
        for i, n in enumerate(nodes):
            n.is_hidden = i > 0 and self.rng.random() < 0.08
        order = list(preorder(nodes[0]))
        ancestors: dict[int, set[int]] = {id(nodes[0]): set()}
        for n in order:
            for c in n.children:
                ancestors[id(c)] = ancestors[id(n)] | {id(n)}
        for position, n in enumerate(order):
            self.visible = [t for t in order[:position] if not t.is_hidden and id(t) not in ancestors[id(n)]]
            self.order = order
            self.current = n
            n.formula = self.formula()
        return nodes[0]

    def name(self, i: int) -> str:
        # About one name in five is shared with another node.
        if i > 2 and self.rng.random() < 0.2:
            return self.rng.choice(self.NAMES[:3])
        return f"{self.rng.choice(self.NAMES)} {i}" if self.rng.random() < 0.3 else f"n{i}"

    def formula(self) -> str | list[str]:
        multi = self.dimensions > 1 and (self.rng.random() < 0.6 or not self.current.children)
        if self.rng.random() < 0.25 and not self.current.children:
            return [self.literal() for _ in range(self.dimensions)] if multi else self.literal()
        if not multi:
            return "=" + self.expression(3, None)
        return ["=" + self.expression(3, d) for d in range(self.dimensions)]

    def literal(self) -> str:
        return self.rng.choice(["3", "2.5", "-4", "12,5%", "1.234,5", "0", "7", "1,5"])

    def reference(self) -> str | None:
        if not self.visible:
            return None
        target = self.rng.choice(self.visible)
        same = [t for t in self.order if t.name == target.name and not t.is_hidden]
        name = target.name if target.name.isidentifier() else "{" + target.name + "}"
        if len(same) == 1:
            return f"@{name}"
        return f"@{name}[{same.index(target) + 1}]"

    def expression(self, depth: int, dimension: int | None) -> str:
        choices = ["number", "reference", "reference"]
        if depth > 0:
            choices += ["binary", "binary", "function", "aggregation", "conditional", "modulo", "power"]
            choices += ["modifier", "children", "right"]
        kind = self.rng.choice(choices)
        sub = lambda: self.expression(depth - 1, dimension)  # noqa: E731
        if kind == "number" or (kind == "reference" and not self.visible):
            # No percentages here: "50% or" reads as 50 modulo something.
            return self.rng.choice(["1", "2", "3", "0.5", "2.5", "10", "0.25", "4"])
        if kind == "reference":
            return self.reference() or "1"
        if kind == "binary":
            return f"{sub()} {self.rng.choice('+-*/')} {sub()}"
        if kind == "modulo":
            return self.rng.choice([f"abs({sub()}) % 3", f"mod(abs({sub()}); 4)", f"(abs({sub()}) + 1) % 2.5"])
        if kind == "power":
            return f"({sub()}) ^ {self.rng.choice('23')}"
        if kind == "function":
            return self.function(sub)
        if kind == "aggregation":
            return self.aggregation(sub, dimension)
        if kind == "conditional":
            if self.rng.random() < 0.5:
                return f"if({self.condition(sub)}; {sub()}; {sub()})"
            return f"when({self.condition(sub)}; {sub()}; {self.condition(sub)}; {sub()}; {sub()})"
        if kind == "modifier" and self.visible:
            reference = self.reference()
            return f"total({reference})" if self.rng.random() < 0.5 else f"ratio({reference})"
        if kind == "children" and self.children_usable():
            count = len(self.current.children)
            return f"children[{self.rng.randint(1, count)}]"
        if kind == "right" and dimension is not None and dimension + 1 < self.dimensions:
            return f"right[{self.rng.randint(1, self.dimensions - dimension - 1)}]"
        return f"({sub()})"

    def children_usable(self) -> bool:
        children = self.current.children
        return bool(children) and (self.dimensions == 1 or all(isinstance(c.formula, list) for c in children))

    def function(self, sub: Any) -> str:
        return self.rng.choice([
            f"abs({sub()})", f"round({sub()})", f"ceil({sub()})", f"floor({sub()})", f"sign({sub()})",
            f"pow({sub()}; 2)", f"root(abs({sub()}) + 1; 2)", f"log(abs({sub()}) + 1)",
            f"log(abs({sub()}) + 2; 2)", f"iferror({sub()} / {sub()}; 0)", f"iferror({sub()}; 1)",
        ])

    def aggregation(self, sub: Any, dimension: int | None) -> str:
        name = self.rng.choice(["sum", "mult", "avg", "median", "stdev", "max", "min", "coalesce"])
        args = [sub() for _ in range(self.rng.randint(1, 3))]
        if name != "coalesce" and self.children_usable() and self.rng.random() < 0.5:
            args.append("children")
        if name != "coalesce" and dimension is not None and dimension + 1 < self.dimensions and self.rng.random() < 0.4:
            args.append("right")
        self.rng.shuffle(args)
        return f"{name}({'; '.join(args)})"

    def condition(self, sub: Any) -> str:
        def comparison(safe: bool = True) -> str:
            # Ours stops at the first operand of and/or that decides; OR() and
            # AND() read all of theirs, so later operands must not fail.
            operand = (lambda: f"iferror({sub()}; 0)") if safe else sub
            if self.rng.random() < 0.15:
                return operand()  # arithmetic used as a condition
            return f"{operand()} {self.rng.choice(['==', '!=', '<>', '>', '<', '>=', '<='])} {operand()}"

        count = self.rng.randint(1, 3)
        parts = [("not " if self.rng.random() < 0.2 else "") + comparison(i > 0) for i in range(count)]
        text = parts[0]
        for part in parts[1:]:
            text = f"{text} {self.rng.choice(['and', 'or'])} {part}"
        return f"({text}) and {comparison()}" if self.rng.random() < 0.2 else text


def many_children() -> SimpleNamespace:
    """A node of 600 children, so that its aggregations take more arguments
    than a spreadsheet function does (255) and are written in groups."""
    kids = [node(f"c{i}", "" if i % 50 == 7 else str(1 + ((i * 37) % 21 - 10) / 1000)) for i in range(600)]
    formulas = ["=sum(children)", "=max(children)", "=min(children)", "=count(children)", "=avg(children)",
                "=mult(children)", "=2 / avg(children) + 1", "=sum(children; 1)"]
    return node("P", formulas, *kids)


def corpus() -> list[Case]:
    cases = [Case(label, outline(text)) for label, text in HAND_WRITTEN.items()]
    cases.append(Case("600 children", many_children()))
    for label, text in MULTI_DIMENSIONAL.items():
        cases += [Case(f"{label} by rows", outline(text)), Case(f"{label} by columns", outline(text), True)]
    for seed in range(12):
        cases.append(Case(f"generated {seed}", TreeGenerator(seed, 30, 1).tree()))
    for seed in range(100, 108):
        cases.append(Case(f"generated {seed}", TreeGenerator(seed, 15, 3).tree(), by_columns=seed % 2 == 1))
    return cases


# Where the two systems are meant to differ: (label, tree, node, dimension,
# evaluate_tree's value, the spreadsheet's value or ERROR).  The README lists them.
KNOWN_DIFFERENCES: list[tuple[str, str, str, int, str, Any]] = [
    ("modulo of opposite signs", "R\n a -7\n x =@a % 3", "x", 0, "-1", 2),
    ("mod of opposite signs", "R\n x =mod(7; -3)", "x", 0, "1", -2),
    ("empty read by reference", "R\n e\n x =@e", "x", 0, "", 0),
    ("comparison with empty", "R\n e\n x =if(@e < 1; 1; 2)", "x", 0, "VALUE!", 1),
    ("max over empties", "R\n e\n x =max(@e)", "x", 0, "VALUE!", 0),
    ("product over empties", "R\n e\n x =mult(@e)", "x", 0, "1", 0),
    ("when without else in arithmetic", "R\n x =when(1 > 2; 5) + 1", "x", 0, "1", ERROR),
    ("sum of right in the last dimension", "R\n x [=1|=sum(right)]", "x", 1, "0", "REF!"),
    ("children inside an aggregated expression", "R\n x =sum(children * 2)\n  a 1\n  b 2", "x", 0, "MANY!", 5),
    ("root of a negative number", "R\n x =root(-8; 3)", "x", 0, "NaN", -2),
    ("text literal", "R\n t Hello", "t", 0, "ERROR!", "Hello"),
    ("single formula reading right", "R\n x =sum(right)\n y [=1|=2]", "x", 0, "REF!", 0),
    ("a node named Self", "R\n Self 5\n x =@Self * 2", "x", 0, "10", ERROR),
    ("count over an error", "R\n e =1/0\n x =count(@e; 1)", "x", 0, "REF!", 1),
    ("iferror over a name of several nodes", "R\n N 1\n N 2\n x =iferror(@N; 7)", "x", 0, "MANY!", 7),
    ("overflow", "R\n x =pow(10; 400)", "x", 0, "inf", ERROR),
    ("bare children with one child", "R\n x =children\n  a 6", "x", 0, "MANY!", 6),
    ("error text read by an aggregation", "R\n x =sum(@t; 1)\n t =@missing", "x", 0, "REF!", 1),
    ("or after a deciding operand", "R\n x =if(1 > 0 or 1 / 0 > 1; 1; 2)", "x", 0, "1", ERROR),
    ("a formula of only empty", "R\n x =empty", "x", 0, "", "="),
]


def known_difference_cases() -> list[Case]:
    return [Case(f"known {i}", outline(tree)) for i, (_, tree, *_rest) in enumerate(KNOWN_DIFFERENCES)]


@dataclass
class Recalculated:
    cells: dict[str, list[Cell]]  # per sheet
    computed: dict[str, dict[str, Any]]  # per sheet, address -> value


@pytest.fixture(scope="session")
def recalculated(tmp_path_factory: pytest.TempPathFactory) -> Recalculated:
    spreadsheet.require_or_skip()
    sheets: dict[str, dict[str, str]] = {}
    cells: dict[str, list[Cell]] = {}
    for case in corpus() + known_difference_cases():
        sheets[case.sheet], cells[case.sheet] = prepare(case)
    workdir: Path = tmp_path_factory.mktemp("libreoffice")
    return Recalculated(cells, spreadsheet.recalculate(sheets, workdir))


@pytest.mark.parametrize("case", [c.sheet for c in corpus()])
def test_spreadsheet_computes_what_evaluate_tree_computes(recalculated: Recalculated, case: str) -> None:
    computed = recalculated.computed[case]
    disagreeing = [
        (cell, computed[cell.address]) for cell in recalculated.cells[case]
        if not agree(cell.ours, computed[cell.address])
    ]
    assert disagreeing == []


def test_the_corpus_computes_mostly_numbers(recalculated: Recalculated) -> None:
    # Errors and empties agree loosely; most comparisons must be of numbers.
    ours = [cell.ours for case in corpus() for cell in recalculated.cells[case.sheet]]
    numbers = [v for v in ours if v not in spreadsheet.ERROR_TEXTS and v != ""]
    assert len(ours) > 800
    assert len(numbers) > 0.7 * len(ours), (len(numbers), len(ours))


@pytest.mark.parametrize(
    ("index", "label"), [(i, row[0]) for i, row in enumerate(KNOWN_DIFFERENCES)], ids=[row[0] for row in KNOWN_DIFFERENCES]
)
def test_known_differences(recalculated: Recalculated, index: int, label: str) -> None:
    _, _, name, dimension, ours, theirs = KNOWN_DIFFERENCES[index]
    sheet = f"known {index}"
    [cell] = [c for c in recalculated.cells[sheet] if c.node == name and c.dimension == dimension]
    value = recalculated.computed[sheet][cell.address]
    assert cell.ours == ours
    if theirs is ERROR:
        assert spreadsheet.is_spreadsheet_error(value), value
    else:
        assert value == theirs
    assert not agree(cell.ours, value) or theirs == 0 and ours == ""
