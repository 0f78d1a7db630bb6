// How many processors this process may use: the affinity mask, limited by the CPU quota of
// its cgroup (v1 or v2, read from /proc and /sys/fs/cgroup). Both are Linux's; elsewhere
// the count is what the standard library reports.
#include "pool/cpu_count.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace kwsieve::pool::detail {
namespace {

// Unsigned decimal, nothing else, saturating at UINT64_MAX.
std::optional<std::uint64_t> parse_u64(std::string_view s) {
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    std::uint64_t d = static_cast<std::uint64_t>(c - '0');
    if (v > (std::numeric_limits<std::uint64_t>::max() - d) / 10) {
      v = std::numeric_limits<std::uint64_t>::max();
    } else {
      v = v * 10 + d;
    }
  }
  return v;
}

#if defined(__linux__)
// Reads at most `limit` bytes of a small system file; nullopt if it cannot be read.
std::optional<std::string> read_file(const std::string& path, std::size_t limit) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t got = ::read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buf, static_cast<std::size_t>(got));
    if (text.size() >= limit) break;
  }
  ::close(fd);
  return text;
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::string_view trim(std::string_view s) {
  const char* ws = " \t\n\r";
  std::size_t b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

std::string_view first_line(std::string_view s) { return s.substr(0, s.find('\n')); }

bool has_item(std::string_view list, std::string_view item) {
  while (!list.empty()) {
    std::size_t comma = list.find(',');
    if (list.substr(0, comma) == item) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

std::string join_path(const std::string& dir, std::string_view rel) {
  return rel.empty() ? dir : dir + "/" + std::string(rel);
}

// Strips one trailing path component; false when `dir` is already `top`.
bool up(std::string* dir, const std::string& top) {
  if (dir->size() <= top.size()) return false;
  std::size_t slash = dir->rfind('/');
  if (slash == std::string::npos || slash < top.size()) {
    *dir = top;
  } else {
    dir->resize(slash);
  }
  return true;
}

std::uint64_t quota_ratio(std::optional<std::uint64_t> limit,
                          std::optional<std::uint64_t> period) {
  if (limit && period && *period > 0) return *limit / *period;
  return std::numeric_limits<std::uint64_t>::max();
}

// cgroup v2: cpu.max ("max 100000" or "150000 100000") from the group up to the root.
std::uint64_t quota_v2(const std::string& root, std::string_view group) {
  std::uint64_t quota = std::numeric_limits<std::uint64_t>::max();
  std::string dir = join_path(root, group);
  if (!exists(dir + "/cgroup.controllers")) return quota;
  do {
    if (auto text = read_file(dir + "/cpu.max", 256)) {
      std::string_view line = first_line(*text);
      std::size_t space = line.find(' ');
      if (space != std::string_view::npos) {
        quota = std::min(quota, quota_ratio(parse_u64(line.substr(0, space)),
                                            parse_u64(trim(line.substr(space + 1)))));
      }
    }
  } while (up(&dir, root));
  return quota;
}

// cgroup v1: cpu.cfs_quota_us / cpu.cfs_period_us (quota -1 means none) from the
// group up to the mount point of the cpu controller.
std::uint64_t quota_v1(const std::string& root, std::string_view group,
                       std::string_view mountinfo) {
  std::uint64_t quota = std::numeric_limits<std::uint64_t>::max();
  auto walk = [&](const std::string& mount, std::string_view rel) {
    std::string dir = join_path(mount, rel);
    if (!exists(dir)) return false;
    do {
      auto limit = read_file(dir + "/cpu.cfs_quota_us", 256);
      auto period = read_file(dir + "/cpu.cfs_period_us", 256);
      if (limit && period) {
        quota = std::min(quota, quota_ratio(parse_u64(trim(*limit)), parse_u64(trim(*period))));
      }
    } while (up(&dir, mount));
    return true;
  };
  // The usual mount points first; then the mount table, which also finds bind
  // mounts of a subtree (a container's view), whose root is stripped from the group.
  if (walk(root + "/cpu", group) || walk(root + "/cpu,cpuacct", group)) return quota;
  while (!mountinfo.empty()) {
    std::size_t eol = mountinfo.find('\n');
    std::string_view line = trim(mountinfo.substr(0, eol));
    mountinfo.remove_prefix(eol == std::string_view::npos ? mountinfo.size() : eol + 1);
    // "id parent major:minor root mount-point options... - fstype source super-options"
    std::string_view field[5];
    std::size_t i = 0;
    std::string_view rest = line;
    for (; i < 5 && !rest.empty(); ++i) {
      std::size_t sp = rest.find(' ');
      field[i] = rest.substr(0, sp);
      rest.remove_prefix(sp == std::string_view::npos ? rest.size() : sp + 1);
    }
    std::size_t dash = line.find(" - ");
    if (i < 5 || dash == std::string_view::npos) continue;
    std::string_view tail = line.substr(dash + 3);  // "fstype source super-options"
    std::size_t sp1 = tail.find(' ');
    std::size_t sp2 = tail.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1) continue;
    if (tail.substr(0, sp1) != "cgroup" || !has_item(tail.substr(sp2 + 1), "cpu")) continue;
    std::string_view sub = field[3];
    while (!sub.empty() && sub.front() == '/') sub.remove_prefix(1);
    std::string_view rel = group;
    if (!sub.empty()) {
      if (rel.substr(0, sub.size()) != sub) continue;
      rel.remove_prefix(sub.size());
      if (!rel.empty() && rel.front() != '/') continue;  // "a/bc" is not under "a/b"
      while (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
    }
    walk(std::string(field[4]), rel);
    break;
  }
  return quota;
}
#endif  // __linux__

}  // namespace

std::vector<int> affinity_cpus() {
#if defined(__linux__)
  // Grow the set until the kernel's mask fits (EINVAL means it did not).
  for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) return {};
    std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    int rc = sched_getaffinity(0, bytes, set);
    int err = errno;
    std::vector<int> list;
    if (rc == 0) {
      for (int c = 0; c < cpus; ++c) {
        if (CPU_ISSET_S(c, bytes, set)) list.push_back(c);
      }
    }
    CPU_FREE(set);
    if (rc == 0 || err != EINVAL) return list;
  }
  return {};
#else
  return {};
#endif
}

std::optional<std::uint64_t> parse_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  std::string_view s(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  return parse_u64(s);
}

std::uint64_t cgroup_cpu_limit(const std::string& root, std::string_view proc_cgroup,
                               std::string_view mountinfo) {
#if defined(__linux__)
  // "hierarchy:controllers:path" per line; an empty controller list is cgroup v2.
  // A v1 hierarchy that names the cpu controller wins over the v2 one.
  std::optional<std::string_view> v1, v2;
  while (!proc_cgroup.empty()) {
    std::size_t eol = proc_cgroup.find('\n');
    std::string_view line = proc_cgroup.substr(0, eol);
    proc_cgroup.remove_prefix(eol == std::string_view::npos ? proc_cgroup.size() : eol + 1);
    std::size_t c1 = line.find(':');
    if (c1 == std::string_view::npos) continue;
    std::size_t c2 = line.find(':', c1 + 1);
    if (c2 == std::string_view::npos) continue;
    std::string_view controllers = line.substr(c1 + 1, c2 - c1 - 1);
    std::string_view path = line.substr(c2 + 1);
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    if (controllers.empty()) {
      if (!v2) v2 = path;
    } else if (has_item(controllers, "cpu")) {
      v1 = path;
    }
  }
  if (v1) return quota_v1(root, *v1, mountinfo);
  if (v2) return quota_v2(root, *v2);
  return std::numeric_limits<std::uint64_t>::max();
#else
  (void)root;
  (void)proc_cgroup;
  (void)mountinfo;
  return std::numeric_limits<std::uint64_t>::max();
#endif
}

std::size_t default_thread_count() {
#if defined(__linux__)
  std::size_t count = affinity_cpus().size();
  if (count == 0) {
    long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    count = online > 0 ? static_cast<std::size_t>(online) : 1;
  }
  auto cgroup = read_file("/proc/self/cgroup", 1 << 16);
  if (cgroup) {
    auto mountinfo = read_file("/proc/self/mountinfo", 1 << 20);
    std::uint64_t quota =
        cgroup_cpu_limit("/sys/fs/cgroup", *cgroup, mountinfo ? *mountinfo : std::string());
    // A quota below one processor still lets one thread run.
    quota = std::max<std::uint64_t>(quota, 1);
    if (quota < count) count = static_cast<std::size_t>(quota);
  }
  return std::max<std::size_t>(count, 1);
#else
  return std::max<std::size_t>(std::thread::hardware_concurrency(), 1);
#endif
}

}  // namespace kwsieve::pool::detail
