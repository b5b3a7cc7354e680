#pragma once

#include <string>
#include <string_view>

#include "server/formula_refs.h"

namespace orv {

// Sheet references inside formulas as Open XML stores them: A1 text (cell formulas
// without the leading "=", defined names, chart series, validation and
// formatting rules). A real tokenizer: string literals, quoted sheet names with
// doubled apostrophes, 3-D ranges, external book indexes ("[1]Sheet1!A1"),
// structured references, error and array constants and function prefixes are
// recognised, so only genuine references to a sheet of this workbook change.

// Returns `formula` with references to the sheet `from` (matched ignoring case)
// rewritten to name `to`, quoted as needed. Anything else is left byte for byte.
// A malformed formula (an unterminated string or quoted name, a quoted name
// without its "!", unbalanced brackets) comes back unchanged.
std::string retargetSheetRefs(std::string_view formula, std::string_view from, std::string_view to,
                              RetargetMode mode);

// True when the formula holds a reference to the sheet `sheet` of this workbook,
// 3-D end points included: exactly when a rename of that sheet would change it.
bool refersToSheet(std::string_view formula, std::string_view sheet);

// True exactly when retargetSheetRefs with this mode would change the formula
// for a new name other than `sheet`.
bool refersToSheet(std::string_view formula, std::string_view sheet, RetargetMode mode);

// The sheet name as it must be written before "!" in a formula: quoted with
// doubled apostrophes when it is not a plain identifier.
std::string formulaSheetName(std::string_view name);

namespace ooxml {

// The functions above as the engine-neutral interface.
class A1References final : public FormulaReferences {
 public:
  std::string retarget(std::string_view formula, std::string_view from, std::string_view to,
                       RetargetMode mode) const override;
  bool refersTo(std::string_view formula, std::string_view sheet, RetargetMode mode) const override;
};

// The one instance the Open XML engine uses.
const FormulaReferences& a1References();

}  // namespace ooxml

}  // namespace orv
