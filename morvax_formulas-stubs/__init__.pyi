from collections.abc import Sequence
from typing import Protocol, Self, TypeVar, type_check_only

__all__ = ["evaluate", "evaluate_boolean", "evaluate_tree"]

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
