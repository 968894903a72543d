"""What a stored formula may look like, and how its numbers read."""

import pytest

from morvax_formulas import evaluate


@pytest.mark.parametrize(
    ("formula", "result"),
    [
        # bare numbers, with either separator and an optional percent sign
        ("5", "5"),
        ("  5  ", "5"),
        ("\t5\n", "5"),
        ("-50%", "-0.5"),
        ("+1,5", "1.5"),
        ("1,5", "1.5"),
        ("1,234", "1.234"),
        ("1.234", "1.234"),
        ("1,234,567", "1234567"),
        ("1.234.567", "1234567"),
        ("1.234,56", "1234.56"),
        ("1,234.56", "1234.56"),
        ("1234,567.8", "1234567.8"),
        ("1,5%", "0.015"),
        ("007", "7"),
        # an empty text is an empty result
        ("", ""),
        ("   ", ""),
        # "=" and an expression
        ("=5", "5"),
        ("= 1 + 2", "3"),
        ("=1,2", "1.2"),
        ("=abs(1,2)", "1.2"),
        ("=1,234,5678", "ERROR!"),  # the number ends at 1,234,567
        ("=1.2.3", "ERROR!"),
        ("=1.", "ERROR!"),
        ("=.5", "ERROR!"),
        ("=1e5", "ERROR!"),
        # percent or modulo: decided by what follows the "%"
        ("=50%", "0.5"),
        ("=50% + 1", "1.5"),
        ("=50%3", "2"),
        ("=50% 3", "2"),
        ("=50%(1)", "0"),
        ("=50 % 3", "2"),
        ("=50%%3", "0.5"),
        ("=50%-3", "-2.5"),
        ("=200%*3", "6"),
    ],
)
def test_numbers(formula: str, result: str) -> None:
    assert evaluate(formula) == result


@pytest.mark.parametrize(
    "formula",
    [
        "1+2",
        "5 + 3",
        "5=",
        "=",
        "abc",
        "- 5",  # a bare value may not have space after its sign
        "5 5",
        "=1=2",
        "=--1",
        "=-+1",
        "=abs()",
        "=total(1)",
        "=sumx(children)",
        "=@{a}}",
        "=@a[1 2]",
        "=children[1 2]",
        "=@a[99999999999999999999]",
        "=abs(1;2)",
        "=pow(2)",
        "=round(1;2;3)",
        "=if(1>0;1)",
        "=if(@a>1;2;3;4)",
        "=childrenx",
        "=1<2",
        "=\u00a01",  # a no-break space is not grammar whitespace
    ],
)
def test_texts_that_do_not_parse(formula: str) -> None:
    assert evaluate(formula) == "ERROR!"


@pytest.mark.parametrize(
    ("formula", "result"),
    [
        ("=SUM( children ; 1 )", "1"),
        ("=IF(1>0;1;2)", "1"),
        ("=Round(1.26;1)", "1.3"),
        ("=ratio(@{x})", "VALUE!"),
        ("=@{Net income (2024)}", "REF!"),
        ("=@{}", "REF!"),
        ("=- 1", "-1"),
        ("=1--2", "3"),
        ("=1 - -2", "3"),
        ("=children [ 1 ]", "REF!"),
        ("=EMPTY", ""),
        ("=iferror(1/0;2)", "2"),  # a function before the conditional "if"
        ("=round(2.5)+root(8;3)", "5"),  # round is tried before root
    ],
)
def test_keywords_and_spacing(formula: str, result: str) -> None:
    assert evaluate(formula) == result


@pytest.mark.parametrize(
    "formula",
    [
        "=" + "(" * 256 + "1" + ")" * 256,
        "=" + "if(1>0;" * 256 + "1" + ";2)" * 256,
        "=" + "abs(" * 256 + "-1" + ")" * 256,
    ],
)
def test_deep_nesting_up_to_the_guard(formula: str) -> None:
    assert evaluate(formula) == "1"


@pytest.mark.parametrize(
    "formula",
    [
        "=" + "(" * 257 + "1" + ")" * 257,
        "=" + "(" * 1_000_000,
        "=" + "(" * 100_000 + "1" + ")" * 100_000,
        "=" + "sum(" * 100_000,
    ],
)
def test_deeper_nesting_is_a_parse_failure(formula: str) -> None:
    assert evaluate(formula) == "ERROR!"


def test_identifiers_agree_with_python() -> None:
    # A plain name starts with a letter of any script or "_" and goes on with
    # letters, digits and combining marks: exactly Python's own identifiers.
    grammar_whitespace = {" ", "\t", "\r", "\n"}  # end the reference instead
    wrong = []
    for cp in range(0x110000):
        if 0xD800 <= cp <= 0xDFFF:
            continue
        c = chr(cp)
        start = evaluate("=@" + c) == "REF!"
        if start != c.isidentifier():
            wrong.append(("start", hex(cp)))
        if c not in grammar_whitespace:
            cont = evaluate("=@a" + c) == "REF!"
            if cont != ("a" + c).isidentifier():
                wrong.append(("continue", hex(cp)))
    assert wrong == []
