"""Columns in, columns out with pandas and polars.

    python examples/pandas_polars.py [rows=10000]

- pandas: extract from an Arrow-backed string column, join the matches back as a column,
  explode them into a tidy table (one row per match), replace into a new column, and
  write it all to Parquet and read it back.
- polars: a Series in and out, and the same inside a lazy query with map_batches.

Offsets are code points of each text (the default, offsets="chars"), so text[start:end]
is the matched span in pandas, polars and plain Python alike.
"""

import pathlib
import sys
import tempfile

import pandas as pd
import polars as pl
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import sample  # noqa: E402


def arrow_strings(values):
    """A pandas string Series stored in Arrow: pandas 3's default str dtype when it is,
    else the explicit Arrow dtype."""
    s = pd.Series(values, dtype="str")
    if getattr(s.dtype, "storage", None) == "pyarrow":
        return s
    return pd.Series(values, dtype=pd.ArrowDtype(pa.string()))


def pandas_recipes(kp, texts, parquet_path):
    df = pd.DataFrame({"doc_id": range(len(texts)), "text": arrow_strings(texts)})

    # A column in, a column out, joined back by position.
    matches = kp.extract_column(df["text"]).to_arrow()
    df["matches"] = pd.Series(pd.arrays.ArrowExtensionArray(matches), index=df.index)
    df["clean"] = pd.Series(pd.arrays.ArrowExtensionArray(kp.replace_column(df["text"]).to_arrow()), index=df.index)

    # Explode into a tidy table: one row per match, with the document it came from.
    lists = matches.combine_chunks() if isinstance(matches, pa.ChunkedArray) else matches
    spans = pc.list_flatten(lists)
    tidy = pa.table({
        "doc_id": pc.take(pa.array(df["doc_id"].to_numpy()), pc.list_parent_indices(lists)),
        "keyword": spans.field("keyword"),
        "similarity": spans.field("similarity"),
        "start": spans.field("start"),
        "end": spans.field("end"),
    }).to_pandas(types_mapper=pd.ArrowDtype)
    tidy["span"] = [df["text"].iat[d][s:e] for d, s, e in zip(tidy["doc_id"], tidy["start"], tidy["end"])]

    # Parquet round trip: the match column is plain Arrow, so it is written as is.
    table = pa.table({"doc_id": df["doc_id"], "text": pa.array(texts, pa.string()), "matches": lists})
    pq.write_table(table, parquet_path)
    back = pq.read_table(parquet_path)
    assert back.equals(table)
    # Texts read from Parquet go straight back in.
    assert kp.extract_column(back["text"]).to_arrow().to_pylist() == lists.to_pylist()
    return df, tidy


def polars_recipes(kp, texts):
    s = pl.Series("text", texts)
    matches = kp.extract_column(s).to_polars()
    replaced = kp.replace_column(s).to_polars()
    lazy = (
        pl.LazyFrame({"doc_id": range(len(texts)), "text": texts})
        .with_columns(
            pl.col("text").map_batches(lambda batch: kp.extract_column(batch).to_polars(),
                                       return_dtype=matches.dtype).alias("matches"),
            pl.col("text").map_batches(lambda batch: kp.replace_column(batch).to_polars(),
                                       return_dtype=pl.String).alias("clean"),
        )
        .filter(pl.col("matches").list.len() > 0)
        .collect()
    )
    return matches, replaced, lazy


def main(argv):
    n = int(argv[1]) if len(argv) > 1 else 10_000
    kp = sample.processor()
    texts = sample.rows(n)
    expected = [None if t is None else [(m.keyword, m.start, m.end) for m in kp.extract_keywords(t)] for t in texts]
    expected_chars = kp.extract_column(texts).to_pylist()  # plain Python, no pyarrow needed
    expected_clean = [None if t is None else kp.replace_keywords(t) for t in texts]

    with tempfile.TemporaryDirectory() as tmp:
        df, tidy = pandas_recipes(kp, texts, pathlib.Path(tmp) / "matches.parquet")
    ok = [None if v is pd.NA else [tuple(m.values()) for m in v] for v in df["matches"].tolist()] == expected_chars
    ok &= [None if pd.isna(v) else v for v in df["clean"].tolist()] == expected_clean
    ok &= len(tidy) == sum(len(r) for r in expected if r)
    ok &= all(tidy["span"].str.len() > 0)
    print(f"pandas: {len(df)} rows, {len(tidy)} matches; first: {tidy.iloc[0].to_dict()}")

    matches, replaced, lazy = polars_recipes(kp, texts)
    ok &= [None if v is None else [tuple(m.values()) for m in v] for v in matches.to_list()] == expected_chars
    ok &= replaced.to_list() == expected_clean
    ok &= lazy.height == sum(1 for r in expected if r)
    print(f"polars: {len(matches)} rows; lazy query kept {lazy.height} rows with matches")
    print(f"identical to the per-text methods: {ok}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
