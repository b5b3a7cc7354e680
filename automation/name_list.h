#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orv {

// A name of a list, with the number of the line it stands on (1 for the first line).
struct ListedName {
  int line = 0;
  std::string name;
};

// A line that cannot name a copy, and why, in the user's words.
struct RefusedLine {
  int line = 0;
  std::string name;  // the line's text as it was read (it may not be UTF-8)
  std::string reason;
};

struct NameList {
  std::vector<ListedName> names;     // in list order
  std::vector<RefusedLine> refused;  // in list order; none: every name can be given
};

// Reads a list of sheet names, one a line, in UTF-8. Lines end in LF or CR LF; a byte-order mark
// at the start and lines that are empty or hold only spaces and tabs are skipped. Every other
// line must be a sheet name the workbook can take, beside `existing` (the names of all its
// sheets) and the names on the lines before it (compared ignoring case, as sheet names are).
// Every line that cannot is refused, with its reason; a list in UTF-16 is refused whole as a
// single refusal for line 1, since none of its lines can be read.
NameList readNameList(std::string_view text, const std::vector<std::string>& existing);

}  // namespace orv
