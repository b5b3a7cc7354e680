#pragma once

#include <cstdint>
#include <string>

namespace orv {

// Memory this process may still take, in bytes: the machine's available memory (what can be had
// without swapping), lowered to what the address-space limit (ulimit -v) leaves, when one is set.
std::uint64_t memoryBudget();

// The end of the sentence "Cannot open 'Book.xlsx': ..." for a workbook that needs `needed` bytes
// of memory more than the budget.
std::string tooLargeReason(std::uint64_t needed);

// The end of the sentence "Cannot <verb> 'Book.xlsx': ..." when memory ran out all the same.
std::string outOfMemoryReason(const std::string& verb = "open");

// What holding and rewriting an XML part of `bytes` bytes with `elements` elements and
// `attributes` attributes costs: the text, the parser's copy of it, its tree (a node per element
// and per run of text between them, a record per attribute), and the text written back.
std::uint64_t xmlPartCost(std::uint64_t bytes, std::uint64_t elements, std::uint64_t attributes);

}  // namespace orv
