#include "engine/processor.h"

#include "engine/case_fold.h"
#include "engine/read_view.h"

namespace kwsieve {

KeywordProcessor::KeywordProcessor(bool case_sensitive, bool allow_overlaps)
    : words_(std::make_unique<WordSet>(WordSet::defaults())),
      case_sensitive_(case_sensitive),
      allow_overlaps_(allow_overlaps) {}

KeywordProcessor::~KeywordProcessor() { invalidate(); }

void KeywordProcessor::invalidate() noexcept {
  delete view_.exchange(nullptr, std::memory_order_acq_rel);
}

void KeywordProcessor::normalise(std::string_view keyword, std::string& out) const {
  if (case_sensitive_) {
    out.assign(keyword);
  } else {
    fold_case(keyword, out);
  }
}

void KeywordProcessor::add_keyword(std::string_view keyword,
                                   std::optional<std::string_view> clean_name) {
  normalise(keyword, scratch_);
  trie_.insert(scratch_, clean_name ? *clean_name : std::string_view(scratch_));
  invalidate();
}

bool KeywordProcessor::remove_keyword(std::string_view keyword) {
  normalise(keyword, scratch_);
  bool removed = trie_.remove(scratch_);
  if (removed) invalidate();
  return removed;
}

void KeywordProcessor::add_non_word_boundary(uint32_t c) {
  words_->add(c);
  invalidate();
}

void KeywordProcessor::set_non_word_boundaries(const std::vector<uint32_t>& chars) {
  words_->clear();
  for (uint32_t c : chars) words_->add(c);
  invalidate();
}

void KeywordProcessor::replace_state(std::unique_ptr<WordSet> words, Trie&& trie,
                                     bool case_sensitive, bool allow_overlaps) noexcept {
  invalidate();
  words_ = std::move(words);
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
    v = new ReadView(*this);
    view_.store(v, std::memory_order_release);
  }
  return *v;
}

}  // namespace kwsieve
