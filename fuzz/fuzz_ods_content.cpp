// Arbitrary bytes as a spreadsheet's document content (content.xml): parse, list the tables, ask
// what blocks a copy, copy the first table after the last, rename the copy, and write the result
// back. A ServerError is the expected answer to bad input; anything else aborts the run, and so
// does a written content that does not parse again with one more table.
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/ods/content.h"
#include "server/ods/sheet_copy.h"
#include "server/server_error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string written;
  size_t tables = 0;
  try {
    orv::ods::Content content(input, "fuzz.ods");
    for (size_t i = 0; i < content.tables().size(); ++i) (void)content.tableName(i);
    if (orv::ods::tableBlocker(content, 0, [](const std::string& f) { return f.size() % 2 == 0; }))
      return 0;
    orv::ods::UsedIds used;
    const orv::ods::TableCopy copy = orv::ods::copyTable(
        content, 0, "Fuzz (2)", used, [](const std::string& folder) { return folder + "_copy"; });
    orv::ods::retargetTree(content.ns(), copy.table, "Fuzz (2)", "Fuzz 'copy'",
                           orv::RetargetMode::Rename);
    tables = content.tables().size();
    written = content.serialize();
  } catch (const orv::ServerError&) {
    return 0;
  }
  orv::ods::Content again(written, "fuzz.ods");  // a ServerError here escapes on purpose
  if (again.tables().size() != tables) __builtin_trap();
  return 0;
}
