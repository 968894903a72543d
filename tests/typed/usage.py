"""Typed use of the module; must pass mypy --strict with the installed stubs."""

import morvax_formulas
from morvax_formulas import evaluate, evaluate_boolean


def results(formulas: list[str]) -> dict[str, str]:
    return {formula: evaluate(formula) for formula in formulas}


def holds(condition: str) -> bool:
    return evaluate_boolean(formula=condition) == "true"


names: list[str] = morvax_formulas.__all__
