"""Shared fixtures: the CMake build of the C++ tests and of the argument probe module."""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path
from types import ModuleType

import pytest

from buildtools import ROOT, run, sanitized


@pytest.fixture(scope="session")
def native_build() -> Path:
    """Configures and builds the C++ tests (and the probe module) once per session."""
    import cmake
    import ninja

    build = ROOT / ("build-cpptests-sanitize" if sanitized() else "build-cpptests")
    cmake_exe = str(Path(cmake.CMAKE_BIN_DIR) / "cmake")
    configure = [
        cmake_exe, "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
        f"-DCMAKE_MAKE_PROGRAM={Path(ninja.BIN_DIR) / 'ninja'}",
        "-DCMAKE_BUILD_TYPE=Debug",
        "-DMORVAX_CPP_TESTS=ON",
        f"-DMORVAX_SANITIZE={'ON' if sanitized() else 'OFF'}",
        f"-DPython_EXECUTABLE={sys.executable}",
    ]
    for step in (configure, [cmake_exe, "--build", str(build), "-j2"]):
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
