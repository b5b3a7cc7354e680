#pragma once

#include <filesystem>
#include <string>

namespace orv {

// The engine's UTF-8 path as the standard library's path type, which opens it by its UTF-16
// name on Windows rather than through the narrow code page.
inline std::filesystem::path pathFromUtf8(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace orv
