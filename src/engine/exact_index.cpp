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
    if (src.count <= static_cast<uint32_t>(kInline) && bytes_only) {
      dst.count = static_cast<uint8_t>(src.count);
      for (uint32_t j = 0; j < src.count; ++j) dst.keys[j] = static_cast<uint8_t>(view.key(src.first + j));
    } else {
      dst.count = kWide;
      uint32_t row = static_cast<uint32_t>(wide_.size() / 256);
      std::memcpy(dst.keys, &row, sizeof row);
      wide_.resize(wide_.size() + 256, kNone);
      for (uint32_t c = src.first; c < src.first + src.count; ++c) {
        if (view.key(c) < 256) wide_[std::size_t{row} * 256 + view.key(c)] = c;
      }
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
