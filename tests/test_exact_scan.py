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


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(keywords=st.lists(strings(6), min_size=1, max_size=12),
       pieces=st.lists(st.one_of(strings(4), st.integers(0, 11)), max_size=60),
       case_sensitive=st.booleans(), allow_overlaps=st.booleans(), boundaries=WORD_SETS)
def test_long_texts_match_the_model(keywords, pieces, case_sensitive, allow_overlaps, boundaries):
    kp = KeywordProcessor(case_sensitive=case_sensitive, allow_overlaps=allow_overlaps)
    model = Model(case_sensitive, allow_overlaps)
    for kw in keywords:
        kp.add_keyword(kw)
        model.add_keyword(kw, None)
    if boundaries is not None:
        kp.set_non_word_boundaries(list(boundaries))
        model.set_non_word_boundaries(boundaries)
    # The text mixes random runs with copies of the keywords (an integer picks one, with
    # its neighbours' separators left to chance), so that matches are common.
    text = "".join(keywords[p % len(keywords)] if isinstance(p, int) else p for p in pieces)
    got = [(m.keyword, m.similarity, m.start, m.end) for m in kp.extract_keywords(text)]
    assert got == model.extract(text, None)
    assert kp.replace_keywords(text) == model.replace(text, None)
