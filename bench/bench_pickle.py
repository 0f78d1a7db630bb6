"""Pickling speed and size: kwsieve against pyahocorasick, in the same process.

    python bench/bench_pickle.py [--repeat 5] [--counts 10000,100000] [--protocol 5]

For each N, the first N (keyword, clean_name) pairs are loaded into

  kwsieve              KeywordProcessor().add_keyword(keyword, clean_name)
  pyahocorasick        Automaton().add_word(keyword.lower(), clean_name), then make_automaton()

and each structure is timed through pickle.dumps and pickle.loads (median of the repeats,
after one untimed warm-up). kwsieve's pickle is its state: the 139 KB word-character set,
the trie in depth-first order and the two flags. It rebuilds the read-optimised view that
extraction scans on first use after loading, so "loads+ready" adds the first
extract_keywords(""), to compare with a pyahocorasick automaton that is ready to search
as soon as it is loaded. Both round trips are checked (same size, same listing/items).
"""

from __future__ import annotations

import argparse
import gc
import pickle
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402


def build_kwsieve(pairs):
    import kwsieve

    kp = kwsieve.KeywordProcessor()
    for kw, clean in pairs:
        kp.add_keyword(kw, clean)
    return kp


def build_pyahocorasick(pairs):
    import ahocorasick

    a = ahocorasick.Automaton()
    for kw, clean in pairs:
        a.add_word(kw.lower(), clean)
    a.make_automaton()
    return a


def measure(obj, repeat: int, protocol: int, ready=None) -> dict:
    gc.collect()
    dumps_s, data = common.median_time(lambda: pickle.dumps(obj, protocol), repeat, warmup=1)
    loads_s, back = common.median_time(lambda: pickle.loads(data), repeat, warmup=1)
    out = {"dumps_s": dumps_s, "loads_s": loads_s, "bytes": len(data), "back": back}
    if ready is not None:
        out["ready_s"], _ = common.median_time(
            lambda fresh: ready(fresh), repeat, setup=lambda: pickle.loads(data))
    return out


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:,.1f}"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--counts", default="10000,100000")
    ap.add_argument("--protocol", type=int, default=pickle.HIGHEST_PROTOCOL)
    args = ap.parse_args()

    rows = []
    for n in map(int, args.counts.split(",")):
        pairs = common.keywords(n)
        kp = build_kwsieve(pairs)
        k = measure(kp, args.repeat, args.protocol, ready=lambda p: p.extract_keywords(""))
        assert k["back"].get_all_keywords() == kp.get_all_keywords()
        k["ready_s"] += k["loads_s"]
        del kp, k["back"]

        a = build_pyahocorasick(pairs)
        ac = measure(a, args.repeat, args.protocol)
        assert len(ac["back"]) == len(a)
        del a, ac["back"]

        rows.append([
            common.fmt_count(n),
            ms(k["dumps_s"]), ms(k["loads_s"]), ms(k["ready_s"]), common.fmt_bytes(k["bytes"]),
            ms(ac["dumps_s"]), ms(ac["loads_s"]), common.fmt_bytes(ac["bytes"]),
            common.ratio(ac["dumps_s"], k["dumps_s"]),
            common.ratio(ac["loads_s"], k["ready_s"]),
            common.ratio(k["bytes"], ac["bytes"]),
        ])
        print(f"{common.fmt_count(n)}: kwsieve {k}, pyahocorasick {ac}", file=sys.stderr)

    common.print_table(
        f"Pickling, ms ({common.CLOCK_NAME} time, median of {args.repeat}, protocol {args.protocol})",
        ["keywords", "kwsieve dumps", "kwsieve loads", "kwsieve loads+ready", "kwsieve size",
         "pyahocorasick dumps", "pyahocorasick loads", "pyahocorasick size",
         "speed-up (dumps)", "speed-up (loads, ready)", "size ratio"],
        rows,
    )
    print("\nspeed-up = pyahocorasick time / kwsieve time; size ratio = kwsieve bytes /"
          " pyahocorasick bytes")


if __name__ == "__main__":
    main()
