#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orv {

// Little-endian fields of the binary formats (BIFF8 records, the VBA project's streams).
inline std::uint16_t get16(std::string_view d, size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(d[at]) |
                                    (static_cast<unsigned char>(d[at + 1]) << 8));
}
inline std::uint32_t get32(std::string_view d, size_t at) {
  return get16(d, at) | (static_cast<std::uint32_t>(get16(d, at + 2)) << 16);
}
inline void put16(std::string& d, size_t at, std::uint32_t v) {
  d[at] = static_cast<char>(v & 0xFF);
  d[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
inline void put32(std::string& d, size_t at, std::uint32_t v) {
  put16(d, at, v & 0xFFFF);
  put16(d, at + 2, v >> 16);
}
inline void add16(std::string& d, std::uint32_t v) {
  d.push_back(static_cast<char>(v & 0xFF));
  d.push_back(static_cast<char>((v >> 8) & 0xFF));
}
inline void add32(std::string& d, std::uint32_t v) {
  add16(d, v & 0xFFFF);
  add16(d, v >> 16);
}

}  // namespace orv
