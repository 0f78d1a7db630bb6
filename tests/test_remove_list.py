"""Keyword removal and listing, against a dict model of the stored keywords."""

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from kwsieve import KeywordProcessor


def fresh(keywords, case_sensitive=False):
    kp = KeywordProcessor(case_sensitive)
    for kw, clean in keywords.items():
        kp.add_keyword(kw, clean)
    return kp


def assert_pruned_like(kp, keywords):
    # The state is canonical (siblings sorted), so after any additions and removals it
    # must equal a fresh processor's: a node left behind would show up as extra bytes.
    assert kp.__getstate__() == fresh(keywords).__getstate__()


# The state machine below reaches these too; here they are certain.
@pytest.mark.parametrize("stored, removed, result, left", [
    (["new york"], "new", False, ["new york"]),  # a prefix node is not a keyword
    (["new", "new york"], "new", True, ["new york"]),
    (["new", "new york"], "new york", True, ["new"]),
    (["ab", "ac"], "a", False, ["ab", "ac"]),
    (["café", "ca"], "café", True, ["ca"]),
    (["", "a"], "", True, ["a"]),
    (["", "a"], "a", True, [""]),
])
def test_removal_prunes_exactly_the_emptied_nodes(stored, removed, result, left):
    kp = fresh({k: k.upper() for k in stored})
    assert kp.remove_keyword(removed) is result
    assert kp.get_all_keywords() == {k: k.upper() for k in left} and len(kp) == len(left)
    assert_pruned_like(kp, {k: k.upper() for k in left})
    assert kp.remove_keyword(removed) is False  # nothing left to remove
    assert KeywordProcessor(True).remove_keyword(removed) is False  # nor on an empty one


def test_case_rules_of_removal_and_listing():
    kp = fresh({"Apple": None}, case_sensitive=True)
    assert kp.remove_keyword("apple") is False and kp.get_all_keywords() == {"Apple": "Apple"}
    kp = fresh({"İ": "I"})  # lowercases to i + combining dot: three bytes, three levels
    listed = kp.get_all_keywords()
    listed["zzz"] = "added"  # a fresh dict each call
    assert kp.get_all_keywords() == {"i\u0307": "I"}
    assert kp.remove_keyword("İ") and kp.__getstate__() == KeywordProcessor().__getstate__()


def test_megabyte_keywords_are_listed_and_removed_without_recursion():
    long_a, long_b = "é" * 500_000, "é" * 499_999 + "e"
    kp = fresh({long_a: "A", long_b: "B", "é": "short"})
    assert kp.get_all_keywords() == {long_a: "A", long_b: "B", "é": "short"}
    assert kp.remove_keyword(long_a) and kp.remove_keyword("é")
    assert_pruned_like(kp, {long_b: "B"})
    assert kp.remove_keyword(long_b) and kp.__getstate__() == KeywordProcessor().__getstate__()


# Letters whose lowercase differs in byte length, plus the final-sigma context rule.
keywords = st.text(alphabet="aAbBéÉßẞİıΣσς -", max_size=5)
clean_names = st.one_of(st.none(), st.text(alphabet="xyZ€", max_size=3))


class AddRemoveList(RuleBasedStateMachine):
    """add_keyword/remove_keyword/get_all_keywords against a dict keyed by str.lower()."""

    def __init__(self):
        super().__init__()
        self.kp = KeywordProcessor()
        self.model = {}

    @rule(kw=keywords, clean=clean_names)
    def add(self, kw, clean):
        self.kp.add_keyword(kw, clean)
        self.model[kw.lower()] = kw.lower() if clean is None else clean

    @rule(kw=keywords)
    def remove(self, kw):
        assert self.kp.remove_keyword(kw) == (kw.lower() in self.model)
        self.model.pop(kw.lower(), None)

    @rule(data=st.data())
    def remove_stored(self, data):
        if self.model:
            kw = data.draw(st.sampled_from(sorted(self.model)))
            assert self.kp.remove_keyword(kw.upper() if kw.upper().lower() == kw else kw)
            del self.model[kw]

    @invariant()
    def listing_count_and_state_agree_with_model(self):
        assert self.kp.get_all_keywords() == self.model and len(self.kp) == len(self.model)
        assert self.kp.__getstate__() == fresh(self.model).__getstate__()


AddRemoveList.TestCase.settings = settings(max_examples=80, stateful_step_count=30, deadline=None)
test_add_remove_list_against_model = AddRemoveList.TestCase
