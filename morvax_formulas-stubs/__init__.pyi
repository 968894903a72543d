from collections.abc import Sequence
from typing import Literal, Protocol, Self, TypeAlias, TypedDict, TypeVar, type_check_only

__all__ = [
    "evaluate",
    "evaluate_boolean",
    "evaluate_tree",
    "get_tokens",
    "rename_nodes",
    "expand_tree_formulas",
    "explain_node",
    "export_tree_to_excel",
]

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
    @property
    def children(self) -> list[Self]: ...

_Node = TypeVar("_Node", bound=NodeObject)

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

def evaluate(formula: str) -> str: ...
def evaluate_boolean(formula: str) -> str: ...
def evaluate_tree(root: _Node, in_place: bool = False) -> _Node: ...
def get_tokens(formula: str) -> list[tuple[str, _TokenKind]]: ...
def rename_nodes(old_root: NodeObject, new_root: _Node, in_place: bool = False) -> _Node: ...
def expand_tree_formulas(root: _Node) -> _Node: ...
def explain_node(root: NodeObject, node_id: str) -> Explanation | None: ...
def export_tree_to_excel(root: _Node, in_place: bool = False) -> _Node: ...
