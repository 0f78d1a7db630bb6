"""The processor state: its bytes, every decoding error, forged and deep states.

States are built here by hand with a small writer of the format, so the decoder is tested
on inputs the encoder never makes (repeated keys, keys above 255, paths that are not
UTF-8, huge counts, nesting millions of levels deep).
"""

import struct
import sys

import pytest
from hypothesis import given, settings, strategies as st

from kwsieve import KeywordProcessor

WORDS = 17408
SIZE_MAX = sys.maxsize * 2 + 1  # of the build's size type: 2**64 - 1 or 2**32 - 1


def u64(n):
    return struct.pack("<Q", n)


def node(children=(), name=None):
    """A node: `children` lists (key, encoded child). Keys are any scalar value as UTF-8
    (chr() of a byte value is Latin-1, so keys 0x80..0xFF take two bytes, exactly as the
    encoder writes them)."""
    out = u64(len(children)) + b"".join(chr(k).encode() + child for k, child in children)
    if name is None:
        return out + b"\x00"
    name = name.encode() if isinstance(name, str) else name
    return out + b"\x01" + u64(len(name)) + name


def chain(keys, name):
    """Nested single-child nodes along `keys` (bytes or ints), the last one terminal."""
    out = node(name=name)
    for k in reversed(list(keys)):
        out = node([(k, out)])
    return out


def word_set(chars):
    words = [0] * WORDS
    for c in chars:
        words[ord(c) // 64] |= 1 << (ord(c) % 64)
    return b"".join(map(u64, words))


DEFAULT_CHARS = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz"
DEFAULT_WORDS = word_set(DEFAULT_CHARS)
HEADER = u64(WORDS) + DEFAULT_WORDS
ROOT = len(HEADER)


def state(root=None, flags=b"\x00\x00"):
    return HEADER + (node() if root is None else root) + flags


def trie_of(keywords):
    """Reference encoding of a trie of {normalised keyword: clean name}, siblings in
    ascending key order (the order the engine keeps and writes)."""
    tree = {}
    for kw, clean in keywords.items():
        t = tree
        for b in kw.encode():
            t = t.setdefault(b, {})
        t[None] = clean
    # Recursion is fine here: only short keywords are encoded this way.
    enc = lambda t: node([(k, enc(t[k])) for k in sorted(k for k in t if k is not None)], t.get(None))
    return enc(tree)


def processor_from_state(data):
    (kp := KeywordProcessor()).__setstate__(data)
    return kp


# ---- bytes written ----

def test_empty_state_bytes():
    # Spelled out once; every other state here comes from the writer above.
    empty = KeywordProcessor().__getstate__()
    assert empty == HEADER + node() + b"\0\0" and len(empty) == 139283
    assert empty[:24] == bytes.fromhex(
        "0044000000000000 000000000000ff03 feffff87feffff07")  # count, digits, A-Z _ a-z


keyword_sets = st.dictionaries(
    st.text(alphabet="abé€😀 Z", max_size=6), st.one_of(st.none(), st.text(max_size=4)),
    max_size=12)

# Added boundary characters are stored as given, capitals too, whatever the case setting.
boundary_chars = st.text(st.sampled_from("AZÉé-") | st.characters(exclude_categories=("Cs",)), max_size=3)


@settings(max_examples=150, deadline=None)
@given(keyword_sets, st.booleans(), st.booleans(), st.booleans(), boundary_chars,
       st.lists(st.sampled_from("abé€ Z-"), max_size=8))
def test_state_matches_reference_encoding_and_round_trips(
        keywords, case_sensitive, allow_overlaps, cleared, extra, text_parts):
    kp = KeywordProcessor(case_sensitive, allow_overlaps)
    if cleared:
        kp.set_non_word_boundaries([])
    expected = {}
    for kw, clean in keywords.items():
        kp.add_keyword(kw, clean)
        norm = kw if case_sensitive else kw.lower()
        expected[norm] = norm if clean is None else clean
    for c in extra:
        kp.add_non_word_boundary(c)
    s = kp.__getstate__()
    assert s == (u64(WORDS) + word_set(("" if cleared else DEFAULT_CHARS) + extra) + trie_of(expected)
                 + bytes([case_sensitive, allow_overlaps]))
    copy = processor_from_state(s)
    assert copy.get_all_keywords() == kp.get_all_keywords() and len(copy) == len(kp)
    assert copy.__getstate__() == s
    text = " ".join(list(keywords) + text_parts)
    spans = lambda p: [(m.keyword, m.similarity, m.start, m.end) for m in p.extract_keywords(text)]
    assert spans(copy) == spans(kp)


# ---- decoding errors ----

STATE_AB = state(chain(b"ab", "ab"))

ERRORS = [
    ("empty input", b"", "Io"),
    ("count cut short", u64(WORDS)[:5], "Io"),
    ("three words", u64(3) + u64(1) * 3 + node() + b"\0\0", "Custom: Expected 17408 elements, got 3"),
    ("one word too many", u64(WORDS + 1) + DEFAULT_WORDS + u64(0) + node() + b"\0\0",
     "Custom: Expected 17408 elements, got 17409"),
    ("set ends after 100 words", u64(WORDS) + DEFAULT_WORDS[:800], "Io"),
    ("no root", HEADER, "Io"),
    ("child key missing", HEADER + u64(1), "Io"),
    ("continuation byte as key", HEADER + u64(1) + b"\x80", "InvalidCharEncoding"),
    ("ff as key", HEADER + u64(1) + b"\xff", "InvalidCharEncoding"),
    ("key cut at the end", HEADER + u64(1) + b"\xc3", "InvalidCharEncoding"),
    ("key with a bad continuation", HEADER + u64(1) + b"\xc3\x41" + node() + node(), "InvalidCharEncoding"),
    ("overlong key", HEADER + u64(1) + b"\xe0\x80\x80", "InvalidCharEncoding"),
    ("surrogate key", HEADER + u64(1) + b"\xed\xa0\x80", "InvalidCharEncoding"),
    ("key above U+10FFFF", HEADER + u64(1) + b"\xf4\x90\x80\x80", "InvalidCharEncoding"),
    ("tag 2", HEADER + u64(0) + b"\x02", "InvalidTagEncoding: 2"),
    ("tag missing", HEADER + u64(0), "Io"),
    ("name past the end", HEADER + u64(0) + b"\x01" + u64(5) + b"abc", "Io"),
    ("name not utf-8", HEADER + u64(0) + b"\x01" + u64(2) + b"a\xff" + b"\0\0", "InvalidUtf8Encoding"),
    ("flag 2", STATE_AB[:-2] + b"\x02\x00", "InvalidBoolEncoding: 2"),
    ("second flag ff", STATE_AB[:-1] + b"\xff", "InvalidBoolEncoding: 255"),
    ("second flag missing", STATE_AB[:-1], "Io"),
]


def big(n):
    # A forged count or length n fails at once: where size_t holds it, it cannot be read
    # past the end of the input; elsewhere it does not fit size_t.
    return "Io" if n <= SIZE_MAX else f"Custom: Invalid size {n}: sizes must fit in a usize (0 to {SIZE_MAX})"


FORGED = [
    ("word count 2**63", u64(2**63) + u64(0), big(2**63)),
    ("word count 2**64-1", u64(2**64 - 1), big(2**64 - 1)),
    ("child count 2**63", HEADER + u64(2**63) + b"a" + node(), big(2**63)),
    ("child count 2**40", HEADER + u64(2**40) + b"a" + node(), big(2**40)),
    ("name length 2**62", HEADER + u64(0) + b"\x01" + u64(2**62) + b"abc", big(2**62)),
    ("nested counts 2**63", HEADER + (u64(2**63) + b"a") * 1000, big(2**63)),
]


@pytest.mark.parametrize("data, message", [e[1:] for e in ERRORS + FORGED],
                         ids=[e[0] for e in ERRORS + FORGED])
def test_decoding_error_kinds_leave_the_processor_unchanged(data, message, panic_type):
    kp = processor_from_state(state(chain(b"Keep", "kept"), b"\x01\x00"))
    before = kp.__getstate__()
    with pytest.raises(panic_type) as info:
        kp.__setstate__(data)
    assert str(info.value).startswith(message)
    assert kp.__getstate__() == before
    assert kp.extract_keywords("Keep it") and kp.remove_keyword("Keep")  # no borrow left


def test_every_truncation_of_a_state_fails_cleanly(panic_type):
    full = state(trie_of({kw: kw.upper() for kw in ["a", "ab", "b", "é", "new york"]}))
    for cut in list(range(0, 64)) + list(range(ROOT - 8, len(full))):
        with pytest.raises(panic_type):
            KeywordProcessor().__setstate__(full[:cut])


# ---- what decodes ----

SURROGATE_WORDS = bytearray(DEFAULT_WORDS)
SURROGATE_WORDS[0xD800 // 8] = 0xFF  # bits of surrogate code points
TERMINAL_ROOT = (u64(WORDS) + bytes(SURROGATE_WORDS)
                 + node([(ord("x"), node(name=""))], name="") + b"\0\0")


@pytest.mark.parametrize("data, listed, written", [
    (STATE_AB + b"\xff" * 9 + STATE_AB, {"ab": "ab"}, STATE_AB),  # trailing bytes are ignored
    # a repeated key keeps the later child only
    (state(node([(ord("a"), chain(b"bc", "first")), (ord("b"), node(name="b")),
                 (ord("a"), node(name="second"))])),
     {"a": "second", "b": "b"}, state(trie_of({"a": "second", "b": "b"}))),
    # sibling order in the input does not matter
    (state(node([(ord(c), node(name=c.upper())) for c in "zamq"]), b"\x01\x01"),
     {c: c.upper() for c in "zamq"}, state(trie_of({c: c.upper() for c in "zamq"}), b"\x01\x01")),
    # a terminal root, empty names and surrogate bits in the word set are accepted
    (TERMINAL_ROOT, {"": "", "x": ""}, TERMINAL_ROOT),
], ids=["trailing bytes", "repeated key", "sibling order", "terminal root"])
def test_what_decodes(data, listed, written):
    kp = processor_from_state(data)
    assert kp.get_all_keywords() == listed and len(kp) == len(listed)
    assert kp.__getstate__() == written


# Forged tries: (name or None, [(key, subtree), ...]), with lone chains that end in a
# keyword, pass through keywords, end in a leaf without a name, hold keys above 255 or
# repeat a key. The model of what decodes: a repeated key keeps the later child.
forged_keys = st.sampled_from([ord("a"), ord("b"), 0xC3, 0xA9, 0xFF, 0x100])
forged_tries = st.recursive(
    st.tuples(st.one_of(st.none(), st.sampled_from(["", "n", "N2"])), st.just([])),
    lambda sub: st.tuples(st.one_of(st.none(), st.sampled_from(["", "n", "N2"])),
                          st.lists(st.tuples(forged_keys, sub), max_size=3)),
    max_leaves=12)


def canonical(tree):
    name, children = tree
    merged = dict((k, canonical(c)) for k, c in children)
    return name, sorted(merged.items())


def encode_tree(tree):
    name, children = tree
    return node([(k, encode_tree(c)) for k, c in children], name)


def listed(tree, path=b""):
    """The keywords listing shows: terminal paths of bytes that are UTF-8."""
    name, children = tree
    out = {}
    if name is not None:
        try:
            out[path.decode()] = name
        except UnicodeDecodeError:
            pass
    for k, c in children:
        if k < 256:
            out.update(listed(c, path + bytes([k])))
    return out


def terminals(tree):
    return (tree[0] is not None) + sum(terminals(c) for _, c in tree[1])


@settings(max_examples=300, deadline=None)
@given(forged_tries, st.data())
def test_forged_tries_decode_to_what_they_list_and_survive_removal(tree, data):
    want = canonical(tree)
    kp = processor_from_state(state(encode_tree(tree)))
    assert kp.__getstate__() == state(encode_tree(want))
    assert len(kp) == terminals(want)
    words = listed(want)
    assert kp.get_all_keywords() == words
    # Removal prunes what no keyword needs; what stays lists and encodes as before.
    for kw in data.draw(st.permutations(sorted(words))):
        assert kp.remove_keyword(kw)
        del words[kw]
        assert kp.get_all_keywords() == words and len(kp) == terminals(want) - (len(listed(want)) - len(words))
        assert processor_from_state(kp.__getstate__()).__getstate__() == kp.__getstate__()
        kp.add_keyword(kw + "x", "back")  # insertion into a decoded trie splits its tails
        assert kp.remove_keyword(kw + "x")


FORGED_ROOT = node([
    (ord("a"), node(name="A")),
    (0xC3, node([(0xA9, node(name="E"))], name="cut inside a character")),
    (0xFF, node(name="byte ff")),
    (0xED, chain([0xA0, 0x80], "surrogate bytes")),
    (0x100, node(name="key 256")),
    (0x10FFFF, chain(b"z", "top key")),
])


@pytest.mark.parametrize("overlaps", [b"\x00", b"\x01"])
def test_unlistable_paths_are_skipped_but_kept_counted_and_safe(overlaps):
    kp = processor_from_state(state(FORGED_ROOT, b"\x00" + overlaps))
    text = "a é ÿ Ā z \U0010ffff í Ã"
    found = {m.keyword for m in kp.extract_keywords(text)}
    # Text is UTF-8, so it never spells byte FF, surrogate bytes or keys above 255; a
    # path ending inside a character may still match the first byte of one.
    assert {"A", "E"} <= found <= {"A", "E", "cut inside a character"}
    for threshold in [None, 0.0, 0.5, 0.9]:
        for m in kp.extract_keywords(text, threshold):
            assert 0 <= m.start <= m.end <= len(text.encode())
        assert isinstance(kp.replace_keywords(text, threshold), str)
    assert kp.get_all_keywords() == {"a": "A", "é": "E"} and len(kp) == 7
    # Nodes no insertion can make survive a round trip.
    assert processor_from_state(kp.__getstate__()).__getstate__() == kp.__getstate__()
    assert kp.remove_keyword("é") and kp.remove_keyword("a")
    assert not kp.remove_keyword("ÿ") and not kp.remove_keyword("\u0100")
    assert len(kp) == 5 and kp.get_all_keywords() == {}


def test_thousands_of_siblings_with_keys_above_255():
    keys = list(range(0x20, 0x7F)) + list(range(0xE000, 0xE000 + 10_000)) + [0x10FFFF]
    data = state(node([(k, node(name=f"{k:x}")) for k in keys]))
    kp = processor_from_state(data)
    assert len(kp) == len(keys) and kp.__getstate__() == data
    assert kp.get_all_keywords() == {chr(k): f"{k:x}" for k in range(0x20, 0x7F)}
    assert [m.keyword for m in kp.extract_keywords("q \ue000")] == ["71"]


# ---- deep and large states ----

@pytest.mark.slow
def test_fifty_megabyte_chain_decodes_lists_encodes_back_and_fails_cleanly_when_cut(panic_type):
    depth = 5_000_000  # ten bytes a level: count, key, tag
    data = HEADER + (u64(1) + b"k") * depth + node(name="deep") + b"\x00" * depth + b"\0\0"
    assert len(data) > 50_000_000
    for cut in [ROOT + 9 * depth // 2 + 3, ROOT + 9 * depth + 5, len(data) - depth // 2]:
        with pytest.raises(panic_type, match="^Io"):
            KeywordProcessor().__setstate__(data[:cut])
    kp = processor_from_state(data)
    assert len(kp) == 1 and kp.get_all_keywords() == {"k" * depth: "deep"}
    assert kp.__getstate__() == data and kp.remove_keyword("k" * depth)
    assert len(kp) == 0 and kp.__getstate__() == state()
    kp.__setstate__(data)
    del kp  # frees five million nested nodes
