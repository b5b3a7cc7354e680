#pragma once

#include <string>
#include <string_view>

#include "server/formula_refs.h"

namespace orv::ods {

// Sheet references in OpenDocument text, in its two syntaxes:
//  - formulas (table:formula, table:expression, table:condition, calcext:value), where references
//    sit in brackets: [.A1], [$'My Data'.B1:.C4], [$S1.A1:$S3.B2], ['file:///b.ods'#$S.A1];
//    the namespace prefix chooses the syntax (of: and oooc: brackets, msoxl: the A1 text of the
//    Open XML engine);
//  - cell range address lists (table:print-ranges, table:cell-range-address,
//  table:end-cell-address,
//    chart ranges ...): the same references without brackets, separated by spaces.
// A sheet name is matched as sheet names match (ignoring case) after unquoting, and the new name
// is always written quoted. String literals and references into other files are left alone, as
// is anything malformed.
std::string retargetFormula(std::string_view formula, std::string_view from, std::string_view to,
                            RetargetMode mode);
std::string retargetAddresses(std::string_view addresses, std::string_view from,
                              std::string_view to, RetargetMode mode);

// The name as a reference writes it: quoted, apostrophes doubled.
std::string quoteSheetName(std::string_view name);

// The formula-reference interface over OpenFormula text.
const FormulaReferences& openFormulaReferences();

}  // namespace orv::ods
