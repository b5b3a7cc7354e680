#pragma once

#include <set>
#include <string>

#include "server/biff/workbook_stream.h"

namespace orv::biff {

// What the copy needs to know about the file around the Workbook stream.
struct CopyContext {
  bool hasVbaProject = false;  // the file holds a _VBA_PROJECT_CUR storage
  // The code name for the copy, when the source has one; empty: a fresh one is made (refused in
  // a workbook with a VBA project, where the code name needs its module).
  std::string codeName;
};

// "Sheet<N>" with the smallest N from the sheet count + 1 up that no sheet or workbook code name
// and none of `taken` (lower-case) uses, ignoring case.
std::string freshCodeName(const WorkbookStream& book, const std::set<std::string>& taken);

// Appends to `book` a copy of the sheet at `source`, named `name`, after the last sheet: the
// sheet's records (embedded charts included) with its own drawing and shape ids, its sheet-scoped
// names cloned, and every reference to the source made from inside the copy pointing at the
// copy. Throws ServerError, with `book` unchanged, for what cannot be copied faithfully.
void appendSheetCopy(WorkbookStream& book, size_t source, const std::string& name,
                     const CopyContext& context);

}  // namespace orv::biff
