"""Distributed engines: how the processor travels (Dask) and what a row costs (Spark).

    python bench/bench_pipelines.py dask  [n_keywords=100000] [tasks=200] [rounds=3]
    python bench/bench_pipelines.py spark [n_rows=200000] [n_keywords=1000] [rounds=3]

dask: a LocalCluster of 2 worker processes runs `tasks` small map_partitions tasks (100
corpus lines each) with the processor either captured in the task function (pickled
into every task, unpickled by every task) or scattered once with broadcast=True and
passed as an argument. Wall clock of compute(), median of rounds, alternating.

spark: local[2], the same corpus lines as a DataFrame; rows per second of
  - mapInArrow with extract_column (state broadcast, decoded once per Python worker),
  - a Python UDF calling extract_keywords per row (processor unpickled per worker by
    Spark's broadcast of the closure),
  - Spark SQL regexp_extract_all with a word-bounded, case-insensitive alternation of
    the keywords (\\b(?:k1|k2|...)\\b), which is Spark's own engine.
Each counts the matches (a sum over rows forces the work); wall clock, median of rounds.
"""

import os
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402

import kwsieve  # noqa: E402
import kwsieve.columns  # noqa: E402


def corpus_lines(n):
    raw = [line for line in common.corpus_bytes().decode("utf-8").split("\n") if line]
    return (raw * (n // len(raw) + 1))[:n]


def processor(n_kw):
    kp = kwsieve.KeywordProcessor()
    for kw, clean in common.keywords(n_kw):
        kp.add_keyword(kw, clean)
    return kp


def bench_dask(n_kw, tasks, rounds):
    import dask.dataframe as dd
    import pandas as pd
    import pyarrow as pa
    from dask.distributed import Client, LocalCluster

    kp = processor(n_kw)
    texts = corpus_lines(100 * tasks)
    pdf = pd.DataFrame({"text": pd.Series(texts, dtype=pd.ArrowDtype(pa.string()))})
    ddf = dd.from_pandas(pdf, npartitions=tasks)

    def count(part, kp):
        return pd.Series([len(pa.compute.list_flatten(kp.extract_column(part["text"]).to_arrow()))])

    times = {"captured": [], "scattered": []}
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        shared = client.scatter(kp, broadcast=True)
        results = {}
        for _ in range(rounds):
            t0 = time.perf_counter()
            results["captured"] = ddf.map_partitions(lambda part: count(part, kp), meta=(None, "int64")).compute().sum()
            times["captured"].append(time.perf_counter() - t0)
            t0 = time.perf_counter()
            results["scattered"] = ddf.map_partitions(count, shared, meta=(None, "int64")).compute().sum()
            times["scattered"].append(time.perf_counter() - t0)
    assert results["captured"] == results["scattered"]
    state_mb = len(kp.__getstate__()) / 1e6
    med = {k: statistics.median(v) for k, v in times.items()}
    common.print_table(
        f"Dask LocalCluster (2 processes): {tasks} tasks of 100 lines, {common.fmt_count(n_kw)} keywords "
        f"(pickled state {state_mb:.1f} MB); wall clock, median of {rounds}",
        ["processor", "time", "per task", "vs scattered"],
        [[k, f"{t:.2f} s", f"{t / tasks * 1e3:.1f} ms", common.ratio(t, med["scattered"])] for k, t in med.items()])


def bench_spark(n_rows, n_kw, rounds):
    import re

    import pyarrow as pa
    from pyspark.sql import SparkSession, functions as F, types as T

    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    spark = (SparkSession.builder.master("local[2]").appName("kwsieve-bench")
             .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false")
             .config("spark.sql.shuffle.partitions", "2").config("spark.driver.memory", "2g").getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    kp = processor(n_kw)
    pairs = common.keywords(n_kw)
    texts = corpus_lines(n_rows)
    df = spark.createDataFrame([(t,) for t in texts], "text string").repartition(4).cache()
    df.count()
    state = spark.sparkContext.broadcast(kp.__getstate__())

    def arrow_counts(batches):
        p = kwsieve.columns.processor_from_state(state.value)
        for batch in batches:
            lists = pa.array(p.extract_column(batch.column("text")))
            yield pa.RecordBatch.from_arrays([pa.compute.list_value_length(lists).cast(pa.int64())], names=["n"])

    def via_arrow():
        return df.mapInArrow(arrow_counts, "n long").agg(F.sum("n")).first()[0]

    local_kp = kp

    @F.udf(T.IntegerType())
    def udf_count(text):
        return len(local_kp.extract_keywords(text))

    def via_udf():
        return df.select(udf_count("text").alias("n")).agg(F.sum("n")).first()[0]

    # Longest first, so that the alternation prefers longer keywords as kwsieve does.
    alternation = "|".join(re.escape(k) for k in sorted({k for k, _ in pairs}, key=len, reverse=True))
    pattern = rf"(?i)\b(?:{alternation})\b"

    def via_regex():
        matches = F.regexp_extract_all(F.col("text"), F.lit(pattern), F.lit(0))
        return df.select(F.size(matches).alias("n")).agg(F.sum("n")).first()[0]

    contenders = {"mapInArrow + extract_column": via_arrow, "Python UDF + extract_keywords": via_udf,
                  "Spark SQL regexp_extract_all": via_regex}
    times = {k: [] for k in contenders}
    counts = {}
    try:
        for name, fn in contenders.items():
            fn()  # warm up: workers started, state decoded, pattern compiled
        for _ in range(rounds):
            for name, fn in contenders.items():
                t0 = time.perf_counter()
                counts[name] = fn()
                times[name].append(time.perf_counter() - t0)
    finally:
        spark.stop()
    med = {k: statistics.median(v) for k, v in times.items()}
    base = med["mapInArrow + extract_column"]
    common.print_table(
        f"Spark local[2]: {n_rows:,} corpus lines, {common.fmt_count(n_kw)} keywords; wall clock, median of {rounds}",
        ["route", "time", "rows/s", "matches", "mapInArrow is"],
        [[k, f"{t:.2f} s", f"{n_rows / t:,.0f}", f"{counts[k]:,}", common.ratio(t, base)] for k, t in med.items()])


def main():
    what = sys.argv[1] if len(sys.argv) > 1 else "dask"
    args = [int(a) for a in sys.argv[2:]]
    if what == "dask":
        bench_dask(*(args + [100_000, 200, 3][len(args):]))
    elif what == "spark":
        bench_spark(*(args + [200_000, 1_000, 3][len(args):]))
    else:
        raise SystemExit("usage: bench_pipelines.py dask|spark [...]")


if __name__ == "__main__":
    main()
