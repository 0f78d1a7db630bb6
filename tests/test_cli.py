"""The command line, driven as users drive it: the installed console script (and
`python -m kwsieve`) in subprocesses, its output checked against the Python API on the
same documents."""

import fcntl
import json
import os
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import kwsieve
from kwsieve import _cli_io, cli

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = shutil.which("kwsieve", path=str(Path(sys.executable).parent)) or shutil.which("kwsieve")
HAS_COLUMNS = hasattr(kwsieve.KeywordProcessor, "extract_column")
_no_script = pytest.mark.skipif(SCRIPT is None, reason="the kwsieve console script is not installed")


def needs_script(test):
    """Tests that start the console script: each child is a fresh interpreter, which
    under emulation takes seconds, so they count as slow."""
    return pytest.mark.slow(_no_script(test))

KEYWORDS = [("New York", "NYC"), ("apple", None), ("São Paulo", "SP"), ("deep learning", "DL"),
            ("İstanbul", "IST"), ("a\\b", "back\\slash")]
TEXT = ("I love New York and APPLE pie.\n"
        "São Paulo, İstanbul apple\n"
        "\n"
        "  \n"
        "deep learning in new york\n"
        "nothing here\n"
        "a\\b\n")


def run(*args, input=None, cwd=None, module=False, env=None, check=None):
    cmd = [sys.executable, "-m", "kwsieve"] if module or SCRIPT is None else [SCRIPT]
    proc = subprocess.run(cmd + [str(a) for a in args], input=input, cwd=cwd,
                          capture_output=True, env=env, timeout=60)
    if check is not None:
        assert proc.returncode == check, proc.stderr.decode()
    return proc


def ok(*args, **kw):
    proc = run(*args, check=0, **kw)
    assert proc.stderr == b"" and b"Traceback" not in proc.stderr
    return proc.stdout.decode()


def processor(pairs=KEYWORDS, **kw):
    kp = kwsieve.KeywordProcessor(**kw)
    for k, c in pairs:
        kp.add_keyword(k, c)
    return kp


def records(out):
    return [json.loads(line) for line in out.splitlines()]


def api_matches(kp, text, threshold=None):
    return [{"keyword": m.keyword, "similarity": round(m.similarity, 2), "start": m.start,
             "end": m.end} for m in kp.extract_keywords(text, threshold)]


def write_keyword_files(d: Path, pairs=KEYWORDS):
    """The same keywords in every text format, and compiled."""
    d.mkdir(exist_ok=True)
    (d / "kw.tsv").write_text("# keyword\tclean\n" + "".join(
        f"{k}\t{c or ''}\textra column\n" for k, c in pairs), "utf-8")
    import csv, io
    buf = io.StringIO()
    csv.writer(buf).writerows([(k, c or "") for k, c in pairs])
    (d / "kw.csv").write_text(buf.getvalue(), "utf-8")
    (d / "kw.json").write_text(json.dumps({k: c for k, c in pairs}), "utf-8")
    (d / "pairs.json").write_text(json.dumps([[k, c] if c else k for k, c in pairs]), "utf-8")
    return [d / "kw.tsv", d / "kw.csv", d / "kw.json", d / "pairs.json"]


@pytest.fixture
def work(tmp_path):
    files = write_keyword_files(tmp_path)
    (tmp_path / "text.txt").write_text(TEXT, "utf-8")
    return tmp_path, files


# ---- basics ----------------------------------------------------------------------------


@needs_script
def test_version_help_and_module_entry():
    assert ok("--version").strip() == f"kwsieve {kwsieve.__version__}"
    assert ok("--version", module=True).strip() == f"kwsieve {kwsieve.__version__}"
    for command in ("extract", "replace", "compile", "demo"):
        assert "usage: kwsieve " + command in ok(command, "--help")
    out = ok("demo")
    assert '"keyword":"NYC"' in out and "San Francisco" in out and "SF to work" in out
    assert '"similarity":0.9' in out  # the approximate part found something


@needs_script
def test_every_keyword_format_loads_the_same_keywords(work):
    d, files = work
    ok("compile", d / "kw.tsv", "-o", d / "kw.kws", "-q")
    kp = processor()
    assert (d / "kw.kws").read_bytes() == kp.__getstate__()
    want = [{"path": "text.txt", "line": 1, "matches": api_matches(kp, TEXT)}]
    for f in files + [d / "kw.kws"]:
        assert records(ok("extract", "-k", f, "text.txt", "--offsets", "folded", cwd=d)) == want, f
    # Plain text: every line a keyword, clean names default.
    (d / "plain.lst").write_text("apple\n\n# comment\nnew york\n", "utf-8")
    got = records(ok("extract", "-k", d / "plain.lst", "--per-match", "text.txt",
                     "--offsets", "folded", cwd=d))
    assert [r["keyword"] for r in got] == ["new york", "apple", "apple", "new york"]


@needs_script
def test_compiled_files_keep_settings_and_merge(work):
    d, _ = work
    ok("compile", d / "kw.tsv", "-o", d / "cs.kws", "--case-sensitive", "--add-word-chars", "-", "-q")
    kp = processor(case_sensitive=True)
    kp.add_non_word_boundary("-")
    assert (d / "cs.kws").read_bytes() == kp.__getstate__()
    text = "New York and new york, deep learning-x deep learning"
    (d / "t.txt").write_text(text, "utf-8")
    got = records(ok("extract", "-k", d / "cs.kws", "t.txt", "--offsets", "folded", cwd=d))
    assert got[0]["matches"] == api_matches(kp, text)
    # A second source adds to the compiled processor, later clean names win.
    (d / "more.tsv").write_text("deep learning\tDEEP\nand\n", "utf-8")
    kp.add_keyword("deep learning", "DEEP")
    kp.add_keyword("and")
    got = records(ok("extract", "-k", d / "cs.kws", "-k", d / "more.tsv", "t.txt",
                     "--offsets", "folded", cwd=d))
    assert got[0]["matches"] == api_matches(kp, text)
    # Settings a compiled file fixed cannot be changed by a flag, nor mixed.
    ok("compile", d / "more.tsv", "-o", d / "ci.kws", "-q")
    for args, message in [(["-k", d / "ci.kws", "--case-sensitive"], "compiled without --case-sensitive"),
                          (["-k", d / "ci.kws", "-k", d / "cs.kws"], "case_sensitive=True")]:
        proc = run("extract", *args, d / "t.txt")
        assert proc.returncode in (1, 2) and message in proc.stderr.decode()


@needs_script
def test_outputs_match_the_api(work):
    d, _ = work
    kp = processor()
    lines = TEXT.split("\n")[:-1]
    common = ["-k", d / "kw.tsv", "--unit", "line", "text.txt", "--offsets", "folded"]
    per_doc = records(ok("extract", *common, cwd=d))
    assert per_doc == [{"path": "text.txt", "line": i + 1, "matches": api_matches(kp, t)}
                       for i, t in enumerate(lines)]
    assert records(ok("extract", *common, "--matched-only", cwd=d)) == [r for r in per_doc if r["matches"]]
    flat = [{"path": "text.txt", "line": r["line"], **m} for r in per_doc for m in r["matches"]]
    assert records(ok("extract", *common, "--per-match", cwd=d)) == flat
    tsv = ok("extract", *common, "--format", "tsv", cwd=d).split("\n")
    assert tsv[0] == "path\tline\tkeyword\tsimilarity\tstart\tend" and tsv[-1] == ""
    assert tsv[1:-1] == ["\t".join(str(m[k]).replace("\\", "\\\\").replace("\t", "\\t") for k in
                                   ("path", "line", "keyword", "similarity", "start", "end"))
                         for m in flat]
    # Paragraphs are cut at blank (or blank-looking) lines, and report their first line.
    paras = records(ok("extract", "-k", d / "kw.tsv", "--unit", "paragraph", "text.txt",
                       "--offsets", "folded", cwd=d))
    assert [r["line"] for r in paras] == [1, 5]
    assert paras[1]["matches"] == api_matches(kp, "deep learning in new york\nnothing here\na\\b\n")
    # Blank paragraphs at either end of a file are no documents.
    (d / "blank.txt").write_text(" \n\napple\n\n\t\n", "utf-8")
    paras = records(ok("extract", "-k", d / "kw.tsv", "--unit", "paragraph", "blank.txt", cwd=d))
    assert [(r["line"], len(r["matches"])) for r in paras] == [(3, 1)]
    # The matching settings reach the processor.
    letters = "abcdefghijklmnopqrstuvwxyz-"
    for flags, ref in [(["--allow-overlaps"], processor(allow_overlaps=True)),
                       (["--case-sensitive", "--word-chars", letters], processor(case_sensitive=True))]:
        if "--word-chars" in flags:
            ref.set_non_word_boundaries(list(letters))
        text = "pineapple New York-ish apple7 new york"
        got = records(ok("extract", "-k", d / "kw.tsv", *flags, "--offsets", "folded", "-",
                         input=text.encode()))
        assert got[0]["matches"] == api_matches(ref, text), flags
    # Approximate matching passes the threshold through.
    got = records(ok("extract", "-k", d / "kw.tsv", "-t", "0.8", "--offsets", "folded", "-",
                     input="I love Nw York and apples".encode()))
    assert got[0]["path"] == "<stdin>" and got[0]["matches"] == api_matches(kp, "I love Nw York and apples", 0.8)


@needs_script
def test_replace_keeps_the_framing(work):
    d, _ = work
    kp = processor()
    for unit in ("document", "line", "paragraph"):  # no keyword spans a line: the same text
        assert ok("replace", "-k", d / "kw.tsv", "--unit", unit, "text.txt", cwd=d) == kp.replace_keywords(TEXT)
    # Without matches the bytes come back unchanged, CRLF, BOM-less or not.
    raw = "x\r\n\r\n\n  y\r\nno final newline"
    (d / "crlf.txt").write_bytes(raw.encode())
    for unit in ("document", "line", "paragraph"):
        assert run("replace", "-k", d / "kw.tsv", "--unit", unit, d / "crlf.txt", check=0).stdout == raw.encode()


@needs_script
def test_inputs_directories_globs_and_stdin(work):
    d, _ = work
    (d / "corpus" / "sub").mkdir(parents=True)
    (d / "corpus" / "b.txt").write_text("apple", "utf-8")
    (d / "corpus" / "sub" / "a.txt").write_text("new york", "utf-8")
    (d / "corpus" / ".hidden.txt").write_text("apple", "utf-8")
    got = records(ok("extract", "-k", d / "kw.tsv", "corpus", cwd=d))
    assert [(r["path"], r["matches"][0]["keyword"]) for r in got] == [
        ("corpus/b.txt", "apple"), ("corpus/sub/a.txt", "NYC")]
    got = records(ok("extract", "-k", d / "kw.tsv", "corpus/**/*.txt", cwd=d))
    assert [r["path"] for r in got] == ["corpus/b.txt", "corpus/sub/a.txt"]
    got = records(ok("extract", "-k", d / "kw.tsv", "--unit", "line", input=b"apple\n\nnew york"))
    assert [(r["path"], r["line"], len(r["matches"])) for r in got] == [
        ("<stdin>", 1, 1), ("<stdin>", 2, 0), ("<stdin>", 3, 1)]


@needs_script
def test_json_lines_with_nested_fields(work):
    d, _ = work
    kp = processor()
    docs = [{"id": 1, "body": {"text": "New York apple"}, "tags": ["x"]},
            {"id": 2, "body": {"text": "nothing"}},
            {"id": 3, "body": {"text": "İstanbul"}, "n": None}]
    (d / "docs.jsonl").write_text("\n".join(json.dumps(r) for r in docs) + "\n\n", "utf-8")
    got = records(ok("extract", "-k", d / "kw.tsv", "--field", "body.text", "docs.jsonl",
                     "--offsets", "folded", cwd=d))
    want = []
    for r in docs:
        r = json.loads(json.dumps(r))
        matches = api_matches(kp, r["body"].pop("text"))
        want.append(r | {"matches": matches})
    assert got == want
    got = records(ok("extract", "-k", d / "kw.tsv", "--field", "body.text", "--keep-text",
                     "--per-match", "docs.jsonl", "--offsets", "folded", cwd=d))
    assert [(g["id"], g["body"]["text"], g["keyword"]) for g in got] == [
        (1, "New York apple", "NYC"), (1, "New York apple", "apple"), (3, "İstanbul", "IST")]
    # A lone surrogate in another field comes out as the JSON escape it came in as.
    docs[1]["note"] = "\udc80"
    (d / "docs.jsonl").write_text("\n".join(json.dumps(r) for r in docs) + "\n\n", "utf-8")
    got = records(ok("replace", "-k", d / "kw.tsv", "--field", "body.text", "docs.jsonl", cwd=d))
    assert got[1]["note"] == "\udc80"
    assert [g["body"]["text"] for g in got] == ["NYC apple", "nothing", "IST"]
    assert got[0]["tags"] == ["x"] and got[2]["n"] is None
    # .jsonl files are JSON Lines without being told; the default field is "text".
    (d / "flat.jsonl").write_text('{"text": "apple", "k": 1}\n', "utf-8")
    assert records(ok("extract", "-k", d / "kw.tsv", "flat.jsonl", cwd=d))[0]["k"] == 1


@pytest.mark.skipif(not HAS_COLUMNS, reason="this build has no extract_column")
@needs_script
def test_offsets_into_the_given_text(work):
    d, _ = work
    text = "İstanbul São Paulo apple"
    (d / "t.txt").write_text(text, "utf-8")
    for kind in ("chars", "bytes"):
        got = records(ok("extract", "-k", d / "kw.tsv", "--offsets", kind, "t.txt", cwd=d))
        spans = [(m["start"], m["end"]) for m in got[0]["matches"]]
        given = text if kind == "chars" else text.encode()
        assert [given[a:b] for a, b in spans] == [w if kind == "chars" else w.encode()
                                                  for w in ("İstanbul", "São Paulo", "apple")]


# ---- errors ----------------------------------------------------------------------------


@needs_script
def test_user_mistakes_are_one_line_and_a_status(work, monkeypatch, capsys):
    d, _ = work
    (d / "bad.txt").write_bytes(b"line one\nzwei \xc3\xbc\nok \xff!\n")
    (d / "bad.json").write_text('{"a": "b",\n "c" 1}', "utf-8")
    (d / "bad.tsv").write_text("apple\n\tclean\n", "utf-8")
    (d / "bad.jsonl").write_text('{"text": "a"}\n{"text": 3}\n', "utf-8")
    (d / "broken.jsonl").write_text('{"text": "a"}\n{oops\n', "utf-8")
    (d / "surrogate.jsonl").write_text('{"text": "a"}\n\n{"text": "ok \\ud800 apple"}\n', "utf-8")
    (d / "bad.kws").write_bytes(b"\x01\x02not a state")
    (d / "kw.dat").write_text("apple", "utf-8")
    kw = ["-k", "kw.tsv"]
    cases = [
        (["extract", *kw, "missing.txt"], 1, "missing.txt: No such file or directory"),
        (["extract", "-k", "missing.tsv", "text.txt"], 1, "missing.tsv: No such file or directory"),
        (["extract", *kw, "bad.txt"], 1, "bad.txt:3: invalid UTF-8 at byte 20 (ff)"),
        (["extract", *kw, "--unit", "paragraph", "bad.txt"], 1, "bad.txt:3: invalid UTF-8 at byte 20"),
        (["extract", "-k", "bad.json", "text.txt"], 1, "bad.json:2: malformed JSON"),
        (["extract", "-k", "bad.tsv", "text.txt"], 1, "bad.tsv:2: empty keyword"),
        (["extract", "-k", "bad.kws", "text.txt"], 1, "bad.kws: not a compiled keyword file"),
        (["extract", "-k", "kw.dat", "text.txt"], 2, "kw.dat: cannot tell the keyword format"),
        (["extract", *kw, "--field", "text", "bad.jsonl"], 1, "bad.jsonl:2: field 'text' is int"),
        (["extract", *kw, "--field", "body.x", "bad.jsonl"], 1, "bad.jsonl:1: the record has no field 'body'"),
        (["extract", *kw, "broken.jsonl"], 1, "broken.jsonl:2: malformed JSON"),
        (["replace", *kw, "surrogate.jsonl"], 1, "surrogate.jsonl:3: the text holds a lone surrogate ('\\ud800') at character 3"),
        (["extract", *kw, "--field", "t", "--input-format", "text"], 2, "--field reads JSON Lines"),
        (["extract", *kw, "nomatch*.txt"], 1, "nomatch*.txt: no file matches this pattern"),
        (["extract", *kw, "-t", "1.5", "text.txt"], 2, "must be a number from 0 to 1, not '1.5'"),
        (["extract", *kw, "-t", "nan", "text.txt"], 2, "must be a number from 0 to 1, not 'nan'"),
        (["extract", *kw, "--threads", "0", "text.txt"], 2, "--threads: must be a whole number"),
        (["extract", "text.txt"], 2, "no keywords"),
    ]
    if not HAS_COLUMNS:
        cases.append((["extract", *kw, "--offsets", "chars", "text.txt"], 2,
                      "lacks KeywordProcessor.extract_column"))
    # The whole table in this process (a subprocess each would take seconds) ...
    monkeypatch.chdir(d)
    for args, status, message in cases:
        got = cli.main(args)
        err = capsys.readouterr().err
        assert (got, err.count("\n")) == (status, 1), (args, err)
        assert err.startswith("kwsieve: error: ") and message in err, (args, err)
    # ... and a few through the real script, which must not add a traceback.
    for args, status, message in [cases[2], cases[6], cases[15]]:
        proc = run(*args, cwd=d)
        assert (proc.returncode, proc.stderr.decode().count("\n")) == (status, 1)
        assert message in proc.stderr.decode()
    # A full disk is a one-line error too.
    with open("/dev/full", "wb") as full:
        proc = subprocess.run([SCRIPT, "extract", *kw, "text.txt"], cwd=d, stdout=full,
                              stderr=subprocess.PIPE, timeout=60)
    assert (proc.returncode, proc.stderr) == (1, b"kwsieve: error: output: No space left on device\n")
    # Replacement characters instead of an error when asked.
    got = records(ok("extract", *kw, "--encoding-errors", "replace", "--unit", "line", "bad.txt", cwd=d))
    assert len(got) == 3 and got[2]["matches"] == []


@needs_script
def test_output_file_appears_only_when_complete(work):
    d, _ = work
    (d / "good.txt").write_text("apple", "utf-8")
    (d / "bad.txt").write_bytes(b"apple \xff")
    ok("extract", "-k", d / "kw.tsv", "good.txt", "-o", "out.jsonl", cwd=d)
    before = (d / "out.jsonl").read_bytes()
    assert json.loads(before)["matches"][0]["keyword"] == "apple"
    assert oct((d / "out.jsonl").stat().st_mode & 0o777) != "0o600"
    proc = run("extract", "-k", d / "kw.tsv", "good.txt", "bad.txt", "-o", "out.jsonl", cwd=d)
    assert proc.returncode == 1
    assert (d / "out.jsonl").read_bytes() == before
    assert not [p for p in os.listdir(d) if p.endswith(".part")]
    # Replacing a file in place reads it whole before the new one takes its name.
    ok("replace", "-k", d / "kw.tsv", "good.txt", "-o", "good.txt", cwd=d)
    assert (d / "good.txt").read_text("utf-8") == "apple"


# ---- terminals, pipes and signals ------------------------------------------------------


def terminal():
    """A pseudo-terminal of 80 columns (a new one has none, and tqdm then draws nothing)."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    return master, slave


def drained(master):
    """Everything written to the terminal whose master end this is; closes it."""
    seen = b""
    while select.select([master], [], [], 0.2)[0]:
        try:
            data = os.read(master, 65536)
        except OSError:  # EIO: the other end is closed and nothing more was written
            break
        if not data:
            break
        seen += data
    os.close(master)
    return seen


def big_input(path: Path, lines: int) -> Path:
    path.write_text("the apple of New York is deep learning\n" * lines, "utf-8")
    return path


@needs_script
def test_broken_pipe_ends_quietly(work):
    d, _ = work
    big_input(d / "big.txt", 50_000)
    proc = subprocess.run(
        ["bash", "-c", f'"{SCRIPT}" extract -k kw.tsv --unit line big.txt | head -1; '
                       'echo "status ${PIPESTATUS[0]}" >&2'],
        cwd=d, capture_output=True, timeout=60)
    assert proc.stdout.count(b"\n") == 1 and b'"line":1' in proc.stdout
    assert proc.stderr.decode() == "status 141\n"


@needs_script
@pytest.mark.parametrize("sig, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_interrupt_leaves_no_output_file(work, sig, status):
    d, _ = work
    proc = subprocess.Popen([SCRIPT, "extract", "-k", "kw.tsv", "--unit", "line", "-o", "out.jsonl"],
                            cwd=d, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    chunk = b"the apple of New York is deep learning\n" * 20_000
    deadline = time.monotonic() + 20
    # Feed until the run has clearly started writing its temporary file.
    while time.monotonic() < deadline and not any(p.endswith(".part") for p in os.listdir(d)):
        proc.stdin.write(chunk)
    proc.stdin.write(chunk)
    proc.send_signal(sig)
    t0 = time.monotonic()
    try:
        proc.stdin.close()
    except BrokenPipeError:
        pass
    got = proc.wait(timeout=10)
    elapsed = time.monotonic() - t0
    assert got == status and elapsed < 3, (got, elapsed, proc.stderr.read())
    assert not os.path.exists(d / "out.jsonl")
    assert not [p for p in os.listdir(d) if p.endswith(".part")]


@needs_script
def test_progress_bar_only_on_a_terminal(work):
    pytest.importorskip("tqdm")
    d, _ = work
    master, slave = terminal()
    proc = subprocess.Popen([SCRIPT, "extract", "-k", "kw.tsv", "--unit", "line"], cwd=d,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=slave)
    os.close(slave)
    # Short reads from a pipe end a batch: once the first batch's output is out, a pause
    # longer than the bar's delay, then more input, makes the bar appear.
    out = b""
    for round in (1, 2):
        proc.stdin.write(b"apple and New York\n" * 1000)
        proc.stdin.flush()
        while out.count(b"\n") < 1000 * round:
            out += proc.stdout.read1(1 << 16)
        time.sleep(0.7)
    proc.stdin.close()
    out += proc.stdout.read()
    proc.wait(timeout=20)
    seen = drained(master)
    assert proc.returncode == 0 and out.count(b"\n") == 2000
    assert b"B/s" in seen and b"documents" in seen, seen
    # The same run with --quiet shows nothing.
    master, slave = terminal()
    proc = subprocess.run([SCRIPT, "extract", "-q", "-k", "kw.tsv", "-"], cwd=d, input=b"apple",
                          stdout=subprocess.PIPE, stderr=slave, timeout=30)
    os.close(slave)
    assert proc.returncode == 0 and drained(master) == b""


# ---- streaming and differential checks -------------------------------------------------


@settings(max_examples=200, deadline=None)
@given(st.text(alphabet="ab \t\r\n", max_size=60), st.integers(1, 7), st.sampled_from(["line", "paragraph"]))
def test_streamed_pieces_equal_a_whole_file_split(text, read_size, unit):
    """Cut in reads of any size, the pieces, separators and line numbers are those of
    splitting the whole text at once."""
    import io
    data = text.encode()
    old = _cli_io._READ_SIZE
    _cli_io._READ_SIZE = read_size
    try:
        blocks = list(_cli_io._split_stream(io.BytesIO(data), "t", unit, "strict"))
    finally:
        _cli_io._READ_SIZE = old
    pieces = [p for b in blocks for p in b.texts]
    seps = [s for b in blocks for s in b.seps]
    lines = [n for b in blocks for n in b.lines]
    assert "".join(p + s for p, s in zip(pieces, seps)) == text
    if unit == "line":
        want = text.split("\n")
        if want[-1] == "":
            want.pop()
        assert pieces == want
    else:
        parts = re.split(r"(\n(?:[ \t\r\f\v]*\n)+)", text)
        assert pieces == parts[0::2] and seps == parts[1::2] + [""]
    assert lines == [1 + "".join(p + s for p, s in zip(pieces[:i], seps[:i])).count("\n")
                     for i in range(len(pieces))]


words = st.sampled_from(["ab", "b", "Ab", "aß", "é", "İ", "σ", "x_y"])


@needs_script
@settings(max_examples=10, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(keywords=st.lists(st.tuples(st.lists(words, min_size=1, max_size=3).map(" ".join),
                                   st.sampled_from([None, "C", "ü"])), min_size=1, max_size=6),
       lines=st.lists(st.lists(st.sampled_from(["ab", "b", "AB", "aß", "é", "İ", "σ", "x_y", ",", "\t"]),
                               max_size=8).map(" ".join), max_size=8),
       threshold=st.sampled_from([None, 0.7]),
       per_match=st.booleans())
def test_cli_equals_the_api_on_random_corpora(tmp_path, keywords, lines, threshold, per_match):
    kp = processor(keywords)
    (tmp_path / "kw.json").write_text(json.dumps([[k, c] for k, c in keywords]), "utf-8")
    text = "".join(line + "\n" for line in lines)
    common = ["-k", tmp_path / "kw.json", "--unit", "line", "-"] + ([] if threshold is None else ["-t", threshold])
    per = ["--per-match"] if per_match else []
    got = records(ok("extract", *common, "--offsets", "folded", *per, input=text.encode()))
    want = [{"path": "<stdin>", "line": i + 1, "matches": api_matches(kp, t, threshold)}
            for i, t in enumerate(lines)]
    if per_match:
        want = [{"path": r["path"], "line": r["line"], **m} for r in want for m in r["matches"]]
    assert got == want
    assert ok("replace", *common, input=text.encode()) == "".join(kp.replace_keywords(t, threshold) + "\n" for t in lines)


def test_json_written_by_hand_equals_the_json_module():
    """The writer formats records itself for speed; json.dumps is the reference."""
    import io

    class Args:
        per_match = matched_only = keep_text = False
        field_path = ["text"]

    texts = ['quote " back \\ tab \t nl \n', "ünïcode ☃ \u2028", "\x00\x1f"]
    block = _cli_io.Block('p"\\ä.txt', texts, [1, 2, 3], ["\n"] * 3, None, 0)
    results = [[(t, s, 1, 2)] for t, s in zip(texts, (1.0, 0.8600000143051147, 0.699999988079071))]
    for per_match in (False, True):
        out = io.StringIO()
        Args.per_match = per_match
        cli.ExtractJsonLines(out, Args).write(block, results)
        want = []
        for line, ms in zip(block.lines, results):
            found = [{"keyword": k, "similarity": round(s, 2), "start": b, "end": e} for k, s, b, e in ms]
            rec = {"path": block.path, "line": line}
            want += [rec | m for m in found] if per_match else [rec | {"matches": found}]
        assert out.getvalue() == "".join(json.dumps(r, ensure_ascii=False, separators=(",", ":")) + "\n"
                                         for r in want)


SPY_THREADS = """
import os, sys
from kwsieve import cli
batch = cli.extract_batch
def spy(*args):
    result = batch(*args)
    print(len(os.listdir("/proc/self/task")), file=sys.stderr)
    return result
cli.extract_batch = spy
sys.exit(cli.main(sys.argv[1:]))
"""


@needs_script
def test_threads_option_sizes_the_pool(work):
    """The pool is made on the first batch call, after --threads has set its size."""
    d, _ = work
    counts = []
    for n in (1, 3):
        proc = subprocess.run([sys.executable, "-c", SPY_THREADS, "extract", "-k", "kw.tsv",
                               "--threads", str(n), "-"], cwd=d, input=b"apple",
                              capture_output=True, timeout=60,
                              env={**os.environ, "RAYON_NUM_THREADS": "7"})
        assert proc.returncode == 0, proc.stderr
        counts.append(int(proc.stderr))
    assert counts[1] - counts[0] == 2


@needs_script
def test_threads_option_and_chunked_runs_agree(work):
    d, _ = work
    big_input(d / "big.txt", 30_000)
    one, two = (run("extract", "-k", "kw.tsv", "--unit", "line", "--threads", n, "big.txt", cwd=d, check=0).stdout
                for n in (1, 2))
    assert one == two and one.count(b"\n") == 30_000
    assert json.loads(one.splitlines()[-1])["line"] == 30_000


@pytest.mark.slow
def test_docs_page_regenerates_identically():
    page = ROOT / "docs" / "cli.md"
    gen = ROOT / "tools" / "gen_cli_docs.py"
    if not page.exists() or not gen.exists():
        pytest.skip("not run from a source tree")
    proc = subprocess.run([sys.executable, str(gen), "--check"], capture_output=True, timeout=120)
    assert proc.returncode == 0, proc.stdout.decode() + proc.stderr.decode()


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(st.lists(st.text(alphabet="ab", max_size=40), max_size=12), st.booleans()),
                max_size=8),
       st.booleans(), st.lists(st.floats(0, 2), min_size=1))
def test_batches_keep_every_document_once_in_order(blocks, approximate, timings):
    """However blocks are cut into batches (budgets follow the timings sent back), the
    documents, their lines and separators, and the input bytes come out whole, in order."""
    source = [_cli_io.Block("p", texts, list(range(len(texts))), [str(i) for i in range(len(texts))],
                            None, 100 + len(texts), short)
              for texts, short in blocks]
    gen = cli.chunks(iter(source), approximate)
    got, nbytes, seconds, i = [], 0, None, 0
    while True:
        try:
            pending, chars = gen.send(seconds)
        except StopIteration:
            break
        assert pending and chars == sum(len(t) for b in pending for t in b.texts)
        for b in pending:
            got += zip(b.texts, b.lines, b.seps)
            nbytes += b.nbytes
        seconds = timings[i % len(timings)] / 1000
        i += 1
    assert got == [x for b in source for x in zip(b.texts, b.lines, b.seps)]
    assert nbytes == sum(b.nbytes for b in source)
