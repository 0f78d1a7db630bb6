"""extract_column / replace_column and the batch methods: every text of a column or batch
gives what the per-text methods give, in order, the offsets slice the given text, and the
Arrow structs travel with their ownership."""

import gc
import math
import os
import threading
import time

import pytest
from hypothesis import given, settings, strategies as st

import kwsieve
import kwsieve.columns
from kwsieve import KeywordProcessor
from model import tuples

try:
    import pyarrow as pa
except ImportError:  # the list form needs no pyarrow
    pa = None
arrow = pytest.mark.skipif(pa is None, reason="needs pyarrow")

KEYWORDS = {"apple": "fruit", "new york": "NYC", "new": None, "café": "coffee", "aple": None, "i": None,
            "istanbul": "IST", "ß": "ss", "σοφία": "sophia"}


def processor(**options):
    kp = KeywordProcessor(**options)
    for keyword, clean_name in KEYWORDS.items():
        kp.add_keyword(keyword, clean_name)
    return kp


words = st.sampled_from(["apple", "Apple", "APPLE", "aple", "new", "York", "new york", "café", "CAFÉ", "İ",
                         "İstanbul", "ISTANBUL", "x", "pie", "-", ",", "ẞ", "ß", "ΣΟΦΊΑ", "σοφία", "😀", ""])
texts = st.lists(words, max_size=8).map(" ".join)
column = st.lists(st.one_of(texts, st.none()), max_size=40)
thresholds = st.sampled_from([None, 1.0, 0.9, 0.75, 0.5])


def per_text(kp, items, threshold):
    return ([None if t is None else tuples(kp.extract_keywords(t, threshold)) for t in items],
            [None if t is None else kp.replace_keywords(t, threshold) for t in items])


def as_arrow_variants(items):
    """The same column as every Arrow shape the methods read."""
    if pa is None:
        return
    arr = pa.array(items, pa.string())
    padded = pa.array(["pad", None] + items + ["tail"], pa.string())
    yield "string", arr
    yield "large_string", arr.cast(pa.large_string())
    yield "string_view", arr.cast(pa.string_view())
    yield "sliced", padded.slice(2, len(items))
    yield "sliced large", padded.cast(pa.large_string()).slice(2, len(items))
    yield "sliced view", padded.cast(pa.string_view()).slice(2, len(items))
    half = len(items) // 2
    yield "chunked", pa.chunked_array([items[:half], [], items[half:]], pa.string())
    # Offsets that do not start at 0 in the buffer itself (not through the offset field).
    if items:
        yield "rebased", pa.concat_arrays([pa.array(["zz"], pa.string()), arr]).slice(1)


@settings(max_examples=60, deadline=None)
@given(column, thresholds)
def test_columns_and_batches_give_the_per_text_results(items, threshold):
    kp = processor()
    matches, replaced = per_text(kp, items, threshold)
    batch = [t for t in items if t is not None]
    assert tuples(kp.parallel_extract_keywords_from_texts(batch, threshold)) == [m for m in matches if m is not None]
    assert kp.parallel_replace_keywords_from_texts(batch, threshold) == [r for r in replaced if r is not None]
    assert kp.extract_column(items, threshold, offsets="folded").to_pylist() == matches
    assert kp.replace_column(items, threshold).to_pylist() == replaced
    for _, arr in as_arrow_variants(items):
        assert kp.extract_column(arr, threshold, offsets="folded").to_pylist() == matches
        assert kp.replace_column(arr, threshold).to_pylist() == replaced
        chars = kp.extract_column(arr, threshold).to_pylist()
        assert chars == kp.extract_column(items, threshold).to_pylist()


def rebuild(text, spans, names):
    """The text with each byte span replaced by its name."""
    data = text.encode()
    out, at = [], 0
    for (start, end), name in zip(spans, names):
        out += [data[at:start], name.encode()]
        at = end
    return b"".join(out + [data[at:]]).decode()


@settings(max_examples=80, deadline=None)
@given(column, thresholds, st.booleans())
def test_offsets_slice_the_given_text(items, threshold, case_sensitive):
    kp = processor(case_sensitive=case_sensitive)
    by_bytes = kp.extract_column(items, threshold, offsets="bytes").to_pylist()
    by_chars = kp.extract_column(items, threshold, offsets="chars").to_pylist()
    folded = kp.extract_column(items, threshold, offsets="folded").to_pylist()
    for text, b, c, f in zip(items, by_bytes, by_chars, folded):
        if text is None:
            assert b is c is f is None
            continue
        assert [m[:2] for m in b] == [m[:2] for m in f] == [m[:2] for m in c]
        data = text.encode()
        for (_, _, bs, be), (_, _, cs, ce) in zip(b, c):
            assert 0 <= bs <= be <= len(data)
            assert text[cs:ce].encode() == data[bs:be]
            assert len(data[:bs].decode()) == cs
        # The spans are exactly those the replacement cut out.
        assert rebuild(text, [m[2:] for m in b], [m[0] for m in b]) == kp.replace_keywords(text, threshold)
        if threshold in (None, 1.0) and text.lower().encode() == text.encode().lower():
            assert b == f  # nothing to carry back


@arrow
def test_offsets_where_lowercasing_changes_length():
    kp = processor()
    text = "İİ İstanbul, ẞ apple café"
    # 'i' matches the first half of each folded 'İ' (i + U+0307); the span widens to the 'İ'.
    expected = ["İ", "İ", "İ", "ẞ", "apple", "café"]
    [row] = kp.extract_column([text]).to_pylist()
    assert [text[s:e] for _, _, s, e in row] == expected
    [row] = kp.extract_column(pa.array([text])).to_pylist()
    assert [text[s:e] for _, _, s, e in row] == expected
    [row] = kp.extract_column([text], offsets="bytes").to_pylist()
    assert [text.encode()[s:e].decode() for _, _, s, e in row] == expected
    # Folded offsets are those of extract_keywords, which do not slice the text here.
    assert kp.extract_column([text], offsets="folded").to_pylist() == [tuples(kp.extract_keywords(text))]


@arrow
def test_nulls_and_empty_strings():
    kp = processor()
    items = [None, "", "apple", None, ""]
    out = kp.extract_column(pa.array(items)).to_arrow()
    assert out.is_null().to_pylist() == [True, False, False, True, False]
    assert out.to_pylist()[2] == [{"keyword": "fruit", "similarity": 1.0, "start": 0, "end": 5}]
    assert kp.replace_column(pa.array(items)).to_pylist() == [None, "", "fruit", None, ""]
    assert kp.extract_column([None] * 3).to_pylist() == [None] * 3
    assert kp.extract_column([]).to_pylist() == []
    assert len(kp.replace_column(pa.array([], pa.string()))) == 0


@arrow
def test_result_types_and_chunks():
    kp = processor()
    ex = kp.extract_column(pa.array(["apple", None]))
    assert pa.array(ex).type == pa.list_(pa.struct([
        ("keyword", pa.string()), ("similarity", pa.float32()), ("start", pa.int64()), ("end", pa.int64())]))
    assert pa.array(kp.replace_column(["apple"])).type == pa.string()
    chunked = pa.chunked_array([["apple"], [], ["new york", None, "x"]])
    for result in (kp.extract_column(chunked), kp.replace_column(chunked)):
        assert result.chunked and result.num_chunks == 3 and len(result) == 4
        out = pa.chunked_array(result)
        assert [len(c) for c in out.chunks] == [1, 0, 3]
        assert isinstance(result.to_arrow(), pa.ChunkedArray)
        # One array, when asked for one: the chunks joined.
        assert pa.array(result).to_pylist() == out.to_pylist()
    assert isinstance(kp.extract_column(pa.array(["x"])).to_arrow(), pa.Array)
    assert "3 chunks" in repr(kp.extract_column(chunked))
    assert type(ex) is kwsieve.columns.ColumnResult
    with pytest.raises(TypeError):
        kwsieve.columns.ColumnResult()


@arrow
def test_export_shares_the_buffers():
    kp = processor()
    result = kp.replace_column(["apple pie"] * 1000)
    a = pa.array(result)
    b = pa.array(result)
    assert a.buffers()[2].address == b.buffers()[2].address
    del result
    gc.collect()
    assert a.to_pylist()[0] == "fruit pie"  # the array keeps the buffers it was given


@arrow
def test_release_callbacks_run_exactly_once():
    kp = processor()
    gc.collect()
    base = pa.total_allocated_bytes()
    for _ in range(3):
        arr = pa.array(["apple new york"] * 5000 + [None])
        chunked = pa.chunked_array([arr, arr.slice(10)])
        results = [kp.extract_column(arr), kp.replace_column(chunked), kp.extract_column(chunked.cast(pa.string_view()))]
        for r in results:
            pa.array(r)
            pa.chunked_array(r)
            # Capsules taken and never imported release in their destructors.
            r.__arrow_c_array__()
            r.__arrow_c_stream__()
            r.__arrow_c_schema__()
        # Capsules whose structs a consumer moved out are not released twice.
        schema, array = results[0].__arrow_c_array__()
        moved = pa.Array._import_from_c_capsule(schema, array)
        del schema, array
        assert moved.to_pylist()[0][0]["keyword"] == "fruit"
        del arr, chunked, results, moved, r
    gc.collect()
    assert pa.total_allocated_bytes() == base


@arrow
def test_a_consumed_capsule_is_refused():
    kp = processor()
    stream = pa.chunked_array([["apple"]]).__arrow_c_stream__()

    class Once:
        def __arrow_c_stream__(self, requested_schema=None):
            return stream
    assert kp.extract_column(Once()).to_pylist() == [[("fruit", 1.0, 0, 5)]]
    with pytest.raises(ValueError, match="consumed"):
        kp.extract_column(Once())


@arrow
def test_stream_results_survive_their_object():
    kp = processor()
    capsule = kp.extract_column(pa.chunked_array([["apple"], ["new york"]])).__arrow_c_stream__()
    gc.collect()
    holder = type("Holder", (), {"__arrow_c_stream__": lambda self, requested_schema=None: capsule})
    out = pa.chunked_array(holder())
    assert [r[0]["keyword"] for r in out.to_pylist()] == ["fruit", "NYC"]


@pytest.mark.parametrize("bad", [1.5, -0.01, math.nan, math.inf])
def test_a_threshold_outside_0_to_1_is_a_value_error(bad):
    kp = processor()
    with pytest.raises(ValueError, match="threshold"):
        kp.extract_column(["apple"], bad)
    with pytest.raises(ValueError, match="threshold"):
        kp.replace_column(["apple", None], bad)
    assert kp.extract_column([], 0.0).to_pylist() == []


@arrow
def test_wrong_columns_are_type_errors_naming_the_type():
    kp = processor()
    for obj, named in [(pa.array([1, 2]), "int64"), (pa.array([b"x"]), "binary"),
                       (pa.table({"a": ["x"]}), "struct"), (pa.array(["x"]).dictionary_encode(), "dictionary"),
                       (42, "int"), ("apple", "str"), ({"a": 1}, "dict")]:
        with pytest.raises(TypeError, match=named):
            kp.extract_column(obj)
        with pytest.raises(TypeError, match=named):
            kp.replace_column(obj)
    for call, exc, match in [(lambda: kp.extract_column(["apple", 3]), TypeError, "item 1 is 'int'"),
                             (lambda: kp.extract_column(["apple", "\ud800"]), UnicodeEncodeError, None),
                             (lambda: kp.extract_column(["x"], offsets=1), TypeError, "offsets"),
                             (lambda: kp.extract_column(["x"], offsets="runes"), ValueError, "offsets"),
                             (lambda: kp.extract_column(["x"], None, "chars"), TypeError, None),  # keyword-only
                             (lambda: kp.replace_column(["x"], offsets="chars"), TypeError, None),
                             (lambda: kp.extract_column(), TypeError, None)]:
        with pytest.raises(exc, match=match):
            call()


@arrow
def test_invalid_utf8_is_a_value_error_naming_the_row():
    kp = processor()
    good = pa.array([b"apple"] * 5000 + [b"ok \xff"] + [b"apple"], pa.binary())
    for arr in (good.view(pa.string()), good.cast(pa.large_binary()).view(pa.large_string())):
        with pytest.raises(ValueError, match="row 5000 "):
            kp.extract_column(arr)
        with pytest.raises(ValueError, match="row 5000 "):
            kp.replace_column(pa.chunked_array([arr.slice(0, 10), arr.slice(10)]))
    assert len(kp) == len(KEYWORDS)  # the processor is untouched and usable
    assert kp.extract_column(pa.array(["apple"])).to_pylist() == [[("fruit", 1.0, 0, 5)]]


@arrow
def test_mutators_are_refused_during_a_call():
    kp = processor()

    class Sneaky:
        def __arrow_c_stream__(self, requested_schema=None):
            with pytest.raises(RuntimeError, match="Already borrowed"):
                kp.add_keyword("pie")
            return pa.chunked_array([["apple pie"]]).__arrow_c_stream__()

    assert kp.replace_column(Sneaky()).to_pylist() == ["fruit pie"]
    kp.add_keyword("pie")  # and allowed after it


def test_other_threads_run_while_the_pool_works():
    kp = processor()
    items = ["new york apple pie, İstanbul café " * 8] * 60_000
    stamps = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    thread = threading.Thread(target=tick)
    thread.start()
    try:
        time.sleep(0.01)
        t0 = time.perf_counter()
        result = kp.extract_column(items)
        t1 = time.perf_counter()
    finally:
        stop.set()
        thread.join()
    # Holding the lock, this thread could run only around the call's edges, one switch
    # interval at most; stamps from the middle of the call show the lock was free.
    lo, hi = t0 + 0.3 * (t1 - t0), t1 - 0.3 * (t1 - t0)
    assert any(lo < s < hi for s in stamps)
    assert len(result) == len(items)


@arrow
def test_concurrent_calls_from_threads_agree():
    kp = processor()
    items = ["apple new york " * i for i in range(300)] + [None]
    expected = kp.extract_column(items).to_pylist()
    results = [None] * 4

    def work(k):
        results[k] = kp.extract_column(pa.array(items)).to_pylist()

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 4


@arrow
def test_polars_in_and_out():
    pl = pytest.importorskip("polars")
    kp = processor()
    s = pl.Series("text", ["apple pie", None, "café new york"])
    ex = kp.extract_column(s).to_polars()
    assert ex.dtype == pl.List(pl.Struct({"keyword": pl.String, "similarity": pl.Float32,
                                          "start": pl.Int64, "end": pl.Int64}))
    assert ex.to_list()[2] == [{"keyword": "coffee", "similarity": 1.0, "start": 0, "end": 4},
                               {"keyword": "NYC", "similarity": 1.0, "start": 5, "end": 13}]
    assert kp.replace_column(s).to_polars().to_list() == ["fruit pie", None, "coffee NYC"]
    assert kp.extract_column(s.cast(pl.String)).to_pylist() == kp.extract_column(s.to_list()).to_pylist()


@arrow
def test_pandas_arrow_backed_strings():
    pd = pytest.importorskip("pandas")
    kp = processor()
    try:
        s = pd.Series(["apple pie", None, "new york"], dtype="str")
        if getattr(s.dtype, "storage", None) != "pyarrow":
            raise TypeError
    except TypeError:
        s = pd.Series(["apple pie", None, "new york"], dtype=pd.ArrowDtype(pa.string()))
    assert kp.replace_column(s).to_pylist() == ["fruit pie", None, "NYC"]
    s2 = pd.Series(["apple", None], dtype=pd.ArrowDtype(pa.large_string()))
    assert kp.extract_column(s2).to_pylist() == [[("fruit", 1.0, 0, 5)], None]


@arrow
def test_nanoarrow_in_and_out():
    na = pytest.importorskip("nanoarrow")
    kp = processor()
    arr = na.c_array(["apple", None, "new york pie"], na.string())
    assert kp.replace_column(arr).to_pylist() == ["fruit", None, "NYC pie"]
    out = na.Array(kp.extract_column(arr))
    assert out.to_pylist()[2] == [{"keyword": "NYC", "similarity": 1.0, "start": 0, "end": 8}]
    # Twice from one result, and through a stream.
    assert na.Array(kp.replace_column(arr)).to_pylist() == ["fruit", None, "NYC pie"]
    stream = na.c_array_stream(kp.replace_column(pa.chunked_array([["apple"], ["x"]])))
    assert [na.Array(c).to_pylist() for c in stream] == [["fruit"], ["x"]]


@pytest.mark.skipif(not os.environ.get("KWSIEVE_HUGE_TESTS"), reason="needs about 5 GB; set KWSIEVE_HUGE_TESTS=1")
def test_large_text_column_switches_to_large_string():
    kp = KeywordProcessor()
    kp.add_keyword("a", "b" * 1000)
    # Over 2 GiB of output from about 2 MB of input.
    items = pa.array([" ".join(["a"] * 1100)] * 2000)
    out = kp.replace_column(items)
    assert pa.array(out).type == pa.large_string()
    assert pa.array(out)[1999].as_py()[:3000] == ("b" * 1000 + " ") * 2 + "b" * 998
