"""Case folding as seen through a case-insensitive KeywordProcessor.

Keywords are stored folded, so the folding table is checked against str.lower() through
get_all_keywords() (for every code point by tests/cpp/case_fold_check.py), and the mapping
of folded offsets back to the given text through replace_keywords() against tests/model.py.
The tables are generated for one Unicode version; under another one str.lower() is not the
reference, and the module is skipped.
"""

import unicodedata

import pytest
from hypothesis import given, settings, strategies as st

import kwsieve
from model import paired, tuples

pytestmark = pytest.mark.skipif(unicodedata.unidata_version != "15.1.0",
                                reason="case tables are generated from Unicode 15.1.0")

SCALARS = [c for c in range(0x110000) if not 0xD800 <= c <= 0xDFFF]
CHANGING = [chr(c) for c in SCALARS if chr(c).lower() != chr(c)]


def folded_keywords(chars):
    kp = kwsieve.KeywordProcessor()
    for ch in chars:
        kp.add_keyword(ch)
    return kp.get_all_keywords()


def expected_keywords(chars):
    return {ch.lower(): ch.lower() for ch in chars}


def test_every_changing_code_point_folds_like_str_lower():
    # Alone, a capital sigma has nothing cased before it and takes the non-final form.
    sample = CHANGING + [chr(c) for c in SCALARS[::101]]
    assert folded_keywords(sample) == expected_keywords(sample)
    assert folded_keywords(["\u0130"]) == {"i\u0307": "i\u0307"}
    # A capital sigma takes the final form at the end of a word, in keywords and texts.
    for text in ["ΑΣ", "ΑΣ.", "ΑΣΑ", "Σ", "Α'Σ", "Α\u0301Σ b", "ΣΑ", "ΑΣ'Α", "ΑΣ.Α", "ΟΔΥΣΣΕΥΣ",
                 "ὈΔΥΣΣΕΎΣ", "a\u0345Σ", "\u0345Σ", "ΑΣ\u0345Α", "A\U000E0001Σ", "AΣ\U000E0001",
                 "'Σ'", "ΣΣ", "ΑΣΣ", "ΑΣ ΣΑ", "1Σ", "ΑΣ1", "ʰΣ", "AʰΣ", "ΑΣʰ", "ΑΣʰΑ"]:
        assert folded_keywords([text]) == expected_keywords([text])
        kp = kwsieve.KeywordProcessor()
        kp.add_keyword(text)
        assert tuples(kp.extract_keywords(text)) == [(text.lower(), 1.0, 0, len(text.lower().encode()))]


# A str is stored in one of three widths, and a text is folded from that storage: every
# changing character as text, in each width it can appear in, must fold to what its
# keyword folds to (checked against str.lower above), so each is found whole.
@pytest.mark.parametrize("limit", [0x100, 0x10000, 0x110000])
def test_texts_of_every_storage_width_fold_like_their_keywords(limit):
    chars = [c for c in CHANGING if ord(c) < limit]
    kp = kwsieve.KeywordProcessor()
    for ch in chars:
        kp.add_keyword(ch)
    expected, at = [], 0
    for ch in chars:
        end = at + len(ch.lower().encode())
        expected.append((ch.lower(), 1.0, at, end))
        at = end + 1
    assert tuples(kp.extract_keywords(" ".join(chars))) == expected


# Letters on both sides of the sigma rule (cased, case-ignorable, neither) and the
# characters whose byte length changes, for random keywords.
FOLD_ALPHABET = st.sampled_from(
    list("AaΣσΑΩΟ '.:^`-1_") + ["\u0301", "\u0345", "\u02b0", "\u00ad", "\U000E0001",
                                 "\u0130", "\u212a", "\u212b", "\u2126", "\u023a",
                                 "\u1e9e", "\u2c62", "\U00010400", "\u00df", "ǅ"])


@settings(max_examples=400, deadline=None)
@given(st.lists(st.text(FOLD_ALPHABET, max_size=12), min_size=1, max_size=6))
def test_keywords_are_stored_folded_like_str_lower(keywords):
    kp = kwsieve.KeywordProcessor()
    for k in keywords:
        kp.add_keyword(k)
    assert kp.get_all_keywords() == expected_keywords(keywords)
    assert len(kp) == len({k.lower() for k in keywords})
    # Removal folds the same way: another spelling of the folded form removes it.
    for k in keywords:
        present = k.lower() in kp.get_all_keywords()
        spelling = k.upper() if k.upper().lower() == k.lower() else k
        assert kp.remove_keyword(spelling) is present
    assert len(kp) == 0


KEYWORDS = {"apple": "fruit", "İstanbul": "IST", "\u212aelvin": "K", "ΟΔΥΣΣΕΥΣ": "Odysseus",
            "ȺB": "AB", "straẞe": "street", "new york": "NYC", "i": "eye", "Ωmega": "omega"}
TOKENS = st.sampled_from(
    ["apple", "APPLE", "Apple", "İstanbul", "İSTANBUL", "istanbul", "İ", "i", "İİ",
     "\u212aELVIN", "kelvin", "ΟΔΥΣΣΕΥΣ", "οδυσσευς", "ȺB", "ⱥb", "STRAẞE", "straße",
     "New York", "NEW YORK", "\u2126MEGA", "ωmega", "pineapple", "Ⱥ", "ẞ", "Σ"])
SEPARATORS = st.sampled_from([" ", ", ", "-", ".", "\n", "é", "'", " \u0301"])


@settings(max_examples=400, deadline=None)
@given(st.lists(st.tuples(TOKENS, SEPARATORS), max_size=10)
       .map(lambda p: "".join(t + s for t, s in p)[:-len(p[-1][1])] if p else ""))
def test_replacement_carries_folded_spans_back_to_the_given_text(text):
    kp, model = paired(KEYWORDS.items())
    assert tuples(kp.extract_keywords(text)) == model.extract(text)
    assert kp.replace_keywords(text) == model.replace(text)
