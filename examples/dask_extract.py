"""Keyword extraction with Dask distributed over an Arrow-backed frame.

    python examples/dask_extract.py [rows=20000] [partitions=16]

A LocalCluster of two worker processes; the processor is scattered to every worker once
(client.scatter(kp, broadcast=True)) and handed to map_partitions as an argument, so each
worker unpickles it once. Capturing it in the function instead (a closure or a lambda
over kp) pickles it into every task, and every task unpickles it again. Checks the
result against a local run.
"""

import pathlib
import sys

import pandas as pd
import pyarrow as pa
import dask.dataframe as dd
from dask.distributed import Client, LocalCluster

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import sample  # noqa: E402

MATCHES = pd.ArrowDtype(pa.list_(pa.struct([("keyword", pa.string()), ("similarity", pa.float32()),
                                             ("start", pa.int64()), ("end", pa.int64())])))


def extract_partition(part, kp):
    """One partition in, the same rows with their matches and replaced text out."""
    matches = pd.arrays.ArrowExtensionArray(kp.extract_column(part["text"]).to_arrow())
    clean = pd.arrays.ArrowExtensionArray(kp.replace_column(part["text"]).to_arrow())
    return part.assign(matches=pd.Series(matches, index=part.index), clean=pd.Series(clean, index=part.index))


def frame(texts, partitions):
    pdf = pd.DataFrame({"doc_id": range(len(texts)),
                        "text": pd.Series(texts, dtype=pd.ArrowDtype(pa.string()))})
    return dd.from_pandas(pdf, npartitions=partitions)


def main(argv):
    n = int(argv[1]) if len(argv) > 1 else 20_000
    partitions = int(argv[2]) if len(argv) > 2 else 16
    kp = sample.processor()
    texts = sample.rows(n)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        shared = client.scatter(kp, broadcast=True)
        meta = {"doc_id": "int64", "text": pd.ArrowDtype(pa.string()), "matches": MATCHES,
                "clean": pd.ArrowDtype(pa.string())}
        result = frame(texts, partitions).map_partitions(extract_partition, shared, meta=meta).compute()
    result = result.sort_values("doc_id")
    got = [None if v is pd.NA else [tuple(m.values()) for m in v] for v in result["matches"].tolist()]
    clean = [None if v is pd.NA else v for v in result["clean"].tolist()]
    ok = got == kp.extract_column(texts).to_pylist()
    ok &= clean == kp.replace_column(texts).to_pylist()
    print(f"dask LocalCluster(2 processes): {len(result)} rows in {partitions} partitions, "
          f"{sum(len(g) for g in got if g)} matches")
    print(f"identical to a local run: {ok}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
