"""Pickling and copying of KeywordProcessor through __getstate__/__setstate__."""

import copy
import pickle

import pytest

from kwsieve import KeywordProcessor
from model import tuples

TEXT = "Die Äpfel von new york, NEW YORK und naïve-Café; apple_pie x-ray é"


def loaded():
    kp = KeywordProcessor(case_sensitive=True, allow_overlaps=True)
    for kw, clean in [("new york", "NYC"), ("NEW YORK", "shouting"), ("Café", None),
                      ("apple", "fruit"), ("x", ""), ("é", "e-acute")]:
        kp.add_keyword(kw, clean)
    kp.set_non_word_boundaries(["a", "b", "-"])
    return kp


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickles_and_copies_are_equal_and_independent(protocol):
    kp = loaded()
    if protocol < 2:  # old protocols are refused
        with pytest.raises(TypeError):
            pickle.dumps(kp, protocol)
        return
    before = kp.__getstate__()
    empty = pickle.loads(pickle.dumps(KeywordProcessor(), protocol))
    assert len(empty) == 0 and empty.__getstate__() == KeywordProcessor().__getstate__()
    for dup in (pickle.loads(pickle.dumps(kp, protocol)), copy.copy(kp), copy.deepcopy(kp)):
        assert dup is not kp and dup.__getstate__() == before and dup.get_all_keywords() == kp.get_all_keywords()
        assert tuples(dup.extract_keywords(TEXT)) == tuples(kp.extract_keywords(TEXT)) != []
        assert dup.replace_keywords(TEXT) == kp.replace_keywords(TEXT)
        dup.add_keyword("only in the copy"), dup.remove_keyword("apple"), dup.add_non_word_boundary("z")
        assert kp.__getstate__() == before
    kp.add_keyword("only in the original")
    assert "only in the original" not in dup.get_all_keywords()


def test_setstate_replaces_everything_and_takes_bytes_subclasses():
    source = loaded().__getstate__()
    kp = KeywordProcessor()
    kp.add_keyword("old"), kp.add_non_word_boundary("-")
    assert kp.__setstate__(type("Blob", (bytes,), {})(source)) is None
    assert kp.__getstate__() == source and kp.get_all_keywords() == loaded().get_all_keywords()
    kp.__setstate__(state=KeywordProcessor().__getstate__())
    assert len(kp) == 0 and kp.__getstate__() == KeywordProcessor().__getstate__()


def test_damaged_state_inside_a_pickle_fails_to_load(panic_type):
    data = pickle.dumps(loaded())
    # Truncating inside the state byte string breaks the pickle itself; corrupt a flag
    # byte in place instead, so the state reaches __setstate__ and fails there.
    end = data.index(b"\x00\x44" + bytes(6)) + len(loaded().__getstate__())
    with pytest.raises(panic_type, match="InvalidBoolEncoding: 9"):
        pickle.loads(data[:end - 1] + b"\x09" + data[end:])
