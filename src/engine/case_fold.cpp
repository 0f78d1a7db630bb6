// Case folding. The hot path is the ASCII run: sixteen bytes or units are checked and
// lowercased at a time with SSE2 (eight as one 64-bit word without it). Non-ASCII characters are decoded one at
// a time; most of them fold to themselves and are copied as they are, so only the
// few with a mapping pay for encoding, and only the rarer ones whose byte length
// changes touch the FoldMap or can make the output outgrow the source.
#include "engine/case_fold.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "engine/utf8.h"

// KWSIEVE_NO_SIMD builds the portable steps on x86 too, so that tests can reach them.
#if defined(__SSE2__) && !defined(KWSIEVE_NO_SIMD)
#include <emmintrin.h>
#endif

namespace kwsieve {
namespace {

#include "engine/case_tables.inc"

enum CaseClass : int32_t { kOther = 0, kCased = 1, kIgnorable = 2 };
constexpr int32_t kClassMask = 3;
constexpr int32_t kMultiFlag = 4;
constexpr int kKindShift = 3;
// Kind ids below this map a character to itself (one per class).
constexpr uint8_t kFirstMappedKind = 3;

constexpr char32_t kCapitalSigma = 0x3A3;
constexpr char32_t kFinalSigma = 0x3C2;

constexpr bool kinds_are_well_formed() {
  if (kKinds[0] != kOther || kKinds[1] != kCased || kKinds[2] != kIgnorable) return false;
  for (size_t i = kFirstMappedKind; i < sizeof kKinds / sizeof kKinds[0]; ++i) {
    if ((kKinds[i] & kMultiFlag) == 0 && (kKinds[i] >> kKindShift) == 0) return false;
  }
  return true;
}
static_assert(kinds_are_well_formed(), "identity kinds must be exactly ids 0, 1 and 2");
static_assert(sizeof kBlockIndex == ((kLowLimit + kHighLimit - kHighBase) >> kBlockShift));

inline uint8_t kind_id(char32_t c) {
  size_t slot;
  if (c < kLowLimit) {
    slot = c >> kBlockShift;
  } else if (c - kHighBase < kHighLimit - kHighBase) {  // wraps when c < kHighBase
    slot = (kLowLimit + (c - kHighBase)) >> kBlockShift;
  } else {
    return 0;
  }
  return kBlocks[(size_t{kBlockIndex[slot]} << kBlockShift) | (c & ((1u << kBlockShift) - 1))];
}

inline int32_t case_class(char32_t c) { return kKinds[kind_id(c)] & kClassMask; }

// Class of the character that ends at `pos` (a character boundary, pos > 0), and
// where it starts. Every byte below 0x80 or at least 0xC0 is a boundary whichever
// way the text is decoded forwards (a well-formed sequence holds continuation bytes
// only after its lead, and a malformed byte stands alone), so the last such byte
// within four bytes is where the decoder started; if the sequence it began does not
// end exactly at pos, the byte before pos stood alone and is kOther.
int32_t class_before(const unsigned char* s, size_t pos, size_t& start) {
  size_t k = pos - 1;
  if (s[k] >= 0x80) {
    const size_t limit = pos >= 4 ? pos - 4 : 0;
    while (k > limit && is_continuation(s[k])) --k;
    char32_t c = 0;
    if (decode_utf8(s + k, s + pos, c) == pos - k) {
      start = k;
      return case_class(c);
    }
    start = pos - 1;
    return kOther;
  }
  start = k;
  return case_class(s[k]);
}

// Final_Sigma for the capital sigma at [pos, pos + 2): the nearest character before it
// that is not case-ignorable is cased, and the nearest one after it is not cased or
// absent. Each scan stops at the first character that is not case-ignorable, so over a
// whole text every byte is scanned a bounded number of times.
bool is_final_sigma(const unsigned char* s, size_t n, size_t pos) {
  size_t p = pos;
  int32_t cls = kOther;
  while (p > 0) {
    cls = class_before(s, p, p);
    if (cls != kIgnorable) break;
  }
  if (cls != kCased) return false;
  p = pos + 2;
  while (p < n) {
    char32_t c = 0;
    const unsigned len = decode_utf8(s + p, s + n, c);
    if (len == 0) return true;  // a stray byte is not cased
    cls = case_class(c);
    if (cls != kIgnorable) return cls != kCased;
    p += len;
  }
  return true;
}

constexpr uint64_t kHighBits = 0x8080808080808080ull;

// Lowercases eight ASCII bytes at once. Adding 0x3F sets bit 7 of every byte >= 'A',
// adding 0x25 sets it for every byte > 'Z'; no byte carries into the next because
// all are below 0x80. The bytes in 'A'..'Z' get 0x20 added.
inline uint64_t lower_ascii8(uint64_t w) {
  const uint64_t ge_a = w + 0x3F3F3F3F3F3F3F3Full;
  const uint64_t gt_z = w + 0x2525252525252525ull;
  return w | (((ge_a & ~gt_z) & kHighBits) >> 2);
}

// Number of ASCII bytes before the first one whose bit 7 is set in `high` (not 0),
// in text order.
[[maybe_unused]] inline unsigned ascii_prefix(uint64_t high) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<unsigned>(std::countr_zero(high)) / 8;
  } else {
    return static_cast<unsigned>(std::countl_zero(high)) / 8;
  }
}

constexpr unsigned char ascii_lower(unsigned char b) {
  return static_cast<unsigned char>(b >= 'A' && b <= 'Z' ? b + 0x20 : b);
}

// The lowercase mapping of a character that has one (kind id at least kFirstMappedKind):
// one code point, or a row of several.
struct Lowered {
  const char32_t* row;  // [count, code points...] or null
  char32_t single;

  unsigned length() const {
    if (row == nullptr) return utf8_len(single);
    unsigned n = 0;
    for (char32_t k = 0; k < row[0]; ++k) n += utf8_len(row[1 + k]);
    return n;
  }
  // Encoded in place: bytes stored one by one into a buffer and then copied as words
  // would stall on store forwarding.
  void write(unsigned char* out) const {
    if (row == nullptr) {
      encode_utf8(single, out);
      return;
    }
    unsigned at = 0;
    for (char32_t k = 0; k < row[0]; ++k) at += encode_utf8(row[1 + k], out + at);
  }
};

// `final_sigma()` is asked only for a capital sigma: it scans the context.
template <class FinalSigma>
inline Lowered lowered(char32_t c, uint8_t id, FinalSigma final_sigma) {
  const int32_t kind = kKinds[id];
  if (kind & kMultiFlag) return {kMultiLower[kind >> kKindShift], 0};
  if (c == kCapitalSigma && final_sigma()) return {nullptr, kFinalSigma};
  return {nullptr, static_cast<char32_t>(static_cast<int32_t>(c) + (kind >> kKindShift))};
}

// Makes sure `need` bytes fit at offset d of out; returns its (possibly moved) data.
unsigned char* make_room(std::string& out, size_t d, size_t need) {
  if (out.size() - d < need) {
    if (need > out.max_size() - d) throw std::length_error("folded text too long");
    // Grow by a quarter at least: a text dense in growing characters would otherwise
    // reallocate for each of them. Inside the capacity there is no reallocation to
    // spare, and a long stretch of zero-filling would hold up a fold that checks a Cancel
    // (see Stretches): grow by a stretch at most.
    size_t headroom = std::min(out.size() / 4, out.max_size() - d - need);
    if (d + need <= out.capacity()) {
      headroom = std::min({headroom, out.capacity() - d - need, Cancel::kPollBytes});
    }
    out.resize(d + need + headroom);
  }
  return reinterpret_cast<unsigned char*>(out.data());
}

// Final_Sigma over code units: as is_final_sigma, with no decoding to do.
template <class Unit>
bool is_final_sigma_units(const Unit* s, size_t n, size_t pos) {
  int32_t cls = kOther;
  for (size_t p = pos; p > 0;) {
    cls = case_class(s[--p]);
    if (cls != kIgnorable) break;
  }
  if (cls != kCased) return false;
  for (size_t p = pos + 1; p < n; ++p) {
    cls = case_class(s[p]);
    if (cls != kIgnorable) return cls != kCased;
  }
  return true;
}

// Whether the eight units at p are all ASCII; if so, their bytes in text order as `w`.
template <class Unit>
inline bool ascii8(const Unit* p, uint64_t& w) {
  if constexpr (sizeof(Unit) == 1) {
    std::memcpy(&w, p, 8);
    return (w & kHighBits) == 0;
  } else if constexpr (sizeof(Unit) == 2 && std::endian::native == std::endian::little) {
    // Two words of four 16-bit units; with every high byte zero, squeezing out the zero
    // bytes narrows each word to four bytes.
    uint64_t a, b;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + 4, 8);
    if (((a | b) & 0xFF80FF80FF80FF80ull) != 0) return false;
    a = (a | (a >> 8)) & 0x0000FFFF0000FFFFull;
    b = (b | (b >> 8)) & 0x0000FFFF0000FFFFull;
    a = (a | (a >> 16)) & 0xFFFFFFFFull;
    b = (b | (b >> 16)) & 0xFFFFFFFFull;
    w = a | (b << 32);
    return true;
  } else {
    uint32_t any = 0;
    unsigned char bytes[8];
    for (int k = 0; k < 8; ++k) {
      any |= p[k];
      bytes[k] = static_cast<unsigned char>(p[k]);
    }
    std::memcpy(&w, bytes, 8);
    return any < 0x80;
  }
}

#if defined(__SSE2__) && !defined(KWSIEVE_NO_SIMD)
// Lowercases the ASCII bytes of v. A byte from 0x80 up is negative as a signed byte, so
// it is outside 'A'..'Z' and stays as it is.
inline __m128i lower_ascii16(__m128i v) {
  const __m128i upper = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('A' - 1)),
                                      _mm_cmplt_epi8(v, _mm_set1_epi8('Z' + 1)));
  return _mm_add_epi8(v, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
}
#endif

// The ASCII step over code units: lowercases the units at p into out and returns how
// many leading ones are ASCII. With SSE2 (always there on x86-64; the 32-bit build asks
// for it) it looks at sixteen units and always writes sixteen bytes, those from the first
// non-ASCII unit on to be rewritten by the caller; without, eight units as one 64-bit
// word, all or none. The caller makes sure that many units and bytes remain.
#if defined(__SSE2__) && !defined(KWSIEVE_NO_SIMD)
constexpr size_t kAsciiStep = 16;

template <class Unit>
inline unsigned ascii_step(const Unit* p, unsigned char* out) {
  __m128i v;
  unsigned ascii;
  if constexpr (sizeof(Unit) == 1) {
    v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    ascii = static_cast<unsigned>(std::countr_zero(static_cast<unsigned>(_mm_movemask_epi8(v)) | 0x10000u));
  } else if constexpr (sizeof(Unit) == 2) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
    const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i zero = _mm_setzero_si128();
    // One bit per unit, set where the unit is not ASCII.
    const __m128i wide = _mm_packs_epi16(_mm_cmpeq_epi16(_mm_and_si128(a, high), zero),
                                         _mm_cmpeq_epi16(_mm_and_si128(b, high), zero));
    ascii = static_cast<unsigned>(std::countr_zero(~static_cast<unsigned>(_mm_movemask_epi8(wide))));
    v = _mm_packus_epi16(a, b);
  } else {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
    const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12));
    const __m128i high = _mm_set1_epi32(static_cast<int>(0xFFFFFF80u));
    const __m128i zero = _mm_setzero_si128();
    auto is_ascii = [&](__m128i x) { return _mm_cmpeq_epi32(_mm_and_si128(x, high), zero); };
    const __m128i flags = _mm_packs_epi16(_mm_packs_epi32(is_ascii(a), is_ascii(b)),
                                          _mm_packs_epi32(is_ascii(c), is_ascii(e)));
    ascii = static_cast<unsigned>(std::countr_zero(~static_cast<unsigned>(_mm_movemask_epi8(flags))));
    // Signed saturation keeps every ASCII unit as it is; the others become bytes that
    // are rewritten anyway.
    v = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, e));
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), lower_ascii16(v));
  return ascii;
}
#else
constexpr size_t kAsciiStep = 8;

template <class Unit>
inline unsigned ascii_step(const Unit* p, unsigned char* out) {
  uint64_t w;
  if constexpr (sizeof(Unit) == 1) {
    // Bytes keep their ASCII prefix: the high bits mark where it ends.
    std::memcpy(&w, p, 8);
    const uint64_t high = w & kHighBits;
    w = lower_ascii8(w & ~kHighBits);
    std::memcpy(out, &w, 8);
    return high == 0 ? 8 : ascii_prefix(high);
  } else {
    if (!ascii8(p, w)) return 0;
    w = lower_ascii8(w);
    std::memcpy(out, &w, 8);
    return 8;
  }
}
#endif

// Lowercases the ASCII run from i, moving i and d past it: whole steps while they last,
// one 64-bit step for a tail of 8 or more (the length of a typical keyword), then one
// unit at a time. The caller keeps out.size() - d >= n - i.
template <class Unit>
inline void ascii_run(const Unit* src, size_t n, size_t& i, unsigned char* dst, size_t& d) {
  while (n - i >= kAsciiStep) {
    const unsigned ascii = ascii_step(src + i, dst + d);
    i += ascii;
    d += ascii;
    if (ascii < kAsciiStep) break;
  }
  if constexpr (kAsciiStep > 8) {
    uint64_t w;
    if (n - i >= 8 && n - i < kAsciiStep && ascii8(src + i, w)) {
      w = lower_ascii8(w);
      std::memcpy(dst + d, &w, 8);
      i += 8;
      d += 8;
    }
  }
  while (i < n && src[i] < 0x80) dst[d++] = ascii_lower(static_cast<unsigned char>(src[i++]));
}

// Folding goes in stretches of the source, [i, limit), with room in `out` kept for the
// source up to `end`: the invariant of both folds below is out.size() - d >= end - i.
// Without a Cancel, or for a short text, the whole text is one stretch (end = limit = n)
// and `out` is sized once. A long text with a Cancel goes Cancel::kPollBytes units at a
// time, checking between stretches, and `out` grows stretch by stretch inside a buffer
// reserved up front for `expect` bytes: no step between two checks then takes long, as
// zero-filling and faulting in a buffer for hundreds of megabytes at once would, or moving
// it to grow. (The size a reused buffer already has needs no filling either way.)
class Stretches {
 public:
  // Shorter texts go in one: stretches cost a sizing pass over the units, and a text of
  // this length takes only some tens of milliseconds.
  static constexpr size_t kFrom = 32 * Cancel::kPollBytes;

  Stretches(std::string& out, size_t n, Cancel* cancel, size_t expect) : cancel_(cancel), n_(n) {
    if (cancel_ == nullptr || n <= kFrom) {
      cancel_ = nullptr;
      out.resize(n);
      limit = end = n;
      return;
    }
    const size_t want = expect + expect / 64 + 64;
    if (out.capacity() < want) {
      std::string fresh;  // not reserve(): that would copy what out holds
      fresh.reserve(want);
      out.swap(fresh);
    }
    limit = end = 0;
  }

  // At i == limit < n: checks the Cancel and opens the next stretch; returns out's data.
  unsigned char* next(std::string& out, size_t i, size_t d) {
    cancel_->check();
    limit = n_ - i > Cancel::kPollBytes ? i + Cancel::kPollBytes : n_;
    end = limit + kSlack;
    if (out.size() - d < end - i) out.resize(d + (end - i));
    return reinterpret_cast<unsigned char*>(out.data());
  }

  size_t limit;
  size_t end;

 private:
  // A character may run up to 3 bytes past limit, and a fixed 4-byte copy starts before it.
  static constexpr size_t kSlack = 8;
  Cancel* cancel_;
  size_t n_;
};

template <class Unit>
[[gnu::hot]] bool fold_units(const Unit* src, size_t n, std::string& out, Stretches& at) {
  // Invariant: out.size() - d >= at.end - i (see Stretches). Every unit gives at least one
  // byte, so an ASCII unit keeps it; any other character checks for room before writing.
  // As in fold_case, a reused buffer need not be cleared.
  auto* dst = reinterpret_cast<unsigned char*>(out.data());
  size_t i = 0;
  size_t d = 0;
  while (i < n) {
    if (i >= at.limit) dst = at.next(out, i, d);
    const size_t limit = at.limit;
    ascii_run(src, limit, i, dst, d);
    // Other characters one at a time up to the next ASCII unit.
    for (; i < limit && src[i] >= 0x80; ++i) {
      const char32_t c = src[i];
      if (is_surrogate(c)) return false;
      const uint8_t id = kind_id(c);
      const Lowered lower = id < kFirstMappedKind ? Lowered{nullptr, c}
                                                  : lowered(c, id, [&] { return is_final_sigma_units(src, n, i); });
      const unsigned folded_len = lower.length();
      if (out.size() - d < (at.end - i - 1) + folded_len) dst = make_room(out, d, (at.end - i - 1) + folded_len);
      lower.write(dst + d);
      d += folded_len;
    }
  }
  out.resize(d);
  return true;
}

}  // namespace

[[gnu::hot]] bool fold_case(const CodeUnits& text, std::string& out, Cancel* cancel) {
  const size_t n = text.length();
  size_t expect = n;
  if (cancel != nullptr && n > Stretches::kFrom) {
    // The UTF-8 size is what folding gives but for the few characters whose lowercase is
    // longer; one quick pass finds it.
    std::optional<size_t> size = text.utf8_size(cancel);
    if (!size) return false;
    expect = *size;
  }
  Stretches at(out, n, cancel, expect);
  return text.visit([&](const auto* p) { return fold_units(p, n, out, at); });
}

const char* case_tables_unicode_version() { return kUnicodeVersion; }

void FoldMap::reset() {
  shifts_.clear();
  source_size_ = SIZE_MAX;
  folded_size_ = SIZE_MAX;
}

void FoldMap::record(size_t source, uint8_t source_len, size_t folded, uint8_t folded_len) {
  if (!shifts_.empty()) {
    FoldShift& last = shifts_.back();
    if (last.source_len == source_len && last.folded_len == folded_len &&
        last.source + size_t{last.count} * source_len == source &&
        last.folded + size_t{last.count} * folded_len == folded && last.count < UINT32_MAX) {
      ++last.count;
      return;
    }
  }
  shifts_.push_back(FoldShift{folded, source, 1, folded_len, source_len});
}

void FoldMap::finish(size_t source_size, size_t folded_size) {
  source_size_ = source_size;
  folded_size_ = folded_size;
}

const FoldShift* FoldMap::run_at(size_t f) const {
  auto it = std::upper_bound(shifts_.begin(), shifts_.end(), f,
                             [](size_t off, const FoldShift& r) { return off < r.folded; });
  return it == shifts_.begin() ? nullptr : &*(it - 1);
}

size_t FoldMap::source_start(size_t folded) const {
  if (folded >= folded_size_) return source_size_;
  const FoldShift* r = run_at(folded);
  if (r == nullptr) return folded;
  const size_t run_end = r->folded + size_t{r->count} * r->folded_len;
  if (folded < run_end) return r->source + (folded - r->folded) / r->folded_len * r->source_len;
  return r->source + size_t{r->count} * r->source_len + (folded - run_end);
}

size_t FoldMap::source_end(size_t folded) const {
  if (folded >= folded_size_) return source_size_;
  if (folded == 0) return 0;
  const FoldShift* r = run_at(folded - 1);
  if (r == nullptr) return folded;
  const size_t run_end = r->folded + size_t{r->count} * r->folded_len;
  if (folded - 1 < run_end) {
    return r->source + ((folded - 1 - r->folded) / r->folded_len + 1) * r->source_len;
  }
  return r->source + size_t{r->count} * r->source_len + (folded - run_end);
}

std::pair<size_t, size_t> FoldMap::source_span(size_t start, size_t end) const {
  const size_t s = source_start(start);
  return {s, end > start ? source_end(end) : source_start(end)};
}

[[gnu::hot]] void fold_case(std::string_view text, std::string& out, FoldMap* map, Cancel* cancel) {
  if (map != nullptr) map->reset();
  const size_t n = text.size();
  const auto* src = reinterpret_cast<const unsigned char*>(text.data());

  // Invariant: out.size() - d >= at.end - i (see Stretches). ASCII and same-length
  // characters keep it; a character that grows checks it before writing. So any write of
  // up to at.end - i bytes fits. Every byte of out below d is written before the final
  // resize, so a reused buffer need not be cleared (which would make resize zero-fill it
  // all again).
  Stretches at(out, n, cancel, n);
  auto* dst = reinterpret_cast<unsigned char*>(out.data());
  size_t i = 0;
  size_t d = 0;
  while (i < n) {
    if (i >= at.limit) dst = at.next(out, i, d);
    const size_t limit = at.limit;
    ascii_run(src, limit, i, dst, d);
    if (i == limit) continue;

    // Non-ASCII characters one at a time up to the next ASCII byte, so that text in
    // other scripts does not try the ASCII steps after every character.
    do {
      char32_t c = 0;
      const unsigned len = decode_utf8(src + i, src + n, c);
      if (len == 0) {
        dst[d++] = src[i++];
        continue;
      }
      const uint8_t id = kind_id(c);
      if (id < kFirstMappedKind) {
        // A fixed-size copy is cheaper than a call; the bytes past len are rewritten
        // next.
        if (n - i >= 4) {
          std::memcpy(dst + d, src + i, 4);
        } else {
          std::memcpy(dst + d, src + i, len);
        }
        i += len;
        d += len;
        continue;
      }

      const Lowered lower = lowered(c, id, [&] { return is_final_sigma(src, n, i); });
      const unsigned folded_len = lower.length();
      if (folded_len > len) dst = make_room(out, d, (at.end - i - len) + folded_len);
      lower.write(dst + d);
      if (map != nullptr && folded_len != len) {
        map->record(i, static_cast<uint8_t>(len), d, static_cast<uint8_t>(folded_len));
      }
      i += len;
      d += folded_len;
    } while (i < limit && src[i] >= 0x80);
  }
  out.resize(d);
  if (map != nullptr) map->finish(n, d);
}

}  // namespace kwsieve
