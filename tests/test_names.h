#pragma once

// Names for the cases of value-parameterised tests. Without them gtest numbers
// the cases and ctest shows each case's value as gtest prints it, which for a
// struct is its raw bytes ("16-byte object <4C-DD ...>").

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace orv::testnames {

// A case name spelled from `text`: letters and digits kept, blanks as "_",
// other characters as short words, non-ASCII bytes in hex; "Empty" for the
// empty text, and an "N" in front of a leading digit so that the name never
// reads as a case number.
inline std::string fromText(std::string_view text) {
  std::string name;
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      name += c;
      continue;
    }
    switch (c) {
      case ' ':
        name += '_';
        break;
      case '\t':
        name += "Tab";
        break;
      case '\n':
        name += "Newline";
        break;
      case '.':
        name += "Dot";
        break;
      case ',':
        name += "Comma";
        break;
      case '-':
        name += "Minus";
        break;
      case '+':
        name += "Plus";
        break;
      case '[':
        name += "Open";
        break;
      case ']':
        name += "Close";
        break;
      default: {
        char hex[4];
        std::snprintf(hex, sizeof hex, "X%02X", u);
        name += hex;
      }
    }
  }
  if (name.empty()) return "Empty";
  if (name[0] >= '0' && name[0] <= '9') name.insert(0, "N");
  return name;
}

// A name generator for INSTANTIATE_TEST_SUITE_P that spells each case from
// the text `field` gives for it (a data member pointer or any callable).
template <typename Field>
auto byText(Field field) {
  return [field](const auto& info) { return fromText(std::invoke(field, info.param)); };
}

// The generator for cases that are texts themselves.
inline std::string paramText(const ::testing::TestParamInfo<const char*>& info) {
  return fromText(info.param);
}

}  // namespace orv::testnames
