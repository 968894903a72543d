"""The ten functions and nine aggregations of single formulas."""

import pytest

from morvax_formulas import evaluate


@pytest.mark.parametrize(
    ("formula", "result"),
    [
        ("=abs(-3)", "3"),
        ("=abs(empty)", "0"),
        ("=sign(-0.5)", "-1"),
        ("=sign(0)", "0"),
        ("=sign(-0)", "0"),
        ("=sign(7)", "1"),
        ("=round(2.5)", "3"),
        ("=round(-2.5)", "-3"),
        ("=round(1234.5678; 2)", "1234.57"),
        ("=round(1234.5678; -2)", "1200"),
        ("=round(1.005; 2)", "1"),  # 1.005 * 100 is just below 100.5
        ("=round(1.5; empty)", "2"),
        ("=round(1.25; 1.6)", "1.25"),  # places rounded half away from zero: 2
        ("=round(2; 400)", "NaN"),  # the factor overflows
        ("=round(2; -400)", "NaN"),
        ("=round(1/0; 2)", "VALUE!"),
        ("=round(2; 1/0)", "VALUE!"),
        ("=ceil(-1.5)", "-1"),
        ("=floor(-1.5)", "-2"),
        ("=ceil(1.2)", "2"),
        ("=floor(1.8)", "1"),
        ("=pow(2; 10)", "1024"),
        ("=pow(2; 0.5)", "1.4142135624"),
        ("=root(27; 3)", "3"),
        ("=root(16; 2)", "4"),
        ("=root(8; 0)", "VALUE!"),
        ("=root(-8; 3)", "NaN"),
        ("=log(1000)", "3"),
        ("=log(0)", "VALUE!"),
        ("=log(-1)", "VALUE!"),
        ("=log(empty)", "VALUE!"),
        ("=log(8; 2)", "3"),
        ("=log(8; 1)", "VALUE!"),
        ("=log(8; 0)", "VALUE!"),
        ("=log(0; 1/0)", "VALUE!"),  # the arguments are read before the domain check
        ("=log(0; @x)", "REF!"),
        ("=mod(-7; 3)", "-1"),
        ("=mod(7; 0)", "VALUE!"),
        ("=mod(7; -3)", "1"),
        ("=abs(children)", "MANY!"),
        ("=abs(@x)", "REF!"),
        ("=pow(@x; 1/0)", "REF!"),  # the second argument is not evaluated
        ("=iferror(1/0; 5)", "5"),
        ("=iferror(1/0)", ""),
        ("=iferror(4; 1/0)", "4"),
        ("=iferror(children)", "MANY!"),
        ("=iferror(@x; children)", "MANY!"),
        ("=iferror(empty; 3)", ""),
        ("=sum(iferror(children))", "0"),
    ],
)
def test_functions(formula: str, result: str) -> None:
    assert evaluate(formula) == result


@pytest.mark.parametrize(
    ("formula", "result"),
    [
        ("=sum(1; empty; 2)", "3"),
        ("=sum()", "ERROR!"),
        ("=sum(empty)", "0"),
        ("=sum(-0)", "0"),
        ("=count(1; empty; 2)", "2"),
        ("=count(empty)", "0"),
        ("=count(1; 1/0)", "VALUE!"),
        ("=mult(2; 3; 4)", "24"),
        ("=mult(empty)", "1"),
        ("=avg(1; 2)", "1.5"),
        ("=avg(empty)", "VALUE!"),
        ("=sum(children)", "0"),
        ("=count(children)", "0"),
        ("=avg(children)", "VALUE!"),
        ("=median(3; 1; 2)", "2"),
        ("=median(4; 1; 3; 2)", "2.5"),
        ("=median(7)", "7"),
        ("=median(empty)", "VALUE!"),
        ("=median(pow(10;400); 1; 2)", "2"),
        ("=median(-0; 0)", "0"),
        ("=stdev(2; 4; 4; 4; 5; 5; 7; 9)", "2.1380899353"),
        ("=stdev(5)", "VALUE!"),
        ("=stdev(1; 2)", "0.7071067812"),
        ("=max(1; 3; 2)", "3"),
        ("=min(1; 3; 2)", "1"),
        ("=max(1; 1/0)", "VALUE!"),  # the argument's error, not max's
        ("=min(empty)", "VALUE!"),
        ("=max(-pow(10;400); 5)", "5"),
        ("=max(pow(10;400) - pow(10;400); 5)", "5"),  # NaN is passed over
        ("=min(pow(10;400) - pow(10;400); 5)", "5"),
        ("=max(pow(10;400) - pow(10;400))", "NaN"),
        ("=SUM(1;2) + Mult(2;2)", "7"),
        ("=coalesce(empty; 7; 1/0)", "7"),
        ("=coalesce(empty; 1/0; 7)", "VALUE!"),  # an error that comes first passes
        ("=coalesce(empty)", ""),
        ("=coalesce(children; 3)", "3"),
        ("=coalesce(iferror(1/0); empty; 0)", "0"),
    ],
)
def test_aggregations(formula: str, result: str) -> None:
    assert evaluate(formula) == result
