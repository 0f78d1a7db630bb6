// The engine's keyword processor: word-character set, trie and the two settings.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/code_units.h"
#include "engine/trie.h"
#include "engine/word_set.h"

namespace kwsieve {

class ReadView;

class KeywordProcessor {
 public:
  explicit KeywordProcessor(bool case_sensitive = false, bool allow_overlaps = false);
  ~KeywordProcessor();
  KeywordProcessor(const KeywordProcessor&) = delete;
  KeywordProcessor& operator=(const KeywordProcessor&) = delete;

  const WordSet& non_word_boundaries() const { return *words_; }
  // Whether the set has a member of U+0080 or above (kept up to date, never scanned for).
  bool words_beyond_ascii() const { return words_beyond_ascii_; }
  // Whether the set is the process-wide default one (no copy of its own).
  bool shares_default_words() const { return own_words_ == nullptr; }
  const Trie& trie() const { return trie_; }
  bool case_sensitive() const { return case_sensitive_; }
  bool allow_overlaps() const { return allow_overlaps_; }
  std::size_t count_keywords() const { return trie_.count(); }

  // The keyword as stored: the full lowercase mapping unless case-sensitive.
  void normalise(std::string_view keyword, std::string& out) const;

  // clean_name == nullopt stores the normalised keyword as its own clean name.
  // Strong guarantee: on std::bad_alloc nothing changed.
  void add_keyword(std::string_view keyword, std::optional<std::string_view> clean_name);
  // The same, the keyword given as code units: folded straight from them, or read in place
  // when ASCII, never encoded to UTF-8 first. Returns false, changing nothing, when a unit
  // is a surrogate.
  bool add_keyword(const CodeUnits& keyword, std::optional<std::string_view> clean_name);
  bool remove_keyword(std::string_view keyword);
  void add_non_word_boundary(uint32_t c);
  void set_non_word_boundaries(const std::vector<uint32_t>& chars);

  // Installs a decoded state in one step (cannot fail). A word set equal to the defaults
  // is dropped in favour of the shared one.
  void replace_state(std::unique_ptr<WordSet> words, Trie&& trie, bool case_sensitive,
                     bool allow_overlaps) noexcept;

  // The read-optimised form of the trie that extraction scans. Built on first use after
  // a change; the first call after a mutation must not race with another (the binding
  // calls it on the Python thread before any worker sees the processor).
  const ReadView& read_view() const;

 private:
  void invalidate() noexcept;
  WordSet& own_words();
  void install_words(std::unique_ptr<WordSet> words) noexcept;

  // Points at own_words_ or, while the set equals the defaults, at the shared default set.
  const WordSet* words_;
  std::unique_ptr<WordSet> own_words_;
  bool words_beyond_ascii_ = false;
  Trie trie_;
  bool case_sensitive_;
  bool allow_overlaps_;
  std::string scratch_;  // the normalised keyword of the current mutation, reused

  mutable std::mutex view_mutex_;
  mutable std::atomic<const ReadView*> view_{nullptr};
};

}  // namespace kwsieve
