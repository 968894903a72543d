"""Times morvax_formulas.evaluate over short and long formulas, in microseconds
per call, beside two baselines measured in the same run: the call overhead of
len() and Python's eval() of the equivalent arithmetic.

    python bench/bench_evaluate.py [--repeat N] [--json]

--json prints the rows for bench/run.py instead of the table.

The goal: evaluate("=1+2*3") under 1 µs, and at least 10 times faster than
eval("1+2*3").
"""

from __future__ import annotations

import argparse
import timeit
from dataclasses import dataclass

import morvax_formulas
from benchrows import Row, emit, formula_input, row, shorten

# (formula, the same arithmetic as Python source, or None when Python has no equivalent)
CORPUS: list[tuple[str, str | None]] = [
    ("=1+2*3", "1+2*3"),
    ("5", "5"),
    ("", None),
    ("1+", None),  # does not parse
    ("=(1+2)*3-4/5", "(1+2)*3-4/5"),
    ("=2^10 % 7", "2**10 % 7"),
    ("=round(3.14159; 2)", "round(3.14159, 2)"),
    ("=sum(1; 2; 3; 4; 5)", "sum((1, 2, 3, 4, 5))"),
    ("=if(1 < 2; 10; 20)", "10 if 1 < 2 else 20"),
    ("=@Revenue * 2", None),  # a reference, answered by the empty context
    ("=" + "+".join(str(i) for i in range(1, 201)), "+".join(str(i) for i in range(1, 201))),
    ("=" + "(" * 40 + "1" + ")" * 40, "(" * 40 + "1" + ")" * 40),
    ("=" + " * ".join(["max(1; 2; 3)"] * 30), " * ".join(["max(1, 2, 3)"] * 30)),
]


def per_call_us(statement: str, repeat: int, **names: object) -> float:
    """Best time of one call, in microseconds; `names` become local variables of the timing loop."""
    setup = "; ".join(f"{name} = __names[{name!r}]" for name in names) or "pass"
    timer = timeit.Timer(statement, setup=setup, globals={"__names": names})
    number, _ = timer.autorange()
    return min(timer.repeat(repeat, number)) / number * 1e6


@dataclass
class Timing:
    formula: str
    ours: float  # µs per call
    theirs: float | None  # eval() of the same arithmetic, µs per call


def measure(repeat: int) -> tuple[float, list[Timing]]:
    """The call overhead of len(), then every formula of the corpus."""
    evaluate = morvax_formulas.evaluate
    overhead = per_call_us("len(text)", repeat, len=len, text="=1+2*3")
    timings = []
    for formula, python in CORPUS:
        ours = per_call_us("evaluate(text)", repeat, evaluate=evaluate, text=formula)
        theirs = per_call_us("eval(source)", repeat, eval=eval, source=python) if python else None
        timings.append(Timing(formula, ours, theirs))
    return overhead, timings


def rows(overhead: float, timings: list[Timing]) -> list[Row]:
    out = []
    for t in timings:
        # Where Python has no equivalent, the floor of any call stands in.
        baselines = [("eval() of the same", t.theirs * 1e-6) if t.theirs else ("len() call", overhead * 1e-6)]
        out.append(row("evaluate", formula_input(t.formula), t.ours * 1e-6, *baselines))
    return out


def print_table(overhead: float, timings: list[Timing]) -> None:
    print(f"baseline: call overhead of len(text)      {overhead:8.3f} µs")
    print()
    print(f"{'formula':<36}{'evaluate µs':>12}{'eval µs':>10}{'eval/evaluate':>15}  result")
    for t in timings:
        ratio = f"{t.theirs / t.ours:13.1f}x" if t.theirs else f"{'-':>14}"
        theirs_text = f"{t.theirs:10.3f}" if t.theirs else f"{'-':>10}"
        result = morvax_formulas.evaluate(t.formula)
        print(f"{shorten(t.formula, 34):<36}{t.ours:12.3f}{theirs_text} {ratio}  {shorten(result, 16)}")

    first = next(t for t in timings if t.formula == "=1+2*3")
    ours, theirs = first.ours, first.theirs
    assert theirs is not None
    print()
    print(f'goal: evaluate("=1+2*3") under 1 µs: {ours:.3f} µs -> {"met" if ours < 1 else "NOT met"}')
    print(
        f'goal: 10x faster than eval("1+2*3"): {theirs / ours:.1f}x -> '
        f'{"met" if theirs / ours >= 10 else "NOT met"}'
    )


def main() -> None:
    parser = argparse.ArgumentParser(description="Time morvax_formulas.evaluate.")
    parser.add_argument("--repeat", type=int, default=5, help="timing rounds per row; the best counts")
    parser.add_argument("--json", action="store_true", help="print the rows for bench/run.py instead")
    options = parser.parse_args()
    overhead, timings = measure(options.repeat)
    if options.json:
        emit(rows(overhead, timings))
    else:
        print_table(overhead, timings)


if __name__ == "__main__":
    main()
