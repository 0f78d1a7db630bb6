// A driver for LLVMFuzzerTestOneInput where libFuzzer is unavailable (g++ builds).
//
//   standalone_fuzzer [-seconds=N] [-seed=N] [-max_len=N] [-artifact=PATH] SEED_FILE_OR_DIR...
//
// Runs every seed once, then random stacks of mutations of them until N seconds are up
// (default: $FUZZ_SECONDS, else 60). There is no coverage feedback; instead one run in 64
// joins the pool (bounded), so stacked mutations compound over time. Mutations favour what
// breaks a decoder: 64-bit counts and lengths set to edge values, key bytes that start or
// break UTF-8 sequences, duplicated and truncated regions.
//
// On a crash, a failed check, a sanitizer report or an input running longer than 25 s, the
// input is written to the artifact path (default ./crash-input) before the process dies,
// so that `standalone_fuzzer crash-input` reproduces it.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

// Under AddressSanitizer its own handlers report crashes (with a stack) and call back into
// dump_current(); the driver must not replace them.
#if defined(__SANITIZE_ADDRESS__)
#define KWSIEVE_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KWSIEVE_UNDER_ASAN 1
#endif
#endif
#ifdef KWSIEVE_UNDER_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

// The input being run, for the signal handlers; they only read these two variables.
const uint8_t* volatile g_current = nullptr;
volatile size_t g_current_size = 0;
const char* g_artifact = "crash-input";

void say(const char* msg) { (void)!write(2, msg, std::strlen(msg)); }

void dump_current() {
  int fd = open(g_artifact, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  const uint8_t* p = g_current;
  for (size_t left = g_current_size; p && left > 0;) {
    ssize_t n = write(fd, p, left);
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  close(fd);
  say("standalone_fuzzer: failing input written to the artifact path\n");
}

void on_fatal_signal(int sig) {
  if (sig == SIGALRM) say("standalone_fuzzer: input ran too long\n");
  dump_current();
  signal(sig == SIGALRM ? SIGABRT : sig, SIG_DFL);
  raise(sig == SIGALRM ? SIGABRT : sig);
}

void run_one(const Bytes& input) {
  g_current = input.data();
  g_current_size = input.size();
  alarm(25);
  LLVMFuzzerTestOneInput(input.data(), input.size());
  alarm(0);
}

std::mt19937_64 g_rng;
size_t below(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(g_rng); }

void mutate(Bytes& v, const std::vector<Bytes>& pool, size_t max_len) {
  static constexpr uint64_t kEdges[] = {0, 1, 2, 3, 255, 256, 17407, 17408, 17409, 131072, 131073,
                                        0x7FFFFFFF, 0xFFFFFFFF, 0x100000000ull, 0x8000000000000000ull, ~0ull};
  static constexpr uint8_t kBytes[] = {0x00, 0x01, 0x02, 0x61, 0x7F, 0x80, 0xBF, 0xC0, 0xC2,
                                       0xC3, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  auto edge_byte = [] { return kBytes[below(std::size(kBytes))]; };
  const size_t at = below(v.size());  // a position inside v (0 when empty)
  const size_t run = v.empty() ? 0 : 1 + below(std::min<size_t>(v.size() - at, 64));
  switch (below(9)) {
    case 0: if (!v.empty()) v[at] ^= static_cast<uint8_t>(1u << below(8)); break;
    case 1: if (!v.empty()) v[at] = edge_byte(); break;
    case 2:  // an edge 64-bit count or length, little-endian
      if (v.size() >= 8) {
        const uint64_t x = below(4) == 0 ? below(64) : kEdges[below(std::size(kEdges))];
        const size_t p = below(v.size() - 7);
        for (int i = 0; i < 8; ++i) v[p + i] = static_cast<uint8_t>(x >> (8 * i));
      }
      break;
    case 3: for (size_t n = 1 + below(9); n > 0; --n) v.insert(v.begin() + below(v.size() + 1), edge_byte()); break;
    case 4: v.erase(v.begin() + at, v.begin() + at + std::min<size_t>(run, 16)); break;
    case 5: {  // duplicate a region elsewhere (repeated keys, nested copies)
      const Bytes chunk(v.begin() + at, v.begin() + at + run);
      v.insert(v.begin() + below(v.size() + 1), chunk.begin(), chunk.end());
      break;
    }
    case 6: v.resize(at); break;
    case 7: {  // splice with another pool member
      const Bytes& other = pool[below(pool.size())];
      v.resize(at);
      v.insert(v.end(), other.begin() + below(other.size()), other.end());
      break;
    }
    default: if (!v.empty()) v[at] = static_cast<uint8_t>(below(256)); break;
  }
  if (v.size() > max_len) v.resize(max_len);
}

Bytes read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  const char* env = std::getenv("FUZZ_SECONDS");
  double seconds = env ? std::atof(env) : 60;
  uint64_t seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  size_t max_len = 200000;
  std::vector<Bytes> pool;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* flag) {
      return arg.rfind(flag, 0) == 0 ? arg.c_str() + std::strlen(flag) : nullptr;
    };
    if (const char* v = value("-seconds=")) seconds = std::atof(v);
    else if (const char* v = value("-seed=")) seed = std::strtoull(v, nullptr, 10);
    else if (const char* v = value("-max_len=")) max_len = std::strtoull(v, nullptr, 10);
    else if (const char* v = value("-artifact=")) g_artifact = v;
    else if (std::filesystem::is_directory(arg)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg))
        if (entry.is_regular_file()) pool.push_back(read_file(entry.path()));
    } else {
      pool.push_back(read_file(arg));
    }
  }
  if (pool.empty()) pool.push_back({});

  signal(SIGABRT, on_fatal_signal);
  signal(SIGALRM, on_fatal_signal);
#ifdef KWSIEVE_UNDER_ASAN
  __sanitizer_set_death_callback(dump_current);
#else
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) signal(sig, on_fatal_signal);
#endif

  std::printf("standalone_fuzzer: seed %llu, %zu seed inputs, %.0f s\n",
              static_cast<unsigned long long>(seed), pool.size(), seconds);
  std::fflush(stdout);
  for (const auto& input : pool) run_one(input);

  g_rng.seed(seed);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  uint64_t execs = 0;
  Bytes input;
  while (std::chrono::steady_clock::now() < deadline) {
    for (int batch = 0; batch < 64; ++batch, ++execs) {
      input = pool[below(pool.size())];
      for (size_t stack = 1 + below(6); stack > 0; --stack) mutate(input, pool, max_len);
      run_one(input);
      if (below(64) == 0) (pool.size() < 256 ? pool.emplace_back() : pool[below(256)]) = input;
    }
  }
  std::printf("standalone_fuzzer: %llu runs, no failure\n", static_cast<unsigned long long>(execs));
  return 0;
}
