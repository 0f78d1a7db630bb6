"""The pipeline examples (pandas, polars, Spark, Dask) run against the real engines and
agree with a local run. Each skips when its packages are absent, unless
KWSIEVE_REQUIRE_PIPELINES=1 (as in CI), which makes a missing package a failure."""

import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import kwsieve
import kwsieve.columns

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
REQUIRED = os.environ.get("KWSIEVE_REQUIRE_PIPELINES") == "1"


def need(*modules, java=False):
    missing = [m for m in modules if importlib.util.find_spec(m) is None]
    if java and shutil.which("java") is None:
        missing.append("java")
    if missing:
        if REQUIRED:
            pytest.fail(f"missing {', '.join(missing)} (KWSIEVE_REQUIRE_PIPELINES=1)")
        pytest.skip(f"needs {', '.join(missing)}")


def run_example(name, *args, timeout=600):
    proc = subprocess.run([sys.executable, str(EXAMPLES / name), *map(str, args)], capture_output=True, text=True,
                          timeout=timeout)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    assert "identical to" in proc.stdout and ": True" in proc.stdout.splitlines()[-1]
    return proc.stdout


def test_pandas_and_polars_recipes():
    need("pandas", "polars", "pyarrow")
    out = run_example("pandas_polars.py", 3000)
    assert "lazy query kept" in out


def test_spark_map_in_arrow_ships_the_processor_once():
    need("pyspark", "pyarrow", "pandas", java=True)
    out = run_example("spark_extract.py", 6000)
    assert "each decoded the processor once: True" in out


def test_dask_scattered_processor():
    need("dask", "distributed", "pandas", "pyarrow")
    run_example("dask_extract.py", 6000, 8)


def test_processor_from_state_decodes_once_per_state():
    kp = kwsieve.KeywordProcessor()
    kp.add_keyword("apple", "fruit")
    state = kp.__getstate__()
    a = kwsieve.columns.processor_from_state(state)
    assert kwsieve.columns.processor_from_state(bytes(state)) is a  # equal bytes, same processor
    assert a.extract_column(["an apple"]).to_pylist() == [[("fruit", 1.0, 3, 8)]]
    kp.add_keyword("pear")
    b = kwsieve.columns.processor_from_state(kp.__getstate__())
    assert b is not a and len(b) == 2
    for k in range(6):  # only the last few states are kept
        kp.add_keyword(f"w{k}")
        kwsieve.columns.processor_from_state(kp.__getstate__())
    assert kwsieve.columns.processor_from_state(state) is not a
