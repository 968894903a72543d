"""The rows every benchmark script can hand to bench/run.py: one timed call of
ours on one input, beside the baselines measured in the same run.

A script given --json prints its rows as one JSON list on stdout instead of
its own table, so the runner never has to read the human printout."""

from __future__ import annotations

import json
from typing import TypedDict


class Row(TypedDict):
    function: str  # what was timed, e.g. "evaluate_tree (in place)"
    input: str  # the input and its size, e.g. "10,000 nodes"
    seconds: float  # best time of one call
    baselines: list[tuple[str, float]]  # (what, best seconds of one run of it)
    note: str


def row(function: str, input: str, seconds: float, *baselines: tuple[str, float], note: str = "") -> Row:
    return Row(function=function, input=input, seconds=seconds, baselines=list(baselines), note=note)


def emit(rows: list[Row]) -> None:
    print(json.dumps(rows))


def nodes(count: int) -> str:
    return f"{count:,} nodes"


def chars(count: int) -> str:
    return f"{count:,} char" + ("" if count == 1 else "s")
