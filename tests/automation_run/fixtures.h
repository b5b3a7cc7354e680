#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "automation/open_workbook_fn.h"

namespace orv::testing {

// A folder of its own under the system's temporary folder, removed afterwards.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// One sheet of a fixture workbook. Worksheets get a few cells (text, number,
// a formula) that make a copy's content checkable; a chart sheet shows a
// chart of the first worksheet.
struct FixtureSheet {
  std::string name;
  bool chart = false;
};

// Writes an .xlsx with libxlsxwriter, an independent writer. Worksheet n
// holds "<name> A1" in A1, the number 10*n in A2 and "=A2*2" in A3.
void writeWorkbook(const std::string& path, const std::vector<FixtureSheet>& sheets);

// OpenWorkbook over the real engine: a new instance with `path` open.
std::unique_ptr<Application> openWithEngine(const std::string& path);

// Every sheet's name in tab order, as the engine reads the file from disk.
std::vector<std::string> sheetNamesByEngine(const std::string& path);

// Runs `script` under python3 with the workbook path as sys.argv[1] and
// returns its standard output split into lines. Fails the test when python
// exits non-zero.
std::vector<std::string> runPython(const std::string& script, const std::string& path);

std::string readBytes(const std::string& path);

}  // namespace orv::testing
