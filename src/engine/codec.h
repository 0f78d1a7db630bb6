// Byte encodings of a processor's state and of a match.
//
// The formats have no header, version or padding: fixed-width little-endian integers,
// 64-bit length prefixes, one-byte flags and tags. They end up inside stored pickles, so
// they are built from bytes value by value and never by casting a buffer to a struct.
// The decoder trusts nothing it reads: every count and length is checked against the
// bytes that remain before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/fault.h"
#include "engine/trie.h"
#include "engine/word_set.h"

namespace kwsieve {

class KeywordProcessor;

enum class DecodeErrorKind {
  Io,                   // the input ended inside a value
  InvalidUtf8Encoding,  // a string's bytes are not UTF-8
  InvalidBoolEncoding,  // a flag byte other than 0 or 1
  InvalidCharEncoding,  // a key is not the UTF-8 form of one scalar value
  InvalidTagEncoding,   // an optional-string tag other than 0 or 1
  Custom,               // a count or value the format does not allow
};

const char* decode_error_name(DecodeErrorKind kind);

// A decoding failure; what() names the kind and its detail, e.g.
// "Custom: Expected 17408 elements, got 3".
class DecodeError : public Fault {
 public:
  DecodeError(DecodeErrorKind kind, const std::string& detail,
              std::source_location where = std::source_location::current());
  DecodeErrorKind kind() const noexcept { return kind_; }

 private:
  DecodeErrorKind kind_;
};

// Writes into a buffer sized in advance.
class ByteWriter {
 public:
  explicit ByteWriter(std::string& out) : out_(out) {}
  void u64(uint64_t v) {
    char b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<char>(v >> (8 * i));
    out_.append(b, 8);
  }
  void u32(uint32_t v) {
    char b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<char>(v >> (8 * i));
    out_.append(b, 4);
  }
  void byte(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void f32(float v);
  void str(std::string_view s) {
    u64(s.size());
    out_.append(s);
  }
  void key(uint32_t c);

 private:
  std::string& out_;
};

class ByteReader {
 public:
  explicit ByteReader(std::string_view in)
      : p_(reinterpret_cast<const unsigned char*>(in.data())), left_(in.size()) {}
  std::size_t left() const { return left_; }

  uint64_t u64();
  uint32_t u32();
  uint8_t byte();
  float f32();
  bool flag();
  // A 64-bit count or length converted to size_t ("Invalid size" where size_t is narrower).
  std::size_t size();
  // A length-prefixed UTF-8 string, a view into the input.
  std::string_view str();
  // A key character: 1 to 4 bytes of UTF-8 with no length prefix.
  uint32_t key();

 private:
  [[noreturn]] static void eof();
  const unsigned char* p_;
  std::size_t left_;
};

// ---- match state: L, keyword, similarity, start, end (28 + L bytes) ----

struct MatchValue {
  std::string keyword;
  float similarity = 0.0f;
  std::size_t start = 0;
  std::size_t end = 0;
};

std::string encode_match(const MatchValue& m);
// Throws DecodeError; trailing bytes are ignored.
MatchValue decode_match(std::string_view state);

// ---- processor state: word set, trie, case_sensitive, allow_overlaps ----

struct DecodedProcessor {
  std::unique_ptr<WordSet> words;
  Trie trie;
  bool case_sensitive = false;
  bool allow_overlaps = false;
};

std::string encode_processor(const KeywordProcessor& processor);
// Throws DecodeError (or std::bad_alloc); on failure nothing built survives.
DecodedProcessor decode_processor(std::string_view state);

}  // namespace kwsieve
