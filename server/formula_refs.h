#pragma once

#include <string>
#include <string_view>

namespace orv {

// How references to a sheet change in formulas.
enum class RetargetMode {
  // A copy: single-sheet references to `from` now name `to`; 3-D ranges keep
  // their end points.
  Copy,
  // A rename: every reference to `from`, 3-D end points included, names `to`.
  Rename,
};

// Sheet references inside the formulas of one file format, in its own syntax: A1 text for Open
// XML (ooxml/a1_references.h), and each later engine's own (OpenFormula, BIFF tokens). The
// engine's copy and rename reach formulas only through this.
class FormulaReferences {
 public:
  virtual ~FormulaReferences() = default;
  // `formula` with references to the sheet `from` (matched as sheet names match) rewritten to
  // name `to`; anything else is left byte for byte, and a malformed formula comes back as it is.
  virtual std::string retarget(std::string_view formula, std::string_view from, std::string_view to,
                               RetargetMode mode) const = 0;
  // True exactly when retarget with this mode would change the formula for a new name other
  // than `sheet`.
  virtual bool refersTo(std::string_view formula, std::string_view sheet,
                        RetargetMode mode) const = 0;
};

}  // namespace orv
