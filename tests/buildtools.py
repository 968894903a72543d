"""Helpers for running build tools and native test programs from the tests.

Run as a program (`python buildtools.py`), it builds the C++ tests and the
probe module: the test session starts it in the background, so that the
compiler works while the Python tests run.
"""

from __future__ import annotations

import os
import subprocess
import sys
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


# The core's folders (everything but the Python boundary), in layer order:
# each may include only itself and those before it.
CORE_FOLDERS = ["parser", "eval", "references", "tree", "excel", "diagnose"]


def native_build_dir() -> Path:
    return ROOT / ("build-cpptests-sanitize" if sanitized() else "build-cpptests")


def built_core() -> Path | None:
    """The core library that installing the module built (pyproject.toml keeps
    its build in build/wheel; the sanitizer run of CI in build/sanitize), when
    it is newer than every core source: the C++ tests then link it instead of
    compiling the core a second time."""
    library = ROOT / "build" / ("sanitize" if sanitized() else "wheel") / "libmorvax_core.a"
    if not library.is_file():
        return None
    sources = [ROOT / "CMakeLists.txt"]
    for folder in CORE_FOLDERS:
        sources.extend(path for path in (ROOT / "src" / folder).rglob("*") if path.is_file())
    built = library.stat().st_mtime
    return library if all(path.stat().st_mtime <= built for path in sources) else None


# The build's steps in order, each with the file it leaves when done: the
# probe module comes first, since the first test file needs it.
PROBE_DONE = "probe.done"
TESTS_DONE = "tests.done"


def native_build_steps(build: Path) -> list[tuple[list[str], str | None]]:
    import cmake
    import ninja

    cmake_exe = str(Path(cmake.CMAKE_BIN_DIR) / "cmake")
    core = built_core()
    configure = [
        cmake_exe, "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
        f"-DCMAKE_MAKE_PROGRAM={Path(ninja.BIN_DIR) / 'ninja'}",
        # The flags of the module's own build, whose core the tests may link.
        "-DCMAKE_BUILD_TYPE=Release",
        "-DMORVAX_CPP_TESTS=ON",
        f"-DMORVAX_SANITIZE={'ON' if sanitized() else 'OFF'}",
        f"-DMORVAX_CORE_LIBRARY={core or ''}",
        f"-DPython_EXECUTABLE={sys.executable}",
    ]
    build_step = [cmake_exe, "--build", str(build), "-j2", "--target"]
    return [
        (configure, None),
        ([*build_step, "morvax_args_probe"], PROBE_DONE),
        ([*build_step, "morvax_cpp_tests", "check_selftest"], TESTS_DONE),
    ]


def build_native(build: Path) -> int:
    """Runs the steps, printing their output. Each step's file appears whole
    (written aside, then renamed) once the step is over: 0 when it succeeded,
    1 when it or a step before it failed. The caller removes the old files."""
    failed = False
    for step, done in native_build_steps(build):
        if not failed:
            print("+", " ".join(step), flush=True)
            failed = subprocess.run(step, cwd=ROOT, env=tool_env(), stderr=subprocess.STDOUT).returncode != 0
        if done:
            aside = build / f"{done}.new"
            aside.write_text("1" if failed else "0")
            aside.replace(build / done)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(build_native(native_build_dir()))
