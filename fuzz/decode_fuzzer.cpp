// Fuzz target for the processor state decoder.
//
// The decoder must never crash, leak or trip a sanitizer, whatever the bytes. When a
// state does decode, it must behave like any processor: its re-encoding is canonical
// (siblings are kept sorted, so encode(decode(s)) is a fixed point), lists the same
// keywords, and survives removal, listing and extraction.
//
// Input framing. A real state starts with 139,272 bytes of word-character set, which
// would soak up nearly every mutation, so the first input byte chooses:
//   even: the rest of the input is the whole state, as is (word count errors, truncation);
//   odd:  a valid word count and word set are put in front of the rest of the input, so
//         mutations land on the trie and flags. Bit 1 picks the default set or an
//         empty one.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <array>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/codec.h"
#include "engine/extract.h"
#include "engine/listing.h"
#include "engine/processor.h"
#include "engine/utf8.h"

namespace {

using kwsieve::DecodedProcessor;
using kwsieve::KeywordProcessor;
using kwsieve::WordSet;

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "decode_fuzzer: %s\n", what);
  std::abort();
}

// The 139,272-byte prefix of a state: the word count and the default or the empty set.
const std::string& word_set_prefix(bool empty) {
  static const std::array<std::string, 2> prefixes = [] {
    std::array<std::string, 2> out;
    for (int i = 0; i < 2; ++i) {
      kwsieve::ByteWriter w(out[i]);
      w.u64(WordSet::kWords);
      const WordSet words = i ? WordSet() : WordSet::defaults();
      for (uint64_t word : words.words()) w.u64(word);
    }
    return out;
  }();
  return prefixes[empty ? 1 : 0];
}

std::string framed_state(const uint8_t* data, size_t size) {
  if (size == 0) return {};
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1) == 0) return std::string(rest);
  std::string state = word_set_prefix(data[0] & 2);
  state.append(rest);
  return state;
}

std::map<std::string, std::string> listing(const kwsieve::Trie& trie) {
  std::map<std::string, std::string> out;
  kwsieve::list_keywords(trie, [&](std::string_view k, std::string_view c) {
    // Both become Python strs.
    check(kwsieve::check_utf8(k).ok && kwsieve::check_utf8(c).ok, "listed text is not UTF-8");
    check(out.emplace(std::string(k), std::string(c)).second, "a path was listed twice");
  });
  return out;
}

void install(KeywordProcessor& p, DecodedProcessor&& d) {
  p.replace_state(std::move(d.words), std::move(d.trie), d.case_sensitive, d.allow_overlaps);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string state = framed_state(data, size);
  DecodedProcessor decoded;
  try {
    decoded = kwsieve::decode_processor(state);
  } catch (const kwsieve::DecodeError&) {
    return 0;
  }
  const auto keywords = listing(decoded.trie);
  const std::size_t count = decoded.trie.count();
  check(keywords.size() <= count, "listed more keywords than the trie counts");
  // Kept for comparison: the processor below takes ownership of the decoded set.
  const WordSet words = *decoded.words;
  KeywordProcessor p;
  install(p, std::move(decoded));

  // Re-encoding drops only duplicates and trailing bytes, so it never grows the state,
  // and a second round trip reproduces it exactly.
  const std::string encoded = kwsieve::encode_processor(p);
  check(encoded.size() <= state.size(), "re-encoding grew the state");
  DecodedProcessor again;
  try {
    again = kwsieve::decode_processor(encoded);
  } catch (const kwsieve::DecodeError&) {
    check(false, "an encoded state did not decode");
  }
  check(again.trie.count() == count, "count changed across a round trip");
  check(*again.words == words, "word set changed across a round trip");
  check(again.case_sensitive == p.case_sensitive() && again.allow_overlaps == p.allow_overlaps(),
        "flags changed across a round trip");
  check(listing(again.trie) == keywords, "listing changed across a round trip");
  kwsieve::Trie trie = again.trie;  // for the removals below
  KeywordProcessor q;
  install(q, std::move(again));
  check(kwsieve::encode_processor(q) == encoded, "encoding is not canonical");

  // Extraction over the processor's own keywords, exact and approximate; forged nodes
  // (keys above 255, paths cut inside a character) must simply never match wrongly.
  std::string text;
  for (const auto& [k, c] : keywords) {
    if (text.size() > 4096) break;
    text += k;
    text += ' ';
  }
  for (std::optional<float> threshold : {std::optional<float>(), std::optional<float>(0.75f)}) {
    for (const auto& m : kwsieve::extract_keywords(p, text, threshold)) {
      check(m.start <= m.end, "match ends before it starts");
    }
    (void)kwsieve::replace_keywords(p, text, threshold);
  }

  // Removing every listed keyword by its exact path succeeds once each, and leaves
  // exactly the unlisted terminals.
  for (const auto& [k, c] : keywords) check(trie.remove(k), "a listed keyword was not removable");
  for (const auto& [k, c] : keywords) check(!trie.remove(k), "a keyword was removed twice");
  check(trie.count() == count - keywords.size(), "removal miscounted");
  check(listing(trie).empty(), "listing not empty after removing every keyword");
  (void)p.remove_keyword(text.substr(0, text.find(' ')));
  return 0;
}
