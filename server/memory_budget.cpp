#include "server/memory_budget.h"

#include <algorithm>

namespace orv {

std::string tooLargeReason(std::uint64_t needed) {
  const std::uint64_t gb = std::max<std::uint64_t>(1, (needed + 999'999'999) / 1'000'000'000);
  return "this workbook is too large to copy on this computer (about " + std::to_string(gb) +
         " GB needed).";
}

std::string outOfMemoryReason(const std::string& verb) {
  return "there is not enough memory to " + verb + " this workbook.";
}

bool mayKeepWorkbook(std::uint64_t weight) {
  return weight <= (std::uint64_t{96} << 20) || weight <= memoryBudget() / 4;
}

bool mayHoldPart(std::uint64_t bytes) {
  return bytes <= (std::uint64_t{1} << 20) || bytes <= memoryBudget();
}

std::uint64_t xmlPartCost(std::uint64_t bytes, std::uint64_t elements, std::uint64_t attributes) {
  constexpr std::uint64_t kNode = 64;       // one parsed element or text run
  constexpr std::uint64_t kAttribute = 40;  // one parsed attribute
  return 3 * bytes + 2 * kNode * elements + kAttribute * attributes;
}

}  // namespace orv
