"""Shared helpers for the kwsieve benchmarks: data, timing, memory and tables.

The data files are xz-compressed; decompressing the corpus takes about a second, so each
file is unpacked once into a cache directory and reused until its source changes.

    KWSIEVE_BENCH_DATA   directory holding keywords.tsv.xz, corpus.txt.xz and
                         corpus_manifest.tsv (default /work/shared/data)
    KWSIEVE_BENCH_CACHE  where the unpacked copies go (default ~/.cache/kwsieve-bench)
    KWSIEVE_BENCH_CLOCK  "cpu" (default): CPU time of this process; "wall": elapsed time.
                         Every timed region is single-threaded, and on a shared machine
                         CPU time is far steadier than elapsed time, which also counts the
                         time the process waited for a core.

Run as a script it unpacks both files and prints their paths (bench/run.sh uses this to
hand them to the C++ benchmark).
"""

from __future__ import annotations

import json
import lzma
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

DATA_DIR = Path(os.environ.get("KWSIEVE_BENCH_DATA", "/work/shared/data"))
CACHE_DIR = Path(
    os.environ.get("KWSIEVE_BENCH_CACHE", Path.home() / ".cache" / "kwsieve-bench")
)

KEYWORD_COUNTS = (1_000, 10_000, 100_000)

# kwsieve's default word characters; the peers' boundary filters use the same set.
WORD_CHARS = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_")


# --- data -------------------------------------------------------------------------------


def unpacked(name: str) -> Path:
    """Path of the decompressed `name`.xz, unpacking it first if the cache is stale.

    The cache entry is keyed by the source's size and modification time, and written
    under a temporary name and renamed, so a run that is interrupted (or two runs at
    once) never leaves a truncated file behind under the real name.
    """
    src = DATA_DIR / (name + ".xz")
    st = src.stat()
    stamp = f"{st.st_size} {st.st_mtime_ns}"
    out = CACHE_DIR / name
    stamp_file = CACHE_DIR / (name + ".stamp")
    if out.exists() and stamp_file.exists() and stamp_file.read_text() == stamp:
        return out
    CACHE_DIR.mkdir(parents=True, exist_ok=True)
    tmp = out.with_name(f"{name}.tmp{os.getpid()}")
    with lzma.open(src, "rb") as fin, open(tmp, "wb") as fout:
        while chunk := fin.read(1 << 20):
            fout.write(chunk)
    os.replace(tmp, out)
    stamp_file.write_text(stamp)
    return out


def keywords(n: int | None = None) -> list[tuple[str, str]]:
    """The first `n` (keyword, clean_name) pairs; the file is shuffled, so a prefix is
    a fair sample of every kind."""
    out = []
    with open(unpacked("keywords.tsv"), encoding="utf-8") as f:
        for line in f:
            if n is not None and len(out) >= n:
                break
            kw, clean, _kind = line.rstrip("\n").split("\t")
            out.append((kw, clean))
    return out


def corpus_bytes() -> bytes:
    return unpacked("corpus.txt").read_bytes()


def manifest() -> list[tuple[int, int, str, str]]:
    """(byte offset, byte length, language, title) of each corpus document."""
    rows = []
    with open(DATA_DIR / "corpus_manifest.tsv", encoding="utf-8") as f:
        next(f)
        for line in f:
            offset, length, lang, _repo, _path, title = line.rstrip("\n").split("\t")
            rows.append((int(offset), int(length), lang, title))
    return rows


def documents(split: str) -> list[str]:
    """The corpus as a list of texts.

    "docs": the 157 documents of the manifest (1.5 kB to 3.3 MB each; whole books).
    "paras": every document cut at blank lines into paragraphs (hard-wrapped lines
    stay together), empty pieces dropped. Together they hold every non-blank byte.
    """
    raw = corpus_bytes()
    docs = [raw[o : o + n].decode("utf-8") for o, n, _l, _t in manifest()]
    if split == "docs":
        return docs
    if split == "paras":
        return [p for d in docs for p in d.split("\n\n") if p]
    raise ValueError(f"unknown split {split!r} (expected 'docs' or 'paras')")


# --- timing and memory ------------------------------------------------------------------

CLOCK_NAME = os.environ.get("KWSIEVE_BENCH_CLOCK", "cpu")
if CLOCK_NAME not in ("cpu", "wall"):
    raise SystemExit(f"KWSIEVE_BENCH_CLOCK must be 'cpu' or 'wall', not {CLOCK_NAME!r}")
clock = time.process_time if CLOCK_NAME == "cpu" else time.perf_counter


def median_time(fn, k: int = 5, warmup: int = 0, setup=None):
    """Median time (by `clock`) of `k` calls of `fn` (after `warmup` untimed ones), and
    the result of the last call. With `setup`, each call is fn(setup()), and setup runs
    outside the timed region."""
    result = None
    for _ in range(warmup):
        result = fn(setup()) if setup else fn()
    times = []
    for _ in range(k):
        arg = setup() if setup else None
        t0 = clock()
        result = fn(arg) if setup else fn()
        times.append(clock() - t0)
        del arg
    return statistics.median(times), result


def fresh_copies(texts: list[str]) -> list[str]:
    """New str objects equal to `texts`.

    CPython caches a str's UTF-8 form inside the object the first time C code asks for
    it, so a second pass over the same objects would skip the encoding that a real
    caller, who extracts from each text once, pays for. Timing every pass over fresh
    copies keeps that cost in."""
    return [(t + "\0")[:-1] for t in texts]


def rss_bytes() -> int:
    """Resident set size of this process now (not the peak)."""
    with open("/proc/self/statm") as f:
        resident_pages = int(f.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE")


def run_child(script: Path, args: list[str]) -> dict:
    """Runs `script` in a fresh interpreter and returns the JSON object it prints last.

    Memory is measured this way so that no contender inherits another's heap, freed
    arenas or imported modules."""
    proc = subprocess.run(
        [sys.executable, str(script), *args], capture_output=True, text=True
    )
    if proc.returncode != 0:
        raise RuntimeError(
            f"{script.name} {' '.join(args)} failed ({proc.returncode}):\n{proc.stderr}"
        )
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --- output -----------------------------------------------------------------------------


def fmt_count(n: int) -> str:
    return f"{n // 1000}k" if n >= 1000 and n % 1000 == 0 else str(n)


def fmt_bytes(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if abs(n) < 1024 or unit == "GiB":
            return f"{n:.1f} {unit}" if unit != "B" else f"{int(n)} B"
        n /= 1024
    raise AssertionError


def fmt_rate(x: float) -> str:
    """A rate with three significant digits at least, so slow peers do not read 0.0."""
    return f"{x:.1f}" if x >= 10 else f"{x:.3g}"


def ratio(a: float, b: float) -> str:
    """a/b as '2.35x', or '-' when either side is missing."""
    if not a or not b:
        return "-"
    r = a / b
    return f"{r:.2f}x" if r >= 0.01 else f"{r:.2g}x"


def print_table(title: str, headers: list[str], rows: list[list]) -> None:
    """A Markdown table, so that the output can be pasted into a report as is."""
    cells = [[str(c) for c in row] for row in rows]
    widths = [max(len(h), *(len(r[i]) for r in cells)) for i, h in enumerate(headers)]
    print(f"\n### {title}\n")
    print("| " + " | ".join(h.ljust(w) for h, w in zip(headers, widths)) + " |")
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in cells:
        # Right-align numbers, left-align names.
        print(
            "| "
            + " | ".join(
                c.rjust(w) if i > 0 else c.ljust(w) for i, (c, w) in enumerate(zip(r, widths))
            )
            + " |"
        )
    sys.stdout.flush()


if __name__ == "__main__":
    print(unpacked("keywords.tsv"))
    print(unpacked("corpus.txt"))
