// The memory this process may use; see memory_limit.h. Relies on POSIX
// sysconf and getrlimit and on the control-group files of Linux (version 2:
// memory.max, version 1: memory.limit_in_bytes), read when present. The
// answer is cached without a lock or an initialisation guard, so a fork()
// while another thread is reading the limits cannot leave the child waiting.
#include "zscan/memory_limit.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace zscan {

namespace {

constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

// The cached answer; it is published by g_usable_known (any value, 0
// included, is a possible answer).
std::atomic<std::uint64_t> g_usable{0};
std::atomic<bool> g_usable_known{false};

std::uint64_t physical_memory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return kUnlimited;
  return saturating_mul(static_cast<std::uint64_t>(pages),
                        static_cast<std::uint64_t>(page_size));
}

std::uint64_t resource_limit(int resource) {
  struct rlimit limit;
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnlimited;
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

// The number in a control-group limit file; "max" or anything unreadable
// means no limit.
std::uint64_t cgroup_limit(const char* path) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return kUnlimited;
  char text[64] = {};
  const bool read = std::fgets(text, sizeof text, file) != nullptr;
  std::fclose(file);
  if (!read) return kUnlimited;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || value == 0) return kUnlimited;
  return static_cast<std::uint64_t>(value);
}

std::uint64_t determine_usable_memory() {
  std::uint64_t limit = physical_memory();
  limit = std::min(limit, resource_limit(RLIMIT_AS));
  limit = std::min(limit, resource_limit(RLIMIT_DATA));
  limit = std::min(limit, cgroup_limit("/sys/fs/cgroup/memory.max"));
  limit = std::min(limit, cgroup_limit("/sys/fs/cgroup/memory/memory.limit_in_bytes"));
  return limit;
}

}  // namespace

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > kUnlimited - b ? kUnlimited : a + b;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  return (a != 0 && b > kUnlimited / a) ? kUnlimited : a * b;
}

std::uint64_t usable_memory_bytes() {
  if (g_usable_known.load(std::memory_order_acquire)) {
    return g_usable.load(std::memory_order_relaxed);
  }
  // Threads that race here read the same limits; storing twice is harmless.
  const std::uint64_t usable = determine_usable_memory();
  g_usable.store(usable, std::memory_order_relaxed);
  g_usable_known.store(true, std::memory_order_release);
  return usable;
}

}  // namespace zscan
