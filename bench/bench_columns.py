"""Columns in and out against the list route, polars' own matcher, and the cost of nulls.

    python bench/bench_columns.py [n_texts=1000000] [keyword counts=10000,100000] [rounds=5]

The texts are corpus lines (non-empty, repeated in order up to n_texts) in a pyarrow string
array. Contenders, each end to end from that array to a pyarrow array of results:

  column        kp.extract_column(arr, offsets=...) then pa.array(result) (no copy)
  list route    arr.to_pylist(), parallel_extract_keywords_from_texts, then the same
                list<struct<...>> column built from the match objects, flattened into
                child arrays first (the fastest way we know to build it)
  polars        pl.Series(arr).str.extract_many(keywords, ascii_case_insensitive=True):
                substring matches (no word rule, ASCII-only case folding), list<str>

and the same for replacement (replace_column against to_pylist + the list batch +
pa.array; polars' str.replace_many). Wall-clock time (the pool works in parallel), the
median of `rounds` runs, contenders interleaved.
"""

import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402

import pyarrow as pa  # noqa: E402

import kwsieve  # noqa: E402

MATCH_TYPE = pa.list_(pa.struct([("keyword", pa.string()), ("similarity", pa.float32()),
                                 ("start", pa.int64()), ("end", pa.int64())]))


def lines(n):
    raw = [line for line in common.corpus_bytes().decode("utf-8").split("\n") if line]
    out = (raw * (n // len(raw) + 1))[:n]
    return out


def list_route_extract(kp, arr):
    texts = arr.to_pylist()
    results = kp.parallel_extract_keywords_from_texts(texts)
    offsets = [0]
    keywords, sims, starts, ends = [], [], [], []
    for row in results:
        for m in row:
            keywords.append(m.keyword)
            sims.append(m.similarity)
            starts.append(m.start)
            ends.append(m.end)
        offsets.append(len(keywords))
    items = pa.StructArray.from_arrays(
        [pa.array(keywords, pa.string()), pa.array(sims, pa.float32()), pa.array(starts, pa.int64()),
         pa.array(ends, pa.int64())], names=["keyword", "similarity", "start", "end"])
    return pa.ListArray.from_arrays(pa.array(offsets, pa.int32()), items)


def list_route_replace(kp, arr):
    return pa.array(kp.parallel_replace_keywords_from_texts(arr.to_pylist()), pa.string())


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, out


def run(contenders, rounds):
    """Median seconds of each contender, interleaved over rounds; the last results."""
    times = {name: [] for name in contenders}
    results = {}
    for _ in range(rounds):
        for name, fn in contenders.items():
            t, results[name] = timed(fn)
            times[name].append(t)
    return {name: statistics.median(ts) for name, ts in times.items()}, results


def main():
    n_texts = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    counts = [int(c) for c in sys.argv[2].split(",")] if len(sys.argv) > 2 else [10_000, 100_000]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    try:
        import polars as pl
    except ImportError:
        pl = None
    texts = lines(n_texts)
    arr = pa.array(texts, pa.string())
    mb = arr.nbytes / 1e6
    print(f"{n_texts:,} corpus lines, {mb:.0f} MB of Arrow strings; pool of {kwsieve.KeywordProcessor and ''}"
          f"{__import__('os').cpu_count()} CPUs; wall clock, median of {rounds}")
    extract_rows, replace_rows, null_rows, diff_rows = [], [], [], []
    for n_kw in counts:
        kp = kwsieve.KeywordProcessor()
        pairs = common.keywords(n_kw)
        for kw, clean in pairs:
            kp.add_keyword(kw, clean)
        kp.extract_keywords("warm up the read view")
        contenders = {
            "column (chars)": lambda: pa.array(kp.extract_column(arr)),
            "column (folded)": lambda: pa.array(kp.extract_column(arr, offsets="folded")),
            "list route": lambda: list_route_extract(kp, arr),
        }
        if pl is not None:
            series = pl.Series(arr)
            patterns = [kw for kw, _ in pairs]
            contenders["polars extract_many"] = lambda: series.str.extract_many(patterns, ascii_case_insensitive=True)
        med, res = run(contenders, rounds)
        base = med["list route"]
        for name, t in med.items():
            extract_rows.append([common.fmt_count(n_kw), name, f"{t * 1e3:.0f} ms", f"{mb / t:.0f} MB/s",
                                 common.ratio(base, t)])
        assert res["column (folded)"].to_pylist() == res["list route"].to_pylist()[: len(res["list route"])]
        ours = sum(len(r) for r in res["column (chars)"].to_pylist())
        if pl is not None:
            theirs = res["polars extract_many"]
            polars_total = int(theirs.list.len().sum())
            # Where each finds something the other does not: rows that differ in count.
            our_counts = pa.compute.list_value_length(res["column (chars)"]).to_pylist()
            their_counts = theirs.list.len().to_list()
            more = sum(1 for a, b in zip(our_counts, their_counts) if a > b)
            fewer = sum(1 for a, b in zip(our_counts, their_counts) if a < b)
            diff_rows.append([common.fmt_count(n_kw), f"{ours:,}", f"{polars_total:,}", f"{more:,}", f"{fewer:,}"])

        contenders = {
            "column": lambda: pa.array(kp.replace_column(arr)),
            "list route": lambda: list_route_replace(kp, arr),
        }
        if pl is not None:
            clean_names = [clean for _, clean in pairs]
            contenders["polars replace_many"] = lambda: series.str.replace_many(
                patterns, clean_names, ascii_case_insensitive=True)
        med, res = run(contenders, rounds)
        assert res["column"].equals(res["list route"])
        base = med["list route"]
        for name, t in med.items():
            replace_rows.append([common.fmt_count(n_kw), name, f"{t * 1e3:.0f} ms", f"{mb / t:.0f} MB/s",
                                 common.ratio(base, t)])

        # Nulls and empty strings: the same texts with as many nulls (or empty strings)
        # again, interleaved; the extra time per extra row.
        with_nulls = pa.array([x for t in texts for x in (t, None)], pa.string())
        with_empty = pa.array([x for t in texts for x in (t, "")], pa.string())
        med, _ = run({
            "plain": lambda: pa.array(kp.extract_column(arr)),
            "+ nulls": lambda: pa.array(kp.extract_column(with_nulls)),
            "+ empty": lambda: pa.array(kp.extract_column(with_empty)),
        }, rounds)
        for name in ("+ nulls", "+ empty"):
            extra = med[name] - med["plain"]
            null_rows.append([common.fmt_count(n_kw), name, f"{med['plain'] * 1e3:.0f} ms", f"{med[name] * 1e3:.0f} ms",
                              f"{extra / n_texts * 1e9:.1f} ns"])
        del with_nulls, with_empty

    common.print_table("Extraction: pyarrow column in, pyarrow column out",
                       ["keywords", "contender", "time", "throughput", "vs list route"], extract_rows)
    if diff_rows:
        common.print_table("Matches: kwsieve (whole words, full Unicode case folding) vs polars extract_many "
                           "(substrings, ASCII case folding)",
                           ["keywords", "kwsieve", "polars", "rows where kwsieve finds more", "rows where polars finds more"],
                           diff_rows)
    common.print_table("Replacement: pyarrow column in, pyarrow column out",
                       ["keywords", "contender", "time", "throughput", "vs list route"], replace_rows)
    common.print_table(f"Nulls and empty strings: {n_texts:,} extra rows interleaved",
                       ["keywords", "column", "plain", "with extra rows", "per extra row"], null_rows)


if __name__ == "__main__":
    main()
