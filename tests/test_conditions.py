"""Conditions evaluated on their own with evaluate_boolean."""

import pytest

from morvax_formulas import evaluate_boolean


@pytest.mark.parametrize(
    ("condition", "result"),
    [
        ("1 < 2", "true"),
        ("2 < 1", "false"),
        ("1 == 1", "true"),
        ("1 != 1", "false"),
        ("1 <> 2", "true"),
        ("2 >= 2", "true"),
        ("2 <= 1", "false"),
        ("3 > 2", "true"),
        ("0 == -0", "true"),
        ("pow(10;400) - pow(10;400) == pow(10;400) - pow(10;400)", "false"),  # NaN
        ("pow(10;400) - pow(10;400) != 1", "true"),
        ("empty == 0", "VALUE!"),
        ("0 == empty", "VALUE!"),
        ("1/0 == empty", "VALUE!"),
        ("empty == 1/0", "VALUE!"),  # the left side is judged first
        ("@x == 1/0", "REF!"),
        ("children == 1", "MANY!"),
        ("1 == children", "MANY!"),
        ("not empty", "true"),
        ("empty", "false"),
        ("5", "true"),
        ("0", "false"),
        ("-0", "false"),
        ("pow(10;400) - pow(10;400)", "true"),  # NaN is not zero
        ("children", "MANY!"),
        ("@x", "REF!"),
        ("1 < 2 and 2 < 1", "false"),
        ("1 > 2 or 2 > 1", "true"),
        ("not (1 > 2)", "true"),
        ("not not 1 > 2", "false"),
        ("not not not 1 < 2", "false"),
        ("1/0 > 1", "VALUE!"),
        ("1 > 2 and 1/0 > 1", "false"),  # the second operand is never evaluated
        ("1 < 2 or 1/0 > 1", "true"),
        ("1/0 > 1 or 1 < 2", "VALUE!"),
        ("not 1/0 > 1", "VALUE!"),  # an error passes through not
        ("1<2AND2<3", "true"),
        ("not1<2", "false"),
        ("(1+2) > 3", "false"),
        ("((((1 > 2))))", "false"),
        ("(1 > 2) or (2 > 1 and not 0)", "true"),
        ("if(1>0; 1; 0) == 1", "true"),
        ("sum(1;2) > 2 AND count(empty) == 0", "true"),
    ],
)
def test_conditions(condition: str, result: str) -> None:
    assert evaluate_boolean(condition) == result


@pytest.mark.parametrize(
    "condition",
    ["", "   ", "1 <", "1 = 2", "1 < 2 < 3", "notx", "nota<2", "=1<2", "(1 < 2", "1 < 2)"],
)
def test_conditions_that_do_not_parse(condition: str) -> None:
    assert evaluate_boolean(condition) == "ERROR!"


def test_results_are_text() -> None:
    assert type(evaluate_boolean("1 < 2")) is str
