"""Loading speed and resident memory: kwsieve against pyahocorasick.

    python bench/bench_load.py [--repeat 5] [--counts 1000,10000,100000]

Each measurement runs in a fresh interpreter that imports the module and reads the first
N (keyword, clean_name) pairs before the clock starts and before the first RSS reading, so
the figures are the cost of the structure alone:

  kwsieve              add_keyword(keyword, clean_name) N times; memory also after the first
                       extract_keywords(""), which builds the read-optimised view that every
                       scan uses ("ready" column)
  pyahocorasick        add_word(keyword.lower(), clean_name) N times ("no automaton"), then
                       make_automaton() ("ready"), which extraction needs

pyahocorasick stores a reference to the clean-name object the caller already holds, while
kwsieve copies every clean name into its own arena; the comparison charges kwsieve for that.
Times and memory are medians over the repeats; each repeat is its own process, and the
contenders alternate from one repeat to the next.
"""

from __future__ import annotations

import argparse
import gc
import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402

CONTENDERS = ("kwsieve", "pyahocorasick")


def child(contender: str, n: int) -> dict:
    if contender == "kwsieve":
        import kwsieve
    else:
        import ahocorasick
    pairs = common.keywords(n)
    gc.collect()
    rss0 = common.rss_bytes()
    out: dict = {"n": len(pairs)}
    if contender == "kwsieve":
        kp = kwsieve.KeywordProcessor()
        add = kp.add_keyword
        t0 = common.clock()
        for kw, clean in pairs:
            add(kw, clean)
        t1 = common.clock()
        out["add_s"] = t1 - t0
        out["rss_added"] = common.rss_bytes() - rss0
        kp.extract_keywords("")
        out["ready_s"] = common.clock() - t0
        out["rss_ready"] = common.rss_bytes() - rss0
        out["size"] = len(kp)
    else:
        a = ahocorasick.Automaton()
        add = a.add_word
        t0 = common.clock()
        for kw, clean in pairs:
            add(kw.lower(), clean)
        t1 = common.clock()
        out["add_s"] = t1 - t0
        gc.collect()  # the lowered keys are garbage now; do not charge for them
        out["rss_added"] = common.rss_bytes() - rss0
        t2 = common.clock()
        a.make_automaton()
        out["ready_s"] = (t1 - t0) + (common.clock() - t2)
        out["rss_ready"] = common.rss_bytes() - rss0
        out["size"] = len(a)
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--counts", default=",".join(map(str, common.KEYWORD_COUNTS)))
    ap.add_argument("--child", nargs=2, metavar=("CONTENDER", "N"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        print(json.dumps(child(args.child[0], int(args.child[1]))))
        return

    import statistics

    script = Path(__file__).resolve()
    rows_speed, rows_mem = [], []
    for n in map(int, args.counts.split(",")):
        # The contenders alternate, one fresh process each per round (the first to go swaps
        # every round), so that drift in the machine's state weighs on both alike.
        runs = {c: [] for c in CONTENDERS}
        for r in range(args.repeat):
            for c in (CONTENDERS if r % 2 == 0 else CONTENDERS[::-1]):
                runs[c].append(common.run_child(script, ["--child", c, str(n)]))
        res = {c: {k: statistics.median(x[k] for x in runs[c]) for k in runs[c][0]} for c in CONTENDERS}
        k, a = res["kwsieve"], res["pyahocorasick"]
        n_eff = k["n"]
        rows_speed.append([
            common.fmt_count(n),
            f"{n_eff / k['add_s'] / 1e3:,.0f}",
            f"{n_eff / k['ready_s'] / 1e3:,.0f}",
            f"{n_eff / a['add_s'] / 1e3:,.0f}",
            f"{n_eff / a['ready_s'] / 1e3:,.0f}",
            common.ratio(a["add_s"], k["add_s"]),
            common.ratio(a["ready_s"], k["ready_s"]),
        ])
        rows_mem.append([
            common.fmt_count(n),
            common.fmt_bytes(k["rss_added"]),
            common.fmt_bytes(k["rss_ready"]),
            common.fmt_bytes(a["rss_added"]),
            common.fmt_bytes(a["rss_ready"]),
            common.ratio(k["rss_added"], a["rss_added"]),
            common.ratio(k["rss_ready"], a["rss_ready"]),
        ])
        print(f"{common.fmt_count(n)}: kwsieve {k}, pyahocorasick {a}", file=sys.stderr)

    common.print_table(
        f"Loading speed, thousand keywords/s ({common.CLOCK_NAME} time, median of {args.repeat} processes)",
        ["keywords", "kwsieve add", "kwsieve ready", "pyahocorasick add",
         "pyahocorasick ready", "speed-up (add)", "speed-up (ready)"],
        rows_speed,
    )
    print("\nready = kwsieve after its read view is built / pyahocorasick after make_automaton;"
          " speed-up = kwsieve rate / pyahocorasick rate (target >= 2x)")
    common.print_table(
        f"Resident memory added by the structure (median of {args.repeat} processes)",
        ["keywords", "kwsieve added", "kwsieve ready", "pyahocorasick added",
         "pyahocorasick ready", "ratio (added)", "ratio (ready)"],
        rows_mem,
    )
    print("\nratio = kwsieve memory / pyahocorasick memory (target <= 0.5x)")


if __name__ == "__main__":
    main()
