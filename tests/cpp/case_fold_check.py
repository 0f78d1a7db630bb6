#!/usr/bin/env python3
"""Differential check of the C++ case folding against CPython's str.lower().

Builds tests/cpp/case_fold_check.cpp (or uses --binary), feeds it every code point,
every code point in Final_Sigma contexts, hand-picked sigma cases, random strings
and random bytes, and compares the folded bytes with str.lower() and the offset map
with a per-character model. Needs a Python whose Unicode database matches the tables.

    python3 tests/cpp/case_fold_check.py [--binary PATH] [--seed N]
"""

import argparse
import array
import pathlib
import random
import struct
import subprocess
import sys
import tempfile
import unicodedata

ROOT = pathlib.Path(__file__).resolve().parents[2]
SIGMA = "\u03a3"
SCALARS = [chr(c) for c in range(0x110000) if not 0xD800 <= c <= 0xDFFF]


def expected(data, want_offsets):
    """The folded bytes and, if wanted, source_start and source_end of every folded
    offset. Stray bytes become lone surrogates, which lower() leaves alone and which are
    neither cased nor case-ignorable: the treatment the engine gives them. A character
    keeps its byte offsets when its folded length equals its source length; otherwise
    every offset inside it widens to the whole character."""
    text = data.decode("utf-8", "surrogateescape")
    folded = text.lower().encode("utf-8", "surrogateescape")
    if not want_offsets:
        return folded, None, None
    starts, ends, src = array.array("Q"), array.array("Q", [0]), 0
    for ch in text:
        n = len(ch.encode("utf-8", "surrogateescape"))
        m = 2 if ch == SIGMA else len(ch.lower().encode("utf-8", "surrogateescape"))
        starts.extend(range(src, src + n) if n == m else [src] * m)
        ends.extend(range(src + 1, src + n + 1) if n == m else [src + n] * m)
        src += n
    starts.append(src)
    return folded, starts, ends


def run(binary, records):
    """Feeds (bytes, want_offsets) records to the binary; returns (folded, starts, ends) each."""
    payload = b"".join(struct.pack("<BI", want, len(data)) + data for data, want in records)
    reply = subprocess.run([str(binary)], input=payload, stdout=subprocess.PIPE, check=True).stdout
    results, pos = [], 0
    for _, want in records:
        (flen,) = struct.unpack_from("<I", reply, pos)
        folded, pos = reply[pos + 4:pos + 4 + flen], pos + 4 + flen
        starts = ends = None
        if want:
            width = 8 * (flen + 1)
            starts, ends = (array.array("Q", reply[p:p + width]) for p in (pos, pos + width))
            if sys.byteorder == "big":
                starts.byteswap(), ends.byteswap()
            pos += 2 * width
        results.append((folded, starts, ends))
    assert pos == len(reply), "reply longer than expected"
    return results


def check(binary, name, records):
    failures = 0
    for (data, want), got in zip(records, run(binary, records)):
        if got != (want_ := expected(data, want)):
            failures += 1
            if failures <= 5:
                print(f"FAIL {name}: {data[:80]!r}\n  got  {[x[:40] for x in got if x]}\n"
                      f"  want {[x[:40] for x in want_ if x]}")
    print(f"{name}: {len(records)} records, {failures} failures")
    return failures


def sigma_contexts():
    # A space is neither cased nor case-ignorable, so it isolates the contexts that
    # share a record from one another.
    shapes = ("A" + SIGMA + "{}", "{}" + SIGMA, "A{}" + SIGMA, "A" + SIGMA + "{}B", "A{}" + SIGMA + "{}b")
    return [(" ".join(shape.format(x, x) for x in SCALARS[i:i + 4096]).encode(), False)
            for shape in shapes for i in range(0, len(SCALARS), 4096)]


HAND_PICKED = [s.encode() for s in [
    "ΑΣ", "ΑΣ.", "ΑΣΑ", "Σ", "Α'Σ", "Α\u0301Σ b", "ΣΑ", "ΑΣ'", "ΑΣ'Α", "ΑΣ.Α",
    "ΟΔΥΣΣΕΥΣ", "ὈΔΥΣΣΕΎΣ", "a\u0345Σ", "\u0345Σ", "ΑΣ\u0345", "ΑΣ\u0345Α",
    "A\U000E0001Σ", "AΣ\U000E0001", "ΑΣ\xff", "'Σ'", "ΣΣ", "ΑΣΣ", "ΑΣ ΣΑ",
    "İstanbul apple", "İİİ", "xİİy", "\u212a\u212b\u2126", "ẞ\u023a\u023e", "Ⱥ" * 50, "",
]] + [  # stray bytes next to a sigma and at the edges of the eight-byte ASCII path
    b"A\xce\xa3\xcc", b"\xcc\xce\xa3", b"A\xce\xa3\x80\x80", b"\xce\xa3", b"\xce",
    b"ABCDEFG\xc4\xb0HIJKLMNOP\xff", b"A\xcd\x85\xce\xa3", b"\xe2\x82A\xce\xa3", b"\xf0\x9f\x98",
]


def alignment():
    # Every position of a non-ASCII character within the first few blocks of the ASCII path.
    body = b"AbCdEfGhIjKlMnOpQrStUvWxYz@[`{" * 2
    specials = [c.encode() for c in ("İ", "Σ", "é", "\u212a", "\U00010400")] + [b"\xff"]
    return [(body[:pad] + special + body[pad:], True)
            for special in specials for pad in range(40)]


def random_strings(rng, count):
    changed = [c for c in SCALARS if c.lower() != c]
    ignorable = [c for c in SCALARS if ("A" + c + SIGMA).lower()[-1] == "\u03c2"
                 and (" " + c + SIGMA).lower()[-1] != "\u03c2"]
    pools = [SCALARS, changed, ignorable, [SIGMA] * 3, list(" '.AaZz09"), ["İ", "\u212a", "Ⱥ"]]
    return [("".join(rng.choice(rng.choice(pools)) for _ in range(rng.randrange(40))).encode(), True)
            for _ in range(count)]


def random_bytes(rng, count):
    # Half the records draw from lead, continuation and stray bytes of sigma, İ and K.
    pools = (bytes.fromhex("41612027 80bfc2c4 b0cea3cc 81e0eda0 f0f4908f ffe284aa"), range(256))
    return [(bytes(rng.choice(pool) for _ in range(rng.randrange(24))), True)
            for pool in (rng.choice(pools) for _ in range(count))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", type=pathlib.Path)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        binary = args.binary or pathlib.Path(tmp) / "case_fold_check"
        if not args.binary:
            subprocess.run(["g++", "-std=c++20", "-O2", "-Wall", "-Wextra", "-Werror", f"-I{ROOT / 'src'}",
                            str(ROOT / "src/engine/case_fold.cpp"), str(ROOT / "tests/cpp/case_fold_check.cpp"),
                            "-o", str(binary)], check=True)
        selftest = subprocess.run([str(binary), "--selftest"], capture_output=True, text=True)
        print(selftest.stdout.strip() or selftest.stderr.strip())
        if selftest.returncode != 0:
            sys.exit("FoldMap selftest failed")
        tables = selftest.stdout.split("Unicode ")[-1].rstrip(")\n")
        if tables != unicodedata.unidata_version:
            sys.exit(f"tables are Unicode {tables}, this Python has "
                     f"{unicodedata.unidata_version}: run with a matching Python")
        rng = random.Random(args.seed)
        failures = sum(check(binary, name, records) for name, records in [
            ("every code point", [("".join(SCALARS[i:i + 1024]).encode(), True)
                                  for i in range(0, len(SCALARS), 1024)]),
            ("sigma contexts", sigma_contexts()),
            ("hand-picked", [(b, True) for b in HAND_PICKED]),
            ("alignment", alignment()),
            ("random strings", random_strings(rng, 20000)),
            ("random bytes", random_bytes(rng, 20000))])
    if failures:
        sys.exit(f"{failures} failing groups or records")
    print("all case folding checks passed")


if __name__ == "__main__":
    main()
