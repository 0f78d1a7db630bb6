"""Pickling and copying of KeywordProcessor through __getstate__/__setstate__."""

import copy
import pickle

import pytest

from kwsieve import KeywordProcessor

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
    assert spans(back) == spans(kp) and spans(kp)
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


def test_setstate_replaces_everything_and_takes_bytes_and_subclasses_only():
    class Blob(bytes):
        pass

    source = loaded().__getstate__()
    kp = KeywordProcessor()
    kp.add_keyword("old"), kp.add_non_word_boundary("-")
    for data in [source, Blob(source), source + b"\x00"]:  # trailing bytes are ignored
        assert kp.__setstate__(data) is None
        assert kp.__getstate__() == source and kp.get_all_keywords() == loaded().get_all_keywords()
    for value in ["text", None, 7, bytearray(source), memoryview(source)]:
        with pytest.raises(TypeError, match="state"):
            kp.__setstate__(value)
    for args, kwargs in [((), {}), ((source, source), {}), ((), {"data": source}),
                         ((source,), {"state": source})]:
        with pytest.raises(TypeError):
            kp.__setstate__(*args, **kwargs)
    assert kp.__getstate__() == source
    kp.__setstate__(state=KeywordProcessor().__getstate__())
    assert len(kp) == 0 and kp.__getstate__() == KeywordProcessor().__getstate__()


def test_failed_setstate_keeps_the_processor_usable(panic_type):
    kp = loaded()
    before, found = kp.__getstate__(), spans(kp)
    for bad in [b"", before[:-1], before[:139272], (3).to_bytes(8, "little") + before[8:],
                before[:-2] + b"\x00\x07"]:
        with pytest.raises(panic_type) as info:
            kp.__setstate__(bad)
        assert not isinstance(info.value, Exception)  # not caught by `except Exception`
        assert kp.__getstate__() == before and spans(kp) == found
    kp.add_keyword("still mutable")
    assert "still mutable" in kp.get_all_keywords()


def test_damaged_state_inside_a_pickle_fails_to_load(panic_type):
    data = pickle.dumps(loaded())
    # Truncating inside the state byte string breaks the pickle itself; corrupt a flag
    # byte in place instead, so the state reaches __setstate__ and fails there.
    end = data.index(b"\x00\x44" + bytes(6)) + len(loaded().__getstate__())
    with pytest.raises(panic_type, match="InvalidBoolEncoding: 9"):
        pickle.loads(data[:end - 1] + b"\x09" + data[end:])


def test_setstate_while_borrowed_is_refused_and_changes_nothing():
    kp = KeywordProcessor()
    kp.add_keyword("kept")
    before = kp.__getstate__()
    seen = []

    class Reentrant:
        """A boundary sequence that tries to replace the processor while it is converted."""

        __len__ = lambda self: 1

        def __getitem__(self, i):
            if i:
                raise IndexError
            for call in (lambda: kp.__setstate__(KeywordProcessor().__getstate__()), kp.__getstate__):
                with pytest.raises(RuntimeError, match="borrowed") as info:
                    call()
                seen.append(info.value)
            return "-"

    kp.set_non_word_boundaries(Reentrant())
    assert len(seen) == 2 and kp.get_all_keywords() == {"kept": "kept"}
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
