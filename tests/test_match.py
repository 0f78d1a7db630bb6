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


def format_similarity(s):
    if math.isnan(s):
        return "NaN"
    # Python's fixed-point formatting rounds the exact value, ties to even.
    return "inf" if s == math.inf else "-inf" if s == -math.inf else f"{s:.2f}"


def expected_repr(keyword, similarity, start, end):
    return (f"KeywordMatch(keyword='{keyword}', similarity={format_similarity(narrow(similarity))}, "
            f"start={start}, end={end})")


def expected_state(keyword, similarity, start, end):
    raw = keyword.encode()
    return (struct.pack("<Q", len(raw)) + raw + struct.pack("<f", narrow(similarity))
            + struct.pack("<QQ", start, end))


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


# ---- constructor ----

@pytest.mark.parametrize("args, kwargs, expected", [
    (("ab", 1.0, 2, 4), {}, ("ab", 1.0, 2, 4)),
    ((), {"end": 4, "start": 2, "similarity": 1.0, "keyword": "ab"}, ("ab", 1.0, 2, 4)),
    (("ab", 1), {"start": True, "end": Index(3)}, ("ab", 1.0, 1, 3)),
    (("x", Float(0.5), SIZE_MAX, 0), {}, ("x", 0.5, SIZE_MAX, 0)),
    (("x", Index(7), 5, 1), {}, ("x", 7.0, 5, 1)),  # start above end is allowed
    (("x", 1e300, 0, 0), {}, ("x", math.inf, 0, 0)),
])
def test_constructor_accepts(args, kwargs, expected):
    m = PyKeywordMatch(*args, **kwargs)
    assert values(m) == expected
    assert type(m.keyword) is str and type(m.similarity) is float
    assert type(m.start) is int and type(m.end) is int


@pytest.mark.parametrize("args, exc, label", [
    ((b"ab", 1.0, 0, 1), TypeError, "keyword"),
    ((LONE, 1.0, 0, 1), UnicodeEncodeError, None),
    (("k", "1.0", 0, 1), TypeError, "similarity"),
    (("k", 10**400, 0, 1), OverflowError, None),
    (("k", 1.0, 1.5, 1), TypeError, "start"),
    (("k", 1.0, 0, Float(1.0)), TypeError, "end"),
    # The first failure in the order keyword, similarity, start, end is reported.
    ((1, "x", -1, 1.5), TypeError, "keyword"),
    (("k", "x", -1, 1.5), TypeError, "similarity"),
    (("k", 1.0, -1, 1.5), OverflowError, None),
    (("k", 1.0, 0, 1.5), TypeError, "end"),
])
def test_constructor_refuses(args, exc, label):
    with pytest.raises(BaseException) as info:
        PyKeywordMatch(*args)
    assert type(info.value) is exc
    if label is not None:
        assert str(info.value).startswith(f"argument '{label}': ")


def test_constructor_stops_at_the_first_failure():
    calls = []
    similarity = Float(1.0)
    start = Index(-1)
    type(similarity).__float__ = lambda self: calls.append("similarity") or 1.0
    type(start).__index__ = lambda self: calls.append("start") or -1
    with pytest.raises(TypeError, match="argument 'keyword'"):
        PyKeywordMatch(1, similarity, start, 0)
    assert calls == []
    with pytest.raises(OverflowError):
        PyKeywordMatch("k", similarity, start, Index(0))
    assert calls == ["similarity", "start"]


# ---- attributes ----

@pytest.mark.parametrize("field, new, read_back", [
    ("keyword", "caf\u00e9 \U0001F600", "caf\u00e9 \U0001F600"),
    ("similarity", 0.1, 0.10000000149011612),
    ("similarity", Index(3), 3.0),
    ("similarity", 1e39, math.inf),
    ("start", Index(SIZE_MAX), SIZE_MAX),
    ("start", True, 1),
    ("end", SIZE_MAX, SIZE_MAX),
])
def test_attribute_assignment_and_deletion(field, new, read_back):
    m = PyKeywordMatch("ab", 1.0, 2, 4)
    before = dict(zip(FIELDS, values(m)))
    setattr(m, field, new)
    after = dict(before, **{field: read_back})
    assert values(m) == tuple(after.values())
    assert repr(m) == expected_repr(*after.values())
    assert m.__getstate__() == expected_state(*after.values())
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(m, field)
    assert values(m) == tuple(after.values())


@pytest.mark.parametrize("field, new, exc", [
    ("keyword", b"ab", TypeError),
    ("keyword", LONE, UnicodeEncodeError),
    ("similarity", "0.5", TypeError),
    ("similarity", 10**400, OverflowError),
    ("start", 1.5, TypeError),
    ("end", SIZE_MAX + 1, OverflowError),
])
def test_refused_assignment_changes_nothing(field, new, exc):
    m = PyKeywordMatch("ab", 1.0, 2, 4)
    with pytest.raises(BaseException) as info:
        setattr(m, field, new)
    assert type(info.value) is exc
    if exc is TypeError:
        assert str(info.value).startswith(f"argument '{field}': ")
    assert values(m) == ("ab", 1.0, 2, 4)
    m.start = 3  # no borrow was left behind
    assert m.start == 3


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


def test_extracted_matches_are_independent_values():
    kp = KeywordProcessor()
    kp.add_keyword("new york", "NYC")
    [m] = kp.extract_keywords("in new york")
    assert type(m) is PyKeywordMatch
    assert repr(m) == "KeywordMatch(keyword='NYC', similarity=1.00, start=3, end=11)"
    m.keyword = "changed"
    del kp
    assert values(m) == ("changed", 1.0, 3, 11)


# ---- representation ----

@pytest.mark.parametrize("args, text", [
    (("it's", 1.0, 0, 4), "KeywordMatch(keyword='it's', similarity=1.00, start=0, end=4)"),
    (("a\nb\\c\"", 1.0, 0, 1), "KeywordMatch(keyword='a\nb\\c\"', similarity=1.00, start=0, end=1)"),
    (("k", 0.125, 0, 0), "KeywordMatch(keyword='k', similarity=0.12, start=0, end=0)"),
    (("k", 0.835, 0, 0), "KeywordMatch(keyword='k', similarity=0.83, start=0, end=0)"),
    # 0.005 as a double rounds up, but its binary32 value lies just below the tie.
    (("k", 0.005, 0, 0), "KeywordMatch(keyword='k', similarity=0.00, start=0, end=0)"),
    (("k", 0.9951, 0, 0), "KeywordMatch(keyword='k', similarity=1.00, start=0, end=0)"),
    (("k", math.nan, 0, 0), "KeywordMatch(keyword='k', similarity=NaN, start=0, end=0)"),
    (("k", math.inf, 0, 0), "KeywordMatch(keyword='k', similarity=inf, start=0, end=0)"),
    (("k", -math.inf, 0, 0), "KeywordMatch(keyword='k', similarity=-inf, start=0, end=0)"),
    (("k", -0.0, 0, 0), "KeywordMatch(keyword='k', similarity=-0.00, start=0, end=0)"),
    (("k", 1e10, 0, 0), "KeywordMatch(keyword='k', similarity=10000000000.00, start=0, end=0)"),
    (("k", 1.0, SIZE_MAX, 5), f"KeywordMatch(keyword='k', similarity=1.00, start={SIZE_MAX}, end=5)"),
])
def test_repr(args, text):
    assert repr(PyKeywordMatch(*args)) == str(PyKeywordMatch(*args)) == text


# ---- state bytes ----

def test_state_layout():
    m = PyKeywordMatch("ab", 1.0, 2, 4)
    assert m.__getstate__() == bytes.fromhex(
        "0200000000000000 6162 0000803f 0200000000000000 0400000000000000")
    assert len(PyKeywordMatch("caf\u00e9", 0.5, 0, 0).__getstate__()) == 28 + 5


GOOD = PyKeywordMatch("ab", 0.25, 2, 4).__getstate__()


@pytest.mark.parametrize("cut", range(len(GOOD)))
def test_truncated_state_is_an_internal_fault_and_changes_nothing(cut, panic_type):
    m = PyKeywordMatch("old", 0.5, 7, 8)
    before = m.__getstate__()
    with pytest.raises(panic_type, match="Io"):
        m.__setstate__(GOOD[:cut])
    assert m.__getstate__() == before
    m.start = 1  # the exclusive borrow was released
    assert m.start == 1


def length_prefixed(length, rest=b""):
    return struct.pack("<Q", length) + rest


@pytest.mark.parametrize("state, kind", [
    (length_prefixed(2, b"\xff\xfe" + GOOD[10:]), "InvalidUtf8Encoding"),
    (length_prefixed(1, b"\xed\xa0\x80"[:1] + GOOD[10:]), "InvalidUtf8Encoding"),
    # Huge lengths are checked against what is left, never allocated.
    (length_prefixed(2**63, GOOD[8:]), "Io" if SIZE_BITS == 64 else "Custom"),
    (length_prefixed(SIZE_MAX, GOOD[8:]), "Io"),
])
def test_undecodable_state_is_an_internal_fault(state, kind, panic_type):
    m = PyKeywordMatch("old", 0.5, 7, 8)
    before = m.__getstate__()
    with pytest.raises(panic_type) as info:
        m.__setstate__(state)
    assert str(info.value).startswith(kind)
    assert m.__getstate__() == before


@pytest.mark.skipif(SIZE_BITS != 32, reason="only a 32-bit size type can be too narrow")
def test_values_beyond_a_32_bit_size_are_refused(panic_type):
    m = PyKeywordMatch("old", 0.5, 7, 8)
    with pytest.raises(panic_type) as info:
        m.__setstate__(length_prefixed(2**32, GOOD[8:]))
    assert str(info.value) == ("Custom: Invalid size 4294967296: sizes must fit in a usize "
                               "(0 to 4294967295)")
    for offset in (14, 22):  # start, end
        state = bytearray(GOOD)
        state[offset:offset + 8] = struct.pack("<Q", 2**32)
        with pytest.raises(panic_type) as info:
            m.__setstate__(bytes(state))
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


# ---- pickling, copying, identity ----

def copies(m):
    yield from (pickle.loads(pickle.dumps(m, protocol)) for protocol in range(2, 6))
    yield copy.copy(m)
    yield copy.deepcopy(m)


@pytest.mark.parametrize("args", [
    ("ab", 1.0, 2, 4),
    ("it's \U0001F600", 0.83, SIZE_MAX, 0),
    ("k", -0.0, 1, 1),
    ("k", math.nan, 1, 1),
])
def test_pickle_and_copy_round_trip_exactly(args):
    m = PyKeywordMatch(*args)
    for c in copies(m):
        assert type(c) is PyKeywordMatch and c is not m
        assert c.__getstate__() == m.__getstate__()
        assert same_values(values(c), values(m))
        assert math.copysign(1.0, c.similarity) == math.copysign(1.0, m.similarity)
    for protocol in (0, 1):  # old protocols cannot carry the state
        with pytest.raises(TypeError):
            pickle.dumps(m, protocol)


@pytest.mark.parametrize("bits", [0xFFC00000, 0x7FC00001, 0x7F800001, 0x7FBFFFFF],
                         ids=hex)
def test_nan_bit_patterns_survive_state_and_pickles(bits):
    state = length_prefixed(1, b"k" + struct.pack("<I", bits) + struct.pack("<QQ", 1, 2))
    m = PyKeywordMatch("z", 0.0, 0, 0)
    m.__setstate__(state)
    assert math.isnan(m.similarity)
    assert repr(m) == "KeywordMatch(keyword='k', similarity=NaN, start=1, end=2)"
    assert m.__getstate__() == state
    for c in copies(m):
        assert c.__getstate__() == state


def test_equality_and_hash_are_identity():
    a, b = PyKeywordMatch("ab", 1.0, 2, 4), PyKeywordMatch("ab", 1.0, 2, 4)
    assert a == a and a != b and not (a == b)
    assert hash(a) == hash(a) and hash(a) != hash(b)
    assert len({a, b}) == 2
    with pytest.raises(TypeError):
        a < b  # noqa: B015 - no ordering either


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
    other = PyKeywordMatch(*args)
    assert other.__getstate__() == m.__getstate__()
    target = PyKeywordMatch("z", 0.0, 0, 0)
    target.__setstate__(m.__getstate__())
    assert target.__getstate__() == m.__getstate__()
    assert same_values(values(target), values(m))
