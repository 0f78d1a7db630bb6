"""Keyword extraction in Spark with mapInArrow, the processor shipped once.

    python examples/spark_extract.py [rows=20000]

The driver broadcasts the processor's state bytes (KeywordProcessor.__getstate__()); each
Python worker decodes them on its first batch (kwsieve.columns.processor_from_state keeps
the decoded processor for the worker's later batches) and runs extract_column on each
Arrow batch's text column: no per-row Python, no per-row objects. Runs on local[2] and
checks the rows against a local run of the same processor.
"""

import os
import pathlib
import sys

import pyarrow as pa
from pyspark.sql import SparkSession

import kwsieve.columns

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import sample  # noqa: E402

MATCHES = "array<struct<keyword:string,similarity:float,start:long,end:long>>"


def extract_batches(state):
    """The mapInArrow function: (doc_id, text) batches in, (doc_id, matches, worker) out."""

    def extract(batches):
        kp = kwsieve.columns.processor_from_state(state.value)
        for batch in batches:
            matches = kp.extract_column(batch.column("text"))
            # Which worker and which decoded processor served the batch, to show that
            # each worker decoded the state once.
            worker = pa.array([f"{os.getpid()}:{id(kp)}"] * batch.num_rows)
            yield pa.RecordBatch.from_arrays([batch.column("doc_id"), pa.array(matches), worker],
                                             names=["doc_id", "matches", "worker"])

    return extract


def session():
    # The workers must run this interpreter (with kwsieve installed), not the first python
    # on the PATH.
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    return (SparkSession.builder.master("local[2]").appName("kwsieve-example")
            .config("spark.ui.enabled", "false")
            .config("spark.ui.showConsoleProgress", "false")
            .config("spark.sql.shuffle.partitions", "2")
            .config("spark.sql.execution.arrow.maxRecordsPerBatch", "2000")
            .getOrCreate())


def main(argv):
    n = int(argv[1]) if len(argv) > 1 else 20_000
    kp = sample.processor()
    texts = sample.rows(n)
    spark = session()
    spark.sparkContext.setLogLevel("ERROR")
    try:
        df = spark.createDataFrame(list(enumerate(texts)), "doc_id long, text string").repartition(8)
        state = spark.sparkContext.broadcast(kp.__getstate__())
        out = df.mapInArrow(extract_batches(state), f"doc_id long, matches {MATCHES}, worker string")
        rows = sorted(out.collect(), key=lambda r: r.doc_id)
    finally:
        spark.stop()
    got = [None if r.matches is None else [tuple(m) for m in r.matches] for r in rows]
    local = kp.extract_column(texts).to_pylist()
    workers = {}
    for r in rows:
        pid, processor_id = r.worker.split(":")
        workers.setdefault(pid, set()).add(processor_id)
    once = all(len(ids) == 1 for ids in workers.values())
    ok = got == local and [r.doc_id for r in rows] == list(range(n)) and once
    print(f"spark local[2]: {len(rows)} rows, {sum(len(g) for g in got if g)} matches, "
          f"{len(workers)} Python worker(s), each decoded the processor once: {once}")
    print(f"identical to a local run: {ok}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
