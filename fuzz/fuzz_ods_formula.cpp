// Arbitrary bytes through the OpenFormula reference rewriter: the first line names the sheet, the
// rest is formula text, also read as a cell range address list. Besides not crashing, the
// rewrite and the yes/no question must agree, and a rename must leave no reference behind.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/ods/open_formula.h"
#include "server/sheet_names.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  const std::string_view sheet = newline == input.npos ? "Sheet1" : input.substr(0, newline);
  const std::string_view text = newline == input.npos ? input : input.substr(newline + 1);
  const orv::FormulaReferences& refs = orv::ods::openFormulaReferences();
  for (const auto mode : {orv::RetargetMode::Copy, orv::RetargetMode::Rename}) {
    const std::string out = orv::ods::retargetFormula(text, sheet, "New 'Sheet", mode);
    if (refs.refersTo(text, sheet, mode) != (out != text)) __builtin_trap();
    if (mode == orv::RetargetMode::Rename && !orv::sameSheetName(sheet, "New 'Sheet") &&
        refs.refersTo(out, sheet, mode))
      __builtin_trap();  // a rename must leave no reference to the old name behind
    (void)orv::ods::retargetAddresses(text, sheet, "New 'Sheet", mode);
  }
  return 0;
}
