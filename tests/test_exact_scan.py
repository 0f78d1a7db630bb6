"""The exact scan on long texts and long keywords, against the reference model.

The module's exact scan reads the text in 64-byte windows and asks a filter, keyed on the
eight bytes at a start and on where a word can end within them, before it walks the trie.
These cases are sized to reach what short texts cannot: matches that cross or end at a
window edge, restarts after a long match, keywords longer than the eight filtered bytes,
keywords that end exactly at the eighth byte or at the end of the text, and words of
every length around eight bytes.
"""

import os

from hypothesis import HealthCheck, given, settings, strategies as st

from model import Model
from kwsieve import KeywordProcessor

# Runs of one letter make keywords that share 8-byte prefixes yet differ later; the
# multi-byte units put non-word bytes inside words and change length when folded.
UNITS = ["a", "aaaa", "aaaaaaa", "b", "bbbbbbbb", "B", "é", "İ", "日", " ", "-", "\n", "_"]
WORD_SETS = st.one_of(st.none(), st.just("-"), st.just("a\xa9"), st.just(["b", "\x87", "\xe6"]))
EXAMPLES = int(os.environ.get("KWSIEVE_TEST_EXAMPLES", 30 if os.environ.get("KWSIEVE_I386_EMULATED") else 200))


def strings(max_units):
    return st.lists(st.sampled_from(UNITS), max_size=max_units).map("".join)


def processor_and_model(keywords, case_sensitive, allow_overlaps, boundaries):
    kp = KeywordProcessor(case_sensitive=case_sensitive, allow_overlaps=allow_overlaps)
    model = Model(case_sensitive, allow_overlaps)
    for kw in keywords:
        kp.add_keyword(kw)
        model.add_keyword(kw, None)
    if boundaries is not None:
        kp.set_non_word_boundaries(list(boundaries))
        model.set_non_word_boundaries(boundaries)
    return kp, model


def assert_same(kp, model, texts):
    for t in texts:
        got = [(m.keyword, m.similarity, m.start, m.end) for m in kp.extract_keywords(t)]
        assert got == model.extract(t, None)
    assert kp.replace_keywords(texts[0]) == model.replace(texts[0], None)


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(keywords=st.lists(strings(6), min_size=1, max_size=12),
       pieces=st.lists(st.one_of(strings(4), st.integers(0, 11)), max_size=60),
       case_sensitive=st.booleans(), allow_overlaps=st.booleans(), boundaries=WORD_SETS)
def test_long_texts_match_the_model(keywords, pieces, case_sensitive, allow_overlaps, boundaries):
    kp, model = processor_and_model(keywords, case_sensitive, allow_overlaps, boundaries)
    # The text mixes random runs with copies of the keywords (an integer picks one, with
    # its neighbours' separators left to chance), so that matches are common.
    text = "".join(keywords[p % len(keywords)] if isinstance(p, int) else p for p in pieces)
    assert_same(kp, model, [text])


# Phrases from a few words that share long prefixes: the filter keys on the first 8 bytes, on
# the word ends within them, and then on 16 bytes and the word ends at 8..15, so keywords
# must agree past 8 bytes, end at every length from 7 to 17, and hold non-word bytes inside
# their first 8 bytes (a first word that a longer keyword goes on from).
WORDS = ["in", "int", "the", "thepri", "theprin", "theprince", "a", "abcdefghijklmnop", "q"]
SEPARATORS = [" ", "-", "", ". "]


def phrases(max_words):
    return st.lists(st.tuples(st.sampled_from(WORDS), st.sampled_from(SEPARATORS)),
                    min_size=1, max_size=max_words).map(lambda ws: "".join(w + s for w, s in ws).rstrip(" .-"))


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(keywords=st.lists(phrases(4), min_size=1, max_size=10),
       pieces=st.lists(st.one_of(phrases(3), st.sampled_from(SEPARATORS),
                                 st.tuples(st.integers(0, 9), st.integers(1, 20))), max_size=30),
       case_sensitive=st.booleans(), allow_overlaps=st.booleans(),
       boundaries=st.one_of(st.none(), st.just(list("abcdefghijklmnopqrstuvwxyz")), st.just(["-", "n"])))
def test_keywords_sharing_long_prefixes_match_the_model(keywords, pieces, case_sensitive, allow_overlaps,
                                                        boundaries):
    kp, model = processor_and_model(keywords, case_sensitive, allow_overlaps, boundaries)
    # A pair (i, k) stands for the first k bytes of keyword i: texts that stop inside a
    # keyword, on either side of the eighth and sixteenth byte.
    text = "".join(keywords[p[0] % len(keywords)][:p[1]] if isinstance(p, tuple) else p for p in pieces)
    assert_same(kp, model, [text, text.upper(), text[: len(text) // 2]])
