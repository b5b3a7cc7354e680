#include "server/unicode_chars.h"

namespace orv {

std::int32_t nextUtf8(std::string_view s, std::size_t& i) {
  const auto byte = static_cast<unsigned char>(s[i]);
  const std::size_t start = i++;
  if (byte < 0x80) return byte;
  int length = 0;
  std::int32_t c = 0;
  if (byte >= 0xC2 && byte <= 0xDF) {
    length = 2;
    c = byte & 0x1F;
  } else if (byte >= 0xE0 && byte <= 0xEF) {
    length = 3;
    c = byte & 0x0F;
  } else if (byte >= 0xF0 && byte <= 0xF4) {
    length = 4;
    c = byte & 0x07;
  } else {
    return -1;
  }
  if (start + static_cast<std::size_t>(length) > s.size()) return -1;
  for (int k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(s[start + static_cast<std::size_t>(k)]);
    if ((next & 0xC0) != 0x80) return -1;
    c = (c << 6) | (next & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not characters.
  static constexpr std::int32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kSmallest[length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return -1;
  i = start + static_cast<std::size_t>(length);
  return c;
}

void appendUtf8(std::string& out, std::int32_t c) {
  const auto u = static_cast<std::uint32_t>(c);
  if (u < 0x80) {
    out.push_back(static_cast<char>(u));
  } else if (u < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (u >> 6)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  } else if (u < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (u >> 12)));
    out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (u >> 18)));
    out.push_back(static_cast<char>(0x80 | ((u >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  }
}

}  // namespace orv
