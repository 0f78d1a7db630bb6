// A driver for LLVMFuzzerTestOneInput where libFuzzer is unavailable (g++ builds).
//
//   standalone_fuzzer [-seconds=N] [-seed=N] [-max_len=N] [-artifact=PATH] SEED_FILE_OR_DIR...
//
// Runs every seed once, then random stacks of mutations of them until N seconds are up
// (default: $FUZZ_SECONDS, else 60). There is no coverage feedback; instead one run in 64
// joins the pool (bounded), so stacked mutations compound over time.
// Mutations favour what breaks a decoder: 64-bit counts and lengths set to edge values,
// key bytes that start or break UTF-8 sequences, duplicated and truncated regions.
//
// On a crash, a failed check, a sanitizer report or an input running longer than 25 s,
// the input is written to the artifact path (default ./crash-input) before the process
// dies, so that `standalone_fuzzer crash-input` reproduces it.
#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
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

// Under AddressSanitizer, its own handlers report crashes (with a stack) and call back
// into dump_current(); the driver must not replace them.
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

constexpr unsigned kHangSeconds = 25;

// The input being run, for the signal handlers; they only read these two variables.
const uint8_t* volatile g_current = nullptr;
volatile size_t g_current_size = 0;
const char* g_artifact = "crash-input";

void dump_current() {
  int fd = open(g_artifact, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  const uint8_t* p = g_current;
  size_t left = g_current_size;
  while (p && left > 0) {
    ssize_t n = write(fd, p, left);
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  close(fd);
  const char msg[] = "standalone_fuzzer: failing input written to the artifact path\n";
  (void)!write(2, msg, sizeof msg - 1);
}

void on_fatal_signal(int sig) {
  if (sig == SIGALRM) {
    const char msg[] = "standalone_fuzzer: input ran too long\n";
    (void)!write(2, msg, sizeof msg - 1);
  }
  dump_current();
  signal(sig == SIGALRM ? SIGABRT : sig, SIG_DFL);
  raise(sig == SIGALRM ? SIGABRT : sig);
}

void run_one(const std::vector<uint8_t>& input) {
  g_current = input.data();
  g_current_size = input.size();
  alarm(kHangSeconds);
  LLVMFuzzerTestOneInput(input.data(), input.size());
  alarm(0);
}

std::vector<uint8_t> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Mutator {
 public:
  explicit Mutator(uint64_t seed) : rng_(seed) {}

  size_t below(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

  void mutate(std::vector<uint8_t>& v, const std::vector<std::vector<uint8_t>>& pool, size_t max_len) {
    static constexpr uint64_t kEdges[] = {0, 1, 2, 3, 255, 256, 17407, 17408, 17409, 131072,
                                          131073, 0x7FFFFFFF, 0xFFFFFFFF, 0x100000000ull,
                                          0x8000000000000000ull, ~0ull};
    static constexpr uint8_t kBytes[] = {0x00, 0x01, 0x02, 0x61, 0x7F, 0x80, 0xBF, 0xC0, 0xC2,
                                         0xC3, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
    switch (below(9)) {
      case 0:  // flip a bit
        if (!v.empty()) v[below(v.size())] ^= static_cast<uint8_t>(1u << below(8));
        break;
      case 1:  // an edge byte
        if (!v.empty()) v[below(v.size())] = kBytes[below(std::size(kBytes))];
        break;
      case 2: {  // an edge 64-bit count or length, little-endian
        if (v.size() < 8) break;
        uint64_t x = kEdges[below(std::size(kEdges))];
        if (below(4) == 0) x = below(64);
        size_t at = below(v.size() - 7);
        for (int i = 0; i < 8; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
        break;
      }
      case 3: {  // insert a few bytes
        size_t at = below(v.size() + 1);
        size_t n = 1 + below(9);
        for (size_t i = 0; i < n; ++i) v.insert(v.begin() + at, kBytes[below(std::size(kBytes))]);
        break;
      }
      case 4: {  // erase a range
        if (v.empty()) break;
        size_t at = below(v.size());
        size_t n = 1 + below(std::min<size_t>(v.size() - at, 16));
        v.erase(v.begin() + at, v.begin() + at + n);
        break;
      }
      case 5: {  // duplicate a region elsewhere (repeated keys, nested copies)
        if (v.empty()) break;
        size_t from = below(v.size());
        size_t n = 1 + below(std::min<size_t>(v.size() - from, 64));
        std::vector<uint8_t> chunk(v.begin() + from, v.begin() + from + n);
        v.insert(v.begin() + below(v.size() + 1), chunk.begin(), chunk.end());
        break;
      }
      case 6:  // truncate
        if (!v.empty()) v.resize(below(v.size()));
        break;
      case 7: {  // splice with another pool member
        const auto& other = pool[below(pool.size())];
        if (other.empty() || v.empty()) break;
        size_t cut = below(v.size());
        size_t from = below(other.size());
        v.resize(cut);
        v.insert(v.end(), other.begin() + from, other.end());
        break;
      }
      default:  // a random byte
        if (!v.empty()) v[below(v.size())] = static_cast<uint8_t>(below(256));
        break;
    }
    if (v.size() > max_len) v.resize(max_len);
  }

 private:
  std::mt19937_64 rng_;
};

bool starts_with(const char* arg, const char* prefix, const char** value) {
  size_t n = std::strlen(prefix);
  if (std::strncmp(arg, prefix, n) != 0) return false;
  *value = arg + n;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 60;
  if (const char* env = std::getenv("FUZZ_SECONDS")) seconds = std::atof(env);
  uint64_t seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  size_t max_len = 200000;
  std::vector<std::vector<uint8_t>> pool;
  for (int i = 1; i < argc; ++i) {
    const char* value;
    if (starts_with(argv[i], "-seconds=", &value)) {
      seconds = std::atof(value);
    } else if (starts_with(argv[i], "-seed=", &value)) {
      seed = std::strtoull(value, nullptr, 10);
    } else if (starts_with(argv[i], "-max_len=", &value)) {
      max_len = std::strtoull(value, nullptr, 10);
    } else if (starts_with(argv[i], "-artifact=", &value)) {
      g_artifact = value;
    } else if (std::filesystem::is_directory(argv[i])) {
      for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
        if (entry.is_regular_file()) pool.push_back(read_file(entry.path()));
      }
    } else {
      pool.push_back(read_file(argv[i]));
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

  constexpr size_t kPoolCap = 256;
  Mutator mutator(seed);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  uint64_t execs = 0;
  std::vector<uint8_t> input;
  while (std::chrono::steady_clock::now() < deadline) {
    for (int batch = 0; batch < 64; ++batch) {
      input = pool[mutator.below(pool.size())];
      size_t stack = 1 + mutator.below(6);
      for (size_t i = 0; i < stack; ++i) mutator.mutate(input, pool, max_len);
      run_one(input);
      ++execs;
      if (mutator.below(64) == 0) {
        if (pool.size() < kPoolCap) {
          pool.push_back(input);
        } else {
          pool[mutator.below(kPoolCap)] = input;
        }
      }
    }
  }
  std::printf("standalone_fuzzer: %llu runs, no failure\n", static_cast<unsigned long long>(execs));
  return 0;
}
