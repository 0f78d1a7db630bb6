// Folding throughput on the benchmark corpus.
//
//   g++ -std=c++20 -O2 -Isrc src/engine/case_fold.cpp bench/bench_case_fold.cpp -o bench_case_fold
//   xz -dc /work/shared/data/corpus.txt.xz > corpus.txt
//   ./bench_case_fold corpus.txt /work/shared/data/corpus_manifest.tsv
//
// Texts: the corpus with every non-ASCII byte dropped (pure ASCII), the whole
// corpus (mostly Latin script), and the documents more than a third of whose bytes
// are non-ASCII (Greek, Cyrillic, Arabic, CJK ...). Each is folded several times,
// with and without a FoldMap; the best run is reported.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "engine/case_fold.h"

namespace {

using benchkit::read_file;

std::string non_latin_documents(const std::string& corpus, const char* manifest_path) {
  std::ifstream manifest(manifest_path);
  std::string line, out;
  std::getline(manifest, line);  // header
  while (std::getline(manifest, line)) {
    size_t offset = 0, bytes = 0;
    if (std::sscanf(line.c_str(), "%zu\t%zu", &offset, &bytes) != 2) continue;
    if (offset > corpus.size() || bytes > corpus.size() - offset) continue;
    const auto doc = std::string_view(corpus).substr(offset, bytes);
    const auto high = std::count_if(doc.begin(), doc.end(),
                                    [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    if (static_cast<size_t>(high) * 3 > doc.size()) out.append(doc).append("\n\n");
  }
  return out;
}

void bench(const char* name, const std::string& text) {
  std::string out;
  kwsieve::FoldMap map;
  for (bool with_map : {false, true}) {
    double best = 1e30;
    for (int rep = 0; rep < 15; ++rep) {
      const auto t0 = std::chrono::steady_clock::now();
      kwsieve::fold_case(text, out, with_map ? &map : nullptr);
      const auto t1 = std::chrono::steady_clock::now();
      best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    }
    std::printf("%-10s %9zu bytes  %-8s %8.0f MB/s  (folded %zu bytes, %zu runs)\n", name,
                text.size(), with_map ? "map" : "no map", text.size() / best / 1e6, out.size(),
                with_map ? map.shifts().size() : size_t{0});
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s corpus.txt corpus_manifest.tsv\n", argv[0]);
    return 2;
  }
  const std::string corpus = read_file(argv[1]);
  std::string ascii;
  ascii.reserve(corpus.size());
  for (char c : corpus) {
    if (static_cast<unsigned char>(c) < 0x80) ascii.push_back(c);
  }
  bench("ascii", ascii);
  bench("corpus", corpus);
  bench("non-latin", non_latin_documents(corpus, argv[2]));
  return 0;
}
