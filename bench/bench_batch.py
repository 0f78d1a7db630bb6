"""Batches on the pool against a Python loop and against the peers' batch approaches.

    python bench/bench_batch.py [n_texts=10000] [n_keywords=10000]

Each contender runs in a fresh interpreter (the pool size is fixed by the environment when
the pool starts), on the same N texts: N paragraphs of the corpus, then the whole corpus
cut into N pieces; and reports wall-clock time
(parallel work is what is measured, so CPU time would hide it): the median of 11 runs
in each process, and for kwsieve the median over KWSIEVE_BENCH_ROUNDS (3) rounds of fresh
processes, interleaved. Each run gets fresh copies of the texts, made while the pool's
workers sleep; a last table repeats kwsieve's runs with calls back to back on the same
texts, workers awake.

KWSIEVE_BENCH_THRESHOLD=0.8 runs kwsieve's contenders alone in approximate mode at that
threshold (the peers have none), 3 runs per process, each on a copy of the processor that
has seen none of the texts (approximate results are kept with it), and only the first two
tables.
"""

import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402

CHILD = r"""
import json, os, statistics, sys, time
sys.path.insert(0, {bench_dir!r})
import common
mode, n_texts, n_kw, cut = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
back_to_back = len(sys.argv) > 5
pairs = common.keywords(n_kw)
if cut == "paras":
    paras = common.documents("paras")
    step = max(1, len(paras) // n_texts)
    texts = paras[::step][:n_texts]
else:  # the whole corpus in n_texts pieces of about equal length, cut after a space
    whole = "\n\n".join(common.documents("docs"))
    texts, at = [], 0
    for k in range(1, n_texts + 1):
        end = whole.find(" ", max(at, k * len(whole) // n_texts)) + 1 if k < n_texts else len(whole)
        end = end if end > at else len(whole)
        texts.append(whole[at:end])
        at = end
size = sum(len(t.encode()) for t in texts)

threshold = float(os.environ["KWSIEVE_BENCH_THRESHOLD"]) if os.environ.get("KWSIEVE_BENCH_THRESHOLD") else None
if mode.startswith("kwsieve"):
    import kwsieve
    kp = kwsieve.KeywordProcessor()
    for k, c in pairs:
        kp.add_keyword(k, c)
    kp.extract_keywords("warm up")
    if mode == "kwsieve-loop":
        run = lambda ts: [kp.extract_keywords(t, threshold) for t in ts]
    elif mode == "kwsieve-batch":
        run = lambda ts: kp.parallel_extract_keywords_from_texts(ts, threshold)
    elif mode == "kwsieve-batch-1":
        run = lambda ts: kp.parallel_extract_keywords_from_texts(ts[:1])
    elif mode == "kwsieve-single-1":
        run = lambda ts: [kp.extract_keywords(ts[0])]
    elif mode == "kwsieve-batch-10":
        run = lambda ts: kp.parallel_extract_keywords_from_texts(ts[:10])
    elif mode == "kwsieve-single-10":
        run = lambda ts: [kp.extract_keywords(t) for t in ts[:10]]
else:
    import bench_extract as be
    aho = be.build_aho(pairs)

    def _run_chunk(ts):
        return len(be.run_aho(aho, ts))

    if mode == "aho-loop":
        run = lambda ts: be.run_aho(aho, ts)
    elif mode == "aho-mp":
        import multiprocessing
        chunks = lambda ts: [ts[i::2] for i in range(2)]
        pool = multiprocessing.get_context("fork").Pool(2)  # forks after _run_chunk exists
        run = lambda ts: pool.map(_run_chunk, chunks(ts))

reps = 200 if mode.endswith(("-1", "-10")) else 3 if threshold is not None else 11
times = []
first = mode.startswith("kwsieve") and threshold is not None and globals().get("kp")
for _ in range(reps):
    if first:
        # Approximate searches keep the results of earlier ones with the processor: every
        # round starts from a copy that has seen none of the texts (its tables built first).
        import copy
        kp = copy.deepcopy(first)
        kp.extract_keywords("warm up", threshold)
    fresh = texts if back_to_back else common.fresh_copies(texts)
    t0 = time.perf_counter()
    run(fresh)
    times.append(time.perf_counter() - t0)
print(json.dumps({{"median": statistics.median(times), "bytes": size, "texts": len(texts)}}))
"""


def run(mode, n_texts, n_kw, env_extra=None, cut="paras", back_to_back=False):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON")}
    env.update(env_extra or {})
    code = CHILD.format(bench_dir=str(Path(__file__).resolve().parent))
    out = subprocess.run([sys.executable, "-c", code, mode, str(n_texts), str(n_kw), cut]
                         + (["back-to-back"] if back_to_back else []),
                         env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    n_texts = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
    n_kw = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
    rows = []
    contenders = [
        ("kwsieve: Python loop over extract_keywords", "kwsieve-loop", None),
        ("kwsieve: parallel_extract, T = 1", "kwsieve-batch", {"RAYON_NUM_THREADS": "1"}),
        ("kwsieve: parallel_extract, T = 2", "kwsieve-batch", {"RAYON_NUM_THREADS": "2"}),
        ("pyahocorasick + word filter, Python loop", "aho-loop", None),
        ("pyahocorasick + word filter, multiprocessing (2)", "aho-mp", None),
    ]
    threshold = os.environ.get("KWSIEVE_BENCH_THRESHOLD")
    if threshold:
        contenders = contenders[:3]
    # kwsieve's contenders run in rounds, each round in a fresh set of processes, and each
    # gets the median over the rounds: the speed-ups compare runs made minutes apart at
    # most, not a loop measured once against batches measured later.
    rounds = int(os.environ.get("KWSIEVE_BENCH_ROUNDS", "3"))
    # Two cuts of the data: paragraphs (a few hundred bytes each, where the calling thread's
    # share per text is largest) and the whole corpus in as many pieces.
    for cut, what in (("paras", "paragraphs"), ("pieces", "equal pieces of the whole corpus")):
        results = {}
        for _ in range(rounds):
            for label, mode, env in contenders:
                if mode.startswith("kwsieve") or label not in results:
                    results.setdefault(label, []).append(run(mode, n_texts, n_kw, env, cut))
        pick = {label: sorted(rs, key=lambda r: r["median"])[len(rs) // 2] for label, rs in results.items()}
        base = pick[contenders[0][0]]
        rows = []
        for label, mode, env in contenders:
            r = pick[label]
            rows.append([label, f"{r['median'] * 1e3:.1f}", f"{r['bytes'] / r['median'] / 1e6:.1f}",
                         f"{base['median'] / r['median']:.2f}x"])
        mode_note = f", threshold {threshold}" if threshold else ""
        common.print_table(f"Batch of {base['texts']} {what} ({base['bytes'] / 1e6:.1f} MB), {n_kw} keywords{mode_note}, wall clock",
                           ["contender", "ms (median)", "MB/s", "speed-up vs loop"], rows)
    if threshold:
        return
    # The runs above make fresh copies of the texts before each call, during which the
    # pool's workers go to sleep, as between the batches of a pipeline that does other work;
    # on a VM, idle processors then take a while to come back up to speed. Calls made back to
    # back on the same texts show the pool with its workers awake.
    rows = []
    for cut, what in (("paras", "paragraphs"), ("pieces", "corpus pieces")):
        per = {}
        for _ in range(rounds):
            for label, mode, env in contenders[:3]:
                per.setdefault(label, []).append(run(mode, n_texts, n_kw, env, cut, back_to_back=True)["median"])
        loop = statistics.median(per[contenders[0][0]])
        for label, _, _ in contenders[:3]:
            t = statistics.median(per[label])
            rows.append([what, label, f"{t * 1e3:.1f}", f"{loop / t:.2f}x"])
    common.print_table(f"Back-to-back calls on the same texts, {n_kw} keywords, wall clock",
                       ["texts", "contender", "ms (median)", "speed-up vs loop"], rows)
    rows = []
    for n in (1, 10):
        single = run(f"kwsieve-single-{n}", n_texts, n_kw, {"RAYON_NUM_THREADS": "2"})
        batch = run(f"kwsieve-batch-{n}", n_texts, n_kw, {"RAYON_NUM_THREADS": "2"})
        rows.append([str(n), f"{single['median'] * 1e6:.1f}", f"{batch['median'] * 1e6:.1f}",
                     f"{(batch['median'] - single['median']) * 1e6:+.1f}"])
    common.print_table("Pool overhead on small batches (T = 2, median of 200)",
                       ["texts", "single-text calls (us)", "batch call (us)", "overhead (us)"], rows)


if __name__ == "__main__":
    main()
