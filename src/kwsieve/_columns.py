"""Conversions of kwsieve.ColumnResult into pyarrow and polars objects.

Both go through the Arrow PyCapsule interface, so the result's buffers are shared, not copied.
"""


def to_arrow(column):
    import pyarrow as pa

    if column.chunked:
        return pa.chunked_array(column)
    return pa.array(column)


def to_polars(column):
    import polars as pl

    return pl.Series(column)
