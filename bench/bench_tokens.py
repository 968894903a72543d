"""Times morvax_formulas.get_tokens on typical formulas (microseconds per call,
tokens per second) and on adversarial megabyte texts (megabytes per second),
beside baselines measured in the same run: the call overhead of len(), the
crudest re.findall tokenizer and Python's own tokenize module over the same
text, and for the long texts their UTF-8 encoding (which every call does).

    python bench/bench_tokens.py [--repeat N] [--size BYTES]

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

import morvax_formulas

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


def shorten(text: str, width: int = 44) -> str:
    shown = repr(text)
    return shown if len(shown) <= width else shown[: width - 4] + "...'"


def typical(repeat: int) -> None:
    get_tokens = morvax_formulas.get_tokens
    overhead = per_call_us(len, "=1+2*3", repeat)
    print(f"baseline: call overhead of len(text)  {overhead:.3f} µs")
    print()
    header = f"{'formula':<46}{'tokens':>7}{'µs/call':>9}{'Mtok/s':>8}{'re µs':>8}{'tokenize µs':>13}"
    print(header)
    total_tokens = total_us = 0.0
    for formula in TYPICAL:
        count = len(get_tokens(formula))
        ours = per_call_us(get_tokens, formula, repeat)
        regex = per_call_us(WORD.findall, formula, repeat)
        python = per_call_us(python_tokenize, formula, repeat)
        total_tokens += count
        total_us += ours
        print(f"{shorten(formula):<46}{count:>7}{ours:>9.3f}{count / ours:>8.2f}{regex:>8.3f}{python:>13.3f}")
    print(f"{'all of the above':<46}{int(total_tokens):>7}{total_us:>9.3f}{total_tokens / total_us:>8.2f}")


def adversarial(size: int, repeat: int) -> bool:
    print()
    print(f"adversarial texts of {size / 1e6:.1f} MB")
    print(f"{'text':<28}{'tokens':>9}{'seconds':>9}{'MB/s':>9}{'re MB/s':>9}{'encode MB/s':>13}")
    worst = 0.0
    for name, make in ADVERSARIAL.items():
        text = make(size)
        megabytes = len(text.encode()) / 1e6
        count = len(morvax_formulas.get_tokens(text))
        ours = best_seconds(morvax_formulas.get_tokens, text, repeat)
        regex = best_seconds(WORD.findall, text, repeat)
        encode = best_seconds(str.encode, text, repeat)
        worst = max(worst, ours)
        print(f"{name:<28}{count:>9}{ours:>9.4f}{megabytes / ours:>9.1f}{megabytes / regex:>9.1f}"
              f"{megabytes / encode:>13.0f}")
    print()
    met = worst < 1.0
    print(f"goal: every {size / 1e6:.1f} MB adversarial text well under 1 s: slowest {worst:.3f} s -> "
          f"{'met' if met else 'NOT met'}")
    return met


def main() -> None:
    parser = argparse.ArgumentParser(description="Time morvax_formulas.get_tokens.")
    parser.add_argument("--repeat", type=int, default=5, help="timing rounds per row; the best counts")
    parser.add_argument("--size", type=int, default=1_000_000, help="bytes of each adversarial text")
    options = parser.parse_args()
    typical(options.repeat)
    adversarial(options.size, options.repeat)


if __name__ == "__main__":
    main()
