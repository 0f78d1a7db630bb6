"""Word tests on whole characters.

The character that ends just before a match and the character(s) after it decide whether a
match is a whole word; a word set with non-ASCII members must be tested on characters, not
on the UTF-8 bytes of their encodings. With the default set (ASCII only) both readings
agree, and results must not change at all: a differential test pins that against the byte
rule. Non-ASCII sets are checked against the reference model, which works on the `str`.
"""

import os

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from kwsieve import KeywordProcessor
from model import paired, tuples

EXAMPLES = int(os.environ.get("KWSIEVE_TEST_EXAMPLES", 30 if os.environ.get("KWSIEVE_I386_EMULATED") == "1" else 150))

# Each (keywords, word characters added, text, threshold, expected) row: the first three
# are the cases a byte test got wrong (東 starts with byte E6, the number of 'æ'; 'æ' and
# 'é' are C3 A6 and C3 A9, whose bytes are not members).
CASES = [
    (["tokyo"], "æé", "tokyo東", None, [("tokyo", 1.0, 0, 5)]),
    (["tokyo"], "æé", "tokyoæ", None, []),
    (["caf"], "æé", "café", None, []),
    (["caf"], "æé", "café", 0.8, []),
    (["tokyo"], "æé", "東tokyo", None, [("tokyo", 1.0, 3, 8)]),
    (["tokyo"], "æé", "ætokyo", None, []),
    (["tokyo"], "æé", "ætokyo", 0.8, []),
    # Greek letters as word characters: a keyword inside a Greek word is no match.
    (["λόγος"], "αβγδεζηθικλμνξοπρστυφχψωόςέ", "ο λόγος", None, [("λόγος", 1.0, 3, 13)]),
    (["λόγ"], "αβγδεζηθικλμνξοπρστυφχψωόςέ", "ο λόγος", None, []),
    # A 4-byte character as a word character, before and after.
    (["x"], "\U0001F600", "\U0001F600x", None, []),
    (["x"], "\U0001F600", "x\U0001F600", None, []),
    (["x"], "\U0001F600", "\U0001F601x\U0001F601", None, [("x", 1.0, 4, 5)]),
    # A combining acute accent (U+0301) as a word character ends no word.
    (["cafe"], "\u0301", "cafe\u0301", None, []),
    (["cafe"], "\u0301", "cafe\u0302", None, [("cafe", 1.0, 0, 4)]),
    # Approximate mode: a window of three characters after the match, so one non-word
    # character among them is enough.
    (["apple"], "éè", "applé", 0.8, []),
    (["apple"], "éè", "apples!", 0.8, [("apple", 1.0, 0, 5)]),
    (["apple"], "éè", "appleéè", 0.8, []),
    (["apple"], "éè", "appleéèé.", 0.8, []),
    (["apple"], "éè", "appleéè.", 0.8, [("apple", 1.0, 0, 5)]),
    (["apple"], "éè", "appleé.", 0.8, [("apple", 1.0, 0, 5)]),
]


@pytest.mark.parametrize("keywords, added, text, threshold, expected", CASES)
def test_word_characters_beyond_ascii(keywords, added, text, threshold, expected):
    kp = KeywordProcessor()
    for k in keywords:
        kp.add_keyword(k)
    for ch in added:
        kp.add_non_word_boundary(ch)
    assert tuples(kp.extract_keywords(text, threshold)) == expected
    assert tuples(kp.parallel_extract_keywords_from_texts([text, text], threshold)) == [expected] * 2


def test_word_set_from_a_state_and_back_to_ascii():
    kp = KeywordProcessor()
    kp.add_keyword("tokyo")
    kp.set_non_word_boundaries(list("abcdefghijklmnopqrstuvwxyzæ"))
    restored = KeywordProcessor()
    restored.__setstate__(kp.__getstate__())
    for p in (kp, restored):
        assert tuples(p.extract_keywords("tokyo東 tokyoæ")) == [("tokyo", 1.0, 0, 5)]
    # Back to ASCII members only: the byte test again, with the same answers.
    kp.set_non_word_boundaries(list("abcdefghijklmnopqrstuvwxyz"))
    assert tuples(kp.extract_keywords("tokyo東 tokyoæ")) == [("tokyo", 1.0, 0, 5), ("tokyo", 1.0, 9, 14)]


# Characters of several scripts and lengths: ASCII, accented Latin (2 bytes, some with a
# capital that folds), Greek with a final sigma, CJK (3 bytes), a combining mark, 4-byte
# characters, separators. Units of a few characters make keywords recur in texts.
ALPHABET = ["a", "b", "K", "é", "É", "ß", "σ", "Σ", "λ", "東", "京", "\u0301", "\U0001F600", "\U00010400",
            "İ", " ", "-", "."]
units = st.lists(st.sampled_from(ALPHABET), min_size=1, max_size=3).map("".join)


ASCII_SETS = st.one_of(st.none(), st.lists(st.sampled_from("abK_-. 09"), max_size=6))


@settings(max_examples=2 * EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(keywords=st.lists(units, min_size=1, max_size=5),
       pieces=st.lists(st.one_of(units, st.integers(0, 4)), max_size=8),
       word_chars=st.one_of(ASCII_SETS, st.lists(st.sampled_from(ALPHABET), min_size=1, max_size=10)),
       case_sensitive=st.booleans(), allow_overlaps=st.booleans(),
       threshold=st.sampled_from([None, None, 0.8, 0.7]))
def test_word_sets_match_the_character_model_and_ascii_ones_keep_the_byte_results(
        keywords, pieces, word_chars, case_sensitive, allow_overlaps, threshold):
    kp, model = paired(keywords, case_sensitive, allow_overlaps, word_chars)
    text = "".join(keywords[p % len(keywords)] if isinstance(p, int) else p for p in pieces)
    want = (model.extract(text, threshold), model.replace(text, threshold))
    assert (tuples(kp.extract_keywords(text, threshold)), kp.replace_keywords(text, threshold)) == want
    if word_chars is None or all(c.isascii() for c in word_chars):
        model.byte_rule = True  # ASCII members only: the byte rule gives the same results
        assert (model.extract(text, threshold), model.replace(text, threshold)) == want
