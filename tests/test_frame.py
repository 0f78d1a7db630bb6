"""The call frame: argument matching, conversions, borrows and error mapping.

The processor's whole state is compared through __getstate__ before and after each
refused call, and the word-character set is also probed through extraction, so a
failure that leaks half a change, or leaves a borrow behind, shows up.
"""

import inspect
import string
import sys
import threading

import pytest
from hypothesis import given, settings, strategies as st

from kwsieve import KeywordProcessor, PyKeywordMatch

try:
    import numpy
except ImportError:
    numpy = None

needs_numpy = pytest.mark.skipif(numpy is None, reason="numpy is not installed")

# One-byte probe characters: a byte of the text is tested as the code point of the same
# number, so ASCII characters show membership directly.
PROBES = [chr(c) for c in range(0x20, 0x7F) if chr(c) != "k"]
DEFAULT_WORD_CHARS = set(string.ascii_letters + string.digits + "_") - {"k"}


def probe_processor(**flags):
    kp = KeywordProcessor(case_sensitive=True, **flags)
    kp.add_keyword("k")
    return kp


def word_chars(kp):
    """The probe characters kp treats as word characters; kp must hold keyword 'k'."""
    before = {c for c in PROBES if not kp.extract_keywords(c + "k")}
    after = {c for c in PROBES if not kp.extract_keywords("k" + c)}
    assert before == after
    return before


def flags_of(kp):
    """(case_sensitive, allow_overlaps) as extraction shows them; adds keyword 'Ab'."""
    kp.add_keyword("Ab")
    return not kp.extract_keywords("ab"), bool(kp.extract_keywords("xAbx"))


def spans(matches):
    return [(m.keyword, m.similarity, m.start, m.end) for m in matches]


def plain(result):
    """A result with every match object replaced by its four values."""
    if isinstance(result, PyKeywordMatch):
        return (result.keyword, result.similarity, result.start, result.end)
    if isinstance(result, list):
        return [plain(r) for r in result]
    return result


def assert_unchanged_and_free(kp, state):
    """kp still has `state` and no borrow is left: a mutating call goes through."""
    assert kp.__getstate__() == state
    kp.add_keyword("borrow-check")
    assert kp.remove_keyword("borrow-check")
    assert kp.__getstate__() == state


# ---- argument matching ----

MATCH_STATE = PyKeywordMatch("ab", 1.0, 2, 4).__getstate__()

# callable name -> (factory of the callable, valid value of each parameter in order).
# The values differ from the defaults and from each other, so a misplaced one shows.
CALLABLES = {
    "KeywordProcessor": (lambda: KeywordProcessor,
                         {"case_sensitive": True, "allow_overlaps": False}),
    "PyKeywordMatch": (lambda: PyKeywordMatch,
                       {"keyword": "k", "similarity": 0.5, "start": 1, "end": 2}),
    "add_keyword": (lambda: KeywordProcessor().add_keyword, {"keyword": "a", "clean_name": "C"}),
    "extract_keywords": (lambda: probe_processor().extract_keywords,
                         {"text": "x k", "threshold": None}),
    "set_non_word_boundaries": (lambda: KeywordProcessor().set_non_word_boundaries,
                                {"boundaries": ["-"]}),
    "PyKeywordMatch.__setstate__": (lambda: PyKeywordMatch("z", 0.0, 0, 0).__setstate__,
                                    {"state": MATCH_STATE}),
}


def outcome(fn, args, kwargs):
    """What a call observably did: its error text, or a comparable view of its result."""
    try:
        result = fn(*args, **kwargs)
    except TypeError as e:
        return ("TypeError", str(e))
    if isinstance(result, (KeywordProcessor, PyKeywordMatch)):
        return ("object", result.__getstate__())
    if isinstance(result, list):
        return ("list", spans(result))
    if fn.__name__ in ("add_keyword", "__setstate__", "set_non_word_boundaries"):
        return ("state", fn.__self__.__getstate__())
    return ("value", result)


@settings(max_examples=300, deadline=None)
@given(name=st.sampled_from(sorted(CALLABLES)), data=st.data())
def test_argument_matching_agrees_with_python_binding(name, data):
    factory, valid = CALLABLES[name]
    params = list(valid)
    n_pos = data.draw(st.integers(0, len(params) + 1), label="positional")
    args = [valid[p] for p in params[:n_pos]] + ["extra"] * (n_pos - len(params))
    by_name = data.draw(st.lists(st.sampled_from(params + ["bogus", params[0].upper()]),
                                 unique=True), label="keywords")
    kwargs = {k: valid.get(k, 0) for k in by_name}

    fn = factory()
    signature = inspect.signature(fn)
    try:
        bound = signature.bind(*args, **kwargs)
    except TypeError:
        got = outcome(fn, args, kwargs)
        assert got[0] == "TypeError"
        # Matching errors name the callable and are never re-labelled as an argument's.
        qualified = name if "." in name else (
            f"{name}.__new__()" if name in ("KeywordProcessor", "PyKeywordMatch")
            else f"KeywordProcessor.{name}()")
        assert qualified.rstrip("()") in got[1]
        assert not got[1].startswith("argument ")
        return
    # The same call with every parameter by position, omitted ones at their defaults.
    canonical = [bound.arguments.get(p, signature.parameters[p].default) for p in params]
    assert outcome(fn, args, kwargs) == outcome(factory(), canonical, {})


MATCHING_ERRORS = [
    # (callable, args, kwargs, names that the message must carry)
    (lambda: KeywordProcessor().add_keyword, ("a",), {"keyword": "b"}, ["keyword"]),
    (lambda: KeywordProcessor().add_keyword, (), {}, ["keyword"]),
    (lambda: KeywordProcessor().add_keyword, (), {"clean_name": "b"}, ["keyword"]),
    (lambda: KeywordProcessor().add_keyword, ("a", "b", "c"), {}, []),
    (lambda: KeywordProcessor().add_keyword, ("a",), {"name": "b"}, ["name"]),
    (lambda: KeywordProcessor().extract_keywords, ("a", None), {"threshold": 0.5}, ["threshold"]),
    (lambda: KeywordProcessor, (None, None, None), {}, []),
    (lambda: KeywordProcessor, (True,), {"case_sensitive": True}, ["case_sensitive"]),
    (lambda: KeywordProcessor, (), {"overlaps": True}, ["overlaps"]),
    (lambda: PyKeywordMatch, (), {}, ["keyword", "similarity", "start", "end"]),
    (lambda: PyKeywordMatch, ("k", 1.0), {"end": 1}, ["start"]),
    (lambda: PyKeywordMatch, ("k", 1.0, 0, 1, 2), {}, []),
    (lambda: PyKeywordMatch("k", 1.0, 0, 1).__setstate__, (), {}, ["state"]),
    (lambda: PyKeywordMatch("k", 1.0, 0, 1).__setstate__, (b"",), {"state": b""}, ["state"]),
]


@pytest.mark.parametrize("factory, args, kwargs, names", MATCHING_ERRORS)
def test_matching_errors_name_the_parameters(factory, args, kwargs, names):
    with pytest.raises(TypeError) as info:
        factory()(*args, **kwargs)
    message = str(info.value)
    assert type(info.value) is TypeError
    assert "()" in message and not message.startswith("argument ")
    for name in names:
        assert f"'{name}'" in message


def test_matching_failures_come_before_conversion_and_borrow():
    kp = probe_processor()
    # Wrong types everywhere, but the count is what is reported.
    with pytest.raises(TypeError, match="positional") as info:
        kp.add_keyword(1, 2, 3)
    assert "argument 'keyword'" not in str(info.value)
    # While the processor is exclusively borrowed, a mis-matched call still reports the
    # matching problem, not the borrow.
    seen = []

    class Boundaries(list):
        def __iter__(self):
            for fn in (lambda: kp.add_keyword(), lambda: kp.extract_keywords(text="k", x=1)):
                try:
                    fn()
                except TypeError as e:
                    seen.append(e)
            return super().__iter__()

    kp.set_non_word_boundaries(Boundaries(["-"]))
    assert len(seen) == 2 and all(type(e) is TypeError for e in seen)
    assert word_chars(kp) == {"-"}


@pytest.mark.parametrize("call", [
    lambda kp: kp.get_all_keywords(1),
    lambda kp: kp.__getstate__(None),
    lambda kp: KeywordProcessor.add_keyword(PyKeywordMatch("k", 1.0, 0, 1), "x"),
    lambda kp: KeywordProcessor.__len__(PyKeywordMatch("k", 1.0, 0, 1)),
    lambda kp: PyKeywordMatch.__getstate__(kp),
], ids=["noargs-with-arg", "getstate-with-arg", "foreign-receiver", "foreign-len", "foreign-match"])
def test_interpreter_level_refusals(call):
    kp = probe_processor()
    state = kp.__getstate__()
    with pytest.raises(TypeError):
        call(kp)
    assert_unchanged_and_free(kp, state)


# ---- conversions: refusals ----

class StrSub(str):
    pass


LONE = "\ud800"

REFUSALS = [
    # (call on a probe processor, exception type, message: exact, or a prefix ending in
    # ": " for re-labelled errors, or None when the interpreter words it)
    (lambda kp: kp.extract_keywords(1), TypeError, "argument 'text': "),
    (lambda kp: kp.replace_keywords(["k"]), TypeError, "argument 'text': "),
    (lambda kp: kp.add_keyword(b"x"), TypeError, "argument 'keyword': "),
    (lambda kp: kp.add_keyword("x", 1), TypeError, "argument 'clean_name': "),
    (lambda kp: kp.remove_keyword(None), TypeError, "argument 'keyword': "),
    (lambda kp: kp.add_keyword(LONE), UnicodeEncodeError, None),
    (lambda kp: kp.add_keyword("x", "a" + LONE), UnicodeEncodeError, None),
    (lambda kp: kp.extract_keywords("k" + LONE), UnicodeEncodeError, None),
    (lambda kp: kp.remove_keyword(LONE), UnicodeEncodeError, None),
    (lambda kp: kp.extract_keywords("k", "0.5"), TypeError, "argument 'threshold': "),
    (lambda kp: kp.extract_keywords("k", [1]), TypeError, "argument 'threshold': "),
    (lambda kp: kp.extract_keywords("k", 1j), TypeError, "argument 'threshold': "),
    (lambda kp: kp.replace_keywords("k", object()), TypeError, "argument 'threshold': "),
    (lambda kp: kp.extract_keywords("k", 10**400), OverflowError, None),
    (lambda kp: kp.add_non_word_boundary(45), TypeError, "argument 'boundary': "),
    (lambda kp: kp.add_non_word_boundary(""), ValueError, "expected a string of length 1"),
    (lambda kp: kp.add_non_word_boundary("ab"), ValueError, "expected a string of length 1"),
    (lambda kp: kp.add_non_word_boundary("e\u0301"), ValueError, "expected a string of length 1"),
    (lambda kp: kp.add_non_word_boundary(LONE), UnicodeEncodeError, None),
    (lambda kp: kp.__setstate__(bytearray(kp.__getstate__())), TypeError, "argument 'state': "),
    (lambda kp: kp.__setstate__(memoryview(kp.__getstate__())), TypeError, "argument 'state': "),
    (lambda kp: kp.__setstate__("state"), TypeError, "argument 'state': "),
    (lambda kp: kp.parallel_extract_keywords_from_texts("k"), TypeError,
     "argument 'texts': Can't extract `str` to `Vec`"),
    (lambda kp: kp.parallel_replace_keywords_from_texts(StrSub("k")), TypeError,
     "argument 'texts': Can't extract `str` to `Vec`"),
    (lambda kp: kp.parallel_extract_keywords_from_texts(t for t in ["k"]), TypeError,
     "argument 'texts': "),
    (lambda kp: kp.parallel_extract_keywords_from_texts({"k"}), TypeError, "argument 'texts': "),
    (lambda kp: kp.parallel_extract_keywords_from_texts(["k", 1]), TypeError, "argument 'texts': "),
    (lambda kp: kp.parallel_replace_keywords_from_texts(["k", LONE]), UnicodeEncodeError, None),
    (lambda kp: kp.parallel_extract_keywords_from_texts(["k"], "x"), TypeError,
     "argument 'threshold': "),
]


@pytest.mark.parametrize("call, exc, message", REFUSALS)
def test_refused_arguments_leave_the_processor_unchanged(call, exc, message):
    kp = probe_processor()
    state = kp.__getstate__()
    with pytest.raises(BaseException) as info:
        call(kp)
    assert type(info.value) is exc
    if message is not None and message.endswith(": "):
        assert str(info.value).startswith(message)
        assert len(str(info.value)) > len(message)
    elif message is not None:
        assert str(info.value) == message
    assert_unchanged_and_free(kp, state)


class Threshold:
    """An object whose float conversion runs `action` and then returns or raises."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        return self.action()


def raise_(exc):
    raise exc


def test_only_exact_type_errors_are_relabelled_and_keep_their_cause():
    kp = probe_processor()
    cause = KeyError("inner")

    def chained():
        raise TypeError("boom") from cause

    with pytest.raises(TypeError) as info:
        kp.extract_keywords("k", Threshold(chained))
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'threshold': boom"
    assert info.value.__cause__ is cause

    class SubTypeError(TypeError):
        pass

    # Anything but an exact TypeError comes out as the very object that was raised.
    for original in (SubTypeError("sub"), ValueError("bad value"), OverflowError("big"),
                     ZeroDivisionError("zero")):
        with pytest.raises(BaseException) as info:
            kp.extract_keywords("k", Threshold(lambda: raise_(original)))
        assert info.value is original
    with pytest.raises(TypeError, match=r"^argument 'threshold': .*__float__"):
        kp.extract_keywords("k", Threshold(lambda: "not a float"))


# ---- conversions: accepted values ----

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("threshold, expected", [
    (None, []),
    (1, []),
    (True, []),
    (1.0, []),
    (1.00000001, []),  # rounds to the 32-bit 1.0: exact mode, and accepted
    (Index(1), []),
    (0.8, [("apple", 0.800000011920929, 3, 7)]),
    (Threshold(lambda: 0.8), [("apple", 0.800000011920929, 3, 7)]),
], ids=lambda v: repr(v) if not isinstance(v, list) else "")
def test_threshold_conversions(threshold, expected):
    kp = KeywordProcessor()
    kp.add_keyword("apple")
    assert spans(kp.extract_keywords("an aple a day", threshold)) == expected
    assert spans(kp.extract_keywords(text="an aple a day", threshold=threshold)) == expected


@pytest.mark.parametrize("threshold", [
    2, -1, Index(2), Threshold(lambda: 1.5), 1.0000001, float("nan"), float("inf"), -1e-30,
], ids=repr)
def test_threshold_outside_unit_interval_is_an_internal_fault(threshold, panic_type):
    kp = probe_processor()
    state = kp.__getstate__()
    for call in (kp.extract_keywords, kp.replace_keywords):
        with pytest.raises(panic_type, match="^Threshold must be between 0 and 1$"):
            call("", threshold)
    assert_unchanged_and_free(kp, state)


def test_text_accepts_str_subclasses_and_astral_characters():
    kp = KeywordProcessor()
    kp.add_keyword(StrSub("Grüße"), StrSub("greeting"))
    kp.add_keyword("\U0001F600")
    assert kp.get_all_keywords() == {"grüße": "greeting", "\U0001F600": "\U0001F600"}
    assert type(kp.get_all_keywords()["grüße"]) is str
    found = spans(kp.extract_keywords(StrSub("x grüße \U0001F600")))
    assert found == [("greeting", 1.0, 2, 9), ("\U0001F600", 1.0, 10, 14)]
    assert kp.replace_keywords(StrSub("grüße!")) == "greeting!"


def test_text_sequences_accept_any_sequence_including_an_empty_one():
    kp = probe_processor()
    assert kp.parallel_extract_keywords_from_texts([]) == []
    assert kp.parallel_replace_keywords_from_texts(()) == []
    texts = NoLen(["x k", StrSub("k!")])
    assert plain(kp.parallel_extract_keywords_from_texts(texts)) == \
        [[("k", 1.0, 2, 3)], [("k", 1.0, 0, 1)]]
    assert kp.parallel_replace_keywords_from_texts(texts=("k", "")) == ["k", ""]


# ---- constructor flags ----

def fake_numpy_type(name, module="numpy", **namespace):
    return type(name, (), {"__module__": module, **namespace})


TRUE_BOOL = fake_numpy_type("bool_", __bool__=lambda self: True)
FALSE_BOOL = fake_numpy_type("bool", __bool__=lambda self: False)


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, (False, False)),
    ((None, None), {}, (False, False)),
    ((False, False), {}, (False, False)),
    ((True,), {}, (True, False)),
    ((None, True), {}, (False, True)),
    ((), {"allow_overlaps": True, "case_sensitive": True}, (True, True)),
    ((TRUE_BOOL(), FALSE_BOOL()), {}, (True, False)),
    ((FALSE_BOOL(),), {"allow_overlaps": TRUE_BOOL()}, (False, True)),
])
def test_constructor_flags(args, kwargs, expected):
    kp = KeywordProcessor(*args, **kwargs)
    assert repr(kp) == "KeywordProcessor(num_keywords=0)"
    assert flags_of(kp) == expected
    if expected == (False, False):
        assert KeywordProcessor(*args, **kwargs).__getstate__() == KeywordProcessor().__getstate__()


@needs_numpy
def test_constructor_accepts_numpy_booleans():
    kp = KeywordProcessor(numpy.True_, allow_overlaps=numpy.bool_(False))
    assert flags_of(kp) == (True, False)
    kp = KeywordProcessor(numpy.array([False, True])[0], numpy.array([True])[0])
    assert flags_of(kp) == (False, True)
    with pytest.raises(TypeError, match="^argument 'case_sensitive': "):
        KeywordProcessor(numpy.int64(1))


@pytest.mark.parametrize("value", [
    1, 0, 1.0, "yes", [], b"", fake_numpy_type("bool_"),  # a class, not an instance
    fake_numpy_type("bool_")(),  # numpy's name but no truth value
    fake_numpy_type("bool_", module="numpy.core", __bool__=lambda self: True)(),
    fake_numpy_type("boolean", __bool__=lambda self: True)(),
], ids=repr)
@pytest.mark.parametrize("name", ["case_sensitive", "allow_overlaps"])
def test_constructor_refuses_non_boolean_flags(name, value):
    with pytest.raises(TypeError) as info:
        KeywordProcessor(**{name: value})
    assert type(info.value) is TypeError
    assert str(info.value).startswith(f"argument '{name}': ")


def test_numpy_like_truth_value_errors_pass_through():
    failure = ValueError("ambiguous")
    broken = fake_numpy_type("bool", __bool__=lambda self: raise_(failure))()
    with pytest.raises(ValueError) as info:
        KeywordProcessor(broken)
    assert info.value is failure


# ---- repr, len, truth ----

@pytest.mark.parametrize("flags", [(False, False), (True, True)])
def test_repr_len_and_truth_follow_the_keyword_count(flags):
    kp = KeywordProcessor(*flags)
    assert repr(kp) == str(kp) == "KeywordProcessor(num_keywords=0)"
    assert len(kp) == 0 and not kp
    expected = 0
    for keyword, new in [("Apple", True), ("apple", flags[0]), ("new", True),
                         ("new york", True), ("new", False), ("", True)]:
        kp.add_keyword(keyword)
        expected += new
        assert len(kp) == expected
        assert repr(kp) == f"KeywordProcessor(num_keywords={expected})"
        assert bool(kp)
    for keyword in ["new york", "new", "", "apple", "Apple"]:
        kp.remove_keyword(keyword)
    assert len(kp) == 0 and not kp


# ---- the word-character set ----

def test_default_word_characters():
    for case_sensitive in (False, True):
        kp = KeywordProcessor(case_sensitive)
        kp.add_keyword("k")
        assert word_chars(kp) == DEFAULT_WORD_CHARS


@pytest.mark.parametrize("edit, expected", [
    (lambda kp: kp.add_non_word_boundary("-"), DEFAULT_WORD_CHARS | {"-"}),
    (lambda kp: kp.add_non_word_boundary("a"), DEFAULT_WORD_CHARS),
    (lambda kp: kp.set_non_word_boundaries([]), set()),
    (lambda kp: kp.set_non_word_boundaries(["-"]), {"-"}),
    (lambda kp: kp.set_non_word_boundaries(("-", "-", " ")), {"-", " "}),
    (lambda kp: kp.set_non_word_boundaries(boundaries=["A"]), {"A"}),
    (lambda kp: (kp.set_non_word_boundaries([]), kp.add_non_word_boundary(boundary="!")), {"!"}),
])
def test_editing_the_word_characters(edit, expected):
    kp = probe_processor()
    edit(kp)
    assert word_chars(kp) == expected


def test_letters_stop_blocking_matches_once_the_set_is_replaced():
    kp = KeywordProcessor()
    kp.add_keyword("apple")
    assert spans(kp.extract_keywords("xapple-y")) == []
    kp.set_non_word_boundaries(["-"])
    assert spans(kp.extract_keywords("xapple-y")) == []
    assert spans(kp.extract_keywords("xapple y")) == [("apple", 1.0, 1, 6)]
    assert spans(kp.extract_keywords("-appleZ")) == []


# Bytes of multi-byte characters are tested as the code points of the same number, and
# the set is never case-folded: 'É' (U+00C9) is the lead byte of U+0240..U+027F, 'é'
# (U+00E9) of U+9000..U+9FFF, '©' (U+00A9) the last byte of 'é'.
@pytest.mark.parametrize("boundary, text", [
    ("©", "ék"),
    ("é", "k\u9000"),
    ("É", "k\u0240"),
    ("ð", "k\U0001F600"),
])
@pytest.mark.parametrize("case_sensitive", [False, True])
def test_only_the_exact_code_point_is_added(boundary, text, case_sensitive):
    kp = KeywordProcessor(case_sensitive)
    kp.add_keyword("k")
    others = ["ék", "k\u9000", "k\u0240", "k\U0001F600", "\U0001F600k"]
    assert all(kp.extract_keywords(t) for t in others)
    kp.add_non_word_boundary(boundary)
    for t in others:
        assert bool(kp.extract_keywords(t)) == (t != text)
    assert word_chars(kp) == DEFAULT_WORD_CHARS


def test_astral_boundary_is_accepted_but_no_byte_can_carry_it():
    kp = probe_processor()
    before = kp.__getstate__()
    kp.add_non_word_boundary("\U0001F600")
    assert kp.__getstate__() != before
    assert kp.extract_keywords("\U0001F600k") and kp.extract_keywords("k\U0001F600")


@settings(max_examples=40, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["set", "add"]),
                          st.lists(st.sampled_from(PROBES[:40] + ["é", "\U0001F600"]),
                                   max_size=4)),
                max_size=5))
def test_word_set_edits_agree_with_a_set_model(ops):
    kp = probe_processor()
    model = set(DEFAULT_WORD_CHARS)
    for op, chars in ops:
        if op == "set":
            kp.set_non_word_boundaries(chars)
            model = set(chars)
        else:
            for c in chars:
                kp.add_non_word_boundary(c)
            model |= set(chars)
    assert word_chars(kp) == model & set(PROBES)


# ---- set_non_word_boundaries: order of checks ----

class NoLen:
    """A sequence whose length cannot be taken: only a capacity hint is lost."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        raise RuntimeError("no length")


class HugeLen(NoLen):
    def __len__(self):
        return sys.maxsize


class IterNotIndex(NoLen):
    """Items come from iteration, not from indexing."""

    def __getitem__(self, i):
        raise AssertionError("indexed")

    def __len__(self):
        return 1

    def __iter__(self):
        return iter(self.items)


@pytest.mark.parametrize("boundaries", [
    ["-"], ("-",), NoLen(["-"]), HugeLen(["-"]), IterNotIndex(["-"]), [StrSub("-")],
], ids=lambda b: type(b).__name__)
def test_any_sequence_of_characters_is_accepted(boundaries):
    kp = probe_processor()
    kp.set_non_word_boundaries(boundaries)
    assert word_chars(kp) == {"-"}


class Recorder(list):
    """A list that records how many items iteration handed out."""

    served = 0

    def __iter__(self):
        for item in list.__iter__(self):
            self.served += 1
            yield item


def failing_iteration():
    yield "-"
    raise LookupError("iteration failed")


class FailingIter(NoLen):
    def __iter__(self):
        return failing_iteration()


@pytest.mark.parametrize("boundaries, exc, message", [
    ("ab", TypeError, "argument 'boundaries': Can't extract `str` to `Vec`"),
    ("", TypeError, "argument 'boundaries': Can't extract `str` to `Vec`"),
    (StrSub("-"), TypeError, "argument 'boundaries': Can't extract `str` to `Vec`"),
    ({"a"}, TypeError, None),
    (frozenset("a"), TypeError, None),
    ({"a": 1}, TypeError, None),
    ({"a": 1}.keys(), TypeError, None),
    ((c for c in "a"), TypeError, None),
    (iter(["a"]), TypeError, None),
    (None, TypeError, None),
    (5, TypeError, None),
    (Recorder(["a", "bc", "d"]), ValueError, "expected a string of length 1"),
    (Recorder(["a", "", "d"]), ValueError, "expected a string of length 1"),
    (Recorder(["a", 1, "d"]), TypeError, None),
    (Recorder(["a", b"b", "d"]), TypeError, None),
    (Recorder(["a", LONE, "d"]), UnicodeEncodeError, None),
    (FailingIter(["-"]), LookupError, "iteration failed"),
], ids=lambda v: type(v).__name__ if not isinstance(v, (str, type)) else repr(v))
def test_refused_boundaries_leave_the_set_unchanged(boundaries, exc, message):
    kp = probe_processor()
    kp.add_non_word_boundary("-")
    state = kp.__getstate__()
    with pytest.raises(BaseException) as info:
        kp.set_non_word_boundaries(boundaries)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    elif exc is TypeError:
        assert str(info.value).startswith("argument 'boundaries': ")
    if isinstance(boundaries, Recorder):
        assert boundaries.served == 2  # nothing after the bad item is requested
    assert word_chars(kp) == DEFAULT_WORD_CHARS | {"-"}
    assert_unchanged_and_free(kp, state)


# ---- borrows ----

class Reentrant(list):
    """A sequence whose iteration runs `action` before each item, keeping what it raised
    (or letting it escape when `escape` is set)."""

    def __init__(self, items, action, escape=False):
        super().__init__(items)
        self.action, self.escape, self.errors, self.results = action, escape, [], []

    def __iter__(self):
        for item in list.__iter__(self):
            try:
                self.results.append(self.action())
            except RuntimeError as e:
                if self.escape:
                    raise
                self.errors.append(e)
            yield item


READERS = {
    "extract_keywords": lambda kp: kp.extract_keywords("k"),
    "replace_keywords": lambda kp: kp.replace_keywords("k"),
    "parallel_extract": lambda kp: kp.parallel_extract_keywords_from_texts(["k"]),
    "parallel_replace": lambda kp: kp.parallel_replace_keywords_from_texts(["k"]),
    "get_all_keywords": lambda kp: kp.get_all_keywords(),
    "__getstate__": lambda kp: kp.__getstate__(),
    "len": len,
    "bool": bool,
    "repr": repr,
}
WRITERS = {
    "add_keyword": lambda kp: kp.add_keyword("x"),
    "remove_keyword": lambda kp: kp.remove_keyword("k"),
    "add_non_word_boundary": lambda kp: kp.add_non_word_boundary("+"),
    "set_non_word_boundaries": lambda kp: kp.set_non_word_boundaries([]),
    "__setstate__": lambda kp: kp.__setstate__(KeywordProcessor().__getstate__()),
}
INNER = [(n, f, "Already mutably borrowed") for n, f in READERS.items()] + \
        [(n, f, "Already borrowed") for n, f in WRITERS.items()]


@pytest.mark.parametrize("name, inner, message", INNER, ids=[i[0] for i in INNER])
def test_calls_during_set_non_word_boundaries_conversion_are_refused(name, inner, message):
    kp = probe_processor()
    boundaries = Reentrant(["-", "+"], lambda: inner(kp))
    kp.set_non_word_boundaries(boundaries)
    assert [str(e) for e in boundaries.errors] == [message, message]
    assert all(type(e) is RuntimeError for e in boundaries.errors)
    # The outer call went on normally once the callback handled the error.
    assert word_chars(kp) == {"-", "+"}
    assert len(kp) == 1


@pytest.mark.parametrize("name, inner, message", INNER, ids=[i[0] for i in INNER])
def test_escaping_borrow_error_aborts_and_releases(name, inner, message):
    kp = probe_processor()
    state = kp.__getstate__()
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        kp.set_non_word_boundaries(Reentrant(["-"], lambda: inner(kp), escape=True))
    assert word_chars(kp) == DEFAULT_WORD_CHARS
    assert_unchanged_and_free(kp, state)


OUTER_READERS = {
    "extract_keywords": lambda kp, t: kp.extract_keywords("x k", t),
    "replace_keywords": lambda kp, t: kp.replace_keywords("x k", t),
    "parallel_extract": lambda kp, t: kp.parallel_extract_keywords_from_texts(["x k"], t),
    "parallel_replace": lambda kp, t: kp.parallel_replace_keywords_from_texts(["x k"], t),
}


@pytest.mark.parametrize("outer", OUTER_READERS.values(), ids=list(OUTER_READERS))
def test_threshold_conversion_runs_under_a_shared_borrow(outer):
    kp = probe_processor()
    errors, nested = [], []

    def action():
        for writer in WRITERS.values():
            try:
                writer(kp)
            except RuntimeError as e:
                errors.append(str(e))
        # Shared borrows nest.
        nested.append((len(kp), repr(kp), spans(kp.extract_keywords("k"))))
        return 1.0

    result = outer(kp, Threshold(action))
    assert errors == ["Already borrowed"] * len(WRITERS)
    assert nested == [(1, "KeywordProcessor(num_keywords=1)", [("k", 1.0, 0, 1)])]
    assert plain(result) == plain(outer(kp, None))
    state = kp.__getstate__()
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        outer(kp, Threshold(lambda: kp.add_keyword("x")))
    assert_unchanged_and_free(kp, state)


def test_text_sequence_iteration_runs_under_a_shared_borrow():
    kp = probe_processor()
    texts = Reentrant(["k", "x k"], lambda: kp.add_keyword("x"))
    assert [spans(r) for r in kp.parallel_extract_keywords_from_texts(texts)] == \
        [[("k", 1.0, 0, 1)], [("k", 1.0, 2, 3)]]
    assert [str(e) for e in texts.errors] == ["Already borrowed"] * 2
    assert len(kp) == 1


def test_another_thread_meets_the_borrow_held_across_a_callback():
    # The callback hands the interpreter to another thread and waits for it, so that
    # thread's calls land while the outer call still holds its borrow.
    kp = probe_processor()
    seen = []

    def other_thread():
        for call in (lambda: kp.add_keyword("x"), lambda: len(kp)):
            try:
                seen.append(call())
            except RuntimeError as e:
                seen.append(str(e))

    def run_other_thread():
        worker = threading.Thread(target=other_thread)
        worker.start()
        worker.join()
        return 1.0

    kp.extract_keywords("k", Threshold(run_other_thread))
    assert seen == ["Already borrowed", 1]
    seen.clear()
    kp.set_non_word_boundaries(Reentrant(["-"], run_other_thread))
    assert seen == ["Already borrowed", "Already mutably borrowed"]
    assert len(kp) == 1 and word_chars(kp) == {"-"}
