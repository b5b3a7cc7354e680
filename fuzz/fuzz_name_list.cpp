// Arbitrary bytes as a list of sheet names. Besides not crashing: every name taken is one the
// workbook can hold beside its sheets and the names before it, and every line is taken or
// refused at most once, in order, a refusal always with its reason.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "automation/name_list.h"
#include "server/server_error.h"
#include "server/sheet_names.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> existing{"Data", "\xC3\x84rger"};
  const orv::NameList list = orv::readNameList(text, existing);
  std::vector<std::string> before = existing;
  int lastLine = 0;
  for (const orv::ListedName& name : list.names) {
    if (name.line <= lastLine) __builtin_trap();
    lastLine = name.line;
    try {
      orv::validateSheetName(name.name, before);
    } catch (const orv::ServerError&) {
      __builtin_trap();
    }
    before.push_back(name.name);
  }
  lastLine = 0;
  for (const orv::RefusedLine& line : list.refused) {
    if (line.line <= lastLine || line.reason.empty()) __builtin_trap();
    lastLine = line.line;
    for (const orv::ListedName& name : list.names)
      if (name.line == line.line) __builtin_trap();
  }
  return 0;
}
