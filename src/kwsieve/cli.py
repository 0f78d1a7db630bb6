"""The kwsieve command line: extract, replace, compile, demo.

    kwsieve extract -k keywords.tsv corpus/ --unit paragraph > matches.jsonl
    kwsieve replace -k keywords.tsv notes.txt -o clean.txt
    kwsieve compile keywords.tsv -o keywords.kws

Documents are read lazily and handed to the batch methods a chunk at a time, so memory
stays bounded by the chunk, not the input; results are written in input order.

Exit status: 0 on success (also when nothing matched), 1 when a file is missing,
unreadable or malformed, 2 for a wrong command line, 130 on Ctrl-C (143 on SIGTERM),
141 when stdout is closed early (`| head`). Errors are one line on stderr:
`kwsieve: error: <file>:<line>: <what>`.
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import io
import json
import math
import os
import signal
import sys
import time
from bisect import bisect_left
from itertools import accumulate
from json.encoder import encode_basestring as _json_str
from operator import attrgetter
from pathlib import Path

import kwsieve

from . import _cli_io as io_
from ._cli_io import EXIT_USAGE, CliError

PROG = "kwsieve"
EXIT_INTERRUPTED = 130
EXIT_TERMINATED = 143
EXIT_BROKEN_PIPE = 141  # what a shell reports for a program ended by SIGPIPE

# Offsets into the given text need the columnar extraction; builds without it report the
# folded-text offsets of extract_keywords only.
HAS_COLUMNS = hasattr(kwsieve.KeywordProcessor, "extract_column")
OFFSET_KINDS = ("folded", "chars", "bytes")
DEFAULT_OFFSETS = "chars" if HAS_COLUMNS else "folded"

# A batch call holds the interpreter until it returns, so Ctrl-C waits for it: chunks are
# sized from the measured speed to take about this long.
_TARGET_SECONDS = 0.15
_MIN_CHUNK_CHARS = 1 << 14
_MAX_CHUNK_CHARS = 1 << 22
_MAX_CHUNK_DOCS = 20_000

_JSON = dict(ensure_ascii=False, separators=(",", ":"))


# ---- matching --------------------------------------------------------------------------


_MATCH_FIELDS = attrgetter("keyword", "similarity", "start", "end")


def extract_batch(kp, texts, threshold, offsets):
    """Per text, a list of (keyword, similarity, start, end)."""
    if offsets == "folded":
        return [list(map(_MATCH_FIELDS, ms))
                for ms in kp.parallel_extract_keywords_from_texts(texts, threshold)]
    column = kp.extract_column(texts, threshold, offsets=offsets)
    return [ms or [] for ms in column.to_pylist()]


_SIMILARITY_TEXT: dict[float, str] = {}


def similarity_text(s: float) -> str:
    """Scores are float32 values of two-decimal numbers: written as those numbers."""
    text = _SIMILARITY_TEXT.get(s)
    if text is None:
        text = _SIMILARITY_TEXT[s] = repr(round(s, 2))
    return text


# ---- writers ---------------------------------------------------------------------------


class ExtractJsonLines:
    """One record per document: {"path", "line", "matches": [...]} for plain text, the
    input record (its text field left out unless --keep-text) plus "matches" for JSON
    Lines; or with --per-match one record per match."""

    def __init__(self, out, args):
        self.out = out
        self.per_match = args.per_match
        self.matched_only = args.matched_only
        self.keep_text = args.keep_text
        self.field = args.field_path
        self._heads = {}

    def write(self, block, results):
        if block.records is not None:
            return self._write_records(block, results)
        head = '{"path":' + _json_str(block.path) + ',"line":'
        parts = []
        if self.per_match:
            for line, matches in zip(block.lines, results):
                start = head + str(line) + ","
                for k, s, b, e in matches:
                    parts.append(f'{start}{self._match_head(k, s)}{b},"end":{e}}}\n')
        else:
            for line, matches in zip(block.lines, results):
                if not matches and self.matched_only:
                    continue
                parts.append(head + str(line) + ',"matches":[' + ",".join(
                    [f'{{{self._match_head(k, s)}{b},"end":{e}}}' for k, s, b, e in matches])
                    + "]}\n")
        self.out.write("".join(parts))

    def _match_head(self, keyword, similarity):
        """'"keyword":...,"similarity":...,"start":', made once per keyword and score."""
        key = (keyword, similarity)
        head = self._heads.get(key)
        if head is None:
            if len(self._heads) >= 1 << 16:
                self._heads.clear()
            head = self._heads[key] = (f'"keyword":{_json_str(keyword)},'
                                       f'"similarity":{similarity_text(similarity)},"start":')
        return head

    def _write_records(self, block, results):
        parts = []
        for record, matches in zip(block.records, results):
            if not matches and self.matched_only and not self.per_match:
                continue
            if not self.keep_text:
                io_.drop_field(record, self.field)
            found = [{"keyword": k, "similarity": round(s, 2), "start": b, "end": e}
                     for k, s, b, e in matches]
            if self.per_match:
                for m in found:
                    parts.append(json.dumps(record | m, **_JSON) + "\n")
            else:
                record["matches"] = found
                parts.append(json.dumps(record, **_JSON) + "\n")
        self.out.write("".join(parts))


def _tsv_cell(value) -> str:
    text = str(value)
    if "\\" in text or "\t" in text or "\n" in text or "\r" in text:
        text = (text.replace("\\", "\\\\").replace("\t", "\\t")
                .replace("\n", "\\n").replace("\r", "\\r"))
    return text


class ExtractTsv:
    """One row per match: path, line, keyword, similarity, start, end, after a header.
    Backslash, tab and line ends inside a cell are written as \\\\, \\t, \\n, \\r."""

    HEADER = "path\tline\tkeyword\tsimilarity\tstart\tend\n"

    def __init__(self, out, args):
        self.out = out
        out.write(self.HEADER)

    def write(self, block, results):
        path = _tsv_cell(block.path)
        self.out.write("".join([
            f"{path}\t{line}\t{_tsv_cell(k)}\t{similarity_text(s)}\t{b}\t{e}\n"
            for line, matches in zip(block.lines, results) for k, s, b, e in matches]))


class ReplaceSame:
    """The documents with matches replaced, framed as they came: plain text with its
    line ends and blank lines, JSON Lines with the text field replaced."""

    def __init__(self, out, args):
        self.out = out
        self.field = args.field_path

    def write(self, block, results):
        if block.records is None:
            self.out.write("".join([t + s for t, s in zip(results, block.seps)]))
            return
        parts = []
        for record, text in zip(block.records, results):
            io_.set_field(record, self.field, text)
            parts.append(json.dumps(record, **_JSON) + "\n")
        self.out.write("".join(parts))


# ---- progress --------------------------------------------------------------------------


class Progress:
    """Documents, MB and MB/s on stderr, through tqdm when it is installed and stderr is
    a terminal; otherwise nothing."""

    def __init__(self, quiet: bool, total_bytes: int | None):
        self.bar = None
        self.docs = 0
        if quiet or not sys.stderr.isatty():
            return
        try:
            from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            return
        self.bar = tqdm(total=total_bytes, unit="B", unit_scale=True, unit_divisor=1000,
                        file=sys.stderr, delay=0.5, leave=False, dynamic_ncols=True,
                        smoothing=0.1)

    def update(self, docs: int, nbytes: int) -> None:
        if self.bar is not None:
            self.docs += docs
            self.bar.set_postfix_str(f"{self.docs:,} documents", refresh=False)
            self.bar.update(nbytes)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


# ---- the pipeline ----------------------------------------------------------------------


def blocks(args):
    for path in args.inputs:
        if args.jsonl or (args.input_format is None and path.endswith((".jsonl", ".ndjson"))):
            yield from io_.jsonl_blocks(path, args.field_path, args.encoding_errors)
        else:
            yield from io_.text_blocks(path, args.unit, args.encoding_errors,
                                       keep_blank=args.command == "replace")


def chunks(source, approximate: bool):
    """Groups blocks into batches of about `budget` characters (cutting blocks where
    needed), a budget that follows the measured speed: send() it the seconds the last
    batch took. Approximate matching can be a hundred times slower than exact, so it
    starts small. A source that has no more data ready (a pipe) ends a batch early, so
    that results keep flowing."""
    budget = _MIN_CHUNK_CHARS if approximate else 1 << 20
    pending, chars, docs = [], 0, 0
    for block in source:
        n = len(block.texts)
        ends = list(accumulate(map(len, block.texts)))  # characters up to each text's end
        start, before = 0, 0
        while True:
            if start == n == 0:
                pending.append(block)  # no documents, but its bytes count for progress
            else:
                stop = bisect_left(ends, before + budget - chars, start) + 1
                stop = min(stop, n, start + _MAX_CHUNK_DOCS - docs)
                pending.append(block if stop - start == n else block.slice(start, stop))
                chars += ends[stop - 1] - before
                docs += stop - start
                before = ends[stop - 1]
                start = stop
            if chars >= budget or docs >= _MAX_CHUNK_DOCS or (start == n and block.short_read):
                seconds = yield pending, chars
                if seconds:
                    rate = chars / max(seconds, 1e-6)
                    budget = int(min(max(rate * _TARGET_SECONDS, _MIN_CHUNK_CHARS), _MAX_CHUNK_CHARS))
                pending, chars, docs = [], 0, 0
            if start == n:
                break
    if pending:
        yield pending, chars


def run_documents(args, kp, writer, op) -> None:
    """Feeds every document through `op(texts)` chunk by chunk and writes the results."""
    total = None
    if "-" not in args.inputs:
        with contextlib.suppress(OSError):
            total = sum(os.path.getsize(p) for p in args.inputs)
    progress = Progress(args.quiet, total)
    # Nothing here makes reference cycles, and the collector's passes over the many
    # young match objects of each batch cost a tenth of the run.
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        gen = chunks(blocks(args), args.threshold is not None)
        seconds = None
        while True:
            try:
                pending, _chars = gen.send(seconds)
            except StopIteration:
                break
            texts = [t for b in pending for t in b.texts]
            t0 = time.perf_counter()
            try:
                results = op(texts)
            except UnicodeEncodeError:
                raise unencodable(pending) from None
            seconds = time.perf_counter() - t0
            i = 0
            for b in pending:
                n = len(b.texts)
                writer.write(b, results[i:i + n])
                i += n
            writer.out.flush()
            progress.update(len(texts), sum(b.nbytes for b in pending))
    finally:
        if gc_was_enabled:
            gc.enable()
        progress.close()


def unencodable(pending) -> CliError:
    """Names the first document that holds a lone surrogate (JSON Lines can spell one as
    an escape), which UTF-8, and so the matcher, cannot take."""
    for block in pending:
        for line, text in zip(block.lines, block.texts):
            try:
                text.encode("utf-8")
            except UnicodeEncodeError as e:
                return CliError(f"{block.path}:{line}: the text holds a lone surrogate "
                                f"({ascii(text[e.start])}) at character {e.start}")
    return CliError("a text cannot be encoded as UTF-8")


# ---- commands --------------------------------------------------------------------------


def keyword_options(args) -> io_.KeywordOptions:
    if not args.keywords:
        raise CliError("no keywords: give at least one -k/--keywords FILE "
                       f"(see 'kwsieve {args.command} --help')", EXIT_USAGE)
    return io_.KeywordOptions(
        sources=args.keywords, keywords_format=args.keywords_format,
        case_sensitive=args.case_sensitive, allow_overlaps=args.allow_overlaps,
        word_chars=args.word_chars, add_word_chars=args.add_word_chars,
        encoding_errors=args.encoding_errors)


def prepare_texts(args) -> None:
    """Checks the text options and expands the inputs before any output is opened."""
    if args.threads is not None:
        # The pool is made on the first batch call and sized from this variable then.
        os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    if args.field is not None and args.input_format == "text":
        raise CliError("--field reads JSON Lines; it cannot go with --input-format text", EXIT_USAGE)
    args.jsonl = args.input_format == "jsonl" or args.field is not None
    args.field_path = (args.field or "text").split(".")
    if any(not part for part in args.field_path):
        raise CliError(f"--field: {args.field!r} is not a dotted field path", EXIT_USAGE)
    args.inputs = io_.expand_inputs(args.inputs or ["-"])


def cmd_extract(args, out) -> None:
    if args.offsets != "folded" and not HAS_COLUMNS:
        raise CliError(f"--offsets {args.offsets}: this build of kwsieve lacks "
                       "KeywordProcessor.extract_column; use --offsets folded", EXIT_USAGE)
    if args.format == "tsv" and args.keep_text:
        raise CliError("--keep-text applies to JSON Lines output only", EXIT_USAGE)
    kp = io_.build_processor(keyword_options(args))
    prepare_texts(args)
    with output(args.output) as f:
        writer = (ExtractTsv if args.format == "tsv" else ExtractJsonLines)(f, args)
        run_documents(args, kp, writer,
                      lambda texts: extract_batch(kp, texts, args.threshold, args.offsets))


def cmd_replace(args, out) -> None:
    kp = io_.build_processor(keyword_options(args))
    prepare_texts(args)
    with output(args.output) as f:
        run_documents(args, kp, ReplaceSame(f, args),
                      lambda texts: kp.parallel_replace_keywords_from_texts(texts, args.threshold))


def cmd_compile(args, out) -> None:
    kp = io_.build_processor(keyword_options(args))
    state = kp.__getstate__()
    with output(args.output, binary=True) as f:
        f.write(state)
    if not args.quiet:
        print(f"{PROG}: {len(kp):,} keywords compiled into {args.output} "
              f"({len(state) / 1e6:.1f} MB)", file=sys.stderr)


DEMO_DIR = Path(__file__).resolve().parent / "_demo"


def cmd_demo(args, out) -> None:
    """Runs a few commands on the bundled sample data, showing each before its output."""
    def show(argv, note):
        out.write(f"\n# {note}\n$ kwsieve {' '.join(argv)}\n")
        out.flush()
        status = main(argv)
        if status:
            raise CliError(f"demo command failed with status {status}")

    os.chdir(DEMO_DIR)
    out.write(f"kwsieve {kwsieve.__version__} demo, on the sample files in {DEMO_DIR}\n")
    out.write("\n$ cat keywords.tsv\n" + (DEMO_DIR / "keywords.tsv").read_text("utf-8"))
    out.write("\n$ cat text.txt\n" + (DEMO_DIR / "text.txt").read_text("utf-8"))
    offsets_note = ("offsets in characters of each line" if DEFAULT_OFFSETS == "chars"
                    else "offsets are UTF-8 bytes of the lowercased line")
    show(["extract", "-k", "keywords.tsv", "--unit", "line", "text.txt"],
         f"The keywords of each line, as JSON Lines ({offsets_note})")
    show(["extract", "-k", "keywords.tsv", "--format", "tsv", "text.txt"],
         "One row per match, as TSV")
    show(["replace", "-k", "keywords.tsv", "text.txt"],
         "Every match replaced by its clean name")
    out.write("\n$ cat typos.txt\n" + (DEMO_DIR / "typos.txt").read_text("utf-8"))
    show(["extract", "-k", "keywords.tsv", "--threshold", "0.8", "--per-match", "typos.txt"],
         "Approximate matching: similarity at least 0.8")
    out.write("\n# Next: kwsieve compile keywords.tsv -o keywords.kws (loads in milliseconds),\n"
              "# kwsieve extract --help, and `kwsieve extract -k keywords.kws corpus/`.\n")


@contextlib.contextmanager
def output(path, binary=False):
    """stdout, or a file that appears (complete) only if the command succeeds."""
    if path is None or path == "-":
        stream = sys.stdout.buffer if binary else sys.stdout
        yield stream
        stream.flush()
        return
    target = io_.AtomicOutput(path, binary)
    try:
        yield target.file
    except BaseException:
        target.discard()
        raise
    target.commit()


# ---- arguments -------------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise CliError(f"{message} (see '{self.prog} --help')", EXIT_USAGE)


def threshold_arg(value: str) -> float:
    try:
        x = float(value)
    except ValueError:
        x = math.nan
    if not 0.0 <= x <= 1.0:
        raise argparse.ArgumentTypeError(f"must be a number from 0 to 1, not {value!r}")
    return x


def threads_arg(value: str) -> int:
    try:
        n = int(value)
    except ValueError:
        n = 0
    if not 1 <= n <= 255:
        raise argparse.ArgumentTypeError(f"must be a whole number from 1 to 255, not {value!r}")
    return n


def add_keyword_options(p, required=True):
    g = p.add_argument_group("keywords")
    if required:
        # Checked after parsing, so that an unknown option is the error reported first.
        g.add_argument("-k", "--keywords", action="append", metavar="FILE",
                       help="keyword file, required and repeatable: .txt one a line, .tsv/.csv keyword "
                            "and clean name, .json object or list of pairs, .kws compiled")
    g.add_argument("--keywords-format", choices=io_.KEYWORD_FORMATS,
                   help="format of every keyword file, instead of guessing by extension")
    g.add_argument("--case-sensitive", action="store_true", default=None,
                   help="match case exactly (default: full Unicode lowercase folding)")
    g.add_argument("--allow-overlaps", action="store_true", default=None,
                   help="match inside words too (drops the whole-word tests)")
    g.add_argument("--word-chars", metavar="CHARS",
                   help="the characters words are made of (default: ASCII letters, digits, _)")
    g.add_argument("--add-word-chars", metavar="CHARS",
                   help="characters to add to the word characters")
    g.add_argument("--encoding-errors", choices=("strict", "replace"), default="strict",
                   help="invalid UTF-8: stop with an error (default) or read U+FFFD")
    g.add_argument("-q", "--quiet", action="store_true", help="no progress bar or summary")


def add_text_options(p):
    g = p.add_argument_group("texts")
    g.add_argument("inputs", nargs="*", metavar="INPUT",
                   help="files, directories (recursive), globs or - for stdin (default: -)")
    g.add_argument("--unit", choices=("document", "line", "paragraph"), default="document",
                   help="what one plain-text document is (default: a whole file); "
                        "paragraphs are separated by blank lines")
    g.add_argument("--input-format", choices=("text", "jsonl"),
                   help="default: jsonl for .jsonl/.ndjson files or with --field, else text")
    g.add_argument("--field", metavar="NAME",
                   help="JSON Lines input: the text's field, nested as a.b.c (default: text)")
    g.add_argument("-t", "--threshold", type=threshold_arg, metavar="T",
                   help="approximate matching: minimum similarity from 0 to 1")
    g.add_argument("--threads", type=threads_arg, metavar="N",
                   help="worker threads for this run (default: RAYON_NUM_THREADS or the CPUs)")
    g.add_argument("-o", "--output", metavar="FILE",
                   help="write here (complete or not at all) instead of stdout")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Find keywords in text and replace them.",
                     epilog="Run 'kwsieve demo' to see it at work; "
                            "'kwsieve COMMAND --help' for each command's options. "
                            "Exit status: 0 on success (also when nothing matched), 1 for a "
                            "missing, unreadable or malformed file, 2 for a wrong command "
                            "line, 130 when interrupted.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {kwsieve.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    p = sub.add_parser("extract", help="the keywords found in each document",
                       description="Writes the keywords found in each document as JSON "
                                   "Lines (or TSV), in input order.")
    add_keyword_options(p)
    add_text_options(p)
    g = p.add_argument_group("output")
    g.add_argument("--format", choices=("jsonl", "tsv"), default="jsonl",
                   help="JSON Lines (default) or TSV with one row per match")
    g.add_argument("--per-match", action="store_true", help="JSON Lines: one record per match")
    g.add_argument("--matched-only", action="store_true",
                   help="JSON Lines: leave out documents without a match")
    g.add_argument("--keep-text", action="store_true",
                   help="JSON Lines input: keep the text field in the output records")
    g.add_argument("--offsets", choices=OFFSET_KINDS, default=DEFAULT_OFFSETS,
                   help="folded: UTF-8 bytes of the lowercased text (as extract_keywords "
                        "reports them); chars / bytes: code points / UTF-8 bytes of the given "
                        f"text (default: {DEFAULT_OFFSETS})")
    p.set_defaults(run=cmd_extract)

    p = sub.add_parser("replace", help="the documents with every match replaced",
                       description="Writes the documents with every match replaced by its "
                                   "clean name, framed as they came (plain text or JSON Lines).")
    add_keyword_options(p)
    add_text_options(p)
    p.set_defaults(run=cmd_replace)

    p = sub.add_parser("compile", help="keyword files into one fast-loading .kws file",
                       description="Builds a processor from keyword files and writes its "
                                   "state bytes (settings and word characters included), "
                                   "which --keywords FILE.kws loads without parsing.")
    p.add_argument("keywords", nargs="+", metavar="KEYWORDS", help="keyword files")
    p.add_argument("-o", "--output", required=True, metavar="FILE.kws")
    add_keyword_options(p, required=False)
    p.set_defaults(run=cmd_compile)

    p = sub.add_parser("demo", help="show what kwsieve does, on bundled sample data",
                       description="Runs a few commands on the bundled sample data.")
    p.set_defaults(run=cmd_demo)
    return parser


# ---- entry point -----------------------------------------------------------------------


class _Terminated(BaseException):
    pass


def _on_sigterm(signum, frame):
    raise _Terminated


def main(argv: list[str] | None = None) -> int:
    """Runs one command; returns the exit status."""
    previous = signal.getsignal(signal.SIGTERM)
    signal.signal(signal.SIGTERM, _on_sigterm)
    try:
        args = build_parser().parse_args(argv)
        # A lone surrogate in a carried JSON field comes out as its JSON escape.
        if isinstance(sys.stdout, io.TextIOWrapper):
            sys.stdout.reconfigure(encoding="utf-8", errors="backslashreplace")
        args.run(args, sys.stdout)
        sys.stdout.flush()
        return 0
    except CliError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return e.status
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and send what is still buffered
        # to /dev/null so that the interpreter's final flush cannot fail again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except OSError as e:  # writing failed: a full disk, a closed terminal
        print(f"{PROG}: error: {e.filename or 'output'}: {e.strerror or e}", file=sys.stderr)
        if e.filename is None:
            # What is still buffered cannot be written either: without this the
            # interpreter's final flush fails again and the status becomes 120.
            try:
                devnull = os.open(os.devnull, os.O_WRONLY)
                os.dup2(devnull, sys.stdout.fileno())
            except (OSError, ValueError):
                pass
        return io_.EXIT_DATA
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except _Terminated:
        return EXIT_TERMINATED
    finally:
        signal.signal(signal.SIGTERM, previous)
