#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orv {

// Sheet names compare as a spreadsheet application compares them: ignoring
// case by Unicode simple case folding. Names are UTF-8.
bool sameSheetName(std::string_view a, std::string_view b);

// Throws ServerError with the reason when `name` cannot name a sheet: not
// UTF-8, empty, longer than 31 characters (UTF-16 code units, as spreadsheet
// applications count), holding one of : \ / ? * [ ] or a control character
// (which XML cannot carry), starting or ending with an apostrophe, or
// "History" in any case. `others` are the names of the workbook's other sheets;
// a name equal to one of them (ignoring case) is refused as well.
void validateSheetName(std::string_view name, const std::vector<std::string>& others);

// The automatic name of a copy of `source`: "Data" gives "Data (2)", the next
// free number; "Data (2)" gives "Data (3)" (numbering goes on from the
// source's own number); the base is shortened, between characters, so that the
// whole fits in 31 characters.
std::string automaticCopyName(std::string_view source, const std::vector<std::string>& existing);

}  // namespace orv
