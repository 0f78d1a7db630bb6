"""Helpers around the column methods
([`extract_column`][kwsieve.KeywordProcessor.extract_column] and
[`replace_column`][kwsieve.KeywordProcessor.replace_column])."""

from typing import Any, Final, Generic, TypeVar, final

from kwsieve import KeywordProcessor

__all__ = ["ColumnResult", "to_arrow", "to_polars", "processor_from_state"]

_Row = TypeVar("_Row", covariant=True)

ExtractedRow = tuple[str, float, int, int]
"""One match as `to_pylist()` gives it: (keyword, similarity, start, end)."""

@final
class ColumnResult(Generic[_Row]):
    """The result of a column method: an Arrow column that other libraries take without
    copying, through the Arrow PyCapsule interface.

    `extract_column` gives `list<struct<keyword: string, similarity: float32, start: int64,
    end: int64>>`, `replace_column` gives `string` (or `large_string`). A chunked input (a
    chunked array, a polars or pandas Series) gives a result with the same chunk boundaries.
    The exported buffers are shared and stay valid after the result object is gone.
    """

    @property
    def num_chunks(self) -> int:
        """How many chunks the result has (1 for an array or a list)."""
    @property
    def chunked(self) -> bool:
        """Whether the texts came as a stream of chunks, so that `to_arrow()` gives a
        `pyarrow.ChunkedArray` rather than a `pyarrow.Array`."""
    def __len__(self) -> int:
        """The number of texts (rows)."""
    def to_pylist(self) -> list[_Row]:
        """The rows as Python objects, no pyarrow needed: per text `None` (a null text) or,
        for extraction, a list of ``(keyword, similarity, start, end)`` tuples, and for
        replacement the replaced `str`."""
    def to_arrow(self) -> Any:
        """A `pyarrow.Array` or `pyarrow.ChunkedArray` sharing the result's buffers.

        Raises:
            ImportError: pyarrow is not installed.
        """
    def to_polars(self) -> Any:
        """A `polars.Series` sharing the result's buffers, with its chunks.

        Raises:
            ImportError: polars is not installed.
        """
    def __arrow_c_schema__(self) -> Any:
        """The column's type, as an Arrow schema capsule."""
    def __arrow_c_array__(self, requested_schema: Any = None) -> tuple[Any, Any]:
        """The column as one Arrow array (chunks joined), as a pair of capsules. A requested
        schema is ignored."""
    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        """The column as an Arrow stream of its chunks, as a capsule. A requested schema is
        ignored."""

def to_arrow(column: ColumnResult[Any]) -> Any:
    """What `column.to_arrow()` returns."""

def to_polars(column: ColumnResult[Any]) -> Any:
    """What `column.to_polars()` returns."""

def processor_from_state(state: bytes) -> KeywordProcessor:
    """The processor whose state is `state` (bytes from `KeywordProcessor.__getstate__()`),
    decoded on the first call in this process and shared by later calls with equal bytes.

    For engines that ship the state once per worker (a Spark broadcast variable, say) and then
    call a function per batch. The processor is shared: do not change it.
    """
