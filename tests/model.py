"""A small reference model of keyword extraction and replacement.

Written from the behaviour, for differential tests, and kept naive on purpose: the trie is
nested dicts, the approximate search is the literal stack search with no pruning at all
(exponential as the threshold falls, so keep texts short), and every single-precision
operation is emulated on Python floats.

    model = Model(case_sensitive=False, allow_overlaps=False)
    model.add_keyword("New York", "NYC")
    model.extract("I love new york", 0.8)   # [(keyword, similarity, start, end), ...]
    model.replace("I love new york", 0.8)
"""

import math
import struct

EDGE_SPACE = frozenset(b"\t\n\r ")
DEFAULT_WORD_CHARS = frozenset(
    map(ord, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"))


class ModelPanic(Exception):
    """The internal fault the module raises as PanicException."""


# --- binary32 ---------------------------------------------------------------------------
#
# Python floats are binary64. Rounding an exact binary64 result to binary32 gives the
# correctly rounded binary32 result, and for one +, -, * or / of binary32 operands so does
# rounding the (already rounded) binary64 result: double rounding is harmless for these
# operations because 53 >= 2 * 24 + 2 (Figueroa, "When is double rounding innocuous?", 1995).
# So each binary32 operation below is the binary64 operation followed by f32().


def f32(x):
    """x rounded to the nearest binary32 value (ties to even), as a Python float."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:  # beyond the binary32 range: round to infinity
        return math.copysign(math.inf, x)


def similarity(cost, d):
    """1 - cost / d in binary32, cost and d (at least 1 here) converted to binary32 first."""
    return f32(1.0 - f32(f32(cost) / f32(d)))


def round_similarity(s):
    """The nearest integer to s * 100, halves away from zero, divided by 100, in binary32."""
    x = f32(s * 100.0)
    n = math.floor(abs(x) + 0.5)  # exact: x has at most 24 significant bits
    return f32(math.copysign(n, x) / 100.0)


# --- the processor ----------------------------------------------------------------------


class Node:
    def __init__(self):
        self.children = {}  # byte value -> Node
        self.name = None  # clean name (str) when a keyword ends here

    def sorted_children(self):
        return sorted(self.children.items())


class Model:
    def __init__(self, case_sensitive=False, allow_overlaps=False, byte_rule=False):
        self.case_sensitive = case_sensitive
        self.allow_overlaps = allow_overlaps
        self.byte_rule = byte_rule
        self.root = Node()
        self.word_chars = set(DEFAULT_WORD_CHARS)

    def normalise(self, text):
        return text if self.case_sensitive else text.lower()

    def add_keyword(self, keyword, clean_name=None):
        normalised = self.normalise(keyword)
        node = self.root
        for b in normalised.encode():
            node = node.children.setdefault(b, Node())
        node.name = normalised if clean_name is None else clean_name

    def add_non_word_boundary(self, ch):
        self.word_chars.add(ord(ch))

    def set_non_word_boundaries(self, chars):
        self.word_chars = {ord(ch) for ch in chars}

    def is_word_byte(self, b):
        # The earlier rule, kept for comparison (byte_rule=True): a byte of a multi-byte
        # sequence is tested as the code point with its number.
        return b in self.word_chars

    def word_tests(self, folded, w):
        """(word before p, word at i) for the working text `w`, the UTF-8 form of `folded`.

        Both look at whole characters of the str: the one that ends just before p, and the
        one that holds byte i (an approximate match may end inside a character; a start
        inside one is tested against that character).
        """
        if self.byte_rule:
            return (lambda p: self.is_word_byte(w[p - 1]), lambda i: self.is_word_byte(w[i]))
        holder = []  # index into `folded` of the character holding each byte
        for k, ch in enumerate(folded):
            holder.extend([k] * len(ch.encode()))
        return (lambda p: ord(folded[holder[p - 1]]) in self.word_chars,
                lambda i: ord(folded[holder[i]]) in self.word_chars)

    def window_chars(self, folded, w, i):
        """The characters of the approximate end window: the one holding byte i and the two
        after it, cut at the end of the text (bytes under byte_rule)."""
        if self.byte_rule:
            return list(w[i:i + 3])
        k = len(w[:i].decode(errors="ignore"))  # characters wholly before byte i
        return [ord(ch) for ch in folded[k:k + 3]]

    # --- extraction ---------------------------------------------------------------------

    def extract(self, text, threshold=None):
        """Matches as (keyword, similarity, start, end), offsets into the working text."""
        t = 1.0 if threshold is None else f32(threshold)
        if not (0.0 <= t <= 1.0):
            raise ModelPanic("Threshold must be between 0 and 1")
        folded = self.normalise(text)
        w = folded.encode()
        word_before, word_at = self.word_tests(folded, w)
        matches = []
        p = 0
        while p < len(w):
            if not self.allow_overlaps and p > 0 and word_before(p):
                p += 1
                continue
            found = self.exact_walk(w, p) if t == 1.0 else self.approximate_search(w, p, t)
            if found is None:
                p += 1
                continue
            name, length, sim = found
            e = p + length
            if t == 1.0:
                e_reported = e
                accept = self.allow_overlaps or e == len(w) or not word_at(e)
            else:
                e_reported = e - 1 if w[e - 1] in EDGE_SPACE else e
                window = self.window_chars(folded, w, e_reported)
                accept = (self.allow_overlaps or e_reported == len(w)
                          or any(c not in self.word_chars for c in window))
            if not accept:
                p += 1
                continue
            start = p + 1 if w[p] in EDGE_SPACE else p
            # A match of one edge whitespace byte trims to start > end: not reported.
            if start <= e_reported:
                matches.append((name, round_similarity(sim), start, e_reported))
            p = e
        return matches

    def exact_walk(self, w, p):
        """The longest keyword spelled from p: (clean name, length, 1.0), or None."""
        node, k, last = self.root, 0, None
        while node.children:
            node = node.children.get(w[p + k])
            if node is None:
                break
            k += 1
            if node.name is not None:
                last = (node.name, k, 1.0)
            if p + k == len(w):
                break
        return last

    def approximate_search(self, w, p, t):
        """The literal edit search from p: (clean name, length, similarity), or None.

        Depth first on a stack; the best candidate is replaced only by a strictly greater
        similarity, so among equals the first popped wins. Only states that consumed at
        least one text byte are scored.
        """
        remaining = len(w) - p
        best_sim, best = 0.0, None
        stack = [(self.root, 0, 0)]
        while stack:
            node, j, c = stack.pop()
            if node.name is not None and j > 0:
                s = similarity(c, max(j, len(node.name.encode())))
                if s >= t and s > best_sim:
                    best_sim, best = s, (node.name, j, s)
            if j >= remaining:
                continue
            b = w[p + j]
            if b in node.children:
                stack.append((node.children[b], j + 1, c))
            if similarity(c, j + 1) >= t:
                stack.append((node, j + 1, c + 1))  # a text byte skipped
                for key, child in node.sorted_children():
                    if key != b:
                        stack.append((child, j + 1, c + 1))  # a substitution
                    stack.append((child, j, c + 1))  # a keyword byte skipped
        return best

    # --- replacement --------------------------------------------------------------------

    def working_pieces(self, text):
        """(source start, source length, folded start, folded length) of each character."""
        folded = self.normalise(text)
        pieces, so, fo, at = [], 0, 0, 0
        for ch in text:
            # Only the capital sigma's lowercase depends on its neighbours, and it is one
            # character either way: take it from the folded text.
            low = ch if self.case_sensitive else (folded[at] if ch == "\u03a3" else ch.lower())
            assert folded.startswith(low, at)
            sl, fl = len(ch.encode()), len(low.encode())
            pieces.append((so, sl, fo, fl))
            so, fo, at = so + sl, fo + fl, at + len(low)
        return pieces, fo

    def replace(self, text, threshold=None):
        matches = self.extract(text, threshold)
        src = text.encode()
        pieces, folded_len = self.working_pieces(text)

        def char_at(f):
            return next(pc for pc in pieces if pc[2] <= f < pc[2] + pc[3])

        def source_start(f):  # start of the character holding folded byte f
            return len(src) if f >= folded_len else char_at(f)[0]

        def source_end(f):  # end of the character holding folded byte f - 1
            if f == 0:
                return 0
            if f >= folded_len:
                return len(src)
            so, sl, _, _ = char_at(f - 1)
            return so + sl

        # Carried back to whole characters of the given text, last match first; a span
        # that widening pushed into the next one is cut at that one's start.
        spans, limit = [], len(src)
        for name, _, start, end in reversed(matches):
            e = min(source_end(end), limit)
            s = min(source_start(start), e)
            spans.append((s, e, name))
            limit = s
        out = src
        for s, e, name in spans:
            out = out[:s] + name.encode() + out[e:]
        return out.decode()


def tuples(result):
    """The module's result in the model's form: each match object as its four values."""
    if isinstance(result, list):
        return [tuples(r) for r in result]
    if hasattr(result, "similarity"):
        return (result.keyword, result.similarity, result.start, result.end)
    return result


def paired(keywords, case_sensitive=False, allow_overlaps=False, boundaries=None):
    """A KeywordProcessor and a Model holding the same keywords (each a str or a (keyword,
    clean name) pair); `boundaries` replaces the word set."""
    from kwsieve import KeywordProcessor

    kp, model = KeywordProcessor(case_sensitive, allow_overlaps), Model(case_sensitive, allow_overlaps)
    for kw in keywords:
        kw, clean = (kw, None) if isinstance(kw, str) else kw
        kp.add_keyword(kw, clean)
        model.add_keyword(kw, clean)
    if boundaries is not None:
        kp.set_non_word_boundaries(list(boundaries))
        model.set_non_word_boundaries(boundaries)
    return kp, model
