"""The call frame: argument matching, conversions, borrows and error mapping. Refused
calls must leave __getstate__ unchanged and no borrow behind."""

import inspect
import math
import sys
import threading

import pytest
from hypothesis import example, given, settings, strategies as st

from kwsieve import KeywordProcessor, PyKeywordMatch
from model import tuples as plain

try:
    import numpy
except ImportError:
    numpy = None

# A byte of the text is tested as the code point of the same number, so ASCII probes
# show membership directly.
PROBES = [chr(c) for c in range(0x20, 0x7F) if chr(c) != "k"]
LONE = "\ud800"


class StrSub(str):
    pass


def probe_processor():
    kp = KeywordProcessor(True)
    kp.add_keyword("k")
    return kp


def word_chars(kp):
    """The probe characters kp treats as word characters; kp must hold keyword 'k'."""
    before = {c for c in PROBES if not kp.extract_keywords(c + "k")}
    assert before == {c for c in PROBES if not kp.extract_keywords("k" + c)}
    return before


def assert_unchanged_and_free(kp, state):
    assert kp.__getstate__() == state
    kp.add_keyword("borrow-check")
    assert kp.remove_keyword("borrow-check")
    assert kp.__getstate__() == state


def raise_(exc):
    raise exc


def Threshold(action):
    """An object whose float conversion runs `action`."""
    return type("Threshold", (), {"__float__": lambda self: action()})()


def Index(value):
    return type("Index", (), {"__index__": lambda self: value})()


def Seq(items, length=lambda self: raise_(RuntimeError("no length"))):
    """A sequence that is not a list; a failing length only loses a capacity hint."""
    return type("Seq", (), {"__getitem__": lambda self, i: items[i], "__len__": length})()


class Reentrant(list):
    """A list whose iteration runs `action` before each item, keeping the `catch`
    errors it raises (nothing is caught when `catch` is None)."""

    def __init__(self, items, action, catch=RuntimeError):
        super().__init__(items)
        self.action, self.catch, self.errors = action, catch or (), []

    def __iter__(self):
        for item in list.__iter__(self):
            try:
                self.action()
            except self.catch as e:
                self.errors.append(e)
            yield item


# ---- argument matching ----

# callable name -> (factory, a valid value of each parameter in order); the values
# differ from the defaults and from each other, so a misplaced one shows. Binding through
# inspect.signature also checks each text signature against what the callable does.
CALLABLES = {
    "KeywordProcessor": (lambda: KeywordProcessor,
                         {"case_sensitive": True, "allow_overlaps": False}),
    "PyKeywordMatch": (lambda: PyKeywordMatch,
                       {"keyword": "k", "similarity": 0.5, "start": 1, "end": 2}),
    "add_keyword": (lambda: KeywordProcessor().add_keyword, {"keyword": "a", "clean_name": "C"}),
    "remove_keyword": (lambda: probe_processor().remove_keyword, {"keyword": "k"}),
    "extract_keywords": (lambda: probe_processor().extract_keywords, {"text": "x k", "threshold": None}),
    "replace_keywords": (lambda: probe_processor().replace_keywords, {"text": "x k", "threshold": None}),
    "parallel_extract_keywords_from_texts": (lambda: probe_processor().parallel_extract_keywords_from_texts,
                                             {"texts": ["x k"], "threshold": None}),
    "parallel_replace_keywords_from_texts": (lambda: probe_processor().parallel_replace_keywords_from_texts,
                                             {"texts": ["x k"], "threshold": None}),
    "set_non_word_boundaries": (lambda: KeywordProcessor().set_non_word_boundaries, {"boundaries": ["-"]}),
    "add_non_word_boundary": (lambda: KeywordProcessor().add_non_word_boundary, {"boundary": "-"}),
    "KeywordProcessor.__setstate__": (lambda: KeywordProcessor().__setstate__,
                                      {"state": probe_processor().__getstate__()}),
    "PyKeywordMatch.__setstate__": (lambda: PyKeywordMatch("z", 0.0, 0, 0).__setstate__,
                                    {"state": PyKeywordMatch("ab", 1.0, 2, 4).__getstate__()}),
}


def outcome(fn, args, kwargs):
    """What a call observably did: its error text, or a comparable view of its result."""
    try:
        result = fn(*args, **kwargs)
    except TypeError as e:
        return ("TypeError", str(e))
    if isinstance(result, (KeywordProcessor, PyKeywordMatch)):
        return ("object", result.__getstate__())
    if result is None:
        return ("state", fn.__self__.__getstate__())
    return ("value", plain(result))


@settings(max_examples=500, deadline=None)
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
        kind, message = outcome(fn, args, kwargs)
        assert kind == "TypeError"
        # Matching errors name the callable and are never re-labelled as an argument's.
        qualified = name if "." in name else (
            f"{name}.__new__" if name[0].isupper() else f"KeywordProcessor.{name}")
        assert qualified in message
        assert not message.startswith("argument ")
        return
    canonical = [bound.arguments.get(p, signature.parameters[p].default) for p in params]
    assert outcome(fn, args, kwargs) == outcome(factory(), canonical, {})


@pytest.mark.parametrize("call, names", [
    (lambda: KeywordProcessor().add_keyword("a", keyword="b"), ["keyword"]),
    (lambda: KeywordProcessor().add_keyword("a", name="b"), ["name"]),
    (lambda: KeywordProcessor(None, None, None), []),
    (lambda: PyKeywordMatch(), ["keyword", "similarity", "start", "end"]),
    (lambda: PyKeywordMatch("k", 1.0, 0, 1).__setstate__(b"", state=b""), ["state"]),
])
def test_matching_errors_name_the_parameters(call, names):
    with pytest.raises(TypeError) as info:
        call()
    message = str(info.value)
    assert type(info.value) is TypeError
    assert "()" in message and not message.startswith("argument ")
    assert all(f"'{name}'" in message for name in names)


def test_matching_failures_come_before_conversion_and_borrow():
    kp = probe_processor()
    with pytest.raises(TypeError, match="positional") as info:
        kp.add_keyword(1, 2, 3)
    assert "argument 'keyword'" not in str(info.value)
    # Under the exclusive borrow, mis-matched calls still report the matching problem.
    calls = iter([lambda: kp.add_keyword(), lambda: kp.extract_keywords(text="k", x=1)])
    boundaries = Reentrant(["-", "+"], lambda: next(calls)(), catch=TypeError)
    kp.set_non_word_boundaries(boundaries)
    assert [type(e) for e in boundaries.errors] == [TypeError] * 2
    assert word_chars(kp) == {"-", "+"}


# ---- conversions: refusals ----

class Strict(list):
    """A list whose iteration raises `end` if asked for more than its items."""

    def __init__(self, items, end=AssertionError("read past the refused item")):
        super().__init__(items)
        self.end = end

    def __iter__(self):
        yield from list.__iter__(self)
        raise self.end


# (call on a probe processor, exception type, message: exact, a prefix ending in ": "
# for re-labelled errors, or None when the interpreter words it)
REFUSALS = [
    (lambda kp: kp.extract_keywords(1), TypeError, "argument 'text': "),
    (lambda kp: kp.add_keyword(b"x"), TypeError, "argument 'keyword': "),
    (lambda kp: kp.add_keyword("x", 1), TypeError, "argument 'clean_name': "),
    (lambda kp: kp.add_keyword("x", "a" + LONE), UnicodeEncodeError, None),
    (lambda kp: kp.extract_keywords("k", "0.5"), TypeError, "argument 'threshold': "),
    (lambda kp: kp.replace_keywords("k", 1j), TypeError, "argument 'threshold': "),
    (lambda kp: kp.extract_keywords("k", 10**400), OverflowError, None),
    (lambda kp: kp.add_non_word_boundary(45), TypeError, "argument 'boundary': "),
    (lambda kp: kp.add_non_word_boundary(""), ValueError, "expected a string of length 1"),
    (lambda kp: kp.add_non_word_boundary(LONE), UnicodeEncodeError, None),
    (lambda kp: kp.__setstate__(bytearray(kp.__getstate__())), TypeError, "argument 'state': "),
    (lambda kp: kp.set_non_word_boundaries("ab"), TypeError,
     "argument 'boundaries': Can't extract `str` to `Vec`"),
    # Nothing after the refused item is requested.
    (lambda kp: kp.set_non_word_boundaries(Strict(["a", "bc"])), ValueError,
     "expected a string of length 1"),
    (lambda kp: kp.set_non_word_boundaries(Strict(["a", 1])), TypeError, "argument 'boundaries': "),
    (lambda kp: kp.set_non_word_boundaries(Strict(["a", LONE])), UnicodeEncodeError, None),
    (lambda kp: kp.set_non_word_boundaries(Strict(["-"], LookupError("iteration failed"))),
     LookupError, "iteration failed"),
    (lambda kp: kp.parallel_replace_keywords_from_texts(StrSub("k")), TypeError,
     "argument 'texts': Can't extract `str` to `Vec`"),
    (lambda kp: kp.parallel_extract_keywords_from_texts(t for t in ["k"]), TypeError,
     "argument 'texts': "),
    (lambda kp: kp.parallel_replace_keywords_from_texts(["k", LONE]), UnicodeEncodeError, None),
    # Refused by the interpreter before the call reaches the frame.
    (lambda kp: kp.get_all_keywords(1), TypeError, None),
    (lambda kp: KeywordProcessor.add_keyword(PyKeywordMatch("k", 1.0, 0, 1), "x"), TypeError, None),
    (lambda kp: PyKeywordMatch.__getstate__(kp), TypeError, None),
]


@pytest.mark.parametrize("call, exc, message", REFUSALS)
def test_refused_arguments_leave_the_processor_unchanged(call, exc, message):
    kp = probe_processor()
    kp.add_non_word_boundary("-")
    state = kp.__getstate__()
    with pytest.raises(BaseException) as info:
        call(kp)
    assert type(info.value) is exc
    text = str(info.value)
    if message is not None and message.endswith(": "):
        assert text.startswith(message) and len(text) > len(message)
    elif message is not None:
        assert text == message
    assert_unchanged_and_free(kp, state)


def test_only_exact_type_errors_are_relabelled_and_keep_their_cause():
    kp = probe_processor()
    cause = KeyError("inner")

    def chained():
        raise TypeError("boom") from cause

    with pytest.raises(TypeError) as info:
        kp.extract_keywords("k", Threshold(chained))
    assert str(info.value) == "argument 'threshold': boom" and info.value.__cause__ is cause
    # Anything but an exact TypeError comes out as the very object that was raised.
    for original in (type("SubTypeError", (TypeError,), {})("sub"), ValueError("bad")):
        with pytest.raises(BaseException) as info:
            kp.extract_keywords("k", Threshold(lambda: raise_(original)))
        assert info.value is original
    with pytest.raises(TypeError, match=r"^argument 'threshold': .*__float__"):
        kp.extract_keywords("k", Threshold(lambda: "not a float"))


# ---- conversions: accepted values ----

@pytest.mark.parametrize("threshold, found", [
    (None, False), (True, False), (Index(1), False),
    (1.00000001, False),  # rounds to the 32-bit 1.0: exact mode, and accepted
    (0.8, True), (Threshold(lambda: 0.8), True),
], ids=repr)
def test_threshold_conversions(threshold, found):
    kp = KeywordProcessor()
    kp.add_keyword("apple")
    expected = [("apple", 0.800000011920929, 3, 7)] if found else []
    assert plain(kp.extract_keywords("an aple a day", threshold)) == expected
    assert plain(kp.extract_keywords(text="an aple a day", threshold=threshold)) == expected


@pytest.mark.parametrize("threshold", [
    2, -1, Index(2), Threshold(lambda: 1.5), 1.0000001, math.nan, math.inf, -math.inf, -1e-30,
], ids=repr)
def test_threshold_outside_unit_interval_is_an_internal_fault(threshold, panic_type):
    kp = probe_processor()
    state = kp.__getstate__()
    # Checked before any scan, even of an empty text, and per text in a batch: a fault in
    # every piece of a batch at once still raises one.
    for call in (lambda: kp.extract_keywords("", threshold), lambda: kp.replace_keywords("", threshold),
                 lambda: kp.parallel_extract_keywords_from_texts(["k"], threshold),
                 lambda: kp.parallel_replace_keywords_from_texts(["k"] * 100, threshold)):
        with pytest.raises(panic_type, match="^Threshold must be between 0 and 1$"):
            call()
    assert_unchanged_and_free(kp, state)
    assert kp.parallel_extract_keywords_from_texts([], threshold) == []


def test_texts_and_characters_accept_str_subclasses_astral_characters_and_any_sequence():
    kp = KeywordProcessor()
    kp.add_keyword(StrSub("Grüße"), StrSub("greeting"))
    kp.add_keyword("\U0001F600")
    assert kp.get_all_keywords() == {"grüße": "greeting", "\U0001F600": "\U0001F600"}
    assert type(kp.get_all_keywords()["grüße"]) is str
    assert plain(kp.extract_keywords(StrSub("x grüße \U0001F600"))) == \
        [("greeting", 1.0, 2, 9), ("\U0001F600", 1.0, 10, 14)]
    assert kp.replace_keywords(StrSub("grüße!")) == "greeting!"
    kp = probe_processor()
    assert kp.parallel_extract_keywords_from_texts([]) == []
    assert plain(kp.parallel_extract_keywords_from_texts(Seq(["x k", StrSub("k!")]))) == \
        [[("k", 1.0, 2, 3)], [("k", 1.0, 0, 1)]]
    assert kp.parallel_replace_keywords_from_texts(texts=("k", "")) == ["k", ""]
    for boundaries in (("-",), Seq(["-"]), Seq(["-"], lambda self: sys.maxsize), [StrSub("-")]):
        kp.set_non_word_boundaries(boundaries)
        assert word_chars(kp) == {"-"}
    # A text with nothing to replace comes back as itself, or as a plain str copy of a
    # subclass instance.
    same, sub = "x é y", StrSub("x é y")
    for out in ([kp.replace_keywords(same), kp.replace_keywords(sub)],
                kp.parallel_replace_keywords_from_texts([same, sub])):
        assert out[0] is same and type(out[1]) is str and out[1] == sub


# Code points from every storage width of a str (Latin-1, BMP, astral) and at the edges of
# the UTF-8 lengths, mostly in ASCII runs as real text is, so that encoding's ASCII stride
# and its tail both get exercised.
EDGES = "\x7f\x80\xff\u07ff\u0800\uffff\U00010000\U0010ffff"
WIDE_TEXT = st.text(st.one_of(st.sampled_from("ab ."), st.characters(exclude_categories=("Cs",)),
                              st.sampled_from(EDGES)),
                    max_size=40)


@given(st.lists(WIDE_TEXT, max_size=6), st.integers(0, 40))
@example([c + "." for c in EDGES] + ["\U00010000\u0800.", "\u0800\x80."], 0)  # each width, each edge
def test_texts_reach_the_engine_as_their_exact_utf8_and_surrogates_are_refused(texts, at):
    kp = KeywordProcessor(case_sensitive=True, allow_overlaps=True)
    kp.add_keyword(".", "[dot]")  # found at every '.' byte of the UTF-8 form
    for t, found in zip(texts, kp.parallel_extract_keywords_from_texts(texts)):
        raw = t.encode()
        assert plain(found) == plain(kp.extract_keywords(t)) == \
            [("[dot]", 1.0, i, i + 1) for i in range(len(raw)) if raw[i] == ord(".")]
    assert [kp.replace_keywords(t) for t in texts] == kp.parallel_replace_keywords_from_texts(texts) == \
        [t.replace(".", "[dot]") for t in texts]
    if texts:
        bad = texts[-1][:at] + LONE + texts[-1][at:]
        batch = texts[:-1] + [bad]
        # The first text that cannot be encoded is reported, ahead of a later item that
        # cannot be converted and of a fault in the work.
        state = kp.__getstate__()
        for call in (lambda: kp.replace_keywords(bad),
                     lambda: kp.extract_keywords(bad),
                     lambda: kp.extract_keywords(bad, "x"),
                     lambda: kp.extract_keywords(bad, 5.0),
                     lambda: kp.add_keyword(bad, 7),
                     lambda: kp.add_keyword(bad),
                     lambda: kp.parallel_replace_keywords_from_texts(batch),
                     lambda: kp.parallel_replace_keywords_from_texts(batch, "x"),
                     lambda: kp.parallel_extract_keywords_from_texts(batch, 5.0),
                     lambda: kp.parallel_extract_keywords_from_texts(batch + [LONE, 7])):
            with pytest.raises(UnicodeEncodeError) as raised:
                call()
            assert raised.value.object is bad
        assert_unchanged_and_free(kp, state)


# ---- constructor flags, repr, len, truth ----

def fake_numpy_type(name, module="numpy", **namespace):
    return type(name, (), {"__module__": module, **namespace})


TRUE_BOOL = fake_numpy_type("bool_", __bool__=lambda self: True)()
FALSE_BOOL = fake_numpy_type("bool", __bool__=lambda self: False)()
AMBIGUOUS = ValueError("ambiguous")


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, (False, False)),
    ((None, None), {}, (False, False)),
    ((), {"allow_overlaps": True, "case_sensitive": True}, (True, True)),
    ((TRUE_BOOL, FALSE_BOOL), {}, (True, False)),
    ((FALSE_BOOL,), {"allow_overlaps": TRUE_BOOL}, (False, True)),
] + ([((numpy.array([False, True])[1],), {"allow_overlaps": numpy.False_}, (True, False))] if numpy else []))
def test_constructor_flags(args, kwargs, expected):
    kp = KeywordProcessor(*args, **kwargs)
    kp.add_keyword("Ab")
    assert (not kp.extract_keywords("ab"), bool(kp.extract_keywords("xAbx"))) == expected


@pytest.mark.parametrize("value", [
    1, 1.0, "yes", fake_numpy_type("bool_"),  # a class, not an instance
    fake_numpy_type("bool_")(),  # numpy's name but no truth value
    fake_numpy_type("bool_", module="numpy.core", __bool__=lambda self: True)(),
    fake_numpy_type("boolean", __bool__=lambda self: True)(),
    fake_numpy_type("bool", __bool__=lambda self: raise_(AMBIGUOUS))(),
] + ([numpy.int64(1)] if numpy else []), ids=repr)
@pytest.mark.parametrize("name", ["case_sensitive", "allow_overlaps"])
def test_constructor_refuses_non_boolean_flags(name, value):
    with pytest.raises(BaseException) as info:
        KeywordProcessor(**{name: value})
    if type(value).__name__ == "bool":  # a numpy-like truth value's error passes through
        assert info.value is AMBIGUOUS
    else:
        assert type(info.value) is TypeError
        assert str(info.value).startswith(f"argument '{name}': ")


def test_repr_len_and_truth_follow_the_keyword_count():
    kp = KeywordProcessor()
    assert not kp and len(kp) == 0 and repr(kp) == str(kp) == "KeywordProcessor(num_keywords=0)"
    kp.add_keyword("Apple"), kp.add_keyword("apple"), kp.add_keyword("")
    assert kp and len(kp) == 2 and repr(kp) == str(kp) == "KeywordProcessor(num_keywords=2)"


# ---- borrows ----

READERS = {
    "extract_keywords": lambda kp: kp.extract_keywords("k"),
    "replace_keywords": lambda kp: kp.replace_keywords("k"),
    "parallel_extract": lambda kp: kp.parallel_extract_keywords_from_texts(["k"]),
    "parallel_replace": lambda kp: kp.parallel_replace_keywords_from_texts(["k"]),
    "get_all_keywords": lambda kp: kp.get_all_keywords(),
    "__getstate__": lambda kp: kp.__getstate__(),
    "len": len, "bool": bool, "repr": repr,
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
    assert [(type(e), str(e)) for e in boundaries.errors] == [(RuntimeError, message)] * 2
    # The outer call went on normally once the callback handled the error.
    assert word_chars(kp) == {"-", "+"} and len(kp) == 1
    # An escaping borrow error aborts the outer call and releases its borrow.
    state = kp.__getstate__()
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        kp.set_non_word_boundaries(Reentrant(["!"], lambda: inner(kp), catch=None))
    assert_unchanged_and_free(kp, state)


@pytest.mark.parametrize("outer", [
    lambda kp, t: kp.extract_keywords("x k", t),
    lambda kp, t: kp.replace_keywords("x k", t),
    lambda kp, t: kp.parallel_extract_keywords_from_texts(["x k"], t),
    lambda kp, t: kp.parallel_replace_keywords_from_texts(["x k"], t),
], ids=["extract", "replace", "parallel_extract", "parallel_replace"])
def test_threshold_and_text_conversions_run_under_a_shared_borrow(outer):
    kp = probe_processor()
    errors, nested = [], []

    def action():
        for writer in WRITERS.values():
            try:
                writer(kp)
            except RuntimeError as e:
                errors.append(str(e))
        nested.append((len(kp), plain(kp.extract_keywords("k"))))  # shared borrows nest
        return 1.0

    assert plain(outer(kp, Threshold(action))) == plain(outer(kp, None))
    assert errors == ["Already borrowed"] * len(WRITERS)
    assert nested == [(1, [("k", 1.0, 0, 1)])]
    state = kp.__getstate__()
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        outer(kp, Threshold(lambda: kp.add_keyword("x")))
    assert_unchanged_and_free(kp, state)
    # Iterating a batch's texts runs under the shared borrow too.
    texts = Reentrant(["k", "x k"], lambda: kp.add_keyword("x"))
    assert plain(kp.parallel_extract_keywords_from_texts(texts)) == [[("k", 1.0, 0, 1)], [("k", 1.0, 2, 3)]]
    assert [str(e) for e in texts.errors] == ["Already borrowed"] * 2 and len(kp) == 1


def test_another_thread_meets_the_borrow_held_across_a_callback():
    # The callback waits for another thread, whose calls land while the borrow is held.
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
