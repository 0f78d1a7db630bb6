#!/usr/bin/env python3
"""Writes the seed corpus of the state decoder fuzzer into fuzz/corpus/.

Seeds use decode_fuzzer.cpp's framing: a first byte 0x01 asks the target to put a
valid word count and the default word set in front, so a seed holds only the trie
and the flags; a first byte 0x00 passes the rest through as a whole state. Only one
whole state is kept (the 'ab' processor, 139 KB); the rest are a few dozen bytes.

    python3 fuzz/make_seeds.py
"""
import pathlib
import struct

WORDS = 17408
CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"


def u64(n):
    return struct.pack("<Q", n)


def node(children=(), name=None, count=None):
    """A node: children is a list of (key, node bytes), each key a scalar value written as
    UTF-8 (chr() of a byte value is Latin-1); count overrides the real count."""
    out = u64(len(children) if count is None else count)
    out += b"".join(chr(k).encode() + child for k, child in children)
    if name is None:
        return out + b"\x00"
    name = name.encode("utf-8") if isinstance(name, str) else name
    return out + b"\x01" + u64(len(name)) + name


def chain(path, name):
    """Nested single-child nodes along the byte (or key) sequence `path`."""
    out = node(name=name)
    for k in reversed(path):
        out = node([(k, out)])
    return out


def default_words():
    words = [0] * WORDS
    for c in "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz":
        words[ord(c) // 64] |= 1 << (ord(c) % 64)
    return b"".join(map(u64, words))


def framed(trie, case_sensitive=0, allow_overlaps=0, trailing=b""):
    return b"\x01" + trie + bytes([case_sensitive, allow_overlaps]) + trailing


def main():
    # 'new' and 'new york' share their first three nodes; 'new' is terminal with a child
    new = node([(ord(" "), chain(b"york", "NYC"))], name="new")
    new_york = node([(ord("n"), node([(ord("e"), node([(ord("w"), new)]))]))])
    seeds = {
        "empty": framed(node()),
        "ab": framed(chain(b"ab", "ab")),
        "e_acute": framed(chain("é".encode(), "é")),
        "new_york": framed(new_york, 1, 1),
        "root_terminal_empty_name": framed(node([(ord("x"), node(name=""))], name="")),
        "siblings": framed(node([(ord(c), node(name=c.upper())) for c in "abcxyz"])),
        "duplicate_keys": framed(node([(ord("a"), chain(b"bc", "first")), (ord("a"), node(name="second"))])),
        "wide_keys": framed(node([(0x100, node(name="wide")), (0x10FFFF, chain(b"z", "top")), (ord("q"), node(name="q"))])),
        "cut_character": framed(node([(0xC3, node(name="half"))])),
        "bad_continuation": framed(chain(b"\xe0\x80", "overlong")),
        "deep_chain": framed(chain(b"k" * 300, "deep")),
        "trailing_bytes": framed(chain(b"ab", "ab"), trailing=b"\xff" * 7),
        "forged_count": framed(node(count=1 << 63)),
        "word_count_3": b"\x00" + u64(3) + u64(1) * 3,
        "whole_state_ab": b"\x00" + u64(WORDS) + default_words() + chain(b"ab", "ab") + b"\x00\x00",
    }
    CORPUS.mkdir(exist_ok=True)
    for name, data in seeds.items():
        (CORPUS / name).write_bytes(data)


if __name__ == "__main__":
    main()
