"""Case folding as seen through a case-insensitive KeywordProcessor.

Keywords are stored in their folded form and texts are folded before matching, so
the folding table is checked against str.lower() through get_all_keywords(), and the
mapping of folded offsets back to the given text through replace_keywords(). The
tables are generated for one Unicode version; under another one str.lower() is not
the reference, and the module is skipped.
"""

import unicodedata

import pytest
from hypothesis import given, settings, strategies as st

import kwsieve

pytestmark = pytest.mark.skipif(unicodedata.unidata_version != "15.1.0",
                                reason="case tables are generated from Unicode 15.1.0")

SIGMA = "\u03a3"
SCALARS = [c for c in range(0x110000) if not 0xD800 <= c <= 0xDFFF]
CHANGING = [chr(c) for c in SCALARS if chr(c).lower() != chr(c)]


def folded_keywords(chars):
    kp = kwsieve.KeywordProcessor()
    for ch in chars:
        kp.add_keyword(ch)
    return kp.get_all_keywords()


def expected_keywords(chars):
    return {ch.lower(): ch.lower() for ch in chars}


@pytest.mark.slow
def test_every_code_point_folds_like_str_lower():
    for i in range(0, len(SCALARS), 0x10000):
        chars = [chr(c) for c in SCALARS[i:i + 0x10000]]
        assert folded_keywords(chars) == expected_keywords(chars), hex(SCALARS[i])


def test_every_changing_code_point_folds_like_str_lower():
    # Alone, a capital sigma has nothing cased before it and takes the non-final form.
    sample = CHANGING + [chr(c) for c in SCALARS[::101]]
    assert folded_keywords(sample) == expected_keywords(sample)
    assert "\u0130".lower().encode() == b"i\xcc\x87"
    assert "i\u0307" in folded_keywords(["\u0130"])


FINAL_SIGMA_CASES = [
    "ΑΣ", "ΑΣ.", "ΑΣΑ", "Σ", "Α'Σ", "Α\u0301Σ b", "ΣΑ", "ΑΣ'Α", "ΑΣ.Α", "ΟΔΥΣΣΕΥΣ",
    "ὈΔΥΣΣΕΎΣ", "a\u0345Σ", "\u0345Σ", "ΑΣ\u0345Α", "A\U000E0001Σ", "AΣ\U000E0001",
    "'Σ'", "ΣΣ", "ΑΣΣ", "ΑΣ ΣΑ", "1Σ", "ΑΣ1", "ʰΣ", "AʰΣ", "ΑΣʰ", "ΑΣʰΑ",
]


@pytest.mark.parametrize("keyword", FINAL_SIGMA_CASES)
def test_capital_sigma_takes_the_final_form_at_the_end_of_a_word(keyword):
    assert folded_keywords([keyword]) == expected_keywords([keyword])


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
    # Removal folds the same way, so another spelling with the same folded form
    # removes the keyword.
    for k in keywords:
        present = k.lower() in kp.get_all_keywords()
        spelling = k.upper() if k.upper().lower() == k.lower() else k
        assert kp.remove_keyword(spelling) is present
    assert len(kp) == 0


# Reference model of exact, whole-word extraction over the folded text with the
# default word characters, and of replacement carried back to the given text.

WORD_BYTES = frozenset(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_")


def folded_char_table(text):
    """(source start, source length, folded start, folded length) per character."""
    table, src, dst = [], 0, 0
    for ch in text:
        n = len(ch.encode())
        m = 2 if ch == SIGMA else len(ch.lower().encode())
        table.append((src, n, dst, m))
        src, dst = src + n, dst + m
    return table


def reference_matches(text, keywords):
    """Exact mode: longest keyword at each permitted start, end must not be a word byte."""
    w = text.lower().encode()
    folded = {k.lower().encode(): clean for k, clean in keywords.items()}
    matches, p = [], 0
    while p < len(w):
        if p > 0 and w[p - 1] in WORD_BYTES:
            p += 1
            continue
        best = max((k for k in folded if k and w.startswith(k, p)), key=len, default=None)
        end = p + len(best) if best else None
        if best is None or (end < len(w) and w[end] in WORD_BYTES):
            p += 1
            continue
        matches.append((folded[best], p, end))
        p = end
    return matches


def reference_replace(text, keywords):
    """Each folded span widens to the source characters holding its first and last byte."""
    table = folded_char_table(text)
    source = text.encode()

    def holder(f):
        return next(row for row in table if row[2] <= f < row[2] + row[3])

    out, at = [], 0
    for clean, start, end in reference_matches(text, keywords):
        s_row, e_row = holder(start), holder(end - 1)
        s = s_row[0] + (start - s_row[2] if s_row[1] == s_row[3] else 0)
        e = e_row[0] + (end - e_row[2] if e_row[1] == e_row[3] else e_row[1])
        out.append(source[at:s] + clean.encode())
        at = e
    out.append(source[at:])
    return b"".join(out).decode()


KEYWORDS = {"apple": "fruit", "İstanbul": "IST", "\u212aelvin": "K", "ΟΔΥΣΣΕΥΣ": "Odysseus",
            "ȺB": "AB", "straẞe": "street", "new york": "NYC", "i": "eye", "Ωmega": "omega"}
TOKENS = st.sampled_from(
    ["apple", "APPLE", "Apple", "İstanbul", "İSTANBUL", "istanbul", "İ", "i", "İİ",
     "\u212aELVIN", "kelvin", "ΟΔΥΣΣΕΥΣ", "οδυσσευς", "ȺB", "ⱥb", "STRAẞE", "straße",
     "New York", "NEW YORK", "\u2126MEGA", "ωmega", "pineapple", "Ⱥ", "ẞ", "Σ"])
SEPARATORS = st.sampled_from([" ", ", ", "-", ".", "\n", "é", "'", " \u0301"])


@st.composite
def texts(draw):
    parts = []
    for token in draw(st.lists(TOKENS, max_size=10)):
        parts.append(token)
        parts.append(draw(SEPARATORS))
    return "".join(parts[:-1])


@settings(max_examples=400, deadline=None)
@given(texts())
def test_replacement_carries_folded_spans_back_to_the_given_text(text):
    kp = kwsieve.KeywordProcessor()
    for keyword, clean in KEYWORDS.items():
        kp.add_keyword(keyword, clean)
    got = kp.extract_keywords(text)
    assert [(m.keyword, m.start, m.end) for m in got] == reference_matches(text, KEYWORDS)
    assert kp.replace_keywords(text) == reference_replace(text, KEYWORDS)


@pytest.mark.parametrize("text, want", [
    ("İstanbul apple", "İstanbul fruit"),
    ("apple İstanbul apple", "fruit İstanbul fruit"),
    ("\u212a\u212a apple \u212a", "\u212a\u212a fruit \u212a"),
    ("ȺȺȺ APPLE", "ȺȺȺ fruit"),
    ("ẞẞ apple", "ẞẞ fruit"),
    ("İ" * 100 + " apple " + "İ" * 100, "İ" * 100 + " fruit " + "İ" * 100),
])
def test_text_before_a_match_may_change_length_when_folded(text, want):
    kp = kwsieve.KeywordProcessor()
    kp.add_keyword("apple", "fruit")
    assert kp.replace_keywords(text) == want


def test_offsets_of_extraction_are_in_the_folded_text():
    kp = kwsieve.KeywordProcessor()
    kp.add_keyword("apple")
    [m] = kp.extract_keywords("İstanbul apple")
    assert (m.keyword, m.start, m.end) == ("apple", 11, 16)
    assert "İstanbul apple".lower().encode()[m.start:m.end] == b"apple"


def test_a_keyword_inside_a_folded_character_replaces_the_whole_character():
    kp = kwsieve.KeywordProcessor()
    kp.add_keyword("i", "eye")
    # İ folds to i + U+0307; the combining dot is not a word byte, so 'i' matches and
    # the span widens to all of İ.
    assert kp.replace_keywords("İ x") == "eye x"
    assert kp.replace_keywords("x İ") == "x eye"


def test_a_case_sensitive_processor_does_not_fold():
    kp = kwsieve.KeywordProcessor(case_sensitive=True)
    kp.add_keyword("İstanbul", "IST")
    kp.add_keyword("apple", "fruit")
    assert kp.get_all_keywords() == {"İstanbul": "IST", "apple": "fruit"}
    assert kp.replace_keywords("İstanbul apple APPLE") == "IST fruit APPLE"
    assert [(m.start, m.end) for m in kp.extract_keywords("İstanbul apple")] == [(0, 9), (10, 15)]
