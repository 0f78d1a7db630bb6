// Full Unicode lowercase folding of UTF-8 text, and the offset map that carries
// positions in the folded text back to the text it came from.
//
// Folding follows CPython's str.lower() exactly for the Unicode version of
// case_tables.inc: every character takes its full lowercase mapping (U+0130 becomes
// U+0069 U+0307), and a capital sigma becomes the final sigma U+03C2 when the
// nearest non-case-ignorable character before it is cased and the nearest one after
// it is not (or there is none). Folding can change a character's byte length; those
// characters are rare, so the map records only them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/cancel.h"
#include "engine/code_units.h"

namespace kwsieve {

// A run of consecutive characters that all changed byte length the same way:
// `count` characters of `source_len` bytes each, starting at `source`, folded to
// `count` characters of `folded_len` bytes each, starting at `folded`. A text can
// hold one run per character (alternating 'İ' and 'a'), so the record is kept small:
// 24 bytes on 64-bit targets, 16 on 32-bit ones.
struct FoldShift {
  size_t folded;
  size_t source;
  uint32_t count;
  uint8_t folded_len;
  uint8_t source_len;
};

// Maps offsets of a folded text back to its source text. Between recorded runs the
// two texts agree byte for byte, so an offset there moves by the length difference
// accumulated before it; an offset inside a recorded character widens to that whole
// character. A default map, and any map with no runs, is the identity.
class FoldMap {
 public:
  FoldMap() = default;

  bool empty() const { return shifts_.empty(); }
  const std::vector<FoldShift>& shifts() const { return shifts_; }

  // Source offset of the start of the character that holds folded byte `folded`.
  // Offsets at or past the end of the folded text give the source length.
  size_t source_start(size_t folded) const;
  // Source offset of the end of the character that holds folded byte `folded - 1`
  // (0 for 0). Offsets at or past the end of the folded text give the source length.
  size_t source_end(size_t folded) const;
  // [start, end) of the folded text carried back whole characters wide. An empty or
  // crossed span (end <= start) maps both ends like starts, keeping its shape.
  std::pair<size_t, size_t> source_span(size_t start, size_t end) const;

  // Builder interface used by fold_case. Empties the map (making it the identity).
  void reset();
  // Records one character at `source` (source_len bytes) folded to `folded`
  // (folded_len bytes), the two lengths differing. Characters must be recorded in
  // increasing order; adjacent characters with equal lengths join one run.
  void record(size_t source, uint8_t source_len, size_t folded, uint8_t folded_len);
  // Sets the total lengths once folding is complete.
  void finish(size_t source_size, size_t folded_size);

 private:
  // The run holding folded byte f, or the last run before it; nullptr if none.
  const FoldShift* run_at(size_t f) const;

  std::vector<FoldShift> shifts_;
  // SIZE_MAX until a text has been recorded, so a default map is the identity
  // on every offset.
  size_t source_size_ = SIZE_MAX;
  size_t folded_size_ = SIZE_MAX;
};

// Replaces the contents of `out` with the full Unicode lowercase mapping of `text`,
// applying the Final_Sigma rule over the whole text as CPython's str.lower() does.
// `text` is normally valid UTF-8; bytes that do not form a valid UTF-8 sequence are
// copied unchanged and count as neither cased nor case-ignorable. If `map` is not
// null it is reset and receives every character whose folded byte length differs.
// `out`'s buffer is reused when it is large enough. On an allocation failure the
// exception propagates and out and *map hold partial results.
// With `cancel`, checks it at bounded intervals (Cancelled then propagates, as an
// allocation failure does).
void fold_case(std::string_view text, std::string& out, FoldMap* map = nullptr, Cancel* cancel = nullptr);

// The same folding read straight from a str's code units, with no map: one pass instead
// of encoding to UTF-8 and folding that. Returns false, leaving `out` unspecified, when a
// unit is a surrogate (which has no UTF-8 form).
bool fold_case(const CodeUnits& text, std::string& out, Cancel* cancel = nullptr);

// The Unicode version the case tables were generated from.
const char* case_tables_unicode_version();

}  // namespace kwsieve
