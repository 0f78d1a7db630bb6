"""Pickling and copying of KeywordProcessor through __getstate__/__setstate__."""

import base64
import copy
import pickle
import zlib

import pytest

from kwsieve import KeywordProcessor
from model import f32, tuples

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


# Pickles written by kwsieve 0.1.0, when the extension was a top-level module rather than a
# package's __init__ (zlib, then base64): [a processor, a match]. The processor is
# case-sensitive with overlaps allowed and '-' made a word character; the match is
# ('naïve', 0.83, 3, 10). Pickles name the classes as kwsieve.KeywordProcessor and
# kwsieve.PyKeywordMatch, which the package layout must keep resolving.
RELEASE_0_1_0_PICKLES = {
    2: "eNrt0M1qE0EAwPGk6ZfrxzPEg1Avgk/QQwWRYCnFQwqKbDYbElISJ5sP4sla0aPP4NGTPoGF7Nv4FKY1E8U8gfD7XebP7OzOzL7behUqB1l/VvTyaZ408vlsOGqfjIZZXhTDURKqDy/CVvY6G7bzrEjywXUkodY8v79VqTyp/FEvr2rlj/KqvFp8+j3uVQAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAgP/W9mo8qq4ijdGJUV4uLtf9fvE1vlrdie+mneWam/njuDCPMYtRj3EWYxhjFKO//nZtFcdnR/8e7M1GnK933ThbZzTpjVe3+PDXLb7HLmKMN/7AIEYrxmS943qj/VU8K8bpoDVZP6hUq2G7uXu9Nh33Bo/Dzsewexr2Wll/VvTyaZ6czBv5fDYctZ+n46ybhP2Dm+WDtPw2zcOtp4c/P7+sLycatUYyDslFuN2tNR8sJ3bj+dLlpZZryy9vXxzGH5asxnCnu9zx7mm418of/QIn3GIp",
    4: "eNrt0EGK01AcwOHUjlOZhXiEKgjjxisMWEGkOMzCzYgu0pkUS6WRJJ1SVw4KbgIu5s0hXOkZ7EnceghrqXkR7AmE74OQH0le3j95v3d9P/njVTise9NFOckuslDfGWbLRV6cnxT5WVaWeRGuwoPL8OjF3RtJ8jj5q7/u/lqvP22OXgIAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAPy39przoNNEGmMcY/Uh1vcvcVnnZlyXjlfbq8fxoSzGIkY/xmmMPEYRY9q+udvE8eng35He7sSbdtedycbFfFJt5//Yzv8tVhmj2vnuWYxRjHm7W7vJrSaellU6G83bG0mncz1qMozq3nRRTrKLLNS3T5bDbLnIi/NnaXX2OlyFw3p/lq6+bm4+Ofr5+WV/s2LYHR5U4TIM7u3HYbZP/Hj3/Cj+loP27dnD31G2T4Q=",
    5: "eNrt0EGK01AcwOHUOlOZhXiEKgjjxisMWEGkOMzCzYgu0pkUS6WRJJ1QVw4Kbgou5s0hXOkZ7EnceghrqXkR7AmE74OQH0le3j95v3d9P/njVThc9qZ1OckusrC8M8wWdV6cnxT5WVaWeRGuwoPL8OjF3RtJ8jj5q7/u/lqvP22OXgIAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAPy3bjbnQaeJNMY4xupDrO9f4rLOXlyXjlfbq8fxoSxGHaMf4zRGHqOIMW3f3G3i+HTw70hvd+JNu+vOZONiPqm2839s5/8Wq4xR7Xz3LMYoxrzdrd3kVhNPyyqdjebtjaTTuR41GUbL3rQuJ9lFFpa3TxbDbFHnxfmztDp7Ha7C4XJ/lq6+bm4+Ofr5+WV/s2LYHR5U4TIM7u3HYbZP/Hj3/Cj+loP27dnD33PNT4U=",
}


@pytest.mark.parametrize("protocol", sorted(RELEASE_0_1_0_PICKLES))
def test_pickles_written_by_release_0_1_0_load_and_are_written_identically(protocol):
    data = zlib.decompress(base64.b64decode(RELEASE_0_1_0_PICKLES[protocol]))
    kp, match = pickle.loads(data)
    expected = KeywordProcessor(case_sensitive=True, allow_overlaps=True)
    for kw, clean in [("New York", "NYC"), ("Café", None), ("İstanbul", "Istanbul"), ("apple", "fruit")]:
        expected.add_keyword(kw, clean)
    expected.add_non_word_boundary("-")
    assert kp.__getstate__() == expected.__getstate__()
    assert kp.get_all_keywords() == {"Café": "Café", "New York": "NYC", "apple": "fruit", "İstanbul": "Istanbul"}
    assert tuples(kp.extract_keywords("I saw New York, Café and İstanbul-apple, new york")) == [
        ("NYC", 1.0, 6, 14), ("Café", 1.0, 16, 21), ("Istanbul", 1.0, 26, 35), ("fruit", 1.0, 36, 41)]
    assert (match.keyword, match.similarity, match.start, match.end) == ("naïve", f32(0.83), 3, 10)
    # Written back byte for byte, so that an installation of that release reads ours too.
    assert pickle.dumps([kp, match], protocol) == data
