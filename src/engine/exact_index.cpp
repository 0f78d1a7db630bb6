#include "engine/exact_index.h"

#include "engine/read_view.h"

namespace kwsieve {

ExactIndex::ExactIndex(const ReadView& view) {
  const std::size_t n = view.size();
  nodes_.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const ReadView::Node& src = view.node(static_cast<uint32_t>(i));
    Node& dst = nodes_[i];
    std::memset(dst.keys, 0, sizeof dst.keys);
    dst.first = src.first;
    dst.name = src.name == ReadView::kNone ? kNone : src.name;
    bool bytes_only = true;
    for (uint32_t c = src.first; c < src.first + src.count; ++c) bytes_only &= view.key(c) < 256;
    // The root is always wide: its direct table is what every walk starts with.
    if (i != 0 && src.count <= static_cast<uint32_t>(kInline) && bytes_only) {
      dst.count = static_cast<uint8_t>(src.count);
      for (uint32_t j = 0; j < src.count; ++j) dst.keys[j] = static_cast<uint8_t>(view.key(src.first + j));
    } else {
      dst.count = kWide;
      uint32_t row = static_cast<uint32_t>(sets_.size());
      std::memcpy(dst.keys, &row, sizeof row);
      KeySet set{};
      for (uint32_t c = src.first; c < src.first + src.count; ++c) {
        uint32_t k = view.key(c);
        if (k < 256) set.bits[k >> 6] |= uint64_t{1} << (k & 63);
      }
      for (int q = 1; q < 4; ++q) {
        set.before[q] = static_cast<uint16_t>(set.before[q - 1] + __builtin_popcountll(set.bits[q - 1]));
      }
      sets_.push_back(set);
    }
  }
  root_.fill(kNone);
  if (nodes_[0].count == kWide) {
    for (uint32_t c = nodes_[0].first, end = c + view.node(0).count; c < end; ++c) {
      if (view.key(c) < 256) root_[view.key(c)] = c;
    }
  }
  for (unsigned b = 0; b < 256; ++b) {
    unsigned lowered = (b >= 'A' && b <= 'Z') ? b + 32 : b;
    auto classify = [&](unsigned c) {
      return static_cast<uint8_t>((view.word_byte(static_cast<unsigned char>(c)) ? kWordByte : 0) |
                                  (step(0, static_cast<unsigned char>(c)) != kNone ? kRootByte : 0));
    };
    cls_[b] = classify(b);
    cls_lowered_[b] = classify(lowered);
  }
}

}  // namespace kwsieve
