#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orv {

// The name a copy is meant to get: `pattern` with every "[x]" replaced by the
// copy number in decimal digits. Occurrences do not overlap and inserted
// digits are not scanned again; "[X]" is no placeholder.
std::string candidateName(std::string_view pattern, long copyNumber);

// The command line's richer pattern: like candidateName, and "[x:W]", W a digit from 1 to 9,
// stands for the number padded with leading zeros to W digits ("Day[x:3]" gives "Day007").
// The window keeps candidateName, where "[x:3]" is no placeholder.
std::string numberedName(std::string_view pattern, long number);

// True when `pattern` holds "[x:" that does not begin a padded placeholder of numberedName.
bool hasMalformedPadding(std::string_view pattern);

// True when any of `items` equals `name` exactly (case and spaces count).
bool SheetNameExists(const std::vector<std::string>& items, std::string_view name);

// The name given to the copy: every "[" and "]" removed, then the first 30
// characters kept, counted in UTF-16 units as the server counts a sheet name's
// length (a character outside the Basic Multilingual Plane counts two and is
// kept or dropped whole).
std::string CleanSheetName(std::string_view name);

// The message shown when a candidate name is already in the sheet list.
std::string conflictMessage(std::string_view candidate);

}  // namespace orv
