"""Writes docs/cli.md, the command-line page, from real runs of the installed command line
on the sample data bundled with the package.

    python tools/gen_cli_docs.py            # rewrite docs/cli.md
    python tools/gen_cli_docs.py --check    # fail if the committed page differs

Every example's output on the page is what the command printed when the page was made;
the test suite runs the check, so the page cannot drift from the tool.
"""

from __future__ import annotations

import argparse
import difflib
import json
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import kwsieve
from kwsieve import cli

PAGE = Path(__file__).resolve().parent.parent / "docs" / "cli.md"

EXTRA_FILES = {
    "cities.json": json.dumps({"New York": "NYC", "Zürich": "Zurich", "Paris": None},
                              ensure_ascii=False, indent=1) + "\n",
    "notes.txt": "Meeting notes\n\nWe flew from New York to Zürich.\nThen on to Paris.\n\n\n"
                 "Nothing about cities here.\n",
    "posts.jsonl": '{"id": 1, "post": {"title": "Trip", "body": "New York, then Paris"}}\n'
                   '{"id": 2, "post": {"title": "Code", "body": "Python for machine learning"}}\n',
}


class Runner:
    def __init__(self, directory: Path):
        self.dir = directory
        self.out: list[str] = []

    def text(self, markdown: str) -> None:
        self.out.append(markdown.strip("\n") + "\n")

    def run(self, command: str, stdin: str | None = None) -> None:
        """Runs `command` (a `kwsieve ...` line, optionally `printf ... |` before it) and
        records it with its output."""
        shown = command
        if stdin is not None:
            shown = f"printf {shlex.quote(stdin.replace(chr(10), chr(92) + 'n'))} | {command}"
        args = shlex.split(command)
        assert args[0] == "kwsieve"
        proc = subprocess.run([sys.executable, "-m", "kwsieve", *args[1:]], cwd=self.dir,
                              input=None if stdin is None else stdin.encode(),
                              capture_output=True, timeout=60,
                              env={**os.environ, "COLUMNS": "100"})
        lines = [f"$ {shown}"]
        output = proc.stdout.decode() + proc.stderr.decode()
        lines += output.rstrip("\n").split("\n") if output else []
        if proc.returncode:
            lines.append(f"$ echo $?\n{proc.returncode}")
        self.out.append("```console\n" + "\n".join(lines) + "\n```\n")

    def show_file(self, name: str) -> None:
        content = (self.dir / name).read_text("utf-8")
        self.out.append(f"```console\n$ cat {name}\n{content.rstrip()}\n```\n")


def page(r: Runner) -> None:
    r.text(f"""
# Command line

`kwsieve` runs keyword extraction and replacement over files, directories and pipes, without
writing Python. It installs with the package (`python -m pip install kwsieve`, or
`"kwsieve[cli]"` for a progress bar through tqdm); `python -m kwsieve` is the same program.
Every example below was produced by running it on the sample files bundled with the package
(`kwsieve demo` runs a few of them); `tools/gen_cli_docs.py` regenerates this page.

| command | does |
|---|---|
| `kwsieve extract -k KEYWORDS [INPUT...]` | the matches in each document, as JSON Lines or TSV |
| `kwsieve replace -k KEYWORDS [INPUT...]` | the documents with matches replaced, framed as they came |
| `kwsieve compile KEYWORDS... -o FILE.kws` | keyword files into one file that loads in milliseconds |
| `kwsieve demo` | a tour on the bundled sample data |

Every command has `--help`; `kwsieve --version` prints the version.

## Keywords

`-k/--keywords FILE` can be repeated; later files override earlier clean names. The format
follows the extension (`--keywords-format` overrides it for every file):

| extension | format |
|---|---|
| `.txt`, `.lst` | one keyword a line; blank lines and lines starting with `#` are skipped |
| `.tsv` | keyword, a tab, the clean name (optional); further columns are ignored; `#` comments |
| `.csv` | keyword, clean name (optional); no header |
| `.json` | an object `{{"keyword": "clean name" or null}}`, or a list of `[keyword, clean name]` pairs or plain keywords |
| `.kws` | a compiled file (`kwsieve compile`) |

A keyword without a clean name reports (and is replaced by) itself, lowercased unless
`--case-sensitive`. `--allow-overlaps` drops the whole-word tests; `--word-chars CHARS` sets the
characters words are made of (default ASCII letters, digits and `_`) and `--add-word-chars`
adds to them.
""")
    r.show_file("keywords.tsv")
    r.show_file("text.txt")

    r.text("""
## Extract

One JSON record per document, in input order. `--unit` says what a document is in a plain-text
file: the whole file (`document`, the default), each `line`, or each `paragraph` (text between
blank lines); `line` is where the document starts.
""")
    r.run("kwsieve extract -k keywords.tsv --unit line text.txt")
    offsets = ("offsets count the code points of the document as given"
               if cli.DEFAULT_OFFSETS == "chars" else
               "offsets are the UTF-8 bytes of the lowercased document, as `extract_keywords` "
               "reports them")
    r.text(f"""
Here {offsets}.

`--offsets` chooses: `folded` (UTF-8 bytes of the lowercased text, as the
Python API's `extract_keywords` reports them), `chars` (code points of the given text: Python
`str` indices) or `bytes` (UTF-8 bytes of the given text); `chars` and `bytes` need a build
with `KeywordProcessor.extract_column`. The default in this build is `{cli.DEFAULT_OFFSETS}`.

`--per-match` writes one record per match, `--matched-only` leaves out documents without a
match, and `--format tsv` writes one row per match after a header:
""")
    r.run("kwsieve extract -k keywords.tsv --unit paragraph --per-match notes.txt -k cities.json")
    r.run("kwsieve extract -k keywords.tsv --format tsv text.txt")

    r.text("""
### Approximate matching

`--threshold T` (0 to 1) accepts matches whose similarity is at least `T`:
""")
    r.show_file("typos.txt")
    r.run("kwsieve extract -k keywords.tsv --threshold 0.8 --format tsv typos.txt")

    r.text("""
### JSON Lines

Files ending in `.jsonl` or `.ndjson`, or any input with `--field NAME`, are JSON Lines: the text
is the string at `NAME` (default `text`; nested as `a.b.c`), and the other fields are carried to
the output. The text field itself is left out of extraction records unless `--keep-text`.
""")
    r.show_file("posts.jsonl")
    r.run("kwsieve extract -k keywords.tsv -k cities.json --field post.body posts.jsonl")

    r.text("""
## Replace

The documents with every match replaced by its clean name, framed as they came: plain text keeps
its line ends and blank lines, JSON Lines records get their text field replaced.
""")
    r.run("kwsieve replace -k keywords.tsv text.txt")
    r.run("kwsieve replace -k cities.json --field post.body posts.jsonl")

    r.text("""
## Inputs

Inputs are files, directories (read recursively in name order; hidden entries skipped), glob
patterns (quoted, so that kwsieve expands them; `**` spans directories) and `-` for standard
input, which is also the default. `-o FILE` writes to a file that appears only once it is
complete: a failed or interrupted run leaves no partial file (and an existing file untouched).
""")
    r.run("kwsieve extract -k cities.json --matched-only '*.txt'")
    r.run("kwsieve replace -k cities.json --unit line -", stdin="from new york\nto zürich\n")

    r.text("""
## Compiled keyword files

`kwsieve compile` writes the processor's state bytes (its own fixed, versionless format, the
same on every platform), settings and word characters included. Loading one skips parsing and
insertion, which matters for hundreds of thousands of keywords; it goes through the module's
checked state decoder, never through `pickle`, so a file from elsewhere cannot run code.
""")
    r.run("kwsieve compile keywords.tsv cities.json -o places.kws")
    r.run("kwsieve extract -k places.kws --matched-only --unit line text.txt notes.txt")

    r.text("""
## Errors and exit status

Errors are one line on stderr, naming the file and the line or byte offset:
""")
    r.run("kwsieve extract -k keywords.tsv legacy.latin1")
    r.run("kwsieve extract -k keywords.tsv --encoding-errors replace --format tsv legacy.latin1")
    r.run("kwsieve extract -k keywords.tsv --threshold 1.5 text.txt")
    r.run("kwsieve extract -k keywords.tsv missing.txt")
    r.text("""
| status | meaning |
|---|---|
| 0 | success, also when nothing matched |
| 1 | a file is missing, unreadable or malformed (keywords or texts) |
| 2 | the command line is wrong (unknown option, bad value) |
| 130 | interrupted (Ctrl-C); 143 on SIGTERM |
| 141 | standard output closed early (`kwsieve ... \\| head`): stops quietly |

## Large inputs

Documents are read lazily and go through the batch methods a chunk at a time, so memory stays
flat however large the input (one document, with `--unit document`, is held whole). Output is
in input order. `--threads N` sets the worker threads for the run (default: `RAYON_NUM_THREADS`,
else the CPUs available). When tqdm is installed (the `cli` extra) and stderr is a terminal,
a progress bar shows documents, MB and MB/s; `-q/--quiet` hides it.
""")


def generate() -> str:
    with tempfile.TemporaryDirectory(prefix="kwsieve-docs.") as tmp:
        d = Path(tmp)
        for f in cli.DEMO_DIR.iterdir():
            if f.is_file():
                shutil.copy(f, d / f.name)
        for name, content in EXTRA_FILES.items():
            if content is not None:
                (d / name).write_text(content, "utf-8")
        (d / "legacy.latin1").write_bytes("Apple and New York\nZürich\n".encode("latin-1"))
        r = Runner(d)
        page(r)
    return "\n".join(r.out)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--check", action="store_true", help="compare with the committed page")
    args = ap.parse_args()
    text = generate()
    if args.check:
        old = PAGE.read_text("utf-8") if PAGE.exists() else ""
        if old != text:
            sys.stdout.writelines(difflib.unified_diff(
                old.splitlines(True), text.splitlines(True), str(PAGE), "regenerated"))
            print(f"\n{PAGE} is stale: run python tools/gen_cli_docs.py "
                  f"(kwsieve {kwsieve.__version__}, offsets {cli.DEFAULT_OFFSETS})")
            return 1
        return 0
    PAGE.parent.mkdir(exist_ok=True)
    PAGE.write_text(text, "utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
