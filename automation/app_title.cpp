#include "automation/app_title.h"

#include <cstddef>

namespace orv {

const char kProductTitle[] = "Orvandel";

namespace {

constexpr std::size_t kMaxTitle = 40;

std::string& titleStorage() {
  static std::string title = kProductTitle;
  return title;
}

bool continuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// A UTF-8 sequence's length as the desktop counts characters: in UTF-16 units.
std::size_t unitsOf(char lead) { return static_cast<unsigned char>(lead) >= 0xF0 ? 2 : 1; }

std::size_t charCount(const std::string& text) {
  std::size_t units = 0;
  for (char c : text)
    if (!continuationByte(c)) units += unitsOf(c);
  return units;
}

// The text's first `limit` characters.
std::string leftChars(const std::string& text, std::size_t limit) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (continuationByte(text[i])) continue;
    units += unitsOf(text[i]);
    if (units > limit) return text.substr(0, i);
  }
  return text;
}

}  // namespace

std::string appTitleFrom(const std::string& productTitle) {
  std::string title = productTitle;
  if (title.find(' ') == std::string::npos) return leftChars(title, kMaxTitle);
  // The cut comes before the test, so even a short title loses its last word.
  do {
    const std::size_t space = title.rfind(' ');
    if (space == std::string::npos) return leftChars(title, kMaxTitle);
    title.resize(space);
  } while (charCount(title) > kMaxTitle);
  return title;
}

void SetAppTitle() { titleStorage() = appTitleFrom(kProductTitle); }

std::string applicationTitle() { return titleStorage(); }

}  // namespace orv
