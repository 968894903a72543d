"""Helpers for running build tools and native test programs from the tests."""

from __future__ import annotations

import os
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def tool_env() -> dict[str, str]:
    """The environment for build tools and test programs.

    The sanitizer run preloads the sanitizer runtime into Python; compilers and
    CMake must not inherit that.
    """
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def sanitized() -> bool:
    return os.environ.get("MORVAX_SANITIZE", "OFF").upper() in {"1", "ON", "TRUE", "YES"}


def run(command: list[str], timeout: float = 900) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        command,
        cwd=ROOT,
        env=tool_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=timeout,
    )
