#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

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
  // The file of names, one a line, that names the copies and sets their count; "-" is
  // standard input.
  std::optional<std::string> namesFile;
  long start = 1;  // the number of the first copy in the pattern
  SaveMode save = SaveMode::Each;
  bool dryRun = false;  // make the copies in memory only, save nothing
  bool json = false;    // one JSON object on `out` at the end instead of the names
  // The names read from namesFile, in order; filled by the run.
  std::vector<std::string> names;
};

// Prints the workbook's worksheet names, one per line, in workbook order; with `json`, one
// object listing every sheet with its kind and visibility. Returns the exit status: 0, or 1
// with the reason on `err`.
int listSheets(const std::string& book, bool json, std::FILE* out, std::FILE* err);

// Makes the copies through the window's duplication run (automation/), with a terminal view,
// and prints the new sheets' names on `out` once they are in the file, at the end of the run:
// the names of copies that another program's save took out again are left out. The workbook's
// office lock is held for the whole run; a workbook locked by someone else is refused. Names
// from a list, and patterns, are checked for every copy before the first one is made. Returns 0
// when every copy was made and named as asked, 1 otherwise (each reason on `err`).
int runCopy(CopyRequest request, std::FILE* out, std::FILE* err);

// For a run asked for JSON that ends before it starts (a wrong command line): the object
// with only the exit status and the message.
void printJsonFailure(int status, const std::string& message, std::FILE* out);

}  // namespace orv::cli
