#pragma once

#include <cstddef>
#include <string_view>

// The few character classes of A1 formula text that the reference code and the table code
// both read by.
namespace orv::ooxml::formula_text {

inline bool isDigit(char c) { return c >= '0' && c <= '9'; }
inline bool isAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Bytes that can belong to an unquoted sheet name, defined name, function name or cell address.
// Every byte of a multi-byte UTF-8 sequence counts, so names in any script stay whole.
inline bool isNameByte(char c) {
  return isAsciiLetter(c) || isDigit(c) || c == '_' || c == '.' || c == '\\' || c == '?' ||
         static_cast<unsigned char>(c) >= 0x80;
}

// "A1", "xfd1048576", "R", "C", "RC", "R1C1", "r2c": text a formula would read as a cell
// address, so that no sheet or table name may stand unquoted as it.
inline bool looksLikeCellRef(std::string_view s) {
  std::size_t letters = 0;
  while (letters < s.size() && isAsciiLetter(s[letters])) ++letters;
  if (letters >= 1 && letters <= 3 && letters < s.size()) {
    std::size_t i = letters;
    while (i < s.size() && isDigit(s[i])) ++i;
    if (i == s.size()) return true;
  }
  std::size_t i = 0;
  if (i < s.size() && (s[i] == 'R' || s[i] == 'r'))
    for (++i; i < s.size() && isDigit(s[i]);) ++i;
  if (i < s.size() && (s[i] == 'C' || s[i] == 'c'))
    for (++i; i < s.size() && isDigit(s[i]);) ++i;
  return i > 0 && i == s.size();
}

}  // namespace orv::ooxml::formula_text
