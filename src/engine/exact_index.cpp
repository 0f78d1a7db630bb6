#include "engine/exact_index.h"

#include <algorithm>

namespace kwsieve {

ExactIndex::ExactIndex(const TrieNumbering& numbering, const std::array<bool, 256>& word_byte,
                       bool allow_overlaps) {
  const std::vector<uint32_t>& keys = numbering.keys;
  const std::size_t n = numbering.nodes.size();
  nodes_.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const TrieNumbering::Node& src = numbering.nodes[i];
    Node& dst = nodes_[i];
    std::memset(dst.keys, 0, sizeof dst.keys);
    dst.first = src.first;
    dst.name = src.name;
    bool bytes_only = true;
    for (uint32_t c = src.first; c < src.first + src.count; ++c) bytes_only &= keys[c] < 256;
    // The root is always a set node: its direct table is what every walk starts with.
    if (i != 0 && src.count <= static_cast<uint32_t>(kInline) && bytes_only) {
      dst.count = static_cast<uint8_t>(src.count);
      for (uint32_t j = 0; j < src.count; ++j) dst.keys[j] = static_cast<uint8_t>(keys[src.first + j]);
    } else {
      dst.count = kSetNode;
      uint32_t row = static_cast<uint32_t>(sets_.size());
      std::memcpy(dst.keys, &row, sizeof row);
      KeySet set{};
      for (uint32_t c = src.first; c < src.first + src.count; ++c) {
        const uint32_t k = keys[c];
        if (k < 256) {
          set.bits[k >> 6] |= uint64_t{1} << (k & 63);
        } else {
          other_keys_.push_back({c, k, static_cast<uint32_t>(i)});
        }
      }
      for (int q = 1; q < 4; ++q) {
        set.before[q] = static_cast<uint16_t>(set.before[q - 1] + std::popcount(set.bits[q - 1]));
      }
      sets_.push_back(set);
    }
  }
  // Runs are placed depth first, so a later node's children may have smaller ids.
  std::sort(other_keys_.begin(), other_keys_.end(), [](const OtherKey& a, const OtherKey& b) { return a.id < b.id; });
  root_.fill(kNoView);
  if (nodes_[0].count == kSetNode) {
    for (uint32_t c = nodes_[0].first, end = c + numbering.nodes[0].count; c < end; ++c) {
      if (keys[c] < 256) root_[keys[c]] = c;
    }
  }
  for (unsigned b = 0; b < 256; ++b) {
    unsigned lowered = (b >= 'A' && b <= 'Z') ? b + 32 : b;
    auto classify = [&](unsigned c) {
      return static_cast<uint8_t>((word_byte[c] ? kWordByte : 0) |
                                  (step(0, static_cast<unsigned char>(c)) != kNoView ? kRootByte : 0));
    };
    cls_[b] = classify(b);
    cls_lowered_[b] = classify(lowered);
  }
  masks_ = make_class_masks(cls_.data(), kWordByte, kRootByte);
  masks_lowered_ = make_class_masks(cls_lowered_.data(), kWordByte, kRootByte);
  build_filter(numbering, word_byte, allow_overlaps);
}

bool ExactIndex::may_end_later(uint64_t bytes, uint32_t ends) const {
  for (; ends != 0; ends &= ends - 1) {
    const unsigned j = lowest_bit(ends) + 1;
    if (filter_.may_hold(key(bytes & (~uint64_t{0} >> (64 - 8 * j)), j))) return true;
  }
  return false;
}

void ExactIndex::build_filter(const TrieNumbering& numbering, const std::array<bool, 256>& word_byte,
                              bool allow_overlaps) {
  // The paths of the nodes at most 16 deep, depth first. A path through a key above 255
  // can never match text and adds nothing. `bytes` holds the first 8 bytes of the path,
  // `rest` the next 8.
  struct Path {
    uint32_t node;
    uint32_t depth;
    uint64_t bytes;
    uint64_t rest;
  };
  struct Key {
    uint64_t hash;
    bool more;
  };
  std::vector<Key> keys;
  std::vector<uint64_t> keys2;
  std::vector<Path> stack(1, Path{0, 0, 0, 0});
  const bool overlaps = allow_overlaps;
  while (!stack.empty()) {
    const Path at = stack.back();
    stack.pop_back();
    const bool terminal = nodes_[at.node].name != kNotTerminal;
    if (at.depth > 0 && at.depth <= 8 && (at.depth == 8 || terminal)) {
      keys.push_back({key(at.bytes, at.depth), false});
      // A short keyword with a non-word byte inside: the scan finds its first end there,
      // and must then go on to probe the later ones.
      for (unsigned f = 1; at.depth < 8 && f < at.depth; ++f) {
        const auto b = static_cast<unsigned char>(at.bytes >> (8 * f));
        if (overlaps || !word_byte[b]) {
          keys.push_back({key(at.bytes & ((uint64_t{1} << (8 * f)) - 1), f), true});
          break;
        }
      }
    }
    // The second stage: every keyword of 8 to 15 bytes, and the first 16 bytes of every
    // longer one.
    if (at.depth >= 8 && (at.depth == 16 || terminal)) keys2.push_back(key2(at.bytes, at.rest, at.depth));
    if (at.depth == 16) continue;
    const TrieNumbering::Node& nd = numbering.nodes[at.node];
    for (uint32_t c = nd.first; c < nd.first + nd.count; ++c) {
      const uint64_t k = numbering.keys[c];
      if (k >= 256) continue;
      Path next{c, at.depth + 1, at.bytes, at.rest};
      if (at.depth < 8) {
        next.bytes |= k << (8 * at.depth);
      } else {
        next.rest |= k << (8 * (at.depth - 8));
      }
      stack.push_back(next);
    }
  }
  // From 8 words; the word index takes the hash's top bits, at most 32 of them.
  filter_.reset(keys.size(), 3, 32);
  for (const Key& k : keys) filter_.add(k.hash, k.more ? more_bits(k.hash) : BlockedBloom::pattern(k.hash));
  filter2_.reset(keys2.size(), 3, 32);
  for (uint64_t h : keys2) filter2_.add(h);
}

}  // namespace kwsieve
