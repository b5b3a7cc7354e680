#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace orv::cli {

enum class SaveMode {
  Each,  // save after every copy, in a fresh instance, as the window does
  Once,  // one instance for the whole run, saved at the end
};

struct CopyRequest {
  std::string book;
  std::string sheet;
  long count = 0;
  std::optional<std::string> pattern;  // absent: copies keep their automatic names
  SaveMode save = SaveMode::Each;
};

// Prints the workbook's worksheet names, one per line, in workbook order.
// Returns the exit status: 0, or 1 with the reason on `err`.
int listSheets(const std::string& book, std::FILE* out, std::FILE* err);

// Makes the copies through the window's duplication run (automation/), with a terminal view,
// and prints the new sheets' names on `out` once they are in the file, at the end of the run:
// the names of copies that another program's save took out again are left out. The workbook's
// office lock is held for the whole run; a workbook locked by someone else is refused. Returns 0
// when every copy was made and named as asked, 1 otherwise (each reason on `err`).
int runCopy(const CopyRequest& request, std::FILE* out, std::FILE* err);

}  // namespace orv::cli
