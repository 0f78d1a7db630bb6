"""Find keywords in text and replace them: whole words, exact or approximate.

A [`KeywordProcessor`][kwsieve.KeywordProcessor] holds keywords, each mapped to a clean name
that is reported (or substituted) in its place. Extraction returns
[`PyKeywordMatch`][kwsieve.PyKeywordMatch] objects whose `start` and `end` are **UTF-8 byte
offsets into the lowercased text** (the text itself for a case-sensitive processor), not
`str` indices; they agree for ASCII text only.

Errors you can meet, from every method:

- `TypeError`: a wrong argument count or name, or an argument of the wrong type. The message
  names the argument, e.g. ``argument 'text': 'int' object cannot be converted to 'str'``.
- `UnicodeEncodeError`: a `str` that holds a lone surrogate (such as ``"\\ud800"``), which has
  no UTF-8 form. Clean such text first, e.g. with
  ``text.encode("utf-8", "replace").decode("utf-8")``.
- `RuntimeError` ``"Already borrowed"`` / ``"Already mutably borrowed"``: the object was used
  again while one of its own calls was still converting its arguments, which happens only when
  that conversion runs your Python code (a custom sequence's iterator, an object's
  ``__float__`` or ``__index__``) and that code, or another thread meanwhile, calls the same
  object. The first call carries on; retry the second after it.
- `MemoryError`: an allocation failed; the object is left as it was.
- [`PanicException`][kwsieve.PanicException]: an internal fault, such as a threshold outside
  0..1 or a damaged pickled state. It derives from `BaseException`, **not** `Exception`, so
  ``except Exception`` does not catch it; catch it by name.

A failed call leaves its object unchanged and usable.
"""

from collections.abc import Sequence
from typing import Any, Final, Literal, Protocol, Self, SupportsFloat, SupportsIndex, final

from kwsieve.columns import ColumnResult, ExtractedRow

__all__ = ["KeywordProcessor", "PyKeywordMatch"]

class _ArrowArrayExportable(Protocol):
    def __arrow_c_array__(self, requested_schema: Any = None, /) -> tuple[Any, Any]: ...

class _ArrowStreamExportable(Protocol):
    def __arrow_c_stream__(self, requested_schema: Any = None, /) -> Any: ...

_Column = _ArrowArrayExportable | _ArrowStreamExportable | Sequence[str | None]

__version__: Final[str]
"""The installed version, e.g. ``"0.1.0"`` (the version in ``pyproject.toml``)."""

class PanicException(BaseException):
    """Raised when kwsieve's native code fails with an internal fault.

    Raised for a threshold outside 0..1 (or NaN), with the message
    ``"Threshold must be between 0 and 1"``, and for a pickled state that cannot be decoded, with
    a message naming the fault and its detail (``"Io: unexpected end of input"`` for a
    truncated state). Before it is raised, a diagnostic naming the thread, the source position
    and the message is written to standard error.

    Like `SystemExit` it derives from `BaseException`, not from `Exception`: a handler for
    `Exception` does not catch it, so it usually ends the program unless caught by name:

        try:
            processor.extract_keywords(text, user_threshold)
        except kwsieve.PanicException as fault:
            ...

    The object whose method raised it is unchanged and stays usable. It is an attribute of
    the module but not part of ``__all__``.
    """

@final
class PyKeywordMatch:
    """One match: the clean name found, its similarity, and where it was found.

    Returned by [`KeywordProcessor.extract_keywords`][kwsieve.KeywordProcessor.extract_keywords]
    and the batch method; you may also build one yourself. It is a plain mutable holder: no
    invariant ties the four values together, and nothing reads it back.

    `start` and `end` are **UTF-8 byte offsets into the lowercased text** (the text itself if
    the processor is case-sensitive), `end` exclusive. For ASCII text they are `str` indices;
    otherwise slice the encoded lowercased text:

        >>> kp = KeywordProcessor()
        >>> kp.add_keyword("apple")
        >>> text = "café apple"
        >>> [m] = kp.extract_keywords(text)
        >>> m.start, m.end              # 'é' takes two bytes
        (6, 11)
        >>> text.lower().encode("utf-8")[m.start:m.end].decode("utf-8")
        'apple'

    The printed form is ``KeywordMatch(keyword='apple', similarity=1.00, start=6, end=11)``
    (the keyword is not escaped; the similarity has two decimals). Matches compare and hash
    by identity: two matches with equal values are not equal. They pickle (protocol 2 and
    above) and copy.

    Class and instances cannot be subclassed, take no new attributes and no weak references.
    """

    def __new__(
        cls, keyword: str, similarity: SupportsFloat | SupportsIndex, start: SupportsIndex, end: SupportsIndex
    ) -> Self:
        """Build a match from its four values (all required, by position or by name).

        Args:
            keyword: The clean name.
            similarity: Any value `float()` of the C API accepts (a `float`, an `int`,
                anything with ``__float__`` or ``__index__``); stored as a 32-bit float.
            start: Start byte offset: an `int` or anything with ``__index__``.
            end: End byte offset (exclusive), likewise.

        Raises:
            TypeError: `keyword` is not a `str`, `similarity` is not a number, or `start`/`end`
                is not an integer (a `float` such as ``1.5`` is refused).
            OverflowError: `start` or `end` is negative or above the platform's `size_t`
                (2**64 - 1, or 2**32 - 1 on 32-bit builds).
            UnicodeEncodeError: `keyword` holds a lone surrogate.
        """

    @property
    def keyword(self) -> str:
        """The clean name of the matched keyword (the keyword itself, lowercased, if it had none).

        Assigning takes any `str`; deleting raises `AttributeError` ("can't delete attribute").
        """

    @keyword.setter
    def keyword(self, value: str) -> None: ...
    @property
    def similarity(self) -> float:
        """How closely the text matched: 1.0 for exact matches, else the rounded edit score.

        Stored as a 32-bit float and read back widened to a Python `float`, so a score of 0.83
        reads as ``0.8299999833106995``: compare with ``round(m.similarity, 2)`` or with a
        tolerance, not with ``== 0.83``. Assigning takes what the constructor takes (no range
        check: ``1e300`` becomes ``inf``); deleting raises `AttributeError`.
        """

    @similarity.setter
    def similarity(self, value: SupportsFloat | SupportsIndex) -> None: ...
    @property
    def start(self) -> int:
        """Byte offset of the match's first byte in the UTF-8 form of the lowercased text.

        Assigning takes a non-negative integer (`OverflowError` for a negative one); deleting
        raises `AttributeError`.
        """

    @start.setter
    def start(self, value: SupportsIndex) -> None: ...
    @property
    def end(self) -> int:
        """Byte offset one past the match's last byte, in the same text as `start`.

        Assigning takes a non-negative integer (`OverflowError` for a negative one); deleting
        raises `AttributeError`.
        """

    @end.setter
    def end(self, value: SupportsIndex) -> None: ...
    def __getstate__(self) -> bytes:
        """The match as ``28 + len(keyword in UTF-8)`` bytes, for pickling.

        Layout (little-endian): keyword byte length (8 bytes), the keyword's UTF-8 bytes,
        the similarity as a binary32 (4 bytes), start (8 bytes), end (8 bytes).
        """

    def __setstate__(self, state: bytes) -> None:
        """Replace all four values with those decoded from `state` (see `__getstate__`).

        Bytes after the last field are ignored.

        Raises:
            TypeError: `state` is not `bytes` (a `bytearray` or `memoryview` is refused too).
            PanicException: `state` is truncated or its keyword is not UTF-8; the match keeps
                its old values.
            RuntimeError: The match is borrowed by another call ("Already borrowed").
        """

    def __getnewargs__(self) -> tuple[str, float, int, int]:
        """The four values ``(keyword, similarity, start, end)``, which pickling passes to the
        constructor."""

@final
class KeywordProcessor:
    """A set of keywords to find in text, each with a clean name to report or substitute.

    Matching rules:

    - **Whole words.** A keyword matches only where the character before it is not a word
      character and the match ends a word. Word characters are the ASCII letters, digits and
      ``_`` unless changed with [`add_non_word_boundary`][kwsieve.KeywordProcessor.add_non_word_boundary]
      or [`set_non_word_boundaries`][kwsieve.KeywordProcessor.set_non_word_boundaries].
      With ``allow_overlaps=True`` these tests are off and keywords also match inside words
      (matches still never overlap each other).
    - **Longest match, left to right.** At each position the longest keyword spelled there
      wins; the scan resumes after it, so matches never overlap.
    - **Case.** Unless ``case_sensitive=True``, keywords and texts are lowercased with the full
      Unicode lowercase mapping (Unicode 15.1, with the final-sigma rule), as `str.lower` does
      on CPython 3.13. It is lowercasing, not case folding: ``"STRASSE"`` does not match
      ``"straße"``.
    - **Offsets** are UTF-8 byte offsets into that lowercased text. They equal `str` indices
      only for ASCII text: in ``"café apple"`` the keyword ``apple`` is at bytes 6..11 (the
      ``é`` takes two bytes) though at index 5 of the `str`; in ``"İstanbul apple"`` it is at
      bytes 11..16, because lowercasing turns ``İ`` (two bytes) into ``i`` plus a combining dot
      (three bytes). To slice, encode the lowercased text:
      ``text.lower().encode()[m.start:m.end]`` (``text.encode()`` for a case-sensitive
      processor).
    - **Approximate mode**, with a `threshold` below 1.0: a keyword may match text that
      differs from it by skipped, extra or substituted bytes, scored ``1 - edits / max(bytes
      covered, bytes of the clean name)`` rounded to two decimals, and accepted at or above
      the threshold.

    A processor is falsy while it holds no keywords (``len(kp) == 0``), so test
    ``kp is not None`` rather than ``if kp:``. Its printed form is
    ``KeywordProcessor(num_keywords=N)``. Processors pickle (protocol 2 and above) and copy;
    a copy shares nothing with its source.

    Any number of threads may extract from one processor at the same time; changing it
    (adding or removing keywords, editing word characters, ``__setstate__``) while another
    thread is inside one of its calls is refused with `RuntimeError`, never a wrong result.

    The class cannot be subclassed; instances take no new attributes and no weak references.
    """

    def __new__(cls, case_sensitive: bool | None = False, allow_overlaps: bool | None = False) -> Self:
        """Create an empty processor.

        Args:
            case_sensitive: Match letter case exactly. By default (`False` or `None`) keywords
                and texts are lowercased first.
            allow_overlaps: Drop the whole-word tests, so that keywords also match inside
                words (``"cat"`` in ``"concatenate"``). Matches still never overlap.

        Both flags take `True`, `False`, `None` (= `False`) or a NumPy boolean scalar.

        Raises:
            TypeError: A flag of another type, such as the integer ``1``.
        """

    def __len__(self) -> int:
        """The number of keywords held."""

    def add_keyword(self, keyword: str, clean_name: str | None = None) -> None:
        """Add `keyword`, reported (and substituted) as `clean_name`.

        The keyword is lowercased unless the processor is case-sensitive; adding one that is
        already there replaces its clean name. The empty keyword is accepted but never
        matches.

        Args:
            keyword: The text to find.
            clean_name: What to report for it. By default the keyword itself, lowercased
                unless the processor is case-sensitive (``"New York"`` reports ``"new york"``).

        Raises:
            TypeError: `keyword` is not a `str`, or `clean_name` is neither a `str` nor `None`.
            UnicodeEncodeError: Either holds a lone surrogate.
            RuntimeError: The processor is in use by another call ("Already borrowed").
            MemoryError: Out of memory; the processor is unchanged.
        """

    def remove_keyword(self, keyword: str) -> bool:
        """Remove `keyword` (lowercased first unless the processor is case-sensitive).

        Returns:
            `True` if it was there, `False` if not.

        Raises:
            TypeError: `keyword` is not a `str`.
            UnicodeEncodeError: `keyword` holds a lone surrogate.
            RuntimeError: The processor is in use by another call ("Already borrowed").
        """

    def extract_keywords(
        self, text: str, threshold: SupportsFloat | SupportsIndex | None = None
    ) -> list[PyKeywordMatch]:
        """Find the keywords in `text`, left to right.

        Each match carries the clean name, the similarity (1.0 in exact mode) and its `start`
        and `end` as UTF-8 byte offsets into the lowercased text (the text itself when the
        processor is case-sensitive):

            >>> kp = KeywordProcessor()
            >>> kp.add_keyword("New York", "NYC")
            >>> kp.extract_keywords("I love new york")
            [KeywordMatch(keyword='NYC', similarity=1.00, start=7, end=15)]
            >>> kp.extract_keywords("I love new yrok", 0.7)
            [KeywordMatch(keyword='NYC', similarity=0.75, start=7, end=15)]

        For non-ASCII text the offsets differ from `str` indices: slice
        ``text.lower().encode("utf-8")`` with them.

        Args:
            text: The text to search.
            threshold: `None` or 1.0 for exact matching (the default). A value in 0..1 below
                1.0 turns on approximate matching: a keyword may differ from the text by
                skipped, extra or substituted bytes, scored ``1 - edits / max(bytes covered,
                bytes of the clean name)`` and kept when the score, rounded to two decimals, is
                at least `threshold`. Among keywords that match equally well from one position
                the shortest is reported. A match may begin at the whitespace before a word,
                which then counts as an edit but is left out of `start`. Lower thresholds cost
                steeply more time. Converted to a 32-bit float.

        Returns:
            A new list of new matches, in text order, never overlapping.

        Raises:
            PanicException: `threshold` is below 0, above 1 or NaN
                ("Threshold must be between 0 and 1"). Not an `Exception` subclass.
            TypeError: `text` is not a `str`, or `threshold` is not a number.
            UnicodeEncodeError: `text` holds a lone surrogate.
            RuntimeError: The processor is being changed by another call
                ("Already mutably borrowed").
        """

    def parallel_extract_keywords_from_texts(
        self, texts: Sequence[str], threshold: SupportsFloat | SupportsIndex | None = None
    ) -> list[list[PyKeywordMatch]]:
        """`extract_keywords` for every text of `texts`, spread over a pool of worker threads.

        The result is exactly ``[kp.extract_keywords(t, threshold) for t in texts]``, in input
        order. The pool is shared by the whole process and started by the first batch call; its
        size is the environment variable ``RAYON_NUM_THREADS``, else ``RAYON_RS_NUM_CPUS``, else
        the CPUs this process may use, at most 255. The calling thread keeps the interpreter
        lock while the batch runs, so other Python threads wait.

        Args:
            texts: A list, tuple or other sequence of `str` (not a single `str`, not a
                generator or other bare iterator: pass ``list(iterator)``).
            threshold: As for `extract_keywords`.

        Returns:
            One list of matches per text.

        Raises:
            TypeError: `texts` is a `str` ("Can't extract `str` to `Vec`") or not a sequence,
                or an item is not a `str`.
            UnicodeEncodeError: A text holds a lone surrogate (the first such text is named).
            PanicException: `threshold` is outside 0..1 or NaN (an empty `texts` never fails).
            RuntimeError: The processor is being changed by another call.
        """

    def replace_keywords(self, text: str, threshold: SupportsFloat | SupportsIndex | None = None) -> str:
        """Return `text` with every match replaced by its clean name.

        The matches are those of `extract_keywords` with the same threshold; everything
        between them is kept as given, letter case included. Offsets are carried from the
        lowercased text back to `text`, so exactly the matched words are replaced even where
        lowercasing changes lengths (``"İstanbul apple"`` -> ``"İstanbul fruit"``). When
        nothing matched, `text` itself comes back (as a plain `str`).

            >>> kp = KeywordProcessor()
            >>> kp.add_keyword("New York", "NYC")
            >>> kp.replace_keywords("I love NEW YORK!")
            'I love NYC!'

        Args:
            text: The text to rewrite.
            threshold: As for `extract_keywords`.

        Raises:
            PanicException: `threshold` is outside 0..1 or NaN.
            TypeError: `text` is not a `str`, or `threshold` is not a number.
            UnicodeEncodeError: `text` holds a lone surrogate.
            RuntimeError: The processor is being changed by another call.
        """

    def parallel_replace_keywords_from_texts(
        self, texts: Sequence[str], threshold: SupportsFloat | SupportsIndex | None = None
    ) -> list[str]:
        """`replace_keywords` for every text of `texts`, on the worker pool.

        The result is exactly ``[kp.replace_keywords(t, threshold) for t in texts]``, in input
        order. Arguments, pool and errors are those of
        [`parallel_extract_keywords_from_texts`][kwsieve.KeywordProcessor.parallel_extract_keywords_from_texts].
        """

    def get_all_keywords(self) -> dict[str, str]:
        """Every keyword (as stored: lowercased unless case-sensitive) mapped to its clean name.

        Returns:
            A new `dict`; its order is not significant.
        """

    def set_non_word_boundaries(self, boundaries: Sequence[str]) -> None:
        """Make exactly the characters of `boundaries` the word characters.

        Word characters are those that may not touch a match: a keyword must not be preceded
        by one and must be followed by a non-word character or the end of the text. The
        default set is ``a-z``, ``A-Z``, ``0-9`` and ``_``. For example
        ``set_non_word_boundaries([])`` lets ``"apple"`` match in ``"pineapple"``; adding
        ``"-"`` keeps it out of ``"apple-pie"``.

        Args:
            boundaries: A list, tuple or other sequence of one-character strings (not a
                single `str`: ``list("abc")`` if you mean its characters).

        Raises:
            TypeError: `boundaries` is a `str` or not a sequence, or an item is not a `str`.
            ValueError: An item is not exactly one character ("expected a string of length 1").
            RuntimeError: The processor is in use by another call ("Already borrowed").

        The set is unchanged when any item is refused.
        """

    def add_non_word_boundary(self, boundary: str) -> None:
        """Add one character to the word characters (see `set_non_word_boundaries`).

        ``add_non_word_boundary("-")`` stops ``"apple"`` from matching in ``"apple-pie"``.

        Args:
            boundary: A string of exactly one character (any code point).

        Raises:
            TypeError: `boundary` is not a `str`.
            ValueError: It is not exactly one character ("expected a string of length 1").
            UnicodeEncodeError: It is a lone surrogate.
            RuntimeError: The processor is in use by another call ("Already borrowed").
        """

    def __setstate__(self, state: bytes) -> None:
        """Replace the whole processor (keywords, word characters, both flags) with `state`.

        This is how pickling restores a processor; `state` comes from `__getstate__`. Bytes
        after the state are ignored.

        Raises:
            TypeError: `state` is not `bytes` (a `bytearray` or `memoryview` is refused too).
            PanicException: `state` cannot be decoded; the message names what is wrong, e.g.
                ``"Io: unexpected end of input"`` or ``"InvalidBoolEncoding: 9"``. The
                processor keeps its old contents.
            RuntimeError: The processor is in use by another call ("Already borrowed").
            MemoryError: Out of memory; the processor keeps its old contents.
        """

    def __getstate__(self) -> bytes:
        """The processor's whole state as bytes, for pickling.

        A fixed, versionless little-endian format, the same on every platform, of at least
        139,283 bytes (the word-character set is always stored in full). The documentation's
        "State format" page describes it byte by byte.
        """

    def extract_column(
        self,
        texts: _Column,
        threshold: SupportsFloat | SupportsIndex | None = None,
        *,
        offsets: Literal["chars", "bytes", "folded"] = "chars",
    ) -> ColumnResult[list[ExtractedRow] | None]:
        """`extract_keywords` for a whole column of texts, with offsets you can slice with.

        `texts` is an Arrow string column (anything exporting the Arrow PyCapsule interface:
        a pyarrow `Array`, `ChunkedArray` or table column, a polars `Series`, a pandas
        `Series` backed by Arrow; string, large_string or string_view; sliced and chunked
        columns included) or a list or tuple of `str` and `None`. A null (`None`) gives a null.
        The work runs on the worker pool with the interpreter lock released, so other Python
        threads run meanwhile; the processor cannot be changed until the call returns.

        The result is a [`ColumnResult`][kwsieve.columns.ColumnResult]:
        `list<struct<keyword: string, similarity: float32, start: int64, end: int64>>`, one
        row per text, with the input's chunks. `pa.array(result)`, `pl.Series(result)` take it
        without copying; `to_pylist()` needs no other package:

            >>> kp = KeywordProcessor()
            >>> kp.add_keyword("apple")
            >>> text = "Café APPLE"
            >>> kp.extract_column([text, None]).to_pylist()
            [[('apple', 1.0, 5, 10)], None]
            >>> text[5:10]
            'APPLE'
            >>> kp.extract_keywords(text)[0].start  # folded UTF-8 bytes: 'é' is two
            6

        Args:
            texts: The column of texts.
            threshold: As for `extract_keywords`.
            offsets: ``"chars"``: code-point indices into the given text (what Python, pandas
                and polars slice with). ``"bytes"``: UTF-8 byte offsets into the given text
                (what Arrow's binary kernels and Rust use). ``"folded"``: UTF-8 bytes of the
                lowercased text, as `extract_keywords` reports. A span that ends inside a
                character (approximate matching works on bytes) is widened to whole
                characters, as `replace_keywords` does.

        Raises:
            ValueError: `threshold` is outside 0..1 or NaN (here a `ValueError`, not a
                `PanicException`); `offsets` is not one of the three names; a row of an Arrow
                column is not valid UTF-8 (the message names the row).
            TypeError: `texts` is neither a string column nor a list of `str` (the message
                names the type found).
            UnicodeEncodeError: A `str` in a list holds a lone surrogate.
            RuntimeError: The processor is being changed by another call
                ("Already mutably borrowed").
        """

    def replace_column(
        self, texts: _Column, threshold: SupportsFloat | SupportsIndex | None = None
    ) -> ColumnResult[str | None]:
        """`replace_keywords` for a whole column of texts.

        Takes what `extract_column` takes and returns a string column (large_string where
        32-bit offsets would overflow) with the input's chunks and nulls:

            >>> kp = KeywordProcessor()
            >>> kp.add_keyword("New York", "NYC")
            >>> kp.replace_column(["I love new york", None]).to_pylist()
            ['I love NYC', None]

        Raises:
            As `extract_column`.
        """
