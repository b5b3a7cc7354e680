#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace orv::biff {

// What a copy changes in a formula's tokens: the XTI index of 3-D references (PtgRef3d,
// PtgArea3d, their error forms and PtgNameX) and the 1-based index of defined names (PtgName;
// PtgNameX when its XTI names a sheet of this workbook). A member left empty changes nothing.
struct FormulaRemap {
  std::function<std::uint16_t(std::uint16_t ixti)> xti;
  std::function<std::uint32_t(std::uint32_t name)> name;
  // Receives the token's original XTI index.
  std::function<std::uint32_t(std::uint16_t ixti, std::uint32_t name)> nameX;
};

// Walks the `cce` bytes of formula tokens at d[at] and rewrites their references through `remap`
// in place (the tokens keep their sizes). Without `remap` it only checks that every token is
// known and complete. Throws RecordError naming the first token it cannot size.
void walkFormula(std::string& d, size_t at, size_t cce, const FormulaRemap* remap);

}  // namespace orv::biff
