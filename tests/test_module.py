"""The module object, its two classes and the internal-fault exception."""

import gc
import importlib
import inspect
import importlib.metadata
import importlib.util
import pathlib
import re
import subprocess
import sys
import textwrap
import tomllib
import types
import weakref

import pytest

import kwsieve
from kwsieve import KeywordProcessor, PyKeywordMatch

CLASSES = [KeywordProcessor, PyKeywordMatch]


# ---- the module object ----

def test_module_has_empty_doc_and_exports_exactly_the_two_classes():
    assert kwsieve.__doc__ == ""
    assert kwsieve.__all__ == ["KeywordProcessor", "PyKeywordMatch"]
    namespace = {}
    exec("from kwsieve import *", namespace)
    assert {n for n in namespace if n != "__builtins__"} == set(kwsieve.__all__)
    # The module has no functions: nothing public but the classes and the fault class
    # (and the pure-Python submodules, such as kwsieve.cli, once something imports them).
    public = {n for n in dir(kwsieve)
              if not n.startswith("_") and not isinstance(getattr(kwsieve, n), types.ModuleType)}
    assert public <= {*kwsieve.__all__, "PanicException"}


def test_reimport_gives_the_same_module_and_all_does_not_grow():
    before = kwsieve.__all__[:]
    try:
        for _ in range(2):
            for again in (importlib.import_module("kwsieve"), importlib.reload(kwsieve),
                          sys.modules.pop("kwsieve") and importlib.import_module("kwsieve")):
                assert again is kwsieve and again.__all__ == before
                assert (again.KeywordProcessor, again.PyKeywordMatch) == tuple(CLASSES)
    finally:
        sys.modules["kwsieve"] = kwsieve


# ---- the classes ----

@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_are_final_plain_and_untracked(cls):
    assert (cls.__module__, cls.__qualname__, cls.__bases__, cls.__doc__) == \
        ("kwsieve", cls.__name__, (object,), "")
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    obj = cls() if cls is KeywordProcessor else cls("k", 1.0, 0, 1)
    with pytest.raises(AttributeError):
        obj.arbitrary = 1
    with pytest.raises(AttributeError):
        obj.__dict__
    with pytest.raises(TypeError):
        weakref.ref(obj)
    # No instance holds a Python object, so none takes part in cycle collection.
    assert not gc.is_tracked(obj)


# Every public method (the callable's text signature is checked against its behaviour by
# test_frame's argument matching).
METHODS = {
    KeywordProcessor: {"add_keyword", "remove_keyword", "extract_keywords", "replace_keywords",
                       "parallel_extract_keywords_from_texts", "parallel_replace_keywords_from_texts",
                       "get_all_keywords", "set_non_word_boundaries", "add_non_word_boundary",
                       "extract_column", "replace_column"},
    PyKeywordMatch: set(),
}


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_method_tables_signatures_and_empty_docs(cls):
    assert {n for n, v in vars(cls).items() if callable(v) and not n.startswith("__")} == METHODS[cls]
    pickling = {"__getstate__", "__setstate__"} | ({"__getnewargs__"} if cls is PyKeywordMatch else set())
    assert pickling <= set(vars(cls))
    for target in [cls] + [vars(cls)[n] for n in METHODS[cls] | pickling]:
        assert target.__text_signature__.startswith("($self" if target is not cls else "(")
        assert not target.__doc__
    assert str(inspect.signature(cls)) == {KeywordProcessor: "(case_sensitive=False, allow_overlaps=False)",
                                           PyKeywordMatch: "(keyword, similarity, start, end)"}[cls]


# ---- PanicException ----

def test_internal_fault_is_a_base_exception_with_a_diagnostic(panic_type, capfd):
    # Not an Exception: `except Exception` must not catch an internal fault.
    assert panic_type.__mro__ == (panic_type, BaseException, object)
    assert panic_type.__module__ == "kwsieve" and panic_type.__doc__
    kp = KeywordProcessor()
    kp.add_keyword("apple")
    with pytest.raises(panic_type) as info:
        kp.extract_keywords("apple", 1.5)
    assert type(info.value) is panic_type and info.value.args == ("Threshold must be between 0 and 1",)
    # A diagnostic with the message goes to standard error before the exception; it names
    # the place relative to the source tree, not the build machine's folders.
    err = capfd.readouterr().err
    assert "Threshold must be between 0 and 1" in err
    where = re.search(r"panicked at (\S+):\d+:\d+:", err)
    assert where and where.group(1).startswith("src/engine/"), err
    kp.add_keyword("pear")  # the processor keeps working: its borrow was released
    assert [m.keyword for m in kp.extract_keywords("apple pear")] == ["apple", "pear"]


# ---- sub-interpreters ----

_CHILD = """
import os
try:
    import kwsieve
except ImportError as e:
    os.write(1, ("refused: %s\\n" % e).encode())
else:
    os.write(1, b"imported\\n")
"""

_PARENT = """
import sys
import kwsieve
try:
    import _interpreters as interpreters
    # The legacy configuration lets single-phase modules run their own init,
    # which is what must refuse here.
    child = interpreters.create("legacy")
except ImportError:
    import _xxsubinterpreters as interpreters
    child = interpreters.create()
interpreters.run_string(child, CHILD)
interpreters.destroy(child)
print(repr(kwsieve.KeywordProcessor()), sys.modules["kwsieve"] is kwsieve, kwsieve.__all__)
"""


@pytest.mark.skipif(importlib.util.find_spec("_interpreters") is None
                    and importlib.util.find_spec("_xxsubinterpreters") is None,
                    reason="no sub-interpreter API in this interpreter")
def test_import_in_a_sub_interpreter_is_refused():
    script = f"CHILD = {_CHILD!r}\n" + textwrap.dedent(_PARENT)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert len(lines) == 2, run.stdout
    refused, parent = lines
    assert refused.startswith("refused: ") and "interpreter" in refused
    assert parent == "KeywordProcessor(num_keywords=0) True ['KeywordProcessor', 'PyKeywordMatch']"


# ---- version ----

def test_version_is_the_one_in_pyproject():
    assert kwsieve.__version__ == importlib.metadata.version("kwsieve")
    pyproject = pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml"
    if pyproject.is_file():  # absent when the tests run against a wheel, outside the tree
        assert kwsieve.__version__ == tomllib.loads(pyproject.read_text())["project"]["version"]


def test_distribution_carries_its_license_and_says_it_is_typed():
    dist = importlib.metadata.distribution("kwsieve")
    licenses = [f for f in dist.files or [] if f.name == "LICENSE"]
    assert licenses and "MIT License" in licenses[0].read_text()
    assert "Typing :: Typed" in dist.metadata.get_all("Classifier")
    assert dist.metadata["License"] == "MIT"
