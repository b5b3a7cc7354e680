#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "automation/open_workbook_fn.h"

// The test fixture library: temporary folders, workbooks written by an independent writer,
// and readers that judge files apart from the engine.
namespace orv::test {

// A folder of its own under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> list() const;

 private:
  std::string path_;
};

// Workbooks written by libxlsxwriter, an independent writer, so the engine is never judged only
// on files it made itself.

// "Data": values, styles, formulas naming their own sheet and "Other", an array formula, a
// merge, column widths, print area and titles, an autofilter, a picture, a chart, notes, a
// button, a header picture, validation, conditional formats and hyperlinks. "Other": values and a
// formula naming "Data". "Summary" (chart sheet) last. Names: workbook-scoped "Total" on Data,
// "Other!Local".
void writeRichWorkbook(const std::string& path);
// "Data" with values only and "Other"; `extraSheets` more plain sheets "S1".."Sn".
void writePlainWorkbook(const std::string& path, int extraSheets = 0);
// An .xlsm: "Data" (code name "DataSheet") and a VBA project `vbaBytes`.
void writeMacroWorkbook(const std::string& path, const std::string& vbaBytes);
// "Data" holding a table.
void writeTableWorkbook(const std::string& path);

// One sheet of a fixture workbook. Worksheets get a few cells (text, number,
// a formula) that make a copy's content checkable; a chart sheet shows a
// chart of the first worksheet.
struct FixtureSheet {
  std::string name;
  bool chart = false;
};

// Writes an .xlsx: worksheet n holds "<name> A1" in A1, the number 10*n in A2 and "=A2*2" in
// A3.
void writeWorkbook(const std::string& path, const std::vector<FixtureSheet>& sheets);

// OpenWorkbook over the real engine: a new instance with `path` open.
std::unique_ptr<Application> openWithEngine(const std::string& path);

// Every sheet's name in tab order, as the engine reads the file from disk.
std::vector<std::string> sheetNamesByEngine(const std::string& path);

// Runs `script` under python3 with the workbook path as sys.argv[1] and
// returns its standard output split into lines. Fails the test when python
// exits non-zero.
std::vector<std::string> runPython(const std::string& script, const std::string& path);

// An OpenDocument spreadsheet written here as XML, as the office suite that makes the format
// writes it: "Data" (values, formulas naming "Data" and "Other", a string that looks like a
// reference, a local named expression, a list validation, a conditional format, a print range,
// an autofilter, a picture anchored to cells and a chart of its data), "Other" (a value and a
// formula naming "Data"), "Summary" (empty, hidden); "Data" active. `dataExtra` is put at the end of
// Data's table, `spreadsheetExtra` at the end of the spreadsheet, `extraEntries` into the package
// (META-INF/ signatures, say).
struct OdsOptions {
  std::string dataExtra;
  std::string spreadsheetExtra;
  bool structureProtected = false;
  std::vector<std::pair<std::string, std::string>> extraEntries;
};
void writeOdsWorkbook(const std::string& path, const OdsOptions& options = {});
inline void writeOdsModelBook(const std::string& path) { writeOdsWorkbook(path); }

// One engine as the engine-independent suites see it: its name, a writer of their workbook in
// the engine's format ("Data" and "Other" worksheets, then "Summary", a chart sheet where the
// format has them; "Data" active) and the file name extension.
struct EngineRow {
  const char* name;
  void (*writeBook)(const std::string& path);
  const char* extension;
  bool chartSheets = true;
};
inline const EngineRow kEngines[] = {
    {"OpenXml", writeRichWorkbook, ".xlsx", true},
    {"OpenDocument", writeOdsModelBook, ".ods", false},
};

// A module of a VBA project built by vbaProjectBytes: its name (UTF-8), as the project's code
// page (1251) writes it when that differs, and whether it is a sheet's document module.
struct VbaModule {
  VbaModule(std::string moduleName, std::string localName = {}, bool isDocument = true)
      : name(std::move(moduleName)), codePageName(std::move(localName)), document(isDocument) {}
  std::string name;
  std::string codePageName;  // empty: the name itself
  bool document = true;
};
// The bytes of a VBA project (vbaProject.bin) holding `modules`, each with a little code behind
// a compiled-cache prefix, and a digital signature when `withSignature`.
std::string vbaProjectBytes(const std::vector<VbaModule>& modules, bool withSignature = false);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

// The ZIP archive as the tests see it.
struct ZipEntry {
  std::string name;
  std::string data;  // decompressed
  std::uint64_t compressedSize = 0;
  std::uint32_t crc = 0;
  std::uint16_t method = 0;
};
std::vector<ZipEntry> readZip(const std::string& path);
std::string zipPart(const std::string& path, const std::string& name);  // empty when missing
// Writes a new archive at `path` holding `entries` (name -> data), in that order.
void writeZip(const std::string& path,
              const std::vector<std::pair<std::string, std::string>>& entries);
// Replaces or adds parts of an existing archive.
void patchZip(const std::string& path, const std::map<std::string, std::string>& parts);

// Rewrites [Content_Types].xml as some office suites write it: every part named by an
// Override, no Default at all.
void declareEveryPartByOverride(const std::string& path);
// The parts of the package that no Override or Default gives a content type.
std::vector<std::string> partsWithoutContentType(const std::string& path);

// The part of sheet `name`, following workbook.xml and its relationships ("xl/worksheets/..").
std::string sheetPartOf(const std::string& path, const std::string& name);
// The part that relationship `id` of `part` points at.
std::string relatedPart(const std::string& path, const std::string& part, const std::string& id);

// Runs inspect_book.py (openpyxl) with `args`; returns its output and whether it exited 0.
struct Inspection {
  bool ok = false;
  std::string output;
};
Inspection inspectWithOpenpyxl(const std::vector<std::string>& args);
// Runs a Python script; its exit status.
int runPython(const std::string& script);
// Whether this platform's tests can start the Python oracles (oracle_posix.cpp,
// oracle_win.cpp).
bool oraclesReachable();
#define ORV_NEEDS_ORACLE() \
  if (!::orv::test::oraclesReachable()) GTEST_SKIP() << "the Python oracles cannot run here"

}  // namespace orv::test
