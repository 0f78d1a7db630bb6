"""PyKeywordMatch against a plain-Python model: the similarity is stored as binary32
(model.f32); `expected_repr` and `expected_state` spell out text and bytes."""

import copy
import math
import pickle
import struct

import pytest
from hypothesis import given, settings, strategies as st

from kwsieve import KeywordProcessor, PyKeywordMatch
from model import f32 as narrow

SIZE_BITS = 8 * struct.calcsize("P")
SIZE_MAX = 2**SIZE_BITS - 1
LONE = "\ud800"
FIELDS = ("keyword", "similarity", "start", "end")


def expected_repr(keyword, similarity, start, end):
    s = narrow(similarity)
    # Python's fixed-point formatting rounds the exact value, ties to even.
    text = "NaN" if math.isnan(s) else "inf" if s == math.inf else "-inf" if s == -math.inf else f"{s:.2f}"
    return f"KeywordMatch(keyword='{keyword}', similarity={text}, start={start}, end={end})"


def expected_state(keyword, similarity, start, end):
    raw = keyword.encode()
    return struct.pack("<Q", len(raw)) + raw + struct.pack("<fQQ", narrow(similarity), start, end)


def values(m):
    return tuple(getattr(m, f) for f in FIELDS)


def Index(value):
    return type("Index", (), {"__index__": lambda self: value})()


def Float(value):
    return type("Float", (), {"__float__": lambda self: value})()


def same_values(a, b):
    """Field-wise equality that counts NaN equal to NaN."""
    return all(x == y or (isinstance(x, float) and math.isnan(x) and math.isnan(y))
               for x, y in zip(a, b))


def copies(m):
    yield from (pickle.loads(pickle.dumps(m, protocol)) for protocol in range(2, 6))
    yield copy.copy(m)
    yield copy.deepcopy(m)


# ---- conversions: the constructor and the attributes convert alike ----

BASE = {"keyword": "ab", "similarity": 1.0, "start": 2, "end": 4}


@pytest.mark.parametrize("field, new, read_back", [
    ("keyword", "caf\u00e9 \U0001F600", "caf\u00e9 \U0001F600"),
    ("similarity", Index(3), 3.0), ("similarity", Float(0.5), 0.5), ("similarity", 1e39, math.inf),
    ("start", Index(SIZE_MAX), SIZE_MAX), ("start", 7, 7),  # start above end is allowed
    ("end", True, 1),
])
def test_conversions_and_attribute_deletion(field, new, read_back):
    expected = dict(BASE, **{field: read_back})
    m = PyKeywordMatch(**dict(reversed(dict(BASE, **{field: new}).items())))  # any keyword order
    assert values(m) == tuple(expected.values())
    assert [type(v) for v in values(m)] == [str, float, int, int]
    m = PyKeywordMatch(*BASE.values())
    setattr(m, field, new)
    assert values(m) == tuple(expected.values())
    assert repr(m) == expected_repr(**expected) and m.__getstate__() == expected_state(**expected)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(m, field)
    assert values(m) == tuple(expected.values())


@pytest.mark.parametrize("field, bad, exc", [
    ("keyword", b"ab", TypeError), ("keyword", LONE, UnicodeEncodeError),
    ("similarity", "0.5", TypeError), ("similarity", 10**400, OverflowError),
    ("start", 1.5, TypeError), ("start", -1, OverflowError),
    ("end", Float(1.0), TypeError), ("end", SIZE_MAX + 1, OverflowError),
])
def test_refused_values_change_nothing(field, bad, exc):
    m = PyKeywordMatch(*BASE.values())
    for attempt in (lambda: PyKeywordMatch(**dict(BASE, **{field: bad})), lambda: setattr(m, field, bad)):
        with pytest.raises(BaseException) as info:
            attempt()
        assert type(info.value) is exc
        assert exc is not TypeError or str(info.value).startswith(f"argument '{field}': ")
    assert values(m) == tuple(BASE.values())
    m.start = 3  # no borrow was left behind
    assert m.start == 3


@pytest.mark.parametrize("args, label", [
    ((1, "x", -1, 1.5), "keyword"), (("k", "x", -1, 1.5), "similarity"),
    (("k", 1.0, -1, 1.5), None), (("k", 1.0, 0, 1.5), "end"),
])
def test_constructor_reports_the_first_failure_in_parameter_order(args, label):
    with pytest.raises(TypeError if label else OverflowError) as info:
        PyKeywordMatch(*args)
    assert label is None or str(info.value).startswith(f"argument '{label}': ")


def test_assignment_converts_before_borrowing():
    m = PyKeywordMatch("ab", 1.0, 2, 4)
    seen = []

    def sneaky():
        # No borrow is held while the new value is converted, so these work.
        seen.append(repr(m))
        m.end = 9
        return m.start + 1

    m.start = type("Sneaky", (), {"__index__": lambda self: sneaky()})()
    assert seen == ["KeywordMatch(keyword='ab', similarity=1.00, start=2, end=4)"]
    assert (m.start, m.end) == (3, 9)


def test_extracted_matches_are_independent_values_compared_by_identity():
    kp = KeywordProcessor()
    kp.add_keyword("new york", "NYC")
    [m] = kp.extract_keywords("in new york")
    assert type(m) is PyKeywordMatch
    m.keyword = "changed"
    del kp
    assert values(m) == ("changed", 1.0, 3, 11)
    a, b = PyKeywordMatch("ab", 1.0, 2, 4), PyKeywordMatch("ab", 1.0, 2, 4)
    assert a == a and a != b and hash(a) == hash(a) != hash(b)
    with pytest.raises(TypeError):
        a < b  # noqa: B015 - no ordering either


# Ties and signs that random floats rarely produce.
@pytest.mark.parametrize("similarity, text", [
    (0.125, "0.12"), (0.835, "0.83"), (0.9951, "1.00"), (-0.0, "-0.00"),
    (0.005, "0.00"),  # 0.005 as a double rounds up; its binary32 value lies below the tie
    (-math.inf, "-inf"), (1e10, "10000000000.00"),
])
def test_repr_of_the_similarity(similarity, text):
    m = PyKeywordMatch("it's", similarity, 0, 0)
    assert repr(m) == str(m) == f"KeywordMatch(keyword='it's', similarity={text}, start=0, end=0)"


# ---- state bytes ----

GOOD = PyKeywordMatch("ab", 0.25, 2, 4).__getstate__()


def length_prefixed(length, rest=b""):
    return struct.pack("<Q", length) + rest


@pytest.mark.parametrize("state, kind", [(GOOD[:cut], "Io") for cut in range(len(GOOD))] + [
    (length_prefixed(2, b"\xff\xfe" + GOOD[10:]), "InvalidUtf8Encoding"),
    (length_prefixed(1, b"\xed" + GOOD[10:]), "InvalidUtf8Encoding"),
    # Huge lengths are checked against what is left, never allocated.
    (length_prefixed(2**63, GOOD[8:]), "Io" if SIZE_BITS == 64 else "Custom"),
    (length_prefixed(SIZE_MAX, GOOD[8:]), "Io"),
])
def test_undecodable_state_is_an_internal_fault_and_changes_nothing(state, kind, panic_type):
    m = PyKeywordMatch("old", 0.5, 7, 8)
    before = m.__getstate__()
    with pytest.raises(panic_type) as info:
        m.__setstate__(state)
    assert str(info.value).startswith(kind)
    assert m.__getstate__() == before
    m.start = 1  # the exclusive borrow was released
    assert m.start == 1


@pytest.mark.skipif(SIZE_BITS != 32, reason="only a 32-bit size type can be too narrow")
def test_values_beyond_a_32_bit_size_are_refused(panic_type):
    m = PyKeywordMatch("old", 0.5, 7, 8)
    with pytest.raises(panic_type) as info:
        m.__setstate__(length_prefixed(2**32, GOOD[8:]))
    assert str(info.value) == ("Custom: Invalid size 4294967296: sizes must fit in a usize "
                               "(0 to 4294967295)")
    for offset in (14, 22):  # start, end
        state = GOOD[:offset] + struct.pack("<Q", 2**32) + GOOD[offset + 8:]
        with pytest.raises(panic_type) as info:
            m.__setstate__(state)
        assert str(info.value) == "Custom: invalid value: integer `4294967296`, expected usize"
    assert values(m) == ("old", 0.5, 7, 8)


def test_setstate_takes_bytes_only_and_ignores_trailing_bytes():
    m = PyKeywordMatch("old", 0.5, 7, 8)
    for state in (bytearray(GOOD), memoryview(GOOD), GOOD.decode("latin-1"), None):
        with pytest.raises(TypeError, match="^argument 'state': "):
            m.__setstate__(state)
    assert values(m) == ("old", 0.5, 7, 8)
    assert m.__setstate__(GOOD + b"\x00trailing") is None and values(m) == ("ab", 0.25, 2, 4)
    m.__setstate__(state=type("BytesSub", (bytes,), {})(PyKeywordMatch("z", 1.0, 0, 1).__getstate__()))
    assert values(m) == ("z", 1.0, 0, 1)
    for protocol in (0, 1):  # old pickle protocols cannot carry the state
        with pytest.raises(TypeError):
            pickle.dumps(m, protocol)


@pytest.mark.parametrize("bits", [0xFFC00000, 0x7FC00001, 0x7F800001, 0x7FBFFFFF], ids=hex)
def test_nan_bit_patterns_survive_state_and_pickles(bits):
    state = length_prefixed(1, b"k" + struct.pack("<IQQ", bits, 1, 2))
    m = PyKeywordMatch("z", 0.0, 0, 0)
    m.__setstate__(state)
    assert repr(m) == "KeywordMatch(keyword='k', similarity=NaN, start=1, end=2)"
    assert all(c.__getstate__() == state for c in [m, *copies(m)])


# ---- properties against the model ----

keywords = st.text(st.characters(exclude_categories=["Cs"]), max_size=12)
sizes = st.integers(0, SIZE_MAX)


@settings(max_examples=300, deadline=None)
@given(keywords, st.floats(width=64), sizes, sizes)
def test_values_repr_state_and_round_trips_follow_the_model(keyword, similarity, start, end):
    m = PyKeywordMatch(keyword, similarity, start, end)
    assert same_values(values(m), (keyword, narrow(similarity), start, end))
    assert repr(m) == expected_repr(keyword, similarity, start, end)
    if not math.isnan(similarity):  # a NaN's payload is the platform's to narrow
        assert m.__getstate__() == expected_state(keyword, similarity, start, end)
    args = m.__getnewargs__()
    assert type(args) is tuple and same_values(args, values(m))
    target = PyKeywordMatch("z", 0.0, 0, 0)
    target.__setstate__(m.__getstate__())
    for c in [PyKeywordMatch(*args), target, *copies(m)]:
        assert type(c) is PyKeywordMatch and c is not m
        assert c.__getstate__() == m.__getstate__() and same_values(values(c), values(m))
        assert math.copysign(1.0, c.similarity) == math.copysign(1.0, m.similarity)
