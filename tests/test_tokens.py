"""get_tokens: the (text, kind) pairs a syntax highlighter receives, and that
scanning stays linear in the text length on adversarial texts.

The C++ tests hold the full tables of the scanner; here is a representative
set through the Python entry point.
"""

from __future__ import annotations

import gc
import time
from collections.abc import Callable

import pytest
from hypothesis import given
from hypothesis import strategies as st

from morvax_formulas import get_tokens

KINDS = {
    "number", "operator", "nodereference", "modifier", "function",
    "aggregation", "conditional", "parenthesis", "unexpected",
}
# Unicode White_Space: gaps made only of these produce no token.
WHITE_SPACE = frozenset(
    "\t\n\x0b\x0c\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
)


class Text(str):
    pass


@pytest.mark.parametrize(
    ("formula", "tokens"),
    [
        ("", []),
        (" \t\r\n\xa0", []),
        (
            "=total(@a) * abs(-1) / sum(children) + if(right >= 1; 2; 3)",
            [("=", "operator"), ("total", "modifier"), ("(", "parenthesis"), ("@a", "nodereference"),
             (")", "parenthesis"), ("*", "operator"), ("abs", "function"), ("(", "parenthesis"),
             ("-", "operator"), ("1", "number"), (")", "parenthesis"), ("/", "operator"),
             ("sum", "aggregation"), ("(", "parenthesis"), ("children", "nodereference"),
             (")", "parenthesis"), ("+", "operator"), ("if", "conditional"), ("(", "parenthesis"),
             ("right ", "nodereference"), (">=", "operator"), ("1", "number"), (";", "operator"),
             ("2", "number"), (";", "operator"), ("3", "number"), (")", "parenthesis")],
        ),
        ("1 $ 2", [("1", "number"), (" $ ", "unexpected"), ("2", "number")]),
        ("50% + 50%3", [("50%", "number"), ("+", "operator"), ("50", "number"), ("%", "operator"),
                        ("3", "number")]),
        ("ANDROID and children_total", [("ANDROID", "unexpected"), ("and", "operator"),
                                        ("children_total", "unexpected")]),
        ("children [ 1 ] + @{Gross margin}[2]", [("children [ 1 ]", "nodereference"),
                                                ("+", "operator"),
                                                ("@{Gross margin}[2]", "nodereference")]),
        ("@{never closed", [("@{", "unexpected"), ("never", "unexpected"), ("closed", "unexpected")]),
        ("=ünï + 日本 € 1", [("=", "operator"), ("ünï", "unexpected"), ("+", "operator"),
                            ("日本", "unexpected"), (" € ", "unexpected"), ("1", "number")]),
    ],
)
def test_tokens(formula: str, tokens: list[tuple[str, str]]) -> None:
    assert get_tokens(formula) == tokens
    assert get_tokens(formula=Text(formula)) == tokens


def test_result_is_a_list_of_pairs_of_str() -> None:
    result = get_tokens("=sum(children) * 2 $")
    assert type(result) is list
    for pair in result:
        assert type(pair) is tuple and len(pair) == 2
        assert type(pair[0]) is str and type(pair[1]) is str


def uncovered(text: str, tokens: list[tuple[str, str]]) -> str:
    """The characters of `text` outside the tokens, finding each token in order
    after the previous one; AssertionError when a token is not there."""
    cursor, outside = 0, []
    for token, _kind in tokens:
        start = cursor
        while not text.startswith(token, start):
            assert start < len(text), f"{token!r} not found after {cursor}"
            start += 1
        outside.append(text[cursor:start])
        cursor = start + len(token)
    outside.append(text[cursor:])
    return "".join(outside)


PIECES = ["@", "@{", "{", "}", "[", "]", "1", "2,345", ".6", "%", " ", "\n", "children", "Right",
          "and", "not", "empty", "sum", "if", "x", "_", "*", "^", "<", ">", "=", "!", "(", ")", ";",
          "-", "$", "é", "€", "٣", "\xa0"]


@given(text=st.one_of(st.text(), st.lists(st.sampled_from(PIECES)).map("".join)))
def test_tokens_cover_every_character_but_whitespace(text: str) -> None:
    tokens = get_tokens(text)
    assert all(kind in KINDS and token for token, kind in tokens)
    assert set(uncovered(text, tokens)) <= WHITE_SPACE


# Texts where a literal reading of the scanner re-matches a long stretch at
# every position, or that make a token at nearly every character.
ADVERSARIAL: dict[str, Callable[[int], str]] = {
    "open braced names": lambda n: "@{" * (n // 2),
    "open names with groups": lambda n: "@{{a" * (n // 4),
    "open names with a letter": lambda n: "@{x" * (n // 3),
    "no rule accepts": lambda n: "$" * n,
    "non-ASCII gap": lambda n: "€" * (n // 3),
    "long identifier": lambda n: "a" * n,
    "long non-ASCII identifier": lambda n: "é" * (n // 2),
    "digit run": lambda n: "9" * n,
    "digits with separators": lambda n: "1" + ",234" * (n // 4) + ".",
    "points then a comma": lambda n: "1" + ".234" * (n // 4) + ",x",
    "children then whitespace": lambda n: "children" + " " * n + "x",
    "bracket never closed": lambda n: "children[" + "1 " * (n // 2),
    "percent then whitespace": lambda n: "1%" + " " * n + "x",
    "a token per character": lambda n: "+" * n,
}


def best_time(text: str, rounds: int = 3) -> float:
    best = float("inf")
    gc.disable()
    try:
        for _ in range(rounds):
            start = time.perf_counter()
            get_tokens(text)
            best = min(best, time.perf_counter() - start)
    finally:
        gc.enable()
    return best


@pytest.mark.parametrize("name", ADVERSARIAL)
def test_scanning_time_grows_linearly(name: str) -> None:
    make = ADVERSARIAL[name]
    small, large = make(1 << 16), make(1 << 18)
    small_time, large_time = best_time(small), best_time(large)
    # Four times the text: linear work takes about four times as long,
    # quadratic work sixteen times.
    assert large_time < 8 * small_time + 0.02, (small_time, large_time)
