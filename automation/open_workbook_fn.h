#pragma once

#include <functional>
#include <memory>
#include <string>

#include "server/application.h"

namespace orv {

// OpenWorkbook as the window's workbook work receives it: a path in, a new
// server instance with that workbook open out (or a thrown failure). The
// caller owns the instance and ends it with quit().
using OpenWorkbookFn = std::function<std::unique_ptr<Application>(const std::string& path)>;

}  // namespace orv
