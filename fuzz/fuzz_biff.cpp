// Arbitrary bytes through the Excel 97-2003 engine's readers: a compound file (its Workbook stream
// taken from it) or a bare Workbook stream. Besides not crashing: the compound file written again
// must hold the same streams, a stream written without a change must read back the same, and a
// copy that succeeded must leave a stream that reads back with one more sheet.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "server/biff/formula.h"
#include "server/biff/sheet_copy.h"
#include "server/biff/workbook_stream.h"
#include "server/cfb/compound_file.h"
#include "server/server_error.h"

namespace {

using namespace orv::biff;
using namespace orv::cfb;

// Entries are compared in name order: a directory lists them sorted its own way, and names
// may repeat in a damaged one.
bool sameEntries(const CompoundEntry& a, const CompoundEntry& b) {
  if (a.name != b.name || a.storage != b.storage || a.data != b.data ||
      a.children.size() != b.children.size())
    return false;
  const auto sorted = [](const CompoundEntry& e) {
    std::vector<const CompoundEntry*> out;
    for (const CompoundEntry& c : e.children) out.push_back(&c);
    std::sort(out.begin(), out.end(), [](const CompoundEntry* x, const CompoundEntry* y) {
      return std::tie(x->name, x->storage, x->data) < std::tie(y->name, y->storage, y->data);
    });
    return out;
  };
  const auto left = sorted(a), right = sorted(b);
  for (size_t i = 0; i < left.size(); ++i)
    if (!sameEntries(*left[i], *right[i])) return false;
  return true;
}

void fuzzStream(const std::string& stream) {
  WorkbookStream book;
  try {
    book = parseWorkbookStream(stream);
  } catch (const RecordError&) {
    return;
  }
  const size_t sheets = book.sheets.size();
  std::string written;
  try {
    written = writeWorkbookStream(book);
  } catch (const RecordError&) {
    return;  // too large for the format
  }
  WorkbookStream again = parseWorkbookStream(written);  // must not throw
  if (again.sheets.size() != sheets) __builtin_trap();
  for (size_t i = 0; i < sheets && i < 4; ++i) {
    try {
      appendSheetCopy(again, i, "Copy " + std::to_string(i), CopyContext{});
    } catch (const orv::ServerError&) {
      continue;
    }
    const WorkbookStream copied = parseWorkbookStream(writeWorkbookStream(again));
    if (copied.sheets.size() != again.sheets.size()) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  if (input.rfind("\xD0\xCF\x11\xE0", 0) == 0) {
    CompoundEntry root;
    try {
      root = readCompoundFile(input, "fuzz.xls");
    } catch (const orv::ServerError&) {
      return 0;
    }
    const CompoundEntry again = readCompoundFile(writeCompoundFile(root), "again.xls");
    if (!sameEntries(root, again)) __builtin_trap();
    if (const CompoundEntry* workbook = findChild(root, "Workbook")) fuzzStream(workbook->data);
    return 0;
  }
  // A leading 'F' makes the rest a formula: the walker alone.
  if (!input.empty() && input[0] == 'F') {
    std::string formula = input.substr(1);
    FormulaRemap remap;
    remap.xti = [](std::uint16_t x) { return static_cast<std::uint16_t>(x + 1); };
    remap.name = [](std::uint32_t n) { return n + 1; };
    try {
      walkFormula(formula, 0, formula.size(), &remap);
    } catch (const RecordError&) {
    }
    return 0;
  }
  fuzzStream(input);
  return 0;
}

// libgsf is built without frame pointers: only the slow unwinder sees it in a leak's stack, which
// lets the suppression of its known leak (lsan_suppressions.txt) match.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
