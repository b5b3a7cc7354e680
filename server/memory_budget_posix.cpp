// The memory budget on Linux: /proc and the address-space limit.
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>

#include "server/memory_budget.h"

namespace orv {

namespace {

constexpr std::uint64_t kUnknown = std::numeric_limits<std::uint64_t>::max();

// MemAvailable from /proc/meminfo; the free pages where that is missing.
std::uint64_t availablePhysical() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  std::uint64_t kib = 0;
  std::string unit;
  while (meminfo >> key >> kib >> unit) {
    if (key == "MemAvailable:") return kib * 1024;
  }
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pages > 0 && pageSize > 0)
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
  return kUnknown;
}

// The address space this process may still map under its limit, or kUnknown without one.
std::uint64_t addressSpaceLeft() {
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnknown;
  std::uint64_t used = 0;
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    unsigned long pages = 0;
    if (std::fscanf(statm, "%lu", &pages) == 1)
      used = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    std::fclose(statm);
  }
  const auto cap = static_cast<std::uint64_t>(limit.rlim_cur);
  return cap > used ? cap - used : 0;
}

}  // namespace

std::uint64_t memoryBudget() {
  std::uint64_t budget = std::min(availablePhysical(), addressSpaceLeft());
  // Neither known: no reason to refuse.
  return budget;
}

void keepFreedMemoryForReuse() {
  // Both stay fixed once set: the allocator no longer moves them by itself.
  constexpr int kKept = 32 << 20;
  mallopt(M_MMAP_THRESHOLD, kKept);
  mallopt(M_TRIM_THRESHOLD, kKept);
  // One arena for the process. A save makes its first entries on a second thread, which would
  // get an arena of its own, and what it frees there would stay unused by the first thread: a
  // save of a workbook of a thousand sheets kept about 1 MB more that way.
  mallopt(M_ARENA_MAX, 1);
}

}  // namespace orv
