// The approximate search, literal against pruned: states popped and throughput.
//
//   g++ -O2 -std=c++20 -Isrc src/engine/*.cpp bench/bench_approx.cpp -o /tmp/bench_approx
//   /tmp/bench_approx KEYWORDS.tsv CORPUS.txt [slice_bytes] [slice_offset] [repeat] [parts] [counts...]
//
// (python3 bench/common.py prints the paths of the unpacked data files.)
//
// Table 1: for 1k and 10k keywords (the first lines of the keyword file, case-insensitive
// processor) and thresholds 0.9, 0.8 and 0.7, the approximate scan of a slice of the corpus
// (default 32 KiB of English prose from War and Peace), once with the literal search and once
// with the pruned one. The scan is the extractor's (start boundary, acceptance, advance), run
// on the folded slice so that folding is not timed. Both scans must report the same matches;
// a difference is printed and fails the run. Both searches step through the trie with the
// same child lookup; the pruned one also has its search tables (reach bounds, fan-out and
// tail indexes, byte summaries, the start filter at t = 0.9) and reuses the results of earlier
// start positions that read the same bytes, with a new searcher for every pass. Those tables
// are built once per processor (the start filter once per threshold) in the first pass, which
// the median leaves out. States are those popped (a reused result or a start position ruled
// out before searching pops none); "ruled out" counts the latter.
//
// Table 2: growth at threshold 0.0, one keyword of 10, 20 or 40 bytes. The pruned scan over
// 1 KiB of English text, and over 256 B to 2 KiB to show the polynomial order in the text
// length; the literal scan only over a few bytes, where its exponential growth is already plain.
//
// Table 3: real paragraphs at 1k, 10k and 100k keywords. 1,500 paragraphs (the corpus cut
// at blank lines) spread evenly over its first 3 MB, each extracted on its own through the
// engine's extractor (folding included): exact mode, thresholds 0.9, 0.8 and 0.7, and the
// literal search in the same scan over the folded paragraphs (whose matches must equal the
// extractor's). Also the first approximate call's cost: the time and resident memory that
// building the search tables and the suffix index for t = 0.9 takes, beside the exact index's
// memory, and after the three thresholds each table's heap bytes, with the suffix index the
// view then keeps (the deepest that they asked for). A second table says how each pass's
// start positions were answered (ApproxSearcher::Path), with each way's share of the states.
//
// Table 4: threshold 0.0 with 100 keywords of 3 to 10 random letters from "etaoinshrdlu",
// on texts of words of 2 to 9 letters from a-z, a fifth of them keywords: how the time grows
// with the text (5 KiB to 95 KiB).
//
// `parts` selects which tables run: "12" (default), "1", "2", "3", "4" or any mix.
// For table 3, keyword counts may follow `parts` (default 1000 10000 100000).
//
// Times are CPU time of the process (steadier than elapsed time on a shared machine);
// the median of `repeat` passes is reported.
#include <time.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <random>

#include "bench_util.h"
#include "engine/approx.h"
#include "engine/case_fold.h"
#include "engine/exact_index.h"
#include "engine/extract.h"
#include "engine/processor.h"
#include "engine/read_view.h"
#include "engine/search_tables.h"
#include "engine/suffix_index.h"

namespace {

using kwsieve::ApproxSearcher;
using kwsieve::SearchTables;
using kwsieve::Candidate;
using kwsieve::KeywordProcessor;
using kwsieve::ReadView;

using benchkit::cpu_seconds;
using benchkit::read_file;

// Cuts `s` to at most `n` bytes, back to a character boundary.
std::string_view utf8_prefix(std::string_view s, std::size_t n) {
  if (n >= s.size()) return s;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n);
}

struct Hit {
  uint32_t node;
  float similarity;
  std::size_t start, end;
  bool operator==(const Hit&) const = default;
};

bool edge_space(unsigned char b) { return b == '\t' || b == '\n' || b == '\r' || b == ' '; }

// The extractor's approximate scan over an already folded text, with either search.
void scan(const ReadView& v, ApproxSearcher& s, std::string_view w, float t, bool literal,
          std::vector<Hit>& out) {
  out.clear();
  const auto* b = reinterpret_cast<const unsigned char*>(w.data());
  const std::size_t n = w.size();
  std::size_t p = 0;
  while (p < n) {
    if (!v.allow_overlaps() && p > 0 && v.word_byte(b[p - 1])) {
      ++p;
      continue;
    }
    Candidate c = literal ? s.search_literal(w, p, t) : s.search(w, p, t);
    if (c.node == kwsieve::kNoView) {
      ++p;
      continue;
    }
    std::size_t e = p + c.length;
    std::size_t et = edge_space(b[e - 1]) ? e - 1 : e;
    bool accept = v.allow_overlaps() || et == n;
    for (std::size_t i = et; !accept && i < n && i < et + 3; ++i) accept = !v.word_byte(b[i]);
    if (!accept) {
      ++p;
      continue;
    }
    std::size_t start = edge_space(b[p]) ? p + 1 : p;
    if (start <= et) out.push_back({c.node, std::round(c.similarity * 100.0f) / 100.0f, start, et});
    p = e;
  }
}

struct Run {
  uint64_t states;
  uint64_t filtered;  // start positions ruled out before searching
  double seconds;  // median per pass
  std::vector<Hit> hits;
};

Run measure(const ReadView& v, std::string_view w, float t, bool literal, int repeat) {
  Run r{0, 0, 0, {}};
  std::vector<double> times;
  for (int i = 0; i < repeat; ++i) {
    ApproxSearcher s(v);
    double t0 = cpu_seconds();
    scan(v, s, w, t, literal, r.hits);
    times.push_back(cpu_seconds() - t0);
    r.states = s.states_visited();
    r.filtered = s.starts_filtered();
  }
  std::sort(times.begin(), times.end());
  r.seconds = times[times.size() / 2];
  return r;
}

std::vector<std::pair<std::string, std::string>> read_keywords(const std::string& tsv, std::size_t count) {
  std::vector<std::pair<std::string, std::string>> out;
  std::size_t at = 0;
  while (out.size() < count && at < tsv.size()) {
    std::size_t nl = tsv.find('\n', at);
    if (nl == std::string::npos) nl = tsv.size();
    std::string_view line(tsv.data() + at, nl - at);
    at = nl + 1;
    std::size_t t1 = line.find('\t');
    if (t1 == std::string_view::npos) continue;
    std::size_t t2 = line.find('\t', t1 + 1);
    out.emplace_back(std::string(line.substr(0, t1)), std::string(line.substr(t1 + 1, t2 - t1 - 1)));
  }
  return out;
}

int compare_scans(const KeywordProcessor& kp, std::string_view w, int repeat) {
  const ReadView& v = kp.read_view();
  int failures = 0;
  for (float t : {0.9f, 0.8f, 0.7f}) {
    Run lit = measure(v, w, t, true, repeat);
    Run pr = measure(v, w, t, false, repeat);
    const double mb = static_cast<double>(w.size()) / 1e6;
    std::printf("%8zu  %.1f  %13llu %9.3f  %11llu %9.2f  %8.1fx %8.1fx  %7zu %9llu\n", kp.count_keywords(),
                static_cast<double>(t), static_cast<unsigned long long>(lit.states), mb / lit.seconds,
                static_cast<unsigned long long>(pr.states), mb / pr.seconds,
                static_cast<double>(lit.states) / static_cast<double>(pr.states), lit.seconds / pr.seconds,
                pr.hits.size(), static_cast<unsigned long long>(pr.filtered));
    if (lit.hits != pr.hits) {
      std::printf("  MISMATCH: literal and pruned scans differ\n");
      ++failures;
    }
  }
  return failures;
}

// Table 2. A keyword of `len` bytes: the first keyword of the list of that length that is
// plain ASCII, so that the numbers are about length alone.
std::string keyword_of_length(const std::vector<std::pair<std::string, std::string>>& kws, std::size_t len) {
  for (const auto& [k, c] : kws) {
    if (k.size() != len) continue;
    if (std::all_of(k.begin(), k.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x80; })) return k;
  }
  return std::string(len, 'a');
}

void growth(const std::vector<std::pair<std::string, std::string>>& kws, std::string_view english) {
  std::printf("\nthreshold 0.0, one keyword; states popped over the whole scan (one search per start position)\n");
  std::printf("%-44s %10s %10s %10s %10s   %s\n", "keyword", "256 B", "512 B", "1 KiB", "2 KiB",
              "order in text length");
  for (std::size_t len : {10u, 20u, 40u}) {
    KeywordProcessor kp(false, false);
    std::string k = keyword_of_length(kws, len);
    kp.add_keyword(k, std::nullopt);
    const ReadView& v = kp.read_view();
    std::string label = "'" + k + "' (" + std::to_string(len) + " B)";
    std::printf("%-44s", label.c_str());
    double prev = 0, order = 0;
    for (std::size_t n : {256u, 512u, 1024u, 2048u}) {
      std::string w;
      kwsieve::fold_case(utf8_prefix(english, n), w);
      Run r = measure(v, w, 0.0f, false, 1);
      std::printf(" %10llu", static_cast<unsigned long long>(r.states));
      if (prev > 0) order = std::log2(static_cast<double>(r.states) / prev);
      prev = static_cast<double>(r.states);
    }
    std::printf("   n^%.2f\n", order);
  }
  std::printf("\nliteral search at threshold 0.0 on the first bytes of the same text (same keywords)\n");
  std::printf("%-10s", "text");
  for (std::size_t len : {10u, 20u, 40u}) std::printf("  %11s %11s", ("literal " + std::to_string(len)).c_str(), "pruned");
  std::printf("\n");
  for (std::size_t n : {4u, 6u, 8u, 10u, 12u}) {
    std::printf("%6zu B  ", n);
    for (std::size_t len : {10u, 20u, 40u}) {
      KeywordProcessor kp(false, false);
      kp.add_keyword(keyword_of_length(kws, len), std::nullopt);
      std::string w;
      kwsieve::fold_case(utf8_prefix(english, n), w);
      Run lit = measure(kp.read_view(), w, 0.0f, true, 1);
      Run pr = measure(kp.read_view(), w, 0.0f, false, 1);
      std::printf("  %11llu %11llu", static_cast<unsigned long long>(lit.states),
                  static_cast<unsigned long long>(pr.states));
    }
    std::printf("\n");
  }
}

// Table 3.
std::vector<std::string_view> spread_paragraphs(std::string_view corpus, std::size_t span, std::size_t count) {
  std::string_view head = utf8_prefix(corpus, span);
  std::vector<std::string_view> all;
  std::size_t at = 0;
  while (at < head.size()) {
    std::size_t cut = head.find("\n\n", at);
    if (cut == std::string_view::npos) cut = head.size();
    if (cut > at) all.push_back(head.substr(at, cut - at));
    at = cut + 2;
  }
  std::vector<std::string_view> out;
  for (std::size_t i = 0; i < count && !all.empty(); ++i) out.push_back(all[i * all.size() / count]);
  return out;
}

using Paths = std::array<ApproxSearcher::PathCount, ApproxSearcher::kPaths>;

double extract_seconds(const KeywordProcessor& kp, const std::vector<std::string_view>& texts,
                       std::optional<float> t, int repeat, std::vector<std::vector<Hit>>* hits, Paths* paths = nullptr) {
  std::vector<double> times;
  std::vector<kwsieve::KeywordMatch> out;
  for (int r = 0; r < repeat; ++r) {
    // Every pass starts from a new searcher, as the first texts of a new processor do: the
    // one kept from the last pass would know every text already.
    (void)kp.read_view().take_searcher();
    kwsieve::Extractor x(kp.read_view());
    if (hits) hits->clear();
    const double t0 = cpu_seconds();
    for (std::string_view text : texts) {
      out.clear();
      x.extract(text, t, out);
      if (hits) {
        hits->emplace_back();
        for (const auto& m : out) hits->back().push_back({0, m.similarity, m.start, m.end});
      }
    }
    times.push_back(cpu_seconds() - t0);
    if (paths) {
      for (int k = 0; k < ApproxSearcher::kPaths; ++k) (*paths)[k] = x.approx().path_count(ApproxSearcher::Path(k));
    }
  }
  return benchkit::median(times);
}

// A row of the second table: each path's share of the start positions searched or answered,
// and in brackets its share of the states popped.
std::string where_row(std::size_t count, float t, const Paths& paths) {
  uint64_t searches = 0, states = 0;
  for (const auto& p : paths) {
    searches += p.searches;
    states += p.states;
  }
  char cell[64];
  // Rows begin with a letter, so before_after.sh, which keeps the rows of figures, leaves them out.
  std::snprintf(cell, sizeof cell, "| t = %.1f, %zu |", static_cast<double>(t), count);
  std::string row = cell;
  for (const auto& p : paths) {
    const double a = searches ? 100.0 * static_cast<double>(p.searches) / static_cast<double>(searches) : 0.0;
    const double b = states ? 100.0 * static_cast<double>(p.states) / static_cast<double>(states) : 0.0;
    std::snprintf(cell, sizeof cell, p.states ? " %.0f (%.0f) |" : " %.0f |", a, b);
    row += cell;
  }
  return row;
}

int paragraphs_table(const std::vector<std::pair<std::string, std::string>>& keywords, std::string_view corpus,
                     const std::vector<std::size_t>& counts, int repeat) {
  const std::vector<std::string_view> paras = spread_paragraphs(corpus, 3000000, 1500);
  std::vector<std::string> folded(paras.size());
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < paras.size(); ++i) {
    kwsieve::fold_case(paras[i], folded[i]);
    bytes += paras[i].size();
  }
  const double mb = static_cast<double>(bytes) / 1e6;
  std::printf("\n### %zu paragraphs over the first 3 MB of the corpus (%.2f MB), MB/s, median of %d\n\n",
              paras.size(), mb, repeat);
  std::printf("| keywords | t | exact | approximate | literal | approx / exact | approx / literal | matches |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|---:|\n");
  int failures = 0;
  std::vector<std::string> where;  // the second table's rows
  for (std::size_t count : counts) {
    KeywordProcessor kp(false, false);
    for (std::size_t i = 0; i < count && i < keywords.size(); ++i) kp.add_keyword(keywords[i].first, keywords[i].second);
    const ReadView& v = kp.read_view();
    const long rss0 = benchkit::rss_bytes();
    const double b0 = cpu_seconds();
    v.ensure_search();
    // The root expansion's suffix index, as deep as the first threshold below asks for
    // (least span of one edit at 0.9, less one), which its first search would build.
    uint64_t least = 1;
    while (!(1.0f - 1.0f / static_cast<float>(least) >= 0.9f)) ++least;
    v.suffix_index(least - 1);
    const double build = cpu_seconds() - b0;
    const long tables = benchkit::rss_bytes() - rss0;
    const double exact = extract_seconds(kp, paras, std::nullopt, repeat, nullptr);
    for (float t : {0.9f, 0.8f, 0.7f}) {
      std::vector<std::vector<Hit>> got;
      Paths paths{};
      const double approx = extract_seconds(kp, paras, t, repeat, &got, &paths);
      where.push_back(where_row(count, t, paths));
      // The literal search in the extractor's scan; one pass (it is the slow side).
      double lit = 0;
      std::vector<Hit> hits;
      std::size_t matches = 0;
      for (std::size_t i = 0; i < folded.size(); ++i) {
        ApproxSearcher s(v);
        const double t0 = cpu_seconds();
        scan(v, s, folded[i], t, true, hits);
        lit += cpu_seconds() - t0;
        matches += hits.size();
        bool same = hits.size() == got[i].size();
        for (std::size_t k = 0; same && k < hits.size(); ++k) {
          same = hits[k].start == got[i][k].start && hits[k].end == got[i][k].end &&
                 hits[k].similarity == got[i][k].similarity;
        }
        if (!same) {
          if (failures < 5) std::printf("  MISMATCH at %zu keywords, t=%.1f, paragraph %zu\n", count, static_cast<double>(t), i);
          ++failures;
        }
      }
      std::printf("| %zu | %.1f | %.1f | %.2f | %.2f | 1/%.0f | %.1fx | %zu |\n", count, static_cast<double>(t),
                  mb / exact, mb / approx, mb / lit, approx / exact, lit / approx, matches);
    }
    std::printf("| %zu | tables | first approximate call: %.0f ms, %.1f MiB resident; exact index %.1f MiB | | | | | |\n",
                count, build * 1e3, static_cast<double>(tables) / 1048576.0,
                static_cast<double>(v.exact().memory()) / 1048576.0);
    // After the three thresholds: the suffix index the view keeps is the one the deepest of
    // them asked for.
    const SearchTables::Memory m = v.search().memory();
    const std::shared_ptr<const kwsieve::SuffixIndex> sx = v.kept_suffix_index();
    const std::size_t suffix = sx ? sx->memory() : 0;
    auto mib = [](std::size_t b) { return static_cast<double>(b) / 1048576.0; };
    std::printf("| %zu | table MiB | nodes %.2f, keys %.2f, reach %.2f, fan %.2f, under %.2f, suffix %.2f (depth %llu%s); all %.2f | | | | | |\n",
                count, mib(m.nodes), mib(m.keys), mib(m.reach), mib(m.fan), mib(m.under), mib(suffix),
                static_cast<unsigned long long>(sx ? sx->depth() : 0), sx && sx->whole() ? ", whole" : "",
                mib(m.total() + suffix));
    std::fflush(stdout);
  }
  std::printf("\n### Where one pass's start positions went: searches (and states popped), %% of all\n\n");
  std::printf("| threshold, keywords |");
  for (int k = 0; k < ApproxSearcher::kPaths; ++k) std::printf(" %s |", ApproxSearcher::path_name(ApproxSearcher::Path(k)));
  std::printf("\n|---|");
  for (int k = 0; k < ApproxSearcher::kPaths; ++k) std::printf("---:|");
  std::printf("\n");
  for (const std::string& row : where) std::printf("%s\n", row.c_str());
  return failures;
}

// Table 4.
void low_threshold_growth(int repeat) {
  std::printf("\n### threshold 0.0, 100 keywords from 'etaoinshrdlu', words from a-z (a fifth keywords)\n\n");
  std::printf("| text | seconds | states | s per KiB |\n|---:|---:|---:|---:|\n");
  std::mt19937_64 g(7);
  auto below = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(g); };
  const std::string letters = "etaoinshrdlu", wide = "abcdefghijklmnopqrstuvwxyz";
  std::vector<std::string> kws;
  KeywordProcessor kp(false, false);
  for (int i = 0; i < 100; ++i) {
    std::string k;
    for (std::size_t n = 3 + below(8); n > 0; --n) k += letters[below(letters.size())];
    kws.push_back(k);
    kp.add_keyword(k, std::nullopt);
  }
  std::string text;
  while (text.size() < 95 * 1024) {
    if (below(5) == 0) {
      text += kws[below(kws.size())];
    } else {
      for (std::size_t n = 2 + below(8); n > 0; --n) text += wide[below(wide.size())];
    }
    text += ' ';
  }
  const ReadView& v = kp.read_view();
  for (std::size_t kib : {5u, 10u, 19u, 38u, 95u}) {
    std::string_view w(text.data(), kib * 1024);
    Run r = measure(v, w, 0.0f, false, kib > 20 ? 1 : repeat);
    std::printf("| %zu KiB | %.2f | %llu | %.3f |\n", kib, r.seconds, static_cast<unsigned long long>(r.states),
                r.seconds / static_cast<double>(kib));
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s KEYWORDS.tsv CORPUS.txt [slice_bytes] [slice_offset] [repeat] [parts] [counts...]\n",
                 argv[0]);
    return 2;
  }
  const std::string tsv = read_file(argv[1]);
  const std::string corpus = read_file(argv[2]);
  const std::size_t slice = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 32768;
  // Default: well into War and Peace, past the table of contents.
  std::size_t offset = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 200000;
  const int repeat = argc > 5 ? std::atoi(argv[5]) : 3;
  const std::string parts = argc > 6 ? argv[6] : "12";
  offset = std::min(offset, corpus.size());
  while (offset > 0 && (static_cast<unsigned char>(corpus[offset]) & 0xC0) == 0x80) --offset;
  const std::string_view text = utf8_prefix(std::string_view(corpus).substr(offset), slice);
  std::string folded;
  kwsieve::fold_case(text, folded);

  std::vector<std::size_t> counts = benchkit::keyword_counts(argc, argv, 7);
  const auto keywords = read_keywords(tsv, std::max<std::size_t>(10000, *std::max_element(counts.begin(), counts.end())));
  int failures = 0;
  if (parts.find('1') != std::string::npos) {
  std::printf("approximate scan of %zu bytes at offset %zu, median of %d passes\n", folded.size(), offset,
              repeat);
  std::printf("%8s  %3s  %13s %9s  %11s %9s  %9s %9s  %7s %9s\n", "keywords", "t", "literal", "MB/s",
              "pruned", "MB/s", "states", "time", "matches", "ruled out");
  for (std::size_t count : {1000u, 10000u}) {
    KeywordProcessor kp(false, false);
    for (std::size_t i = 0; i < count && i < keywords.size(); ++i) kp.add_keyword(keywords[i].first, keywords[i].second);
    failures += compare_scans(kp, folded, repeat);
  }
  }
  if (parts.find('2') != std::string::npos) growth(keywords, std::string_view(corpus).substr(offset));
  if (parts.find('3') != std::string::npos) failures += paragraphs_table(keywords, corpus, counts, repeat);
  if (parts.find('4') != std::string::npos) low_threshold_growth(repeat);
  return failures ? 1 : 0;
}
