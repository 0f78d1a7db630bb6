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
def test_empty_and_loaded_processors_survive_pickling(protocol):
    if protocol < 2:  # old protocols are refused
        with pytest.raises(TypeError):
            pickle.dumps(KeywordProcessor(), protocol)
        return
    back = pickle.loads(pickle.dumps(KeywordProcessor(), protocol))
    assert len(back) == 0 and back.__getstate__() == KeywordProcessor().__getstate__()
    kp = loaded()
    back = pickle.loads(pickle.dumps(kp, protocol))
    assert back.get_all_keywords() == kp.get_all_keywords()
    assert back.__getstate__() == kp.__getstate__()
    assert back.__getstate__()[-2:] == b"\x01\x01"  # settings come from the state
    assert tuples(back.extract_keywords(TEXT)) == tuples(kp.extract_keywords(TEXT)) != []
    assert back.replace_keywords(TEXT) == kp.replace_keywords(TEXT)


@pytest.mark.parametrize("make_copy", [copy.copy, copy.deepcopy], ids=["copy", "deepcopy"])
def test_copies_are_independent(make_copy):
    kp = loaded()
    before, dup = kp.__getstate__(), make_copy(kp)
    assert dup is not kp and dup.__getstate__() == before
    dup.add_keyword("only in the copy"), dup.remove_keyword("apple"), dup.add_non_word_boundary("z")
    assert kp.__getstate__() == before
    kp.add_keyword("only in the original")
    assert "only in the original" not in dup.get_all_keywords()


def test_setstate_replaces_everything_and_takes_bytes_and_subclasses():
    source = loaded().__getstate__()
    kp = KeywordProcessor()
    kp.add_keyword("old"), kp.add_non_word_boundary("-")
    for data in [source, type("Blob", (bytes,), {})(source), source + b"\x00"]:
        assert kp.__setstate__(data) is None  # trailing bytes are ignored
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
