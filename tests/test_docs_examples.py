"""The documentation's examples are real: every `>>>` example in docs/*.md (```pycon or
```python blocks) and in the type stubs' docstrings runs against the installed module and
must print what it shows.

A Python block without `>>>` prompts that carries a title (```python title="reader.py") is a
file for the reader to save: it is executed. Other blocks without prompts are compiled, so
that they at least parse. A page's blocks run in order, in one namespace, as a reader would
type them.
"""

import ast
import doctest
import pathlib
import re

import pytest

import kwsieve

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
STUBS = pathlib.Path(kwsieve.__file__).with_name("__init__.pyi")
BLOCK = re.compile(r"^```(?:python|pycon)([^\n]*)\n(.*?)^```", re.S | re.M)
FLAGS = doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS

pages = sorted(DOCS.glob("*.md")) if DOCS.is_dir() else []


def run_examples(text, name, globs):
    test = doctest.DocTestParser().get_doctest(text, globs, name, name, 0)
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    report = []
    runner.run(test, out=report.append, clear_globs=False)
    assert runner.failures == 0, "".join(report)
    globs.update(test.globs)  # the next block of the page goes on from here
    return len(test.examples)


@pytest.mark.skipif(not pages, reason="no docs/ beside the tests (running against a wheel)")
@pytest.mark.parametrize("page", pages, ids=lambda p: p.name)
def test_page_examples_print_what_they_show(page):
    globs = {"kwsieve": kwsieve}
    for i, (info, block) in enumerate(BLOCK.findall(page.read_text(encoding="utf-8"))):
        name = f"{page.name} block {i + 1}"
        if ">>>" in block:
            run_examples(block, name, globs)
        elif "title=" in info:
            exec(compile(block, name, "exec"), globs)
        else:
            compile(block, name, "exec")


def stub_docstrings():
    tree = ast.parse(STUBS.read_text(encoding="utf-8"))
    for node in ast.walk(tree):
        if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef)):
            doc = ast.get_docstring(node)
            if doc and ">>>" in doc:
                yield getattr(node, "name", "kwsieve"), doc


def test_stub_docstring_examples_print_what_they_show():
    ran = 0
    for name, doc in stub_docstrings():
        globs = {"kwsieve": kwsieve, "KeywordProcessor": kwsieve.KeywordProcessor,
                 "PyKeywordMatch": kwsieve.PyKeywordMatch}
        ran += run_examples(doc, name, globs)
    assert ran >= 5  # the stubs' examples were found at all


@pytest.mark.skipif(not pages, reason="no docs/ beside the tests (running against a wheel)")
def test_every_page_is_in_the_navigation():
    nav = (ROOT / "mkdocs.yml").read_text(encoding="utf-8")
    assert {p.name for p in pages} <= set(re.findall(r"([\w-]+\.md)", nav))
