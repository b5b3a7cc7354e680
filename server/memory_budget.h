#pragma once

#include <cstdint>
#include <string>

namespace orv {

// Memory this process may still take, in bytes: the machine's available memory (what can be had
// without swapping), lowered to what the address-space limit (ulimit -v) leaves, when one is set.
std::uint64_t memoryBudget();

// Whether an engine may keep `weight` bytes of a workbook it saved, for the next instance of the
// process that opens it: up to 96 MB, or a quarter of the memory budget when that is more. What
// is kept is what the instance held anyway, handed over rather than read again. The budget is
// read from the system only for a workbook above 96 MB.
bool mayKeepWorkbook(std::uint64_t weight);

// Whether a part of `bytes` bytes may be held whole: one of up to 1 MB always (refusing a workbook
// for it would not leave the machine better off), a larger one within the memory budget.
bool mayHoldPart(std::uint64_t bytes);

// Asks the allocator to keep blocks of up to 32 MB for reuse when they are freed, rather than
// handing them back to the system at once. Each instance of a run frees and takes again blocks of
// about the same sizes (a workbook part's text, its tree); handed back, they come again as page
// faults that cost more than the copy. Called once at the start of the process.
void keepFreedMemoryForReuse();

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
