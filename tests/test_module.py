"""The module's surface and how evaluate and evaluate_boolean take their arguments."""

from __future__ import annotations

import ast
import doctest
import importlib.util
import inspect
import shutil
import tomllib
from collections.abc import Callable
from types import ModuleType

import pytest
from hypothesis import given
from hypothesis import strategies as st

import morvax_formulas
from buildtools import ROOT, run

# Registration order, which is also the order of __all__.
FUNCTIONS = [
    "evaluate",
    "evaluate_boolean",
    "evaluate_tree",
    "get_tokens",
    "rename_nodes",
    "expand_tree_formulas",
    "explain_node",
    "export_tree_to_excel",
    "diagnose",
    "diagnose_tree",
]
# Functions whose result is one str.
STR_FUNCTIONS = [morvax_formulas.evaluate, morvax_formulas.evaluate_boolean]
TEXT_FUNCTIONS = [*STR_FUNCTIONS, morvax_formulas.get_tokens, morvax_formulas.diagnose]
STANDARD_DUNDERS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


class Text(str):
    """A str subclass: its instances are not compact, so they take the slower UTF-8 path."""


def fresh_module(prepare: Callable[[ModuleType], None] | None = None) -> ModuleType:
    """A new module instance, with `prepare` run on it between creation and the exec step."""
    spec = importlib.util.find_spec("morvax_formulas")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    if prepare is not None:
        prepare(module)
    spec.loader.exec_module(module)
    return module


def test_all_names_the_functions_in_table_order() -> None:
    assert type(morvax_formulas.__all__) is list
    assert morvax_formulas.__all__ == FUNCTIONS


def test_module_holds_only_functions_and_all() -> None:
    names = set(vars(morvax_formulas))
    assert names == STANDARD_DUNDERS | {"__all__", "__version__"} | set(FUNCTIONS)


def test_version_is_the_package_version() -> None:
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    assert morvax_formulas.__version__ == project["version"]


def test_only_the_init_function_is_exported() -> None:
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    listing = run([nm, "-D", "--defined-only", morvax_formulas.__file__])
    assert listing.returncode == 0, listing.stdout
    assert [line.split()[-1] for line in listing.stdout.splitlines()] == ["PyInit_morvax_formulas"]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_is_a_builtin_bound_to_the_module(name: str) -> None:
    function = getattr(morvax_formulas, name)
    assert inspect.isbuiltin(function)
    assert function.__name__ == name
    assert function.__module__ == "morvax_formulas"
    assert function.__self__ is morvax_formulas


def stub_docstrings() -> dict[str, str | None]:
    """The docstrings of the stub package: the module's under "", each function's under its name."""
    stub = ast.parse((ROOT / "morvax_formulas-stubs" / "__init__.pyi").read_text(encoding="utf-8"))
    docs = {"": ast.get_docstring(stub)}
    for item in stub.body:
        if isinstance(item, ast.FunctionDef):
            docs[item.name] = ast.get_docstring(item)
    return docs


@pytest.mark.parametrize(
    ("name", "text_signature"),
    [
        ("evaluate", "(formula)"),
        ("evaluate_boolean", "(formula)"),
        ("evaluate_tree", "(root, in_place=False)"),
        ("get_tokens", "(formula)"),
        ("rename_nodes", "(old_root, new_root, in_place=False)"),
        ("expand_tree_formulas", "(root)"),
        ("explain_node", "(root, node_id)"),
        ("export_tree_to_excel", "(root, in_place=False)"),
        ("diagnose", "(formula)"),
        ("diagnose_tree", "(root)"),
    ],
)
def test_docstring_documents_the_function_after_its_text_signature(name: str, text_signature: str) -> None:
    function = getattr(morvax_formulas, name)
    assert function.__text_signature__ == text_signature
    kinds = {p.kind for p in inspect.signature(function).parameters.values()}
    assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    doc = function.__doc__
    assert doc is not None
    for part in ("Returns", "Raises", ">>> "):
        assert part in doc, part
    # The stubs are what IDEs show: the same text.
    assert stub_docstrings()[name] == doc


def test_module_docstring_is_the_stubs() -> None:
    assert morvax_formulas.__doc__
    assert stub_docstrings()[""] == morvax_formulas.__doc__


@pytest.mark.parametrize("name", FUNCTIONS)
def test_docstring_example_runs(name: str) -> None:
    function = getattr(morvax_formulas, name)
    test = doctest.DocTestParser().get_doctest(function.__doc__, vars(morvax_formulas).copy(), name, None, 0)
    assert len(test.examples) >= 2
    runner = doctest.DocTestRunner()
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


def test_each_module_instance_gets_its_own_functions() -> None:
    module = fresh_module()
    assert module.__all__ == FUNCTIONS
    assert module.evaluate is not morvax_formulas.evaluate
    assert module.evaluate.__self__ is module


def test_exec_appends_to_an_existing_all_list() -> None:
    def preset(module: ModuleType) -> None:
        module.__all__ = ["earlier"]

    assert fresh_module(preset).__all__ == ["earlier", *FUNCTIONS]


def test_exec_refuses_an_all_that_is_not_a_list() -> None:
    def preset(module: ModuleType) -> None:
        module.__all__ = ("earlier",)

    with pytest.raises(TypeError, match="__all__ must be a list, not tuple"):
        fresh_module(preset)


@pytest.mark.parametrize(
    ("function", "formula", "expected"),
    [
        (morvax_formulas.evaluate, "=1+2*3", "7"),
        (morvax_formulas.evaluate, "1+", "ERROR!"),
        (morvax_formulas.evaluate, "1+2", "ERROR!"),
        (morvax_formulas.evaluate_boolean, "1 <", "ERROR!"),
        (morvax_formulas.evaluate_boolean, "", "ERROR!"),
    ],
)
def test_results_are_texts(function: Callable[[str], str], formula: str, expected: str) -> None:
    for result in (function(formula), function(formula=formula), function(Text(formula))):
        assert type(result) is str
        assert result == expected


@pytest.mark.parametrize("function", TEXT_FUNCTIONS)
@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda f: f(), "{}() missing required argument 'formula' (pos 1)"),
        (lambda f: f("=1", "=2"), "{}() takes at most 1 argument (2 given)"),
        (lambda f: f("=1", other=2), "{}() got an unexpected keyword argument 'other'"),
        (lambda f: f(other="=1"), "{}() got an unexpected keyword argument 'other'"),
        (lambda f: f(formula="=1", other=2), "{}() got an unexpected keyword argument 'other'"),
        (lambda f: f("=1", formula="=1"), "argument for {}() given by name ('formula') and position (1)"),
    ],
)
def test_argument_count_and_names(
    function: Callable[..., str], call: Callable[[Callable[..., str]], str], message: str
) -> None:
    with pytest.raises(TypeError) as raised:
        call(function)
    assert str(raised.value) == message.format(function.__name__)


@pytest.mark.parametrize("function", TEXT_FUNCTIONS)
@pytest.mark.parametrize(
    ("formula", "type_name"),
    [(1, "int"), (None, "None"), (b"=1", "bytes"), (bytearray(b"=1"), "bytearray"),
     (["=1"], "list"), (1.5, "float"), (True, "bool")],
)
def test_formula_must_be_str(function: Callable[..., str], formula: object, type_name: str) -> None:
    expected = f"{function.__name__}() argument 'formula' must be str, not {type_name}"
    for call in (lambda: function(formula), lambda: function(formula=formula)):
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == expected


@pytest.mark.parametrize("function", TEXT_FUNCTIONS)
@pytest.mark.parametrize("formula", ["\ud800", "=1+\udfff", "\udc80abc", Text("=\ud83d")])
def test_lone_surrogates_raise_unicode_encode_error(
    function: Callable[[str], str], formula: str
) -> None:
    with pytest.raises(UnicodeEncodeError) as raised:
        function(formula)
    assert raised.value.encoding == "utf-8"
    assert raised.value.reason == "surrogates not allowed"


@pytest.mark.parametrize("function", STR_FUNCTIONS)
@given(text=st.text())
def test_any_text_gives_a_str_or_an_encoding_error(
    function: Callable[[str], str], text: str
) -> None:
    has_surrogate = any(0xD800 <= ord(c) <= 0xDFFF for c in text)
    try:
        result = function(text)
    except UnicodeEncodeError:
        assert has_surrogate
    else:
        assert not has_surrogate
        assert type(result) is str


def test_isolated_interpreters_evaluate_at_once() -> None:
    """Each interpreter imports its own module instance; two evaluate trees at once."""
    from concurrent.futures import InterpreterPoolExecutor

    # Builtins cross into the workers by reference: the job is one expression.
    job = ("(lambda mf, N: (mf.evaluate_tree(N(name='R', formula='=sum(children)', children=["
           "N(name=f'n{{i}}', formula=f'={{i}} * {k}', children=[]) for i in range(5000)])).value,"
           " mf.evaluate('=1/0')))"
           "(__import__('morvax_formulas'), __import__('types').SimpleNamespace)")
    with InterpreterPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(eval, [job.format(k=k) for k in range(1, 5)]))
    assert results == [(str(sum(range(5000)) * k), "VALUE!") for k in range(1, 5)]
