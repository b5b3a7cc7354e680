#include "server/sheet_names.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "server/server_error.h"
#include "server/unicode_chars.h"

namespace orv {

namespace {

constexpr std::size_t kMaxSheetNameLength = 31;

// Reads the code point at `i` and advances past it. An ill-formed byte comes back as a value
// above the Unicode range that only the same byte reproduces, so malformed names still compare
// byte for byte instead of all looking alike.
std::int32_t nextCodePoint(std::string_view s, std::size_t& i) {
  const auto byte = static_cast<unsigned char>(s[i]);
  const std::int32_t c = nextUtf8(s, i);
  return c < 0 ? 0x110000 + byte : c;
}

std::int32_t foldedCase(std::int32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
  if (c > 0x10FFFF) return c;
  return foldCase(c);
}

bool isValidUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();)
    if (nextCodePoint(s, i) > 0x10FFFF) return false;
  return true;
}

// Spreadsheet applications count a name's length in UTF-16 code units.
std::size_t utf16Length(std::string_view s) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < s.size();) units += nextCodePoint(s, i) > 0xFFFF ? 2 : 1;
  return units;
}

// The longest prefix of `s` that fits in `maxUnits` UTF-16 code units, cut between characters.
std::string_view utf16Prefix(std::string_view s, std::size_t maxUnits) {
  std::size_t units = 0;
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t next = i;
    const std::size_t width = nextCodePoint(s, next) > 0xFFFF ? 2 : 1;
    if (units + width > maxUnits) break;
    units += width;
    i = next;
  }
  return s.substr(0, i);
}

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

// Parses a trailing " (n)" with n a number written without leading zeros. Returns the base
// before it and n, or n = 0 when the name has no such ending.
std::pair<std::string_view, uint32_t> splitCopyNumber(std::string_view name) {
  if (name.size() < 4 || name.back() != ')') return {name, 0};
  std::size_t open = name.size() - 1;
  while (open > 0 && name[open - 1] >= '0' && name[open - 1] <= '9') --open;
  const std::size_t digits = name.size() - 1 - open;
  if (digits == 0 || digits > 9 || name[open] == '0') return {name, 0};
  if (open < 3 || name[open - 1] != '(' || name[open - 2] != ' ') return {name, 0};
  uint32_t n = 0;
  for (std::size_t i = open; i < name.size() - 1; ++i) n = n * 10 + (name[i] - '0');
  return {name.substr(0, open - 2), n};
}

std::string copyCandidate(std::string_view base, uint32_t n) {
  const std::string suffix = " (" + std::to_string(n) + ")";
  std::string candidate(utf16Prefix(base, kMaxSheetNameLength - suffix.size()));
  return candidate + suffix;
}

}  // namespace

bool sameSheetName(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    // Plain ASCII on both sides is the common case and needs no table look-up.
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[j]);
    if (x < 0x80 && y < 0x80) {
      if (x != y && foldedCase(x) != foldedCase(y)) return false;
      ++i;
      ++j;
      continue;
    }
    if (foldedCase(nextCodePoint(a, i)) != foldedCase(nextCodePoint(b, j))) return false;
  }
  return i == a.size() && j == b.size();
}

void validateSheetName(std::string_view name, const std::vector<std::string>& others) {
  if (!isValidUtf8(name))
    throw ServerError("The sheet name is not valid text: it holds bytes that are not UTF-8.");
  if (name.empty()) throw ServerError("A sheet name cannot be empty.");
  const std::size_t length = utf16Length(name);
  if (length > kMaxSheetNameLength)
    throw ServerError("The sheet name " + quoted(name) + " is " + std::to_string(length) +
                      " characters long; a sheet name can hold at most 31 characters.");
  for (std::size_t i = 0; i < name.size();) {
    const std::int32_t c = nextCodePoint(name, i);
    if (c < 0x80 &&
        std::string_view(":\\/?*[]").find(static_cast<char>(c)) != std::string_view::npos)
      throw ServerError("The sheet name " + quoted(name) + " contains the character '" +
                        static_cast<char>(c) + "', which sheet names cannot hold.");
    // Control characters cannot be written in the workbook's XML at all.
    if (c < 0x20 || c == 0xFFFE || c == 0xFFFF)
      throw ServerError("The sheet name " + quoted(name) +
                        " contains a control character, which sheet names cannot hold.");
  }
  if (name.front() == '\'' || name.back() == '\'')
    throw ServerError("The sheet name " + quoted(name) +
                      " begins or ends with an apostrophe ('), which sheet names cannot do.");
  if (sameSheetName(name, "History"))
    throw ServerError("The sheet name " + quoted(name) +
                      " is reserved by spreadsheet applications and cannot name a sheet.");
  for (const auto& other : others)
    if (sameSheetName(other, name))
      throw ServerError("The workbook already has a sheet named " + quoted(other) +
                        "; sheet names must differ by more than upper and lower case.");
}

std::string automaticCopyName(std::string_view source, const std::vector<std::string>& existing) {
  const auto [base, number] = splitCopyNumber(source);
  const uint32_t first = number == 0 ? 2 : number + 1;
  // Only a name ending in " (n)" can collide with a candidate, so one pass over the existing
  // names finds every taken number; this keeps a thousand copies from costing a million compares.
  std::vector<uint32_t> taken;
  for (const auto& name : existing) {
    const uint32_t n = splitCopyNumber(name).second;
    if (n >= first && sameSheetName(name, copyCandidate(base, n))) taken.push_back(n);
  }
  std::sort(taken.begin(), taken.end());
  uint32_t n = first;
  for (const uint32_t t : taken) {
    if (t > n) break;
    if (t == n) ++n;
  }
  return copyCandidate(base, n);
}

}  // namespace orv
