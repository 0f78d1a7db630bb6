#include "engine/processor.h"

#include "engine/case_fold.h"
#include "engine/read_view.h"

namespace kwsieve {

KeywordProcessor::KeywordProcessor(bool case_sensitive, bool allow_overlaps)
    : words_(&WordSet::shared_defaults()),
      case_sensitive_(case_sensitive),
      allow_overlaps_(allow_overlaps) {}

KeywordProcessor::~KeywordProcessor() { invalidate(); }

// Mutators run alone (the binding holds an exclusive borrow), so the plain load cannot
// race with a reader installing a view; it spares every insertion an atomic exchange.
void KeywordProcessor::invalidate() noexcept {
  if (view_.load(std::memory_order_relaxed) != nullptr) {
    delete view_.exchange(nullptr, std::memory_order_acq_rel);
  }
}

// The processor's own copy of the word set, made on the first change. May throw
// std::bad_alloc, leaving the processor as it was.
WordSet& KeywordProcessor::own_words() {
  if (!own_words_) {
    own_words_ = std::make_unique<WordSet>(*words_);
    words_ = own_words_.get();
  }
  return *own_words_;
}

void KeywordProcessor::install_words(std::unique_ptr<WordSet> words) noexcept {
  const WordSet& shared = WordSet::shared_defaults();
  words_beyond_ascii_ = words->beyond_ascii();
  if (*words == shared) {
    own_words_.reset();
    words_ = &shared;
  } else {
    own_words_ = std::move(words);
    words_ = own_words_.get();
  }
}

[[gnu::hot]] void KeywordProcessor::normalise(std::string_view keyword, std::string& out) const {
  if (case_sensitive_) {
    out.assign(keyword);
  } else {
    fold_case(keyword, out);
  }
}

[[gnu::hot]] void KeywordProcessor::add_keyword(std::string_view keyword,
                                   std::optional<std::string_view> clean_name) {
  normalise(keyword, scratch_);
  trie_.insert(scratch_, clean_name ? *clean_name : std::string_view(scratch_));
  invalidate();
}

[[gnu::hot]] bool KeywordProcessor::add_keyword(const CodeUnits& keyword,
                                               std::optional<std::string_view> clean_name) {
  std::string_view key;
  if (case_sensitive_) {
    std::optional<std::string_view> utf8 = keyword.utf8(scratch_);
    if (!utf8) return false;
    key = *utf8;
  } else {
    if (!fold_case(keyword, scratch_)) return false;
    key = scratch_;
  }
  trie_.insert(key, clean_name ? *clean_name : key);
  invalidate();
  return true;
}

bool KeywordProcessor::remove_keyword(std::string_view keyword) {
  normalise(keyword, scratch_);
  bool removed = trie_.remove(scratch_);
  if (removed) invalidate();
  return removed;
}

void KeywordProcessor::add_non_word_boundary(uint32_t c) {
  if (words_->contains(c)) return;  // nothing changes, not even the read view
  own_words().add(c);
  words_beyond_ascii_ |= c >= 0x80;
  invalidate();
}

void KeywordProcessor::set_non_word_boundaries(const std::vector<uint32_t>& chars) {
  if (own_words_) {
    own_words_->clear();
    for (uint32_t c : chars) own_words_->add(c);
    words_beyond_ascii_ = own_words_->beyond_ascii();
    if (*own_words_ == WordSet::shared_defaults()) install_words(std::move(own_words_));
  } else {
    auto fresh = std::make_unique<WordSet>();
    for (uint32_t c : chars) fresh->add(c);
    install_words(std::move(fresh));
  }
  invalidate();
}

void KeywordProcessor::replace_state(std::unique_ptr<WordSet> words, Trie&& trie,
                                     bool case_sensitive, bool allow_overlaps) noexcept {
  invalidate();
  install_words(std::move(words));
  trie_.swap(trie);
  case_sensitive_ = case_sensitive;
  allow_overlaps_ = allow_overlaps;
}

const ReadView& KeywordProcessor::read_view() const {
  const ReadView* v = view_.load(std::memory_order_acquire);
  if (v) return *v;
  std::lock_guard<std::mutex> lock(view_mutex_);
  v = view_.load(std::memory_order_relaxed);
  if (!v) {
    v = new ReadView(trie_, *words_, {words_beyond_ascii_, case_sensitive_, allow_overlaps_});
    view_.store(v, std::memory_order_release);
  }
  return *v;
}

}  // namespace kwsieve
