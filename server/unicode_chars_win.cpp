// Unicode properties from Windows' own tables, which its file system and Excel use for names.
#include <windows.h>

#include "server/unicode_chars.h"

namespace orv {

namespace {

int toUtf16(std::int32_t c, wchar_t* units) {
  if (c < 0x10000) {
    units[0] = static_cast<wchar_t>(c);
    return 1;
  }
  c -= 0x10000;
  units[0] = static_cast<wchar_t>(0xD800 + (c >> 10));
  units[1] = static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
  return 2;
}

std::int32_t fromUtf16(const wchar_t* units, int length) {
  if (length == 1 && (units[0] < 0xD800 || units[0] > 0xDFFF)) return units[0];
  if (length == 2 && units[0] >= 0xD800 && units[0] <= 0xDBFF && units[1] >= 0xDC00 &&
      units[1] <= 0xDFFF)
    return 0x10000 + ((units[0] - 0xD800) << 10) + (units[1] - 0xDC00);
  return -1;
}

}  // namespace

std::int32_t foldCase(std::int32_t c) {
  if (c < 0 || c > 0x10FFFF) return c;
  // Final sigma, and the three letter-like symbols whose lower case lies in another block:
  // not every version of the system's tables folds them.
  if (c == 0x3C2) return 0x3C3;    // GREEK SMALL LETTER FINAL SIGMA
  if (c == 0x212A) return 'k';     // KELVIN SIGN
  if (c == 0x212B) return 0xE5;    // ANGSTROM SIGN
  if (c == 0x2126) return 0x3C9;   // OHM SIGN
  // Upper case first, then lower: final sigma and sigma, the Kelvin sign and k meet as the
  // Unicode case fold has them meet. Culture-free, one character to one character.
  wchar_t units[2];
  int length = toUtf16(c, units);
  for (const DWORD map : {LCMAP_UPPERCASE, LCMAP_LOWERCASE}) {
    wchar_t out[4];
    const int got =
        LCMapStringEx(LOCALE_NAME_INVARIANT, map, units, length, out, 4, nullptr, nullptr, 0);
    if (got <= 0 || got > 2 || fromUtf16(out, got) < 0) return c;
    length = got;
    units[0] = out[0];
    units[1] = out[1];
  }
  return fromUtf16(units, length);
}

bool isLetterOrDigit(std::int32_t c) {
  if (c < 0 || c > 0x10FFFF) return false;
  wchar_t units[2];
  const int length = toUtf16(c, units);
  WORD types[2] = {};
  if (!GetStringTypeW(CT_CTYPE1, units, length, types)) return false;
  // A character outside the basic plane reports its type on its first unit.
  return (types[0] & (C1_ALPHA | C1_DIGIT)) != 0;
}

}  // namespace orv
