from collections.abc import Sequence
from typing import Literal, Protocol, Self, TypeAlias, TypeVar, type_check_only

__all__ = ["evaluate", "evaluate_boolean", "evaluate_tree", "get_tokens"]

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
    `cells` (str or sequence of str) are read when present; the tree functions
    write `value`."""

    @property
    def name(self) -> str: ...
    @property
    def formula(self) -> str | Sequence[str]: ...
    @property
    def children(self) -> list[Self]: ...

_Node = TypeVar("_Node", bound=NodeObject)

def evaluate(formula: str) -> str: ...
def evaluate_boolean(formula: str) -> str: ...
def evaluate_tree(root: _Node, in_place: bool = False) -> _Node: ...
def get_tokens(formula: str) -> list[tuple[str, _TokenKind]]: ...
