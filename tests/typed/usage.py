"""Typed use of the module; must pass mypy --strict with the installed stubs."""

import morvax_formulas
from morvax_formulas import evaluate, evaluate_boolean, get_tokens


def results(formulas: list[str]) -> dict[str, str]:
    return {formula: evaluate(formula) for formula in formulas}


def holds(condition: str) -> bool:
    return evaluate_boolean(formula=condition) == "true"


def highlighted(formula: str) -> str:
    """Each token wrapped in a tag named after its kind."""
    return "".join(f"<{kind}>{text}</{kind}>" for text, kind in get_tokens(formula=formula))


def is_reference(token: tuple[str, str]) -> bool:
    return token[1] == "nodereference"


names: list[str] = morvax_formulas.__all__
references = [token for token in get_tokens("=@a + 1") if is_reference(token)]
