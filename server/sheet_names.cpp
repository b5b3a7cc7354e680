#include "server/sheet_names.h"

#include <algorithm>
#include <cctype>

#include "server/server_error.h"

namespace orv {

bool sameSheetName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

void validateSheetName(std::string_view name, const std::vector<std::string>& others) {
  if (name.empty()) throw ServerError("A sheet name cannot be empty.");
  for (const auto& o : others)
    if (sameSheetName(o, name)) throw ServerError("A sheet named '" + std::string(name) + "' already exists.");
}

std::string automaticCopyName(std::string_view source, const std::vector<std::string>& existing) {
  for (int n = 2;; ++n) {
    std::string candidate = std::string(source) + " (" + std::to_string(n) + ")";
    if (std::none_of(existing.begin(), existing.end(),
                     [&](const std::string& e) { return sameSheetName(e, candidate); }))
      return candidate;
  }
}

}  // namespace orv
