#include "engine/codec.h"

#include <cassert>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "engine/listing.h"
#include "engine/processor.h"
#include "engine/utf8.h"

namespace kwsieve {

const char* decode_error_name(DecodeErrorKind kind) {
  switch (kind) {
    case DecodeErrorKind::Io: return "Io";
    case DecodeErrorKind::InvalidUtf8Encoding: return "InvalidUtf8Encoding";
    case DecodeErrorKind::InvalidBoolEncoding: return "InvalidBoolEncoding";
    case DecodeErrorKind::InvalidCharEncoding: return "InvalidCharEncoding";
    case DecodeErrorKind::InvalidTagEncoding: return "InvalidTagEncoding";
    case DecodeErrorKind::Custom: return "Custom";
  }
  return "Unknown";
}

namespace {
std::string error_text(DecodeErrorKind kind, const std::string& detail) {
  std::string s = decode_error_name(kind);
  if (!detail.empty()) {
    s += ": ";
    s += detail;
  }
  return s;
}
}  // namespace

DecodeError::DecodeError(DecodeErrorKind kind, const std::string& detail, std::source_location where)
    : Fault(error_text(kind, detail), where), kind_(kind) {}

void ByteWriter::f32(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, 4);
  u32(bits);
}

void ByteWriter::key(uint32_t c) { append_utf8(out_, c); }

void ByteReader::eof() { throw DecodeError(DecodeErrorKind::Io, "unexpected end of input"); }

uint64_t ByteReader::u64() {
  if (left_ < 8) eof();
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p_[i];
  p_ += 8;
  left_ -= 8;
  return v;
}

uint32_t ByteReader::u32() {
  if (left_ < 4) eof();
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p_[i];
  p_ += 4;
  left_ -= 4;
  return v;
}

uint8_t ByteReader::byte() {
  if (left_ < 1) eof();
  --left_;
  return *p_++;
}

float ByteReader::f32() {
  uint32_t bits = u32();
  float v;
  std::memcpy(&v, &bits, 4);
  return v;
}

bool ByteReader::flag() {
  uint8_t b = byte();
  if (b > 1) throw DecodeError(DecodeErrorKind::InvalidBoolEncoding, std::to_string(b));
  return b == 1;
}

std::size_t ByteReader::size() {
  uint64_t v = u64();
  constexpr uint64_t kMax = std::numeric_limits<std::size_t>::max();
  if (v > kMax) {
    throw DecodeError(DecodeErrorKind::Custom, "Invalid size " + std::to_string(v) +
                                                   ": sizes must fit in a usize (0 to " +
                                                   std::to_string(kMax) + ")");
  }
  return static_cast<std::size_t>(v);
}

std::string_view ByteReader::str() {
  std::size_t n = size();
  if (left_ < n) eof();
  std::string_view s(reinterpret_cast<const char*>(p_), n);
  Utf8Check c = check_utf8(s);
  if (!c.ok) {
    std::string detail = "valid up to byte " + std::to_string(c.valid_up_to) + ", ";
    detail += c.error_len ? "invalid sequence of " + std::to_string(c.error_len) + " byte(s)"
                          : std::string("incomplete sequence at the end");
    throw DecodeError(DecodeErrorKind::InvalidUtf8Encoding, detail);
  }
  p_ += n;
  left_ -= n;
  return s;
}

uint32_t ByteReader::key() {
  if (left_ < 1) eof();
  // Short of bytes or not well-formed, a key is InvalidCharEncoding alike.
  char32_t c;
  const unsigned len = decode_utf8(p_, p_ + left_, c);
  if (len == 0) throw DecodeError(DecodeErrorKind::InvalidCharEncoding, "");
  p_ += len;
  left_ -= len;
  return c;
}

std::string encode_match(const MatchValue& m) {
  std::string out;
  out.reserve(28 + m.keyword.size());
  ByteWriter w(out);
  w.str(m.keyword);
  w.f32(m.similarity);
  w.u64(m.start);
  w.u64(m.end);
  return out;
}

MatchValue decode_match(std::string_view state) {
  ByteReader r(state);
  MatchValue m;
  m.keyword.assign(r.str());
  m.similarity = r.f32();
  for (std::size_t* field : {&m.start, &m.end}) {
    uint64_t v = r.u64();
    if (v > std::numeric_limits<std::size_t>::max()) {
      throw DecodeError(DecodeErrorKind::Custom,
                        "invalid value: integer `" + std::to_string(v) + "`, expected usize");
    }
    *field = static_cast<std::size_t>(v);
  }
  return m;
}

// ---- processor state ----
//
// A node is written as its child count, then each child as (key, the child's complete
// encoding), then its clean-name tag; children follow the trie's sibling order. Both
// directions walk the trie with a heap-allocated path instead of recursing, because a
// state may legitimately nest as deep as its longest keyword is long.

namespace {

void add_size(std::size_t& total, std::size_t more) {
  // Only reachable where size_t is 32 bits; the trie could then not be held in memory
  // either, so report it the way the allocation would have failed.
  if (more > std::numeric_limits<std::size_t>::max() - total) throw std::bad_alloc();
  total += more;
}

void write_words(ByteWriter& w, const WordSet& set) {
  w.u64(WordSet::kWords);
  for (uint64_t word : set.words()) w.u64(word);
}

// Reads the `declared` words that follow the count, keeping the first 17,408: nothing is
// allocated by the declared count. Returns how many were read.
std::size_t read_words(ByteReader& r, std::size_t declared, WordSet& set) {
  auto& words = set.words();
  std::size_t got = 0;
  for (; got < declared; ++got) {
    uint64_t word = r.u64();
    if (got < WordSet::kWords) words[got] = word;
  }
  return got;
}

uint64_t child_count(const Trie& trie, NodeId n) {
  uint64_t count = 0;
  for (NodeId c = trie.first_child(n); c != kNoNode; c = trie.next_sibling(c)) ++count;
  return count;
}

}  // namespace

std::string encode_processor(const KeywordProcessor& processor) {
  const Trie& trie = processor.trie();

  // First pass: the exact length, so the buffer is allocated once.
  std::size_t size = 8 + 8 * WordSet::kWords + 2;
  walk_depth_first(
      trie,
      [&](NodeId n) {
        add_size(size, 8 + 1);  // child count and tag
        if (n != Trie::root()) add_size(size, utf8_len(trie.key(n)));
        if (trie.terminal(n)) {
          add_size(size, 8);
          add_size(size, trie.clean_name(n).size());
        }
        return true;
      },
      [](NodeId) {});

  std::string out;
  out.reserve(size);
  ByteWriter w(out);
  write_words(w, processor.non_word_boundaries());
  walk_depth_first(
      trie,
      [&](NodeId n) {
        if (n != Trie::root()) w.key(trie.key(n));
        w.u64(child_count(trie, n));
        return true;
      },
      [&](NodeId n) {
        if (trie.terminal(n)) {
          w.byte(1);
          w.str(trie.clean_name(n));
        } else {
          w.byte(0);
        }
      });
  w.byte(processor.case_sensitive() ? 1 : 0);
  w.byte(processor.allow_overlaps() ? 1 : 0);
  assert(out.size() == size);
  return out;
}

namespace {

// Builds the trie a state lists, depth first. A node with one child (other than the root)
// may be the top of a lone chain that ends a keyword, which loading stores as a tail; the
// nodes below it therefore wait, as bytes, until their tags show whether they are one. A
// chain that branches, holds a key above 255 or ends in a leaf without a name becomes real
// nodes instead.
//
// One frame per open node on the path from the root: the node, its child added last
// (states list children in ascending key order, so linking after it is O(1)), and how
// many of its declared children are still to come. A forged count costs nothing up
// front; each child consumes input, so an overstated count ends in an error at the end
// of the data.
void decode_trie(ByteReader& r, Trie& trie) {
  struct Frame {
    NodeId node;  // kNoNode while the node waits in `chain`
    NodeId last_child;
    std::size_t children_left;
  };
  std::vector<Frame> open;
  open.push_back({Trie::root(), kNoNode, r.size()});
  // The keys of the waiting chain, from its top. The last `waiting` frames are its open
  // nodes; once its leaf has closed with a name, chain[tail_from..] spells a tail ending in
  // `tail_name` below the frame on top.
  std::string chain;
  std::size_t waiting = 0;
  std::size_t tail_from = 0;
  std::string_view tail_name;
  bool has_tail = false;

  // Makes real nodes of the open waiting frames. Their keys are the whole chain unless a
  // tail below them is pending, which keeps its bytes.
  auto settle_waiting = [&] {
    const std::size_t first = open.size() - waiting;
    for (std::size_t i = 0; i < waiting; ++i) {
      Frame& parent = open[first + i - 1];
      const NodeId node = trie.add_child_after(parent.node, parent.last_child, static_cast<unsigned char>(chain[i]));
      parent.last_child = node;
      open[first + i].node = node;
    }
    waiting = 0;
    if (!has_tail) chain.clear();
  };

  while (!open.empty()) {
    Frame& top = open.back();
    if (top.children_left > 0) {
      --top.children_left;
      // Below a waiting node, or a real one other than the root (whose table cannot hold a
      // tail) that declared this child only.
      const bool may_wait = top.node == kNoNode ||
                            (top.node != Trie::root() && top.children_left == 0 && top.last_child == kNoNode);
      const uint32_t key = r.key();
      const std::size_t children = r.size();
      if (may_wait && key < 256) {
        chain.push_back(static_cast<char>(key));
        ++waiting;
        open.push_back({kNoNode, kNoNode, children});  // `top` dies here
        if (children > 1) settle_waiting();
        continue;
      }
      if (waiting != 0) settle_waiting();
      Frame& parent = open.back();
      // A repeated key replaces the earlier, already complete child and its subtree.
      const NodeId child = trie.add_child_after(parent.node, parent.last_child, key);
      parent.last_child = child;
      open.push_back({child, kNoNode, children});
      continue;
    }
    const uint8_t tag = r.byte();
    if (tag > 1) throw DecodeError(DecodeErrorKind::InvalidTagEncoding, std::to_string(tag));
    const std::string_view name = tag == 1 ? r.str() : std::string_view();
    if (top.node != kNoNode) {
      if (tag == 1) trie.set_clean_name(top.node, name);
      open.pop_back();
      continue;
    }
    // A waiting node: the leaf of its chain first, then the nodes above it.
    const std::size_t at = waiting - 1;  // its index in `chain`
    if (!has_tail && tag == 0) {
      // A leaf without a name stays a node, and so does the chain above it.
      settle_waiting();
      open.pop_back();
      continue;
    }
    if (!has_tail) {
      has_tail = true;
      tail_from = at;
      tail_name = name;
    } else if (tag == 0) {
      tail_from = at;
    } else {
      // A keyword in the middle of the chain: it and the nodes above it become real, and
      // the chain below it a tail.
      settle_waiting();
      trie.add_tail(top.node, std::string_view(chain).substr(tail_from), tail_name);
      trie.set_clean_name(top.node, name);
      chain.clear();
      has_tail = false;
      open.pop_back();
      continue;
    }
    open.pop_back();
    if (--waiting == 0) {
      trie.add_tail(open.back().node, chain, tail_name);
      chain.clear();
      has_tail = false;
    }
  }
}

}  // namespace

DecodedProcessor decode_processor(std::string_view state) {
  ByteReader r(state);
  DecodedProcessor d;

  // The word count is only compared once the declared words have been read, so a short
  // count fails with Custom and a truncated set with Io.
  d.words = std::make_unique<WordSet>();
  const std::size_t got = read_words(r, r.size(), *d.words);
  if (got != WordSet::kWords) {
    throw DecodeError(DecodeErrorKind::Custom, "Expected " + std::to_string(WordSet::kWords) +
                                                   " elements, got " + std::to_string(got));
  }

  decode_trie(r, d.trie);
  d.case_sensitive = r.flag();
  d.allow_overlaps = r.flag();
  // Bytes after the flags are ignored.
  return d;
}

}  // namespace kwsieve
