// Keyword insertion in the engine alone: time per add_keyword and the memory the trie holds.
//
//   g++ -O2 -std=c++20 -Isrc src/engine/*.cpp src/pool/*.cpp bench/bench_insert.cpp -lpthread \
//       -o /tmp/bench_insert
//   /tmp/bench_insert KEYWORDS.tsv [repeat] [counts...]
//
// For each count N (the first N lines of the keyword file) it reports the median CPU time
// of one add_keyword over `repeat` fresh processors, and the resident memory a processor
// holding the N keywords adds, measured in a forked child so that each figure starts from
// the same heap. The Python benchmark (bench_load.py) adds the cost of the call itself.
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"
#include "engine/processor.h"

namespace {

using benchkit::cpu_seconds;
using benchkit::median;
using benchkit::Pair;
using benchkit::read_keywords;
using benchkit::rss_bytes;

// Resident memory added by a processor loaded with the first n pairs, measured in a child
// process so that earlier runs leave nothing in the heap.
long child_rss(const std::vector<Pair>& pairs, std::size_t n) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    long before = rss_bytes();
    auto kp = std::make_unique<kwsieve::KeywordProcessor>();
    for (std::size_t i = 0; i < n; ++i) kp->add_keyword(pairs[i].keyword, pairs[i].clean_name);
    long added = rss_bytes() - before;
    ssize_t w = write(fds[1], &added, sizeof added);
    _exit(w == sizeof added ? 0 : 1);
  }
  close(fds[1]);
  long added = -1;
  if (read(fds[0], &added, sizeof added) != sizeof added) added = -1;
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return added;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s KEYWORDS.tsv [repeat] [counts...]\n", argv[0]);
    return 2;
  }
  const int repeat = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const std::vector<std::size_t> counts = benchkit::keyword_counts(argc, argv, 3);
  const std::vector<Pair> pairs =
      read_keywords(argv[1], *std::max_element(counts.begin(), counts.end()));

  // Memory first, while the heap holds nothing freed that a child could reuse.
  std::vector<long> rss;
  for (std::size_t n : counts) rss.push_back(child_rss(pairs, std::min(n, pairs.size())));

  std::printf("| keywords | ns per add | nodes | RSS added | bytes per node |\n");
  std::printf("|---|---:|---:|---:|---:|\n");
  for (std::size_t c = 0; c < counts.size(); ++c) {
    const std::size_t n = std::min(counts[c], pairs.size());
    std::vector<double> times;
    std::size_t nodes = 0;
    for (int r = 0; r < repeat; ++r) {
      auto kp = std::make_unique<kwsieve::KeywordProcessor>();
      const double t0 = cpu_seconds();
      for (std::size_t i = 0; i < n; ++i) kp->add_keyword(pairs[i].keyword, pairs[i].clean_name);
      times.push_back(cpu_seconds() - t0);
      nodes = kp->trie().node_count();
    }
    std::printf("| %zu | %.0f | %zu | %.0f KiB | %.1f |\n", n, median(times) / n * 1e9, nodes,
                rss[c] / 1024.0, static_cast<double>(rss[c]) / nodes);
  }
  return 0;
}
