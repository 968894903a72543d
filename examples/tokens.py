"""Colours formulas in the terminal the way a formula editor would, from the
(text, kind) pairs of morvax_formulas.get_tokens.

Each kind gets a colour; "unexpected" text is underlined in red, since it is
what the formula language does not accept (or a name no table knows). The
spaces between tokens are not in the token list: a highlighter copies them
from the formula as it walks along it.

    python examples/tokens.py [FORMULA ...]
"""

import sys

import morvax_formulas

STYLES = {
    "number": "\033[36m",         # cyan
    "operator": "\033[1m",        # bold
    "nodereference": "\033[32m",  # green
    "modifier": "\033[35m",       # magenta
    "function": "\033[34m",       # blue
    "aggregation": "\033[34m",
    "conditional": "\033[33m",    # yellow
    "parenthesis": "\033[2m",     # dim
    "unexpected": "\033[4;31m",   # underlined red
}
RESET = "\033[0m"

FORMULAS = [
    "=sum(children) * 12,5%",
    "=if(@Revenue > 1.000; @{Gross margin}[2]; 0)",
    "=total(@Costs) / ratio(@Costs) ** 2",
    "=round(@a; 2) $ 3",  # "$" is no part of the language
    "=ANDROID + empty",  # one word, not the keyword AND; "empty" always shows as unexpected
]


def highlight(formula: str) -> str:
    """The formula with every token wrapped in its style; the text in between kept as it is."""
    out, cursor = [], 0
    for text, kind in morvax_formulas.get_tokens(formula):
        start = formula.index(text, cursor)
        out.append(formula[cursor:start])
        out.append(f"{STYLES[kind]}{text}{RESET}")
        cursor = start + len(text)
    out.append(formula[cursor:])
    return "".join(out)


def main() -> None:
    for formula in sys.argv[1:] or FORMULAS:
        print(highlight(formula))
        print("   ", morvax_formulas.get_tokens(formula))


if __name__ == "__main__":
    main()
