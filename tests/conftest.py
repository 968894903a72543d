"""Shared fixtures: the CMake build of the C++ tests and of the argument probe module."""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path
from types import ModuleType

import pytest

from buildtools import ROOT, run, sanitized


def built_core() -> Path | None:
    """The core library that installing the module built (pyproject.toml keeps
    its build in build/wheel; the sanitizer run of CI in build/sanitize), when
    it is newer than every core source: the C++ tests then link it instead of
    compiling the core a second time."""
    library = ROOT / "build" / ("sanitize" if sanitized() else "wheel") / "libmorvax_core.a"
    if not library.is_file():
        return None
    sources = [ROOT / "CMakeLists.txt"]
    for folder in ("parser", "eval", "references", "tree", "excel", "diagnose"):
        sources.extend(path for path in (ROOT / "src" / folder).rglob("*") if path.is_file())
    built = library.stat().st_mtime
    return library if all(path.stat().st_mtime <= built for path in sources) else None


@pytest.fixture(scope="session")
def native_build() -> Path:
    """Configures and builds the C++ tests (and the probe module) once per session."""
    import cmake
    import ninja

    build = ROOT / ("build-cpptests-sanitize" if sanitized() else "build-cpptests")
    cmake_exe = str(Path(cmake.CMAKE_BIN_DIR) / "cmake")
    core = built_core()
    configure = [
        cmake_exe, "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
        f"-DCMAKE_MAKE_PROGRAM={Path(ninja.BIN_DIR) / 'ninja'}",
        # The flags of the module's own build, which the tests may link.
        "-DCMAKE_BUILD_TYPE=Release",
        "-DMORVAX_CPP_TESTS=ON",
        f"-DMORVAX_SANITIZE={'ON' if sanitized() else 'OFF'}",
        f"-DMORVAX_CORE_LIBRARY={core or ''}",
        f"-DPython_EXECUTABLE={sys.executable}",
    ]
    targets = ["morvax_cpp_tests", "check_selftest", "morvax_args_probe"]
    for step in (configure, [cmake_exe, "--build", str(build), "-j2", "--target", *targets]):
        done = run(step)
        if done.returncode != 0:
            pytest.fail(f"{' '.join(step)} failed:\n{done.stdout}", pytrace=False)
    return build


@pytest.fixture(scope="session")
def probe(native_build: Path) -> ModuleType:
    """The test-only module that exposes the argument layer with every parameter shape."""
    [path] = native_build.glob("morvax_args_probe*.so")
    spec = importlib.util.spec_from_file_location("morvax_args_probe", path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
