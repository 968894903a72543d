"""Arithmetic, signs, references and errors of single formulas."""

import pytest

from morvax_formulas import evaluate


@pytest.mark.parametrize(
    ("formula", "result"),
    [
        ("=1+2*3", "7"),
        ("=(1+2)*3", "9"),
        ("=1-2-3", "-4"),
        ("=8/2/2", "2"),
        ("=0.1+0.2", "0.3"),
        ("=1/3", "0.3333333333"),
        ("=2/3", "0.6666666667"),
        ("=2^3^2", "64"),  # powers fold left to right
        ("=2**10", "1024"),
        ("=2 ** 3", "8"),
        ("=-2^2", "4"),  # the sign belongs to the operand
        ("=2^-1", "0.5"),
        ("=-7 % 3", "-1"),
        ("=7 % -3", "1"),
        ("=7.5 % 2", "1.5"),
        ("=1/0", "VALUE!"),
        ("=1/-0", "VALUE!"),
        ("=5 % 0", "VALUE!"),
        ("=1/0 + @x", "VALUE!"),  # the first failing operand decides
        ("=@x + 1/0", "REF!"),
        ("=pow(10; 400)", "inf"),
        ("=-pow(10; 400)", "-inf"),
        ("=pow(10; 400) - pow(10; 400)", "NaN"),
        ("=pow(10; 300)", "1000000000000000052504760255204420248704468581108159154915854115511802457988908195786371375080447864043704443832883878176942523235360430575644792184786706982848387200926575803737830233794788090059368953234970799945081119038967640880074652742780142494579258788820056842838115669472196386865459400540160"),
        ("=0.00000000005", "0.0000000001"),
        ("=-0.00000000005", "-0.0000000001"),
        ("=0.00000000004", "0"),
        ("=100000000000000000000", "100000000000000000000"),
        ("=1-1", "0"),
        ("=-0", "0"),
    ],
)
def test_arithmetic(formula: str, result: str) -> None:
    assert evaluate(formula) == result


@pytest.mark.parametrize(
    ("formula", "result"),
    [
        ("=empty", ""),
        ("=empty + 1", "1"),
        ("=-empty", "0"),
        ("=+empty", ""),
        ("=(empty)", ""),
        ("=empty * 5", "0"),
        ("=2 ^ empty", "1"),
    ],
)
def test_empty(formula: str, result: str) -> None:
    assert evaluate(formula) == result


@pytest.mark.parametrize(
    ("formula", "result"),
    [
        # without a tree no name designates a node
        ("=@x", "REF!"),
        ("=@x + 1", "REF!"),
        ("=@{Gross margin}[2]", "REF!"),
        ("=-@x", "REF!"),
        # children and right references designate nothing
        ("=children", "MANY!"),
        ("=+children", "MANY!"),
        ("=-children", "MANY!"),
        ("=(children)", "MANY!"),
        ("=1 + children", "MANY!"),
        ("=children[1]", "REF!"),
        ("=children[0]", "REF!"),
        ("=right", "MANY!"),
        ("=right[1]", "REF!"),
        # modifiers see no values
        ("=total(@x)", "0"),
        ("=total(@x[2])", "0"),
        ("=ratio(@x)", "VALUE!"),
    ],
)
def test_references_without_a_tree(formula: str, result: str) -> None:
    assert evaluate(formula) == result


@pytest.mark.parametrize(
    ("formula", "result"),
    [
        ("=if(1 > 2; 5; 6)", "6"),
        ("=if(1 < 2; 5; 6)", "5"),
        ("=when(1 > 2; 5)", ""),
        ("=when(1 > 2; 5; 1 < 2; 6)", "6"),
        ("=when(1 > 2; 5; 2 > 3; 6; 7)", "7"),
        ("=when(1/0 > 1; 5; 1 < 2; 6)", "VALUE!"),  # an error in a condition ends it
        ("=when(1 < 2; 5; 1/0 > 1; 6)", "5"),  # later clauses are not looked at
        ("=if(empty; 1; 2)", "2"),
        ("=if(0.5; 1; 2)", "1"),
        ("=if(@x; 1; 2)", "REF!"),
        ("=if(empty > 1; 1; 2)", "VALUE!"),
        ("=if(1 > 0; children; 2)", "MANY!"),
        ("=sum(if(1 > 0; children; 2))", "0"),  # a branch passes several values on
        ("=IF(1>0;1;2) + WHEN(0;1;2)", "3"),
    ],
)
def test_conditionals(formula: str, result: str) -> None:
    assert evaluate(formula) == result
