"""The shared argument layer and exception mapping, through the probe module.

The probe's functions have the parameter shapes of the module's functions
(text, tree with in_place, two roots with in_place, root with node_id) and
return what they took, so every rule can be checked before those functions
exist.
"""

from __future__ import annotations

from collections.abc import Callable
from types import ModuleType
from typing import Any

import numpy as np
import pytest


class Text(str):
    pass


class Root:
    """Stands for a node object; the argument layer must not look inside it."""


def fake_numpy_type(name: str, module: str, truth: Callable[[Any], bool] | None) -> object:
    namespace: dict[str, object] = {"__module__": module}
    if truth is not None:
        namespace["__bool__"] = truth
    return type(name, (), namespace)()


def refuse(_self: object) -> bool:
    raise ValueError("no truth here")


@pytest.mark.parametrize(
    "text",
    ["", "=1+2*3", "héllo", "日本語", "🙂 =1", "a\x00b", Text("sub"), Text("ünï")],
)
def test_text_arrives_as_its_utf8_form(probe: ModuleType, text: str) -> None:
    assert probe.get_tokens(text) == (str(text),)
    assert probe.get_tokens(formula=text) == (str(text),)


ROOT = Root()
OTHER = Root()


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        (lambda p: p.evaluate_tree(ROOT), (ROOT, False)),
        (lambda p: p.evaluate_tree(ROOT, True), (ROOT, True)),
        (lambda p: p.evaluate_tree(ROOT, in_place=True), (ROOT, True)),
        (lambda p: p.evaluate_tree(in_place=False, root=ROOT), (ROOT, False)),
        (lambda p: p.evaluate_tree(ROOT, np.True_), (ROOT, True)),
        (lambda p: p.evaluate_tree(ROOT, np.False_), (ROOT, False)),
        (lambda p: p.evaluate_tree(ROOT, np.bool_(1)), (ROOT, True)),
        (lambda p: p.evaluate_tree(ROOT, fake_numpy_type("bool_", "numpy", lambda s: True)), (ROOT, True)),
        (lambda p: p.evaluate_tree(ROOT, fake_numpy_type("bool", "numpy", lambda s: False)), (ROOT, False)),
        (lambda p: p.rename_nodes(ROOT, OTHER), (ROOT, OTHER, False)),
        (lambda p: p.rename_nodes(ROOT, new_root=OTHER, in_place=np.True_), (ROOT, OTHER, True)),
        (lambda p: p.rename_nodes(in_place=True, new_root=OTHER, old_root=ROOT), (ROOT, OTHER, True)),
        (lambda p: p.explain_node(ROOT, "id-1"), (ROOT, "id-1")),
        (lambda p: p.explain_node(node_id=Text("ïd"), root=ROOT), (ROOT, "ïd")),
    ],
)
def test_arguments_are_taken_by_position_or_keyword(
    probe: ModuleType, call: Callable[[ModuleType], tuple[object, ...]], expected: tuple[object, ...]
) -> None:
    taken = call(probe)
    assert len(taken) == len(expected)
    for got, want in zip(taken, expected):
        assert type(got) is type(want)
        assert got is want if isinstance(want, Root) else got == want


@pytest.mark.parametrize(
    ("value", "type_name"),
    [
        (1, "int"), (0, "int"), (None, "None"), ("yes", "str"), (1.0, "float"),
        (np.int64(1), "numpy.int64"), (np.array(True), "numpy.ndarray"),
        (fake_numpy_type("bool_", "elsewhere", lambda s: True), "bool_"),
        (fake_numpy_type("boolean", "numpy", lambda s: True), "boolean"),
    ],
)
def test_in_place_takes_only_bool_or_numpy_bool(
    probe: ModuleType, value: object, type_name: str
) -> None:
    for call in (
        lambda: probe.evaluate_tree(Root(), value),
        lambda: probe.evaluate_tree(root=None, in_place=value),
        lambda: probe.rename_nodes(None, None, value),
    ):
        with pytest.raises(TypeError) as raised:
            call()
        assert "argument 'in_place' must be bool, not " + type_name in str(raised.value)


def test_numpy_bool_without_truth_slot(probe: ModuleType) -> None:
    with pytest.raises(TypeError) as raised:
        probe.evaluate_tree(Root(), fake_numpy_type("bool_", "numpy", None))
    assert str(raised.value) == "object of type 'bool_' does not define a '__bool__' conversion"


def test_numpy_bool_truth_failure_passes_through(probe: ModuleType) -> None:
    with pytest.raises(ValueError, match="no truth here"):
        probe.evaluate_tree(Root(), fake_numpy_type("bool_", "numpy", refuse))


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda p: p.evaluate_tree(), "evaluate_tree() missing required argument 'root' (pos 1)"),
        (lambda p: p.evaluate_tree(in_place=1), "evaluate_tree() missing required argument 'root' (pos 1)"),
        (lambda p: p.evaluate_tree(1, True, 2), "evaluate_tree() takes at most 2 arguments (3 given)"),
        (lambda p: p.evaluate_tree(1, root=1), "argument for evaluate_tree() given by name ('root') and position (1)"),
        (lambda p: p.evaluate_tree(1, False, in_place=True),
         "argument for evaluate_tree() given by name ('in_place') and position (2)"),
        (lambda p: p.evaluate_tree(1, inplace=True), "evaluate_tree() got an unexpected keyword argument 'inplace'"),
        (lambda p: p.rename_nodes(1), "rename_nodes() missing required argument 'new_root' (pos 2)"),
        (lambda p: p.rename_nodes(new_root=1), "rename_nodes() missing required argument 'old_root' (pos 1)"),
        (lambda p: p.rename_nodes(1, 2, True, 4), "rename_nodes() takes at most 3 arguments (4 given)"),
        (lambda p: p.explain_node(1), "explain_node() missing required argument 'node_id' (pos 2)"),
        (lambda p: p.explain_node(1, 5), "explain_node() argument 'node_id' must be str, not int"),
        (lambda p: p.explain_node(Root(), node_id=None), "explain_node() argument 'node_id' must be str, not None"),
        (lambda p: p.get_tokens(b"=1"), "get_tokens() argument 'formula' must be str, not bytes"),
    ],
)
def test_argument_errors_name_function_and_parameter(
    probe: ModuleType, call: Callable[[ModuleType], object], message: str
) -> None:
    with pytest.raises(TypeError) as raised:
        call(probe)
    assert str(raised.value) == message


@pytest.mark.parametrize("text", ["\ud800", Text("x\udfff")])
def test_text_with_lone_surrogates_raises_unicode_encode_error(probe: ModuleType, text: str) -> None:
    with pytest.raises(UnicodeEncodeError):
        probe.explain_node(Root(), text)


def test_cpp_exception_becomes_panic_exception(probe: ModuleType) -> None:
    with pytest.raises(BaseException) as raised:
        probe.fault("logic")
    panic = type(raised.value)
    assert panic.__name__ == "PanicException"
    assert panic.__module__ == "morvax_formulas"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert str(raised.value) == "probe fault: logic"

    # Made once, then reused: a later fault raises the very same type.
    with pytest.raises(BaseException) as again:
        probe.fault("unknown")
    assert type(again.value) is panic
    assert str(again.value) == "unknown internal fault"


def test_plain_except_exception_does_not_swallow_a_panic(probe: ModuleType) -> None:
    def swallow() -> None:
        try:
            probe.fault("logic")
        except Exception:
            pass

    with pytest.raises(BaseException) as raised:
        swallow()
    assert type(raised.value).__name__ == "PanicException"


def test_bad_alloc_becomes_memory_error(probe: ModuleType) -> None:
    with pytest.raises(MemoryError):
        probe.fault("memory")
    assert probe.fault("none") is None
