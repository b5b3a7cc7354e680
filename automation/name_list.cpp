#include "automation/name_list.h"

#include "server/server_error.h"
#include "server/sheet_names.h"

namespace orv {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool isBlank(std::string_view line) {
  return line.find_first_not_of(" \t") == std::string_view::npos;
}

// A list saved as UTF-16 reads as one long line of odd bytes; saying so is more use than
// refusing each of its characters.
bool looksLikeUtf16(std::string_view text) {
  return text.substr(0, 2) == "\xFF\xFE" || text.substr(0, 2) == "\xFE\xFF";
}

}  // namespace

NameList readNameList(std::string_view text, const std::vector<std::string>& existing) {
  NameList list;
  if (looksLikeUtf16(text)) {
    list.refused.push_back({1, "",
                            "The list is written in UTF-16; save it as UTF-8 text (one name a "
                            "line) and run again."});
    return list;
  }
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark)
    text.remove_prefix(kByteOrderMark.size());
  int lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (isBlank(line)) continue;
    try {
      validateSheetName(line, existing);
    } catch (const ServerError& e) {
      list.refused.push_back({lineNumber, std::string(line), e.what()});
      continue;
    }
    bool repeated = false;
    for (const ListedName& earlier : list.names) {
      if (!sameSheetName(earlier.name, line)) continue;
      list.refused.push_back({lineNumber, std::string(line),
                              "The name '" + std::string(line) + "' repeats line " +
                                  std::to_string(earlier.line) + " ('" + earlier.name +
                                  "'); sheet names must differ by more than upper and lower "
                                  "case."});
      repeated = true;
      break;
    }
    if (!repeated) list.names.push_back({lineNumber, std::string(line)});
  }
  return list;
}

}  // namespace orv
