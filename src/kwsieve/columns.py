"""Helpers around the column methods (KeywordProcessor.extract_column / replace_column).

    ColumnResult                the class of those methods' results
    to_arrow(result)            what result.to_arrow() returns
    to_polars(result)           what result.to_polars() returns
    processor_from_state(state) a processor decoded from __getstate__() bytes, once per process

Both conversions go through the Arrow PyCapsule interface, so the result's buffers are
shared, not copied.
"""

import threading

import kwsieve

__all__ = ["ColumnResult", "to_arrow", "to_polars", "processor_from_state"]

# Made only by the column methods; named here so that it can be checked against.
ColumnResult = type(kwsieve.KeywordProcessor().replace_column([]))

# One match as ColumnResult.to_pylist() gives it: (keyword, similarity, start, end).
ExtractedRow = tuple[str, float, int, int]

_lock = threading.Lock()
_processors = {}
_KEEP = 4


def to_arrow(column):
    """A pyarrow.ChunkedArray if the texts came as a stream of chunks (a chunked array, a
    polars or pandas Series), else a pyarrow.Array."""
    import pyarrow as pa

    if column.chunked:
        return pa.chunked_array(column)
    return pa.array(column)


def to_polars(column):
    """A polars.Series (with the input's chunks)."""
    import polars as pl

    return pl.Series(column)


def processor_from_state(state):
    """The processor whose state is `state` (bytes from KeywordProcessor.__getstate__()),
    decoded on the first call in this process and shared by later calls with equal bytes.

    For engines that ship the state once per worker (a Spark broadcast variable, say) and
    then call a function per batch: without it each batch would decode the processor again.
    The processor is shared, so callers must not change it. The last few distinct states
    are kept.
    """
    with _lock:
        kp = _processors.get(state)
        if kp is None:
            kp = kwsieve.KeywordProcessor()
            kp.__setstate__(state)
            if len(_processors) >= _KEEP:
                _processors.pop(next(iter(_processors)))
            _processors[state] = kp
        return kp
