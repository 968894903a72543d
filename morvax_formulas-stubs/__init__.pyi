"""A formula engine for trees of named nodes.

Formulas use a small spreadsheet-like language ("=@Units * @Price",
"=sum(children)", "=iferror(@A / @B; 0)"). A tree is made of your own
objects with name, formula and children; values come back as texts.

Functions: evaluate, evaluate_boolean, evaluate_tree, get_tokens,
rename_nodes, expand_tree_formulas, explain_node, export_tree_to_excel,
diagnose and diagnose_tree. Formula errors are the texts "ERROR!",
"REF!", "MANY!" and "VALUE!", never exceptions; diagnose and
diagnose_tree tell where they come from.
"""

from collections.abc import Sequence
from types import SimpleNamespace
from typing import Any, Literal, Protocol, TypeAlias, TypedDict, TypeVar, type_check_only

__all__ = [
    "evaluate",
    "evaluate_boolean",
    "evaluate_tree",
    "get_tokens",
    "rename_nodes",
    "expand_tree_formulas",
    "explain_node",
    "export_tree_to_excel",
    "diagnose",
    "diagnose_tree",
]

__version__: str

# The kind names that get_tokens pairs with each token's text.
_TokenKind: TypeAlias = Literal[
    "number",
    "operator",
    "nodereference",
    "modifier",
    "function",
    "aggregation",
    "conditional",
    "parenthesis",
    "unexpected",
]

@type_check_only
class NodeObject(Protocol):
    """A node of a caller's tree: `name`, `formula` (one text, or one per
    dimension) and the list of `children`. `id` (str), `is_hidden` (bool) and
    `cells` (str or sequence of str) are read when present; evaluate_tree
    writes `value`, export_tree_to_excel writes `cells`."""

    @property
    def name(self) -> str: ...
    @property
    def formula(self) -> str | Sequence[str]: ...
    # A list is invariant: list[Self] would refuse a root of a subclass
    # (children: list[Base]) and trees of several node classes
    # (children: list[Group | Line]), so the items are not checked.
    @property
    def children(self) -> list[Any]: ...

# A namespace is a node object too, whose attributes type checkers cannot see.
_NodeLike: TypeAlias = NodeObject | SimpleNamespace
_Node = TypeVar("_Node", bound=_NodeLike)

@type_check_only
class Explanation(TypedDict):
    """What explain_node returns: the node with its formula expanded and, as
    `children`, the nodes that formula names, each without children of its
    own. `value` holds empty texts: nothing is evaluated."""

    id: str
    name: str
    formula: str | list[str]
    value: str | list[str]
    is_hidden: bool
    cells: str | list[str]
    children: list[Explanation]

# The causes that diagnose_tree gives.
_Cause: TypeAlias = Literal[
    "syntax",
    "unknown name",
    "hidden",
    "ambiguous",
    "index out of range",
    "cycle",
    "division by zero",
    "invalid argument",
    "several values",
    "propagated",
]

@type_check_only
class FormulaProblem(TypedDict):
    """What diagnose returns for a formula that does not parse:
    formula[start:end] is the offending text."""

    message: str
    start: int
    end: int
    hint: str | None

@type_check_only
class CellSource(TypedDict):
    """The cell a propagated error was read from."""

    id: str
    name: str
    dimension: int

@type_check_only
class CellProblem(TypedDict):
    """One cell whose value is an error, as diagnose_tree reports it."""

    id: str
    name: str
    dimension: int
    value: str
    cause: _Cause
    detail: str
    start: int
    end: int
    source: CellSource | None

def evaluate(formula: str) -> str:
    """Evaluate one formula on its own, without a tree.

    formula: a stored formula: empty, a bare number ("42", "1,5", "5%") or "="
    followed by an expression ("=round(10 / 3; 2)"). References find no node
    here: "@Name" gives "REF!".

    Returns the result as a str: a number printed with up to ten decimals, ""
    for an empty result, or an error text ("ERROR!" when the formula does not
    parse, "REF!", "MANY!", "VALUE!"). Formula errors never raise; diagnose()
    tells why a formula does not parse.

    Raises TypeError when formula is not a str, UnicodeEncodeError when it
    holds lone surrogates.

    >>> evaluate("=1 + 2 * 3")
    '7'
    >>> evaluate("=round(10 / 3; 2)")
    '3.33'
    """

def evaluate_boolean(formula: str) -> str:
    """Evaluate one condition on its own, without a tree.

    formula: a condition without a leading "=": comparisons ("==", "!=" or
    "<>", "<", ">", "<=", ">="), "and", "or", "not" and parentheses; a bare
    expression is true when it is a number other than 0.

    Returns the str "true" or "false", or an error text ("ERROR!" when the
    condition does not parse, "VALUE!" for a comparison with an empty value).

    Raises TypeError when formula is not a str, UnicodeEncodeError when it
    holds lone surrogates.

    >>> evaluate_boolean("1 < 2 and not 3 > 4")
    'true'
    >>> evaluate_boolean("2 + 2 == 5")
    'false'
    """

def evaluate_tree(root: _Node, in_place: bool = False) -> _Node:
    """Evaluate every formula of a tree of node objects, in every dimension.

    root: the root of a tree of your objects, each with the attributes name
    (str), formula (a str, or a sequence of str such as a list: one formula
    per dimension) and children (a list of node objects); id (str),
    is_hidden (bool) and cells are read when present. An id that is not a
    str counts as "".
    in_place: write the values onto your objects and return root itself;
    with False (the default) a copy.deepcopy of root gets them and is returned.

    Returns the tree with every node's value written as text: one str when it
    is the same in every dimension, else a list of str. Formula errors are
    error texts in the values; diagnose_tree() tells where they come from.

    Raises TypeError for a node object that breaks the node protocol (a name
    that is not a str, a children that is not a list, ...), ValueError for a
    node that is its own descendant, and passes on what your objects (and
    copy.deepcopy) raise.

    >>> from types import SimpleNamespace as Node
    >>> evaluate_tree(Node(name="A", formula="=2 * 3", children=[])).value
    '6'
    """

def get_tokens(formula: str) -> list[tuple[str, _TokenKind]]:
    """Cut a formula into tokens, for example to highlight it while it is typed.

    formula: any text; the tokens need not make a valid formula.

    Returns a list of (text, kind) pairs of str in text order, kind being one
    of "number", "operator", "nodereference", "modifier", "function",
    "aggregation", "conditional", "parenthesis" and "unexpected" (text that
    no rule accepts). Whitespace between tokens belongs to none.

    Raises TypeError when formula is not a str, UnicodeEncodeError when it
    holds lone surrogates.

    >>> get_tokens("=sum(children) * 2")
    [('=', 'operator'), ('sum', 'aggregation'), ('(', 'parenthesis'), ('children', 'nodereference'), (')', 'parenthesis'), ('*', 'operator'), ('2', 'number')]
    >>> get_tokens("=1 $")[-1]
    (' $', 'unexpected')
    """

def rename_nodes(old_root: _NodeLike, new_root: _Node, in_place: bool = False) -> _Node:
    """Carry renamed, moved and deleted nodes into the formulas that refer to them.

    old_root: the tree before the edit; only read.
    new_root: the tree after it. Nodes of the two trees are matched by their
    id (str; nodes without one all share the id "").
    in_place: rewrite new_root's own formulas and return new_root; with False
    (the default) a copy.deepcopy of new_root is rewritten and returned.

    Returns the new tree, every formula written: each reference written
    exactly as a node's unambiguous name in the old tree ("@Cost",
    "@{Gross margin}", "@Cost[2]") becomes the name that reaches the same node
    in the new tree; a reference that would now reach another node becomes
    "REF!".

    Raises what evaluate_tree raises for node objects.

    >>> from types import SimpleNamespace as Node; old = Node(id="t", name="Total", formula="=@Cost", children=[Node(id="c", name="Cost", formula="5", children=[])])
    >>> rename_nodes(old, Node(id="t", name="Total", formula="=@Cost", children=[Node(id="c", name="Costs", formula="5", children=[])])).formula
    '=@Costs'
    """

def expand_tree_formulas(root: _Node) -> _Node:
    """Replace references to computed nodes by their formulas, down to inputs.

    root: the root of a tree of node objects, as for evaluate_tree; only read.

    Returns a copy.deepcopy of root whose every formula is expanded: a
    reference to a node whose formula refers to others becomes that formula in
    parentheses, itself expanded. Nothing is evaluated.

    Raises what evaluate_tree raises for node objects, and MemoryError when
    the expanded texts pass 1 GiB (the expansion can grow exponentially).

    >>> from types import SimpleNamespace as Node; tree = Node(name="A", formula="=@B * 2", children=[Node(name="B", formula="=@C + 1", children=[]), Node(name="C", formula="5", children=[])])
    >>> expand_tree_formulas(tree).formula
    '=(@C + 1) * 2'
    """

def explain_node(root: _NodeLike, node_id: str) -> Explanation | None:
    """Tell how one node's value comes about, as plain data.

    root: the root of a tree of node objects, as for evaluate_tree; only read.
    node_id: the id (str) of the node to explain; the first in pre-order wins.

    Returns None when no node has that id, else a dict with the keys id, name,
    formula (expanded as expand_tree_formulas expands it), value (empty: nothing
    is evaluated), is_hidden, cells and children: the nodes the expanded
    formula names, each once and without children of its own.

    Raises TypeError when node_id is not a str, and what evaluate_tree raises
    for node objects.

    >>> from types import SimpleNamespace as Node; tree = Node(id="a", name="A", formula="=@B * 2", children=[Node(id="b", name="B", formula="5", children=[])])
    >>> [child["name"] for child in explain_node(tree, "a")["children"]]
    ['B']
    """

def export_tree_to_excel(root: _Node, in_place: bool = False) -> _Node:
    """Turn a tree's formulas into spreadsheet formulas over cell addresses.

    root: the root of a tree of node objects, as for evaluate_tree, whose
    cells hold the address of each node's cell ("B2"), or one address per
    dimension; a node without addresses keeps its cells (an empty list when
    it had none).
    in_place: write onto your objects and return root itself; with False (the
    default) a copy.deepcopy of root gets the texts and is returned.

    Returns the tree with every cells address replaced by the text to put in
    that cell: a formula over the other nodes' addresses ("=B2*B3"), a number,
    a text, "" for an empty cell, or an error text ("REF!", "MANY!",
    "VALUE!", "ERROR!").

    Raises what evaluate_tree raises for node objects.

    >>> from types import SimpleNamespace as Node; tree = Node(name="Sum", formula="=@A * 2", cells="B3", children=[Node(name="A", formula="5", cells="B2", children=[])])
    >>> export_tree_to_excel(tree).cells
    '=B2*2'
    """

def diagnose(formula: str) -> FormulaProblem | None:
    """Tell why a formula text does not parse.

    formula: a stored formula, as evaluate takes it.

    Returns None when the formula parses. Otherwise a dict: "message", the
    parser's message; "start" and "end", str indexes such that
    formula[start:end] is the offending text (empty at the end of the text);
    "hint", advice for a common slip (a "," between arguments, an exponent, a
    missing "=" or ")", an unknown function), or None.

    Raises TypeError when formula is not a str, UnicodeEncodeError when it
    holds lone surrogates.

    >>> diagnose("=round(1,5, 2)")["hint"]
    "arguments are separated by ';', not ',' (a ',' belongs to numbers: 1,5 is one and a half)"
    >>> diagnose("=round(1,5; 2)") is None
    True
    """

def diagnose_tree(root: _NodeLike) -> list[CellProblem]:
    """Tell where and why the cells of a tree hold errors.

    root: the root of a tree of node objects, as for evaluate_tree; only read.

    Evaluates the tree as evaluate_tree does, to the same values.

    Returns a list with one dict per node and dimension whose value is an error
    text, in pre-order then dimension order; a node whose value is one text for every
    dimension has at most one, in dimension 0. Keys: "id", "name",
    "dimension", "value" (the error text), "cause" ("syntax", "unknown name",
    "hidden", "ambiguous", "index out of range", "cycle", "division by zero",
    "invalid argument", "several values" or "propagated"), "detail" (a
    sentence for the user), "start" and "end" (str indexes of the reference
    or operator in the node's formula for that dimension) and "source": for
    "propagated", a dict of the "id", "name" and "dimension" of the cell the
    error was read from (follow it to the first cause), else None.

    Raises what evaluate_tree raises for node objects.

    >>> from types import SimpleNamespace as Node; tree = Node(name="Margin", formula="=@Revenu * 2", children=[Node(name="Revenue", formula="5", children=[])])
    >>> [(p["cause"], p["detail"]) for p in diagnose_tree(tree)]
    [('unknown name', "no visible node is called 'Revenu'; did you mean @Revenue?")]
    """
