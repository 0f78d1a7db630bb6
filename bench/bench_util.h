// Helpers shared by the C++ benchmarks: CPU time, medians, input files, resident memory.
#pragma once

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace benchkit {

// CPU time of the whole process: steadier than elapsed time on a shared machine.
inline double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

inline std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(2);
  }
  std::ostringstream buf;
  buf << in.rdbuf();
  return buf.str();
}

struct Pair {
  std::string keyword;
  std::string clean_name;
};

// The first `limit` (keyword, clean name) lines of the keyword file.
inline std::vector<Pair> read_keywords(const char* path, std::size_t limit) {
  std::ifstream in(path, std::ios::binary);
  std::vector<Pair> out;
  std::string line;
  while (out.size() < limit && std::getline(in, line)) {
    const std::size_t a = line.find('\t');
    const std::size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
    if (b == std::string::npos) continue;
    out.push_back({line.substr(0, a), line.substr(a + 1, b - a - 1)});
  }
  return out;
}

// Keyword counts from argv[first] on; 1k, 10k and 100k when none is given.
inline std::vector<std::size_t> keyword_counts(int argc, char** argv, int first) {
  std::vector<std::size_t> counts;
  for (int i = first; i < argc; ++i) counts.push_back(std::strtoul(argv[i], nullptr, 10));
  if (counts.empty()) counts = {1000, 10000, 100000};
  return counts;
}

inline long rss_bytes() {
  std::ifstream in("/proc/self/statm");
  long pages = 0, resident = 0;
  in >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

}  // namespace benchkit
