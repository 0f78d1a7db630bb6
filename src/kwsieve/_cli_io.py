"""Files for the command line: keyword sources, text sources cut into documents, and
output files that appear only when complete.

Everything here reports a user's mistake as `CliError`, whose message already names the
file and the line or byte where it went wrong; `kwsieve.cli` prints it as one line.
"""

from __future__ import annotations

import codecs
import contextlib
import io
import json
import os
import re
import sys
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import IO, Any
from itertools import accumulate, repeat
from operator import add

import kwsieve

EXIT_DATA = 1  # a file is missing, unreadable or malformed
EXIT_USAGE = 2  # the command line itself is wrong


class CliError(Exception):
    def __init__(self, message: str, status: int = EXIT_DATA):
        super().__init__(message)
        self.status = status


def os_error(name: str, e: OSError) -> CliError:
    return CliError(f"{name}: {e.strerror or e}")


def describe_decode_error(name: str, data: bytes, e: UnicodeDecodeError, base: int = 0,
                          line: int = 1) -> CliError:
    """`data` (starting at byte `base` of the file, on line `line`) failed to decode at
    `e.start`: name the line and the file's byte offset."""
    line += data.count(b"\n", 0, e.start)
    bad = data[e.start:e.end].hex(" ")
    return CliError(f"{name}:{line}: invalid UTF-8 at byte {base + e.start} ({bad}); "
                    "--encoding-errors replace substitutes U+FFFD")


# ---- keyword sources -------------------------------------------------------------------

KEYWORD_FORMATS = ("txt", "tsv", "csv", "json", "kws")
_KEYWORD_EXTENSIONS = {".txt": "txt", ".lst": "txt", ".tsv": "tsv", ".csv": "csv",
                       ".json": "json", ".kws": "kws"}


def keyword_format(path: str, forced: str | None) -> str:
    if forced:
        return forced
    ext = os.path.splitext(path)[1].lower()
    if ext not in _KEYWORD_EXTENSIONS:
        raise CliError(f"{path}: cannot tell the keyword format from the extension "
                       f"{ext or '(none)'!r}; use --keywords-format "
                       f"{{{','.join(KEYWORD_FORMATS)}}}", EXIT_USAGE)
    return _KEYWORD_EXTENSIONS[ext]


def read_file_bytes(path: str) -> bytes:
    try:
        if path == "-":
            return sys.stdin.buffer.read()
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise os_error(path, e) from None


def decode_whole(name: str, data: bytes, errors: str) -> str:
    try:
        return data.decode("utf-8", errors)
    except UnicodeDecodeError as e:
        raise describe_decode_error(name, data, e) from None


def keyword_pairs(path: str, fmt: str, errors: str) -> Iterator[tuple[int, str, str | None]]:
    """(line, keyword, clean name or None) of each entry of a text keyword file.

    txt: one keyword a line. tsv: keyword, then optionally a clean name; further columns
    are ignored. In both, blank lines and lines starting with "#" are skipped. csv: the
    same two columns, no comments and no header. json: an object mapping keywords to
    clean names (or null), or a list of [keyword, clean name] pairs or plain keywords.
    """
    text = decode_whole(path, read_file_bytes(path), errors)
    if text.startswith("\ufeff"):
        text = text[1:]
    if fmt in ("txt", "tsv"):
        for number, line in enumerate(text.split("\n"), 1):
            line = line.removesuffix("\r")
            if not line.strip() or line.startswith("#"):
                continue
            if fmt == "txt":
                yield number, line, None
            else:
                keyword, _, rest = line.partition("\t")
                clean = rest.partition("\t")[0]
                yield number, keyword, clean or None
    elif fmt == "csv":
        import csv

        reader = csv.reader(io.StringIO(text, newline=""), strict=True)
        try:
            for row in reader:
                if not row or not any(row):
                    continue
                yield reader.line_num, row[0], (row[1] if len(row) > 1 and row[1] else None)
        except csv.Error as e:
            raise CliError(f"{path}:{reader.line_num}: malformed CSV: {e}") from None
    elif fmt == "json":
        try:
            data = json.loads(text)
        except json.JSONDecodeError as e:
            raise CliError(f"{path}:{e.lineno}: malformed JSON: {e.msg} (column {e.colno})") from None
        items: Iterable[Any]
        if isinstance(data, dict):
            items = data.items()
        elif isinstance(data, list):
            items = data
        else:
            raise CliError(f"{path}: expected a JSON object or list of keywords, "
                           f"not {type(data).__name__}")
        for i, item in enumerate(items):
            if isinstance(item, str):
                item = (item, None)
            if (not isinstance(item, (list, tuple)) or len(item) != 2
                    or not isinstance(item[0], str) or not isinstance(item[1], (str, type(None)))):
                raise CliError(f"{path}: entry {i + 1}: expected a keyword and a clean name "
                               f"(string or null), got {json.dumps(item)[:60]}")
            yield 0, item[0], item[1]
    else:
        raise AssertionError(fmt)


def load_state(path: str) -> kwsieve.KeywordProcessor:
    """A processor from a compiled .kws file, through the state decoder (never pickle)."""
    data = read_file_bytes(path)
    kp = kwsieve.KeywordProcessor()
    try:
        # The module also prints a failed decode to sys.stderr; the one-line error
        # below says it all.
        with contextlib.redirect_stderr(io.StringIO()):
            kp.__setstate__(data)
    except kwsieve.PanicException as e:
        raise CliError(f"{path}: not a compiled keyword file ({e})") from None
    return kp


def state_settings(kp: kwsieve.KeywordProcessor) -> tuple[bool, bool]:
    """(case_sensitive, allow_overlaps): the state ends with these two flags."""
    state = kp.__getstate__()
    return bool(state[-2]), bool(state[-1])


@dataclass(slots=True)
class KeywordOptions:
    sources: list[str]
    keywords_format: str | None = None
    # None: the default, or a compiled file's setting
    case_sensitive: bool | None = None
    allow_overlaps: bool | None = None
    word_chars: str | None = None
    add_word_chars: str | None = None
    encoding_errors: str = "strict"


def build_processor(opts: KeywordOptions) -> kwsieve.KeywordProcessor:
    """One processor holding every source's keywords, later sources overriding earlier
    clean names. A compiled file given first is the processor itself (settings and word
    characters included); other compiled files are merged keyword by keyword."""
    formats = [keyword_format(p, opts.keywords_format) for p in opts.sources]
    if formats and formats[0] == "kws":
        kp = load_state(opts.sources[0])
        check_settings(opts.sources[0], kp, opts)
    else:
        kp = kwsieve.KeywordProcessor(bool(opts.case_sensitive), bool(opts.allow_overlaps))
    settings = None  # encoding the state to read them is not free: only when needed
    for i, (path, fmt) in enumerate(zip(opts.sources, formats)):
        if fmt == "kws":
            if i == 0:
                continue
            other = load_state(path)
            settings = settings or state_settings(kp)
            theirs = state_settings(other)
            if theirs != settings:
                raise CliError(f"{path}: compiled with case_sensitive={theirs[0]}, "
                               f"allow_overlaps={theirs[1]}, unlike the other keywords "
                               f"(case_sensitive={settings[0]}, allow_overlaps={settings[1]})")
            for keyword, name in other.get_all_keywords().items():
                kp.add_keyword(keyword, name)
            continue
        for line, keyword, clean in keyword_pairs(path, fmt, opts.encoding_errors):
            where = f"{path}:{line}" if line else path
            if not keyword:
                raise CliError(f"{where}: empty keyword")
            try:
                kp.add_keyword(keyword, clean)
            except (ValueError, TypeError) as e:
                raise CliError(f"{where}: {e}") from None
    if opts.word_chars is not None:
        kp.set_non_word_boundaries(list(opts.word_chars))
    for c in opts.add_word_chars or "":
        kp.add_non_word_boundary(c)
    return kp


def check_settings(path: str, kp: kwsieve.KeywordProcessor, opts: KeywordOptions) -> None:
    if opts.case_sensitive is None and opts.allow_overlaps is None:
        return
    case_sensitive, allow_overlaps = state_settings(kp)
    for name, wanted, have in (("--case-sensitive", opts.case_sensitive, case_sensitive),
                               ("--allow-overlaps", opts.allow_overlaps, allow_overlaps)):
        if wanted is not None and wanted != have:
            raise CliError(f"{path}: compiled {'with' if have else 'without'} {name}; "
                           "recompile it to change that", EXIT_USAGE)


# ---- text sources ----------------------------------------------------------------------

_GLOB_CHARS = re.compile(r"[*?[]")


def expand_inputs(paths: list[str]) -> list[str]:
    """Files to read, in order: `-` (stdin) and files as given, directories walked
    recursively in name order (hidden entries skipped), and patterns that name no
    existing file expanded as globs (`**` spans directories)."""
    out = []
    for p in paths:
        if p == "-" or os.path.isfile(p):
            out.append(p)
        elif os.path.isdir(p):
            for root, dirs, files in os.walk(p):
                dirs[:] = sorted(d for d in dirs if not d.startswith("."))
                out.extend(os.path.join(root, f) for f in sorted(files) if not f.startswith("."))
        elif _GLOB_CHARS.search(p):
            import glob

            found = sorted(f for f in glob.glob(p, recursive=True) if os.path.isfile(f))
            if not found:
                raise CliError(f"{p}: no file matches this pattern")
            out.extend(found)
        elif os.path.exists(p):
            raise CliError(f"{p}: not a regular file or directory")
        else:
            raise CliError(f"{p}: No such file or directory")
    return out


def display_name(path: str) -> str:
    return "<stdin>" if path == "-" else path


def open_input(path: str):
    try:
        return sys.stdin.buffer if path == "-" else open(path, "rb")
    except OSError as e:
        raise os_error(path, e) from None


@dataclass(slots=True)
class Block:
    """Consecutive documents of one file: their texts, the line each starts on, and (for
    plain text) the separator that followed each in the file, so that replacement can
    write the file back with the same framing; for JSON Lines, the parsed records.
    `nbytes` is the input this block accounts for; `short_read` says the source had no
    more data ready (a pipe)."""

    path: str
    texts: list[str]
    lines: list[int]
    seps: list[str] | None
    records: list | None
    nbytes: int
    short_read: bool = False

    def slice(self, start: int, stop: int) -> "Block":
        """Texts start..stop; the input bytes are counted with the block's last part."""
        return Block(self.path, self.texts[start:stop], self.lines[start:stop],
                     None if self.seps is None else self.seps[start:stop],
                     None if self.records is None else self.records[start:stop],
                     self.nbytes if stop == len(self.texts) else 0,
                     self.short_read and stop == len(self.texts))


_READ_SIZE = 1 << 20
# A paragraph break: a line end, then one or more lines holding only blanks.
PARAGRAPH_BREAK = re.compile(r"\n(?:[ \t\r\f\v]*\n)+")
_PARAGRAPH_SPLIT = re.compile(f"({PARAGRAPH_BREAK.pattern})")
_NOT_BLANK = re.compile(r"[^ \t\r\f\v]")


class _Decoder:
    """Incremental UTF-8 that reports the file's byte offset and line of an error."""

    def __init__(self, name: str, errors: str):
        self.name = name
        self.decoder = codecs.getincrementaldecoder("utf-8")(errors)
        self.offset = 0  # bytes fed so far
        self.line = 1  # line of the first byte not yet decoded
        self.first = True

    def decode(self, data: bytes, final: bool) -> str:
        pending = self.decoder.getstate()[0]
        try:
            text = self.decoder.decode(data, final)
        except UnicodeDecodeError as e:
            raise describe_decode_error(self.name, pending + data, e,
                                        self.offset - len(pending), self.line) from None
        self.offset += len(data)
        self.line += text.count("\n")
        if self.first and text:
            self.first = False
            if text[0] == "\ufeff":
                text = text[1:]
        return text


def text_blocks(path: str, unit: str, errors: str, keep_blank: bool = True) -> Iterator[Block]:
    """Blocks of the lines, paragraphs or the whole of a plain-text file. Without
    `keep_blank`, paragraphs holding only white space (at the start and end of a file)
    are left out."""
    name = display_name(path)
    f = open_input(path)
    try:
        if unit == "document":
            data = f.read()
            text = decode_whole(name, data, errors).removeprefix("\ufeff")
            yield Block(name, [text], [1], [""], None, len(data))
            return
        for block in _split_stream(f, name, unit, errors):
            # Only a file's first and last paragraph can be blank: any other is preceded
            # and followed by a break, which takes in every blank line next to it.
            if not keep_blank and unit == "paragraph" and block.texts:
                for i in (-1, 0):
                    if block.texts and _is_blank(block.texts[i]):
                        assert block.seps is not None
                        del block.texts[i], block.lines[i], block.seps[i]
            yield block
    except OSError as e:
        raise os_error(name, e) from None
    finally:
        if f is not sys.stdin.buffer:
            f.close()


def _is_blank(text: str) -> bool:
    return not text or text.isspace()


def _split_stream(f, name: str, unit: str, errors: str) -> Iterator[Block]:
    """Cuts a stream into lines or paragraphs, one block per read. The unfinished tail
    of each read is carried into the next; reads grow with the tail so that a very long
    line or paragraph is joined in linear time."""
    decoder = _Decoder(name, errors)
    read = getattr(f, "read1", f.read)
    carry = ""
    line = 1  # line on which `carry` starts
    while True:
        want = max(_READ_SIZE, len(carry))
        data = read(want)
        final = not data
        text = carry + decoder.decode(data, final)
        if unit == "line":
            pieces = text.split("\n")
            carry = "" if final else pieces.pop()
            if final and pieces[-1] == "":
                pieces.pop()  # the file ended with a line end
            n = len(pieces)
            lines = list(range(line, line + n))
            seps = ["\n"] * n
            if final and n and not text.endswith("\n"):
                seps[-1] = ""
            line += n
        else:
            parts = _PARAGRAPH_SPLIT.split(text)  # piece, break, piece, ..., piece
            if final:
                parts += ["", ""]  # the last paragraph's (empty) break, and no carry
            elif len(parts) > 1 and not _NOT_BLANK.search(parts[-1]):
                # The last break may go on in the next read: keep it and its paragraph.
                parts[-3:] = ["".join(parts[-3:])]
            carry = parts.pop()
            pieces, seps = parts[0::2], parts[1::2]
            lines = list(accumulate(map(add, map(str.count, pieces, repeat("\n")),
                                        map(str.count, seps, repeat("\n"))), initial=line))
            line = lines.pop()
        yield Block(name, pieces, lines, seps, None, len(data),
                    short_read=0 < len(data) < want)
        if final:
            return


def jsonl_blocks(path: str, field: list[str], errors: str) -> Iterator[Block]:
    """Records of a JSON Lines file whose text is at the dotted path `field`; blank lines
    are skipped."""
    name = display_name(path)
    f = open_input(path)
    try:
        offset = 0
        number = 0
        texts, lines, records, nbytes = [], [], [], 0
        for raw in f:
            number += 1
            try:
                line = raw.decode("utf-8", errors)
            except UnicodeDecodeError as e:
                raise describe_decode_error(name, raw, e, offset, number) from None
            offset += len(raw)
            nbytes += len(raw)
            if number == 1:
                line = line.removeprefix("\ufeff")
            if not line.strip():
                continue
            try:
                record = json.loads(line)
            except json.JSONDecodeError as e:
                raise CliError(f"{name}:{number}: malformed JSON: {e.msg} (column {e.colno})") from None
            texts.append(field_text(name, number, record, field))
            lines.append(number)
            records.append(record)
            if len(texts) >= 1024:
                yield Block(name, texts, lines, None, records, nbytes)
                texts, lines, records, nbytes = [], [], [], 0
        yield Block(name, texts, lines, None, records, nbytes)
    except OSError as e:
        raise os_error(name, e) from None
    finally:
        if f is not sys.stdin.buffer:
            f.close()


def field_text(name: str, number: int, record, field: list[str]) -> str:
    value = record
    for i, key in enumerate(field):
        if not isinstance(value, dict) or key not in value:
            raise CliError(f"{name}:{number}: the record has no field {'.'.join(field[:i + 1])!r}")
        value = value[key]
    if not isinstance(value, str):
        raise CliError(f"{name}:{number}: field {'.'.join(field)!r} is "
                       f"{type(value).__name__}, not a string")
    return value


def set_field(record, field: list[str], value) -> None:
    for key in field[:-1]:
        record = record[key]
    record[field[-1]] = value


def drop_field(record, field: list[str]) -> None:
    for key in field[:-1]:
        record = record[key]
    del record[field[-1]]


# ---- output ----------------------------------------------------------------------------


class AtomicOutput:
    """A text file written under a temporary name in the same directory and renamed over
    `path` only by `commit()`; `discard()` removes the temporary file. Readers therefore
    see the old file or the complete new one, never a partial one."""

    def __init__(self, path: str, binary: bool = False):
        self.path = path
        directory = os.path.dirname(os.path.abspath(path))
        while True:
            self.tmp = os.path.join(directory, f".{os.path.basename(path)}.{os.urandom(4).hex()}.part")
            try:
                fd = os.open(self.tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
                break
            except FileExistsError:
                continue
            except OSError as e:
                raise os_error(path, e) from None
        self.file: IO[Any]
        if binary:
            self.file = open(fd, "wb")
        else:
            self.file = open(fd, "w", encoding="utf-8", errors="backslashreplace", newline="",
                             buffering=1 << 20)

    def commit(self) -> None:
        try:
            self.file.close()
            os.replace(self.tmp, self.path)
        except OSError as e:
            self.discard()
            raise os_error(self.path, e) from None

    def discard(self) -> None:
        try:
            self.file.close()
        except OSError:
            pass
        try:
            os.unlink(self.tmp)
        except FileNotFoundError:
            pass
