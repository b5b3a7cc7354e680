#include "server/memory_budget.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>

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

std::string tooLargeReason(std::uint64_t needed) {
  const std::uint64_t gb = std::max<std::uint64_t>(1, (needed + 999'999'999) / 1'000'000'000);
  return "this workbook is too large to copy on this computer (about " + std::to_string(gb) +
         " GB needed).";
}

std::string outOfMemoryReason(const std::string& verb) {
  return "there is not enough memory to " + verb + " this workbook.";
}

std::uint64_t xmlPartCost(std::uint64_t bytes, std::uint64_t elements, std::uint64_t attributes) {
  constexpr std::uint64_t kNode = 64;       // one parsed element or text run
  constexpr std::uint64_t kAttribute = 40;  // one parsed attribute
  return 3 * bytes + 2 * kNode * elements + kAttribute * attributes;
}

}  // namespace orv
