// Arbitrary bytes as a workbook file: open, copy the first sheet after the last, name the copy,
// save, and open the result again. A ServerError is the expected answer to bad input; any other
// exception escapes and aborts the run, and so does a saved file that cannot be opened again.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "server/application.h"

namespace {

// One file per fuzzing process; memory-backed when possible, since every save is flushed to
// disk and a real disk would make each run cost milliseconds.
const std::string& workFile() {
  static const std::string path = [] {
    const char* dir = std::getenv("ORVANDEL_FUZZ_DIR");
    if (dir == nullptr) dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/orvandel-fuzz-" + std::to_string(getpid()) + ".xlsx";
  }();
  return path;
}

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || (size > 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
    std::perror(path.c_str());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = workFile();
  writeFile(path, data, size);
  int sheetsSaved = 0;
  try {
    std::unique_ptr<orv::Application> app = orv::createApplication();
    orv::Workbook& book = app->workbooks().open(path);
    orv::SheetCollection sheets = book.sheets();
    for (int i = 1; i <= sheets.count(); ++i) (void)sheets.item(i).name();
    sheets.item(1).copy(sheets.item(sheets.count()));
    try {
      book.activeSheet().setName("Fuzz 'copy'");
    } catch (const orv::ServerError&) {
      // A workbook may already hold that name; the copy keeps its own.
    }
    book.save();
    sheetsSaved = sheets.count();
    app->quit();
  } catch (const orv::ServerError&) {
    return 0;
  }
  // What the engine saved it must be able to open again, copy included. A ServerError here
  // escapes on purpose.
  std::unique_ptr<orv::Application> app = orv::createApplication();
  if (app->workbooks().open(path).sheets().count() != sheetsSaved) __builtin_trap();
  return 0;
}
