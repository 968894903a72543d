from typing import Literal, TypeAlias

__all__ = ["evaluate", "evaluate_boolean", "get_tokens"]

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

def evaluate(formula: str) -> str: ...
def evaluate_boolean(formula: str) -> str: ...
def get_tokens(formula: str) -> list[tuple[str, _TokenKind]]: ...
