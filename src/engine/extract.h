// Extraction and replacement over one text.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/approx.h"
#include "engine/case_fold.h"
#include "engine/code_units.h"

namespace kwsieve {

class KeywordProcessor;
class ReadView;

struct KeywordMatch {
  std::string_view keyword;  // a clean name inside the processor: copy before it changes
  float similarity;
  std::size_t start;  // byte offsets into the working (lowercased) text
  std::size_t end;
};

// Throws Fault("Threshold must be between 0 and 1") for a threshold outside [0, 1] or NaN.
float check_threshold(std::optional<float> threshold);

// Reusable per-thread scratch for extraction: the working text, the fold map and the
// approximate searcher keep what they hold from one text to the next. The searcher is made
// on the first approximate text, from the one the view keeps if any, and goes back to the
// view when the extractor ends (unless it ends by an exception, which may have left the
// searcher midway).
class Extractor {
 public:
  explicit Extractor(const ReadView& view);
  ~Extractor();
  Extractor(const Extractor&) = delete;
  Extractor& operator=(const Extractor&) = delete;

  // Appends the matches of `text` to `out`, in scan order.
  void extract(std::string_view text, std::optional<float> threshold,
               std::vector<KeywordMatch>& out);
  // The same for a text given as code units, which a case-insensitive processor folds
  // directly, never building their UTF-8 form; `buffer` holds that form when it is
  // needed. Returns false, having appended nothing, when a unit is a surrogate (after the
  // threshold check, which comes first).
  bool extract(const CodeUnits& text, std::optional<float> threshold, std::vector<KeywordMatch>& out,
               std::string& buffer);
  // `text` with every match replaced by its clean name; nothing when nothing matched, so
  // that a caller already holding the text can hand it back instead of a copy.
  std::optional<std::string> replace(std::string_view text, std::optional<float> threshold);
  // The same, appended to `out`; false, leaving `out` alone, when nothing matched.
  bool replace_into(std::string_view text, std::optional<float> threshold, std::string& out);
  // Appends the matches of `text` (valid UTF-8) with their spans carried back to byte
  // offsets of `text` itself, by the rule replace() cuts with: whole characters, and a
  // span widened into the next one is cut at that one's start.
  void extract_spans(std::string_view text, std::optional<float> threshold, std::vector<KeywordMatch>& out);

  // Long scans, folds and encodings check `cancel` at bounded intervals of work and
  // throw Cancelled when it says stop (matches found so far are then left in the output,
  // for the caller to drop). Null: never checked.
  void set_cancel(Cancel* cancel) { cancel_ = cancel; }
  Cancel* cancel() const { return cancel_; }

  // The approximate searcher (made if none yet).
  ApproxSearcher& approx();
  // The working-text buffer, which a caller may swap with one it keeps between
  // extractors, so that large texts do not fault in a fresh buffer every call.
  std::string& work_buffer() { return work_; }

 private:
  template <class Bytes>
  void scan_exact(const Bytes& w, std::size_t n, std::vector<KeywordMatch>& out) const;
  void scan_approx(std::string_view w, float t, std::vector<KeywordMatch>& out);
  // What scan() is given: a text as the caller has it (UTF-8), one known to be ASCII, or a
  // working text already folded.
  enum class Form { kText, kAsciiText, kWorking };
  // The one choice of scan: the approximate scan at t < 1, else the exact one; a text is
  // read in place when the processor is case-sensitive or the text is ASCII (lowercased as
  // it is read), else through the folded working text, whose offset map goes to `map` if
  // not null.
  void scan(std::string_view s, Form form, float t, FoldMap* map, std::vector<KeywordMatch>& out);
  // Carries the spans of matches[from, end) from the working text back to `text`.
  void to_source_spans(std::string_view text, const FoldMap& map, std::vector<KeywordMatch>& matches,
                       std::size_t from);
  // Builds the working text when it differs from `text`; returns a view of it.
  std::string_view working_text(std::string_view text, FoldMap* map);

  const ReadView& view_;
  std::unique_ptr<ApproxSearcher> approx_;
  int exceptions_;  // uncaught when the extractor was made
  std::string work_;
  std::vector<KeywordMatch> matches_;
  FoldMap map_;
  Cancel* cancel_ = nullptr;
};

// Turns the byte offsets of matches[from, end), spans of `text` (valid UTF-8) in text
// order, into code-point offsets.
void to_char_offsets(std::string_view text, std::vector<KeywordMatch>& matches, std::size_t from = 0);

std::vector<KeywordMatch> extract_keywords(const KeywordProcessor& processor,
                                           std::string_view text,
                                           std::optional<float> threshold);
std::string replace_keywords(const KeywordProcessor& processor, std::string_view text,
                             std::optional<float> threshold);

}  // namespace kwsieve
