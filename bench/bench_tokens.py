"""Times morvax_formulas.get_tokens on typical formulas (microseconds per call,
tokens per second) and on adversarial megabyte texts (megabytes per second),
beside baselines measured in the same run: the call overhead of len(), the
crudest re.findall tokenizer and Python's own tokenize module over the same
text, and for the long texts their UTF-8 encoding (which every call does).

    python bench/bench_tokens.py [--repeat N] [--size BYTES] [--json]

--json prints the rows for bench/run.py instead of the tables.

The goal: every adversarial text of 1 MB scans in well under a second.
"""

from __future__ import annotations

import argparse
import io
import re
import time
import timeit
import tokenize
from collections.abc import Callable
from dataclasses import dataclass

import morvax_formulas
from benchrows import Row, count_of, emit, formula_input, row, shorten

TYPICAL = [
    "=1+2*3",
    "=@Revenue - @Costs",
    "=sum(children) * 12,5%",
    "=if(@Revenue > 1.000; @{Gross margin}[2]; 0)",
    "=round(total(@Costs) / ratio(@Costs) ** 2; 2)",
    "=when(@a >= 1 and not @b < 2; children[1]; right)",
    "=" + " + ".join(f"@{{Line {i}}}" for i in range(40)),
]

ADVERSARIAL: dict[str, Callable[[int], str]] = {
    "@{ never closed": lambda n: "@{" * (n // 2),
    "@{{a never closed": lambda n: "@{{a" * (n // 4),
    "no rule accepts ($)": lambda n: "$" * n,
    "one identifier": lambda n: "a" * n,
    "digits with separators": lambda n: "1" + ",234" * (n // 4) + ".",
    "children + whitespace": lambda n: "children" + " " * n + "x",
    "a token per byte (+)": lambda n: "+" * n,
    "typical formulas repeated": lambda n: (" ; ".join(TYPICAL[1:]) * (n // 200))[:n],
}

# The crudest tokenizer, a word or any other non-space character: the cost of
# one regular-expression pass over the same text.  (A pattern that also takes
# braced names, such as @\{[^}]*\}, is itself quadratic on "@{@{@{...": it
# runs to the end of the text from every "@{".)
WORD = re.compile(r"\w+|[^\w\s]")


def python_tokenize(text: str) -> int:
    try:
        return sum(1 for _ in tokenize.generate_tokens(io.StringIO(text).readline))
    except (tokenize.TokenError, SyntaxError):
        return -1


def per_call_us(function: Callable[[str], object], text: str, repeat: int) -> float:
    timer = timeit.Timer(lambda: function(text))
    number, _ = timer.autorange()
    return min(timer.repeat(repeat, number)) / number * 1e6


def best_seconds(function: Callable[[str], object], text: str, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        function(text)
        best = min(best, time.perf_counter() - start)
    return best


@dataclass
class Typical:
    formula: str
    tokens: int
    ours: float  # µs per call, and the same for the baselines
    regex: float
    python: float


@dataclass
class Adversarial:
    name: str
    megabytes: float  # of UTF-8
    tokens: int
    ours: float  # seconds, and the same for the baselines
    regex: float
    encode: float


def measure_typical(repeat: int) -> tuple[float, list[Typical]]:
    """The call overhead of len(), then every typical formula."""
    get_tokens = morvax_formulas.get_tokens
    overhead = per_call_us(len, "=1+2*3", repeat)
    timings = [
        Typical(formula, len(get_tokens(formula)), per_call_us(get_tokens, formula, repeat),
                per_call_us(WORD.findall, formula, repeat), per_call_us(python_tokenize, formula, repeat))
        for formula in TYPICAL
    ]
    return overhead, timings


def measure_adversarial(size: int, repeat: int) -> list[Adversarial]:
    timings = []
    for name, make in ADVERSARIAL.items():
        text = make(size)
        timings.append(Adversarial(
            name, len(text.encode()) / 1e6, len(morvax_formulas.get_tokens(text)),
            best_seconds(morvax_formulas.get_tokens, text, repeat),
            best_seconds(WORD.findall, text, repeat), best_seconds(str.encode, text, repeat)))
    return timings


def print_typical(overhead: float, timings: list[Typical]) -> None:
    print(f"baseline: call overhead of len(text)  {overhead:.3f} µs")
    print()
    header = f"{'formula':<46}{'tokens':>7}{'µs/call':>9}{'Mtok/s':>8}{'re µs':>8}{'tokenize µs':>13}"
    print(header)
    for t in timings:
        print(f"{shorten(t.formula, 44):<46}{t.tokens:>7}{t.ours:>9.3f}{t.tokens / t.ours:>8.2f}"
              f"{t.regex:>8.3f}{t.python:>13.3f}")
    total_tokens = sum(t.tokens for t in timings)
    total_us = sum(t.ours for t in timings)
    print(f"{'all of the above':<46}{total_tokens:>7}{total_us:>9.3f}{total_tokens / total_us:>8.2f}")


def print_adversarial(size: int, timings: list[Adversarial]) -> bool:
    print()
    print(f"adversarial texts of {size / 1e6:.1f} MB")
    print(f"{'text':<28}{'tokens':>9}{'seconds':>9}{'MB/s':>9}{'re MB/s':>9}{'encode MB/s':>13}")
    for t in timings:
        print(f"{t.name:<28}{t.tokens:>9}{t.ours:>9.4f}{t.megabytes / t.ours:>9.1f}"
              f"{t.megabytes / t.regex:>9.1f}{t.megabytes / t.encode:>13.0f}")
    print()
    worst = max(t.ours for t in timings)
    met = worst < 1.0
    print(f"goal: every {size / 1e6:.1f} MB adversarial text well under 1 s: slowest {worst:.3f} s -> "
          f"{'met' if met else 'NOT met'}")
    return met


def rows(typical: list[Typical], adversarial: list[Adversarial]) -> list[Row]:
    out = [
        row("get_tokens", formula_input(t.formula), t.ours * 1e-6,
            ("re.findall", t.regex * 1e-6), ("tokenize module", t.python * 1e-6), note=count_of(t.tokens, "token"))
        for t in typical
    ]
    out += [
        row("get_tokens", f"{t.name} ({t.megabytes:.1f} MB)", t.ours,
            ("re.findall", t.regex), ("str.encode", t.encode),
            note=f"{count_of(t.tokens, "token")}, {t.megabytes / t.ours:.0f} MB/s")
        for t in adversarial
    ]
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description="Time morvax_formulas.get_tokens.")
    parser.add_argument("--repeat", type=int, default=5, help="timing rounds per row; the best counts")
    parser.add_argument("--size", type=int, default=1_000_000, help="bytes of each adversarial text")
    parser.add_argument("--json", action="store_true", help="print the rows for bench/run.py instead")
    options = parser.parse_args()
    overhead, typical = measure_typical(options.repeat)
    adversarial = measure_adversarial(options.size, options.repeat)
    if options.json:
        emit(rows(typical, adversarial))
    else:
        print_typical(overhead, typical)
        print_adversarial(options.size, adversarial)


if __name__ == "__main__":
    main()
