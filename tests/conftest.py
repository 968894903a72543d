"""Shared fixtures: the CMake build of the C++ tests and of the argument probe module."""

from __future__ import annotations

import importlib.util
import os
import signal
import subprocess
import sys
import time
from pathlib import Path
from types import ModuleType

import pytest

from buildtools import PROBE_DONE, ROOT, TESTS_DONE, native_build_dir, tool_env


class NativeBuild:
    """The build of the C++ tests, run by `buildtools.py` in a child process
    from the end of collection on, when a collected test needs it."""

    def __init__(self) -> None:
        self.dir = native_build_dir()
        self.log = self.dir / "build.log"
        self.process: subprocess.Popen[bytes] | None = None

    def start(self) -> None:
        self.dir.mkdir(parents=True, exist_ok=True)
        for done in (PROBE_DONE, TESTS_DONE):
            (self.dir / done).unlink(missing_ok=True)
        with self.log.open("wb") as log:
            self.process = subprocess.Popen(
                [sys.executable, str(ROOT / "tests" / "buildtools.py")],
                cwd=ROOT, env=tool_env(), stdout=log, stderr=subprocess.STDOUT,
                # Its own process group, so that stopping it stops the compilers too.
                start_new_session=True,
            )

    def wait_for(self, done: str) -> Path:
        """The build folder once the step leaving `done` has succeeded."""
        if self.process is None:
            self.start()
        assert self.process is not None
        marker = self.dir / done
        while not marker.exists() and self.process.poll() is None:
            time.sleep(0.05)
        if not marker.exists() or marker.read_text() != "0":
            pytest.fail(f"the C++ build failed:\n{self.log.read_text(errors='replace')}", pytrace=False)
        return self.dir

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()


native = NativeBuild()


def pytest_collection_finish(session: pytest.Session) -> None:
    needs = {"native_build", "probe"}
    if any(needs & set(getattr(item, "fixturenames", ())) for item in session.items):
        native.start()


def pytest_sessionfinish(session: pytest.Session) -> None:
    native.stop()


@pytest.fixture(scope="session")
def native_build() -> Path:
    """The C++ tests and the probe module, built."""
    return native.wait_for(TESTS_DONE)


@pytest.fixture(scope="session")
def probe() -> ModuleType:
    """The test-only module that exposes the argument layer with every parameter shape."""
    [path] = native.wait_for(PROBE_DONE).glob("morvax_args_probe*.so")
    spec = importlib.util.spec_from_file_location("morvax_args_probe", path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
