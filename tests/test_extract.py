"""Extraction and replacement, against the examples and against tests/model.py.

Every example runs through both kwsieve and the model. The property tests then compare
the two on inputs built to hit the hard parts: tiny alphabets (equal approximate scores,
decided by search order), shared prefixes, empty keywords and names, spaces and hyphens at
match edges, letters whose lowercase changes length, and multi-byte padding so that byte
and character offsets part ways; long texts and keywords for the exact scan. The model's
search is the literal, unpruned one, so any pruning that changes a result shows up here.
"""

import os

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from model import f32, paired as build, tuples


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
    ("third byte of the window", DEFAULT, ["apple"], "applexy z", 0.8, [("apple", 1.0, 0, 5)]),
    ("window cut at the end", DEFAULT, ["apple"], "I like apples", 0.8, []),
    ("keyword byte skipped", DEFAULT, ["apple"], "an aple a day", 0.8, [("apple", 0.8, 3, 7)]),
    ("text byte skipped", DEFAULT, ["apple"], "an applle a day", 0.8, [("apple", 0.83, 3, 9)]),
    ("no skip at the end of the text", DEFAULT, ["apple"], "appl", 0.7, []),
    ("skip before more text", DEFAULT, ["apple"], "appl x", 0.7, [("apple", 0.8, 0, 4)]),
    ("score 0.625 rounds half up", DEFAULT, ["abcdefgh"], "abcde x", 0.6, [("abcdefgh", 0.63, 0, 5)]),
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
    assert tuples(kp.extract_keywords(text, threshold)) == widened(want)
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
    ("after a long folded text", DEFAULT, [("apple", "fruit")], "İ" * 99 + " apple " + "Ⱥ" * 99, None,
     "İ" * 99 + " fruit " + "Ⱥ" * 99),
    ("a folded match", DEFAULT, [("İstanbul", "IST")], "İSTANBUL apple", None, "IST apple"),
    ("single space match", DEFAULT, [(" ", "_")], " ", 0.5, " "),
    ("inside a folded character", DEFAULT, [("i", "eye")], "İ x", None, "eye x"),
    ("case-sensitive", CASED, [("İstanbul", "IST"), ("apple", "fruit")], "İstanbul apple APPLE",
     None, "IST fruit APPLE"),
]


@pytest.mark.parametrize("flags, keywords, text, threshold, want",
                         [case[1:] for case in REPLACE_EXAMPLES],
                         ids=[case[0] for case in REPLACE_EXAMPLES])
def test_replacement_examples(flags, keywords, text, threshold, want):
    kp, model = build(keywords, **flags)
    assert kp.replace_keywords(text, threshold) == want
    assert model.replace(text, threshold) == want


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
# A byte of a multi-byte character is tested as the code point with its number: "\xc3"
# is a lead byte, "\x87" and "\xa9" continuation bytes; no byte is an astral code point.
word_sets = st.sampled_from([None, "-", "abé", ["-", "a", "b", "\x87", "\xa9", "\xc3", "\U0001F600"]])

# The emulated 32-bit run is about ten times slower: it gets fewer examples of each.
# KWSIEVE_TEST_EXAMPLES overrides the count, for a longer soak.
EXAMPLES = int(os.environ.get("KWSIEVE_TEST_EXAMPLES", 30 if os.environ.get("KWSIEVE_I386_EMULATED") == "1" else 200))
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def check_against_model(case, flag_values, boundaries=None):
    keywords, threshold, text = case
    kp, model = build(keywords, boundaries=boundaries, **flag_values)
    want = model.extract(text, threshold)
    assert tuples(kp.extract_keywords(text, threshold)) == want
    # Equal to the model's also means a valid str: no span cut a character.
    replaced = kp.replace_keywords(text, threshold)
    assert replaced == model.replace(text, threshold)
    assert want or replaced == text


@SETTINGS
@pytest.mark.parametrize("units", [TINY, SMALL, MIXED], ids=["tiny", "small", "mixed"])
@given(data=st.data(), flag_values=flags, boundaries=word_sets)
def test_extraction_and_replacement_match_the_model(units, data, flag_values, boundaries):
    check_against_model(data.draw(cases(units)), flag_values, boundaries)


@pytest.mark.parametrize("case, case_sensitive", [
    (([("é", None)], 0.5, "É"), False),
    (([("a", "é")], 0.3, "日a"), True),
])
def test_found_differences_stay_fixed(case, case_sensitive):
    check_against_model(case, {"case_sensitive": case_sensitive, "allow_overlaps": True})


@settings(max_examples=EXAMPLES // 4, deadline=None)
@given(keywords=keyword_sets(["a", "b"]), threshold=st.sampled_from([0.0, 0.2, 0.4]),
       text=strings(["a", "b", " "], 6), flag_values=flags)
def test_low_thresholds_match_the_model(keywords, threshold, text, flag_values):
    check_against_model((keywords, threshold, text), flag_values)


@settings(max_examples=EXAMPLES // 2, deadline=None)
@given(keywords=keyword_sets(["é", "日", "a", "İ"]), threshold=st.floats(0.5, 0.99),
       text=strings(["é", "日", "a", "İ", " ", "€"], 8).map(lambda s: cut(s, 10)), flag_values=flags)
def test_spans_inside_characters_widen_like_the_model(keywords, threshold, text, flag_values):
    """Approximate spans can start or end inside a character; replacement widens them."""
    check_against_model((keywords, threshold, text), flag_values)


# --- long texts and long keywords: the exact scan -----------------------------------------
#
# The exact scan reads the text in 64-byte windows and asks a filter, keyed on the eight
# bytes at a start and on where a word can end within them (then on 16 bytes and the word
# ends at 8..15), before it walks the trie. These cases reach what short texts cannot:
# matches that cross or end at a window edge, restarts after a long match, keywords longer
# than the filtered bytes, ending exactly at the eighth byte or at the end of the text.

# Runs of one letter make keywords that share 8-byte prefixes yet differ later; the
# multi-byte units put non-word bytes inside words and change length when folded.
LONG_UNITS = ["a", "aaaa", "aaaaaaa", "b", "bbbbbbbb", "B", "é", "İ", "日", " ", "-", "\n", "_"]


@SETTINGS
@given(keywords=st.lists(strings(LONG_UNITS, 6), min_size=1, max_size=12),
       pieces=st.lists(st.one_of(strings(LONG_UNITS, 4), st.integers(0, 11)), max_size=60),
       flag_values=flags, boundaries=st.sampled_from([None, "-", "a\xa9", ["b", "\x87", "\xe6"]]))
def test_long_texts_match_the_model(keywords, pieces, flag_values, boundaries):
    # Random runs mixed with copies of the keywords (an integer picks one, its neighbours'
    # separators left to chance), so that matches are common.
    text = "".join(keywords[p % len(keywords)] if isinstance(p, int) else p for p in pieces)
    check_against_model((keywords, None, text), flag_values, boundaries)


# Phrases of words that share long prefixes: keywords agree past 8 bytes, end at every
# length from 7 to 17, and hold non-word bytes inside their first 8 bytes.
WORDS = ["in", "int", "the", "thepri", "theprin", "theprince", "a", "abcdefghijklmnop", "q"]
SEPARATORS = [" ", "-", "", ". "]
phrases = st.lists(st.tuples(st.sampled_from(WORDS), st.sampled_from(SEPARATORS)), min_size=1, max_size=4
                   ).map(lambda ws: "".join(w + s for w, s in ws).rstrip(" .-"))


@SETTINGS
@given(keywords=st.lists(phrases, min_size=1, max_size=10),
       pieces=st.lists(st.one_of(phrases, st.sampled_from(SEPARATORS),
                                 st.tuples(st.integers(0, 9), st.integers(1, 20))), max_size=30),
       flag_values=flags, boundaries=st.sampled_from([None, "abcdefghijklmnopqrstuvwxyz", "-n"]))
def test_keywords_sharing_long_prefixes_match_the_model(keywords, pieces, flag_values, boundaries):
    # A pair (i, k) stands for the first k bytes of keyword i: texts that stop inside a
    # keyword, on either side of the eighth and sixteenth byte.
    text = "".join(keywords[p[0] % len(keywords)][:p[1]] if isinstance(p, tuple) else p for p in pieces)
    for t in (text, text.upper(), text[: len(text) // 2]):
        check_against_model((keywords, None, t), flag_values, boundaries)


# One processor over a run of calls: approximate searches reuse results that earlier calls
# found for the same bytes, so each text must still get what the model gives it alone. Texts
# share their first words and end at every point inside them; a call that fails on a lone
# surrogate comes in between.
@SETTINGS
@given(keywords=keyword_sets(TINY), calls=st.lists(st.tuples(
           st.lists(st.sampled_from(["ab", "ab a", "ba", "a b", "aab", "b", " ", "\ud800"]), max_size=6).map("".join),
           st.sampled_from([0.5, 0.6, 0.75, 0.8, 0.9])), min_size=2, max_size=12),
       flag_values=flags)
def test_calls_in_turn_match_the_model_each(keywords, calls, flag_values):
    kp, model = build(keywords, **flag_values)
    for text, threshold in calls:
        if "\ud800" in text:
            with pytest.raises(UnicodeEncodeError):
                kp.extract_keywords(text, threshold)
            continue
        text = cut(text, text_budget(threshold))
        assert tuples(kp.extract_keywords(text, threshold)) == model.extract(text, threshold)
