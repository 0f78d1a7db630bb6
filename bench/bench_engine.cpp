// Throughput of the engine alone: keyword loading and exact extraction, no Python.
//
//   g++ -O2 -std=c++20 -Isrc src/engine/*.cpp src/pool/*.cpp bench/bench_engine.cpp \
//       -lpthread -o /tmp/bench_engine
//   /tmp/bench_engine KEYWORDS.tsv CORPUS.txt MANIFEST.tsv [repeat] [counts...]
//
// (bench/run.sh does this with the unpacked files from bench/common.py.)
//
// For 1k, 10k and 100k keywords (the first lines of the keyword file) it reports:
//   load   add_keyword rate, and the time to build the read view that scans use;
//   docs   extraction over the 157 manifest documents, one call each;
//   paras  the same documents cut at blank lines (about 105k texts), one call each;
//   prefolded  the documents folded once beforehand and scanned by a case-sensitive
//          processor holding the folded keywords: the same matches without the fold,
//          so docs minus prefolded is what lowercasing costs;
//   index  heap bytes per keyword of the exact index, and of its start filter alone.
// Each pass reuses one Extractor and one match vector, as the batch path does, so the
// figures are per-byte engine work. Times are CPU time of the process (steadier than
// elapsed time on a shared machine); the median of `repeat` passes is reported.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "bench_util.h"
#include "engine/case_fold.h"
#include "engine/extract.h"
#include "engine/processor.h"
#include "engine/read_view.h"

namespace {

using benchkit::cpu_seconds;
using benchkit::median;
using benchkit::Pair;
using benchkit::read_file;
using benchkit::read_keywords;

// The documents of the manifest, as views into the corpus.
std::vector<std::string_view> documents(const std::string& corpus, const char* manifest_path) {
  std::ifstream manifest(manifest_path);
  std::vector<std::string_view> docs;
  std::string line;
  std::getline(manifest, line);  // header
  while (std::getline(manifest, line)) {
    std::size_t offset = 0, bytes = 0;
    if (std::sscanf(line.c_str(), "%zu\t%zu", &offset, &bytes) != 2) continue;
    if (offset > corpus.size() || bytes > corpus.size() - offset) continue;
    docs.push_back(std::string_view(corpus).substr(offset, bytes));
  }
  return docs;
}

// Each document cut at "\n\n", empty pieces dropped (as bench/common.py does).
std::vector<std::string_view> paragraphs(const std::vector<std::string_view>& docs) {
  std::vector<std::string_view> out;
  for (std::string_view d : docs) {
    std::size_t at = 0;
    while (at <= d.size()) {
      std::size_t cut = d.find("\n\n", at);
      if (cut == std::string_view::npos) cut = d.size();
      if (cut > at) out.push_back(d.substr(at, cut - at));
      at = cut + 2;
    }
  }
  return out;
}

std::size_t total_bytes(const std::vector<std::string_view>& texts) {
  std::size_t n = 0;
  for (auto t : texts) n += t.size();
  return n;
}

struct PassResult {
  double seconds;
  std::size_t matches;
};

PassResult scan(const kwsieve::KeywordProcessor& kp, const std::vector<std::string_view>& texts,
                int repeat) {
  kwsieve::Extractor x(kp.read_view());
  std::vector<kwsieve::KeywordMatch> out;
  std::vector<double> times;
  std::size_t matches = 0;
  for (int r = 0; r < repeat; ++r) {
    matches = 0;
    const double t0 = cpu_seconds();
    for (std::string_view t : texts) {
      out.clear();
      x.extract(t, std::nullopt, out);
      matches += out.size();
    }
    times.push_back(cpu_seconds() - t0);
  }
  return {median(times), matches};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s KEYWORDS.tsv CORPUS.txt MANIFEST.tsv [repeat] [counts...]\n",
                 argv[0]);
    return 2;
  }
  const int repeat = argc > 4 ? std::max(1, std::atoi(argv[4])) : 5;
  const std::vector<std::size_t> counts = benchkit::keyword_counts(argc, argv, 5);

  const std::vector<Pair> pairs =
      read_keywords(argv[1], *std::max_element(counts.begin(), counts.end()));
  const std::string corpus = read_file(argv[2]);
  const std::vector<std::string_view> docs = documents(corpus, argv[3]);
  const std::vector<std::string_view> paras = paragraphs(docs);

  std::vector<std::string> folded_store(docs.size());
  std::vector<std::string_view> folded;
  for (std::size_t i = 0; i < docs.size(); ++i) {
    kwsieve::fold_case(docs[i], folded_store[i]);
    folded.push_back(folded_store[i]);
  }

  const double doc_mb = static_cast<double>(total_bytes(docs)) / 1e6;
  const double para_mb = static_cast<double>(total_bytes(paras)) / 1e6;
  const double folded_mb = static_cast<double>(total_bytes(folded)) / 1e6;
  std::printf("\n### Engine alone (C++, CPU time, median of %d): docs %zu texts %.1f MB, "
              "paras %zu texts %.1f MB\n\n",
              repeat, docs.size(), doc_mb, paras.size(), para_mb);
  std::printf("| keywords | add k/s | view ms | docs MB/s | paras MB/s | prefolded MB/s "
              "| matches (docs) | matches (paras) | index B/kw | filter B/kw |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");

  for (std::size_t n : counts) {
    n = std::min(n, pairs.size());
    std::vector<double> add_times;
    double view_seconds = 0;
    kwsieve::KeywordProcessor* kp = nullptr;
    for (int r = 0; r < repeat; ++r) {
      delete kp;
      kp = new kwsieve::KeywordProcessor();
      const double t0 = cpu_seconds();
      for (std::size_t i = 0; i < n; ++i) kp->add_keyword(pairs[i].keyword, pairs[i].clean_name);
      const double t1 = cpu_seconds();
      kp->read_view();
      view_seconds = cpu_seconds() - t1;
      add_times.push_back(t1 - t0);
    }

    kwsieve::KeywordProcessor sensitive(/*case_sensitive=*/true);
    std::string norm;
    for (std::size_t i = 0; i < n; ++i) {
      kwsieve::fold_case(pairs[i].keyword, norm);
      sensitive.add_keyword(norm, pairs[i].clean_name);
    }

    const PassResult d = scan(*kp, docs, repeat);
    const PassResult p = scan(*kp, paras, repeat);
    const PassResult f = scan(sensitive, folded, repeat);
    if (f.matches != d.matches) {
      std::fprintf(stderr, "prefolded scan found %zu matches, docs %zu\n", f.matches, d.matches);
    }
    const kwsieve::ExactIndex& index = kp->read_view().exact();
    std::printf("| %zuk | %.0f | %.1f | %.1f | %.1f | %.1f | %zu | %zu | %.1f | %.2f |\n", n / 1000,
                static_cast<double>(n) / median(add_times) / 1e3, view_seconds * 1e3,
                doc_mb / d.seconds, para_mb / p.seconds, folded_mb / f.seconds, d.matches,
                p.matches, static_cast<double>(index.memory()) / static_cast<double>(n),
                static_cast<double>(index.filter_memory()) / static_cast<double>(n));
    std::fflush(stdout);
    delete kp;
  }
  return 0;
}
