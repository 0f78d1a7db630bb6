// The read-optimised form of a processor's trie.
//
// Extraction runs far more often than the trie changes, so it scans compact tables built
// from the trie, its word set and its settings; they are rebuilt after any change to the
// processor. The trie is numbered once (see number_trie in read_view.cpp): the children of a
// node are one contiguous run of ids, in the trie's child order (ascending key), and the runs
// are laid out depth first. The exact index keeps that numbering in its records, and the
// approximate search's tables, built from the exact index on the first approximate call,
// use the same ids.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/exact_index.h"
#include "engine/utf8.h"
#include "engine/word_set.h"

namespace kwsieve {

class ApproxSearcher;
class SearchTables;
class StartFilter;
class SuffixIndex;
class Trie;

class ReadView {
 public:
  // The processor's settings that scans depend on.
  struct Settings {
    bool words_beyond_ascii;  // the word set has a member of U+0080 or above
    bool case_sensitive;
    bool allow_overlaps;
  };

  // Keeps references to `trie` (its clean names) and `words`: a view lives only while
  // both are unchanged.
  ReadView(const Trie& trie, const WordSet& words, Settings settings);
  ~ReadView();

  // The approximate search's tables, built from the exact index on the first call. Safe to
  // call from several threads; the first call does the work.
  const SearchTables& search() const;
  void ensure_search() const { (void)search(); }

  // The clean name of a terminal node of the exact index.
  std::string_view exact_name(ViewId n) const { return names_[exact_.name_index(n)]; }

  // Membership of each byte value in the word-character set (the byte tested as the code
  // point with the same number). With a word set of ASCII characters only, that is the
  // whole word test: no byte of a multi-byte character is a member, and neither is the
  // character. Otherwise (by_char()) the bytes from 0x80 up count as non-word bytes here,
  // so that tests and masks built on bytes let through every place where the test of
  // the whole character may pass, and word_char_at() decides those.
  bool word_byte(unsigned char b) const { return word_byte_[b]; }
  bool by_char() const { return by_char_; }
  // Whether the character that holds byte i of the text w[0, n) is a word character.
  bool word_char_at(const unsigned char* w, std::size_t n, std::size_t i) const {
    return words_.contains(char_holding(w, n, i).c);
  }
  // The word test of the character that ends just before offset p (0 < p <= n): byte
  // p - 1 belongs to it. (A start inside a character, possible in approximate mode, is
  // tested against the character it cuts.)
  bool word_before(const unsigned char* w, std::size_t n, std::size_t p) const {
    const unsigned char b = w[p - 1];
    return b < 0x80 || !by_char_ ? word_byte_[b] : word_char_at(w, n, p - 1);
  }
  const WordSet& words() const { return words_; }

  // The exact walk's compact form of the numbered trie.
  const ExactIndex& exact() const { return exact_; }

  bool case_sensitive() const { return case_sensitive_; }
  bool allow_overlaps() const { return allow_overlaps_; }

  // The approximate search's start filter for `key`, made by `make` from the search tables
  // on first use and kept (a few keys at most; past those, null). Safe to call from several
  // threads.
  using MakeStartFilter = std::shared_ptr<const StartFilter> (*)(const SearchTables&, uint64_t key);
  std::shared_ptr<const StartFilter> start_filter(uint64_t key, MakeStartFilter make) const;

  // An approximate searcher kept from one extractor to the next: its memory of earlier
  // searches (ApproxSearcher::Memo) holds for every text of this view, so a caller going
  // through texts one call at a time reuses the common words' results as a batch does.
  // take_searcher() hands out the kept one, or null; keep_searcher() keeps `s` unless one is
  // kept already. Safe to call from several threads: each searcher has one holder at a time.
  std::unique_ptr<ApproxSearcher> take_searcher() const;
  void keep_searcher(std::unique_ptr<ApproxSearcher> s) const;

  // The root expansion's suffix index, holding at least the nodes of strings of `depth` bytes
  // (SuffixIndex::holds). One is kept: a deeper request builds a deeper one in its place
  // (searchers that hold the old one keep it alive while they use it), a shallower one gets
  // the kept one. Safe to call from several threads.
  std::shared_ptr<const SuffixIndex> suffix_index(uint64_t depth) const;
  // The one kept, or null (for benchmarks).
  std::shared_ptr<const SuffixIndex> kept_suffix_index() const;

 private:
  const WordSet& words_;
  bool by_char_;
  bool case_sensitive_;
  bool allow_overlaps_;
  std::array<bool, 256> word_byte_{};
  std::vector<std::string_view> names_;
  ExactIndex exact_;

  mutable std::once_flag search_once_;
  mutable std::unique_ptr<const SearchTables> search_;
  mutable std::mutex filters_mutex_;
  mutable std::vector<std::pair<uint64_t, std::shared_ptr<const StartFilter>>> filters_;
  mutable std::atomic<ApproxSearcher*> kept_searcher_{nullptr};

  mutable std::mutex suffix_mutex_;
  mutable std::shared_ptr<const SuffixIndex> suffix_;
};

}  // namespace kwsieve
