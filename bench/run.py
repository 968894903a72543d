"""Runs every benchmark of bench/ and prints one table: each function on each
input, its time, and the baselines measured in the same run with the ratio
time / baseline (below 1: ours is faster).

    python bench/run.py [--quick] [--only evaluate tokens tree transform excel diagnose]

The full run uses each script's own defaults (trees of 10^4 to 10^6 nodes,
1 MB token texts, the 10^6-link chain; some minutes). --quick runs trees of
10^4 nodes, 100 kB token texts, fewer rounds and no chain (about a minute).

Each script runs in a process of its own, with --json, so one benchmark's
memory and garbage never weigh on the next; run any script alone for its own
table and goals.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

BENCH = Path(__file__).resolve().parent

# name -> (script, arguments of the full run, arguments of the quick run)
SCRIPTS: dict[str, tuple[str, list[str], list[str]]] = {
    "evaluate": ("bench_evaluate.py", [], ["--repeat", "2"]),
    "tokens": ("bench_tokens.py", [], ["--repeat", "2", "--size", "100000"]),
    "tree": ("bench_tree.py", [], ["--sizes", "10000", "--repeat", "2", "--no-chain"]),
    "transform": ("bench_transform.py", [], ["--sizes", "10000", "--chains", "10000", "--repeat", "2"]),
    "excel": ("bench_excel.py", [], ["--sizes", "10000", "--repeat", "2"]),
    "diagnose": ("bench_diagnose.py", [], ["--sizes", "10000", "--repeat", "2"]),
    # Optional: skipped (no rows) when ironcalc is not installed.
    "ironcalc": ("bench_ironcalc.py", [], ["--size", "10000", "--repeat", "2"]),
}

HEADERS = ("function", "input", "time", "baseline", "baseline time", "ratio", "note")


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def machine() -> list[str]:
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    lines = [
        f"CPU: {cpu_model()}, {os.cpu_count()} cores ({usable} usable by this process)",
        f"Python: {sys.version.split()[0]} ({platform.python_implementation()}, {sys.executable})",
        f"system: {platform.platform()}",
    ]
    if hasattr(os, "getloadavg"):
        # Other work on the machine skews every figure; say how busy it was.
        lines.append("load average at start: " + " ".join(f"{x:.2f}" for x in os.getloadavg()))
    return lines


def duration(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.3f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def ratio(ours: float, baseline: float) -> str:
    value = ours / baseline
    return f"{value:,.0f}x" if value >= 100 else f"{value:.3g}x"


def run_script(name: str, quick: bool) -> list[dict[str, Any]]:
    script, full_arguments, quick_arguments = SCRIPTS[name]
    command = [sys.executable, str(BENCH / script), "--json", *(quick_arguments if quick else full_arguments)]
    print(f"running {' '.join(command[1:])}", file=sys.stderr, flush=True)
    start = time.perf_counter()
    done = subprocess.run(command, stdout=subprocess.PIPE, text=True, cwd=BENCH)
    if done.returncode != 0:
        raise SystemExit(f"{script} failed with exit status {done.returncode}")
    print(f"  {script}: {time.perf_counter() - start:.0f} s", file=sys.stderr, flush=True)
    rows: list[dict[str, Any]] = json.loads(done.stdout)
    return rows


def table(rows: list[dict[str, Any]]) -> list[list[str]]:
    """One line per baseline of each row; the row's own columns on its first line only."""
    lines = []
    for row in rows:
        baselines = row["baselines"] or [("-", None)]
        for i, (baseline, seconds) in enumerate(baselines):
            own = [row["function"], row["input"], duration(row["seconds"])] if i == 0 else ["", "", ""]
            measured = [duration(seconds), ratio(row["seconds"], seconds)] if seconds else ["-", "-"]
            lines.append([*own, baseline, *measured, row["note"] if i == 0 else ""])
    return lines


def print_table(lines: list[list[str]]) -> None:
    widths = [max(len(cells[c]) for cells in [list(HEADERS), *lines]) for c in range(len(HEADERS))]
    right = {2, 4, 5}  # the figures

    def format_line(cells: list[str]) -> str:
        return "  ".join(
            cell.rjust(width) if c in right else cell.ljust(width) for c, (cell, width) in enumerate(zip(cells, widths))
        ).rstrip()

    print(format_line(list(HEADERS)))
    print("  ".join("-" * width for width in widths))
    for cells in lines:
        print(format_line(cells))


def main() -> None:
    parser = argparse.ArgumentParser(description="Run every benchmark and print one table.")
    parser.add_argument("--quick", action="store_true", help="small inputs, fewer rounds, no 10^6 (about a minute)")
    parser.add_argument("--only", nargs="+", choices=list(SCRIPTS), default=list(SCRIPTS),
                        help="run only these benchmarks")
    options = parser.parse_args()

    for line in machine():
        print(line)
    print(f"run: {'quick' if options.quick else 'full'}; time is the best of the rounds for one call; "
          "ratio = time / baseline time (below 1: faster than the baseline)")
    print()
    sys.stdout.flush()
    start = time.perf_counter()
    rows = [row for name in options.only for row in run_script(name, options.quick)]
    print_table(table(rows))
    print(f"\nall benchmarks took {time.perf_counter() - start:.0f} s")


if __name__ == "__main__":
    main()
