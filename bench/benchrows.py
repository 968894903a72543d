"""The rows every benchmark script can hand to bench/run.py: one timed call of
ours on one input, beside the baselines measured in the same run.

A script given --json prints its rows as one JSON list on stdout instead of
its own table, so the runner never has to read the human printout."""

from __future__ import annotations

import argparse
import contextlib
import gc
import json
import time
from collections.abc import Callable, Iterator
from typing import Any, TypedDict


class Row(TypedDict):
    function: str  # what was timed, e.g. "evaluate_tree (in place)"
    input: str  # the input and its size, e.g. "10,000 nodes"
    seconds: float  # best time of one call
    baselines: list[tuple[str, float]]  # (what, best seconds of one run of it)
    note: str



@contextlib.contextmanager
def collector_paused() -> Iterator[None]:
    """The cyclic collector off for the block: its pauses, set off by the
    objects a large tree's calls make, would weigh on one side of a ratio."""
    gc.disable()
    try:
        yield
    finally:
        gc.enable()

def row(function: str, input: str, seconds: float, *baselines: tuple[str, float], note: str = "") -> Row:
    return Row(function=function, input=input, seconds=seconds, baselines=list(baselines), note=note)


def emit(rows: list[Row]) -> None:
    print(json.dumps(rows))


def nodes(count: int) -> str:
    return f"{count:,} nodes"


def chars(count: int) -> str:
    return count_of(count, "char")


def count_of(count: int, noun: str) -> str:
    return f"{count:,} {noun}" + ("" if count == 1 else "s")


def shorten(text: str, width: int) -> str:
    shown = repr(text)
    return shown if len(shown) <= width else shown[: width - 4] + "...'"


def formula_input(formula: str) -> str:
    """A formula as a row's input: its start and its length."""
    return f"{shorten(formula, 30)} ({chars(len(formula))})"


def best_on_fresh(repeat: int, prepare: Callable[[], Any], run: Callable[[Any], object]) -> float:
    """The best time of a call that changes its argument: a fresh one each
    time, made untimed."""
    times = []
    for _ in range(repeat):
        argument = prepare()
        gc.collect()
        start = time.perf_counter()
        result = run(argument)
        times.append(time.perf_counter() - start)
        del result  # freed untimed, as best_of does
    return min(times)


def tree_options(description: str, sizes: list[int], chains: list[int] | None = None) -> argparse.Namespace:
    """The options of a benchmark over trees: --sizes, --repeat and --json,
    and --chains where chains of references are timed too."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--sizes", type=int, nargs="+", default=sizes)
    if chains is not None:
        parser.add_argument("--chains", type=int, nargs="*", default=chains,
                            help="chain lengths (none: no chain)")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--json", action="store_true", help="print the rows for bench/run.py instead")
    return parser.parse_args()
