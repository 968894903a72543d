"""Every call runs on the calling thread, attached to the interpreter: no
thread of its own, no other Python thread running meanwhile, a fork inside a
call's copy hook completes, and a signal handler that raises ends a long call
promptly with nothing written."""

from __future__ import annotations

import os
import signal
import sys
import threading
import time
from types import SimpleNamespace
from typing import Any

import pytest

import morvax_formulas as mf
from buildtools import sanitized
from treeutil import node, values

# Far beyond any size from which work could be handed to another thread.
NODES = 20_000


def wide(nodes: int = NODES, root_type: type = SimpleNamespace) -> Any:
    return root_type(name="R", formula="=sum(children)",
                     children=[node(f"n{i}", f"={i} * 2") for i in range(nodes)])


def native_threads() -> int:
    return len(os.listdir("/proc/self/task"))


class CopyHook(SimpleNamespace):
    """A root whose copy runs a hook: evaluate_tree copies only after evaluating."""

    hook: Any = None

    def __deepcopy__(self, memo: dict[int, Any]) -> Any:
        type(self).hook()
        return CopyHook(name=self.name, formula=self.formula,
                        children=[SimpleNamespace(**vars(c)) for c in self.children])


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_no_thread_besides_the_callers() -> None:
    seen: list[int] = []
    CopyHook.hook = lambda: seen.append(native_threads())
    before = native_threads()
    result = mf.evaluate_tree(wide(root_type=CopyHook))
    assert seen == [before]
    assert result.value == str(sum(range(NODES)) * 2)


def test_other_threads_wait_during_an_in_place_call() -> None:
    """With the GIL, a call on plain objects holds it from reading to writing."""
    if not getattr(sys, "_is_gil_enabled", lambda: True)():
        pytest.skip("free-threaded: other threads run by design")
    root = wide(200_000)
    ticks: list[float] = []
    stop = threading.Event()

    def count() -> None:
        while not stop.is_set():
            ticks.append(time.perf_counter())

    counter = threading.Thread(target=count)
    counter.start()
    try:
        while not ticks:
            time.sleep(0.001)
        start = time.perf_counter()
        mf.evaluate_tree(root, in_place=True)
        end = time.perf_counter()
    finally:
        stop.set()
        counter.join()
    assert end - start > 0.05, "the call was too short to show anything"
    # The counter may run one switch interval after `start` was taken, before
    # the call begins; after that, not until the call has returned.
    slack = 10 * sys.getswitchinterval()
    inside = [t for t in ticks if start + slack < t < end]
    assert inside == []


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_fork_inside_the_copy_hook_completes_in_the_child() -> None:
    children: list[int] = []

    def fork() -> None:
        pid = os.fork()
        if pid:
            children.append(pid)

    CopyHook.hook = fork
    result = mf.evaluate_tree(wide(root_type=CopyHook))
    if not children:  # the child: the call has come back here
        os._exit(0 if result.value == str(sum(range(NODES)) * 2) else 1)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        pid, status = os.waitpid(children[0], os.WNOHANG)
        if pid:
            assert os.waitstatus_to_exitcode(status) == 0
            return
        time.sleep(0.01)
    os.kill(children[0], signal.SIGKILL)
    os.waitpid(children[0], 0)
    pytest.fail("the forked child hangs in evaluate_tree")


def long_tree(nodes: int) -> Any:
    """Reading it is quick; evaluating it takes long: every node reads a list
    of 400 entries, so is evaluated in each of 400 dimensions, to one result."""
    root = SimpleNamespace(name="R", formula="=sum(children)",
                           children=[node(f"n{i}", f"=@Months * 0 + {i}") for i in range(nodes)])
    root.children.append(node("Months", ["1"] * 400))
    return root


def long_evaluation(at_least: float) -> tuple[Any, float]:
    """A long_tree whose evaluation takes at least `at_least` seconds here,
    and how long it took: the size doubles until it does."""
    nodes = 25_000
    while True:
        root = long_tree(nodes)
        start = time.perf_counter()
        mf.evaluate_tree(root, in_place=True)
        duration = time.perf_counter() - start
        if duration >= at_least or nodes >= 1_600_000:
            return long_tree(nodes), duration
        nodes *= 2


def interrupt_delays(call: Any, after: float) -> list[float]:
    """Seconds from a timer signal, `after` seconds into `call()`, to the
    KeyboardInterrupt its handler raises coming out of the call; three tries.
    Counted from the signal, not from the handler: the handler runs only when
    the call checks for signals, which is what is measured."""

    def handler(signum: int, frame: Any) -> None:
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    delays = []
    try:
        for _ in range(3):
            start = time.perf_counter()
            signal.setitimer(signal.ITIMER_REAL, after)
            with pytest.raises(KeyboardInterrupt):
                call()
            delays.append(time.perf_counter() - start - after)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    return delays


# The best of three tries: a loaded machine may deschedule the process now and
# then, but a call that checked only at its end would be late every time.
needs_timer = pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
# Instrumented builds run several times slower between two checks.
PROMPT = 1.0 if sanitized() else 0.1


@needs_timer
def test_a_raising_signal_handler_ends_an_evaluation_promptly() -> None:
    root, duration = long_evaluation(0.3)
    assert duration > 0.2, "the call is too short to be interrupted in its midst"
    delays = interrupt_delays(lambda: mf.evaluate_tree(root, in_place=True), duration * 0.4)
    assert min(delays) < PROMPT, delays
    assert all(value is None for _, value in values(root)), "an interrupted call wrote values"


def shared(levels: int) -> Any:
    """One object as both children of its parent, `levels` deep: 2^levels nodes
    to read, which takes seconds before the size limit ends the call."""
    leaf = node("L", "=1")
    for level in range(levels):
        leaf = node(f"level{level}", "=sum(children)", leaf, leaf)
    return leaf


@needs_timer
@pytest.mark.parametrize(
    "call",
    [
        lambda root: mf.evaluate_tree(root),
        lambda root: mf.expand_tree_formulas(root),
        lambda root: mf.export_tree_to_excel(root),
        lambda root: mf.explain_node(root, "x"),
        lambda root: mf.rename_nodes(root, root),
        lambda root: mf.diagnose_tree(root),
    ],
)
def test_a_raising_signal_handler_ends_reading_promptly(call: Any) -> None:
    root = shared(30)
    assert min(interrupt_delays(lambda: call(root), 0.15)) < PROMPT


def doubling(levels: int) -> Any:
    """Each level reads the next twice: the expansion doubles with every level."""
    links = [node(f"L{i}", f"=@L{i + 1} + @L{i + 1}") for i in range(levels)]
    return node("R", "=@L0", *links, node(f"L{levels}", "1"))


def renamed_many(references: int) -> tuple[Any, Any]:
    old = node("R", "", node("A", "1", id="a"), id="r")
    new = node("R", "=" + "+".join(["@A"] * references), node("Alpha", "1", id="a"), id="r")
    return old, new


@needs_timer
@pytest.mark.parametrize(
    ("make", "call"),
    [
        (lambda: (doubling(24),), mf.expand_tree_formulas),
        (lambda: (doubling(22), ""), mf.explain_node),
        (lambda: renamed_many(2_000_000), mf.rename_nodes),
    ],
    ids=["expand", "explain", "rename"],
)
def test_a_raising_signal_handler_ends_a_transformation_promptly(make: Any, call: Any) -> None:
    # Reading these trees is quick: the signal comes while the texts are made
    # (an explanation's are, in its first quarter second; then its record is
    # made from them, which, like a write-back, is not interrupted).
    arguments = make()
    assert min(interrupt_delays(lambda: call(*arguments), 0.1)) < PROMPT
