"""Pickling and copying of KeywordProcessor through __getstate__/__setstate__."""

import copy
import pickle

import pytest

from kwsieve import KeywordProcessor

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)
TEXT = "Die Äpfel von new york, NEW YORK und naïve-Café; apple_pie x-ray é"


def loaded():
    kp = KeywordProcessor(case_sensitive=True, allow_overlaps=True)
    for kw, clean in [("new york", "NYC"), ("NEW YORK", "shouting"), ("Café", None),
                      ("apple", "fruit"), ("x", ""), ("é", "e-acute")]:
        kp.add_keyword(kw, clean)
    kp.set_non_word_boundaries(["a", "b", "-"])
    return kp


def spans(kp, text=TEXT):
    return [(m.keyword, m.similarity, m.start, m.end) for m in kp.extract_keywords(text)]


def test_default_processor_round_trips_to_the_same_bytes():
    for protocol in PROTOCOLS:
        back = pickle.loads(pickle.dumps(KeywordProcessor(), protocol))
        assert len(back) == 0 and not back
        assert back.__getstate__() == KeywordProcessor().__getstate__()
        assert len(back.__getstate__()) == 139283


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_settings_keywords_and_word_set_survive_pickling(protocol):
    kp = loaded()
    back = pickle.loads(pickle.dumps(kp, protocol))
    assert back.get_all_keywords() == kp.get_all_keywords()
    assert back.__getstate__() == kp.__getstate__()
    assert back.__getstate__()[-2:] == b"\x01\x01"  # settings come from the state
    assert spans(back) == spans(kp) and spans(kp)
    assert back.replace_keywords(TEXT) == kp.replace_keywords(TEXT)


@pytest.mark.parametrize("protocol", [0, 1])
def test_old_protocols_are_refused(protocol):
    with pytest.raises(TypeError):
        pickle.dumps(KeywordProcessor(), protocol)


@pytest.mark.parametrize("make_copy", [copy.copy, copy.deepcopy], ids=["copy", "deepcopy"])
def test_copies_are_independent(make_copy):
    kp = loaded()
    before = kp.__getstate__()
    dup = make_copy(kp)
    assert dup is not kp and dup.__getstate__() == before
    dup.add_keyword("only in the copy")
    dup.remove_keyword("apple")
    dup.add_non_word_boundary("z")
    assert kp.__getstate__() == before
    kp.add_keyword("only in the original")
    assert "only in the original" not in dup.get_all_keywords()


def test_setstate_replaces_everything_without_merging():
    kp = KeywordProcessor()
    kp.add_keyword("old")
    kp.add_non_word_boundary("-")
    source = loaded()
    assert kp.__setstate__(source.__getstate__()) is None
    assert kp.get_all_keywords() == source.get_all_keywords()
    assert kp.__getstate__() == source.__getstate__()
    kp.__setstate__(state=KeywordProcessor().__getstate__())
    assert len(kp) == 0 and kp.__getstate__() == KeywordProcessor().__getstate__()


def test_setstate_accepts_bytes_subclasses_and_trailing_bytes():
    class Blob(bytes):
        pass

    s = loaded().__getstate__()
    for data in [Blob(s), s + b"\x00", s + s]:
        kp = KeywordProcessor()
        kp.__setstate__(data)
        assert kp.__getstate__() == s


@pytest.mark.parametrize("bad", ["text", None, 7], ids=repr)
def test_setstate_refuses_non_bytes(bad):
    kp = loaded()
    before = kp.__getstate__()
    for value in [bad, bytearray(before), memoryview(before)]:
        with pytest.raises(TypeError, match="state"):
            kp.__setstate__(value)
    assert kp.__getstate__() == before


def test_setstate_argument_errors():
    kp = KeywordProcessor()
    s = kp.__getstate__()
    for args, kwargs in [((), {}), ((s, s), {}), ((), {"data": s}), ((s,), {"state": s})]:
        with pytest.raises(TypeError):
            kp.__setstate__(*args, **kwargs)


def test_failed_setstate_keeps_the_processor_usable(panic_type):
    kp = loaded()
    before, found = kp.__getstate__(), spans(kp)
    good = KeywordProcessor().__getstate__()
    short_count = (3).to_bytes(8, "little") + good[8:]
    for bad in [b"", before[:-1], before[:139272], short_count, good[:-2] + b"\x00\x07"]:
        with pytest.raises(panic_type) as info:
            kp.__setstate__(bad)
        assert not isinstance(info.value, Exception)
        assert kp.__getstate__() == before and spans(kp) == found
    kp.add_keyword("still mutable")
    assert "still mutable" in kp.get_all_keywords()


def test_short_word_count_message(panic_type):
    data = (3).to_bytes(8, "little") + bytes(24)
    with pytest.raises(panic_type, match="Expected 17408 elements, got 3"):
        KeywordProcessor().__setstate__(data)


def test_damaged_state_inside_a_pickle_fails_to_load(panic_type):
    data = pickle.dumps(loaded())
    cut = data.index(b"\x00\x44\x00\x00\x00\x00\x00\x00")
    # Truncating inside the state byte string breaks the pickle itself; corrupt a flag
    # byte in place instead, so the state reaches __setstate__ and fails there.
    state_end = cut + len(loaded().__getstate__())
    broken = data[:state_end - 1] + b"\x09" + data[state_end:]
    with pytest.raises(panic_type, match="InvalidBoolEncoding"):
        pickle.loads(broken)


def test_setstate_while_borrowed_is_refused_and_changes_nothing():
    kp = KeywordProcessor()
    kp.add_keyword("kept")
    before = kp.__getstate__()
    seen = []

    class Reentrant:
        """A boundary sequence that tries to replace the processor while it is converted."""

        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError
            for call in (lambda: kp.__setstate__(KeywordProcessor().__getstate__()), kp.__getstate__):
                with pytest.raises(RuntimeError, match="borrowed") as info:
                    call()
                seen.append(info.value)
            return "-"

    kp.set_non_word_boundaries(Reentrant())
    assert len(seen) == 2
    assert kp.get_all_keywords() == {"kept": "kept"}
    assert kp.__getstate__()[139272:] == before[139272:]


@pytest.mark.slow
def test_ten_megabyte_keyword_round_trips():
    kw = "é" * 2_500_000 + "x" * 5_000_000  # 10 MB of UTF-8, one trie level per byte
    kp = KeywordProcessor()
    kp.add_keyword(kw, "big")
    back = pickle.loads(pickle.dumps(kp))
    assert back.get_all_keywords() == {kw: "big"}
    assert [(m.keyword, m.start, m.end) for m in back.extract_keywords(kw + " !")] == \
        [("big", 0, 10_000_000)]
    assert back.remove_keyword(kw) and len(back.__getstate__()) == 139283
