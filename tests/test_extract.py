"""Extraction and replacement, against the examples and against the reference model.

Every table case runs through both kwsieve and tests/model.py, so a table entry checks the
model as much as the module. The property tests then compare the two on random keyword sets
and texts built to hit the hard parts: tiny alphabets with many keywords and clean names of
all lengths (equal approximate scores, decided by search order), shared prefixes, empty
keywords and names, spaces and hyphens at match edges, multi-byte letters whose lowercase
changes length, and padding with multi-byte characters so that byte and character offsets
part ways. The model's approximate search is the literal, unpruned one, so any pruning in
the module that changes a result shows up here.
"""

import math
import os

import pytest
from hypothesis import HealthCheck, assume, example, given, settings, strategies as st

from kwsieve import KeywordProcessor, PyKeywordMatch
from model import Model, ModelPanic, f32

BAD_THRESHOLDS = [1.5, -0.1, math.nan, math.inf, -math.inf]


def build(keywords, case_sensitive=False, allow_overlaps=False, boundaries=None):
    """A processor and a model holding the same keywords; `boundaries` replaces the word set."""
    kp = KeywordProcessor(case_sensitive=case_sensitive, allow_overlaps=allow_overlaps)
    model = Model(case_sensitive, allow_overlaps)
    for kw in keywords:
        kw, clean = (kw, None) if isinstance(kw, str) else kw
        kp.add_keyword(kw, clean)
        model.add_keyword(kw, clean)
    if boundaries is not None:
        kp.set_non_word_boundaries(list(boundaries))
        model.set_non_word_boundaries(boundaries)
    return kp, model


def extracted(kp, text, threshold):
    return [(m.keyword, m.similarity, m.start, m.end) for m in kp.extract_keywords(text, threshold)]


def widened(matches):
    """Expected similarities written as decimals, read back as binary32 like the module's."""
    return [(kw, f32(sim), start, end) for kw, sim, start, end in matches]


# --- examples -----------------------------------------------------------------------------

DEFAULT = {}
OVERLAPS = {"allow_overlaps": True}
CASED = {"case_sensitive": True}

EXTRACT_EXAMPLES = [
    # name, processor flags, keywords, text, threshold, matches
    ("whole word", DEFAULT, ["apple"], "x apple", None, [("apple", 1.0, 2, 7)]),
    ("word byte before", DEFAULT, ["apple"], "xapple", None, []),
    ("underscore after", DEFAULT, ["apple"], "apple_pie", None, []),
    ("plural, exact", DEFAULT, ["apple"], "I like apples", None, []),
    ("hyphen ends the word", DEFAULT, ["apple"], "apple-pie", None, [("apple", 1.0, 0, 5)]),
    ("window of three bytes", DEFAULT, ["apple"], "I like apples and apple pie", 0.8,
     [("apple", 1.0, 7, 12), ("apple", 1.0, 18, 23)]),
    ("same text, exact", DEFAULT, ["apple"], "I like apples and apple pie", None,
     [("apple", 1.0, 18, 23)]),
    ("window cut at the end", DEFAULT, ["apple"], "I like apples", 0.8, []),
    ("keyword byte skipped", DEFAULT, ["apple"], "an aple a day", 0.8, [("apple", 0.8, 3, 7)]),
    ("text byte skipped", DEFAULT, ["apple"], "an applle a day", 0.8, [("apple", 0.83, 3, 9)]),
    ("no skip at the end of the text", DEFAULT, ["apple"], "appl", 0.7, []),
    ("skip before more text", DEFAULT, ["apple"], "appl x", 0.7, [("apple", 0.8, 0, 4)]),
    ("longest keyword", DEFAULT, ["new", "new york"], "new york", None, [("new york", 1.0, 0, 8)]),
    ("longest fails, shorter not tried", DEFAULT, ["new", "new york"], "new yorker", None, []),
    ("shortest exact keyword first", DEFAULT, ["new", "new york"], "new york", 0.9,
     [("new", 1.0, 0, 3)]),
    ("overlaps: inside a word", OVERLAPS, ["cat"], "concatenate", None, [("cat", 1.0, 3, 6)]),
    ("overlaps: back to back", OVERLAPS, ["cat"], "catcat", None,
     [("cat", 1.0, 0, 3), ("cat", 1.0, 3, 6)]),
    ("folded keyword reported", DEFAULT, ["Python"], "I like PYTHON!", None, [("python", 1.0, 7, 13)]),
    ("case-sensitive", CASED, ["Python"], "I like PYTHON and Python", None, [("Python", 1.0, 18, 24)]),
    ("continuation byte before", DEFAULT, ["al"], "Montréal", None, [("al", 1.0, 7, 9)]),
    ("ascii letter before", DEFAULT, ["al"], "Montreal", None, []),
    ("byte offsets", DEFAULT, ["apple"], "café apple", None, [("apple", 1.0, 6, 11)]),
    ("offsets of the folded text", DEFAULT, ["apple"], "İstanbul apple", None, [("apple", 1.0, 11, 16)]),
    ("leading space trimmed", DEFAULT, ["apple"], " apple", 0.8, [("apple", 0.83, 1, 6)]),
    ("exact at threshold 1.0", DEFAULT, ["apple"], "x apple", 1.0, [("apple", 1.0, 2, 7)]),
    ("1.00000001 is 1.0 in binary32", DEFAULT, ["apple"], "I like apples and apple pie", 1.00000001,
     [("apple", 1.0, 18, 23)]),
    ("empty text", DEFAULT, ["apple"], "", 0.5, []),
    # The scan always advances: only states that consumed text are scored, so a clean name
    # longer than its keyword scores through a substitution instead of at offset 0.
    ("long clean name", DEFAULT, [("a", "alpha")], "b", 0.5, [("alpha", 0.8, 0, 1)]),
    ("empty keyword", DEFAULT, [("", "xyz")], "q", 0.5, [("xyz", 0.67, 0, 1)]),
    ("empty keyword, exact", DEFAULT, [("", "xyz")], "q", None, []),
    # A match of one space trims to start past end: not reported, but skipped over.
    ("single space match", DEFAULT, [" "], " ", 0.5, []),
    ("single space match, then more", DEFAULT, [" ", "b"], " b", 0.9, [("b", 1.0, 1, 2)]),
]


@pytest.mark.parametrize("flags, keywords, text, threshold, want",
                         [case[1:] for case in EXTRACT_EXAMPLES],
                         ids=[case[0] for case in EXTRACT_EXAMPLES])
def test_extraction_examples(flags, keywords, text, threshold, want):
    kp, model = build(keywords, **flags)
    assert extracted(kp, text, threshold) == widened(want)
    assert model.extract(text, threshold) == widened(want)


REPLACE_EXAMPLES = [
    ("clean name and folded keyword", DEFAULT, [("New York", "NYC"), "apple"],
     "I love New York and APPLE pie", None, "I love NYC and apple pie"),
    ("every whole word", DEFAULT, [("apple", "fruit")], "apple, apple and pineapple", None,
     "fruit, fruit and pineapple"),
    ("approximate", DEFAULT, [("apple", "fruit")], "an aple a day", 0.8, "an fruit a day"),
    ("leading space stays", DEFAULT, [("apple", "fruit")], " aple", 0.8, " fruit"),
    ("overlaps", OVERLAPS, [("apple", "fruit")], "pineapple pie", None, "pinefruit pie"),
    ("empty text", DEFAULT, [("apple", "fruit")], "", None, ""),
    ("no match", DEFAULT, [("apple", "fruit")], "nothing here", None, "nothing here"),
    ("case kept outside matches", DEFAULT, ["apple"], "APPLE Pie", None, "apple Pie"),
    # Offsets of the folded text carried back to the given one: İ folds to three bytes.
    ("after a longer folding", DEFAULT, [("apple", "fruit")], "İİ apple", None, "İİ fruit"),
    ("a folded match", DEFAULT, [("İstanbul", "IST")], "İSTANBUL apple", None, "IST apple"),
    ("single space match", DEFAULT, [(" ", "_")], " ", 0.5, " "),
]


@pytest.mark.parametrize("flags, keywords, text, threshold, want",
                         [case[1:] for case in REPLACE_EXAMPLES],
                         ids=[case[0] for case in REPLACE_EXAMPLES])
def test_replacement_examples(flags, keywords, text, threshold, want):
    kp, model = build(keywords, **flags)
    assert kp.replace_keywords(text, threshold) == want
    assert model.replace(text, threshold) == want


@pytest.mark.parametrize("threshold", BAD_THRESHOLDS)
@pytest.mark.parametrize("text", ["", "apple"])
def test_thresholds_outside_0_to_1_are_internal_faults(threshold, text, panic_type):
    kp, model = build(["apple"])
    for call in (kp.extract_keywords, kp.replace_keywords):
        with pytest.raises(panic_type, match="Threshold must be between 0 and 1"):
            call(text, threshold)
    with pytest.raises(ModelPanic):
        model.extract(text, threshold)
    assert extracted(kp, "apple", None) == [("apple", 1.0, 0, 5)]  # still usable


def test_threshold_none_and_omitted_mean_exact():
    kp, _ = build(["apple"])
    text = "I like apples and apple pie"
    assert extracted(kp, text, None) == [(m.keyword, m.similarity, m.start, m.end)
                                         for m in kp.extract_keywords(text)]
    assert kp.replace_keywords(text) == kp.replace_keywords(text, None) == "I like apples and apple pie"


def test_extracted_match_objects():
    kp, _ = build(["apple", "new york"])
    m = kp.extract_keywords("an applle a day", 0.8)[0]
    assert type(m) is PyKeywordMatch
    assert m.similarity == 0.8299999833106995
    assert repr(m) == "KeywordMatch(keyword='apple', similarity=0.83, start=3, end=9)"
    m = kp.extract_keywords("in new york")[0]
    assert repr(m) == "KeywordMatch(keyword='new york', similarity=1.00, start=3, end=11)"


# --- differential tests against the model -------------------------------------------------

# Text units: ASCII letters in both cases, edge whitespace, a hyphen, two-byte letters whose
# lowercase keeps its length, İ (two bytes, folding to three), the capital sigma (its
# lowercase depends on context) and a three-byte letter. Small pools make keywords share
# prefixes and make approximate scores tie.
TINY = ["a", "b"]
SMALL = ["a", "b", "c", " ", "-"]
MIXED = ["a", "b", "A", " ", "-", "é", "É", "İ", "Σ", "ß", "\t", "日"]
PADDING = ["", "é", "日本 ", "İ ", "Σ ", "éé-"]


def strings(units, max_units):
    return st.lists(st.sampled_from(units), max_size=max_units).map("".join)


@st.composite
def keyword_sets(draw, units):
    """Up to 8 keywords of 0-5 units, each with no clean name, an empty one or any other."""
    names = st.one_of(st.none(), st.just(""), strings(units + ["x", "yy"], 8))
    return draw(st.lists(st.tuples(strings(units, 5), names), min_size=1, max_size=8))


thresholds = st.one_of(
    st.none(),
    st.sampled_from([0.0, 0.1, 0.25, 0.3, 0.5, 0.6, 2 / 3, 0.7, 0.75, 0.8, 0.85, 0.9, 0.95, 0.99, 1.0]),
    st.floats(0.0, 1.0),
)


def text_budget(threshold):
    """Text bytes the model's literal search can afford: its work grows like 3^((1 - t) n)."""
    t = 1.0 if threshold is None else threshold
    return 40 if t >= 0.9 else 16 if t >= 0.7 else 10 if t >= 0.45 else 6


def cut(text, budget):
    """The longest prefix of `text` of at most `budget` UTF-8 bytes."""
    while len(text.encode()) > budget:
        text = text[:-1]
    return text


@st.composite
def cases(draw, units):
    keywords = draw(keyword_sets(units))
    threshold = draw(thresholds)
    text = draw(strings(units, 40))
    if draw(st.booleans()):
        text = draw(st.sampled_from(PADDING)) + text + draw(st.sampled_from(PADDING))
    return keywords, threshold, cut(text, text_budget(threshold))


flags = st.fixed_dictionaries({"case_sensitive": st.booleans(), "allow_overlaps": st.booleans()})
word_sets = st.one_of(st.none(), st.just("-"), st.just("abé"), st.just(["-", "a", "b", "\x87", "\xa9"]))

# The emulated 32-bit run is about ten times slower: it gets fewer examples of each.
# KWSIEVE_TEST_EXAMPLES overrides the count, for a longer soak.
EXAMPLES = int(os.environ.get("KWSIEVE_TEST_EXAMPLES", 30 if os.environ.get("KWSIEVE_I386_EMULATED") else 200))
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def check_against_model(case, flag_values, boundaries):
    keywords, threshold, text = case
    kp, model = build(keywords, boundaries=boundaries, **flag_values)
    want = model.extract(text, threshold)
    assert extracted(kp, text, threshold) == want
    # The replaced text is a valid str (no span cut a character) and equals the model's.
    replaced = kp.replace_keywords(text, threshold)
    assert replaced == model.replace(text, threshold)
    if not want:
        assert replaced == text


@SETTINGS
@given(case=cases(TINY), flag_values=flags)
def test_tiny_alphabet_ties_match_the_model(case, flag_values):
    check_against_model(case, flag_values, None)


@SETTINGS
@given(case=cases(SMALL), flag_values=flags, boundaries=word_sets)
def test_ascii_with_spaces_and_hyphens_matches_the_model(case, flag_values, boundaries):
    check_against_model(case, flag_values, boundaries)


@SETTINGS
@given(case=cases(MIXED), flag_values=flags, boundaries=word_sets)
@example(case=([("é", None)], 0.5, "É"), flag_values={"case_sensitive": False, "allow_overlaps": True},
         boundaries=None)
@example(case=([("a", "é")], 0.3, "日a"), flag_values={"case_sensitive": True, "allow_overlaps": True},
         boundaries=None)
def test_multibyte_letters_match_the_model(case, flag_values, boundaries):
    check_against_model(case, flag_values, boundaries)


@settings(max_examples=EXAMPLES // 4, deadline=None)
@given(keywords=keyword_sets(["a", "b"]), threshold=st.sampled_from([0.0, 0.2, 0.4]),
       text=strings(["a", "b", " "], 6), flag_values=flags)
def test_low_thresholds_match_the_model(keywords, threshold, text, flag_values):
    check_against_model((keywords, threshold, text), flag_values, None)


@settings(max_examples=EXAMPLES // 2, deadline=None)
@given(keywords=keyword_sets(["é", "日", "a", "İ"]), threshold=st.floats(0.5, 0.99),
       text=strings(["é", "日", "a", "İ", " ", "€"], 8).map(lambda s: cut(s, 10)), flag_values=flags)
def test_replacement_of_spans_inside_characters_stays_valid(keywords, threshold, text, flag_values):
    """Approximate spans can start or end inside a character; replacement widens them."""
    kp, model = build(keywords, **flag_values)
    replaced = kp.replace_keywords(text, threshold)
    assert isinstance(replaced, str)
    replaced.encode("utf-8")  # no lone surrogates either
    assert replaced == model.replace(text, threshold)


@settings(max_examples=EXAMPLES // 2, deadline=None)
@given(keywords=keyword_sets(SMALL), text=strings(SMALL, 40), flag_values=flags)
def test_exact_matches_are_spelled_by_the_text(keywords, text, flag_values):
    """Exact mode: every match is a stored keyword, whole, in increasing order."""
    kp, _ = build(keywords, **flag_values)
    stored = kp.get_all_keywords()
    folded = (text if flag_values["case_sensitive"] else text.lower()).encode()
    end = 0
    for m in kp.extract_keywords(text):
        assert end <= m.start <= m.end
        # A keyword that begins with edge whitespace is reported from the byte after it.
        trimmed = m.start > 0 and folded[m.start - 1] in b"\t\n\r " and m.start - 1 >= end
        spans = [folded[m.start:m.end]] + ([folded[m.start - 1:m.end]] if trimmed else [])
        assert any(stored.get(s.decode()) == m.keyword for s in spans)
        end = m.end
