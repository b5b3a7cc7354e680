#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orv {

// The code point of the well-formed UTF-8 sequence at `i`, advancing `i` past it; -1 for an
// ill-formed sequence, with `i` past its first byte.
std::int32_t nextUtf8(std::string_view s, std::size_t& i);
// Appends code point `c` (at most U+10FFFF) to `out` in UTF-8.
void appendUtf8(std::string& out, std::int32_t c);

// The Unicode properties names are judged by, from the platform's Unicode tables (ICU on
// Linux, the system's own on Windows: unicode_chars_posix.cpp, unicode_chars_win.cpp).
// The simple case fold of `c` (the character names compare by); `c` itself when it has none.
std::int32_t foldCase(std::int32_t c);
// Whether `c` is a letter or a decimal digit of any script.
bool isLetterOrDigit(std::int32_t c);

}  // namespace orv
