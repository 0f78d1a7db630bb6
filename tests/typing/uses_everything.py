"""Every class, method and attribute of kwsieve, used the way a typed program would.

Type-checked in CI with `mypy --strict` and `pyright` in strict mode (the stubs must give
every name a precise type), and run by tests/test_typing.py (every call must also work at
run time as typed).
"""

import copy
import pickle
from collections.abc import Sequence
from decimal import Decimal

import kwsieve
from kwsieve import KeywordProcessor, PanicException, PyKeywordMatch
from kwsieve.columns import ColumnResult, ExtractedRow, processor_from_state

version: str = kwsieve.__version__

kp = KeywordProcessor()
strict = KeywordProcessor(case_sensitive=True, allow_overlaps=None)
loose = KeywordProcessor(True, False)

kp.add_keyword("New York", "NYC")
kp.add_keyword("apple")
kp.add_keyword(keyword="pear", clean_name=None)
removed: bool = kp.remove_keyword("pear")
count: int = len(kp)

matches: list[PyKeywordMatch] = kp.extract_keywords("I love New York and APPLE pie")
approximate: list[PyKeywordMatch] = kp.extract_keywords("an aple a day", 0.8)
by_name: list[PyKeywordMatch] = kp.extract_keywords(text="an aple a day", threshold=Decimal("0.8"))
integer_threshold: list[PyKeywordMatch] = kp.extract_keywords("apple", 1)

replaced: str = kp.replace_keywords("I love New York")
replaced_approximately: str = kp.replace_keywords("an aple a day", threshold=0.8)

texts: Sequence[str] = ("apple pie", "new york")
batch: list[list[PyKeywordMatch]] = kp.parallel_extract_keywords_from_texts(texts)
batch_replaced: list[str] = kp.parallel_replace_keywords_from_texts(["apple pie"], 0.9)

listing: dict[str, str] = kp.get_all_keywords()
kp.set_non_word_boundaries(list("abcdefghijklmnopqrstuvwxyz0123456789_"))
kp.add_non_word_boundary("-")

state: bytes = kp.__getstate__()
restored = KeywordProcessor()
restored.__setstate__(state)
clone: KeywordProcessor = pickle.loads(pickle.dumps(kp))
deep: KeywordProcessor = copy.deepcopy(kp)


def describe(m: PyKeywordMatch) -> tuple[str, float, int, int]:
    return (m.keyword, m.similarity, m.start, m.end)


first = matches[0]
keyword: str = first.keyword
similarity: float = first.similarity
start: int = first.start
end: int = first.end
first.keyword = "renamed"
first.similarity = 1
first.start = 0
first.end = 5
made = PyKeywordMatch("apple", 0.5, start=1, end=6)
made_state: bytes = made.__getstate__()
made.__setstate__(made_state)
new_args: tuple[str, float, int, int] = made.__getnewargs__()
shown: str = repr(made)

try:
    kp.extract_keywords("apple", 1.5)
except PanicException as fault:
    message: str = str(fault)
    base: BaseException = fault

text = "café apple"
cafe = kp.extract_keywords(text)
sliced: str = text.lower().encode("utf-8")[cafe[0].start : cafe[0].end].decode("utf-8")
summary = [describe(m) for m in approximate + by_name + integer_threshold]

# The column methods and their result.
column: "ColumnResult[list[ExtractedRow] | None]" = kp.extract_column([text, None], 0.9, offsets="bytes")
rows: list[list[ExtractedRow] | None] = column.to_pylist()
replaced_column = kp.replace_column((text, None))
replaced_rows: list[str | None] = replaced_column.to_pylist()
rows_and_chunks: int = len(column) + column.num_chunks
is_chunked: bool = replaced_column.chunked
schema_capsule: object = column.__arrow_c_schema__()
stream_capsule: object = column.__arrow_c_stream__()
shared: KeywordProcessor = processor_from_state(kp.__getstate__())
