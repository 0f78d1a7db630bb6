#include "engine/columns.h"

#include <limits>
#include <utility>

namespace kwsieve {

void Offsets::assign(std::vector<int64_t>&& offsets) {
  narrow_.clear();
  wide_.clear();
  if (!offsets.empty() && offsets.back() > std::numeric_limits<int32_t>::max()) {
    wide_ = std::move(offsets);
    return;
  }
  narrow_.assign(offsets.begin(), offsets.end());
  offsets = {};
}

void Offsets::widen() {
  if (wide()) return;
  wide_.assign(narrow_.begin(), narrow_.end());
  narrow_ = {};
}

void Validity::push(bool valid) {
  if (!valid && nulls_ == 0) {
    // The first null: every earlier text was valid.
    bits_.assign((size_ + 8) / 8 + 1, 0);
    for (std::size_t i = 0; i < size_; ++i) bits_[i >> 3] |= static_cast<uint8_t>(1u << (i & 7));
  }
  if (nulls_ != 0 || !valid) {
    if ((size_ >> 3) >= bits_.size()) bits_.resize(bits_.size() * 2 + 1, 0);
    if (valid) bits_[size_ >> 3] |= static_cast<uint8_t>(1u << (size_ & 7));
  }
  nulls_ += !valid;
  ++size_;
}

void MatchColumnBuilder::add_null() {
  out_.validity.push(false);
  lists_.push_back(lists_.back());
}

void MatchColumnBuilder::add(const KeywordMatch* matches, std::size_t count) {
  out_.validity.push(true);
  for (std::size_t i = 0; i < count; ++i) {
    const KeywordMatch& m = matches[i];
    out_.keyword_data.append(m.keyword);
    keyword_offsets_.push_back(static_cast<int64_t>(out_.keyword_data.size()));
    out_.similarity.push_back(m.similarity);
    out_.start.push_back(static_cast<int64_t>(m.start));
    out_.end.push_back(static_cast<int64_t>(m.end));
  }
  lists_.push_back(static_cast<int64_t>(out_.similarity.size()));
}

void MatchColumnBuilder::add_all(const MatchColumn& column) {
  std::vector<KeywordMatch> row;
  const std::string_view names(column.keyword_data);
  for (std::size_t r = 0; r < column.size(); ++r) {
    if (!column.validity.valid(r)) {
      add_null();
      continue;
    }
    row.clear();
    for (auto i = static_cast<std::size_t>(column.lists[r]); i < static_cast<std::size_t>(column.lists[r + 1]); ++i) {
      const auto k = static_cast<std::size_t>(column.keyword_offsets[i]);
      const auto k_end = static_cast<std::size_t>(column.keyword_offsets[i + 1]);
      row.push_back({names.substr(k, k_end - k), column.similarity[i], static_cast<std::size_t>(column.start[i]),
                     static_cast<std::size_t>(column.end[i])});
    }
    add(row.data(), row.size());
  }
}

MatchColumn MatchColumnBuilder::finish() {
  out_.lists.assign(std::move(lists_));
  out_.keyword_offsets.assign(std::move(keyword_offsets_));
  return std::move(out_);
}

void TextColumnBuilder::reserve(std::size_t rows, std::size_t bytes) {
  offsets_.reserve(rows + 1);
  out_.data.reserve(bytes);
}

void TextColumnBuilder::add_null() {
  out_.validity.push(false);
  offsets_.push_back(offsets_.back());
}

void TextColumnBuilder::add(std::string_view text) {
  out_.validity.push(true);
  out_.data.append(text);
  offsets_.push_back(static_cast<int64_t>(out_.data.size()));
}

void TextColumnBuilder::add_all(const TextColumn& column) {
  for (std::size_t r = 0; r < column.size(); ++r) {
    if (column.validity.valid(r)) {
      add(column.text(r));
    } else {
      add_null();
    }
  }
}

TextColumn TextColumnBuilder::finish() {
  out_.offsets.assign(std::move(offsets_));
  return std::move(out_);
}

}  // namespace kwsieve
