// Arbitrary bytes through the formula tokenizer: the first line names the sheet, the rest is the
// formula. Besides not crashing, the rewrite and the yes/no question must agree.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/ooxml/a1_references.h"
#include "server/sheet_names.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  const std::string_view sheet = newline == input.npos ? "Sheet1" : input.substr(0, newline);
  const std::string_view formula = newline == input.npos ? input : input.substr(newline + 1);
  for (const auto mode : {orv::RetargetMode::Copy, orv::RetargetMode::Rename}) {
    const std::string out = orv::retargetSheetRefs(formula, sheet, "New 'Sheet", mode);
    if (orv::refersToSheet(formula, sheet, mode) != (out != formula)) __builtin_trap();
    if (mode == orv::RetargetMode::Rename && !orv::sameSheetName(sheet, "New 'Sheet") &&
        orv::refersToSheet(out, sheet))
      __builtin_trap();  // a rename must leave no reference to the old name behind
  }
  return 0;
}
