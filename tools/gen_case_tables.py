#!/usr/bin/env python3
"""Generate src/engine/case_tables.inc: the full Unicode lowercase mapping and the
Final_Sigma context classes that kwsieve's case folding needs.

The running interpreter's Unicode database is the source: str.lower() applies the
full mapping (SpecialCasing's unconditional entries included), and the Cased /
Case_Ignorable classes are recovered by probing how str.lower() treats a capital
sigma next to each code point. The derived tables are then checked exhaustively
against str.lower() before anything is written, so a wrong derivation cannot slip
into the engine.

Usage (from the repository root):
    python3 tools/gen_case_tables.py            # rewrite src/engine/case_tables.inc
    python3 tools/gen_case_tables.py --check    # fail if the committed file is stale
"""

import argparse
import pathlib
import random
import sys
import unicodedata

UNICODE_VERSION = "15.1.0"

OUTPUT = pathlib.Path("src/engine/case_tables.inc")
COMMAND = "python3 tools/gen_case_tables.py"

MAX_CODE_POINT = 0x10FFFF
CAPITAL_SIGMA = "\u03a3"
SMALL_SIGMA = "\u03c3"
FINAL_SIGMA = "\u03c2"

# Final_Sigma classes. A case-ignorable character is skipped by the context scan
# whether or not it is also cased, so only three classes matter.
OTHER, CASED, IGNORABLE = 0, 1, 2
CLASS_NAMES = {OTHER: "OTHER", CASED: "CASED", IGNORABLE: "IGNORABLE"}

# Kind encoding shared with case_fold.cpp: bits 0-1 class, bit 2 "multi", and the
# arithmetic remainder (value >> 3) is either the code point delta or, when multi
# is set, the index into the multi-character table.
MULTI_FLAG = 4
KIND_SHIFT = 3


def is_scalar(cp):
    return not 0xD800 <= cp <= 0xDFFF


def probe_class(ch):
    """Recover a character's Final_Sigma class from str.lower() itself.

    A capital sigma at the end of a string becomes final exactly when the nearest
    preceding non-ignorable character is cased. So ' ' + ch + SIGMA is final iff ch
    is cased and not ignorable, and 'A' + ch + SIGMA is final iff ch is cased or is
    skipped as ignorable.
    """
    if (" " + ch + CAPITAL_SIGMA).lower()[-1] == FINAL_SIGMA:
        return CASED
    if ("A" + ch + CAPITAL_SIGMA).lower()[-1] == FINAL_SIGMA:
        return IGNORABLE
    return OTHER


def derive():
    """Return (lower, classes): per code point the lowercase string and the class."""
    lower = [None] * (MAX_CODE_POINT + 1)
    classes = [OTHER] * (MAX_CODE_POINT + 1)
    for cp in range(MAX_CODE_POINT + 1):
        if not is_scalar(cp):
            lower[cp] = chr(cp)
            continue
        ch = chr(cp)
        lower[cp] = ch.lower()
        classes[cp] = probe_class(ch)
    # Capital sigma's own entry is its non-final form; the engine applies the context.
    assert lower[ord(CAPITAL_SIGMA)] == SMALL_SIGMA
    return lower, classes


def reference_lower(text, lower, classes):
    """The algorithm case_fold.cpp implements, written over the derived tables."""
    out = []
    n = len(text)
    for i, ch in enumerate(text):
        if ch != CAPITAL_SIGMA:
            out.append(lower[ord(ch)])
            continue
        j = i - 1
        while j >= 0 and classes[ord(text[j])] == IGNORABLE:
            j -= 1
        final = j >= 0 and classes[ord(text[j])] == CASED
        if final:
            j = i + 1
            while j < n and classes[ord(text[j])] == IGNORABLE:
                j += 1
            final = j == n or classes[ord(text[j])] != CASED
        out.append(FINAL_SIGMA if final else SMALL_SIGMA)
    return "".join(out)


def verify(lower, classes):
    """Compare the reconstructed algorithm with str.lower() on every code point,
    alone and in each sigma context, and on random strings of interesting characters."""
    contexts = (
        lambda x: x,
        lambda x: "A" + CAPITAL_SIGMA + x,
        lambda x: "A" + CAPITAL_SIGMA + x + "B",
        lambda x: "A" + CAPITAL_SIGMA + x + " ",
        lambda x: x + CAPITAL_SIGMA,
        lambda x: "A" + x + CAPITAL_SIGMA,
        lambda x: " " + x + CAPITAL_SIGMA + "'",
        lambda x: "A" + x + CAPITAL_SIGMA + x + "b",
    )
    for cp in range(MAX_CODE_POINT + 1):
        if not is_scalar(cp):
            continue
        x = chr(cp)
        for make in contexts:
            s = make(x)
            if reference_lower(s, lower, classes) != s.lower():
                sys.exit(f"derivation disagrees with str.lower() on {s!r}")

    by_class = {c: [] for c in CLASS_NAMES}
    for cp in range(MAX_CODE_POINT + 1):
        if is_scalar(cp):
            by_class[classes[cp]].append(chr(cp))
    changed = [chr(cp) for cp in range(MAX_CODE_POINT + 1)
               if is_scalar(cp) and lower[cp] != chr(cp)]
    rng = random.Random(20240515)
    pools = [by_class[OTHER], by_class[CASED], by_class[IGNORABLE], changed,
             [CAPITAL_SIGMA] * 4, [" ", "'", ".", "A", "a"]]
    for _ in range(200_000):
        s = "".join(rng.choice(rng.choice(pools)) for _ in range(rng.randrange(1, 9)))
        if reference_lower(s, lower, classes) != s.lower():
            sys.exit(f"derivation disagrees with str.lower() on {s!r}")


def encode_kinds(lower, classes):
    """Give every code point a kind (mapping + class); identity kinds come first."""
    multi = []          # lowercase strings of more than one code point
    multi_index = {}
    kind_of = [0] * (MAX_CODE_POINT + 1)
    values = {}         # kind value -> kind id
    # Ids 0..2 are the identity kinds, so "id < 3" means "copy the bytes".
    for cls in (OTHER, CASED, IGNORABLE):
        values[cls] = cls
    raw = [0] * (MAX_CODE_POINT + 1)
    for cp in range(MAX_CODE_POINT + 1):
        low = lower[cp]
        if len(low) == 1:
            value = ((ord(low) - cp) << KIND_SHIFT) | classes[cp]
        else:
            if low not in multi_index:
                multi_index[low] = len(multi)
                multi.append(low)
            value = (multi_index[low] << KIND_SHIFT) | MULTI_FLAG | classes[cp]
        raw[cp] = value
    for value in sorted(set(raw)):
        values.setdefault(value, len(values))
    for cp in range(MAX_CODE_POINT + 1):
        kind_of[cp] = values[raw[cp]]
    kinds = [v for v, _ in sorted(values.items(), key=lambda item: item[1])]
    assert len(kinds) <= 256, "kinds no longer fit in one byte"
    return kind_of, kinds, multi


def build_stages(kind_of):
    """Two-stage table over the covered ranges; code points outside them are kind 0.

    Planes 2 to 13 and most of 14 to 16 hold nothing but kind 0, so the block index
    covers [0, low_limit) and [high_base, high_limit) only. Picks the block size
    that gives the smallest total with one-byte block ids."""
    best = None
    for shift in range(4, 10):
        size = 1 << shift
        nonzero = [b for b in range((MAX_CODE_POINT + 1) >> shift)
                   if any(kind_of[b * size:(b + 1) * size])]
        # The largest run of all-zero blocks is left out of the index.
        gap_start = gap_end = 0
        prev = -1
        for b in nonzero:
            if b - prev - 1 > gap_end - gap_start:
                gap_start, gap_end = prev + 1, b
            prev = b
        last = nonzero[-1] + 1
        if gap_end <= gap_start:
            gap_start = gap_end = last
        covered = list(range(0, gap_start)) + list(range(gap_end, last))
        blocks = {tuple([0] * size): 0}
        index = []
        for b in covered:
            key = tuple(kind_of[b * size:(b + 1) * size])
            index.append(blocks.setdefault(key, len(blocks)))
        if len(blocks) > 256:
            continue
        total = len(index) + len(blocks) * size
        if best is None or total < best["total"]:
            best = {
                "shift": shift, "total": total, "index": index,
                "blocks": [k for k, _ in sorted(blocks.items(), key=lambda i: i[1])],
                "low_limit": gap_start << shift,
                "high_base": gap_end << shift,
                "high_limit": last << shift,
            }
    assert best is not None, "no block size gives one-byte block ids"
    return best


def lookup(stages, kind_of_default, cp):
    """The engine's lookup, used to check the emitted tables."""
    shift = stages["shift"]
    if cp < stages["low_limit"]:
        slot = cp >> shift
    elif stages["high_base"] <= cp < stages["high_limit"]:
        slot = (stages["low_limit"] + cp - stages["high_base"]) >> shift
    else:
        return kind_of_default
    return stages["blocks"][stages["index"][slot]][cp & ((1 << shift) - 1)]


def c_array(ctype, name, values, per_line, fmt):
    lines = [f"static constexpr {ctype} {name}[{len(values)}] = {{"]
    for i in range(0, len(values), per_line):
        lines.append("    " + ", ".join(fmt(v) for v in values[i:i + per_line]) + ",")
    lines.append("};")
    return "\n".join(lines)


def render(stages, kinds, multi):
    shift = stages["shift"]
    index, blocks = stages["index"], stages["blocks"]
    flat = [k for block in blocks for k in block]
    max_multi = max((len(m) for m in multi), default=1)
    max_bytes = 4
    for m in multi:
        max_bytes = max(max_bytes, len(m.encode("utf-8")))
    size_index = len(index)
    size_blocks = len(flat)
    size_kinds = 4 * len(kinds)
    size_multi = 4 * (max_multi + 1) * len(multi)
    total = size_index + size_blocks + size_kinds + size_multi
    multi_rows = [[len(m)] + [ord(c) for c in m] + [0] * (max_multi - len(m)) for m in multi]

    out = []
    out.append("// GENERATED BY tools/gen_case_tables.py; DO NOT EDIT.")
    out.append(f"// Command: {COMMAND}")
    out.append(f"// Unicode {UNICODE_VERSION} (the database of the Python that ran the command).")
    out.append("//")
    out.append("// Full lowercase mapping and Final_Sigma classes for every code point.")
    out.append("// Each code point has a one-byte kind id; kKinds[id] packs the class in bits 0-1")
    out.append("// (0 other, 1 cased and not case-ignorable, 2 case-ignorable), bit 2 marks a")
    out.append("// mapping to several code points, and value >> 3 (arithmetic) is the code point")
    out.append("// delta, or with bit 2 the row of kMultiLower ({count, code points...}).")
    out.append("// Ids 0, 1 and 2 are the identity mappings of the three classes.")
    out.append("//")
    out.append(f"// Ids come from a two-stage table: kBlockIndex[slot] names a {1 << shift}-entry block")
    out.append("// of kBlocks (identical blocks stored once). The index covers code points below")
    out.append(f"// kLowLimit and in [kHighBase, kHighLimit), slot = c >> {shift} or")
    out.append("// (kLowLimit + c - kHighBase) >> " f"{shift}; every other code point has id 0.")
    out.append(f"// Sizes: index {size_index} B, {len(blocks)} blocks {size_blocks} B, "
               f"{len(kinds)} kinds {size_kinds} B, multi {size_multi} B; total {total} B.")
    out.append("")
    out.append(f'static constexpr char kUnicodeVersion[] = "{UNICODE_VERSION}";')
    out.append(f"static constexpr unsigned kBlockShift = {shift};")
    out.append(f"static constexpr char32_t kLowLimit = 0x{stages['low_limit']:X};")
    out.append(f"static constexpr char32_t kHighBase = 0x{stages['high_base']:X};")
    out.append(f"static constexpr char32_t kHighLimit = 0x{stages['high_limit']:X};")
    out.append(f"static constexpr unsigned kMultiMax = {max_multi};")
    out.append(f"// Longest UTF-8 form of one character's lowercase mapping.")
    out.append(f"static constexpr unsigned kMaxFoldedBytes = {max_bytes};")
    out.append("")
    out.append(c_array("uint8_t", "kBlockIndex", index, 24, str))
    out.append("")
    out.append(c_array("uint8_t", "kBlocks", flat, 32, str))
    out.append("")
    out.append(c_array("int32_t", "kKinds", kinds, 8, str))
    out.append("")
    out.append(f"static constexpr char32_t kMultiLower[{len(multi)}][{max_multi + 1}] = {{")
    for row in multi_rows:
        out.append("    {" + ", ".join(f"0x{v:X}" for v in row) + "},")
    out.append("};")
    out.append("")
    return "\n".join(out), total


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="compare with the committed file instead of writing it")
    parser.add_argument("--output", type=pathlib.Path, default=OUTPUT)
    args = parser.parse_args()

    if unicodedata.unidata_version != UNICODE_VERSION:
        sys.exit(f"this Python has Unicode {unicodedata.unidata_version}, the tables are "
                 f"pinned to {UNICODE_VERSION}; run the generator with a matching Python")

    lower, classes = derive()
    verify(lower, classes)
    kind_of, kinds, multi = encode_kinds(lower, classes)
    stages = build_stages(kind_of)
    for cp in range(MAX_CODE_POINT + 1):
        assert lookup(stages, 0, cp) == kind_of[cp], hex(cp)
    text, total = render(stages, kinds, multi)

    if args.check:
        current = args.output.read_text(encoding="utf-8") if args.output.exists() else ""
        if current != text:
            sys.exit(f"{args.output} is stale; rerun {COMMAND}")
        print(f"{args.output} is up to date ({total} bytes of tables)")
        return
    args.output.write_text(text, encoding="utf-8")
    print(f"wrote {args.output} ({total} bytes of tables)")


if __name__ == "__main__":
    main()
