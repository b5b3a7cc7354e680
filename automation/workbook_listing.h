#pragma once

#include <functional>
#include <string>
#include <vector>

#include "automation/open_workbook_fn.h"

namespace orv {

// The names of the workbook's worksheets (chart and other sheets left out), in workbook order.
std::vector<std::string> worksheetNames(Workbook& workbook);

// The listing of the path box's change handler: opens the workbook at `path`
// in a fresh server instance, passes the names of its worksheets (chart and
// other sheets left out) to `append` in workbook order, and quits the
// instance. Returns how many names were appended.
//
// The instance is quit on every way out. A failure after some names were
// appended is rethrown once the instance is gone, and those names stay where
// `append` put them; the caller reports the failure with its own location.
int appendWorksheetNames(const std::string& path, const OpenWorkbookFn& openWorkbook,
                         const std::function<void(const std::string&)>& append);

}  // namespace orv
