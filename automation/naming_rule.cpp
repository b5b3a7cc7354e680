#include "automation/naming_rule.h"

#include <algorithm>

namespace orv {

std::string candidateName(std::string_view pattern, long copyNumber) {
  static constexpr std::string_view kPlaceholder = "[x]";
  const std::string digits = std::to_string(copyNumber < 0 ? -copyNumber : copyNumber);
  std::string out;
  out.reserve(pattern.size() + 8);
  size_t pos = 0;
  while (pos < pattern.size()) {
    size_t hit = pattern.find(kPlaceholder, pos);
    if (hit == std::string_view::npos) break;
    out.append(pattern, pos, hit - pos);
    out += digits;
    pos = hit + kPlaceholder.size();
  }
  out.append(pattern.substr(std::min(pos, pattern.size())));
  return out;
}

namespace {

// The width of the padded placeholder "[x:W]" at `at` in `pattern`, or 0 when there is none.
int paddedWidthAt(std::string_view pattern, size_t at) {
  if (pattern.substr(at, 3) != "[x:" || at + 5 > pattern.size()) return 0;
  const char digit = pattern[at + 3];
  if (digit < '1' || digit > '9' || pattern[at + 4] != ']') return 0;
  return digit - '0';
}

}  // namespace

std::string numberedName(std::string_view pattern, long number) {
  const std::string digits = std::to_string(number < 0 ? -number : number);
  std::string out;
  out.reserve(pattern.size() + 8);
  size_t pos = 0;
  while (pos < pattern.size()) {
    const size_t hit = pattern.find("[x", pos);
    if (hit == std::string_view::npos) break;
    out.append(pattern, pos, hit - pos);
    if (pattern.substr(hit, 3) == "[x]") {
      out += digits;
      pos = hit + 3;
    } else if (const int width = paddedWidthAt(pattern, hit)) {
      if (digits.size() < static_cast<size_t>(width)) out.append(width - digits.size(), '0');
      out += digits;
      pos = hit + 5;
    } else {
      out += "[x";
      pos = hit + 2;
    }
  }
  out.append(pattern.substr(std::min(pos, pattern.size())));
  return out;
}

bool hasMalformedPadding(std::string_view pattern) {
  for (size_t at = pattern.find("[x:"); at != std::string_view::npos;
       at = pattern.find("[x:", at + 1))
    if (paddedWidthAt(pattern, at) == 0) return true;
  return false;
}

bool SheetNameExists(const std::vector<std::string>& items, std::string_view name) {
  bool found = false;
  for (const std::string& item : items) {
    if (item == name) found = true;
  }
  return found;
}

std::string CleanSheetName(std::string_view name) {
  std::string stripped;
  stripped.reserve(name.size());
  for (char c : name) {
    if (c != '[' && c != ']') stripped += c;
  }
  // Keep 30 characters as spreadsheet applications count them, in UTF-16 units: a character
  // outside the Basic Multilingual Plane (an emoji) counts two. A character is never split,
  // so a pair that would straddle the limit is left out whole.
  size_t units = 0;
  for (size_t i = 0; i < stripped.size(); ++i) {
    const auto byte = static_cast<unsigned char>(stripped[i]);
    if ((byte & 0xC0) == 0x80) continue;
    const size_t width = byte >= 0xF0 ? 2 : 1;  // a four-byte UTF-8 sequence is a pair
    if (units + width > 30) return stripped.substr(0, i);
    units += width;
  }
  return stripped;
}

std::string conflictMessage(std::string_view candidate) {
  return std::string(candidate) + " already exists. Try using [x] or renaming the sheet name.";
}

}  // namespace orv
