"""Approximate extraction from Python, one call per paragraph, as a caller's loop does.

    python bench/bench_approx_calls.py [rounds=3] [counts...]   (default 1000 10000 100000)

1,500 paragraphs spread over the first 3 MB of the corpus (the texts of table 3 of
bench_approx.cpp), one `extract_keywords` call each, at thresholds 1.0 (exact, for scale),
0.9, 0.8 and 0.7; MB/s of UTF-8 input, the median of `rounds`. The approximate search
keeps the results of earlier searches with the processor, so every round runs on a copy
that has seen none of the texts (its search tables built before the clock starts) and on
fresh str objects: the figures are those of a processor's first pass over new text.
"""

import copy
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402

import kwsieve  # noqa: E402


def paragraphs(n=1500, head=3_000_000):
    data = common.corpus_bytes()[:head].decode("utf-8", "ignore")
    every = [p for p in data.split("\n\n") if p]
    return [every[i * len(every) // n] for i in range(n)]


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    counts = [int(c) for c in sys.argv[2:]] or list(common.KEYWORD_COUNTS)
    texts = paragraphs()
    mb = sum(len(t.encode()) for t in texts) / 1e6
    thresholds = [1.0, 0.9, 0.8, 0.7]
    rows = []
    for count in counts:
        base = kwsieve.KeywordProcessor()
        for keyword, clean in common.keywords(count):
            base.add_keyword(keyword, clean)
        row = [common.fmt_count(count)]
        for t in thresholds:
            def setup():
                kp = copy.deepcopy(base)
                kp.extract_keywords("warm up", t)
                return kp, common.fresh_copies(texts)

            def run(arg):
                kp, fresh = arg
                return sum(len(kp.extract_keywords(text, t)) for text in fresh)

            seconds, _ = common.median_time(run, k=rounds, setup=setup)
            row.append(common.fmt_rate(mb / seconds))
        rows.append(row)
    common.print_table(f"{len(texts)} paragraphs ({mb:.2f} MB), one call each, MB/s, median of {rounds}",
                       ["keywords"] + [f"t = {t}" if t < 1 else "exact" for t in thresholds], rows)


if __name__ == "__main__":
    main()
