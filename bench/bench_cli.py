"""The command line against a straightforward script, whole processes timed.

    python bench/bench_cli.py [--repeat 5] [--counts 10000,100000] [--times 10]

Both contenders load the same compiled keyword file (`kwsieve compile`, the processor's
state bytes), cut the corpus into paragraphs at blank lines, extract with the batch method
and write the same JSON Lines ({"path", "line", "matches": [...]}, checked byte for byte):

  kwsieve extract   `kwsieve extract -k KW.kws --unit paragraph corpus.txt -o out.jsonl`:
                    reads 1 MiB at a time and calls the batch method a chunk at a time
  script            reads the whole file, splits it, makes one batch call for every
                    paragraph and writes each record with json.dumps (SCRIPT below)

Each figure is the wall time of a fresh process (start-up, loading, reading, matching and
writing: what a user waits for), the median of --repeat runs with the contenders
alternating, with the CPU time of the process (all its threads) beside it; "batch call" is the script's single parallel_extract_keywords_from_texts call
alone. Peak memory is the child's ru_maxrss, on the corpus and on --times concatenated
copies of it (the script on the copies only with --script-on-copies: it holds everything).
"""

from __future__ import annotations

import argparse
import hashlib
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402

SCRIPT = r'''
import json, re, sys, time
import kwsieve

kws, path, out = sys.argv[1:4]
kp = kwsieve.KeywordProcessor()
with open(kws, "rb") as f:
    kp.__setstate__(f.read())
with open(path, encoding="utf-8") as f:
    text = f.read()
parts = re.split(r"(\n(?:[ \t\r\f\v]*\n)+)", text)
paragraphs, lines = [], []
line = 1
for i in range(0, len(parts), 2):
    piece = parts[i]
    if piece and not piece.isspace():
        paragraphs.append(piece)
        lines.append(line)
    line += piece.count("\n") + (parts[i + 1].count("\n") if i + 1 < len(parts) else 0)
t0 = time.perf_counter()
results = kp.parallel_extract_keywords_from_texts(paragraphs)
batch = time.perf_counter() - t0
with open(out, "w", encoding="utf-8") as f:
    for line, matches in zip(lines, results):
        record = {"path": path, "line": line, "matches": [
            {"keyword": m.keyword, "similarity": round(m.similarity, 2), "start": m.start, "end": m.end}
            for m in matches]}
        f.write(json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n")
print(json.dumps({"batch_s": batch, "paragraphs": len(paragraphs)}), file=sys.stderr)
'''


def run_timed(cmd: list[str]) -> tuple[float, int, str, float]:
    """(wall seconds, peak RSS bytes, stderr, CPU seconds) of one child process."""
    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - t0
    err = proc.stderr.read().decode()
    proc.stderr.close()
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd)} failed ({proc.returncode}):\n{err}")
    return wall, usage.ru_maxrss * 1024, err, usage.ru_utime + usage.ru_stime


def digest(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            h.update(block)
    return h.hexdigest()


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--counts", default="10000,100000")
    ap.add_argument("--times", type=int, default=10, help="copies of the corpus for memory")
    ap.add_argument("--script-on-copies", action="store_true")
    args = ap.parse_args()
    counts = [int(c) for c in args.counts.split(",")]
    kwsieve_cmd = [sys.executable, "-m", "kwsieve"]

    work = Path(tempfile.mkdtemp(prefix="kwsieve-bench-cli."))
    corpus = common.unpacked("corpus.txt")
    keywords_tsv = common.unpacked("keywords.tsv")
    script = work / "script.py"
    script.write_text(SCRIPT)
    copies = work / f"corpus_x{args.times}.txt"
    with open(copies, "wb") as out:
        data = corpus.read_bytes()
        for _ in range(args.times):
            out.write(data)
        del data
    size = corpus.stat().st_size

    rows, memory = [], []
    try:
        for n in counts:
            # The first n keywords, compiled once by the command line itself.
            tsv = work / f"kw{n}.tsv"
            with open(keywords_tsv, encoding="utf-8") as fin, open(tsv, "w", encoding="utf-8") as fout:
                for i, line in enumerate(fin):
                    if i == n:
                        break
                    fout.write(line)
            kws = work / f"kw{n}.kws"
            subprocess.run(kwsieve_cmd + ["compile", str(tsv), "-o", str(kws), "-q"], check=True)
            cli_out, script_out = work / "cli.jsonl", work / "script.jsonl"
            cli_cmd = kwsieve_cmd + ["extract", "-k", str(kws), "--unit", "paragraph",
                                     "--offsets", "folded", str(corpus), "-o", str(cli_out)]
            script_cmd = [sys.executable, str(script), str(kws), str(corpus), str(script_out)]
            cli_t, script_t, batch_t, cli_rss, script_rss = [], [], [], [], []
            cli_cpu, script_cpu = [], []
            for r in range(args.repeat):
                order = [("cli", cli_cmd), ("script", script_cmd)]
                for name, cmd in order if r % 2 == 0 else order[::-1]:
                    wall, rss, err, cpu = run_timed(cmd)
                    if name == "cli":
                        cli_t.append(wall)
                        cli_rss.append(rss)
                        cli_cpu.append(cpu)
                    else:
                        script_t.append(wall)
                        script_rss.append(rss)
                        script_cpu.append(cpu)
                        batch_t.append(common.json.loads(err.strip().splitlines()[-1])["batch_s"])
                if r == 0 and digest(cli_out) != digest(script_out):
                    raise SystemExit(f"outputs differ at {n} keywords: {cli_out} {script_out}")
            c, s, b = (statistics.median(x) for x in (cli_t, script_t, batch_t))
            rows.append([common.fmt_count(n), f"{c:.2f} s ({size / c / 1e6:.0f} MB/s)",
                         f"{s:.2f} s ({size / s / 1e6:.0f} MB/s)", common.ratio(s, c),
                         f"{b:.2f} s", f"{min(cli_t):.2f} / {min(script_t):.2f} s",
                         f"{statistics.median(cli_cpu):.2f} / {statistics.median(script_cpu):.2f} s"])
            # Memory: one run each on the copies, output thrown away.
            _, big_rss, _, _ = run_timed(kwsieve_cmd + ["extract", "-k", str(kws), "--unit", "paragraph",
                                                     "--offsets", "folded", str(copies), "-o", os.devnull])
            big_script = "-"
            if args.script_on_copies:
                _, r_big, _, _ = run_timed([sys.executable, str(script), str(kws), str(copies), os.devnull])
                big_script = common.fmt_bytes(r_big)
            memory.append([common.fmt_count(n), common.fmt_bytes(statistics.median(cli_rss)),
                           common.fmt_bytes(big_rss), common.fmt_bytes(statistics.median(script_rss)),
                           big_script])
    finally:
        for p in work.iterdir():
            p.unlink()
        work.rmdir()

    common.print_table(
        f"Whole process, {size / 1e6:.1f} MB corpus in paragraphs, JSON Lines out "
        f"(median of {args.repeat}, wall time)",
        ["keywords", "kwsieve extract", "script", "script / kwsieve", "script's batch call",
         "fastest (cli / script)", "CPU time (cli / script)"], rows)
    common.print_table(
        "Peak memory (ru_maxrss of the process)",
        ["keywords", "kwsieve extract, corpus", f"kwsieve extract, {args.times}x corpus",
         "script, corpus", f"script, {args.times}x corpus"], memory)


if __name__ == "__main__":
    main()
