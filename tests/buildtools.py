"""Helpers for running build tools and native test programs from the tests."""

from __future__ import annotations

import os
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def tool_env() -> dict[str, str]:
    """The environment for build tools and test programs.

    The sanitizer run preloads the sanitizer runtime into Python and turns off
    leak detection there (the interpreter keeps memory until exit); compilers
    and CMake must not inherit the preload, and native test programs should
    detect leaks.
    """
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    env.pop("ASAN_OPTIONS", None)
    return env


def sanitized() -> bool:
    return os.environ.get("MORVAX_SANITIZE", "OFF").upper() in {"1", "ON", "TRUE", "YES"}


def run(
    command: list[str], timeout: float = 900, *, python: bool = False
) -> subprocess.CompletedProcess[str]:
    """Runs a tool, or with `python` a Python program that may import the module
    (and so keeps the sanitizer preload); output and errors come back together."""
    return subprocess.run(
        command,
        cwd=ROOT,
        env=dict(os.environ) if python else tool_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=timeout,
    )
