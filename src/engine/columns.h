// Result columns of the columnar methods, laid out as Arrow arrays: a list of match
// structs per text for extraction, a string per text for replacement. The buffers are
// the arrays' buffers exactly, so the binding exports them without a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/extract.h"

namespace kwsieve {

// Arrow offsets: 32-bit while the last one fits, else 64-bit (the "large" types).
class Offsets {
 public:
  bool wide() const { return !wide_.empty(); }
  const void* data() const { return wide() ? static_cast<const void*>(wide_.data()) : narrow_.data(); }
  std::size_t size() const { return wide() ? wide_.size() : narrow_.size(); }
  int64_t operator[](std::size_t i) const { return wide() ? wide_[i] : narrow_[i]; }
  // Builds the offsets from 64-bit ones (which it takes over if they must stay wide).
  void assign(std::vector<int64_t>&& offsets);
  // Makes them 64-bit whatever their values.
  void widen();

 private:
  std::vector<int32_t> narrow_;
  std::vector<int64_t> wide_;
};

// Validity of a column's texts, one bit per text (set: not null), or nothing while no text
// is null.
class Validity {
 public:
  void push(bool valid);
  std::size_t null_count() const { return nulls_; }
  const uint8_t* data() const { return nulls_ ? bits_.data() : nullptr; }
  bool valid(std::size_t i) const { return nulls_ == 0 || (bits_[i >> 3] >> (i & 7)) & 1; }
  std::size_t size() const { return size_; }

 private:
  std::vector<uint8_t> bits_;
  std::size_t size_ = 0;
  std::size_t nulls_ = 0;
};

// list<struct<keyword: string, similarity: float32, start: int64, end: int64>>
struct MatchColumn {
  Validity validity;
  Offsets lists;  // size() + 1 entries
  Offsets keyword_offsets;
  std::string keyword_data;
  std::vector<float> similarity;
  std::vector<int64_t> start;
  std::vector<int64_t> end;
  std::size_t size() const { return validity.size(); }
  std::size_t matches() const { return similarity.size(); }
};

// string, or large_string when the text outgrows 32-bit offsets
struct TextColumn {
  Validity validity;
  Offsets offsets;
  std::string data;
  std::size_t size() const { return validity.size(); }
  std::string_view text(std::size_t i) const {
    return std::string_view(data).substr(static_cast<std::size_t>(offsets[i]),
                                         static_cast<std::size_t>(offsets[i + 1] - offsets[i]));
  }
};

class MatchColumnBuilder {
 public:
  void add_null();
  void add(const KeywordMatch* matches, std::size_t count);
  // Every row of `column` in turn.
  void add_all(const MatchColumn& column);
  MatchColumn finish();

 private:
  MatchColumn out_;
  std::vector<int64_t> lists_{0};
  std::vector<int64_t> keyword_offsets_{0};
};

class TextColumnBuilder {
 public:
  void reserve(std::size_t rows, std::size_t bytes);
  void add_null();
  void add(std::string_view text);
  void add_all(const TextColumn& column);
  TextColumn finish();

 private:
  TextColumn out_;
  std::vector<int64_t> offsets_{0};
};

}  // namespace kwsieve
