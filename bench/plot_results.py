"""Draw the documentation's performance plots from bench/results/results.json.

    python bench/plot_results.py [--results FILE] [--out DIR]

Writes throughput.png, memory.png and batch.png into docs/img/ (by default). Update the
results file from a benchmark run (bench/README.md), then run this and commit both.
"""

import argparse
import json
import pathlib

import matplotlib

matplotlib.use("Agg")  # files only, no display
import matplotlib.pyplot as plt  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
KWSIEVE, PEER, ENGINE = "#00897b", "#e65100", "#546e7a"


def keyword_labels(counts):
    return [f"{n // 1000}k" for n in counts]


def throughput(results, out):
    r, ks = results["extract_mb_s"], results["keywords"]
    fig, ax = plt.subplots(figsize=(7, 4.2), dpi=120)
    ax.plot(ks, r["kwsieve_documents"], "o-", color=KWSIEVE, label="kwsieve, documents")
    ax.plot(ks, r["kwsieve_paragraphs"], "o--", color=KWSIEVE, label="kwsieve, paragraphs")
    ax.plot(ks, r["engine_alone_documents"], ":", color=ENGINE, label="kwsieve engine alone (C++), documents")
    ax.plot(ks, r["pyahocorasick_documents"], "s-", color=PEER, label="pyahocorasick + word filter, documents")
    ax.plot(ks, r["pyahocorasick_paragraphs"], "s--", color=PEER, label="pyahocorasick + word filter, paragraphs")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xticks(ks, keyword_labels(ks))
    ax.set_xlabel("keywords")
    ax.set_ylabel("MB/s (log scale)")
    ax.set_title("Exact extraction from Python, one call per text")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8, loc="lower left")
    fig.tight_layout()
    fig.savefig(out / "throughput.png")
    plt.close(fig)


def memory(results, out):
    r, ks = results["memory_after_loading_kib"], results["keywords"]
    fig, ax = plt.subplots(figsize=(7, 3.8), dpi=120)
    x = range(len(ks))
    width = 0.38
    bars = [ax.bar([i - width / 2 for i in x], [v / 1024 for v in r["kwsieve"]], width, color=KWSIEVE, label="kwsieve"),
            ax.bar([i + width / 2 for i in x], [v / 1024 for v in r["pyahocorasick"]], width, color=PEER,
                   label="pyahocorasick")]
    for group in bars:
        ax.bar_label(group, fmt=lambda v: f"{v:.2f}" if v < 1 else f"{v:.1f}", fontsize=8, padding=2)
    ax.set_yscale("log")
    ax.set_xticks(list(x), keyword_labels(ks))
    ax.set_xlabel("keywords")
    ax.set_ylabel("MiB after loading (log scale)")
    ax.set_title("Resident memory added by loading the keywords")
    ax.legend(fontsize=8)
    ax.margins(y=0.2)
    fig.tight_layout()
    fig.savefig(out / "memory.png")
    plt.close(fig)


def batch(results, out):
    r = results["batch_speedup_2_cores"]
    series = [("Python loop", "python_loop", "#90a4ae"), ("batch, 1 thread", "batch_1_thread", "#80cbc4"),
              ("batch, 2 threads", "batch_2_threads", KWSIEVE),
              ("pyahocorasick, 2 processes", "pyahocorasick_2_processes", PEER)]
    fig, ax = plt.subplots(figsize=(7, 3.8), dpi=120)
    width = 0.2
    for j, (label, key, color) in enumerate(series):
        lows = [lo for lo, _ in r[key]]
        highs = [hi for _, hi in r[key]]
        mids = [(lo + hi) / 2 for lo, hi in r[key]]
        xs = [i + (j - 1.5) * width for i in range(len(mids))]
        ax.bar(xs, mids, width, color=color, label=label,
               yerr=[[m - lo for m, lo in zip(mids, lows)], [hi - m for m, hi in zip(mids, highs)]], capsize=3)
    ax.set_xticks(range(len(r["workloads"])), r["workloads"])
    ax.set_ylabel("speed relative to the loop")
    ax.set_title("Batches on 2 cores, 10k keywords (bars: middle of the measured range)")
    ax.axhline(1.0, color="#607d8b", linewidth=0.8)
    ax.legend(fontsize=8, loc="upper left")
    ax.set_ylim(0, 2.3)
    fig.tight_layout()
    fig.savefig(out / "batch.png")
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--results", type=pathlib.Path, default=ROOT / "bench" / "results" / "results.json")
    parser.add_argument("--out", type=pathlib.Path, default=ROOT / "docs" / "img")
    args = parser.parse_args()
    results = json.loads(args.results.read_text(encoding="utf-8"))
    args.out.mkdir(parents=True, exist_ok=True)
    for draw in (throughput, memory, batch):
        draw(results, args.out)


if __name__ == "__main__":
    main()
