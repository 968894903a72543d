"""Evaluates a few formulas and conditions and prints what the module returns.

Results are always texts: a number, "" for an empty result, or an error text
("ERROR!" when the text does not parse, "REF!", "MANY!" or "VALUE!").
"""

import morvax_formulas

FORMULAS = [
    "=1+2*3",
    "42",
    "12,5%",
    "",
    "=round(10 / 3; 2)",
    "=sum(1; 2; 3) - max(4; 5)",
    "=@Revenue * 2",  # a reference; without a tree there is nothing to find
    "1+",  # an expression needs its leading "="
]

CONDITIONS = [
    "1 < 2",
    "2 + 2 == 5",
    "not (1 > 2) and 3 >= 3",
    "1 <",
]


def main() -> None:
    width = max(len(text) for text in FORMULAS + CONDITIONS) + 2
    print("evaluate")
    for formula in FORMULAS:
        print(f"  {formula!r:<{width}} -> {morvax_formulas.evaluate(formula)!r}")
    print("evaluate_boolean")
    for condition in CONDITIONS:
        print(f"  {condition!r:<{width}} -> {morvax_formulas.evaluate_boolean(condition)!r}")


if __name__ == "__main__":
    main()
