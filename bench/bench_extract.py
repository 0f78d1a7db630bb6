"""Exact-mode extraction from Python, text in and match objects out, against peers.

    python bench/bench_extract.py [--split docs,paras] [--counts 1000,10000,100000]
                                  [--repeat 3] [--re-budget 2000000] [--no-hyperscan]

The corpus (35.7 MB, 72% English, 115 languages) is fed as a list of texts, one call per
text, in one of two cuts:

  docs    the 157 documents of the manifest, whole (1.5 kB to 3.3 MB; books are one text)
  paras   the same documents cut at blank lines: about 105k paragraphs, mostly under 2 kB

MB/s is the UTF-8 size of the given texts over the time of one pass over all of them
(median of --repeat passes; CPU time unless KWSIEVE_BENCH_CLOCK=wall, see common.py);
building the matchers is not timed. Contenders:

  kwsieve        KeywordProcessor.extract_keywords(text): PyKeywordMatch objects; every pass
                 gets fresh str objects, so the UTF-8 encoding that CPython caches inside a
                 str is paid for each time, as a caller extracting from each text once pays
  pyahocorasick  Automaton over the lowercased keywords; per text: text.lower(), iter_long,
                 then kwsieve's word rule as a filter (the character before and the one after
                 must not be in [A-Za-z0-9_]); (clean_name, start, end) tuples
  re             one compiled alternation of the lowercased keywords, longest first, between
                 (?<![A-Za-z0-9_]) and (?![A-Za-z0-9_]), finditer over text.lower(); tuples
                 as above. Far too slow for the whole corpus: it runs on an evenly spaced
                 sample of the paragraphs of about --re-budget x 1000 / N bytes, and the
                 table marks its rows "sample".
  hyperscan      raw block-mode scan of text.lower() encoded as UTF-8 with the literal
                 compiler; a Python callback only counts the hits, which include overlapping
                 and in-word hits, so its match count is not comparable

The semantics differ slightly. kwsieve takes, at each start that follows a non-word byte,
the longest keyword the text spells and rejects it (trying no shorter one, but trying later
starts) when a word byte follows; iter_long commits to the leftmost-longest match before the
filter runs, so a match rejected by the filter can hide one that kwsieve finds, and vice
versa; the regex falls back to shorter alternatives when the longest fails the lookahead.

Correctness check (before timing): kwsieve against a pure-Python model of its exact scan on
a sample of paragraphs (must agree), and against pyahocorasick-with-filter on the ASCII
paragraphs of the sample (differences are counted and shown, not treated as failures).
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402

import ahocorasick  # noqa: E402
import kwsieve  # noqa: E402

try:
    import hyperscan
except ImportError:  # the peer is optional
    hyperscan = None

W = common.WORD_CHARS
WORD_BYTES = frozenset(c.encode()[0] for c in W)
EDGE_BYTES = frozenset(b"\t\n\r ")


# --- contenders ---------------------------------------------------------------------------


def build_kwsieve(pairs):
    kp = kwsieve.KeywordProcessor()
    for kw, clean in pairs:
        kp.add_keyword(kw, clean)
    kp.extract_keywords("")  # build the read view outside the timed region
    return kp


def run_kwsieve(kp, texts):
    ext = kp.extract_keywords
    return [ext(t) for t in texts]


def build_aho(pairs):
    a = ahocorasick.Automaton()
    for kw, clean in pairs:
        low = kw.lower()
        a.add_word(low, (len(low), clean))
    a.make_automaton()
    return a


def run_aho(a, texts):
    out = []
    for t in texts:
        low = t.lower()
        n = len(low)
        ms = []
        for end, (klen, clean) in a.iter_long(low):
            s = end - klen + 1
            e = end + 1
            if (s > 0 and low[s - 1] in W) or (e < n and low[e] in W):
                continue
            ms.append((clean, s, e))
        out.append(ms)
    return out


def build_re(pairs):
    clean_of = {}
    for kw, clean in pairs:
        clean_of[kw.lower()] = clean
    alts = sorted(clean_of, key=len, reverse=True)
    pat = re.compile(
        r"(?<![A-Za-z0-9_])(?:" + "|".join(map(re.escape, alts)) + r")(?![A-Za-z0-9_])"
    )
    return pat, clean_of


def run_re(matcher, texts):
    pat, clean_of = matcher
    return [
        [(clean_of[m.group()], m.start(), m.end()) for m in pat.finditer(t.lower())]
        for t in texts
    ]


def build_hyperscan(pairs):
    exprs = list({kw.lower().encode(): None for kw, _ in pairs})
    db = hyperscan.Database(mode=hyperscan.HS_MODE_BLOCK)
    db.compile(expressions=exprs, ids=list(range(len(exprs))), flags=0, literal=True)
    return db


def run_hyperscan(db, texts):
    hits = [0]

    def on_match(_id, _start, _end, _flags, ctx):
        ctx[0] += 1

    scan = db.scan
    for t in texts:
        scan(t.lower().encode(), match_event_handler=on_match, context=hits)
    return hits[0]


def count(result) -> int:
    return result if isinstance(result, int) else sum(map(len, result))


# --- reference model of the exact scan ----------------------------------------------------


class ExactModel:
    """kwsieve's exact mode, written from its rules rather than from its code: at each
    byte that follows a non-word byte, the longest keyword the lowercased UTF-8 text spells
    from there; kept only when a non-word byte (or the end) follows; resume after it."""

    def __init__(self, pairs):
        self.clean_of = {}
        for kw, clean in pairs:
            self.clean_of[kw.lower().encode()] = clean  # later insertions win
        self.lengths = sorted({len(k) for k in self.clean_of}, reverse=True)
        self.first = frozenset(k[0] for k in self.clean_of if k)

    def extract(self, text):
        w = text.lower().encode()
        n = len(w)
        out = []
        p = 0
        while p < n:
            if (p > 0 and w[p - 1] in WORD_BYTES) or w[p] not in self.first:
                p += 1
                continue
            hit = None
            for length in self.lengths:
                if p + length <= n:
                    clean = self.clean_of.get(w[p : p + length])
                    if clean is not None:
                        hit = (length, clean)
                        break
            if hit is None:
                p += 1
                continue
            e = p + hit[0]
            if e < n and w[e] in WORD_BYTES:
                p += 1
                continue
            out.append((hit[1], p + 1 if w[p] in EDGE_BYTES else p, e))
            p = e
        return out


def check(pairs, kp, aho, sample):
    """Returns report lines; raises nothing, since a benchmark should still print."""
    lines = []
    model = ExactModel(pairs)
    got = [[(m.keyword, m.start, m.end) for m in ms] for ms in run_kwsieve(kp, sample)]
    want = [model.extract(t) for t in sample]
    bad = [i for i in range(len(sample)) if got[i] != want[i]]
    total = sum(map(len, want))
    if bad:
        i = bad[0]
        lines.append(
            f"  MISMATCH kwsieve vs model in {len(bad)} of {len(sample)} texts; first:"
            f" kwsieve {got[i][:5]} model {want[i][:5]} text {sample[i][:120]!r}"
        )
    else:
        lines.append(f"  kwsieve == model on {len(sample)} texts ({total} matches)")

    ascii_idx = [i for i, t in enumerate(sample) if t.isascii()]
    peer = run_aho(aho, [sample[i] for i in ascii_idx])
    only_k, only_a, same = [], [], 0
    for j, i in enumerate(ascii_idx):
        k, a = set(got[i]), set(peer[j])
        same += len(k & a)
        only_k += [(m, sample[i]) for m in sorted(k - a, key=lambda m: m[1])]
        only_a += [(m, sample[i]) for m in sorted(a - k, key=lambda m: m[1])]
    lines.append(
        f"  vs pyahocorasick+filter on {len(ascii_idx)} ASCII texts: {same} shared,"
        f" {len(only_k)} only kwsieve, {len(only_a)} only pyahocorasick"
    )
    for label, items in (("only kwsieve", only_k), ("only pyahocorasick", only_a)):
        for (clean, s, e), text in items[:3]:
            ctx = text[max(0, s - 20) : e + 20].replace("\n", " ")
            lines.append(f"    {label}: {text[s:e]!r} -> {clean!r} at {s} in ...{ctx}...")
    return lines


# --- driver ---------------------------------------------------------------------------------


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--split", default="docs,paras")
    ap.add_argument("--counts", default=",".join(map(str, common.KEYWORD_COUNTS)))
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--re-budget", type=int, default=2_000_000,
                    help="bytes of sample for re at 1k keywords (scaled by 1k/N)")
    ap.add_argument("--check-every", type=int, default=100,
                    help="check every Nth paragraph against the reference model")
    ap.add_argument("--no-hyperscan", action="store_true")
    args = ap.parse_args()
    use_hs = hyperscan is not None and not args.no_hyperscan
    if not use_hs:
        print("hyperscan: not used" + ("" if hyperscan else " (not installed)"))

    counts = list(map(int, args.counts.split(",")))
    all_pairs = common.keywords(max(counts))
    paras = common.documents("paras")
    check_sample = paras[:: args.check_every]

    for split in args.split.split(","):
        texts = paras if split == "paras" else common.documents(split)
        nbytes = sum(len(t.encode()) for t in texts)
        rows = []
        for n in counts:
            pairs = all_pairs[:n]
            kp, aho = build_kwsieve(pairs), build_aho(pairs)
            if split == args.split.split(",")[0]:
                print(f"\ncheck at {common.fmt_count(n)} keywords:")
                print("\n".join(check(pairs, kp, aho, check_sample)))
            sys.stdout.flush()

            results = {}
            t_k, r = common.median_time(lambda ts: run_kwsieve(kp, ts), args.repeat,
                                        setup=lambda: common.fresh_copies(texts))
            results["kwsieve"] = (t_k, nbytes, count(r), "")
            del r
            t_a, r = common.median_time(lambda: run_aho(aho, texts), args.repeat)
            results["pyahocorasick"] = (t_a, nbytes, count(r), "")
            del r

            # re on an evenly spaced sample of paragraphs, whatever the split: whole books
            # would put one language in the sample.
            budget = args.re_budget * 1000 // n
            stride = max(1, nbytes // max(budget, 1))
            sample = paras[::stride]
            sbytes = sum(len(t.encode()) for t in sample)
            t0 = common.clock()
            re.purge()  # the re module caches compiled patterns; time a real compile
            matcher = build_re(pairs)
            t_compile = common.clock() - t0
            t_r, r = common.median_time(lambda: run_re(matcher, sample), 1)
            results["re"] = (t_r, sbytes, count(r),
                             f"sample of {sbytes / 1e6:.2f} MB, matches in it; compile {t_compile:.2f} s")
            matcher = r = None

            if use_hs:
                t0 = common.clock()
                db = build_hyperscan(pairs)
                t_compile = common.clock() - t0
                t_h, hits = common.median_time(lambda: run_hyperscan(db, texts), args.repeat)
                results["hyperscan"] = (t_h, nbytes, hits,
                                        f"raw hits, no word rule; compile {t_compile:.2f} s")
                db = None

            base = nbytes / t_a
            for name, (t, b, m, note) in results.items():
                rate = b / t
                rows.append([
                    common.fmt_count(n), name, common.fmt_rate(rate / 1e6),
                    common.ratio(rate, base), f"{t:.3f}", f"{b / 1e6:.1f}" if b >= 1e6 else f"{b / 1e6:.2f}", f"{m:,}", note,
                ])
            print(f"{split} {common.fmt_count(n)} done", file=sys.stderr)
            kp = aho = None  # free before the next size is built

        common.print_table(
            f"Exact extraction from Python, split '{split}': {len(texts):,} texts,"
            f" {nbytes / 1e6:.1f} MB ({common.CLOCK_NAME} time, median of {args.repeat})",
            ["keywords", "contender", "MB/s", "vs pyahocorasick", "seconds", "MB", "matches",
             "note"],
            rows,
        )


if __name__ == "__main__":
    main()
